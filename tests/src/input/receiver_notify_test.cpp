// Server change notifications driven through the running receiver: "#notify" frames go
// out on the stand-in proxy, the records are read back from Redis and the commands from
// the sleep channel.
#include <gtest/gtest.h>

#include <sys/time.h>

#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/metrics.h"
#include "parameters/parameters.h"
#include "runtime/inproc_commands.h"
#include "support/checks.h"
#include "support/receiver_fixture.h"

namespace {

using vyr::context::alarm_states;

std::string notify(const std::string& _json) { return "#notify" + _json; }

class notify_test : public test::receiver_fixture {
protected:
    // A WIN that has been sent to and holds a reported parameter.
    vyr::context::win busy_win(const std::string& _mac) {
        auto device = store().get_win(_mac);
        device.sending_time(timeval{1234, 56});
        device.increment_sending_counter();
        device.parameter_as_json(vyr::parameter::TXP, vyr::context::win::actual, "{\"value\":3}");
        return device;
    }
    // Whether the WIN's sending pace was reset, and whether it still holds its report.
    static std::pair<bool, bool> reset_and_kept(const vyr::context::win& _device) {
        return {_device.sending_time().tv_sec == 0 && _device.sending_counter() == 0,
                !_device.parameter_as_json(vyr::parameter::TXP, vyr::context::win::actual).empty()};
    }
    // The notification's commands to the sleep mechanism, decoded.
    std::vector<cmd_notify_from_node_t> announced(const std::string& _json) {
        std::vector<cmd_notify_from_node_t> commands;
        for (const auto& frame : handle(notify(_json)).sleep) {
            EXPECT_EQ(frame.size(), sizeof(cmd_notify_from_node_t));
            EXPECT_TRUE(vyr::cmd::read_command(frame.data(), frame.size(), commands.emplace_back()));
        }
        return commands;
    }
    void add_track_obj(const std::string& _uid) {
        handle(notify(R"({"object": "TRACKABLE_OBJECT", "action": "created", "plist": {"uid": ")" + _uid +
                      R"(", "project_uid": "p", "name": "n", "type": "vehicle", "category": "c", "default_height": 1}})"));
        ASSERT_TRUE(store().get_track_obj(_uid).exists());
    }
};

// ---- dispatch ------------------------------------------------------------------------------

TEST_F(notify_test, kind_is_matched_exactly_broken_bodies_are_dropped_and_only_known_actions_write) {
    const std::string group = R"("action": "created", "plist": {"uid": "g1", "project_uid": "p1", "name": "One"}})";
    const double malformed = vyr::metrics::value(vyr::metrics::counter::reports_malformed);
    handle(notify(R"({"object": "group", )" + group));
    handle(notify(R"({"object": "GROUP ", )" + group));
    handle(notify("{\"object\": \"GROUP\", " + group.substr(0, 30)));  // cut off
    handle(notify(R"({"object": 7, )" + group));
    EXPECT_FALSE(store().get_group("g1").exists());

    // A body that is not an object is logged and skipped; the next one is handled.
    handle(notify("[1, 2]"));
    EXPECT_TRUE(logged("Caught exeption"));
    // The one cut off and the one that is no object are refused as malformed.
    EXPECT_EQ(vyr::metrics::value(vyr::metrics::counter::reports_malformed) - malformed, 2);
    handle(notify(R"({"object": "GROUP", )" + group));
    EXPECT_EQ(store().get_group("g1").name(), "One");

    // An unknown action reads the fields and changes nothing; "deleted" removes.
    handle(notify(R"({"object": "GROUP", "action": "renamed", "plist": {"uid": "g1", "project_uid": "p1", "name": "Two"}})"));
    EXPECT_EQ(store().get_group("g1").name(), "One");
    handle(notify(R"({"object": "GROUP", "action": "deleted", "plist": {"uid": "g1"}})"));
    EXPECT_FALSE(store().get_group("g1").exists());
}

