// The device simulator on its own, with the test in the place of the service: its
// decoding of node commands (the frames and payloads the service sends), what the
// simulated devices send at start and in answer to commands (reports, unsupported
// parameters, ignored parameters, sleep confirmations, silent and dropping devices,
// heartbeats, unsolicited reports), and the command-line program's contract (options,
// stats file, clean stop on SIGTERM).
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>
#include <zmq.hpp>

#include "core/json.h"
#include "device_sim.h"
#include "support/process.h"
#include "support/redis_server.h"
#include "support/sim_site.h"

namespace {

using namespace std::chrono_literals;
using vyr::devsim::decode_payload;
using vyr::devsim::decoded_payload;

std::string text(const Json::Value& _value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, _value);
}

Json::Value json(const std::string& _text) {
    const auto parsed = vyr::libs::core::json::try_parse(_text);
    EXPECT_TRUE(parsed.ok) << _text;
    return parsed.result;
}

// ---- the codec -----------------------------------------------------------------------------

TEST(DeviceCodec, FrameOfTheSenderIsCutIntoItsParts) {
    const auto c = vyr::devsim::parse_win_frame("#win 080E050005000E3C01010011223344556677");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->seq, 5u);
    EXPECT_EQ(c->code, "000E");
    EXPECT_EQ(c->payloads, std::vector<std::string>{"3C0101"});
    EXPECT_EQ(c->mac, "0011223344556677");
    const auto answer = vyr::devsim::parse_win_frame("#win 080EFF0008000F5D01015E01010011223344556677");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->body(), "000F5D01015E0101");
    const auto empty = vyr::devsim::parse_win_frame("#win 080E010002000F0011223344556677");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->payloads.empty());
}

TEST(DeviceCodec, MalformedFramesAreRefused) {
    for (const char* frame : {"#win 080E050006000E3C01010011223344556677",   // length says 6 bytes
                              "#win 080E050005000E3C02010011223344556677",   // payload runs past the body
                              "#alarm 080E050005000E3C01010011223344556677",  // another topic
                              "#win 080E05000", "#win 080EZZ0005000E3C01010011223344556677"})
        EXPECT_FALSE(vyr::devsim::parse_win_frame(frame)) << frame;
}

TEST(DeviceCodec, PayloadsDecodeIntoTheReportForm) {
    const auto partner = decode_payload("161205C104001A2BFFFFFFFF000000000000012C");
    ASSERT_EQ(partner.kind, decoded_payload::value);
    EXPECT_EQ(partner.name, "tdoa_schedule");
    EXPECT_EQ(text(partner.json),
              R"([{"addr":"1A2B","dim":1,"et":2,"margin":1000,"sect":1,"slot":5,"x":-1,"y":0,"z":300}])");
    const struct {
        const char* payload;
        const char* name;
        const char* json;
    } cases[] = {
        {"3C0101", "em_alm", R"({"state":"SET"})"},
        {"3C0100", "em_alm", R"({"state":"CLEAR"})"},
        {"52024142", "scr_name", R"("AB")"},
        {"520100", "scr_name", "null"},
        {"5407576F726B657273", "scr_message", R"("Workers")"},
        {"540100", "scr_message", R"("")"},
        {"2E0107", "veh_cert", R"({"id":7})"},
        {"2F020103", "driver_lic", R"([{"id":1},{"id":3}])"},
        {"2F0100", "driver_lic", "[]"},
        {"2C0870B3D5FFFE0B0002", "t2t_no_alarm", R"([{"mac":"70B3D5FFFE0B0002"}])"},
        {"2B0401250002", "t2t_cfg", R"({"alarm_back":true,"buzzer":true,"delay":2,"haptic":false,"pin":"SOLID","role":"monitor"})"},
        {"2B0B021800050190460320012C", "t2t_cfg",
         R"({"alarm_back":false,"alert_distance":800,"angle":140,"buzzer":false,"delay":5,"distance":400,"haptic":true,"pin":"PULSE","role":"announcer","safe_distance":300})"},
        {"2B0100", "t2t_cfg", R"({"role":"disabled"})"},
        {"5D0101", "stationary", "true"},
        {"5E0102", "category", R"("vehicle")"},
        {"5E0100", "category", R"("unspecified")"},
        {"0912000001F4FFFFFED4000000F0000000280007", "loc", R"({"sl_id":7,"sl_z":40,"x":500,"y":-300,"z":240})"},
        {"18041001FF00", "sync_slot", R"({"addr":"1001","flags":"00","slot":255})"},
        {"1406100100000102", "sf", R"({"addr":"1001"})"},
        {"3501", "", ""},  // length 1 without its byte: refused below
        {"081902000300000000000000000000000000000000000000000000", "al_zv", R"({"level":2,"zid":3})"},
    };
    for (const auto& c : cases) {
        const auto d = decode_payload(c.payload);
        if (std::string(c.name).empty()) {
            EXPECT_EQ(d.kind, decoded_payload::unknown) << c.payload;
            continue;
        }
        ASSERT_EQ(d.kind, decoded_payload::value) << c.payload;
        EXPECT_EQ(d.name, c.name) << c.payload;
        EXPECT_EQ(text(d.json), c.json) << c.payload;
    }
    const auto query = decode_payload("3500");
    EXPECT_EQ(query.kind, decoded_payload::query);
    EXPECT_EQ(query.name, "nwk_cfg");
    const auto sleep = decode_payload("4706000A00000E10");
    ASSERT_EQ(sleep.kind, decoded_payload::sleep);
    EXPECT_EQ(sleep.sleep_cmd.wait, 10u);
    EXPECT_EQ(sleep.sleep_cmd.period, 3600u);
    for (const char* bad : {"0B0100", "09040000", "16030102", "4701", "3C", "3C02"})
        EXPECT_EQ(decode_payload(bad).kind, decoded_payload::unknown) << bad;
}

