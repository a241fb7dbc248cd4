// The periodic passes over the WIN records: each chunk of records is read (whole for the
// parameters, the sync hashes for the sync pass), judged against the cycle's project
// snapshot, its frames sent, and what it decided written back as one batch. Runs on the
// mechanism's thread.
#include <algorithm>
#include <functional>
#include <optional>
#include <unordered_set>

#include "common/metrics.h"
#include "context/write_batch.h"
#include "delivery/mechparamreq.h"
#include "delivery/sender.h"

using vyr::context::project_snapshot;
using vyr::context::win_record;
using vyr::context::win_update;

namespace {

vyr::metrics::device_status status_of(vyr::judge::win_standing _standing, const win_update& _update,
                                      const win_record& _record) {
    switch (_standing) {
        case vyr::judge::win_standing::in_step:
            return vyr::metrics::device_status::in_step;
        case vyr::judge::win_standing::rejects:
            return vyr::metrics::device_status::rejects;
        case vyr::judge::win_standing::differing:
            break;
    }
    // The counter as it stands after this pass.
    const auto counter = _record.sending_counter() + (_update.sent ? 1 : 0);
    return counter > c_mech_param_req::s_max_sending_counter ? vyr::metrics::device_status::gave_up
                                                             : vyr::metrics::device_status::differing;
}

}  // namespace

void c_mech_param_req::send_writes() {
    const auto outcome = m_writes.send(m_context->redis_context());
    if (outcome.guards_failed != 0)
        m_logger.debug("%1% WIN(s) answered while judged: their records are left as the answers wrote them") %
            outcome.guards_failed;
}

void c_mech_param_req::for_win_chunks(const std::vector<std::string>& _macs, const vyr::context::parameters_of& _reads,
                                      vyr::judge::judge& _judge,
                                      const std::function<void(const win_record&)>& _each) {
    // WINs whose records met a lost Redis connection, reported once for the pass: each is
    // left to the next pass, and the next read connects again.
    std::size_t lost = 0;
    std::string loss;
    const auto note_loss = [&](const vyr::redis::connection_error& _error) {
        if (lost++ == 0)
            loss = _error.what();
    };
    auto& redis = m_context->redis_context();
    // What an earlier chunk or pass could not write goes before any record is read again:
    // the records must show the sending times, or their devices are pushed again.
    const auto read = [&](const std::vector<std::string>& _chunk) {
        if (!m_writes.empty())
            send_writes();
        return vyr::context::read_win_records(redis, _chunk, _reads);
    };
    const auto read_chunk = [&](const std::vector<std::string>& _chunk) {
        try {
            return read(_chunk);
        } catch (const vyr::redis::connection_error&) {
            // One by one: a record that cannot be read costs its own WIN only.
            std::vector<win_record> records;
            for (const auto& mac : _chunk) {
                try {
                    records.push_back(std::move(read({mac}).front()));
                } catch (const vyr::redis::connection_error& _error) {
                    note_loss(_error);
                }
            }
            return records;
        }
    };
    for (std::size_t first = 0; first < _macs.size(); first += s_win_chunk) {
        // Requests that came meanwhile are answered between the chunks.
        if (first != 0)
            service_pipe_in_cycle();
        const auto last = std::min(_macs.size(), first + s_win_chunk);
        const std::vector<std::string> macs(_macs.begin() + static_cast<std::ptrdiff_t>(first),
                                            _macs.begin() + static_cast<std::ptrdiff_t>(last));
        auto records = read_chunk(macs);
        // Records read after the mirror moved past the pass's project: a device that
        // project does not know may have been added since, and is not to be taken for
        // one removed. It waits for the next step, which follows the mirror first (once:
        // a device outside the project is judged then, however the mirror moves). What
        // changed for a known device marks it for that step too.
        if (mirror_moved(_judge.snapshot()))
            records.erase(std::remove_if(records.begin(), records.end(),
                                         [&](const win_record& _record) { return defer_unknown(_judge, _record); }),
                          records.end());
        for (std::size_t i = 0; i < records.size(); ++i) {
            service_pipe_in_cycle(first + i);
            // Judged now: a later move of the mirror may leave it out again.
            if (!m_deferred.empty())
                m_deferred.erase(records[i].mac_addr());
            _each(records[i]);
        }
        log_notices(_judge.take_notices());
        try {
            send_writes();
        } catch (const vyr::redis::connection_error& _error) {
            note_loss(_error);
        }
    }
    if (lost != 0)
        m_logger.error("%1% WIN(s) or write batch(es) left to the next pass, the Redis connection was lost: %2%") %
            lost % loss;
}

