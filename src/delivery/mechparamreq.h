// The parameter-request mechanism: the worker that answers a device's parameter request
// (at once, or once the project mirror is complete) and pushes to each WIN what differs
// from the project (alarms, screen texts, TDOA configuration and the tag parameters). It
// judges a device when something about it changed (the receiver marks the devices it
// wrote, a change of the mirror marks the devices whose records changed, a request marks
// its device), when a time it waits for comes (its pacing ends), and once per full sweep
// (a slice of every WIN each 5-second step, delivery/schedule.h). It owns a 5-second
// timer beside the base's pipe; everything here runs on the mechanism's own thread with
// the base's Redis context, and the only object it shares is the sender. The passes over the WIN records live in mechparamreq_pass.cpp (the
// parameters), mechparamreq_tdoa.cpp (sync slots and superframes) and
// mechparamreq_alarms.cpp (alarms); what the TDOA anchors must hold is the judge's.
#pragma once

#include <sys/time.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <set>
#include <utility>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/metrics.h"
#include "context/context.h"
#include "context/project_snapshot.h"
#include "context/write_batch.h"
#include "delivery/mechanism.h"
#include "delivery/schedule.h"
#include "judge/alarms.h"
#include "judge/judge.h"
#include "parameters/parameters.h"
#include "redis/connection.h"
#include "runtime/mailboxes.h"
#include "runtime/receiver_progress.h"
#include "runtime/timer.h"

namespace vyr::context {
class win;
}

class c_mech_param_req : public c_mechanism {
public:
    // A WIN receives at most one push per this many whole seconds...
    static constexpr long s_sending_period_sec = vyr::judge::s_sending_period_sec;
    // ...and no push once its sending counter is above this, until the device answers.
    static constexpr std::uint32_t s_max_sending_counter = vyr::judge::s_max_sending_counter;
    // A cycle that could not do all its work is tried again this much later.
    static constexpr std::chrono::seconds s_retry_delay{1};
    // A parameter pushed this many times in a row with one value, the device answering
    // each push still holding the same other value, is marked rejected on the WIN...
    static constexpr std::uint32_t s_refusals_to_reject = vyr::judge::s_refusals_to_reject;
    // ...and from then on pushed at most once per this many seconds, until the value to
    // push or the device's value changes (or the device announces itself anew).
    static constexpr long s_rejected_period_sec = vyr::judge::s_rejected_period_sec;

    using clock_function = std::function<timeval()>;

    c_mech_param_req(std::shared_ptr<zmq::context_t> _zmq_context, std::shared_ptr<vyr::vyrserver::c_vyrserver> _server,
                     std::shared_ptr<c_sender> _sender, const std::string& _redis_address, int _redis_port,
                     bool _push_schedule_to_destination, vyr::libs::core::component_logger& _logger);
    ~c_mech_param_req() override;

    // Waits for a command on the pipe, the timer's expiry or the next device's due time,
    // then takes everything the pipe holds: requests are answered at once, marks and any
    // number of "context updated" commands give one step (marks at most every
    // s_step_spacing), and any number of "alarms refreshed" one alarm pass, a second after
    // the last one at the soonest. Each timer expiry gives a step with a slice of the sweep.
    bool thread_pass() override;
    // The base initialisation, then the timer starts; false when the base fails.
    bool thread_init() override;

    // For tests, before start() (both are read on the mechanism's thread without a lock).
    // Replaces the wall clock that the timer's due times and the pacing go by.
    void set_clock(clock_function _clock) { m_clock = std::move(_clock); }
    // The timer expires every `_period` of real time, and a held request lives that long;
    // each expiry still counts as s_sending_period_sec on the clock above, so a test that
    // moves that clock on by a period per expiry sees the pacing as it is.
    void set_period(std::chrono::milliseconds _period);
    // For tests, before start(): hears, after each step, the MACs it judged.
    using step_observer = std::function<void(const std::vector<std::string>& _judged)>;
    void set_step_observer(step_observer _observer) { m_step_observer = std::move(_observer); }
    // Every WIN is judged at least once per this time (the full sweep), a slice at each
    // expiry of the timer; before start().
    void set_full_sweep(std::chrono::seconds _period) { m_full_sweep = _period; }
    // Steps for marks alone lie at least this far apart, so that a stream of reports is
    // judged in batches.
    static constexpr std::chrono::milliseconds s_step_spacing{50};

