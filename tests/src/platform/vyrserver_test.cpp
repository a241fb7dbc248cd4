// The platform server API against the stand-in: request paths and headers, the decoding
// tables of every kind with corrupted and partial elements, rounding, the table form of
// the anchor getter, licences, certifications, and the sample project as a whole.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/base64.h"
#include "core/exception.h"
#include "core/json.h"
#include "platform/decoders.h"
#include "platform/vyrserver.h"
#include "support/checks.h"
#include "support/log_sink.h"
#include "support/platform_server.h"

namespace {

using vyr::vyrserver::c_vyrserver;
using ::testing::ElementsAre;

struct api_fixture : ::testing::Test {
    vyr::libs::core::logger logger{"rtls-quorvane", "test"};
    test::platform_server server;
    c_vyrserver api{"rtls-quorvane", "http", server.address(), "", "", 0, logger};

    void serve(const std::string& _file, const std::string& _member, const std::string& _elements) {
        server.write(_file, "{\"" + _member + "\": [" + _elements + "]}");
    }
};

// ---- answer shape ----------------------------------------------------------------------

TEST_F(api_fixture, an_answer_without_the_collection_or_a_broken_one_throws) {
    // None of them may read as "no groups any more", and each counts as a malformed answer.
    const auto malformed = [] {
        return test::shown_metric("rtls_quorvane_platform_request_failures_total", {"kind", "malformed"});
    };
    const double before = malformed();
    for (const auto* body : {"{}", R"({"groups": null})", ""}) {
        server.write("groups.json", body);
        EXPECT_THROW(api.get_groups("", ""), vyr::libs::core::exception) << body;
    }
    server.write("groups.json", R"({"groups": {"uid": "g1", "project_uid": "p", "name": "n"}})");
    EXPECT_THROW(api.get_groups("", ""), vyr::libs::core::exception);
    server.write("groups.json", R"([1, 2])");
    EXPECT_THROW(api.get_groups("", ""), vyr::libs::core::exception);
    server.write("groups.json", R"({"groups": [{"uid": "g1", )");
    EXPECT_THAT(test::thrown_message([&] { api.get_groups("", ""); }), ::testing::StartsWith("get_groups: parse error"));
    EXPECT_EQ(malformed() - before, 6);
}

TEST_F(api_fixture, elements_that_are_not_objects_are_dropped_and_the_rest_is_used) {
    serve("groups.json", "groups",
          R"(7, "te]xt", [1, {"a": "}"}], null, {"uid": "g1", "project_uid": "p", "name": "O\"ne]}, {["},
             {"uid": "g2", "project_uid": "p"}, {"uid": 3, "project_uid": "p", "name": "x"})");
    vyr::vyrserver::undecoded bad;
    const auto groups = api.get_groups("", "", &bad);
    EXPECT_EQ(std::tie(bad.uids, bad.unnamed), std::make_tuple(std::set<std::string>{"g2"}, true));
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(std::tie(groups.at("g1").name, groups.at("g1").project_uid), std::make_tuple("O\"ne]}, {[", "p"));
}

TEST_F(api_fixture, uid_goes_into_the_path_and_project_into_one_header) {
    serve("groups.json", "groups", R"({"uid": "g1", "project_uid": "p1", "name": "One"})");
    serve("zones.json", "zones", R"({"uid": "z1", "project_uid": "p1", "zone_id": 4})");
    api.get_groups("g1", "p1");
    api.get_zones("", "");
    server.write("control.json", R"({"fail": {"/api/private/groups/g 1/?": 404}})");
    EXPECT_TRUE(api.get_groups("g 1/?", "").empty());  // 404 for one object: gone

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(std::make_tuple(requests[0]["target"].asString(), requests[0]["headers"]["X-User-Project"].asString(),
                              requests[1]["target"].asString(), requests[1]["headers"].isMember("X-User-Project"),
                              requests[2]["target"].asString() + " " + requests[2]["status"].asString()),
              std::make_tuple("/api/private/groups/g1", "p1", "/api/private/zones/", false,
                              "/api/private/groups/g%201%2F%3F 404"));
}

// ---- anchors ---------------------------------------------------------------------------

