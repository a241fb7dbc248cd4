// Reading the service configuration: every required key, strict types, the optional
// key, and the exact reasons of an invalid file.
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <json/json.h>

#include "config.h"
#include "core/exception.h"
#include "core/json.h"

namespace {

Json::Value valid() {
    Json::Value j;
    j["system"]["pidfile"] = "/run/rtls-quorvane.pid";
    j["system"]["debug_port"] = "tcp://127.0.0.1:5557";
    j["system"]["local_debug"] = true;
    j["proxy"]["address"] = "10.0.0.2";
    j["proxy"]["output_port"] = 5556;
    j["proxy"]["input_port"] = 5555;
    j["server"]["protocol"] = "https";
    j["server"]["address"] = "platform.local";
    j["server"]["port"] = 8443;
    j["redis"]["address"] = "127.0.0.1";
    j["redis"]["port"] = 6379;
    return j;
}

vyr::config read_text(const std::string& _text) {
    std::istringstream stream(_text);
    return vyr::config(stream);
}

vyr::config read(const Json::Value& _document) { return read_text(vyr::libs::core::json::to_string(_document)); }

// The message of the core exception reading `_document` throws; "" when it reads fine.
std::string invalid_reason(const Json::Value& _document) {
    try {
        read(_document);
    } catch (const vyr::libs::core::exception& e) {
        return e.message();
    }
    return "";
}

const char* const s_all_objects_missing =
    "Config file is invalid: "
    "Can not find object <object>: system, path: system.pidfile\n"
    "Can not find object <object>: system, path: system.debug_port\n"
    "Can not find object <object>: system, path: system.local_debug\n"
    "Can not find object <object>: proxy, path: proxy.address\n"
    "Can not find object <object>: proxy, path: proxy.output_port\n"
    "Can not find object <object>: proxy, path: proxy.input_port\n"
    "Can not find object <object>: server, path: server.protocol\n"
    "Can not find object <object>: server, path: server.address\n"
    "Can not find object <object>: server, path: server.port\n"
    "Can not find object <object>: redis, path: redis.address\n"
    "Can not find object <object>: redis, path: redis.port";

}  // namespace

TEST(Config, reads_every_key) {
    Json::Value document = valid();
    document["system"]["push_schedule_to_destination"] = true;
    const auto c = read(document);
    EXPECT_EQ(c.system.pidfile, "/run/rtls-quorvane.pid");
    EXPECT_EQ(c.system.debug_port, "tcp://127.0.0.1:5557");
    EXPECT_TRUE(c.system.local_debug);
    EXPECT_TRUE(c.system.push_schedule_to_destination);
    EXPECT_EQ(c.proxy.address, "10.0.0.2");
    EXPECT_EQ(c.proxy.output_port, 5556u);
    EXPECT_EQ(c.proxy.input_port, 5555u);
    EXPECT_EQ(c.server.protocol, "https");
    EXPECT_EQ(c.server.address, "platform.local");
    EXPECT_EQ(c.server.port, 8443);
    EXPECT_EQ(c.redis.address, "127.0.0.1");
    EXPECT_EQ(c.redis.port, 6379);
}

TEST(Config, push_schedule_is_false_when_absent_or_not_a_boolean) {
    EXPECT_FALSE(read(valid()).system.push_schedule_to_destination);
    Json::Value document = valid();
    document["system"]["push_schedule_to_destination"] = "true";
    EXPECT_FALSE(read(document).system.push_schedule_to_destination);
    document["system"]["push_schedule_to_destination"] = 1;
    EXPECT_FALSE(read(document).system.push_schedule_to_destination);
    document["system"]["push_schedule_to_destination"] = false;
    EXPECT_FALSE(read(document).system.push_schedule_to_destination);
}

TEST(Config, empty_object_gives_eleven_reasons_in_order) {
    EXPECT_EQ(invalid_reason(Json::Value(Json::objectValue)), s_all_objects_missing);
}

