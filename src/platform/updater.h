// The context updater: owns the worker thread that keeps the Redis mirror of the project
// in step with the platform server. At start it empties the mirror and copies every kind
// of project object; afterwards it refreshes single objects or whole kinds on request.
// Any thread may call the request operations: they hold m_waiting_mutex only to record
// work (never across server or Redis I/O). A full refresh marks the mirror incomplete
// ("updated" false); an alarm refresh only marks the alarms as being refreshed (key
// "alarms_refresh"), so that alarm delivery alone waits for it. Both keys are written
// under m_updated_mutex, by a request through the updater's own request connection.
// The worker thread alone uses m_context and does all server and mirror I/O. Once a second,
// idle or busy, it looks at Redis: a server that restarted (new run id) or a mirror that is
// gone (no "name") makes it mark the mirror incomplete and fill it again from the platform.
// An event the receiver writes into the mirror while a request of its kind is on its way
// wins over that request's answer (see mirror::events, which the receiver reaches through
// events()), with the same writes as the updater's own (updater_writes.h). The work on
// each kind lies in updater_kinds.cpp.
// What others need to know of the thread's work is told without a lock: whether the mirror
// has been emptied at the start (mirror_emptied, any thread), and each refresh that changed
// the complete mirror (the owner's callback, run on the updater thread).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <initializer_list>
#include <memory>
#include <string>
#include <unordered_set>

#include "core/logger.h"
#include "platform/mirror_events.h"
#include "runtime/worker_thread.h"
#include "core/mutex.h"

namespace vyr::vyrserver {
class c_vyrserver;
struct alarm;
}
namespace vyr::context {
class context;
}

namespace vyr {

class updater {
public:
    // Stores the arguments; opens nothing.
    updater(std::shared_ptr<vyr::vyrserver::c_vyrserver> _server, const std::string& _redis_address,
            int _redis_port, vyr::libs::core::component_logger& _logger);
    // Stops the thread and joins it: at most one server request still in flight delays it.
    ~updater();
    updater(const updater&) = delete;
    updater& operator=(const updater&) = delete;

    // Called on the updater thread after each refresh that wrote the mirror while it is
    // complete, or made it complete: a full refresh of a kind, the end of a full pass, a
    // single object; `true` for a full refresh of the alarms, which concerns the alarms
    // only. Set before start().
    void on_mirror_changed(std::function<void(bool _alarms)> _changed) { m_mirror_changed = std::move(_changed); }

    // The lease term this updater works under: the fencing value, the instance's name and
    // its holder text in the lease ("<name>/<pid>"). With it the mirror is marked
    // "<fencing> <holder>" ("mirror_lease") whenever a full pass made it complete, and at
    // start a complete mirror marked under the term just before this one, by another
    // instance (a take-over) or by this very process (a term lost and taken again), is kept
    // and refreshed in place, not emptied; a restarted instance empties it as ever. Set
    // before start().
    void lease_term(std::int64_t _fencing, std::string _instance_name, std::string _holder);
    // Marks the mirror incomplete ("updated" false, so that no delivery reads what a
    // previous run left), then starts the thread: it empties the mirror (or keeps it, see
    // lease_term), then works until stopped.
    void start();
    // Whether the thread has emptied the mirror at its start. A device record written before
    // that is lost, so the receiver holds the devices' frames until then. Any thread.
    bool mirror_emptied() const noexcept { return m_mirror_emptied.load(); }
    // Asks the thread to end; it sees the request whether it waits, works or pauses.
    void stop();

    // Full refresh of every kind; "updated" is false in Redis when it returns (unless
    // Redis cannot be reached, which is logged).
    void update_all_req();
    // Refresh of the alarm kind in place; the mirror stays complete. A request while one
    // is pending joins it; "alarms_refresh" is "pending" from the first request until the
    // refresh succeeds, and "failed" once it failed (it is retried).
    void update_all_alarms_req();
    // Single-object refreshes, queued first in, first out. An object already waiting is
    // not queued again. A failed one goes to the back of its queue with a back-off
    // (doubling up to a minute), so it never holds up the others. A kind's queue is
    // bounded: once full, a full refresh of the kind stands for every request.
    void update_object_req(mirror::kind _kind, const std::string& _uid) { request(_kind, _uid); }

