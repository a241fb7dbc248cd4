// The updater's work on each kind of project object: the full refresh of a kind and the
// refresh of one object, from the platform's answer into the mirror, with the window that
// keeps events newer than the answer (mirror::events). How a decoded thing is written is
// updater_writes.h's, shared with the receiver's events. Part of vyr::updater; run on its
// thread only.
#include <chrono>
#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "common/globals.h"
#include "common/helpers.h"
#include "context/common.h"
#include "context/context.h"
#include "platform/decoders.h"
#include "platform/updater.h"
#include "platform/updater_writes.h"
#include "platform/vyrserver.h"
#include "redis/connection.h"
#include "redis/pipeline.h"

namespace vyr {

using namespace mirror;

namespace {

// Objects a full refresh writes between two looks for a stop (and, for the kinds written
// in pipelines, in one pipeline).
constexpr std::size_t s_chunk_objects = 256;

std::int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Decoded answers are written into their records by the updater's writes (updater_writes.h),
// which the receiver's events use too.
using mirror::apply;

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
    for (const auto& entry : _answer) {
        if (++written % s_chunk_objects == 0)
            _check_stop();
        _events.answer(_kind, entry.first, [&] {
            auto record = _open(entry.first);
            apply(record, entry.second);
        });
    }
    remove_unlisted(_events, _kind, _answer, _undecoded, _recorded, _open);
}

// Writes the objects of `_entries` (uid -> value) in pipelined chunks: per chunk one round
// trip sends what `_read(reads, uid)` adds for each object, and one sends what
// `_write(writes, entry, reply)` adds for each (true when it wrote the object, whose change
// is then recorded), with the mirror version raised once for the chunk. An object an event
// wrote since the request went (or, when the read tells of it, since its reply was read)
// is left as the event wrote it. A stop is looked for between chunks.
template <class Record, class Map, class Read, class Write, class Stop>
void write_in_chunks(mirror::events& _events, kind _kind, redis::connection& _redis, const Map& _entries, Read _read,
                     Write _write, Stop _check_stop) {
    for (auto next = _entries.begin(); next != _entries.end();) {
        _check_stop();
        const auto first = next;
        redis::batch reads;
        for (; next != _entries.end() && reads.size() < s_chunk_objects; ++next)
            _read(reads, next->first);
        const auto replies = vyr::redis::pipeline(_redis, std::move(reads)).exec();
        _events.answers(_kind, [&](const auto& _written_by_event) {
            redis::batch writes;
            std::vector<std::string> written;
            std::size_t i = 0;
            for (auto entry = first; entry != next; ++entry, ++i)
                if (!_written_by_event(entry->first) && _write(writes, *entry, replies[i]))
                    written.push_back(Record::keys::change(entry->first));
            context::common::send_record_writes(_redis, std::move(writes), "mirror write", written);
        });
    }
}

// refresh_all for the kinds whose records index their MAC (anchors, trackable objects):
// per chunk the stored MACs are read, and each object is written in its own MULTI/EXEC so
// that no reader sees one half written.
template <class Map, class Open, class Stop>
void refresh_all_pipelined(mirror::events& _events, kind _kind, redis::connection& _redis, const Map& _answer,
                           const vyrserver::undecoded& _undecoded, const std::vector<std::string>& _recorded,
                           Open _open, Stop _check_stop) {
    using record_type = decltype(_open(std::string()));
    write_in_chunks<record_type>(
        _events, _kind, _redis, _answer,
        [](redis::batch& _reads, const std::string& _uid) {
            _reads.add("HGET", record_type::keys::fields(_uid), record_type::s_mac_addr);
        },
        [&](redis::batch& _writes, const auto& _object, const redis::reply_element& _mac) {
            auto record = _open(_object.first);
            record.write_into(_writes, _mac.is_string() ? _mac.to_string() : std::string());
            apply(record, _object.second);
            return true;
        },
        _check_stop);
    remove_unlisted(_events, _kind, _answer, _undecoded, _recorded, _open);
}

// Licences or vehicle models of the trackable objects of `_entries` (uid -> value), written
// by `_write_into(batch, uid, value)` into the objects that exist, each in its own
// MULTI/EXEC.
template <class Map, class WriteInto, class Stop>
void write_object_extras(mirror::events& _events, kind _kind, redis::connection& _redis, const Map& _entries,
                         WriteInto _write_into, Stop _check_stop) {
    using context::track_obj;
    write_in_chunks<track_obj>(
        _events, _kind, _redis, _entries,
        [](redis::batch& _reads, const std::string& _uid) { _reads.add("EXISTS", track_obj::keys::fields(_uid)); },
        [&](redis::batch& _writes, const auto& _entry, const redis::reply_element& _exists) {
            if (_exists.get_type() != redis::reply_type::INTEGER || _exists.to_integer() != 1)
                return false;
            redis::batch one;
            _write_into(one, _entry.first, _entry.second);
            context::common::add_transaction(_writes, one);
            return true;
        },
        _check_stop);
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

}  // namespace

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
        m_context->vehicle_certification(false);
        return;
    }
    m_context->vehicle_certification(true);
    if (!_obj_uid.empty()) {
        licences->try_emplace(_obj_uid);
        models->try_emplace(_obj_uid, 0);
    }
    const auto stop = [this] { check_stop(); };
    write_object_extras(
        m_events, licenses, m_context->redis_context(), *licences,
        [&](redis::batch& _writes, const std::string& _uid, const std::set<std::uint32_t>& _required) {
            context::track_obj::driver_licenses_into(_writes, _uid,
                                                     _required.empty() && _uid == _obj_uid ? nullptr : &_required);
        },
        stop);
    write_object_extras(
        m_events, certifications, m_context->redis_context(), *models,
        [](redis::batch& _writes, const std::string& _uid, std::uint32_t _model) {
            context::track_obj::vehicle_model_into(_writes, _uid, _model);
        },
        stop);
    read_again(licenses);
    read_again(certifications);
}

