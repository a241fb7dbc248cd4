#include "context/project_snapshot.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <stdexcept>
#include <unordered_set>
#include <utility>
#include <variant>

#include "context/context.h"
#include "context/mirror_changes.h"
#include "redis/connection.h"
#include "redis/pipeline.h"

namespace vyr::context {

namespace {

// Commands per round trip. Replies are decoded one pipeline at a time: a site of 50,000
// devices reads some 400,000 keys, most of them hashes of tens of fields, and holding
// every reply at once would take several times the memory of the decoded project.
constexpr std::size_t s_pipeline_cap = 1000;

// Reads sent in pipelines of about s_pipeline_cap commands, their replies taken in order.
// Only one pipeline's replies are held: the next one is sent when they are all taken, so
// a reply must be used before the next is asked for. The reads of a list of records are
// formatted as their pipeline is sent, not all of them up front.
class chunked_reads {
public:
    // Adds the reads of one record to a batch.
    using record_reads = std::function<void(redis::batch&, const std::string&)>;

    template <class... Args>
    void add(const Args&... _args) {
        last_batch().add(_args...);
    }
    // The reads of every record of `_uids` (which must outlive the replies' taking).
    void add_each(const std::vector<std::string>& _uids, record_reads _reads) {
        if (!_uids.empty())
            m_parts.push_back(each{&_uids, std::move(_reads), 0});
    }
    // Sends the first pipeline (the rest go as their replies are needed); the cursor
    // starts at its first reply.
    void send(redis::connection& _redis) {
        m_redis = &_redis;
        fetch();
    }
    // The next reply. An error reply (a key of another type than the record's) reads as
    // nothing and is noted: check() then throws bad_data, which makes its record
    // unreadable (once all of the record's replies were taken, so the next record's are
    // where they belong).
    const redis::reply& next() {
        if (m_at == m_replies.size())
            fetch();
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
    struct each {
        const std::vector<std::string>* uids;
        record_reads reads;
        std::size_t at;
    };
    redis::batch& last_batch() {
        if (m_parts.empty() || !std::holds_alternative<redis::batch>(m_parts.back()) ||
            std::get<redis::batch>(m_parts.back()).size() >= s_pipeline_cap)
            m_parts.emplace_back(redis::batch());
        return std::get<redis::batch>(m_parts.back());
    }
    // The next pipeline's replies in place of the last one's; none left leaves none (and
    // next() then throws).
    void fetch() {
        m_replies.clear();
        m_at = 0;
        if (m_next == m_parts.size() || !m_redis)
            return;
        redis::batch batch;
        while (batch.size() < s_pipeline_cap && m_next < m_parts.size()) {
            if (auto* ready = std::get_if<redis::batch>(&m_parts[m_next])) {
                for (auto& argv : ready->release())
                    batch.add_argv(std::move(argv));
                ++m_next;
                continue;
            }
            auto& records = std::get<each>(m_parts[m_next]);
            while (batch.size() < s_pipeline_cap && records.at < records.uids->size())
                records.reads(batch, (*records.uids)[records.at++]);
            if (records.at == records.uids->size())
                ++m_next;
        }
        m_replies = vyr::redis::pipeline(*m_redis, std::move(batch)).exec_reads();
    }

    redis::connection* m_redis = nullptr;
    std::vector<std::variant<redis::batch, each>> m_parts;
    std::size_t m_next = 0;
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

// Every uid set, the MAC indexes and the flags: round 1.
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
                            alarm::keys::set()})
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
                       &uids.tdoa_settings, &uids.tdoa_schedules, &uids.alarms})
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
    _reads.add_each(_uids.anchors, [](redis::batch& _b, const std::string& _uid) {
        _b.add("HGETALL", anchor::keys::fields(_uid));
    });
    _reads.add_each(_uids.track_objs, [](redis::batch& _b, const std::string& _uid) {
        _b.add("HGETALL", track_obj::keys::fields(_uid));
        _b.add("SMEMBERS", track_obj::keys::groups(_uid));
        _b.add("SMEMBERS", track_obj::keys::t2t_no_alarm(_uid));
        _b.add("HGETALL", track_obj::keys::t2t_cfg(_uid));
        _b.add("SMEMBERS", track_obj::keys::driver_licenses(_uid));
        _b.add("SMEMBERS", alarm::keys::objects(_uid));
        _b.add("GET", alarm::keys::button_seen(_uid));
    });
    _reads.add_each(_uids.groups, [](redis::batch& _b, const std::string& _uid) {
        _b.add("HGETALL", group::keys::fields(_uid));
    });
    _reads.add_each(_uids.zones, [](redis::batch& _b, const std::string& _uid) {
        _b.add("HGETALL", zone::keys::fields(_uid));
    });
    _reads.add_each(_uids.sublocations, [](redis::batch& _b, const std::string& _uid) {
        _b.add("HGETALL", sublocation::keys::fields(_uid));
    });
    _reads.add_each(_uids.tdoa_settings, [](redis::batch& _b, const std::string& _uid) {
        _b.add("GET", tdoa_setting::keys::uid(_uid));
    });
    _reads.add_each(_uids.tdoa_schedules, [](redis::batch& _b, const std::string& _uid) {
        _b.add("HGET", tdoa_schedule::keys::fields(_uid), tdoa_schedule::s_tdoa_version);
        _b.add("SMEMBERS", tdoa_schedule::keys::rows(_uid));
    });
    _reads.add_each(_uids.alarms, [](redis::batch& _b, const std::string& _uid) {
        _b.add("HGETALL", alarm::keys::fields(_uid));
        _b.add("HGET", alarm::keys::data(_uid), alarm::s_delivered);
    });
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


