// A device's own parameter request: the answer frame (command 000F) built from the
// project in Redis, the payload encodings of every builder, and what happens to short,
// unknown and broken input.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <tuple>

#include "common/globals.h"
#include "mechparamreq_fixture.h"

namespace delivery_test {
namespace {

using namespace vyr::parameter;

class ParamRequest : public mech_param_req_test {};

// At start and after a refill the mirror is incomplete ("updated" is not true, as the
// fixture leaves it): requests were answered from it at once, with empty payloads. They
// are held and answered in arrival order once the mirror is complete. Regression: a
// device's second request replaced its first, whose parameters it then never got; one
// answer carries both (the first's order first, no number twice).
TEST_F(ParamRequest, HeldRequestsOfOneDeviceAreJoinedNotReplaced) {
    const object_def tag, other = tag.as("to-2", "70B3D5FFFE0B0009");
    logged("");
    send(request(tag.mac, {STATIONARY, CATEGORY}));
    send(request(tag.mac, {CATEGORY, SCR_GNAME}));
    send(request(other.mac, {CATEGORY}));
    ASSERT_TRUE(await_logged("parameter request of " + other.mac + " held"));
    for (const auto& object : {tag, other})
        put(object);
    const auto frames = fence();
    EXPECT_EQ(bodies(frames), (std::vector<std::string>{"000F5D01005E0101530100", "000F5E0101"}));
    EXPECT_EQ(frames.at(0).mac + frames.at(1).mac, tag.mac + other.mac);
}

// The mechanism on a 50-ms period, which a held request lives.
class ShortPeriod : public mech_param_req_test {
protected:
    ShortPeriod() { m_period = std::chrono::milliseconds(50); }
};

// A request is held for one period at most: the device asks again by then.
TEST_F(ShortPeriod, StaleHeldRequestIsDropped) {
    send(request("70B3D5FFFE0B0001", {CATEGORY}));
    ASSERT_TRUE(await_logged("held parameter request of 70B3D5FFFE0B0001 dropped"));
    m_store->updated(true);  // a request still held would be answered before the fence
    EXPECT_TRUE(fence().empty());
}

TEST_F(ParamRequest, StationaryPersonIsAnsweredInRequestOrderSkippingUnknownNumbers) {
    object_def person;
    person.stationary = true;
    put(person);
    send(request(person.mac, {STATIONARY, 5, CATEGORY}));
    const auto frames = fence();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(std::make_tuple(frames[0].body(), frames[0].mac), std::make_tuple("000F5D01015E0101", person.mac));
    // An answer is no push: the WIN's pacing is not touched.
    EXPECT_FALSE(m_store->get_win(person.mac).exists());
}

TEST_F(ParamRequest, HeaderOnlyRequestGetsAnEmptyAnswerAndStrayBytesAreIgnored) {
    put(object_def{});
    send(request("70B3D5FFFE0B0009", {}));  // another MAC: one request per MAC is held
    send(request("70B3D5FFFE0B0001", {CATEGORY}) + "\x01\x02\x03");
    EXPECT_EQ(bodies(fence()), (std::vector<std::string>{"000F", "000F5E0101"}));
}

TEST_F(ParamRequest, ShortRequestIsLoggedAndDropped) {
    logged("");
    send(request("70B3D5FFFE0B0001", {}).substr(0, 17));
    send(std::string(1, '\x07'));
    EXPECT_TRUE(fence().empty());
    EXPECT_EQ(logged("zmq_message.size() < sizeof(cmd_param_req_from_node_t)"), 2);
    // The thread goes on answering.
    send(request("70B3D5FFFE0B0001", {}));
    EXPECT_EQ(bodies(fence()), (std::vector<std::string>{"000F"}));
}

TEST_F(ParamRequest, EveryBuilderEncodesTheProject) {
    object_def announcer;
    announcer.stationary = true, announcer.haptic = true;
    announcer.role = "Announcer", announcer.pin = "pulse", announcer.name = "AB";
    announcer.buzzer = std::nullopt, announcer.safe_distance = std::nullopt;
    announcer.angle = 91, announcer.y = -2;
    announcer.no_alarm = {"70b3d5fffe0b0002"};
    put(announcer);
    m_store->get_sublocation("sl-1").update("prj-1", 7, 0, 0, 30);
    m_store->get_group("grp-1").update("prj-1", "G1");
    auto object = m_store->get_track_obj(announcer.uid);
    object.update_vehicle_model(7);
    object.update_driver_licenses({3, 1});
    m_store->get_alarm("al-1").update("emergency_button", 0, announcer.uid, std::nullopt, std::nullopt, std::nullopt,
                                      true);

    send(request(announcer.mac, {LOC, T2T_CFG, T2T_NO_ALARM, VEH_CERT, DRIVER_LIC, EM_ALM, SCR_NAME, SCR_GNAME,
                                 TDOA_SCHEDULE, SYNC_SLOT}));
    const auto frames = fence();
    ASSERT_EQ(frames.size(), 1u);
    // Location: x 500, y -2, z 120 + 30, sublocation z 30, sublocation 7. Configuration: announcer;
    // alarm back, pulse, haptic; delay 2; distance 500; angle 91 / 2; alert 800; safe distance missing.
    // A tag has no TDOA schedule and no sync slot: both are left out.
    EXPECT_EQ(frames[0].payloads,
              (std::vector<std::string>{"0912000001F4FFFFFFFE000000960000001E0007", "2B0B0219000201F42D03200000",
                                        "2C0870B3D5FFFE0B0002", "2E0107", "2F020103", "3C0101", "52024142", "53024731"}));
}

TEST_F(ParamRequest, MonitorAndOtherRolesEncodeTheirOwnLength) {
    object_def monitor;  // alarm back, solid pin, buzzer; delay 2
    put(monitor);
    auto other = monitor.as("to-2", "70B3D5FFFE0B0003"), none = monitor.as("to-3", "70B3D5FFFE0B0004");
    other.role = "disabled";
    put(other);
    none.t2t = false;
    none.no_alarm = {};
    put(none);
    send(request(monitor.mac, {T2T_CFG}));
    send(request(other.mac, {T2T_CFG}));
    send(request(none.mac, {T2T_CFG, T2T_NO_ALARM}));
    EXPECT_EQ(bodies(fence()), (std::vector<std::string>{"000F2B0401250002", "000F2B0100", "000F2B01002C0100"}));
}

// Regression: a builder that failed gave its empty form (an unreadable position went out
// as "no location", an unreadable tag as CLEAR, "disabled" and no names), which the
// device took as the project's value. Now what cannot be built is left out.
TEST_F(ParamRequest, BrokenRecordsAreLeftOutOfTheAnswerAndLogged) {
    object_def broken;
    broken.category = "forklift";                     // no code
    broken.no_alarm = {"70B3D5FFFE0B0002\" #win X"};  // would corrupt the command text: never chosen
    put(broken);
    redis({"HSET", "track_objs:to-1:from_server:fields", "position_x", "abc"});
    redis({"INCR", "mirror_version"});
    logged("");
    send(request(broken.mac, {LOC, T2T_NO_ALARM, CATEGORY, STATIONARY}));
    // A MAC without any object: every builder fails on its own.
    send(request("0011223344556677", {LOC, STATIONARY, CATEGORY, T2T_CFG, T2T_NO_ALARM, EM_ALM, SCR_NAME, SCR_GNAME,
                                      VEH_CERT, DRIVER_LIC}));
    // The object's position holds no number: the record is not read, and nothing is built
    // from it (no empty or made-up value goes out), said once.
    EXPECT_EQ(bodies(fence()), (std::vector<std::string>{"000F", "000F"}));
    EXPECT_EQ(logged("project record to-1 cannot be read"), 1);
    // Mended as a writer of the mirror would: with the version raised.
    redis({"HSET", "track_objs:to-1:from_server:fields", "position_x", "1"});
    redis({"INCR", "mirror_version"});
    send(request(broken.mac, {LOC, T2T_NO_ALARM, CATEGORY, STATIONARY}));
    EXPECT_EQ(bodies(fence()),
              (std::vector<std::string>{"000F091200000001FFFFFED4000000780000000000002C01005E01005D0100"}));
    EXPECT_EQ(logged("cannot be read"), 0);
}

// Regression guard: the pipe is read between the chunks of a cycle, so a device asking
// while a cycle over a few hundred tags runs is answered before the cycle's last push,
// not once the cycle is over. Sent once the cycle's first push is seen.
TEST_F(ParamRequest, RequestDuringACycleIsAnsweredBeforeTheCycleEnds) {
    const auto macs = crowd(400);
    const auto frames = whole_cycle([&] {
        ASSERT_TRUE(receive());
        send(request(macs.front(), {CATEGORY}));
    });
    const auto is_answer = [](const node_command& _frame) { return _frame.code == "000F"; };
    const auto answer = std::find_if(frames.begin(), frames.end(), is_answer);
    ASSERT_NE(answer, frames.end());
    EXPECT_EQ(answer->body(), "000F5E0101");
    EXPECT_TRUE(std::any_of(answer + 1, frames.end(), [](const node_command& _frame) { return _frame.code == "000E"; }))
        << "answered only after the cycle's last push";
}

// Regression: at most 4,096 requests were held while the mirror was incomplete, so at the
// start of a large site, where every device asks, most of them were pushed instead (a
// frame per parameter, each answered by a report). Every one is answered now, in chunks,
// with those that came meanwhile answered between the chunks.
TEST_F(ParamRequest, EveryRequestHeldAtStartIsAnswered) {
    // Tens of thousands are taken from the pipe while they are sent, the mirror incomplete.
    constexpr unsigned held = 60000;
    std::set<std::string> asked;
    for (unsigned i = 0; i < held; ++i) {
        asked.insert("70B3D5FF" + hex(i, 8));
        send(request("70B3D5FF" + hex(i, 8), {}));
    }
    m_store->updated(true);
    std::set<std::string> answered;
    while (answered.size() < asked.size())
        if (const auto frame = receive())
            answered.insert(frame->mac);
        else
            break;
    EXPECT_EQ(answered, asked);
}

// Regression: a Redis connection lost while a request was answered between the chunks of
// a cycle ended the cycle, and the devices after that point got nothing. Redis closes the
// mechanism's connection on a reply beyond the limit set here: the request of a device
// outside the project whose record holds a 2 MB em_alm report (which an answer reads and
// a pass does not read of such a device) loses its answer, and nothing more.
TEST_F(ParamRequest, ConnectionLostAnsweringBetweenChunksEndsThatAnswerNotThePass) {
    object_def big;
    big.mac = "70B3D5FFFE0D0001";
    device(big.mac).parameter_as_json(EM_ALM, vyr::context::win::actual, std::string(2000000, 'n'));
    std::set<std::string> tags;
    for (unsigned i = 0; i < 60; ++i) {
        const auto tag = object_def{}.as("to-" + std::to_string(i + 2), "70B3D5FFFE0C" + hex(i, 4));
        put(tag);
        tags.insert(device(tag.mac).mac_addr());
    }
    redis({"CONFIG", "SET", "client-output-buffer-limit", "normal 1000000 0 0"});
    m_store->updated(true);
    logged("");
    send(std::string(1, static_cast<char>(vyr::cmd::notified)));
    send(request(big.mac, {EM_ALM}));  // taken at the 50th tag of the cycle's first pass
    auto frames = fence();               // answered with it; the pass goes on...
    for (int more = 0; more < 2; ++more) {  // ...to the 50th WIN, then to its end
        const auto next = fence();
        frames.insert(frames.end(), next.begin(), next.end());
    }
    redis({"CONFIG", "SET", "client-output-buffer-limit", "normal 0 0 0"});
    std::set<std::string> reached;
    for (const auto& frame : frames) {
        reached.insert(frame.mac);
        EXPECT_FALSE(frame.mac == big.mac && frame.code == "000F") << "the big record's request was answered";
    }
    reached.erase(big.mac);  // cleared, as a device outside the project is
    EXPECT_EQ(reached, tags);  // every other tag pushed, no answer to the big one
    EXPECT_EQ(logged("1 parameter request(s) not answered, the Redis connection was lost"), 1);
}

}  // namespace
}  // namespace delivery_test
