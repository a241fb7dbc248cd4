// Server change notifications ("#notify"): the platform announces created, changed and
// deleted project objects, and radio nodes announce themselves. Each handler runs on the
// receiver thread, writes the change into the Redis mirror through the receiver's own
// connection, queues re-fetches with the updater and wakes the sleep mechanism for
// anchor announcements.
#include <sys/time.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <locale>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/globals.h"
#include "context/context.h"
#include "core/json.h"
#include "input/receiver.h"
#include "platform/updater.h"
#include "platform/vyrserver.h"
#include "runtime/inproc_commands.h"

namespace {

using vyr::libs::core::component_logger;

// Typed reads of one notification for one handler: every diagnostic names the handler
// and the object kind.
struct reader {
    component_logger& logger;
    const std::string func;
    const std::string object;

    template <class T>
    bool operator()(const Json::Value& _j, const std::string& _field, T& _out, const std::string& _uid = {}) const {
        return get_j_value(logger, _j, func, object, _field, _out, _uid);
    }

    // The start of every project-object notification: "action", "plist" and its "uid".
    bool envelope(const Json::Value& _j, std::string& _action, Json::Value& _plist, std::string& _uid) const {
        return (*this)(_j, "action", _action) && (*this)(_j, "plist", _plist) && (*this)(_plist, "uid", _uid);
    }

    // A node's MAC address, normalised; false (after a debug record) when it is rejected.
    bool mac(const Json::Value& _j, std::string& _mac, const std::string& _uid) const {
        if (!(*this)(_j, "mac_address", _mac))
            return false;
        return checked_mac(_mac, _uid);
    }

    bool checked_mac(std::string& _mac, const std::string& _uid) const {
        if (comb_mac(_mac))
            return true;
        logger.debug("%s %s field \"mac_address\" is not valid (%s)") % object % _uid % _mac;
        return false;
    }
};

bool has(const Json::Value& _j, const char* _member) { return _j.isObject() && _j.isMember(_member); }

bool is_change(const std::string& _action) { return _action == "created" || _action == "updated"; }

// Nearest integer with halves away from zero, saturating at the ends of the range.
std::int32_t round_half_away(double _value) {
    const double rounded = std::round(_value);
    if (!(rounded > static_cast<double>(std::numeric_limits<std::int32_t>::min())))
        return std::numeric_limits<std::int32_t>::min();
    if (rounded >= static_cast<double>(std::numeric_limits<std::int32_t>::max()))
        return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(rounded);
}

std::string to_lower(std::string _text) {
    const std::locale locale;
    for (auto& c : _text)
        c = std::tolower(c, locale);
    return _text;
}

// An unsigned number from `_first`, or from `_second` when there is no `_first`.
bool read_number_or_sequence(const reader& _read, const Json::Value& _plist, const char* _first,
                             unsigned int& _out, const std::string& _uid) {
    if (has(_plist, _first))
        return _read(_plist, _first, _out, _uid);
    if (has(_plist, "sequence"))
        return _read(_plist, "sequence", _out, _uid);
    return false;
}

// The node announcement common to anchors and tags: "dev_id" when present, then the
// normalised "mac" and "action".
bool read_announcement(const reader& _read, const Json::Value& _j, std::string& _dev_id, std::string& _mac,
                       std::string& _action) {
    if (has(_j, "dev_id") && !_read(_j, "dev_id", _dev_id))
        return false;
    if (!_read(_j, "mac", _mac) || !_read.checked_mac(_mac, _dev_id))
        return false;
    return _read(_j, "action", _action);
}

}  // namespace

