// TDOA configuration of the anchors: the schedule, superframe and sync-slot payloads
// built from the records in a private redis-server, the answers to an anchor's request
// and the sync slots and superframes the processing cycle pushes through the gateway.
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/json.h"
#include "mechparamreq_fixture.h"

namespace {

using namespace delivery_test;
using namespace vyr::parameter;
using list = std::vector<std::string>;

const std::string s_mac_a = "70B3D5FFFE0A0A0A";
const std::string s_mac_b = "0011223344556677";
const std::string s_mac_c = "70B3D5FFFE0C0C0C";

class tdoa_delivery : public mech_param_req_test {
protected:
    void SetUp() override {
        mech_param_req_test::SetUp();
        anchor("A", s_mac_a, 0x0102, 10, -20, 30);
        anchor("B", s_mac_b, 0x0304, 40, 50, -60);
        anchor("C", s_mac_c, 0x0506, 0, 0, 0);
    }

    void anchor(const std::string& _uid, const std::string& _mac, std::uint32_t _node, std::int32_t _x, std::int32_t _y,
                std::int32_t _z) {
        m_store->get_anchor(_uid).update("prj-1", _uid, "sl-1", _x, _y, _z, "anchor", _mac, _node);
    }

    // The project's setting: A master (sfd 0x1234, slot 0), B distributor of A (slot 5).
    void setting(const std::string& _active, bool _configured = true) {
        auto document = vyr::libs::core::json::try_parse(R"({"values": {"autostart": true,
            "masters": [{"anchor_uid": "A", "sfd": 4660, "slot": 0}],
            "distributors": [{"anchor_uid": "B", "master_uid": "A", "slot": 5}]}})").result;
        if (!_active.empty())
            document["values"]["active_schedule_uid"] = _active;
        document["values"]["configured_state"] = _configured;
        m_store->get_tdoa_setting("prj-1").update(document);
    }

    void schedule(std::uint32_t _version, const std::set<std::string>& _rows) {
        m_store->get_tdoa_schedule("sch-1").update(_version, _rows);
        setting("sch-1");
    }

    // A mechanism that is not running, for calling the builders on the test thread. It
    // has its own ZeroMQ context, so its pipe does not meet the running one's.
    std::unique_ptr<c_mech_param_req> builder(bool _push_to_destination = false) {
        auto mechanism = std::make_unique<c_mech_param_req>(std::make_shared<zmq::context_t>(1), nullptr, nullptr,
                                                            s_redis->host(), s_redis->port(), _push_to_destination,
                                                            test_logger());
        EXPECT_TRUE(mechanism->thread_init());
        (void)logged("");
        return mechanism;
    }

    // The sync-slot and superframe payloads one cycle pushes, by MAC.
    std::map<std::string, std::vector<std::string>> pushed() {
        std::map<std::string, std::vector<std::string>> result;
        for (const auto& frame : cycle())
            for (const auto& payload : frame.payloads)
                if (payload.substr(0, 2) == "18" || payload.substr(0, 2) == "14")
                    result[frame.mac].push_back(payload);
        return result;
    }
};

TEST_F(tdoa_delivery, version_one_entries_for_source_and_destination) {
    schedule(1, {"1,A,B,3,1,2,0.75"});
    auto mechanism = builder();
    // C is in no row; after it, a version 2 schedule and an anchor that does not exist.
    EXPECT_EQ((list{mechanism->form_tdoa_schd(s_mac_a), mechanism->form_tdoa_schd(s_mac_b), mechanism->form_tdoa_schd(s_mac_c)}),
              (list{"06050366772203", "0605830A0A2203", "060100"}));
    schedule(2, {"1,A,B,3,1,2,0.75"});
    EXPECT_EQ((list{mechanism->form_tdoa_schd(s_mac_a), mechanism->form_tdoa_schd("70B3D5FFFE999999")}),
              (list{"060100", "060100"}));
}

