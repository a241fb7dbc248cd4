// The shared helpers of globals: typed JSON field readers (a failed read is logged to the
// debug stream), MAC normalisation and duration parsing.
#include <climits>
#include <cstdint>
#include <utility>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "common/globals.h"
#include "core/json.h"
#include "support/log_sink.h"

namespace {

using strings = std::vector<std::string>;

class JsonFields : public ::testing::Test {
protected:
    void SetUp() override { m_sink.connect(m_logger); }

    // How many records were logged since the last call.
    std::size_t logged() { return m_sink.frames_until_marker(m_logger).size(); }

    static Json::Value message() {
        return vyr::libs::core::json::try_parse(R"({"s": "text", "n": null, "i": 7, "f": 3.0, "half": 3.5,
            "neg": -1, "umax": 4294967295, "big": 4294967296, "b": false, "o": {"k": 1}, "a": [1],
            "names": ["x", "y"], "mixed": ["x", 2, "z"], "empty": []})")
            .result;
    }

    // Reads `_field` of message() into a T holding `_start`: whether it was read, and the T afterwards.
    template <class T>
    std::pair<bool, T> read(const char* _field, T _start = T()) {
        const bool ok = get_j_value(m_logger, message(), "f", "o", _field, _start, "u");
        return {ok, std::move(_start)};
    }

    test::log_sink m_sink;
    vyr::libs::core::logger m_logger{"quorvane-test", "main"};
};

template <class T>
std::pair<bool, T> read_as(T _value) {
    return {true, std::move(_value)};
}
template <class T>
std::pair<bool, T> kept(T _value) {
    return {false, std::move(_value)};
}

}  // namespace

// A failed read keeps the target and leaves one debug record; a null or non-array for a
// string list fails quietly.
TEST_F(JsonFields, reads_follow_the_json_type_tests_and_a_failure_keeps_the_target_and_is_logged) {
    std::string value = "kept";
    EXPECT_FALSE(get_j_value(m_logger, message(), "get_x", "obj", "absent", value, "u1"));
    Json::Value field;
    EXPECT_FALSE(get_j_field(m_logger, message(), "get_x", "obj", "absent", field, ""));
    EXPECT_FALSE(get_j_value(m_logger, Json::Value(Json::arrayValue), "get_x", "obj", "i", value, "u"));
    EXPECT_FALSE(get_j_value(m_logger, Json::Value("text"), "get_x", "obj", "i", value, "u"));
    EXPECT_EQ(std::make_tuple(value, logged()), std::make_tuple("kept", 4u));

    // Null is no value of any type; 3.0 is an Int, -1 no UInt.
    EXPECT_EQ(std::make_tuple(read<std::string>("n", "kept"), read("n", Json::Value(7)), read("n", 1), read("n", 1.5)),
              std::make_tuple(kept<std::string>("kept"), kept(Json::Value(7)), kept(1), kept(1.5)));
    EXPECT_EQ(std::make_tuple(read("n", 2u), read("n", true), read("f", 0), read("half", 3), read("umax", 3), read("neg", 9u)),
              std::make_tuple(kept(2u), kept(true), read_as(3), kept(3), kept(3), kept(9u)));
    EXPECT_EQ(std::make_tuple(read("umax", 0u), read("i", 0.0), read<std::string>("s"), read("b", true)),
              std::make_tuple(read_as(4294967295u), read_as(7.0), read_as<std::string>("text"), read_as(false)));
    EXPECT_EQ((std::vector<bool>{read("big", 9u).first, read("s", 0.0).first, read<std::string>("i").first,
                                 read("i", true).first, read<Json::Value>("a").first}),
              std::vector<bool>(5, false));
    EXPECT_EQ(read<Json::Value>("o").second["k"].asInt(), 1);
    EXPECT_EQ(read<strings>("mixed"), kept(strings{"x"}));  // appends up to the first non-string
    EXPECT_EQ(logged(), 15u);

    Json::Value any;
    EXPECT_TRUE(get_j_field(m_logger, message(), "f", "o", "n", any, "u") && any.isNull());
    EXPECT_EQ(std::make_tuple(read("names", strings{"before"}), read("empty", strings{"before"}), read("n", strings{"kept"})),
              std::make_tuple(read_as(strings{"before", "x", "y"}), read_as(strings{"before"}), kept(strings{"kept"})));
    EXPECT_FALSE(read<strings>("s").first);
    EXPECT_EQ(logged(), 0u);
}

TEST(CombMac, widens_eui48_upper_cases_and_refuses_other_lengths_and_non_hex_untouched) {
    const std::pair<std::string, std::string> good[] = {
        {"aabbccddeeff", "AABBCCFFFEDDEEFF"}, {"AABBCCFFFEDDEEFF", "AABBCCFFFEDDEEFF"},
        {"0011223344556677", "0011223344556677"}, {"a1b2c3d4e5f6a7b8", "A1B2C3D4E5F6A7B8"}};
    for (auto [mac, expected] : good) {
        EXPECT_TRUE(comb_mac(mac)) << expected;
        EXPECT_EQ(mac, expected);
    }
    for (const std::string& bad : std::initializer_list<std::string>{
             "AA:BB:CC:DD:EE:FF", "", "aabbccddeef", "aabbccddeeff0", "aabbccddeeff00112", "AABBCCDDEEFG",
             "AABBCC DDEEFF00", "AABBCCDDEEF:", std::string("AABBCCDDEE\0F", 12)}) {
        std::string mac = bad;
        EXPECT_FALSE(comb_mac(mac)) << bad;
        EXPECT_EQ(mac, bad);
    }
}

TEST(ParseTime, units_in_the_fixed_order_unreadable_text_as_zero_and_saturation) {
    const std::pair<const char*, std::uint32_t> cases[] = {
        {"1h30m", 5400}, {"2d", 172800}, {"90", 90}, {"1d2s", 86402}, {"1d1h1m1s", 90061}, {"1h 30m", 5400},
        {" 15", 15},
        {"30m1h", 108000},  // d, h, m, s are looked for in that order: "30m1h" takes "30m1" before the h
        {"", 0}, {"abc", 0}, {"xh", 0}, {"10x", 10}, {"h", 0}, {"-5", 0}, {"-5m", 0},
        // Huge values saturate instead of wrapping.
        {"4294967295", 4294967295u}, {"4294967296", UINT32_MAX}, {"50000d", UINT32_MAX},
        {"99999999999999999999999d", UINT32_MAX}, {"49710d6h", 4294965600u}, {"49710d7h", UINT32_MAX},
    };
    for (const auto& [text, seconds] : cases)
        EXPECT_EQ(parse_time(text), seconds) << '"' << text << '"';
}
