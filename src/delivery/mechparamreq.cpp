#include "delivery/mechparamreq.h"

#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

#include "common/globals.h"
#include "common/helpers.h"
#include "common/metrics.h"
#include "context/context.h"
#include "context/mirror_changes.h"
#include "core/exception.h"
#include "core/json.h"
#include "delivery/sender.h"
#include "judge/descriptions.h"
#include "judge/held_values.h"
#include "runtime/mailboxes.h"

using vyr::context::win;
using namespace vyr::parameter;
using namespace vyr::judge;
using vyr::delivery::to_us;

c_mech_param_req::c_mech_param_req(std::shared_ptr<zmq::context_t> _zmq_context,
                                   std::shared_ptr<vyr::vyrserver::c_vyrserver> _server,
                                   std::shared_ptr<c_sender> _sender, const std::string& _redis_address,
                                   int _redis_port, bool _push_schedule_to_destination,
                                   vyr::libs::core::component_logger& _logger)
    : c_mechanism("parameter-request mechanism", vyr::mail::mech_param_req::endpoint, std::move(_zmq_context),
                  std::move(_server), std::move(_sender), _redis_address, _redis_port, _logger),
      m_push_schedule_to_destination(_push_schedule_to_destination),
      m_processing_timer(5, 0, 5, 0) {}

c_mech_param_req::~c_mech_param_req() { thread_stop(); }

void c_mech_param_req::set_period(std::chrono::milliseconds _period) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(_period);
    m_processing_timer.set_period(seconds.count(), std::chrono::nanoseconds(_period - seconds).count());
    m_held_request_lifetime = _period;
}

bool c_mech_param_req::thread_init() {
    if (!c_mechanism::thread_init())
        return false;
    try {
        m_processing_timer.start();
        m_timer_due = m_clock();
        return true;
    } catch (const std::exception&) {
        m_logger.log_exception(VYR_HERE);
        return false;
    }
}

bool c_mech_param_req::thread_pass() {
    zmq::pollitem_t items[] = {
        {m_pipe_out->handle(), 0, ZMQ_POLLIN, 0},
        {nullptr, m_processing_timer.get_descriptor(), ZMQ_POLLIN, 0},
    };
    auto timeout = std::chrono::milliseconds(vyr::worker_thread::s_idle_wait);
    if (m_cycle_requested)
        timeout = std::chrono::milliseconds(0);
    if (m_retry_due)
        timeout = std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(*m_retry_due -
                                                                                   std::chrono::steady_clock::now()),
                             std::chrono::milliseconds(0), timeout);
    if (m_schedule.marked())
        timeout = std::min(timeout, until_marks_may_step());
    if (const auto due = until_next_due())
        timeout = std::min(timeout, *due);
    if (!m_held_requests.empty())
        timeout = std::min(timeout, std::chrono::milliseconds(s_held_request_poll));
    if (m_recording.waiting() != 0)
        timeout = std::min(timeout, s_recorded_poll);
    zmq::poll(items, 2, timeout);
    release_recorded();
    answer_held_requests();
    if (!service_pipe(false))
        return false;
    std::optional<timeval> timer_due;
    if (items[1].revents & ZMQ_POLLIN) {
        std::uint64_t expirations = 0;
        // A read that would block (the expiry was taken already) is no cycle.
        if (::read(m_processing_timer.get_descriptor(), &expirations, sizeof expirations) ==
            static_cast<ssize_t>(sizeof expirations)) {
            timer_due = next_timer_due(expirations);
            // More than one expiry: the pass before ran past the period, and the cycles
            // of all but the last expiry are not run.
            if (expirations > 1)
                vyr::metrics::add(vyr::metrics::counter::cycles_skipped, static_cast<double>(expirations - 1));
        }
    }
    if (timer_due) {
        // The sweep's slice, with whatever is marked or due.
        m_cycle_requested = false;
        processing_cycle(*timer_due, false, true);
    } else if (m_cycle_requested) {
        // The mirror changed: one step now for however many notices came.
        m_cycle_requested = false;
        processing_cycle(m_clock());
    } else if (m_schedule.marked() && until_marks_may_step().count() == 0) {
        processing_cycle(m_clock());
    } else if (const auto due = m_schedule.latest_due_by(to_us(m_clock()))) {
        // The devices due, going by the time the last of them was due.
        processing_cycle(timeval{static_cast<time_t>(*due / 1000000), static_cast<suseconds_t>(*due % 1000000)});
    }
    // The alarms were read again since their pass last ran: it runs by itself, a second
    // after the last one at the soonest (a stream of em_alm reports keeps them being read).
    if (m_alarms_requested) {
        m_alarms_requested = false;
        const auto due = m_alarms_passed + s_retry_delay;
        if (!m_retry_due || (m_retry_alarms_only && *m_retry_due > due)) {
            m_retry_due = due;
            m_retry_alarms_only = true;
        }
    }
    if (m_retry_due && std::chrono::steady_clock::now() >= *m_retry_due)
        processing_cycle(m_clock(), m_retry_alarms_only);
    return true;
}

