#include "judge/alarms.h"

#include <utility>

#include "context/alarm.h"
#include "parameters/parameters.h"

namespace vyr::judge::alarms {

using vyr::context::alarm_data;
using vyr::context::alarm_states;

namespace {

// Whether `_b` is to be shown rather than `_a`.
bool preferred(const alarm_data& _a, const alarm_data& _b) {
    if (!_a.acknowledged || !_b.acknowledged)
        return false;
    if (_a.delivered && !_b.delivered)
        return true;
    if ((_b.zone_alarm_level && !_a.zone_alarm_level) ||
        (_a.zone_alarm_level && _b.zone_alarm_level && *_a.zone_alarm_level < *_b.zone_alarm_level))
        return true;
    return *_a.acknowledged != 0 && *_b.acknowledged == 0;
}

}  // namespace

std::optional<std::string> unreadable(const vyr::context::object_alarms& _alarms) {
    if (!_alarms.index_error.empty())
        return _alarms.index_error;
    for (const auto& broken : _alarms.broken)
        if (broken.name.empty() || vyr::context::is_zone_alarm(broken.name))
            return "alarm " + broken.uid + ": " + broken.error;
    return std::nullopt;
}

view to_show(const std::string& _mac, const vyr::context::object_alarms& _alarms, const zones& _zones,
             notice& _notice) {
    const alarm_data* chosen = nullptr;
    const std::string* chosen_uid = nullptr;
    std::uint32_t chosen_zone_id = 0;
    std::string refused;
    for (const auto& [uid, data] : _alarms.alarms) {
        if (!data.alarm_name || !vyr::context::is_zone_alarm(*data.alarm_name) || !data.set || !data.text ||
            !data.zone_uid || !data.zone_alarm_level)
            continue;
        // A level or zone the payload cannot carry would show another alarm than the
        // project's: such an alarm is not shown (nor one whose zone is not mirrored).
        const auto zone = _zones.find(*data.zone_uid);
        if (zone == _zones.end() || *data.zone_alarm_level > s_max_level || zone->second.zone_id > s_max_zone_id) {
            refused += (refused.empty() ? "" : ", ") + uid;
            continue;
        }
        if (!chosen || preferred(*chosen, data)) {
            chosen = &data;
            chosen_uid = &uid;
            chosen_zone_id = zone->second.zone_id;
        }
    }
    _notice = notice{_mac + " zone alarms", refused, {}, false};
    if (!refused.empty())
        _notice.text = "zone alarms of " + _mac + " not shown: level above " + std::to_string(s_max_level) +
                       ", zone id above " + std::to_string(s_max_zone_id) + " or zone not mirrored: " + refused;
    view result;
    if (chosen) {
        result.shown = {*chosen_uid, *chosen->zone_alarm_level, chosen_zone_id};
        result.zone_uid = *chosen->zone_uid;
        // As the device holds it: what it confirms is compared with what it was sent.
        result.text = vyr::parameter::param_screen_text::held_text(*chosen->text);
    }
    return result;
}

bool judged(alarm_states _state) {
    return _state == alarm_states::NOT_CONFIGURED || _state == alarm_states::SENT ||
           _state == alarm_states::MESSAGE || _state == alarm_states::CONFIGURED;
}

decision decide(const vyr::context::win_record& _win, const view& _must) {
    decision result;
    result.must = _must;
    const auto delivery = _win.alarm_delivery_state();
    const auto state = delivery.state;
    if (!judged(state))
        return result;
    // What the device confirmed showing: the alarm it acknowledged, unless it reported
    // another one since.
    bool shows = delivery.shown && *delivery.shown == _must.shown;
    if (shows && state != alarm_states::SENT && state != alarm_states::NOT_CONFIGURED) {
        const auto reported = _win.reported_zone_alarm();
        shows = !reported || (reported->level == _must.shown.level &&
                              (_must.shown.level == 0 || reported->zone_id == _must.shown.zone_id));
    }
    if (state == alarm_states::NOT_CONFIGURED || state == alarm_states::SENT || !shows) {
        result.send = decision::frame::zone_alarm;
        result.change = decision::state_change{state, alarm_states::SENT, _must.shown, _must.text};
        return result;
    }
    // The alarm is shown; its text is what is left to settle.
    const auto text = _win.current_text();
    if (text == _must.text && state == alarm_states::CONFIGURED)
        return result;
    result.send = decision::frame::message;
    if (text != _must.text)
        result.change = decision::state_change{state, alarm_states::MESSAGE, std::nullopt, _must.text};
    return result;
}

}  // namespace vyr::judge::alarms
