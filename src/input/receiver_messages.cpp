// Device and server-side messages other than parameter reports: alarms of trackable
// objects ("#alarm"), hardware reports with the sleep confirmation ("#hw_report") and the
// server's sleep orders ("#srv_conf"). Run on the receiver thread; the results go to
// Redis (an alarm through the updater's writes, platform/updater_writes.h) and, as
// messages to their mailboxes, to the two mechanisms.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "common/field_reader.h"
#include "common/helpers.h"
#include "common/metrics.h"
#include "context/context.h"
#include "context/errors.h"
#include "core/exception.h"
#include "core/json.h"
#include "input/receiver.h"
#include "platform/updater_writes.h"
#include "runtime/mailboxes.h"

using vyr::context::alarm_states;

namespace {

// Throws bad_data: field `_field` of the message `_message` is cut short.
[[noreturn]] void throw_cut_short(std::string_view _field, std::size_t _count, std::size_t _left,
                                  std::string_view _message) {
    throw vyr::context::bad_data(std::string(_field) + " of hardware report \"" + std::string(_message) +
                                     "\": " + std::to_string(_count) + " characters wanted, " +
                                     std::to_string(_left) + " left",
                                 VYR_HERE);
}

// Cuts the first `_count` characters, field `_field` of `_message`, off `_text` and
// returns them. A text too short for the cut throws bad_data naming the field.
std::string take_front(std::string& _text, std::size_t _count, std::string_view _field, std::string_view _message) {
    if (_text.size() < _count)
        throw_cut_short(_field, _count, _text.size(), _message);
    std::string front = _text.substr(0, _count);
    _text.erase(0, _count);
    return front;
}

// As take_front, from the end of the text.
std::string take_back(std::string& _text, std::size_t _count, std::string_view _field, std::string_view _message) {
    if (_text.size() < _count)
        throw_cut_short(_field, _count, _text.size(), _message);
    std::string back = _text.substr(_text.size() - _count);
    _text.erase(_text.size() - _count);
    return back;
}

bool is_string_equal(const Json::Value& _object, const char* _member, const char* _expected) {
    const Json::Value& value = _object[_member];
    return value.isString() && value.asString() == _expected;
}

// What a set alarm's "additional_info" says: its text, and for a zone alarm its zone and
// level. Nothing when a member is there but unreadable (logged by `_read`).
struct additional_info {
    std::optional<std::string> text;
    std::optional<std::string> zone_uid;
    std::optional<std::uint32_t> zone_alarm_level;
};

std::optional<additional_info> read_additional_info(const field_reader& _read, const Json::Value& _message,
                                                    const std::string& _uid, bool _zone_alarm) {
    additional_info result;
    const Json::Value& info = _message["additional_info"];
    if (!info.isObject())
        return result;
    std::string text;
    if (!_read(info, "text", text, _uid))
        return std::nullopt;
    result.text = text;
    if (_zone_alarm) {
        std::string zone_uid;
        unsigned int level = 0;
        if (!_read(info, "zone_uid", zone_uid, _uid) || !_read(info, "zone_alarm_level", level, _uid))
            return std::nullopt;
        result.zone_uid = zone_uid;
        result.zone_alarm_level = level;
    }
    return result;
}

}  // namespace

void c_receiver::process_alarm(const std::string& _body) const {
    const field_reader read{m_logger, "process_alarm", "alarm"};
    const auto parsed = vyr::libs::core::json::try_parse(_body);
    if (!parsed.ok || !parsed.result.isObject())
        return vyr::metrics::add(vyr::metrics::counter::reports_malformed);
    const Json::Value& message = parsed.result;

    std::string uid, alarm_name, obj_uid, state;
    if (!read(message, "uid", uid))
        return;
    if (!read(message, "alarm_name", alarm_name, uid) || !vyr::context::is_handled_alarm(alarm_name))
        return;
    if (!read(message, "obj_uid", obj_uid, uid) || obj_uid.empty())
        return;
    if (!read(message, "state", state, uid))
        return;
    const bool zone_alarm = vyr::context::is_zone_alarm(alarm_name);
    const bool set = state == "set";

    const auto track_obj = m_context->get_track_obj(obj_uid);
    if (!track_obj.exists())
        return;
    auto alarm = m_context->get_alarm(uid);
    const bool alarm_exists = alarm.exists();

    // The device of the object has to be sent its zone alarms again.
    const auto reset_device = [&] {
        const auto mac = track_obj.mac_addr();
        if (mac.empty())
            return;
        auto device = m_context->get_win(mac);
        if (device.alarm_state() != alarm_states::UNKNOWN) {
            device.alarm_state(alarm_states::NOT_CONFIGURED);
            mark(mac);
        }
    };

    // A clear removes the alarm; of an alarm without a record nothing is stored. It is
    // looked for again as an event: a refresh on its way may be writing it meanwhile.
    if (!set) {
        if (!writes().remove_notified(vyr::mirror::alarms, uid))
            return;
        if (zone_alarm)
            reset_device();
        send_context_updated_notification();
        return;
    }

    unsigned int acknowledged = 0;
    if (!read(message, "acknowledged", acknowledged, uid))
        return;

    const auto info = read_additional_info(read, message, uid, zone_alarm);
    if (!info)
        return;

    // A new alarm, or one whose level changed, must be shown on the device again.
    if (zone_alarm && (!alarm_exists || alarm.zone_alarm_level() != info->zone_alarm_level))
        reset_device();

    // A set alarm, written as the updater writes one it read from the platform.
    writes().apply_notified(uid, vyr::vyrserver::alarm{alarm_name, acknowledged, obj_uid, info->zone_uid,
                                                       info->zone_alarm_level, info->text});
    if (alarm_name == vyr::context::s_emergency_button)
        vyr::context::note_button_seen(m_context->redis_context(), obj_uid, now_ms());
    send_context_updated_notification();
}