void c_mech_param_req::process_zmq_message(const zmq::message_t& _message) {
    using namespace vyr::mail;
    std::visit(overloaded{[this](const context_updated&) { processing_cycle(m_clock()); },
                          [this](const alarms_refreshed&) { m_alarms_requested = true; },
                          [this](const devices_changed& _changed) { mark(_changed.macs, _changed.alive_only); },
                          [this](const param_request& _request) { answer_request(_request); },
                          [](const malformed& _bad) { refuse_request(_bad); }, [](const stop&) {}},
               mech_param_req::read(_message));
}

void c_mech_param_req::refuse_request(const vyr::mail::malformed& _bad) {
    if (_bad.claims<vyr::mail::param_request>())
        VYR_THROW("zmq_message.size() < sizeof(cmd_param_req_from_node_t)");
}

bool c_mech_param_req::service_pipe(bool _in_cycle) {
    using namespace vyr::mail;
    zmq::message_t frame;
    // Outside a cycle the first "context updated" ends the reading: its cycle runs before
    // what came after it, as the commands were sent.
    while (!(m_cycle_requested && !_in_cycle) && m_pipe_out->recv(frame, zmq::recv_flags::dontwait)) {
        const auto message = mech_param_req::read(frame);
        if (std::holds_alternative<stop>(message))
            return false;
        if (std::holds_alternative<context_updated>(message))
            m_cycle_requested = true;
        else if (std::holds_alternative<alarms_refreshed>(message))
            m_alarms_requested = true;
        else if (const auto* changed = std::get_if<devices_changed>(&message))
            mark(changed->macs, changed->alive_only);
        else if (std::holds_alternative<malformed>(message) && !std::get<malformed>(message).claims<param_request>())
            continue;
        else {
            try {
                // Held for now: the requests taken together are answered together.
                if (const auto* request = std::get_if<param_request>(&message))
                    hold_request(*request);
                else
                    refuse_request(std::get<malformed>(message));
            } catch (const std::exception&) {
                // One bad request must not cost the others their answer.
                m_logger.log_exception(VYR_HERE);
            }
            if (m_held_since_look >= s_held_batch)
                answer_held_requests();
        }
    }
    answer_held_requests();
    return true;
}

void c_mech_param_req::service_pipe_in_cycle(std::size_t _done) {
    if (_done == 0 || _done % s_pipe_chunk != 0)
        return;
    service_pipe_in_cycle();
}

void c_mech_param_req::service_pipe_in_cycle() {
    if (m_pipe_out && !service_pipe(true))
        throw vyr::worker_thread::end_of_thread{};
}

