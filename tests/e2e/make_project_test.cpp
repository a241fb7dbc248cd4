// The project generator (quorvane-make-project) as its users meet it: the same options
// give the same files, the demo project kept with the sources is what the defaults give,
// and every record it writes survives the service's own decoding of the platform
// answers (nothing dropped, values inside what the devices can carry), also at 10000
// tags.
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "core/json.h"
#include "core/logger.h"
#include "platform/vyrserver.h"
#include "support/platform_server.h"
#include "support/process.h"
#include "support/sim_site.h"

namespace {

const char* const s_files[] = {"track_obj.json",         "win_anchors.json",     "groups.json",
                               "zones.json",             "sublocations.json",    "tdoa_settings.json",
                               "tdoa_schedules.json",    "alarms_active.json",   "driver_licenses.json",
                               "vehicle_certifications.json"};

// Runs the generator; fails the test when it does not end with 0.
void make_project(const std::string& _out, const std::vector<std::string>& _extra = {}) {
    std::vector<std::string> args = {"--out", _out};
    args.insert(args.end(), _extra.begin(), _extra.end());
    test::temp_dir logs;
    test::process::options options;
    options.stderr_path = logs.file("stderr");
    test::process generator(test::binary("quorvane-make-project"), args, options);
    const auto status = generator.wait(std::chrono::seconds(60));
    ASSERT_TRUE(status) << "the generator did not end";
    ASSERT_TRUE(status->exited && status->code == 0) << test::read_file(options.stderr_path);
}

Json::Value answer(const std::string& _dir, const std::string& _file) {
    const auto parsed = vyr::libs::core::json::try_parse(test::read_file(_dir + "/" + _file));
    EXPECT_TRUE(parsed.ok) << _file << " is not JSON";
    return parsed.result;
}

TEST(MakeProject, SameSeedGivesTheSameFilesAndTheDemoProjectIsTheDefault) {
    test::temp_dir dir;
    make_project(dir.file("a"));
    make_project(dir.file("b"), {"--seed", "1", "--tags", "150", "--anchors", "12", "--sublocations", "2"});
    make_project(dir.file("c"), {"--seed", "2"});
    for (const char* file : s_files) {
        const std::string a = test::read_file(dir.file("a") + "/" + file);
        ASSERT_FALSE(a.empty()) << file;
        EXPECT_EQ(a, test::read_file(dir.file("b") + "/" + file)) << file;
        EXPECT_EQ(a, test::read_file(test::sim_site::demo_project() + "/" + file))
            << file << " of the demo project is not what the generator writes now";
    }
    EXPECT_NE(test::read_file(dir.file("a") + "/track_obj.json"), test::read_file(dir.file("c") + "/track_obj.json"));
}

TEST(MakeProject, RejectsBadOptions) {
    test::temp_dir dir;
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--tags", "10"}, {"--out", dir.file("x"), "--tags", "-1"}, {"--out", dir.file("x"), "--sublocations", "0"},
             {"--out", dir.file("x"), "--tags", "70000"}, {"--out", dir.file("x"), "--seed", "1x"}}) {
        test::process generator(test::binary("quorvane-make-project"), args);
        const auto status = generator.wait(std::chrono::seconds(30));
        ASSERT_TRUE(status);
        EXPECT_TRUE(status->exited && status->code == 2) << args.back();
    }
    EXPECT_FALSE(test::file_exists(dir.file("x") + "/track_obj.json"));
}

class MakeProjectDecoding : public ::testing::TestWithParam<std::vector<std::string>> {};

