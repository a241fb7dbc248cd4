// Payload encodings, JSON round trips and equality rules of the parameter value classes.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/logger.h"
#include "parameters/parameters.h"

using namespace vyr::parameter;

namespace {

vyr::libs::core::logger& lg() {
    static vyr::libs::core::logger logger("rtls-quorvane-test", "param_values");
    return logger;
}

// Checks the frame: type byte, length byte equal to the count of value bytes that follow.
void expect_well_formed(const std::string& _payload, parameter_t _type) {
    ASSERT_GE(_payload.size(), 4u) << _payload;
    EXPECT_EQ(_payload.substr(0, 2), hex(_type, 2)) << _payload;
    EXPECT_EQ(std::stoul(_payload.substr(2, 2), nullptr, 16) * 2, _payload.size() - 4) << _payload;
    EXPECT_EQ(_payload.find_first_not_of("0123456789ABCDEF"), std::string::npos) << _payload;
}

std::string partner_json(const std::string& _addr, unsigned _slot, unsigned _margin = 1000) {
    return R"({"addr":")" + _addr + R"(","dim":1,"et":2,"margin":)" + std::to_string(_margin) +
           R"(,"sect":1,"slot":)" + std::to_string(_slot) + R"(,"x":-1,"y":0,"z":300})";
}

const std::string s_partner = partner_json("1A2B", 5);

param_tdoa_schedule schedule(const std::string& _elements) { return param_tdoa_schedule("[" + _elements + "]", lg()); }
param_driver_lic licences(const char* _text) { return param_driver_lic(_text, lg()); }

}  // namespace

TEST(param_values, payload_encodings) {
    const std::pair<std::string, std::string> cases[] = {
        {schedule(s_partner).to_hex(), "161205C104001A2BFFFFFFFF000000000000012C"},
        {param_tdoa_schedule(Json::Value(Json::arrayValue), lg()).to_hex(), "160100"},
        {param_tdoa_schedule(lg()).to_hex(), "160100"},
        {param_veh_cert(R"({"id":7})", lg()).to_hex(), "2E0107"}, {param_veh_cert(lg()).to_hex(), "2E0100"},
        {param_veh_cert(R"({"id":255})", lg()).to_hex(), "2E01FF"},
        {licences(R"([{"id":3},{"id":1},{"id":3},{"x":4},{"id":"5"}])").to_hex(), "2F020103"},
        {licences("[]").to_hex(), "2F0100"}, {param_driver_lic(lg()).to_hex(), "2F0100"},
        {licences(R"([{"id":2},{"id":300},{"id":255}])").to_hex(), "2F0202FF"},  // 300 does not fit
        {param_nwk_cfg(R"({"router":true})", lg()).to_hex(), "350101"}, {param_nwk_cfg(lg()).to_hex(), "350100"},
        {param_nwk_cfg(R"({"router":false})", lg()).to_hex(), "350100"}, {param_nwk_cfg::request_formation(), "3500"},
        {param_em_alm(R"({"state":"SET"})", lg()).to_hex(), "3C0101"}, {param_em_alm(lg()).to_hex(), "3C0100"},
        {param_em_alm(R"({"state":"CLEAR"})", lg()).to_hex(), "3C0100"},
        {param_em_alm(R"({"state":"set"})", lg()).to_hex(), "3C0100"}, {param_em_alm(R"({"state":""})", lg()).to_hex(), "3C0100"},
        {param_scr_name(Json::Value("AB"), lg()).to_hex(), "52024142"}, {param_scr_gname(lg()).to_hex(), "530100"},
        {param_scr_gname(Json::Value("AB"), lg()).to_hex(), "53024142"}, {param_scr_name(Json::Value(""), lg()).to_hex(), "520100"},
        {param_scr_name(Json::Value("\xC3\xA9"), lg()).to_hex(), "5202C3A9"},  // bytes are sent unsigned
        {payload_frame(SCR_MESSAGE, ""), "540100"}, {payload_frame(SF, "0102"), "14020102"},
    };
    for (const auto& [encoded, expected] : cases)
        EXPECT_EQ(encoded, expected);
}

