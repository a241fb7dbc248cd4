// Zone alarms and screen messages of the tags as the running mechanism pushes them to the
// gateway in its cycles: the pacing and the counter, their place before the parameters,
// the alarm pass alone after a refresh, an alarm set while a cycle runs, broken and asset
// objects. Which alarm is shown and what each state gets are judge/alarms' (its table).
#include <set>
#include <tuple>

#include "mechparamreq_fixture.h"
#include "redis/pipeline.h"

namespace {

using namespace delivery_test;
using vyr::context::alarm_states;

const object_def s_tag;
const std::string s_clearing = "0819" + std::string(50, '0');

class alarm_delivery : public mech_param_req_test {
protected:
    void SetUp() override {
        mech_param_req_test::SetUp();
        m_win = std::make_unique<vyr::context::win>(settled(s_tag));
        m_win->alarm_state(alarm_states::NOT_CONFIGURED);
    }

    // A zone alarm of the tag in zone `_zone_id`, whose 22-character uid ends in that id.
    void alarm(const std::string& _uid, std::uint32_t _acknowledged, std::uint32_t _level, std::uint32_t _zone_id,
               const std::optional<std::string>& _text = std::string("Leave the zone")) {
        const auto zone_uid = zone(_zone_id);
        m_store->get_zone(zone_uid).update("prj-1", _zone_id);
        m_store->get_alarm(_uid).update("zone_violation", _acknowledged, s_tag.uid, zone_uid, _level, _text, true);
    }

    // Changes an alarm's level and zone without touching the object's index of alarms.
    static void set_level(const std::string& _uid, std::uint32_t _level, std::uint32_t _zone_id) {
        redis({"HSET", vyr::context::alarm::keys::fields(_uid), "zone_alarm_level", std::to_string(_level), "zone_uid",
               zone(_zone_id)});
    }

    static std::string zone(std::uint32_t _zone_id) {
        const auto id = std::to_string(_zone_id);
        return std::string(22 - id.size(), 'Z') + id;
    }

    static std::string shown(std::uint32_t _level, std::uint32_t _zone_id) {
        return "0819" + vyr::parameter::hex(_level, 2) + vyr::parameter::hex(_zone_id, 4) +
               vyr::parameter::hex_bytes(zone(_zone_id));
    }

    // The zone-alarm and message payloads one cycle pushes to the tag.
    std::vector<std::string> pushed() {
        std::vector<std::string> result;
        for (const auto& frame : cycle())
            for (const auto& payload : frame.payloads)
                if (frame.mac == s_tag.mac && (payload.substr(0, 2) == "08" || payload.substr(0, 2) == "54"))
                    result.push_back(payload);
        return result;
    }

    // One cycle after the pacing period of the last push has passed.
    std::vector<std::string> pushed_later() {
        m_win->sending_time({0, 0});
        return pushed();
    }

    // The WIN's alarm state with the alarm it was sent (empty uid: the clearing form).
    void show(alarm_states _state, const std::string& _uid, std::uint32_t _level, std::uint32_t _zone_id) {
        redis({"HSET", vyr::context::win::keys::alarm(s_tag.mac), "state", vyr::context::to_string(_state), "shown_uid",
               _uid, "shown_level", std::to_string(_level), "shown_zone_id", std::to_string(_zone_id)});
    }

    // The next frame to `_mac` the mechanism sends on its own.
    std::optional<node_command> next_frame_to(const std::string& _mac) {
        for (int n = 0; n < 20; ++n)
            if (auto frame = receive(); !frame || frame->mac == _mac)
                return frame;
        return std::nullopt;
    }

