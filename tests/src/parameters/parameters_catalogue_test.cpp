// The parameter catalogue: numbers that are not parameters, and the per-WIN support states.
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "parameters/parameters.h"

using namespace vyr::parameter;

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