    // Where the receiver writes the events it takes into the mirror, so that no answer to
    // an older request undoes them. Any thread.
    mirror::events& events() noexcept { return m_events; }
    // Whether the last whole alarm list read from the platform was asked for more than
    // `_age` ago (or none was read yet). Any thread.
    bool alarm_list_older_than(std::chrono::milliseconds _age) const;

private:
    using kind = mirror::kind;

    using clock = std::chrono::steady_clock;

    // A single-object refresh waiting in its kind's queue.
    struct single {
        std::string uid;
        unsigned failures = 0;  // of this request so far
        clock::time_point due;  // not taken before (after a failure)
    };
    struct single_queue {
        std::deque<single> entries;
        std::unordered_set<std::string> uids;  // those of `entries`
    };

    // One piece of work taken from the pending state under the mutex.
    struct job {
        enum class type { none, full, single, complete } what = type::none;
        kind which = mirror::anchors;
        std::string uid;        // single
        unsigned failures = 0;  // single
    };

    bool& full_flag(kind _kind) VYR_REQUIRES(m_waiting_mutex);
    void request(kind _kind, const std::string& _uid);
    // A failed single refresh goes back to its queue with a back-off (logged).
    void retry_later(const job& _job, const char* _reason);
    // Sets the flags of `_kinds` (and the all flag) and writes "updated" false.
    void request_full(std::initializer_list<kind> _kinds);

    // Under m_waiting_mutex: the next piece of work, none when idle.
    job take_job() VYR_REQUIRES(m_waiting_mutex);
    // Runs a job outside the mutex and records its success.
    void run_job(const job& _job);
    // A full refresh of `_kind` that failed is pending again.
    void keep_pending(kind _kind);
    // After a refresh of the alarm kind: a pending alarm refresh is done (unless asked
    // again meanwhile) or, on failure, marked failed once (logged).
    void alarms_refreshed(bool _succeeded);
    // Runs `_write` on the request connection, opened on first use; a failure is logged.
    template <class Write>
    void request_write(Write _write) VYR_REQUIRES(m_updated_mutex);
    // Clears the all flag and writes "updated" true unless a full refresh is pending again
    // or the mirror was lost meanwhile (then the pass starts over); true when it did.
    bool complete_pass();
    // Whether no full pass is pending: the mirror is complete but for the work at hand.
    bool mirror_complete();
    // Runs the owner's callback (a failure is logged).
    void mirror_changed(bool _alarms = false);
    // The mirror's watch: false (logged) when the Redis server is not the one the mirror
    // was written to or the key "name" is gone. Throws when Redis cannot be reached.
    bool mirror_intact();
    // Marks every kind for a full refresh, "updated" false and the module name stored.
    void refill_mirror();
    // The run id of the Redis server behind m_context.
    std::string redis_run_id();
    // Whether the mirror in Redis may be kept at the start of the lease term (read through
    // `_context`): complete, and marked by another instance under the term before ours.
    bool mirror_kept_from_last_term(vyr::context::context& _context) const;
    // On the thread: opens its Redis context and empties the mirror (or keeps it).
    bool open();
    // Waits for the next piece of work (or the watch) and does it; false once stopped.
    bool pass();
    // After a failed pass: the work is pending again; pauses, awake to a stop but not to
    // requests. False once stopped.
    bool pause_after_failure();
    // Ends the thread (worker_thread::end_of_thread) when a stop was requested; checked
    // between server requests.
    void check_stop();
    bool completion_requested();

    void update_all(kind _kind);
    // One object: written unless an event wrote it while the request was on its way.
    void update_one(kind _kind, const std::string& _uid);

