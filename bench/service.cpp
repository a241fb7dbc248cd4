#include "service.h"

#include <curl/curl.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <utility>

#include <json/json.h>

#include "core/json.h"
#include "support/redis_server.h"

namespace bench {

service::service(site& _site, std::string _log_file) : m_site(_site), m_log_file(std::move(_log_file)) {
    m_output_port = test::free_port();
    do
        m_input_port = test::free_port();
    while (m_input_port == m_output_port);
    do
        m_metrics_port = test::free_port();
    while (m_metrics_port == m_output_port || m_metrics_port == m_input_port);

    Json::Value config;
    config["system"]["pidfile"] = m_files.file("rtls-quorvane.pid");
    config["system"]["debug_port"] = "tcp://127.0.0.1:" + std::to_string(test::free_port());
    config["system"]["local_debug"] = !m_log_file.empty();
    config["system"]["metrics_address"] = "127.0.0.1:" + std::to_string(m_metrics_port);
    config["proxy"]["address"] = "127.0.0.1";
    config["proxy"]["output_port"] = m_output_port;
    config["proxy"]["input_port"] = m_input_port;
    config["server"]["protocol"] = "http";
    config["server"]["address"] = "127.0.0.1";
    config["server"]["port"] = m_site.platform().port();
    config["redis"]["address"] = m_site.redis().host();
    config["redis"]["port"] = m_site.redis().port();
    test::write_file(m_files.file("config.json"), vyr::libs::core::json::to_string(config));
}

service::~service() {
    if (m_process && m_process->signal(SIGTERM))
        m_process->wait(std::chrono::seconds(20));
    if (!m_log_file.empty())
        test::write_file(m_log_file, errors());
}

std::string service::output_endpoint() const { return "tcp://127.0.0.1:" + std::to_string(m_output_port); }
std::string service::input_endpoint() const { return "tcp://127.0.0.1:" + std::to_string(m_input_port); }

void service::start(std::chrono::seconds _timeout) {
    const std::string binary = test::binary("rtls-quorvane");
    if (!test::file_exists(binary))
        throw std::runtime_error(binary + " is not built");
    // The previous mirror (of the in-process parts) must not pass for the service's own.
    m_site.redis().command({"DEL", "updated"});
    test::process::options options;
    options.stderr_path = m_files.file("stderr.txt");
    m_process = std::make_unique<test::process>(binary, std::vector<std::string>{"-c", m_files.file("config.json")},
                                                options);
    const bool ready = test::wait_until(
        [&] { return !m_process->running() || m_site.redis().command({"GET", "updated"}) == "true"; }, _timeout);
    if (!m_process->running())
        throw std::runtime_error("rtls-quorvane exited at start: " + errors());
    if (!ready)
        throw std::runtime_error("rtls-quorvane did not complete its mirror in time: " + errors());
}

std::optional<double> service::stop(std::chrono::seconds _patience) {
    if (!m_process)
        return std::nullopt;
    const auto start = std::chrono::steady_clock::now();
    m_process->signal(SIGTERM);
    auto status = m_process->wait(_patience);
    if (!status) {
        m_process->signal(SIGKILL);
        m_process->wait(std::chrono::seconds(10));
        m_process.reset();
        return std::nullopt;
    }
    m_process.reset();
    if (!status->exited || status->code != 0)
        throw std::runtime_error("rtls-quorvane stopped abnormally: " + errors());
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

pid_t service::pid() const { return m_process ? m_process->pid() : -1; }

std::optional<std::map<std::string, double>> service::metrics() const {
    if (!m_process)
        return std::nullopt;
    const std::string url = "http://127.0.0.1:" + std::to_string(m_metrics_port) + "/metrics";
    std::string body;
    CURL* curl = curl_easy_init();
    if (!curl)
        return std::nullopt;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 5L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +[](char* _data, size_t, size_t _size, void* _body) {
        static_cast<std::string*>(_body)->append(_data, _size);
        return _size;
    });
    long status = 0;
    const bool ok = curl_easy_perform(curl) == CURLE_OK &&
                    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
    curl_easy_cleanup(curl);
    if (!ok)
        return std::nullopt;
    // "name{labels} value" lines; comments and anything else are passed over.
    static const std::regex s_sample(R"(^([a-z_]+(\{[^}]*\})?) (\S+)$)");
    std::map<std::string, double> samples;
    std::istringstream lines(body);
    std::string line;
    std::smatch m;
    while (std::getline(lines, line))
        if (std::regex_match(line, m, s_sample))
            samples[m[1]] = std::strtod(m[3].str().c_str(), nullptr);
    return samples;
}

std::optional<std::uint64_t> service::peak_rss() const {
    if (!m_process)
        return std::nullopt;
    std::ifstream status("/proc/" + std::to_string(m_process->pid()) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmHWM:") != 0)
            continue;
        std::istringstream fields(line.substr(6));
        std::uint64_t kib = 0;
        if (fields >> kib)
            return kib * 1024;
    }
    return std::nullopt;
}

std::string service::errors() const { return test::read_file(m_files.file("stderr.txt")); }

}  // namespace bench
