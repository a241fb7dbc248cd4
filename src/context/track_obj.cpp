#include "context/track_obj.h"

#include <algorithm>
#include <type_traits>

#include "common/helpers.h"
#include "redis/transaction.h"

namespace vyr::context {

namespace {

// Appends field `_field` with `_value` to an HMSET; a value that is none is left out.
template <class T>
void put(std::vector<std::string>& _argv, std::string_view _field, const std::optional<T>& _value) {
    if (!_value)
        return;
    _argv.emplace_back(_field);
    if constexpr (std::is_same_v<T, bool>)
        _argv.push_back(common::to_text(*_value));
    else if constexpr (std::is_same_v<T, std::string>)
        _argv.push_back(*_value);
    else
        _argv.push_back(std::to_string(*_value));
}

}  // namespace

void track_obj::update(const std::string& _project_uid, const std::string& _name, const std::string& _sublocation_uid,
                       std::int32_t _position_x, std::int32_t _position_y, std::int32_t _default_height,
                       const std::string& _type, const std::string& _mac_addr, const std::vector<std::string>& _groups,
                       const std::string& _category, bool _stationary, const std::vector<std::string>& _t2t_no_alarm,
                       bool _t2t_cfg_valid, const std::string& _t2t_cfg_role,
                       const std::optional<bool>& _t2t_cfg_alarm_back,
                       const std::optional<std::uint32_t>& _t2t_cfg_distance,
                       const std::optional<std::uint32_t>& _t2t_cfg_angle,
                       const std::optional<std::uint32_t>& _t2t_cfg_delay,
                       const std::optional<std::string>& _t2t_cfg_pin,
                       const std::optional<std::uint32_t>& _t2t_cfg_alert_distance,
                       const std::optional<std::uint32_t>& _t2t_cfg_safe_distance,
                       const std::optional<bool>& _t2t_cfg_buzzer, const std::optional<bool>& _t2t_cfg_haptic) {
    const auto groups_key = keys::groups(m_uid);
    const auto no_alarm_key = keys::t2t_no_alarm(m_uid);
    const auto t2t_cfg_key = keys::t2t_cfg(m_uid);

    // The whole object is rewritten in one transaction: a reader between deleting the
    // groups, the no-alarm list or the t2t configuration and writing them again would
    // take the object for one without them (t2t read as disabled, say) and push that to
    // its device.
    redis::batch writes;
    // The object leaves the index under a MAC it no longer has, unless the device was
    // meanwhile given to another object, whose entry it is now.
    const auto old_mac = m_pipeline ? m_stored_mac : field(s_mac_addr).value_or(std::string());
    if (!old_mac.empty() && old_mac != _mac_addr)
        common::remove_own_mac_entry(writes, keys::mac_addr(), old_mac, m_uid);

    writes.add("DEL", groups_key, no_alarm_key, t2t_cfg_key);
    const std::size_t fields_at = writes.size();
    writes.add("HMSET", keys::fields(m_uid), s_project_uid, _project_uid, s_name, _name, s_sublocation_uid,
               _sublocation_uid, s_position_x, _position_x, s_position_y, _position_y, s_default_height,
               _default_height, s_type, _type, s_mac_addr, _mac_addr, s_stationary, common::to_text(_stationary),
               s_category, _category);
    common::add_members(writes, groups_key, _groups);
    std::vector<std::string> no_alarm(_t2t_no_alarm.size());
    std::transform(_t2t_no_alarm.begin(), _t2t_no_alarm.end(), no_alarm.begin(), to_upper);
    common::add_members(writes, no_alarm_key, no_alarm);

    std::size_t t2t_at = 0;
    if (_t2t_cfg_valid) {
        std::vector<std::string> argv{"HMSET", t2t_cfg_key, std::string(s_role), _t2t_cfg_role};
        put(argv, s_alarm_back, _t2t_cfg_alarm_back);
        put(argv, s_distance, _t2t_cfg_distance);
        put(argv, s_angle, _t2t_cfg_angle);
        put(argv, s_delay, _t2t_cfg_delay);
        put(argv, s_pin, _t2t_cfg_pin);
        put(argv, s_alert_distance, _t2t_cfg_alert_distance);
        put(argv, s_safe_distance, _t2t_cfg_safe_distance);
        put(argv, s_buzzer, _t2t_cfg_buzzer);
        put(argv, s_haptic, _t2t_cfg_haptic);
        t2t_at = writes.size();
        writes.add_argv(std::move(argv));
    }

    add_to_set(writes);
    if (!_mac_addr.empty())
        writes.add("HSET", keys::mac_addr(), _mac_addr, m_uid);
    if (m_pipeline) {
        common::add_transaction(*m_pipeline, writes);
        return;
    }
    common::raise_mirror_version(writes, {keys::change(m_uid)});
    const auto replies = vyr::redis::transaction(m_redis_context, writes).exec();
    common::check_ok(replies.as_array()[fields_at], m_uid);
    if (t2t_at)
        common::check_ok(replies.as_array()[t2t_at], m_uid);
}

void track_obj::vehicle_model_into(redis::batch& _writes, std::string_view _uid,
                                   std::optional<std::uint32_t> _model) {
    if (_model)
        _writes.add("HSET", keys::fields(_uid), s_vehicle_model, *_model);
    else
        _writes.add("HDEL", keys::fields(_uid), s_vehicle_model);
}

void track_obj::driver_licenses_into(redis::batch& _writes, std::string_view _uid,
                                     const std::set<std::uint32_t>* _licences) {
    // Replaced in one transaction, so that no reader finds the licences missing.
    const auto key = keys::driver_licenses(_uid);
    _writes.add("DEL", key);
    if (_licences)
        common::add_members(_writes, key, *_licences);
}

void track_obj::update_vehicle_model(std::uint32_t _vehicle_model) {
    if (!exists())
        return;
    redis::batch writes;
    vehicle_model_into(writes, m_uid, _vehicle_model);
    common::raise_mirror_version(writes, {keys::change(m_uid)});
    vyr::redis::transaction(m_redis_context, writes).exec();
}

void track_obj::remove_vehicle_model() {
    redis::batch writes;
    vehicle_model_into(writes, m_uid, std::nullopt);
    common::raise_mirror_version(writes, {keys::change(m_uid)});
    vyr::redis::transaction(m_redis_context, writes).exec();
}

void track_obj::update_driver_licenses(const std::set<std::uint32_t>& _driver_licenses) {
    if (!exists())
        return;
    redis::batch writes;
    driver_licenses_into(writes, m_uid, &_driver_licenses);
    common::raise_mirror_version(writes, {keys::change(m_uid)});
    vyr::redis::transaction(m_redis_context, writes).exec();
}

void track_obj::remove_driver_licenses() {
    redis::batch writes;
    driver_licenses_into(writes, m_uid, nullptr);
    common::raise_mirror_version(writes, {keys::change(m_uid)});
    vyr::redis::transaction(m_redis_context, writes).exec();
}

void track_obj::remove() {
    const auto reply = m_redis_context.get_from_table(keys::fields(m_uid), {s_sublocation_uid, s_mac_addr});
    const auto old = reply.as_array();
    redis::batch writes;
    if (const auto sublocation_uid = common::text_of(old[0]))
        writes.add("SREM", sublocation::keys::track_objs(*sublocation_uid), m_uid);
    if (const auto mac = common::text_of(old[1]); mac && !mac->empty())
        common::remove_own_mac_entry(writes, keys::mac_addr(), *mac, m_uid);
    writes.add("DEL", keys::fields(m_uid), keys::groups(m_uid), keys::t2t_no_alarm(m_uid), keys::t2t_cfg(m_uid),
               keys::driver_licenses(m_uid));
    remove_from_set(writes);
    common::raise_mirror_version(writes, {keys::change(m_uid)});
    vyr::redis::transaction(m_redis_context, writes).exec();
}

std::optional<track_obj_data> track_obj::read() const {
    redis::batch reads;
    reads.add("HGETALL", keys::fields(m_uid))
        .add("SMEMBERS", keys::groups(m_uid))
        .add("SMEMBERS", keys::t2t_no_alarm(m_uid))
        .add("HGETALL", keys::t2t_cfg(m_uid))
        .add("SMEMBERS", keys::driver_licenses(m_uid));
    const auto reply = vyr::redis::transaction(m_redis_context, reads).exec();
    const auto replies = reply.as_array();
    const auto fields = common::to_hash(replies[0]);
    if (fields.empty())
        return std::nullopt;
    return decode(fields, common::to_members(replies[1]), common::to_members(replies[2]), common::to_hash(replies[3]),
                  common::to_members(replies[4]), m_uid);
}

track_obj_data track_obj::decode(const common::hash& _fields, std::vector<std::string> _groups,
                                 std::vector<std::string> _t2t_no_alarm, const common::hash& _t2t_cfg,
                                 const std::vector<std::string>& _driver_licenses, std::string_view _uid) {
    const auto& fields = _fields;
    const auto required = [&](std::string_view _field) { return common::get_required(fields, _field, _uid); };
    const auto fields_key = keys::fields(_uid);
    const auto integer = [&](std::string_view _field) { return common::to_int(required(_field), _field, fields_key); };
    track_obj_data result;
    result.project_uid = required(s_project_uid);
    result.name = required(s_name);
    result.sublocation_uid = required(s_sublocation_uid);
    result.type = required(s_type);
    result.mac_addr = required(s_mac_addr);
    result.category = required(s_category);
    result.stationary = required(s_stationary) == "true";
    result.position_x = integer(s_position_x);
    result.position_y = integer(s_position_y);
    result.default_height = integer(s_default_height);
    result.vehicle_model = common::get_unsigned(fields, s_vehicle_model, fields_key);
    result.groups = std::move(_groups);
    result.t2t_no_alarm = std::move(_t2t_no_alarm);
    if (const auto& t2t = _t2t_cfg; !t2t.empty()) {
        const auto flag = [&](std::string_view _field) -> std::optional<bool> {
            if (const auto value = common::get(t2t, _field))
                return *value == "true";
            return std::nullopt;
        };
        auto made = std::make_shared<track_obj_data::t2t>();
        auto& cfg = *made;
        cfg.role = common::get(t2t, s_role).value_or(std::string());
        if (!common::get(t2t, s_role))
            common::throw_missing("t2t_cfg_role", _uid);
        cfg.alarm_back = flag(s_alarm_back);
        cfg.buzzer = flag(s_buzzer);
        cfg.haptic = flag(s_haptic);
        cfg.pin = common::get(t2t, s_pin);
        const auto t2t_key = keys::t2t_cfg(_uid);
        const auto number = [&](std::string_view _field) { return common::get_unsigned(t2t, _field, t2t_key); };
        cfg.distance = number(s_distance);
        cfg.angle = number(s_angle);
        cfg.delay = number(s_delay);
        cfg.alert_distance = number(s_alert_distance);
        cfg.safe_distance = number(s_safe_distance);
        result.t2t_cfg = std::move(made);
    }
    const auto licenses_key = keys::driver_licenses(_uid);
    result.driver_licenses.reserve(_driver_licenses.size());
    for (const auto& id : _driver_licenses)
        result.driver_licenses.push_back(common::to_unsigned(id, "a member", licenses_key));
    std::sort(result.driver_licenses.begin(), result.driver_licenses.end());
    result.driver_licenses.erase(std::unique(result.driver_licenses.begin(), result.driver_licenses.end()),
                                 result.driver_licenses.end());
    return result;
}

bool track_obj::t2t_cfg_exists() const {
    return common::is_one(m_redis_context.command("EXISTS", keys::t2t_cfg(m_uid)));
}

std::optional<std::string> track_obj::t2t_field(std::string_view _field) const {
    return m_redis_context.get_text_from_table(keys::t2t_cfg(m_uid), _field);
}

std::string track_obj::t2t_cfg_role() const {
    auto role = t2t_field(s_role);
    if (!role)
        common::throw_missing("t2t_cfg_role", m_uid);
    return std::move(*role);
}

std::optional<bool> track_obj::t2t_bool(std::string_view _field) const {
    if (const auto value = t2t_field(_field))
        return *value == "true";
    return std::nullopt;
}

std::optional<std::uint32_t> track_obj::t2t_unsigned(std::string_view _field) const {
    if (const auto value = t2t_field(_field))
        return common::to_unsigned(*value, _field, keys::t2t_cfg(m_uid));
    return std::nullopt;
}

std::optional<std::set<std::uint32_t>> track_obj::driver_licenses() const {
    std::set<std::uint32_t> result;
    const auto key = keys::driver_licenses(m_uid);
    for (const auto& member : m_redis_context.get_member_texts(key))
        result.insert(common::to_unsigned(member, "a member", key));
    return result;
}

}  // namespace vyr::context
