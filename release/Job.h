// A job: what an engineer fixes for a line (the image and its SHA-256, the
// lot's size, the station's name, the record file, the fixture's slots), in
// a JSON file (.zqjob) that the station runs instead of a bare image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zq {

struct JobSlot {
    std::string port;  // as --ports takes it
    std::string label; // what a person calls the slot; empty: none
};

struct JobForward {
    std::string url;
    std::string tokenFile; // empty: no token
};

struct Job {
    std::string path;     // the job file, as given
    std::string name;     // "job"
    std::string image;    // from the job file's folder when relative
    std::string sha256;   // pinned, 64 lower-case hex digits
    unsigned units = 0;   // the lot's size; 0: no lot
    std::string station;  // empty: the host's name
    std::string log;      // the record file; empty: none named
    std::vector<JobSlot> fixture; // the slots, in order ("slots": Qt keeps that word)
    bool forwards = false;
    JobForward forward;
    std::string signer;   // the fingerprint of the key meant to sign it; empty: none named

    // The slots' ports, in the job's order.
    std::vector<std::string> Ports() const;
};

// The label of port among slots; empty when it is none of them or has none.
std::string SlotLabel(const std::vector<JobSlot>& fixture, const std::string& port);

// Parses the job's text; relative paths are taken from folder. False with
// one line saying what is wrong (and where), and then job is not to be used.
bool ParseJob(const std::string& text, const std::string& folder, Job& job, std::string& error);

// Reads the job file at path into bytes (exactly as on the disk, for its
// signature) and parses those same bytes.
bool ReadJob(const std::string& path, Job& job, std::vector<uint8_t>& bytes, std::string& error);

// The text of a new job, with image as it should be written into it.
std::string JobText(const std::string& name, const std::string& image, const std::string& sha256,
                    unsigned units, const std::string& signer);

// path as seen from the folder of the file at from: relative when it can be,
// with '/' between names so the job reads the same on either system.
std::string PathFromFileFolder(const std::string& path, const std::string& from);

}  // namespace zq
