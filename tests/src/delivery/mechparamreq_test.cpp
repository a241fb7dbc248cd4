// The processing cycle's pushes (command 000E): what differs between the project and a
// WIN's reports, the pacing of 5 seconds and 10 sends, anchors, devices no longer in the
// project. The compare rule of each parameter is the judge's, tested there. Elapsed time
// is simulated by writing the WIN's sending time.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "common/globals.h"
#include "mechparamreq_fixture.h"

namespace delivery_test {
namespace {

using namespace vyr::parameter;
using vyr::context::win;
using list = std::vector<std::string>;

timeval seconds_ago(long _seconds) {
    timeval time = c_mech_param_req::now();
    time.tv_sec -= _seconds;
    return time;
}

// Everything a fresh monitor tag is pushed in one pass, in sending order.
const list s_fresh_tag = {
    "000E3C0100",                // no button alarm
    "000E5208576F726B65722D31",  // "Worker-1"
    "000E530744726976657273",    // "Drivers"
    "000E2B0401250002",          // monitor: alarm back, solid, buzzer; delay 2
    "000E2C0870B3D5FFFE0B0002",  // the no-alarm list
    "000E5E0101",                // person
    "000E5D0100",                // not stationary (no location)
};

class ParamDelivery : public mech_param_req_test {
protected:
    // The settled tag with every report removed: everything differs.
    win fresh_tag() {
        auto record = settled(object_def{});
        record.del_all_parameters();
        return record;
    }
};

// A device that answered every push with the same other value was pushed every 5 s for
// ever. After 10 answered pushes the parameter is marked, keeps the device's value, and
// goes out once a minute; while not due it takes no push slot of the WIN.
TEST_F(ParamDelivery, RefusingDeviceIsMarkedRejected) {
    auto record = refused();
    EXPECT_TRUE(record.parameter_push_record(SCR_NAME).rejected && record.parameter_push_record(CATEGORY).rejected);
    EXPECT_EQ(record.parameter_as_json(SCR_NAME, win::actual), "\"Worker-X\"\n");
    EXPECT_EQ(std::make_tuple(record.sending_time().tv_sec, record.sending_counter()), std::make_tuple(0L, 0u));
    const auto pushed_ago = [&](long _seconds) {
        redis({"HSET", vyr::context::win_keys::parameters(record.mac_addr(), "scr_name"), "rejected_push_sec",
               std::to_string(seconds_ago(_seconds).tv_sec)});
        return later(record);
    };
    EXPECT_TRUE(pushed_ago(59).empty());  // once a minute, not more often
    EXPECT_EQ(pushed_ago(61), list{"000E5208576F726B65722D31"});
    EXPECT_TRUE(later(record).empty());
}

// A device that answers each push holding another wrong value each time is not refusing
// one value: it goes on being pushed and is never marked rejected.
TEST_F(ParamDelivery, DeviceAnsweringWithAnotherWrongValueEachTimeIsNotRejected) {
    auto record = settled(object_def{});
    for (long push = 1; push <= 12; ++push) {
        record.parameter_as_json(SCR_NAME, win::actual, "\"Worker-X" + std::to_string(push) + "\"\n");
        EXPECT_EQ(later(record), list{"000E5208576F726B65722D31"}) << push;
        record.parameter_timestamp(SCR_NAME, {push, 0});  // as the receiver stores its answer
        record.del_sending_counter();
    }
    EXPECT_FALSE(record.parameter_push_record(SCR_NAME).rejected);
}

// Regression: a push record written by a pass that read the WIN before the device
// announced itself anew ("NA" deletes its parameters) brought back the mark of a refusal
// of the device's earlier life, and the new life's first value was pushed once a minute.
TEST_F(ParamDelivery, PushRecordOfAnEarlierLifeLeavesNothingRejected) {
    auto record = refused();
    const auto earlier = record.parameter_push_record(SCR_NAME);
    ASSERT_TRUE(earlier.rejected);
    receiver_beside devices(*s_redis);
    devices.receiver.process_notify(R"({"object": "TO", "action": "NA", "mac": ")" + record.mac_addr() +
                                    R"(", "dev_id": "to-1"})");
    record.parameter_push_record(SCR_NAME, earlier);  // the late write of that pass
    devices.report(record.mac_addr(), R"("scr_name": "Worker-X", "al_zv": null)");  // no alarm display
    const auto pushed = later(record);
    EXPECT_NE(std::find(pushed.begin(), pushed.end(), "000E5208576F726B65722D31"), pushed.end())
        << ::testing::PrintToString(pushed);
    EXPECT_FALSE(record.parameter_push_record(SCR_NAME).rejected);
}

