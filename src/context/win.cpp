#include "context/win.h"

#include <atomic>
#include <chrono>

#include "common/helpers.h"
#include "context/anchor.h"
#include "context/track_obj.h"
#include "core/exception.h"
#include "redis/pipeline.h"
#include "redis/transaction.h"

namespace vyr::context {

using vyr::parameter::parameter_t;

bool win::exists() const { return common::is_one(m_redis_context.command("EXISTS", keys::data(m_mac_addr))); }

std::string win::parameter_key(parameter_t _p) const {
    return keys::parameters(m_mac_addr, vyr::parameter::parameters.at(_p));
}

vyr::parameter::parameter_states win::parameter_state(parameter_t _p) const {
    const auto key = parameter_key(_p);
    const auto state = m_redis_context.get_text_from_table(key, s_state);
    return state ? vyr::parameter::parameter_states_from_string(*state) : vyr::parameter::UNKNOWN;
}

void win::parameter_state(parameter_t _p, vyr::parameter::parameter_states _state) {
    const auto key = parameter_key(_p);
    m_redis_context.set_to_table(key, s_state, vyr::parameter::to_string(_state));
}

std::string win::parameter_as_json(parameter_t _p, parameter_hemisphere _hemisphere) const {
    const auto key = parameter_key(_p);
    return m_redis_context.get_text_from_table(key, _hemisphere == actual ? s_actual : s_must)
        .value_or(std::string());
}

void win::parameter_as_json(parameter_t _p, parameter_hemisphere _hemisphere, const std::string& _json) {
    const auto key = parameter_key(_p);
    m_redis_context.set_to_table(key, _hemisphere == actual ? s_actual : s_must, _json);
}

void win::parameter_timestamp(parameter_t _p, const timeval& _timestamp) {
    const auto key = parameter_key(_p);
    m_redis_context.set_to_table(key, {{s_timestamp_sec, std::to_string(_timestamp.tv_sec)},
                                       {s_timestamp_usec, std::to_string(_timestamp.tv_usec)}});
}

timeval win::parameter_timestamp(parameter_t _p) const {
    return time_pair(parameter_key(_p), s_timestamp_sec, s_timestamp_usec);
}

timeval win::time_pair(const std::string& _key, std::string_view _sec, std::string_view _usec) const {
    timeval result{0, 0};
    const auto reply = m_redis_context.get_from_table(_key, {_sec, _usec});
    if (reply.get_type() != redis::reply_type::ARRAY)
        return result;
    const auto array = reply.as_array();
    if (array.size() != 2)
        return result;
    if (const auto sec = common::text_of(array[0]))
        result.tv_sec = common::to_long(*sec, _sec, _key);
    if (const auto usec = common::text_of(array[1]))
        result.tv_usec = common::to_long(*usec, _usec, _key);
    return result;
}

void win::del_parameter(parameter_t _p) {
    const auto key = parameter_key(_p);
    m_redis_context.command("DEL", key);
}

namespace {
// What a t2t_cfg report replaces in the parameter's hash: its state and detail fields.
constexpr const char* s_t2t_cfg_report_fields[] = {"state", "role",     "alarm_back", "buzzer",         "haptic",
                                                   "pin",   "distance", "angle",      "delay", "alert_distance",
                                                   "safe_distance"};
}  // namespace

void win::del_all_parameters(redis::batch& _writes) const {
    std::vector<std::string> argv{"DEL"};
    for (const auto& [number, name] : vyr::parameter::parameters)
        argv.push_back(keys::parameters(m_mac_addr, name));
    argv.push_back(keys::t2t_no_alarm_set(m_mac_addr));
    _writes.add_argv(std::move(argv));
}

void win::del_all_parameters() {
    redis::batch writes;
    del_all_parameters(writes);
    run(writes);
}

void win::run(const redis::batch& _writes) const {
    for (const auto& command : _writes.commands())
        m_redis_context.execute_command_argv(command);
}

win::push_record win::parameter_push_record(parameter_t _p) const {
    push_record record;
    const auto key = parameter_key(_p);
    const auto names = {s_push_must,     s_push_actual,       s_push_report_sec,    s_push_report_usec,
                        s_refusals,      s_rejected,          s_rejected_push_sec,  s_rejected_push_usec,
                        s_timestamp_sec, s_timestamp_usec,    s_push_announced};
    const auto fields = m_redis_context.get_texts_from_table(key, names);
    const auto text = [&fields](std::size_t _i) { return fields[_i].value_or(std::string()); };
    const auto number = [&](std::size_t _i) { return common::to_long(text(_i), names.begin()[_i], key); };
    record.must = text(0);
    record.actual = text(1);
    record.report = {number(2), number(3)};
    record.refusals = static_cast<std::uint32_t>(number(4));
    record.rejected = text(5) == "true";
    record.rejected_push = {number(6), number(7)};
    record.report_now = {number(8), number(9)};
    record.announced = text(10);
    return record;
}

std::vector<std::string> win::push_record_command(std::string_view _mac, parameter_t _p, const push_record& _record) {
    const auto text = [](long _value) { return std::to_string(_value); };
    return {"HMSET",
            keys::parameters(_mac, vyr::parameter::parameters.at(_p)),
            std::string(s_push_must),
            _record.must,
            std::string(s_push_actual),
            _record.actual,
            std::string(s_push_report_sec),
            text(_record.report.tv_sec),
            std::string(s_push_report_usec),
            text(_record.report.tv_usec),
            std::string(s_refusals),
            text(_record.refusals),
            std::string(s_rejected),
            common::to_text(_record.rejected),
            std::string(s_rejected_push_sec),
            text(_record.rejected_push.tv_sec),
            std::string(s_rejected_push_usec),
            text(_record.rejected_push.tv_usec),
            std::string(s_push_announced),
            _record.announced};
}

void win::parameter_push_record(parameter_t _p, const push_record& _record) {
    m_redis_context.execute_command_argv(push_record_command(m_mac_addr, _p, _record));
}

std::optional<std::string> win::detail(parameter_t _p, std::string_view _field) const {
    return m_redis_context.get_text_from_table(parameter_key(_p), _field);
}

std::string win::required_detail(parameter_t _p, std::string_view _field, std::string_view _getter) const {
    auto value = detail(_p, _field);
    if (!value)
        throw field_missing(std::string(_getter) + "mac: " + m_mac_addr, VYR_HERE);
    return std::move(*value);
}

std::optional<bool> win::bool_detail(parameter_t _p, std::string_view _field) const {
    if (auto value = detail(_p, _field))
        return *value == "true";
    return std::nullopt;
}

std::optional<std::uint32_t> win::unsigned_detail(parameter_t _p, std::string_view _field) const {
    if (auto value = detail(_p, _field))
        return common::to_unsigned(*value, _field, parameter_key(_p));
    return std::nullopt;
}

void win::detail(parameter_t _p, std::string_view _field, std::string_view _value) {
    m_redis_context.set_to_table(parameter_key(_p), _field, _value);
}

bool win::parameter_stationary() const {
    return required_detail(parameter_t::STATIONARY, "stationary", "parameter_stationary") == "true";
}
void win::parameter_stationary(bool _value) { detail(parameter_t::STATIONARY, "stationary", common::to_text(_value)); }

std::optional<std::string> win::parameter_category() const { return detail(parameter_t::CATEGORY, "category"); }
void win::parameter_category(const std::string& _value) { detail(parameter_t::CATEGORY, "category", _value); }

std::string win::parameter_t2t_cfg_role() const {
    return required_detail(parameter_t::T2T_CFG, "role", "parameter_t2t_cfg_role");
}
void win::parameter_t2t_cfg_role(const std::string& _value) { detail(parameter_t::T2T_CFG, "role", _value); }

std::optional<bool> win::parameter_t2t_cfg_alarm_back() const { return bool_detail(parameter_t::T2T_CFG, "alarm_back"); }
void win::parameter_t2t_cfg_alarm_back(bool _value) {
    detail(parameter_t::T2T_CFG, "alarm_back", common::to_text(_value));
}
std::optional<bool> win::parameter_t2t_cfg_buzzer() const { return bool_detail(parameter_t::T2T_CFG, "buzzer"); }
void win::parameter_t2t_cfg_buzzer(bool _value) { detail(parameter_t::T2T_CFG, "buzzer", common::to_text(_value)); }
std::optional<bool> win::parameter_t2t_cfg_haptic() const { return bool_detail(parameter_t::T2T_CFG, "haptic"); }
void win::parameter_t2t_cfg_haptic(bool _value) { detail(parameter_t::T2T_CFG, "haptic", common::to_text(_value)); }

std::optional<std::string> win::parameter_t2t_cfg_pin() const { return detail(parameter_t::T2T_CFG, "pin"); }
void win::parameter_t2t_cfg_pin(const std::string& _value) { detail(parameter_t::T2T_CFG, "pin", _value); }

std::optional<std::uint32_t> win::parameter_t2t_cfg_distance() const {
    return unsigned_detail(parameter_t::T2T_CFG, "distance");
}
void win::parameter_t2t_cfg_distance(std::uint32_t _value) {
    detail(parameter_t::T2T_CFG, "distance", std::to_string(_value));
}
std::optional<std::uint32_t> win::parameter_t2t_cfg_angle() const { return unsigned_detail(parameter_t::T2T_CFG, "angle"); }
void win::parameter_t2t_cfg_angle(std::uint32_t _value) { detail(parameter_t::T2T_CFG, "angle", std::to_string(_value)); }
std::optional<std::uint32_t> win::parameter_t2t_cfg_delay() const { return unsigned_detail(parameter_t::T2T_CFG, "delay"); }
void win::parameter_t2t_cfg_delay(std::uint32_t _value) { detail(parameter_t::T2T_CFG, "delay", std::to_string(_value)); }
std::optional<std::uint32_t> win::parameter_t2t_cfg_alert_distance() const {
    return unsigned_detail(parameter_t::T2T_CFG, "alert_distance");
}
void win::parameter_t2t_cfg_alert_distance(std::uint32_t _value) {
    detail(parameter_t::T2T_CFG, "alert_distance", std::to_string(_value));
}
std::optional<std::uint32_t> win::parameter_t2t_cfg_safe_distance() const {
    return unsigned_detail(parameter_t::T2T_CFG, "safe_distance");
}
void win::parameter_t2t_cfg_safe_distance(std::uint32_t _value) {
    detail(parameter_t::T2T_CFG, "safe_distance", std::to_string(_value));
}

std::uint32_t win::parameter_sync_slot_addr() const {
    return unsigned_detail(parameter_t::SYNC_SLOT, sync_slot::s_addr).value_or(65535);
}
void win::parameter_sync_slot_addr(std::uint32_t _value) {
    detail(parameter_t::SYNC_SLOT, sync_slot::s_addr, std::to_string(_value));
}
std::uint32_t win::parameter_sync_slot_slot() const {
    return unsigned_detail(parameter_t::SYNC_SLOT, sync_slot::s_slot).value_or(255);
}
void win::parameter_sync_slot_slot(std::uint32_t _value) {
    detail(parameter_t::SYNC_SLOT, sync_slot::s_slot, std::to_string(_value));
}
std::uint32_t win::parameter_sync_slot_flags() const {
    return unsigned_detail(parameter_t::SYNC_SLOT, sync_slot::s_flags).value_or(0);
}
void win::parameter_sync_slot_flags(std::uint32_t _value) {
    detail(parameter_t::SYNC_SLOT, sync_slot::s_flags, std::to_string(_value));
}

namespace {
// Fields of the superframe hash, in the order of the members of vyr::parameter::superframe.
constexpr const char* s_sf_fields[] = {"node_id", "sfd", "setting_slots", "slot_count"};
}  // namespace

vyr::parameter::superframe win::parameter_sf() const {
    vyr::parameter::superframe value;
    std::optional<std::uint32_t>* members[] = {&value.node_id, &value.sfd, &value.setting_slots, &value.slot_count};
    for (std::size_t i = 0; i < 4; ++i)
        *members[i] = unsigned_detail(parameter_t::SF, s_sf_fields[i]);
    return value;
}

void win::parameter_sf(const vyr::parameter::superframe& _value) {
    const std::optional<std::uint32_t> members[] = {_value.node_id, _value.sfd, _value.setting_slots,
                                                    _value.slot_count};
    std::vector<std::string> set{"HMSET", parameter_key(parameter_t::SF)};
    std::vector<std::string> removed{"HDEL", parameter_key(parameter_t::SF)};
    for (std::size_t i = 0; i < 4; ++i) {
        if (members[i]) {
            set.push_back(s_sf_fields[i]);
            set.push_back(std::to_string(*members[i]));
        } else {
            removed.push_back(s_sf_fields[i]);
        }
    }
    if (removed.size() > 2)
        m_redis_context.execute_command_argv(removed);
    if (set.size() > 2)
        m_redis_context.execute_command_argv(set);
}

vyr::parameter::loc win::parameter_loc() const {
    const auto read = [this](std::string_view _field) {
        return common::to_int(required_detail(parameter_t::LOC, _field, "parameter_loc"), _field,
                              parameter_key(parameter_t::LOC));
    };
    vyr::parameter::loc result;
    result.x = read(loc::s_x);
    result.y = read(loc::s_y);
    result.z = read(loc::s_z);
    result.sublocation_z = read(loc::s_sublocation_z);
    result.sublocation_id = static_cast<std::uint32_t>(read(loc::s_sublocation_id));
    return result;
}

void win::parameter_loc(const vyr::parameter::loc& _loc) {
    // One HMSET: a position is read whole or not at all, never with a coordinate of the
    // previous report.
    m_redis_context.command("HMSET", parameter_key(parameter_t::LOC), loc::s_x, _loc.x, loc::s_y, _loc.y, loc::s_z,
                            _loc.z, loc::s_sublocation_z, _loc.sublocation_z, loc::s_sublocation_id,
                            _loc.sublocation_id);
}

std::vector<std::string> win::parameter_t2t_no_alarm() const {
    return common::members(m_redis_context, keys::t2t_no_alarm_set(m_mac_addr));
}

void win::parameter_t2t_no_alarm(const std::vector<std::string>& _list) {
    // Replaced in one transaction: the delivery pass compares this list with the
    // object's, and a partial list would count as a change to push.
    const auto key = keys::t2t_no_alarm_set(m_mac_addr);
    std::vector<std::string> entries;
    entries.reserve(_list.size());
    for (const auto& entry : _list)
        entries.push_back(to_upper(entry));
    redis::batch writes;
    writes.add("DEL", key);
    common::add_members(writes, key, entries);
    vyr::redis::transaction(m_redis_context, writes).exec();
}

alarm_states win::alarm_state() const {
    const auto state = m_redis_context.get_text_from_table(keys::alarm(m_mac_addr), s_state);
    return state ? alarm_states_from_string(*state) : alarm_states::UNKNOWN;
}

void win::alarm_state(alarm_states _state) {
    redis::batch writes;
    alarm_state(_state, writes);
    run(writes);
}

void win::alarm_state(alarm_states _state, redis::batch& _writes) const {
    _writes.add("HSET", keys::alarm(m_mac_addr), s_state, to_string(_state));
}

alarm_delivery win::alarm_delivery_state() const {
    const auto key = keys::alarm(m_mac_addr);
    const auto fields = common::to_hash(m_redis_context.command("HGETALL", key));
    alarm_delivery result;
    if (const auto state = common::get(fields, s_state))
        result.state = alarm_states_from_string(*state);
    const auto uid = common::get(fields, s_shown_uid);
    const auto level = common::get_unsigned(fields, s_shown_level, key);
    const auto zone_id = common::get_unsigned(fields, s_shown_zone_id, key);
    if (uid && level && zone_id)
        result.shown = shown_alarm{*uid, *level, *zone_id};
    return result;
}

std::optional<std::int64_t> win::parameter_heard_ms(parameter_t _p) const {
    return common::to_int64(detail(_p, s_heard_ms));
}

std::optional<shown_alarm> win::reported_zone_alarm() const {
    const auto level = unsigned_detail(parameter_t::AL_ZV, al_zv::s_level);
    if (!level)
        return std::nullopt;
    return shown_alarm{{}, *level, unsigned_detail(parameter_t::AL_ZV, al_zv::s_zone_id).value_or(0)};
}

namespace {
// The compare-and-set of a WIN's alarm state as one script call: only while the state is
// still `_expected`, sets `_next` and, when given, the alarm sent and the screen text.
std::vector<std::string> replace_alarm_state_argv(const std::string& _mac, alarm_states _expected, alarm_states _next,
                                                  const std::optional<shown_alarm>& _shown,
                                                  const std::optional<std::string>& _text) {
    // KEYS: alarm hash, data hash. ARGV: expected state, next state, text flag, text,
    // then the shown fields as name/value pairs.
    static const std::string s_script = R"(
if redis.call('HGET', KEYS[1], 'state') ~= ARGV[1] then return 0 end
redis.call('HSET', KEYS[1], 'state', ARGV[2])
if ARGV[3] == '1' then redis.call('HSET', KEYS[2], 'current_text', ARGV[4]) end
for i = 5, #ARGV, 2 do redis.call('HSET', KEYS[1], ARGV[i], ARGV[i + 1]) end
return 1)";
    std::vector<std::string> argv{"EVAL",           s_script,           "2",
                                  win::keys::alarm(_mac), win::keys::data(_mac), to_string(_expected),
                                  to_string(_next), _text ? "1" : "0", _text.value_or(std::string())};
    if (_shown) {
        argv.insert(argv.end(), {std::string(win::s_shown_uid), _shown->uid, std::string(win::s_shown_level),
                                 std::to_string(_shown->level), std::string(win::s_shown_zone_id),
                                 std::to_string(_shown->zone_id)});
    }
    return argv;
}
}  // namespace

