// The shared helpers of globals: typed JSON field readers with their debug diagnostics
// (read back from the debug stream), MAC normalisation and duration parsing.
#include <climits>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "core/json.h"
#include "globals.h"
#include "support/log_sink.h"

namespace {

class JsonFields : public ::testing::Test {
protected:
    void SetUp() override { m_sink.connect(m_logger); }

    // The messages logged since the last call.
    std::vector<std::string> messages() {
        std::vector<std::string> out;
        for (const auto& frame : m_sink.frames_until_marker(m_logger))
            out.push_back(test::frame_message(frame));
        return out;
    }

    static Json::Value message() {
        return vyr::libs::core::json::try_parse(R"({"s": "text", "n": null, "i": 7, "f": 3.0, "half": 3.5,
            "neg": -1, "umax": 4294967295, "big": 4294967296, "b": false, "o": {"k": 1}, "a": [1],
            "names": ["x", "y"], "mixed": ["x", 2, "z"], "empty": []})")
            .result;
    }

    test::log_sink m_sink;
    vyr::libs::core::logger m_logger{"quorvane-test", "main"};
};

using strings = std::vector<std::string>;

}  // namespace

TEST_F(JsonFields, missing_member_reports_has_no_field) {
    std::string value = "kept";
    EXPECT_FALSE(get_j_value(m_logger, message(), "get_x", "obj", "absent", value, "u1"));
    EXPECT_EQ(value, "kept");
    Json::Value field;
    EXPECT_FALSE(get_j_field(m_logger, message(), "get_x", "obj", "absent", field, ""));
    EXPECT_EQ(messages(), (strings{"get_x obj:u1 has no field \"absent\"", "get_x obj: has no field \"absent\""}));
}

TEST_F(JsonFields, message_that_is_not_an_object_has_no_fields) {
    int value = 5;
    EXPECT_FALSE(get_j_value(m_logger, Json::Value(Json::arrayValue), "get_x", "obj", "i", value, "u"));
    EXPECT_FALSE(get_j_value(m_logger, Json::Value("text"), "get_x", "obj", "i", value, "u"));
    EXPECT_EQ(value, 5);
    EXPECT_EQ(messages(), (strings{"get_x obj:u has no field \"i\"", "get_x obj:u has no field \"i\""}));
}

TEST_F(JsonFields, null_member_fails_with_the_type_message) {
    std::string s = "kept";
    Json::Value o(7);
    int i = 1;
    double d = 1.5;
    unsigned int u = 2;
    bool b = true;
    strings list{"kept"};
    EXPECT_FALSE(get_j_value(m_logger, message(), "f", "o", "n", s, "u"));
    EXPECT_FALSE(get_j_value(m_logger, message(), "f", "o", "n", o, "u"));
    EXPECT_FALSE(get_j_value(m_logger, message(), "f", "o", "n", i, "u"));
    EXPECT_FALSE(get_j_value(m_logger, message(), "f", "o", "n", d, "u"));
    EXPECT_FALSE(get_j_value(m_logger, message(), "f", "o", "n", u, "u"));
    EXPECT_FALSE(get_j_value(m_logger, message(), "f", "o", "n", b, "u"));
    EXPECT_EQ(messages(), (strings{
                              "f o:u field \"n\" is not a  std::string",
                              "f o:u field \"n\" is not an _object",
                              "f o:u field \"n\" is not Int",
                              "f o:u field \"n\" is not Double",
                              "f o:u field \"n\" is not UInt",
                              "f o:u field \"n\" is not Bool",
                          }));
    EXPECT_EQ(s, "kept");
    EXPECT_EQ(o, Json::Value(7));
    EXPECT_EQ(i, 1);
    EXPECT_EQ(d, 1.5);
    EXPECT_EQ(u, 2u);
    EXPECT_TRUE(b);
    // A null that is no array fails quietly.
    EXPECT_FALSE(get_j_value(m_logger, message(), "f", "o", "n", list, "u"));
    EXPECT_EQ(list, strings{"kept"});
    EXPECT_TRUE(messages().empty());
}

TEST_F(JsonFields, numbers_follow_the_json_type_tests) {
    int i = 0;
    EXPECT_TRUE(get_j_value(m_logger, message(), "f", "o", "f", i, "u"));
    EXPECT_EQ(i, 3);  // 3.0 is an Int
    EXPECT_FALSE(get_j_value(m_logger, message(), "f", "o", "half", i, "u"));
    EXPECT_FALSE(get_j_value(m_logger, message(), "f", "o", "umax", i, "u"));
    EXPECT_EQ(i, 3);

    unsigned int u = 9;
    EXPECT_FALSE(get_j_value(m_logger, message(), "f", "o", "neg", u, "u"));
    EXPECT_EQ(u, 9u);
    EXPECT_FALSE(get_j_value(m_logger, message(), "f", "o", "big", u, "u"));
    EXPECT_TRUE(get_j_value(m_logger, message(), "f", "o", "umax", u, "u"));
    EXPECT_EQ(u, 4294967295u);

    double d = 0;
    EXPECT_TRUE(get_j_value(m_logger, message(), "f", "o", "i", d, "u"));
    EXPECT_EQ(d, 7.0);
    EXPECT_FALSE(get_j_value(m_logger, message(), "f", "o", "s", d, "u"));

    EXPECT_EQ(messages(), (strings{"f o:u field \"half\" is not Int", "f o:u field \"umax\" is not Int",
                                   "f o:u field \"neg\" is not UInt", "f o:u field \"big\" is not UInt",
                                   "f o:u field \"s\" is not Double"}));
}

