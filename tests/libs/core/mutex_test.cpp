// The annotated mutex and its condition variable: a wait gives the mutex up while it
// waits and holds it again when it returns, woken or timed out; the scoped lock lets go
// at the end of its scope.
#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "core/mutex.h"

using vyr::libs::core::condition_variable;
using vyr::libs::core::mutex;
using vyr::libs::core::mutex_lock;

namespace {

struct shared {
    mutex m_mutex;
    condition_variable m_variable;
    bool m_waiting VYR_GUARDED_BY(m_mutex) = false;
    bool m_ready VYR_GUARDED_BY(m_mutex) = false;
    bool m_free_after_wait VYR_GUARDED_BY(m_mutex) = true;
};

// Whether another thread can take the mutex now (it gives it back at once).
bool free_elsewhere(mutex& _mutex) {
    return std::async(std::launch::async, [&_mutex] {
               if (!_mutex.try_lock())
                   return false;
               _mutex.unlock();
               return true;
           })
        .get();
}

}  // namespace

TEST(Mutex, a_woken_wait_holds_the_mutex_again) {
    shared s;
    std::thread waiter([&s] {
        mutex_lock lock(s.m_mutex);
        s.m_waiting = true;
        while (!s.m_ready)
            s.m_variable.wait(s.m_mutex);
        s.m_free_after_wait = free_elsewhere(s.m_mutex);
    });
    // Seen under the mutex, m_waiting means the waiter is inside its wait and has given
    // the mutex up.
    for (bool notified = false; !notified; std::this_thread::yield()) {
        mutex_lock lock(s.m_mutex);
        if (s.m_waiting) {
            s.m_ready = true;
            s.m_variable.notify_one();
            notified = true;
        }
    }
    waiter.join();
    mutex_lock lock(s.m_mutex);
    EXPECT_FALSE(s.m_free_after_wait);
}

TEST(Mutex, a_timed_out_wait_holds_the_mutex_again) {
    shared s;
    {
        mutex_lock lock(s.m_mutex);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(10);
        while (s.m_variable.wait_until(s.m_mutex, deadline) != std::cv_status::timeout) {
        }
        EXPECT_FALSE(free_elsewhere(s.m_mutex));
    }
    EXPECT_TRUE(free_elsewhere(s.m_mutex));
}
