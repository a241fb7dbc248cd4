// A periodic timer on a Linux timerfd, polled beside a worker's command pipe. The
// descriptor is non-blocking: reading it before an expiry fails with EAGAIN, after one
// it yields the 8-byte expiry count. Owned and used by one thread.
#pragma once

#include <cstdint>

namespace vyr {

class timer {
public:
    // First expiry `_init` after start(), then every `_repeat`. Throws on failure.
    timer(std::int64_t _init_sec, std::int64_t _init_nsec, std::int64_t _repeat_sec, std::int64_t _repeat_nsec);
    virtual ~timer();
    timer(const timer&) = delete;
    timer& operator=(const timer&) = delete;

    void start();
    // Both the initial delay and the repeat become `_sec` + `_nsec`; takes effect at the
    // next start() or reset().
    void set_period(std::int64_t _sec, std::int64_t _nsec) noexcept;
    // Re-arms from now: the next expiry is the initial delay away.
    void reset();
    void stop();
    int get_descriptor() const noexcept { return m_fd; }

private:
    void settime(std::int64_t _init_sec, std::int64_t _init_nsec, std::int64_t _repeat_sec,
                 std::int64_t _repeat_nsec);

    // Constant after construction.
    const int m_fd;
    // Constant after construction but for set_period().
    std::int64_t m_init_period_sec;
    std::int64_t m_init_period_nsec;
    std::int64_t m_repeat_period_sec;
    std::int64_t m_repeat_period_nsec;
};

}  // namespace vyr