TEST_F(ParamDelivery, NewMustValueClearsRejected) {
    auto record = refused();
    redis({"HSET", "track_objs:to-1:from_server:fields", "name", "Worker-2"});
    redis({"INCR", "mirror_version"});  // a write that names nothing: the project is read anew
    EXPECT_EQ(later(record), list{"000E5208576F726B65722D32"});  // the category stays rejected
    const auto name = record.parameter_push_record(SCR_NAME);
    EXPECT_EQ(std::make_tuple(name.rejected, name.refusals), std::make_tuple(false, 0u));
}

TEST_F(ParamDelivery, SettledTagReceivesNothingAndItsMustValuesAreStored) {
    const auto record = settled(object_def{});
    EXPECT_TRUE(cycle().empty());
    EXPECT_EQ(record.parameter_as_json(SCR_NAME, win::must), "\"Worker-1\"\n");
    EXPECT_EQ(record.parameter_as_json(EM_ALM, win::must), "{\"state\":\"CLEAR\"}\n");
    EXPECT_EQ(record.sending_counter(), 0u);
}

TEST_F(ParamDelivery, FreshTagReceivesEverythingInOrderAndIsBookedOnceButOnlyWithTheMirrorComplete) {
    const auto record = fresh_tag();
    send(std::string(1, static_cast<char>(vyr::cmd::notified)));  // "updated" is not true
    EXPECT_TRUE(fence().empty());
    const timeval before = c_mech_param_req::now();
    EXPECT_EQ(bodies(cycle()), s_fresh_tag);
    EXPECT_EQ(record.sending_counter(), 1u);
    // A step on the timer goes by its expiry's due time, up to a second behind the clock.
    EXPECT_GE(record.sending_time().tv_sec, before.tv_sec - 1);
}

// A push the gateway side could not take was counted toward the limit of 10 sends: a
// device behind a full proxy queue was given up on without ever receiving anything.
TEST_F(ParamDelivery, PushNotQueuedIsNotCounted) {
    m_mechanism.reset();  // the fixture's mechanism must not push to the WIN meanwhile
    auto blocked = std::make_shared<c_sender>(m_zmq, "tcp://127.0.0.1:" + std::to_string(test::free_port()),
                                              test_logger());
    for (int i = 0; i < 100000 && blocked->win_message("fill"); ++i) {
    }
    c_mech_param_req mechanism(m_zmq, nullptr, blocked, s_redis->host(), s_redis->port(), false, test_logger());
    mechanism.open_context();
    const auto record = fresh_tag();
    m_store->updated(true);
    mechanism.processing_timer();
    EXPECT_EQ(std::make_tuple(record.sending_counter(), record.sending_time().tv_sec), std::make_tuple(0u, 0L));
}

// Every "context updated" ran a whole cycle, and the pipe was read one command per
// cycle: at start-up the confirmations of a large site queued thousands of cycles and
// requests waited behind them. Notices that come during a cycle now give one more.
TEST_F(ParamDelivery, NoticesDuringACycleGiveOneMoreCycle) {
    settled(object_def{});
    for (int i = 0; i < 400; ++i)  // a cycle long enough for the notices to arrive in it
        device("70B3D5FFFE0C" + std::to_string(1000 + i));
    m_store->updated(true);
    redis({"CONFIG", "RESETSTAT"});
    for (int i = 0; i < 200; ++i)
        send(std::string(1, static_cast<char>(vyr::cmd::notified)));
    fence();  // after the notices: answered once they were all taken
    const auto stats = redis({"INFO", "commandstats"});
    const auto at = stats.find("cmdstat_get:calls=");
    ASSERT_NE(at, std::string::npos) << stats;
    // A cycle reads "updated" and "alarms_refresh" once each.
    EXPECT_LT(std::stoi(stats.substr(at + 18)), 40) << stats.substr(at, 60);
}

