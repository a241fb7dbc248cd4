// The device simulator on its own, with the test in the place of the service: its cutting
// of node commands, what the simulated devices send at start and in answer to commands
// (reports, unsupported and ignored parameters, sleep confirmations, silent devices,
// heartbeats), and the program's stats file and clean stop on SIGTERM.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>
#include <zmq.hpp>

#include "core/json.h"
#include "device_sim.h"
#include "support/process.h"
#include "support/sim_site.h"

namespace {

using namespace std::chrono_literals;

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

// The payloads' decoding is checked by the demo-site tests, where what the devices hold
// must be what the project says.
TEST(DeviceCodec, FramesOfTheSenderAreCutIntoTheirPartsAndMalformedOnesRefused) {
    const auto c = vyr::devsim::parse_win_frame("#win 080E050008000F5D01015E01010011223344556677");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->seq, 5u);
    EXPECT_EQ(c->code, "000F");
    EXPECT_EQ(c->payloads, (std::vector<std::string>{"5D0101", "5E0101"}));
    EXPECT_EQ(c->mac, "0011223344556677");
    EXPECT_EQ(c->body(), "000F5D01015E0101");
    const auto empty = vyr::devsim::parse_win_frame("#win 080E010002000F0011223344556677");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->payloads.empty());
    for (const char* frame : {"#win 080E050006000E3C01010011223344556677",   // length says 6 bytes
                              "#win 080E050005000E3C02010011223344556677",   // payload runs past the body
                              "#alarm 080E050005000E3C01010011223344556677",  // another topic
                              "#win 080E05000", "#win 080EZZ0005000E3C01010011223344556677"})
        EXPECT_FALSE(vyr::devsim::parse_win_frame(frame)) << frame;
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

    // Every frame published before the answer to a push to `_fence` (an answering device),
    // which the simulator handles after every push before it.
    std::vector<std::string> until_fence(const std::string& _fence) {
        push("#win 080EFF0005000E5D0101" + _fence);
        std::vector<std::string> frames;
        for (std::string frame = next(); !frame.empty(); frame = next()) {
            if (frame.rfind("#param_p", 0) == 0 && text(body(frame, "#param_p")["plist"]) == R"({"stationary":true})" &&
                body(frame, "#param_p")["mac"] == _fence)
                break;
            frames.push_back(frame);
        }
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
    const std::vector<std::string> rest = {next(), next(), next()};
    EXPECT_EQ(body(rest[2], "#notify")["mac"], silent) << "NA and request of the second tag, NA of the silent one";

    // A push: what the device applies is reported back; the ignored name is not.
    push("#win 080E01000D000E52024142530243445D0101" + first);
    auto answers = until_fence(second);
    ASSERT_EQ(answers.size(), 1u);
    const auto report = body(answers[0], "#param_p");
    EXPECT_FALSE(report.isMember("req_plist"));
    EXPECT_EQ(text(report["plist"]), R"({"scr_gname":"CD","stationary":true})");
    EXPECT_GE(report["ts"].asInt64() * 1000 + report["ms"].asInt(),
              request["ts"].asInt64() * 1000 + request["ms"].asInt());
    // Only the ignored parameter: no answer at all, so the service's series goes on.
    push("#win 080E020006000E52024142" + first);
    EXPECT_TRUE(until_fence(second).empty());
    EXPECT_EQ(m_sim->device(first).count_received("000E", "52"), 2u);
    EXPECT_EQ(text(m_sim->device(first).values["scr_name"]), "null");

    // A sleep command is confirmed with a hardware report of event 47.
    push("#win 080E03000A000E4706000A00000E10" + second);
    answers = until_fence(first);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0], "#hw_report 010E010000000E47" + second);
    // The silent device takes commands but never answers.
    push("#win 080E03000A000E4706000A00000E10" + silent);
    push("#win 080E040005000E5D0101" + silent);
    EXPECT_TRUE(until_fence(first).empty());
    EXPECT_TRUE(m_sim->device(silent).sleep);
    EXPECT_EQ(text(m_sim->device(silent).values["stationary"]), "true");

    // restart() and heartbeat() speak for a device on demand.
    m_sim->heartbeat(second);
    m_sim->restart(first);
    answers = {next(), next(), next()};
    EXPECT_EQ(body(answers[0], "#notify")["action"], "HB");
    EXPECT_EQ(body(answers[1], "#notify")["action"], "NA");
    EXPECT_TRUE(body(answers[2], "#param_p").isMember("req_plist"));

    const auto s = m_sim->stats();
    EXPECT_EQ(s.devices, 3u);
    EXPECT_EQ(s.commands, 9u);  // five and four fences
    EXPECT_EQ(s.payloads, 11u);
    EXPECT_EQ(s.requests, 3u);
    EXPECT_EQ(s.reports, 5u);
    EXPECT_EQ(s.announcements, 5u);
    EXPECT_EQ(s.sleep_confirmations, 1u);
}

// ---- the program ---------------------------------------------------------------------------

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
