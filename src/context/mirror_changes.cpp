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

class concerned {
public:
    concerned(const project_snapshot& _old, const project_snapshot& _new) : m_both{&_old, &_new} {}

    void add(const std::string& _mac) {
        if (!_mac.empty() && m_seen.insert(_mac).second)
            m_macs.push_back(_mac);
    }
    void object(const std::string& _uid) {
        for (const auto* snapshot : m_both)
            if (const auto* found = project_snapshot::find(snapshot->track_objs, _uid))
                add(found->mac_addr);
    }
    void every_anchor() {
        for (const auto* snapshot : m_both) {
            for (const auto& [mac, uid] : snapshot->anchor_by_mac)
                add(mac);
            for (const auto& [uid, anchor] : snapshot->anchors)
                add(anchor.mac_addr);
        }
    }
    void group(const std::string& _uid) {
        for (const auto* snapshot : m_both)
            for (const auto& [uid, object] : snapshot->track_objs)
                if (std::find(object.groups.begin(), object.groups.end(), _uid) != object.groups.end())
                    add(object.mac_addr);
    }
    void alarm(const std::string& _uid) {
        for (const auto* snapshot : m_both) {
            for (const auto& [object_uid, listed] : snapshot->alarms_of_object)
                if (std::find(listed.begin(), listed.end(), _uid) != listed.end())
                    object(object_uid);
            if (const auto* found = project_snapshot::find(snapshot->alarms, _uid); found && found->obj_uid)
                object(*found->obj_uid);
        }
    }
    void zone(const std::string& _uid) {
        for (const auto* snapshot : m_both)
            for (const auto& [alarm_uid, data] : snapshot->alarms)
                if (data.zone_uid == _uid)
                    alarm(alarm_uid);
    }
    std::vector<std::string> take() { return std::move(m_macs); }

private:
    const project_snapshot* m_both[2];
    std::unordered_set<std::string> m_seen;
    std::vector<std::string> m_macs;
};

}  // namespace

std::optional<std::vector<std::string>> devices_concerned(const project_snapshot& _old, const project_snapshot& _new,
                                                          const std::vector<std::string>& _names) {
    concerned macs(_old, _new);
    bool anchors_done = false;
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
        else if (kind == anchor_keys::s_kind && !std::exchange(anchors_done, true))
            macs.every_anchor();
        else if (kind != anchor_keys::s_kind)
            return std::nullopt;
    }
    return macs.take();
}

}  // namespace vyr::context