TEST_F(ParamDelivery, TenSendsInARowAreTheLimit) {
    auto record = fresh_tag();
    redis({"HSET", "wins:70B3D5FFFE0B0001:data", "sending_counter", "10"});
    EXPECT_TRUE(cycle().empty());
    redis({"HSET", "wins:70B3D5FFFE0B0001:data", "sending_counter", "9"});
    EXPECT_EQ(bodies(cycle()), s_fresh_tag);
    EXPECT_EQ(record.sending_counter(), 10u);
    record.sending_time(seconds_ago(60));
    EXPECT_TRUE(cycle().empty());
    record.del_sending_counter();  // the device answers: a new series starts
    EXPECT_EQ(bodies(cycle()), s_fresh_tag);
}

TEST_F(ParamDelivery, APushBlocksTheNextForFiveWholeSecondsAndASendingTimeAheadDoesNot) {
    auto record = fresh_tag();
    record.sending_time(seconds_ago(4));
    EXPECT_TRUE(cycle().empty());
    record.sending_time(seconds_ago(6));
    EXPECT_EQ(bodies(cycle()), s_fresh_tag);
    EXPECT_TRUE(cycle().empty());  // pushed at t: nothing until t + 5 s
    timeval pushed = record.sending_time();
    pushed.tv_sec -= 5;
    record.sending_time(pushed);
    EXPECT_EQ(bodies(cycle()), s_fresh_tag);
    EXPECT_EQ(record.sending_counter(), 2u);
    record.sending_time(seconds_ago(-3600));  // pushed before the clock was set back an hour
    EXPECT_EQ(bodies(cycle()), s_fresh_tag);

    struct row { timeval now; bool passed; };
    for (const row& r : {row{{105, 100}, false}, row{{105, 200}, true}, row{{106, 100}, true},
                         row{{100, 200}, false}, row{{100, 199}, true}, row{{40, 0}, true}})
        EXPECT_EQ(c_mech_param_req::sending_period_passed(r.now, {100, 200}), r.passed) << r.now.tv_sec;
}

// The type is matched exactly: one written "asset" is a tag like any other.
TEST_F(ParamDelivery, TagsOfTypeASSETAreNeverPushed) {
    object_def asset, other = asset.as("to-2", "70B3D5FFFE0B0009");
    asset.type = "ASSET", other.type = "asset";
    auto a = settled(asset);
    a.del_all_parameters();
    settled(other).del_all_parameters();
    std::set<std::string> macs;
    for (const auto& frame : cycle())
        macs.insert(frame.mac);
    EXPECT_EQ(macs, std::set<std::string>{other.mac});
    EXPECT_EQ(std::make_tuple(a.sending_counter(), a.parameter_as_json(SCR_NAME, win::must)), std::make_tuple(0u, ""));
}

TEST_F(ParamDelivery, AnchorGetsItsScheduleAndIsAskedForItsNetworkConfiguration) {
    const std::string mac = "70B3D5FFFE0A0001";
    m_store->get_anchor("anc-1").update("prj-1", "A1", "sl-1", 0, 0, 0, "anchor", mac, 17);
    auto record = device(mac);
    EXPECT_EQ(bodies(cycle()), (list{"000E160100", "000E3500"}));
    EXPECT_EQ(record.parameter_as_json(TDOA_SCHEDULE, win::must), "null\n");
    record.parameter_as_json(TDOA_SCHEDULE, win::actual, "null\n");  // it reports both: nothing more
    record.parameter_as_json(NWK_CFG, win::actual, "{\"router\":false}\n");
    EXPECT_TRUE(later(record).empty());
}

TEST_F(ParamDelivery, DeviceNoLongerInTheProjectIsClearedUntilItReportsCleared) {
    auto record = device("0011223344556677");
    for (const auto number : {T2T_CFG, T2T_NO_ALARM, STATIONARY, CATEGORY})
        record.parameter_state(number, SUPPORTED);
    record.parameter_t2t_cfg_role("Monitor");
    record.parameter_t2t_no_alarm({"70B3D5FFFE0B0002"});
    record.parameter_stationary(true);
    record.parameter_category("person");
    EXPECT_EQ(bodies(cycle()), (list{"000E2B01002C01005D01005E0100"}));
    record.parameter_t2t_cfg_role("DISABLED");
    record.parameter_t2t_no_alarm({});
    record.parameter_stationary(false);
    record.parameter_category("unspecified");
    EXPECT_TRUE(later(record).empty());
}

