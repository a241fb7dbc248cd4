// The typed client of the platform server's private REST API: one getter per kind of
// project data, each issuing a GET through c_server and decoding the answer's array into
// plain records keyed by the object's uid. Decoding is forgiving: an element with a
// missing or mistyped required field is left out, and the caller learns its uid so that
// the stored record is kept rather than taken for deleted. The getters
// keep no state, so the updater and the sleep mechanism may call them at the same time.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <json/json.h>

#include "platform/server.h"

namespace vyr::vyrserver {

// Decoded records. None holds its own uid: that is the key of the map holding it.
struct anchor {
    std::string project_uid;
    std::string name;
    std::string sublocation_uid;
    std::int32_t position_x = 0;
    std::int32_t position_y = 0;
    std::int32_t position_z = 0;
    std::string type;
    std::string mac_address;  // normalised; empty when the anchor has no node
    std::uint32_t node_id = 0;
};

struct t2t_cfg_t {
    bool valid = false;
    std::string role = "disabled";
    std::optional<bool> alarm_back;
    std::optional<std::uint32_t> distance;
    std::optional<std::uint32_t> angle;
    std::optional<std::uint32_t> delay;
    std::optional<std::string> pin;
    std::optional<std::uint32_t> alert_distance;
    std::optional<std::uint32_t> safe_distance;
    std::optional<bool> buzzer;
    std::optional<bool> haptic;
};

struct tag_config_t {
    bool stationary = false;
    std::vector<std::string> t2t_no_alarm;  // MAC texts as sent
    t2t_cfg_t t2t_cfg;
};

struct track_obj {
    std::string project_uid;
    std::string mac_address;  // normalised; empty when the object has no node
    std::string name;
    std::string sublocation_uid;
    std::int32_t position_x = 0;
    std::int32_t position_y = 0;
    std::int32_t default_height = 0;
    std::string type;
    std::vector<std::string> groups;
    std::string category;  // lower case
    tag_config_t tag_config;
};

struct group {
    std::string project_uid;
    std::string name;
};

struct zone {
    std::string project_uid;
    std::uint32_t zone_id = 0;
};

struct sublocation {
    std::string project_uid;
    std::uint32_t sublocation_id = 0;
    std::int32_t offset_x = 0;
    std::int32_t offset_y = 0;
    std::int32_t offset_z = 0;
};

struct alarm {
    std::string alarm_name;
    std::uint32_t acknowledged = 0;
    std::string obj_uid;
    std::optional<std::string> zone_uid;  // zone alarms: as the server gave it
    std::optional<std::uint32_t> zone_alarm_level;
    std::optional<std::string> text;
};

struct tdoa_schedule {
    std::uint32_t tdoa_version = 0;
    std::set<std::string> rows;
};

// An entry of the sleep mechanism's anchor table. The getter writes only the four
// texts; the rest belongs to the sleep mechanism.
struct anchor_sleep_t {
    std::string m_project_uid;
    std::string m_loc_uid;
    std::string m_sl_uid;
    std::string m_mac_address;
    // Times on the sleep mechanism's clock (monotonic); a zero sending time means no
    // command since the last reset.
    timeval m_sending_time{};
    std::uint32_t m_sending_counter = 0;
    bool m_delivered = false;
    std::uint32_t m_delay = 0;  // wait period in seconds, from m_start_time
    std::uint32_t m_sleep_time = 0;
    timeval m_start_time{};
};

// The elements of an answer that are there but do not decode. The records they name are
// kept as stored (neither overwritten nor removed); an element without a readable uid
// makes the removals of a full refresh unsafe (it may be any stored object).
struct undecoded {
    std::set<std::string> uids;
    bool unnamed = false;
};

class c_vyrserver : public c_server {
public:
    static const std::string req_win_anchors;
    static const std::string req_track_obj;
    static const std::string req_groups;
    static const std::string req_zones;
    static const std::string req_sublocations;
    static const std::string req_alarms_active;
    static const std::string req_tdoa_settings;
    static const std::string req_tdoa_schedules;
    static const std::string req_driver_licenses;
    static const std::string req_vehicle_certifications;

