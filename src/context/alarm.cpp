#include "context/alarm.h"
#include "context/track_obj.h"
#include "redis/pipeline.h"
#include "redis/transaction.h"

namespace vyr::context {

const std::map<alarm_states, std::string> alarm_states_strings = {
    {alarm_states::UNKNOWN, "unknown"},       {alarm_states::NOT_CONFIGURED, "not_configured"},
    {alarm_states::SENT, "sent"},             {alarm_states::MESSAGE, "message"},
    {alarm_states::CONFIGURED, "configured"}, {alarm_states::NOT_SUPPORTED, "not_supported"},
};

std::string to_string(alarm_states _state) { return alarm_states_strings.at(_state); }

alarm_states alarm_states_from_string(const std::string& _text) {
    for (const auto& [state, text] : alarm_states_strings)
        if (text == _text)
            return state;
    return alarm_states::UNKNOWN;
}

void alarm::update(const std::string& _alarm_name, std::uint32_t _acknowledged, const std::string& _obj_uid,
                   const std::optional<std::string>& _zone_uid, const std::optional<std::uint32_t>& _zone_alarm_level,
                   const std::optional<std::string>& _text, bool _set) {
    const auto fields = keys::fields(m_uid);
    // One transaction: a reader must never find the alarm out of its object's index, or
    // with the fields of two versions, or it would take the object for one without an
    // alarm and clear the alarm on its device. The index is left alone when the object
    // stays the same.
    redis::batch writes;
    std::vector<std::string> changed{keys::change(m_uid), track_obj_keys::change(_obj_uid)};
    const auto old_obj_uid = obj_uid();
    if (old_obj_uid && *old_obj_uid != _obj_uid) {
        writes.add("SREM", keys::objects(*old_obj_uid), m_uid);
        changed.push_back(track_obj_keys::change(*old_obj_uid));
    }

    std::vector<std::string> argv{"HMSET",          fields,
                                  std::string(s_alarm_name), _alarm_name,
                                  std::string(s_acknowledged), std::to_string(_acknowledged),
                                  std::string(s_obj_uid), _obj_uid,
                                  std::string(s_set), common::to_text(_set)};
    std::vector<std::string> absent{"HDEL", fields};
    const auto put = [&](std::string_view _field, const std::optional<std::string>& _value) {
        if (_value) {
            argv.emplace_back(_field);
            argv.push_back(*_value);
        } else {
            absent.emplace_back(_field);
        }
    };
    put(s_zone_uid, _zone_uid);
    put(s_zone_alarm_level,
        _zone_alarm_level ? std::optional<std::string>(std::to_string(*_zone_alarm_level)) : std::nullopt);
    put(s_text, _text);
    writes.add_argv(std::move(argv));
    if (absent.size() > 2)
        writes.add_argv(std::move(absent));

    add_to_set(writes);
    writes.add("SADD", keys::objects(_obj_uid), m_uid);
    common::raise_mirror_version(writes, changed);
    vyr::redis::transaction(m_redis_context, writes).exec();
}

void alarm::remove() {
    redis::batch writes;
    std::vector<std::string> changed{keys::change(m_uid)};
    if (const auto old_obj_uid = obj_uid()) {
        writes.add("SREM", keys::objects(*old_obj_uid), m_uid);
        changed.push_back(track_obj_keys::change(*old_obj_uid));
    }
    remove_from_set(writes);
    writes.add("DEL", keys::fields(m_uid), keys::data(m_uid));
    common::raise_mirror_version(writes, changed);
    vyr::redis::transaction(m_redis_context, writes).exec();
}

void alarm::delivered(bool _delivered) {
    redis::batch writes;
    writes.add("HSET", keys::data(m_uid), s_delivered, common::to_text(_delivered));
    common::raise_mirror_version(writes, {keys::change(m_uid)});
    vyr::redis::transaction(m_redis_context, writes).exec();
}

std::optional<alarm_data> alarm::read() const {
    const auto reply = vyr::redis::transaction(m_redis_context)
                           .add("HGETALL", keys::fields(m_uid))
                           .add("HGET", keys::data(m_uid), s_delivered)
                           .exec();
    const auto replies = reply.as_array();
    const auto fields = common::to_hash(replies[0]);
    if (fields.empty())
        return std::nullopt;
    return decode(fields, common::text_of(replies[1]), m_uid);
}

alarm_data alarm::decode(const common::hash& _fields, const std::optional<std::string>& _delivered,
                         std::string_view _uid) {
    alarm_data result;
    result.alarm_name = common::get(_fields, s_alarm_name);
    result.obj_uid = common::get(_fields, s_obj_uid);
    result.zone_uid = common::get(_fields, s_zone_uid);
    result.text = common::get(_fields, s_text);
    const auto key = keys::fields(_uid);
    result.acknowledged = common::get_unsigned(_fields, s_acknowledged, key);
    result.zone_alarm_level = common::get_unsigned(_fields, s_zone_alarm_level, key);
    result.set = common::is_true(common::get(_fields, s_set));
    result.delivered = common::is_true(_delivered);
    return result;
}

std::vector<std::string> note_button_seen_command(const std::string& _obj_uid, std::int64_t _ms) {
    // A time that changes nothing raises no mirror version.
    static const std::string s_script = common::s_raise_mirror_version_lua + R"(
local kept = tonumber(redis.call('GET', KEYS[1]) or '0')
if tonumber(ARGV[1]) > kept then
  redis.call('SET', KEYS[1], ARGV[1])
  raise_mirror_version(KEYS[2], ARGV[2], ARGV[3])
end
return 1)";
    return {"EVAL", s_script, "2", alarm_keys::button_seen(_obj_uid), std::string(common::s_mirror_version),
            std::to_string(_ms), common::mirror_version_start(),
            common::encode_changes({track_obj_keys::change(_obj_uid)})};
}

void note_button_seen(redis::batch& _writes, const std::string& _obj_uid, std::int64_t _ms) {
    _writes.add_argv(note_button_seen_command(_obj_uid, _ms));
}

void note_button_seen(redis::connection& _redis_context, const std::string& _obj_uid, std::int64_t _ms) {
    redis::batch writes;
    note_button_seen(writes, _obj_uid, _ms);
    vyr::redis::pipeline(_redis_context, writes).exec();
}

std::optional<std::int64_t> button_seen(redis::connection& _redis_context, const std::string& _obj_uid) {
    return common::to_int64(common::text_of(_redis_context.command("GET", alarm_keys::button_seen(_obj_uid))));
}

bool alarm::delivered() const {
    return common::is_true(m_redis_context.get_text_from_table(keys::data(m_uid), s_delivered));
}

}  // namespace vyr::context