// Regressions: values the payload cannot carry whole were compared (and stored as must)
// as the project holds them, so a device holding what it was sent was pushed every 5 s
// for ever. Each shape is pushed once; once the device holds the payload, nothing more.
// The loss is warned once per parameter, not every pass.
TEST_F(ParamDelivery, LossyValuesAreComparedAsTheDeviceHoldsThem) {
    const std::string cut_name = std::string(254, 'n') + "\xC3\xA9";  // the 2-byte character straddles byte 255
    std::string name_bytes = "000E52FE";
    for (int i = 0; i < 254; ++i)
        name_bytes += "6E";
    // The judge's table has every shape with its payload and answer; here the device
    // holding what it was sent settles, and the loss is warned once, not every pass.
    struct shape {
        const char* fault;
        std::function<void(object_def&, vyr::context::track_obj)> change;
        list pushed;
        int warnings;
    };
    const std::vector<shape> shapes = {
        {"TwoNoAlarmEntriesSettleOnTheSmallestHexEntry",
         [](object_def& o, auto) { o.no_alarm = {"70B3D5FFFE0B0009", "70b3d5fffe0b0003", "not hex"}; },
         {"000E2C0870B3D5FFFE0B0003"}, 1},
        {"LongScreenNameIsCutAtAWholeCharacter", [&](object_def& o, auto) { o.name = cut_name + "tail"; }, {name_bytes}, 1},
        {"WideCertificateIdIsNotSentAsNoneAndWideLicenceIdsAreLeftOut",
         [this](object_def&, vyr::context::track_obj _o) {
             m_store->vehicle_certification(true);
             _o.update_vehicle_model(256);
             _o.update_driver_licenses({3, 300});
         },
         {"000E2F0103"}, 2},
        {"HeightBeyond32BitsSendsNoLocation", [](object_def& o, auto) { o.stationary = true, o.height = INT32_MAX; },
         {"000E5D0101"}, 1},
    };
    for (const auto& row : shapes) {
        s_redis->flush();
        object_def tag;
        auto record = settled(tag);
        row.change(tag, m_store->get_track_obj(tag.uid));
        put(tag);
        logged("");
        const auto frames = cycle();
        EXPECT_EQ(bodies(frames), row.pushed) << row.fault;
        hold(record, frames);
        EXPECT_TRUE(later(record).empty()) << row.fault;
        EXPECT_EQ(logged("cannot be delivered whole"), row.warnings) << row.fault;
    }
}

// Regressions: a read that failed gave the builder's empty form, which the pass pushed: a
// tag showing its emergency alarm was told CLEAR (3C0100), an announcer "disabled"
// (2B0100). Now an object one of whose keys cannot be read is not judged at all: nothing
// is pushed, no must text is stored, a request's answer leaves it out, and the record is
// named once.
TEST_F(ParamDelivery, FailedReadsPushNothing) {
    struct fault {
        const char* name;
        object_def object;
        std::string key;
        parameter_t parameter;
    };
    const auto other = object_def{}.as("to-2", "70B3D5FFFE0B0002");
    for (const fault& f : {fault{"FailedEmAlmReadPushesNothing", object_def{}, vyr::context::alarm_keys::objects("to-1"), EM_ALM},
                           fault{"FailedT2tCfgReadPushesNothing", other, vyr::context::track_obj_keys::t2t_cfg("to-2"), T2T_CFG}}) {
        s_redis->flush();
        auto record = settled(f.object);
        record.parameter_as_json(EM_ALM, win::actual, "{\"state\":\"SET\"}\n");  // both would differ
        record.parameter_t2t_cfg_role("announcer");
        logged("");  // a step of the worker's own may read the broken record before the cycle
        redis({"DEL", f.key});
        redis({"SET", f.key, "not a set nor a hash"});
        redis({"INCR", "mirror_version"});  // a write that names nothing: the project is read anew
        EXPECT_EQ(bodies(cycle()), list{}) << f.name;
        EXPECT_EQ(record.parameter_as_json(f.parameter, win::must), "") << f.name;
        send(request(record.mac_addr(), {f.parameter}));
        EXPECT_EQ(bodies(fence()), list{"000F"}) << f.name;
        EXPECT_EQ(logged("project record " + f.object.uid + " cannot be read"), 1) << f.name;
    }
}