    c_vyrserver(const std::string& _module_name, const std::string& _protocol, const std::string& _address,
                const std::string& _login, const std::string& _password, std::uint32_t _port,
                libs::core::component_logger& _logger, const std::string& _ca_file = {},
                const request_timeouts& _timeouts = {});
    ~c_vyrserver() override;

    // An empty uid asks for the whole collection; a uid (sent escaped) asks for one
    // object, and a 404 then means the object is gone: the answer is empty. A non-empty
    // project uid is sent as "X-User-Project". Transport, status and parse failures
    // throw; so does an answer that is not an object or whose collection member is absent,
    // null or not an array. Elements that do not decode are left out; when _undecoded is
    // given they are recorded there (and each is logged).
    std::map<std::string, anchor> get_anchors(const std::string& anchor_uid, const std::string& project_uid,
                                              undecoded* _undecoded = nullptr) const;
    // The sleep mechanism's form: merges the project's anchors with a node (and, when
    // given, of one location or sublocation) into _anchors, keeping the entries' other
    // fields. Elements that do not match are skipped silently.
    void get_anchors(std::map<std::string, anchor_sleep_t>& _anchors, const std::string& project_uid,
                     const std::string& loc_uid, const std::string& sl_uid) const;
    std::map<std::string, track_obj> get_track_objs(const std::string& track_obj_uid, const std::string& project_uid,
                                                    undecoded* _undecoded = nullptr) const;
    std::map<std::string, group> get_groups(const std::string& group_uid, const std::string& project_uid,
                                            undecoded* _undecoded = nullptr) const;
    std::map<std::string, zone> get_zones(const std::string& zone_uid, const std::string& project_uid,
                                          undecoded* _undecoded = nullptr) const;
    std::map<std::string, sublocation> get_sublocations(const std::string& sublocation_uid,
                                                        const std::string& project_uid,
                                                        undecoded* _undecoded = nullptr) const;
    // Alarms of other kinds than zone, buffer and emergency button are left out, not
    // recorded as undecoded.
    std::map<std::string, alarm> get_alarms(const std::string& alarm_uid, undecoded* _undecoded = nullptr) const;
    // Project uid → the whole setting element. Nothing (after an error record) when the
    // body is not JSON or has no "tdoa_settings" array. An element without a project uid
    // is left out (recorded as unnamed in _undecoded). A single setting answered 404 is
    // gone: the answer is empty.
    std::optional<std::map<std::string, Json::Value>> get_tdoa_settings(const std::string& tdoa_settings_uid,
                                                                        undecoded* _undecoded = nullptr) const;
    std::map<std::string, tdoa_schedule> get_tdoa_schedules(const std::string& schedule_uid,
                                                            undecoded* _undecoded = nullptr) const;
    // Object uid → ids of the licences that require certification. Nothing when the
    // server answers 401 or 404.
    std::optional<std::map<std::string, std::set<std::uint32_t>>> get_driver_licenses(
        const std::string& _obj_uid) const;
    // Object uid → certification id (only those that require certification). Nothing
    // on 401 or 404.
    std::optional<std::map<std::string, std::uint32_t>> get_vehicle_certifications(const std::string& _obj_uid) const;

private:
    // The array under _member of a parsed answer; null when the member is absent or null,
    // unless _required (then that throws: an answer without the collection must not read
    // as "no objects", which would empty the kind).
    static Json::Value collection(const std::string& _func, const Json::Value& _answer, const std::string& _member,
                                  bool _required = false);
    // Requests _path (a project header when _project_uid is not empty) and decodes every
    // element of the answer's _member collection; an element that does not decode is left
    // out, and of two with one uid the first is kept.
    template <class Record>
    std::map<std::string, Record> get_objects(const std::string& _func, const std::string& _member,
                                              const std::string& _path, const std::string& _uid,
                                              const std::string& _project_uid, undecoded* _undecoded) const;
    // Records an element that did not decode (and logs it).
    void note_undecoded(const std::string& _func, const std::string& _member, const std::string& _uid,
                        undecoded* _undecoded) const;
    // The _member collection of _path, asked for one object when _obj_uid is not empty;
    // nothing when the server answers 401 or 404.
    std::optional<Json::Value> optional_collection(const std::string& _func, const std::string& _member,
                                                   const std::string& _path, const std::string& _obj_uid) const;
};

}  // namespace vyr::vyrserver
