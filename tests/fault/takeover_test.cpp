// Two instances of the service on one Redis, as on two site servers: the active one killed
// (SIGKILL) with its site in step, the standby taking over within the lease and 5 s,
// keeping the mirror and the device records, and the first one, started again, standing
// by. The device simulator stands in for the gateway and the devices.
#include <chrono>
#include <csignal>
#include <map>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/process.h"
#include "support/sim_site.h"

namespace {

using namespace std::chrono_literals;

constexpr auto s_lease = 5s;

// Commands any device received between `_from` and `_to` (simulator seconds).
std::size_t commands_between(test::sim_site& _site, double _from, double _to) {
    std::size_t count = 0;
    for (const auto& mac : _site.sim().macs())
        for (const auto& received : _site.sim().device(mac).received)
            count += received.at > _from && received.at < _to ? 1 : 0;
    return count;
}

// A site whose first instance is "site-a", under a lease of s_lease; its devices do not
// notice a take-over (they announce themselves once).
struct two_servers {
    static test::sim_site::options options(std::size_t _devices) {
        test::sim_site::options result;
        result.sim.devices = _devices;
        result.sim.heartbeat = 0;
        result.sim.start_once = true;
        result.configure = [](Json::Value& _config) {
            _config["system"]["instance_name"] = "site-a";
            _config["system"]["lease_seconds"] = static_cast<int>(s_lease.count());
        };
        return result;
    }
    explicit two_servers(std::size_t _devices) : site(options(_devices)) {}
    double gauge(std::size_t _instance, const std::string& _name) { return site.metrics(_instance)[_name]; }
    bool is(std::size_t _instance, const std::string& _role) {
        return gauge(_instance, "rtls_quorvane_role{role=\"" + _role + "\"}") == 1;
    }

    test::sim_site site;
};

TEST(takeover, a_killed_active_instance_is_replaced_by_the_standby_which_pushes_nothing_in_step) {
    two_servers servers(12);
    auto& site = servers.site;
    ASSERT_TRUE(test::wait_until([&] { return servers.is(0, "active"); }, 30s)) << site.service_output();
    const std::size_t standby = site.start_instance("site-b");
    ASSERT_TRUE(test::wait_until([&] { return servers.is(standby, "standby"); }, 30s));

    // In step: pushes were made, then none for 12 s (more than two sending periods).
    ASSERT_TRUE(site.wait_quiet("rtls_quorvane_pushes_total", 12s, 180s));
    EXPECT_TRUE(servers.is(standby, "standby")) << "two active instances";

    const double in_step = servers.gauge(0, "rtls_quorvane_devices{status=\"in_step\"}");
    EXPECT_EQ(in_step, static_cast<double>(site.sim().macs().size()));
    const auto macs = site.sim().macs();
    const std::string asking = macs.front();  // asks for its parameters again and again
    const double killed_at = site.sim().elapsed();
    site.service().signal(SIGKILL);
    ASSERT_TRUE(site.service().wait(5s));
    const bool taken = test::wait_until([&] { return servers.is(standby, "active"); }, s_lease + 5s);
    ASSERT_TRUE(taken) << "not active within the lease and 5 s";
    EXPECT_EQ(servers.gauge(standby, "rtls_quorvane_lease_fencing"), 2);

    // The new active instance answers a device that asks; nothing reached the gateway in
    // the seconds after the kill, while the old lease could still have been in force.
    double answered_at = -1;
    EXPECT_TRUE(test::wait_until(
        [&] {
            site.sim().restart(asking);
            std::this_thread::sleep_for(1s);
            for (const auto& received : site.sim().device(asking).received)
                if (received.at > killed_at && received.command.code == "000F")
                    answered_at = received.at;
            return answered_at > 0;
        },
        60s));
    EXPECT_EQ(commands_between(site, killed_at + 0.5, killed_at + 3.0), 0u);

    // The mirror was kept and refreshed in place: a device in step is not pushed again.
    ASSERT_TRUE(test::wait_until([&] { return servers.gauge(standby, "rtls_quorvane_mirror_complete") == 1; }, 60s));
    const double cycles = servers.gauge(standby, "rtls_quorvane_cycles_total");
    ASSERT_TRUE(
        test::wait_until([&] { return servers.gauge(standby, "rtls_quorvane_cycles_total") >= cycles + 3; }, 60s));
    EXPECT_EQ(servers.gauge(standby, "rtls_quorvane_devices{status=\"in_step\"}"), in_step) << "device records lost";
    for (const auto& mac : macs) {
        if (mac != asking) {
            EXPECT_EQ(site.sim().device(mac).count_received("000E", "", killed_at), 0u) << mac << " pushed again";
        }
    }
    EXPECT_EQ(site.redis().command({"GET", "mirror_lease"}).rfind("2 site-b/", 0), 0u);

    // The first instance, started again, stands by.
    site.restart_service();
    ASSERT_TRUE(test::wait_until([&] { return servers.is(0, "standby"); }, 30s)) << site.service_output();
    std::this_thread::sleep_for(s_lease + 2s);
    EXPECT_TRUE(servers.is(0, "standby"));
    EXPECT_TRUE(servers.is(standby, "active"));
}

// An active instance frozen (SIGSTOP: a hung server, a paused machine) loses its lease to
// the standby; woken after the take-over, it must neither answer what it finds waiting in
// its sockets nor write, but stand by: its clock says its lease ran out while it slept.
TEST(takeover, a_frozen_active_instance_woken_after_the_take_over_stands_by_without_a_frame) {
    two_servers servers(6);
    auto& site = servers.site;
    ASSERT_TRUE(test::wait_until(
        [&] { return servers.is(0, "active") && servers.gauge(0, "rtls_quorvane_pushes_total") > 0; }, 60s))
        << site.service_output();
    const std::size_t standby = site.start_instance("site-b");
    ASSERT_TRUE(test::wait_until([&] { return servers.is(standby, "standby"); }, 30s));

    // Frozen between frames, not in the middle of one: once no frame went out for 6 s.
    const auto frames = site.wait_quiet("rtls_quorvane_frames_sent_total", 6s, 120s);
    ASSERT_TRUE(frames);
    const double frames_before = *frames;
    site.service().signal(SIGSTOP);
    ASSERT_TRUE(test::wait_until([&] { return servers.is(standby, "active"); }, s_lease + 5s)) << "no take-over";

    // A device asks while the first instance sleeps: its request waits in that instance's
    // socket too. The new active instance answers it, in one frame or two (em_alm follows
    // once the device's announcement is recorded, when it was still queued), and only it.
    const std::string asking = site.sim().macs().front();
    const double asked_at = site.sim().elapsed();
    site.sim().restart(asking);
    const auto answers = [&] { return site.sim().device(asking).count_received("000F", "", asked_at); };
    ASSERT_TRUE(test::wait_until([&] { return answers() > 0; }, 30s));
    std::this_thread::sleep_for(2s);
    const auto answered = answers();
    EXPECT_LE(answered, 2u);

    site.service().signal(SIGCONT);
    ASSERT_TRUE(test::wait_until([&] { return servers.is(0, "standby"); }, 10s)) << site.service_output();
    std::this_thread::sleep_for(3s);
    EXPECT_EQ(answers(), answered) << "answered by both instances";
    EXPECT_EQ(servers.gauge(0, "rtls_quorvane_frames_sent_total"), frames_before)
        << "a frame sent after the lease ran out";
    EXPECT_TRUE(servers.is(standby, "active"));
    EXPECT_EQ(site.redis().command({"HGET", "lease_term", "fencing"}), "2");
}

}  // namespace
