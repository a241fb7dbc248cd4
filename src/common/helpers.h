// Small rules shared across the tree, each named by what it does: letter case, the
// member test of a JSON object, the three ways a number is rounded to an integer, the
// strict reading of a decimal text, and the server's wall clock in milliseconds. Free
// functions without state: any thread may use them.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>

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

// The whole of `_text` as a decimal integer of type T: digits only, with a leading "-"
// for a signed T; no "+", no spaces, nothing after the digits. Leading zeros are read
// ("007" is 7). Nothing for an empty text, any other character, or a value outside T.
template <class T>
std::optional<T> parse_decimal(std::string_view _text) {
    static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>, "an integer type");
    T value{};
    const char* const end = _text.data() + _text.size();
    const auto result = std::from_chars(_text.data(), end, value);
    if (result.ec != std::errc() || result.ptr != end)
        return std::nullopt;
    return value;
}

// The wall clock in milliseconds since the epoch: the time stamps the service itself
// stores beside what it was told.
std::int64_t now_ms();