void c_mech_param_req::mark(const std::vector<std::string>& _macs, bool _alive_only) {
    for (const auto& mac : _macs) {
        m_sweep_suspects.erase(mac);
        if (_alive_only) {
            // A heartbeat lets a device be pushed again; one in step needs nothing.
            const auto known = m_standing.find(mac);
            if (known != m_standing.end() && known->second == vyr::metrics::device_status::in_step)
                continue;
        }
        m_schedule.mark(mac);
    }
}

void c_mech_param_req::answer_request(const vyr::mail::param_request& _request) {
    hold_request(_request);
    answer_held_requests();
}

void c_mech_param_req::hold_request(const vyr::mail::param_request& _request) {
    const auto arrival = std::chrono::steady_clock::now();
    held_request request{_request.mac, _request.numbers, arrival, arrival};

    // Every request goes through the queue, so that one answered at once never overtakes
    // one held before it. A device asking again while its request waits still wants what
    // it asked first: one answer carries both.
    if (const auto found = m_held_by_mac.find(request.mac_address); found != m_held_by_mac.end()) {
        auto& held = *found->second;
        for (const auto number : request.numbers)
            if (std::find(held.numbers.begin(), held.numbers.end(), number) == held.numbers.end())
                held.numbers.push_back(number);
        held.latest = arrival;
        return;
    }
    if (m_held_requests.size() >= s_max_held_requests) {
        const auto& oldest = m_held_requests.front();
        m_logger.debug("parameter request of %1% dropped: %2% requests held") %
            vyr::libs::core::device_mac{oldest.mac_address} % m_held_requests.size();
        m_held_by_mac.erase(oldest.mac_address);
        m_held_requests.pop_front();
    }
    auto& held = m_held_requests.emplace_back(std::move(request));
    m_held_by_mac.emplace(held.mac_address, &held);
    ++m_held_since_look;
}

void c_mech_param_req::answer_newcomers() {
    if (!m_pipe_out || m_newcomer_level >= s_newcomer_levels)
        return;
    struct level {
        int& depth;
        explicit level(int& _depth) : depth(_depth) { ++depth; }
        ~level() { --depth; }
    } answering(m_newcomer_level);
    if (!service_pipe(m_cycle_time.has_value()))
        throw vyr::worker_thread::end_of_thread{};
}

void c_mech_param_req::drop_stale_requests() {
    const auto now = std::chrono::steady_clock::now();
    const auto stale = [&](const held_request& _request) {
        if (now - _request.latest <= m_held_request_lifetime)
            return false;
        m_logger.debug("held parameter request of %1% dropped: the project mirror stayed incomplete") %
            vyr::libs::core::device_mac{_request.mac_address};
        return true;
    };
    const auto fresh_end = std::remove_if(m_held_requests.begin(), m_held_requests.end(), stale);
    if (fresh_end == m_held_requests.end())
        return;
    m_held_requests.erase(fresh_end, m_held_requests.end());
    m_held_by_mac.clear();
    for (auto& request : m_held_requests)
        m_held_by_mac.emplace(request.mac_address, &request);
}

