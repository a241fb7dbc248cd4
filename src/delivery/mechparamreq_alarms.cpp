// Zone alarms and screen messages of the tags, part of the parameter-request mechanism:
// once per processing cycle, before anything else, every tag whose device shows alarms is
// judged: what its device confirmed (the zone alarm it was sent and acknowledged, the text
// it acknowledged, and what it reports showing since) is compared with the alarm its
// object's records say now, in every state, and a difference is sent again, paced like
// every push. The tags come from the cycle's project snapshot; per chunk of them the WIN
// records are read, then the alarms of the tags that are judged, fresh rather than from
// the snapshot, so that an alarm set or cleared while the cycle runs is not judged against
// the records it replaced. The rules are judge/alarms'. The compare-and-sets of the alarm
// states go as one batch before the frames, a frame goes only for a state change that was
// made, and the pushes' sending times and counters as a second batch after them. Runs on
// the mechanism's thread with its own Redis context.
#include <algorithm>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "context/object_alarms.h"
#include "context/write_batch.h"
#include "delivery/mechparamreq.h"
#include "delivery/sender.h"
#include "judge/alarms.h"

using vyr::context::win_record;
namespace alarms = vyr::judge::alarms;

namespace {

// Runs `_read` over a tag's record; a broken one (a number that is none, a record that
// is gone) gives its error text instead.
template <class Read>
auto guarded_read(Read _read, std::string& _error) -> std::optional<decltype(_read())> {
    try {
        return _read();
    } catch (const vyr::context::bad_data& _e) {
        _error = _e.what();
    } catch (const vyr::context::not_found& _e) {
        _error = _e.what();
    }
    return std::nullopt;
}

}  // namespace

struct c_mech_param_req::alarm_push {
    const win_record* record;
    // The compare-and-set the frame waits for, by its number in the chunk's batch.
    std::size_t group;
    alarms::decision decision;
};

void c_mech_param_req::deliver_alarms(const vyr::context::project_snapshot& _snapshot,
                                      const std::unordered_set<std::string>* _only) {
    const timeval time = pass_time();
    // The tags that show alarms: the objects that are no asset ("ASSET", exactly as the
    // platform writes it) and name a device. Their uids and MACs as the snapshot holds them,
    // copied a chunk at a time.
    std::vector<std::pair<const std::string*, const std::string*>> tags;
    const auto take = [&](const std::string& _uid, const vyr::context::track_obj_data& _object) {
        if (_object.type == "ASSET" || _object.mac_addr.empty())
            return;
        tags.emplace_back(&_uid, &_object.mac_addr);
    };
    if (_only) {
        for (const auto& mac : *_only) {
            const auto uid = _snapshot.track_obj_by_mac.find(mac);
            if (uid == _snapshot.track_obj_by_mac.end())
                continue;
            if (const auto* object = vyr::context::project_snapshot::find(_snapshot.track_objs, uid->second))
                take(uid->second, *object);
        }
    } else {
        for (const auto& [uid, object] : _snapshot.track_objs)
            take(uid, object);
    }
    // Chunks that met a lost Redis connection, reported once for the pass: their tags are
    // left to the next pass, and the next read connects again.
    std::size_t lost = 0;
    std::string loss;
    for (std::size_t first = 0; first < tags.size(); first += s_win_chunk) {
        // Requests that came meanwhile are answered between the chunks.
        if (first != 0)
            service_pipe_in_cycle();
        const auto last = std::min(tags.size(), first + s_win_chunk);
        std::vector<std::string> uids, macs;
        for (auto i = first; i < last; ++i) {
            uids.push_back(*tags[i].first);
            macs.push_back(*tags[i].second);
        }
        try {
            deliver_alarm_chunk(_snapshot.zones, uids, macs, time);
        } catch (const vyr::redis::connection_error& _error) {
            if (lost++ == 0)
                loss = _error.what();
        }
    }
    if (lost != 0)
        m_logger.error("%1% chunk(s) of tags left to the next alarm pass, the Redis connection was lost: %2%") % lost %
            loss;
}

