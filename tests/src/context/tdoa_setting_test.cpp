// TDOA setting documents (stored form, cached reading, skip rules, slots) and schedule rows.
#include "core/json.h"
#include "store_fixture.h"

namespace {

using tdoa_records = store;

Json::Value parse(const std::string& _text) {
    auto parsed = vyr::libs::core::json::try_parse(_text);
    EXPECT_TRUE(parsed.ok) << parsed.error;
    return parsed.result;
}

const char* const s_setting = R"({"values": {
    "active_schedule_uid": "schedule 1 %s 100%",
    "autostart": true,
    "configured_state": "yes",
    "masters": [
        {"anchor_uid": "m1", "sfd": 1, "slot": 3},
        {"anchor_uid": "m2", "slot": 5},
        {"anchor_uid": "m3", "sfd": 0, "slot": 7},
        "not an object",
        {"anchor_uid": "m3", "sfd": 9, "slot": 8}
    ],
    "distributors": [
        {"anchor_uid": "d1", "master_uid": "m1", "slot": 9},
        {"anchor_uid": "d2", "slot": 2},
        {"anchor_uid": "d3", "slot": -1}
    ]}})";

TEST_F(tdoa_records, setting_accessors_skip_incomplete_elements) {
    m_context->get_tdoa_setting("t1").update(parse(s_setting));
    EXPECT_EQ(m_context->get_tdoa_settings(), std::vector<std::string>{"t1"});
    const auto setting = m_context->get_tdoa_setting("t1");
    EXPECT_TRUE(setting.exists());
    EXPECT_EQ(setting.get_active_schedule_uid(), std::optional<std::string_view>("schedule 1 %s 100%"));
    EXPECT_EQ(setting.get_autostart(), true);
    EXPECT_FALSE(setting.get_configured_state());  // not a boolean
    const auto masters = setting.get_masters();
    ASSERT_TRUE(masters);
    ASSERT_EQ(masters->size(), 3u);
    EXPECT_EQ(std::make_tuple((*masters)[0].anchor_uid, (*masters)[1].anchor_uid, (*masters)[1].slot),
              std::make_tuple("m1", "m3", 7u));
    EXPECT_FALSE(setting.get_master("m2"));  // lacks "sfd"
    ASSERT_TRUE(setting.get_master("m3"));
    EXPECT_EQ(setting.get_master("m3")->slot, 7u);  // the first one only
    EXPECT_FALSE(setting.get_master("nobody"));
    ASSERT_TRUE(setting.get_distributor("d1"));
    EXPECT_EQ(setting.get_distributor("d1")->master_uid, std::optional<std::string>("m1"));
    EXPECT_FALSE(setting.get_distributor("d2")->master_uid);
    EXPECT_FALSE(setting.get_distributor("d3"));  // negative slot
    EXPECT_EQ(setting.get_distributors()->size(), 2u);
    // The index by anchor finds what the walk along the arrays finds, the first of a uid.
    const vyr::context::tdoa_setting_roles roles(setting.view());
    EXPECT_EQ(roles.master_of("m3")->slot, 7u);
    for (const char* uid : {"m1", "m2", "m3", "d1", "d2", "d3", "nobody"}) {
        const auto master = roles.master_of(uid), walked_master = setting.get_master(uid);
        ASSERT_EQ(master.has_value(), walked_master.has_value()) << uid;
        if (master) {
            EXPECT_EQ(std::tie(master->sfd, master->slot), std::tie(walked_master->sfd, walked_master->slot)) << uid;
        }
        const auto distributor = roles.distributor_of(uid), walked = setting.get_distributor(uid);
        ASSERT_EQ(distributor.has_value(), walked.has_value()) << uid;
        if (distributor) {
            EXPECT_EQ(std::tie(distributor->master_uid, distributor->slot), std::tie(walked->master_uid, walked->slot))
                << uid;
        }
    }
    EXPECT_EQ(roles.max_slot(), setting.get_max_slot());
}

TEST_F(tdoa_records, max_slot_spans_masters_and_distributors_only_with_masters) {
    auto setting = m_context->get_tdoa_setting("t1");
    setting.update(parse(R"({"values": {"masters": [{"anchor_uid": "a", "sfd": 1, "slot": 3},
        {"anchor_uid": "b", "sfd": 1, "slot": 7}], "distributors": [{"anchor_uid": "c", "slot": 9}]}})"));
    EXPECT_EQ(setting.get_max_slot(), 9u);

    m_context->get_tdoa_setting("t2").update(parse(R"({"values": {"distributors": [{"anchor_uid": "c", "slot": 9}]}})"));
    EXPECT_FALSE(m_context->get_tdoa_setting("t2").get_max_slot());

    m_context->get_tdoa_setting("t3").update(parse(R"({"values": {"masters": []}})"));
    EXPECT_EQ(m_context->get_tdoa_setting("t3").get_max_slot(), 0u);
}

