// The process logger as seen from outside: frames on a real PULL socket (tcp loopback,
// since the logger keeps a private ZeroMQ context), the time stamp, prefixes, locations,
// indentation, exceptions and broken format strings, and the syslog copy on stderr when
// local debugging is on, and the fields handed to journald.
#include <sys/uio.h>

#include <chrono>
#include <functional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zmq.hpp>

#include "core/exception.h"
#include "core/logger.h"
#include "support/log_sink.h"

using vyr::libs::core::format_time;
using vyr::libs::core::logger;
using vyr::libs::core::timestamp;

namespace {

const std::string s_time = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} )";

timestamp at_milliseconds(std::int64_t _ms) {
    return timestamp{std::chrono::time_point<std::chrono::system_clock, std::chrono::milliseconds>(
        std::chrono::milliseconds(_ms))};
}

// The debug console of these tests: a PULL socket the logger under test connects to.
class LoggerSocket : public ::testing::Test {
protected:
    void SetUp() override { m_sink.connect(m_logger); }
    std::string next_frame() { return m_sink.next_frame(); }

    test::log_sink m_sink;
    logger m_logger{"quorvane-test", "main"};
};

void expect_frame(const std::string& _frame, const std::string& _pattern) {
    EXPECT_TRUE(std::regex_match(_frame, std::regex(_pattern))) << "frame:   " << _frame << "\npattern: " << _pattern;
}

}  // namespace

TEST_F(LoggerSocket, frame_is_prefix_time_and_message) {
    m_logger.info("hello %1% %2%") % 42 % "world";
    expect_frame(next_frame(), "&quorvane-test:main " + s_time + "hello 42 world");
    m_logger.info("seven").date_time(at_milliseconds(1700000000007));
    EXPECT_EQ(next_frame(), "&quorvane-test:main 2023-11-14 22:13:20.007 seven");
}

TEST_F(LoggerSocket, location_and_function_come_before_the_message) {
    const auto here = VYR_HERE;
    const std::string line = std::to_string(here.line());
    m_logger.error("located").location(here).date_time(at_milliseconds(0));
    EXPECT_EQ(next_frame(), "&quorvane-test:main 1970-01-01 00:00:00.000 /tests/libs/core/logger_test.cpp:" + line +
                                " located");

    const vyr::libs::core::source_location inside(12, "x.cpp", "void vyr::updater::thread_body()");
    m_logger.warning("short").short_function(inside).date_time(at_milliseconds(0));
    EXPECT_EQ(next_frame(), "&quorvane-test:main 1970-01-01 00:00:00.000 vyr::updater::thread_body: short");
    m_logger.warning("full").function(inside).date_time(at_milliseconds(0));
    EXPECT_EQ(next_frame(), "&quorvane-test:main 1970-01-01 00:00:00.000 void vyr::updater::thread_body(): full");
}

TEST_F(LoggerSocket, component_loggers_carry_their_own_prefix_and_indent) {
    auto receiver = m_logger.component("receiver");
    {
        auto guard = receiver->enter_scope("outer");
        expect_frame(next_frame(), "&quorvane-test:receiver " + s_time + "outer");
        receiver->info("nested");
        expect_frame(next_frame(), "&quorvane-test:receiver " + s_time + "    \\| nested");
        // The owner's depth is its own.
        m_logger.info("owner");
        expect_frame(next_frame(), "&quorvane-test:main " + s_time + "owner");
        auto inner = receiver->enter_function_short(vyr::libs::core::source_location(1, "f", "int vyr::a::b(int)"), "x");
        expect_frame(next_frame(), "&quorvane-test:receiver " + s_time + "    \\| vyr::a::b: x");
        receiver->info("deeper");
        expect_frame(next_frame(), "&quorvane-test:receiver " + s_time + " {8}\\| deeper");
    }
    receiver->info("back");
    expect_frame(next_frame(), "&quorvane-test:receiver " + s_time + "back");
}

TEST_F(LoggerSocket, debug_records_reach_the_socket_unless_writing_to_it_is_off) {
    // Masking debug records is syslog's business; the debug stream gets everything.
    ASSERT_FALSE(m_logger.is_debug());
    m_logger.set_writing_to_socket(false);
    m_logger.info("not sent");
    m_logger.set_writing_to_socket(true);
    m_logger.debug("quiet %1%") % 1;
    expect_frame(next_frame(), "&quorvane-test:main " + s_time + "quiet 1");
}