bool win::replace_alarm_state(alarm_states _expected, alarm_states _next, const std::optional<shown_alarm>& _shown,
                              const std::optional<std::string>& _text) {
    return common::is_one(
        m_redis_context.execute_command_argv(replace_alarm_state_argv(m_mac_addr, _expected, _next, _shown, _text)));
}

void win::del_alarms() {
    redis::batch writes;
    del_alarms(writes);
    run(writes);
}

void win::del_alarms(redis::batch& _writes) const { _writes.add("DEL", keys::alarm(m_mac_addr)); }

std::uint32_t win::increment_sending_counter() {
    const auto reply = m_redis_context.increment_in_table(keys::data(m_mac_addr), s_sending_counter, "1");
    if (reply.get_type() != redis::reply_type::INTEGER)
        return 0;
    return static_cast<std::uint32_t>(reply.to_integer());
}

std::uint32_t win::sending_counter() const {
    const auto value = m_redis_context.get_text_from_table(keys::data(m_mac_addr), s_sending_counter);
    return value ? common::to_unsigned(*value, s_sending_counter, keys::data(m_mac_addr)) : 0;
}

void win::del_sending_counter() { m_redis_context.delete_from_table(keys::data(m_mac_addr), s_sending_counter); }

void win::sending_time(const timeval& _time) {
    m_redis_context.set_to_table(keys::data(m_mac_addr), {{s_sending_counter_sec, std::to_string(_time.tv_sec)},
                                                          {s_sending_counter_usec, std::to_string(_time.tv_usec)}});
    m_redis_context.command("SADD", keys::set(), m_mac_addr);
}

