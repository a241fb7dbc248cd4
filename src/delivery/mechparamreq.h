// The parameter-request mechanism: the worker that answers a device's parameter request
// (at once, or once the project mirror is complete) and, every 5 seconds or when the
// context changes, pushes to every WIN what differs from the project (alarms, screen
// texts, TDOA configuration and the tag parameters). It owns a 5-second timer beside the base's pipe; everything here runs on
// the mechanism's own thread with the base's Redis context, and the only object it shares
// is the sender. The TDOA builders and alarm delivery live in mechparamreq_tdoa.cpp and
// mechparamreq_alarms.cpp.
#pragma once

#include <json/json.h>
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
#include <vector>

#include "common/metrics.h"
#include "context/context.h"
#include "context/project_snapshot.h"
#include "context/write_batch.h"
#include "delivery/mechanism.h"
#include "judge/alarms.h"
#include "judge/judge.h"
#include "judge/tdoa.h"
#include "parameters/parameters.h"
#include "redis/context.h"
#include "runtime/mailboxes.h"
#include "runtime/timer.h"

namespace vyr::context {
class anchor;
class tdoa_setting;
class win;
class track_obj;
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

    // Waits for a command on the pipe or the timer's expiry, then takes everything the
    // pipe holds: requests are answered at once, any number of "context updated" commands
    // give one processing cycle (the timer restarts from it), and any number of "alarms
    // refreshed" one alarm pass, a second after the last one at the soonest.
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

    // One frame of the mailbox (vyr::mail::mech_param_req): a parameter request, "context
    // updated" (a cycle at once) or "alarms refreshed" (the alarm pass soon); anything
    // else is ignored, but a request that is malformed (shorter than its header) throws.
    void process_zmq_message(const zmq::message_t& _message);
    // A cycle takes the pipe's commands after every this many WINs (or tags), so that
    // requests are answered and a stop is honoured while it runs.
    static constexpr std::size_t s_pipe_chunk = 50;
    // A cycle reads the project once, at its start, into a snapshot that lives for that
    // cycle; the WIN records are read this many at a time, and what the cycle writes to
    // them goes back in one round trip per chunk.
    static constexpr std::size_t s_win_chunk = 256;

    // A request that comes while the project mirror is incomplete (at start, after a
    // Redis refill) is held instead of being answered from a half-filled mirror: at most
    // one per MAC (a newer one adds its parameters to it), at most this many in all (the
    // oldest goes)...
    static constexpr std::size_t s_max_held_requests = 4096;
    // ...and none whose device last asked longer ago than this: it asks again by then.
    static constexpr std::chrono::seconds s_held_request_lifetime{s_sending_period_sec};
    // While requests are held the pipe is polled at most this long, then the mirror is
    // looked at again.
    static constexpr std::chrono::milliseconds s_held_request_poll{200};
    // One processing cycle: alarms, sync slots, then parameters. Nothing while the
    // project mirror is incomplete, and no alarms while an alarm refresh is pending;
    // either way the cycle is tried again a second later.
    void processing_timer();

    // One pass over all WINs, pushing what differs from the project as `_snapshot` shows
    // it: the records are read, judged and written back a chunk at a time.
    void deliver_parameters(const std::shared_ptr<const vyr::context::project_snapshot>& _snapshot);
    // Zone alarms and screen messages of every tag of `_snapshot`: each tag's confirmed
    // display is judged against the alarm its object's records say now, whatever its state.
    void deliver_alarms(const vyr::context::project_snapshot& _snapshot);
    // Synchronisation slots and superframes of the TDOA anchors.
    void lsb();

    // Sends `_parameters` to the WIN when its pacing allows (the counter limit is not
    // looked at) and records the sending.
    void hw_param_to_win(vyr::context::win& _win, const std::string& _parameters);

    // The anchor payload builders over the records (the rules are judge/tdoa's): one
    // payload text for the WIN with this MAC. A failure is logged and gives nothing; a
    // lost Redis connection (vyr::redis::connection_error) is thrown on.
    std::string form_tdoa_schd(const std::string& _mac_address);
    // 140100 for an anchor that is no master; nothing when a master's superframe cannot
    // be worked out (no active schedule, or the schedule is not mirrored).
    std::optional<std::string> form_sf(const std::string& _mac_address);
    // Throws when a number does not fit its field (2 bytes, 1, 1): capped, it would read
    // as "no master" (FFFF) or "no slot" (FF).
    static std::string form_sync_slot(std::uint32_t _master_node_id, std::uint32_t _beacon_slot_number,
                                      std::uint32_t _flags);
    // Nothing when the anchor's slot cannot be worked out or does not fit its payload.
    std::optional<std::string> form_sync_slot_by_mac(const std::string& _mac_address);

