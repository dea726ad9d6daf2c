// What the tests of forwarding share: a folder where syncs cost nothing, and
// one forwarder run from start to an idle drain against a receiver.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "forward/Forwarder.h"
#include "tests/cli/Receiver.h"

namespace zq {

// A tmpfs where there is one: the tests of the record file sync it a
// thousand times, and what a disk's sync costs is not what they look at.
inline std::string SyncFreeFolder()
{
    struct stat st {};
    return ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && ::access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                                                                                                   : "/tmp";
}

// Each record the receiver took, in the order it took them. pendingAtStart:
// what the forwarder had delivered (across restarts) and had waiting when
// it started.
inline std::vector<std::string> Forward(CReceiver& receiver, const std::string& logPath, size_t& pendingAtStart,
                                        std::vector<std::string>& told,
                                        const std::function<void(CForwarder&)>& meanwhile = {})
{
    std::vector<std::string> taken;
    receiver.accepted = [&](const std::string& key) { taken.push_back(key); };
    ForwardConfig config;
    config.url = receiver.Url();
    CForwarder forwarder(config, [&](const std::string& text) { told.push_back(text); });
    std::string error;
    EXPECT_TRUE(forwarder.Start(logPath, error)) << error;
    // What waited at the start: the thread may deliver meanwhile, so the
    // count is read between two equal readings of what was delivered.
    for (size_t before = 1, after = 0; before != after;) {
        before = forwarder.Delivered();
        pendingAtStart = forwarder.Pending() + before;
        after = forwarder.Delivered();
    }
    if (meanwhile)
        meanwhile(forwarder);
    EXPECT_EQ(forwarder.Drain(20, true), 0u);
    receiver.accepted = nullptr;
    return taken;
}

}  // namespace zq
