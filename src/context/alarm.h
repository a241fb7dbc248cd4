// The alarm record: one active alarm of the project mirrored into Redis, indexed by the
// trackable object it concerns, with the system's own "delivered" flag beside it. Also
// the alarm-delivery states a WIN record stores. Records are views bound to one Redis
// connection and used by that connection's thread only.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "context/common.h"

namespace vyr::context {

enum class alarm_states : std::uint32_t {
    UNKNOWN = 0,
    NOT_CONFIGURED = 1,
    SENT = 2,
    MESSAGE = 3,
    CONFIGURED = 4,
    NOT_SUPPORTED = 5,
};

extern const std::map<alarm_states, std::string> alarm_states_strings;

// The state's text; an undefined value throws std::out_of_range.
std::string to_string(alarm_states _state);
// The first state whose text equals `_text` exactly; UNKNOWN when none does.
alarm_states alarm_states_from_string(const std::string& _text);

struct alarm_keys : keys_base<alarm_keys> {
    static constexpr std::string_view s_prefix = "alarms";
    static constexpr std::string_view s_kind = "alarm";
    // Set of the uids of the alarms raised for one trackable object.
    static std::string objects(std::string_view _obj_uid) { return join_key({s_prefix, "objects", _obj_uid}); }
    // The latest time (server clock, milliseconds) the platform was seen holding the
    // object's emergency-button alarm set: the time its alarm list was asked for, or an
    // alarm message came, or a tag reported its button pressed while the mirror held the
    // alarm set. Kept when the alarm is cleared, so that a clear can be told from a list
    // that never saw the button pressed.
    static std::string button_seen(std::string_view _obj_uid) { return join_key({s_prefix, "buttons", _obj_uid}); }
};

// The alarm name of an emergency-button alarm.
inline constexpr std::string_view s_emergency_button = "emergency_button";
// Whether an alarm of this name is a zone alarm (a tag in a zone or its buffer): the
// alarms shown on a tag's screen.
inline bool is_zone_alarm(std::string_view _alarm_name) {
    return _alarm_name == "zone_violation" || _alarm_name == "buffer_violation";
}
// Whether the service handles alarms of this name: zone alarms and the emergency button.
inline bool is_handled_alarm(std::string_view _alarm_name) {
    return _alarm_name == s_emergency_button || is_zone_alarm(_alarm_name);
}

// Appends to `_writes` (or makes at once) that the platform held the button alarm of
// `_obj_uid` set at `_ms`; an earlier time than the one kept changes nothing.
void note_button_seen(redis::batch& _writes, const std::string& _obj_uid, std::int64_t _ms);
// The same as one command of its own.
std::vector<std::string> note_button_seen_command(const std::string& _obj_uid, std::int64_t _ms);
void note_button_seen(redis::connection& _redis_context, const std::string& _obj_uid, std::int64_t _ms);
// The time kept by note_button_seen; nothing when there is none.
std::optional<std::int64_t> button_seen(redis::connection& _redis_context, const std::string& _obj_uid);

// An alarm as read whole by `alarm::read`.
struct alarm_data {
    std::optional<std::string> alarm_name, obj_uid, zone_uid, text;
    std::optional<std::uint32_t> acknowledged, zone_alarm_level;
    bool set = false;
    bool delivered = false;
};

class alarm : public record<alarm_keys> {
public:
    using keys = alarm_keys;

    static constexpr std::string_view s_alarm_name = "alarm_name";
    static constexpr std::string_view s_acknowledged = "acknowledged";
    static constexpr std::string_view s_obj_uid = "obj_uid";
    static constexpr std::string_view s_set = "set";
    static constexpr std::string_view s_zone_uid = "zone_uid";
    static constexpr std::string_view s_zone_alarm_level = "zone_alarm_level";
    static constexpr std::string_view s_text = "text";
    static constexpr std::string_view s_delivered = "delivered";

    alarm(redis::connection& _redis_context, std::string _uid) : record(_redis_context, std::move(_uid)) {}

    // Writes the alarm and moves it into the index of `_obj_uid`; optional fields that
    // hold nothing are deleted. The "delivered" flag is kept.
    void update(const std::string& _alarm_name, std::uint32_t _acknowledged, const std::string& _obj_uid,
                const std::optional<std::string>& _zone_uid, const std::optional<std::uint32_t>& _zone_alarm_level,
                const std::optional<std::string>& _text, bool _set);
    // Takes the alarm out of its object's index and the kind set, deletes fields and data.
    void remove();

    std::optional<std::string> alarm_name() const { return field(s_alarm_name); }
    std::optional<std::string> zone_uid() const { return field(s_zone_uid); }
    std::optional<std::string> text() const { return field(s_text); }
    std::optional<std::string> obj_uid() const { return field(s_obj_uid); }
    std::optional<std::uint32_t> zone_alarm_level() const { return unsigned_field(s_zone_alarm_level); }
    std::optional<std::uint32_t> acknowledged() const { return unsigned_field(s_acknowledged); }
    // True only for the stored text "true".
    bool set() const { return common::is_true(field(s_set)); }

    void delivered(bool _delivered);
    bool delivered() const;

    // Fields and delivery flag in one round trip, as one consistent snapshot; nothing
    // when the alarm does not exist.
    std::optional<alarm_data> read() const;
    // The alarm from its fields hash and stored "delivered" text as read; a number field
    // that is no number throws.
    static alarm_data decode(const common::hash& _fields, const std::optional<std::string>& _delivered,
                             std::string_view _uid);
};

}  // namespace vyr::context