    // The anchor's TDOA schedule partners as JSON (null where the project holds none).
    std::optional<Json::Value> tdoa_schedule_to_json(const std::string& _mac_address);
    // The partner entry of one row for the anchor; null when the anchor takes no part in
    // it. A row that cannot be read throws.
    Json::Value tdoa_schedule_row_to_json(const std::string& _anchor_uid, const std::string& _row);

    // Whether at least `_period_sec` whole seconds lie between `_last` and `_now`; a
    // `_last` after `_now` (the clock was set back) counts as passed.
    static bool sending_period_passed(const timeval& _now, const timeval& _last,
                                      long _period_sec = s_sending_period_sec);
    // Whether `_win` may be pushed now: counter not above the limit, period passed.
    static bool may_push(const vyr::context::win& _win, const timeval& _now);
    static timeval now();
    // The time a delivery pass goes by: inside a processing cycle the moment the timer
    // was due (so periodic cycles lie exactly 5 s apart whatever the wake-up latency,
    // and a push is not skipped for being a few milliseconds early), else the time on the
    // mechanism's clock (now() unless set_clock replaced it).
    timeval pass_time() const;
    // The mechanism's Redis context (its thread's, or the caller's after open_context());
    // null before either. For measurements of its Redis round trips.
    vyr::context::context* redis_store() const noexcept { return m_context.get(); }

private:
    // Holds the request, then answers what is held if the mirror is complete.
    void answer_request(const vyr::mail::param_request& _request);
    // Queues the request behind those held (the oldest dropped past the bound), or adds
    // its parameters not asked yet to the one its MAC has held.
    void hold_request(const vyr::mail::param_request& _request);
    // Throws when the malformed frame claims to be a parameter request.
    static void refuse_request(const vyr::mail::malformed& _bad);
    // Drops the held requests past their lifetime and, once the mirror is complete,
    // answers the others in arrival order. A lost Redis connection ends one answer, not
    // the others (logged once for all). Called on every pass of the thread.
    void answer_held_requests();
    // The answer to one request taken from the pipe at `_taken`: the payload of each
    // parameter number the WIN asked for.
    void answer(vyr::judge::judge& _judge, const vyr::context::win_record& _win,
                const std::vector<std::uint32_t>& _numbers, std::chrono::steady_clock::time_point _taken);
    // The last snapshot read, or a new one when the mirror changed since.
    std::shared_ptr<const vyr::context::project_snapshot> current_snapshot();
    // Reads m_snapshot anew, warning about the records it could not read.
    void read_snapshot();
    // Judges one WIN of the pass, sends its frames and adds what it decided to m_writes;
    // `_tally` counts how it stands.
    void deliver_to_win(vyr::judge::judge& _judge, const vyr::context::win_record& _record, const timeval& _time,
                        const std::function<void(vyr::metrics::device_status)>& _tally);
    // Sends m_writes; what cannot have run on a lost connection stays there (and throws),
    // to go first on the next one.
    void send_writes();
    // Logs the judge's warnings, each once per value (first_notice).
    void log_notices(const std::vector<vyr::judge::notice>& _notices);
    // The superframe a master with this sfd is to hold; nothing (warned once until it
    // settles) when the setting has no active schedule, that schedule is not mirrored or
    // a number does not fit its field.
    std::optional<vyr::parameter::superframe> master_superframe(const vyr::context::anchor& _anchor,
                                                                const vyr::context::tdoa_setting& _setting,
                                                                std::uint32_t _sfd);
    // Calls `_each(i)` for every index of `_macs`, a chunk of WINs at a time: the chunk's
    // records (whole, or their data and alarm hashes) are read in one go first, and the
    // writes are held until the chunk's end; the next chunk's records are on their way
    // meanwhile. `_then(first, last)` runs once the chunk's records are kept, before its
    // WINs are taken: a second read, fresh rather than from the cycle's snapshot, that
    // depends on the first. Without the cycle's snapshot it is a plain loop.
    void by_chunks(const std::vector<std::string>& _macs, bool _whole, const std::function<void(std::size_t)>& _each,
                   const std::function<void(std::size_t, std::size_t)>& _then = {});
    // `_work` with the records of these WINs read in one go and its writes held to its end.
    void with_wins(const std::vector<std::string>& _macs, bool _whole, const std::function<void()>& _work);
    // The keys of the WIN records a pass reads, by what each WIN is in the project (none
    // but the record itself when not `_whole`); none without the cycle's snapshot or
    // when the project cannot be read, so that each record is read by itself.
    using win_key_list = std::vector<std::pair<std::string, vyr::redis::key_kind>>;
    win_key_list win_keys(const std::vector<std::string>& _macs, bool _whole);
    // `_work` with `_keys` read in one go (a failed read leaves them to be read one by
    // one) and its writes held to its end; `_then` runs once they are kept, and `_ahead`
    // is read ahead after it, while the work runs.
    void with_keys(const win_key_list& _keys, const std::function<void()>& _work, const win_key_list& _ahead,
                   const std::function<void()>& _then = {});
    // The fields of an anchor a schedule entry names as partner (node id and position),
    // read as the entry needs them; throws when they cannot be read.
    vyr::context::anchor_data partner_anchor(const std::string& _uid);
    // The index of the active version-2 schedule of a setting; nothing when there is none.
    // Worked out once per cycle (a request answered during the cycle shares it).
    std::shared_ptr<const vyr::judge::tdoa::schedule_index> active_schedule_index(const std::string& _setting_uid);
    // By setting uid, while a cycle runs.
    std::optional<std::map<std::string, std::shared_ptr<const vyr::judge::tdoa::schedule_index>>> m_cycle_schedules;
    // For the sync pass of a cycle: the connection's read cache on
    // and the schedules indexed once; both dropped at the end.
    class snapshot_scope {
    public:
        explicit snapshot_scope(c_mech_param_req& _owner);
        ~snapshot_scope();
        snapshot_scope(const snapshot_scope&) = delete;
        snapshot_scope& operator=(const snapshot_scope&) = delete;

