// The project as one delivery pass sees it: every record of the mirror that judging a
// device needs, read in a few pipelined round trips and then never changed. A snapshot
// carries the mirror version it was read at ("mirror_version", raised by every write of
// project content), so that a reader can tell, with one cheap read, whether it still
// shows the mirror. It holds plain values only and is shared read-only between whoever
// judges with it (a cycle, the request answers taken during it, a tool); it has no
// connection and no locks.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "context/alarm.h"
#include "context/anchor.h"
#include "context/group.h"
#include "context/shared_records.h"
#include "context/sublocation.h"
#include "context/tdoa_schedule.h"
#include "context/track_obj.h"
#include "context/zone.h"

namespace vyr::redis {
class connection;
}

namespace vyr::context {

struct mirror_changes;

// Where a refresh of the alarm kind stands: none pending, requested and not finished, or
// failed at least once and still retried (alarms are then delivered as stored).
enum class alarm_refresh { none, pending, failed };

// MAC address → uid of an anchor or trackable object.
using mac_index = shared_map<std::unordered_map<std::string, std::string>>;

struct project_snapshot {
    // "mirror_version" when the snapshot was read (0: never written).
    std::uint64_t version = 0;
    // The mirror is complete ("updated" is "true").
    bool updated = false;
    // Licences and certifications are judged ("vehicle_certification" is "true").
    bool vehicle_certification = false;
    alarm_refresh alarms_refresh = alarm_refresh::none;

    // Records by uid; a record whose mandatory fields cannot be read is absent from its
    // map and its uid listed in `unreadable` (a device of it is not judged this pass).
    // Every map is shared between a snapshot and its copy until a patch changes it.
    shared_records<anchor_data> anchors;
    shared_records<track_obj_data> track_objs;
    shared_map<std::unordered_map<std::string, group_data>> groups;
    shared_map<std::unordered_map<std::string, zone_data>> zones;
    shared_map<std::unordered_map<std::string, sublocation_data>> sublocations;
    // The stored setting document (null when missing or not JSON).
    shared_map<std::unordered_map<std::string, Json::Value>> tdoa_settings;
    shared_map<std::unordered_map<std::string, tdoa_schedule_data>> tdoa_schedules;
    shared_map<std::unordered_map<std::string, alarm_data>> alarms;
    // The alarm uids listed for each trackable object, in the server's order.
    shared_map<std::unordered_map<std::string, std::vector<std::string>>> alarms_of_object;
    // Emergency-button times kept by note_button_seen, by object uid.
    shared_map<std::unordered_map<std::string, std::int64_t>> buttons_seen;
    // MAC address → uid.
    mac_index anchor_by_mac;
    mac_index track_obj_by_mac;
    std::vector<std::string> unreadable;

    // Lookups; nullptr when absent.
    const anchor_data* anchor_of(std::string_view _mac) const;
    const track_obj_data* track_obj_of(std::string_view _mac) const;
    template <class Map>
    static const typename Map::mapped_type* find(const Map& _map, const std::string& _uid) {
        const auto found = _map.find(_uid);
        return found == _map.end() ? nullptr : &found->second;
    }
    template <class T>
    static const T* find(const shared_records<T>& _records, const std::string& _uid) {
        return _records.get(_uid);
    }
};

inline const anchor_data* project_snapshot::anchor_of(std::string_view _mac) const {
    const auto uid = anchor_by_mac.find(std::string(_mac));
    return uid == anchor_by_mac.end() ? nullptr : find(anchors, uid->second);
}

inline const track_obj_data* project_snapshot::track_obj_of(std::string_view _mac) const {
    const auto uid = track_obj_by_mac.find(std::string(_mac));
    return uid == track_obj_by_mac.end() ? nullptr : find(track_objs, uid->second);
}

// Reads a snapshot in a few pipelined round trips, however many records there are.
// Throws redis::connection_error when the connection is lost.
std::shared_ptr<const project_snapshot> read_project_snapshot(redis::connection& _redis_context);
// `_old` brought up to `_changes.version` (which must be complete: context/mirror_changes.h)
// by reading the flags and only the records the changes name, in two round trips: a named
// record no longer in its kind's set is dropped, and the MAC indexes are read again at the
// old and new MACs of the named anchors and objects. Changed in place when the caller
// handed over the only reference, else copied (a throw then loses the snapshot handed
// over). Throws as
// read_project_snapshot. The records are read after the version the changes were read
// at: one written in between is named again by the next journal entry, and read again.
std::shared_ptr<const project_snapshot> patch_snapshot(redis::connection& _redis_context,
                                                       std::shared_ptr<const project_snapshot> _old,
                                                       const mirror_changes& _changes);
// "mirror_version" alone: one round trip.
std::uint64_t read_mirror_version(redis::connection& _redis_context);

}  // namespace vyr::context
