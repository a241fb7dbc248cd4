// A whole site for end-to-end tests around the device simulator: a private
// redis-server, the platform stand-in serving a project folder (by default the generated
// demo project of the sources), the built service configured to both proxy endpoints of
// an in-process device simulator (tools/device-sim) that stands in for the gateway and
// the devices, its metrics served on a loopback port. Owned and used by one test thread; the destructor stops the service
// (SIGTERM), the simulator, the stand-in and redis.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device_sim.h"
#include "support/platform_server.h"
#include "support/process.h"
#include "support/redis_server.h"

namespace test {

class sim_site {
public:
    struct options {
        std::string project_dir = demo_project();
        // Device behaviour; project_dir, publish and collect are filled in by the site.
        vyr::devsim::sim_options sim;
        bool push_schedule_to_destination = false;
        // More changes to the service's configuration.
        std::function<void(Json::Value&)> configure;
    };

    // Starts redis, the stand-in, the simulator (its sockets bound and its thread
    // running) and then the service. Throws std::runtime_error when a part cannot start.
    explicit sim_site(options _options);
    sim_site() : sim_site(options{}) {}
    ~sim_site();
    sim_site(const sim_site&) = delete;
    sim_site& operator=(const sim_site&) = delete;

    vyr::devsim::device_sim& sim() { return *m_sim; }
    process& service() { return *m_service; }
    // Starts the first service again (after it ended or was killed), as configured.
    void restart_service();
    // Starts one more instance of the service with the same configuration but its own pid
    // file, metrics port and system.instance_name `_name`; its number for metrics() (1, 2...).
    std::size_t start_instance(const std::string& _name);
    process& instance(std::size_t _number) { return _number == 0 ? *m_service : *m_more.at(_number - 1).service; }
    platform_server& platform() { return *m_platform; }
    const redis_server& redis() const { return m_redis; }
    // The samples of the service's metrics endpoint (of instance `_number`), "name{labels}"
    // → value; empty while it does not answer.
    std::map<std::string, double> metrics(std::size_t _number = 0) const;
    // Waits up to `_bound` until the counter `_name` of instance `_number` is above zero and
    // has not moved for `_quiet` (a site in step: nothing pushed or sent any more); its
    // value then, nothing on time-out.
    std::optional<double> wait_quiet(const std::string& _name, std::chrono::seconds _quiet,
                                     std::chrono::seconds _bound, std::size_t _number = 0) const;
    // What the service wrote on its standard error.
    std::string service_output() const;

    // The generated demo project committed with the sources.
    static std::string demo_project();

private:
    struct instance_files {
        std::unique_ptr<temp_dir> files;
        int metrics_port = 0;
        std::unique_ptr<process> service;
    };
    // Writes the configuration into `_files` and starts the service on it.
    std::unique_ptr<process> start(const temp_dir& _files, int _metrics_port,
                                   const std::function<void(Json::Value&)>& _more = {});

    options m_options;
    service_peers m_peers;
    temp_dir m_files;
    redis_server m_redis;
    std::unique_ptr<platform_server> m_platform;
    std::unique_ptr<vyr::devsim::device_sim> m_sim;
    std::unique_ptr<process> m_service;
    const int m_metrics_port = free_port();
    std::vector<instance_files> m_more;
};

}  // namespace test
