#include "context/mirror_changes.h"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "context/common.h"
#include "redis/connection.h"

namespace vyr::context {

mirror_changes read_mirror_changes(redis::connection& _redis_context, std::uint64_t _since) {
    mirror_changes changes;
    changes.version = read_mirror_version(_redis_context);
    if (_since == 0 || changes.version < _since || changes.version - _since > s_max_journal_span)
        return changes;
    if (changes.version == _since) {
        changes.complete = true;
        return changes;
    }
    std::vector<std::string> argv{"MGET"};
    for (auto version = _since + 1; version <= changes.version; ++version)
        argv.push_back(common::mirror_changes_key(version));
    const auto reply = _redis_context.execute_command_argv(argv);
    if (reply.get_type() != redis::reply_type::ARRAY)
        return changes;
    std::unordered_set<std::string> seen;
    bool whole = true;
    reply.as_array().for_each_element([&](const redis::reply_element& _entry) {
        const auto text = common::text_of(_entry);
        auto names = text ? common::decode_changes(*text) : std::nullopt;
        if (!names)
            return whole = false;
        for (auto& name : *names)
            if (seen.insert(name).second)
                changes.names.push_back(std::move(name));
        return true;
    });
    changes.complete = whole;
    if (!whole)
        changes.names.clear();
    return changes;
}

namespace {

// The changed records are gathered by kind first and each kind is then resolved in one
// walk of each snapshot: a start-up's journal names thousands of groups and alarms, and a
// walk of every object per group name made each patch cost objects x groups.
class concerned {
public:
    // The same snapshot as `_old` and `_new` is walked once.
    concerned(const project_snapshot& _old, const project_snapshot& _new) : m_snapshots{&_old} {
        if (&_new != &_old)
            m_snapshots.push_back(&_new);
    }

    void object(const std::string& _uid) { m_objects.insert(_uid); }
    void group(const std::string& _uid) { m_groups.insert(_uid); }
    void alarm(const std::string& _uid) { m_alarms.insert(_uid); }
    void zone(const std::string& _uid) { m_zones.insert(_uid); }
    void every_anchor() { m_every_anchor = true; }

    std::vector<std::string> take() {
        // A zone: the alarms in it; an alarm: the objects that list it or that it names.
        if (!m_zones.empty())
            for (const auto* snapshot : m_snapshots)
                for (const auto& [alarm_uid, data] : snapshot->alarms)
                    if (data.zone_uid && m_zones.count(*data.zone_uid) != 0)
                        m_alarms.insert(alarm_uid);
        if (!m_alarms.empty())
            for (const auto* snapshot : m_snapshots) {
                for (const auto& [object_uid, listed] : snapshot->alarms_of_object)
                    if (std::any_of(listed.begin(), listed.end(),
                                    [&](const std::string& _alarm) { return m_alarms.count(_alarm) != 0; }))
                        m_objects.insert(object_uid);
                for (const auto& uid : m_alarms)
                    if (const auto* found = project_snapshot::find(snapshot->alarms, uid); found && found->obj_uid)
                        m_objects.insert(*found->obj_uid);
            }
        for (const auto* snapshot : m_snapshots) {
            for (const auto& uid : m_objects)
                if (const auto* found = project_snapshot::find(snapshot->track_objs, uid))
                    add(found->mac_addr);
            if (!m_groups.empty())
                for (const auto& [uid, object] : snapshot->track_objs)
                    if (std::any_of(object.groups.begin(), object.groups.end(),
                                    [&](const std::string& _group) { return m_groups.count(_group) != 0; }))
                        add(object.mac_addr);
            if (m_every_anchor) {
                for (const auto& [mac, uid] : snapshot->anchor_by_mac)
                    add(mac);
                for (const auto& [uid, anchor] : snapshot->anchors)
                    add(anchor.mac_addr);
            }
        }
        return std::move(m_macs);
    }

private:
    void add(const std::string& _mac) {
        if (!_mac.empty() && m_seen.insert(_mac).second)
            m_macs.push_back(_mac);
    }

    std::vector<const project_snapshot*> m_snapshots;
    std::unordered_set<std::string> m_objects, m_groups, m_alarms, m_zones;
    bool m_every_anchor = false;
    std::unordered_set<std::string> m_seen;
    std::vector<std::string> m_macs;
};

}  // namespace

std::optional<std::vector<std::string>> devices_concerned(const project_snapshot& _old, const project_snapshot& _new,
                                                          const std::vector<std::string>& _names) {
    concerned macs(_old, _new);
    for (const auto& name : _names) {
        const auto colon = name.find(':');
        if (colon == std::string::npos)
            return std::nullopt;
        const auto kind = std::string_view(name).substr(0, colon);
        const auto uid = name.substr(colon + 1);
        if (kind == track_obj_keys::s_kind)
            macs.object(uid);
        else if (kind == group_keys::s_kind)
            macs.group(uid);
        else if (kind == alarm_keys::s_kind)
            macs.alarm(uid);
        else if (kind == zone_keys::s_kind)
            macs.zone(uid);
        else if (kind == anchor_keys::s_kind)
            macs.every_anchor();
        else
            return std::nullopt;
    }
    return macs.take();
}

}  // namespace vyr::context