const std::string s_anchors = R"(
  {"uid": "a1", "project_uid": "p1", "location_uid": "l1", "name": "A1", "sublocation_uid": "s1", "type": "anchor",
   "position": {"x": 2.5, "y": -2.5, "z": -2.7, "sublocation_uid": "s1"},
   "node": {"mac_address": "aabbccddeeff", "node_id": 17}},
  {"uid": "a1", "project_uid": "p1", "name": "second", "sublocation_uid": "s1", "type": "anchor",
   "position": {"x": 0, "y": 0, "z": 0}},
  {"uid": "a2", "project_uid": "p1", "location_uid": "l1", "name": "A2", "sublocation_uid": "s1", "type": "anchor",
   "position": {"x": 2.4, "y": 0, "z": 0, "sublocation_uid": "s1"}, "node": null},
  {"uid": "a3", "project_uid": "p1", "location_uid": "l2", "name": "A3", "sublocation_uid": "s2", "type": "anchor",
   "position": {"x": 0, "y": 0, "z": 0, "sublocation_uid": "s2"}, "node": {"mac_address": "0011223344556677", "node_id": 3}},
  {"uid": "a4", "project_uid": "p1", "name": "A4", "sublocation_uid": "s1", "type": "anchor",
   "position": {"x": 0, "y": 0, "z": 0}, "node": {"mac_address": "AA:BB:CC:DD:EE:FF", "node_id": 4}},
  {"uid": "a5", "project_uid": "p1", "name": "A5", "sublocation_uid": "s1", "type": "anchor",
   "position": {"x": 0, "y": 0}},
  {"uid": "a6", "project_uid": "p2", "location_uid": "l1", "name": "A6", "sublocation_uid": "s1", "type": "anchor",
   "position": {"x": 0, "y": 0, "z": 0, "sublocation_uid": "s1"}, "node": {"mac_address": "0011223344556688", "node_id": 6}}
)";

TEST_F(api_fixture, anchors_are_decoded_rounded_and_normalised) {
    serve("win_anchors.json", "win_anchors", s_anchors);
    test::log_sink sink;
    sink.connect(logger);
    const auto anchors = api.get_anchors("", "");
    ASSERT_EQ(anchors.size(), 4u);  // a4: bad MAC, a5: no z; a1 once
    const auto& a1 = anchors.at("a1");  // the first of two with the same uid
    EXPECT_EQ(std::tie(a1.name, a1.project_uid, a1.sublocation_uid, a1.type, a1.mac_address, a1.node_id),
              std::make_tuple("A1", "p1", "s1", "anchor", "AABBCCFFFEDDEEFF", 17u));
    EXPECT_EQ(std::tie(a1.position_x, a1.position_y, a1.position_z), std::make_tuple(3, -2, -3));
    const auto& a2 = anchors.at("a2");  // "node": null is no node
    EXPECT_EQ(std::tie(a2.position_x, a2.mac_address, a2.node_id), std::make_tuple(2, "", 0u));
    const auto records = sink.frames_until_marker(logger);
    EXPECT_TRUE(test::contains(records, "win_anchors a4 field \"node.mac_addr\" is not valid (AA:BB:CC:DD:EE:FF)"));
    EXPECT_TRUE(test::contains(records, "get_anchors win_anchors:a5 has no field \"z\""));
}

TEST_F(api_fixture, anchor_table_keeps_project_anchors_with_a_node_and_the_entries_other_fields) {
    serve("win_anchors.json", "win_anchors", s_anchors);
    std::map<std::string, vyr::vyrserver::anchor_sleep_t> table, by_location, by_sublocation;
    table["a1"].m_sending_counter = 5;
    table["a1"].m_delay = 9;
    api.get_anchors(table, "p1", "", "");
    ASSERT_EQ(table.size(), 2u);  // a2 has no node, a4 a bad MAC, a5 no node, a6 another project
    const auto& a1 = table.at("a1");
    EXPECT_EQ(std::tie(a1.m_mac_address, a1.m_project_uid, a1.m_loc_uid, a1.m_sending_counter, a1.m_delay),
              std::make_tuple("AABBCCFFFEDDEEFF", "p1", "", 5u, 9u));
    EXPECT_EQ(table.at("a3").m_mac_address, "0011223344556677");
    api.get_anchors(by_location, "p1", "l1", "");
    api.get_anchors(by_sublocation, "p1", "", "s2");
    ASSERT_EQ(std::make_tuple(by_location.size(), by_sublocation.size()), std::make_tuple(1u, 1u));
    EXPECT_EQ(std::tie(by_location.at("a1").m_loc_uid, by_sublocation.at("a3").m_sl_uid), std::make_tuple("l1", "s2"));
    const auto request = server.requests().at(0);
    EXPECT_EQ(std::make_tuple(request["headers"]["X-User-Project"].asString(), request["target"].asString()),
              std::make_tuple("p1", "/api/private/win_anchors/"));
}

