// Payload encodings, JSON round trips and equality rules of the parameter value classes.
#include <gtest/gtest.h>

#include <string>

#include "core/logger.h"
#include "parameters.h"

using namespace vyr::parameter;

namespace {

vyr::libs::core::logger& test_logger() {
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

const char* const s_partner =
    R"({"addr":"1A2B","dim":1,"et":2,"margin":1000,"sect":1,"slot":5,"x":-1,"y":0,"z":300})";

std::string partner_json(const std::string& _addr, unsigned _slot, unsigned _margin = 1000) {
    return R"({"addr":")" + _addr + R"(","dim":1,"et":2,"margin":)" + std::to_string(_margin) +
           R"(,"sect":1,"slot":)" + std::to_string(_slot) + R"(,"x":-1,"y":0,"z":300})";
}

}  // namespace

TEST(param_tdoa_schedule, encodes_single_partner_exactly) {
    param_tdoa_schedule schedule(std::string("[") + s_partner + "]", test_logger());
    EXPECT_FALSE(schedule.is_null());
    EXPECT_EQ(schedule.to_hex(), "161205C104001A2BFFFFFFFF000000000000012C");
    EXPECT_EQ(schedule.to_json_string(), std::string("[") + s_partner + "]\n");
    // What the WIN record keeps reads back to an equal value.
    EXPECT_EQ(param_tdoa_schedule(schedule.to_json_string(), test_logger()), schedule);
}

TEST(param_tdoa_schedule, empty_array_is_an_empty_value_not_null) {
    param_tdoa_schedule empty(Json::Value(Json::arrayValue), test_logger());
    param_tdoa_schedule null(test_logger());
    EXPECT_FALSE(empty.is_null());
    EXPECT_EQ(empty.to_json_string(), "[]\n");
    EXPECT_EQ(empty.to_hex(), "160100");
    EXPECT_EQ(null.to_hex(), "160100");
    EXPECT_EQ(null.to_json_string(), "null\n");
    EXPECT_NE(empty, null);
    EXPECT_NE(null, empty);
    EXPECT_EQ(null, param_tdoa_schedule(test_logger()));
}

TEST(param_tdoa_schedule, skips_incomplete_or_mistyped_elements) {
    const std::string text = std::string("[") + s_partner +
                             R"(,{"addr":"0001","dim":1},{"addr":"0002","dim":1,"et":2,"margin":1000,"sect":1,)"
                             R"("slot":-5,"x":0,"y":0,"z":0},7,)" +
                             partner_json("0003", 9) + "]";
    param_tdoa_schedule schedule(text, test_logger());
    ASSERT_EQ(schedule.partners().size(), 2u);
    EXPECT_EQ(schedule.partners()[0].addr, "1A2B");
    EXPECT_EQ(schedule.partners()[1].addr, "0003");
    EXPECT_EQ(schedule.partners()[1].slot, 9u);
}

TEST(param_tdoa_schedule, equality_ignores_order_but_counts_duplicates) {
    const std::string a = partner_json("0001", 1), b = partner_json("0002", 2);
    param_tdoa_schedule ab("[" + a + "," + b + "]", test_logger());
    param_tdoa_schedule ba("[" + b + "," + a + "]", test_logger());
    param_tdoa_schedule aa("[" + a + "," + a + "]", test_logger());
    param_tdoa_schedule a_only("[" + a + "]", test_logger());
    EXPECT_EQ(ab, ba);
    EXPECT_NE(ab, a_only);
    // Regression: a repeated partner must not stand in for a missing one.
    EXPECT_NE(aa, ab);
    EXPECT_NE(ab, aa);
}

TEST(param_tdoa_schedule, oversized_values_still_give_a_well_formed_frame) {
    // 16 partners: only 14 fit the length byte.
    std::string many = "[";
    for (unsigned i = 0; i < 16; ++i)
        many += (i ? "," : "") + partner_json(hex(i, 4), i);
    many += "]";
    const std::string hex16 = param_tdoa_schedule(many, test_logger()).to_hex();
    expect_well_formed(hex16, TDOA_SCHEDULE);
    EXPECT_EQ(hex16.substr(0, 4), "16FC");  // 14 × 18 bytes
    EXPECT_EQ(hex16.substr(4 + 13 * 36, 2), "0D");  // the 14th partner's slot

    // A slot and margin / 250 over 255 are capped at FF; a long address drops its partner.
    const std::string text = "[" + partner_json("0001", 300, 100000) + "," + partner_json("12345", 1) + "," +
                             partner_json("zz", 1) + "]";
    const std::string capped = param_tdoa_schedule(text, test_logger()).to_hex();
    expect_well_formed(capped, TDOA_SCHEDULE);
    EXPECT_EQ(capped, "1612FFC1FF000001FFFFFFFF000000000000012C");
}

TEST(param_veh_cert, encodes_and_treats_null_as_id_zero) {
    param_veh_cert seven(R"({"id":7})", test_logger());
    param_veh_cert zero(R"({"id":0})", test_logger());
    param_veh_cert null(test_logger());
    EXPECT_EQ(seven.to_hex(), "2E0107");
    EXPECT_EQ(seven.to_json_string(), "{\"id\":7}\n");
    EXPECT_EQ(null.to_hex(), "2E0100");
    EXPECT_EQ(null.to_json_string(), "null\n");
    EXPECT_TRUE(null == zero);
    EXPECT_TRUE(zero == null);
    EXPECT_TRUE(null == param_veh_cert(test_logger()));
    EXPECT_TRUE(seven != null);
    EXPECT_TRUE(null != seven);
    // A negative or text id is not read.
    EXPECT_TRUE(param_veh_cert(R"({"id":-1})", test_logger()).is_null());
    EXPECT_TRUE(param_veh_cert(R"({"id":"7"})", test_logger()).is_null());
    // An id beyond one byte is sent as "no certification", never with three digits.
    EXPECT_EQ(param_veh_cert(R"({"id":300})", test_logger()).to_hex(), "2E0100");
}

TEST(param_driver_lic, collapses_duplicates_and_sorts) {
    param_driver_lic lic(R"([{"id":3},{"id":1},{"id":3},{"x":4},{"id":"5"}])", test_logger());
    EXPECT_EQ(lic.ids(), (std::set<std::uint32_t>{1, 3}));
    EXPECT_EQ(lic.to_hex(), "2F020103");
    EXPECT_EQ(lic.to_json_string(), "[{\"id\":1},{\"id\":3}]\n");
    EXPECT_EQ(param_driver_lic("[]", test_logger()).to_hex(), "2F0100");
    EXPECT_EQ(param_driver_lic(test_logger()).to_hex(), "2F0100");
}

TEST(param_driver_lic, null_rules_of_equality) {
    param_driver_lic null(test_logger());
    param_driver_lic empty("[]", test_logger());
    param_driver_lic only_zero(R"([{"id":0}])", test_logger());
    param_driver_lic one(R"([{"id":1}])", test_logger());
    param_driver_lic one_three(R"([{"id":1},{"id":3}])", test_logger());
    param_driver_lic three_one(R"([{"id":3},{"id":1}])", test_logger());
    param_driver_lic one_four(R"([{"id":1},{"id":4}])", test_logger());

    EXPECT_TRUE(null == param_driver_lic(test_logger()));
    EXPECT_TRUE(null == only_zero);
    EXPECT_TRUE(only_zero == null);
    EXPECT_TRUE(empty == null);   // a null right side counts as the empty set
    EXPECT_FALSE(null == empty);  // but a null left side wants null or {0}
    EXPECT_FALSE(null == one);
    EXPECT_FALSE(one == null);
    EXPECT_TRUE(one_three == three_one);
    EXPECT_FALSE(one_three == one_four);
    EXPECT_FALSE(one_three == one);
    EXPECT_TRUE(null != empty);
    EXPECT_FALSE(empty != null);
}

TEST(param_driver_lic, ids_that_do_not_fit_are_left_out) {
    param_driver_lic lic(R"([{"id":2},{"id":300},{"id":255}])", test_logger());
    EXPECT_EQ(lic.to_hex(), "2F0202FF");

    Json::Value many(Json::arrayValue);
    for (unsigned id = 0; id < 300; ++id) {
        Json::Value element;
        element["id"] = id;
        many.append(element);
    }
    const std::string full = param_driver_lic(many, test_logger()).to_hex();
    expect_well_formed(full, DRIVER_LIC);
    EXPECT_EQ(full.substr(0, 4), "2FFF");
    EXPECT_EQ(full.substr(full.size() - 2), "FE");  // ids 0..254
}

TEST(param_nwk_cfg, encodes_router_flag_and_formation_request) {
    param_nwk_cfg router(R"({"router":true})", test_logger());
    param_nwk_cfg plain(R"({"router":false})", test_logger());
    param_nwk_cfg null(test_logger());
    EXPECT_EQ(router.to_hex(), "350101");
    EXPECT_EQ(plain.to_hex(), "350100");
    EXPECT_EQ(null.to_hex(), "350100");
    EXPECT_EQ(param_nwk_cfg::request_formation(), "3500");
    EXPECT_TRUE(param_nwk_cfg(R"({"router":1})", test_logger()).is_null());
    EXPECT_NE(plain, null);
    EXPECT_NE(null, plain);
    EXPECT_NE(plain, router);
}

TEST(param_em_alm, only_exact_set_raises_the_alarm) {
    param_em_alm set(R"({"state":"SET"})", test_logger());
    EXPECT_EQ(set.to_hex(), "3C0101");
    EXPECT_EQ(set.value(), "SET");
    EXPECT_EQ(param_em_alm(R"({"state":"CLEAR"})", test_logger()).to_hex(), "3C0100");
    EXPECT_EQ(param_em_alm(R"({"state":"set"})", test_logger()).to_hex(), "3C0100");
    EXPECT_EQ(param_em_alm(test_logger()).to_hex(), "3C0100");

    param_em_alm empty_state(R"({"state":""})", test_logger());
    EXPECT_EQ(empty_state.to_hex(), "3C0100");
    EXPECT_NE(empty_state, param_em_alm(test_logger()));
    EXPECT_EQ(set, param_em_alm(set.to_json_string(), test_logger()));
}

TEST(param_screen_text, encodes_bytes_and_cuts_at_255) {
    EXPECT_EQ(param_scr_name(Json::Value("AB"), test_logger()).to_hex(), "52024142");
    EXPECT_EQ(param_scr_gname(Json::Value("AB"), test_logger()).to_hex(), "53024142");
    EXPECT_EQ(param_scr_name(Json::Value(""), test_logger()).to_hex(), "520100");
    EXPECT_EQ(param_scr_gname(test_logger()).to_hex(), "530100");
    // Bytes of multi-byte characters are sent unsigned.
    EXPECT_EQ(param_scr_name(Json::Value("\xC3\xA9"), test_logger()).to_hex(), "5202C3A9");

    std::string long_name;
    for (int i = 0; i < 300; ++i)
        long_name.push_back(static_cast<char>('A' + i % 26));
    std::string expected = "52FF";
    for (int i = 0; i < 255; ++i)
        expected += hex('A' + i % 26, 2);
    EXPECT_EQ(param_scr_name(Json::Value(long_name), test_logger()).to_hex(), expected);
}

TEST(param_screen_text, json_form_and_null_rules) {
    param_scr_name name(std::string("\"Bob\""), test_logger());
    EXPECT_EQ(name.to_json_string(), "\"Bob\"\n");
    param_scr_name empty(Json::Value(""), test_logger());
    param_scr_name null(test_logger());
    EXPECT_NE(empty, null);
    EXPECT_NE(null, empty);
    EXPECT_NE(name, param_scr_name(Json::Value("bob"), test_logger()));
    EXPECT_EQ(name, param_scr_name(name.to_json_string(), test_logger()));
}

TEST(param_values, corrupted_text_gives_null_objects) {
    for (const char* text : {"", "not json", "{\"id\":7", "[{\"id\":1},", "\"unterminated", "[{\"addr\":}]"}) {
        SCOPED_TRACE(text);
        EXPECT_TRUE(param_tdoa_schedule(text, test_logger()).is_null());
        EXPECT_TRUE(param_veh_cert(text, test_logger()).is_null());
        EXPECT_TRUE(param_driver_lic(text, test_logger()).is_null());
        EXPECT_TRUE(param_nwk_cfg(text, test_logger()).is_null());
        EXPECT_TRUE(param_em_alm(text, test_logger()).is_null());
        EXPECT_TRUE(param_scr_name(text, test_logger()).is_null());
        EXPECT_TRUE(param_scr_gname(text, test_logger()).is_null());
    }
    // Well-formed JSON of the wrong shape is no value either.
    EXPECT_TRUE(param_tdoa_schedule(R"({"addr":"1A2B"})", test_logger()).is_null());
    EXPECT_TRUE(param_veh_cert("[7]", test_logger()).is_null());
    EXPECT_TRUE(param_driver_lic(R"({"id":1})", test_logger()).is_null());
    EXPECT_TRUE(param_em_alm("\"SET\"", test_logger()).is_null());
    EXPECT_TRUE(param_scr_name(R"({"name":"Bob"})", test_logger()).is_null());
}

TEST(payload_frame, rejects_values_that_would_break_the_length_byte) {
    EXPECT_EQ(payload_frame(SCR_MESSAGE, ""), "540100");
    EXPECT_EQ(payload_frame(SF, "0102"), "14020102");
    EXPECT_THROW(payload_frame(SF, "012"), vyr::libs::core::exception);
    EXPECT_THROW(payload_frame(SF, std::string(512, '0')), vyr::libs::core::exception);
}