void c_receiver::process_hw_report(const std::string& _body) const {
    static const std::string start = "010E";
    static const std::string events = "000E";
    static const std::string sleep_confirmed = "47";

    // The report is a hexadecimal text of bytes (after blanks), its last 16 characters the
    // device's MAC. The record "010E" starts on a byte and before the MAC; the same four
    // characters across two bytes or inside the MAC are data, not the record.
    const auto first = _body.find_first_not_of(' ');
    if (first == std::string::npos)
        return;
    const std::size_t size = _body.size() - first;
    const std::size_t end = size > 16 ? size - 16 : size;
    std::size_t position = std::string::npos;
    for (std::size_t at = 0; at + start.size() <= end && position == std::string::npos; at += 2)
        if (_body.compare(first + at, start.size(), start) == 0)
            position = first + at;
    if (position == std::string::npos)
        return;
    std::string data = _body.substr(position + start.size());
    take_front(data, 2, "the length", _body);
    std::string mac = take_back(data, 16, "the MAC", _body);
    if (!comb_mac(mac)) {
        m_logger.debug("hardware report with a bad MAC dropped: %1%") % mac;
        return;
    }
    take_front(data, 4, "the word after the length", _body);
    if (take_front(data, 4, "the events tag", _body) != events)
        return;

    const vyr::mail::sleep_confirmed confirmed{mac};
    // One confirmation per "47" code; the first other code ends the list.
    while (!data.empty()) {
        if (take_front(data, 2, "an event code", _body) != sleep_confirmed)
            break;
        (void)vyr::mail::mech_sleep::send(*m_mech_sleep_socket, confirmed, m_logger);
    }
}

void c_receiver::process_srv_conf(const std::string& _body) const {
    const auto parsed = vyr::libs::core::json::try_parse(_body);
    if (!parsed.ok)
        return vyr::metrics::add(vyr::metrics::counter::reports_malformed);
    const Json::Value& request = parsed.result;
    if (!request.isObject())
        return;

    if (!is_string_equal(request, "jsonrpc", "2.0") || !is_string_equal(request, "method", "set") ||
        !request["id"].isString())
        return;
    const Json::Value& params = request["params"];
    if (!params.isObject() || !is_string_equal(params, "entity", "schedule_sleep"))
        return;
    const Json::Value& data = params["data"];
    if (!data.isObject() || !data["project_uid"].isString())
        return;
    if (data.isMember("location_uid") && !data["location_uid"].isString())
        return;
    if (data.isMember("sublocation_uid") && !data["sublocation_uid"].isString())
        return;
    if (!data["delay"].isString() || !data["duration"].isString())
        return;

    // The whole delay goes to the sleep mechanism, which holds the commands back until
    // the wait left fits their 16-bit field.
    const std::uint32_t delay = parse_time(data["delay"].asString());
    const std::uint32_t duration = parse_time(data["duration"].asString());

    const vyr::mail::sleep_order order{delay, duration, data["project_uid"].asString(),
                                       data.get("location_uid", "").asString(),
                                       data.get("sublocation_uid", "").asString()};
    // A cut uid would match no anchor: such an order is refused where it can be seen.
    if (vyr::mail::mech_sleep::send(*m_mech_sleep_socket, order, m_logger) == vyr::mail::sent::too_long)
        m_logger.warning("sleep order refused: a uid is longer than %1% characters (project %2%)") %
            vyr::cmd::uid_size % order.project_uid;
}