// ---- trackable objects -------------------------------------------------------------------

// An asset with every required member and `_more`, then `_tail`.
std::string asset(const std::string& _uid, const std::string& _more, const std::string& _tail = ",") {
    return R"({"uid": ")" + _uid + R"(", "project_uid": "p", "name": "A", "type": "asset", "category": "x", )" +
           R"("default_height": 0, )" + _more + "}" + _tail;
}

TEST_F(api_fixture, trackable_objects_follow_the_decoding_table) {
    serve("track_obj.json", "trackableObjects", R"(
      {"uid": "t1", "project_uid": "p", "name": "F", "type": "vehicle", "category": "Forklift", "default_height": 1.5,
       "position": {"sl_id": "s1", "x": 2.5, "y": -2.5}, "node": {"mac_address": "aabbccddeeff"},
       "groups": ["g1", "g2", 3, "g4"],
       "tag_config": {"stationary": true, "t2t_no_alarm": [{"mac": "AB"}, null, {"x": 1}, 5, {"mac": "cd"}],
                      "t2t_cfg": {"role": "monitor", "distance": 2.5, "angle": -1, "delay": "x", "pin": 12,
                                  "alarm_back": "yes", "buzzer": true, "safe_distance": 3}}},
      {"uid": "t2", "project_uid": "p", "name": "Plain", "type": "asset", "category": "Pallet", "default_height": 0},
      {"uid": "t7", "project_uid": "p", "name": "NoHeight", "type": "asset", "category": "x"},)" +
                      asset("t3", R"("tag_config": {"t2t_cfg": {"role": "monitor"}})") +
                      asset("t4", R"("tag_config": {"stationary": false, "t2t_cfg": {"distance": 3}})") +
                      asset("t5", R"("position": {"x": 1, "y": 2})") + asset("t6", R"("node": {"mac_address": "123"})") +
                      asset("t8", R"("position": null, "node": 5, "tag_config": "none")", ""));
    const auto objs = api.get_track_objs("", "");
    ASSERT_EQ(objs.size(), 3u);  // t3 lacks "stationary", t4 the role, t5 sl_id, t6 a valid MAC, t7 the height
    const auto& t1 = objs.at("t1");
    EXPECT_EQ(std::tie(t1.category, t1.default_height, t1.sublocation_uid, t1.position_x, t1.position_y, t1.mac_address),
              std::make_tuple("forklift", 2, "s1", 3, -2, "AABBCCFFFEDDEEFF"));
    EXPECT_THAT(t1.groups, ElementsAre("g1", "g2"));
    EXPECT_TRUE(t1.tag_config.stationary);
    EXPECT_THAT(t1.tag_config.t2t_no_alarm, ElementsAre("AB", "cd"));
    const auto& cfg = t1.tag_config.t2t_cfg;
    // Members of the wrong type: angle negative, delay no number, pin no text, alarm_back no boolean.
    EXPECT_EQ(std::tie(cfg.valid, cfg.role, cfg.distance, cfg.angle, cfg.delay, cfg.pin, cfg.alarm_back, cfg.buzzer,
                       cfg.safe_distance),
              std::make_tuple(true, "monitor", 3u, 0u, 0u, "", false, true, 3u));
    EXPECT_FALSE(cfg.haptic.has_value() || cfg.alert_distance.has_value());
    for (const char* uid : {"t2", "t8"}) {  // no tag_config, or members of the wrong kind that count as absent
        const auto& t = objs.at(uid);
        EXPECT_EQ(std::tie(t.tag_config.stationary, t.tag_config.t2t_cfg.valid, t.tag_config.t2t_cfg.role, t.mac_address),
                  std::make_tuple(false, false, "disabled", ""))
            << uid;
        EXPECT_TRUE(t.groups.empty());
    }
}