void c_receiver::process_notify(const std::string& _body) const {
    const auto parsed = vyr::libs::core::json::try_parse(_body);
    if (!parsed.ok)
        return;
    // A document that is not an object makes JsonCpp throw here; the receiver loop logs it.
    const Json::Value& object = parsed.result["object"];
    if (!object.isString())
        return;

    using handler_t = void (c_receiver::*)(const Json::Value&) const;
    static const std::pair<const char*, handler_t> s_handlers[] = {
        {"WIN", &c_receiver::process_notify_WIN},
        {"WIN_ANCHOR", &c_receiver::process_notify_WIN_ANCHOR},
        {"TO", &c_receiver::process_notify_TO},
        {"TRACKABLE_OBJECT", &c_receiver::process_notify_TRACKABLE_OBJECT},
        {"GROUP", &c_receiver::process_notify_GROUP},
        {"ZONE", &c_receiver::process_notify_ZONE},
        {"SUBLOCATION", &c_receiver::process_notify_SUBLOCATION},
        {"PROJECT", &c_receiver::process_notify_PROJECT},
        {"TDOA_SCHEDULE", &c_receiver::process_notify_tdoa_schedule},
        {"TDOA_SETTINGS", &c_receiver::process_notify_tdoa_settings},
        {"driver_licenses", &c_receiver::process_notify_driver_licenses},
        {"vehicle_certifications", &c_receiver::process_notify_vehicle_certifications},
    };
    const std::string kind = object.asString();
    for (const auto& [name, handler] : s_handlers) {
        if (kind == name) {
            (this->*handler)(parsed.result);
            return;
        }
    }
}

// ---- project objects -----------------------------------------------------------------------

void c_receiver::process_notify_GROUP(const Json::Value& _j_notify) const {
    const reader read{m_logger, "process_notify_GROUP", "GROUP"};
    std::string action, uid, project_uid, name;
    Json::Value plist;
    if (!read.envelope(_j_notify, action, plist, uid))
        return;
    auto record = m_context->get_group(uid);
    if (action == "deleted") {
        record.remove();
        return;
    }
    if (!read(plist, "project_uid", project_uid, uid) || !read(plist, "name", name, uid))
        return;
    if (is_change(action))
        record.update(project_uid, name);
}

void c_receiver::process_notify_ZONE(const Json::Value& _j_notify) const {
    const reader read{m_logger, "process_notify_ZONE", "ZONE"};
    std::string action, uid, project_uid;
    Json::Value plist;
    unsigned int zone_id = 0;
    if (!read.envelope(_j_notify, action, plist, uid))
        return;
    auto record = m_context->get_zone(uid);
    if (action == "deleted") {
        record.remove();
        return;
    }
    if (!read(plist, "project_uid", project_uid, uid) ||
        !read_number_or_sequence(read, plist, "zone_id", zone_id, uid))
        return;
    if (is_change(action))
        record.update(project_uid, zone_id);
}

void c_receiver::process_notify_SUBLOCATION(const Json::Value& _j_notify) const {
    const reader read{m_logger, "process_notify_SUBLOCATION", "SUBLOCATION"};
    std::string action, uid, project_uid;
    Json::Value plist;
    unsigned int id = 0;
    double x = 0, y = 0, z = 0;
    if (!read.envelope(_j_notify, action, plist, uid))
        return;
    auto record = m_context->get_sublocation(uid);
    if (action == "deleted") {
        record.remove();
        return;
    }
    if (!read(plist, "project_uid", project_uid, uid) || !read_number_or_sequence(read, plist, "id", id, uid) ||
        !read(plist, "offset_x", x, uid) || !read(plist, "offset_y", y, uid) || !read(plist, "offset_z", z, uid))
        return;
    // Offsets are rounded as the server decoder does: add 0.5, truncate toward zero.
    using vyr::vyrserver::round_signed;
    if (is_change(action))
        record.update(project_uid, id, round_signed(x), round_signed(y), round_signed(z));
}

