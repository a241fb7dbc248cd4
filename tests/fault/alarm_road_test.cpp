// The roads of a zone alarm and of an anchor's TDOA configuration through the built
// service, run on the fault rig (sample project, nothing broken): frames published on the
// proxy output, Redis as the service keeps it, and the node commands at the gateway input.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "context/context.h"
#include "fault/rig.h"
#include "support/node_command.h"

namespace {

using namespace std::chrono_literals;
using fault::s_tag;  // to-worker-2: no alarm in the sample project
const std::string s_fence = "FFFFFFFFFFFF0001";

bool has(const test::node_command& _c, const std::string& _type) {
    for (const auto& p : _c.payloads)
        if (p.compare(0, 2, _type) == 0)
            return true;
    return false;
}

class alarm_road : public ::testing::Test {
protected:
    void SetUp() override {
        m_rig.start_platform();
        m_rig.start_service();
        ASSERT_TRUE(test::wait_until([&] { return m_rig.redis_command({"GET", "updated"}) == "true"; }, 40s))
            << m_rig.service_stderr();
        m_store = std::make_unique<vyr::context::context>(11, m_rig.redis().host(), m_rig.redis().port());
    }

    // An alarm on the proxy; every one wakes the mechanism for a cycle at once.
    void alarm(const std::string& _uid, const std::string& _name, const std::string& _obj, const std::string& _info) {
        m_rig.publish(R"(#alarm{"uid":")" + _uid + R"(","alarm_name":")" + _name + R"(","obj_uid":")" + _obj +
                      R"(","state":"set","acknowledged":0,"additional_info":)" + _info + "}");
    }

    std::optional<test::node_command> next() {
        const auto frame = m_rig.next_command(20s);
        if (!frame) {
            ADD_FAILURE() << "no frame reached the gateway";
            return std::nullopt;
        }
        return test::parse_command(*frame);
    }

    // The next command to `_mac` that carries a payload of `_type`.
    std::optional<test::node_command> next_with(const std::string& _mac, const std::string& _type) {
        while (auto c = next())
            if (c->mac == _mac && has(*c, _type))
                return c;
        return std::nullopt;
    }

    // Every command up to the end of a cycle that runs after all published so far (an
    // alarm wakes the mechanism; the answer to a request after it ends the cycle). Fails
    // unless that cycle found `_mac` due: it was sent something, just none of `_types`.
    void next_cycle_to(const std::string& _mac, const std::vector<std::string>& _types) {
        alarm("alm-8", "emergency_button", "to-forklift-1", R"({"text":"Help"})");
        m_rig.report(s_fence, "", "[]");
        bool due = false;
        while (auto c = next()) {
            if (c->mac == s_fence)
                break;
            if (c->mac != _mac)
                continue;
            due = true;
            for (const auto& type : _types)
                EXPECT_FALSE(has(*c, type)) << type << " sent to " << _mac;
        }
        EXPECT_TRUE(due) << "no cycle found " << _mac << " due";
    }

    fault::rig m_rig;
    std::unique_ptr<vyr::context::context> m_store;
};

TEST_F(alarm_road, zone_alarm_is_shown_confirmed_and_its_text_delivered) {
    using vyr::context::alarm_states;
    // The tag has shown all it had to.
    auto device = m_store->get_win(s_tag);
    device.sending_time({0, 0});
    device.alarm_state(alarm_states::CONFIGURED);

    alarm("alm-7", "zone_violation", "to-worker-2",
          R"({"text":"Leave-office","zone_uid":"zone-office","zone_alarm_level":2})");
    const auto shown = next_with(s_tag, "08");
    ASSERT_TRUE(shown);
    // Level 2, zone id 2; a zone uid shorter than 22 characters goes as zero bytes.
    EXPECT_EQ(shown->payloads, std::vector<std::string>{"0819" "02" "0002" + std::string(44, '0')});
    EXPECT_EQ(device.alarm_state(), alarm_states::SENT);

    // The device confirms the alarm it shows: its text follows.
    m_rig.report(s_tag, R"({"al_zv":{"level":2,"zid":2}})");
    const auto text = next_with(s_tag, "54");
    ASSERT_TRUE(text);
    EXPECT_EQ(text->payloads, std::vector<std::string>{"540C" "4C656176652D6F6666696365"});  // "Leave-office"
    EXPECT_TRUE(m_store->get_alarm("alm-7").delivered());

    // It confirms the text: nothing more for its alarm, though the next cycle finds it
    // due (the report restarted its pacing).
    m_rig.report(s_tag, R"({"scr_message":"Leave-office"})");
    next_cycle_to(s_tag, {"08", "54"});
    EXPECT_EQ(device.alarm_state(), alarm_states::CONFIGURED);
}

TEST_F(alarm_road, distributor_gets_its_schedule_and_sync_slot) {
    const std::string anchor = m_store->get_anchor("anc-2").mac_addr();
    // It reports following nobody and asks for its configuration; the cycle pushes the
    // slot until it reports it. The answer and the push may come in either order.
    m_rig.report(anchor, R"({"sync_slot":{"addr":"FFFF","slot":255}})", R"(["tdoa_schedule","sync_slot"])");
    std::optional<test::node_command> answer, pushed;
    while (!(answer && pushed)) {
        const auto c = next_with(anchor, "18");
        ASSERT_TRUE(c);
        (c->code == "000F" ? answer : pushed) = c;
    }
    // Partner anc-1 (node 4097 at z 450) in slot 3 with a margin of 500 (2 x 250); the
    // beacon of anc-1 in slot 1.
    EXPECT_EQ(answer->payloads,
              (std::vector<std::string>{"1612" "03020200" "1001" "00000000" "00000000" "000001C2", "180410010100"}));
    EXPECT_EQ(pushed->payloads, std::vector<std::string>{"180410010100"});

    // Once the anchor reports the slot, a cycle that finds it due sends it no slot.
    m_rig.report(anchor, R"({"sync_slot":{"addr":"1001","slot":1}})");
    next_cycle_to(anchor, {"18"});
}

}  // namespace
