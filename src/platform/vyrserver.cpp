#include "platform/vyrserver.h"

#include <memory>
#include <utility>

#include "common/globals.h"
#include "core/exception.h"
#include "core/json.h"
#include "platform/decoders.h"

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

// Adds a decoded record unless its uid is there already: the first one stays.
template <class Map, class Record>
void insert_first(Map& _map, const std::string& _uid, Record&& _record) {
    _map.try_emplace(_uid, std::forward<Record>(_record));
}

}  // namespace

c_vyrserver::c_vyrserver(const std::string& _module_name, const std::string& _protocol,
                         const std::string& _address, const std::string& _login, const std::string& _password,
                         std::uint32_t _port, libs::core::component_logger& _logger, const std::string& _ca_file)
    : c_server(_module_name, _protocol, _address, _login, _password, _port, _logger, _ca_file) {}

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

template <class Record>
std::map<std::string, Record> c_vyrserver::get_objects(const std::string& _func, const std::string& _member,
                                                       const std::string& _path,
                                                       const std::string& _project_uid) const {
    auto answer = curl_get_request(_path, project_header(_project_uid, false).release());
    Json::Value root;
    parse_answer(_func, answer, root);

    const object_decoder decode{{m_logger, _func, _member}, from_api};
    std::map<std::string, Record> result;
    for (const auto& element : collection(_func, root, _member)) {
        std::string uid;
        Record record;
        if (decode.read(element, "uid", uid) && decode(element, uid, record))
            insert_first(result, uid, std::move(record));
    }
    return result;
}

std::map<std::string, anchor> c_vyrserver::get_anchors(const std::string& anchor_uid,
                                                       const std::string& project_uid) const {
    return get_objects<anchor>("get_anchors", "win_anchors", req_win_anchors + anchor_uid, project_uid);
}

std::map<std::string, track_obj> c_vyrserver::get_track_objs(const std::string& track_obj_uid,
                                                             const std::string& project_uid) const {
    return get_objects<track_obj>("get_track_objs", "trackableObjects", req_track_obj + track_obj_uid, project_uid);
}

std::map<std::string, group> c_vyrserver::get_groups(const std::string& group_uid,
                                                     const std::string& project_uid) const {
    return get_objects<group>("get_groups", "groups", req_groups + group_uid, project_uid);
}

std::map<std::string, zone> c_vyrserver::get_zones(const std::string& zone_uid, const std::string& project_uid) const {
    return get_objects<zone>("get_zones", "zones", req_zones + zone_uid, project_uid);
}

std::map<std::string, sublocation> c_vyrserver::get_sublocations(const std::string& sublocation_uid,
                                                                 const std::string& project_uid) const {
    return get_objects<sublocation>("get_sublocations", "sublocations", req_sublocations + sublocation_uid,
                                    project_uid);
}

std::map<std::string, alarm> c_vyrserver::get_alarms(const std::string& alarm_uid) const {
    return get_objects<alarm>("get_alarms", "alarms", req_alarms_active + alarm_uid, "");
}

std::map<std::string, tdoa_schedule> c_vyrserver::get_tdoa_schedules(const std::string& schedule_uid) const {
    return get_objects<tdoa_schedule>("get_tdoa_schedules", "tdoa_schedules", req_tdoa_schedules + schedule_uid, "");
}

// ---- the sleep mechanism's anchor table --------------------------------------------------

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

// ---- licences and certifications ---------------------------------------------------------

std::optional<Json::Value> c_vyrserver::optional_collection(const std::string& _func, const std::string& _member,
                                                        const std::string& _path, const std::string& _obj_uid) const {
    std::stringstream answer;
    if (!try_curl_get_request(_obj_uid.empty() ? _path : _path + "?obj_uid[]=" + _obj_uid, answer, nullptr))
        return std::nullopt;
    Json::Value root;
    parse_answer(_func, answer, root);
    return collection(_func, root, _member);
}

std::optional<std::map<std::string, std::set<std::uint32_t>>> c_vyrserver::get_driver_licenses(
    const std::string& _obj_uid) const {
    static const std::string func = "get_driver_licenses";
    static const std::string object = "driver_licenses";
    const auto elements = optional_collection(func, object, req_driver_licenses, _obj_uid);
    if (!elements)
        return std::nullopt;

    const field_reader read{m_logger, func, object};
    std::map<std::string, std::set<std::uint32_t>> result;
    for (const auto& element : *elements) {
        std::string obj_uid;
        Json::Value licenses;
        if (!read(element, "obj_uid", obj_uid) ||
            !get_j_field(m_logger, element, func, object, "licenses", licenses, ""))
            continue;
        if (!licenses.isArray()) {
            m_logger.debug("%s %s:%s field \"%s\" is not an array") % func % object % "" % "licenses";
            continue;
        }
        insert_first(result, obj_uid, required_licences(read, licenses));
    }
    return result;
}

std::optional<std::map<std::string, std::uint32_t>> c_vyrserver::get_vehicle_certifications(
    const std::string& _obj_uid) const {
    static const std::string func = "get_vehicle_certifications";
    static const std::string object = "vehicle_certifications";
    const auto elements = optional_collection(func, object, req_vehicle_certifications, _obj_uid);
    if (!elements)
        return std::nullopt;

    const field_reader read{m_logger, func, object};
    std::map<std::string, std::uint32_t> result;
    for (const auto& element : *elements) {
        std::string obj_uid;
        unsigned int id = 0;
        bool required = false;
        if (read(element, "obj_uid", obj_uid) && read(element, "id", id) &&
            read(element, "certification_required", required) && required)
            result.try_emplace(obj_uid, id);
    }
    return result;
}

}  // namespace vyr::vyrserver