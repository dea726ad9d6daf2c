// --serve [HOST:]PORT and --serve-token-file FILE: the station (--watch)
// served over HTTP. Taken from the command line before the rest of it is
// parsed, and checked before anything is opened.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zq {

struct ServeOptions {
    bool on = false;
    std::string host = "127.0.0.1";
    uint16_t port = 0;
    std::string tokenFile;
    std::string token; // read from tokenFile by CheckServeOptions; never shown
    std::string warning; // of the token file, from CheckServeOptions; empty: none
};

// Takes --serve and --serve-token-file (either as two words or NAME=VALUE)
// out of args; false with a one-line reason for a value that will not do.
bool TakeServeOptions(std::vector<std::string>& args, ServeOptions& serve, std::string& error);
// With the mode known: --serve only with --watch, a host other than this
// machine's own only with a token, and the token read. False with why.
bool CheckServeOptions(ServeOptions& serve, bool watch, std::string& error);

// What --help says of them, before the examples.
extern const char* const kServeUsage;
// Its example, among the others.
extern const char* const kServeExample;

}  // namespace zq
