// The built service on the awkward project (quorvane-make-project --awkward: values a
// device cannot hold whole, alarms that cannot be shown, a TDOA setting without an active
// schedule) while one tag streams its emergency-alarm state and the first tag refuses its
// screen name. Every device must end in step as quorvane-status judges it (the refusing
// one "rejects"), hold what its payloads carried, and be left alone once in step; a
// change on the platform still reaches its device while the alarms cannot be read, and an
// element that no longer decodes neither changes nor clears its device.
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>
#include <json/json.h>

#include "core/json.h"
#include "device_sim.h"
#include "status.h"
#include "support/process.h"
#include "support/sim_site.h"

namespace {

using namespace std::chrono_literals;
namespace status = vyr::tools::status;
using vyr::libs::core::json::to_string;

// The service's delivery cycle.
constexpr auto s_cycle = 5s;

// Whether `_held` holds what `_want` names: an object's listed members, an element of a
// list, or the value itself.
bool holds(const Json::Value& _held, const Json::Value& _want) {
    const auto names = _want.isObject() ? _want.getMemberNames() : std::vector<std::string>{};
    if (_want.isObject() && _held.isArray())
        return std::any_of(_held.begin(), _held.end(), [&](const Json::Value& _e) { return holds(_e, _want); });
    return _want.isObject() && _held.isObject()
               ? std::all_of(names.begin(), names.end(), [&](auto& _n) { return holds(_held[_n], _want[_n]); })
               : to_string(_held) == to_string(_want);
}

// What devices hold as their payloads carry it: an angle halved, licence ids of one byte,
// positions rounded to the nearest (-200.4, -2.7), a margin in units of 250, the higher of
// two zone alarms of one zone.
const char* const s_held[][3] = {
    {"to-awk-02", "t2t_cfg", R"({"role":"announcer","angle":94})"},
    {"to-awk-04", "driver_lic", R"([{"id":12}])"},
    {"to-awk-05", "loc", R"({"x":-200,"y":-3})"},
    {"to-awk-06", "al_zv", R"({"level":3,"zid":1})"},
    {"to-awk-06", "scr_message", R"("Leave-now")"},
    {"anc-001", "tdoa_schedule", R"({"addr":"2002","margin":0,"slot":250,"x":-200,"y":-3})"},
};

TEST(AwkwardSite, EveryDeviceSettlesAndIsLeftAloneWhileATagStreamsItsAlarmState) {
    test::temp_dir dir;
    const auto made =
        test::process(test::binary("quorvane-make-project"), {"--out", dir.path(), "--awkward"}).wait(60s);
    ASSERT_TRUE(made && made->exited && made->code == 0);

    test::sim_site::options options;
    options.project_dir = dir.path();
    options.sim.ignore.push_back(vyr::devsim::parse_rule("1:scr_name"));      // to-0001 refuses
    options.sim.em_alm_stream = vyr::devsim::parse_stream_rule("1:20");      // to-0002, button set
    test::sim_site site(options);
    const std::string refusing = site.sim().macs().at(0);
    status::options where;
    where.redis_port = site.redis().port();
    vyr::libs::core::logger logger("rtls-quorvane-test", "status");
    status::reader reader(where, logger);

    std::string last;  // the devices not yet as they should be, for the failure message
    const auto settled = [&] {
        std::this_thread::sleep_for(500ms);  // a whole site read is not to be polled
        const auto report = reader.read_all();
        last = report.mirror_complete ? "" : "mirror incomplete; ";
        for (const auto& d : report.devices) {  // every device of the project, unseen ones too
            if (d.status != (d.mac == refusing ? "rejects" : "in_step"))
                last += d.mac + " " + d.status + " " + d.error + ";";
            // A tag that shows alarms has confirmed its zone alarm too (an announcement
            // asks for it again; asset tags show none).
            const bool shows_alarms = d.kind != "anchor" && d.kind != "ASSET" && d.kind != "none";
            if (shows_alarms && d.alarm_state != "configured" && d.alarm_state != "not_supported")
                last += d.mac + " alarm " + d.alarm_state + ";";
        }
        return last.empty() && report.devices.size() >= site.sim().macs().size();
    };
    EXPECT_TRUE(test::wait_until(settled, 150s)) << last;

    // While the platform cannot list alarms, which a tag's announcement asks it for (the
    // streaming tag's reports agree with the mirror and ask for nothing), a screen name
    // changed on the platform still reaches its device. Its notification brings a cycle at
    // once; delivery paused by the failing alarms would never bring it while they fail, so
    // the bound is many 5-s cycles, for a busy machine.
    site.platform().write("control.json", R"({"fail": {"/api/private/alarms/*": 503}})");
    site.sim().publish(R"(#notify {"object":"TO","action":"NA","mac":")" + site.sim().macs().at(3) + R"("})");
    const std::string renamed_mac = site.sim().macs().at(2);
    auto project = vyr::libs::core::json::try_parse(test::read_file(dir.file("track_obj.json"))).result;
    Json::Value& element = project["trackableObjects"][2];
    element["name"] = "Renamed-0003";
    // The parked vehicle's element no longer decodes ("stationary" gone, renamed with it):
    // the full refresh below keeps its record, so its device is neither renamed nor cleared.
    const double parked_changed_at = site.sim().elapsed();
    std::string parked_mac;
    for (const auto& mac : site.sim().macs())
        parked_mac = site.sim().device(mac).uid == "to-awk-05" ? mac : parked_mac;
    ASSERT_FALSE(parked_mac.empty());
    const auto parked_name = site.sim().device(parked_mac).values["scr_name"];
    for (auto& parked : project["trackableObjects"]) {
        if (parked["uid"] == "to-awk-05") {
            parked["name"] = "Renamed-0005";
            ASSERT_TRUE(parked["tag_config"].removeMember("stationary", nullptr));
        }
    }
    site.platform().write("track_obj.json", to_string(project));
    site.sim().publish(R"(#notify {"object":"TRACKABLE_OBJECT","action":"updated","plist":)" + to_string(element) +
                       "}");
    EXPECT_TRUE(test::wait_until(
        [&] { return site.sim().device(renamed_mac).values["scr_name"] == "Renamed-0003"; }, 12 * s_cycle))
        << "delivery paused: " << site.sim().device(renamed_mac).values["scr_name"];
    // The window below starts once the alarms were read again after the fault: the retry
    // backs off up to a minute while they fail.
    const auto alarms_read = [&] {
        std::this_thread::sleep_for(200ms);
        std::size_t n = 0;
        for (const auto& r : site.platform().requests())
            n += r["path"].asString().find("/alarms/") != std::string::npos && r["status"] == "200";
        return n;
    };
    const std::size_t read_before = alarms_read();
    site.platform().remove("control.json");
    EXPECT_TRUE(test::wait_until([&] { return alarms_read() > read_before; }, 60s + 6 * s_cycle))
        << "alarms never read again";
    // Redis losing the mirror's name makes the service read the whole project again.
    const auto objects_read = [&] {
        const auto requests = site.platform().requests();
        return std::count_if(requests.begin(), requests.end(), [](const Json::Value& _r) {
            return _r["path"] == "/api/private/track_obj/" && _r["status"] == "200";
        });
    };
    const auto objects_read_before = objects_read();
    site.redis().command({"DEL", "name"});
    EXPECT_TRUE(test::wait_until([&] { return objects_read() > objects_read_before; }, 30s)) << "no full refresh";
    EXPECT_TRUE(test::wait_until(settled, 30s)) << last;

    // Once in step nobody is pushed again; the refused value at most once a minute.
    const double from = site.sim().elapsed();
    std::this_thread::sleep_for(25s);
    for (const auto& mac : site.sim().macs()) {
        const auto d = site.sim().device(mac);
        EXPECT_LE(d.count_received("000E", "", from), mac == refusing ? 1u : 0u) << d.uid << " " << mac;
        for (const auto& [uid, name, want] : s_held) {
            if (d.uid == uid) {
                EXPECT_TRUE(holds(d.values[name], vyr::libs::core::json::try_parse(want).result))
                    << uid << " " << name << " holds " << to_string(d.values[name]);
            }
        }
    }
    const auto parked = site.sim().device(parked_mac);
    for (const auto& r : parked.received)
        for (const auto& p : r.command.payloads)
            EXPECT_TRUE(r.at <= parked_changed_at || (p != "2B0100" && p != "5D0100" && p != "5E0100"))
                << "cleared: " << p;
    EXPECT_EQ(std::make_tuple(parked.values["scr_name"], parked.values["stationary"]),
              std::make_tuple(parked_name, Json::Value(true)));
    const auto named = site.sim().device("70B3D5FFFE0E0003").values;
    // The 255-byte cut falls inside a multi-byte character, which is left out whole.
    const auto held_name = named["scr_name"].asString();
    EXPECT_TRUE(held_name.size() <= 255u && held_name.size() > 251u && held_name.rfind("Überlänge-", 0) == 0)
        << "a 300-character name is held as its whole characters within 255 bytes: " << held_name.size();
    EXPECT_GE(site.sim().device(site.sim().macs().at(1)).reports, 20u * 25u) << "the alarm state was not streamed";
    EXPECT_TRUE(settled()) << last;
}

}  // namespace
