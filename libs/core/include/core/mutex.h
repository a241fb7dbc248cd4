// The mutex of the service and the libraries, its scoped lock and a condition variable
// that waits on it: thin wrappers over the standard types that carry the thread-safety
// attributes of "core/thread_annotations.h" (the standard library's own types carry
// none here). A member declared VYR_GUARDED_BY(m_mutex) beside a `mutex m_mutex` is then
// checked by Clang at every read and write.
//
//     mutex m_mutex;
//     int m_count VYR_GUARDED_BY(m_mutex) = 0;
//     ...
//     mutex_lock lock(m_mutex);
//     while (m_count == 0)
//         m_variable.wait(m_mutex);
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "core/thread_annotations.h"

namespace vyr::libs::core {

class VYR_CAPABILITY("mutex") mutex {
public:
    mutex() = default;
    mutex(const mutex&) = delete;
    mutex& operator=(const mutex&) = delete;

    void lock() VYR_ACQUIRE() { m_mutex.lock(); }
    void unlock() VYR_RELEASE() { m_mutex.unlock(); }
    bool try_lock() VYR_TRY_ACQUIRE(true) { return m_mutex.try_lock(); }

private:
    friend class condition_variable;
    std::mutex m_mutex;
};

// Holds a mutex from its construction to the end of its scope.
class VYR_SCOPED_CAPABILITY mutex_lock {
public:
    explicit mutex_lock(mutex& _mutex) VYR_ACQUIRE(_mutex) : m_mutex(_mutex) { m_mutex.lock(); }
    ~mutex_lock() VYR_RELEASE() { m_mutex.unlock(); }
    mutex_lock(const mutex_lock&) = delete;
    mutex_lock& operator=(const mutex_lock&) = delete;

private:
    mutex& m_mutex;
};

// A condition variable for `mutex`. Each wait is called with the mutex held (by a
// mutex_lock of the caller); it releases the mutex while it waits and holds it again
// when it returns, as the standard wait does. Wakeups may be spurious: wait in a loop
// on the guarded condition.
class condition_variable {
public:
    void notify_one() noexcept { m_variable.notify_one(); }
    void notify_all() noexcept { m_variable.notify_all(); }

    void wait(mutex& _mutex) VYR_REQUIRES(_mutex) {
        lent lock(_mutex);
        m_variable.wait(lock.m_lock);
    }

    template <class Clock, class Duration>
    std::cv_status wait_until(mutex& _mutex, const std::chrono::time_point<Clock, Duration>& _time)
        VYR_REQUIRES(_mutex) {
        lent lock(_mutex);
        return m_variable.wait_until(lock.m_lock, _time);
    }

private:
    // The caller's hold on the mutex, lent to the standard wait for its duration and
    // handed back still held, also when the wait throws.
    struct lent {
        explicit lent(mutex& _mutex) : m_lock(_mutex.m_mutex, std::adopt_lock) {}
        ~lent() { m_lock.release(); }
        lent(const lent&) = delete;
        lent& operator=(const lent&) = delete;
        std::unique_lock<std::mutex> m_lock;
    };

    std::condition_variable m_variable;
};

}  // namespace vyr::libs::core
