// The alarm record: the object index, optional fields, the delivery flag and set().
#include <tuple>

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
    EXPECT_EQ(std::make_tuple(alarm.text(), alarm.zone_alarm_level(), alarm.acknowledged()),
              std::make_tuple("Leave zone %s", 3u, 2u));
    alarm.update("zone_violation", 2, "obj1", std::nullopt, std::nullopt, std::nullopt, false);
    EXPECT_FALSE(alarm.zone_uid() || alarm.zone_alarm_level() || alarm.text() || alarm.set());
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
    EXPECT_TRUE(keys().empty());
}

}  // namespace
