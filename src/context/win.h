// The per-device record of a field device (WIN), keyed by its MAC address: per parameter
// the support state, the reported and the required value, the time of the last report
// and the detail fields of some parameters; the alarm-delivery state; the screen text;
// the counter and time of the last sending. A `win` is a view bound to one Redis
// connection and is used by that connection's thread only; it holds no data itself.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "context/alarm.h"
#include "context/common.h"
#include "parameters/parameters.h"
#include "redis/connection.h"

namespace vyr::context {

struct win_keys : keys_base<win_keys> {
    static constexpr std::string_view s_prefix = "wins";
    // Hash of one parameter of one WIN.
    static std::string parameters(std::string_view _mac, std::string_view _name) {
        return join_key({s_prefix, _mac, "parameters", _name});
    }
    // Set holding the list value of the t2t_no_alarm parameter.
    static std::string t2t_no_alarm_set(std::string_view _mac) { return parameters(_mac, "t2t_no_alarm_set"); }
    // Hash of the WIN's alarm-delivery state.
    static std::string alarm(std::string_view _mac) { return join_key({s_prefix, _mac, "alarm"}); }
    // Count of the WIN records removed as silent and foreign so far.
    static std::string removed() { return join_key({s_prefix, "removed"}); }
};

// The zone alarm last sent to a WIN, as the device confirms it: level and zone id (both 0
// for the clearing form, whose uid is empty) and the uid of the alarm it came from.
struct shown_alarm {
    std::string uid;
    std::uint32_t level = 0;
    std::uint32_t zone_id = 0;
    bool operator==(const shown_alarm& _o) const {
        return uid == _o.uid && level == _o.level && zone_id == _o.zone_id;
    }
    bool operator!=(const shown_alarm& _o) const { return !(*this == _o); }
};

// A WIN's alarm-delivery state with what was last sent (nothing when not recorded).
struct alarm_delivery {
    alarm_states state = alarm_states::UNKNOWN;
    std::optional<shown_alarm> shown;
};

// A WIN record as read whole by `win::read`: its hashes as stored.
struct win_data {
    common::hash data;   // sending counter and time, current text
    common::hash alarm;  // alarm delivery state
    // The stored parameter hashes by parameter name (state, actual, must, timestamps,
    // details); parameters never stored are absent.
    std::map<std::string, common::hash, std::less<>> parameters;
    std::vector<std::string> t2t_no_alarm;
};

class win {
public:
    using keys = win_keys;

    enum parameter_hemisphere : std::int32_t {
        actual = 0,  // the value the device reported
        must = 1,    // the value the device is to have
    };

    static constexpr std::string_view s_actual = "actual";
    static constexpr std::string_view s_must = "must";
    static constexpr std::string_view s_state = "state";
    static constexpr std::string_view s_timestamp_sec = "timestamp_sec";
    static constexpr std::string_view s_timestamp_usec = "timestamp_usec";
    static constexpr std::string_view s_sending_counter = "sending_counter";
    static constexpr std::string_view s_sending_counter_sec = "sending_counter_sec";
    static constexpr std::string_view s_sending_counter_usec = "sending_counter_usec";
    static constexpr std::string_view s_current_text = "current_text";
    // Server time (seconds) of the device's last report.
    static constexpr std::string_view s_heard_sec = "heard_sec";
    // A token written anew each time the device answers (an accepted report, an
    // announcement): what a delivery pass writes after reading the record is made only
    // while the token is the one it read (a guarded win_update), so that the pass never
    // undoes the reset of an answer that came meanwhile.
    static constexpr std::string_view s_answered = "answered";
    // A token written anew each time the device announces itself ("NA"): a push record
    // written under another one is of the device's earlier life, not of this one.
    static constexpr std::string_view s_announced = "announced";
    // Fields of the alarm hash beside the state: the alarm last sent.
    static constexpr std::string_view s_shown_uid = "shown_uid";
    static constexpr std::string_view s_shown_level = "shown_level";
    static constexpr std::string_view s_shown_zone_id = "shown_zone_id";

    // Detail fields in the hash of the sync_slot parameter.
    struct sync_slot {
        static constexpr std::string_view s_addr = "addr";
        static constexpr std::string_view s_slot = "slot";
        static constexpr std::string_view s_flags = "flags";
    };
    // Detail fields in the hash of the loc parameter.
    struct loc {
        static constexpr std::string_view s_x = "x";
        static constexpr std::string_view s_y = "y";
        static constexpr std::string_view s_z = "z";
        static constexpr std::string_view s_sublocation_z = "sublocation_z";
        static constexpr std::string_view s_sublocation_id = "sublocation_id";
    };