// Regression: a tag was searched anywhere in the frame, so a report whose screen name held
// "#notify" went to the notification handler.
TEST_F(notify_test, topic_tag_counts_only_at_the_start_and_empty_frames_and_stray_stop_frames_are_skipped) {
    const std::string group = R"({"object": "GROUP", "action": "created", "plist": {"uid": "g1", "project_uid": "p", "name": "A"}})";
    handle(R"(#param_p{"mac": "AABBCCDDEEFF0011", "ts": 1, "ms": 0, "plist": {"category": "a #notify b"}})");
    handle("x#notify" + group);
    EXPECT_FALSE(store().get_group("g1").exists());
    EXPECT_EQ(store().get_win("AABBCCDDEEFF0011").parameter_category(), "a #notify b");
    handle("#notify" + group);
    EXPECT_EQ(store().get_group("g1").name(), "A");
    // A longer topic that begins with a tag is that tag, the rest of the topic leading the body.
    handle("#notify5");
    EXPECT_TRUE(logged("Caught exeption"));
    // An empty frame, and a two-byte frame on the stop channel, change nothing.
    zmq::socket_t stop(*m_zmq_context, zmq::socket_type::push);
    stop.set(zmq::sockopt::linger, 0);
    stop.connect("inproc://receiver");
    ASSERT_TRUE(stop.send(zmq::buffer(std::string("\x01\x01", 2)), zmq::send_flags::none));
    publish("");
    handle(notify(R"({"object": "GROUP", "action": "deleted", "plist": {"uid": "g1"}})"));
    EXPECT_FALSE(store().get_group("g1").exists());
}

// Regression: only alarms woke the parameter-request mechanism; a platform change reached
// the devices at its next 5-s cycle. A notification that writes a project object asks for
// a cycle; one that writes nothing, or leaves the write to the updater, does not.
TEST_F(notify_test, a_notification_that_writes_a_project_object_asks_for_a_cycle) {
    const struct {
        const char* rest;  // after "object":
        bool asks;
    } cases[] = {
        {R"("GROUP", "action": "created", "plist": {"uid": "g1", "project_uid": "p", "name": "G"})", true},
        {R"("GROUP", "action": "renamed", "plist": {"uid": "g1", "project_uid": "p", "name": "G"})", false},
        {R"("ZONE", "action": "updated", "plist": {"uid": "z1", "project_uid": "p"})", false},
        {R"("ZONE", "action": "deleted", "plist": {"uid": "z1"})", true},
        {R"("SUBLOCATION", "action": "deleted", "plist": {"uid": "s1"})", true},
        {R"("WIN_ANCHOR", "action": "deleted", "plist": {"uid": "a1"})", true},
        {R"("TRACKABLE_OBJECT", "action": "deleted", "plist": {"uid": "t1"})", true},
        {R"("PROJECT", "action": "deleted", "plist": {"uid": "p"})", true},
        {R"("TDOA_SETTINGS", "action": "created", "plist": {"project_uid": "p"})", true},
        {R"("TDOA_SCHEDULE", "action": "deleted", "plist": {"uid": "sch-1"})", true},
        {R"("TDOA_SCHEDULE", "action": "updated", "plist": {"uid": "sch-1"})", false},
        {R"("driver_licenses", "action": "deleted", "plist": {"obj_uid": "t1"})", true},
        {R"("vehicle_certifications", "action": "updated", "plist": {"obj_uid": "t1", "id": 2, "certification_required": true})", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rest);
        const auto sent = handle(notify(std::string(R"({"object": )") + c.rest + "}")).param_req;
        EXPECT_EQ(sent, c.asks ? std::vector<std::string>{std::string(1, '\x08')} : std::vector<std::string>{});
    }
}

// ---- zones and sublocations ----------------------------------------------------------------

TEST_F(notify_test, zone_number_comes_from_zone_id_or_else_sequence) {
    handle(notify(R"({"object": "ZONE", "action": "created", "plist": {"uid": "z1", "project_uid": "p", "sequence": 7}})"));
    EXPECT_EQ(store().get_zone("z1").zone_id(), 7u);
    handle(notify(R"({"object": "ZONE", "action": "updated", "plist": {"uid": "z1", "project_uid": "p", "zone_id": 3, "sequence": 9}})"));
    EXPECT_EQ(store().get_zone("z1").zone_id(), 3u);
    handle(notify(R"({"object": "ZONE", "action": "updated", "plist": {"uid": "z1", "project_uid": "q"}})"));
    EXPECT_EQ(store().get_zone("z1").project_uid(), "p");
    handle(notify(R"({"object": "ZONE", "action": "created", "plist": {"uid": "z2", "project_uid": "p", "zone_id": -1}})"));
    EXPECT_FALSE(store().get_zone("z2").exists());
    handle(notify(R"({"object": "ZONE", "action": "deleted", "plist": {"uid": "z1"}})"));
    EXPECT_FALSE(store().get_zone("z1").exists());
}

TEST_F(notify_test, sublocation_offsets_round_halves_up) {
    handle(notify(R"({"object": "SUBLOCATION", "action": "created", "plist": {"uid": "s1", "project_uid": "p",
        "sequence": 4, "offset_x": -2.5, "offset_y": 2.5, "offset_z": 1.4}})"));
    const auto s = store().get_sublocation("s1");
    EXPECT_EQ(std::make_tuple(s.sublocation_id(), s.offset_x(), s.offset_y(), s.offset_z()), std::make_tuple(4u, -2, 3, 1));
    handle(notify(R"({"object": "SUBLOCATION", "action": "updated", "plist": {"uid": "s1", "project_uid": "p",
        "id": 5, "offset_x": 0, "offset_y": 0}})"));
    EXPECT_EQ(s.sublocation_id(), 4u);  // offset_z missing: nothing changes
}

