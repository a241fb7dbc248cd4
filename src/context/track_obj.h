// The trackable-object record: one tag-carrying object of the project (person, vehicle,
// asset) mirrored into Redis with its scalar fields, groups, tag-to-tag configuration
// and exemption list, driver licences and vehicle model, plus its entry in the index
// MAC address → uid. A view bound to one Redis connection, used by its thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "context/common.h"
#include "context/sublocation.h"

namespace vyr::context {

struct track_obj_keys : keys_base<track_obj_keys> {
    static constexpr std::string_view s_prefix = "track_objs";
    static constexpr std::string_view s_kind = "track_obj";
    static constexpr std::string_view s_groups = "groups";
    static std::string groups(std::string_view _uid) { return join_key({from_server(_uid), s_groups}); }
    static std::string t2t_no_alarm(std::string_view _uid) { return join_key({from_server(_uid), "t2t_no_alarm"}); }
    static std::string t2t_cfg(std::string_view _uid) { return join_key({from_server(_uid), "t2t_cfg"}); }
    static std::string driver_licenses(std::string_view _uid) {
        return join_key({from_server(_uid), "driver_licenses"});
    }
};

// A trackable object as read whole by `track_obj::read`. A snapshot holds one per object
// of the site, so it is kept small: the driver licences a sorted list, the tag-to-tag
// configuration (which most objects lack) apart and shared by the copies of the record.
struct track_obj_data {
    std::string project_uid, name, sublocation_uid, type, mac_addr, category;
    bool stationary = false;
    std::int32_t position_x = 0, position_y = 0, default_height = 0;
    std::optional<std::uint32_t> vehicle_model;
    std::vector<std::string> groups, t2t_no_alarm;
    std::vector<std::uint32_t> driver_licenses;  // ascending, each once
    struct t2t {
        std::string role;
        std::optional<bool> alarm_back, buzzer, haptic;
        std::optional<std::string> pin;
        std::optional<std::uint32_t> distance, angle, delay, alert_distance, safe_distance;
    };
    std::shared_ptr<const t2t> t2t_cfg;  // null when the object has no t2t configuration
};

class track_obj : public record<track_obj_keys> {
public:
    using keys = track_obj_keys;

    static constexpr std::string_view s_project_uid = "project_uid";
    static constexpr std::string_view s_name = "name";
    static constexpr std::string_view s_sublocation_uid = "sublocation_uid";
    static constexpr std::string_view s_position_x = "position_x";
    static constexpr std::string_view s_position_y = "position_y";
    static constexpr std::string_view s_default_height = "default_height";
    static constexpr std::string_view s_type = "type";
    static constexpr std::string_view s_mac_addr = "mac_addr";
    static constexpr std::string_view s_stationary = "stationary";
    static constexpr std::string_view s_category = "category";
    static constexpr std::string_view s_vehicle_model = "vehicle_model";

    // Fields of the t2t_cfg hash.
    static constexpr std::string_view s_role = "role";
    static constexpr std::string_view s_alarm_back = "alarm_back";
    static constexpr std::string_view s_distance = "distance";
    static constexpr std::string_view s_angle = "angle";
    static constexpr std::string_view s_delay = "delay";
    static constexpr std::string_view s_pin = "pin";
    static constexpr std::string_view s_alert_distance = "alert_distance";
    static constexpr std::string_view s_safe_distance = "safe_distance";
    static constexpr std::string_view s_buzzer = "buzzer";
    static constexpr std::string_view s_haptic = "haptic";

    track_obj(redis::connection& _redis_context, std::string _uid) : record(_redis_context, std::move(_uid)) {}