// The API once added a half and truncated while notifications rounded halves away from
// zero: a stationary tag's place hung on the road its object took, and every negative
// coordinate of the API was one too high.
TEST_F(api_fixture, BothDecodersRoundAlike) {
    const auto j = [](const char* _text) { return vyr::libs::core::json::try_parse(_text).result; };
    std::vector<std::vector<int>> decoded;
    for (const auto* rules : {&vyr::vyrserver::from_api, &vyr::vyrserver::from_notification}) {
        const vyr::vyrserver::object_decoder decode{{logger, "test", "object"}, *rules};
        auto [a, t, s] = std::tuple<vyr::vyrserver::anchor, vyr::vyrserver::track_obj, vyr::vyrserver::sublocation>();
        ASSERT_TRUE(decode(j(R"({"project_uid": "p", "name": "A", "sublocation_uid": "s", "type": "anchor",
                                 "position": {"x": -200, "y": -2.7, "z": -2.5}})"), "a", a) &&
                    decode(j(R"({"project_uid": "p", "name": "F", "type": "vehicle", "category": "c", "default_height": -0.4,
                                 "position": {"sl_id": "s", "x": -2.5, "y": -199.6}})"), "t", t) &&
                    decode(j(R"({"project_uid": "p", "id": 1, "offset_x": 2.5, "offset_y": -2.7, "offset_z": -200})"), "s", s));
        decoded.push_back({a.position_x, a.position_y, a.position_z, t.position_x, t.position_y, t.default_height,
                           s.offset_x, s.offset_y, s.offset_z});
    }
    EXPECT_EQ(decoded.at(0), (std::vector<int>{-200, -3, -2, -2, -200, 0, 3, -3, -200}));
    EXPECT_EQ(decoded.at(1), decoded.at(0));
}

// ---- zones, sublocations -------------------------------------------------------------------

TEST_F(api_fixture, zones_and_sublocations_need_every_field) {
    serve("zones.json", "zones",
          R"({"uid": "z1", "project_uid": "p", "zone_id": 4}, {"uid": "z2", "project_uid": "p", "zone_id": -1},
             {"uid": "z3", "project_uid": "p", "zone_id": 2.5}, {"uid": "z4", "project_uid": "p"})");
    const auto zones = api.get_zones("", "");
    ASSERT_EQ(zones.size(), 1u);
    EXPECT_EQ(zones.at("z1").zone_id, 4u);

    serve("sublocations.json", "sublocations",
          R"({"uid": "s1", "project_uid": "p", "id": 7, "offset_x": 2.5, "offset_y": -2.5, "offset_z": 10},
             {"uid": "s2", "project_uid": "p", "id": 8, "offset_x": 0, "offset_y": 0})");
    const auto subs = api.get_sublocations("", "");
    ASSERT_EQ(subs.size(), 1u);
    const auto& s1 = subs.at("s1");
    EXPECT_EQ(std::tie(s1.sublocation_id, s1.offset_x, s1.offset_y, s1.offset_z), std::make_tuple(7u, 3, -2, 10));
}

// ---- alarms -------------------------------------------------------------------------------

TEST_F(api_fixture, alarms_are_kept_by_kind_with_absent_members_filled_in) {
    serve("alarms_active.json", "alarms", R"(
      {"uid": "al1", "alarm_name": "buffer_violation", "obj_uid": "t1", "additional_info": {"zone_uid": "z1"}},
      {"uid": "al2", "alarm_name": "door_open", "obj_uid": "t1", "additional_info": {}},
      {"uid": "al3", "alarm_name": "emergency_button", "acknowledged": 1, "obj_uid": "t2",
       "additional_info": {"text": "Help", "zone_uid": "z9", "zone_alarm_level": 3}},
      {"uid": "al4", "obj_uid": "t1", "additional_info": {}},
      {"uid": "al5", "alarm_name": "zone_violation", "additional_info": {"zone_uid": "z2", "zone_alarm_level": 2}},
      {"uid": "al6", "alarm_name": "zone_violation", "acknowledged": "no", "additional_info": {}},
      {"uid": "al7", "alarm_name": "zone_violation", "additional_info": {"zone_alarm_level": -3}},
      {"uid": "al8", "alarm_name": "zone_violation"},
      {"uid": "al9", "alarm_name": "zone_violation", "additional_info": {"text": 5}},
      {"uid": "al10", "alarm_name": "zone_violation", "additional_info": {"text": "Leave", "zone_alarm_level": 1}}
    )");
    const auto alarms = api.get_alarms("");
    ASSERT_EQ(alarms.size(), 4u);
    const auto& buffer = alarms.at("al1");  // no level: 0
    EXPECT_EQ(std::tie(buffer.obj_uid, buffer.acknowledged, buffer.zone_uid, buffer.zone_alarm_level, buffer.text),
              std::make_tuple("t1", 0u, "z1", 0u, ""));
    const auto& emergency = alarms.at("al3");
    EXPECT_EQ(std::tie(emergency.acknowledged, emergency.text), std::make_tuple(1u, "Help"));
    EXPECT_FALSE(emergency.zone_uid.has_value() || emergency.zone_alarm_level.has_value());
    const auto& zone = alarms.at("al5");
    EXPECT_EQ(std::tie(zone.obj_uid, zone.zone_uid, zone.zone_alarm_level), std::make_tuple("", "z2", 2u));
    // Regression: a zone alarm without "zone_uid" took its text as zone uid.
    EXPECT_EQ(std::tie(alarms.at("al10").text, alarms.at("al10").zone_uid), std::make_tuple("Leave", std::nullopt));
}