TEST_F(ParamDelivery, LocationOnlyForAStationaryObjectWhoseDeviceSupportsIt) {
    object_def tag;
    tag.stationary = true;
    auto record = settled(tag);
    const std::string loc = "0912000001F4FFFFFED4000000A0000000280007";  // z 120 + 40, offset 40, id 7
    record.parameter_state(STATIONARY, UNKNOWN);
    EXPECT_EQ(later(record), (list{"000E5D0101"}));
    record.parameter_state(STATIONARY, SUPPORTED);
    EXPECT_EQ(later(record), (list{"000E" + loc}));  // location state unknown
    record.parameter_stationary(false);
    EXPECT_EQ(later(record), (list{"000E5D0101" + loc}));  // one command for both
    record.parameter_stationary(true);
    record.parameter_state(LOC, SUPPORTED);
    record.parameter_loc({500, -300, 160, 40, 7});
    EXPECT_TRUE(later(record).empty());
    record.parameter_loc({501, -300, 160, 40, 7});
    EXPECT_EQ(later(record), (list{"000E" + loc}));
    record.parameter_state(LOC, NOT_SUPPORTED);
    EXPECT_TRUE(later(record).empty());

    // In a sublocation without offset: z 120 + 0, sublocation z 0; settles once reported.
    redis({"HDEL", "sublocations:sl-1:from_server:fields", "offset_z"});
    redis({"INCR", "mirror_version"});
    record.parameter_state(LOC, UNKNOWN);
    EXPECT_EQ(later(record), (list{"000E0912000001F4FFFFFED400000078000000000007"}));
    record.parameter_state(LOC, SUPPORTED);
    record.parameter_loc({500, -300, 120, 0, 7});
    EXPECT_TRUE(later(record).empty());

    tag.stationary = false;  // a moving object's location is never pushed
    put(tag);
    record.parameter_stationary(false);
    record.parameter_state(LOC, UNKNOWN);
    EXPECT_TRUE(later(record).empty());
}

TEST_F(ParamDelivery, OneBrokenWinDoesNotStopThePass) {
    fresh_tag();
    const std::string broken = "0011223344556677";
    device(broken);
    redis({"HSET", "wins:" + broken + ":data", "sending_counter", "many"});
    logged("");
    EXPECT_EQ(bodies(cycle()), s_fresh_tag);
    EXPECT_GE(logged("Caught exeption"), 1);
}

// A Redis connection lost while a WIN is checked is no "never reported" and no failed
// value: the helpers that read a missing report as nothing caught every error (a lost
// read of the stationary flag became "differs" and the flag was pushed). The server drops
// the mechanism's connection on the reply to the read (a reply over its output limit, on
// the resend as well): that WIN gets nothing and is not booked, the loss is logged once
// for the pass, and the other WINs of its chunk get their parameters, read one by one.
TEST_F(ParamDelivery, LostRedisConnectionIsNotTakenForNeverReportedAndPushesNothingToThatWin) {
    const auto flag_lost = object_def{}.as("to-2", "70B3D5FFFE0B0009");
    auto flag_record = settled(flag_lost);
    // Read as "not stationary" (not "true"), like the object: in step while readable.
    redis({"HSET", win::keys::parameters(flag_lost.mac, parameters.at(STATIONARY)), "stationary",
           std::string(256 * 1024, 'x')});
    fresh_tag();
    redis({"CONFIG", "SET", "client-output-buffer-limit", "normal 65536 0 0"});
    logged("");
    const auto frames = cycle();
    redis({"CONFIG", "SET", "client-output-buffer-limit", "normal 0 0 0"});
    list others;
    for (const auto& frame : frames) {
        EXPECT_NE(frame.mac, flag_lost.mac) << frame.body();
        if (frame.mac != flag_lost.mac)
            others.push_back(frame.body());
    }
    EXPECT_EQ(others, s_fresh_tag);
    EXPECT_EQ(flag_record.sending_counter(), 0u);
    EXPECT_EQ(logged("1 WIN(s) or write batch(es) left to the next pass, the Redis connection was lost"), 1);
    EXPECT_TRUE(later(flag_record).empty());  // readable again: in step
}