    win(redis::connection& _redis_context, const std::string& _mac_addr)
        : m_redis_context(_redis_context), m_mac_addr(_mac_addr) {}

    const std::string& mac_addr() const noexcept { return m_mac_addr; }
    // Whether the WIN has a data hash (a sending time, counter or screen text).
    bool exists() const;

    // A parameter number without a catalogue entry throws std::out_of_range before any
    // Redis access in every parameter operation.
    vyr::parameter::parameter_states parameter_state(vyr::parameter::parameter_t _p) const;
    void parameter_state(vyr::parameter::parameter_t _p, vyr::parameter::parameter_states _state);
    // The stored JSON text of one hemisphere; empty when missing.
    std::string parameter_as_json(vyr::parameter::parameter_t _p, parameter_hemisphere _hemisphere) const;
    // An empty text deletes the field.
    void parameter_as_json(vyr::parameter::parameter_t _p, parameter_hemisphere _hemisphere,
                           const std::string& _json);
    void parameter_timestamp(vyr::parameter::parameter_t _p, const timeval& _timestamp);
    // Missing members are 0.
    timeval parameter_timestamp(vyr::parameter::parameter_t _p) const;
    void del_parameter(vyr::parameter::parameter_t _p);
    // Deletes the hash of every catalogue parameter (one command), then the no-alarm set;
    // appended to `_writes`, or at once.
    void del_all_parameters(redis::batch& _writes) const;
    void del_all_parameters();

    // What delivery recorded at the last push of one parameter, to tell a device that
    // keeps refusing a value (fields of the parameter's hash, beside its state): the pair
    // pushed against (what the device is to have, what it held), the parameter's report
    // time then, how many pushes of that pair in a row the device answered holding that
    // same value, and whether the parameter is marked rejected, with the time of its
    // last push since.
    struct push_record {
        std::string must;
        std::string actual;
        timeval report{};
        std::uint32_t refusals = 0;
        bool rejected = false;
        timeval rejected_push{};
        // The WIN's announce token when the record was written (empty: none).
        std::string announced;
        // Read only: the parameter's report time now.
        timeval report_now{};
    };
    // The push record's fields in the parameter's hash.
    static constexpr std::string_view s_rejected = "rejected";
    static constexpr std::string_view s_push_must = "push_must", s_push_actual = "push_actual",
                                      s_push_report_sec = "push_report_sec", s_push_report_usec = "push_report_usec",
                                      s_refusals = "refusals", s_rejected_push_sec = "rejected_push_sec",
                                      s_rejected_push_usec = "rejected_push_usec", s_push_announced = "push_announced";
    // One round trip each; a parameter never pushed reads as a default record.
    push_record parameter_push_record(vyr::parameter::parameter_t _p) const;
    void parameter_push_record(vyr::parameter::parameter_t _p, const push_record& _record);
    // The one command that writes a push record into the parameter's hash.
    static std::vector<std::string> push_record_command(std::string_view _mac, vyr::parameter::parameter_t _p,
                                                        const push_record& _record);

    // Detail fields. The throwing getters throw field_missing "<getter name>mac: <mac>"
    // when missing.
    bool parameter_stationary() const;
    void parameter_stationary(bool _value);
    std::optional<std::string> parameter_category() const;
    void parameter_category(const std::string& _value);
    std::string parameter_t2t_cfg_role() const;
    void parameter_t2t_cfg_role(const std::string& _value);
    std::optional<bool> parameter_t2t_cfg_alarm_back() const;
    void parameter_t2t_cfg_alarm_back(bool _value);
    std::optional<bool> parameter_t2t_cfg_buzzer() const;
    void parameter_t2t_cfg_buzzer(bool _value);
    std::optional<bool> parameter_t2t_cfg_haptic() const;
    void parameter_t2t_cfg_haptic(bool _value);
    std::optional<std::string> parameter_t2t_cfg_pin() const;
    void parameter_t2t_cfg_pin(const std::string& _value);
    std::optional<std::uint32_t> parameter_t2t_cfg_distance() const;
    void parameter_t2t_cfg_distance(std::uint32_t _value);
    std::optional<std::uint32_t> parameter_t2t_cfg_angle() const;
    void parameter_t2t_cfg_angle(std::uint32_t _value);
    std::optional<std::uint32_t> parameter_t2t_cfg_delay() const;
    void parameter_t2t_cfg_delay(std::uint32_t _value);
    std::optional<std::uint32_t> parameter_t2t_cfg_alert_distance() const;
    void parameter_t2t_cfg_alert_distance(std::uint32_t _value);
    std::optional<std::uint32_t> parameter_t2t_cfg_safe_distance() const;
    void parameter_t2t_cfg_safe_distance(std::uint32_t _value);
    // 65535 when missing.
    std::uint32_t parameter_sync_slot_addr() const;
    void parameter_sync_slot_addr(std::uint32_t _value);
    // 255 when missing.
    std::uint32_t parameter_sync_slot_slot() const;
    void parameter_sync_slot_slot(std::uint32_t _value);
    // 0 when missing.
    std::uint32_t parameter_sync_slot_flags() const;
    void parameter_sync_slot_flags(std::uint32_t _value);
    // The superframe the device reported; members it did not report are empty.
    vyr::parameter::superframe parameter_sf() const;
    // Replaces the reported superframe: empty members are removed from the record.
    void parameter_sf(const vyr::parameter::superframe& _value);
    // Throws as soon as one of the five fields is missing.
    vyr::parameter::loc parameter_loc() const;
    void parameter_loc(const vyr::parameter::loc& _loc);
    std::vector<std::string> parameter_t2t_no_alarm() const;
    // Replaces the list; entries are stored upper case.
    void parameter_t2t_no_alarm(const std::vector<std::string>& _list);