void c_receiver::process_notify_WIN_ANCHOR(const Json::Value& _j_notify) const {
    const reader read{m_logger, "process_notify_WIN_ANCHOR", "WIN_ANCHOR"};
    std::string action, uid, project_uid, name, sublocation_uid, type, mac;
    Json::Value plist, position;
    double x = 0, y = 0, z = 0;
    unsigned int node_id = 0;
    if (!read.envelope(_j_notify, action, plist, uid))
        return;
    auto record = m_context->get_anchor(uid);
    if (action == "deleted") {
        record.remove();
        return;
    }
    if (!read(plist, "project_uid", project_uid, uid) || !read(plist, "name", name, uid) ||
        !read(plist, "sublocation_uid", sublocation_uid, uid) || !read(plist, "type", type, uid) ||
        !read(plist, "position", position, uid) || !read(position, "x", x, uid) || !read(position, "y", y, uid) ||
        !read(position, "z", z, uid))
        return;
    if (has(plist, "node") && plist["node"].isObject()) {
        const Json::Value& node = plist["node"];
        if (!read.mac(node, mac, uid) || !read(node, "node_id", node_id, uid))
            return;
    }
    using vyr::vyrserver::round_signed;
    if (is_change(action))
        record.update(project_uid, name, sublocation_uid, round_signed(x), round_signed(y), round_signed(z), type,
                      mac, node_id);
}

void c_receiver::process_notify_TRACKABLE_OBJECT(const Json::Value& _j_notify) const {
    const reader read{m_logger, "process_notify_TRACKABLE_OBJECT", "TRACKABLE_OBJECT"};
    std::string action, uid;
    Json::Value plist;
    if (!read.envelope(_j_notify, action, plist, uid))
        return;
    auto record = m_context->get_track_obj(uid);
    if (action == "deleted") {
        record.remove();
        return;
    }

    vyr::vyrserver::track_obj t;
    std::string category;
    double height = 0;
    if (!read(plist, "project_uid", t.project_uid, uid) || !read(plist, "name", t.name, uid) ||
        !read(plist, "type", t.type, uid) || !read(plist, "category", category, uid) ||
        !read(plist, "default_height", height, uid))
        return;
    t.category = to_lower(category);
    t.default_height = round_half_away(height);

    if (has(plist, "node") && plist["node"].isObject() && !read.mac(plist["node"], t.mac_address, uid))
        return;

    if (has(plist, "position") && plist["position"].isObject()) {
        const Json::Value& position = plist["position"];
        double x = 0, y = 0;
        if (has(position, "sl_id") && !read(position, "sl_id", t.sublocation_uid, uid))
            return;
        if (!read(position, "x", x, uid) || !read(position, "y", y, uid))
            return;
        t.position_x = round_half_away(x);
        t.position_y = round_half_away(y);
    }

    // The strings up to the first that is not one; a bad list does not drop the object.
    if (has(plist, "groups"))
        (void)read(plist, "groups", t.groups, uid);

    auto& tag = t.tag_config;
    auto& cfg = tag.t2t_cfg;
    if (has(plist, "tag_config") && plist["tag_config"].isObject()) {
        const Json::Value& tag_config = plist["tag_config"];
        if (!read(tag_config, "stationary", tag.stationary, uid))
            return;
        if (has(tag_config, "t2t_no_alarm") && tag_config["t2t_no_alarm"].isArray()) {
            for (const auto& entry : tag_config["t2t_no_alarm"])
                if (entry.isObject() && entry["mac"].isString())
                    tag.t2t_no_alarm.push_back(entry["mac"].asString());
        }
        if (has(tag_config, "t2t_cfg") && tag_config["t2t_cfg"].isObject()) {
            const Json::Value& j_cfg = tag_config["t2t_cfg"];
            if (!read(j_cfg, "role", cfg.role, uid))
                return;
            cfg.valid = true;
            // Present means set: to the value, or to false, 0 or "" for another type.
            for (auto [name, field] : {std::pair{"alarm_back", &vyr::vyrserver::t2t_cfg_t::alarm_back},
                                       std::pair{"buzzer", &vyr::vyrserver::t2t_cfg_t::buzzer},
                                       std::pair{"haptic", &vyr::vyrserver::t2t_cfg_t::haptic}})
                if (has(j_cfg, name))
                    cfg.*field = j_cfg[name].isBool() && j_cfg[name].asBool();
            for (auto [name, field] : {std::pair{"distance", &vyr::vyrserver::t2t_cfg_t::distance},
                                       std::pair{"angle", &vyr::vyrserver::t2t_cfg_t::angle},
                                       std::pair{"delay", &vyr::vyrserver::t2t_cfg_t::delay},
                                       std::pair{"alert_distance", &vyr::vyrserver::t2t_cfg_t::alert_distance},
                                       std::pair{"safe_distance", &vyr::vyrserver::t2t_cfg_t::safe_distance}})
                if (has(j_cfg, name))
                    cfg.*field = j_cfg[name].isNumeric() ? vyr::vyrserver::round_unsigned(j_cfg[name].asDouble()) : 0u;
            if (has(j_cfg, "pin"))
                cfg.pin = j_cfg["pin"].isString() ? j_cfg["pin"].asString() : std::string();
        }
    }

    if (is_change(action))
        record.update(t.project_uid, t.name, t.sublocation_uid, t.position_x, t.position_y, t.default_height, t.type,
                      t.mac_address, t.groups, t.category, tag.stationary, tag.t2t_no_alarm, cfg.valid, cfg.role,
                      cfg.alarm_back, cfg.distance, cfg.angle, cfg.delay, cfg.pin, cfg.alert_distance,
                      cfg.safe_distance, cfg.buzzer, cfg.haptic);
}

