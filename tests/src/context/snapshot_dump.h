// A project snapshot as sorted lines of text, one per flag, record, list and index entry,
// for tests that hold two snapshots against each other (a patched one and one read
// whole). Plain functions on values; any thread.
#pragma once

#include <json/json.h>

#include <algorithm>
#include <optional>
#include <set>
#include <type_traits>
#include <string>
#include <vector>

#include "context/project_snapshot.h"

namespace test {

namespace dump_detail {

inline std::string text(const char* _label) { return _label; }
inline std::string text(const std::string& _value) { return '"' + _value + '"'; }
inline std::string text(const Json::Value& _value) { return Json::FastWriter().write(_value); }
template <class T>
std::string text(const T& _value);
template <class T>
std::string text(const std::optional<T>& _value) {
    return _value ? text(*_value) : "-";
}
// A number as itself, a list as its items in brackets.
template <class T>
std::string text(const T& _value) {
    if constexpr (std::is_arithmetic_v<T>) {
        return std::to_string(_value);
    } else {
        std::string items = "[";
        for (const auto& item : _value)
            items += text(item) + " ";
        return items + "]";
    }
}
template <class... Parts>
std::string line(const Parts&... _parts) {
    std::string all;
    ((all += text(_parts) + " "), ...);
    return all;
}

}  // namespace dump_detail

inline std::vector<std::string> dump(const vyr::context::project_snapshot& _s) {
    using dump_detail::line;
    std::vector<std::string> lines{line("version", _s.version),
                                   line("flags", _s.updated, _s.vehicle_certification,
                                        static_cast<int>(_s.alarms_refresh))};
    for (const auto& [uid, a] : _s.anchors)
        lines.push_back(line("anchor", uid, a.project_uid, a.name, a.sublocation_uid, a.type,
                             a.mac_addr, a.position_x, a.position_y, a.position_z, a.node_id));
    for (const auto& [uid, o] : _s.track_objs) {
        lines.push_back(line("object", uid, o.project_uid, o.name, o.sublocation_uid, o.type,
                             o.mac_addr, o.category, o.stationary, o.position_x, o.position_y, o.default_height,
                             o.vehicle_model, o.groups, o.t2t_no_alarm, o.driver_licenses));
        if (const auto& t = o.t2t_cfg)
            lines.push_back(line("t2t", uid, t->role, t->alarm_back, t->buzzer, t->haptic, t->pin,
                                 t->distance, t->angle, t->delay, t->alert_distance, t->safe_distance));
    }
    for (const auto& [uid, g] : _s.groups)
        lines.push_back(line("group", uid, g.project_uid, g.name));
    for (const auto& [uid, z] : _s.zones)
        lines.push_back(line("zone", uid, z.project_uid, z.zone_id));
    for (const auto& [uid, l] : _s.sublocations)
        lines.push_back(line("sublocation", uid, l.project_uid, l.sublocation_id, l.offset_x,
                             l.offset_y, l.offset_z));
    for (const auto& [uid, document] : _s.tdoa_settings)
        lines.push_back(line("setting", uid, document));
    for (const auto& [uid, schedule] : _s.tdoa_schedules)
        lines.push_back(line("schedule", uid, schedule.tdoa_version, schedule.rows));
    for (const auto& [uid, a] : _s.alarms)
        lines.push_back(line("alarm", uid, a.alarm_name, a.obj_uid, a.zone_uid, a.text,
                             a.acknowledged, a.zone_alarm_level, a.set, a.delivered));
    for (const auto& [uid, listed] : _s.alarms_of_object)
        lines.push_back(line("listed", uid, std::set<std::string>(listed.begin(), listed.end())));
    for (const auto& [uid, ms] : _s.buttons_seen)
        lines.push_back(line("button", uid, ms));
    for (const auto& [mac, uid] : _s.anchor_by_mac)
        lines.push_back(line("anchor mac", mac, uid));
    for (const auto& [mac, uid] : _s.track_obj_by_mac)
        lines.push_back(line("object mac", mac, uid));
    for (const auto& uid : _s.unreadable)
        lines.push_back(line("unreadable", uid));
    std::sort(lines.begin(), lines.end());
    return lines;
}

}  // namespace test