timeval win::sending_time() const {
    return time_pair(keys::data(m_mac_addr), s_sending_counter_sec, s_sending_counter_usec);
}

void win::current_text(const std::string& _text) {
    m_redis_context.set_to_table(keys::data(m_mac_addr), {{s_current_text, _text}});
}

std::string win::current_text() const {
    return m_redis_context.get_text_from_table(keys::data(m_mac_addr), s_current_text)
        .value_or(std::string());
}

void win::answered(redis::batch& _writes) const {
    _writes.add("HMSET", keys::data(m_mac_addr), s_sending_counter_sec, "0", s_sending_counter_usec, "0", s_answered,
                new_answer_token());
    _writes.add("SADD", keys::set(), m_mac_addr).add("HDEL", keys::data(m_mac_addr), s_sending_counter);
}

void win::announced(redis::batch& _writes) const {
    _writes.add("HSET", keys::data(m_mac_addr), s_announced, new_answer_token());
}

std::string win::announce_token() const {
    return m_redis_context.get_text_from_table(keys::data(m_mac_addr), s_announced).value_or(std::string());
}

std::optional<std::string> win::answer_token() const {
    return m_redis_context.get_text_from_table(keys::data(m_mac_addr), s_answered);
}

std::string new_answer_token() {
    // Counted up from the start time in microseconds: unique across the runs of the
    // service as long as it hands out fewer than a million a second.
    static std::atomic<std::uint64_t> s_next{static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count())};
    return std::to_string(s_next.fetch_add(1));
}