    private:
        c_mech_param_req& m_owner;
        vyr::redis::cache_scope m_cache;
    };
    // The sync slot (master node id, slot) of the WIN with this MAC as its payload
    // carries it; nothing (warned once) when a number does not fit its field.
    std::optional<std::pair<std::uint32_t, std::uint32_t>> fitting_sync_slot(const std::string& _mac_address,
                                                                             std::uint64_t _master_node_id,
                                                                             std::uint64_t _slot);
    // The work of lsb(); `_non_distributors` starts as every anchor's uid.
    void sync_anchors(std::vector<std::string> _non_distributors);
    // For a builder's catch block: logs the failure, or throws a lost Redis connection
    // on to the pass, which logs it once and ends that WIN's work.
    void log_unless_connection_lost(const vyr::libs::core::source_location& _location);
    // Once-only warnings about one subject (`_key`): true when `_value` is new for it, so
    // the caller logs; the same value again gives false until forget(_key).
    bool first_notice(const std::string& _key, const std::string& _value);
    void forget(const std::string& _key);
    // Warns once per WIN, parameter and project value that the project holds a value
    // the device cannot hold whole (`_loss` says what is lost or not sent; empty:
    // nothing is).
    void note_undeliverable(const std::string& _mac_address, vyr::parameter::parameter_t _p,
                            const std::string& _project_value, const std::string& _loss);

    // Constant after construction.
    const bool m_push_schedule_to_destination;
    // Constant once the thread runs (set_clock, set_period).
    clock_function m_clock = &c_mech_param_req::now;
    std::chrono::steady_clock::duration m_held_request_lifetime = s_held_request_lifetime;
    // Mechanism thread only.
    bool m_vehicle_certification = false;  // the mirror's switch as the pass or batch began
    vyr::timer m_processing_timer;
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
    // In arrival order.
    std::deque<held_request> m_held_requests;

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
    // One processing cycle going by `_due`; only the alarm delivery when `_alarms_only`.
    void processing_cycle(const timeval& _due, bool _alarms_only = false);
    void run_cycle(bool _alarms_only);
    // The alarm pass of a cycle, unless the alarms wait for a refresh (then it is tried
    // again soon).
    void run_alarm_pass(const vyr::context::project_snapshot& _snapshot, bool _alarms_wait);
    void retry_soon(bool _alarms_only);
    // The due time of the timer after `_expirations` more expiries; taken from the wall
    // clock again when that was set or drifted by more than a second.
    timeval next_timer_due(std::uint64_t _expirations);
};
