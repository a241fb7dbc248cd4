// The trackable-object record: MAC index moves, replaced lists, the t2t configuration,
// guarded writers and the removal cascade.
#include <tuple>

#include "store_fixture.h"
#include "redis/pipeline.h"

namespace {

class track_obj_record : public store {
protected:
    // An update with everything but the varied arguments fixed.
    void update(const std::string& _uid, const std::string& _mac, const std::string& _sublocation = "sub1",
                bool _t2t_valid = true, const std::vector<std::string>& _no_alarm = {"aabbccddeeff0011"},
                const std::vector<std::string>& _groups = {"g1", "g2"}) {
        auto& connection = m_context->redis_context();
        auto obj = m_context->get_track_obj(_uid);
        vyr::redis::batch pipeline;
        if (m_pipelined) {  // as a full refresh writes: the stored MAC read by the caller
            const auto mac = connection.command("HGET", vyr::context::track_obj::keys::fields(_uid), "mac_addr");
            obj.write_into(pipeline, mac.is_string() ? mac.to_string() : "");
        }
        const auto round_trips = connection.round_trips();
        obj.update("project", "forklift 7 %s", _sublocation, 10, -20, 150, "vehicle", _mac, _groups, "heavy", true,
                   _no_alarm, _t2t_valid, "master", true, 500u, 90u, std::nullopt, std::string("1234"), std::nullopt,
                   200u, std::nullopt, false);
        if (m_pipelined) {
            EXPECT_EQ(connection.round_trips(), round_trips);  // nothing read or sent by the record
            vyr::context::common::check_no_error(vyr::redis::pipeline(connection, pipeline).exec(), "test");
        }
    }
    bool m_pipelined = false;
};

TEST_F(track_obj_record, update_writes_fields_sets_and_t2t_configuration_and_replaces_the_lists) {
    update("o1", "MAC1");
    const auto obj = m_context->get_track_obj("o1");
    EXPECT_TRUE(obj.exists());
    EXPECT_EQ(std::make_tuple(obj.name(), obj.position_y(), obj.default_height(), obj.stationary()),
              std::make_tuple("forklift 7 %s", -20, 150, true));
    EXPECT_EQ(sorted(obj.groups()), (std::vector<std::string>{"g1", "g2"}));
    EXPECT_EQ(std::make_tuple(obj.t2t_cfg_role(), obj.t2t_cfg_alarm_back(), obj.t2t_cfg_haptic(), obj.t2t_cfg_distance(),
                              obj.t2t_cfg_pin()),
              std::make_tuple("master", true, false, 500u, "1234"));
    EXPECT_FALSE(obj.t2t_cfg_delay() || obj.t2t_cfg_buzzer());
    EXPECT_EQ(m_context->get_track_objs(), std::vector<std::string>{"o1"});
    update("o1", "MAC1", "sub1", true, {}, {"g3"});
    EXPECT_EQ(obj.groups(), std::vector<std::string>{"g3"});
    EXPECT_TRUE(obj.t2t_no_alarm().empty());
}

TEST_F(track_obj_record, mac_index_follows_a_changed_or_emptied_mac_and_an_unchanged_one_is_not_deleted) {
    for (const bool pipelined : {false, true}) {
        SCOPED_TRACE(pipelined);
        m_pipelined = pipelined;
        update("o1", "MAC1");
        EXPECT_EQ(m_context->get_track_obj_by_mac("MAC1").uid(), "o1");
        update("o1", "MAC1");
        EXPECT_EQ(m_context->get_track_obj_by_mac("MAC1").uid(), "o1");
        update("o1", "MAC2");
        EXPECT_EQ(thrown_message([&] { m_context->get_track_obj_by_mac("MAC1"); }), "Mac: MAC1");
        EXPECT_EQ(m_context->get_track_obj_by_mac("MAC2").uid(), "o1");
        EXPECT_EQ(redis({"HLEN", "track_objs:mac_addr"}), "1");
        update("o1", "");
        EXPECT_EQ(redis({"HLEN", "track_objs:mac_addr"}), "0");
        EXPECT_FALSE(m_context->track_obj_exists_by_mac(""));
    }
}

TEST_F(track_obj_record, invalid_t2t_configuration_leaves_no_hash_and_no_alarm_entries_are_upper_cased) {
    update("o1", "MAC1", "sub1", true);
    update("o1", "MAC1", "sub1", false, {"00aa11bb22cc33dd", "Mixed-9"});
    const auto obj = m_context->get_track_obj("o1");
    EXPECT_FALSE(obj.t2t_cfg_exists());
    EXPECT_EQ(thrown_message([&] { obj.t2t_cfg_role(); }), "t2t_cfg_roleUid: o1");
    EXPECT_FALSE(obj.t2t_cfg_distance());
    EXPECT_EQ(sorted(obj.t2t_no_alarm()), (std::vector<std::string>{"00AA11BB22CC33DD", "MIXED-9"}));
}

TEST_F(track_obj_record, vehicle_model_and_licences_are_written_only_for_an_existing_object) {
    auto ghost = m_context->get_track_obj("ghost");
    ghost.update_vehicle_model(12);
    ghost.update_driver_licenses({1, 2});
    EXPECT_EQ(redis({"DBSIZE"}), "0");
    EXPECT_FALSE(ghost.vehicle_model());
    EXPECT_EQ(thrown_message([&] { ghost.mac_addr(); }), "mac_addrUid: ghost");

    update("o1", "MAC1");
    auto obj = m_context->get_track_obj("o1");
    EXPECT_EQ(obj.driver_licenses(), std::set<std::uint32_t>{});  // missing key: empty set
    obj.update_vehicle_model(12);
    obj.update_driver_licenses({3, 1});
    obj.update_driver_licenses({7, 2});
    EXPECT_EQ(obj.driver_licenses(), (std::set<std::uint32_t>{2, 7}));
    update("o1", "MAC1");  // the server data written by update does not wipe the vehicle model
    EXPECT_EQ(obj.vehicle_model(), 12u);
    obj.remove_vehicle_model();
    EXPECT_FALSE(obj.vehicle_model());
}

TEST_F(track_obj_record, remove_cascades_over_its_keys_index_and_sublocation_set) {
    update("o1", "MAC1", "sub1");
    update("o2", "MAC2", "sub1");
    m_context->get_track_obj("o1").update_driver_licenses({4});
    redis({"SADD", "sublocations:sub1:track_objs", "o1", "o2"});
    m_context->get_track_obj("o1").remove();
    for (const char* key : {"fields", "groups", "t2t_no_alarm", "t2t_cfg", "driver_licenses"})
        EXPECT_EQ(redis({"EXISTS", std::string("track_objs:o1:from_server:") + key}), "0") << key;
    EXPECT_EQ(members("sublocations:sub1:track_objs"), std::vector<std::string>{"o2"});
    EXPECT_FALSE(m_context->track_obj_exists_by_mac("MAC1"));
    EXPECT_TRUE(m_context->track_obj_exists_by_mac("MAC2"));
    EXPECT_EQ(m_context->get_track_objs(), std::vector<std::string>{"o2"});

    // Without a sublocation or MAC the keys still go.
    redis({"FLUSHDB"});
    redis({"HSET", "track_objs:o9:from_server:fields", "name", "n"});
    redis({"SADD", "track_objs:o9:from_server:groups", "g"});
    redis({"SADD", "track_objs:set", "o9"});
    m_context->get_track_obj("o9").remove();
    EXPECT_TRUE(keys().empty());
}

}  // namespace