void c_mech_param_req::answer_held_requests() {
    m_held_since_look = 0;
    drop_stale_requests();
    if (m_held_requests.empty())
        return;
    const auto keep_held = [this] {
        for (auto& request : m_held_requests)
            if (!request.noted) {
                m_logger.debug("parameter request of %1% held until the project mirror is complete") %
                    vyr::libs::core::device_mac{request.mac_address};
                request.noted = true;
            }
    };
    // The project as the last snapshot shows it, read again only when the mirror changed
    // since (one round trip tells).
    std::shared_ptr<const vyr::context::project_snapshot> snapshot;
    try {
        snapshot = current_snapshot();
        if (!snapshot->updated)
            return keep_held();
    } catch (const std::exception& _error) {
        // Redis cannot be read: the requests stay held (the cycle reports the failure).
        m_logger.debug("parameter requests held: %1%") % _error.what();
        return keep_held();
    }
    // Out of the queue first: a request whose answer fails is not tried again.
    m_held_by_mac.clear();
    std::vector<held_request> requests(std::make_move_iterator(m_held_requests.begin()),
                                       std::make_move_iterator(m_held_requests.end()));
    m_held_requests.clear();
    auto judge = make_judge(snapshot, pass_time());
    // Answers that met a lost Redis connection, reported once for all of them.
    std::size_t lost = 0;
    std::string loss;
    const auto answer_all = [&](std::size_t _first, std::size_t _last) {
        std::vector<std::string> macs;
        for (auto i = _first; i < _last; ++i)
            macs.push_back(requests[i].mac_address);
        // The asking WINs' records in one round trip, of them only what answers read.
        const auto records = vyr::context::read_win_records(
            m_context->redis_context(), macs,
            [](const std::string&) -> const std::vector<vyr::parameter::parameter_t>& {
                return vyr::judge::read_by_answers();
            });
        for (auto i = _first; i < _last; ++i) {
            try {
                answer(judge, records[i - _first], requests[i].numbers, requests[i].arrival);
            } catch (const std::exception&) {
                // One bad request must not cost the others their answer.
                m_logger.log_exception(VYR_HERE);
            }
        }
    };
    // s_win_chunk records at a time: thousands of requests held at start-up are not read
    // whole into memory at once, and the first answers go out before the last are read.
    for (std::size_t first = 0; first < requests.size(); first += s_win_chunk) {
        const auto last = std::min(requests.size(), first + s_win_chunk);
        if (first != 0)
            answer_newcomers();
        try {
            answer_all(first, last);
        } catch (const vyr::redis::connection_error&) {
            // Read one by one, so that the connection lost on one record costs that answer only.
            for (std::size_t i = first; i < last; ++i) {
                try {
                    answer_all(i, i + 1);
                } catch (const vyr::redis::connection_error& _error) {
                    if (lost++ == 0)
                        loss = _error.what();
                }
            }
        }
        // Logged per chunk: each answer notes how its device stands, thousands at start-up.
        log_notices(judge.take_notices());
    }
    if (lost != 0)
        m_logger.error("%1% parameter request(s) not answered, the Redis connection was lost: %2%") % lost % loss;
}

std::shared_ptr<const vyr::context::project_snapshot> c_mech_param_req::current_snapshot() {
    if (m_snapshot && follow_journal())
        return m_snapshot;
    // What changed is not known: every device is judged against the project read anew.
    read_snapshot();
    m_schedule.mark_all();
    return m_snapshot;
}

bool c_mech_param_req::follow_journal() {
    auto& redis = m_context->redis_context();
    const auto changes = vyr::context::read_mirror_changes(redis, m_snapshot->version);
    if (changes.version == m_snapshot->version)
        return true;
    if (!changes.complete)
        return false;
    // Only the records that changed are read; the devices they concern, before and after
    // the change, are judged at the next step. (A patch that throws has taken the
    // snapshot with it: the next call reads the whole project.)
    const auto before = vyr::context::devices_concerned(*m_snapshot, *m_snapshot, changes.names);
    m_snapshot = vyr::context::patch_snapshot(redis, std::move(m_snapshot), changes);
    const auto after = vyr::context::devices_concerned(*m_snapshot, *m_snapshot, changes.names);
    if (!before || !after) {
        m_schedule.mark_all();
    } else {
        mark(*before);
        mark(*after);
    }
    note_unreadable();
    return true;
}

void c_mech_param_req::read_snapshot() {
    // The old one goes first: two whole projects are not held at once.
    const auto held = m_snapshot ? m_snapshot->version : 0;
    m_snapshot.reset();
    const auto start = std::chrono::steady_clock::now();
    m_snapshot = vyr::context::read_project_snapshot(m_context->redis_context());
    m_logger.debug("project read whole (version %1% to %2%) in %3% ms: %4% objects, %5% anchors") % held %
        m_snapshot->version %
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count() %
        m_snapshot->track_objs.size() % m_snapshot->anchors.size();
    note_unreadable();
}