void win::heard(std::int64_t _now, redis::batch& _writes) const {
    _writes.add("HSET", keys::data(m_mac_addr), s_heard_sec, _now).add("SADD", keys::set(), m_mac_addr);
}

void win::parameter_timestamp(parameter_t _p, const timeval& _timestamp, redis::batch& _writes) const {
    _writes.add("HMSET", parameter_key(_p), s_timestamp_sec, std::to_string(_timestamp.tv_sec), s_timestamp_usec,
                std::to_string(_timestamp.tv_usec));
}

void win::remove() {
    std::vector<std::string> argv{"DEL", keys::data(m_mac_addr), keys::alarm(m_mac_addr),
                                  keys::t2t_no_alarm_set(m_mac_addr)};
    for (const auto& [number, name] : vyr::parameter::parameters)
        argv.push_back(keys::parameters(m_mac_addr, name));
    redis::batch writes;
    writes.add_argv(std::move(argv)).add("SREM", keys::set(), m_mac_addr);
    vyr::redis::transaction(m_redis_context, writes).exec();
}

std::size_t remove_silent_wins(redis::connection& _redis_context, std::int64_t _now, std::int64_t _silence) {
    const auto macs = common::members(_redis_context, win::keys::set());
    redis::batch reads;
    for (const auto& mac : macs) {
        reads.add("HEXISTS", anchor::keys::mac_addr(), mac).add("HEXISTS", track_obj::keys::mac_addr(), mac);
        reads.add("HGET", win::keys::data(mac), win::s_heard_sec);
    }
    const auto replies =
        reads.empty() ? std::vector<redis::reply>{} : vyr::redis::pipeline(_redis_context, std::move(reads)).exec();
    std::size_t removed = 0;
    for (std::size_t i = 0; i < macs.size(); ++i) {
        if (common::is_one(replies[3 * i]) || common::is_one(replies[3 * i + 1]))
            continue;
        std::optional<long long> heard;  // unreadable: as never heard
        if (const auto text = common::text_of(replies[3 * i + 2]))
            heard = parse_decimal<long long>(*text);
        if (!heard) {
            _redis_context.command("HSET", win::keys::data(macs[i]), win::s_heard_sec, _now);
        } else if (_now - *heard >= _silence) {
            win(_redis_context, macs[i]).remove();
            ++removed;
        }
    }
    if (removed)
        _redis_context.command("INCRBY", win::keys::removed(), removed);
    return removed;
}

