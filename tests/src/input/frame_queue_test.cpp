// The receiver's backlog gives back every frame as it was pushed, in order, across the
// ends of its blocks (the middle ones compressed), with one larger than a block among
// them, and counts what it holds.
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "input/frame_queue.h"

namespace {

using vyr::input::frame_queue;

struct kept {
    frame_queue::kind what;
    std::string text, device;
    bool writes, request_failed;
    timeval stamp;
    std::int64_t arrival;
    std::vector<std::uint32_t> held;
    bool anchor = false;
};

frame_queue::frame view(const kept& _k) {
    frame_queue::frame f;
    f.what = _k.what;
    f.text = _k.text;
    f.device = _k.device;
    f.writes = _k.writes;
    f.request_failed = _k.request_failed;
    f.stamp = _k.stamp;
    f.arrival = _k.arrival;
    f.held = _k.held;
    f.anchor = _k.anchor;
    return f;
}

void expect_front(const frame_queue& _queue, const kept& _k, std::size_t _at) {
    const auto f = _queue.front();
    SCOPED_TRACE("frame " + std::to_string(_at));
    ASSERT_EQ(f.what, _k.what);
    EXPECT_EQ(f.text, _k.text);
    EXPECT_EQ(f.device, _k.device);
    EXPECT_EQ(f.writes, _k.writes);
    EXPECT_EQ(f.request_failed, _k.request_failed);
    EXPECT_EQ(f.held, _k.held);
    EXPECT_EQ(f.anchor, _k.anchor);
    if (_k.what == frame_queue::kind::report) {
        EXPECT_EQ(f.stamp.tv_sec, _k.stamp.tv_sec);
        EXPECT_EQ(f.stamp.tv_usec, _k.stamp.tv_usec);
        EXPECT_EQ(f.arrival, _k.arrival);
    }
}

// Frames of every kind and of sizes that leave odd remainders; every 97th is larger
// than a block. Pushed and popped in waves, so that blocks are freed, kept as the spare
// and written again while others are still read.
TEST(frame_queue_test, gives_back_every_frame_in_order_across_blocks) {
    frame_queue queue;
    std::deque<kept> expected;
    std::size_t next = 0;
    const auto make = [&next] {
        const std::size_t n = next++;
        kept k;
        k.what = static_cast<frame_queue::kind>(n % 3);
        const std::size_t size = n % 97 == 0 ? frame_queue::s_block_bytes + 13 : 1 + (n * 7919) % 1500;
        k.text = std::string(size, static_cast<char>('a' + n % 26));
        k.device = n % 5 == 0 ? std::string() : "00000000" + std::to_string(n);
        k.writes = n % 2 == 0;
        k.request_failed = n % 7 == 0;
        k.anchor = n % 3 == 1;
        k.stamp = timeval{static_cast<time_t>(1700000000 + n), static_cast<suseconds_t>(n % 1000 * 1000)};
        k.arrival = static_cast<std::int64_t>(1800000000 + n);
        for (std::size_t i = 0; i < n % 4; ++i)
            k.held.push_back(static_cast<std::uint32_t>(n + i));
        return k;
    };
    const std::size_t waves[][2] = {{1, 1}, {500, 300}, {2000, 2100}, {3000, 0}, {10, 3010}, {700, 800}};
    for (const auto& wave : waves) {
        for (std::size_t i = 0; i < wave[0]; ++i) {
            expected.push_back(make());
            queue.push(view(expected.back()));
        }
        ASSERT_EQ(queue.size(), expected.size());
        for (std::size_t i = 0; i < wave[1]; ++i) {
            expect_front(queue, expected.front(), next - expected.size());
            queue.pop();
            expected.pop_front();
        }
        ASSERT_EQ(queue.size(), expected.size());
        ASSERT_EQ(queue.empty(), expected.empty());
    }
    EXPECT_EQ(queue.bytes(), 0u);
    EXPECT_EQ(queue.memory(), 0u);
}

// A start-up's reports, much alike, are held in a fraction of their size: only the block
// read and the one written are whole. Each comes back as it was pushed.
TEST(frame_queue_test, holds_a_long_backlog_of_reports_compressed) {
    frame_queue queue;
    std::vector<kept> reports;
    for (unsigned n = 0; n < 20000; ++n) {
        const std::string mac = "70B3D5FFFE0B" + std::to_string(1000 + n % 9000);
        const std::string text = "{\"mac\":\"" + mac + "\",\"ts\":" + std::to_string(1765280000 + n / 7) +
                                 ",\"ms\":" + std::to_string(n * 37 % 1000) +
                                 ",\"plist\":{\"category\":\"person\",\"em_alm\":" + std::to_string(n % 2) +
                                 ",\"scr_gname\":\"Workers\",\"scr_name\":\"Worker-" + std::to_string(n) +
                                 "\",\"stationary\":false,\"t2t_cfg\":{\"dist\":" + std::to_string(300 + n % 500) +
                                 ",\"role\":\"monitor\"}},\"req_plist\":[9,43,44,46,47,60,82,83,93,94]}";
        reports.push_back(kept{frame_queue::kind::report, text, mac, true, false, {1765280000, 0}, n, {60}});
        queue.push(view(reports.back()));
    }
    EXPECT_LT(queue.memory(), queue.bytes() / 3) << queue.bytes() << " bytes of frames";
    for (std::size_t n = 0; n < reports.size(); ++n) {
        expect_front(queue, reports[n], n);
        queue.pop();
    }
    EXPECT_EQ(queue.memory(), 0u);
}

// What a frame takes is its text and device plus a header, rounded to 8 bytes.
TEST(frame_queue_test, counts_the_bytes_of_the_frames_it_holds) {
    frame_queue queue;
    kept beat{frame_queue::kind::heartbeat, std::string(100, 'h'), "0011223344556677", true, false, {}, 0, {}};
    kept report{frame_queue::kind::report, std::string(301, 'r'), "0011223344556677", true, false, {5, 0}, 9, {1, 2}};
    queue.push(view(beat));
    EXPECT_EQ(queue.bytes(), 8u + 16 + 104);
    queue.push(view(report));
    EXPECT_EQ(queue.bytes(), 128u + 8 + 24 + 8 + 16 + 304);
    queue.pop();
    EXPECT_EQ(queue.bytes(), 360u);
    EXPECT_THROW(queue.push(view(kept{frame_queue::kind::other, "x", std::string(256, 'd'), false, false, {}, 0, {}})),
                 std::length_error);
    EXPECT_EQ(queue.size(), 1u);
}

}  // namespace
