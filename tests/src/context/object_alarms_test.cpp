// The objects' alarms read fresh: each object's records in its index's order, a record
// gone since the index was read left out, and what cannot be read named with its alarm
// name, so that the alarm rules can tell a broken zone alarm from another.
#include <algorithm>

#include "context/object_alarms.h"
#include "store_fixture.h"

namespace {

using vyr::context::alarm;

class object_alarms : public store {};

TEST_F(object_alarms, records_in_index_order_gone_ones_left_out_broken_ones_named) {
    for (const auto* uid : {"al-1", "al-3", "al-4"})
        m_context->get_alarm(uid).update("zone_violation", 0, "to-1", std::string("Z11"), 2u, std::string(uid), true);
    m_context->get_alarm("al-2").update("emergency_button", 1, "to-1", std::nullopt, std::nullopt, std::nullopt, true);
    m_context->get_alarm("al-3").delivered(true);
    redis({"SADD", alarm::keys::objects("to-1"), "al-gone"});
    redis({"HSET", alarm::keys::fields("al-2"), "acknowledged", "many"});
    redis({"SET", alarm::keys::objects("to-3"), "not a set"});
    const auto read = vyr::context::read_object_alarms(m_context->redis_context(), {"to-1", "to-2", "to-3"});
    ASSERT_EQ(read.size(), 3u);
    // The readable ones as the index lists them, each with its own record.
    std::vector<std::string> listed, texts;
    for (const auto& uid : lines(redis({"SMEMBERS", alarm::keys::objects("to-1")})))
        if (uid != "al-2" && uid != "al-gone")
            listed.push_back(uid);
    std::vector<std::string> uids;
    for (const auto& [uid, data] : read[0].alarms) {
        uids.push_back(uid);
        texts.push_back(*data.text + (data.delivered ? "+" : ""));
    }
    EXPECT_EQ(uids, listed);
    EXPECT_EQ(sorted(texts), (std::vector<std::string>{"al-1", "al-3+", "al-4"}));
    ASSERT_EQ(read[0].broken.size(), 1u);
    EXPECT_EQ(std::make_tuple(read[0].broken[0].uid, read[0].broken[0].name, read[0].index_error),
              std::make_tuple("al-2", "emergency_button", ""));
    EXPECT_TRUE(read[1].alarms.empty() && read[1].broken.empty() && read[1].index_error.empty());
    EXPECT_NE(read[2].index_error, "");
}

}  // namespace
