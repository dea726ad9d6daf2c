// Waiting in a test for what another thread or process brings about.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace zq {

// True once done() is, checked every 20 ms for at most ms.
inline bool WaitFor(const std::function<bool()>& done, int ms)
{
    for (int waited = 0; waited < ms; waited += 20) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

}  // namespace zq
