#include "runtime/timer.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "core/exception.h"

namespace vyr {

timer::timer(std::int64_t _init_sec, std::int64_t _init_nsec, std::int64_t _repeat_sec, std::int64_t _repeat_nsec)
    : m_fd(::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK)),
      m_init_period_sec(_init_sec),
      m_init_period_nsec(_init_nsec),
      m_repeat_period_sec(_repeat_sec),
      m_repeat_period_nsec(_repeat_nsec) {
    if (m_fd == -1)
        VYR_THROW(std::string("timerfd_create: ") + std::strerror(errno));
}

timer::~timer() {
    if (m_fd != -1)
        ::close(m_fd);
}

void timer::settime(std::int64_t _init_sec, std::int64_t _init_nsec, std::int64_t _repeat_sec,
                    std::int64_t _repeat_nsec) {
    itimerspec setting{};
    setting.it_value.tv_sec = static_cast<time_t>(_init_sec);
    setting.it_value.tv_nsec = static_cast<long>(_init_nsec);
    setting.it_interval.tv_sec = static_cast<time_t>(_repeat_sec);
    setting.it_interval.tv_nsec = static_cast<long>(_repeat_nsec);
    if (::timerfd_settime(m_fd, 0, &setting, nullptr) == -1)
        VYR_THROW(std::string("timerfd_settime: ") + std::strerror(errno));
}

void timer::start() { settime(m_init_period_sec, m_init_period_nsec, m_repeat_period_sec, m_repeat_period_nsec); }

void timer::set_period(std::int64_t _sec, std::int64_t _nsec) noexcept {
    m_init_period_sec = m_repeat_period_sec = _sec;
    m_init_period_nsec = m_repeat_period_nsec = _nsec;
}

void timer::reset() { start(); }

void timer::stop() { settime(0, 0, 0, 0); }

}  // namespace vyr
