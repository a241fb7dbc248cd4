#include "context/context.h"

#include "common/metrics.h"

#include "core/exception.h"
#include "redis/lease.h"
#include "redis/pipeline.h"
#include "redis/transaction.h"

namespace vyr::context {

context::context(unsigned int _db, const std::string& _host, int _port)
    : m_redis_context(std::make_unique<redis::connection>(_host, _port, _db)) {}

context::~context() = default;

namespace {

// `_argv` and the raise of the mirror version in one transaction, naming `_names` as
// what changed (every device unless told otherwise).
void write_raising(redis::connection& _redis, std::vector<std::string> _argv,
                   std::vector<std::string> _names = {std::string(common::s_every_device)}) {
    redis::batch writes;
    writes.add_argv(std::move(_argv));
    common::raise_mirror_version(writes, _names);
    vyr::redis::transaction(_redis, writes).exec();
}

}  // namespace

void context::flush() {
    // The lease and the sleep orders are put back in the same transaction.
    redis::batch writes;
    writes.add("FLUSHDB");
    writes.append(redis::lease::kept_across_flush(*m_redis_context));
    common::raise_mirror_version(writes, {std::string(common::s_every_device)});
    vyr::redis::transaction(*m_redis_context, writes).exec();
}

std::string context::name() {
    return common::text_of(m_redis_context->command("GET", s_name)).value_or(std::string());
}

void context::name(const std::string& _name) { m_redis_context->command("SET", s_name, _name); }

bool context::updated() { return common::is_true(common::text_of(m_redis_context->command("GET", s_updated))); }

void context::updated(bool _updated) {
    write_raising(*m_redis_context, {"SET", std::string(s_updated), common::to_text(_updated)});
    vyr::metrics::set_mirror_complete(_updated);
}

bool context::vehicle_certification() {
    return common::is_true(common::text_of(m_redis_context->command("GET", s_vehicle_certification)));
}

void context::vehicle_certification(bool _on) {
    write_raising(*m_redis_context, {"SET", std::string(s_vehicle_certification), common::to_text(_on)});
}

context::refresh_state context::refresh_state_of(const std::optional<std::string>& _text) {
    if (_text == std::optional<std::string>("pending"))
        return refresh_state::pending;
    if (_text == std::optional<std::string>("failed"))
        return refresh_state::failed;
    return refresh_state::none;
}

context::refresh_state context::alarms_refresh() {
    return refresh_state_of(common::text_of(m_redis_context->command("GET", s_alarms_refresh)));
}

void context::alarms_refresh(refresh_state _state) {
    // The flag concerns no device by itself: the alarms the refresh writes name their
    // objects, and the alarm pass judges anew what it left waiting.
    if (_state == refresh_state::none)
        write_raising(*m_redis_context, {"DEL", std::string(s_alarms_refresh)}, {});
    else
        write_raising(*m_redis_context,
                      {"SET", std::string(s_alarms_refresh), _state == refresh_state::pending ? "pending" : "failed"},
                      {});
}

std::vector<std::string> context::get_anchors() { return common::members(*m_redis_context, anchor::keys::set()); }
std::vector<std::string> context::get_track_objs() {
    return common::members(*m_redis_context, track_obj::keys::set());
}
std::vector<std::string> context::get_groups() { return common::members(*m_redis_context, group::keys::set()); }
std::vector<std::string> context::get_zones() { return common::members(*m_redis_context, zone::keys::set()); }
std::vector<std::string> context::get_sublocations() {
    return common::members(*m_redis_context, sublocation::keys::set());
}
std::vector<std::string> context::get_tdoa_settings() {
    return common::members(*m_redis_context, tdoa_setting::keys::set());
}
std::vector<std::string> context::get_tdoa_schedules() {
    return common::members(*m_redis_context, tdoa_schedule::keys::set());
}
std::vector<std::string> context::get_alarms() { return common::members(*m_redis_context, alarm::keys::set()); }
std::vector<std::string> context::get_wins() { return common::members(*m_redis_context, win::keys::set()); }

std::string context::uid_by_mac(const std::string& _index_key, const std::string& _mac_addr) {
    auto uid = m_redis_context->get_text_from_table(_index_key, _mac_addr);
    if (!uid)
        throw field_missing("Mac: " + _mac_addr, VYR_HERE);
    return std::move(*uid);
}

anchor context::get_anchor_by_mac(const std::string& _mac_addr) {
    return get_anchor(uid_by_mac(anchor::keys::mac_addr(), _mac_addr));
}

track_obj context::get_track_obj_by_mac(const std::string& _mac_addr) {
    return get_track_obj(uid_by_mac(track_obj::keys::mac_addr(), _mac_addr));
}

bool context::anchor_exists_by_mac(const std::string& _mac_addr) {
    return m_redis_context->table_has(anchor::keys::mac_addr(), _mac_addr);
}

bool context::track_obj_exists_by_mac(const std::string& _mac_addr) {
    return m_redis_context->table_has(track_obj::keys::mac_addr(), _mac_addr);
}

std::vector<std::string> context::get_alarms_of_object(const std::string& _obj_uid) {
    return common::members(*m_redis_context, alarm::keys::objects(_obj_uid));
}

void context::undeliver_zone_alarms_of(const std::vector<std::string>& _obj_uids) {
    if (_obj_uids.empty())
        return;
    redis::batch lists;
    for (const auto& uid : _obj_uids) {
        lists.add("EXISTS", track_obj::keys::record_key(uid));
        lists.add("SMEMBERS", alarm::keys::objects(uid));
    }
    const auto listed = vyr::redis::pipeline(*m_redis_context, std::move(lists)).exec_reads();
    std::vector<std::string> alarms;
    for (std::size_t i = 0; i + 1 < listed.size(); i += 2)
        if (common::is_one(listed[i]))
            for (auto& uid : common::to_members(listed[i + 1]))
                alarms.push_back(std::move(uid));
    if (alarms.empty())
        return;
    redis::batch names;
    for (const auto& uid : alarms)
        names.add("HGET", alarm::keys::fields(uid), alarm::s_alarm_name);
    const auto named = vyr::redis::pipeline(*m_redis_context, std::move(names)).exec_reads();
    redis::batch writes;
    std::vector<std::string> changed;
    for (std::size_t i = 0; i < alarms.size() && i < named.size(); ++i) {
        const auto name = common::text_of(named[i]);
        if (!name || !is_zone_alarm(*name))
            continue;
        writes.add("HSET", alarm::keys::data(alarms[i]), alarm::s_delivered, common::to_text(false));
        changed.push_back(alarm::keys::change(alarms[i]));
    }
    if (changed.empty())
        return;
    common::raise_mirror_version(writes, changed);
    vyr::redis::transaction(*m_redis_context, writes).exec();
}

std::optional<alarm> context::get_button_alarm_of_object(const std::string& _obj_uid) {
    for (const auto& uid : get_alarms_of_object(_obj_uid)) {
        auto candidate = get_alarm(uid);
        if (candidate.alarm_name() == std::optional<std::string>(s_emergency_button))
            return candidate;
    }
    return std::nullopt;
}

std::vector<std::optional<context::button_view>> context::button_views(const std::vector<std::string>& _macs) {
    std::vector<std::optional<button_view>> views(_macs.size());
    if (_macs.empty())
        return views;
    auto& redis = *m_redis_context;
    redis::batch uids;
    for (const auto& mac : _macs)
        uids.add("HGET", track_obj::keys::mac_addr(), mac);
    const auto uid_replies = vyr::redis::pipeline(redis, std::move(uids)).exec();
    redis::batch lists;
    std::vector<std::size_t> listed;  // the views whose object's alarms are asked for
    for (std::size_t i = 0; i < _macs.size(); ++i) {
        if (auto uid = common::text_of(uid_replies[i])) {
            lists.add("SMEMBERS", alarm::keys::objects(*uid));
            views[i] = button_view{std::move(*uid), false};
            listed.push_back(i);
        }
    }
    if (lists.empty())
        return views;
    const auto list_replies = vyr::redis::pipeline(redis, std::move(lists)).exec();
    redis::batch alarms;
    std::vector<std::size_t> owner;  // the view each alarm read belongs to
    for (std::size_t j = 0; j < listed.size(); ++j) {
        for (const auto& uid : common::to_members(list_replies[j])) {
            alarms.add("HMGET", alarm::keys::fields(uid), alarm::s_alarm_name, alarm::s_set);
            owner.push_back(listed[j]);
        }
    }
    if (alarms.empty())
        return views;
    const auto alarm_replies = vyr::redis::pipeline(redis, std::move(alarms)).exec();
    for (std::size_t k = 0; k < owner.size(); ++k) {
        if (alarm_replies[k].get_type() != redis::reply_type::ARRAY)
            continue;
        const auto fields = alarm_replies[k].as_array();
        if (fields.size() == 2 && common::text_of(fields[0]) == std::optional<std::string>(s_emergency_button) &&
            common::is_true(common::text_of(fields[1])))
            views[owner[k]]->set = true;
    }
    return views;
}

}  // namespace vyr::context
