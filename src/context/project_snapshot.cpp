#include "context/project_snapshot.h"

#include <optional>
#include <stdexcept>
#include <utility>

#include "context/context.h"
#include "redis/connection.h"
#include "redis/pipeline.h"

namespace vyr::context {

namespace {

// Commands per round trip: a site of 50,000 devices reads some 400,000 keys, and one
// pipeline of them all would hold every reply in memory at once, twice.
constexpr std::size_t s_pipeline_cap = 10000;

// Reads sent in pipelines of at most s_pipeline_cap commands, their replies kept in order.
class chunked_reads {
public:
    template <class... Args>
    void add(const Args&... _args) {
        if (m_batches.empty() || m_batches.back().size() == s_pipeline_cap)
            m_batches.emplace_back();
        m_batches.back().add(_args...);
    }
    // Sends every pipeline and keeps the replies; the cursor starts at the first one.
    void send(redis::connection& _redis) {
        for (auto& batch : m_batches)
            for (auto& reply : vyr::redis::pipeline(_redis, std::move(batch)).exec_reads())
                m_replies.push_back(std::move(reply));
        m_batches.clear();
    }
    // The next reply. An error reply (a key of another type than the record's) reads as
    // nothing and is noted: check() then throws bad_data, which makes its record
    // unreadable (once all of the record's replies were taken, so the next record's are
    // where they belong).
    const redis::reply& next() {
        const auto& reply = m_replies.at(m_at++);
        if (reply.get_type() == redis::reply_type::ERROR && !m_failure)
            m_failure = reply.to_string();
        return reply;
    }
    void check() {
        if (auto failure = std::exchange(m_failure, std::nullopt))
            throw bad_data("a key of the record holds another type: " + *failure, VYR_HERE);
    }

private:
    std::vector<redis::batch> m_batches;
    std::vector<redis::reply> m_replies;
    std::size_t m_at = 0;
    std::optional<std::string> m_failure;
};

// Calls `_decode(uid)` for each uid; a uid whose decode finds a mandatory field missing,
// a number that is none or a key of another type (not_found, bad_data) is listed
// unreadable. Each decode takes all of its record's replies before it may throw.
template <class Decode>
void decode_each(const std::vector<std::string>& _uids, std::vector<std::string>& _unreadable, Decode _decode) {
    for (const auto& uid : _uids) {
        try {
            _decode(uid);
        } catch (const not_found&) {
            _unreadable.push_back(uid);
        } catch (const bad_data&) {
            _unreadable.push_back(uid);
        }
    }
}

// The stored mirror version; 0 when there is none (or it is no number, which no raise
// leaves behind).
std::uint64_t version_of(const redis::reply_element& _reply) {
    const auto version = common::to_int64(common::text_of(_reply));
    return version && *version > 0 ? static_cast<std::uint64_t>(*version) : 0;
}

// Every uid set, the MAC indexes, the WINs and the flags: round 1.
struct listing {
    std::vector<std::string> anchors, track_objs, groups, zones, sublocations, tdoa_settings, tdoa_schedules, alarms;
};

listing read_listing(redis::connection& _redis, project_snapshot& _snapshot) {
    chunked_reads reads;
    // The version first: a write landing during the read makes the snapshot look older.
    reads.add("GET", common::s_mirror_version);
    reads.add("GET", context::s_updated);
    reads.add("GET", context::s_vehicle_certification);
    reads.add("GET", context::s_alarms_refresh);
    for (const auto& set : {anchor::keys::set(), track_obj::keys::set(), group::keys::set(), zone::keys::set(),
                            sublocation::keys::set(), tdoa_setting::keys::set(), tdoa_schedule::keys::set(),
                            alarm::keys::set(), win::keys::set()})
        reads.add("SMEMBERS", set);
    reads.add("HGETALL", anchor::keys::mac_addr());
    reads.add("HGETALL", track_obj::keys::mac_addr());
    reads.send(_redis);

    _snapshot.version = version_of(reads.next());
    _snapshot.updated = common::is_true(common::text_of(reads.next()));
    _snapshot.vehicle_certification = common::is_true(common::text_of(reads.next()));
    _snapshot.alarms_refresh = context::refresh_state_of(common::text_of(reads.next()));
    listing uids;
    for (auto* list : {&uids.anchors, &uids.track_objs, &uids.groups, &uids.zones, &uids.sublocations,
                       &uids.tdoa_settings, &uids.tdoa_schedules, &uids.alarms, &_snapshot.wins})
        *list = common::to_members(reads.next());
    for (auto* index : {&_snapshot.anchor_by_mac, &_snapshot.track_obj_by_mac})
        for (auto& [mac, uid] : common::to_hash(reads.next()))
            index->emplace(mac, std::move(uid));
    // A flag, kind set or index of another type is no project at all: nothing is judged
    // from it (a kind read as empty would clear every device of it).
    reads.check();
    return uids;
}

// Every record's keys: round 2, in the order decode_records takes the replies.
void add_record_reads(const listing& _uids, chunked_reads& _reads) {
    for (const auto& uid : _uids.anchors)
        _reads.add("HGETALL", anchor::keys::fields(uid));
    for (const auto& uid : _uids.track_objs) {
        _reads.add("HGETALL", track_obj::keys::fields(uid));
        _reads.add("SMEMBERS", track_obj::keys::groups(uid));
        _reads.add("SMEMBERS", track_obj::keys::t2t_no_alarm(uid));
        _reads.add("HGETALL", track_obj::keys::t2t_cfg(uid));
        _reads.add("SMEMBERS", track_obj::keys::driver_licenses(uid));
        _reads.add("SMEMBERS", alarm::keys::objects(uid));
        _reads.add("GET", alarm::keys::button_seen(uid));
    }
    for (const auto& uid : _uids.groups)
        _reads.add("HGETALL", group::keys::fields(uid));
    for (const auto& uid : _uids.zones)
        _reads.add("HGETALL", zone::keys::fields(uid));
    for (const auto& uid : _uids.sublocations)
        _reads.add("HGETALL", sublocation::keys::fields(uid));
    for (const auto& uid : _uids.tdoa_settings)
        _reads.add("GET", tdoa_setting::keys::uid(uid));
    for (const auto& uid : _uids.tdoa_schedules) {
        _reads.add("HGET", tdoa_schedule::keys::fields(uid), tdoa_schedule::s_tdoa_version);
        _reads.add("SMEMBERS", tdoa_schedule::keys::rows(uid));
    }
    for (const auto& uid : _uids.alarms) {
        _reads.add("HGETALL", alarm::keys::fields(uid));
        _reads.add("HGET", alarm::keys::data(uid), alarm::s_delivered);
    }
}

void decode_track_objs(const std::vector<std::string>& _uids, chunked_reads& _reads, project_snapshot& _snapshot) {
    decode_each(_uids, _snapshot.unreadable, [&](const std::string& _uid) {
        const auto fields = common::to_hash(_reads.next());
        auto groups = common::to_members(_reads.next());
        auto no_alarm = common::to_members(_reads.next());
        const auto t2t_cfg = common::to_hash(_reads.next());
        const auto licences = common::to_members(_reads.next());
        auto listed = common::to_members(_reads.next());
        const auto seen = common::to_int64(common::text_of(_reads.next()));
        _reads.check();
        if (!listed.empty())
            _snapshot.alarms_of_object.emplace(_uid, std::move(listed));
        if (seen)
            _snapshot.buttons_seen.emplace(_uid, *seen);
        if (!fields.empty())
            _snapshot.track_objs.emplace(
                _uid, track_obj::decode(fields, std::move(groups), std::move(no_alarm), t2t_cfg, licences, _uid));
    });
}

// A record without its fields hash (removed between the two rounds) is left out.
void decode_records(const listing& _uids, chunked_reads& _reads, project_snapshot& _snapshot) {
    auto& unreadable = _snapshot.unreadable;
    decode_each(_uids.anchors, unreadable, [&](const std::string& _uid) {
        const auto fields = common::to_hash(_reads.next());
        _reads.check();
        if (!fields.empty())
            _snapshot.anchors.emplace(_uid, anchor::decode(fields, _uid));
    });
    decode_track_objs(_uids.track_objs, _reads, _snapshot);
    decode_each(_uids.groups, unreadable, [&](const std::string& _uid) {
        const auto fields = common::to_hash(_reads.next());
        _reads.check();
        if (!fields.empty())
            _snapshot.groups.emplace(_uid, group::decode(fields, _uid));
    });
    decode_each(_uids.zones, unreadable, [&](const std::string& _uid) {
        const auto fields = common::to_hash(_reads.next());
        _reads.check();
        if (!fields.empty())
            _snapshot.zones.emplace(_uid, zone::decode(fields, _uid));
    });
    decode_each(_uids.sublocations, unreadable, [&](const std::string& _uid) {
        const auto fields = common::to_hash(_reads.next());
        _reads.check();
        if (!fields.empty())
            _snapshot.sublocations.emplace(_uid, sublocation::decode(fields, _uid));
    });
    // A setting that cannot be read is a null document (no fields), as one not stored.
    for (const auto& uid : _uids.tdoa_settings) {
        _snapshot.tdoa_settings.emplace(uid, tdoa_setting::decode(common::text_of(_reads.next())).value_or(Json::Value()));
        try {
            _reads.check();
        } catch (const bad_data&) {
            _snapshot.unreadable.push_back(uid);
        }
    }
    decode_each(_uids.tdoa_schedules, unreadable, [&](const std::string& _uid) {
        const auto version = common::text_of(_reads.next());
        auto rows = common::to_members(_reads.next());
        _reads.check();
        if (auto schedule = tdoa_schedule::decode(version, std::move(rows), _uid))
            _snapshot.tdoa_schedules.emplace(_uid, std::move(*schedule));
    });
    decode_each(_uids.alarms, unreadable, [&](const std::string& _uid) {
        const auto fields = common::to_hash(_reads.next());
        const auto delivered = common::text_of(_reads.next());
        _reads.check();
        if (!fields.empty())
            _snapshot.alarms.emplace(_uid, alarm::decode(fields, delivered, _uid));
    });
}

}  // namespace

std::shared_ptr<const project_snapshot> read_project_snapshot(redis::connection& _redis_context) {
    auto snapshot = std::make_shared<project_snapshot>();
    const auto uids = read_listing(_redis_context, *snapshot);
    chunked_reads reads;
    add_record_reads(uids, reads);
    reads.send(_redis_context);
    decode_records(uids, reads, *snapshot);
    return snapshot;
}

std::uint64_t read_mirror_version(redis::connection& _redis_context) {
    return version_of(_redis_context.command("GET", common::s_mirror_version));
}

}  // namespace vyr::context
