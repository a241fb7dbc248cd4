// The write batch against a real redis-server: guarded groups are made only while their
// field holds the value read, and the result tells which were made by the number each
// group got when added.
#include "context/write_batch.h"
#include "store_fixture.h"

namespace {

using vyr::context::alarm_states;

class write_batch : public store {};

// Regression (as a batch): delivery read the state, then wrote SENT over a NOT_CONFIGURED
// set in between for a new alarm, which was then never shown.
TEST_F(write_batch, alarm_state_changes_are_made_only_over_the_state_read_and_the_result_says_which) {
    const std::string a = "70B3D5FFFE0B0001", b = "70B3D5FFFE0B0002";
    for (const auto& mac : {a, b})
        redis({"HSET", vyr::context::win::keys::alarm(mac), "state", "not_configured"});
    redis({"HSET", vyr::context::win::keys::data(a), "answered", "t1"});
    vyr::context::write_batch batch;
    const auto first = batch.add(vyr::context::alarm_state_update{
        a, alarm_states::NOT_CONFIGURED, alarm_states::SENT, vyr::context::shown_alarm{"al-1", 3, 7}, "Leave"});
    vyr::context::win_data read;
    read.data = {{"answered", "t0"}};  // answered since: not made
    vyr::context::win_update push(vyr::context::win_record(a, read));
    push.sent = timeval{5, 0};
    // Regression: the push record went with the pacing, so a device that answered each
    // push before the pass wrote it never had a refusal counted and was pushed for ever.
    push.push_records = {{vyr::parameter::SCR_NAME, {"\"N\"", "\"M\"", {4, 0}, 3, false, {}, "", {}}}};
    batch.add(push);
    const auto last = batch.add(
        vyr::context::alarm_state_update{b, alarm_states::SENT, alarm_states::MESSAGE, std::nullopt, "Old"});
    const auto result = batch.send(m_context->redis_context());
    EXPECT_EQ(std::make_tuple(first, last, result.made, result.guards_failed),
              std::make_tuple(std::size_t(0), std::size_t(2), std::vector<bool>{true, false, false}, std::size_t(2)));
    const keyspace expected = {
        {"wins:" + a + ":alarm", {"shown_level=3", "shown_uid=al-1", "shown_zone_id=7", "state=sent"}},
        {"wins:" + a + ":data", {"answered=t1", "current_text=Leave"}},
        {"wins:" + b + ":alarm", {"state=not_configured"}},
    };
    auto stored_now = stored();
    const auto record = vyr::context::read_win_records(m_context->redis_context(), {a}).at(0);
    EXPECT_EQ(record.parameter_push_record(vyr::parameter::SCR_NAME).refusals, 3u);
    stored_now.erase("wins:" + a + ":parameters:scr_name");
    EXPECT_EQ(stored_now, expected);
}

// Regression: a batch cut off by a lost connection after some of it had answered was
// dropped whole, and the delivery pass pushed again the devices whose writes never ran.
TEST_F(write_batch, a_batch_cut_off_after_some_answers_keeps_and_sends_again_what_did_not_answer) {
    auto& redis = m_context->redis_context();
    const auto id = redis.command("CLIENT", "ID").to_integer();
    vyr::context::write_batch batch;
    batch.add({"SET", "ran", "1"});
    // The server closes the connection after this reply and runs nothing after it.
    batch.add({"CLIENT", "KILL", "ID", std::to_string(id), "SKIPME", "no"});
    batch.add({"SET", "cut", "2"});
    batch.add_guarded("guarded", "f", std::nullopt, vyr::redis::batch().add("HSET", "guarded", "f", "3"));
    EXPECT_THROW(batch.send(redis), vyr::redis::connection_error);
    EXPECT_EQ(std::make_tuple(batch.size(), stored()), std::make_tuple(std::size_t(2), keyspace{{"ran", {"1"}}}));
    const auto result = batch.send(redis);
    EXPECT_EQ(std::make_tuple(result.made, batch.size(), stored()),
              std::make_tuple(std::vector<bool>{true}, std::size_t(0),
                              keyspace{{"cut", {"2"}}, {"guarded", {"f=3"}}, {"ran", {"1"}}}));
}

}  // namespace
