// A stand-in of the platform's REST server for tests, the demo and manual runs. It
// serves the ten private project endpoints from a folder of JSON files, one file per
// collection, holding the whole answer body:
//
//   /api/private/win_anchors/              win_anchors.json             "win_anchors"
//   /api/private/track_obj/                track_obj.json               "trackableObjects"
//   /api/private/groups/                   groups.json                  "groups"
//   /api/private/zones/                    zones.json                   "zones"
//   /api/private/sublocations/             sublocations.json            "sublocations"
//   /api/private/alarms/active/            alarms_active.json           "alarms"
//   /api/private/tdoa/settings/            tdoa_settings.json           "tdoa_settings"
//   /api/private/tdoa/schedules/           tdoa_schedules.json          "tdoa_schedules"
//   /api/private/wsc/driver_licenses/      driver_licenses.json         "driver_licenses"
//   /api/private/wsc/vehicle_certifications/ vehicle_certifications.json "vehicle_certifications"
//
// The collection path alone answers the file as it is (so a test may put any body,
// even a broken one, into it). A uid after the path ("/api/private/groups/G1") keeps
// only the elements whose "uid" is that uid (TDOA settings also match "project_uid");
// "?obj_uid[]=X" keeps the elements whose "obj_uid" is X; a non-empty "X-User-Project"
// header keeps the elements of that project (and those without "project_uid"). A
// missing file answers 404. The folder is read again on every request.
//
// Faults for tests: rules given on the command line (`--fail PATH=STATUS`,
// `--hang PATH`) or in the optional file control.json of the folder, read on every
// request: {"fail": {"PATH": STATUS, ...}, "hang": ["PATH", ...], "redirect": {"PATH":
// "LOCATION", ...}, "huge": {"PATH": BYTES, ...}, "delay": {"PATH": SECONDS, ...}, "stale":
// {"PATH": SECONDS, ...}}. PATH is
// a request path without query; a PATH ending in "*" matches every path that starts with
// the text before it. A failing request answers STATUS with a small JSON body (none for
// 204); a hanging one answers nothing until the server stops; a redirected one answers 302
// to LOCATION; a huge one answers 200 with a body of about BYTES bytes, chunked, without a
// length; a delayed one is answered SECONDS later, from the folder as it is then; a stale
// one is answered SECONDS later from the folder as it was when the request came.
//
// Served over HTTPS when given a certificate and its private key (PEM files). With
// `basic_auth` ("user:password") every GET without those credentials answers 401.
//
// Every request is logged as one JSON line (method, target, path, query parameters,
// the headers X-User-Project, User-Agent, Authorization and Content-Type when sent, the
// body when there is one, and the status: a number, or "hang") to stderr
// and, when a log file is given, appended to it before the answer goes out.
//
// Threads: the HTTP library answers on its own worker threads; the log is written under
// m_log_mutex, the port is set by bind() before run(), everything else is constant after
// construction. start() and stop() may be called from any thread; run() blocks its caller
// until stop().
#pragma once

#include <atomic>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/mutex.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace vyr::tools {

struct platform_server_options {
    std::string bind = "127.0.0.1";
    int port = 0;  // 0: any free port
    std::string project_dir = ".";
    std::string log_file;                // empty: stderr only
    std::map<std::string, int> fail;     // path → status
    std::vector<std::string> hang;       // paths that never answer
    bool quiet = false;                  // no request lines on stderr
    std::string cert_file;               // with key_file: serve HTTPS
    std::string key_file;
    std::string basic_auth;              // "user:password"; empty: no authentication
};

class platform_server {
public:
    // Throws std::runtime_error when the log file cannot be opened or the certificate and
    // key cannot be loaded.
    explicit platform_server(platform_server_options _options);
    ~platform_server();
    platform_server(const platform_server&) = delete;
    platform_server& operator=(const platform_server&) = delete;

    // Binds the listening socket; returns the port (the chosen one for port 0). Throws
    // std::runtime_error when the address cannot be bound.
    int bind();
    // Serves until stop(); bind() must have succeeded. Returns at once when stop() came
    // first.
    void run();
    // Ends run(), also one that is just starting; may be called more than once.
    void stop();
    int port() const noexcept { return m_port; }

private:
    void handle(const httplib::Request& _request, httplib::Response& _response);
    void log_request(const httplib::Request& _request, const std::string& _status);

    // Constant after construction.
    const platform_server_options m_options;
    const std::unique_ptr<httplib::Server> m_server;
    // Set by bind(), before run() serves.
    int m_port = 0;

    // stop() and run() may meet in any order: whichever comes second sees the other's
    // flag (both are sequentially consistent), so a stop is never lost.
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_in_run{false};

    // Guarded by m_log_mutex.
    vyr::libs::core::mutex m_log_mutex;
    std::ofstream m_log VYR_GUARDED_BY(m_log_mutex);
};

}  // namespace vyr::tools
