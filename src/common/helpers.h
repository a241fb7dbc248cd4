// Small rules shared across the tree, each named by what it does: letter case, the
// member test of a JSON object, the three ways a number is rounded to an integer, and the
// server's wall clock in milliseconds.
#pragma once

#include <cstdint>
#include <string>

#include <json/json.h>

// Character by character in the "C" locale: other bytes are kept.
std::string to_upper(std::string _text);
std::string to_lower(std::string _text);

// Whether _j is an object with the member (of any type, null included).
bool has_member(const Json::Value& _j, const char* _member);

// Nearest integer, halves away from zero (2.5 → 3, -2.5 → -3); saturates at the ends of
// the range, NaN included at the low end.
std::int32_t round_half_away(double _value);
// As round_half_away; negatives and NaN are 0.
std::uint32_t round_half_away_unsigned(double _value);
// Nearest integer, halves up: floor(x + 0.5) (2.5 → 3, -2.5 → -2, -2.7 → -3, -200 → -200);
// saturates as round_half_away.
std::int32_t round_half_up(double _value);

// The wall clock in milliseconds since the epoch: the time stamps the service itself
// stores beside what it was told.
std::int64_t now_ms();
