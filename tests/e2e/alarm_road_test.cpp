// The roads of a zone alarm and of an anchor's TDOA configuration through the built
// service, run on the sample project: frames published on the proxy output, Redis as
// the service keeps it, and the node commands that reach the gateway input.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>
#include <zmq.hpp>

#include "context/context.h"
#include "core/json.h"
#include "parameters/parameters.h"
#include "redis/database.h"
#include "support/platform_server.h"
#include "support/process.h"
#include "support/redis_server.h"

namespace {

const std::string s_tag = "70B3D5FFFE0B0002";  // to-worker-2: no alarm in the sample project
const std::string s_fence = "FFFFFFFFFFFF0001";

// One "#win" frame: its command code ("000E" pushed, "000F" answer), payloads and MAC.
struct node_command {
    std::string code;
    std::vector<std::string> payloads;
    std::string mac;

    bool has(const std::string& _type) const {
        for (const auto& p : payloads)
            if (p.compare(0, 2, _type) == 0)
                return true;
        return false;
    }
};

std::optional<node_command> parse(const std::string& _frame) {
    if (_frame.compare(0, 9, "#win 080E") != 0 || _frame.size() < 15)
        return std::nullopt;
    const std::string command = _frame.substr(5);
    const std::size_t length = std::stoul(command.substr(6, 4), nullptr, 16) * 2;
    if (command.size() != 10 + length + 16)
        return std::nullopt;
    node_command c{command.substr(10, 4), {}, command.substr(10 + length)};
    for (std::size_t at = 14; at + 4 <= 10 + length;) {
        const std::size_t size = 4 + std::stoul(command.substr(at + 2, 2), nullptr, 16) * 2;
        c.payloads.push_back(command.substr(at, size));
        at += size;
    }
    return c;
}

class alarm_road : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(test::file_exists(m_binary)) << m_binary << " is not built";
        m_platform = std::make_unique<test::platform_server>(std::vector<std::string>{}, true);
        m_output.set(zmq::sockopt::linger, 0);
        m_output.set(zmq::sockopt::rcvtimeo, 20000);
        m_output.bind("tcp://127.0.0.1:" + std::to_string(m_output_port));
        m_gateway.set(zmq::sockopt::linger, 0);
        m_gateway.set(zmq::sockopt::rcvtimeo, 20000);  // a lost frame fails instead of hanging
        m_gateway.bind("tcp://127.0.0.1:" + std::to_string(m_input_port));

        Json::Value config;
        config["system"]["pidfile"] = m_files.file("rtls-quorvane.pid");
        config["system"]["debug_port"] = "tcp://127.0.0.1:" + std::to_string(test::free_port());
        config["system"]["local_debug"] = false;
        config["proxy"]["address"] = "127.0.0.1";
        config["proxy"]["output_port"] = m_output_port;
        config["proxy"]["input_port"] = m_input_port;
        config["server"]["protocol"] = "http";
        config["server"]["address"] = "127.0.0.1";
        config["server"]["port"] = m_platform->port();
        config["redis"]["address"] = m_redis.host();
        config["redis"]["port"] = m_redis.port();
        test::write_file(m_files.file("config.json"), vyr::libs::core::json::to_string(config));
        test::process::options options;
        options.stderr_path = m_files.file("stderr.txt");
        m_service = std::make_unique<test::process>(m_binary, std::vector<std::string>{"-c", m_files.file("config.json")},
                                                    options);