TEST_F(tdoa_delivery, corrupted_version_one_row_keeps_the_rows_before_it) {
    const std::vector<std::pair<std::string, std::string>> bad_rows = {
        {"2,A,B,4,1,2", "bad schedule format (6)"},
        {"2 no commas", "bad schedule format (1)"},
        {"2,A,B,x4,1,2,0.5", "bad slot number"},
        {"2,A,B,4,1,2,half", "bad margin"},
        {"2,A,Z,4,1,2,0.5", "dst mac_addr is empty"},
        {"2,Z,A,4,1,2,0.5", "src mac_addr is empty"},
    };
    auto mechanism = builder();
    for (const auto& [row, message] : bad_rows) {
        schedule(1, {"1,A,B,3,1,2,0.75", row, "3,A,B,6,1,2,0.75"});
        EXPECT_EQ(mechanism->form_tdoa_schd(s_mac_a), "06050366772203") << row;
        EXPECT_EQ(logged(message), 1) << row;
    }
}

// Regression: numbers beyond their fields were sent capped (a margin as 0 or 255 quarters,
// a slot as 127, another anchor's) or among other bits (a dimension of 4 to 7 in the
// boundary's). Such a row is left out, warned once per anchor; the largest that fit go.
TEST_F(tdoa_delivery, v1_row_beyond_its_fields_is_left_out_not_sent_capped) {
    schedule(1, {"1,A,B,3,1,2,-0.3", "2,A,B,3,1,2,64", "3,A,B,128,1,2,0.75", "4,A,B,3,4,2,0.75", "5,A,B,3,1,16,0.75",
                 "6,A,B,127,3,15,63.75"});
    auto mechanism = builder();
    for (int call = 0; call < 2; ++call)
        EXPECT_EQ(mechanism->form_tdoa_schd(s_mac_a), "0605" "7F6677F8FF");
    EXPECT_EQ(mechanism->form_tdoa_schd(s_mac_b), "0605" "FF0A0AF8FF");
    EXPECT_EQ(logged("cannot be delivered whole"), 2);
}

TEST_F(tdoa_delivery, version_two_rows_and_their_errors) {
    schedule(2, {"1,A,B,3,1,2,1,1000", "2,A,C,4,0,1,0,250", "3,A,C,5,0,1,0", "4,A,C,6,0,1,0,250"});
    auto mechanism = builder();
    const auto partners = *mechanism->tdoa_schedule_to_json(s_mac_a);
    ASSERT_EQ(partners.size(), 2u);
    EXPECT_EQ(vyr::libs::core::json::to_string(partners[0]),
              R"({"addr":"0304","dim":2,"et":1,"margin":1000,"sect":1,"slot":3,"x":40,"y":50,"z":-60})");
    EXPECT_EQ(partners[1]["addr"].asString(), "0506");
    EXPECT_EQ(logged("bad schedule row format: 3,A,C,5,0,1,0"), 1);
    EXPECT_THROW(mechanism->tdoa_schedule_row_to_json("A", "1,A,B,3,1,2,1,1000,9"), vyr::libs::core::exception);
    EXPECT_THROW(mechanism->tdoa_schedule_row_to_json("A", "1,A,B,3,1,2,-1,1000"), vyr::libs::core::exception);

    // Destination rows only with the option, and only of dimension 2; they name the source.
    EXPECT_TRUE(mechanism->tdoa_schedule_to_json(s_mac_b)->isNull());
    auto to_destination = builder(true);
    const auto for_b = *to_destination->tdoa_schedule_to_json(s_mac_b);
    ASSERT_EQ(for_b.size(), 1u);
    EXPECT_EQ(std::make_tuple(for_b[0]["addr"].asString(), for_b[0]["z"].asInt()), std::make_tuple("0102", 30));  // A, not B
    EXPECT_TRUE(to_destination->tdoa_schedule_to_json(s_mac_c)->isNull());  // its rows have dim 1
}

