// The built service on a whole simulated site: the demo project served by the platform
// stand-in and its 162 devices simulated in-process (tools/device-sim) behind a
// simulated gateway proxy. The site must settle (pushes stop and every device holds what
// the project says), and a sleep order must reach every anchor and stop per anchor at its
// confirmation. The 10-push limit and the new series after an announcement are pinned by
// the delivery and receiver tests. What devices hold is compared with what the
// project files say, written out here (the fault tests stop a busy service).
#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "core/json.h"
#include "device_sim.h"
#include "support/process.h"
#include "support/sim_site.h"

namespace {

using vyr::devsim::device_kind;
using vyr::devsim::device_snapshot;
using namespace std::chrono_literals;

// Waits until every device has announced itself and sent its start-up request.
void wait_started(test::sim_site& _site) {
    ASSERT_TRUE(test::wait_until(
        [&] {
            const auto s = _site.sim().stats();
            return _site.sim().announced() && s.announcements >= s.devices;
        },
        30s))
        << "the service never subscribed to the simulated proxy; " << _site.service_output();
}

// What some devices of the demo project (tools/platform-server/demo-project) hold once
// the site settled, as they report it, written from the project files: a person with a
// zone alarm; one with the button alarm, licences and an announcer's configuration; a
// stationary vehicle with its location and certification; a person without a tag
// configuration; the master anchor, a distributor and an anchor that follows nobody.
const std::pair<const char*, const char*> s_held[] = {
    {"to-0001", R"({"al_zv":{"level":2,"zid":3},"category":"person","driver_lic":[],"em_alm":{"state":"CLEAR"},
        "scr_gname":"Workers","scr_message":"Leave-zone-03","scr_name":"Worker-0001","stationary":false,
        "t2t_cfg":{"role":"disabled"},"t2t_no_alarm":[],"veh_cert":{"id":0}})"},
    {"to-0002", R"({"al_zv":{"level":0,"zid":0},"category":"person","driver_lic":[{"id":3},{"id":32}],
        "em_alm":{"state":"SET"},"scr_gname":"Workers","scr_message":" ","scr_name":"Worker-0002","stationary":false,
        "t2t_cfg":{"alarm_back":false,"alert_distance":400,"angle":142,"buzzer":false,"delay":2,"distance":1300,
        "haptic":false,"role":"announcer","safe_distance":500},"t2t_no_alarm":[],"veh_cert":{"id":0}})"},
    {"to-0005", R"({"al_zv":{"level":0,"zid":0},"category":"vehicle","driver_lic":[],"em_alm":{"state":"CLEAR"},
        "loc":{"sl_id":1,"sl_z":0,"x":17152,"y":2856,"z":245},"scr_gname":"Fleet","scr_message":" ",
        "scr_name":"Vehicle-0005","stationary":true,"t2t_cfg":{"alarm_back":false,"buzzer":true,"delay":9,
        "haptic":false,"pin":"SOLID","role":"monitor"},"t2t_no_alarm":[],"veh_cert":{"id":6}})"},
    {"to-0011", R"({"al_zv":{"level":0,"zid":0},"category":"person","driver_lic":[],"em_alm":{"state":"CLEAR"},
        "scr_gname":"Workers","scr_message":" ","scr_name":"Worker-0011","stationary":false,
        "t2t_cfg":{"role":"disabled"},"t2t_no_alarm":[],"veh_cert":{"id":0}})"},
    {"anc-001", R"({"nwk_cfg":{"router":false},"sf":{"addr":"1001","sch_slots":18,"set_slots":5,"sfd":"0000"},"sync_slot":{"addr":"1001","flags":"00","slot":0},
        "tdoa_schedule":[{"addr":"1002","dim":2,"et":0,"margin":750,"sect":0,"slot":0,"x":2500,"y":0,"z":307},
                         {"addr":"1003","dim":2,"et":0,"margin":1000,"sect":0,"slot":1,"x":5000,"y":0,"z":363},
                         {"addr":"1004","dim":2,"et":1,"margin":500,"sect":1,"slot":2,"x":7500,"y":0,"z":398}]})"},
    {"anc-002", R"({"nwk_cfg":{"router":false},"sync_slot":{"addr":"1001","flags":"00","slot":1}})"},
    {"anc-012", R"({"nwk_cfg":{"router":false},"sync_slot":{"addr":"FFFF","flags":"00","slot":255},
        "tdoa_schedule":[{"addr":"1007","dim":2,"et":1,"margin":500,"sect":0,"slot":15,"x":0,"y":0,"z":781},
                         {"addr":"1008","dim":2,"et":1,"margin":500,"sect":0,"slot":16,"x":2500,"y":0,"z":868},
                         {"addr":"1009","dim":2,"et":1,"margin":750,"sect":1,"slot":17,"x":5000,"y":0,"z":808}]})"},
};

// A value as text; the partners of a schedule in a sorted list (their order is free).
std::string held_text(const std::string& _name, const Json::Value& _value) {
    using vyr::libs::core::json::to_string;
    if (_name != "tdoa_schedule" || !_value.isArray())
        return to_string(_value);
    std::vector<std::string> partners;
    for (const auto& p : _value)
        partners.push_back(to_string(p));
    std::sort(partners.begin(), partners.end());
    std::string all;
    for (const auto& p : partners)
        all += p + "\n";
    return all;
}