        // Publish only once the service subscribed to both topics and mirrored the project.
        bool alarm = false, param_p = false;
        while (!(alarm && param_p)) {
            zmq::message_t subscription;
            ASSERT_TRUE(m_output.recv(subscription)) << "no subscription; " << test::read_file(options.stderr_path);
            alarm = alarm || subscription.to_string() == "\x01#alarm";
            param_p = param_p || subscription.to_string() == "\x01#param_p";
        }
        ASSERT_TRUE(test::wait_until([&] { return m_redis.command({"GET", "updated"}) == "true"; },
                                     std::chrono::seconds(30)));
        m_store = std::make_unique<vyr::context::context>(vyr::redis::service_database, m_redis.host(), m_redis.port());
    }

    void TearDown() override {
        if (m_service) {
            m_service->signal(SIGTERM);
            EXPECT_TRUE(m_service->wait(std::chrono::seconds(20))) << "no exit after SIGTERM";
        }
    }

    void publish(const std::string& _frame) { ASSERT_TRUE(m_output.send(zmq::buffer(_frame), zmq::send_flags::none)); }

    // A report (and request) of a device, stamped later than the one before.
    void report(const std::string& _mac, const std::string& _plist, const std::string& _req_plist = "") {
        std::string body = R"({"mac":")" + _mac + R"(","ts":)" + std::to_string(++m_ts) + R"(,"ms":0)";
        if (!_plist.empty())
            body += R"(,"plist":)" + _plist;
        if (!_req_plist.empty())
            body += R"(,"req_plist":)" + _req_plist;
        publish("#param_p" + body + "}");
    }

    // An alarm on the proxy; every one wakes the mechanism for a cycle at once.
    void alarm(const std::string& _uid, const std::string& _name, const std::string& _obj_uid,
               const std::string& _info) {
        publish(R"(#alarm{"uid":")" + _uid + R"(","alarm_name":")" + _name + R"(","obj_uid":")" + _obj_uid +
                R"(","state":"set","acknowledged":0,"additional_info":)" + _info + "}");
    }

    std::optional<node_command> next() {
        zmq::message_t frame;
        if (!m_gateway.recv(frame)) {
            ADD_FAILURE() << "no frame reached the gateway";
            return std::nullopt;
        }
        return parse(frame.to_string());
    }

    // The next command to `_mac` that carries a payload of `_type`.
    std::optional<node_command> next_with(const std::string& _mac, const std::string& _type) {
        while (auto c = next())
            if (c->mac == _mac && c->has(_type))
                return c;
        return std::nullopt;
    }

    // Every command sent before the answer to a request the service handles after all
    // that was published so far (the receiver and the mechanism keep the order).
    std::vector<node_command> until_fence() {
        report(s_fence, "", "[]");
        std::vector<node_command> commands;
        while (auto c = next()) {
            if (c->mac == s_fence)
                break;
            commands.push_back(*c);
        }
        return commands;
    }

    // Every command up to the end of a cycle that runs after all published so far (an
    // alarm wakes the mechanism). Fails unless that cycle found `_mac` due: it was sent
    // something (its parameters), just not `_type`.
    std::vector<node_command> next_cycle_to(const std::string& _mac, const std::vector<std::string>& _types) {
        alarm("alm-8", "emergency_button", "to-forklift-1", R"({"text":"Help"})");
        auto commands = until_fence();
        bool due = false;
        for (const auto& c : commands) {
            if (c.mac != _mac)
                continue;
            due = true;
            for (const auto& type : _types)
                EXPECT_FALSE(c.has(type)) << type << " sent to " << _mac;
        }
        EXPECT_TRUE(due) << "no cycle found " << _mac << " due";
        return commands;
    }

    const std::string m_binary = test::binary("rtls-quorvane");
    test::redis_server m_redis;
    test::temp_dir m_files;
    std::unique_ptr<test::platform_server> m_platform;
    zmq::context_t m_zmq{1};
    zmq::socket_t m_output{m_zmq, zmq::socket_type::xpub};  // sees the subscriptions
    zmq::socket_t m_gateway{m_zmq, zmq::socket_type::pull};
    const int m_output_port = test::free_port();
    const int m_input_port = test::free_port();
    std::unique_ptr<test::process> m_service;
    std::unique_ptr<vyr::context::context> m_store;
    long m_ts = 1000;
};

TEST_F(alarm_road, zone_alarm_is_shown_confirmed_and_its_text_delivered) {
    using vyr::context::alarm_states;
    // The tag has shown all it had to.
    auto device = m_store->get_win(s_tag);
    device.sending_time({0, 0});
    device.alarm_state(alarm_states::CONFIGURED);

    alarm("alm-7", "zone_violation", "to-worker-2",
          R"({"text":"Leave-office","zone_uid":"zone-office","zone_alarm_level":2})");
    const auto shown = next_with(s_tag, "08");
    ASSERT_TRUE(shown);
    // Level 2, zone id 2; a zone uid shorter than 22 characters goes as zero bytes.
    EXPECT_EQ(shown->payloads, std::vector<std::string>{"0819" "02" "0002" + std::string(44, '0')});
    EXPECT_EQ(device.alarm_state(), alarm_states::SENT);

    // The device confirms the alarm it shows: its text follows.
    report(s_tag, R"({"al_zv":{"level":2,"zid":2}})");
    const auto text = next_with(s_tag, "54");
    ASSERT_TRUE(text);
    EXPECT_EQ(text->payloads, std::vector<std::string>{"540C" + vyr::parameter::hex_bytes("Leave-office")});
    EXPECT_TRUE(m_store->get_alarm("alm-7").delivered());

    // It confirms the text: nothing more for its alarm, though the next cycle finds it
    // due (the report restarted its pacing).
    report(s_tag, R"({"scr_message":"Leave-office"})");
    next_cycle_to(s_tag, {"08", "54"});
    EXPECT_EQ(device.alarm_state(), alarm_states::CONFIGURED);
}

TEST_F(alarm_road, distributor_gets_its_schedule_and_sync_slot) {
    const std::string anchor = m_store->get_anchor("anc-2").mac_addr();
    // It reports following nobody and asks for its configuration; the cycle pushes the
    // slot until it reports it.
    report(anchor, R"({"sync_slot":{"addr":"FFFF","slot":255}})", R"(["tdoa_schedule","sync_slot"])");
    // The answer and the cycle's push of the slot may come in either order.
    std::optional<node_command> answer, pushed;
    while (!(answer && pushed)) {
        const auto c = next_with(anchor, "18");
        ASSERT_TRUE(c);
        (c->code == "000F" ? answer : pushed) = c;
    }
    // Partner anc-1 (node 4097 at z 450) in slot 3 with a margin of 500 (2 x 250); the
    // beacon of anc-1 in slot 1.
    EXPECT_EQ(answer->payloads,
              (std::vector<std::string>{"1612" "03020200" "1001" "00000000" "00000000" "000001C2", "180410010100"}));
    EXPECT_EQ(pushed->payloads, std::vector<std::string>{"180410010100"});

    // Once the anchor reports the slot, a cycle that finds it due sends it no slot.
    report(anchor, R"({"sync_slot":{"addr":"1001","slot":1}})");
    next_cycle_to(anchor, {"18"});
}

}  // namespace
