// Follows the sentinels' announcements of a new Redis master as they are made, so that a
// connection that is idle, or still on a former master not yet made a replica, leaves it
// before its next command rather than after a failure. One per process, made by main
// after the sentinel settings (redis/sentinel.h) and before the workers: under Sentinel
// it runs one thread of its own, subscribed to "+switch-master" on one sentinel at a time
// (the next one, after a pause, when that connection drops or stops answering), and
// hands each message to note_switch(), which records the master and moves the master
// generation. Without sentinels it runs nothing. The thread owns its connection; the
// object is made and destroyed by one thread, which the destructor stops and joins.
#pragma once

#include <chrono>
#include <thread>

#include "core/logger.h"
#include "redis/sentinel.h"

namespace vyr::redis {

class master_watch {
public:
    // `_pause`: between one sentinel's connection dropping (or refused) and the next try.
    explicit master_watch(vyr::libs::core::component_logger& _logger,
                          std::chrono::milliseconds _pause = std::chrono::seconds(1));
    // Stops the thread within a second (the longest wait it makes without watching for
    // the stop is a connection's 500 ms time-out) and joins it.
    ~master_watch();
    master_watch(const master_watch&) = delete;
    master_watch& operator=(const master_watch&) = delete;

    bool running() const noexcept { return m_thread.joinable(); }

private:
    void run(sentinel_settings _settings);
    // Subscribed on `_sentinel` until its connection drops, it stops answering or the
    // watch stops; logs why it ended, unless stopped.
    void follow(const address& _sentinel, const sentinel_settings& _settings);
    // Waits up to `_time` for the stop; true when it came.
    bool stopped_within(std::chrono::milliseconds _time) const;

    vyr::libs::core::component_logger& m_logger;
    const std::chrono::milliseconds m_pause;
    // An eventfd, written once to stop; constant after construction.
    int m_stop_fd = -1;
    std::thread m_thread;
};

}  // namespace vyr::redis
