// The platform server stand-in run as a child process for one test: it serves a fresh
// temporary project folder (optionally seeded with the sample project) on a free
// loopback port and logs every request to a file that the test reads back. Extra
// command-line options (e.g. "--fail", "PATH=500") are passed through. With `_tls` it
// serves HTTPS with a self-signed certificate for 127.0.0.1 made at start by the openssl
// program (no key is kept anywhere). Owned by the test that made it; the child is
// stopped at destruction.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

#include "support/process.h"

namespace test {

class platform_server {
public:
    explicit platform_server(const std::vector<std::string>& _extra_args = {}, bool _with_sample_project = false,
                             bool _tls = false);
    ~platform_server();
    platform_server(const platform_server&) = delete;
    platform_server& operator=(const platform_server&) = delete;

    int port() const noexcept { return m_port; }
    // "http://127.0.0.1:<port>" (https with TLS): the address the client puts before
    // every path.
    std::string address() const { return m_scheme + "://127.0.0.1:" + std::to_string(m_port); }
    // The certificate, which a client trusts as its CA.
    std::string ca_file() const { return m_dir.file("cert.pem"); }
    std::string project_dir() const { return m_dir.file("project"); }

    // Puts a file into the project folder, or takes it out; the server sees the change
    // at its next request.
    void write(const std::string& _file, const std::string& _content) const;
    void remove(const std::string& _file) const;

    // The requests served so far, one parsed log line each, oldest first.
    std::vector<Json::Value> requests() const;

    // Where the sample project of the sources lies.
    static std::string sample_project();

private:
    temp_dir m_dir;
    std::unique_ptr<process> m_process;
    int m_port = 0;
    std::string m_scheme = "http";
};

}  // namespace test