void c_mech_param_req::note_unreadable() {
    // Each record that cannot be read is warned about once, until it can be again.
    std::set<std::string> unreadable(m_snapshot->unreadable.begin(), m_snapshot->unreadable.end());
    for (const auto& uid : unreadable)
        if (m_unreadable.count(uid) == 0)
            m_logger.warning("project record %1% cannot be read (a mandatory field is missing or holds no number): "
                             "its device is not judged until it can be") %
                uid;
    m_unreadable = std::move(unreadable);
}

void c_mech_param_req::answer(vyr::judge::judge& _judge, const vyr::context::win_record& _win,
                              const std::vector<std::uint32_t>& _numbers, std::chrono::steady_clock::time_point _taken) {
    // A parameter whose payload cannot be built is left out of the answer.
    std::string payloads;
    for (const std::uint32_t number : _numbers)
        if (auto payload = _judge.answer(_win, number))
            payloads += *payload;
    m_sender->paramreq_to_node(_win.mac_addr(), payloads);
    // A device that asks may hold anything: it is judged at the next step, or, when it
    // was sent payloads, once its answer to them could have been recorded (it would not
    // be pushed before).
    if (m_receiver_progress && !payloads.empty()) {
        const auto key = std::hash<std::string>()(_win.mac_addr());
        const auto at = to_us(m_clock());
        m_answered_at[key] = at;
        m_answers_in_flight.emplace_back(at, key);
        m_schedule.due_at(_win.mac_addr(), at + s_answer_window_us);
    } else {
        m_schedule.mark(_win.mac_addr());
    }
    vyr::metrics::add(vyr::metrics::counter::requests_answered);
    vyr::metrics::observe(vyr::metrics::histogram::request_latency, vyr::metrics::seconds_since(_taken));
}

void c_mech_param_req::processing_timer() {
    m_schedule.mark_all();
    run_cycle(false, false);
}

void c_mech_param_req::retry_soon(bool _alarms_only) {
    m_retry_due = std::chrono::steady_clock::now() + s_retry_delay;
    m_retry_alarms_only = _alarms_only;
}

void c_mech_param_req::run_cycle(bool _alarms_only, bool _periodic) {
    m_retry_due.reset();
    // What a pass on a lost connection could not write goes first: the WIN records every
    // pass of this cycle reads must show it, or their devices would be pushed again
    // within their pacing.
    if (!m_writes.empty())
        send_writes();
    // The project as the step starts: the last snapshot while the mirror has not changed
    // since (one round trip tells), else read anew, which marks the devices concerned;
    // what the platform changes meanwhile gives another step.
    const auto snapshot = current_snapshot();
    if (!snapshot->updated) {
        retry_soon(false);
        return;
    }
    const bool alarms_wait = snapshot->alarms_refresh == vyr::context::alarm_refresh::pending;
    // Alarms alone, and they wait for a refresh: nothing to read now.
    if (_alarms_only && alarms_wait) {
        retry_soon(true);
        return;
    }
    if (_alarms_only) {
        // What earlier steps left waiting for the refresh; the refresh's own changes
        // marked their tags.
        static const std::unordered_set<std::string> s_none;
        run_alarm_pass(*snapshot, alarms_wait, &s_none);
        return;
    }
    const auto sweep = _periodic ? sweep_slice() : 0;
    auto step = m_schedule.take(to_us(pass_time()), sweep);
    count_sweep_findings();
    if (m_receiver_progress)
        forget_recorded_answers();
    if (step.empty())
        return;
    // Tags whose alarms an earlier step left to the refresh are owed, not found.
    if (m_alarms_owed_all)
        step.swept.clear();
    for (auto swept = step.swept.begin(); swept != step.swept.end();)
        swept = m_alarms_owed.count(*swept) != 0 ? step.swept.erase(swept) : std::next(swept);
    const std::unordered_set<std::string> only(step.macs.begin(), step.macs.end());
    const auto* selection = step.all ? nullptr : &only;
    m_step_sent.clear();
    // Each pass writes what it decided before the next one reads the same WIN records.
    run_alarm_pass(*snapshot, alarms_wait, selection);
    // The sync pass sends what it decided before the parameter pass reads a record, so
    // that the parameter pass sees the sending times of its pushes.
    lsb(snapshot, selection);
    std::vector<std::string> wins;
    const auto& macs = step.all ? (wins = read_wins()) : step.macs;
    deliver_parameters(snapshot, macs, step.all);
    if (m_step_observer)
        m_step_observer(macs);
    // What the sweep alone brought and found to push: a change that no mark told of, unless
    // the mark of a write the sweep already read was still on its way (counted at the next
    // step, when it has come).
    for (const auto& mac : step.swept)
        if (m_step_sent.count(mac) != 0)
            m_sweep_suspects.insert(mac);
}

