// The device simulator on its own: its cutting of node commands (the delivery tests read
// every frame with it) and the program's stats file and clean stop on SIGTERM. How the
// simulated devices answer (reports, ignored and unsupported parameters, silent devices,
// sleep confirmations, announcements) is what the demo-site tests rest on: a device that
// answered wrongly would keep the site from settling or fail their counts.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "core/json.h"
#include "device_sim.h"
#include "support/process.h"
#include "support/redis_server.h"
#include "support/sim_site.h"

namespace {

using namespace std::chrono_literals;

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
