// The sleep mechanism over real sockets: commands arrive on its inproc pipe, the anchors
// come from the platform server stand-in, and the sleep commands are read where the
// gateway input would be. Most cases drive the mechanism on the test thread with an
// injected clock (one pass at a time); the last ones run its real thread.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <utility>

#include <zmq.hpp>

#include "core/logger.h"
#include "delivery/mechsleep.h"
#include "delivery/sender.h"
#include "parameters/parameters.h"
#include "platform/vyrserver.h"
#include "runtime/inproc_commands.h"
#include "support/log_sink.h"
#include "support/node_command.h"
#include "support/platform_server.h"
#include "support/redis_server.h"

namespace {

const std::string s_mac1 = "70B3D5FFFE0A0001";
const std::string s_mac2 = "70B3D5FFFE0A0002";  // listed in its 12-character form
const std::string s_mac9 = "0011223344556677";
// With nothing pending the pipe still times out, so that the idle worker beats.
const int s_idle_ms = static_cast<int>(vyr::worker_thread::s_idle_wait.count());

const char* const s_anchors = R"({"win_anchors": [
  {"uid": "anc-2", "project_uid": "prj-a", "location_uid": "loc-1",
   "position": {"sublocation_uid": "sl-2"}, "node": {"mac_address": "70b3d50a0002"}},
  {"uid": "anc-1", "project_uid": "prj-a", "location_uid": "loc-1",
   "position": {"sublocation_uid": "sl-1"}, "node": {"mac_address": "70B3D5FFFE0A0001"}},
  {"uid": "anc-3", "project_uid": "prj-a", "location_uid": "loc-1", "node": null},
  {"uid": "anc-9", "project_uid": "prj-b", "node": {"mac_address": "0011223344556677"}}]})";

vyr::libs::core::logger& test_logger() {
    static vyr::libs::core::logger logger("rtls-quorvane-test", "mech_sleep");
    return logger;
}

template <class T>
std::string frame_of(const T& _command) {
    return std::string(reinterpret_cast<const char*>(&_command), sizeof _command);
}

std::string put_to_sleep(std::uint32_t _delay, std::uint32_t _sleep, const std::string& _project,
                         const std::string& _loc = "", const std::string& _sl = "") {
    cmd_put_to_sleep_t c{};
    c.cmd = vyr::cmd::request;
    c.delay = _delay;
    c.sleep_time = _sleep;
    vyr::cmd::set_field(c.project_uid, _project);
    vyr::cmd::set_field(c.loc_uid, _loc);
    vyr::cmd::set_field(c.sl_uid, _sl);
    return frame_of(c);
}

std::string from_node(std::uint8_t _code, const std::string& _mac, const std::string& _uid) {
    cmd_notify_from_node_t c{};
    c.cmd = _code;
    vyr::cmd::set_field(c.mac, _mac);
    vyr::cmd::set_field(c.uid, _uid);
    return frame_of(c);
}

std::string confirmed(const std::string& _mac) {
    cmd_node_notified_t c{};
    c.cmd = vyr::cmd::notified;
    vyr::cmd::set_field(c.mac, _mac);
    return frame_of(c);
}

// The mechanism with its table, pass and pipe opened up to the test.
class sleep_probe : public c_mech_sleep {
public:
    using c_mech_sleep::c_mech_sleep;
    // As every derived mechanism must (see c_mechanism): the running thread reads the
    // object's dynamic type, which the base destructors change, so it is joined first.
    ~sleep_probe() override { thread_stop(); }
    using c_mech_sleep::m_anchors;
    using c_mech_sleep::process_sleep_orders;
    int receive_timeout() const { return m_pipe_out->get(zmq::sockopt::rcvtimeo); }
};

class mech_sleep_test : public ::testing::Test {
protected:
    void SetUp() override {
        m_platform.write("win_anchors.json", s_anchors);
        m_gateway.set(zmq::sockopt::rcvtimeo, 10000);  // a missing frame fails, not hangs
        m_gateway.set(zmq::sockopt::linger, 0);
        m_gateway.bind("tcp://127.0.0.1:*");
        m_sender = std::make_shared<c_sender>(m_context, m_gateway.get(zmq::sockopt::last_endpoint), test_logger());
        m_server = std::make_shared<vyr::vyrserver::c_vyrserver>("rtls-quorvane", "http", m_platform.address(), "",
                                                                 "", 0, test_logger());
        m_push.set(zmq::sockopt::linger, 0);
    }

