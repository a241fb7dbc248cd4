#include "platform_server.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include <httplib.h>
#include <json/json.h>

namespace vyr::tools {

namespace {

struct route {
    const char* path;    // collection path, ends with "/"
    const char* file;    // file in the project folder
    const char* member;  // answer member holding the array
};

const route s_routes[] = {
    {"/api/private/win_anchors/", "win_anchors.json", "win_anchors"},
    {"/api/private/track_obj/", "track_obj.json", "trackableObjects"},
    {"/api/private/groups/", "groups.json", "groups"},
    {"/api/private/zones/", "zones.json", "zones"},
    {"/api/private/sublocations/", "sublocations.json", "sublocations"},
    {"/api/private/alarms/active/", "alarms_active.json", "alarms"},
    {"/api/private/tdoa/settings/", "tdoa_settings.json", "tdoa_settings"},
    {"/api/private/tdoa/schedules/", "tdoa_schedules.json", "tdoa_schedules"},
    {"/api/private/wsc/driver_licenses/", "driver_licenses.json", "driver_licenses"},
    {"/api/private/wsc/vehicle_certifications/", "vehicle_certifications.json", "vehicle_certifications"},
};

const char* const s_project_header = "X-User-Project";
const char* const s_control_file = "control.json";

std::optional<std::string> read_file(const std::string& _path) {
    std::ifstream in(_path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::optional<Json::Value> parse(const std::string& _text) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    if (!reader->parse(_text.data(), _text.data() + _text.size(), &value, &errors))
        return std::nullopt;
    return value;
}

std::string one_line(const Json::Value& _value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, _value);
}

bool path_matches(const std::string& _rule, const std::string& _path) {
    if (!_rule.empty() && _rule.back() == '*')
        return _path.compare(0, _rule.size() - 1, _rule, 0, _rule.size() - 1) == 0;
    return _rule == _path;
}

bool field_is(const Json::Value& _element, const char* _member, const std::string& _text) {
    return _element.isObject() && _element[_member].isString() && _element[_member].asString() == _text;
}

std::unique_ptr<httplib::Server> make_server(const platform_server_options& _options) {
    if (_options.cert_file.empty() && _options.key_file.empty())
        return std::make_unique<httplib::Server>();
    auto server = std::make_unique<httplib::SSLServer>(_options.cert_file.c_str(), _options.key_file.c_str());
    if (!server->is_valid())
        throw std::runtime_error("cannot load the certificate " + _options.cert_file + " and key " + _options.key_file);
    return server;
}

}  // namespace

platform_server::platform_server(platform_server_options _options)
    : m_options(std::move(_options)), m_server(make_server(m_options)) {
    if (!m_options.log_file.empty()) {
        m_log.open(m_options.log_file, std::ios::app);
        if (!m_log)
            throw std::runtime_error("cannot open log file " + m_options.log_file);
    }
    m_server->Get(".*", [this](const httplib::Request& _request, httplib::Response& _response) {
        handle(_request, _response);
    });
    // Requests other than GET are not part of the API: answer 405 and log them.
    auto refuse = [this](const httplib::Request& _request, httplib::Response& _response) {
        log_request(_request, "405");
        _response.status = 405;
        _response.set_content("{\"detail\":\"Method not allowed.\"}", "application/json");
    };
    m_server->Post(".*", refuse);
    m_server->Put(".*", refuse);
    m_server->Delete(".*", refuse);
}

platform_server::~platform_server() { stop(); }

int platform_server::bind() {
    if (m_options.port == 0) {
        m_port = m_server->bind_to_any_port(m_options.bind);
        if (m_port <= 0)
            throw std::runtime_error("cannot bind to " + m_options.bind);
    } else {
        if (!m_server->bind_to_port(m_options.bind, m_options.port))
            throw std::runtime_error("cannot bind to " + m_options.bind + ":" + std::to_string(m_options.port));
        m_port = m_options.port;
    }
    return m_port;
}

void platform_server::run() {
    m_in_run = true;
    if (!m_stopping)
        m_server->listen_after_bind();
    m_in_run = false;
}

void platform_server::stop() {
    m_stopping = true;
    // The HTTP library ignores a stop that comes before its loop runs: wait for the loop
    // (or for run() to end) first.
    while (m_in_run && !m_server->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    m_server->stop();
}

void platform_server::log_request(const httplib::Request& _request, const std::string& _status) {
    Json::Value line;
    line["method"] = _request.method;
    line["target"] = _request.target;
    line["path"] = _request.path;
    Json::Value params(Json::objectValue);
    for (const auto& [key, value] : _request.params)
        params[key].append(value);
    line["params"] = params;
    for (const char* header : {s_project_header, "User-Agent", "Authorization", "Content-Type"}) {
        if (_request.has_header(header))
            line["headers"][header] = _request.get_header_value(header);
    }
    if (!_request.body.empty())
        line["body"] = _request.body;
    line["status"] = _status;
    const std::string text = one_line(line);

    vyr::libs::core::mutex_lock lock(m_log_mutex);
    if (!m_options.quiet)
        std::cerr << text << std::endl;
    if (m_log.is_open())
        m_log << text << std::endl;
}

void platform_server::handle(const httplib::Request& _request, httplib::Response& _response) {
    const std::string& path = _request.path;
    const std::string dir = m_options.project_dir + "/";

    if (!m_options.basic_auth.empty()) {
        const auto colon = m_options.basic_auth.find(':');
        const auto expected = httplib::make_basic_authentication_header(
            m_options.basic_auth.substr(0, colon),
            colon == std::string::npos ? std::string() : m_options.basic_auth.substr(colon + 1));
        if (_request.get_header_value(expected.first) != expected.second) {
            log_request(_request, "401");
            _response.status = 401;
            _response.set_header("WWW-Authenticate", "Basic realm=\"platform\"");
            _response.set_content("{\"detail\":\"Invalid username/password.\"}", "application/json");
            return;
        }
    }

    // Fault rules: the command line's, then the control file's (read every time).
    std::map<std::string, int> fail = m_options.fail;
    std::vector<std::string> hang = m_options.hang;
    std::map<std::string, std::string> redirect;
    std::map<std::string, double> huge;
    std::map<std::string, double> delay;
    std::map<std::string, double> stale;
    if (const auto text = read_file(dir + s_control_file)) {
        const auto control = parse(*text);
        if (control && control->isObject()) {
            for (const auto& name : (*control)["redirect"].getMemberNames())
                redirect[name] = (*control)["redirect"][name].asString();
            for (const auto& name : (*control)["huge"].getMemberNames())
                huge[name] = (*control)["huge"][name].asDouble();
            for (const auto& name : (*control)["delay"].getMemberNames())
                delay[name] = (*control)["delay"][name].asDouble();
            for (const auto& name : (*control)["stale"].getMemberNames())
                stale[name] = (*control)["stale"][name].asDouble();
            const Json::Value& f = (*control)["fail"];
            if (f.isObject()) {
                for (const auto& name : f.getMemberNames()) {
                    if (f[name].isInt())
                        fail[name] = f[name].asInt();
                }
            }
            const Json::Value& h = (*control)["hang"];
            if (h.isArray()) {
                for (const auto& entry : h) {
                    if (entry.isString())
                        hang.push_back(entry.asString());
                }
            }
        }
    }
    // Waits as long as the rules of `_rules` that match the path say, or until stopped.
    const auto wait_out = [&](const std::map<std::string, double>& _rules) {
        for (const auto& [rule, seconds] : _rules) {
            if (!path_matches(rule, path))
                continue;
            const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
            while (!m_stopping && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    };
    // A slow platform: the answer is made (its file read) only once the delay has passed.
    wait_out(delay);
    for (const auto& rule : hang) {
        if (!path_matches(rule, path))
            continue;
        log_request(_request, "hang");
        // Holds the connection without answering until the server stops.
        while (!m_stopping)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        _response.status = 503;
        return;
    }
    for (const auto& [rule, status] : fail) {
        if (!path_matches(rule, path))
            continue;
        log_request(_request, std::to_string(status));
        _response.status = status;
        if (status != 204 && status != 304)
            _response.set_content("{\"detail\":\"Injected failure.\"}", "application/json");
        return;
    }

    for (const auto& [rule, location] : redirect) {
        if (!path_matches(rule, path))
            continue;
        log_request(_request, "302");
        _response.set_redirect(location);
        return;
    }
    for (const auto& [rule, size] : huge) {
        if (!path_matches(rule, path))
            continue;
        log_request(_request, "200");
        // Made up while it is sent, in chunks without a length, so the stand-in stays small.
        const auto bytes = static_cast<std::size_t>(size);
        _response.set_chunked_content_provider("application/json", [bytes](std::size_t _offset, httplib::DataSink& _sink) {
            static const std::string s_chunk(1 << 16, ' ');
            if (_offset == 0 && !_sink.write("[", 1))
                return false;
            if (_offset >= bytes) {
                _sink.done();
                return true;
            }
            return _sink.write(s_chunk.data(), std::min(s_chunk.size(), bytes - _offset));
        });
        return;
    }

    const route* found = nullptr;
    for (const auto& r : s_routes) {
        if (path.compare(0, std::string(r.path).size(), r.path) == 0) {
            found = &r;
            break;
        }
    }
    std::optional<std::string> body;
    if (found)
        body = read_file(dir + found->file);
    if (!body) {
        log_request(_request, "404");
        _response.status = 404;
        _response.set_content("{\"detail\":\"Not found.\"}", "application/json");
        return;
    }

    std::string uid = path.substr(std::string(found->path).size());
    while (!uid.empty() && uid.back() == '/')
        uid.pop_back();
    std::vector<std::string> obj_uids;
    for (std::size_t i = 0; i < _request.get_param_value_count("obj_uid[]"); ++i)
        obj_uids.push_back(_request.get_param_value("obj_uid[]", i));
    const std::string project = _request.get_header_value(s_project_header);
    const bool tdoa_settings = std::string(found->member) == "tdoa_settings";

    // Filtering needs a well-formed answer; anything else is served as it stands.
    if (!uid.empty() || !obj_uids.empty() || !project.empty()) {
        auto answer = parse(*body);
        if (answer && answer->isObject() && (*answer)[found->member].isArray()) {
            Json::Value kept(Json::arrayValue);
            for (const auto& element : (*answer)[found->member]) {
                if (!uid.empty() && !field_is(element, "uid", uid) &&
                    !(tdoa_settings && field_is(element, "project_uid", uid)))
                    continue;
                if (!obj_uids.empty()) {
                    bool any = false;
                    for (const auto& obj_uid : obj_uids)
                        any = any || field_is(element, "obj_uid", obj_uid);
                    if (!any)
                        continue;
                }
                if (!project.empty() && element.isObject() && element.isMember("project_uid") &&
                    !field_is(element, "project_uid", project))
                    continue;
                kept.append(element);
            }
            (*answer)[found->member] = kept;
            body = one_line(*answer);
        }
    }
    log_request(_request, "200");
    // An answer on its way while the project changes: made now (and logged), sent later.
    wait_out(stale);
    _response.status = 200;
    _response.set_content(*body, "application/json");
}

}  // namespace vyr::tools