    // One frame of the mailbox (vyr::mail::mech_param_req): a parameter request, "context
    // updated" (a cycle at once) or "alarms refreshed" (the alarm pass soon); anything
    // else is ignored, but a request that is malformed (shorter than its header) throws.
    void process_zmq_message(const zmq::message_t& _message);
    // A cycle takes the pipe's commands after every this many WINs (or tags), so that
    // requests are answered and a stop is honoured while it runs.
    static constexpr std::size_t s_pipe_chunk = 50;
    // A cycle reads the project once, at its start, into a snapshot that lives for that
    // cycle; the WIN records are read this many at a time, and what the cycle writes to
    // them goes back in one round trip per chunk. A record read whole is some kilobytes and
    // a chunk's records and writes are held at once: beyond some tens of records a chunk
    // saves no round trip worth its memory.
    static constexpr std::size_t s_win_chunk = 64;

    // A request that comes while the project mirror is incomplete (at start, after a
    // Redis refill) is held instead of being answered from a half-filled mirror: at most
    // one per MAC (a newer one adds its parameters to it), at most this many in all (the
    // oldest goes), more than the largest site has devices: at start every device asks,
    // and one answered is one frame, where a device pushed instead gets one per parameter
    // and answers each...
    static constexpr std::size_t s_max_held_requests = 65536;
    // ...and with this many newly held the mirror is looked at again (one round trip), so
    // that a flood of requests is answered in batches of at most this many.
    static constexpr std::size_t s_held_batch = 1024;
    // ...and none whose device last asked longer ago than this: it asks again by then.
    static constexpr std::chrono::seconds s_held_request_lifetime{s_sending_period_sec};
    // While requests are held the pipe is polled at most this long, then the mirror is
    // looked at again.
    static constexpr std::chrono::milliseconds s_held_request_poll{200};
    // One step over every device: alarms, sync slots and superframes, then parameters.
    // Nothing while the project mirror is incomplete, and no alarms while an alarm refresh
    // is pending; either way it is tried again a second later.
    void processing_timer();

    // The devices of a step (every WIN when `_all`, else `_macs`), pushing what differs
    // from the project as `_snapshot` shows it: the records are read, judged and written
    // back a chunk at a time; each device's standing is kept for the metrics and one not
    // in step waits for its pacing to end.
    void deliver_parameters(const std::shared_ptr<const vyr::context::project_snapshot>& _snapshot,
                            const std::vector<std::string>& _macs, bool _all);
    // Zone alarms and screen messages of the tags of `_snapshot` (those of `_only` when
    // given): each tag's confirmed display is judged against the alarm its object's
    // records say now, whatever its state.
    void deliver_alarms(const vyr::context::project_snapshot& _snapshot,
                        const std::unordered_set<std::string>* _only = nullptr);
    // Synchronisation slots and superframes of the TDOA anchors as `_snapshot` shows them
    // (those of `_only` when given): the anchors' WIN records are read, judged and written
    // back a chunk at a time, each chunk's batch sent before the next read (and so before
    // the parameter pass reads them), so that no WIN is pushed twice within its pacing.
    void lsb(const std::shared_ptr<const vyr::context::project_snapshot>& _snapshot,
             const std::unordered_set<std::string>* _only = nullptr);