// The uid lists of a listing with the set of their kind, for the steps every kind shares.
struct kind_list {
    std::vector<std::string> listing::*uids;
    std::string set;
};

const std::vector<kind_list>& kind_lists() {
    static const std::vector<kind_list> s_kinds{
        {&listing::anchors, anchor::keys::set()},
        {&listing::track_objs, track_obj::keys::set()},
        {&listing::groups, group::keys::set()},
        {&listing::zones, zone::keys::set()},
        {&listing::sublocations, sublocation::keys::set()},
        {&listing::tdoa_settings, tdoa_setting::keys::set()},
        {&listing::tdoa_schedules, tdoa_schedule::keys::set()},
        {&listing::alarms, alarm::keys::set()}};
    return s_kinds;
}

// The uids of the records `_names` name, by kind; names of other kinds ("*") name none.
listing named_records(const std::vector<std::string>& _names) {
    static const std::pair<std::string_view, std::vector<std::string> listing::*> s_kinds[] = {
        {anchor_keys::s_kind, &listing::anchors},           {track_obj_keys::s_kind, &listing::track_objs},
        {group_keys::s_kind, &listing::groups},             {zone_keys::s_kind, &listing::zones},
        {sublocation_keys::s_kind, &listing::sublocations}, {tdoa_setting_keys::s_kind, &listing::tdoa_settings},
        {tdoa_schedule_keys::s_kind, &listing::tdoa_schedules}, {alarm_keys::s_kind, &listing::alarms}};
    listing uids;
    for (const auto& name : _names) {
        const auto colon = name.find(':');
        for (const auto& kind : s_kinds)
            if (colon != std::string::npos && std::string_view(name).substr(0, colon) == kind.first)
                (uids.*kind.second).push_back(name.substr(colon + 1));
    }
    return uids;
}

// The MACs a MAC index held or may hold for records `_uids`: each one's MAC in the snapshot
// (when the index gave it that record) and `_now` (as read from the records now). A
// record the snapshot does not hold has its old entries looked up in the index itself.
template <class Records>
std::vector<std::string> macs_to_read(const std::vector<std::string>& _uids, const Records& _records,
                                      const mac_index& _index,
                                      std::vector<std::string> _now) {
    std::unordered_set<std::string> unknown;
    for (const auto& uid : _uids) {
        const auto* record = project_snapshot::find(_records, uid);
        const auto entry = record ? _index.find(record->mac_addr) : _index.end();
        if (entry != _index.end() && entry->second == uid)
            _now.push_back(record->mac_addr);
        else if (!record)
            unknown.insert(uid);
    }
    if (!unknown.empty())
        for (const auto& entry : _index)
            if (unknown.count(entry.second) != 0)
                _now.push_back(entry.first);
    return _now;
}

// Round 1 of a patch: the flags, which named records their kind's set still lists (those
// returned) and the MACs the named anchors and objects hold now.
listing read_present(redis::connection& _redis, const listing& _named, project_snapshot& _snapshot,
                     std::vector<std::string>& _anchor_macs, std::vector<std::string>& _object_macs) {
    chunked_reads reads;
    reads.add("GET", context::s_updated);
    reads.add("GET", context::s_vehicle_certification);
    reads.add("GET", context::s_alarms_refresh);
    for (const auto& kind : kind_lists())
        reads.add_each(_named.*kind.uids, [&kind](redis::batch& _b, const std::string& _uid) {
            _b.add("SISMEMBER", kind.set, _uid);
        });
    reads.add_each(_named.anchors, [](redis::batch& _b, const std::string& _uid) {
        _b.add("HGET", anchor::keys::fields(_uid), anchor::s_mac_addr);
    });
    reads.add_each(_named.track_objs, [](redis::batch& _b, const std::string& _uid) {
        _b.add("HGET", track_obj::keys::fields(_uid), track_obj::s_mac_addr);
    });
    reads.send(_redis);

    const auto updated = common::is_true(common::text_of(reads.next()));
    const auto certification = common::is_true(common::text_of(reads.next()));
    const auto refresh = context::refresh_state_of(common::text_of(reads.next()));
    listing present;
    for (const auto& kind : kind_lists())
        for (const auto& uid : _named.*kind.uids)
            if (common::is_one(reads.next()))
                (present.*kind.uids).push_back(uid);
    const auto take_macs = [&](std::size_t _count, std::vector<std::string>& _macs) {
        for (std::size_t i = 0; i < _count; ++i)
            if (auto mac = common::text_of(reads.next()); mac && !mac->empty())
                _macs.push_back(std::move(*mac));
    };
    take_macs(_named.anchors.size(), _anchor_macs);
    take_macs(_named.track_objs.size(), _object_macs);
    reads.check();
    _snapshot.updated = updated;
    _snapshot.vehicle_certification = certification;
    _snapshot.alarms_refresh = refresh;
    return present;
}