bool c_mech_param_req::defer_unknown(const vyr::judge::judge& _judge, const win_record& _record) {
    const auto& mac = _record.mac_addr();
    const auto& snapshot = _judge.snapshot();
    if (snapshot.anchor_by_mac.count(mac) != 0 || snapshot.track_obj_by_mac.count(mac) != 0 ||
        m_deferred.erase(mac) != 0)
        return false;
    m_deferred.insert(mac);
    m_schedule.mark(mac);
    return true;
}

bool c_mech_param_req::mirror_moved(const project_snapshot& _snapshot) {
    try {
        return vyr::context::read_mirror_version(m_context->redis_context()) != _snapshot.version;
    } catch (const vyr::redis::connection_error&) {
        // The chunk's writes meet the same loss and report it.
        return false;
    }
}

void c_mech_param_req::deliver_parameters(const std::shared_ptr<const project_snapshot>& _snapshot,
                                          const std::vector<std::string>& _macs, bool _all) {
    const timeval time = pass_time();
    auto judge = make_judge(_snapshot, time);
    const auto reads = [&judge](const std::string& _mac) -> const std::vector<vyr::parameter::parameter_t>& {
        return judge.reads(_mac);
    };
    for_win_chunks(_macs, reads, judge, [&](const win_record& _record) { deliver_to_win(judge, _record, time); });
    vyr::metrics::add(vyr::metrics::counter::devices_judged, static_cast<double>(_macs.size()));
    if (_all)
        forget_standings_outside(_macs);
    publish_standings(*_snapshot);
}

void c_mech_param_req::forget_standings_outside(const std::vector<std::string>& _wins) {
    const std::unordered_set<std::string> wins(_wins.begin(), _wins.end());
    std::vector<std::string> gone;
    for (const auto& entry : m_standing)
        if (wins.count(entry.first) == 0)
            gone.push_back(entry.first);
    for (const auto& mac : gone)
        forget_standing(mac);
}

void c_mech_param_req::deliver_to_win(vyr::judge::judge& _judge, const win_record& _record, const timeval& _time) {
    if (!_record.exists()) {
        forget_standing(_record.mac_addr());
        return;
    }
    std::optional<win_update> update;
    try {
        update.emplace(_record);
        const bool paced = vyr::judge::may_push(_record, _time);
        const bool heard = !paced || answers_recorded(_record, _time);
        auto verdict = _judge.deliver(_record, paced && heard);
        update->musts = std::move(verdict.musts);
        update->push_records = std::move(verdict.push_records);
        for (const auto& frame : verdict.frames)
            if (m_sender->hw_param_to_node(_record.mac_addr(), frame))
                update->sent = _time;
        const bool pushed = update->sent.has_value();
        const auto status = status_of(verdict.standing, *update, _record);
        judged(_record.mac_addr(), status, pushed, pushed ? _time : _record.sending_time(),
               _record.sending_counter() + (pushed ? 1 : 0), _time);
        if (!heard && status != vyr::metrics::device_status::in_step)
            wait_for_answers(_record, _time);
    } catch (const zmq::error_t&) {
        // What went out before the failure is still paced; the pass ends here.
        if (update)
            m_writes.add(*update);
        send_writes();
        throw;
    } catch (const std::exception&) {
        // One broken record must not keep every WIN after it from its parameters.
        m_logger.log_exception(VYR_HERE);
    }
    if (update)
        m_writes.add(*update);
}

namespace {

// When a device last pushed at `_last` may be pushed again, judged at `_time`: the end of
// its pacing, or a pacing from `_time` when that lies behind (the clock was set back, or
// the judge held a value back).
vyr::delivery::schedule::time_us pacing_end(const timeval& _last, const timeval& _time) {
    const auto period_us = c_mech_param_req::s_sending_period_sec * 1000000LL;
    const auto time = vyr::delivery::to_us(_time);
    const auto end = std::min(vyr::delivery::to_us(_last), time) + period_us;
    return end > time ? end : time + period_us;
}

}  // namespace

