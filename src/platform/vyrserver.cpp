#include "platform/vyrserver.h"

#include <cctype>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "common/globals.h"
#include "common/metrics.h"
#include "context/alarm.h"
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

// A uid as one segment (or query value) of a URL: every byte but the unreserved ones
// percent-encoded, so that a blank, a slash or a line break cannot break the request.
std::string escaped(const std::string& _uid) {
    static const char s_hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(_uid.size());
    for (const unsigned char c : _uid) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(s_hex[c >> 4]);
            out.push_back(s_hex[c & 0xF]);
        }
    }
    return out;
}

// Walks the text of a JSON answer without building it: enough to find a member of the
// top object and the text of each element of an array, which JsonCpp then reads one at a
// time. A parser that indexes the whole text first takes several times its size, which
// for the trackable objects of a large site is the service's largest allocation.
class json_walker {
public:
    struct malformed : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    explicit json_walker(std::string_view _text) : m_text(_text) {}

    // The next character after blanks, not taken; '\0' at the end.
    char peek() {
        while (m_at < m_text.size() && std::isspace(static_cast<unsigned char>(m_text[m_at])))
            ++m_at;
        return m_at < m_text.size() ? m_text[m_at] : '\0';
    }
    bool take(char _c) {
        if (peek() != _c)
            return false;
        ++m_at;
        return true;
    }
    void expect(char _c) {
        if (!take(_c))
            throw malformed(std::string("'") + _c + "' expected at byte " + std::to_string(m_at));
    }
    // Passes over one value (an object or array whole); its text.
    std::string_view value() {
        const char first = peek();
        const auto start = m_at;
        if (first == '"') {
            string();
        } else if (first == '{' || first == '[') {
            nested();
        } else {
            while (m_at < m_text.size() && (std::isalnum(static_cast<unsigned char>(m_text[m_at])) ||
                                            m_text[m_at] == '-' || m_text[m_at] == '+' || m_text[m_at] == '.'))
                ++m_at;
            if (m_at == start)
                throw malformed("a value expected at byte " + std::to_string(m_at));
        }
        return m_text.substr(start, m_at - start);
    }
    // In the object starting here: true with the walk at the value of the first member
    // named `_name`, false past the object when it has none.
    bool find_member(std::string_view _name) {
        expect('{');
        if (take('}'))
            return false;
        do {
            peek();
            const auto key = string();
            expect(':');
            if (key == _name)
                return true;
            value();
        } while (take(','));
        expect('}');
        return false;
    }

private:
    // A string from its opening quote; its text between the quotes, escapes as written.
    std::string_view string() {
        if (peek() != '"')
            throw malformed("a string expected at byte " + std::to_string(m_at));
        const auto start = ++m_at;
        while (m_at < m_text.size() && m_text[m_at] != '"')
            m_at += m_text[m_at] == '\\' ? 2 : 1;
        if (m_at >= m_text.size())
            throw malformed("the text ends inside a string");
        return m_text.substr(start, m_at++ - start);
    }
    // From an opening bracket to the one closing it.
    void nested() {
        std::string closers;
        do {
            const char c = m_text[m_at];
            if (c == '"') {
                string();
                continue;
            }
            if (c == '{' || c == '[') {
                closers.push_back(c == '{' ? '}' : ']');
            } else if (c == '}' || c == ']') {
                if (c != closers.back())
                    throw malformed(std::string("unexpected '") + c + "' at byte " + std::to_string(m_at));
                closers.pop_back();
            }
            ++m_at;
        } while (!closers.empty() && m_at < m_text.size());
        if (!closers.empty())
            throw malformed("the text ends inside an object or array");
    }

    std::string_view m_text;
    std::size_t m_at = 0;
};

// Alarms of the kinds the service does not handle are left out by design, not broken.
bool left_out_by_design(const Json::Value&, const void*) { return false; }
bool left_out_by_design(const Json::Value& _element, const alarm*) {
    const Json::Value& name = _element["alarm_name"];
    return name.isString() && !context::is_handled_alarm(name.asString());
}

// Adds a decoded record unless its uid is there already: the first one stays.
template <class Map, class Record>
void insert_first(Map& _map, const std::string& _uid, Record&& _record) {
    _map.try_emplace(_uid, std::forward<Record>(_record));
}

}  // namespace