// ---- anchors and trackable objects -----------------------------------------------------------

TEST_F(notify_test, anchor_takes_its_node_mac_widened_and_a_bad_mac_changes_nothing) {
    const std::string head = R"({"object": "WIN_ANCHOR", "action": "created", "plist": {"uid": "a1", "project_uid": "p",
        "name": "A", "sublocation_uid": "s", "type": "anchor", "position": {"x": -2.5, "y": 10.2, "z": 300})";
    handle(notify(head + R"(, "node": {"mac_address": "70b3d50a0002", "node_id": 42}}})"));
    const auto a = store().get_anchor("a1");
    EXPECT_EQ(std::make_tuple(a.mac_addr(), a.node_id(), a.position_x(), a.position_y(), a.position_z()),
              std::make_tuple("70B3D5FFFE0A0002", 42u, -2, 10, 300));

    handle(notify(R"({"object": "WIN_ANCHOR", "action": "updated", "plist": {"uid": "a1", "project_uid": "p",
        "name": "A", "sublocation_uid": "s", "type": "anchor", "position": {"x": 1, "y": 1, "z": 1},
        "node": {"mac_address": "0011", "node_id": 1}}})"));
    EXPECT_TRUE(logged("WIN_ANCHOR a1 field \"mac_address\" is not valid (0011)"));
    EXPECT_EQ(a.position_x(), -2);

    handle(notify(R"({"object": "WIN_ANCHOR", "action": "deleted", "plist": {"uid": "a1"}})"));
    EXPECT_FALSE(a.exists());
}