    std::unique_ptr<sleep_probe> make_mechanism(vyr::libs::core::component_logger& _logger) {
        auto probe = std::make_unique<sleep_probe>(m_context, m_server, m_sender, m_redis.host(), m_redis.port(),
                                                   _logger);
        m_push.connect(probe->inproc_name());
        return probe;
    }

    // The mechanism driven on this thread: pipe bound here, clock read from m_now.
    sleep_probe& mechanism() {
        if (!m_mech) {
            m_mech = make_mechanism(test_logger());
            m_mech->set_clock([this] { return m_now; });
            EXPECT_TRUE(m_mech->thread_init());
        }
        return *m_mech;
    }

    bool handle(const std::string& _frame) {
        auto& mech = mechanism();
        EXPECT_TRUE(m_push.send(zmq::buffer(_frame), zmq::send_flags::none));
        return mech.process_pipe_output_socket();
    }
    void pass_at(long _seconds, long _micros = 0) {
        m_now = timeval{_seconds, _micros};
        mechanism().process_sleep_orders();
    }
    // One pass at `_seconds`, which sends the sleep command for `_mac`.
    void pass_sends(long _seconds, const std::string& _mac, unsigned _wait, unsigned long _sleep = 3600) {
        pass_at(_seconds);
        expect_sleep_cmd(_mac, _wait, _sleep);
    }

    std::string next_frame() {
        zmq::message_t message;
        EXPECT_TRUE(m_gateway.recv(message)) << "no frame reached the gateway";
        return message.to_string();
    }
    // The next frame is a sleep command (0x47) for `_mac`: wait (2 bytes) and sleep time (4).
    void expect_sleep_cmd(const std::string& _mac, unsigned _wait, unsigned long _sleep = 3600) {
        const auto command = test::parse_command(next_frame());
        EXPECT_EQ(command.body() + command.mac,
                  "000E4706" + vyr::parameter::hex(_wait, 4) + vyr::parameter::hex(_sleep, 8) + _mac);
    }
    // Nothing was sent before this point: a fence frame on the same socket comes next.
    void expect_nothing_sent() {
        m_sender->win_message("fence");
        EXPECT_EQ(next_frame(), "#win fence");
    }

    test::redis_server m_redis;
    test::platform_server m_platform;
    std::shared_ptr<zmq::context_t> m_context = std::make_shared<zmq::context_t>(1);
    zmq::socket_t m_gateway{*m_context, zmq::socket_type::pull};
    zmq::socket_t m_push{*m_context, zmq::socket_type::push};
    std::shared_ptr<c_sender> m_sender;
    std::shared_ptr<vyr::vyrserver::c_vyrserver> m_server;
    timeval m_now{1000, 0};
    std::unique_ptr<sleep_probe> m_mech;  // destroyed first: its stop needs the context
};

TEST_F(mech_sleep_test, OrderWithDelayZeroIsRemovedWithoutSending) {
    EXPECT_TRUE(handle(put_to_sleep(0, 3600, "prj-a")));
    EXPECT_EQ(mechanism().m_anchors.size(), 2u);  // the anchor without a node is not listed
    EXPECT_EQ(mechanism().receive_timeout(), c_mech_sleep::s_pending_timeout_ms);
    pass_at(1000);
    EXPECT_EQ(std::make_tuple(mechanism().m_anchors.empty(), mechanism().receive_timeout()), std::make_tuple(true, s_idle_ms));
    expect_nothing_sent();
}