// Regression: a margin that is no multiple of 250 and partners the payload cannot carry
// (a node id beyond four hexadecimal digits, a slot or margin / 250 beyond a byte, sect,
// et or dim beyond their flag bits, which were sent cut to them) were compared as the
// project holds them, so the anchor was pushed every 5 s for ever.
TEST_F(tdoa_delivery, ScheduleIsComparedAsTheAnchorHoldsIt) {
    anchor("D", "70B3D5FFFE0D0D0D", 0x12345, 1, 2, 3);
    schedule(2, {"1,A,B,3,1,2,3,100", "2,A,C,300,0,1,0,250", "3,A,D,4,0,1,0,250", "4,A,C,5,0,1,0,1000",
                 "5,A,B,6,3,6,7,250", "6,A,C,7,0,1,0,64000"});
    auto a = device(s_mac_a);
    a.parameter_state(SYNC_SLOT, NOT_SUPPORTED);
    a.parameter_state(SF, NOT_SUPPORTED);
    a.parameter_as_json(NWK_CFG, vyr::context::win::actual, "{\"router\":false}\n");
    logged("");
    const auto frames = cycle();
    // B: slot 3, flags sect 1 et 3 dim 2, margin 0; C: slot 5, dim 1, margin 4 × 250.
    EXPECT_EQ(bodies(frames), list{"000E1624" "03E2000003040000002800000032FFFFFFC4"
                                   "050104000506000000000000000000000000"});
    hold(a, frames);
    EXPECT_EQ(bodies(cycle()), list{});
    EXPECT_EQ(logged("cannot be delivered whole"), 1);
}

TEST_F(tdoa_delivery, superframe_and_sync_slot_payloads) {
    // Schedule slots up to 3; setting slots up to 5 (the distributor).
    schedule(1, {"1,A,B,3,1,2,0.75", "2,B,A,2,1,2,0.75"});
    auto mechanism = builder();
    EXPECT_EQ((list{*mechanism->form_sf(s_mac_a), *mechanism->form_sf(s_mac_b)}), (list{"1406" "0102" "1234" "06" "04", "140100"}));
    EXPECT_EQ((std::vector<std::optional<std::string>>{mechanism->form_sync_slot_by_mac(s_mac_a),
                                                       mechanism->form_sync_slot_by_mac(s_mac_b),
                                                       mechanism->form_sync_slot_by_mac(s_mac_c)}),
              (std::vector<std::optional<std::string>>{"1804" "0102" "00" "00", "1804" "0102" "05" "00", "1804FFFFFF00"}));
    for (const auto& [node, slot] : {std::pair{0x10000u, 0u}, {0u, 256u}})  // never capped to "no master" / "no slot"
        EXPECT_THROW(c_mech_param_req::form_sync_slot(node, slot, 0), vyr::libs::core::exception);

    m_store->get_tdoa_schedule("sch-1").remove();
    const auto superframe = mechanism->form_sf(s_mac_a);  // no superframe of a missing schedule, nor of no active one
    setting("");
    EXPECT_EQ((std::vector<std::optional<std::string>>{superframe, mechanism->form_sf(s_mac_a), mechanism->form_sf(s_mac_a)}),
              (std::vector<std::optional<std::string>>{std::nullopt, std::nullopt, std::nullopt}));
    EXPECT_EQ(logged("active_schedule_uid not found in tdoa_setting:prj-1"), 1);  // once, not per call
    m_store->get_anchor("A").remove();
    EXPECT_EQ(mechanism->form_sync_slot_by_mac(s_mac_b), std::nullopt);  // its master is gone
}