TEST(param_values, json_forms_read_back_to_equal_values) {
    const auto one = schedule(s_partner);
    EXPECT_EQ(one.to_json_string(), "[" + s_partner + "]\n");
    EXPECT_EQ(param_tdoa_schedule(one.to_json_string(), lg()), one);
    EXPECT_EQ(schedule("").to_json_string(), "[]\n");
    EXPECT_EQ(param_tdoa_schedule(lg()).to_json_string(), "null\n");
    EXPECT_EQ(param_veh_cert(R"({"id":7})", lg()).to_json_string(), "{\"id\":7}\n");
    EXPECT_EQ(licences(R"([{"id":3},{"id":1},{"id":3}])").to_json_string(), "[{\"id\":1},{\"id\":3}]\n");
    const param_em_alm set(R"({"state":"SET"})", lg());
    EXPECT_EQ(set.value(), "SET");
    EXPECT_EQ(set.to_json_string(), "{\"state\":\"SET\"}\n");
    EXPECT_EQ(param_em_alm(set.to_json_string(), lg()), set);
    const param_scr_name name(std::string("\"Bob\""), lg());
    EXPECT_EQ(name.to_json_string(), "\"Bob\"\n");
    EXPECT_EQ(param_scr_name(name.to_json_string(), lg()), name);
}

TEST(param_values, equality_and_null_rules) {
    // Schedules: order does not count, but a repeated partner must not stand in for a missing one.
    const std::string a = partner_json("0001", 1), b = partner_json("0002", 2);
    EXPECT_EQ(schedule(a + "," + b), schedule(b + "," + a));
    EXPECT_NE(schedule(a + "," + b), schedule(a));
    EXPECT_NE(schedule(a + "," + a), schedule(a + "," + b));
    EXPECT_NE(schedule(a + "," + b), schedule(a + "," + a));
    EXPECT_TRUE(schedule("") != param_tdoa_schedule(lg()) && param_tdoa_schedule(lg()) != schedule(""));  // empty is no null
    // Vehicle certification: null equals id 0, both ways.
    const param_veh_cert cert_null(lg()), zero(R"({"id":0})", lg()), seven(R"({"id":7})", lg());
    EXPECT_TRUE(cert_null == zero && zero == cert_null);
    EXPECT_FALSE(seven == cert_null || cert_null == seven);
    // Driver licences: a null right side counts as the empty set, a null left side wants null or {0}.
    const param_driver_lic lic_null(lg());
    EXPECT_TRUE(lic_null == licences(R"([{"id":0}])") && licences(R"([{"id":0}])") == lic_null);
    EXPECT_TRUE(licences("[]") == lic_null);
    EXPECT_FALSE(lic_null == licences("[]"));
    EXPECT_FALSE(lic_null == licences(R"([{"id":1}])") || licences(R"([{"id":1}])") == lic_null);
    EXPECT_TRUE(licences(R"([{"id":1},{"id":3}])") == licences(R"([{"id":3},{"id":1}])"));
    EXPECT_FALSE(licences(R"([{"id":1},{"id":3}])") == licences(R"([{"id":1},{"id":4}])"));
    EXPECT_FALSE(licences(R"([{"id":1},{"id":3}])") == licences(R"([{"id":1}])"));
    // Network configuration, alarm state and screen texts: null is a value of its own.
    const param_nwk_cfg plain(R"({"router":false})", lg());
    EXPECT_TRUE(plain != param_nwk_cfg(lg()) && param_nwk_cfg(lg()) != plain);
    EXPECT_NE(plain, param_nwk_cfg(R"({"router":true})", lg()));
    EXPECT_NE(param_em_alm(R"({"state":""})", lg()), param_em_alm(lg()));
    EXPECT_TRUE(param_scr_name(Json::Value(""), lg()) != param_scr_name(lg()) &&
                param_scr_name(lg()) != param_scr_name(Json::Value(""), lg()));
    EXPECT_NE(param_scr_name(Json::Value("Bob"), lg()), param_scr_name(Json::Value("bob"), lg()));
}

TEST(param_values, schedule_skips_incomplete_or_mistyped_elements) {
    const auto parsed = schedule(s_partner + R"(,{"addr":"0001","dim":1},{"addr":"0002","dim":1,"et":2,"margin":1000,)"
                                             R"("sect":1,"slot":-5,"x":0,"y":0,"z":0},7,)" +
                                 partner_json("0003", 9));
    ASSERT_EQ(parsed.partners().size(), 2u);
    EXPECT_EQ(std::tie(parsed.partners()[0].addr, parsed.partners()[1].addr, parsed.partners()[1].slot),
              std::make_tuple("1A2B", "0003", 9u));
}

