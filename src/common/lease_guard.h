// Whether this process may act as the active instance now: the time of the last successful
// renewal of its lease in Redis and the lease's length, process-wide. The lease keeper
// (app/lease_keeper) records each renewal; the Redis connections refuse the workers' writes
// (redis/connection.cpp) and the sender drops frames while valid() is false. The guard runs out a safety margin
// (a third of the lease, at least 2 s) before the lease itself could expire on the server,
// so an instance cut off from Redis has stopped acting before a standby can take over.
// Until use() is called (tools, tests, a process without a lease) it is always valid.
// Every function is safe from any thread: the renewal is kept under a mutex, and valid()
// reads an atomic deadline without it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "core/mutex.h"

namespace vyr {

class lease_guard {
public:
    using clock = std::chrono::steady_clock;

    // From now on valid() follows the renewals of a lease of `_length`; none yet.
    static void use(std::chrono::milliseconds _length);
    // The lease was taken or renewed; the request went out at `_sent` (the lease runs
    // from no earlier than that on the server).
    static void renewed(clock::time_point _sent);
    // The lease is gone (lost, released): invalid until the next renewal.
    static void lost();
    // Whether the last renewal plus the lease minus the margin lies ahead of `_now`.
    static bool valid(clock::time_point _now = clock::now());
    // The margin of a lease of `_length`: a third of it, at least 2 s.
    static std::chrono::milliseconds margin(std::chrono::milliseconds _length);
    // The calling thread's Redis writes go out whatever valid() says (the lease keeper's
    // own, which take and renew the lease).
    static void exempt_this_thread() noexcept { s_exempt = true; }
    static bool exempt() noexcept { return s_exempt; }
    // Back to unused (always valid); for tests.
    static void reset();

private:
    static libs::core::mutex s_mutex;
    static std::chrono::milliseconds s_length VYR_GUARDED_BY(s_mutex);
    static std::atomic<bool> s_in_use;
    // clock ticks since its epoch; written under s_mutex, read without it.
    static std::atomic<std::int64_t> s_valid_until;
    static thread_local bool s_exempt;
};

}  // namespace vyr