void c_mech_param_req::deliver_alarm_chunk(const alarms::zones& _zones, const std::vector<std::string>& _uids,
                                           const std::vector<std::string>& _macs, const timeval& _time) {
    auto& redis = m_context->redis_context();
    static const std::vector<vyr::parameter::parameter_t> s_reads = {vyr::parameter::AL_ZV};
    const auto records = vyr::context::read_win_records(
        redis, _macs, [](const std::string&) -> const std::vector<vyr::parameter::parameter_t>& { return s_reads; });
    // The tags judged now: a record, a judged state, and pacing that lets them be pushed.
    std::vector<std::size_t> judged;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const auto& record = records[i];
        std::string error;
        const auto due = guarded_read(
            [&] {
                return record.exists() && alarms::judged(record.alarm_delivery_state().state) &&
                       vyr::judge::may_push(record, _time);
            },
            error);
        if (!due) {
            note_broken_tag(_macs[i], error);
        } else if (*due && answers_recorded(record, _time)) {
            judged.push_back(i);
        } else if (*due) {
            wait_for_answers(record, _time);
        } else if (record.exists() && alarms::judged(record.alarm_delivery_state().state)) {
            wait_for_pacing(record, _time);
        }
    }
    std::vector<std::string> judged_uids;
    for (const auto i : judged)
        judged_uids.push_back(_uids[i]);
    const auto object_alarms = vyr::context::read_object_alarms(redis, judged_uids);
    // What goes out, each frame behind the compare-and-set of its state.
    std::vector<alarm_push> pushes;
    vyr::context::write_batch changes;
    std::vector<vyr::judge::notice> notices;
    for (std::size_t n = 0; n < judged.size(); ++n) {
        const auto& record = records[judged[n]];
        std::string error;
        if (const auto unreadable = alarms::unreadable(object_alarms[n])) {
            note_broken_tag(record.mac_addr(), "alarms of object " + judged_uids[n] + ": " + *unreadable);
            continue;
        }
        notices.emplace_back();
        auto decision = guarded_read(
            [&] {
                return alarms::decide(
                    record, alarms::to_show(record.mac_addr(), object_alarms[n], _zones, notices.back()));
            },
            error);
        if (!decision) {
            note_broken_tag(record.mac_addr(), error);
            continue;
        }
        forget(record.mac_addr() + " alarm delivery");
        if (decision->send == alarms::decision::frame::none)
            continue;
        const auto& change = decision->change;
        const auto group = change ? changes.add(vyr::context::alarm_state_update{
                                        record.mac_addr(), change->expected, change->next, change->shown, change->text})
                                  : vyr::context::write_batch::s_no_group;
        pushes.push_back({&record, group, std::move(*decision)});
    }
    log_notices(notices);
    send_alarm_frames(pushes, changes.send(redis).made, _time);
}

void c_mech_param_req::send_alarm_frames(const std::vector<alarm_push>& _pushes, const std::vector<bool>& _made,
                                         const timeval& _time) {
    try {
        for (std::size_t i = 0; i < _pushes.size(); ++i) {
            const auto& push = _pushes[i];
            // A new alarm state set meanwhile stays to be judged again: this choice is not sent.
            if (push.group != vyr::context::write_batch::s_no_group && !_made.at(push.group))
                continue;
            service_pipe_in_cycle(i);
            const auto& mac = push.record->mac_addr();
            const auto& must = push.decision.must;
            const bool queued =
                push.decision.send == alarms::decision::frame::message ? m_sender->message_to_node(mac, must.text)
                : must.shown.uid.empty()
                    ? m_sender->zone_alarm_to_node(mac, 0, 0, "")
                    : m_sender->zone_alarm_to_node(mac, must.shown.level, must.shown.zone_id, must.zone_uid);
            // A frame that was not queued is no push (the state says so): it goes out
            // again once the pacing would let it.
            if (!queued) {
                wait_for_pacing(*push.record, _time);
                continue;
            }
            pushed(mac, _time);
            vyr::context::win_update update(*push.record);
            update.sent = _time;
            m_writes.add(update);
        }
    } catch (const zmq::error_t&) {
        // What went out before the failure is still paced; the pass ends here.
        send_writes();
        throw;
    }
    send_writes();
}

void c_mech_param_req::note_broken_tag(const std::string& _mac, const std::string& _error) {
    if (first_notice(_mac + " alarm delivery", _error))
        m_logger.warning("zone alarm of %1% not judged: %2%") % vyr::libs::core::device_mac{_mac} % _error;
}