TEST(DemoSite, SettlesWithEveryDeviceHoldingWhatTheProjectSays) {
    test::sim_site site;
    wait_started(site);
    // Settled: pushes were made, then none over two whole cycles, counted by the service
    // (the cycle that pushed ends after its pushes): a busy machine stretches the cycles,
    // not their count. Steps for marks alone come many a second, so the quiet must also
    // last two sending periods and more. The bound only guards against a hang.
    double pushes = 0, cycles = 0, quiet_from = 0;
    auto quiet_since = std::chrono::steady_clock::now();
    const bool settled = test::wait_until(
        [&] {
            std::this_thread::sleep_for(200ms);  // a scrape is not to be polled
            auto m = site.metrics();
            cycles = m["rtls_quorvane_cycles_total"];
            if (m["rtls_quorvane_pushes_total"] != pushes) {
                std::tie(pushes, quiet_from) = std::make_pair(m["rtls_quorvane_pushes_total"], cycles);
                quiet_since = std::chrono::steady_clock::now();
            }
            return pushes > 0 && cycles - quiet_from >= 3 && std::chrono::steady_clock::now() - quiet_since >= 12s;
        },
        240s);
    ASSERT_TRUE(settled) << pushes << " pushes, the last before cycle " << quiet_from << " of " << cycles;
    ASSERT_TRUE(site.service().running()) << site.service_output();

    std::map<std::string, Json::Value> held;
    for (const auto& [uid, report] : s_held) {
        const auto parsed = vyr::libs::core::json::try_parse(report);
        ASSERT_TRUE(parsed.ok) << uid;
        held[uid] = parsed.result;
    }
    std::size_t assets = 0;
    for (const auto& mac : site.sim().macs()) {
        const device_snapshot d = site.sim().device(mac);
        SCOPED_TRACE(d.uid + " " + mac);
        if (d.uid.rfind("to-", 0) == 0 && mac.compare(10, 2, "0D") == 0) {  // the assets' MAC range
            ++assets;
            EXPECT_EQ(d.count_received("000E", ""), 0u) << "an asset tag was pushed";
            continue;
        }
        // Settled by agreement, not by the 10-push limit: a device is pushed again 5 s
        // after its last push at the soonest, so pushes half that apart on the gateway's
        // clock are rounds apart however late a busy machine delivers them.
        std::size_t push_rounds = 0;
        double previous_push = -10;
        for (const auto& r : d.received) {
            if (r.command.code == "000E") {
                push_rounds += r.at - previous_push > 2.5 ? 1 : 0;
                previous_push = r.at;
            }
        }
        EXPECT_LE(push_rounds, 6u);
        const auto want = held.find(d.uid);
        if (want == held.end())
            continue;
        for (const auto& name : want->second.getMemberNames())
            EXPECT_EQ(held_text(name, d.values[name]), held_text(name, want->second[name])) << name;
        held.erase(want);
    }
    EXPECT_TRUE(held.empty()) << held.size() << " of the listed devices are not simulated";
    EXPECT_EQ(assets, 30u);
}

TEST(DemoSite, SleepOrderReachesEveryAnchorAndStopsAtEachConfirmation) {
    test::sim_site::options options;
    options.sim.silent = 1;  // the last anchor of the project never confirms
    options.sim.heartbeat = 0;
    test::sim_site site(options);
    wait_started(site);

    std::vector<std::string> anchors, tags;
    for (const auto& mac : site.sim().macs())
        (site.sim().device(mac).kind == device_kind::anchor ? anchors : tags).push_back(mac);
    ASSERT_EQ(anchors.size(), 12u);
    const std::string silent = anchors.back();

    const double ordered = site.sim().elapsed();
    site.sim().publish(R"(#srv_conf {"jsonrpc": "2.0", "method": "set", "id": "42", "params": {
        "entity": "schedule_sleep", "data": {"project_uid": "prj-demo", "location_uid": "loc-site",
        "delay": "60", "duration": "1h"}}})");
    // The silent anchor gets the command again 5 s after the first one; by then any
    // anchor that were not stopped by its confirmation would have had its second too.
    const auto sleep_commands = [&](const std::string& _mac) {
        return site.sim().device(_mac).count_received("000E", "47", ordered);
    };
    ASSERT_TRUE(test::wait_until([&] { return sleep_commands(silent) >= 2; }, 30s))
        << "the unconfirmed anchor got " << sleep_commands(silent) << " sleep commands";
    std::this_thread::sleep_for(500ms);  // the last round of the other anchors is in

    for (const auto& mac : anchors) {
        const auto d = site.sim().device(mac);
        SCOPED_TRACE(d.uid);
        ASSERT_TRUE(d.sleep) << "no sleep command";
        EXPECT_EQ(d.sleep->period, 3600u);
        EXPECT_LE(d.sleep->wait, 60u);
        EXPECT_GT(d.sleep->wait, 0u);
        if (mac != silent) {
            EXPECT_EQ(sleep_commands(mac), 1u) << "commands went on after the confirmation";
        }
    }
    for (const auto& mac : tags)
        EXPECT_EQ(sleep_commands(mac), 0u) << mac;
    EXPECT_EQ(site.sim().stats().sleep_confirmations, 11u);
}

}  // namespace
