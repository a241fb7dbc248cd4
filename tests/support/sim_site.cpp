#include "support/sim_site.h"

#include <filesystem>
#include <regex>
#include <stdexcept>
#include <thread>
#include <tuple>

#include <curl/curl.h>

namespace test {

std::string sim_site::demo_project() {
    return std::string(QUORVANE_SOURCE_DIR) + "/tools/platform-server/demo-project";
}

sim_site::sim_site(options _options) : m_options(std::move(_options)) {
    const std::string program = binary("rtls-quorvane");
    if (!file_exists(program))
        throw std::runtime_error(program + " is not built");

    m_platform = std::make_unique<platform_server>();
    for (const auto& entry : std::filesystem::directory_iterator(m_options.project_dir)) {
        if (entry.is_regular_file())
            m_platform->write(entry.path().filename().string(), read_file(entry.path().string()));
    }

    const int output_port = free_port();
    const int input_port = free_port();
    vyr::devsim::sim_options sim = m_options.sim;
    sim.project_dir = m_options.project_dir;
    sim.publish = "tcp://127.0.0.1:" + std::to_string(output_port);
    sim.collect = "tcp://127.0.0.1:" + std::to_string(input_port);
    m_sim = std::make_unique<vyr::devsim::device_sim>(sim);
    m_sim->start();

    m_peers = {"tcp://127.0.0.1:" + std::to_string(free_port()), output_port, input_port, m_platform->port(),
               m_redis.port()};
    m_service = start(m_files, m_metrics_port);
}

std::unique_ptr<process> sim_site::start(const temp_dir& _files, int _metrics_port,
                                         const std::function<void(Json::Value&)>& _more) {
    const std::string config = write_service_config(_files, m_peers, [&](Json::Value& _config) {
        _config["system"]["push_schedule_to_destination"] = m_options.push_schedule_to_destination;
        _config["system"]["metrics_address"] = "127.0.0.1:" + std::to_string(_metrics_port);
        if (m_options.configure)
            m_options.configure(_config);
        if (_more)
            _more(_config);
    });
    process::options run;
    run.stderr_path = _files.file("stderr.txt");
    return std::make_unique<process>(binary("rtls-quorvane"), std::vector<std::string>{"-c", config}, run);
}

void sim_site::restart_service() { m_service = start(m_files, m_metrics_port); }

std::size_t sim_site::start_instance(const std::string& _name) {
    instance_files more{std::make_unique<temp_dir>(), free_port(), nullptr};
    more.service = start(*more.files, more.metrics_port,
                         [&](Json::Value& _config) { _config["system"]["instance_name"] = _name; });
    m_more.push_back(std::move(more));
    return m_more.size();
}

sim_site::~sim_site() {
    for (auto& more : m_more)
        if (more.service->signal(SIGTERM))
            more.service->wait(std::chrono::seconds(20));
    if (m_service && m_service->signal(SIGTERM))
        m_service->wait(std::chrono::seconds(20));
    m_more.clear();
    m_service.reset();
    m_sim.reset();
    m_platform.reset();
}

std::string sim_site::service_output() const { return read_file(m_files.file("stderr.txt")); }

std::optional<double> sim_site::wait_quiet(const std::string& _name, std::chrono::seconds _quiet,
                                           std::chrono::seconds _bound, std::size_t _number) const {
    double last = -1;
    auto since = std::chrono::steady_clock::now();
    const bool quiet = wait_until(
        [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const double now = metrics(_number)[_name];
            if (now != last)
                std::tie(last, since) = std::make_pair(now, std::chrono::steady_clock::now());
            return last > 0 && std::chrono::steady_clock::now() - since >= _quiet;
        },
        _bound);
    return quiet ? std::optional<double>(last) : std::nullopt;
}

std::map<std::string, double> sim_site::metrics(std::size_t _number) const {
    const int port = _number == 0 ? m_metrics_port : m_more.at(_number - 1).metrics_port;
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/metrics";
    std::string body;
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 5L);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +[](char* _data, size_t, size_t _size, void* _body) {
        static_cast<std::string*>(_body)->append(_data, _size);
        return _size;
    });
    const bool ok = curl_easy_perform(curl) == CURLE_OK;
    curl_easy_cleanup(curl);
    std::map<std::string, double> samples;
    static const std::regex s_sample(R"(^([a-z_]+(\{[^}]*\})?) (\S+)$)");
    std::smatch m;
    std::size_t at = 0;
    while (ok && at < body.size()) {
        const auto end = body.find('\n', at);
        const std::string line = body.substr(at, end - at);
        if (std::regex_match(line, m, s_sample))
            samples[m[1]] = std::stod(m[3]);
        at = end == std::string::npos ? body.size() : end + 1;
    }
    return samples;
}

}  // namespace test
