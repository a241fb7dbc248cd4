// Zone alarms and screen messages of the tags, part of the parameter-request mechanism:
// once per processing cycle every tag whose WIN asks for it is sent the zone alarm it
// must show (or the clearing form), or its pending text message, paced like every push.
// What was sent is recorded on the WIN, so that the device's confirmation is matched
// against it and an unchanged resend can wait until the parameters had their turn.
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
    vyr::context::alarm_data data;
};

// Whether `_b` is to be shown rather than `_a`: an undelivered alarm before a delivered
// one, then the higher level, then an unacknowledged one before an acknowledged one. An
// alarm without an acknowledged value takes part in no comparison.
bool preferred(const alarm_view& _a, const alarm_view& _b) {
    const auto& a = _a.data;
    const auto& b = _b.data;
    if (!a.acknowledged || !b.acknowledged)
        return false;
    if (a.delivered && !b.delivered)
        return true;
    if ((b.zone_alarm_level && !a.zone_alarm_level) ||
        (a.zone_alarm_level && b.zone_alarm_level && *a.zone_alarm_level < *b.zone_alarm_level))
        return true;
    return *a.acknowledged != 0 && *b.acknowledged == 0;
}

// The alarm to show among the object's zone alarms that can be shown (text, zone and
// level stored): the first one, replaced by every later one preferred to the current
// candidate. Nothing when none can be shown.
std::optional<alarm_view> choose_alarm(vyr::context::context& _context, const std::vector<std::string>& _uids) {
    std::optional<alarm_view> candidate;
    for (const auto& uid : _uids) {
        auto data = _context.get_alarm(uid).read();
        if (!data || !data->text || !data->zone_uid || !data->zone_alarm_level)
            continue;
        alarm_view other{uid, std::move(*data)};
        if (!candidate || preferred(*candidate, other))
            candidate = std::move(other);
    }
    return candidate;
}

}  // namespace

void c_mech_param_req::deliver_alarms(alarm_pass _pass) {
    const timeval time = pass_time();
    // The tags that show alarms, by MAC, in the order of the objects.
    std::vector<std::string> uids;
    std::vector<std::string> macs;
    for (const auto& object_uid : m_context->get_track_objs()) {
        try {
            const auto object = m_context->get_track_obj(object_uid);
            // Asset tags show nothing. The platform's type is exactly "ASSET".
            if (object.type() == "ASSET")
                continue;
            auto mac = object.mac_addr();
            if (mac.empty())
                continue;
            uids.push_back(object_uid);
            macs.push_back(std::move(mac));
        } catch (const std::exception&) {
            m_logger.log_exception(VYR_HERE);
        }
    }
    by_chunks(macs, false, [&](std::size_t _index) {
        service_pipe_in_cycle(_index);
        const auto& object_uid = uids[_index];
        const auto& mac = macs[_index];
        try {
            auto record = m_context->get_win(mac);
            if (!record.exists() || !may_push(record, time))
                return;

            const auto delivery = record.alarm_delivery_state();
            if (delivery.state == alarm_states::MESSAGE) {
                if (_pass == alarm_pass::resends)
                    return;
                if (!m_sender->message_to_node(mac, record.current_text()))
                    return;
            } else if (delivery.state == alarm_states::NOT_CONFIGURED || delivery.state == alarm_states::SENT) {
                const auto chosen = choose_alarm(*m_context, m_context->get_zone_alarms_of_object(object_uid));
                // The clearing form when nothing can be shown.
                vyr::context::shown_alarm shown;
                std::string text = s_blank_text;
                if (chosen) {
                    shown.uid = chosen->uid;
                    shown.level = *chosen->data.zone_alarm_level;
                    shown.zone_id = m_context->get_zone(*chosen->data.zone_uid).zone_id();
                    text = *chosen->data.text;
                }
                // Sending again what the device was sent last is a resend: it comes after
                // the parameters, so that it never takes their slot.
                const bool resend = delivery.state == alarm_states::SENT && delivery.shown == shown;
                if ((_pass == alarm_pass::changes && resend) || (_pass == alarm_pass::resends && !resend))
                    return;
                // A new alarm may have been set since the state was read: then it stays to
                // be shown, and this choice is not sent.
                if (!record.replace_alarm_state(delivery.state, alarm_states::SENT, shown, text))
                    return;
                // A frame that was not queued is no push (the state says SENT, so it
                // goes out again as a resend).
                const bool queued =
                    chosen ? m_sender->zone_alarm_to_node(mac, shown.level, shown.zone_id, *chosen->data.zone_uid)
                           : m_sender->zone_alarm_to_node(mac, 0, 0, "");
                if (!queued)
                    return;
            } else {
                return;
            }
            record.sending_time(time);
            record.increment_sending_counter();
        } catch (const zmq::error_t&) {
            throw;  // the gateway side failed: the rest of the pass waits for the next cycle
        } catch (const std::exception&) {
            // One broken record must not keep every tag after it from its alarms.
            m_logger.log_exception(VYR_HERE);
        }
    });
}
