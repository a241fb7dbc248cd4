// The parameter catalogue: numbers, names, type codes, and the per-WIN support states.
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "parameters/parameters.h"

using namespace vyr::parameter;

TEST(Catalogue, exactly_the_listed_parameters) {
    const std::pair<std::uint32_t, const char*> expected[] = {
        {0, "txp"},       {6, "tdoa_schd"},      {8, "al_zv"},         {9, "loc"},          {11, "acc"},
        {12, "bt"},       {20, "sf"},            {22, "tdoa_schedule"}, {24, "sync_slot"},  {43, "t2t_cfg"},
        {44, "t2t_no_alarm"}, {46, "veh_cert"},  {47, "driver_lic"},    {53, "nwk_cfg"},    {60, "em_alm"},
        {82, "scr_name"}, {83, "scr_gname"},     {84, "scr_message"},   {91, "anchor_loc"}, {93, "stationary"},
        {94, "category"},
    };
    ASSERT_EQ(parameters.size(), 21u);
    auto entry = parameters.begin();
    for (const auto& [number, name] : expected) {
        EXPECT_EQ(static_cast<std::uint32_t>(entry->first), number);
        EXPECT_EQ(entry->second, name);
        ++entry;
    }
}

TEST(Catalogue, numbers_between_are_not_parameters) {
    for (const std::uint32_t number : {1u, 7u, 10u, 45u, 95u, 255u})
        EXPECT_THROW(parameters.at(static_cast<parameter_t>(number)), std::out_of_range) << number;
}

TEST(Catalogue, states_to_and_from_text) {
    for (const auto state : {UNKNOWN, NOT_SUPPORTED, SUPPORTED})
        EXPECT_EQ(parameter_states_from_string(to_string(state)), state);
    EXPECT_EQ(to_string(NOT_SUPPORTED), "not_supported");
    EXPECT_THROW(to_string(static_cast<parameter_states>(3)), std::out_of_range);
    for (const char* other : {"Supported", "", "supported ", "SUPPORTED", "yes", "not supported"})
        EXPECT_EQ(parameter_states_from_string(other), UNKNOWN) << other;
}
