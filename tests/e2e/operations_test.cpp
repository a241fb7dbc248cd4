// The service as operators watch it, on a simulated demo site: its metrics endpoint
// agrees with the status tool and with what the simulated gateway received, and the
// service manager's notify socket gets READY=1 and watchdog pings that stop while a
// worker loop is stuck (on a Redis that no longer answers) and come back after.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "core/logger.h"
#include "status.h"
#include "support/process.h"
#include "support/sim_site.h"

namespace {

using namespace std::chrono_literals;

TEST(Operations, MetricsAgreeWithTheStatusToolAndTheGateway) {
    test::sim_site::options options;
    options.sim.devices = 40;  // the rest of the project's devices stay unseen
    options.sim.ignore = {vyr::devsim::parse_rule("3:scr_name")};  // three tags refuse a value
    test::sim_site site(options);

    vyr::libs::core::logger logger("operations-test", "status");
    vyr::tools::status::options read_options;
    read_options.redis_port = site.redis().port();
    std::unique_ptr<vyr::tools::status::reader> reader;
    std::map<std::string, double> m;
    vyr::tools::status::summary totals;
    const auto devices = [&](const char* _status) { return m["rtls_quorvane_devices{status=\"" + std::string(_status) + "\"}"]; };
    // Settled: the counts of the latest pass are those the status tool reads, and the
    // gateway took every frame the service counted. (The refusing tags are pushed a second
    // after their requests' answers, once their answers could be in.)
    const bool agree = test::wait_until(
        [&] {
            m = site.metrics();
            if (m["rtls_quorvane_mirror_complete"] != 1 || m["rtls_quorvane_cycles_total"] < 3 ||
                m["rtls_quorvane_pushes_total"] == 0)
                return false;
            if (!reader)
                reader = std::make_unique<vyr::tools::status::reader>(read_options, logger);
            totals = reader->read_all().totals;
            const auto stats = site.sim().stats();
            return devices("in_step") == totals.in_step &&
                   devices("differing") + devices("gave_up") == totals.differing &&
                   devices("gave_up") == totals.gave_up && devices("rejects") == totals.rejects &&
                   devices("unseen") == totals.unseen &&
                   m["rtls_quorvane_frames_sent_total"] == stats.commands &&
                   m["rtls_quorvane_payloads_sent_total"] == stats.payloads;
        },
        120s);
    ASSERT_TRUE(agree) << "metrics: in step " << devices("in_step") << ", differing " << devices("differing")
                       << ", gave up " << devices("gave_up") << ", unseen " << devices("unseen") << ", frames "
                       << m["rtls_quorvane_frames_sent_total"] << ", payloads "
                       << m["rtls_quorvane_payloads_sent_total"] << "; " << summary_line(totals) << "; gateway "
                       << site.sim().stats().to_json().toStyledString() << site.service_output();
    // The three refusing tags differ until their tenth answered push, then reject.
    EXPECT_GT(devices("differing") + devices("rejects"), 0);
    EXPECT_LE(devices("differing") + devices("rejects"), 3);
    EXPECT_EQ(devices("unseen"), 162 - 40);
    EXPECT_GT(devices("in_step"), 30);
    // The other families move as the site runs.
    for (const char* name : {"rtls_quorvane_pushes_total", "rtls_quorvane_requests_answered_total",
                             "rtls_quorvane_request_latency_seconds_count", "rtls_quorvane_cycle_duration_seconds_count",
                             "rtls_quorvane_reports_processed_total", "rtls_quorvane_full_refreshes_total",
                             "rtls_quorvane_full_refresh_duration_seconds_count"})
        EXPECT_GT(m[name], 0) << name;
    EXPECT_EQ(m["rtls_quorvane_requests_answered_total"], m["rtls_quorvane_request_latency_seconds_count"]);
    for (const char* name : {"rtls_quorvane_frames_dropped_total", "rtls_quorvane_reports_malformed_total",
                             "rtls_quorvane_redis_command_errors_total", "rtls_quorvane_inproc_commands_dropped_total",
                             "rtls_quorvane_cycles_skipped_total"})
        EXPECT_EQ(m.count(name), 1u) << name;
}

// A unix datagram socket in the place of the service manager's.
class notify_socket {
public:
    explicit notify_socket(const std::string& _path) : m_fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        _path.copy(address.sun_path, sizeof address.sun_path - 1);
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot bind " + _path);
    }
    ~notify_socket() { ::close(m_fd); }
    notify_socket(const notify_socket&) = delete;
    notify_socket& operator=(const notify_socket&) = delete;

    // The next datagram within `_wait`; empty when none came.
    std::string receive(std::chrono::milliseconds _wait) {
        const timeval timeout{static_cast<time_t>(_wait.count() / 1000), static_cast<suseconds_t>(_wait.count() % 1000 * 1000)};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        char buffer[4096];
        const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, 0);
        return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
    }
    // Receives until `_wanted` holds for a datagram; false after `_timeout`.
    template <class Predicate>
    bool until(Predicate _wanted, std::chrono::seconds _timeout) {
        return test::wait_until([&] { return _wanted(receive(200ms)); }, _timeout);
    }

private:
    int m_fd;
};

TEST(Operations, WatchdogIsPingedOnlyWhileEveryWorkerLoopMakesProgress) {
    test::temp_dir dir;
    notify_socket manager(dir.file("notify"));
    // The child takes the environment of the test process.
    ::setenv("NOTIFY_SOCKET", dir.file("notify").c_str(), 1);
    ::setenv("WATCHDOG_USEC", "1000000", 1);
    test::sim_site::options options;
    options.sim.devices = 10;
    test::sim_site site(options);
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");

    const auto has = [](const char* _text) { return [_text](const std::string& _m) { return _m.find(_text) != std::string::npos; }; };
    ASSERT_TRUE(manager.until(has("READY=1"), 60s)) << site.service_output();
    ASSERT_TRUE(manager.until(has("STATUS=running: 162 devices"), 60s));
    int pings = 0;
    ASSERT_TRUE(manager.until([&](const std::string& _m) { return has("WATCHDOG=1")(_m) && ++pings == 3; }, 30s));

    // Redis stops answering: the loops that wait on it make no progress.
    ASSERT_EQ(::kill(site.redis().pid(), SIGSTOP), 0);
    const bool silent = test::wait_until(
        [&] {
            const auto start = std::chrono::steady_clock::now();
            while (std::chrono::steady_clock::now() - start < 3s)
                if (has("WATCHDOG=1")(manager.receive(500ms)))
                    return false;
            return true;
        },
        60s);
    ::kill(site.redis().pid(), SIGCONT);
    EXPECT_TRUE(silent) << "the watchdog was pinged on while Redis did not answer";
    EXPECT_TRUE(site.service().running());
    EXPECT_TRUE(manager.until(has("WATCHDOG=1"), 60s)) << "no ping after Redis answered again";
}

}  // namespace