    // Whether at least `_period_sec` whole seconds lie between `_last` and `_now`; a
    // `_last` after `_now` (the clock was set back) counts as passed.
    static bool sending_period_passed(const timeval& _now, const timeval& _last,
                                      long _period_sec = s_sending_period_sec);
    // How far the receiver has recorded what the devices said; before start(). Without it
    // (tests, tools) every answer counts as recorded.
    void set_receiver_progress(std::shared_ptr<const vyr::receiver_progress> _progress) {
        m_receiver_progress = std::move(_progress);
    }
    // A device that was sent parameters (a push, or the answer to its request) is pushed
    // again only once the receiver has recorded what came up to this long after that:
    // its answer may still be on the way or wait in the receiver's backlog...
    static constexpr std::chrono::seconds s_answer_window{1};
    // ...and it is judged again as soon as the receiver has, and at the latest this long
    // after it was held back (judging every held device every second kept a large site's
    // start-up busy rereading records while the receiver, the one to catch up, waited).
    static constexpr std::chrono::seconds s_answer_recheck{s_sending_period_sec};
    // How often the receiver's progress is looked at while devices wait for it.
    static constexpr std::chrono::milliseconds s_recorded_poll{100};
    static constexpr std::int64_t s_answer_window_us = std::chrono::microseconds(s_answer_window).count();
    static constexpr std::int64_t s_answer_recheck_us = std::chrono::microseconds(s_answer_recheck).count();
    // Whether an answer of `_record`'s device within s_answer_window of what it was last
    // sent would be recorded by `_time`; always when no receiver progress was set.
    bool answers_recorded(const vyr::context::win_record& _record, const timeval& _time) const;
    static timeval now();
    // The time a delivery pass goes by: inside a processing cycle the moment the timer
    // was due (so periodic cycles lie exactly 5 s apart whatever the wake-up latency,
    // and a push is not skipped for being a few milliseconds early), else the time on the
    // mechanism's clock (now() unless set_clock replaced it).
    timeval pass_time() const;
    // A judge of `_snapshot` at `_time`, with the plans kept from the last judge of it.
    vyr::judge::judge make_judge(const std::shared_ptr<const vyr::context::project_snapshot>& _snapshot,
                                 const timeval& _time);
    // The mechanism's Redis context (its thread's, or the caller's after open_context());
    // null before either. For measurements of its Redis round trips.
    vyr::context::context* redis_store() const noexcept { return m_context.get(); }

private:
    // Notes devices whose records changed: they are judged at the next step; with
    // `_alive_only` only those that were not in step when last judged.
    void mark(const std::vector<std::string>& _macs, bool _alive_only = false);
    // A device was judged at `_time`: how it stands, whether it was pushed, and its pacing
    // after the step (last sending time, counter). One not in step waits for its pacing.
    void judged(const std::string& _mac, vyr::metrics::device_status _status, bool _pushed, const timeval& _last,
                std::uint32_t _counter, const timeval& _time);
    // A frame went to the device at `_time` (the alarm and sync passes): it is judged again
    // once its pacing ends, whatever else the step finds.
    void pushed(const std::string& _mac, const timeval& _time);
    // A device that the step could not judge for its pacing (the alarm pass) waits for it.
    void wait_for_pacing(const vyr::context::win_record& _record, const timeval& _time);
    // When `_record`'s device was sent something last (a push, or payloads of a request's
    // answer), in microseconds; 0 when never.
    std::int64_t last_sent_us(const vyr::context::win_record& _record) const;
    // A device held back by answers_recorded is judged again s_answer_window after it was
    // last sent something; when that has passed, once the receiver has recorded what came
    // until then, or s_answer_recheck after `_time`, whichever comes first.
    void wait_for_answers(const vyr::context::win_record& _record, const timeval& _time);
    // Marks the devices held back whose answers the receiver has now recorded.
    void release_recorded();
    // Forgets the request answers whose devices' answers the receiver has recorded.
    void forget_recorded_answers();
    // The WIN whose record is gone is no longer counted.
    void forget_standing(const std::string& _mac);
    // Counts and logs the devices the sweep pushed whose marks did not come after all.
    void count_sweep_findings();
    // Forgets the standing of every WIN not in `_wins` (the whole set of WINs).
    void forget_standings_outside(const std::vector<std::string>& _wins);
    // The device counts by standing, for the metrics (the unseen counted again when the
    // project or the WINs known changed).
    void publish_standings(const vyr::context::project_snapshot& _snapshot);
    // Every WIN's MAC, as the set of WINs holds them now.
    std::vector<std::string> read_wins();
    // Holds the request, then answers what is held if the mirror is complete.
    void answer_request(const vyr::mail::param_request& _request);
    // Queues the request behind those held (the oldest dropped past the bound), or adds
    // its parameters not asked yet to the one its MAC has held.
    void hold_request(const vyr::mail::param_request& _request);
    // Throws when the malformed frame claims to be a parameter request.
    static void refuse_request(const vyr::mail::malformed& _bad);
    // Drops the held requests past their lifetime and, once the mirror is complete,
    // answers the others in arrival order, in chunks; requests that come meanwhile are
    // answered between the chunks, ahead of the rest (thousands held at start-up do not
    // make a device asking later wait for them all). A lost Redis connection ends one
    // answer, not the others (logged once for all). Called on every pass of the thread.
    void answer_held_requests();
    // Drops the held requests whose device last asked longer ago than their lifetime.
    void drop_stale_requests();
    // Between the chunks of held requests answered: what came on the pipe, its requests
    // answered, and between their chunks those that came meanwhile, and so on, at most
    // s_newcomer_levels deep: the latest request waits for a chunk at each level, not
    // for every request before it (a site starting up sends tens of thousands at once).
    void answer_newcomers();
    static constexpr int s_newcomer_levels = 4;
    // The answer to one request taken from the pipe at `_taken`: the payload of each
    // parameter number the WIN asked for.
    void answer(vyr::judge::judge& _judge, const vyr::context::win_record& _win,
                const std::vector<std::uint32_t>& _numbers, std::chrono::steady_clock::time_point _taken);
    // The last snapshot, brought up to the mirror when it changed since: patched with the
    // records the change journal names (their devices marked), or read anew when the
    // journal does not tell all (every device marked).
    std::shared_ptr<const vyr::context::project_snapshot> current_snapshot();
    // Brings m_snapshot (held) up to the mirror's version by the journal, marking the
    // devices the changes concern; false when the journal cannot tell what changed.
    bool follow_journal();
    // Reads m_snapshot anew, warning about the records it could not read.
    void read_snapshot();
    // Warns once about each record m_snapshot could not read (until it can again).
    void note_unreadable();
    // Judges one WIN of the step, sends its frames and adds what it decided to m_writes;
    // judged() hears how it stands.
    void deliver_to_win(vyr::judge::judge& _judge, const vyr::context::win_record& _record, const timeval& _time);
    // Sends m_writes; what cannot have run on a lost connection stays there (and throws),
    // to go first on the next one.
    void send_writes();
    // The records of `_macs` (with the parameter hashes `_reads` names), s_win_chunk at a
    // time, each handed to `_each`, which adds what it decides to m_writes; after each
    // chunk `_judge`'s notices are logged and m_writes is sent. What m_writes holds from
    // before goes ahead of every read. Requests are answered between the chunks. A chunk
    // that meets a lost connection is read again WIN by WIN, and what cannot be read or
    // written is left to the next pass (logged once); other errors end the pass.
    // A chunk read once the mirror had moved past `_judge`'s project leaves out the
    // devices that project does not know (added since, not to be cleared): they are marked
    // for the next step.
    void for_win_chunks(const std::vector<std::string>& _macs, const vyr::context::parameters_of& _reads,
                        vyr::judge::judge& _judge, const std::function<void(const vyr::context::win_record&)>& _each);
    // True, with the device marked for the next step, when `_judge`'s project does not
    // know it and it was not left out that way before.
    bool defer_unknown(const vyr::judge::judge& _judge, const vyr::context::win_record& _record);
    // Whether the mirror version is no longer the snapshot's (false when Redis cannot tell).
    bool mirror_moved(const vyr::context::project_snapshot& _snapshot);
    // Logs the judge's warnings, each once per value (first_notice).
    void log_notices(const std::vector<vyr::judge::notice>& _notices);
    // Once-only warnings about one subject (`_key`): true when `_value` is new for it, so
    // the caller logs; the same value again gives false until forget(_key).
    bool first_notice(const std::string& _key, const std::string& _value);
    void forget(const std::string& _key);

