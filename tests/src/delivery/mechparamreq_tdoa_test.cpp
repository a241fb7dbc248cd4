// TDOA configuration of the anchors through the running mechanism and a private
// redis-server: the answers to an anchor's request, the schedule as the cycle compares it,
// and the sync slots and superframes the cycle pushes through the gateway. What each
// anchor must hold is the judge's, tested over plain values in tests/src/judge.
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
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
    // One push per WIN within its pacing, over all the passes of a cycle: the sync slots,
    // also to C (in the project, neither master nor distributor), and not the network
    // configuration and schedule the parameter pass would push as well.
    slots all;
    for (const auto& frame : cycle())
        all[frame.mac].insert(all[frame.mac].end(), frame.payloads.begin(), frame.payloads.end());
    EXPECT_EQ(all, (slots{{s_mac_a, {"180401020000"}}, {s_mac_b, {"180401020500"}}, {s_mac_c, {"1804FFFFFF00"}}}));

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
    // ...and nothing once it reports it (older firmware: the node id only).
    a.sending_time({0, 0});
    a.parameter_state(SF, SUPPORTED);
    a.parameter_sf({0x0102, std::nullopt, std::nullopt, std::nullopt});
    EXPECT_EQ(pushed(), slots{});

    // Regression: a master whose setting has no active schedule was sent 140100 every
    // cycle with an error each time; now nothing, warned once.
    a.parameter_state(SF, UNKNOWN);
    setting("");
    logged("");
    for (int i = 0; i < 2; ++i) {
        a.sending_time({0, 0});
        EXPECT_EQ(pushed(), slots{});
    }
    EXPECT_EQ(logged("superframe of master " + s_mac_a + " not sent"), 1);

    // A record that cannot be read costs its own anchor only, warned once; a WIN that
    // reports another slot is told again.
    setting("sch-1");
    redis({"HSET", vyr::context::win::keys::parameters(s_mac_b, parameters.at(SYNC_SLOT)), "slot", "x"});
    report(c, 0xFFFF, 7);
    a.sending_time({0, 0});
    b.sending_time({0, 0});
    EXPECT_EQ(pushed(), (slots{{s_mac_a, {"1406010212340604"}}, {s_mac_c, {"1804FFFFFF00"}}}));
    b.sending_time({0, 0});
    EXPECT_EQ(pushed(), slots{});
    EXPECT_EQ(logged("sync slot and superframe of " + s_mac_b + " not judged"), 1);
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