TEST_F(JsonFields, strings_booleans_and_objects) {
    std::string s;
    EXPECT_TRUE(get_j_value(m_logger, message(), "f", "o", "s", s, "u"));
    EXPECT_EQ(s, "text");
    EXPECT_FALSE(get_j_value(m_logger, message(), "f", "o", "i", s, "u"));

    bool b = true;
    EXPECT_TRUE(get_j_value(m_logger, message(), "f", "o", "b", b, "u"));
    EXPECT_FALSE(b);
    EXPECT_FALSE(get_j_value(m_logger, message(), "f", "o", "i", b, "u"));

    Json::Value object;
    EXPECT_TRUE(get_j_value(m_logger, message(), "f", "o", "o", object, "u"));
    EXPECT_EQ(object["k"].asInt(), 1);
    EXPECT_FALSE(get_j_value(m_logger, message(), "f", "o", "a", object, "u"));
    Json::Value any;
    EXPECT_TRUE(get_j_field(m_logger, message(), "f", "o", "n", any, "u"));
    EXPECT_TRUE(any.isNull());

    EXPECT_EQ(messages(), (strings{"f o:u field \"i\" is not a  std::string", "f o:u field \"i\" is not Bool",
                                   "f o:u field \"a\" is not an _object"}));
}

TEST_F(JsonFields, string_list_appends_and_stops_at_the_first_non_string) {
    strings list{"before"};
    EXPECT_TRUE(get_j_value(m_logger, message(), "f", "o", "names", list, "u"));
    EXPECT_EQ(list, (strings{"before", "x", "y"}));
    EXPECT_TRUE(get_j_value(m_logger, message(), "f", "o", "empty", list, "u"));
    EXPECT_EQ(list.size(), 3u);
    EXPECT_TRUE(messages().empty());

    strings partial;
    EXPECT_FALSE(get_j_value(m_logger, message(), "f", "o", "mixed", partial, "u"));
    EXPECT_EQ(partial, strings{"x"});
    EXPECT_EQ(messages(), strings{"f o:u field \"mixed\" is not an array of strings"});

    EXPECT_FALSE(get_j_value(m_logger, message(), "f", "o", "s", partial, "u"));
    EXPECT_TRUE(messages().empty());
}

TEST(CombMac, widens_eui48_and_upper_cases) {
    std::string mac = "aabbccddeeff";
    EXPECT_TRUE(comb_mac(mac));
    EXPECT_EQ(mac, "AABBCCFFFEDDEEFF");
    mac = "AABBCCFFFEDDEEFF";
    EXPECT_TRUE(comb_mac(mac));
    EXPECT_EQ(mac, "AABBCCFFFEDDEEFF");
    mac = "0011223344556677";
    EXPECT_TRUE(comb_mac(mac));
    EXPECT_EQ(mac, "0011223344556677");
    mac = "a1b2c3d4e5f6a7b8";
    EXPECT_TRUE(comb_mac(mac));
    EXPECT_EQ(mac, "A1B2C3D4E5F6A7B8");
}

TEST(CombMac, other_lengths_are_refused_untouched) {
    for (const std::string bad : {"AA:BB:CC:DD:EE:FF", "", "aabbccddeef", "aabbccddeeff0", "aabbccddeeff00112"}) {
        std::string mac = bad;
        EXPECT_FALSE(comb_mac(mac)) << bad;
        EXPECT_EQ(mac, bad);
    }
}

TEST(ParseTime, units_in_the_fixed_order) {
    EXPECT_EQ(parse_time("1h30m"), 5400u);
    EXPECT_EQ(parse_time("2d"), 172800u);
    EXPECT_EQ(parse_time("90"), 90u);
    EXPECT_EQ(parse_time("1d2s"), 86402u);
    EXPECT_EQ(parse_time("1d1h1m1s"), 90061u);
    EXPECT_EQ(parse_time("1h 30m"), 5400u);
    EXPECT_EQ(parse_time(" 15"), 15u);
    // d, h, m, s are looked for in that order: "30m1h" takes "30m1" before the h.
    EXPECT_EQ(parse_time("30m1h"), 108000u);
}

TEST(ParseTime, unreadable_text_counts_zero) {
    EXPECT_EQ(parse_time(""), 0u);
    EXPECT_EQ(parse_time("abc"), 0u);
    EXPECT_EQ(parse_time("xh"), 0u);
    EXPECT_EQ(parse_time("10x"), 10u);
    EXPECT_EQ(parse_time("h"), 0u);
    EXPECT_EQ(parse_time("-5"), 0u);
    EXPECT_EQ(parse_time("-5m"), 0u);
}

TEST(ParseTime, huge_values_saturate_instead_of_wrapping) {
    EXPECT_EQ(parse_time("4294967295"), 4294967295u);
    EXPECT_EQ(parse_time("4294967296"), UINT32_MAX);
    EXPECT_EQ(parse_time("50000d"), UINT32_MAX);
    EXPECT_EQ(parse_time("99999999999999999999999d"), UINT32_MAX);
    EXPECT_EQ(parse_time("49710d6h"), 4294965600u);  // just below the limit
    EXPECT_EQ(parse_time("49710d7h"), UINT32_MAX);   // just above it
}
