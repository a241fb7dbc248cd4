#include "platform/updater.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "common/globals.h"
#include "common/helpers.h"
#include "common/metrics.h"
#include "context/common.h"
#include "context/context.h"
#include "platform/decoders.h"
#include "platform/vyrserver.h"
#include "redis/connection.h"
#include "redis/database.h"
#include "redis/lease.h"

namespace vyr {

using namespace mirror;

namespace {

constexpr auto s_retry_pause = std::chrono::seconds(1);
// A failed single-object refresh waits this long, doubled for each further failure up to
// the longest back-off.
constexpr auto s_first_back_off = std::chrono::seconds(1);
constexpr auto s_longest_back_off = std::chrono::seconds(60);
// Single-object refreshes a kind's queue holds at most.
constexpr std::size_t s_queue_bound = 1000;
// How often an idle thread checks that Redis still holds the mirror.
constexpr auto s_watch_period = std::chrono::seconds(1);
// The whole alarm list is asked for at most once per this time on the complete mirror:
// at a start every tag announces itself and asks for it, and one list read after the
// announcements that came meanwhile serves them all.
constexpr auto s_alarm_list_spacing = std::chrono::seconds(1);

}  // namespace

updater::updater(std::shared_ptr<vyr::vyrserver::c_vyrserver> _server, const std::string& _redis_address,
                 int _redis_port, vyr::libs::core::component_logger& _logger)
    : m_redis_address(_redis_address),
      m_redis_port(_redis_port),
      m_server(std::move(_server)),
      m_logger(_logger),
      m_worker("updater", _logger, [this] { stop(); }) {}

updater::~updater() {
    m_worker.stop();
    m_context.reset();
    m_request_context.reset();
}

void updater::stop() {
    libs::core::mutex_lock lock(m_waiting_mutex);
    m_completion_flag = true;
    m_waiting_variable.notify_all();
}

bool updater::completion_requested() {
    libs::core::mutex_lock lock(m_waiting_mutex);
    return m_completion_flag;
}

void updater::check_stop() {
    if (completion_requested())
        throw worker_thread::end_of_thread{};
}

// ---- pending work ------------------------------------------------------------------------

bool& updater::full_flag(kind _kind) {
    switch (_kind) {
        case anchors: return m_update_all_anchors_flag;
        case track_objs: return m_update_all_track_objs_flag;
        case groups: return m_update_all_groups_flag;
        case zones: return m_update_all_zones_flag;
        case sublocations: return m_update_all_sublocations_flag;
        case tdoa_schedules: return m_update_all_tdoa_schedules_flag;
        case tdoa_settings: return m_update_all_tdoa_settings_flag;
        case alarms:
        case kind_count:  // licences and certifications go with the trackable objects
        case certifications:
        case event_kind_count: break;
    }
    return m_update_all_alarms_flag;
}

void updater::request(kind _kind, const std::string& _uid) {
    bool overflow = false;
    {
        libs::core::mutex_lock lock(m_waiting_mutex);
        auto& queue = m_singles[_kind];
        if (queue.uids.count(_uid) != 0 || full_flag(_kind))
            return;  // already waiting, or covered by the full refresh to come
        if (queue.entries.size() >= s_queue_bound) {
            // A full refresh of the kind covers every request queued so far.
            full_flag(_kind) = overflow = true;
        } else {
            queue.entries.push_back({_uid, 0, {}});
            queue.uids.insert(_uid);
        }
        m_waiting_variable.notify_one();
    }
    if (overflow)
        m_logger.warning("More than %1% %2% refreshes waiting: the whole kind is refreshed instead") % s_queue_bound %
            mirror::name(_kind);
}

void updater::retry_later(const job& _job, const char* _reason) {
    const unsigned failures = _job.failures + 1;
    const auto back_off = std::min<clock::duration>(s_first_back_off * (1u << std::min(failures - 1, 6u)),
                                                   s_longest_back_off);
    m_logger.warning("Refresh of %1% \"%2%\" failed (%3%): retried in %4% s, after the others") %
        mirror::name(_job.which) % _job.uid % _reason %
        std::chrono::duration_cast<std::chrono::seconds>(back_off).count();
    libs::core::mutex_lock lock(m_waiting_mutex);
    auto& queue = m_singles[_job.which];
    if (full_flag(_job.which) || queue.entries.size() >= s_queue_bound)
        return;  // covered by the full refresh to come
    if (!queue.uids.insert(_job.uid).second) {
        // Asked for again meanwhile: that request keeps the back-off.
        for (auto& entry : queue.entries)
            if (entry.uid == _job.uid)
                entry = {_job.uid, failures, clock::now() + back_off};
        return;
    }
    queue.entries.push_back({_job.uid, failures, clock::now() + back_off});
}

template <class Write>
void updater::request_write(Write _write) {
    try {
        if (!m_request_context)
            m_request_context = std::make_unique<vyr::context::context>(vyr::redis::service_database, m_redis_address,
                                                                         m_redis_port);
        _write(*m_request_context);
    } catch (const std::exception&) {
        // The refresh itself is queued; the connection is opened again next time.
        m_request_context.reset();
        m_logger.log_exception(VYR_HERE);
    }
}

void updater::request_full(std::initializer_list<kind> _kinds) {
    // m_updated_mutex first: the thread cannot mark the mirror complete between the
    // flags being set here and "updated" going false.
    libs::core::mutex_lock updated_lock(m_updated_mutex);
    {
        libs::core::mutex_lock lock(m_waiting_mutex);
        m_update_all_flag = true;
        for (const auto k : _kinds)
            full_flag(k) = true;
        m_waiting_variable.notify_one();
    }
    request_write([](vyr::context::context& _context) { _context.updated(false); });
}

void updater::update_all_req() {
    request_full({anchors, track_objs, groups, zones, sublocations, tdoa_schedules, tdoa_settings, alarms});
}

void updater::update_all_alarms_req() {
    // m_updated_mutex first: the thread cannot finish the refresh (and delete the key)
    // between the refresh being recorded here and the key being written.
    libs::core::mutex_lock updated_lock(m_updated_mutex);
    {
        libs::core::mutex_lock lock(m_waiting_mutex);
        if (m_alarms_pending)
            return;  // joins the refresh already asked for
        m_alarms_pending = true;
        m_alarms_failed = false;
        full_flag(alarms) = true;
        m_waiting_variable.notify_one();
    }
    request_write([](vyr::context::context& _context) {
        _context.alarms_refresh(vyr::context::context::refresh_state::pending);
    });
}

void updater::alarms_refreshed(bool _succeeded) {
    using state = vyr::context::context::refresh_state;
    libs::core::mutex_lock updated_lock(m_updated_mutex);
    {
        libs::core::mutex_lock lock(m_waiting_mutex);
        if (!m_alarms_pending)
            return;
        if (_succeeded) {
            if (full_flag(alarms))
                return;  // asked for again after this refresh began: the next one ends it
            m_alarms_pending = false;
        } else {
            if (m_alarms_failed)
                return;
            m_alarms_failed = true;
        }
    }
    if (!_succeeded)
        m_logger.warning("Alarm refresh failed: alarms are delivered as stored until a retry succeeds");
    try {
        m_context->alarms_refresh(_succeeded ? state::none : state::failed);
    } catch (const std::exception&) {
        m_logger.log_exception(VYR_HERE);
    }
}


updater::job updater::take_job() {
    job j;
    for (std::size_t i = 0; i < kind_count; ++i) {
        const auto k = static_cast<kind>(i);
        if (k == alarms && !m_update_all_flag && !alarm_list_older_than(s_alarm_list_spacing))
            continue;  // taken once the spacing has passed (the wait ends at the next watch)
        if (full_flag(k)) {
            // Cleared now so that a request arriving during the refresh is kept; the
            // single requests queued so far are covered by it (a failed refresh is
            // pending again and so still covers them).
            full_flag(k) = false;
            m_singles[k] = single_queue();
            j.what = job::type::full;
            j.which = k;
            return j;
        }
    }
    if (m_update_all_flag) {
        j.what = job::type::complete;
        return j;
    }
    const auto now = clock::now();
    for (std::size_t i = 0; i < kind_count; ++i) {
        auto& queue = m_singles[i];
        for (auto entry = queue.entries.begin(); entry != queue.entries.end(); ++entry) {
            if (entry->due > now)
                continue;  // backing off
            j.what = job::type::single;
            j.which = static_cast<kind>(i);
            j.uid = std::move(entry->uid);
            j.failures = entry->failures;
            queue.uids.erase(j.uid);
            queue.entries.erase(entry);
            return j;
        }
    }
    return j;
}

void updater::keep_pending(kind _kind) {
    libs::core::mutex_lock lock(m_waiting_mutex);
    full_flag(_kind) = true;  // still pending: retried
}

void updater::run_job(const job& _job) {
    switch (_job.what) {
        case job::type::none: return;
        case job::type::complete:
            if (complete_pass())
                mirror_changed();
            return;
        case job::type::full: {
            const auto started = std::chrono::steady_clock::now();
            try {
                update_all(_job.which);
            } catch (const worker_thread::end_of_thread&) {
                keep_pending(_job.which);
                throw;
            } catch (...) {
                keep_pending(_job.which);
                if (_job.which == alarms)
                    alarms_refreshed(false);
                throw;
            }
            if (_job.which == alarms)
                alarms_refreshed(true);
            metrics::add(metrics::counter::full_refreshes);
            metrics::observe(metrics::histogram::full_refresh_duration, metrics::seconds_since(started));
            // Within a full pass the end of the pass tells.
            if (mirror_complete())
                mirror_changed(_job.which == alarms);
            return;
        }
        case job::type::single:
            try {
                update_one(_job.which, _job.uid);
            } catch (const std::exception& e) {
                retry_later(_job, e.what());
                return;
            }
            mirror_changed();
            return;
    }
}

bool updater::mirror_complete() {
    libs::core::mutex_lock lock(m_waiting_mutex);
    return !m_update_all_flag;
}

void updater::mirror_changed(bool _alarms) {
    if (!m_mirror_changed)
        return;
    try {
        m_mirror_changed(_alarms);
    } catch (const std::exception&) {
        // Delivery sees the change at its next cycle all the same.
        m_logger.log_exception(VYR_HERE);
    }
}

bool updater::complete_pass() {
    // Redis lost what this pass wrote (a restart while the platform was read): again.
    if (!mirror_intact()) {
        refill_mirror();
        return false;
    }
    libs::core::mutex_lock updated_lock(m_updated_mutex);
    {
        libs::core::mutex_lock lock(m_waiting_mutex);
        for (std::size_t i = 0; i < kind_count; ++i)
            if (full_flag(static_cast<kind>(i)))
                return false;  // requested again meanwhile: the pass goes on
        m_update_all_flag = false;
    }
    try {
        m_context->updated(true);
        if (m_fencing > 0)
            m_context->redis_context().command("SET", redis::lease::s_mirror_key,
                                               std::to_string(m_fencing) + " " + m_holder);
        m_logger.debug("Mirror complete; %1% Redis round trips by the updater so far") %
            m_context->redis_context().round_trips();
    } catch (...) {
        libs::core::mutex_lock lock(m_waiting_mutex);
        m_update_all_flag = true;
        throw;
    }
    return true;
}

// ---- the mirror's watch ------------------------------------------------------------------

std::string updater::redis_run_id() {
    const std::string info = m_context->redis_context().command("INFO", "server").to_string();
    static const std::string s_field = "run_id:";
    const auto at = info.find(s_field);
    if (at == std::string::npos)
        return {};
    const auto begin = at + s_field.size();
    return info.substr(begin, info.find_first_of("\r\n", begin) - begin);
}

bool updater::mirror_intact() {
    const std::string run_id = redis_run_id();
    if (run_id != m_redis_run_id) {
        m_logger.warning("Redis server restarted (run id %1%, was %2%): the mirror is filled again from the platform") %
            run_id % m_redis_run_id;
        m_redis_run_id = run_id;
        return false;
    }
    if (m_context->name() != module_name) {
        m_logger.warning("Redis lost the mirror (key \"name\" is gone): it is filled again from the platform");
        return false;
    }
    return true;
}

void updater::refill_mirror() {
    libs::core::mutex_lock updated_lock(m_updated_mutex);
    {
        libs::core::mutex_lock lock(m_waiting_mutex);
        m_update_all_flag = true;
        for (std::size_t i = 0; i < kind_count; ++i)
            full_flag(static_cast<kind>(i)) = true;
    }
    // Records still in Redis (a restart that kept its data) are refreshed in place and
    // those the platform no longer lists removed, as in every full refresh; the device
    // records are kept.
    m_context->updated(false);
    m_context->name(module_name);
}

// ---- the thread --------------------------------------------------------------------------

void updater::lease_term(std::int64_t _fencing, std::string _instance_name, std::string _holder) {
    m_fencing = _fencing;
    m_instance_name = std::move(_instance_name);
    m_holder = std::move(_holder);
}

bool updater::mirror_kept_from_last_term(vyr::context::context& _context) const {
    if (m_fencing <= 1 || !_context.updated() || _context.name() != module_name)
        return false;
    const auto mark = context::common::text_of(_context.redis_context().command("GET", redis::lease::s_mirror_key));
    const std::string expected = std::to_string(m_fencing - 1) + " ";
    if (!mark || mark->compare(0, expected.size(), expected) != 0)
        return false;
    const std::string holder = mark->substr(expected.size());
    return holder == m_holder || holder.substr(0, holder.rfind('/')) != m_instance_name;
}

void updater::start() {
    {
        // Before any other worker starts: a "true" left by the previous run would let
        // delivery read the old mirror (and write device records) before the flush.
        libs::core::mutex_lock updated_lock(m_updated_mutex);
        request_write([this](vyr::context::context& _context) {
            m_keep_mirror = mirror_kept_from_last_term(_context);
            _context.updated(false);
        });
    }
    m_worker.start({[this] { return open(); }, [this] { return pass(); }, [this] { return pause_after_failure(); }});
}

bool updater::open() {
    m_context = std::make_unique<vyr::context::context>(vyr::redis::service_database, m_redis_address, m_redis_port);
    m_redis_run_id = redis_run_id();
    if (m_keep_mirror) {
        // Taken over from another instance whose mirror was complete: the device records
        // and what they say was delivered stay; the project is read again over it.
        m_logger.info("mirror of lease term %1% kept: refreshed in place") % (m_fencing - 1);
        refill_mirror();
    } else {
        m_context->flush();
        m_context->name(module_name);
    }
    m_mirror_emptied = true;
    m_next_watch = std::chrono::steady_clock::now() + s_watch_period;
    return true;
}

bool updater::pass() {
    job next;
    bool watch = false;
    {
        // The watch is due once a second, also between the jobs of a long pass or of a
        // retried failure, so a restart of Redis is never missed for long.
        libs::core::mutex_lock lock(m_waiting_mutex);
        for (;;) {
            if (m_completion_flag)
                return false;
            if (std::chrono::steady_clock::now() >= m_next_watch) {
                watch = true;
                break;
            }
            if ((next = take_job()).what != job::type::none)
                break;
            m_waiting_variable.wait_until(m_waiting_mutex, m_next_watch);
        }
    }
    if (watch) {
        m_next_watch = std::chrono::steady_clock::now() + s_watch_period;
        if (!mirror_intact())
            refill_mirror();
    } else {
        run_job(next);
    }
    return true;
}

bool updater::pause_after_failure() {
    // The failed work is pending again; pause, awake to a stop but not to requests.
    const auto resume = std::chrono::steady_clock::now() + s_retry_pause;
    libs::core::mutex_lock lock(m_waiting_mutex);
    while (!m_completion_flag)
        if (m_waiting_variable.wait_until(m_waiting_mutex, resume) == std::cv_status::timeout)
            break;
    return !m_completion_flag;
}

}  // namespace vyr
