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
#include "redis/context.h"
#include "redis/database.h"

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
// Objects a full refresh writes between two looks for a stop (and, for the kinds written
// in pipelines, in one pipeline).
constexpr std::size_t s_chunk_objects = 256;
// How often an idle thread checks that Redis still holds the mirror.
constexpr auto s_watch_period = std::chrono::seconds(1);

std::int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// ---- applying decoded server records to Redis records ------------------------------------

using vyrserver::apply;

void apply(context::tdoa_setting& _record, const Json::Value& _settings) { _record.update(_settings); }

// A full refresh of one kind: every object of the answer is written (ascending uid, the
// map's order), with a look for a stop every so many objects; every recorded uid the
// answer no longer holds is removed, except those whose element did not decode (kept as
// they are stored), and none at all when an element had no readable uid. An object an
// event wrote since the request went is left as the event wrote it (see mirror::events).
template <class Map, class Open>
void remove_unlisted(mirror::events& _events, kind _kind, const Map& _answer, const vyrserver::undecoded& _undecoded,
                     const std::vector<std::string>& _recorded, Open _open) {
    if (_undecoded.unnamed)
        return;
    for (const auto& uid : _recorded)
        if (_answer.count(uid) == 0 && _undecoded.uids.count(uid) == 0)
            _events.answer(_kind, uid, [&] { _open(uid).remove(); });
}

template <class Map, class Open, class Stop>
void refresh_all(mirror::events& _events, kind _kind, const Map& _answer, const vyrserver::undecoded& _undecoded,
                 const std::vector<std::string>& _recorded, Open _open, Stop _check_stop) {
    std::size_t written = 0;
    for (const auto& [uid, object] : _answer) {
        if (++written % s_chunk_objects == 0)
            _check_stop();
        _events.answer(_kind, uid, [&, &object = object] {
            auto record = _open(uid);
            apply(record, object);
        });
    }
    remove_unlisted(_events, _kind, _answer, _undecoded, _recorded, _open);
}

// refresh_all for the kinds whose records index their MAC (anchors, trackable objects),
// in pipelined chunks: per chunk one round trip reads the stored MACs and one sends every
// write, each object in its own MULTI/EXEC so that no reader sees one half written. A
// stop is looked for between chunks.
template <class Map, class Open, class Stop>
void refresh_all_pipelined(mirror::events& _events, kind _kind, redis::context& _redis, const Map& _answer,
                           const vyrserver::undecoded& _undecoded, const std::vector<std::string>& _recorded,
                           Open _open, Stop _check_stop) {
    using record_type = decltype(_open(std::string()));
    for (auto next = _answer.begin(); next != _answer.end();) {
        _check_stop();
        const auto first = next;
        redis::batch reads;
        for (; next != _answer.end() && reads.size() < s_chunk_objects; ++next)
            reads.add("HGET", record_type::keys::fields(next->first), record_type::s_mac_addr);
        const auto macs = _redis.pipeline(reads);
        // An event that changes an object after its MAC was read here has it left out.
        _events.answers(_kind, [&](const auto& _written_by_event) {
            redis::batch writes;
            std::size_t i = 0;
            for (auto object = first; object != next; ++object, ++i) {
                if (_written_by_event(object->first))
                    continue;
                auto record = _open(object->first);
                record.write_into(writes, macs[i].is_string() ? macs[i].to_string() : std::string());
                apply(record, object->second);
            }
            if (!writes.empty())
                context::common::check_no_error(_redis.pipeline(writes), "mirror write");
        });
    }
    remove_unlisted(_events, _kind, _answer, _undecoded, _recorded, _open);
}

// A single-object refresh: the first object of the answer is written into the record
// of the requested uid; an empty answer (or a 404) removes the record when it exists,
// unless an element was there that did not decode. Nothing when an event wrote the
// object since the request went.
template <class Map, class Record>
void refresh_one(mirror::events& _events, kind _kind, const Map& _answer, const vyrserver::undecoded& _undecoded,
                 Record _record) {
    _events.answer(_kind, _record.uid(), [&] {
        if (!_answer.empty())
            apply(_record, _answer.begin()->second);
        else if (_undecoded.uids.empty() && !_undecoded.unnamed && _record.exists())
            _record.remove();
    });
}