void c_mech_param_req::judged(const std::string& _mac, vyr::metrics::device_status _status, bool _pushed,
                              const timeval& _last, std::uint32_t _counter, const timeval& _time) {
    using vyr::metrics::device_status;
    const auto [at, inserted] = m_standing.emplace(_mac, _status);
    if (!inserted)
        --m_standing_counts[static_cast<int>(at->second)];
    else
        m_standing_moves.emplace_back(_mac, 1);
    at->second = _status;
    ++m_standing_counts[static_cast<int>(_status)];
    if (_pushed)
        m_step_sent.insert(_mac);
    // One that gave up waits for its device to answer (which marks it).
    if ((_status == device_status::differing || _status == device_status::rejects || _pushed) &&
        _counter <= s_max_sending_counter)
        m_schedule.due_at(_mac, pacing_end(_last, _time));
}

void c_mech_param_req::pushed(const std::string& _mac, const timeval& _time) {
    m_step_sent.insert(_mac);
    m_schedule.due_at(_mac, pacing_end(_time, _time));
}

void c_mech_param_req::wait_for_pacing(const win_record& _record, const timeval& _time) {
    if (_record.sending_counter() <= s_max_sending_counter)
        m_schedule.due_at(_record.mac_addr(), pacing_end(_record.sending_time(), _time));
}

void c_mech_param_req::wait_for_answers(const win_record& _record, const timeval& _time) {
    vyr::metrics::add(vyr::metrics::counter::pushes_held_for_answers);
    const auto due = last_sent_us(_record) + s_answer_window_us;
    const auto time = vyr::delivery::to_us(_time);
    if (due > time) {
        m_schedule.due_at(_record.mac_addr(), due);
        return;
    }
    m_recording.due_at(_record.mac_addr(), due);
    m_schedule.due_at(_record.mac_addr(), time + s_answer_recheck_us);
}

void c_mech_param_req::release_recorded() {
    if (!m_receiver_progress || m_recording.waiting() == 0)
        return;
    for (const auto& mac : m_recording.take(m_receiver_progress->recorded_before(), 0).macs)
        m_schedule.mark(mac);
}

void c_mech_param_req::forget_standing(const std::string& _mac) {
    const auto known = m_standing.find(_mac);
    if (known == m_standing.end())
        return;
    --m_standing_counts[static_cast<int>(known->second)];
    m_standing.erase(known);
    m_standing_moves.emplace_back(_mac, -1);
}

void c_mech_param_req::publish_standings(const project_snapshot& _snapshot) {
    // The project's devices that have no WIN record: counted again when the project
    // changed, else moved by the WINs that came or went.
    const auto in_project = [&](const std::string& _mac) {
        return _snapshot.anchor_by_mac.count(_mac) + _snapshot.track_obj_by_mac.count(_mac);
    };
    if (m_unseen_counted_at != _snapshot.version) {
        m_unseen = 0;
        for (const auto* index : {&_snapshot.anchor_by_mac, &_snapshot.track_obj_by_mac})
            for (const auto& entry : *index)
                m_unseen += m_standing.count(entry.first) == 0 ? 1 : 0;
        m_unseen_counted_at = _snapshot.version;
    } else {
        for (const auto& [mac, move] : m_standing_moves)
            if (const auto count = in_project(mac))
                m_unseen = move > 0 ? m_unseen - count : m_unseen + count;
    }
    m_standing_moves.clear();
    std::uint64_t counts[vyr::metrics::device_status_count];
    std::copy(std::begin(m_standing_counts), std::end(m_standing_counts), std::begin(counts));
    counts[static_cast<int>(vyr::metrics::device_status::unseen)] = m_unseen;
    vyr::metrics::set_devices(counts);
}

void c_mech_param_req::log_notices(const std::vector<vyr::judge::notice>& _notices) {
    for (const auto& notice : _notices) {
        if (notice.text.empty()) {
            forget(notice.subject);
            continue;
        }
        if (!first_notice(notice.subject, notice.value))
            continue;
        if (notice.debug)
            m_logger.debug("%1%") % notice.text;
        else
            m_logger.warning("%1%") % notice.text;
    }
}
