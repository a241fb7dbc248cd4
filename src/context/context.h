// The project context: the whole picture of one project kept in one Redis database,
// reached through one owned connection. It hands out record objects bound to that
// connection and answers the lookups that span records. Each worker thread makes its
// own context and uses it (and the records it made) alone; there are no locks, and the
// records share data between threads only through Redis.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "context/alarm.h"
#include "context/anchor.h"
#include "context/group.h"
#include "context/project_snapshot.h"
#include "context/sublocation.h"
#include "context/tdoa_schedule.h"
#include "context/tdoa_setting.h"
#include "context/track_obj.h"
#include "context/win.h"
#include "context/zone.h"
#include "redis/connection.h"

namespace vyr::context {

class context {
public:
    static constexpr std::string_view s_name = "name";
    static constexpr std::string_view s_updated = "updated";
    static constexpr std::string_view s_alarms_refresh = "alarms_refresh";
    static constexpr std::string_view s_vehicle_certification = "vehicle_certification";

    // Where a refresh of the alarm kind stands (see alarm_refresh).
    using refresh_state = alarm_refresh;
    // The state of the stored "alarms_refresh" text: any text but "pending" and "failed",
    // and none, is none.
    static refresh_state refresh_state_of(const std::optional<std::string>& _text);

    // Connects and selects `_db`; throws on failure.
    context(unsigned int _db, const std::string& _host, int _port);
    context(const context&) = delete;
    context& operator=(const context&) = delete;
    virtual ~context();

    // The connection, for callers that need a raw command.
    redis::connection& redis_context() noexcept { return *m_redis_context; }

    // Empties the whole database but for the lease's keys and the sleep orders
    // (redis/lease.h), the mirror version raised anew.
    void flush();
    // The module that owns the database; empty when not stored.
    std::string name();
    void name(const std::string& _name);
    // Whether the mirror is complete: true only for the stored text "true".
    bool updated();
    void updated(bool _updated);
    // Whether the platform keeps driver licences and vehicle certifications (both of its
    // endpoints answered the last read): only then are they delivered. Written by the
    // updater; true only for the stored text "true".
    bool vehicle_certification();
    void vehicle_certification(bool _on);
    // Any other stored text reads as none; none deletes the key. The three flags' writes
    // raise the mirror version.
    refresh_state alarms_refresh();
    void alarms_refresh(refresh_state _state);

    // uids (MACs for WINs) of every record of a kind, in the order Redis returns them.
    std::vector<std::string> get_anchors();
    std::vector<std::string> get_track_objs();
    std::vector<std::string> get_groups();
    std::vector<std::string> get_zones();
    std::vector<std::string> get_sublocations();
    std::vector<std::string> get_tdoa_settings();
    std::vector<std::string> get_tdoa_schedules();
    std::vector<std::string> get_alarms();
    std::vector<std::string> get_wins();

    // Record objects; no Redis access and no check that the record exists.
    anchor get_anchor(const std::string& _uid) { return anchor(*m_redis_context, _uid); }
    track_obj get_track_obj(const std::string& _uid) { return track_obj(*m_redis_context, _uid); }
    group get_group(const std::string& _uid) { return group(*m_redis_context, _uid); }
    zone get_zone(const std::string& _uid) { return zone(*m_redis_context, _uid); }
    sublocation get_sublocation(const std::string& _uid) { return sublocation(*m_redis_context, _uid); }
    tdoa_setting get_tdoa_setting(const std::string& _uid) { return tdoa_setting(*m_redis_context, _uid); }
    tdoa_schedule get_tdoa_schedule(const std::string& _uid) { return tdoa_schedule(*m_redis_context, _uid); }
    alarm get_alarm(const std::string& _uid) { return alarm(*m_redis_context, _uid); }
    win get_win(const std::string& _mac_addr) { return win(*m_redis_context, _mac_addr); }

    // The record indexed under `_mac_addr`; throws field_missing "Mac: <mac>" when there
    // is none.
    anchor get_anchor_by_mac(const std::string& _mac_addr);
    track_obj get_track_obj_by_mac(const std::string& _mac_addr);
    bool anchor_exists_by_mac(const std::string& _mac_addr);
    bool track_obj_exists_by_mac(const std::string& _mac_addr);

    // uids of the alarms raised for one trackable object.
    std::vector<std::string> get_alarms_of_object(const std::string& _obj_uid);
    // Marks the zone alarms ("zone_violation" or "buffer_violation") of the trackable objects
    // `_obj_uids` that exist undelivered, in one transaction that names them changed; reads
    // them in two pipelined round trips whatever their number.
    void undeliver_zone_alarms_of(const std::vector<std::string>& _obj_uids);
    // The first of them named "emergency_button".
    std::optional<alarm> get_button_alarm_of_object(const std::string& _obj_uid);
    // What the mirror says of the emergency buttons of the tags with these MACs, in their
    // order: the uid of the tag's trackable object and whether a set "emergency_button"
    // alarm is listed for it; nothing for a MAC of no trackable object. Three pipelined
    // round trips however many they are.
    struct button_view {
        std::string obj_uid;
        bool set = false;
    };
    std::vector<std::optional<button_view>> button_views(const std::vector<std::string>& _macs);

private:
    std::string uid_by_mac(const std::string& _index_key, const std::string& _mac_addr);

    // Constant after construction.
    const std::unique_ptr<redis::connection> m_redis_context;
};

}  // namespace vyr::context
