#include "judge/report_stores.h"

#include <limits>
#include <stdexcept>

#include "common/field_reader.h"
#include "common/helpers.h"
#include "context/common.h"
#include "core/json.h"

namespace vyr::judge {

using vyr::context::alarm_states;
using vyr::context::win;
using namespace vyr::parameter;

namespace {

// A hexadecimal text as an unsigned 32-bit number; nothing when the text does not start
// with a hexadecimal number or the number does not fit (a "-" sign included).
std::optional<std::uint32_t> hex_unsigned(const std::string& _text) {
    try {
        const unsigned long value = std::stoul(_text, nullptr, 16);
        if (value > std::numeric_limits<std::uint32_t>::max())
            return std::nullopt;
        return static_cast<std::uint32_t>(value);
    } catch (const std::logic_error&) {  // invalid_argument, out_of_range
        return std::nullopt;
    }
}

// A null value says the device does not support the parameter.
bool not_supported(const report_target& _target, parameter_t _p, const Json::Value& _value) {
    if (!_value.isNull())
        return false;
    _target.device.parameter_state(_p, NOT_SUPPORTED);
    return true;
}

}  // namespace

// The whole superframe the device holds: "addr" (node id) and "sfd" as hexadecimal texts,
// "set_slots" and "sch_slots" (slot counts of the setting and the schedule) as numbers. A
// member that is missing or unreadable is left out (with a debug record for an unreadable
// one) and the rest of the report is still taken.
bool store_sf(const report_target& _target, const Json::Value& _value) {
    if (not_supported(_target, SF, _value))
        return false;
    _target.device.parameter_state(SF, SUPPORTED);
    superframe reported;
    const auto member = [&](const char* _name, bool _hex, std::optional<std::uint32_t>& _out) {
        if (!_value.isObject() || !_value.isMember(_name))
            return;
        const auto& field = _value[_name];
        if (_hex && field.isString()) {
            const auto text = field.asString();
            if (!text.empty() && text.size() <= 8 &&
                text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos)
                _out = static_cast<std::uint32_t>(std::stoul(text, nullptr, 16));
        } else if (!_hex && field.isUInt()) {
            _out = field.asUInt();
        }
        if (!_out)
            _target.logger.debug("sf member \"%1%\" of %2% is unreadable and left out: %3%") % _name % vyr::libs::core::device_mac{_target.mac} %
                vyr::libs::core::json::to_string(field);
    };
    member("addr", true, reported.node_id);
    member("sfd", true, reported.sfd);
    member("set_slots", false, reported.setting_slots);
    member("sch_slots", false, reported.slot_count);
    _target.device.parameter_sf(reported);
    return true;
}

// When it was heard is kept: a pressed button is cleared only by an alarm list that saw
// it pressed at this time or later.
bool store_em_alm(const report_target& _target, const Json::Value& _value) {
    _target.device.detail(EM_ALM, win::s_heard_ms, std::to_string(_target.heard_ms));
    return store_value<param_em_alm, EM_ALM>(_target, _value);
}

bool store_sync_slot(const report_target& _target, const Json::Value& _value) {
    if (not_supported(_target, SYNC_SLOT, _value))
        return false;
    if (!_value.isObject())
        return false;
    const field_reader read{_target.logger, "store_sync_slot", std::string(parameters.at(SYNC_SLOT))};
    std::string addr_text;
    if (!read(_value, "addr", addr_text, _target.mac))
        return false;
    const auto addr = hex_unsigned(addr_text);
    if (!addr)
        return false;
    _target.device.detail(SYNC_SLOT, win::sync_slot::s_addr, std::to_string(*addr));
    unsigned int slot = 0;
    if (!read(_value, "slot", slot, _target.mac))
        return false;
    _target.device.detail(SYNC_SLOT, win::sync_slot::s_slot, std::to_string(slot));
    if (_value.isMember("flags")) {
        std::string flags_text;
        if (!read(_value, "flags", flags_text, _target.mac))
            return false;
        const auto flags = hex_unsigned(flags_text);
        if (!flags)
            return false;
        _target.device.detail(SYNC_SLOT, win::sync_slot::s_flags, std::to_string(*flags));
    }
    _target.device.parameter_state(SYNC_SLOT, SUPPORTED);
    return true;
}

// The report replaces the whole configuration: members it leaves out must not survive
// from an earlier one. Its time stamp (written with the report's common writes, so an
// older report replayed later is still refused) and delivery's push record stay.
bool store_t2t_cfg(const report_target& _target, const Json::Value& _value) {
    auto& device = _target.device;
    device.del_t2t_cfg_report();
    if (not_supported(_target, T2T_CFG, _value))
        return false;
    if (!_value.isObject())
        return false;
    const field_reader read{_target.logger, "store_t2t_cfg", std::string(parameters.at(T2T_CFG))};
    std::string role;
    if (!read(_value, "role", role, _target.mac))
        return false;
    device.detail(T2T_CFG, "role", role);
    // Optional members: a present member of the wrong type is logged by the reader and
    // stored as the empty value of its kind (false, 0 or ""), as the server's decoder does.
    const auto optional = [&](const char* _field, auto _empty, auto _text) {
        if (!_value.isMember(_field))
            return;
        auto member = _empty;
        if (!read(_value, _field, member, _target.mac))
            member = _empty;
        device.detail(T2T_CFG, _field, _text(member));
    };
    const auto flag = [](bool _flag) { return vyr::context::common::to_text(_flag); };
    const auto number = [](double _number) { return std::to_string(round_half_away_unsigned(_number)); };
    const auto text = [](const std::string& _text) { return _text; };
    optional("alarm_back", false, flag);
    optional("distance", 0.0, number);
    optional("angle", 0.0, number);
    optional("delay", 0.0, number);
    optional("pin", std::string(), text);
    optional("alert_distance", 0.0, number);
    optional("safe_distance", 0.0, number);
    optional("buzzer", false, flag);
    optional("haptic", false, flag);
    device.parameter_state(T2T_CFG, SUPPORTED);
    return true;
}

// No list at all is an empty list: the device supports the parameter either way.
bool store_t2t_no_alarm(const report_target& _target, const Json::Value& _value) {
    const field_reader read{_target.logger, "store_t2t_no_alarm", std::string(parameters.at(T2T_NO_ALARM))};
    std::vector<std::string> list;
    if (_value.isArray()) {
        for (const auto& element : _value) {
            std::string mac;
            if (read(element, "mac", mac, _target.mac))
                list.push_back(mac);
        }
    }
    _target.device.parameter_t2t_no_alarm(list);
    _target.device.parameter_state(T2T_NO_ALARM, SUPPORTED);
    return true;
}

bool store_stationary(const report_target& _target, const Json::Value& _value) {
    if (not_supported(_target, STATIONARY, _value))
        return false;
    if (!_value.isBool())
        return false;
    _target.device.parameter_state(STATIONARY, SUPPORTED);
    _target.device.detail(STATIONARY, "stationary", vyr::context::common::to_text(_value.asBool()));
    return true;
}

bool store_category(const report_target& _target, const Json::Value& _value) {
    if (not_supported(_target, CATEGORY, _value))
        return false;
    if (!_value.isString())
        return false;
    _target.device.parameter_state(CATEGORY, SUPPORTED);
    _target.device.detail(CATEGORY, "category", _value.asString());
    return true;
}

bool store_loc(const report_target& _target, const Json::Value& _value) {
    if (not_supported(_target, LOC, _value))
        return false;
    _target.device.parameter_state(LOC, SUPPORTED);
    const field_reader read{_target.logger, "store_loc", std::string(parameters.at(LOC))};
    const auto& mac = _target.mac;
    double x = 0, y = 0, z = 0, sl_z = 0;
    if (!read(_value, "x", x, mac) || !read(_value, "y", y, mac) || !read(_value, "z", z, mac) ||
        !read(_value, "sl_z", sl_z, mac))
        return false;
    loc position;
    position.x = round_half_away(x);
    position.y = round_half_away(y);
    position.z = round_half_away(z);
    position.sublocation_z = round_half_away(sl_z);
    if (_value.isMember("sl_id")) {
        unsigned int sl_id = 0;
        if (!read(_value, "sl_id", sl_id, mac))
            return false;
        position.sublocation_id = sl_id;
    }
    _target.device.parameter_loc(position);
    return true;
}

// What the device shows now: every delivery cycle compares it with the alarm to show.
bool store_al_zv(const report_target& _target, const Json::Value& _value) {
    if (not_supported(_target, AL_ZV, _value)) {
        _target.device.alarm_state(alarm_states::NOT_SUPPORTED);
        return false;
    }
    _target.device.parameter_state(AL_ZV, SUPPORTED);
    const auto shown = reported_zone_alarm(_value, _target.logger, _target.mac);
    if (!shown)
        return false;
    _target.device.detail(AL_ZV, win::al_zv::s_level, std::to_string(shown->level));
    _target.device.detail(AL_ZV, win::al_zv::s_zone_id, std::to_string(shown->zone_id));
    return true;
}

// The text itself is not kept; anything but a text means the device has no screen. The
// alarm message shown moves on by compare-and-set: a new alarm set meanwhile keeps its
// state.
bool store_scr_message(const report_target& _target, const Json::Value& _value) {
    _target.device.parameter_state(SCR_MESSAGE, _value.isString() ? SUPPORTED : NOT_SUPPORTED);
    _target.device.replace_alarm_state(alarm_states::MESSAGE, alarm_states::CONFIGURED);
    return true;
}

std::optional<zone_alarm_shown> reported_zone_alarm(const Json::Value& _value,
                                                    vyr::libs::core::component_logger& _logger,
                                                    const std::string& _mac) {
    const field_reader read{_logger, "reported_zone_alarm", std::string(parameters.at(AL_ZV))};
    zone_alarm_shown shown;
    if (!read(_value, "level", shown.level, _mac))
        return std::nullopt;
    if (shown.level != 0 && !read(_value, "zid", shown.zone_id, _mac))
        return std::nullopt;
    return shown;
}

}  // namespace vyr::judge