TEST_F(tdoa_records, setting_object_keeps_its_first_reading) {
    auto first = m_context->get_tdoa_setting("t1");
    first.update(parse(R"({"values": {"autostart": true}})"));
    EXPECT_EQ(stored(),
              (keyspace{{"tdoa_settings:set", {"t1"}}, {"tdoa_settings:t1", {R"({"values":{"autostart":true}})"}}}));
    EXPECT_EQ(first.get_autostart(), true);
    m_context->get_tdoa_setting("t1").update(parse(R"({"values": {"autostart": false}})"));
    EXPECT_EQ(first.get_autostart(), true);
    EXPECT_EQ(m_context->get_tdoa_setting("t1").get_autostart(), false);
}

TEST_F(tdoa_records, corrupted_or_foreign_documents_yield_nothing) {
    EXPECT_FALSE(m_context->get_tdoa_setting("missing").values());
    for (const char* document : {"{\"values\": {\"autostart\": tr", "{\"other\": 1}", "[1, 2]",
                                 R"({"values": {"masters": {"anchor_uid": "m"}}})"}) {
        redis({"SET", "tdoa_settings:t", document});
        const auto setting = m_context->get_tdoa_setting("t");
        EXPECT_FALSE(setting.get_masters() || setting.get_master("m") || setting.get_autostart() ||
                     vyr::context::tdoa_setting_roles(setting.view()).master_of("m"))
            << document;
    }
    m_context->get_tdoa_setting("t").remove();
    EXPECT_FALSE(m_context->get_tdoa_setting("t").exists());
}

TEST_F(tdoa_records, max_slot_num_reads_fourth_field_and_rejects_short_rows) {
    auto schedule = m_context->get_tdoa_schedule("s1");
    schedule.update(4, {"1,a,b,12,x", ",0,1,2,5,6"});
    EXPECT_EQ(schedule.tdoa_version(), 4u);
    EXPECT_EQ(schedule.max_slot_num(), 12u);

    schedule.update(5, {"1,a,b,12,x", "1,2,3"});
    EXPECT_EQ(thrown_message([&] { schedule.max_slot_num(); }), "Bad schedule format");
    schedule.update(6, {"1,2,3,", ""});
    EXPECT_EQ(thrown_message([&] { schedule.max_slot_num(); }), "Bad schedule format");
    schedule.update(7, {"1,2,3,,x"});
    EXPECT_EQ(thrown_message<vyr::context::bad_data>([&] { schedule.max_slot_num(); }),
              "the slot of schedule row \"1,2,3,,x\": \"\" is not an unsigned 32-bit number");

    schedule.update(8, {});
    EXPECT_EQ(schedule.max_slot_num(), 0u);
}

TEST_F(tdoa_records, schedule_rows_with_quotes_are_replaced_on_update) {
    auto schedule = m_context->get_tdoa_schedule("s1");
    schedule.update(1, {"1,\"anchor a\",'b',3,x %s"});
    EXPECT_EQ(schedule.rows(), std::set<std::string>{"1,\"anchor a\",'b',3,x %s"});
    EXPECT_EQ(schedule.max_slot_num(), 3u);

    schedule.update(2, {"2,b,c,4,y"});
    EXPECT_EQ(stored(), (keyspace{{"tdoa_schedules:s1:from_server:fields", {"tdoa_version=2"}},
                                  {"tdoa_schedules:s1:from_server:rows", {"2,b,c,4,y"}},
                                  {"tdoa_schedules:set", {"s1"}}}));
    EXPECT_EQ(schedule.rows(), std::set<std::string>{"2,b,c,4,y"});
    EXPECT_EQ(m_context->get_tdoa_schedules(), std::vector<std::string>{"s1"});

    schedule.remove();
    EXPECT_TRUE(keys().empty());
    EXPECT_EQ(thrown_message([&] { schedule.tdoa_version(); }), "tdoa_versionUid: s1");
    EXPECT_TRUE(schedule.rows().empty());
}

}  // namespace