void win_writes::set(const std::string& _key, std::string_view _field, std::string _value) {
    if (_value.empty())
        return erase(_key, _field);
    open(_key).fields.insert_or_assign(std::string(_field), std::move(_value));
}

void win_writes::erase(const std::string& _key, std::string_view _field) {
    open(_key).fields.insert_or_assign(std::string(_field), std::nullopt);
}

void win_writes::add_member(const std::string& _key, const std::string& _member) { open(_key).members.insert(_member); }

void win_writes::command(std::vector<std::string> _argv, std::initializer_list<std::string> _keys) {
    for (const auto& key : _keys)
        m_open.erase(key);
    m_entries.push_back(entry{{}, {}, {}, std::move(_argv)});
}

win_writes::entry& win_writes::open(const std::string& _key) {
    const auto [at, added] = m_open.try_emplace(_key, m_entries.size());
    if (added)
        m_entries.push_back(entry{_key, {}, {}, {}});
    return m_entries[at->second];
}

redis::batch win_writes::take() {
    redis::batch out;
    for (auto& e : m_entries) {
        if (!e.argv.empty()) {
            out.add_argv(std::move(e.argv));
            continue;
        }
        std::vector<std::string> removed{"HDEL", e.key}, set{"HMSET", e.key}, added{"SADD", e.key};
        for (auto& [field, value] : e.fields) {
            if (value) {
                set.push_back(field);
                set.push_back(std::move(*value));
            } else {
                removed.push_back(field);
            }
        }
        added.insert(added.end(), e.members.begin(), e.members.end());
        for (auto* argv : {&removed, &set, &added})
            if (argv->size() > 2)
                out.add_argv(std::move(*argv));
    }
    m_entries.clear();
    m_open.clear();
    return out;
}

