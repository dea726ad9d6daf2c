// Why a release channel could not be confirmed, in the words a station and
// an engineer both read: rollback, expired, signature, hash, length,
// unreachable.
#pragma once

#include <string>

namespace zq {

enum class ChannelFault {
    None,
    Rollback,    // a version went back, or a file is not the one its parent names
    Expired,     // metadata past its expiry
    Signature,   // too few of the role's keys signed it
    Hash,        // bytes that are not the ones named
    Length,      // more bytes than named, or than a file of its kind may have
    Unreachable, // the channel's place gave no answer, or not the file
    Malformed,   // not metadata of the kind asked for
    State,       // the station's own state folder cannot be read or written
};

struct ChannelError {
    ChannelFault fault = ChannelFault::None;
    std::string text;         // one line, after the word
    bool releaseKept = false; // a release verified earlier is still in force

    explicit operator bool() const { return fault != ChannelFault::None; }
};

// "rollback", "expired", ...; "" for None.
const char* FaultWord(ChannelFault fault);

// "rollback: snapshot version 2 is below the trusted 3".
std::string DescribeChannelError(const ChannelError& error);

// Sets error and gives false, for the checks' one-line returns.
inline bool Refuse(ChannelError& error, ChannelFault fault, const std::string& text)
{
    error.fault = fault;
    error.text = text;
    return false;
}

}  // namespace zq