// Every element of every collection comes out of the service's decoders; what the
// generator promises about the values holds for the decoded records.
TEST_P(MakeProjectDecoding, EveryRecordDecodes) {
    test::platform_server platform;
    make_project(platform.project_dir(), GetParam());
    const std::string dir = platform.project_dir();
    vyr::libs::core::logger logger("rtls-quorvane-test", "make_project");
    const vyr::vyrserver::c_vyrserver server("rtls-quorvane", "http", platform.address(), "", "", 0, logger);

    const Json::Value tags = answer(dir, "track_obj.json")["trackableObjects"];
    const Json::Value anchors = answer(dir, "win_anchors.json")["win_anchors"];
    const auto objects = server.get_track_objs("", "");
    ASSERT_EQ(objects.size(), tags.size());
    std::set<std::string> macs;
    for (const auto& [uid, o] : objects) {
        EXPECT_EQ(o.mac_address.size(), 16u) << uid;
        macs.insert(o.mac_address);
        EXPECT_TRUE(o.category == "person" || o.category == "vehicle" || o.category == "asset") << uid;
        EXPECT_LE(o.tag_config.t2t_no_alarm.size(), 1u) << uid;
        if (o.tag_config.stationary) {
            EXPECT_FALSE(o.sublocation_uid.empty()) << uid << " is stationary without a place";
        }
        const auto& cfg = o.tag_config.t2t_cfg;
        if (cfg.angle) {
            EXPECT_EQ(*cfg.angle % 2, 0u) << uid;
        }
        for (const auto* text : {&o.name, &o.sublocation_uid})
            EXPECT_EQ(text->find(' '), std::string::npos) << uid;
    }
    const auto decoded_anchors = server.get_anchors("", "");
    ASSERT_EQ(decoded_anchors.size(), anchors.size());
    for (const auto& [uid, a] : decoded_anchors) {
        EXPECT_EQ(a.mac_address.size(), 16u) << uid;
        EXPECT_LE(a.node_id, 0xFFFFu) << uid;
        macs.insert(a.mac_address);
    }
    EXPECT_EQ(macs.size(), tags.size() + anchors.size()) << "MAC addresses repeat";
    std::map<std::string, vyr::vyrserver::anchor_sleep_t> table;
    server.get_anchors(table, "prj-demo", "loc-site", "");
    EXPECT_EQ(table.size(), anchors.size()) << "the sleep mechanism's anchor list";

    EXPECT_EQ(server.get_groups("", "").size(), answer(dir, "groups.json")["groups"].size());
    const auto zones = server.get_zones("", "");
    EXPECT_EQ(zones.size(), answer(dir, "zones.json")["zones"].size());
    EXPECT_EQ(server.get_sublocations("", "").size(), answer(dir, "sublocations.json")["sublocations"].size());
    const auto alarms = server.get_alarms("");
    ASSERT_EQ(alarms.size(), 2u);
    for (const auto& [uid, alarm] : alarms) {
        EXPECT_TRUE(objects.count(alarm.obj_uid)) << uid;
        if (alarm.alarm_name == "zone_violation") {
            ASSERT_TRUE(alarm.zone_uid && alarm.text && alarm.zone_alarm_level) << uid;
            EXPECT_TRUE(zones.count(*alarm.zone_uid)) << uid;
            EXPECT_GT(*alarm.zone_alarm_level, 0u);
        } else {
            EXPECT_EQ(alarm.alarm_name, "emergency_button");
        }
    }

    const auto settings = server.get_tdoa_settings("");
    ASSERT_TRUE(settings && settings->count("prj-demo"));
    const Json::Value& values = settings->at("prj-demo")["values"];
    EXPECT_TRUE(values["autostart"].asBool() && values["configured_state"].asBool());
    const auto schedules = server.get_tdoa_schedules("");
    ASSERT_TRUE(schedules.count(values["active_schedule_uid"].asString()));
    const auto& active = schedules.at(values["active_schedule_uid"].asString());
    EXPECT_EQ(active.tdoa_version, 2u);
    std::map<std::string, int> partners;
    for (const auto& row : active.rows) {
        std::vector<std::string> fields;
        for (std::size_t from = 0;;) {
            const auto comma = row.find(',', from);
            fields.push_back(row.substr(from, comma - from));
            if (comma == std::string::npos)
                break;
            from = comma + 1;
        }
        ASSERT_EQ(fields.size(), 8u) << row;
        EXPECT_TRUE(decoded_anchors.count(fields[1]) && decoded_anchors.count(fields[2])) << row;
        EXPECT_LE(std::stoul(fields[3]), 255u) << row;
        EXPECT_EQ(std::stoul(fields[7]) % 250, 0u) << row;
        EXPECT_LE(std::stoul(fields[7]) / 250, 255u) << row;
        EXPECT_LE(++partners[fields[1]], 14) << row;
    }
    EXPECT_EQ(partners.size(), anchors.size()) << "an anchor without partners";

    const auto licences = server.get_driver_licenses("");
    const auto certifications = server.get_vehicle_certifications("");
    ASSERT_TRUE(licences && certifications);
    EXPECT_EQ(licences->size(), answer(dir, "driver_licenses.json")["driver_licenses"].size());
    for (const auto& [uid, ids] : *licences) {
        for (const auto id : ids) {
            EXPECT_TRUE(id > 0 && id <= 255) << uid;
        }
    }
    EXPECT_FALSE(certifications->empty());
    for (const auto& [uid, id] : *certifications) {
        EXPECT_TRUE(id > 0 && id <= 255) << uid;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, MakeProjectDecoding,
                         ::testing::Values(std::vector<std::string>{},
                                           std::vector<std::string>{"--tags", "10000", "--anchors", "60",
                                                                    "--sublocations", "4", "--seed", "7"}),
                         [](const ::testing::TestParamInfo<std::vector<std::string>>& _info) {
                             return _info.param.empty() ? std::string("Defaults") : std::string("TenThousandTags");
                         });

}  // namespace