std::string win_report::key(parameter_t _p) const {
    return win::keys::parameters(m_mac, vyr::parameter::parameters.at(_p));
}

void win_report::parameter_state(parameter_t _p, vyr::parameter::parameter_states _state) {
    m_writes.set(key(_p), win::s_state, vyr::parameter::to_string(_state));
}

void win_report::parameter_actual(parameter_t _p, const std::string& _json) {
    m_writes.set(key(_p), win::s_actual, _json);
}

void win_report::detail(parameter_t _p, std::string_view _field, std::string _value) {
    m_writes.set(key(_p), _field, std::move(_value));
}

void win_report::parameter_timestamp(parameter_t _p, const timeval& _timestamp) {
    const auto hash = key(_p);
    m_writes.set(hash, win::s_timestamp_sec, std::to_string(_timestamp.tv_sec));
    m_writes.set(hash, win::s_timestamp_usec, std::to_string(_timestamp.tv_usec));
}

void win_report::parameter_sf(const vyr::parameter::superframe& _value) {
    const std::optional<std::uint32_t> members[] = {_value.node_id, _value.sfd, _value.setting_slots,
                                                    _value.slot_count};
    const auto hash = key(parameter_t::SF);
    for (std::size_t i = 0; i < 4; ++i) {
        if (members[i])
            m_writes.set(hash, s_sf_fields[i], std::to_string(*members[i]));
        else
            m_writes.erase(hash, s_sf_fields[i]);
    }
}