// Drops every named record from the snapshot, with what belongs to it.
void forget(const listing& _named, project_snapshot& _snapshot) {
    std::unordered_set<std::string> uids;
    for (const auto& kind : kind_lists())
        uids.insert((_named.*kind.uids).begin(), (_named.*kind.uids).end());
    for (const auto& uid : _named.anchors)
        _snapshot.anchors.erase(uid);
    for (const auto& uid : _named.track_objs) {
        _snapshot.track_objs.erase(uid);
        _snapshot.alarms_of_object.erase(uid);
        _snapshot.buttons_seen.erase(uid);
    }
    for (const auto& uid : _named.groups)
        _snapshot.groups.erase(uid);
    for (const auto& uid : _named.zones)
        _snapshot.zones.erase(uid);
    for (const auto& uid : _named.sublocations)
        _snapshot.sublocations.erase(uid);
    for (const auto& uid : _named.tdoa_settings)
        _snapshot.tdoa_settings.erase(uid);
    for (const auto& uid : _named.tdoa_schedules)
        _snapshot.tdoa_schedules.erase(uid);
    for (const auto& uid : _named.alarms)
        _snapshot.alarms.erase(uid);
    auto& unreadable = _snapshot.unreadable;
    unreadable.erase(std::remove_if(unreadable.begin(), unreadable.end(),
                                    [&](const std::string& _uid) { return uids.count(_uid) != 0; }),
                     unreadable.end());
}

// Sets the index entry of `_mac` from its HGET reply: a MAC the index no longer holds
// leaves it. An error reply (an index of another type) changes nothing; check() throws.
void reindex(const std::string& _mac, const redis::reply& _reply, mac_index& _index) {
    if (_reply.get_type() == redis::reply_type::ERROR)
        return;
    // Written only when it changed: the index stays shared with the snapshot patched.
    const auto entry = _index.find(_mac);
    if (auto uid = common::text_of(_reply)) {
        if (entry == _index.end() || entry->second != *uid)
            _index[_mac] = std::move(*uid);
    } else if (entry != _index.end()) {
        _index.erase(_mac);
    }
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

std::shared_ptr<const project_snapshot> patch_snapshot(redis::connection& _redis_context,
                                                       std::shared_ptr<const project_snapshot> _old,
                                                       const mirror_changes& _changes) {
    if (!_changes.complete)
        throw std::invalid_argument("patch_snapshot: the changes are incomplete");
    auto snapshot = _old.use_count() == 1 ? std::const_pointer_cast<project_snapshot>(std::move(_old))
                                          : std::make_shared<project_snapshot>(*_old);
    const auto named = named_records(_changes.names);
    std::vector<std::string> anchor_macs, object_macs;
    const auto present = read_present(_redis_context, named, *snapshot, anchor_macs, object_macs);
    anchor_macs = macs_to_read(named.anchors, snapshot->anchors, snapshot->anchor_by_mac, std::move(anchor_macs));
    object_macs =
        macs_to_read(named.track_objs, snapshot->track_objs, snapshot->track_obj_by_mac, std::move(object_macs));

    chunked_reads reads;
    add_record_reads(present, reads);
    reads.add_each(anchor_macs, [](redis::batch& _b, const std::string& _mac) {
        _b.add("HGET", anchor::keys::mac_addr(), _mac);
    });
    reads.add_each(object_macs, [](redis::batch& _b, const std::string& _mac) {
        _b.add("HGET", track_obj::keys::mac_addr(), _mac);
    });
    reads.send(_redis_context);
    forget(named, *snapshot);
    decode_records(present, reads, *snapshot);
    for (const auto& mac : anchor_macs)
        reindex(mac, reads.next(), snapshot->anchor_by_mac);
    for (const auto& mac : object_macs)
        reindex(mac, reads.next(), snapshot->track_obj_by_mac);
    reads.check();
    snapshot->version = _changes.version;
    return snapshot;
}

std::uint64_t read_mirror_version(redis::connection& _redis_context) {
    return version_of(_redis_context.command("GET", common::s_mirror_version));
}

}  // namespace vyr::context
