// Reading the service configuration: every required key, the optional keys, and the
// reasons of an invalid file. (The credentials and the warning for a password that others
// may read are seen at work in the service's own tests.)
#include <unistd.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/json.h>

#include "app/config.h"
#include "core/exception.h"
#include "core/json.h"
#include "support/checks.h"

using ::testing::StartsWith;

namespace {

Json::Value valid() {
    return vyr::libs::core::json::try_parse(R"({
        "system": {"pidfile": "/run/rtls-quorvane.pid", "debug_port": "tcp://127.0.0.1:5557", "local_debug": true},
        "proxy": {"address": "10.0.0.2", "output_port": 5556, "input_port": 5555},
        "server": {"protocol": "https", "address": "platform.local", "port": 8443},
        "redis": {"address": "127.0.0.1", "port": 6379}})")
        .result;
}

vyr::config read_text(const std::string& _text) {
    std::istringstream stream(_text);
    return vyr::config(stream);
}

vyr::config read(const Json::Value& _document) { return read_text(vyr::libs::core::json::to_string(_document)); }

std::string invalid_reason(const Json::Value& _document) {
    return test::thrown_message([&] { read(_document); });
}

}  // namespace

TEST(Config, reads_every_key_with_comments_fractions_and_unknown_keys) {
    const auto c = read_text(R"({
        // the site server
        "system": {"pidfile": "/run/q.pid", "debug_port": "tcp://127.0.0.1:5557", "local_debug": true,
                   "push_schedule_to_destination": true, "win_expiry_hours": 48, "full_sweep_seconds": 30,
                   "instance_name": "site-b", "lease_seconds": 20, "colour": "blue"},
        /* the gateway side */
        "proxy": {"address": "10.0.0.2", "output_port": 5556.0, "input_port": 5555},
        "server": {"protocol": "https", "address": "platform.local", "port": 8443},
        "redis": {"address": "127.0.0.1", "port": 6380.0},
        "extra": {"anything": [1, 2, 3]}
    })");
    EXPECT_EQ(std::tie(c.system.pidfile, c.system.debug_port, c.system.local_debug, c.system.push_schedule_to_destination,
                       c.system.win_expiry_hours, c.system.full_sweep_seconds, c.system.instance_name,
                       c.system.lease_seconds),
              std::make_tuple("/run/q.pid", "tcp://127.0.0.1:5557", true, true, 48u, 30u, "site-b", 20u));
    EXPECT_EQ(std::tie(c.proxy.address, c.proxy.output_port, c.proxy.input_port), std::make_tuple("10.0.0.2", 5556u, 5555u));
    EXPECT_EQ(std::tie(c.server.protocol, c.server.address, c.server.port), std::make_tuple("https", "platform.local", 8443));
    EXPECT_EQ(std::tie(c.redis.address, c.redis.port), std::make_tuple("127.0.0.1", 6380));
}

TEST(Config, optional_keys_take_their_defaults_when_absent_and_push_schedule_when_not_a_boolean) {
    EXPECT_FALSE(read(valid()).system.push_schedule_to_destination);
    EXPECT_EQ(std::make_tuple(read(valid()).system.win_expiry_hours, read(valid()).system.full_sweep_seconds,
                              read(valid()).system.lease_seconds),
              std::make_tuple(24u, 60u, 10u));
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    EXPECT_EQ(read(valid()).system.instance_name, host);
    for (const Json::Value& value : {Json::Value("true"), Json::Value(1), Json::Value(false)}) {
        Json::Value document = valid();
        document["system"]["push_schedule_to_destination"] = value;
        EXPECT_FALSE(read(document).system.push_schedule_to_destination) << value;
    }
}