    std::unique_ptr<vyr::context::win> m_win;
};

using payloads = std::vector<std::string>;

TEST_F(alarm_delivery, highest_level_shown_and_resent_while_sent) {
    alarm("al-1", 0, 1, 11, std::string("Level one"));
    alarm("al-3", 0, 3, 33, std::string("Level three"));
    EXPECT_EQ(pushed(), payloads{shown(3, 33)});
    EXPECT_EQ(std::make_tuple(m_win->alarm_state(), m_win->current_text(), m_win->sending_counter()),
              std::make_tuple(alarm_states::SENT, "Level three", 1u));
    EXPECT_EQ(pushed(), payloads{});  // paced
    EXPECT_EQ(pushed_later(), payloads{shown(3, 33)});
    EXPECT_EQ(m_win->sending_counter(), 2u);
}

// Regression: an unconfirmed alarm was resent only after the parameters, so a tag whose
// parameters kept differing got no repeat of a lost alarm frame for a minute or more.
TEST_F(alarm_delivery, unconfirmed_alarm_resend_goes_before_differing_parameters) {
    using namespace vyr::parameter;
    alarm("al-1", 0, 2, 11);
    EXPECT_EQ(pushed(), payloads{shown(2, 11)});
    m_win->parameter_as_json(SCR_NAME, vyr::context::win::actual, "\"Other\"\n");
    EXPECT_EQ(pushed_later(), payloads{shown(2, 11)});
    // Once the device shows the alarm and its text, the parameters get the slot.
    show(alarm_states::CONFIGURED, "al-1", 2, 11);
    m_win->current_text("Leave the zone");
    m_win->sending_time({0, 0});
    EXPECT_EQ(bodies(cycle()), payloads{"000E" + param_scr_name(Json::Value(s_tag.name), test_logger()).to_hex()});
}

// Regression: a completed alarm refresh was followed by no cycle, and the alarms it held
// back waited for the next period. "Alarms refreshed" runs the alarm pass alone over the
// tags whose alarms waited: the tag gets its alarm, nothing else goes.
TEST_F(alarm_delivery, alarms_refreshed_runs_the_alarm_pass_alone) {
    using state = vyr::context::context::refresh_state;
    alarm("al-1", 0, 2, 11);
    auto other = settled(s_tag.as("to-2", "70B3D5FFFE0B00F2"));
    other.parameter_as_json(vyr::parameter::SCR_NAME, vyr::context::win::actual, "\"Other\"\n");
    m_store->alarms_refresh(state::pending);
    m_store->updated(true);
    send(std::string(1, static_cast<char>(vyr::cmd::notified)));
    std::set<std::string> macs;
    for (const auto& frame : fence())
        macs.insert(frame.mac);
    EXPECT_EQ(macs, std::set<std::string>{other.mac_addr()});  // the name; the alarm waits
    m_store->alarms_refresh(state::none);  // names no device: nothing is marked
    m_store->updated(true);
    const auto before = vyr::metrics::value(vyr::metrics::counter::cycles);
    send(std::string(1, static_cast<char>(vyr::cmd::alarms_refreshed)));
    EXPECT_TRUE(test::wait_until([&] { return vyr::metrics::value(vyr::metrics::counter::cycles) > before; },
                                 std::chrono::seconds(40)));
    const auto frames = fence();
    m_store->updated(false);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(std::make_tuple(frames[0].mac, frames[0].payloads), std::make_tuple(s_tag.mac, payloads{shown(2, 11)}));
}

// Regression: an alarm refresh paused every delivery at the site. While one is pending
// only the alarms wait; a failed one lets them go out as stored.
TEST_F(alarm_delivery, em_alm_stream_does_not_pause_delivery) {
    alarm("al-1", 0, 2, 11);
    const auto other = s_tag.as("to-2", "70B3D5FFFE0B00F2");
    put(other);
    device(other.mac);
    redis({"SET", "alarms_refresh", "pending"});
    m_store->updated(true);
    send(std::string(1, static_cast<char>(vyr::cmd::notified)));
    std::set<std::string> macs;
    for (const auto& frame : fence())
        macs.insert(frame.mac);
    EXPECT_EQ(macs, std::set<std::string>{other.mac});

    redis({"DEL", "alarms_refresh"});
    const auto frame = next_frame_to(s_tag.mac);
    // The retry's record of the push is written when its chunk is done.
    fence();
    m_store->updated(false);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->payloads, payloads{shown(2, 11)});

    redis({"SET", "alarms_refresh", "failed"});
    EXPECT_EQ(pushed_later(), payloads{shown(2, 11)});
}

// Regression: a cycle that found the mirror incomplete waited for the next period.
TEST_F(alarm_delivery, incomplete_mirror_cycle_retries_soon) {
    alarm("al-1", 0, 2, 11);
    const auto before = c_mech_param_req::now();
    send(std::string(1, static_cast<char>(vyr::cmd::notified)));  // the timer restarts
    EXPECT_TRUE(fence().empty());
    m_store->updated(true);
    const auto frame = next_frame_to(s_tag.mac);
    fence();
    m_store->updated(false);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->payloads, payloads{shown(2, 11)});
    // Stamped by a retry: the period's own cycle is due 5 s after the restart.
    EXPECT_LT(m_win->sending_time().tv_sec, before.tv_sec + c_mech_param_req::s_sending_period_sec);
}

TEST_F(alarm_delivery, message_resent_until_the_counter_reaches_ten) {
    alarm("al-1", 0, 2, 11, std::string("Hi"));
    show(alarm_states::MESSAGE, "al-1", 2, 11);
    m_win->current_text("Hi");
    for (int n = 1; n <= 10; ++n)
        EXPECT_EQ(pushed_later(), payloads{"54024869"}) << n;
    EXPECT_EQ(pushed_later(), payloads{});
    EXPECT_EQ(std::make_tuple(m_win->sending_counter(), m_win->alarm_state()), std::make_tuple(10u, alarm_states::MESSAGE));
}