// The members' decoding is shared with the platform API and pinned by its tests; here
// what notifications do differently: "sl_id" optional.
TEST_F(notify_test, trackable_object_rounds_halves_up_and_reads_its_tag_config) {
    handle(notify(R"({"object": "TRACKABLE_OBJECT", "action": "created", "plist": {"uid": "t1", "project_uid": "p",
        "name": "F", "type": "vehicle", "category": "ForkLIFT", "default_height": -0.5,
        "node": {"mac_address": "70b3d50c0002"}, "position": {"x": -2.5, "y": 2.5},
        "tag_config": {"stationary": true, "t2t_cfg": {"role": "monitor", "angle": 89.5}}}})"));
    const auto t = store().get_track_obj("t1");
    EXPECT_EQ(std::make_tuple(t.position_x(), t.position_y(), t.default_height(), t.category(), t.mac_addr(),
                              t.stationary(), t.t2t_cfg_role(), t.t2t_cfg_angle()),
              std::make_tuple(-2, 3, 0, "forklift", "70B3D5FFFE0C0002", true, "monitor", 90u));

    // Without tag_config and position: not stationary, no t2t configuration, position 0.
    const std::string t1 = R"({"object": "TRACKABLE_OBJECT", "action": "updated", "plist": {"uid": "t1", "project_uid": "p", )"
                           R"("name": "F", "type": "vehicle", "category": "c", )";
    handle(notify(t1 + R"("default_height": 2}})"));
    EXPECT_EQ(std::make_tuple(t.stationary(), t.t2t_cfg_exists(), t.position_x()), std::make_tuple(false, false, 0));

    // A required member of the wrong type ends the handler.
    handle(notify(t1 + R"("default_height": 9, "tag_config": {"stationary": 1}}})"));
    EXPECT_EQ(t.default_height(), 2);

    handle(notify(R"({"object": "TRACKABLE_OBJECT", "action": "deleted", "plist": {"uid": "t1"}})"));
    EXPECT_FALSE(t.exists());
}

// ---- project, TDOA -------------------------------------------------------------------------

TEST_F(notify_test, deleted_project_removes_only_its_tdoa_setting) {
    Json::Value settings;
    settings["project_uid"] = "prj-1";
    store().get_tdoa_setting("prj-1").update(settings);
    store().get_group("g1").update("prj-1", "G");
    handle(notify(R"({"object": "PROJECT", "action": "updated", "plist": {"uid": "prj-1"}})"));
    EXPECT_TRUE(store().get_tdoa_setting("prj-1").exists());
    handle(notify(R"({"object": "PROJECT", "action": "deleted", "plist": {"uid": "prj-1"}})"));
    EXPECT_TRUE(logged("PROJECT uid=\"prj-1\" is deleted"));
    EXPECT_FALSE(store().get_tdoa_setting("prj-1").exists());
    EXPECT_TRUE(store().get_group("g1").exists());
}

TEST_F(notify_test, tdoa_settings_are_stored_whole_and_a_bad_envelope_reports_every_failed_check) {
    handle(notify(R"({"object": "TDOA_SETTINGS", "action": "created", "plist": {"project_uid": "p1", "values": {"autostart": true}}})"));
    EXPECT_EQ(store().get_tdoa_setting("p1").get_autostart(), true);

    handle(notify(R"({"object": "TDOA_SETTINGS", "action": "deleted"})"));
    auto messages = log_messages();
    EXPECT_EQ(std::make_tuple(test::contains(messages, "tdoa_settings parse: could not find 'plist' in object '.'"),
                             test::contains(messages, "project_uid")),
              std::make_tuple(true, false));
    EXPECT_TRUE(store().get_tdoa_setting("p1").exists());

    handle(notify(R"({"object": "TDOA_SETTINGS", "action": 3})"));
    messages = log_messages();
    EXPECT_TRUE(test::contains(messages, "'action' in '.' is not a string") &&
                test::contains(messages, "could not find 'plist' in object '.'"));

    handle(notify(R"({"object": "TDOA_SETTINGS", "action": "deleted", "plist": {"project_uid": 1}})"));
    EXPECT_TRUE(logged("'project_uid' in '.plist' is not a string"));
    EXPECT_TRUE(store().get_tdoa_setting("p1").exists());

    handle(notify(R"({"object": "TDOA_SETTINGS", "action": "deleted", "plist": {"project_uid": "p1"}})"));
    EXPECT_FALSE(store().get_tdoa_setting("p1").exists());
}

