// The alarm record: the object index, optional fields, the delivery flag and set().
#include "store_fixture.h"

namespace {

using alarm_record = store;

TEST_F(alarm_record, alarm_moving_between_objects_moves_its_index_entry) {
    auto alarm = m_context->get_alarm("al1");
    alarm.update("zone_violation", 1, "obj1", std::string("z1"), 3u, std::string("Leave zone %s"), true);
    EXPECT_EQ(m_context->get_alarms_of_object("obj1"), std::vector<std::string>{"al1"});
    alarm.update("zone_violation", 1, "obj2", std::string("z1"), 3u, std::nullopt, true);
    EXPECT_TRUE(m_context->get_alarms_of_object("obj1").empty());
    EXPECT_EQ(m_context->get_alarms_of_object("obj2"), std::vector<std::string>{"al1"});
    EXPECT_EQ(m_context->get_alarms(), std::vector<std::string>{"al1"});

    alarm.remove();
    EXPECT_TRUE(m_context->get_alarms_of_object("obj2").empty());
    EXPECT_TRUE(m_context->get_alarms().empty());
    EXPECT_FALSE(alarm.exists());
}

TEST_F(alarm_record, update_without_optionals_deletes_earlier_values) {
    auto alarm = m_context->get_alarm("al1");
    alarm.update("zone_violation", 2, "obj1", std::string("z1"), 3u, std::string("Leave zone %s"), true);
    EXPECT_EQ(alarm.text(), "Leave zone %s");
    EXPECT_EQ(alarm.zone_alarm_level(), 3u);
    EXPECT_EQ(alarm.acknowledged(), 2u);
    alarm.update("zone_violation", 2, "obj1", std::nullopt, std::nullopt, std::nullopt, false);
    EXPECT_FALSE(alarm.zone_uid());
    EXPECT_FALSE(alarm.zone_alarm_level());
    EXPECT_FALSE(alarm.text());
    EXPECT_FALSE(alarm.set());
}

TEST_F(alarm_record, delivered_survives_update_and_goes_with_remove) {
    auto alarm = m_context->get_alarm("al1");
    alarm.update("emergency_button", 0, "obj1", std::nullopt, std::nullopt, std::nullopt, true);
    EXPECT_FALSE(alarm.delivered());
    alarm.delivered(true);
    EXPECT_TRUE(alarm.delivered());
    alarm.update("emergency_button", 1, "obj1", std::nullopt, std::nullopt, std::nullopt, true);
    EXPECT_TRUE(alarm.delivered());
    alarm.remove();
    EXPECT_FALSE(alarm.delivered());
    EXPECT_EQ(redis({"DBSIZE"}), "0");
}

TEST_F(alarm_record, set_requires_exact_lower_case_true) {
    redis({"HSET", "alarms:al1:from_server:fields", "set", "True"});
    EXPECT_FALSE(m_context->get_alarm("al1").set());
    redis({"HSET", "alarms:al1:from_server:fields", "set", "true"});
    EXPECT_TRUE(m_context->get_alarm("al1").set());
    EXPECT_FALSE(m_context->get_alarm("none").set());
}

}  // namespace
