#include "context/win_record.h"

#include <algorithm>

#include "redis/connection.h"
#include "redis/pipeline.h"

namespace vyr::context {

using vyr::parameter::parameter_t;

namespace {


const common::hash s_empty;

std::optional<std::string> text(const common::hash& _hash, std::string_view _field) {
    return common::get(_hash, _field);
}

// The text of a field where it is stored; null when missing.
const std::string* stored(const common::hash& _hash, std::string_view _field) {
    const auto found = _hash.find(_field);
    return found == _hash.end() ? nullptr : &found->second;
}

// A record's key (`_key()`) only names it in the bad_data of a number that is none: it is
// made then, not for every number read.
template <class Convert, class Key>
auto convert(const std::string& _text, std::string_view _field, const Key& _key, Convert _convert) {
    try {
        return _convert(_text, _field, std::string_view());
    } catch (const bad_data&) {
        return _convert(_text, _field, _key());
    }
}

// 0 when missing or empty; bad_data naming the field and `_key()` when not a number.
template <class Key>
long number(const common::hash& _hash, std::string_view _field, const Key& _key) {
    const auto* value = stored(_hash, _field);
    return value ? convert(*value, _field, _key, common::to_long) : 0;
}

template <class Key>
std::optional<std::uint32_t> unsigned_number(const common::hash& _hash, std::string_view _field, const Key& _key) {
    if (const auto* value = stored(_hash, _field))
        return convert(*value, _field, _key, common::to_unsigned);
    return std::nullopt;
}

template <class Key>
timeval time_pair(const common::hash& _hash, std::string_view _sec, std::string_view _usec, const Key& _key) {
    return timeval{number(_hash, _sec, _key), number(_hash, _usec, _key)};
}

}  // namespace

const common::hash* win_record::parameter_hash(parameter_t _p) const {
    const auto found = m_data.parameters.find(vyr::parameter::parameters.at(_p));
    return found == m_data.parameters.end() ? &s_empty : &found->second;
}

std::optional<std::string> win_record::detail(parameter_t _p, std::string_view _field) const {
    return text(*parameter_hash(_p), _field);
}

std::string win_record::parameter_key(parameter_t _p) const {
    return win::keys::parameters(m_mac_addr, vyr::parameter::parameters.at(_p));
}

std::optional<std::uint32_t> win_record::unsigned_detail(parameter_t _p, std::string_view _field) const {
    return unsigned_number(*parameter_hash(_p), _field, [&] { return parameter_key(_p); });
}

vyr::parameter::parameter_states win_record::parameter_state(parameter_t _p) const {
    const auto* state = stored(*parameter_hash(_p), win::s_state);
    return state ? vyr::parameter::parameter_states_from_string(*state) : vyr::parameter::UNKNOWN;
}

std::string win_record::parameter_as_json(parameter_t _p, win::parameter_hemisphere _hemisphere) const {
    return detail(_p, _hemisphere == win::actual ? win::s_actual : win::s_must).value_or(std::string());
}

timeval win_record::parameter_timestamp(parameter_t _p) const {
    return time_pair(*parameter_hash(_p), win::s_timestamp_sec, win::s_timestamp_usec,
                     [&] { return parameter_key(_p); });
}

std::optional<std::int64_t> win_record::parameter_heard_ms(parameter_t _p) const {
    return common::to_int64(detail(_p, win::s_heard_ms));
}

win::push_record win_record::parameter_push_record(parameter_t _p) const {
    const auto& fields = *parameter_hash(_p);
    const auto key = [&] { return parameter_key(_p); };
    win::push_record record;
    record.must = text(fields, win::s_push_must).value_or(std::string());
    record.actual = text(fields, win::s_push_actual).value_or(std::string());
    record.report = time_pair(fields, win::s_push_report_sec, win::s_push_report_usec, key);
    record.refusals = static_cast<std::uint32_t>(number(fields, win::s_refusals, key));
    record.rejected = text(fields, win::s_rejected) == std::optional<std::string>("true");
    record.rejected_push = time_pair(fields, win::s_rejected_push_sec, win::s_rejected_push_usec, key);
    record.report_now = time_pair(fields, win::s_timestamp_sec, win::s_timestamp_usec, key);
    record.announced = text(fields, win::s_push_announced).value_or(std::string());
    return record;
}

std::string win_record::announce_token() const {
    return text(m_data.data, win::s_announced).value_or(std::string());
}

std::optional<std::string> win_record::answer_token() const { return text(m_data.data, win::s_answered); }

std::uint32_t win_record::sending_counter() const {
    return unsigned_number(m_data.data, win::s_sending_counter, [&] { return win::keys::data(m_mac_addr); })
        .value_or(0);
}

timeval win_record::sending_time() const {
    return time_pair(m_data.data, win::s_sending_counter_sec, win::s_sending_counter_usec,
                     [&] { return win::keys::data(m_mac_addr); });
}

std::string win_record::current_text() const {
    return text(m_data.data, win::s_current_text).value_or(std::string());
}

alarm_delivery win_record::alarm_delivery_state() const {
    alarm_delivery result;
    if (const auto state = text(m_data.alarm, win::s_state))
        result.state = alarm_states_from_string(*state);
    const auto uid = text(m_data.alarm, win::s_shown_uid);
    const auto key = [&] { return win::keys::alarm(m_mac_addr); };
    const auto level = unsigned_number(m_data.alarm, win::s_shown_level, key);
    const auto zone_id = unsigned_number(m_data.alarm, win::s_shown_zone_id, key);
    if (uid && level && zone_id)
        result.shown = shown_alarm{*uid, *level, *zone_id};
    return result;
}

std::optional<shown_alarm> win_record::reported_zone_alarm() const {
    const auto level = unsigned_detail(parameter_t::AL_ZV, win::al_zv::s_level);
    if (!level)
        return std::nullopt;
    return shown_alarm{{}, *level, unsigned_detail(parameter_t::AL_ZV, win::al_zv::s_zone_id).value_or(0)};
}

std::optional<bool> win_record::parameter_stationary() const {
    if (const auto value = detail(parameter_t::STATIONARY, "stationary"))
        return *value == "true";
    return std::nullopt;
}

std::optional<std::string> win_record::parameter_category() const { return detail(parameter_t::CATEGORY, "category"); }

std::optional<std::string> win_record::parameter_t2t_cfg_role() const { return detail(parameter_t::T2T_CFG, "role"); }

namespace {
std::optional<bool> flag(const std::optional<std::string>& _value) {
    if (_value)
        return *_value == "true";
    return std::nullopt;
}
}  // namespace

std::optional<bool> win_record::parameter_t2t_cfg_alarm_back() const {
    return flag(detail(parameter_t::T2T_CFG, "alarm_back"));
}
std::optional<bool> win_record::parameter_t2t_cfg_buzzer() const { return flag(detail(parameter_t::T2T_CFG, "buzzer")); }
std::optional<bool> win_record::parameter_t2t_cfg_haptic() const { return flag(detail(parameter_t::T2T_CFG, "haptic")); }
std::optional<std::string> win_record::parameter_t2t_cfg_pin() const { return detail(parameter_t::T2T_CFG, "pin"); }
std::optional<std::uint32_t> win_record::parameter_t2t_cfg_distance() const {
    return unsigned_detail(parameter_t::T2T_CFG, "distance");
}
std::optional<std::uint32_t> win_record::parameter_t2t_cfg_angle() const {
    return unsigned_detail(parameter_t::T2T_CFG, "angle");
}
std::optional<std::uint32_t> win_record::parameter_t2t_cfg_delay() const {
    return unsigned_detail(parameter_t::T2T_CFG, "delay");
}
std::optional<std::uint32_t> win_record::parameter_t2t_cfg_alert_distance() const {
    return unsigned_detail(parameter_t::T2T_CFG, "alert_distance");
}
std::optional<std::uint32_t> win_record::parameter_t2t_cfg_safe_distance() const {
    return unsigned_detail(parameter_t::T2T_CFG, "safe_distance");
}

std::optional<vyr::parameter::loc> win_record::parameter_loc() const {
    const auto& fields = *parameter_hash(parameter_t::LOC);
    std::optional<std::int32_t> values[5];
    const std::string_view names[] = {win::loc::s_x, win::loc::s_y, win::loc::s_z, win::loc::s_sublocation_z,
                                      win::loc::s_sublocation_id};
    for (std::size_t i = 0; i < 5; ++i) {
        const auto value = text(fields, names[i]);
        if (!value)
            return std::nullopt;
        values[i] = common::to_int(*value, names[i], parameter_key(parameter_t::LOC));
    }
    return vyr::parameter::loc{*values[0], *values[1], *values[2], *values[3], static_cast<std::uint32_t>(*values[4])};
}

std::vector<std::string> win_record::parameter_t2t_no_alarm() const { return m_data.t2t_no_alarm; }

std::uint32_t win_record::parameter_sync_slot_addr() const {
    return unsigned_detail(parameter_t::SYNC_SLOT, win::sync_slot::s_addr).value_or(65535);
}
std::uint32_t win_record::parameter_sync_slot_slot() const {
    return unsigned_detail(parameter_t::SYNC_SLOT, win::sync_slot::s_slot).value_or(255);
}
std::uint32_t win_record::parameter_sync_slot_flags() const {
    return unsigned_detail(parameter_t::SYNC_SLOT, win::sync_slot::s_flags).value_or(0);
}

vyr::parameter::superframe win_record::parameter_sf() const {
    return {unsigned_detail(parameter_t::SF, "node_id"), unsigned_detail(parameter_t::SF, "sfd"),
            unsigned_detail(parameter_t::SF, "setting_slots"), unsigned_detail(parameter_t::SF, "slot_count")};
}

std::vector<win_record> read_win_records(redis::connection& _redis_context, const std::vector<std::string>& _macs,
                                         const parameters_of& _which) {
    // Each record is its keys' replies in a row: data, alarm, then per parameter its hash
    // (and the no-alarm set after the t2t_no_alarm hash).
    struct layout {
        std::vector<parameter_t> parameters;
        bool no_alarm_set = false;
    };
    std::vector<layout> layouts;
    layouts.reserve(_macs.size());
    redis::batch reads;
    for (const auto& mac : _macs) {
        layout entry;
        if (_which) {
            entry.parameters = _which(mac);
        } else {
            for (const auto& [number, name] : vyr::parameter::parameters)
                entry.parameters.push_back(number);
        }
        reads.add("HGETALL", win::keys::data(mac)).add("HGETALL", win::keys::alarm(mac));
        for (const auto p : entry.parameters) {
            reads.add("HGETALL", win::keys::parameters(mac, vyr::parameter::parameters.at(p)));
            if (p == parameter_t::T2T_NO_ALARM) {
                reads.add("SMEMBERS", win::keys::t2t_no_alarm_set(mac));
                entry.no_alarm_set = true;
            }
        }
        layouts.push_back(std::move(entry));
    }
    const auto replies = vyr::redis::pipeline(_redis_context, std::move(reads)).exec();
    std::vector<win_record> records;
    records.reserve(_macs.size());
    std::size_t at = 0;
    for (std::size_t i = 0; i < _macs.size(); ++i) {
        win_data data;
        data.data = common::to_hash(replies[at++]);
        data.alarm = common::to_hash(replies[at++]);
        for (const auto p : layouts[i].parameters) {
            if (auto hash = common::to_hash(replies[at++]); !hash.empty())
                data.parameters.emplace(vyr::parameter::parameters.at(p), std::move(hash));
            if (p == parameter_t::T2T_NO_ALARM)
                data.t2t_no_alarm = common::to_members(replies[at++]);
        }
        records.emplace_back(_macs[i], std::move(data));
    }
    return records;
}

}  // namespace vyr::context
