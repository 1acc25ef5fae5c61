#pragma once
// Runs an open or lock that has to wait for a file on a thread of its own,
// interrupts that thread, and tells whether the wait ended with the thread
// library's interruption (rather than by succeeding, failing otherwise, or
// not ending within the limit).

#include <atomic>
#include <functional>
#include <memory>

#include <boost/thread/thread.hpp>

inline bool waitEndsByInterruption(const std::function<void()>& wait)
{
    // Shared with the thread, which may outlive this call when it hangs.
    auto interrupted = std::make_shared<std::atomic<bool>>(false);
    boost::thread waiter([wait, interrupted] {
        try {
            wait();
        } catch (const boost::thread_interrupted&) {
            *interrupted = true;
        }
    });
    waiter.interrupt();
    if (!waiter.try_join_for(boost::chrono::seconds(20))) {
        waiter.detach();
        return false;
    }
    return *interrupted;
}