TEST_F(mech_sleep_test, WaitSentShrinksAndEveryDueAnchorIsServedInOnePass) {
    m_now = {1000, 500000};
    handle(put_to_sleep(60, 3600, "prj-a", "loc-1"));
    const auto& entry = mechanism().m_anchors.at("anc-2");
    EXPECT_EQ(std::tie(entry.m_mac_address, entry.m_loc_uid, entry.m_start_time.tv_sec), std::make_tuple(s_mac2, "loc-1", 1000));

    pass_at(1000, 500000);
    expect_sleep_cmd(s_mac1, 60);  // key order: anc-1 first
    expect_sleep_cmd(s_mac2, 60);
    pass_at(1000, 600000);
    pass_at(1005, 400000);  // only 4 whole seconds since the last command
    expect_nothing_sent();
    pass_at(1005, 500000);
    expect_sleep_cmd(s_mac1, 55);
    expect_sleep_cmd(s_mac2, 55);
}

TEST_F(mech_sleep_test, EveryAnchorOfALargeOrderGetsItsFirstCommandWithinOnePeriod) {
    std::string list;
    for (std::uint64_t i = 0; i < 500; ++i)
        list += std::string(i ? "," : "") + R"({"uid": "big-)" + std::to_string(i) + R"(", "project_uid": "prj-big", )" +
                R"("node": {"mac_address": ")" + vyr::parameter::hex(0x70B3D5FFFE100000 + i, 16) + "\"}}";
    m_platform.write("win_anchors.json", R"({"win_anchors": [)" + list + "]}");
    handle(put_to_sleep(600, 3600, "prj-big"));
    for (long tenth = 0; tenth < 50; ++tenth)  // 5 s of passes
        pass_at(1000 + tenth / 10, tenth % 10 * 100000);
    m_sender->win_message("fence");
    std::set<std::string> reached;
    for (std::string frame = next_frame(); frame != "#win fence" && reached.size() < 600; frame = next_frame())
        reached.insert(test::parse_command(frame).mac);
    EXPECT_EQ(reached.size(), 500u);
}

TEST_F(mech_sleep_test, WaitLongerThanTheCommandCarriesIsHeldBackAndAClockSetBackKeepsTheOrder) {
    handle(put_to_sleep(86400, 3600, "prj-b"));  // sleep in one day
    pass_at(1000);
    pass_at(1000 + 86400 - 65536);
    expect_nothing_sent();
    pass_at(1000 + 86400 - 65535);
    expect_sleep_cmd(s_mac9, 65535);
    handle(put_to_sleep(60, 3600, "prj-b"));  // replaces the order
    pass_at(m_now.tv_sec);
    expect_sleep_cmd(s_mac9, 60);
    pass_at(400);  // the clock stepped back: the order stays and its commands go on
    ASSERT_EQ(mechanism().m_anchors.count("anc-9"), 1u);
    expect_sleep_cmd(s_mac9, 60);
}

TEST_F(mech_sleep_test, HardwareReportStopsAnAnchorAndAnnouncementStartsItAgain) {
    handle(put_to_sleep(60, 3600, "prj-a"));
    pass_sends(1000, s_mac1, 60);
    pass_sends(1000, s_mac2, 60);

    handle(confirmed(s_mac1));
    pass_sends(1005, s_mac2, 55);
    pass_at(1005);
    expect_nothing_sent();

    // A heartbeat only resets the counter: the confirmed anchor stays quiet.
    handle(from_node(vyr::cmd::node_heartbeat, s_mac1, "anc-1"));
    pass_sends(1010, s_mac2, 50);
    pass_at(1010);
    expect_nothing_sent();

    handle(from_node(vyr::cmd::node_new_announce, s_mac1, "anc-1"));
    pass_sends(1011, s_mac1, 49);
}

// Another instance taking over goes on with the order as Redis keeps it: the anchor that
// confirmed stays quiet, the other gets its command at once with the wait left.
TEST_F(mech_sleep_test, AMechanismStartedAnewTakesUpTheOrdersKeptInRedis) {
    handle(put_to_sleep(60, 3600, "prj-a"));
    pass_sends(1000, s_mac1, 60);
    pass_sends(1000, s_mac2, 60);
    handle(confirmed(s_mac1));
    pass_at(1002);
    m_mech.reset();
    m_now = {50, 0};  // another host's monotonic clock
    pass_sends(50, s_mac2, 58);
    pass_at(50);
    expect_nothing_sent();
    EXPECT_TRUE(mechanism().m_anchors.at("anc-1").m_delivered);
}

