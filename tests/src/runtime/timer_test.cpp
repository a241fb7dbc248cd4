// The periodic timer on timerfd: armed, re-armed and disarmed, observed through poll().
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>

#include "runtime/timer.h"

namespace {

constexpr std::int64_t ms = 1000000;  // nanoseconds

// Waits up to `_timeout_ms` for the descriptor to become readable.
bool readable_within(int _fd, int _timeout_ms) {
    pollfd item{_fd, POLLIN, 0};
    return ::poll(&item, 1, _timeout_ms) == 1 && (item.revents & POLLIN);
}

std::uint64_t read_count(int _fd) {
    std::uint64_t count = 0;
    EXPECT_EQ(::read(_fd, &count, sizeof count), static_cast<ssize_t>(sizeof count));
    return count;
}

TEST(Timer, ExpiresAfterFirstPeriodThenRepeats) {
    vyr::timer timer(0, 30 * ms, 0, 30 * ms);
    timer.start();
    ASSERT_TRUE(readable_within(timer.get_descriptor(), 5000));
    EXPECT_GE(read_count(timer.get_descriptor()), 1u);
    // After the read the descriptor is quiet again until the next period.
    ASSERT_TRUE(readable_within(timer.get_descriptor(), 5000));
    EXPECT_GE(read_count(timer.get_descriptor()), 1u);
}

TEST(Timer, ResetPushesTheNextExpiry) {
    // The time left to the next expiry, read off the descriptor: after a reset it is a
    // whole first period again, more than was left before however long the wait took.
    const auto left_ms = [](int _fd) {
        itimerspec left{};
        EXPECT_EQ(::timerfd_gettime(_fd, &left), 0);
        return left.it_value.tv_sec * 1000 + left.it_value.tv_nsec / ms;
    };
    vyr::timer timer(60, 0, 60, 0);
    timer.start();
    ::usleep(200000);
    const auto before = left_ms(timer.get_descriptor());
    timer.reset();
    EXPECT_GT(left_ms(timer.get_descriptor()), before);
    EXPECT_LE(before, 59800);
}

TEST(Timer, QuietBeforeStartAndAfterStopWithReadFailingWithEagain) {
    vyr::timer timer(0, 50 * ms, 0, 50 * ms);
    EXPECT_FALSE(readable_within(timer.get_descriptor(), 150));
    std::uint64_t count = 0;
    errno = 0;
    EXPECT_EQ(::read(timer.get_descriptor(), &count, sizeof count), -1);
    EXPECT_EQ(errno, EAGAIN);
    timer.start();
    timer.stop();
    EXPECT_FALSE(readable_within(timer.get_descriptor(), 200));
    timer.start();
    EXPECT_TRUE(readable_within(timer.get_descriptor(), 5000));
}

}  // namespace