TEST_F(LoggerSocket, bad_format_is_marked_and_does_not_crash) {
    m_logger.info("too few %1% %2%") % 1;
    expect_frame(next_frame(), "&quorvane-test:main " + s_time + "too few %1% %2% \\[bad log format\\]");
    m_logger.info("too many %1%") % 1 % 2;
    expect_frame(next_frame(), "&quorvane-test:main " + s_time + "too many %1% \\[bad log format\\]");
    m_logger.info("broken %1");
    expect_frame(next_frame(), "&quorvane-test:main " + s_time + "broken %1 \\[bad log format\\]");
    m_logger.info("%d items of %s") % 5 % "kind";
    expect_frame(next_frame(), "&quorvane-test:main " + s_time + "5 items of kind");
}

TEST_F(LoggerSocket, log_exception_writes_the_caught_exception) {
    int line = 0;
    try {
        line = __LINE__ + 1;
        VYR_THROW("failed on purpose");
    } catch (...) {
        m_logger.log_exception(VYR_HERE);
    }
    expect_frame(next_frame(), "&quorvane-test:main " + s_time + "/tests/libs/core/logger_test.cpp:\\d+ Caught exeption");
    expect_frame(next_frame(), "&quorvane-test:main " + s_time + "/tests/libs/core/logger_test.cpp:" +
                                   std::to_string(line) + " failed on purpose");
    try {
        throw 17;
    } catch (...) {
        m_logger.log_exception();
    }
    expect_frame(next_frame(), "&quorvane-test:main " + s_time + "Unknown exception");

    m_logger.set_logger_enabled(false);
    try {
        throw std::runtime_error("hidden");
    } catch (...) {
        m_logger.log_exception();
    }
    m_logger.info("marker");
    expect_frame(next_frame(), "&quorvane-test:main " + s_time + "marker");
}

TEST_F(LoggerSocket, log_error_names_location_and_error) {
    const vyr::libs::core::source_location where(77, "relative.cpp", "f()");
    m_logger.log_error(std::make_error_code(std::errc::connection_refused), where);
    expect_frame(next_frame(), "&quorvane-test:main " + s_time + ".*:77: " + std::make_error_code(std::errc::connection_refused).message());
}

TEST(Logger, connect_to_a_bad_endpoint_throws) {
    logger log("quorvane-test", "main");
    EXPECT_THROW(log.connect("no-such-transport://x"), zmq::error_t);
    // It still logs once connected to a good one.
    test::log_sink sink;
    sink.connect(log);
    log.info("still usable");
    expect_frame(sink.next_frame(), "&quorvane-test:main " + s_time + "still usable");
}


// Records as journald is handed them (the sender captured): message, priority, identity,
// and the MAC of a device_mac argument as RTLS_MAC; debug records only with local
// debugging; a refusing journal leaves the record to syslog, the debug frame unchanged.
TEST_F(LoggerSocket, journal_records_carry_the_device_mac_as_a_field) {
    std::vector<std::vector<std::string>> sent;
    int answer = 0;
    m_logger.set_journal_sender([&](const iovec* _fields, int _count) {
        sent.emplace_back();
        for (int i = 0; i < _count; ++i)
            sent.back().emplace_back(static_cast<const char*>(_fields[i].iov_base), _fields[i].iov_len);
        return answer;
    });
    using vyr::libs::core::device_mac;
    const std::vector<std::string> head = {"PRIORITY=4", "SYSLOG_IDENTIFIER=quorvane-test", "SYSLOG_FACILITY=1"};
    const auto fields = [&](const std::string& _message, const char* _mac) {
        std::vector<std::string> all = {"MESSAGE=" + _message};
        all.insert(all.end(), head.begin(), head.end());
        if (_mac)
            all.emplace_back(std::string("RTLS_MAC=") + _mac);
        return std::vector<std::vector<std::string>>{all};
    };
    const struct {
        std::function<void()> log;
        std::vector<std::vector<std::string>> expected;
    } cases[] = {
        {[&] { m_logger.warning("zone alarm of %1% not judged: %2%") % device_mac{"70B3D5FFFE0B0001"} % "no zone"; },
         fields("zone alarm of 70B3D5FFFE0B0001 not judged: no zone", "70B3D5FFFE0B0001")},
        {[&] { m_logger.warning("%1% then %2%") % device_mac{"aa"} % device_mac{"bb"}; }, fields("aa then bb", "aa")},
        {[&] { m_logger.warning("about no device: %1%") % 7; }, fields("about no device: 7", nullptr)},
        {[&] { m_logger.debug("debug of %1%") % device_mac{"aa"}; }, {}},
    };
    for (const auto& c : cases) {
        sent.clear();
        c.log();
        EXPECT_EQ(sent, c.expected);
        next_frame();
    }
    answer = -1;
    m_logger.warning("refused %1%") % device_mac{"cc"};
    EXPECT_EQ(sent.size(), 1u);
    expect_frame(next_frame(), "&quorvane-test:main " + s_time + "refused cc");
}