// The reasons themselves (types are strict, objects on the way) are the configuration
// tree's, pinned by its own tests; here every failing key of the service is reported.
TEST(Config, every_failing_key_is_reported) {
    Json::Value document = valid();
    document["system"].removeMember("debug_port");
    document["proxy"]["output_port"] = -1;
    document["proxy"]["input_port"] = 70000;
    document["server"]["port"] = "8443";
    document["server"]["password"] = 1234;  // an optional key: refused all the same, not shown
    document["redis"] = "127.0.0.1:6379";  // a section that is not an object
    document["system"]["win_expiry_hours"] = 0;  // every record would go at the first sweep
    document["system"]["full_sweep_seconds"] = 4;  // under one step
    document["system"]["lease_seconds"] = 301;
    EXPECT_EQ(invalid_reason(document),
              "Config file is invalid: "
              "Can not find field <string>: system.debug_port\n"
              "Port out of range 1-65535: proxy.output_port = -1\n"
              "Port out of range 1-65535: proxy.input_port = 70000\n"
              "Can not find field <int>: server.port\n"
              "Can not find object <object>: redis, path: redis.address\n"
              "Can not find object <object>: redis, path: redis.port\n"
              "Can not find field <string>: server.password\n"
              "Out of range 1-8760: system.win_expiry_hours = 0\n"
              "Out of range 5-3600: system.full_sweep_seconds = 4\n"
              "Out of range 5-300: system.lease_seconds = 301");
}

TEST(Config, every_port_is_1_to_65535) {
    for (const auto& [section, key] : {std::pair{"proxy", "output_port"}, {"proxy", "input_port"}, {"server", "port"},
                                       {"redis", "port"}})
        for (const int value : {0, 1, 65535, 65536}) {
            Json::Value document = valid();
            document[section][key] = value;
            if (value == 1 || value == 65535)
                EXPECT_NO_THROW(read(document)) << section << "." << key << " = " << value;
            else
                EXPECT_EQ(invalid_reason(document), "Config file is invalid: Port out of range 1-65535: " +
                                                        std::string(section) + "." + key + " = " + std::to_string(value));
        }
}

TEST(Config, unparsable_text_fails_with_the_reader_report_and_an_unreadable_file_with_its_name) {
    EXPECT_THAT(test::thrown_message<std::runtime_error>([&] { read_text("{\"system\": }"); }),
                StartsWith("Cannot parse json: "));
    for (const std::string& file : {std::string("/nonexistent/rtls-quorvane.json"), std::string(QUORVANE_SOURCE_DIR)})
        EXPECT_EQ(test::thrown_message([&] { vyr::config::from_file(file); }),
                  "cannot open " + file + ": " + (file == QUORVANE_SOURCE_DIR ? "Is a directory" : "No such file or directory"));
}

TEST(Config, example_file_is_valid) {
    const auto c = vyr::config::from_file(std::string(QUORVANE_SOURCE_DIR) + "/config/rtls-quorvane.example.json");
    EXPECT_FALSE(c.system.pidfile.empty());
    EXPECT_FALSE(c.system.debug_port.empty());
}

// Sentinels and the master's name go together; each sentinel is a "host:port".
TEST(Config, sentinels_are_host_port_texts_named_with_the_master) {
    const auto with = [](const char* _sentinels, const char* _name) {
        Json::Value document = valid();
        if (_sentinels)
            document["redis"]["sentinels"] = vyr::libs::core::json::try_parse(_sentinels).result;
        if (_name)
            document["redis"]["master_name"] = _name;
        document["redis"]["sentinel_password"] = "s3cret";
        return document;
    };
    const auto c = read(with(R"(["10.0.0.5:26379", "site-b:26380"])", "quorvane"));
    ASSERT_EQ(c.redis.sentinels.size(), 2u);
    EXPECT_EQ(std::tie(c.redis.sentinels[1].host, c.redis.sentinels[1].port, c.redis.master_name,
                       c.redis.sentinel_password),
              std::make_tuple("site-b", 26380, "quorvane", "s3cret"));
    EXPECT_TRUE(c.holds_password());
    EXPECT_TRUE(read(valid()).redis.sentinels.empty());
    const std::string not_a_list = "Config file is invalid: Not a list of host:port: redis.sentinels";
    const struct {
        const char* sentinels;
        const char* name;
        std::string reason;
    } rows[] = {
        {R"(["10.0.0.5:26379"])", nullptr, "Config file is invalid: redis.sentinels without redis.master_name"},
        {nullptr, "quorvane", "Config file is invalid: redis.master_name without redis.sentinels"},
        {"[]", "quorvane", not_a_list},
        {R"("10.0.0.5:26379")", "quorvane", not_a_list},
        {R"(["10.0.0.5"])", "quorvane", not_a_list},
        {R"(["10.0.0.5:26379", 26380])", "quorvane", not_a_list},
    };
    for (const auto& row : rows)
        EXPECT_EQ(invalid_reason(with(row.sentinels, row.name)), row.reason) << (row.sentinels ? row.sentinels : "none");
}