TEST(param_values, oversized_values_still_give_well_formed_frames) {
    // 16 partners: only 14 fit the length byte.
    std::string many;
    for (unsigned i = 0; i < 16; ++i)
        many += (i ? "," : "") + partner_json(hex(i, 4), i);
    const std::string hex16 = schedule(many).to_hex();
    expect_well_formed(hex16, TDOA_SCHEDULE);
    // 14 × 18 bytes; the 14th partner's slot.
    EXPECT_EQ(std::make_tuple(hex16.substr(0, 4), hex16.substr(4 + 13 * 36, 2)), std::make_tuple("16FC", "0D"));
    // Regression: a margin / 250 over 255 was capped at FF and dim, et and sect cut to their bits, each
    // sent as another value. Such a partner is left out, as one with a slot over 255 or a long address.
    const std::string capped = schedule(partner_json("0001", 255, 63750) + "," + partner_json("0002", 255, 64000) + "," +
                                        partner_json("0003", 256) + "," + partner_json("12345", 1) + "," +
                                        partner_json("zz", 1) + R"(,{"addr":"0004","dim":4,"et":2,"margin":0,)"
                                        R"("sect":1,"slot":1,"x":0,"y":0,"z":0})").to_hex();
    EXPECT_EQ(capped, "1612FFC1FF000001FFFFFFFF000000000000012C");
    // Nor is a certification id over 255 sent as "none" (00) or cut: it has no payload.
    EXPECT_THROW(param_veh_cert(R"({"id":256})", lg()).to_hex(), vyr::libs::core::exception);

    Json::Value ids(Json::arrayValue);
    for (unsigned id = 0; id < 300; ++id)
        ids.append(Json::Value(Json::objectValue))["id"] = id;
    const std::string full = param_driver_lic(ids, lg()).to_hex();
    expect_well_formed(full, DRIVER_LIC);
    EXPECT_EQ(std::make_tuple(full.substr(0, 4), full.substr(full.size() - 2)), std::make_tuple("2FFF", "FE"));  // 0..254

    std::string long_name, expected = "52FF";
    for (int i = 0; i < 300; ++i)
        long_name.push_back(static_cast<char>('A' + i % 26));
    for (int i = 0; i < 255; ++i)
        expected += hex('A' + i % 26, 2);
    EXPECT_EQ(param_scr_name(Json::Value(long_name), lg()).to_hex(), expected);  // cut at 255 bytes

    EXPECT_THROW(payload_frame(SF, "012"), vyr::libs::core::exception);
    EXPECT_THROW(payload_frame(SF, std::string(512, '0')), vyr::libs::core::exception);
}

TEST(param_values, corrupted_or_foreign_text_gives_null_objects) {
    for (const char* text : {"", "not json", "{\"id\":7", "[{\"id\":1},", "\"unterminated", "[{\"addr\":}]"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ((std::vector<bool>{param_tdoa_schedule(text, lg()).is_null(), param_veh_cert(text, lg()).is_null(),
                                     param_driver_lic(text, lg()).is_null(), param_nwk_cfg(text, lg()).is_null(),
                                     param_em_alm(text, lg()).is_null(), param_scr_name(text, lg()).is_null(),
                                     param_scr_gname(text, lg()).is_null()}),
                  std::vector<bool>(7, true));
    }
    // Well-formed JSON of the wrong shape is no value either.
    EXPECT_EQ((std::vector<bool>{param_tdoa_schedule(R"({"addr":"1A2B"})", lg()).is_null(), param_veh_cert("[7]", lg()).is_null(),
                                 param_veh_cert(R"({"id":-1})", lg()).is_null(), param_veh_cert(R"({"id":"7"})", lg()).is_null(),
                                 param_driver_lic(R"({"id":1})", lg()).is_null(), param_nwk_cfg(R"({"router":1})", lg()).is_null(),
                                 param_em_alm("\"SET\"", lg()).is_null(), param_scr_name(R"({"name":"Bob"})", lg()).is_null()}),
              std::vector<bool>(8, true));
}

// Regression: a long screen text was cut at byte 255 inside a character, so the device
// held text that is not valid UTF-8 and never matched the project's name.
TEST(param_values, ScreenTextIsCutAtAWholeCharacter) {
    const std::string a254(254, 'a'), euro = "\xE2\x82\xAC";
    for (const auto& [text, held] : {std::pair{a254 + euro, a254}, {a254 + "b" + euro, a254 + "b"}, {a254 + "b", a254 + "b"}})
        EXPECT_EQ(param_screen_text::held_text(text), held) << text.size();
}