// ---- TDOA ----------------------------------------------------------------------------------

TEST_F(api_fixture, schedules_are_decoded_by_version_into_sorted_unique_rows) {
    const std::string v1_text = "#head\nB,2\nA,1\n";
    const std::string v1 = base64_encode(reinterpret_cast<const unsigned char*>(v1_text.data()), v1_text.size());
    serve("tdoa_schedules.json", "tdoa_schedules",
          R"({"uid": "s1", "content": ")" + v1 + R"("},
             {"uid": "s2", "tdoa_version": 2, "content": "A,B\r\n\r\n#c\r\nA,B\r\n\"Q\",1"},
             {"uid": "s3", "tdoa_version": 1, "content": ")" + v1 + R"("},
             {"uid": "s4", "tdoa_version": "2", "content": "A"},
             {"uid": "s5", "tdoa_version": 2})");
    const auto schedules = api.get_tdoa_schedules("");
    ASSERT_EQ(schedules.size(), 3u);
    using rows = std::set<std::string>;
    EXPECT_EQ(std::tie(schedules.at("s1").tdoa_version, schedules.at("s1").rows, schedules.at("s2").tdoa_version,
                       schedules.at("s2").rows, schedules.at("s3").rows),
              std::make_tuple(1u, rows{"A,1", "B,2"}, 2u, rows{"A,B", "Q,1"}, rows{"A,1", "B,2"}));
}

TEST_F(api_fixture, a_base64_schedule_wrapped_at_76_is_decoded_whole_and_a_cut_one_is_reported) {
    test::log_sink sink;
    sink.connect(logger);
    std::string text;
    std::set<std::string> rows;
    for (int row = 10; row < 40; ++row)
        text += *rows.insert("A" + std::to_string(row) + ",B,7,0,2,0,1").first + "\r\n";
    const std::string coded = base64_encode(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    std::string wrapped = coded;
    for (std::size_t at = 76; at < wrapped.size(); at += 80)
        wrapped.insert(at, "\\r\\n");  // a JSON escape: CR LF in the decoded text
    serve("tdoa_schedules.json", "tdoa_schedules",
          R"({"uid": "wrapped", "content": ")" + wrapped + R"("}, {"uid": "cut", "content": ")" + coded.substr(0, 40) +
              "-" + coded.substr(40) + R"("})");
    const auto schedules = api.get_tdoa_schedules("");
    EXPECT_EQ(schedules.at("wrapped").rows, rows);
    EXPECT_THAT(schedules.at("cut").rows, ElementsAre("A10,B,7,0,2,0,1", "A11,B,7,0,2,0"));
    EXPECT_TRUE(test::contains(sink.frames_until_marker(logger),
                               "tdoa_schedules:cut field \"content\": base64 ends at character 40 of " +
                                   std::to_string(coded.size() + 1)));
}

