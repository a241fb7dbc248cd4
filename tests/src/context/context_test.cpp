// The project context: its own keys, listings and the lookups across records.
#include <functional>
#include <utility>

#include "store_fixture.h"

namespace {

using project_context = store;

TEST_F(project_context, updated_is_true_only_for_exact_lower_case_true) {
    EXPECT_FALSE(m_context->updated());  // key missing
    redis({"SET", "updated", "TRUE"});
    EXPECT_FALSE(m_context->updated());
    m_context->updated(true);
    EXPECT_EQ(redis({"GET", "updated"}), "true");
    EXPECT_TRUE(m_context->updated());
    m_context->updated(false);
    EXPECT_FALSE(m_context->updated());
}

TEST_F(project_context, unknown_mac_throws_mac_text_and_does_not_exist) {
    EXPECT_EQ(thrown_message([&] { m_context->get_track_obj_by_mac("00AA00FFFE00BB00"); }),
              "Mac: 00AA00FFFE00BB00");
    EXPECT_FALSE(m_context->track_obj_exists_by_mac("00AA00FFFE00BB00"));
    EXPECT_EQ(thrown_message([&] { m_context->get_anchor_by_mac("X"); }), "Mac: X");

    redis({"HSET", "anchors:mac_addr", "X", "a1"});
    EXPECT_TRUE(m_context->anchor_exists_by_mac("X"));
    EXPECT_EQ(m_context->get_anchor_by_mac("X").uid(), "a1");
}

TEST_F(project_context, zone_and_button_alarms_of_object_with_three_kinds) {
    m_context->get_alarm("zone").update("zone_violation", 0, "obj", std::string("z1"), 2u, std::nullopt, true);
    m_context->get_alarm("buffer").update("buffer_violation", 0, "obj", std::nullopt, std::nullopt, std::nullopt,
                                          true);
    m_context->get_alarm("button").update("emergency_button", 0, "obj", std::nullopt, std::nullopt, std::nullopt,
                                          true);
    m_context->get_alarm("elsewhere").update("emergency_button", 0, "other", std::nullopt, std::nullopt,
                                             std::nullopt, true);
    redis({"SADD", "alarms:objects:obj", "nameless"});

    EXPECT_EQ(sorted(m_context->get_alarms_of_object("obj")),
              (std::vector<std::string>{"buffer", "button", "nameless", "zone"}));
    // An announcing tag's zone alarms are delivered again: only those of an object that exists.
    for (const char* uid : {"zone", "buffer", "button"})
        m_context->get_alarm(uid).delivered(true);
    m_context->undeliver_zone_alarms_of({"obj"});
    const auto delivered = [&](const char* _uid) { return m_context->get_alarm(_uid).read()->delivered; };
    EXPECT_EQ(std::make_tuple(delivered("zone"), delivered("buffer")), std::make_tuple(true, true));
    redis({"HSET", vyr::context::track_obj::keys::record_key("obj"), "name", "Obj"});
    m_context->undeliver_zone_alarms_of({"nobody", "obj"});
    EXPECT_EQ(std::make_tuple(delivered("zone"), delivered("buffer"), delivered("button")),
              std::make_tuple(false, false, true));
    const auto button = m_context->get_button_alarm_of_object("obj");
    ASSERT_TRUE(button);
    EXPECT_EQ(button->uid(), "button");
    EXPECT_FALSE(m_context->get_button_alarm_of_object("nobody"));
}

// Missing fields throw field_missing (their texts are checked with each record); the
// same getters on a stopped server throw the connection error and never field_missing,
// which callers read as "never reported".
TEST_F(project_context, missing_fields_throw_field_missing_and_a_stopped_server_never_does) {
    const std::vector<std::pair<const char*, std::function<void()>>> getters = {
        {"record field", [&] { m_context->get_anchor("a2").node_id(); }},
        {"t2t role", [&] { m_context->get_track_obj("o1").t2t_cfg_role(); }},
        {"WIN detail", [&] { m_context->get_win("AA").parameter_stationary(); }},
        {"MAC index", [&] { m_context->get_anchor_by_mac("X"); }},
    };
    for (const auto& [name, getter] : getters)
        EXPECT_THROW(getter(), vyr::context::field_missing) << name;
    s_server->stop();
    for (const auto& [name, getter] : getters)
        EXPECT_THROW(getter(), vyr::redis::connection_error) << name;
    s_server->start();
}

}  // namespace