TEST(DeviceCodec, IgnoredAndUnsupportedParametersShowInTheAnswer) {
    vyr::devsim::device_state device(vyr::devsim::device_kind::tag, {"scr_name"}, {"stationary"});
    const auto outcome = device.apply({"52024142", "5D0101", "5E0101", "3500", "0B0100"});
    EXPECT_EQ(text(outcome.report), R"({"category":"person","nwk_cfg":{"router":false},"stationary":null})");
    EXPECT_EQ(outcome.ignored, std::vector<std::string>{"scr_name"});
    EXPECT_EQ(outcome.unknown, std::vector<std::string>{"0B0100"});
    EXPECT_EQ(text(device.value("scr_name")), "null");
    EXPECT_EQ(text(device.value("stationary")), "null");
    const Json::Value request = device.request_list();
    EXPECT_EQ(text(request),
              R"(["em_alm","scr_name","scr_gname","t2t_cfg","t2t_no_alarm","veh_cert","driver_lic","category","loc"])");
    EXPECT_TRUE(device.full_report()["stationary"].isNull());
    EXPECT_FALSE(device.full_report().isMember("al_zv"));
}

// ---- the simulator without a service -------------------------------------------------------

// The test stands where the service would: a SUB socket on the simulator's output and a
// PUSH socket on its input.
class DeviceSimAlone : public ::testing::Test {
protected:
    void start(vyr::devsim::sim_options _options) {
        const int output = test::free_port(), input = test::free_port();
        _options.project_dir = test::sim_site::demo_project();
        _options.publish = "tcp://127.0.0.1:" + std::to_string(output);
        _options.collect = "tcp://127.0.0.1:" + std::to_string(input);
        m_sim = std::make_unique<vyr::devsim::device_sim>(_options);
        m_sim->start();
        m_sub.set(zmq::sockopt::linger, 0);
        m_sub.set(zmq::sockopt::rcvtimeo, 10000);
        for (const char* topic : {"#notify", "#param_p", "#hw_report"})
            m_sub.set(zmq::sockopt::subscribe, topic);
        m_sub.connect(_options.publish);
        m_push.set(zmq::sockopt::linger, 0);
        m_push.connect(_options.collect);
    }

    // The next frame the simulator published; "" after 10 s.
    std::string next() {
        zmq::message_t frame;
        if (!m_sub.recv(frame)) {
            ADD_FAILURE() << "nothing published";
            return "";
        }
        return frame.to_string();
    }

    // Every frame until nothing comes for `_quiet`.
    std::vector<std::string> drain(std::chrono::milliseconds _quiet = 300ms) {
        std::vector<std::string> frames;
        m_sub.set(zmq::sockopt::rcvtimeo, static_cast<int>(_quiet.count()));
        for (zmq::message_t frame; m_sub.recv(frame);)
            frames.push_back(frame.to_string());
        m_sub.set(zmq::sockopt::rcvtimeo, 10000);
        return frames;
    }

