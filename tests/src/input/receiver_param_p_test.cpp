// Parameter reports of the devices, driven through the running receiver: frames go out
// on the stand-in proxy, the WIN records are read back from Redis and the request
// commands from the parameter-request channel.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/metrics.h"
#include "context/mirror_changes.h"
#include "parameters/parameters.h"
#include "runtime/inproc_commands.h"
#include "runtime/mailboxes.h"
#include "support/checks.h"
#include "support/log_sink.h"
#include "support/receiver_fixture.h"
#include "support/redis_server.h"

namespace {

using namespace vyr::parameter;
using vyr::context::alarm_states;

const std::string s_mac = "AABBCCDDEEFF0011";

// "#param_p" frame for `_mac` at `_ts`/`_ms` with the given JSON members after the time.
std::string report(const std::string& _mac, long _ts, int _ms, const std::string& _members) {
    return "#param_p{\"mac\":\"" + _mac + "\",\"ts\":" + std::to_string(_ts) + ",\"ms\":" + std::to_string(_ms) +
           (_members.empty() ? "" : "," + _members) + "}";
}

std::string plist(const std::string& _mac, long _ts, int _ms, const std::string& _plist) {
    return report(_mac, _ts, _ms, "\"plist\":{" + _plist + "}");
}

class param_report : public test::receiver_fixture {
protected:
    vyr::context::win device(const std::string& _mac = s_mac) { return store().get_win(_mac); }

