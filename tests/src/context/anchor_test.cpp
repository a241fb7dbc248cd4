// Anchor, group, zone and sublocation records: their stored form, the anchor's MAC index
// and sublocation sets, removals, and the defaults of missing fields.
#include <functional>
#include <tuple>
#include <utility>

#include "store_fixture.h"

namespace {

using site_records = store;

void put_anchor(vyr::context::context& _context, const std::string& _uid, const std::string& _mac,
                const std::string& _sublocation) {
    _context.get_anchor(_uid).update("project", "anchor name", _sublocation, 1, -2, 3, "anchor", _mac, 42);
}

TEST_F(site_records, anchor_update_stores_fields_and_its_mac_index_moves_and_empties) {
    put_anchor(*m_context, "a1", "AMAC1", "sub1");
    const auto a = m_context->get_anchor("a1");
    EXPECT_EQ(stored(), (keyspace{{"anchors:a1:from_server:fields",
                                   {"mac_addr=AMAC1", "name=anchor name", "node_id=42", "position_x=1", "position_y=-2",
                                    "position_z=3", "project_uid=project", "s_sublocation_uid=sub1", "type=anchor"}},
                                  {"anchors:mac_addr", {"AMAC1=a1"}},
                                  {"anchors:set", {"a1"}},
                                  {"sublocations:sub1:anchors", {"a1"}}}));
    EXPECT_EQ(std::make_tuple(a.node_id(), a.position_y(), a.mac_addr()), std::make_tuple(42u, -2, "AMAC1"));
    EXPECT_EQ(m_context->get_anchor_by_mac("AMAC1").uid(), "a1");
    EXPECT_EQ(m_context->get_anchors(), std::vector<std::string>{"a1"});
    EXPECT_EQ(thrown_message([&] { m_context->get_anchor("a2").node_id(); }), "node_idUid: a2");
    put_anchor(*m_context, "a1", "AMAC2", "sub1");
    EXPECT_FALSE(m_context->anchor_exists_by_mac("AMAC1"));
    EXPECT_EQ(m_context->get_anchor_by_mac("AMAC2").uid(), "a1");
    put_anchor(*m_context, "a1", "", "sub1");
    EXPECT_EQ(redis({"HLEN", "anchors:mac_addr"}), "0");
}

TEST_F(site_records, anchor_moving_sublocation_stays_in_old_set_until_removed) {
    put_anchor(*m_context, "a1", "AMAC1", "sub1");
    put_anchor(*m_context, "a1", "AMAC1", "sub2");
    EXPECT_EQ(members("sublocations:sub1:anchors"), std::vector<std::string>{"a1"});
    EXPECT_EQ(members("sublocations:sub2:anchors"), std::vector<std::string>{"a1"});

    m_context->get_anchor("a1").remove();
    EXPECT_EQ(members("sublocations:sub1:anchors"), std::vector<std::string>{"a1"});
    EXPECT_TRUE(members("sublocations:sub2:anchors").empty());
    EXPECT_FALSE(m_context->anchor_exists_by_mac("AMAC1"));
    EXPECT_FALSE(m_context->get_anchor("a1").exists());
    EXPECT_TRUE(m_context->get_anchors().empty());
}

TEST_F(site_records, group_zone_sublocation_round_trip_and_removal) {
    m_context->get_group("g1").update("project", "night shift");
    m_context->get_zone("z1").update("project", 17);
    m_context->get_sublocation("s1").update("project", 3, -1, 2, -3);
    EXPECT_EQ(stored(), (keyspace{{"groups:g1:from_server:fields", {"name=night shift", "project_uid=project"}},
                                  {"groups:set", {"g1"}},
                                  {"sublocations:s1:from_server:fields",
                                   {"offset_x=-1", "offset_y=2", "offset_z=-3", "project_uid=project",
                                    "sublocation_id=3"}},
                                  {"sublocations:set", {"s1"}},
                                  {"zones:set", {"z1"}},
                                  {"zones:z1:from_server:fields", {"project_uid=project", "zone_id=17"}}}));
    redis({"HSET", "groups:g1:data", "x", "1"});
    redis({"SADD", "sublocations:s1:anchors", "a1"});
    EXPECT_EQ(m_context->get_group("g1").name(), "night shift");
    EXPECT_EQ(m_context->get_zone("z1").zone_id(), 17u);
    EXPECT_EQ(m_context->get_sublocation("s1").offset_z(), -3);

    m_context->get_group("g1").remove();
    m_context->get_zone("z1").remove();
    m_context->get_sublocation("s1").remove();
    // Only the sublocation's anchor set is left for the anchors to clean up.
    EXPECT_EQ(keys(), std::vector<std::string>{"sublocations:s1:anchors"});
    EXPECT_NO_THROW(m_context->get_group("never").remove());
}

TEST_F(site_records, missing_ids_read_as_zero_and_a_bad_stored_number_is_bad_data_naming_field_and_record) {
    redis({"HSET", "zones:z1:from_server:fields", "project_uid", "p"});
    redis({"HSET", "sublocations:s1:from_server:fields", "project_uid", "p"});
    EXPECT_EQ(m_context->get_zone("z1").zone_id(), 0u);
    EXPECT_EQ(m_context->get_sublocation("s1").sublocation_id(), 0u);
    EXPECT_FALSE(m_context->get_sublocation("s1").offset_z());
    EXPECT_FALSE(m_context->get_zone("none").project_uid());
    EXPECT_EQ(thrown_message([&] { m_context->get_group("none").name(); }), "nameUid: none");
    // Read one field at a time and with the whole record: the same error either way.
    put_anchor(*m_context, "a1", "AMAC1", "sub1");
    redis({"HSET", "anchors:a1:from_server:fields", "position_z", "3 "});
    redis({"HSET", "zones:z1:from_server:fields", "zone_id", "99999999999"});
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { m_context->get_anchor("a1").position_z(); }, "position_z of anchors:a1:from_server:fields: \"3 \""},
        {[&] { m_context->get_anchor("a1").read(); }, "position_z of anchors:a1:from_server:fields: \"3 \""},
        {[&] { m_context->get_zone("z1").zone_id(); }, "zone_id of zones:z1:from_server:fields: \"99999999999\""},
        {[&] { m_context->get_zone("z1").read(); }, "zone_id of zones:z1:from_server:fields: \"99999999999\""},
    };
    for (const auto& [read, text] : cases)
        EXPECT_EQ(thrown_message<vyr::context::bad_data>(read).substr(0, text.size()), text);
}

}  // namespace
