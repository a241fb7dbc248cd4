#include "context/alarm.h"

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
    if (const auto old_obj_uid = obj_uid())
        m_redis_context.command("SREM", keys::objects(*old_obj_uid), m_uid);

    const auto acknowledged = std::to_string(_acknowledged);
    m_redis_context.set_to_table(fields, {{s_alarm_name, _alarm_name},
                                          {s_acknowledged, acknowledged},
                                          {s_obj_uid, _obj_uid},
                                          {s_set, common::to_text(_set)}});
    if (_zone_uid)
        m_redis_context.set_to_table(fields, {{s_zone_uid, *_zone_uid}});
    else
        m_redis_context.delete_from_table(fields, s_zone_uid);
    if (_zone_alarm_level)
        m_redis_context.set_to_table(fields, {{s_zone_alarm_level, std::to_string(*_zone_alarm_level)}});
    else
        m_redis_context.delete_from_table(fields, s_zone_alarm_level);
    if (_text)
        m_redis_context.set_to_table(fields, {{s_text, *_text}});
    else
        m_redis_context.delete_from_table(fields, s_text);

    add_to_set();
    m_redis_context.command("SADD", keys::objects(_obj_uid), m_uid);
}

void alarm::remove() {
    if (const auto old_obj_uid = obj_uid())
        m_redis_context.command("SREM", keys::objects(*old_obj_uid), m_uid);
    remove_from_set();
    m_redis_context.command("DEL", keys::fields(m_uid), keys::data(m_uid));
}

void alarm::delivered(bool _delivered) {
    m_redis_context.set_to_table(keys::data(m_uid), {{s_delivered, common::to_text(_delivered)}});
}

bool alarm::delivered() const {
    return common::is_true(common::text_of(m_redis_context.get_from_table(keys::data(m_uid), s_delivered)));
}

}  // namespace vyr::context
