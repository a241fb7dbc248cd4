// Zone alarms and screen messages of the tags, part of the parameter-request mechanism:
// once per processing cycle every tag whose WIN asks for it is sent the zone alarm it
// must show (or the clearing form), or its pending text message, paced like every push.
// Runs on the mechanism's thread with its own Redis context.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "common/helpers.h"
#include "context/context.h"
#include "core/exception.h"
#include "delivery/mechparamreq.h"
#include "delivery/sender.h"

using vyr::context::alarm_states;
using vyr::context::win;

namespace {

// The text shown while no zone alarm is: the device keeps a blank line.
const std::string s_blank_text = " ";

// What the choice of the alarm to show reads from one alarm record.
struct alarm_view {
    std::string uid;
    std::optional<std::uint32_t> acknowledged;
    bool delivered = false;
    std::optional<std::uint32_t> level;
};

alarm_view view_of(vyr::context::context& _context, const std::string& _uid) {
    const auto record = _context.get_alarm(_uid);
    return alarm_view{_uid, record.acknowledged(), record.delivered(), record.zone_alarm_level()};
}

// Whether `_b` is to be shown rather than `_a`: an undelivered alarm before a delivered
// one, then the higher level, then an unacknowledged one before an acknowledged one. An
// alarm without an acknowledged value takes part in no comparison.
bool preferred(const alarm_view& _a, const alarm_view& _b) {
    if (!_a.acknowledged || !_b.acknowledged)
        return false;
    if (_a.delivered && !_b.delivered)
        return true;
    if ((_b.level && !_a.level) || (_a.level && _b.level && *_a.level < *_b.level))
        return true;
    return *_a.acknowledged != 0 && *_b.acknowledged == 0;
}

// The alarm to show among the object's zone alarms (not empty): the first one, replaced
// by every later one preferred to the current candidate. The first is compared with
// itself, which never replaces it.
std::string choose_alarm(vyr::context::context& _context, const std::vector<std::string>& _uids) {
    alarm_view candidate = view_of(_context, _uids.front());
    for (const auto& uid : _uids) {
        auto other = view_of(_context, uid);
        if (preferred(candidate, other))
            candidate = std::move(other);
    }
    return candidate.uid;
}

// The WIN's screen text and the clearing form of the zone alarm.
void clear_zone_alarm(c_sender& _sender, win& _win) {
    _win.current_text(s_blank_text);
    _sender.zone_alarm_to_node(_win.mac_addr(), 0, 0, "");
}

}  // namespace

void c_mech_param_req::deliver_alarms() {
    const timeval time = pass_time();
    for (const auto& object_uid : m_context->get_track_objs()) {
        try {
            const auto object = m_context->get_track_obj(object_uid);
            // Asset tags show nothing; the platform may write the type in any case.
            if (to_upper(object.type()) == "ASSET")
                continue;
            const auto mac = object.mac_addr();
            if (mac.empty())
                continue;
            auto record = m_context->get_win(mac);
            if (!record.exists() || !may_push(record, time))
                continue;

            const auto state = record.alarm_state();
            if (state == alarm_states::MESSAGE) {
                m_sender->message_to_node(mac, record.current_text());
            } else if (state == alarm_states::NOT_CONFIGURED || state == alarm_states::SENT) {
                const auto alarms = m_context->get_zone_alarms_of_object(object_uid);
                record.alarm_state(alarm_states::SENT);
                if (alarms.empty()) {
                    clear_zone_alarm(*m_sender, record);
                } else {
                    const auto shown = m_context->get_alarm(choose_alarm(*m_context, alarms));
                    const auto text = shown.text();
                    const auto zone_uid = shown.zone_uid();
                    const auto level = shown.zone_alarm_level();
                    if (text && zone_uid && level) {
                        record.current_text(*text);
                        const auto zone_id = m_context->get_zone(*zone_uid).zone_id();
                        m_sender->zone_alarm_to_node(mac, *level, zone_id, *zone_uid);
                        record.alarm_state(alarm_states::SENT);
                    } else {
                        clear_zone_alarm(*m_sender, record);
                    }
                }
            } else {
                continue;
            }
            record.sending_time(time);
            record.increment_sending_counter();
        } catch (const zmq::error_t&) {
            throw;  // the gateway side failed: the rest of the pass waits for the next cycle
        } catch (const std::exception&) {
            // One broken record must not keep every tag after it from its alarms.
            m_logger.log_exception(VYR_HERE);
        }
    }
}