// Regression: a master's node id beyond two bytes was sent as FFFF, "no master", to it and
// its distributor, and a superframe number beyond its field as the field's largest.
// Neither is sent now, in an answer or a cycle, warned once per anchor and parameter.
TEST_F(tdoa_delivery, node_id_beyond_two_bytes_is_not_sent_as_no_master) {
    anchor("A", s_mac_a, 0x10000, 10, -20, 30);
    schedule(1, {"1,A,B,3,1,2,0.75"});
    device(s_mac_a), device(s_mac_b), device(s_mac_c);
    logged("");
    send(request(s_mac_a, {SF, SYNC_SLOT}));
    send(request(s_mac_b, {SYNC_SLOT}));
    EXPECT_EQ(bodies(fence()), (list{"000F", "000F"}));
    EXPECT_EQ(pushed(), (std::map<std::string, list>{{s_mac_c, {"1804FFFFFF00"}}}));
    EXPECT_EQ(logged("cannot be delivered whole"), 3);
    anchor("A", s_mac_a, 0x0102, 10, -20, 30);
    schedule(1, {"1,A,B,255,1,2,0.75"});  // 256 schedule slots
    EXPECT_EQ(builder()->form_sf(s_mac_a), std::nullopt);
}

TEST_F(tdoa_delivery, request_answer_carries_the_tdoa_payloads) {
    schedule(1, {"1,A,B,3,1,2,0.75"});
    send(request(s_mac_a, {TDOA_SCHD, SF, TDOA_SCHEDULE, SYNC_SLOT}));
    const auto frames = fence();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].body(), "000F" "06050366772203" "1406010212340604" "160100" "180401020000");

    schedule(2, {"1,A,B,3,1,2,1,1000"});
    send(request(s_mac_a, {TDOA_SCHEDULE}));
    EXPECT_EQ(bodies(fence()), std::vector<std::string>{"000F" "1612" "03A2040003040000002800000032FFFFFFC4"});
}

TEST_F(tdoa_delivery, cycle_pushes_sync_slots_then_the_superframe) {
    using slots = std::map<std::string, std::vector<std::string>>;
    schedule(1, {"1,A,B,3,1,2,0.75"});
    auto a = device(s_mac_a), b = device(s_mac_b), c = device(s_mac_c);
    // One push per WIN and cycle: the sync slots come first, also to C, which is in the
    // project but neither master nor distributor.
    EXPECT_EQ(pushed(), (slots{{s_mac_a, {"180401020000"}}, {s_mac_b, {"180401020500"}}, {s_mac_c, {"1804FFFFFF00"}}}));

    // Once each reports its slot, the master gets its superframe...
    const auto report = [](vyr::context::win& _win, std::uint32_t _addr, std::uint32_t _slot) {
        _win.sending_time({0, 0});
        _win.parameter_state(SYNC_SLOT, SUPPORTED);
        _win.parameter_sync_slot_addr(_addr);
        _win.parameter_sync_slot_slot(_slot);
    };
    report(a, 0x0102, 0);
    report(b, 0x0102, 5);
    report(c, 0xFFFF, 0xFF);
    EXPECT_EQ(pushed(), (slots{{s_mac_a, {"1406010212340604"}}}));
    // ...and nothing once it reports its own node id as superframe.
    a.sending_time({0, 0});
    a.parameter_state(SF, SUPPORTED);
    a.parameter_sf({0x0102, std::nullopt, std::nullopt, std::nullopt});  // older firmware: the node id only
    EXPECT_EQ(pushed(), slots{});

    // Regression ChangedSfdReachesReportingMaster: only the node id was compared, so a
    // changed slot count (or sfd) never reached a master that reported its superframe.
    a.parameter_sf({0x0102, 0x1234, 6, 4});
    a.sending_time({0, 0});  // its other parameters went out in the cycle before
    EXPECT_EQ(pushed(), slots{});
    schedule(1, {"1,A,B,9,1,2,0.75"});
    a.sending_time({0, 0});
    EXPECT_EQ(pushed(), (slots{{s_mac_a, {"140601021234060A"}}}));
    a.parameter_sf({0x0102, 0x1234, 6, 10});
    a.sending_time({0, 0});
    EXPECT_EQ(pushed(), slots{});
    // Regression: a master whose setting has no active schedule was sent 140100 every
    // cycle with an error each time; now nothing, warned once.
    a.parameter_state(SF, UNKNOWN);
    setting("");
    logged("");
    a.sending_time({0, 0});
    EXPECT_EQ(pushed(), slots{});
    a.sending_time({0, 0});
    EXPECT_EQ(pushed(), slots{});
    EXPECT_EQ(logged("superframe of master " + s_mac_a + " not sent"), 1);
    setting("sch-1");

    // A WIN that reports another slot is told again; not so for a setting that is not
    // configured, nor for a WIN past its counter.
    report(c, 0xFFFF, 7);
    setting("sch-1", false);
    EXPECT_EQ(pushed(), slots{});
    setting("sch-1");
    c.sending_time({0, 0});  // the parameters went out in the cycle before
    EXPECT_EQ(pushed(), (slots{{s_mac_c, {"1804FFFFFF00"}}}));
    c.sending_time({0, 0});
    while (c.sending_counter() < 10)
        c.increment_sending_counter();
    EXPECT_EQ(pushed(), slots{});
}

}  // namespace