// Only the project's TDOA setting goes with the project; its other objects are deleted
// by notifications of their own.
void c_receiver::process_notify_PROJECT(const Json::Value& _j_notify) const {
    const reader read{m_logger, "process_notify_PROJECT", "PROJECT"};
    std::string action, uid;
    Json::Value plist;
    if (!read(_j_notify, "action", action) || action != "deleted")
        return;
    if (!read(_j_notify, "plist", plist) || !read(plist, "uid", uid))
        return;
    m_logger.debug("%s uid=\"%s\" is deleted") % "PROJECT" % uid;
    m_context->get_tdoa_setting(uid).remove();
}

// Schedules are fetched by the updater: the notification does not carry the rows.
void c_receiver::process_notify_tdoa_schedule(const Json::Value& _j_notify) const {
    const reader read{m_logger, "process_notify_tdoa_schedule", "TDOA_SCHEDULE"};
    std::string action, uid;
    Json::Value plist;
    if (!read.envelope(_j_notify, action, plist, uid))
        return;
    if (is_change(action)) {
        if (m_updater)
            m_updater->update_tdoa_schedule_req(uid);
    } else if (action == "deleted") {
        m_context->get_tdoa_schedule(uid).remove();
    }
}

void c_receiver::process_notify_tdoa_settings(const Json::Value& _j_notify) const {
    vyr::libs::core::json::validator check("tdoa_settings parse", m_logger, VYR_HERE);
    const bool action_ok = check.is_string(_j_notify, "action", ".");
    const bool plist_ok = check.is_object(_j_notify, "plist", ".");
    if (!action_ok || !plist_ok)
        return;
    const Json::Value& plist = _j_notify["plist"];
    if (!check.is_string(plist, "project_uid", ".plist"))
        return;

    const std::string action = _j_notify["action"].asString();
    auto record = m_context->get_tdoa_setting(plist["project_uid"].asString());
    if (action == "deleted")
        record.remove();
    else if (is_change(action))
        record.update(plist);
}