// Regression: the pass took its time after the alarm and TDOA passes, so a timer cycle
// that woke a little earlier after its period than the previous one found "fewer than 5
// whole seconds" and skipped: a device that did not answer was pushed every 10 s. The
// timer's own cycles (no context-updated command here) go by the time they were due.
// Driven by hand on a 100-ms timer, each expiry moving the mechanism's clock on by a
// period and waking 300 ms, then 100 ms after its due time.
TEST_F(ParamDelivery, TimerCyclesPushAnUnansweredDeviceEveryPeriodNotEveryOther) {
    m_mechanism.reset();
    timeval clock = c_mech_param_req::now();
    // Its own ZeroMQ context: the pipe of the mechanism just stopped may not be unbound yet.
    c_mech_param_req mechanism(std::make_shared<zmq::context_t>(1), nullptr, m_sender, s_redis->host(),
                               s_redis->port(), false, test_logger());
    mechanism.set_clock([&clock] { return clock; });
    mechanism.set_period(std::chrono::milliseconds(100));
    auto record = fresh_tag();
    m_store->updated(true);
    ASSERT_TRUE(mechanism.thread_init());
    timeval due = clock;
    for (std::uint32_t period = 1; period <= 4; ++period) {
        due.tv_sec += c_mech_param_req::s_sending_period_sec;
        const timeval late{0, period % 2 != 0 ? 300000 : 100000};
        timeradd(&due, &late, &clock);
        const double cycles = vyr::metrics::value(vyr::metrics::counter::cycles);
        const double skipped = vyr::metrics::value(vyr::metrics::counter::cycles_skipped);
        for (int pass = 0; pass < 50 && vyr::metrics::value(vyr::metrics::counter::cycles) == cycles; ++pass)
            ASSERT_TRUE(mechanism.thread_pass());
        EXPECT_EQ(record.sending_counter(), period) << "the cycle of period " << period << " pushed nothing";
        // The test thread held up past an expiry: the mechanism took its due time from the
        // clock, and the periods count on from there.
        if (vyr::metrics::value(vyr::metrics::counter::cycles_skipped) != skipped)
            due = clock;
    }
}

}  // namespace
}  // namespace delivery_test

namespace delivery_test {
namespace {

// Regression: what a cycle writes to a chunk of WINs (sending time, counter, push records)
// was held to the chunk's end and then overwrote the receiver's reset of a device that
// had answered meanwhile: the device stayed paced and counted towards giving up, and a
// push record recreated after an announcement kept a parameter rejected. Each device
// answers its first push at once, through the real receiver, while the chunk runs.
TEST_F(ParamDelivery, DeviceAnsweringDuringItsChunkKeepsItsReset) {
    constexpr std::uint64_t s_count = 200;
    crowd(s_count);
    receiver_beside devices(*s_redis);
    std::vector<std::string> answered;
    whole_cycle([&] {
        while (answered.size() < s_count) {
            const auto frame = receive();
            if (!frame)
                return;
            if (std::find(answered.begin(), answered.end(), frame->mac) == answered.end()) {
                devices.report(frame->mac, R"("em_alm": {"state": "CLEAR"})");
                answered.push_back(frame->mac);
            }
        }
    });
    ASSERT_EQ(answered.size(), s_count);
    std::size_t overwritten = 0;
    for (const auto& mac : answered) {
        const auto record = m_store->get_win(mac);
        overwritten += record.sending_time().tv_sec != 0 || record.sending_counter() != 0;
    }
    EXPECT_EQ(overwritten, 0u);
}

// Regression: Redis restarted (its data kept) while a cycle pushes a few hundred tags lost
// the push records that were held when the connection went, so the next cycle pushed those
// tags again within their pacing. Held writes that cannot have run now wait for the new
// connection: the next cycle, within the pacing, pushes exactly the tags the first one did
// not reach, and each tag gets its pushes once, booked once.
class StillClock : public ParamDelivery {
protected:
    StillClock() { m_frozen_time = timeval{1'900'000'000, 0}; }
};

TEST_F(StillClock, RedisRestartDuringACycleWritesNothingTwiceAndTheNextCycleHeals) {
    const auto macs = crowd(400);
    std::vector<node_command> frames;
    const auto cut = whole_cycle([&] {
        if (auto first = receive())
            frames.push_back(*first);
        s_redis->restart_keeping_data();
    });
    frames.insert(frames.end(), cut.begin(), cut.end());
    const auto healed = whole_cycle();
    frames.insert(frames.end(), healed.begin(), healed.end());
    std::map<std::string, list> pushed;
    for (const auto& frame : frames)
        pushed[frame.mac].push_back(frame.body());
    ASSERT_EQ(pushed.size(), macs.size());
    const auto& once = pushed.at(macs.front());
    EXPECT_EQ(std::set<std::string>(once.begin(), once.end()).size(), once.size());
    for (const auto& mac : macs) {
        EXPECT_EQ(pushed.at(mac), once) << mac;
        EXPECT_EQ(m_store->get_win(mac).sending_counter(), 1u) << mac;
    }
}

}  // namespace
}  // namespace delivery_test