c_vyrserver::c_vyrserver(const std::string& _module_name, const std::string& _protocol,
                         const std::string& _address, const std::string& _login, const std::string& _password,
                         std::uint32_t _port, libs::core::component_logger& _logger, const std::string& _ca_file,
                         const request_timeouts& _timeouts)
    : c_server(_module_name, _protocol, _address, _login, _password, _port, _logger, _ca_file, _timeouts) {}

c_vyrserver::~c_vyrserver() = default;

Json::Value c_vyrserver::collection(const std::string& _func, const Json::Value& _answer, const std::string& _member,
                                    bool _required) {
    if (_answer.isNull() && !_required)
        return Json::Value();
    const auto malformed = [&](const std::string& _what) {
        vyr::metrics::platform_request_failed("malformed");
        VYR_THROW(_func + ": " + _what);
    };
    if (!_answer.isObject())
        malformed("the answer is not a JSON object");
    if (!_answer.isMember(_member) || _answer[_member].isNull()) {
        if (_required)
            malformed("the answer has no \"" + _member + "\"");
        return Json::Value();
    }
    const Json::Value& value = _answer[_member];
    // Anything but an array is a broken answer, not an empty collection: reading it as
    // "no objects" would make the mirror drop every record of the kind.
    if (!value.isArray())
        malformed("\"" + _member + "\" is not an array");
    return value;
}

void c_vyrserver::note_undecoded(const std::string& _func, const std::string& _member, const std::string& _uid,
                                 undecoded* _undecoded) const {
    if (!_undecoded)
        return;
    if (_uid.empty()) {
        _undecoded->unnamed = true;
        m_logger.warning("%1%: an element of \"%2%\" has no uid (or is no object): stored objects of the kind are "
                         "not removed") % _func % _member;
        return;
    }
    _undecoded->uids.insert(_uid);
    m_logger.warning("%1%: element \"%2%\" of \"%3%\" does not decode (a required member is missing, mistyped or "
                     "invalid; the debug record before names it): its stored record is kept") %
        _func % _uid % _member;
}

template <class Record>
std::map<std::string, Record> c_vyrserver::get_objects(const std::string& _func, const std::string& _member,
                                                       const std::string& _path, const std::string& _uid,
                                                       const std::string& _project_uid, undecoded* _undecoded) const {
    std::string body;
    auto headers = project_header(_project_uid, false);
    vyr::metrics::platform_request(_member, _uid.empty());
    if (_uid.empty())
        body = curl_get_text(_path, headers.release());
    else if (!curl_get_object(_path + escaped(_uid), body, headers.release()))
        return {};  // gone

    // The answer is walked in place and only one element at a time becomes a JSON value:
    // a large answer is never held as a whole document next to its text.
    const object_decoder decode{{m_logger, _func, _member}, from_api};
    std::map<std::string, Record> result;
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    try {
        json_walker walk(body);
        if (walk.peek() != '{')
            VYR_THROW(_func + ": the answer is not a JSON object");
        if (!walk.find_member(_member) || walk.peek() == 'n')  // absent or null
            VYR_THROW(_func + ": the answer has no \"" + _member + "\"");
        if (walk.peek() != '[')
            VYR_THROW(_func + ": \"" + _member + "\" is not an array");
        walk.expect('[');
        if (!walk.take(']')) {
            do {
                const std::string_view text = walk.value();
                Json::Value element;
                std::string errors;
                if (text.front() == '{' &&
                    !reader->parse(text.data(), text.data() + text.size(), &element, &errors))
                    VYR_THROW(_func + ": element of \"" + _member + "\": " + errors);
                // anything but an object is passed over
                std::string uid;
                Record record;
                if (!element.isObject() || !decode.read(element, "uid", uid))
                    note_undecoded(_func, _member, "", _undecoded);
                else if (decode(element, uid, record))
                    insert_first(result, uid, std::move(record));
                else if (!left_out_by_design(element, &record))
                    note_undecoded(_func, _member, uid, _undecoded);
            } while (walk.take(','));
            walk.expect(']');
        }
    } catch (const json_walker::malformed& e) {
        vyr::metrics::platform_request_failed("malformed");
        VYR_THROW(_func + ": parse error: " + e.what());
    } catch (const std::exception&) {
        vyr::metrics::platform_request_failed("malformed");  // the answer's shape, thrown above
        throw;
    }
    return result;
}