    void push(const std::string& _frame) { (void)m_push.send(zmq::buffer(_frame), zmq::send_flags::none); }

    static Json::Value body(const std::string& _frame, const std::string& _topic) {
        EXPECT_EQ(_frame.compare(0, _topic.size() + 1, _topic + " "), 0) << _frame;
        return json(_frame.substr(_topic.size() + 1));
    }

    zmq::context_t m_zmq{1};
    zmq::socket_t m_sub{m_zmq, zmq::socket_type::sub};
    zmq::socket_t m_push{m_zmq, zmq::socket_type::push};
    std::unique_ptr<vyr::devsim::device_sim> m_sim;
};

TEST_F(DeviceSimAlone, DevicesAnnounceAndRequestOnceSubscribedAndAnswerWhatTheyApply) {
    vyr::devsim::sim_options options;
    options.devices = 3;  // to-0001, to-0002, to-0003
    options.ignore = {vyr::devsim::parse_rule("1:scr_name")};
    options.unsupported = {vyr::devsim::parse_rule("2:category")};
    options.silent = 1;
    options.heartbeat = 0;
    start(options);
    ASSERT_EQ(m_sim->macs().size(), 3u);
    const std::string first = m_sim->macs()[0], second = m_sim->macs()[1], silent = m_sim->macs()[2];

    // Start-up: each device announces itself, then the answering ones request everything.
    const auto na = body(next(), "#notify");
    EXPECT_EQ(na["object"], "TO");
    EXPECT_EQ(na["action"], "NA");
    EXPECT_EQ(na["mac"], first);
    EXPECT_EQ(na["dev_id"], "to-0001");
    const auto request = body(next(), "#param_p");
    EXPECT_EQ(request["mac"], first);
    EXPECT_TRUE(request["ts"].isInt64() && request["ms"].isInt());
    EXPECT_TRUE(request["plist"]["category"].isNull()) << "unsupported parameters are reported as null";
    EXPECT_EQ(request["plist"]["scr_name"], Json::Value());
    EXPECT_EQ(text(request["plist"]["t2t_cfg"]), R"({"role":"disabled"})");
    EXPECT_EQ(request["req_plist"].size(), 9u);  // the tag's ten requestable names but category
    std::vector<std::string> rest = drain();
    ASSERT_EQ(rest.size(), 3u) << "NA and request of the second tag, NA of the silent one";
    EXPECT_EQ(body(rest[2], "#notify")["mac"], silent);

    // A push: what the device applies is reported back; the ignored name is not.
    push("#win 080E01000D000E52024142530243445D0101" + first);
    auto answers = drain();
    ASSERT_EQ(answers.size(), 1u);
    const auto report = body(answers[0], "#param_p");
    EXPECT_FALSE(report.isMember("req_plist"));
    EXPECT_EQ(text(report["plist"]), R"({"scr_gname":"CD","stationary":true})");
    EXPECT_GE(report["ts"].asInt64() * 1000 + report["ms"].asInt(),
              request["ts"].asInt64() * 1000 + request["ms"].asInt());
    // Only the ignored parameter: no answer at all, so the service's series goes on.
    push("#win 080E020006000E52024142" + first);
    EXPECT_TRUE(drain().empty());
    EXPECT_EQ(m_sim->device(first).count_received("000E", "52"), 2u);
    EXPECT_EQ(text(m_sim->device(first).values["scr_name"]), "null");

    // A sleep command is confirmed with a hardware report of event 47.
    push("#win 080E03000A000E4706000A00000E10" + second);
    answers = drain();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0], "#hw_report 010E010000000E47" + second);
    // The silent device takes commands but never answers.
    push("#win 080E03000A000E4706000A00000E10" + silent);
    push("#win 080E040005000E5D0101" + silent);
    EXPECT_TRUE(drain().empty());
    EXPECT_TRUE(m_sim->device(silent).sleep);
    EXPECT_EQ(text(m_sim->device(silent).values["stationary"]), "true");

    // restart() and heartbeat() speak for a device on demand.
    m_sim->heartbeat(second);
    m_sim->restart(first);
    answers = drain();
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_EQ(body(answers[0], "#notify")["action"], "HB");
    EXPECT_EQ(body(answers[1], "#notify")["action"], "NA");
    EXPECT_TRUE(body(answers[2], "#param_p").isMember("req_plist"));

    const auto s = m_sim->stats();
    EXPECT_EQ(s.devices, 3u);
    EXPECT_EQ(s.commands, 5u);
    EXPECT_EQ(s.payloads, 7u);
    EXPECT_EQ(s.requests, 3u);
    EXPECT_EQ(s.reports, 1u);
    EXPECT_EQ(s.announcements, 5u);
    EXPECT_EQ(s.sleep_confirmations, 1u);
}