    alarm_states alarm_state() const;
    void alarm_state(alarm_states _state);
    void alarm_state(alarm_states _state, redis::batch& _writes) const;
    // State and shown alarm in one round trip.
    alarm_delivery alarm_delivery_state() const;
    // The zone alarm the device last reported showing (its al_zv report: level, and zone
    // id unless the level is 0; the uid empty); nothing when it reported none.
    std::optional<shown_alarm> reported_zone_alarm() const;
    // Server time (milliseconds) the latest accepted report of the parameter was heard;
    // kept for em_alm. Nothing when not stored.
    static constexpr std::string_view s_heard_ms = "heard_ms";
    std::optional<std::int64_t> parameter_heard_ms(vyr::parameter::parameter_t _p) const;
    // Detail fields of the al_zv parameter's hash.
    struct al_zv {
        static constexpr std::string_view s_level = "level";
        static constexpr std::string_view s_zone_id = "zid";
    };
    // Compare-and-set: only while the state is still `_expected`, sets it to `_next` and,
    // when given, records the alarm sent and the screen text; false when the state
    // changed meanwhile (nothing written).
    bool replace_alarm_state(alarm_states _expected, alarm_states _next,
                             const std::optional<shown_alarm>& _shown = std::nullopt,
                             const std::optional<std::string>& _text = std::nullopt);
    void del_alarms();
    void del_alarms(redis::batch& _writes) const;
    // The new counter value (1 on a fresh WIN); 0 if the reply is not an integer.
    std::uint32_t increment_sending_counter();
    std::uint32_t sending_counter() const;
    // Deletes the counter only; the sending time stays.
    void del_sending_counter();
    // Stores the time and adds the MAC to the set of WINs.
    void sending_time(const timeval& _time);
    timeval sending_time() const;
    void current_text(const std::string& _text);
    // The device answered: sending time 0:0 and no counter (the delivery mechanisms may
    // send again at once), a new answer token, the MAC in the set of WINs. Appended to
    // `_writes`.
    void answered(redis::batch& _writes) const;
    // The answer token as stored; nothing before the first answer.
    std::optional<std::string> answer_token() const;
    // The device announced itself: a new announce token, appended to `_writes`.
    void announced(redis::batch& _writes) const;
    // The announce token as stored; empty before the first announcement.
    std::string announce_token() const;
    // That the device reported at server time `_now` (seconds), and the MAC in the set of
    // WINs. Appended to `_writes`.
    void heard(std::int64_t _now, redis::batch& _writes) const;
    // The report time of `_p`, appended to `_writes`.
    void parameter_timestamp(vyr::parameter::parameter_t _p, const timeval& _timestamp,
                             redis::batch& _writes) const;
    // Deletes every hash and set of the record and takes the MAC out of the set of WINs.
    void remove();
    std::string current_text() const;

private:
    // The commands of `_writes`, each by itself, as the single-write setters send them.
    void run(const redis::batch& _writes) const;
    // Key of the hash of parameter `_p`; throws std::out_of_range for an unknown number.
    std::string parameter_key(vyr::parameter::parameter_t _p) const;
    std::optional<std::string> detail(vyr::parameter::parameter_t _p, std::string_view _field) const;
    std::string required_detail(vyr::parameter::parameter_t _p, std::string_view _field,
                                std::string_view _getter) const;
    std::optional<bool> bool_detail(vyr::parameter::parameter_t _p, std::string_view _field) const;
    std::optional<std::uint32_t> unsigned_detail(vyr::parameter::parameter_t _p, std::string_view _field) const;
    void detail(vyr::parameter::parameter_t _p, std::string_view _field, std::string_view _value);
    timeval time_pair(const std::string& _key, std::string_view _sec, std::string_view _usec) const;