std::map<std::string, anchor> c_vyrserver::get_anchors(const std::string& anchor_uid, const std::string& project_uid,
                                                       undecoded* _undecoded) const {
    return get_objects<anchor>("get_anchors", "win_anchors", req_win_anchors, anchor_uid, project_uid, _undecoded);
}

std::map<std::string, track_obj> c_vyrserver::get_track_objs(const std::string& track_obj_uid,
                                                             const std::string& project_uid,
                                                             undecoded* _undecoded) const {
    return get_objects<track_obj>("get_track_objs", "trackableObjects", req_track_obj, track_obj_uid, project_uid,
                                  _undecoded);
}

std::map<std::string, group> c_vyrserver::get_groups(const std::string& group_uid, const std::string& project_uid,
                                                     undecoded* _undecoded) const {
    return get_objects<group>("get_groups", "groups", req_groups, group_uid, project_uid, _undecoded);
}

std::map<std::string, zone> c_vyrserver::get_zones(const std::string& zone_uid, const std::string& project_uid,
                                                   undecoded* _undecoded) const {
    return get_objects<zone>("get_zones", "zones", req_zones, zone_uid, project_uid, _undecoded);
}

std::map<std::string, sublocation> c_vyrserver::get_sublocations(const std::string& sublocation_uid,
                                                                 const std::string& project_uid,
                                                                 undecoded* _undecoded) const {
    return get_objects<sublocation>("get_sublocations", "sublocations", req_sublocations, sublocation_uid,
                                    project_uid, _undecoded);
}

std::map<std::string, alarm> c_vyrserver::get_alarms(const std::string& alarm_uid, undecoded* _undecoded) const {
    return get_objects<alarm>("get_alarms", "alarms", req_alarms_active, alarm_uid, "", _undecoded);
}

std::map<std::string, tdoa_schedule> c_vyrserver::get_tdoa_schedules(const std::string& schedule_uid,
                                                                     undecoded* _undecoded) const {
    return get_objects<tdoa_schedule>("get_tdoa_schedules", "tdoa_schedules", req_tdoa_schedules, schedule_uid, "",
                                      _undecoded);
}

// ---- the sleep mechanism's anchor table --------------------------------------------------

void c_vyrserver::get_anchors(std::map<std::string, anchor_sleep_t>& _anchors, const std::string& project_uid,
                              const std::string& loc_uid, const std::string& sl_uid) const {
    static const std::string func = "get_anchors";
    vyr::metrics::platform_request("win_anchors", true);
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
    const std::string& tdoa_settings_uid, undecoded* _undecoded) const {
    std::string body;
    vyr::metrics::platform_request("tdoa_settings", tdoa_settings_uid.empty());
    if (tdoa_settings_uid.empty())
        body = curl_get_text(req_tdoa_settings, nullptr);
    else if (!curl_get_object(req_tdoa_settings + escaped(tdoa_settings_uid), body, nullptr))
        return std::map<std::string, Json::Value>();  // gone

    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(body.data(), body.data() + body.size(), &root, &errors)) {
        m_logger.error("json: '%1%', parse error: '%2%'") % body_excerpt(body) % errors;
        vyr::metrics::platform_request_failed("malformed");
        return std::nullopt;
    }

    libs::core::json::validator check("tdoa_settings parse", m_logger, VYR_HERE);
    if (!check.is_array(root, "tdoa_settings", ".")) {
        vyr::metrics::platform_request_failed("malformed");
        return std::nullopt;
    }

    std::map<std::string, Json::Value> result;
    for (const auto& element : root["tdoa_settings"]) {
        if (!element.isObject() || !element["project_uid"].isString()) {
            note_undecoded("get_tdoa_settings", "tdoa_settings", "", _undecoded);
            continue;
        }
        result.try_emplace(element["project_uid"].asString(), element);
    }
    return result;
}

// ---- licences and certifications ---------------------------------------------------------

std::optional<Json::Value> c_vyrserver::optional_collection(const std::string& _func, const std::string& _member,
                                                        const std::string& _path, const std::string& _obj_uid) const {
    std::stringstream answer;
    vyr::metrics::platform_request(_member, _obj_uid.empty());
    if (!try_curl_get_request(_obj_uid.empty() ? _path : _path + "?obj_uid[]=" + escaped(_obj_uid), answer, nullptr))
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