TEST_F(mech_sleep_test, TenUnconfirmedCommandsThenNothingUntilReset) {
    handle(put_to_sleep(600, 60, "prj-b"));
    long t = 1000;
    auto send_series = [&](unsigned _count) {
        for (unsigned i = 0; i < _count; ++i, t += 5)
            pass_sends(t, s_mac9, 600 - (t - 1000), 60);
        pass_at(t);
        expect_nothing_sent();
    };
    send_series(10);
    handle(from_node(vyr::cmd::node_heartbeat, s_mac9, "anc-9"));
    send_series(10);
    handle(from_node(vyr::cmd::node_new_announce, s_mac9, "anc-9"));
    pass_sends(t, s_mac9, 500, 60);
}

TEST_F(mech_sleep_test, OrderEndsWhenItsWaitHasRunOut) {
    const long start = 0x2FFFA;
    m_now = {start, 0};
    handle(put_to_sleep(20, 60, "prj-b"));
    pass_sends(start, s_mac9, 20, 60);
    pass_sends(start + 11, s_mac9, 9, 60);  // low 16 bits 5
    pass_sends(start + 19, s_mac9, 1, 60);
    pass_at(start + 20);
    EXPECT_EQ(std::make_tuple(mechanism().m_anchors.empty(), mechanism().receive_timeout()), std::make_tuple(true, s_idle_ms));
    expect_nothing_sent();
}

TEST_F(mech_sleep_test, FailingPlatformRequestIsRetriedWhileTheOrderWaits) {
    m_platform.write("control.json", R"({"fail": {"/api/private/win_anchors/": 500}})");
    EXPECT_TRUE(handle(put_to_sleep(60, 3600, "prj-a")));
    EXPECT_TRUE(handle(put_to_sleep(3, 3600, "prj-b")));
    EXPECT_EQ(mechanism().receive_timeout(), c_mech_sleep::s_pending_timeout_ms);
    pass_at(1004);  // the order of prj-b ran out
    m_platform.remove("control.json");
    pass_at(1004);  // asked again only 5 s after the last request
    EXPECT_TRUE(mechanism().m_anchors.empty());
    pass_at(1005);
    expect_sleep_cmd(s_mac1, 55);
    expect_sleep_cmd(s_mac2, 55);
    EXPECT_EQ(mechanism().m_anchors.count("anc-9"), 0u);

    // An order that lists no anchor changes nothing.
    handle(put_to_sleep(0, 3600, "prj-none"));
    EXPECT_EQ(mechanism().m_anchors.size(), 2u);
}

TEST_F(mech_sleep_test, RunningThreadLogsAFailedOrderServesTheNextAndRetriesTheFailed) {
    vyr::libs::core::logger logger("rtls-quorvane-test", "mech_sleep_thread");
    test::log_sink sink;
    sink.connect(logger);
    m_platform.write("control.json", R"({"fail": {"/api/private/win_anchors/": 500}})");
    std::atomic<long> seconds{1000};  // the running thread's clock, moved on by this one
    auto mech = make_mechanism(logger);
    mech->set_clock([&seconds] { return timeval{seconds.load(), 0}; });
    mech->start();
    ASSERT_TRUE(m_push.send(zmq::buffer(put_to_sleep(60, 3600, "prj-a")), zmq::send_flags::none));
    bool logged = false;
    for (int i = 0; i < 50 && !logged; ++i)
        logged = sink.next_frame().find("Caught exeption") != std::string::npos;
    EXPECT_TRUE(logged);

    m_platform.remove("control.json");
    ASSERT_TRUE(m_push.send(zmq::buffer(put_to_sleep(60, 3600, "prj-b")), zmq::send_flags::none));
    expect_sleep_cmd(s_mac9, 60);  // at once; the failed order is not due again yet
    seconds = 1000 + c_mech_sleep::s_resend_seconds;
    expect_sleep_cmd(s_mac1, 55);  // asked for again, its wait counted from its arrival
    expect_sleep_cmd(s_mac2, 55);
    mech.reset();  // the stop command ends the thread
}

}  // namespace