void c_mech_param_req::count_sweep_findings() {
    if (m_sweep_suspects.empty())
        return;
    const auto found = std::exchange(m_sweep_suspects, {}).size();
    vyr::metrics::add(vyr::metrics::counter::sweep_corrections, static_cast<double>(found));
    m_logger.debug("the full sweep found %1% device(s) to push that nothing had marked") % found;
}

std::size_t c_mech_param_req::sweep_slice() {
    if (m_schedule.sweep_done()) {
        // A WIN removed from the set (silent, outside the project) is judged no more:
        // it is no longer counted either.
        auto wins = read_wins();
        forget_standings_outside(wins);
        m_schedule.sweep_over(std::move(wins));
    }
    // Each expiry stands for one sending period: the sweep's round takes m_full_sweep.
    const auto steps = std::max<long long>(1, m_full_sweep.count() / s_sending_period_sec);
    return (m_schedule.sweep_size() + static_cast<std::size_t>(steps) - 1) / static_cast<std::size_t>(steps);
}

std::vector<std::string> c_mech_param_req::read_wins() {
    return m_context->redis_context().get_member_texts(vyr::context::win::keys::set());
}

std::chrono::milliseconds c_mech_param_req::until_marks_may_step() const {
    const auto since = std::chrono::steady_clock::now() - m_step_ended;
    if (since >= s_step_spacing)
        return std::chrono::milliseconds(0);
    return std::chrono::ceil<std::chrono::milliseconds>(s_step_spacing - since);
}

std::optional<std::chrono::milliseconds> c_mech_param_req::until_next_due() const {
    const auto due = m_schedule.next_due();
    if (!due)
        return std::nullopt;
    const auto left_us = *due - to_us(m_clock());
    return std::chrono::milliseconds(left_us <= 0 ? 0 : (left_us + 999) / 1000);
}

void c_mech_param_req::run_alarm_pass(const vyr::context::project_snapshot& _snapshot, bool _alarms_wait,
                                      const std::unordered_set<std::string>* _only) {
    // The alarms being read again, what is stored may be out of date: the step's tags
    // wait (a refresh that failed lets them go out as stored), the rest goes on.
    if (_alarms_wait) {
        if (_only)
            m_alarms_owed.insert(_only->begin(), _only->end());
        else
            m_alarms_owed_all = true;
        retry_soon(true);
        return;
    }
    m_alarms_requested = false;
    // The step's tags and those an earlier step left waiting.
    std::unordered_set<std::string> selection;
    const bool all = !_only || m_alarms_owed_all;
    if (!all) {
        selection = std::move(m_alarms_owed);
        selection.insert(_only->begin(), _only->end());
    }
    m_alarms_owed.clear();
    m_alarms_owed_all = false;
    if (all || !selection.empty())
        deliver_alarms(_snapshot, all ? nullptr : &selection);
    m_alarms_passed = std::chrono::steady_clock::now();
}