// An answer read the project a field at a time, 39 round trips per request: the requests
// held until the mirror was complete took half a minute at 10,000 devices. Past the check
// of the mirror, an answer now reads in at most three round trips what it needs, for an
// anchor as for a tag with a sublocation, a group and an alarm, and says the same.
TEST_F(tdoa_delivery, RequestAnswerTakesAtMostThreeRoundTrips) {
    schedule(2, {"1,A,B,3,1,2,1,1000", "2,C,A,4,1,2,1,500"});
    object_def tag;
    tag.stationary = true;
    put(tag);
    m_store->get_sublocation("sl-1").update("prj-1", 7, 0, 0, 30);
    m_store->get_group("grp-1").update("prj-1", "G1");
    m_store->get_alarm("al-1").update("emergency_button", 0, tag.uid, std::nullopt, std::nullopt, std::nullopt, true);
    m_store->updated(true);
    m_mechanism.reset();  // answered on this thread, where its round trips can be counted
    c_mech_param_req mechanism(m_zmq, nullptr, m_sender, s_redis->host(), s_redis->port(), false, test_logger());
    mechanism.open_context();
    auto& redis = mechanism.redis_store()->redis_context();
    const std::vector<std::pair<std::string, std::vector<std::uint32_t>>> requests = {
        {s_mac_a, {TDOA_SCHD, SF, TDOA_SCHEDULE, SYNC_SLOT}},
        {tag.mac, {LOC, T2T_CFG, T2T_NO_ALARM, VEH_CERT, DRIVER_LIC, EM_ALM, SCR_NAME, SCR_GNAME, STATIONARY, CATEGORY}}};
    for (const auto& [mac, numbers] : requests) {
        const auto text = request(mac, numbers);
        const auto before = redis.round_trips();
        mechanism.process_zmq_message(zmq::message_t(text.data(), text.size()));
        EXPECT_LE(redis.round_trips() - before, 3u) << mac;  // "updated" goes with the first
    }
    const auto anchor_answer = receive();
    const auto tag_answer = receive();
    ASSERT_TRUE(anchor_answer && tag_answer);
    // C's row names A as its destination, which is not pushed; the slots run to 4 (5 in all).
    EXPECT_EQ(anchor_answer->body(),
              "000F" "060100" "1406010212340605" "1612" "03A2040003040000002800000032FFFFFFC4" "180401020000");
    EXPECT_EQ(tag_answer->payloads.size(), 10u) << tag_answer->body();
    EXPECT_EQ(tag_answer->payloads.front().substr(0, 4), "0912") << tag_answer->body();  // the location, first
}