// Only the test's own cycles run: a timer expiry during a long cycle (a slow machine,
// a sanitizer) would otherwise start a cycle with the mirror already marked incomplete,
// and its retries every second are cycles too. One of them ending while whole_cycle()
// waits would let its fence be answered between the chunks of the cycle it asked for,
// and that cycle's later frames count for the next one.
class alarm_delivery_untimed : public alarm_delivery {
protected:
    alarm_delivery_untimed() { m_period = std::chrono::hours(1); }
};

// Regression: the cycle chose the alarm from the records it read at its start, so an
// alarm set during a long cycle made its tag be sent the clearing form, which the device
// then confirmed, and the tag settled on it. The real receiver sets the alarm while the
// cycle over a few thousand tags runs; the tag's device confirms what it is sent.
TEST_F(alarm_delivery_untimed, alarm_set_during_a_cycle_reaches_its_tag_within_two_cycles_and_settles) {
    vyr::redis::batch crowd, gone;
    for (std::uint64_t n = 0; n < 3000; ++n) {
        const auto mac = "70B3D5FFFE1" + vyr::parameter::hex(n, 5);
        put(s_tag.as("crowd-" + std::to_string(n), mac), &crowd);
        crowd.add("HSET", vyr::context::win::keys::data(mac), "sending_counter_sec", "0");
        crowd.add("HSET", vyr::context::win::keys::alarm(mac), "state", "not_configured");
        crowd.add("SADD", vyr::context::win::keys::set(), mac);
        gone.add("DEL", vyr::context::win::keys::data(mac)).add("SREM", vyr::context::win::keys::set(), mac);
    }
    vyr::redis::pipeline(m_store->redis_context(), crowd).exec();
    show(alarm_states::CONFIGURED, "", 0, 0);
    m_win->current_text(" ");
    m_store->get_zone(zone(11)).update("prj-1", 11);
    receiver_beside device(*s_redis);

    std::optional<node_command> first;
    auto frames = whole_cycle([&] {
        first = receive();  // the cycle is under way
        device.receiver.process_alarm(R"({"uid": "al-1", "alarm_name": "zone_violation", "obj_uid": "to-1",
            "state": "set", "acknowledged": 0, "additional_info": {"text": "Leave the zone", "zone_uid": ")" +
                                      zone(11) + R"(", "zone_alarm_level": 2}})");
    });
    ASSERT_TRUE(first);
    frames.push_back(*first);
    vyr::redis::pipeline(m_store->redis_context(), gone).exec();  // the later cycles need not be long
    payloads to_tag;
    for (int cycles = 1; cycles <= 5; ++cycles) {
        for (const auto& frame : frames)
            if (frame.mac == s_tag.mac) {
                to_tag.insert(to_tag.end(), frame.payloads.begin(), frame.payloads.end());
                device.confirm(frame);
            }
        if (cycles == 2) {
            EXPECT_NE(std::find(to_tag.begin(), to_tag.end(), shown(2, 11)), to_tag.end())
                << ::testing::PrintToString(to_tag);
        }
        m_win->sending_time({0, 0});
        frames = whole_cycle();
    }
    EXPECT_EQ(std::make_tuple(m_win->alarm_state(), m_win->current_text()),
              std::make_tuple(alarm_states::CONFIGURED, std::string("Leave the zone")));
    EXPECT_TRUE(pushed_later().empty());
}

TEST_F(alarm_delivery, broken_object_or_record_does_not_block_other_tags_and_assets_show_nothing) {
    // A dozen broken objects, a broken WIN and an asset tag: some precede the tag.
    std::set<std::string> others;
    for (int n = 0; n < 14; ++n) {
        auto other = s_tag.as("other-" + std::to_string(n), "70B3D5FFFE0C00" + vyr::parameter::hex(std::uint64_t(n), 2));
        other.type = n == 13 ? "ASSET" : other.type;
        others.insert(other.mac);
        put(other);
        device(other.mac).alarm_state(alarm_states::NOT_CONFIGURED);
        if (n < 12)
            redis({"HDEL", vyr::context::track_obj::keys::fields(other.uid), "type"});
        else if (n == 12)
            redis({"HSET", vyr::context::win::keys::alarm(other.mac), "shown_level", "none", "shown_uid", "x", "shown_zone_id", "0"});
    }
    alarm("al-1", 0, 2, 11);
    logged("");
    const auto frames = cycle();
    EXPECT_EQ(logged("zone alarm of 70B3D5FFFE0C000C not judged"), 1);
    payloads to_tag;
    for (const auto& frame : frames)
        for (const auto& payload : frame.payloads) {
            const auto alarm_or_text = payload.substr(0, 2) == "08" || payload.substr(0, 2) == "54";
            EXPECT_FALSE(others.count(frame.mac) && alarm_or_text) << frame.mac;
            if (frame.mac == s_tag.mac && alarm_or_text)
                to_tag.push_back(payload);
        }
    EXPECT_EQ(to_tag, payloads{shown(2, 11)});
}

}  // namespace
