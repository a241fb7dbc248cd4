// The road of a sleep order through the built service: a "#srv_conf" order published on
// the proxy output becomes repeated "#win" sleep commands at the gateway input for the
// anchors the platform stand-in lists, and a "#hw_report" confirming code 47 stops the
// commands for that anchor while the other one goes on.
#include <chrono>
#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <json/json.h>
#include <zmq.hpp>

#include "core/json.h"
#include "support/platform_server.h"
#include "support/process.h"
#include "support/redis_server.h"

namespace {

// Anchors of the sample project (project prj-demo, location loc-site).
const std::string s_mac1 = "70B3D5FFFE0A0001";
const std::string s_mac2 = "70B3D5FFFE0A0002";

struct sleep_cmd {
    std::string mac;
    unsigned wait = 0;
    unsigned long sleep = 0;
};

// A "#win" frame carrying only a sleep payload; other node commands give nothing.
std::optional<sleep_cmd> as_sleep_cmd(const std::string& _frame) {
    if (_frame.size() != 9 + 2 + 4 + 20 + 16 || _frame.compare(0, 9, "#win 080E") != 0 ||
        _frame.compare(11, 12, "000A000E4706") != 0)
        return std::nullopt;
    return sleep_cmd{_frame.substr(35), static_cast<unsigned>(std::stoul(_frame.substr(23, 4), nullptr, 16)),
                     std::stoul(_frame.substr(27, 8), nullptr, 16)};
}

TEST(SleepRoad, OrderOnTheProxyIsRepeatedUntilTheHardwareReportConfirmsIt) {
    const std::string binary = test::binary("rtls-quorvane");
    ASSERT_TRUE(test::file_exists(binary)) << binary << " is not built";
    test::redis_server redis;
    test::platform_server platform({}, true);
    test::temp_dir files;

    zmq::context_t context(1);
    const int output_port = test::free_port();
    const int input_port = test::free_port();
    zmq::socket_t proxy_output(context, zmq::socket_type::xpub);  // sees the subscriptions
    proxy_output.set(zmq::sockopt::linger, 0);
    proxy_output.set(zmq::sockopt::rcvtimeo, 20000);
    proxy_output.bind("tcp://127.0.0.1:" + std::to_string(output_port));
    zmq::socket_t gateway(context, zmq::socket_type::pull);
    gateway.set(zmq::sockopt::linger, 0);
    gateway.set(zmq::sockopt::rcvtimeo, 20000);
    gateway.bind("tcp://127.0.0.1:" + std::to_string(input_port));

    Json::Value config;
    config["system"]["pidfile"] = files.file("rtls-quorvane.pid");
    config["system"]["debug_port"] = "tcp://127.0.0.1:" + std::to_string(test::free_port());
    config["system"]["local_debug"] = false;
    config["proxy"]["address"] = "127.0.0.1";
    config["proxy"]["output_port"] = output_port;
    config["proxy"]["input_port"] = input_port;
    config["server"]["protocol"] = "http";
    config["server"]["address"] = "127.0.0.1";
    config["server"]["port"] = platform.port();
    config["redis"]["address"] = redis.host();
    config["redis"]["port"] = redis.port();
    test::write_file(files.file("config.json"), vyr::libs::core::json::to_string(config));
    test::process::options options;
    options.stderr_path = files.file("stderr.txt");
    test::process service(binary, {"-c", files.file("config.json")}, options);

    // Publish only once the service has subscribed to both topics of the road.
    bool srv_conf = false, hw_report = false;
    while (!(srv_conf && hw_report)) {
        zmq::message_t subscription;
        ASSERT_TRUE(proxy_output.recv(subscription)) << "the service never subscribed to the proxy (running: " << service.running()
                                                 << "); " << test::read_file(options.stderr_path);
        const std::string text = subscription.to_string();
        srv_conf = srv_conf || text == "\x01#srv_conf";
        hw_report = hw_report || text == "\x01#hw_report";
    }

    const std::string order = R"(#srv_conf {"jsonrpc": "2.0", "method": "set", "id": "7", "params": {
        "entity": "schedule_sleep", "data": {"project_uid": "prj-demo", "location_uid": "loc-site",
        "delay": "60", "duration": "1h"}}})";
    ASSERT_TRUE(proxy_output.send(zmq::buffer(order), zmq::send_flags::none));

    // The next sleep command at the gateway; other node commands are skipped.
    auto next_sleep_cmd = [&]() -> sleep_cmd {
        for (;;) {
            zmq::message_t frame;
            if (!gateway.recv(frame)) {
                ADD_FAILURE() << "no sleep command reached the gateway";
                return {};
            }
            if (auto c = as_sleep_cmd(frame.to_string()))
                return *c;
        }
    };

    sleep_cmd first = next_sleep_cmd();
    ASSERT_EQ(first.mac, s_mac1);  // anc-1 comes first in key order
    EXPECT_EQ(first.sleep, 3600u);
    EXPECT_LE(first.wait, 60u);
    EXPECT_GT(first.wait, 50u);

    const std::string report = "#hw_report 010E010000000E47" + s_mac1;
    ASSERT_TRUE(proxy_output.send(zmq::buffer(report), zmq::send_flags::none));

    // Every pass sends at most one command and anc-1 is due before anc-2, so a command
    // for anc-2 from a later round with none for anc-1 before it shows that anc-1 stopped.
    for (;;) {
        const sleep_cmd c = next_sleep_cmd();
        ASSERT_NE(c.mac, s_mac1) << "command repeated after the confirmation";
        ASSERT_EQ(c.mac, s_mac2);
        if (c.wait + 3 <= first.wait)
            break;
    }

    ASSERT_TRUE(service.signal(SIGTERM));
    const auto status = service.wait(std::chrono::seconds(20));
    ASSERT_TRUE(status) << "no exit after SIGTERM";
    EXPECT_TRUE(status->exited);
    EXPECT_EQ(status->code, 0) << test::read_file(options.stderr_path);
}

}  // namespace