    // Constant after construction.
    const bool m_push_schedule_to_destination;
    // Constant once the thread runs (set_clock, set_period).
    clock_function m_clock = &c_mech_param_req::now;
    std::shared_ptr<const vyr::receiver_progress> m_receiver_progress;
    std::chrono::steady_clock::duration m_held_request_lifetime = s_held_request_lifetime;
    step_observer m_step_observer;
    // Mechanism thread only.
    vyr::timer m_processing_timer;
    std::shared_ptr<vyr::judge::judge::plans> m_judge_plans;
    // When the timer was last due (or started, or reset): each expiry is due 5 s later.
    timeval m_timer_due{};
    // A cycle that could not do all its work is tried again at this time: the whole cycle
    // when the mirror was incomplete, else the alarms only.
    std::optional<std::chrono::steady_clock::time_point> m_retry_due;
    bool m_retry_alarms_only = false;
    // Set while a processing cycle runs.
    std::optional<timeval> m_cycle_time;
    // The project as last read (by a cycle or for requests).
    std::shared_ptr<const vyr::context::project_snapshot> m_snapshot;
    // The uids it could not read, warned about.
    std::set<std::string> m_unreadable;
    // What the passes decided to write and have not written yet.
    vyr::context::write_batch m_writes;
    // Subject → the value last warned about (first_notice).
    std::map<std::string, std::string> m_notices;
    struct held_request {
        std::string mac_address;
        std::vector<std::uint32_t> numbers;
        // When the device asked first (its answer's latency counts from here) and last
        // (the lifetime counts from here).
        std::chrono::steady_clock::time_point arrival;
        std::chrono::steady_clock::time_point latest;
        // Logged as held.
        bool noted = false;
    };
    // In arrival order, and by MAC (views of the queue's own MACs: a deque's elements
    // stay where they are while it grows or shrinks at its ends).
    std::deque<held_request> m_held_requests;
    std::unordered_map<std::string_view, held_request*> m_held_by_mac;
    // Requests held since the mirror was last looked at for them.
    std::size_t m_held_since_look = 0;
    // How deep answers of requests that came during an answer of held ones are nested.
    int m_newcomer_level = 0;