void win_report::parameter_loc(const vyr::parameter::loc& _loc) {
    const auto hash = key(parameter_t::LOC);
    m_writes.set(hash, win::loc::s_x, std::to_string(_loc.x));
    m_writes.set(hash, win::loc::s_y, std::to_string(_loc.y));
    m_writes.set(hash, win::loc::s_z, std::to_string(_loc.z));
    m_writes.set(hash, win::loc::s_sublocation_z, std::to_string(_loc.sublocation_z));
    m_writes.set(hash, win::loc::s_sublocation_id, std::to_string(_loc.sublocation_id));
}

void win_report::parameter_t2t_no_alarm(const std::vector<std::string>& _list) {
    const auto set = win::keys::t2t_no_alarm_set(m_mac);
    m_writes.command({"DEL", set}, {set});
    for (const auto& entry : _list)
        m_writes.add_member(set, to_upper(entry));
}

void win_report::del_t2t_cfg_report() {
    const auto hash = key(parameter_t::T2T_CFG);
    for (const char* field : s_t2t_cfg_report_fields)
        m_writes.erase(hash, field);
}

void win_report::alarm_state(alarm_states _state) { m_writes.set(win::keys::alarm(m_mac), win::s_state, to_string(_state)); }

void win_report::replace_alarm_state(alarm_states _expected, alarm_states _next) {
    m_writes.command(replace_alarm_state_argv(m_mac, _expected, _next, std::nullopt, std::nullopt),
                     {win::keys::alarm(m_mac), win::keys::data(m_mac)});
}

namespace {
// The text before and after the uid in a key of `Keys`, for scripts that learn the uid in
// Redis.
template <typename Key>
std::pair<std::string, std::string> around_uid(Key _key) {
    static constexpr std::string_view s_marker = "\x01";
    const auto key = _key(s_marker);
    const auto at = key.find(s_marker);
    return {key.substr(0, at), key.substr(at + s_marker.size())};
}
}  // namespace