    redis::connection& m_redis_context;
    const std::string m_mac_addr;
};

// A token that no other answer has, in this run or an earlier one.
std::string new_answer_token();

// Removes the WIN records of devices that belong to no anchor or trackable object of the
// project and were last heard `_silence` seconds or more before `_now`, adds their number
// to the removed count and returns it. A foreign record never heard (written before it
// could be) starts its silence now.
std::size_t remove_silent_wins(redis::connection& _redis_context, std::int64_t _now, std::int64_t _silence);

// Writes to WIN records gathered to go out together in one round trip. The field writes
// to one hash become one HDEL and one HMSET, the members added to one set one SADD, each
// at the place of the first write to that key. Any other command keeps its place, and
// writes to the keys it touches that come after it go after it. The batch leaves the
// state the writes leave one by one.
class win_writes {
public:
    // An empty value deletes the field, as a single field write of `win` does.
    void set(const std::string& _key, std::string_view _field, std::string _value);
    void erase(const std::string& _key, std::string_view _field);
    void add_member(const std::string& _key, const std::string& _member);
    // A command of its own that touches (only) `_keys`.
    void command(std::vector<std::string> _argv, std::initializer_list<std::string> _keys);
    bool empty() const noexcept { return m_entries.empty(); }
    // Everything gathered, in order; leaves nothing behind.
    redis::batch take();

private:
    struct entry {
        std::string key;
        // Of a hash: field -> value, nothing to delete it; of a set: its new members.
        std::map<std::string, std::optional<std::string>, std::less<>> fields;
        std::set<std::string> members;
        // A command of its own when not empty.
        std::vector<std::string> argv;
    };
    entry& open(const std::string& _key);

    std::vector<entry> m_entries;
    // The entry each key's field writes and members go to.
    std::map<std::string, std::size_t, std::less<>> m_open;
};

// The writes a parameter report makes to the WIN record of `_mac`, gathered in
// `_writes`: the same fields and values as the setters of `win` of the same names.
class win_report {
public:
    win_report(win_writes& _writes, std::string _mac) : m_writes(_writes), m_mac(std::move(_mac)) {}

    void parameter_state(vyr::parameter::parameter_t _p, vyr::parameter::parameter_states _state);
    // The reported value's JSON text; an empty text deletes it.
    void parameter_actual(vyr::parameter::parameter_t _p, const std::string& _json);
    // A detail field of the parameter's hash ("role", "stationary", ...); an empty text
    // deletes it.
    void detail(vyr::parameter::parameter_t _p, std::string_view _field, std::string _value);
    void parameter_timestamp(vyr::parameter::parameter_t _p, const timeval& _timestamp);
    void parameter_sf(const vyr::parameter::superframe& _value);
    void parameter_loc(const vyr::parameter::loc& _loc);
    void parameter_t2t_no_alarm(const std::vector<std::string>& _list);
    void del_t2t_cfg_report();
    void alarm_state(alarm_states _state);
    // The compare-and-set of `win::replace_alarm_state` without text and shown alarm;
    // whether it took is not known here.
    void replace_alarm_state(alarm_states _expected, alarm_states _next);
    // The device shows the zone alarm of `_level` in `_zone_id` (level 0: none, any zone).
    // When that is what it was sent last (the state still "sent", the shown alarm the
    // same), the shown alarm is marked delivered if its record still exists and the state
    // moves on to the screen message; otherwise nothing changes. Judged in Redis as the
    // writes before it left the record; whether it took is not known here.
    void zone_alarm_confirmed(unsigned int _level, unsigned int _zone_id);
    // As `win::answered` and `win::heard`.
    void answered();
    void heard(std::int64_t _now);

private:
    std::string key(vyr::parameter::parameter_t _p) const;

    win_writes& m_writes;
    const std::string m_mac;
};

// The stored report times of the (MAC, parameter) pairs, 0:0 when none or unreadable, in
// one round trip.
std::vector<timeval> parameter_timestamps(
    redis::connection& _redis_context, const std::vector<std::pair<std::string, vyr::parameter::parameter_t>>& _wanted);

}  // namespace vyr::context