void updater::read_again(kind _kind) {
    // Licences and certifications are read again with their object.
    const kind refreshed = _kind == licenses || _kind == certifications ? track_objs : _kind;
    for (const auto& uid : m_events.answered(_kind)) {
        m_logger.debug("%1% \"%2%\" was written by an event while the platform answered: read again") %
            mirror::name(refreshed) % uid;
        request(refreshed, uid);
    }
}

template <class Read, class Recorded, class Open>
void updater::refresh_kind(kind _kind, Read _read, Recorded _recorded, Open _open) {
    vyrserver::undecoded bad;
    m_events.request_sent(_kind);
    const auto answer = _read(&bad);
    refresh_all(m_events, _kind, answer, bad, _recorded(), _open, [this] { check_stop(); });
    read_again(_kind);
}

void updater::update_groups() {
    refresh_kind(
        groups, [this](vyrserver::undecoded* _bad) { return m_server->get_groups("", "", _bad); },
        [this] { return m_context->get_groups(); },
        [this](const std::string& _uid) { return m_context->get_group(_uid); });
}

void updater::update_zones() {
    refresh_kind(
        zones, [this](vyrserver::undecoded* _bad) { return m_server->get_zones("", "", _bad); },
        [this] { return m_context->get_zones(); },
        [this](const std::string& _uid) { return m_context->get_zone(_uid); });
}

void updater::update_sublocations() {
    refresh_kind(
        sublocations, [this](vyrserver::undecoded* _bad) { return m_server->get_sublocations("", "", _bad); },
        [this] { return m_context->get_sublocations(); },
        [this](const std::string& _uid) { return m_context->get_sublocation(_uid); });
}

void updater::update_tdoa_schedules() {
    refresh_kind(
        tdoa_schedules, [this](vyrserver::undecoded* _bad) { return m_server->get_tdoa_schedules("", _bad); },
        [this] { return m_context->get_tdoa_schedules(); },
        [this](const std::string& _uid) { return m_context->get_tdoa_schedule(_uid); });
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
        vyr::redis::pipeline(m_context->redis_context(), std::move(writes)).exec();
}

// ---- single objects ----------------------------------------------------------------------

void updater::update_one(kind _kind, const std::string& _uid) {
    vyrserver::undecoded bad;
    m_events.request_sent(_kind, _uid);
    // The answer into the record of the requested uid, whatever key the answer uses.
    const auto write = [&](const auto& _answer, auto _record) {
        refresh_one(m_events, _kind, _answer, bad, std::move(_record));
    };
    switch (_kind) {
        case anchors: write(m_server->get_anchors(_uid, "", &bad), m_context->get_anchor(_uid)); break;
        case track_objs: write(m_server->get_track_objs(_uid, "", &bad), m_context->get_track_obj(_uid)); break;
        case groups: write(m_server->get_groups(_uid, "", &bad), m_context->get_group(_uid)); break;
        case zones: write(m_server->get_zones(_uid, "", &bad), m_context->get_zone(_uid)); break;
        case sublocations: write(m_server->get_sublocations(_uid, "", &bad), m_context->get_sublocation(_uid)); break;
        case tdoa_schedules:
            write(m_server->get_tdoa_schedules(_uid, &bad), m_context->get_tdoa_schedule(_uid));
            break;
        case tdoa_settings:
            // An answer that could not be read changes nothing.
            if (const auto settings = m_server->get_tdoa_settings(_uid, &bad))
                write(*settings, m_context->get_tdoa_setting(_uid));
            break;
        case alarms: {
            // A non-empty answer whose first alarm names no object changes nothing (see apply).
            const auto asked = now_ms();
            const auto answer = m_server->get_alarms(_uid, &bad);
            write(answer, m_context->get_alarm(_uid));
            note_buttons_seen(answer, asked);
            break;
        }
        case kind_count:  // licences and certifications go with the trackable objects
        case certifications:
        case event_kind_count: break;
    }
    read_again(_kind);
    if (_kind == track_objs)
        update_licenses_and_certifications(_uid);
}

}  // namespace vyr