    // Marks the device as recently sent to, so a reset is visible.
    void mark_sent(const std::string& _mac = s_mac) {
        auto win = device(_mac);
        win.sending_time(timeval{1234, 56});
        win.increment_sending_counter();
        win.increment_sending_counter();
    }
    // The device's sending time and counter: {0, 0, 0} once reset, {1234, 56, 2} as marked.
    std::tuple<long, long, unsigned> sending() {
        const auto time = device().sending_time();
        return {time.tv_sec, time.tv_usec, device().sending_counter()};
    }
    void expect_sending_reset() { EXPECT_EQ(sending(), std::make_tuple(0l, 0l, 0u)); }
};

// ---- freshness gate -------------------------------------------------------------------

TEST_F(param_report, stale_report_is_logged_and_ignored_while_an_equal_time_passes) {
    handle(plist(s_mac, 100, 500, R"("stationary": true)"));
    ASSERT_TRUE(device().parameter_stationary());
    (void)log_messages();
    mark_sent();

    handle(plist(s_mac, 100, 400, R"("stationary": false)"));
    EXPECT_TRUE(logged("The input timestamp (100:400) is older than the stored one (100:500). MAC:" + s_mac +
                       ", parameter:stationary"));
    EXPECT_EQ(std::make_tuple(device().parameter_stationary(), device().parameter_timestamp(STATIONARY).tv_usec, sending()),
              std::make_tuple(true, 500000l, std::make_tuple(1234l, 56l, 2u)));

    handle(plist(s_mac, 100, 500, R"("stationary": false)"));
    EXPECT_FALSE(device().parameter_stationary());
    expect_sending_reset();
}

TEST_F(param_report, gate_is_kept_per_parameter) {
    handle(plist(s_mac, 200, 0, R"("category": "worker")"));
    handle(plist(s_mac, 100, 0, R"("stationary": true, "category": "visitor")"));
    EXPECT_TRUE(device().parameter_stationary());  // first report of stationary
    EXPECT_EQ(device().parameter_category().value_or(""), "worker");
}

// Regression: replacing the t2t_cfg hash dropped its time stamp, so an older, replayed
// report overwrote a newer one.
TEST_F(param_report, t2t_cfg_keeps_its_report_time_and_replaces_the_whole_configuration) {
    handle(plist(s_mac, 100, 0, R"("t2t_cfg": {"role": "vehicle", "distance": 12, "pin": "1234"})"));
    device().parameter_push_record(T2T_CFG, {"must", "actual", {100, 0}, 3, true, {}, {}});
    handle(plist(s_mac, 50, 0, R"("t2t_cfg": {"role": "pedestrian"})"));
    EXPECT_EQ(std::make_tuple(device().parameter_t2t_cfg_role(), device().parameter_timestamp(T2T_CFG).tv_sec),
              std::make_tuple("vehicle", 100l));
    // A newer report leaves nothing of the previous configuration behind.
    handle(plist(s_mac, 150, 0, R"("t2t_cfg": {"role": "pedestrian"})"));
    EXPECT_EQ(std::make_tuple(device().parameter_t2t_cfg_role(), device().parameter_t2t_cfg_distance().has_value(),
                              device().parameter_t2t_cfg_pin().has_value(), device().parameter_state(T2T_CFG),
                              device().parameter_timestamp(T2T_CFG).tv_sec),
              std::make_tuple("pedestrian", false, false, SUPPORTED, 150l));
    // Delivery's push record in the same hash stays (once deleted with it, a device
    // refusing its configuration was never told from one that answers).
    const auto pushed = device().parameter_push_record(T2T_CFG);
    EXPECT_EQ(std::make_tuple(pushed.rejected, pushed.refusals, pushed.report_now.tv_sec), std::make_tuple(true, 3u, 150L));
}

// Regression: a "ts" far in the future made every later real report look older, and an
// "ms" outside 0-999 stored an invalid time; then such a report skipped the gate, so a
// replayed one overwrote newer values. It goes by the time it came in (warning).
TEST_F(param_report, bad_report_time_is_replaced_by_the_time_of_arrival) {
    const long now = static_cast<long>(::time(nullptr));
    const struct {
        long ts;
        int ms;
    } cases[] = {{now + 2 * 86400, 0}, {150, 1000}, {150, -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ts);
        redis({"FLUSHDB"});
        handle(plist(s_mac, 100, 0, R"("category": "worker")"));
        handle(plist(s_mac, c.ts, c.ms, R"("category": "visitor")"));
        EXPECT_TRUE(logged("report of " + s_mac + " with a bad time (ts " + std::to_string(c.ts)));
        const long arrival = device().parameter_timestamp(CATEGORY).tv_sec;
        EXPECT_EQ(std::make_tuple(device().parameter_category().value_or(""), arrival >= now && arrival < now + 60),
                  std::make_tuple("visitor", true));
        // Newer than its arrival: a replay of it changes nothing.
        handle(plist(s_mac, now + 3600, 999, R"("category": "worker")"));
        handle(plist(s_mac, c.ts, c.ms, R"("category": "visitor")"));
        EXPECT_EQ(std::make_tuple(device().parameter_category().value_or(""), device().parameter_timestamp(CATEGORY).tv_sec),
                  std::make_tuple("worker", now + 3600));
    }
}

// ---- values and states ----------------------------------------------------------------

TEST_F(param_report, null_means_not_supported_and_resets_sending) {
    for (const char* name : {"sf", "sync_slot", "t2t_cfg", "stationary", "category", "loc", "al_zv", "scr_message"}) {
        SCOPED_TRACE(name);
        redis({"FLUSHDB"});
        mark_sent();
        device().alarm_state(alarm_states::SENT);
        handle(plist(s_mac, 10, 0, "\"" + std::string(name) + "\": null"));
        const auto number = std::find_if(parameters.begin(), parameters.end(),
                                         [&](const auto& entry) { return entry.second == name; })
                                ->first;
        EXPECT_EQ(device().parameter_state(number), NOT_SUPPORTED);
        expect_sending_reset();
        // al_zv null also tells that the device cannot show zone alarms.
        EXPECT_EQ(device().alarm_state(), number == AL_ZV ? alarm_states::NOT_SUPPORTED : alarm_states::SENT);
    }
}

// The "device answered" reset left the same state when written once per report; it cost
// three commands for every parameter.
TEST_F(param_report, device_answered_is_written_once_per_report) {
    mark_sent();
    redis({"CONFIG", "RESETSTAT"});
    handle(plist(s_mac, 1, 0, R"("stationary": true, "category": "c", "sync_slot": {"addr": "1A", "slot": 2},
                                 "t2t_cfg": {"role": "vehicle"}, "t2t_no_alarm": [], "scr_message": "hi")"));
    expect_sending_reset();
    // The reset, and the t2t_cfg report clearing its previous configuration.
    EXPECT_NE(redis({"INFO", "commandstats"}).find("cmdstat_hdel:calls=2,"), std::string::npos);
}

TEST_F(param_report, mistyped_stationary_keeps_state_and_value_but_counts_as_answer) {
    handle(plist(s_mac, 1, 0, R"("stationary": true)"));
    mark_sent();
    handle(plist(s_mac, 2, 0, R"("stationary": "yes")"));
    EXPECT_EQ(device().parameter_state(STATIONARY), SUPPORTED);
    EXPECT_TRUE(device().parameter_stationary());
    EXPECT_EQ(device().parameter_timestamp(STATIONARY).tv_sec, 2);
    expect_sending_reset();
}

TEST_F(param_report, t2t_no_alarm_list_is_replaced_and_null_is_the_empty_supported_list) {
    handle(plist(s_mac, 1, 0, R"("t2t_no_alarm": [{"mac": "aa00000000000001"}, {"x": 1}, 5, {"mac": "BB00000000000002"}])"));
    EXPECT_EQ(test::sorted(device().parameter_t2t_no_alarm()), (std::vector<std::string>{"AA00000000000001", "BB00000000000002"}));

    handle(plist(s_mac, 2, 0, R"("t2t_no_alarm": null)"));
    EXPECT_TRUE(device().parameter_t2t_no_alarm().empty());
    EXPECT_EQ(device().parameter_state(T2T_NO_ALARM), SUPPORTED);
}

TEST_F(param_report, loc_is_rounded_half_away_from_zero_and_a_missing_or_mistyped_member_stores_no_position) {
    handle(plist(s_mac, 1, 0, R"("loc": {"x": 1.5, "y": -2.5, "z": 0, "sl_z": 3})"));
    const auto p = device().parameter_loc();
    EXPECT_EQ(std::make_tuple(p.x, p.y, p.z, p.sublocation_z, p.sublocation_id), std::make_tuple(2, -3, 0, 3, 0u));
    EXPECT_EQ(device().parameter_state(LOC), SUPPORTED);
    const std::string other = "AABBCCDDEEFF0022";
    handle(plist(other, 1, 0, R"("loc": {"x": 1, "z": 0, "sl_z": 3})"));
    handle(plist(other, 2, 0, R"("loc": {"x": 1, "y": 1, "z": 0, "sl_z": 3, "sl_id": -4})"));
    EXPECT_EQ(redis({"HEXISTS", "wins:" + other + ":parameters:loc", "x"}), "0");
    EXPECT_EQ(device(other).parameter_state(LOC), SUPPORTED);
}

// Regression: a node id that was not hexadecimal threw and lost the rest of the report.
TEST_F(param_report, SfReportIsStoredWholeAndABadMemberIsIgnored) {
    const auto members = [this] {
        const auto sf = device().parameter_sf();
        return std::vector<std::optional<std::uint32_t>>{sf.node_id, sf.sfd, sf.setting_slots, sf.slot_count};
    };
    handle(plist(s_mac, 1, 0, R"("sf": {"addr": "1A", "sfd": "1234", "set_slots": 6, "sch_slots": 4})"));
    EXPECT_EQ(members(), (std::vector<std::optional<std::uint32_t>>{26u, 0x1234u, 6u, 4u}));
    const auto sent = handle(report(s_mac, 2, 0, R"("plist": {"sf": {"addr": "zz", "sfd": "1x", "set_slots": "6"}, "stationary": true}, "req_plist": ["loc"])"));
    EXPECT_EQ(sent.param_req.size(), 1u);
    EXPECT_EQ(redis({"HGET", "wins:" + s_mac + ":parameters:stationary", "stationary"}), "true");
    EXPECT_EQ(members(), (std::vector<std::optional<std::uint32_t>>{std::nullopt, std::nullopt, std::nullopt, std::nullopt}));
}

TEST_F(param_report, sync_slot_is_stored_and_a_bad_address_stops_quietly) {
    handle(plist(s_mac, 1, 0, R"("sync_slot": {"addr": "1F", "slot": 3, "flags": "A"})"));
    EXPECT_EQ(std::make_tuple(device().parameter_sync_slot_addr(), device().parameter_sync_slot_slot(),
                              device().parameter_sync_slot_flags(), device().parameter_state(SYNC_SLOT)),
              std::make_tuple(31u, 3u, 10u, SUPPORTED));

    const std::string other = "AABBCCDDEEFF0022";
    handle(plist(other, 1, 0, R"("sync_slot": {"addr": "-1", "slot": 3})"));
    handle(plist(other, 2, 0, R"("sync_slot": {"addr": "10", "slot": 4, "flags": 7})"));
    EXPECT_EQ(std::make_tuple(device(other).parameter_sync_slot_addr(), device(other).parameter_sync_slot_slot(),
                              device(other).parameter_state(SYNC_SLOT)),
              std::make_tuple(16u, 4u, UNKNOWN));  // flags not a text
}

TEST_F(param_report, t2t_cfg_members_of_the_wrong_type_store_empty_values) {
    handle(plist(s_mac, 1, 0,
                 R"("t2t_cfg": {"role": "vehicle", "alarm_back": true, "buzzer": "on", "haptic": 1,
                    "distance": 2.5, "angle": -3, "delay": "x", "pin": 42, "safe_distance": 7})"));
    const auto d = device();
    EXPECT_EQ(std::make_tuple(d.parameter_t2t_cfg_alarm_back(), d.parameter_t2t_cfg_buzzer(), d.parameter_t2t_cfg_haptic(),
                              d.parameter_t2t_cfg_distance(), d.parameter_t2t_cfg_angle(), d.parameter_t2t_cfg_delay(),
                              d.parameter_t2t_cfg_safe_distance(), d.parameter_state(T2T_CFG)),
              std::make_tuple(true, false, false, 3u, 0u, 0u, 7u, SUPPORTED));
    // The empty text of a mistyped pin is stored as no field.
    EXPECT_FALSE(d.parameter_t2t_cfg_pin().has_value() || d.parameter_t2t_cfg_alert_distance().has_value());
}

TEST_F(param_report, scr_message_confirms_a_shown_alarm_text) {
    device().alarm_state(alarm_states::MESSAGE);
    handle(plist(s_mac, 1, 0, R"("scr_message": "EVACUATE")"));
    EXPECT_EQ(std::make_tuple(device().parameter_state(SCR_MESSAGE), device().alarm_state()),
              std::make_tuple(SUPPORTED, alarm_states::CONFIGURED));
    EXPECT_EQ(redis({"HEXISTS", "wins:" + s_mac + ":parameters:scr_message", "actual"}), "0");
}

// ---- MAC and request list ---------------------------------------------------------------

TEST_F(param_report, short_mac_is_widened_before_any_key_is_built) {
    const auto sent = handle(report("aabbccddeeff", 1, 0, R"("plist": {"stationary": true}, "req_plist": ["sf"])"));
    EXPECT_TRUE(device("AABBCCFFFEDDEEFF").parameter_stationary());
    EXPECT_EQ(redis({"KEYS", "*aabbcc*"}) + redis({"KEYS", "*AABBCCDDEEFF*"}), "");
    ASSERT_EQ(sent.param_req.size(), 1u);
    EXPECT_EQ(command_mac(sent.param_req[0]), "AABBCCFFFEDDEEFF");
}

// Regression: the request list was neither de-duplicated nor bounded.
TEST_F(param_report, request_carries_the_numbers_of_the_known_names_once_in_order) {
    const auto sent = handle(report(s_mac, 1, 0, R"("req_plist": ["sf", "al_zv", "no_such_parameter", "loc", "sf", "loc"])"));
    ASSERT_EQ(sent.param_req.size(), 1u);
    const auto& frame = sent.param_req[0];
    ASSERT_EQ(frame.size(), 26u);
    EXPECT_EQ(std::make_tuple(frame[0], frame[17], command_mac(frame)), std::make_tuple('\x07', '\0', s_mac));
    EXPECT_EQ(requested_numbers(frame), (std::vector<std::uint32_t>{20, 9}));
}

TEST_F(param_report, request_of_many_copies_holds_each_requestable_parameter_once) {
    std::string names;
    for (int copy = 0; copy < 2000; ++copy)
        for (const auto& [number, name] : parameters)
            names += (names.empty() ? "\"" : ",\"") + name + "\"";
    const auto sent = handle(report(s_mac, 1, 0, "\"req_plist\": [" + names + "]"));
    ASSERT_EQ(sent.param_req.size(), 1u);
    auto numbers = requested_numbers(sent.param_req[0]);
    EXPECT_EQ(numbers.size(), 19u);
    std::sort(numbers.begin(), numbers.end());
    EXPECT_EQ(std::unique(numbers.begin(), numbers.end()), numbers.end());
}

TEST_F(param_report, request_list_that_is_no_array_sends_the_bare_head) {
    for (const char* list : {"null", "\"sf\"", "5", "{}", "[]", "[1, [\"sf\"], \"scr_message\"]"}) {
        SCOPED_TRACE(list);
        const auto sent = handle(report(s_mac, 1, 0, std::string("\"req_plist\": ") + list));
        ASSERT_EQ(sent.param_req.size(), 1u);
        EXPECT_EQ(sent.param_req[0].size(), 18u);
    }
    // An object with members is a type error of the JSON library: nothing is sent.
    const auto sent = handle(report(s_mac, 1, 0, R"("req_plist": {"a": "sf"})"));
    EXPECT_TRUE(sent.param_req.empty());
    EXPECT_TRUE(logged("Caught exeption"));
}

TEST_F(param_report, corrupted_reports_change_nothing) {
    const std::string stationary = R"("plist": {"stationary": true}})";
    for (const std::string& body : {
             std::string("{\"mac\": \"AABBCCDDEEFF0011\", \"ts\": 1,"),  // cut short
             std::string("not json at all"), std::string("[1, 2, 3]"), std::string("\"text\""), std::string("null"),
             R"({"mac": "AABBCCDDEEFF001", "ts": 1, "ms": 0, )" + stationary, R"({"mac": 12, "ts": 1, "ms": 0, )" + stationary,
             // Regression: any 12 or 16 characters were a MAC and became WIN records and keys.
             R"({"mac": "AABBCCDDEEFF001G", "ts": 1, "ms": 0, )" + stationary,
             R"({"mac": "AABBCC:DDEEF", "ts": 1, "ms": 0, )" + stationary, R"({"mac": "AABBCC\u0000DDEEF", "ts": 1, "ms": 0, )" + stationary,
             R"({"mac": "AABBCCDDEEFF0011", "ts": "1", "ms": 0, )" + stationary,
             R"({"mac": "AABBCCDDEEFF0011", "ts": 1, "ms": 1.5, )" + stationary,
             std::string(R"({"mac": "AABBCCDDEEFF0011", "ts": 1, "ms": 0, "plist": [true]})"),
             std::string(R"({"mac": "AABBCCDDEEFF0011", "ts": 1, "ms": 0, "plist": "stationary"})")}) {
        SCOPED_TRACE(body);
        const double malformed = vyr::metrics::value(vyr::metrics::counter::reports_malformed);
        const auto sent = handle("#param_p" + body);
        EXPECT_TRUE(sent.param_req.empty());
        EXPECT_EQ(redis({"DBSIZE"}), "0");
        // Regression: a report without a usable MAC or time was dropped uncounted.
        EXPECT_EQ(vyr::metrics::value(vyr::metrics::counter::reports_malformed) - malformed, 1);
    }
}

// ---- reports handled as one batch ----------------------------------------------------------

// A receiver on a private redis-server, opened on the test thread, and the commands it
// sends to the parameter-request mechanism.
struct receiver_on_own_server {
    test::redis_server server;
    std::shared_ptr<zmq::context_t> zmq_context = std::make_shared<zmq::context_t>(1);
    zmq::socket_t param_req{*zmq_context, zmq::socket_type::pull};
    vyr::libs::core::logger logger{"rtls-quorvane-test", "receiver"};
    c_receiver receiver{zmq_context, "inproc://no-proxy", nullptr, server.host(), server.port(), logger};

    // `_state`: commands run first, one per text, words apart.
    explicit receiver_on_own_server(const std::vector<std::string>& _state) {
        param_req.bind(vyr::mail::mech_param_req::endpoint);
        receiver.open();
        for (const auto& line : _state) {
            std::istringstream words(line);
            server.command({std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()});
        }
    }
    // The requests sent, and the devices named as written.
    std::pair<std::vector<std::string>, std::set<std::string>> sent() {
        std::vector<std::string> frames;
        std::set<std::string> marked;
        while (auto frame = test::receive(param_req, std::chrono::milliseconds(100))) {
            const auto message = vyr::mail::mech_param_req::read(*frame);
            if (const auto* changed = std::get_if<vyr::mail::devices_changed>(&message))
                marked.insert(changed->macs.begin(), changed->macs.end());
            else
                frames.push_back(std::move(*frame));
        }
        return {frames, marked};
    }
    long commands_run() const {
        const auto info = server.command({"INFO", "stats"});
        return std::stol(info.substr(info.find("total_commands_processed:") + 25));
    }
    // Every key with its contents in a fixed order (the time a device was heard aside:
    // the two runs may see different seconds; of an answer token and of the time a report
    // was heard only that they are there).
    std::map<std::string, std::string> contents() const {
        const auto lines = [](const std::string& _text) {
            std::vector<std::string> out;
            std::istringstream in(_text);
            for (std::string line; std::getline(in, line);)
                out.push_back(line);
            return out;
        };
        std::map<std::string, std::string> keys;
        for (const auto& key : lines(server.command({"KEYS", "*"}))) {
            const auto type = server.command({"TYPE", key});
            std::vector<std::string> entries;
            for (const auto& item : lines(server.command({type == "hash" ? "HKEYS" : "SMEMBERS", key})))
                if (type != "hash" || item != "heard_sec")
                    entries.push_back(type != "hash" || item == "answered" || item == "heard_ms" ? item
                                                                          : item + "=" + server.command({"HGET", key, item}));
            keys[key] = type + ":";
            for (const auto& entry : test::sorted(entries))
                keys[key] += " " + entry;
        }
        return keys;
    }
};

TEST(param_report_batch, leaves_the_state_and_sends_the_commands_of_the_reports_handled_one_by_one) {
    const std::string a = "AABBCCDDEEFF0011", b = "AABBCCDDEEFF0022", c = "AABBCCDDEEFF0033";
    const std::vector<std::string> state = {
        "HSET wins:" + a + ":data sending_counter 2 sending_counter_sec 1234",
        "HSET wins:" + a + ":parameters:stationary timestamp_sec 100 timestamp_usec 500000 stationary true",
        "HSET wins:" + b + ":alarm state sent shown_level 0 shown_zone_id 0 shown_uid x",
        "HSET wins:" + c + ":alarm state sent shown_level 0 shown_zone_id 0 shown_uid x"};
    const auto body = [](const std::string& _frame) { return _frame.substr(std::string("#param_p").size()); };
    const std::vector<std::string> reports = {
        body(plist(a, 200, 0, R"("stationary": true, "category": "worker", "em_alm": {"state": "SET"},
                                 "t2t_cfg": {"role": "vehicle", "distance": 12, "pin": "1234"})")),
        body(plist(a, 201, 0, R"("t2t_cfg": {"role": "pedestrian"}, "category": null)")),  // newer duplicates
        body(plist(a, 150, 0, R"("t2t_cfg": {"role": "old"}, "stationary": false)")),      // older replay
        body(plist(a, 90, 0, R"("stationary": false)")),                                   // older than stored
        body(report(a, 201, 0, R"("plist": {"sf": {"addr": "zz", "sfd": "1F", "set_slots": 6}},
                                  "req_plist": ["sf", "loc", "sf"])")),
        body(plist(b, 300, 0, R"("t2t_no_alarm": [{"mac": "aa00000000000001"}], "loc": {"x": 1, "y": 2, "z": 3, "sl_z": 0})")),
        // The alarm answer settles the alarm sent, then the screen message confirms it.
        body(plist(b, 300, 0, R"("al_zv": {"level": 0}, "scr_message": "hi")")),
        body(report(b, 301, 0, R"("plist": {"stationary": "yes"}, "req_plist": {"a": "sf"})")),  // throws
        "not json", body(plist("AABBCC:DDEEFF", 1, 0, R"("stationary": true)")),
        body(plist(b, 302, 0, R"("category": "visitor")")),
        // The answer reads the alarm state as the report before it left it: not shown.
        body(plist(c, 10, 0, R"("al_zv": null)")), body(plist(c, 11, 0, R"("al_zv": {"level": 0})"))};
    receiver_on_own_server batched(state), one_by_one(state);
    const long before = batched.commands_run() - one_by_one.commands_run();
    using vyr::metrics::counter;
    const double stale = vyr::metrics::value(counter::reports_stale), malformed = vyr::metrics::value(counter::reports_malformed);
    int failed_batched = 0, failed_one_by_one = 0;
    batched.receiver.process_param_p_batch(reports, [&](const std::function<void()>& _work) {
        try {
            _work();
        } catch (const std::exception&) {
            ++failed_batched;
        }
    });
    for (const auto& r : reports) {
        try {
            one_by_one.receiver.process_param_p(r);
        } catch (const std::exception&) {
            ++failed_one_by_one;
        }
    }
    EXPECT_EQ(std::make_tuple(failed_batched, failed_one_by_one), std::make_tuple(1, 1));
    // Either way the three older values, the frame that is no JSON and the bad MAC are counted.
    EXPECT_EQ(std::make_pair(vyr::metrics::value(counter::reports_stale) - stale,
                             vyr::metrics::value(counter::reports_malformed) - malformed),
              std::make_pair(6.0, 4.0));
    const auto contents = batched.contents();
    EXPECT_EQ(contents, one_by_one.contents());
    // The state itself, so that an equal but wrong one is not taken for right.
    EXPECT_EQ(std::make_tuple(contents.size(), contents.at("wins:" + a + ":parameters:t2t_cfg"),
                              contents.at("wins:" + b + ":alarm"), contents.at("wins:" + a + ":data")),
              std::make_tuple(std::size_t{19}, "hash: role=pedestrian state=supported timestamp_sec=201 timestamp_usec=0",
                              "hash: shown_level=0 shown_uid=x shown_zone_id=0 state=configured",
                              "hash: answered sending_counter_sec=0 sending_counter_usec=0"));
    const auto sent = batched.sent();
    EXPECT_EQ(sent, one_by_one.sent());
    // The settled alarm of b is the mechanism's to see in b's record: no "context updated".
    ASSERT_EQ(sent.first.size(), 1u);
    EXPECT_EQ(std::make_tuple(sent.first[0][0], sent.second), std::make_tuple('\x07', std::set<std::string>{a, b, c}));
    // One read and one write of the batch in place of those of every report.
    EXPECT_LT(batched.commands_run() - one_by_one.commands_run(), before);
}

// ---- silent foreign WIN records ----------------------------------------------------------

class win_expiry : public param_report {
protected:
    void configure(c_receiver& _receiver) override {
        _receiver.set_win_expiry(std::chrono::hours(1), std::chrono::milliseconds(50));
    }
};

// Regression: the set of WINs only grew; every MAC ever reported cost round trips in every
// pass for ever. Records outside the project silent for the configured time are removed.
TEST_F(win_expiry, silent_records_outside_the_project_are_removed_with_their_set_entries) {
    const std::string foreign = "00000000000000A1", member = "00000000000000A2", fresh = "00000000000000A3",
                      unheard = "00000000000000A4";
    store().get_track_obj("o1").update("p1", "Worker", "sl1", 0, 0, 0, "person", member, {}, "person", false, {},
                                       false, "", {}, {}, {}, {}, {}, {}, {}, {}, {});
    for (const auto& mac : {foreign, member, fresh})
        handle(plist(mac, 1, 0, R"("stationary": true, "t2t_no_alarm": [{"mac": "AABBCCDDEEFF0011"}])"));
    device(unheard).sending_time(timeval{5, 0});
    const std::string old = std::to_string(::time(nullptr) - 7200);
    for (const auto& mac : {foreign, member})
        redis({"HSET", "wins:" + mac + ":data", "heard_sec", old});
    for (int wait = 0; wait < 200 && redis({"GET", "wins:removed"}) != "1"; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(redis({"GET", "wins:removed"}), "1");
    EXPECT_EQ(redis({"KEYS", "wins:" + foreign + "*"}), "");
    EXPECT_EQ(std::make_tuple(redis({"SISMEMBER", "wins:set", foreign}), redis({"SISMEMBER", "wins:set", member}),
                              redis({"SISMEMBER", "wins:set", fresh}), redis({"SISMEMBER", "wins:set", unheard})),
              std::make_tuple("0", "1", "1", "1"));
    EXPECT_TRUE(device(member).parameter_stationary() && device(fresh).parameter_stationary());
    // A record never heard starts its silence at the sweep.
    EXPECT_NE(redis({"HGET", "wins:" + unheard + ":data", "heard_sec"}), "");
}

// ---- zone-alarm delivery --------------------------------------------------------------

class alarm_delivery : public param_report {
protected:
    void SetUp() override {
        param_report::SetUp();
        store().get_track_obj("o1").update("p1", "Worker", "sl1", 0, 0, 0, "person", s_mac, {}, "person", false, {},
                                           false, "", {}, {}, {}, {}, {}, {}, {}, {}, {});
        store().get_zone("z7").update("p1", 7);
        // Two alarms in one zone, and one that cannot be shown.
        store().get_alarm("a-free").update("zone_violation", 0, "o1", std::nullopt, std::nullopt, "no zone", true);
        store().get_alarm("a7").update("zone_violation", 0, "o1", std::string("z7"), 3u, "zone 7", true);
        store().get_alarm("b7").update("buffer_violation", 0, "o1", std::string("z7"), 3u, "buffer 7", true);
    }
};

// Regression: the confirmation marked the first alarm of the zone in set order, so with two
// alarms in one zone the shown one could stay undelivered and be sent for ever.
TEST_F(alarm_delivery, confirmation_marks_the_shown_alarm_and_only_an_answer_to_what_was_sent_settles) {
    using shown = vyr::context::shown_alarm;
    const shown clearing{};
    const struct {
        alarm_states state;
        shown sent;
        const char* answer;
        alarm_states after;
        const char* delivered;
    } cases[] = {
        {alarm_states::SENT, {"a7", 3, 7}, R"({"level": 3, "zid": 7})", alarm_states::MESSAGE, "a7"},
        {alarm_states::SENT, {"b7", 3, 7}, R"({"level": 3, "zid": 7})", alarm_states::MESSAGE, "b7"},
        {alarm_states::SENT, {"a7", 3, 7}, R"({"level": 3, "zid": 9})", alarm_states::SENT, ""},
        {alarm_states::SENT, {"a7", 3, 7}, R"({"level": 0})", alarm_states::SENT, ""},  // not caught up yet
        // Nothing showable was left: the answer to the clearing form settles it.
        {alarm_states::SENT, clearing, R"({"level": 0})", alarm_states::MESSAGE, ""},
        {alarm_states::NOT_CONFIGURED, {"a7", 3, 7}, R"({"level": 3, "zid": 7})", alarm_states::NOT_CONFIGURED, ""},
        // The alarm shown was removed since: settled, and no record is made for it.
        {alarm_states::SENT, {"gone", 3, 7}, R"({"level": 3, "zid": 7})", alarm_states::MESSAGE, ""},
    };
    long ts = 1;
    for (const auto& c : cases) {
        for (const char* uid : {"a7", "b7"})
            store().get_alarm(uid).delivered(false);
        device().alarm_state(alarm_states::UNKNOWN);
        ASSERT_TRUE(device().replace_alarm_state(alarm_states::UNKNOWN, c.state, c.sent));
        const auto version = vyr::context::read_mirror_changes(store().redis_context(), 0).version;
        const auto sent = handle(plist(s_mac, ts++, 0, std::string(R"("al_zv": )") + c.answer));
        // What was marked delivered is named in the journal, for the devices it concerns.
        const auto changes = vyr::context::read_mirror_changes(store().redis_context(), version);
        EXPECT_EQ(changes.names, *c.delivered ? std::vector<std::string>{std::string("alarm:") + c.delivered}
                                              : std::vector<std::string>{});
        EXPECT_EQ(std::make_tuple(device().alarm_state(), store().get_alarm("a7").delivered(),
                                  store().get_alarm("b7").delivered(), sent.param_req.size(), sent.marked),
                  std::make_tuple(c.after, c.delivered == std::string("a7"), c.delivered == std::string("b7"),
                                  0u, std::vector<std::string>{s_mac}))
            << c.sent.uid << " " << c.answer;
    }
    EXPECT_EQ(redis({"KEYS", "alarms:gone*"}), "");
}

}  // namespace
