#include "common/lease_guard.h"

#include <algorithm>
#include <limits>

namespace vyr {

libs::core::mutex lease_guard::s_mutex;
std::chrono::milliseconds lease_guard::s_length{0};
std::atomic<bool> lease_guard::s_in_use{false};
thread_local bool lease_guard::s_exempt = false;
std::atomic<std::int64_t> lease_guard::s_valid_until{std::numeric_limits<std::int64_t>::min()};

void lease_guard::use(std::chrono::milliseconds _length) {
    libs::core::mutex_lock lock(s_mutex);
    s_length = _length;
    s_valid_until = std::numeric_limits<std::int64_t>::min();
    s_in_use = true;
}

void lease_guard::renewed(clock::time_point _sent) {
    libs::core::mutex_lock lock(s_mutex);
    const auto until = _sent + s_length - margin(s_length);
    s_valid_until = until.time_since_epoch().count();
}

void lease_guard::lost() {
    libs::core::mutex_lock lock(s_mutex);
    s_valid_until = std::numeric_limits<std::int64_t>::min();
}

bool lease_guard::valid(clock::time_point _now) {
    return !s_in_use || _now.time_since_epoch().count() < s_valid_until;
}

std::chrono::milliseconds lease_guard::margin(std::chrono::milliseconds _length) {
    return std::max<std::chrono::milliseconds>(_length / 3, std::chrono::seconds(2));
}

void lease_guard::reset() {
    libs::core::mutex_lock lock(s_mutex);
    s_in_use = false;
    s_valid_until = std::numeric_limits<std::int64_t>::min();
}

}  // namespace vyr
