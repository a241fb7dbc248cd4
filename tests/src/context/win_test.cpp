// The WIN record: its stored form, defaults of missing fields, the throwing getters, time
// pairs, the parameter keys it deletes and the texts it stores.
#include <functional>
#include <optional>
#include <stdexcept>
#include <tuple>

#include "context/win_record.h"
#include "store_fixture.h"
#include "support/checks.h"

namespace {

using vyr::context::alarm_states;
using vyr::context::win;
using namespace vyr::parameter;

const std::string s_mac = "0011223344556677";

class win_record : public store {
protected:
    void SetUp() override {
        store::SetUp();
        m_win.emplace(m_context->get_win(s_mac));
    }

    std::optional<win> m_win;
};

TEST_F(win_record, never_seen_win_reads_as_unset_and_stored_values_override_that_in_the_shared_form) {
    EXPECT_FALSE(m_win->exists());
    EXPECT_EQ(m_win->parameter_state(LOC), UNKNOWN);
    EXPECT_EQ(m_win->parameter_as_json(TXP, win::actual), "");
    EXPECT_EQ(std::make_tuple(m_win->parameter_sync_slot_addr(), m_win->parameter_sync_slot_slot(),
                              m_win->parameter_sync_slot_flags(), m_win->sending_counter(), m_win->current_text()),
              std::make_tuple(65535u, 255u, 0u, 0u, ""));
    EXPECT_FALSE(m_win->parameter_category() || m_win->parameter_t2t_cfg_buzzer() || m_win->parameter_t2t_cfg_distance());
    EXPECT_EQ(m_win->alarm_state(), alarm_states::UNKNOWN);
    EXPECT_EQ(redis({"DBSIZE"}), "0");

    m_win->parameter_sync_slot_addr(7);
    m_win->parameter_sync_slot_slot(0);
    m_win->parameter_t2t_cfg_buzzer(false);
    EXPECT_EQ(std::make_tuple(m_win->parameter_sync_slot_addr(), m_win->parameter_sync_slot_slot(),
                              m_win->parameter_t2t_cfg_buzzer()),
              std::make_tuple(7u, 0u, false));
    m_win->parameter_state(CATEGORY, SUPPORTED);
    m_win->parameter_stationary(true);
    m_win->parameter_as_json(TXP, win::must, "{\"v\":1}");
    m_win->parameter_timestamp(TXP, timeval{-5, 250});
    m_win->parameter_loc(vyr::parameter::loc{10, -20, 30, -40, 5});
    m_win->parameter_t2t_no_alarm({"aa"});
    m_win->alarm_state(alarm_states::SENT);
    m_win->increment_sending_counter();
    m_win->sending_time(timeval{100, 7});
    m_win->current_text("Leave");
    const std::string key = "wins:" + s_mac;
    EXPECT_EQ(stored(), (keyspace{{key + ":alarm", {"state=sent"}},
                                  {key + ":data", {"current_text=Leave", "sending_counter=1", "sending_counter_sec=100",
                                                   "sending_counter_usec=7"}},
                                  {key + ":parameters:category", {"state=supported"}},
                                  {key + ":parameters:loc",
                                   {"sublocation_id=5", "sublocation_z=-40", "x=10", "y=-20", "z=30"}},
                                  {key + ":parameters:stationary", {"stationary=true"}},
                                  {key + ":parameters:sync_slot", {"addr=7", "slot=0"}},
                                  {key + ":parameters:t2t_cfg", {"buzzer=false"}},
                                  {key + ":parameters:t2t_no_alarm_set", {"AA"}},
                                  {key + ":parameters:txp",
                                   {"must={\"v\":1}", "timestamp_sec=-5", "timestamp_usec=250"}},
                                  {"wins:set", {s_mac}}}));
}

TEST_F(win_record, parameter_loc_fails_when_the_sublocation_z_is_missing) {
    const std::string key = "wins:" + s_mac + ":parameters:loc";
    redis({"HSET", key, "x", "1", "y", "-2", "z", "3", "sublocation_id", "4"});
    EXPECT_EQ(thrown_message([&] { m_win->parameter_loc(); }), "parameter_locmac: " + s_mac);

    m_win->parameter_loc(vyr::parameter::loc{10, -20, 30, -40, 5});
    const auto loc = m_win->parameter_loc();
    EXPECT_EQ(std::make_tuple(loc.y, loc.sublocation_z, loc.sublocation_id), std::make_tuple(-20, -40, 5u));
}

TEST_F(win_record, time_pairs_read_missing_members_as_zero_and_sending_time_survives_counter_deletion) {
    redis({"HSET", "wins:" + s_mac + ":data", "sending_counter_sec", "1700000000"});
    EXPECT_EQ(std::make_tuple(m_win->sending_time().tv_sec, m_win->sending_time().tv_usec), std::make_tuple(1700000000, 0));
    m_win->parameter_timestamp(TXP, timeval{-5, 250});
    EXPECT_EQ(std::make_tuple(m_win->parameter_timestamp(TXP).tv_sec, m_win->parameter_timestamp(TXP).tv_usec),
              std::make_tuple(-5, 250));

    redis({"FLUSHDB"});
    EXPECT_EQ(m_win->increment_sending_counter(), 1u);
    EXPECT_EQ(m_win->increment_sending_counter(), 2u);
    m_win->sending_time(timeval{100, 7});
    EXPECT_TRUE(m_win->exists());
    EXPECT_EQ(m_context->get_wins(), std::vector<std::string>{s_mac});
    m_win->del_sending_counter();
    EXPECT_EQ(m_win->sending_counter(), 0u);
    EXPECT_EQ(m_win->sending_time().tv_usec, 7);
}

TEST_F(win_record, del_all_parameters_removes_every_parameter_key_and_unknown_numbers_throw) {
    m_win->parameter_state(CATEGORY, SUPPORTED);
    m_win->parameter_t2t_no_alarm({"aa"});
    m_win->parameter_as_json(TXP, win::actual, "1");
    m_win->del_all_parameters();
    EXPECT_EQ(redis({"DBSIZE"}), "0");
    // An unknown parameter number throws and writes nothing.
    EXPECT_THROW(m_win->parameter_state(static_cast<parameter_t>(999)), std::out_of_range);
    EXPECT_THROW(m_win->parameter_as_json(static_cast<parameter_t>(999), win::must, "1"), std::out_of_range);
    EXPECT_EQ(redis({"DBSIZE"}), "0");
}

// A record read whole names the key of the hash that holds an unreadable number, each
// one's own, and reads the same numbers when they are readable.
TEST_F(win_record, a_record_read_whole_names_the_key_of_an_unreadable_number) {
    const auto txp = win::keys::parameters(s_mac, parameters.at(TXP));
    const struct {
        std::string key, field, getter;
        std::function<void(const vyr::context::win_record&)> read;
    } rows[] = {
        {win::keys::data(s_mac), "sending_counter", "counter", [](const auto& _r) { _r.sending_counter(); }},
        {win::keys::data(s_mac), "sending_counter_usec", "time", [](const auto& _r) { _r.sending_time(); }},
        {txp, "timestamp_sec", "timestamp", [](const auto& _r) { _r.parameter_timestamp(TXP); }},
        {txp, "refusals", "push record", [](const auto& _r) { _r.parameter_push_record(TXP); }},
        {win::keys::alarm(s_mac), "shown_level", "alarm", [](const auto& _r) { _r.alarm_delivery_state(); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.getter);
        redis({"FLUSHDB"});
        redis({"HSET", win::keys::data(s_mac), "current_text", "t"});
        redis({"HSET", row.key, row.field, "12"});
        const auto readable = vyr::context::read_win_records(m_context->redis_context(), {s_mac}).front();
        EXPECT_NO_THROW(row.read(readable));
        redis({"HSET", row.key, row.field, "1x"});
        const auto broken = vyr::context::read_win_records(m_context->redis_context(), {s_mac}).front();
        EXPECT_EQ(thrown_message<vyr::context::bad_data>([&] { row.read(broken); }),
                  row.field + " of " + row.key + ": \"1x\" is not " +
                      (row.field == "sending_counter" || row.field == "shown_level" ? "an unsigned 32-bit number"
                                                                                     : "a number"));
    }
    redis({"HSET", win::keys::data(s_mac), "sending_counter", "12"});
    EXPECT_EQ(vyr::context::read_win_records(m_context->redis_context(), {s_mac}).front().sending_counter(), 12u);
}

TEST_F(win_record, empty_must_value_deletes_the_field_and_the_no_alarm_list_is_replaced_upper_cased) {
    m_win->parameter_as_json(TXP, win::must, "{\"v\": 1}");
    m_win->parameter_as_json(TXP, win::actual, "2");
    EXPECT_EQ(m_win->parameter_as_json(TXP, win::must), "{\"v\": 1}");
    m_win->parameter_as_json(TXP, win::must, "");
    EXPECT_EQ(redis({"HEXISTS", "wins:" + s_mac + ":parameters:txp", "must"}), "0");
    EXPECT_EQ(m_win->parameter_as_json(TXP, win::actual), "2");

    m_win->parameter_t2t_no_alarm({"OLD"});
    m_win->parameter_t2t_no_alarm({"00aa11bb22cc33dd", "ffeeddccbbaa9988"});
    EXPECT_EQ(sorted(m_win->parameter_t2t_no_alarm()), (std::vector<std::string>{"00AA11BB22CC33DD", "FFEEDDCCBBAA9988"}));
}

TEST_F(win_record, alarm_state_and_hostile_screen_text_round_trip) {
    m_win->alarm_state(alarm_states::SENT);
    EXPECT_EQ(m_win->alarm_state(), alarm_states::SENT);
    m_win->del_alarms();
    EXPECT_EQ(m_win->alarm_state(), alarm_states::UNKNOWN);

    const std::string text = "Evacuate %s now\r\n\"zone 5\" \xc3\x84";
    m_win->current_text(text);
    EXPECT_EQ(m_win->current_text(), text);
    m_win->current_text("");
    EXPECT_EQ(redis({"HEXISTS", "wins:" + s_mac + ":data", "current_text"}), "1");
}

// Regression: delivery read the state, then wrote SENT over a NOT_CONFIGURED set in
// between for a new alarm, which was then never shown.
TEST_F(win_record, newer_alarm_is_not_overwritten_by_sent) {
    const vyr::context::shown_alarm shown{"al-1", 3, 7};
    m_win->alarm_state(alarm_states::NOT_CONFIGURED);
    EXPECT_FALSE(m_win->replace_alarm_state(alarm_states::SENT, alarm_states::MESSAGE, shown, "old"));
    EXPECT_EQ(std::make_tuple(m_win->alarm_state(), m_win->alarm_delivery_state().shown.has_value(), m_win->current_text()),
              std::make_tuple(alarm_states::NOT_CONFIGURED, false, ""));
    EXPECT_TRUE(m_win->replace_alarm_state(alarm_states::NOT_CONFIGURED, alarm_states::SENT, shown, "Leave"));
    const auto stored = m_win->alarm_delivery_state();
    EXPECT_EQ(std::make_tuple(stored.state, stored.shown == shown, m_win->current_text()),
              std::make_tuple(alarm_states::SENT, true, "Leave"));
}

}  // namespace
