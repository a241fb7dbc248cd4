// How far the receiver has recorded what the devices said: every frame that reached the
// service before a time has been handled (its writes made), or nothing waits at all. The
// delivery worker asks it before it pushes a device again: under a flood of reports (a
// large site starting) a device's answer to the last push may still wait in the receiver's
// backlog, and pushing once more because that answer is not yet in its record only adds
// to the flood. The receiver's thread writes it, any thread reads it; lock-free. Times are
// of the wall clock in microseconds, as the sending times of the WIN records.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>

namespace vyr {

class receiver_progress {
public:
    // Nothing the receiver has been given waits.
    void caught_up() noexcept { m_waiting_since.store(s_nothing_waits, std::memory_order_release); }
    // The oldest frame not yet recorded reached the service at `_us` (or later).
    void waiting_since(std::int64_t _us) noexcept { m_waiting_since.store(_us, std::memory_order_release); }
    // Whether every frame that reached the service before `_us` is recorded.
    bool recorded_through(std::int64_t _us) const noexcept {
        return m_waiting_since.load(std::memory_order_acquire) >= _us;
    }
    // The time before which every frame that reached the service is recorded.
    std::int64_t recorded_before() const noexcept { return m_waiting_since.load(std::memory_order_acquire); }

private:
    static constexpr std::int64_t s_nothing_waits = std::numeric_limits<std::int64_t>::max();
    std::atomic<std::int64_t> m_waiting_since{s_nothing_waits};
};

}  // namespace vyr