    // Full refresh of one kind.
    void update_anchors();
    void update_track_objs();
    void update_groups();
    void update_zones();
    void update_sublocations();
    void update_tdoa_schedules();
    // The full refresh of a kind read whole and written object by object:
    // `_read(&undecoded)` asks the platform, then `_recorded()` lists the stored uids
    // and `_open(uid)` opens a record.
    template <class Read, class Recorded, class Open>
    void refresh_kind(kind _kind, Read _read, Recorded _recorded, Open _open);
    void update_tdoa_settings();
    void update_alarms();
    // The emergency-button alarms of an alarm answer were set on the platform when it was
    // asked for at `_asked_ms`.
    void note_buttons_seen(const std::map<std::string, vyrserver::alarm>& _answer, std::int64_t _asked_ms);
    // Of every object (`_obj_uid` empty) or of one.
    void update_licenses_and_certifications(const std::string& _obj_uid);
    // After an answer of `_kind` was written: what events wrote meanwhile is read again.
    void read_again(kind _kind);

    // Constant after construction.
    const std::string m_redis_address;
    const int m_redis_port;
    const std::shared_ptr<vyr::vyrserver::c_vyrserver> m_server;
    vyr::libs::core::component_logger& m_logger;
    // Constant once the thread runs.
    std::function<void(bool)> m_mirror_changed;
    std::int64_t m_fencing = 0;  // 0: no lease term
    std::string m_instance_name;
    std::string m_holder;
    // Set by start() before the thread runs: the mirror is refreshed in place, not emptied.
    bool m_keep_mirror = false;
    // Set by the thread once, after the start-up flush.
    std::atomic<bool> m_mirror_emptied{false};
    // When the last whole alarm list that was written had been asked for (steady clock,
    // in its epoch's milliseconds); written by the thread.
    std::atomic<std::int64_t> m_alarm_list_asked_ms{-1};
    mirror::events m_events;

    // Guarded by m_waiting_mutex.
    vyr::libs::core::mutex m_waiting_mutex;
    vyr::libs::core::condition_variable m_waiting_variable;
    bool m_completion_flag VYR_GUARDED_BY(m_waiting_mutex) = false;
    bool m_update_all_flag VYR_GUARDED_BY(m_waiting_mutex) = true;
    bool m_update_all_anchors_flag VYR_GUARDED_BY(m_waiting_mutex) = true;
    bool m_update_all_track_objs_flag VYR_GUARDED_BY(m_waiting_mutex) = true;
    bool m_update_all_groups_flag VYR_GUARDED_BY(m_waiting_mutex) = true;
    bool m_update_all_zones_flag VYR_GUARDED_BY(m_waiting_mutex) = true;
    bool m_update_all_sublocations_flag VYR_GUARDED_BY(m_waiting_mutex) = true;
    bool m_update_all_tdoa_schedules_flag VYR_GUARDED_BY(m_waiting_mutex) = true;
    bool m_update_all_tdoa_settings_flag VYR_GUARDED_BY(m_waiting_mutex) = true;
    bool m_update_all_alarms_flag VYR_GUARDED_BY(m_waiting_mutex) = true;
    // An alarm refresh was requested and has not succeeded yet / it failed since.
    bool m_alarms_pending VYR_GUARDED_BY(m_waiting_mutex) = false;
    bool m_alarms_failed VYR_GUARDED_BY(m_waiting_mutex) = false;
    std::array<single_queue, mirror::kind_count> m_singles VYR_GUARDED_BY(m_waiting_mutex);

    // Guarded by m_updated_mutex, which orders every write of "updated" (taken before
    // m_waiting_mutex when both are needed). The request connection is opened on first use.
    vyr::libs::core::mutex m_updated_mutex VYR_ACQUIRED_BEFORE(m_waiting_mutex);
    std::unique_ptr<vyr::context::context> m_request_context VYR_GUARDED_BY(m_updated_mutex);

    // Updater thread only.
    std::unique_ptr<vyr::context::context> m_context;
    std::string m_redis_run_id;  // of the server the mirror is written to
    // When the watch is due next.
    std::chrono::steady_clock::time_point m_next_watch;

    vyr::worker_thread m_worker;
};

}  // namespace vyr