const char* const s_kind_names[] = {"anchor",        "trackable object", "group",        "zone",
                                    "sublocation",   "TDOA schedule",    "TDOA setting", "alarm"};

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
            s_kind_names[_kind];
}

void updater::retry_later(const job& _job, const char* _reason) {
    const unsigned failures = _job.failures + 1;
    const auto back_off = std::min<clock::duration>(s_first_back_off * (1u << std::min(failures - 1, 6u)),
                                                   s_longest_back_off);
    m_logger.warning("Refresh of %1% \"%2%\" failed (%3%): retried in %4% s, after the others") %
        s_kind_names[_job.which] % _job.uid % _reason %
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

void updater::update_anchor_req(const std::string& _uid) { request(anchors, _uid); }
void updater::update_track_obj_req(const std::string& _uid) { request(track_objs, _uid); }
void updater::update_group_req(const std::string& _uid) { request(groups, _uid); }
void updater::update_zone_req(const std::string& _uid) { request(zones, _uid); }
void updater::update_sublocation_req(const std::string& _uid) { request(sublocations, _uid); }
void updater::update_tdoa_setting_req(const std::string& _uid) { request(tdoa_settings, _uid); }
void updater::update_alarm_req(const std::string& _uid) { request(alarms, _uid); }
void updater::update_tdoa_schedule_req(const std::string& _uid) { request(tdoa_schedules, _uid); }

updater::job updater::take_job() {
    job j;
    for (std::size_t i = 0; i < kind_count; ++i) {
        const auto k = static_cast<kind>(i);
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

void updater::start() {
    {
        // Before any other worker starts: a "true" left by the previous run would let
        // delivery read the old mirror (and write device records) before the flush.
        libs::core::mutex_lock updated_lock(m_updated_mutex);
        request_write([](vyr::context::context& _context) { _context.updated(false); });
    }
    m_worker.start({[this] { return open(); }, [this] { return pass(); }, [this] { return pause_after_failure(); }});
}

bool updater::open() {
    m_context = std::make_unique<vyr::context::context>(vyr::redis::service_database, m_redis_address, m_redis_port);
    m_redis_run_id = redis_run_id();
    m_context->flush();
    m_context->name(module_name);
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

// ---- full refreshes ----------------------------------------------------------------------

void updater::update_all(kind _kind) {
    switch (_kind) {
        case anchors: update_anchors(); break;
        case track_objs: update_track_objs(); break;
        case groups: update_groups(); break;
        case zones: update_zones(); break;
        case sublocations: update_sublocations(); break;
        case tdoa_schedules: update_tdoa_schedules(); break;
        case tdoa_settings: update_tdoa_settings(); break;
        case alarms: update_alarms(); break;
        case kind_count:  // licences and certifications go with the trackable objects
        case certifications:
        case event_kind_count: break;
    }
}

void updater::update_anchors() {
    vyrserver::undecoded bad;
    m_events.request_sent(anchors);
    const auto answer = m_server->get_anchors("", "", &bad);
    refresh_all_pipelined(m_events, anchors, m_context->redis_context(), answer, bad, m_context->get_anchors(),
                          [this](const std::string& _uid) { return m_context->get_anchor(_uid); },
                          [this] { check_stop(); });
    read_again(anchors);
}

void updater::update_track_objs() {
    {
        vyrserver::undecoded bad;
        m_events.request_sent(track_objs);
        const auto answer = m_server->get_track_objs("", "", &bad);
        refresh_all_pipelined(m_events, track_objs, m_context->redis_context(), answer, bad,
                              m_context->get_track_objs(),
                              [this](const std::string& _uid) { return m_context->get_track_obj(_uid); },
                              [this] { check_stop(); });
    }
    read_again(track_objs);
    update_licenses_and_certifications("");
}

// Optional endpoints: 401 or 404 means the platform has no such data (the switch goes
// off); any other failure keeps what is stored and the switch as it is, and holds up
// neither the pass nor "updated". Asked for one object, an object the answer leaves out
// has no licence and no certification required.
void updater::update_licenses_and_certifications(const std::string& _obj_uid) {
    check_stop();
    std::optional<std::map<std::string, std::set<std::uint32_t>>> licences;
    std::optional<std::map<std::string, std::uint32_t>> models;
    try {
        m_events.request_sent(licenses, _obj_uid);
        m_events.request_sent(certifications, _obj_uid);
        licences = m_server->get_driver_licenses(_obj_uid);
        check_stop();
        models = m_server->get_vehicle_certifications(_obj_uid);
    } catch (const std::exception& e) {
        m_logger.warning("Driver licences and vehicle certifications not read (%1%): the stored ones are kept") %
            e.what();
        return;
    }
    if (!licences || !models) {
        vehicle_certification = false;
        return;
    }
    vehicle_certification = true;
    if (!_obj_uid.empty()) {
        licences->try_emplace(_obj_uid);
        models->try_emplace(_obj_uid, 0);
    }
    for (const auto& [obj_uid, ids] : *licences)
        m_events.answer(licenses, obj_uid, [&, &ids = ids] {
            auto record = m_context->get_track_obj(obj_uid);
            if (ids.empty() && obj_uid == _obj_uid)
                record.remove_driver_licenses();
            else
                record.update_driver_licenses(ids);
        });
    for (const auto& [obj_uid, id] : *models)
        m_events.answer(certifications, obj_uid,
                        [&, id = id] { m_context->get_track_obj(obj_uid).update_vehicle_model(id); });
    read_again(licenses);
    read_again(certifications);
}

void updater::read_again(kind _kind) {
    // Licences and certifications are read again with their object.
    const kind refreshed = _kind == licenses || _kind == certifications ? track_objs : _kind;
    for (const auto& uid : m_events.answered(_kind)) {
        m_logger.debug("%1% \"%2%\" was written by an event while the platform answered: read again") %
            s_kind_names[refreshed] % uid;
        request(refreshed, uid);
    }
}

void updater::update_groups() {
    vyrserver::undecoded bad;
    m_events.request_sent(groups);
    const auto answer = m_server->get_groups("", "", &bad);
    refresh_all(m_events, groups, answer, bad, m_context->get_groups(),
                [this](const std::string& _uid) { return m_context->get_group(_uid); }, [this] { check_stop(); });
    read_again(groups);
}

void updater::update_zones() {
    vyrserver::undecoded bad;
    m_events.request_sent(zones);
    const auto answer = m_server->get_zones("", "", &bad);
    refresh_all(m_events, zones, answer, bad, m_context->get_zones(),
                [this](const std::string& _uid) { return m_context->get_zone(_uid); }, [this] { check_stop(); });
    read_again(zones);
}

void updater::update_sublocations() {
    vyrserver::undecoded bad;
    m_events.request_sent(sublocations);
    const auto answer = m_server->get_sublocations("", "", &bad);
    refresh_all(m_events, sublocations, answer, bad, m_context->get_sublocations(),
                [this](const std::string& _uid) { return m_context->get_sublocation(_uid); }, [this] { check_stop(); });
    read_again(sublocations);
}

void updater::update_tdoa_schedules() {
    vyrserver::undecoded bad;
    m_events.request_sent(tdoa_schedules);
    const auto answer = m_server->get_tdoa_schedules("", &bad);
    refresh_all(m_events, tdoa_schedules, answer, bad, m_context->get_tdoa_schedules(),
                [this](const std::string& _uid) { return m_context->get_tdoa_schedule(_uid); },
                [this] { check_stop(); });
    read_again(tdoa_schedules);
}

// An answer that could not be read says nothing about which settings exist: nothing
// is written and nothing removed.
void updater::update_tdoa_settings() {
    vyrserver::undecoded bad;
    m_events.request_sent(tdoa_settings);
    const auto settings = m_server->get_tdoa_settings("", &bad);
    if (settings)
        refresh_all(m_events, tdoa_settings, *settings, bad, m_context->get_tdoa_settings(),
                    [this](const std::string& _uid) { return m_context->get_tdoa_setting(_uid); },
                    [this] { check_stop(); });
    read_again(tdoa_settings);
}

// Alarms without an object are neither written nor removed (see apply).
void updater::update_alarms() {
    vyrserver::undecoded bad;
    const auto asked = now_ms();
    const auto asked_steady = steady_ms();
    m_events.request_sent(alarms);
    const auto answer = m_server->get_alarms("", &bad);
    refresh_all(m_events, alarms, answer, bad, m_context->get_alarms(),
                [this](const std::string& _uid) { return m_context->get_alarm(_uid); }, [this] { check_stop(); });
    note_buttons_seen(answer, asked);
    m_alarm_list_asked_ms = asked_steady;
    read_again(alarms);
}

bool updater::alarm_list_older_than(std::chrono::milliseconds _age) const {
    const auto asked = m_alarm_list_asked_ms.load();
    return asked < 0 || steady_ms() - asked > _age.count();
}

void updater::note_buttons_seen(const std::map<std::string, vyrserver::alarm>& _answer, std::int64_t _asked_ms) {
    redis::batch writes;
    for (const auto& [uid, alarm] : _answer)
        if (alarm.alarm_name == context::s_emergency_button && !alarm.obj_uid.empty())
            context::note_button_seen(writes, alarm.obj_uid, _asked_ms);
    if (!writes.empty())
        m_context->redis_context().pipeline(writes);
}

// ---- single objects ----------------------------------------------------------------------

void updater::update_one(kind _kind, const std::string& _uid) {
    switch (_kind) {
        case anchors: update_anchor(_uid); break;
        case track_objs: update_track_obj(_uid); break;
        case groups: update_group(_uid); break;
        case zones: update_zone(_uid); break;
        case sublocations: update_sublocation(_uid); break;
        case tdoa_schedules: update_tdoa_schedule(_uid); break;
        case tdoa_settings: update_tdoa_setting(_uid); break;
        case alarms: update_alarm(_uid); break;
        case kind_count:  // licences and certifications go with the trackable objects
        case certifications:
        case event_kind_count: break;
    }
}

void updater::update_anchor(const std::string& _uid) {
    vyrserver::undecoded bad;
    m_events.request_sent(anchors, _uid);
    const auto answer = m_server->get_anchors(_uid, "", &bad);
    refresh_one(m_events, anchors, answer, bad, m_context->get_anchor(_uid));
    read_again(anchors);
}

void updater::update_track_obj(const std::string& _uid) {
    vyrserver::undecoded bad;
    m_events.request_sent(track_objs, _uid);
    const auto answer = m_server->get_track_objs(_uid, "", &bad);
    refresh_one(m_events, track_objs, answer, bad, m_context->get_track_obj(_uid));
    read_again(track_objs);
    update_licenses_and_certifications(_uid);
}

void updater::update_group(const std::string& _uid) {
    vyrserver::undecoded bad;
    m_events.request_sent(groups, _uid);
    const auto answer = m_server->get_groups(_uid, "", &bad);
    refresh_one(m_events, groups, answer, bad, m_context->get_group(_uid));
    read_again(groups);
}

void updater::update_zone(const std::string& _uid) {
    vyrserver::undecoded bad;
    m_events.request_sent(zones, _uid);
    const auto answer = m_server->get_zones(_uid, "", &bad);
    refresh_one(m_events, zones, answer, bad, m_context->get_zone(_uid));
    read_again(zones);
}

void updater::update_sublocation(const std::string& _uid) {
    vyrserver::undecoded bad;
    m_events.request_sent(sublocations, _uid);
    const auto answer = m_server->get_sublocations(_uid, "", &bad);
    refresh_one(m_events, sublocations, answer, bad, m_context->get_sublocation(_uid));
    read_again(sublocations);
}

void updater::update_tdoa_schedule(const std::string& _uid) {
    vyrserver::undecoded bad;
    m_events.request_sent(tdoa_schedules, _uid);
    const auto answer = m_server->get_tdoa_schedules(_uid, &bad);
    refresh_one(m_events, tdoa_schedules, answer, bad, m_context->get_tdoa_schedule(_uid));
    read_again(tdoa_schedules);
}

void updater::update_tdoa_setting(const std::string& _uid) {
    vyrserver::undecoded bad;
    m_events.request_sent(tdoa_settings, _uid);
    const auto settings = m_server->get_tdoa_settings(_uid, &bad);
    if (settings)
        refresh_one(m_events, tdoa_settings, *settings, bad, m_context->get_tdoa_setting(_uid));
    read_again(tdoa_settings);
}

// A non-empty answer whose first alarm names no object changes nothing.
void updater::update_alarm(const std::string& _uid) {
    vyrserver::undecoded bad;
    const auto asked = now_ms();
    m_events.request_sent(alarms, _uid);
    const auto answer = m_server->get_alarms(_uid, &bad);
    refresh_one(m_events, alarms, answer, bad, m_context->get_alarm(_uid));
    note_buttons_seen(answer, asked);
    read_again(alarms);
}

}  // namespace vyr
