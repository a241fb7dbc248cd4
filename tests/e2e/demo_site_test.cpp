// The built service on a whole simulated site: the demo project served by the platform
// stand-in and its 162 devices simulated in-process (tools/device-sim) behind a
// simulated gateway proxy. The site must settle (pushes stop and every device holds what
// the project says), a device that keeps ignoring a parameter must see the 10-push limit
// and a new series after it announces itself, a sleep order must reach every anchor and
// stop per anchor at its confirmation. What the devices hold is compared with what the
// project files say, worked out here from the files (the fault tests stop a busy service).
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
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

std::string text(const Json::Value& _value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, _value);
}

std::string hex4(unsigned _value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%04X", _value);
    return buffer;
}

std::string upper(std::string _text) {
    for (auto& c : _text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return _text;
}

std::string lower(std::string _text) {
    for (auto& c : _text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return _text;
}

Json::Value project_file(const std::string& _file, const char* _member) {
    const auto parsed =
        vyr::libs::core::json::try_parse(test::read_file(test::sim_site::demo_project() + "/" + _file));
    EXPECT_TRUE(parsed.ok) << _file;
    return parsed.result[_member];
}

std::map<std::string, Json::Value> by(const Json::Value& _elements, const char* _key) {
    std::map<std::string, Json::Value> map;
    for (const auto& e : _elements)
        map[e[_key].asString()] = e;
    return map;
}

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

// The seconds of the last push (000E) any device received; -1 when none.
double last_push(test::sim_site& _site) {
    double last = -1;
    for (const auto& mac : _site.sim().macs())
        for (const auto& r : _site.sim().device(mac).received)
            if (r.command.code == "000E")
                last = std::max(last, r.at);
    return last;
}

// What the project says the devices must hold, in their report form.
class demo_project {
public:
    demo_project() {
        m_tags = by(project_file("track_obj.json", "trackableObjects"), "uid");
        m_anchors = by(project_file("win_anchors.json", "win_anchors"), "uid");
        m_groups = by(project_file("groups.json", "groups"), "uid");
        m_zones = by(project_file("zones.json", "zones"), "uid");
        m_floors = by(project_file("sublocations.json", "sublocations"), "uid");
        m_alarms = by(project_file("alarms_active.json", "alarms"), "uid");
        for (const auto& l : project_file("driver_licenses.json", "driver_licenses"))
            m_licences[l["obj_uid"].asString()] = l["licenses"];
        for (const auto& c : project_file("vehicle_certifications.json", "vehicle_certifications"))
            if (c["certification_required"].asBool())
                m_certifications[c["obj_uid"].asString()] = c["id"].asUInt();
        m_setting = project_file("tdoa_settings.json", "tdoa_settings")[0]["values"];
        const auto schedules = by(project_file("tdoa_schedules.json", "tdoa_schedules"), "uid");
        m_schedule = schedules.at(m_setting["active_schedule_uid"].asString())["content"].asString();
    }

    bool is_asset(const std::string& _uid) const { return upper(m_tags.at(_uid)["type"].asString()) == "ASSET"; }

    // Every parameter of a tag: name → value as the device reports it.
    std::map<std::string, Json::Value> tag(const std::string& _uid) const {
        const Json::Value& t = m_tags.at(_uid);
        const Json::Value& config = t["tag_config"];
        std::map<std::string, Json::Value> want;
        want["scr_name"] = t["name"];
        const Json::Value& groups = t["groups"];
        want["scr_gname"] = groups.empty() ? Json::Value() : m_groups.at(groups[0].asString())["name"];
        const bool stationary = config["stationary"].asBool();
        want["stationary"] = stationary;
        const std::string category = lower(t["category"].asString());
        want["category"] = category == "person" || category == "vehicle" || category == "asset" ? category : "unspecified";
        want["t2t_cfg"] = t2t_cfg(config["t2t_cfg"]);
        want["t2t_no_alarm"] = Json::Value(Json::arrayValue);
        if (!config["t2t_no_alarm"].empty())
            want["t2t_no_alarm"].append(Json::Value(Json::objectValue))["mac"] = upper(config["t2t_no_alarm"][0]["mac"].asString());
        want["em_alm"]["state"] = "CLEAR";
        want["al_zv"]["level"] = 0;
        want["al_zv"]["zid"] = 0;
        want["scr_message"] = " ";
        for (const auto& [uid, alarm] : m_alarms) {
            if (alarm["obj_uid"].asString() != _uid)
                continue;
            if (alarm["alarm_name"] == "emergency_button") {
                want["em_alm"]["state"] = "SET";
            } else {
                const Json::Value& info = alarm["additional_info"];
                want["al_zv"]["level"] = info["zone_alarm_level"];
                want["al_zv"]["zid"] = m_zones.at(info["zone_uid"].asString())["zone_id"];
                want["scr_message"] = info["text"];
            }
        }
        want["veh_cert"]["id"] = m_certifications.count(_uid) ? m_certifications.at(_uid) : 0u;
        std::set<unsigned> ids;
        if (m_licences.count(_uid))
            for (const auto& l : m_licences.at(_uid))
                if (l["certification_required"].asBool())
                    ids.insert(l["id"].asUInt());
        want["driver_lic"] = Json::Value(Json::arrayValue);
        for (const unsigned id : ids)
            want["driver_lic"].append(Json::Value(Json::objectValue))["id"] = id;
        if (stationary) {
            const Json::Value& floor = m_floors.at(t["position"]["sl_id"].asString());
            Json::Value& loc = want["loc"];
            loc["x"] = t["position"]["x"];
            loc["y"] = t["position"]["y"];
            loc["z"] = t["default_height"].asInt() + floor["offset_z"].asInt();
            loc["sl_z"] = floor["offset_z"];
            loc["sl_id"] = floor["id"];
        }
        return want;
    }

    // The TDOA parameters of an anchor; the schedule's partners in a sorted list.
    std::map<std::string, Json::Value> anchor(const std::string& _uid) const {
        std::map<std::string, Json::Value> want;
        Json::Value sync(Json::objectValue);
        sync["addr"] = "FFFF";
        sync["slot"] = 255;
        sync["flags"] = "00";
        for (const auto& m : m_setting["masters"]) {
            if (m["anchor_uid"].asString() == _uid) {
                sync["addr"] = hex4(node_id(_uid));
                sync["slot"] = m["slot"];
                want["sf"]["addr"] = hex4(node_id(_uid));
            }
        }
        for (const auto& d : m_setting["distributors"]) {
            if (d["anchor_uid"].asString() == _uid) {
                sync["addr"] = hex4(node_id(d["master_uid"].asString()));
                sync["slot"] = d["slot"];
            }
        }
        want["sync_slot"] = sync;
        std::vector<std::string> partners;
        std::istringstream rows(m_schedule);
        std::string row;
        while (std::getline(rows, row)) {
            if (!row.empty() && row.back() == '\r')
                row.pop_back();
            std::vector<std::string> f;
            std::istringstream fields(row);
            for (std::string field; std::getline(fields, field, ',');)
                f.push_back(field);
            if (row.empty() || row[0] == '#' || f.size() != 8 || f[1] != _uid)
                continue;
            const Json::Value& partner = m_anchors.at(f[2]);
            Json::Value p(Json::objectValue);
            p["addr"] = hex4(node_id(f[2]));
            p["slot"] = std::stoi(f[3]);
            p["sect"] = std::stoi(f[4]);
            p["dim"] = std::stoi(f[5]);
            p["et"] = std::stoi(f[6]);
            p["margin"] = std::stoi(f[7]);
            for (const char* axis : {"x", "y", "z"})
                p[axis] = partner["position"][axis];
            partners.push_back(text(p));
        }
        std::sort(partners.begin(), partners.end());
        for (const auto& p : partners)
            want["tdoa_schedule"].append(p);
        want["nwk_cfg"]["router"] = false;
        return want;
    }

private:
    unsigned node_id(const std::string& _uid) const { return m_anchors.at(_uid)["node"]["node_id"].asUInt(); }

    static Json::Value t2t_cfg(const Json::Value& _cfg) {
        Json::Value want(Json::objectValue);
        const std::string role = _cfg.isObject() ? lower(_cfg["role"].asString()) : "disabled";
        want["role"] = role == "monitor" || role == "announcer" ? role : "disabled";
        if (role != "monitor" && role != "announcer")
            return want;
        for (const char* flag : {"alarm_back", "haptic", "buzzer"})
            want[flag] = _cfg[flag].asBool();
        const std::string pin = upper(_cfg["pin"].asString());
        if (pin == "SOLID" || pin == "PULSE")
            want["pin"] = pin;
        want["delay"] = _cfg["delay"].asUInt();
        if (role == "announcer")
            for (const char* number : {"distance", "angle", "alert_distance", "safe_distance"})
                want[number] = _cfg[number].asUInt();
        return want;
    }

    std::map<std::string, Json::Value> m_tags, m_anchors, m_groups, m_zones, m_floors, m_alarms;
    std::map<std::string, Json::Value> m_licences;
    std::map<std::string, unsigned> m_certifications;
    Json::Value m_setting;
    std::string m_schedule;
};

TEST(DemoSite, SettlesWithEveryDeviceHoldingWhatTheProjectSays) {
    test::sim_site site;
    wait_started(site);
    // Settled: a push was seen and then nothing for two whole 5-second cycles.
    const bool settled = test::wait_until(
        [&] {
            const double last = last_push(site);
            return last >= 0 && site.sim().elapsed() - last > 10.5;
        },
        100s);
    ASSERT_TRUE(settled) << "pushes went on; last at " << last_push(site) << " s, now " << site.sim().elapsed();
    ASSERT_TRUE(site.service().running()) << site.service_output();

    const demo_project project;
    std::size_t checked_tags = 0, checked_anchors = 0;
    for (const auto& mac : site.sim().macs()) {
        const device_snapshot d = site.sim().device(mac);
        SCOPED_TRACE(d.uid + " " + mac);
        // Settled by agreement, not by the 10-push limit: pushes more than a second apart.
        std::size_t push_rounds = 0;
        double previous_push = -10;
        for (const auto& r : d.received) {
            if (r.command.code == "000E") {
                push_rounds += r.at - previous_push > 1 ? 1 : 0;
                previous_push = r.at;
            }
        }
        EXPECT_LE(push_rounds, 6u);

        std::map<std::string, Json::Value> want;
        if (d.kind == device_kind::anchor) {
            want = project.anchor(d.uid);
            Json::Value partners(Json::arrayValue);
            std::vector<std::string> held;
            for (const auto& p : d.values["tdoa_schedule"])
                held.push_back(text(p));
            std::sort(held.begin(), held.end());
            for (const auto& p : held)
                partners.append(p);
            EXPECT_EQ(text(partners), text(want["tdoa_schedule"])) << "tdoa_schedule";
            want.erase("tdoa_schedule");
            ++checked_anchors;
        } else if (project.is_asset(d.uid)) {
            EXPECT_EQ(d.count_received("000E", ""), 0u) << "an asset tag was pushed";
            continue;
        } else {
            want = project.tag(d.uid);
            ++checked_tags;
        }
        for (const auto& [name, value] : want)
            EXPECT_EQ(text(d.values[name]), text(value)) << name;
    }
    EXPECT_EQ(checked_anchors, 12u);
    EXPECT_EQ(checked_tags, 120u);
}

// Publishes an emergency-button alarm of another tag twice a second while it lives: each
// one makes the service run a delivery cycle at once, so a push is due about 5 s after
// the previous one instead of on the 5-second timer, where a cycle that comes a little
// less than 5 s after the push is skipped and the series takes up to twice as long.
class alarm_ticker {
public:
    explicit alarm_ticker(vyr::devsim::device_sim& _sim)
        : m_thread([this, &_sim] {
              const std::string alarm = R"(#alarm {"uid": "alm-button-1", "alarm_name": "emergency_button",
                  "obj_uid": "to-0002", "state": "set", "acknowledged": 0, "additional_info": {"text": "Help-needed"}})";
              while (!m_stop) {
                  _sim.publish(alarm);
                  std::this_thread::sleep_for(500ms);
              }
          }) {}
    ~alarm_ticker() {
        m_stop = true;
        m_thread.join();
    }

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

TEST(DemoSite, IgnoredParameterIsPushedTenTimesAndAgainAfterAnAnnouncement) {
    test::sim_site::options options;
    // One tag, which never applies its screen name; its alarm display is not supported,
    // so nothing but the screen name is left to push once the start-up request is answered.
    options.sim.devices = 1;
    options.sim.ignore = {vyr::devsim::parse_rule("1:scr_name")};
    options.sim.unsupported = {vyr::devsim::parse_rule("1:al_zv")};
    options.sim.heartbeat = 0;  // a heartbeat would start a new series
    test::sim_site site(options);
    wait_started(site);
    const std::string mac = site.sim().macs().at(0);
    ASSERT_EQ(site.sim().device(mac).uid, "to-0001");
    alarm_ticker ticker(site.sim());

    // The pushes of the screen name since the device last answered anything.
    const auto series = [&] {
        const auto d = site.sim().device(mac);
        return d.count_received("000E", "52", d.last_report_at);
    };
    ASSERT_TRUE(test::wait_until([&] { return series() >= 10; }, 100s))
        << "only " << series() << " pushes; " << site.service_output();
    const auto tenth = site.sim().device(mac).received.back().at;
    // Cycles run twice a second: one more push would come 5 s after the tenth.
    ASSERT_TRUE(test::wait_until([&] { return site.sim().elapsed() > tenth + 6.5; }, 20s));
    const auto held = site.sim().device(mac);
    EXPECT_EQ(series(), 10u);
    EXPECT_EQ(held.count_received("000E", "", held.last_report_at), 10u) << "something else was pushed";
    EXPECT_EQ(text(held.values["scr_name"]), "null") << "the ignored value was applied";

    // The announcement ("NA") starts a new series, and the request that follows it is
    // answered with the screen name too (in either order: a cycle may come first).
    const double restart = site.sim().elapsed();
    site.sim().restart(mac);
    const auto again = [&](const char* _code) { return site.sim().device(mac).count_received(_code, "52", restart); };
    EXPECT_TRUE(test::wait_until([&] { return again("000E") >= 1 && again("000F") >= 1; }, 20s))
        << again("000E") << " pushes and " << again("000F") << " answers after the announcement";
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
        EXPECT_GT(d.sleep->wait, 30u);
        if (mac != silent) {
            EXPECT_EQ(sleep_commands(mac), 1u) << "commands went on after the confirmation";
        }
    }
    for (const auto& mac : tags)
        EXPECT_EQ(sleep_commands(mac), 0u) << mac;
    EXPECT_EQ(site.sim().stats().sleep_confirmations, 11u);
}

}  // namespace
