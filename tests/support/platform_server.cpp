#include "support/platform_server.h"

#include <signal.h>

#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "core/json.h"

namespace test {

std::string platform_server::sample_project() {
    return std::string(QUORVANE_SOURCE_DIR) + "/tools/platform-server/sample-project";
}

platform_server::platform_server(const std::vector<std::string>& _extra_args, bool _with_sample_project, bool _tls) {
    const std::string project = project_dir();
    std::filesystem::create_directory(project);
    if (_with_sample_project)
        std::filesystem::copy(sample_project(), project, std::filesystem::copy_options::recursive);

    const std::string program = binary("quorvane-platform-server");
    if (!file_exists(program))
        throw std::runtime_error(program + " is not built");
    std::vector<std::string> args = {"--port", "0", "--project", project, "--log", m_dir.file("requests.log"),
                                     "--quiet"};
    args.insert(args.end(), _extra_args.begin(), _extra_args.end());
    if (_tls) {
        process openssl("/bin/sh", {"-c", "exec openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                                          "-nodes -days 2 -subj /CN=quorvane-test -addext subjectAltName=IP:127.0.0.1 "
                                          "-out " + ca_file() + " -keyout " + m_dir.file("key.pem")});
        if (!openssl.wait(std::chrono::seconds(60)) || !file_exists(ca_file()))
            throw std::runtime_error("openssl could not make a test certificate (is it installed?)");
        args.insert(args.end(), {"--tls-cert", ca_file(), "--tls-key", m_dir.file("key.pem")});
        m_scheme = "https";
    }
    process::options options;
    options.stdout_path = m_dir.file("stdout");
    options.stderr_path = m_dir.file("stderr");
    m_process = std::make_unique<process>(program, args, options);

    // The first line of its output is the port; it is written once the socket listens.
    std::string out;
    wait_until([&] {
        out = read_file(m_dir.file("stdout"));
        return out.find('\n') != std::string::npos || !m_process->running();
    });
    if (out.find('\n') == std::string::npos)
        throw std::runtime_error("the platform server stand-in did not start: " + read_file(m_dir.file("stderr")));
    m_port = std::stoi(out.substr(0, out.find('\n')));
}

platform_server::~platform_server() {
    if (m_process && m_process->signal(SIGTERM))
        m_process->wait(std::chrono::seconds(10));
}

void platform_server::write(const std::string& _file, const std::string& _content) const {
    write_file(project_dir() + "/" + _file, _content);
}

void platform_server::remove(const std::string& _file) const {
    std::error_code ignored;
    std::filesystem::remove(project_dir() + "/" + _file, ignored);
}

std::vector<Json::Value> platform_server::requests() const {
    std::vector<Json::Value> out;
    std::istringstream lines(read_file(m_dir.file("requests.log")));
    std::string line;
    while (std::getline(lines, line)) {
        auto parsed = vyr::libs::core::json::try_parse(line);
        if (parsed.ok)
            out.push_back(parsed.result);
    }
    return out;
}

}  // namespace test