timeval c_mech_param_req::next_timer_due(std::uint64_t _expirations) {
    m_timer_due.tv_sec += static_cast<time_t>(_expirations * s_sending_period_sec);
    const timeval wall = m_clock();
    const auto off_us = (static_cast<long long>(wall.tv_sec) - m_timer_due.tv_sec) * 1000000LL +
                        (static_cast<long long>(wall.tv_usec) - m_timer_due.tv_usec);
    if (off_us > 1000000LL || off_us < -1000000LL)
        m_timer_due = wall;
    return m_timer_due;
}

void c_mech_param_req::processing_cycle(const timeval& _due, bool _alarms_only, bool _periodic) {
    struct cycle_scope {
        std::optional<timeval>& time;
        ~cycle_scope() { time.reset(); }
    } scope{m_cycle_time};
    m_cycle_time = _due;
    const auto started = std::chrono::steady_clock::now();
    run_cycle(_alarms_only, _periodic);
    m_step_ended = std::chrono::steady_clock::now();
    vyr::metrics::add(vyr::metrics::counter::cycles);
    vyr::metrics::observe(vyr::metrics::histogram::cycle_duration, vyr::metrics::seconds_since(started));
}

timeval c_mech_param_req::pass_time() const { return m_cycle_time ? *m_cycle_time : m_clock(); }

vyr::judge::judge c_mech_param_req::make_judge(const std::shared_ptr<const vyr::context::project_snapshot>& _snapshot,
                                               const timeval& _time) {
    vyr::judge::judge::keep_plans(m_judge_plans, _snapshot, m_push_schedule_to_destination);
    return vyr::judge::judge(_snapshot, m_push_schedule_to_destination, _time, m_logger, m_judge_plans);
}

// ---- pacing --------------------------------------------------------------------------------

timeval c_mech_param_req::now() {
    timeval time{};
    ::gettimeofday(&time, nullptr);
    return time;
}

bool c_mech_param_req::sending_period_passed(const timeval& _now, const timeval& _last, long _period_sec) {
    return vyr::judge::sending_period_passed(_now, _last, _period_sec);
}

std::int64_t c_mech_param_req::last_sent_us(const vyr::context::win_record& _record) const {
    const std::int64_t pushed = to_us(_record.sending_time());
    const auto answered = m_answered_at.find(std::hash<std::string>()(_record.mac_addr()));
    return answered == m_answered_at.end() ? pushed : std::max(pushed, answered->second);
}

bool c_mech_param_req::answers_recorded(const vyr::context::win_record& _record, const timeval& _time) const {
    if (!m_receiver_progress)
        return true;
    const auto last = last_sent_us(_record);
    const auto time = to_us(_time);
    // Never sent anything, or sent it "after" now (the clock was set back): nothing to
    // wait for. A step goes by an earlier time than the clock's (when its devices were
    // due), and a request answered during the step is no such thing.
    if (last == 0 || last > std::max(time, to_us(m_clock())))
        return true;
    const auto due = last + s_answer_window_us;
    return due <= time && m_receiver_progress->recorded_through(due);
}

void c_mech_param_req::forget_recorded_answers() {
    const auto time = to_us(m_clock());
    while (!m_answers_in_flight.empty()) {
        const auto [at, key] = m_answers_in_flight.front();
        if (at + s_answer_window_us > time || !m_receiver_progress->recorded_through(at + s_answer_window_us))
            break;
        if (const auto known = m_answered_at.find(key); known != m_answered_at.end() && known->second == at)
            m_answered_at.erase(known);
        m_answers_in_flight.pop_front();
    }
}

bool c_mech_param_req::first_notice(const std::string& _key, const std::string& _value) {
    const auto [at, inserted] = m_notices.emplace(_key, _value);
    if (inserted)
        return true;
    if (at->second == _value)
        return false;
    at->second = _value;
    return true;
}

void c_mech_param_req::forget(const std::string& _key) { m_notices.erase(_key); }

