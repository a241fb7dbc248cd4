// The lease keeper: a thread of its own that holds this instance's lease in Redis (see
// redis/lease.h). Every second it renews the lease it holds, or, while it holds none,
// tries to take it; each success is recorded in the process's lease guard
// (common/lease_guard.h), and a renewal refused or failed for so long that the guard ran
// out ends the term. Its Redis connection is its own and exempt from the guard. The main
// thread waits on it for a term to begin and end (wait_until_held, wait_until_lost) and
// releases the lease at a stop; those calls, and holder(), are safe from any thread
// (m_mutex guards the state, held only around it, never across Redis I/O).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "core/logger.h"
#include "core/mutex.h"

namespace vyr::redis {
class connection;
}

namespace vyr {

class lease_keeper {
public:
    // The lease is held as "<_instance_name>/<pid>", `_length` long. Opens nothing.
    lease_keeper(std::string _redis_address, int _redis_port, std::string _instance_name,
                 std::chrono::milliseconds _length, libs::core::component_logger& _logger);
    // Stops the thread and releases the lease if held.
    ~lease_keeper();
    lease_keeper(const lease_keeper&) = delete;
    lease_keeper& operator=(const lease_keeper&) = delete;

    // Puts the guard in use and starts the thread, whose first try comes at once.
    void start();
    // Until a term begins (its fencing value), `_at_most` passed or a stop is requested
    // (nothing in both).
    std::optional<std::int64_t> wait_until_held(std::chrono::milliseconds _at_most);
    // Until the term ends (true) or a stop is requested (false).
    bool wait_until_lost();
    // Stops the thread and gives the lease up, so that a standby takes it at once.
    void release();
    // Whom the lease was last seen held by (instance name); empty: nobody, or unknown.
    std::string holder();
    // This instance's text in the lease key, "<instance name>/<pid>".
    const std::string& own_holder() const noexcept { return m_holder; }

private:
    void run();
    // One renewal or take; on the thread.
    void beat(redis::connection& _redis);
    // The fencing value of the term held; 0: none.
    std::int64_t held();

    const std::string m_redis_address;
    const int m_redis_port;
    const std::string m_holder;
    const std::chrono::milliseconds m_length;
    libs::core::component_logger& m_logger;

    libs::core::mutex m_mutex;
    libs::core::condition_variable m_changed;
    bool m_stopped VYR_GUARDED_BY(m_mutex) = false;
    std::int64_t m_fencing VYR_GUARDED_BY(m_mutex) = 0;  // of the term held; 0: none
    std::string m_seen_holder VYR_GUARDED_BY(m_mutex);
    bool m_failure_logged = false;  // thread only
    std::thread m_thread;
};

}  // namespace vyr