TEST_F(notify_test, tdoa_schedule_is_removed_on_delete_and_never_written_from_the_notification) {
    store().get_tdoa_schedule("sch-1").update(2, {"0,a,b,3,0,2,0,1"});
    handle(notify(R"({"object": "TDOA_SCHEDULE", "action": "updated", "plist": {"uid": "sch-1", "tdoa_version": 9}})"));
    EXPECT_EQ(store().get_tdoa_schedule("sch-1").tdoa_version(), 2u);
    handle(notify(R"({"object": "TDOA_SCHEDULE", "action": "deleted", "plist": {"uid": "sch-1"}})"));
    EXPECT_FALSE(store().get_tdoa_schedule("sch-1").exists());
}

// ---- licences and certifications -------------------------------------------------------------

TEST_F(notify_test, driver_licenses_keep_the_required_ids_and_a_missing_list_removes_them) {
    add_track_obj("t1");
    handle(notify(R"({"object": "driver_licenses", "action": "updated", "plist": {"obj_uid": "t1", "driver_lic": [
        {"id": 3, "certification_required": true}, {"id": 5, "certification_required": false},
        {"id": "7", "certification_required": true}, {"certification_required": true}, 9,
        {"id": 8, "certification_required": true}]}})"));
    EXPECT_EQ(store().get_track_obj("t1").driver_licenses(), (std::set<std::uint32_t>{3, 8}));
    handle(notify(R"({"object": "driver_licenses", "action": "updated", "plist": {"obj_uid": "t1"}})"));
    EXPECT_EQ(store().get_track_obj("t1").driver_licenses(), std::set<std::uint32_t>{});
}

TEST_F(notify_test, vehicle_certification_not_required_writes_model_zero) {
    add_track_obj("t1");
    handle(notify(R"({"object": "vehicle_certifications", "action": "created", "plist": {"obj_uid": "t1", "id": 4, "certification_required": true}})"));
    EXPECT_EQ(store().get_track_obj("t1").vehicle_model(), 4u);
    handle(notify(R"({"object": "vehicle_certifications", "action": "updated", "plist": {"obj_uid": "t1", "id": 4, "certification_required": false}})"));
    EXPECT_EQ(store().get_track_obj("t1").vehicle_model(), 0u);
    handle(notify(R"({"object": "vehicle_certifications", "action": "deleted", "plist": {"obj_uid": "t1"}})"));
    EXPECT_EQ(store().get_track_obj("t1").vehicle_model(), std::nullopt);
}

// ---- node announcements ----------------------------------------------------------------------

