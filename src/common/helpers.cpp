#include "common/helpers.h"

#include <cctype>
#include <chrono>
#include <cmath>
#include <limits>

std::string to_upper(std::string _text) {
    for (auto& c : _text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return _text;
}

std::string to_lower(std::string _text) {
    for (auto& c : _text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return _text;
}

bool has_member(const Json::Value& _j, const char* _member) { return _j.isObject() && _j.isMember(_member); }

std::int32_t round_half_away(double _value) {
    const double rounded = std::round(_value);
    if (!(rounded > static_cast<double>(std::numeric_limits<std::int32_t>::min())))
        return std::numeric_limits<std::int32_t>::min();
    if (rounded >= static_cast<double>(std::numeric_limits<std::int32_t>::max()))
        return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(rounded);
}

std::uint32_t round_half_away_unsigned(double _value) {
    if (!(_value > 0))
        return 0;
    const double rounded = std::round(_value);
    if (rounded >= static_cast<double>(std::numeric_limits<std::uint32_t>::max()))
        return std::numeric_limits<std::uint32_t>::max();
    return static_cast<std::uint32_t>(rounded);
}

std::int32_t round_half_up(double _value) {
    const double rounded = std::floor(_value + 0.5);
    if (!(rounded > static_cast<double>(std::numeric_limits<std::int32_t>::min())))
        return std::numeric_limits<std::int32_t>::min();
    if (rounded >= static_cast<double>(std::numeric_limits<std::int32_t>::max()))
        return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(rounded);
}

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}