TEST(Config, missing_section_gives_one_reason_per_key) {
    Json::Value document = valid();
    document.removeMember("redis");
    EXPECT_EQ(invalid_reason(document),
              "Config file is invalid: "
              "Can not find object <object>: redis, path: redis.address\n"
              "Can not find object <object>: redis, path: redis.port");
    document["redis"] = "127.0.0.1:6379";  // a section that is not an object
    EXPECT_EQ(invalid_reason(document),
              "Config file is invalid: "
              "Can not find object <object>: redis, path: redis.address\n"
              "Can not find object <object>: redis, path: redis.port");
}

TEST(Config, types_are_strict) {
    struct case_t {
        const char* section;
        const char* key;
        Json::Value wrong;
        const char* reason;
    };
    const case_t cases[] = {
        {"proxy", "output_port", "5556", "Can not find field <int>: proxy.output_port"},
        {"proxy", "input_port", 5555.5, "Can not find field <int>: proxy.input_port"},
        {"system", "local_debug", 1, "Can not find field <bool>: system.local_debug"},
        {"system", "local_debug", "true", "Can not find field <bool>: system.local_debug"},
        {"system", "pidfile", 5, "Can not find field <string>: system.pidfile"},
        {"server", "port", true, "Can not find field <int>: server.port"},
        {"redis", "address", Json::Value(), "Can not find field <string>: redis.address"},
        {"redis", "port", Json::Value(Json::arrayValue), "Can not find field <int>: redis.port"},
    };
    for (const auto& c : cases) {
        Json::Value document = valid();
        document[c.section][c.key] = c.wrong;
        EXPECT_EQ(invalid_reason(document), std::string("Config file is invalid: ") + c.reason)
            << c.section << "." << c.key;
    }
}

TEST(Config, every_failing_key_is_reported) {
    Json::Value document = valid();
    document["system"].removeMember("debug_port");
    document["server"]["port"] = "8443";
    document["redis"]["port"] = Json::Value();
    EXPECT_EQ(invalid_reason(document),
              "Config file is invalid: "
              "Can not find field <string>: system.debug_port\n"
              "Can not find field <int>: server.port\n"
              "Can not find field <int>: redis.port");
}

TEST(Config, integral_numbers_written_with_a_fraction_are_accepted) {
    Json::Value document = valid();
    document["redis"]["port"] = 6380.0;
    document["proxy"]["output_port"] = 7000.0;
    const auto c = read(document);
    EXPECT_EQ(c.redis.port, 6380);
    EXPECT_EQ(c.proxy.output_port, 7000u);
}

TEST(Config, comments_and_unknown_keys_are_ignored) {
    const auto c = read_text(R"({
        // the site server
        "system": {"pidfile": "p", "debug_port": "tcp://127.0.0.1:1", "local_debug": false, "colour": "blue"},
        /* the gateway side */
        "proxy": {"address": "a", "output_port": 1, "input_port": 2},
        "server": {"protocol": "http", "address": "s", "port": 3},
        "redis": {"address": "r", "port": 4},
        "extra": {"anything": [1, 2, 3]}
    })");
    EXPECT_EQ(c.system.pidfile, "p");
    EXPECT_EQ(c.redis.port, 4);
}

TEST(Config, unparsable_text_fails_with_the_reader_report) {
    for (const char* text : {"", "{", "{\"system\": }", "not json at all"}) {
        try {
            read_text(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()).rfind("Cannot parse json: ", 0), 0u) << e.what();
        }
    }
}

TEST(Config, missing_file_reads_as_empty_input) {
    std::ifstream missing("/nonexistent/rtls-quorvane.json");
    try {
        vyr::config c(missing);
        FAIL() << "a missing file was accepted";
    } catch (const std::runtime_error& e) {
        std::istringstream empty;
        try {
            vyr::config other(empty);
        } catch (const std::runtime_error& expected) {
            EXPECT_STREQ(e.what(), expected.what());
        }
        EXPECT_EQ(std::string(e.what()).rfind("Cannot parse json: ", 0), 0u);
    }
}

TEST(Config, example_file_is_valid) {
    std::ifstream example(std::string(QUORVANE_SOURCE_DIR) + "/config/rtls-quorvane.example.json");
    ASSERT_TRUE(example) << "config/rtls-quorvane.example.json is missing";
    const vyr::config c(example);
    EXPECT_FALSE(c.system.pidfile.empty());
    EXPECT_FALSE(c.system.debug_port.empty());
}