TEST_F(api_fixture, tdoa_settings_are_keyed_by_project_and_a_bad_answer_gives_nothing) {
    test::log_sink sink;
    sink.connect(logger);
    const std::pair<const char*, const char*> bad[] = {
        {"not json {", "json: 'not json {', parse error: '"},
        {R"({"settings": []})", "tdoa_settings parse: could not find 'tdoa_settings' in object '.'"},
        {R"({"tdoa_settings": {}})", "tdoa_settings parse: 'tdoa_settings' in '.' is not an array"},
    };
    for (const auto& [body, message] : bad) {
        server.write("tdoa_settings.json", body);
        const double malformed = test::shown_metric("rtls_quorvane_platform_request_failures_total", {"kind", "malformed"});
        EXPECT_FALSE(api.get_tdoa_settings("").has_value()) << body;
        EXPECT_EQ(test::shown_metric("rtls_quorvane_platform_request_failures_total", {"kind", "malformed"}) - malformed, 1)
            << body;
        EXPECT_TRUE(test::contains(sink.frames_until_marker(logger), message)) << body;
    }
    serve("tdoa_settings.json", "tdoa_settings",
          R"({"project_uid": "p1", "values": {"n": 1}}, {"project_uid": "p1", "values": {"n": 2}},
             {"uid": "x"}, 4, {"project_uid": 5}, {"project_uid": "p2"})");
    const auto settings = api.get_tdoa_settings("");
    ASSERT_TRUE(settings.has_value());
    ASSERT_EQ(settings->size(), 2u);
    EXPECT_EQ(std::make_tuple(settings->at("p1")["values"]["n"].asInt(), settings->at("p2")["project_uid"].asString()),
              std::make_tuple(1, "p2"));
    server.write("tdoa_settings.json", R"({"tdoa_settings": []})");
    const auto empty = api.get_tdoa_settings("");
    EXPECT_TRUE(empty.has_value() && empty->empty());
}

// ---- licences and certifications -------------------------------------------------------------

TEST_F(api_fixture, licences_keep_certification_ids_and_a_missing_endpoint_or_401_gives_nothing) {
    EXPECT_FALSE(api.get_driver_licenses("").has_value());  // no file: 404
    EXPECT_FALSE(api.get_vehicle_certifications("").has_value());

    serve("driver_licenses.json", "driver_licenses", R"(
      {"obj_uid": "t1", "licenses": [{"id": 3, "certification_required": true}, {"id": 5, "certification_required": false},
                                     {"id": 4}, {"certification_required": true}, {"id": 9, "certification_required": true}]},
      {"obj_uid": "t2", "licenses": [{"id": 5, "certification_required": false}]},
      {"obj_uid": "t1", "licenses": [{"id": 7, "certification_required": true}]},
      {"obj_uid": "t3", "licenses": {}},
      {"obj_uid": "t4"})");
    const auto licenses = api.get_driver_licenses("t1");
    ASSERT_TRUE(licenses.has_value());
    EXPECT_EQ(server.requests().back()["params"]["obj_uid[]"][0].asString(), "t1");
    // The stand-in filters by obj_uid: only t1's two elements came, the first one won.
    ASSERT_EQ(licenses->size(), 1u);
    EXPECT_THAT(licenses->at("t1"), ElementsAre(3u, 9u));

    const auto all = api.get_driver_licenses("");
    ASSERT_TRUE(all.has_value());
    ASSERT_EQ(all->size(), 2u);
    EXPECT_TRUE(all->at("t2").empty());
    EXPECT_EQ(server.requests().back()["target"].asString(), "/api/private/wsc/driver_licenses/");

    serve("vehicle_certifications.json", "vehicle_certifications", R"(
      {"obj_uid": "v1", "id": 3, "certification_required": true}, {"obj_uid": "v1", "id": 4, "certification_required": true},
      {"obj_uid": "v2", "id": 5, "certification_required": false}, {"obj_uid": "v3", "id": -1, "certification_required": true},
      {"obj_uid": "v4", "id": 6})");
    const auto certifications = api.get_vehicle_certifications("");
    ASSERT_TRUE(certifications.has_value());
    ASSERT_EQ(certifications->size(), 1u);
    EXPECT_EQ(certifications->at("v1"), 3u);

    // A 401 on the licences is "nothing"; a 500 throws, and the other getters know no
    // such leniency (the group is served, so only the 401 can make it throw).
    serve("groups.json", "groups", R"({"uid": "g1", "project_uid": "p", "name": "n"})");
    server.write("control.json", R"({"fail": {"/api/private/wsc/driver_licenses/": 401,
        "/api/private/wsc/vehicle_certifications/": 500, "/api/private/groups/*": 401}})");
    EXPECT_FALSE(api.get_driver_licenses("t1").has_value());
    EXPECT_THROW(api.get_vehicle_certifications(""), vyr::libs::core::exception);
    EXPECT_THROW(api.get_groups("g1", ""), vyr::libs::core::exception);
}

}  // namespace
