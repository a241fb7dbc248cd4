// The delivery schedule: a step takes each device once, whether it was marked, due or
// swept; a device taken loses its due time; the earlier of two due times holds; the sweep
// walks its list a slice per step and tells which devices only it brought.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "delivery/schedule.h"

namespace {

using vyr::delivery::schedule;
using macs = std::vector<std::string>;

TEST(Schedule, StepsTakeTheMarkedTheDueAndTheSweepsSliceEachOnce) {
    schedule s;
    s.sweep_over({"A", "B", "C", "D", "E"});
    s.mark("B");
    s.due_at("C", 100);
    s.due_at("C", 300);  // the earlier time holds
    s.due_at("F", 200);
    struct row {
        const char* what;
        schedule::time_us now;
        std::size_t sweep;
        macs taken;
        macs swept;
        std::optional<schedule::time_us> next_due;
    };
    const row rows[] = {
        {"marked, due, and two swept of which one was marked", 150, 2, {"A", "B", "C"}, {"A"}, 200},
        {"nothing marked or due yet", 199, 0, {}, {}, 200},
        {"the rest of the sweep and the one due", 200, 5, {"C", "D", "E", "F"}, {"C", "D", "E"}, std::nullopt},
    };
    for (const auto& r : rows) {
        const auto step = s.take(r.now, r.sweep);
        EXPECT_EQ(step.macs, r.taken) << r.what;
        EXPECT_EQ(macs(step.swept.begin(), step.swept.end()).size(), r.swept.size()) << r.what;
        for (const auto& mac : r.swept)
            EXPECT_EQ(step.swept.count(mac), 1u) << r.what << ": " << mac;
        EXPECT_EQ(s.next_due(), r.next_due) << r.what;
    }
    EXPECT_TRUE(s.sweep_done());
}

TEST(Schedule, ADeviceTakenLosesItsDueTimeAndMarkAllTakesEveryDevice) {
    schedule s;
    s.due_at("A", 500);
    s.due_at("B", 700);
    s.mark("A");
    EXPECT_EQ(s.latest_due_by(600), 500);
    const auto first = s.take(10, 0);
    EXPECT_EQ(first.macs, macs{"A"});
    EXPECT_EQ(std::make_pair(s.next_due(), s.latest_due_by(600)),
              std::make_pair(std::optional<schedule::time_us>(700), std::optional<schedule::time_us>()));
    s.mark_all();
    EXPECT_TRUE(s.marked());
    const auto all = s.take(10, 0);
    EXPECT_TRUE(all.all && !all.empty());
    EXPECT_EQ(std::make_pair(s.marked(), s.waiting()), std::make_pair(false, std::size_t{0}));
}

}  // namespace
