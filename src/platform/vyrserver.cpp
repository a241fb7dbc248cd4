#include "platform/vyrserver.h"

#include <cmath>
#include <limits>
#include <locale>
#include <memory>
#include <utility>

#include "common/base64.h"
#include "common/globals.h"
#include "core/exception.h"
#include "core/json.h"

namespace vyr::vyrserver {

const std::string c_vyrserver::req_win_anchors = "/api/private/win_anchors/";
const std::string c_vyrserver::req_track_obj = "/api/private/track_obj/";
const std::string c_vyrserver::req_groups = "/api/private/groups/";
const std::string c_vyrserver::req_zones = "/api/private/zones/";
const std::string c_vyrserver::req_sublocations = "/api/private/sublocations/";
const std::string c_vyrserver::req_alarms_active = "/api/private/alarms/active/";
const std::string c_vyrserver::req_tdoa_settings = "/api/private/tdoa/settings/";
const std::string c_vyrserver::req_tdoa_schedules = "/api/private/tdoa/schedules/";
const std::string c_vyrserver::req_driver_licenses = "/api/private/wsc/driver_licenses/";
const std::string c_vyrserver::req_vehicle_certifications = "/api/private/wsc/vehicle_certifications/";

std::int32_t round_signed(double _value) {
    const double shifted = _value + 0.5;
    if (shifted >= static_cast<double>(std::numeric_limits<std::int32_t>::max()))
        return std::numeric_limits<std::int32_t>::max();
    if (shifted <= static_cast<double>(std::numeric_limits<std::int32_t>::min()))
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(shifted);  // truncates toward zero
}

std::uint32_t round_unsigned(double _value) {
    if (!(_value > 0))
        return 0;
    const double rounded = std::round(_value);
    if (rounded >= static_cast<double>(std::numeric_limits<std::uint32_t>::max()))
        return std::numeric_limits<std::uint32_t>::max();
    return static_cast<std::uint32_t>(rounded);
}

namespace {

using libs::core::component_logger;
using curl_handles::slist_ptr;

const std::string s_project_header = "X-User-Project";

// The project header of a request. With _always an empty project is still sent, as an
// empty header (libcurl drops a "Name: " header with nothing after the colon, so the
// "Name;" form is used for it).
slist_ptr project_header(const std::string& _project_uid, bool _always) {
    if (_project_uid.empty() && !_always)
        return nullptr;
    const std::string line =
        _project_uid.empty() ? s_project_header + ";" : s_project_header + ": " + _project_uid;
    slist_ptr list(curl_slist_append(nullptr, line.c_str()));
    if (!list)
        VYR_THROW("curl_slist_append failed");
    return list;
}

bool has(const Json::Value& _object, const char* _member) {
    return _object.isObject() && _object.isMember(_member);
}

// A member that must be an object when it is present; false when it is absent or of
// another kind (which counts as absent).
bool optional_object(const Json::Value& _object, const char* _member, Json::Value& _out) {
    if (!has(_object, _member) || !_object[_member].isObject())
        return false;
    _out = _object[_member];
    return true;
}

// Adds a decoded record unless its uid is there already: the first one stays.
template <class Map, class Record>
void insert_first(Map& _map, const std::string& _uid, Record&& _record) {
    _map.try_emplace(_uid, std::forward<Record>(_record));
}

std::string to_lower(const std::string& _text) {
    std::string out = _text;
    const std::locale locale;
    for (auto& c : out)
        c = std::tolower(c, locale);
    return out;
}

}  // namespace

c_vyrserver::c_vyrserver(const std::string& _module_name, const std::string& _protocol,
                         const std::string& _address, const std::string& _login, const std::string& _password,
                         std::uint32_t _port, libs::core::component_logger& _logger)
    : c_server(_module_name, _protocol, _address, _login, _password, _port, _logger) {}

c_vyrserver::~c_vyrserver() = default;

Json::Value c_vyrserver::collection(const std::string& _func, const Json::Value& _answer, const std::string& _member) {
    if (_answer.isNull())
        return Json::Value();
    if (!_answer.isObject())
        VYR_THROW(_func + ": the answer is not a JSON object");
    if (!_answer.isMember(_member) || _answer[_member].isNull())
        return Json::Value();
    const Json::Value& value = _answer[_member];
    // Anything but an array is a broken answer, not an empty collection: reading it as
    // "no objects" would make the mirror drop every record of the kind.
    if (!value.isArray())
        VYR_THROW(_func + ": \"" + _member + "\" is not an array");
    return value;
}

// ---- anchors ---------------------------------------------------------------------------

std::map<std::string, anchor> c_vyrserver::get_anchors(const std::string& anchor_uid,
                                                       const std::string& project_uid) const {
    static const std::string func = "get_anchors";
    static const std::string object = "win_anchors";
    auto answer = curl_get_request(req_win_anchors + anchor_uid, project_header(project_uid, false).release());
    Json::Value root;
    parse_answer(func, answer, root);

    std::map<std::string, anchor> result;
    for (const auto& element : collection(func, root, object)) {
        std::string uid;
        if (!get_j_value(m_logger, element, func, object, "uid", uid, ""))
            continue;
        anchor a;
        Json::Value position;
        double x = 0, y = 0, z = 0;
        if (!get_j_value(m_logger, element, func, object, "project_uid", a.project_uid, uid) ||
            !get_j_value(m_logger, element, func, object, "name", a.name, uid) ||
            !get_j_value(m_logger, element, func, object, "sublocation_uid", a.sublocation_uid, uid) ||
            !get_j_value(m_logger, element, func, object, "type", a.type, uid) ||
            !get_j_value(m_logger, element, func, object, "position", position, uid) ||
            !get_j_value(m_logger, position, func, object, "x", x, uid) ||
            !get_j_value(m_logger, position, func, object, "y", y, uid) ||
            !get_j_value(m_logger, position, func, object, "z", z, uid))
            continue;
        a.position_x = round_signed(x);
        a.position_y = round_signed(y);
        a.position_z = round_signed(z);

        Json::Value node;
        if (optional_object(element, "node", node)) {
            std::string mac;
            unsigned int node_id = 0;
            if (!get_j_value(m_logger, node, func, object, "mac_address", mac, uid))
                continue;
            if (!comb_mac(mac)) {
                m_logger.debug("%s %s field \"node.mac_addr\" is not valid (%s)") % object % uid % mac;
                continue;
            }
            if (!get_j_value(m_logger, node, func, object, "node_id", node_id, uid))
                continue;
            a.mac_address = mac;
            a.node_id = node_id;
        }
        insert_first(result, uid, std::move(a));
    }
    return result;
}

void c_vyrserver::get_anchors(std::map<std::string, anchor_sleep_t>& _anchors, const std::string& project_uid,
                              const std::string& loc_uid, const std::string& sl_uid) const {
    static const std::string func = "get_anchors";
    auto answer = curl_get_request(req_win_anchors, project_header(project_uid, true).release());
    Json::Value root;
    parse_answer(func, answer, root);

    for (const auto& element : collection(func, root, "win_anchors")) {
        if (!element.isObject())
            continue;
        const Json::Value& node = element["node"];
        if (!node.isObject())  // absent, null or not a node at all
            continue;
        const Json::Value& project = element["project_uid"];
        if (!project.isString() || project.asString() != project_uid)
            continue;
        const Json::Value& uid = element["uid"];
        if (!uid.isString())
            continue;
        std::string location;
        if (!loc_uid.empty()) {
            const Json::Value& value = element["location_uid"];
            if (!value.isString() || value.asString() != loc_uid)
                continue;
            location = loc_uid;
        }
        std::string sublocation;
        if (!sl_uid.empty()) {
            const Json::Value& position = element["position"];
            if (!position.isObject() || !position["sublocation_uid"].isString() ||
                position["sublocation_uid"].asString() != sl_uid)
                continue;
            sublocation = sl_uid;
        }
        const Json::Value& mac_value = node["mac_address"];
        if (!mac_value.isString())
            continue;
        std::string mac = mac_value.asString();
        if (!comb_mac(mac))
            continue;
        auto& entry = _anchors[uid.asString()];
        entry.m_project_uid = project_uid;
        entry.m_loc_uid = location;
        entry.m_sl_uid = sublocation;
        entry.m_mac_address = mac;
    }
}

// ---- trackable objects -------------------------------------------------------------------

namespace {

// The optional members of "t2t_cfg": present means set, to the value or to the kind's
// empty value when the member has another type.
void read_t2t_cfg(const Json::Value& _cfg, t2t_cfg_t& _out) {
    for (auto [name, field] : {std::pair{"alarm_back", &t2t_cfg_t::alarm_back}, std::pair{"buzzer", &t2t_cfg_t::buzzer},
                               std::pair{"haptic", &t2t_cfg_t::haptic}}) {
        if (has(_cfg, name))
            _out.*field = _cfg[name].isBool() ? _cfg[name].asBool() : false;
    }
    for (auto [name, field] :
         {std::pair{"distance", &t2t_cfg_t::distance}, std::pair{"angle", &t2t_cfg_t::angle},
          std::pair{"delay", &t2t_cfg_t::delay}, std::pair{"alert_distance", &t2t_cfg_t::alert_distance},
          std::pair{"safe_distance", &t2t_cfg_t::safe_distance}}) {
        if (has(_cfg, name))
            _out.*field = _cfg[name].isNumeric() ? round_unsigned(_cfg[name].asDouble()) : 0u;
    }
    if (has(_cfg, "pin"))
        _out.pin = _cfg["pin"].isString() ? _cfg["pin"].asString() : std::string();
}

}  // namespace

std::map<std::string, track_obj> c_vyrserver::get_track_objs(const std::string& track_obj_uid,
                                                             const std::string& project_uid) const {
    static const std::string func = "get_track_objs";
    static const std::string object = "trackableObjects";
    auto answer = curl_get_request(req_track_obj + track_obj_uid, project_header(project_uid, false).release());
    Json::Value root;
    parse_answer(func, answer, root);

    std::map<std::string, track_obj> result;
    for (const auto& element : collection(func, root, object)) {
        std::string uid;
        if (!get_j_value(m_logger, element, func, object, "uid", uid, ""))
            continue;
        track_obj t;
        std::string category;
        double height = 0;
        if (!get_j_value(m_logger, element, func, object, "project_uid", t.project_uid, uid) ||
            !get_j_value(m_logger, element, func, object, "name", t.name, uid) ||
            !get_j_value(m_logger, element, func, object, "type", t.type, uid) ||
            !get_j_value(m_logger, element, func, object, "category", category, uid) ||
            !get_j_value(m_logger, element, func, object, "default_height", height, uid))
            continue;
        t.category = to_lower(category);
        t.default_height = round_signed(height);

        Json::Value position;
        if (optional_object(element, "position", position)) {
            double x = 0, y = 0;
            if (!get_j_value(m_logger, position, func, object, "sl_id", t.sublocation_uid, uid) ||
                !get_j_value(m_logger, position, func, object, "x", x, uid) ||
                !get_j_value(m_logger, position, func, object, "y", y, uid))
                continue;
            t.position_x = round_signed(x);
            t.position_y = round_signed(y);
        }

        Json::Value node;
        if (optional_object(element, "node", node)) {
            std::string mac;
            if (!get_j_value(m_logger, node, func, object, "mac_address", mac, uid))
                continue;
            if (!comb_mac(mac)) {
                m_logger.debug("%s %s field \"node.mac_addr\" is not valid (%s)") % object % uid % mac;
                continue;
            }
            t.mac_address = mac;
        }

        // Reads the strings up to the first non-string; a bad list never drops the object.
        if (has(element, "groups"))
            (void)get_j_value(m_logger, element, func, object, "groups", t.groups, uid);

        Json::Value tag_config;
        if (optional_object(element, "tag_config", tag_config)) {
            if (!get_j_value(m_logger, tag_config, func, object, "stationary", t.tag_config.stationary, uid))
                continue;
            if (has(tag_config, "t2t_no_alarm") && tag_config["t2t_no_alarm"].isArray()) {
                for (const auto& entry : tag_config["t2t_no_alarm"]) {
                    if (entry.isObject() && entry["mac"].isString())
                        t.tag_config.t2t_no_alarm.push_back(entry["mac"].asString());
                }
            }
            Json::Value cfg;
            if (optional_object(tag_config, "t2t_cfg", cfg)) {
                t.tag_config.t2t_cfg.valid = true;
                if (!get_j_value(m_logger, cfg, func, object, "role", t.tag_config.t2t_cfg.role, uid))
                    continue;
                read_t2t_cfg(cfg, t.tag_config.t2t_cfg);
            }
        }
        insert_first(result, uid, std::move(t));
    }
    return result;
}

// ---- groups, zones, sublocations -------------------------------------------------------

std::map<std::string, group> c_vyrserver::get_groups(const std::string& group_uid,
                                                     const std::string& project_uid) const {
    static const std::string func = "get_groups";
    static const std::string object = "groups";
    auto answer = curl_get_request(req_groups + group_uid, project_header(project_uid, false).release());
    Json::Value root;
    parse_answer(func, answer, root);

    std::map<std::string, group> result;
    for (const auto& element : collection(func, root, object)) {
        std::string uid;
        group g;
        if (!get_j_value(m_logger, element, func, object, "uid", uid, "") ||
            !get_j_value(m_logger, element, func, object, "project_uid", g.project_uid, uid) ||
            !get_j_value(m_logger, element, func, object, "name", g.name, uid))
            continue;
        insert_first(result, uid, std::move(g));
    }
    return result;
}

std::map<std::string, zone> c_vyrserver::get_zones(const std::string& zone_uid, const std::string& project_uid) const {
    static const std::string func = "get_zones";
    static const std::string object = "zones";
    auto answer = curl_get_request(req_zones + zone_uid, project_header(project_uid, false).release());
    Json::Value root;
    parse_answer(func, answer, root);

    std::map<std::string, zone> result;
    for (const auto& element : collection(func, root, object)) {
        std::string uid;
        zone z;
        unsigned int zone_id = 0;
        if (!get_j_value(m_logger, element, func, object, "uid", uid, "") ||
            !get_j_value(m_logger, element, func, object, "project_uid", z.project_uid, uid) ||
            !get_j_value(m_logger, element, func, object, "zone_id", zone_id, uid))
            continue;
        z.zone_id = zone_id;
        insert_first(result, uid, std::move(z));
    }
    return result;
}

std::map<std::string, sublocation> c_vyrserver::get_sublocations(const std::string& sublocation_uid,
                                                                 const std::string& project_uid) const {
    static const std::string func = "get_sublocations";
    static const std::string object = "sublocations";
    auto answer = curl_get_request(req_sublocations + sublocation_uid, project_header(project_uid, false).release());
    Json::Value root;
    parse_answer(func, answer, root);

    std::map<std::string, sublocation> result;
    for (const auto& element : collection(func, root, object)) {
        std::string uid;
        sublocation s;
        unsigned int id = 0;
        double x = 0, y = 0, z = 0;
        if (!get_j_value(m_logger, element, func, object, "uid", uid, "") ||
            !get_j_value(m_logger, element, func, object, "project_uid", s.project_uid, uid) ||
            !get_j_value(m_logger, element, func, object, "id", id, uid) ||
            !get_j_value(m_logger, element, func, object, "offset_x", x, uid) ||
            !get_j_value(m_logger, element, func, object, "offset_y", y, uid) ||
            !get_j_value(m_logger, element, func, object, "offset_z", z, uid))
            continue;
        s.sublocation_id = id;
        s.offset_x = round_signed(x);
        s.offset_y = round_signed(y);
        s.offset_z = round_signed(z);
        insert_first(result, uid, std::move(s));
    }
    return result;
}

// ---- alarms ----------------------------------------------------------------------------

std::map<std::string, alarm> c_vyrserver::get_alarms(const std::string& alarm_uid) const {
    static const std::string func = "get_alarms";
    static const std::string object = "alarms";
    auto answer = curl_get_request(req_alarms_active + alarm_uid, nullptr);
    Json::Value root;
    parse_answer(func, answer, root);

    std::map<std::string, alarm> result;
    for (const auto& element : collection(func, root, object)) {
        std::string uid;
        if (!get_j_value(m_logger, element, func, object, "uid", uid, ""))
            continue;
        alarm a;
        unsigned int acknowledged = 0;
        if ((has(element, "alarm_name") && !get_j_value(m_logger, element, func, object, "alarm_name", a.alarm_name, uid)) ||
            (has(element, "acknowledged") &&
             !get_j_value(m_logger, element, func, object, "acknowledged", acknowledged, uid)) ||
            (has(element, "obj_uid") && !get_j_value(m_logger, element, func, object, "obj_uid", a.obj_uid, uid)))
            continue;
        a.acknowledged = acknowledged;

        Json::Value info;
        if (!get_j_value(m_logger, element, func, object, "additional_info", info, uid))
            continue;
        std::string text;
        if (has(info, "text") && !get_j_value(m_logger, info, func, object, "text", text, uid))
            continue;
        a.text = text;

        if (a.alarm_name == "zone_violation" || a.alarm_name == "buffer_violation") {
            // The zone uid is kept only when the server names one; the alarm text is
            // never taken for it.
            if (has(info, "zone_uid")) {
                std::string zone_uid;
                if (!get_j_value(m_logger, info, func, object, "zone_uid", zone_uid, uid))
                    continue;
                a.zone_uid = zone_uid;
            }
            unsigned int level = 0;
            if (has(info, "zone_alarm_level") &&
                !get_j_value(m_logger, info, func, object, "zone_alarm_level", level, uid))
                continue;
            a.zone_alarm_level = level;
        } else if (a.alarm_name != "emergency_button") {
            continue;
        }
        insert_first(result, uid, std::move(a));
    }
    return result;
}

// ---- TDOA ------------------------------------------------------------------------------

std::optional<std::map<std::string, Json::Value>> c_vyrserver::get_tdoa_settings(
    const std::string& tdoa_settings_uid) const {
    auto answer = curl_get_request(req_tdoa_settings + tdoa_settings_uid, nullptr);
    const std::string body = answer.str();

    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(body.data(), body.data() + body.size(), &root, &errors)) {
        m_logger.error("json: '%1%', parse error: '%2%'") % body % errors;
        return std::nullopt;
    }