    // Writes the whole object (groups, no-alarm list and t2t configuration replaced) and
    // moves its MAC index entry, in one transaction. Throws "updateUid: <uid>, str = <reply>"
    // when an HMSET is not answered "OK"; the transaction's other writes stay.
    void update(const std::string& _project_uid, const std::string& _name, const std::string& _sublocation_uid,
                std::int32_t _position_x, std::int32_t _position_y, std::int32_t _default_height,
                const std::string& _type, const std::string& _mac_addr, const std::vector<std::string>& _groups,
                const std::string& _category, bool _stationary, const std::vector<std::string>& _t2t_no_alarm,
                bool _t2t_cfg_valid, const std::string& _t2t_cfg_role, const std::optional<bool>& _t2t_cfg_alarm_back,
                const std::optional<std::uint32_t>& _t2t_cfg_distance,
                const std::optional<std::uint32_t>& _t2t_cfg_angle,
                const std::optional<std::uint32_t>& _t2t_cfg_delay, const std::optional<std::string>& _t2t_cfg_pin,
                const std::optional<std::uint32_t>& _t2t_cfg_alert_distance,
                const std::optional<std::uint32_t>& _t2t_cfg_safe_distance,
                const std::optional<bool>& _t2t_cfg_buzzer, const std::optional<bool>& _t2t_cfg_haptic);
    // The next update() appends its transaction (MULTI, its writes, EXEC) to _pipeline
    // instead of sending it, and takes _stored_mac (empty: none) for the MAC the record
    // holds instead of reading it: a caller writing many records reads their MACs in one
    // round trip and sends every write in another. The EXEC replies are the caller's to
    // check, and so is raising the mirror version once the pipeline holds every write.
    void write_into(redis::batch& _pipeline, std::string _stored_mac) {
        m_pipeline = &_pipeline;
        m_stored_mac = std::move(_stored_mac);
    }
    // Both do nothing when the object does not exist.
    void update_vehicle_model(std::uint32_t _vehicle_model);
    void update_driver_licenses(const std::set<std::uint32_t>& _driver_licenses);
    void remove_vehicle_model();
    void remove_driver_licenses();
    // The writes of those four (nothing: the remove), without the existence check and the
    // raise of the mirror version, added to `_writes`: for a caller that writes many
    // objects in one round trip, each in a transaction of its own.
    static void vehicle_model_into(redis::batch& _writes, std::string_view _uid, std::optional<std::uint32_t> _model);
    static void driver_licenses_into(redis::batch& _writes, std::string_view _uid,
                                     const std::set<std::uint32_t>* _licences);
    // Leaves its sublocation set and the MAC index, deletes its five keys and leaves the
    // kind set. Alarms and WIN records are not touched.
    void remove();

    // Mandatory fields throw field_missing "<field>Uid: <uid>" when missing.
    std::string project_uid() const { return required_field(s_project_uid); }
    std::string type() const { return required_field(s_type); }
    std::string mac_addr() const { return required_field(s_mac_addr); }
    std::string name() const { return required_field(s_name); }
    std::string sublocation_uid() const { return required_field(s_sublocation_uid); }
    std::string category() const { return required_field(s_category); }
    bool stationary() const { return required_field(s_stationary) == "true"; }
    std::int32_t position_x() const { return required_int(s_position_x); }
    std::int32_t position_y() const { return required_int(s_position_y); }
    std::int32_t default_height() const { return required_int(s_default_height); }
    std::optional<std::uint32_t> vehicle_model() const { return unsigned_field(s_vehicle_model); }

    bool t2t_cfg_exists() const;
    std::string t2t_cfg_role() const;
    std::optional<bool> t2t_cfg_alarm_back() const { return t2t_bool(s_alarm_back); }
    std::optional<bool> t2t_cfg_buzzer() const { return t2t_bool(s_buzzer); }
    std::optional<bool> t2t_cfg_haptic() const { return t2t_bool(s_haptic); }
    std::optional<std::string> t2t_cfg_pin() const { return t2t_field(s_pin); }
    std::optional<std::uint32_t> t2t_cfg_distance() const { return t2t_unsigned(s_distance); }
    std::optional<std::uint32_t> t2t_cfg_angle() const { return t2t_unsigned(s_angle); }
    std::optional<std::uint32_t> t2t_cfg_delay() const { return t2t_unsigned(s_delay); }
    std::optional<std::uint32_t> t2t_cfg_alert_distance() const { return t2t_unsigned(s_alert_distance); }
    std::optional<std::uint32_t> t2t_cfg_safe_distance() const { return t2t_unsigned(s_safe_distance); }

    std::vector<std::string> groups() const { return common::members(m_redis_context, keys::groups(m_uid)); }
    std::vector<std::string> t2t_no_alarm() const {
        return common::members(m_redis_context, keys::t2t_no_alarm(m_uid));
    }
    // An empty set for a missing key.
    std::optional<std::set<std::uint32_t>> driver_licenses() const;

    // The whole object in one round trip, as one consistent snapshot (its five keys read
    // in one transaction); nothing when it does not exist. Throws field_missing for a
    // missing mandatory field, like the getters.
    std::optional<track_obj_data> read() const;
    // The object from its five keys as read (fields, groups, no-alarm list, t2t
    // configuration, licences); throws as read() does.
    static track_obj_data decode(const common::hash& _fields, std::vector<std::string> _groups,
                                 std::vector<std::string> _t2t_no_alarm, const common::hash& _t2t_cfg,
                                 const std::vector<std::string>& _driver_licenses, std::string_view _uid);

private:
    // Set by write_into.
    redis::batch* m_pipeline = nullptr;
    std::string m_stored_mac;
    std::optional<std::string> t2t_field(std::string_view _field) const;
    std::optional<bool> t2t_bool(std::string_view _field) const;
    std::optional<std::uint32_t> t2t_unsigned(std::string_view _field) const;
};

}  // namespace vyr::context