void c_receiver::process_notify_driver_licenses(const Json::Value& _j_notify) const {
    const reader read{m_logger, "process_notify_driver_licenses", "driver_licenses"};
    std::string action, obj_uid;
    Json::Value plist;
    if (!read(_j_notify, "action", action) || !read(_j_notify, "plist", plist) || !read(plist, "obj_uid", obj_uid))
        return;
    auto record = m_context->get_track_obj(obj_uid);
    const Json::Value& licenses = plist["driver_lic"];
    if (action == "deleted" || !licenses.isArray()) {
        record.remove_driver_licenses();
        return;
    }
    std::set<std::uint32_t> required;
    for (const auto& license : licenses) {
        unsigned int id = 0;
        bool certification_required = false;
        if (read(license, "id", id) && read(license, "certification_required", certification_required) &&
            certification_required)
            required.insert(id);
    }
    record.update_driver_licenses(required);
}

// A certification that is not required is stored as model 0, not removed.
void c_receiver::process_notify_vehicle_certifications(const Json::Value& _j_notify) const {
    const reader read{m_logger, "process_notify_vehicle_certifications", "vehicle_certifications"};
    std::string action, obj_uid;
    Json::Value plist;
    if (!read(_j_notify, "action", action) || !read(_j_notify, "plist", plist) || !read(plist, "obj_uid", obj_uid))
        return;
    auto record = m_context->get_track_obj(obj_uid);
    if (action == "deleted") {
        record.remove_vehicle_model();
        return;
    }
    unsigned int id = 0;
    bool certification_required = false;
    if (!read(plist, "id", id) || !read(plist, "certification_required", certification_required))
        return;
    record.update_vehicle_model(certification_required ? id : 0u);
}

// ---- node announcements ----------------------------------------------------------------------

// An anchor announced itself ("NA") or is alive ("HB"): the sleep mechanism hears of it,
// and the WIN may be sent to at once; after "NA" every parameter is delivered again.
void c_receiver::process_notify_WIN(const Json::Value& _j_notify) const {
    const reader read{m_logger, "process_notify_WIN", "WIN"};
    std::string dev_id, mac, action;
    if (!read_announcement(read, _j_notify, dev_id, mac, action))
        return;
    std::uint8_t command = 0;
    if (action == "NA")
        command = vyr::cmd::node_new_announce;
    else if (action == "HB")
        command = vyr::cmd::node_heartbeat;
    else
        return;

    if (!dev_id.empty()) {
        cmd_notify_from_node_t message{};
        message.cmd = command;
        vyr::cmd::set_field(message.mac, mac);
        vyr::cmd::set_field(message.uid, dev_id);
        send_command(*m_mech_sleep_socket, &message, sizeof(message));
    }

    auto device = m_context->get_win(mac);
    device.sending_time(timeval{0, 0});
    device.del_sending_counter();
    if (command == vyr::cmd::node_new_announce)
        device.del_all_parameters();
}

// A tag announced itself ("NA") or is alive ("HB"). After "NA" the tag knows nothing:
// parameters and alarms are delivered again from scratch and the alarms re-read.
void c_receiver::process_notify_TO(const Json::Value& _j_notify) const {
    const reader read{m_logger, "process_notify_TO", "TO"};
    std::string dev_id, mac, action;
    if (!read_announcement(read, _j_notify, dev_id, mac, action))
        return;

    using vyr::context::alarm_states;
    auto device = m_context->get_win(mac);
    device.sending_time(timeval{0, 0});
    device.del_sending_counter();
    if (action == "NA") {
        device.del_all_parameters();
        device.del_alarms();
        device.alarm_state(alarm_states::NOT_CONFIGURED);
        if (m_updater)
            m_updater->update_all_alarms_req();
        if (!dev_id.empty() && m_context->get_track_obj(dev_id).exists()) {
            for (const auto& alarm_uid : m_context->get_zone_alarms_of_object(dev_id))
                m_context->get_alarm(alarm_uid).delivered(false);
        }
    } else if (action == "HB") {
        if (device.alarm_state() == alarm_states::UNKNOWN)
            device.alarm_state(alarm_states::NOT_CONFIGURED);
    }
}