    libs::core::json::validator check("tdoa_settings parse", m_logger, VYR_HERE);
    if (!check.is_array(root, "tdoa_settings", "."))
        return std::nullopt;

    std::map<std::string, Json::Value> result;
    for (const auto& element : root["tdoa_settings"]) {
        if (!element.isObject() || !element["project_uid"].isString())
            continue;
        result.try_emplace(element["project_uid"].asString(), element);
    }
    return result;
}

std::map<std::string, tdoa_schedule> c_vyrserver::get_tdoa_schedules(const std::string& schedule_uid) const {
    static const std::string func = "get_tdoa_schedules";
    static const std::string object = "tdoa_schedules";
    auto answer = curl_get_request(req_tdoa_schedules + schedule_uid, nullptr);
    Json::Value root;
    parse_answer(func, answer, root);

    std::map<std::string, tdoa_schedule> result;
    for (const auto& element : collection(func, root, object)) {
        std::string uid;
        if (!get_j_value(m_logger, element, func, object, "uid", uid, ""))
            continue;
        unsigned int version = 1;
        std::string content;
        if ((has(element, "tdoa_version") &&
             !get_j_value(m_logger, element, func, object, "tdoa_version", version, uid)) ||
            !get_j_value(m_logger, element, func, object, "content", content, uid))
            continue;
        if (version == 1)
            content = base64_decode(content);

        std::string text;
        text.reserve(content.size());
        for (char c : content) {
            if (c == '"')
                continue;
            text.push_back(c == '\r' ? '\n' : c);
        }

        tdoa_schedule schedule;
        schedule.tdoa_version = version;
        std::size_t start = 0;
        while (start <= text.size()) {
            std::size_t end = text.find('\n', start);
            if (end == std::string::npos)
                end = text.size();
            const std::string line = text.substr(start, end - start);
            if (!line.empty() && line[0] != '#')
                schedule.rows.insert(line);
            start = end + 1;
        }
        insert_first(result, uid, std::move(schedule));
    }
    return result;
}

