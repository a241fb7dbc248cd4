// Zone alarms and screen messages of the tags, part of the parameter-request mechanism:
// once per processing cycle, before anything else, every tag whose device shows alarms is
// judged: what its device confirmed (the zone alarm it was sent and acknowledged, the text
// it acknowledged, and what it reports showing since) is compared with the alarm its
// object's records say now, in every state, and a difference is sent again, paced like
// every push. The alarm records are read fresh with each chunk of tags, not taken from the
// cycle's snapshot, so an alarm set or cleared while the cycle runs is not judged against
// the records it replaced. Also the emergency state a tag is to hold. Runs on the
// mechanism's thread with its own Redis context.
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
// The largest zone alarm level and zone id the AL_ZV payload carries.
constexpr std::uint32_t s_max_level = 0xFF;
constexpr std::uint32_t s_max_zone_id = 0xFFFF;

// An alarm that can be shown, with what the choice compares.
struct candidate {
    std::string uid;
    vyr::context::alarm_data data;
    std::uint32_t zone_id = 0;
};

// Whether `_b` is to be shown rather than `_a`: an undelivered alarm before a delivered
// one, then the higher level, then an unacknowledged one before an acknowledged one. An
// alarm without an acknowledged value takes part in no comparison.
bool preferred(const candidate& _a, const candidate& _b) {
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

}  // namespace

c_mech_param_req::alarm_view c_mech_param_req::alarm_to_show(const std::string& _object_uid,
                                                             const std::string& _mac_address) {
    // The first alarm that can be shown, replaced by every later one preferred to it.
    std::optional<candidate> chosen;
    std::string refused;
    for (const auto& uid : m_context->get_zone_alarms_of_object(_object_uid)) {
        auto data = m_context->get_alarm(uid).read();
        if (!data || !data->set || !data->text || !data->zone_uid || !data->zone_alarm_level)
            continue;
        // A level or zone the payload cannot carry would show another alarm than the
        // project's: such an alarm is not shown (nor one whose zone is not mirrored).
        const auto zone = m_context->get_zone(*data->zone_uid).read();
        if (!zone || *data->zone_alarm_level > s_max_level || zone->zone_id > s_max_zone_id) {
            refused += (refused.empty() ? "" : ", ") + uid;
            continue;
        }
        candidate other{uid, std::move(*data), zone->zone_id};
        if (!chosen || preferred(*chosen, other))
            chosen = std::move(other);
    }
    const auto key = _mac_address + " zone alarms";
    if (refused.empty())
        forget(key);
    else if (first_notice(key, refused))
        m_logger.warning("zone alarms of %1% not shown: level above %2%, zone id above %3% or zone not mirrored: "
                         "%4%") %
            _mac_address % s_max_level % s_max_zone_id % refused;
    alarm_view view;
    view.text = s_blank_text;
    if (chosen) {
        view.shown = {chosen->uid, *chosen->data.zone_alarm_level, chosen->zone_id};
        view.zone_uid = *chosen->data.zone_uid;
        // As the device holds it: what it confirms is compared with what it was sent.
        view.text = vyr::parameter::param_screen_text::held_text(*chosen->data.text);
    }
    return view;
}

bool c_mech_param_req::deliver_alarm_to_tag(win& _win, const std::string& _object_uid) {
    using vyr::parameter::AL_ZV;
    const auto& mac = _win.mac_addr();
    const auto delivery = _win.alarm_delivery_state();
    const auto state = delivery.state;
    if (state != alarm_states::NOT_CONFIGURED && state != alarm_states::SENT && state != alarm_states::MESSAGE &&
        state != alarm_states::CONFIGURED)
        return false;
    const auto must = alarm_to_show(_object_uid, mac);
    // What the device confirmed showing: the alarm it acknowledged, unless it reported
    // another one since.
    bool shows = delivery.shown && *delivery.shown == must.shown;
    if (shows && state != alarm_states::SENT && state != alarm_states::NOT_CONFIGURED) {
        const auto reported = _win.reported_zone_alarm();
        shows = !reported ||
                (reported->level == must.shown.level && (must.shown.level == 0 || reported->zone_id == must.shown.zone_id));
    }
    const auto send_alarm = [&] {
        // A new alarm state set meanwhile stays to be judged again: this choice is not sent.
        if (!_win.replace_alarm_state(state, alarm_states::SENT, must.shown, must.text))
            return false;
        // A frame that was not queued is no push (the state says SENT: it goes out again).
        return must.shown.uid.empty()
                   ? m_sender->zone_alarm_to_node(mac, 0, 0, "")
                   : m_sender->zone_alarm_to_node(mac, must.shown.level, must.shown.zone_id, must.zone_uid);
    };
    if (state == alarm_states::NOT_CONFIGURED || state == alarm_states::SENT || !shows)
        return send_alarm();
    // The alarm is shown; its text is what is left to settle.
    const auto text = _win.current_text();
    if (text == must.text && state == alarm_states::CONFIGURED)
        return false;
    if (text != must.text && !_win.replace_alarm_state(state, alarm_states::MESSAGE, std::nullopt, must.text))
        return false;
    return m_sender->message_to_node(mac, must.text);
}

void c_mech_param_req::deliver_alarms() {
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
    // Once a chunk's WIN records are read, the alarms of its tags that are judged (their
    // index sets and what their devices report showing), then the alarm records those
    // name: what the records say as the tags are judged.
    const auto fresh = [&](std::size_t _first, std::size_t _last) {
        using vyr::context::alarm;
        using vyr::redis::key_kind;
        std::vector<std::size_t> judged;
        std::vector<std::pair<std::string, key_kind>> keys;
        for (auto i = _first; i < _last; ++i)
            prefetch_or_read_live([&] {
                const auto state = m_context->get_win(macs[i]).alarm_delivery_state().state;
                if (state == alarm_states::UNKNOWN || state == alarm_states::NOT_SUPPORTED)
                    return;
                judged.push_back(i);
                keys.emplace_back(alarm::keys::objects(uids[i]), key_kind::set);
                keys.emplace_back(win::keys::parameters(macs[i], vyr::parameter::parameters.at(vyr::parameter::AL_ZV)),
                                  key_kind::hash);
            });
        prefetch_or_read_live([&] { m_context->redis_context().prefetch(keys, true); });
        // What cannot be read in one go is read per tag, its failure logged with the tag.
        keys.clear();
        for (const auto i : judged)
            prefetch_or_read_live([&] {
                for (const auto& alarm_uid : m_context->get_alarms_of_object(uids[i])) {
                    keys.emplace_back(alarm::keys::fields(alarm_uid), key_kind::hash);
                    keys.emplace_back(alarm::keys::data(alarm_uid), key_kind::hash);
                }
            });
        prefetch_or_read_live([&] { m_context->redis_context().prefetch(keys, true); });
    };
    by_chunks(
        macs, false,
        [&](std::size_t _index) {
            service_pipe_in_cycle(_index);
            auto record = m_context->get_win(macs[_index]);
            try {
                if (!record.exists() || !may_push(record, time) || !deliver_alarm_to_tag(record, uids[_index]))
                    return;
                const vyr::context::answer_guard guard(record);
                record.sending_time(time);
                record.increment_sending_counter();
            } catch (const zmq::error_t&) {
                throw;  // the gateway side failed: the rest of the pass waits for the next cycle
            } catch (const std::exception&) {
                // One broken record must not keep every tag after it from its alarms.
                m_logger.log_exception(VYR_HERE);
            }
        },
        fresh);
}
