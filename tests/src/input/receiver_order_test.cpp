// What the receiver tells the parameter-request mechanism and when: each device whose
// WIN record it wrote is named once the record can be read, and requests go ahead of a
// backlog of writes held up by a slow Redis, through the running receiver.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "parameters/parameters.h"
#include "runtime/mailboxes.h"
#include "support/process.h"
#include "support/log_sink.h"
#include "support/receiver_fixture.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

std::string report(const std::string& _mac, const std::string& _members) {
    return "#param_p{\"mac\":\"" + _mac + "\",\"ts\":1,\"ms\":0," + _members + "}";
}
std::string announcement(const char* _object, const std::string& _mac, const char* _action) {
    return std::string("#notify{\"object\":\"") + _object + "\",\"mac\":\"" + _mac + "\",\"action\":\"" + _action +
           "\"}";
}

using marks_test = test::receiver_fixture;

// The mark comes after the write: the record is read the moment the mark is in.
TEST_F(marks_test, each_written_device_is_named_once_its_record_can_be_read) {
    const std::string mac = "00000000000000B1";
    const auto field = [mac](const std::string& _key, const char* _field) {
        return redis({"HGET", "wins:" + mac + _key, _field});
    };
    const struct {
        const char* what;
        std::function<void()> before;
        std::string frame;
        std::function<bool()> written;
        bool alive_only = false;  // a heartbeat: it matters only for a device not in step
    } cases[] = {
        {"report", [] {}, report(mac, R"("plist":{"stationary":true})"),
         [&] { return field(":parameters:stationary", "stationary") == "true"; }},
        {"answer settling a zone alarm",
         [&] { redis({"HSET", "wins:" + mac + ":alarm", "state", "sent", "shown_level", "0", "shown_zone_id", "0",
                 "shown_uid", "x"}); },
         report(mac, R"("plist":{"al_zv":{"level":0}})"), [&] { return field(":alarm", "state") == "message"; }},
        {"tag announced", [] {}, announcement("TO", mac, "NA"), [&] { return field(":data", "announced") != "(nil)"; }},
        {"anchor alive", [&] { store().get_win(mac).sending_time(timeval{5, 0}); }, announcement("WIN", mac, "HB"),
         [&] { return field(":data", "answered") != "(nil)"; }, true},
        {"tag alive", [&] { redis({"HSET", "wins:" + mac + ":alarm", "state", "sent"}); },
         announcement("TO", mac, "HB"), [&] { return field(":data", "answered") != "(nil)"; }, true},
        // Its alarm state set for the first time: judged as for any change.
        {"tag alive, its alarm state unknown", [] {}, announcement("TO", mac, "HB"),
         [&] { return field(":alarm", "state") == "not_configured"; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        redis({"FLUSHDB"});
        c.before();
        publish(c.frame);
        std::vector<std::string> named;
        bool readable = false, alive_only = false;
        for (auto deadline = clock_type::now() + 10s; named.empty() && clock_type::now() < deadline;) {
            const auto frame = test::receive(*m_param_req, 100ms);
            const auto message = vyr::mail::mech_param_req::read(frame.value_or(""));
            if (const auto* changed = std::get_if<vyr::mail::devices_changed>(&message)) {
                readable = c.written();
                named = changed->macs;
                alive_only = changed->alive_only;
            }
        }
        EXPECT_EQ(std::make_pair(named, alive_only), std::make_pair(std::vector<std::string>{mac}, c.alive_only));
        EXPECT_TRUE(readable);
        EXPECT_TRUE(sync().marked.empty());
    }
}

// Redis answering every command late, as under the load of a start-up.
class slow_redis_test : public test::receiver_fixture {
protected:
    static void SetUpTestSuite() {
        s_server = std::make_unique<test::redis_server>(std::vector<std::string>{"--enable-debug-command", "local"});
    }
    void configure(c_receiver& _receiver) override { _receiver.report_progress_to(m_progress); }
    static std::int64_t wall_us() {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        return std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    }
    void start_slowing() {
        m_slowing = std::thread([this] {
            while (!m_stop_slowing)
                s_server->command({"DEBUG", "SLEEP", "0.01"});
        });
    }
    void TearDown() override {
        m_stop_slowing = true;
        if (m_slowing.joinable())
            m_slowing.join();
        test::receiver_fixture::TearDown();
    }
    std::atomic<bool> m_stop_slowing{false};
    std::thread m_slowing;
    std::shared_ptr<vyr::receiver_progress> m_progress = std::make_shared<vyr::receiver_progress>();
};

// Every device announces itself and asks at once. Its request is answered from the
// project, not from its writes: it goes at once, though each announcement waits on Redis.
// Only em_alm, answered from what the device reports, waits until its record is written.
TEST_F(slow_redis_test, requests_go_ahead_of_the_writes_and_em_alm_waits_for_its_device) {
    constexpr int devices = 300;
    struct seen {
        clock_type::time_point asked, answered_ahead, first_mark;
        std::vector<std::uint32_t> ahead, behind;
        bool marked = false, em_alm_after_mark = false;
    };
    std::map<std::string, seen> by_mac;
    start_slowing();
    const auto start = clock_type::now();
    for (int i = 0; i < devices; ++i) {
        char mac[17];
        std::snprintf(mac, sizeof mac, "00000000000A%04X", i);
        publish(announcement("TO", mac, "NA"));
        publish(report(mac, R"("plist":{"stationary":true,"em_alm":{"state":"CLEAR"}},)"
                            R"("req_plist":["loc","em_alm","scr_name"])"));
        by_mac[mac].asked = clock_type::now();
    }
    // The backlog's progress: nothing published is recorded when the first writes are in,
    // everything once the last are.
    const auto published = wall_us();
    std::optional<bool> recorded_at_first_mark;
    std::size_t complete = 0;
    std::size_t handlings = 0;
    clock_type::time_point drained;
    for (auto deadline = clock_type::now() + 60s; complete < by_mac.size() && clock_type::now() < deadline;) {
        const auto frame = test::receive(*m_param_req, 100ms);
        if (!frame)
            continue;
        const auto now = clock_type::now();
        const auto message = vyr::mail::mech_param_req::read(*frame);
        if (const auto* changed = std::get_if<vyr::mail::devices_changed>(&message)) {
            ++handlings;
            if (!recorded_at_first_mark)
                recorded_at_first_mark = m_progress->recorded_through(published);
            drained = now;
            for (const auto& mac : changed->macs)
                if (by_mac.count(mac) && !std::exchange(by_mac[mac].marked, true))
                    by_mac[mac].first_mark = now;
        } else if (const auto* request = std::get_if<vyr::mail::param_request>(&message)) {
            auto& device = by_mac.at(request->mac);
            const auto& numbers = request->numbers;
            const bool em_alm = std::find(numbers.begin(), numbers.end(), vyr::parameter::EM_ALM) != numbers.end();
            (em_alm ? device.behind : device.ahead) = request->numbers;
            if (em_alm) {
                device.em_alm_after_mark = device.marked;
                ++complete;
            } else {
                device.answered_ahead = now;
            }
        }
    }
    ASSERT_EQ(complete, by_mac.size()) << "requests lost";
    EXPECT_EQ(recorded_at_first_mark, std::optional<bool>(false));
    sync();
    const auto synced = wall_us();
    EXPECT_TRUE(test::wait_until([&] { return m_progress->recorded_through(synced); }, 5s));
    clock_type::duration slowest{};
    for (const auto& [mac, device] : by_mac) {
        SCOPED_TRACE(mac);
        EXPECT_EQ(std::make_pair(device.ahead, device.behind),
                  std::make_pair(std::vector<std::uint32_t>{vyr::parameter::LOC, vyr::parameter::SCR_NAME},
                                 std::vector<std::uint32_t>{vyr::parameter::EM_ALM}));
        EXPECT_TRUE(device.em_alm_after_mark);
        slowest = std::max(slowest, device.answered_ahead - device.asked);
    }
    const auto drain = drained - start;
    EXPECT_LT(slowest, 500ms);
    // Announcements and reports in turn are handled in batches, not a frame at a time.
    EXPECT_LT(handlings, 2u * devices / 10) << handlings;
    // The bound means something only when the writes took far longer.
    EXPECT_GT(drain, 3 * slowest) << "drain " << std::chrono::duration_cast<std::chrono::milliseconds>(drain).count()
                                  << " ms";
}

// Announcements, heartbeats and reports in a row are handled together, the announcements
// first: a device that reported and then announced itself keeps that order (the
// announcement forgets the report), one that announced itself and then reported keeps its
// report.
TEST_F(slow_redis_test, a_batch_keeps_each_devices_order_of_announcement_and_report) {
    const auto stationary = [](const std::string& _mac) {
        return redis({"HGET", "wins:" + _mac + ":parameters:stationary", "stationary"});
    };
    start_slowing();
    std::map<std::string, std::string> expected;
    for (int i = 0; i < 40; ++i) {
        char mac[17];
        std::snprintf(mac, sizeof mac, "00000000000B%04X", i);
        const auto reported = report(mac, R"("plist":{"stationary":true})");
        const auto announced = announcement(i % 2 ? "TO" : "WIN", mac, "NA");
        publish(i % 4 < 2 ? reported : announced);
        publish(i % 4 < 2 ? announced : reported);
        expected[mac] = i % 4 < 2 ? "(nil)" : "true";
    }
    sync();
    for (const auto& [mac, value] : expected)
        EXPECT_EQ(stationary(mac), value) << mac;
}

}  // namespace