// ---- licences and certifications ---------------------------------------------------------

std::optional<std::map<std::string, std::set<std::uint32_t>>> c_vyrserver::get_driver_licenses(
    const std::string& _obj_uid) const {
    static const std::string func = "get_driver_licenses";
    static const std::string object = "driver_licenses";
    std::string path = req_driver_licenses;
    if (!_obj_uid.empty())
        path += "?obj_uid[]=" + _obj_uid;
    std::stringstream answer;
    if (!try_curl_get_request(path, answer, nullptr))
        return std::nullopt;
    Json::Value root;
    parse_answer(func, answer, root);

    std::map<std::string, std::set<std::uint32_t>> result;
    for (const auto& element : collection(func, root, object)) {
        std::string obj_uid;
        Json::Value licenses;
        if (!get_j_value(m_logger, element, func, object, "obj_uid", obj_uid, "") ||
            !get_j_field(m_logger, element, func, object, "licenses", licenses, ""))
            continue;
        if (!licenses.isArray()) {
            m_logger.debug("%s %s:%s field \"%s\" is not an array") % func % object % "" % "licenses";
            continue;
        }
        std::set<std::uint32_t> ids;
        for (const auto& license : licenses) {
            unsigned int id = 0;
            bool required = false;
            if (!get_j_value(m_logger, license, func, object, "id", id, "") ||
                !get_j_value(m_logger, license, func, object, "certification_required", required, ""))
                continue;
            if (required)
                ids.insert(id);
        }
        insert_first(result, obj_uid, std::move(ids));
    }
    return result;
}

std::optional<std::map<std::string, std::uint32_t>> c_vyrserver::get_vehicle_certifications(
    const std::string& _obj_uid) const {
    static const std::string func = "get_vehicle_certifications";
    static const std::string object = "vehicle_certifications";
    std::string path = req_vehicle_certifications;
    if (!_obj_uid.empty())
        path += "?obj_uid[]=" + _obj_uid;
    std::stringstream answer;
    if (!try_curl_get_request(path, answer, nullptr))
        return std::nullopt;
    Json::Value root;
    parse_answer(func, answer, root);

    std::map<std::string, std::uint32_t> result;
    for (const auto& element : collection(func, root, object)) {
        std::string obj_uid;
        unsigned int id = 0;
        bool required = false;
        if (!get_j_value(m_logger, element, func, object, "obj_uid", obj_uid, "") ||
            !get_j_value(m_logger, element, func, object, "id", id, "") ||
            !get_j_value(m_logger, element, func, object, "certification_required", required, ""))
            continue;
        if (required)
            result.try_emplace(obj_uid, id);
    }
    return result;
}

}  // namespace vyr::vyrserver