    // Which devices the next steps judge.
    vyr::delivery::schedule m_schedule;
    // The devices held back until the receiver has recorded what came before their time.
    vyr::delivery::schedule m_recording;
    // When request answers with payloads went out (by hash of the MAC: a collision only
    // holds a device back a little longer), oldest first, for answers_recorded; those the
    // receiver has recorded past are forgotten at each step. Kept only with a receiver
    // progress.
    std::unordered_map<std::size_t, std::int64_t> m_answered_at;
    std::deque<std::pair<std::int64_t, std::size_t>> m_answers_in_flight;
    std::chrono::seconds m_full_sweep{60};
    // When the last step ended (marks wait s_step_spacing from it).
    std::chrono::steady_clock::time_point m_step_ended{};
    // How each WIN stood when last judged, and the counts of each standing among them.
    std::unordered_map<std::string, vyr::metrics::device_status> m_standing;
    // Devices the last step's sweep slice pushed that no mark had brought: a mark still
    // on its way takes its device out before they are counted.
    std::unordered_set<std::string> m_sweep_suspects;
    // Devices a pass left out as unknown to its project while the mirror moved (see
    // for_win_chunks); the next pass that reads them judges them.
    std::unordered_set<std::string> m_deferred;
    std::uint64_t m_standing_counts[vyr::metrics::device_status_count] = {};
    // The project devices without a WIN record: counted whole at this mirror version, then
    // kept by the WINs that entered m_standing (+1) or left it (-1) since, so that a step
    // of a site whose devices are being seen for the first time does not count them all.
    std::uint64_t m_unseen = 0;
    std::optional<std::uint64_t> m_unseen_counted_at;
    std::vector<std::pair<std::string, int>> m_standing_moves;
    // Tags whose alarm pass waited for an alarm refresh (all of them: m_alarms_owed_all):
    // judged by the next alarm pass.
    std::unordered_set<std::string> m_alarms_owed;
    bool m_alarms_owed_all = false;
    // Devices a frame went to in the running step.
    std::unordered_set<std::string> m_step_sent;
    // A "context updated" came while no cycle could start: one runs next.
    bool m_cycle_requested = false;
    // The alarms were read again ("alarms refreshed") since the alarm pass last ran: it
    // runs by itself, s_retry_delay after the last one at the soonest.
    bool m_alarms_requested = false;
    std::chrono::steady_clock::time_point m_alarms_passed{};
    // Takes the commands the pipe holds without waiting: answers requests, notes a
    // "context updated" in m_cycle_requested. Outside a cycle (`_in_cycle` false) it
    // stops at that note, inside one it takes everything. False when the stop came (the
    // rest stays).
    bool service_pipe(bool _in_cycle);
    // Inside a cycle, every s_pipe_chunk calls (the count is `_done`): service_pipe(),
    // a stop ending the thread from there. Nothing for a caller without a pipe.
    void service_pipe_in_cycle(std::size_t _done);
    // The same at once.
    void service_pipe_in_cycle();
    // One chunk of the alarm pass: the tags of objects `_uids` with WINs `_macs` (in the
    // same order), judged against `_zones`; their frames sent and their pushes written.
    // Throws redis::connection_error when the connection is lost (the chunk's tags wait
    // for the next pass) and zmq::error_t when the gateway side fails.
    void deliver_alarm_chunk(const vyr::judge::alarms::zones& _zones, const std::vector<std::string>& _uids,
                             const std::vector<std::string>& _macs, const timeval& _time);
    // A frame the alarm pass decided on, with the compare-and-set it waits for.
    struct alarm_push;
    // Sends the frames of `_pushes` whose compare-and-set was made (`_made`, by group
    // number), then writes their sending times and counters (m_writes).
    void send_alarm_frames(const std::vector<alarm_push>& _pushes, const std::vector<bool>& _made,
                           const timeval& _time);
    // Warns once per error text that a tag's alarm delivery cannot be judged.
    void note_broken_tag(const std::string& _mac, const std::string& _error);
    // One step going by `_due`: the marked devices, those due, and (`_periodic`, a timer
    // expiry) the sweep's next slice; only the alarm delivery of every tag when
    // `_alarms_only`.
    void processing_cycle(const timeval& _due, bool _alarms_only = false, bool _periodic = false);
    void run_cycle(bool _alarms_only, bool _periodic);
    // The sweep's slice of one periodic step, a new round begun when the last one ended.
    std::size_t sweep_slice();
    // The alarm pass of a step over `_only` (every tag when null) and the tags an earlier
    // step left waiting, unless the alarms wait for a refresh (then `_only` waits too, and
    // the pass is tried again soon).
    void run_alarm_pass(const vyr::context::project_snapshot& _snapshot, bool _alarms_wait,
                        const std::unordered_set<std::string>* _only);
    // Whether marks may give a step now (s_step_spacing after the last one), else how long
    // until they may.
    std::chrono::milliseconds until_marks_may_step() const;
    // Milliseconds from the mechanism's clock to the earliest due time (0 when passed).
    std::optional<std::chrono::milliseconds> until_next_due() const;
    void retry_soon(bool _alarms_only);
    // The due time of the timer after `_expirations` more expiries; taken from the wall
    // clock again when that was set or drifted by more than a second.
    timeval next_timer_due(std::uint64_t _expirations);
};
