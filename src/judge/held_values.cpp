#include "judge/held_values.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "common/helpers.h"
#include "core/json.h"

namespace vyr::judge {

using namespace vyr::parameter;

namespace {

// Different only when both sides hold a value and the values differ.
template <class T>
bool both_differ(const std::optional<T>& _a, const std::optional<T>& _b) {
    return _a && _b && *_a != *_b;
}

bool is_hex_text(const std::string& _text) {
    return std::all_of(_text.begin(), _text.end(), [](char _c) { return std::isxdigit(static_cast<unsigned char>(_c)); });
}

constexpr std::uint32_t s_max_u16 = 0xFFFF;

}  // namespace

std::uint32_t pin_bits(const std::optional<std::string>& _pin) {
    if (!_pin)
        return 0;
    const auto pin = to_upper(*_pin);
    if (pin == "SOLID")
        return 1u << 2;
    if (pin == "PULSE")
        return 1u << 3;
    return 0;
}

std::optional<std::string> category_code(const std::string& _category) {
    if (_category == "unspecified")
        return "00";
    if (_category == "person")
        return "01";
    if (_category == "vehicle")
        return "02";
    if (_category == "asset")
        return "03";
    return std::nullopt;
}

std::string hex32(std::int64_t _value) { return hex(static_cast<std::uint32_t>(_value), 8); }

std::string json_text(const Json::Value& _value) { return vyr::libs::core::json::to_string(_value); }

Json::Value json_list(const std::vector<std::string>& _list) {
    Json::Value list(Json::arrayValue);
    for (const auto& entry : _list)
        list.append(entry);
    return list;
}

Json::Value loc_to_json(const loc& _loc) {
    Json::Value value(Json::objectValue);
    value["x"] = _loc.x;
    value["y"] = _loc.y;
    value["z"] = _loc.z;
    value["sl_z"] = _loc.sublocation_z;
    value["sl_id"] = _loc.sublocation_id;
    return value;
}

Json::Value t2t_to_json(const std::string& _role, const t2t_fields& _fields) {
    Json::Value value(Json::objectValue);
    value["role"] = _role;
    const auto put = [&value](const char* _name, const auto& _field) {
        if (_field)
            value[_name] = *_field;
    };
    put("alarm_back", _fields.alarm_back);
    put("distance", _fields.distance);
    put("angle", _fields.angle);
    put("delay", _fields.delay);
    put("pin", _fields.pin);
    put("alert_distance", _fields.alert_distance);
    put("safe_distance", _fields.safe_distance);
    put("buzzer", _fields.buzzer);
    put("haptic", _fields.haptic);
    return value;
}

std::string loc_misfit(std::uint32_t _sublocation_id, std::int64_t _z) {
    if (_sublocation_id > s_max_u16)
        return "sublocation id " + std::to_string(_sublocation_id) + " beyond two bytes, not sent";
    if (_z < std::numeric_limits<std::int32_t>::min() || _z > std::numeric_limits<std::int32_t>::max())
        return "z " + std::to_string(_z) + " beyond 32 bits, not sent";
    return "";
}

t2t_held held_t2t(const vyr::context::track_obj_data::t2t* _cfg, std::string& _loss) {
    t2t_held held;
    if (!_cfg) {
        held.role = "disabled";
        return held;
    }
    const auto& cfg = *_cfg;
    held.exists = true;
    held.role = cfg.role;
    // Any role but these two is sent as role byte 00 and nothing more: the device holds
    // "disabled".
    const auto role = to_lower(held.role);
    if (role != "monitor" && role != "announcer") {
        if (role != "disabled")
            _loss = "role " + held.role + " held as disabled";
        held.role = "disabled";
        return held;
    }
    const auto capped = [&_loss, &held](const char* _name, std::optional<std::uint32_t> _value, std::uint32_t _max,
                                        std::uint32_t _step) -> std::optional<std::uint32_t> {
        if (!_value)
            return std::nullopt;
        const std::uint32_t held_value = *_value / _step * _step;
        if (*_value / _step > _max) {
            held.unsendable = true;
            _loss += std::string(_loss.empty() ? "" : "; ") + _name + " " + std::to_string(*_value) +
                     " beyond its field, not sent";
        } else if (held_value != *_value) {
            _loss += std::string(_loss.empty() ? "" : "; ") + _name + " " + std::to_string(*_value) + " held as " +
                     std::to_string(held_value);
        }
        return held_value;
    };
    held.fields = {cfg.alarm_back,
                   capped("distance", cfg.distance, s_max_u16, 1),
                   capped("angle", cfg.angle, 0xFF, 2),
                   capped("delay", cfg.delay, s_max_u16, 1),
                   cfg.pin,
                   capped("alert_distance", cfg.alert_distance, s_max_u16, 1),
                   capped("safe_distance", cfg.safe_distance, s_max_u16, 1),
                   cfg.buzzer,
                   cfg.haptic};
    return held;
}

std::string t2t_payload(const t2t_held& _held) {
    if (!_held.exists)
        return payload_frame(T2T_CFG, "");
    const auto role = to_lower(_held.role);
    const bool announcer = role == "announcer";
    if (role != "monitor" && !announcer)
        return payload_frame(T2T_CFG, "00");
    const auto& f = _held.fields;
    std::uint32_t flags = pin_bits(f.pin);
    if (f.alarm_back.value_or(false))
        flags |= 1u << 0;
    if (f.haptic.value_or(false))
        flags |= 1u << 4;
    if (f.buzzer.value_or(false))
        flags |= 1u << 5;
    std::string value = (announcer ? "02" : "01") + hex(flags, 2) + hex(f.delay.value_or(0), 4);
    if (announcer)
        value += hex(f.distance.value_or(0), 4) + hex(f.angle.value_or(0) / 2, 2) +
                 hex(f.alert_distance.value_or(0), 4) + hex(f.safe_distance.value_or(0), 4);
    return payload_frame(T2T_CFG, value);
}

bool t2t_differs(parameter_states _state, const std::optional<std::string>& _reported_role,
                 const t2t_fields& _reported, const t2t_held& _held) {
    const auto state = _state;
    const auto& reported = _reported_role;
    if (!_held.exists)
        return state == SUPPORTED && to_lower(reported.value_or("")) != "disabled";
    if (state == UNKNOWN)
        return true;
    if (state != SUPPORTED)
        return false;
    const auto role = to_lower(_held.role);
    if (role != to_lower(reported.value_or("")))
        return true;
    if (role != "monitor" && role != "announcer")
        return false;
    const auto& f = _held.fields;
    const auto& r = _reported;
    return both_differ(f.alarm_back, r.alarm_back) || both_differ(f.distance, r.distance) ||
           both_differ(f.angle, r.angle) || both_differ(f.delay, r.delay) ||
           (f.pin && r.pin && pin_bits(f.pin) != pin_bits(r.pin)) ||
           both_differ(f.alert_distance, r.alert_distance) ||
           both_differ(std::optional<std::uint32_t>(f.safe_distance.value_or(0)), r.safe_distance) ||
           both_differ(f.buzzer, r.buzzer) || both_differ(f.haptic, r.haptic);
}

std::optional<std::string> held_no_alarm(const std::vector<std::string>& _list, std::string& _loss) {
    std::optional<std::string> held;
    std::size_t refused = 0;
    for (const auto& entry : _list) {
        if (entry.empty() || entry.size() % 2 != 0 || entry.size() > 2 * 255 || !is_hex_text(entry)) {
            ++refused;
            continue;
        }
        auto upper = to_upper(entry);
        if (!held || upper < *held)
            held = std::move(upper);
    }
    if (_list.size() > 1 || refused != 0)
        _loss = std::to_string(_list.size()) + " entries (" + std::to_string(refused) +
                " unusable), the device holds one: " + held.value_or("none");
    return held;
}

std::vector<std::string> one_or_none(const std::optional<std::string>& _entry) {
    return _entry ? std::vector<std::string>{*_entry} : std::vector<std::string>{};
}

}  // namespace vyr::judge