TEST_F(DeviceSimAlone, DroppedCommandsAreNeverAnsweredAndTimersKeepTheirRates) {
    vyr::devsim::sim_options options;
    options.devices = 2;
    options.drop_percent = 100;
    options.heartbeat = 1;
    options.report_rate = 4;
    start(options);
    const std::string first = m_sim->macs()[0];
    (void)next();  // the first announcement: the devices have started
    const auto from = std::chrono::steady_clock::now();
    push("#win 080E010005000E5D0101" + first);
    std::size_t heartbeats = 0, reports = 0;
    while (std::chrono::steady_clock::now() - from < 2500ms) {
        const std::string frame = next();
        if (frame.rfind("#notify", 0) == 0 && body(frame, "#notify")["action"] == "HB")
            ++heartbeats;
        else if (frame.rfind("#param_p", 0) == 0 && !body(frame, "#param_p").isMember("req_plist"))
            ++reports;
    }
    // Two devices, one heartbeat a second and four reports a second each, over 2.5 s.
    EXPECT_GE(heartbeats, 2u);
    EXPECT_LE(heartbeats, 6u);
    EXPECT_GE(reports, 12u);
    EXPECT_LE(reports, 24u);
    const auto d = m_sim->device(first);
    ASSERT_EQ(d.received.size(), 1u);
    EXPECT_TRUE(d.received[0].dropped);
    EXPECT_EQ(text(d.values["stationary"]), "false");
}

// ---- the program ---------------------------------------------------------------------------

TEST(DeviceSimProgram, RefusesBadOptions) {
    const std::string program = test::binary("quorvane-device-sim");
    const std::string project = test::sim_site::demo_project();
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--project", project, "--publish", "tcp://127.0.0.1:1"},
             {"--project", project, "--publish", "tcp://127.0.0.1:1", "--collect", "tcp://127.0.0.1:2", "--ignore", "x"},
             {"--project", project, "--publish", "tcp://127.0.0.1:1", "--collect", "tcp://127.0.0.1:2", "--ignore",
              "2:no_such_parameter"},
             {"--project", project, "--publish", "tcp://127.0.0.1:1", "--collect", "tcp://127.0.0.1:2", "--drop", "120"},
             {"--bogus"}}) {
        test::process sim(program, args);
        const auto status = sim.wait(10s);
        ASSERT_TRUE(status);
        EXPECT_TRUE(status->exited && status->code == 2) << args.back();
    }
}

TEST(DeviceSimProgram, WritesItsStatsAndStopsCleanlyOnSigterm) {
    test::temp_dir dir;
    const std::string stats = dir.file("stats.json");
    test::process::options run;
    run.stderr_path = dir.file("stderr");
    test::process sim(test::binary("quorvane-device-sim"),
                      {"--project", test::sim_site::demo_project(), "--publish",
                       "tcp://127.0.0.1:" + std::to_string(test::free_port()), "--collect",
                       "tcp://127.0.0.1:" + std::to_string(test::free_port()), "--devices", "20", "--stats", stats,
                       "--seed", "3"},
                      run);
    ASSERT_TRUE(test::wait_until([&] { return test::file_exists(stats); }, 10s)) << test::read_file(run.stderr_path);
    const auto counters = json(test::read_file(stats));
    std::vector<std::string> keys = counters.getMemberNames();
    EXPECT_EQ(keys, (std::vector<std::string>{"announcements", "commands", "devices", "elapsed", "payloads",
                                              "reports", "requests", "sleep_confirmations"}));
    EXPECT_EQ(counters["devices"], 20);
    EXPECT_EQ(counters["announcements"], 0) << "no subscriber yet: nobody announced";
    ASSERT_TRUE(sim.signal(SIGTERM));
    const auto status = sim.wait(10s);
    ASSERT_TRUE(status) << "no end after SIGTERM";
    EXPECT_TRUE(status->exited);
    EXPECT_EQ(status->code, 0) << test::read_file(run.stderr_path);
}

}  // namespace