void win_report::zone_alarm_confirmed(unsigned int _level, unsigned int _zone_id) {
    // KEYS: the WIN's alarm hash, the mirror version. ARGV: level, zone id, the states
    // sent and message, the stems of an alarm's record key, data hash and change name,
    // the version's start.
    static const std::string s_script = common::s_raise_mirror_version_lua + R"(
local held = redis.call('HMGET', KEYS[1], ')" + std::string(win::s_state) + "', '" + std::string(win::s_shown_uid) +
                                        "', '" + std::string(win::s_shown_level) + "', '" +
                                        std::string(win::s_shown_zone_id) + R"(')
if held[1] ~= ARGV[3] or not held[2] or not held[3] or not held[4] then return 0 end
if tonumber(held[3]) ~= tonumber(ARGV[1]) then return 0 end
if ARGV[1] ~= '0' and tonumber(held[4]) ~= tonumber(ARGV[2]) then return 0 end
local uid = held[2]
if uid ~= '' and redis.call('EXISTS', ARGV[5] .. uid .. ARGV[6]) == 1 then
  redis.call('HSET', ARGV[7] .. uid .. ARGV[8], ')" + std::string(alarm::s_delivered) + "', '" +
                                        common::to_text(true) + R"(')
  raise_mirror_version(KEYS[2], ARGV[11], encode_change(ARGV[9] .. uid .. ARGV[10]))
end
redis.call('HSET', KEYS[1], ')" + std::string(win::s_state) + R"(', ARGV[4])
return 1)";
    const auto record = around_uid([](std::string_view _uid) { return alarm::keys::record_key(_uid); });
    const auto data = around_uid([](std::string_view _uid) { return alarm::keys::data(_uid); });
    const auto change = around_uid([](std::string_view _uid) { return alarm::keys::change(_uid); });
    const auto alarm_key = win::keys::alarm(m_mac);
    const std::string version(common::s_mirror_version);
    m_writes.command({"EVAL", s_script, "2", alarm_key, version, std::to_string(_level), std::to_string(_zone_id),
                      to_string(alarm_states::SENT), to_string(alarm_states::MESSAGE), record.first, record.second,
                      data.first, data.second, change.first, change.second, common::mirror_version_start()},
                     {alarm_key, version});
}

void win_report::answered() {
    const auto data = win::keys::data(m_mac);
    m_writes.set(data, win::s_sending_counter_sec, "0");
    m_writes.set(data, win::s_sending_counter_usec, "0");
    m_writes.set(data, win::s_answered, new_answer_token());
    m_writes.erase(data, win::s_sending_counter);
    m_writes.add_member(win::keys::set(), m_mac);
}

void win_report::heard(std::int64_t _now) {
    m_writes.set(win::keys::data(m_mac), win::s_heard_sec, std::to_string(_now));
    m_writes.add_member(win::keys::set(), m_mac);
}

std::vector<timeval> parameter_timestamps(redis::connection& _redis_context,
                                          const std::vector<std::pair<std::string, parameter_t>>& _wanted) {
    redis::batch reads;
    for (const auto& [mac, p] : _wanted)
        reads.add("HMGET", win::keys::parameters(mac, vyr::parameter::parameters.at(p)), win::s_timestamp_sec,
                  win::s_timestamp_usec);
    std::vector<timeval> result;
    if (reads.empty())
        return result;
    const auto number = [](const redis::reply_element& _reply) -> long {
        const auto text = common::text_of(_reply);
        return text ? parse_decimal<long>(*text).value_or(0) : 0;  // unreadable: as none
    };
    for (const auto& reply : vyr::redis::pipeline(_redis_context, std::move(reads)).exec()) {
        timeval stamp{0, 0};
        if (reply.get_type() == redis::reply_type::ARRAY) {
            const auto fields = reply.as_array();
            if (fields.size() == 2)
                stamp = timeval{number(fields[0]), number(fields[1])};
        }
        result.push_back(stamp);
    }
    return result;
}

}  // namespace vyr::context