TEST_F(notify_test, anchor_announcement_tells_the_sleep_mechanism_and_clears_the_win) {
    const std::string mac = "70B3D5FFFE0A0001";
    auto device = busy_win(mac);
    auto sent = announced(R"({"object": "WIN", "mac": "70b3d50a0001", "action": "NA", "dev_id": "anc-1"})");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(std::make_tuple(sent[0].cmd, vyr::cmd::field_text(sent[0].mac), vyr::cmd::field_text(sent[0].uid)),
              std::make_tuple(2, mac, "anc-1"));
    EXPECT_EQ(reset_and_kept(device), std::make_pair(true, false));

    // Heartbeat: command 3, parameters kept; an id that fills the field goes whole, a
    // longer one is refused with a warning (a cut one would match no anchor).
    for (const std::size_t length : {vyr::cmd::uid_size, vyr::cmd::uid_size + 1}) {
        busy_win(mac);
        const std::string long_id(length, 'x');
        sent = announced(R"({"object": "WIN", "mac": ")" + mac + R"(", "action": "HB", "dev_id": ")" + long_id + "\"}");
        const bool fits = length == vyr::cmd::uid_size;
        EXPECT_EQ(std::make_tuple(sent.size(), logged("its uid is longer than 64")), std::make_tuple(fits ? 1u : 0u, !fits));
        if (fits) {
            EXPECT_EQ(std::make_tuple(sent[0].cmd, vyr::cmd::field_text(sent[0].uid)), std::make_tuple(3, long_id));
        }
        EXPECT_EQ(reset_and_kept(device), std::make_pair(true, true));
    }

    // Without dev_id: cleared, no command. Another action, or a bad MAC: nothing at all.
    busy_win(mac);
    EXPECT_TRUE(announced(R"({"object": "WIN", "mac": ")" + mac + R"(", "action": "XX", "dev_id": "anc-1"})").empty());
    EXPECT_TRUE(announced(R"({"object": "WIN", "mac": "0A0001", "action": "NA", "dev_id": "anc-1"})").empty());
    EXPECT_TRUE(logged("WIN anc-1 field \"mac_address\" is not valid (0A0001)"));
    EXPECT_EQ(reset_and_kept(device), std::make_pair(false, true));
    EXPECT_TRUE(announced(R"({"object": "WIN", "mac": ")" + mac + R"(", "action": "NA"})").empty());
    EXPECT_EQ(reset_and_kept(device), std::make_pair(true, false));
}

TEST_F(notify_test, tag_announcement_resets_alarms_and_asks_for_them_again) {
    const std::string mac = "70B3D5FFFE0B0001";
    add_track_obj("to-1");
    store().get_alarm("zv").update("zone_violation", 0, "to-1", std::string("z1"), 2u, std::string("out"), true);
    store().get_alarm("eb").update("emergency_button", 0, "to-1", std::nullopt, std::nullopt, std::nullopt, true);
    for (const char* uid : {"zv", "eb"})
        store().get_alarm(uid).delivered(true);
    redis({"SET", "updated", "true"});
    auto device = busy_win(mac);
    device.alarm_state(alarm_states::CONFIGURED);
    EXPECT_TRUE(announced(R"({"object": "TO", "mac": ")" + mac + R"(", "action": "NA", "dev_id": "to-1"})").empty());
    EXPECT_EQ(reset_and_kept(device), std::make_pair(true, false));
    // All alarms are re-read, the mirror staying complete; the zone alarm is to be
    // delivered again.
    EXPECT_EQ(std::make_tuple(device.alarm_state(), redis({"GET", "updated"}), redis({"GET", "alarms_refresh"}),
                              store().get_alarm("zv").delivered(), store().get_alarm("eb").delivered()),
              std::make_tuple(alarm_states::NOT_CONFIGURED, "true", "pending", false, true));
}

TEST_F(notify_test, tag_heartbeat_configures_only_an_unknown_alarm_state) {
    const std::string mac = "70B3D5FFFE0B0002";
    auto device = busy_win(mac);
    handle(notify(R"({"object": "TO", "mac": ")" + mac + R"(", "action": "HB"})"));
    EXPECT_EQ(std::make_tuple(reset_and_kept(device), device.alarm_state()),
              std::make_tuple(std::make_pair(true, true), alarm_states::NOT_CONFIGURED));
    device.alarm_state(alarm_states::SENT);
    handle(notify(R"({"object": "TO", "mac": ")" + mac + R"(", "action": "HB"})"));
    EXPECT_EQ(device.alarm_state(), alarm_states::SENT);
    // Any other action still resets the sending pace, and nothing more.
    busy_win(mac);
    handle(notify(R"({"object": "TO", "mac": ")" + mac + R"(", "action": "??"})"));
    EXPECT_EQ(reset_and_kept(device), std::make_pair(true, true));
    EXPECT_EQ(device.alarm_state(), alarm_states::SENT);
    EXPECT_NE(redis({"GET", "updated"}), "false");
}

}  // namespace
