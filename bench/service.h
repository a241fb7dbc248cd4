// The built rtls-quorvane run as a child process against a benchmark site: its
// configuration points at the site's redis and platform stand-in and at two loopback
// ports where the caller (the device simulator) binds the proxy's output and input
// sides, and its metrics on a third loopback port. Owned by the benchmark's main thread; the destructor stops the service.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "site.h"
#include "support/process.h"

namespace bench {

class service {
public:
    // Writes the configuration and picks the two proxy ports; starts nothing. With a
    // `_log_file`, the service logs at debug level to its standard error, which is copied
    // there when it stops.
    explicit service(site& _site, std::string _log_file = {});
    ~service();
    service(const service&) = delete;
    service& operator=(const service&) = delete;

    // "tcp://127.0.0.1:<port>" of the proxy's output side (the service subscribes) and
    // input side (the service pushes "#win" commands).
    std::string output_endpoint() const;
    std::string input_endpoint() const;

    // Starts the service and waits until its mirror is complete ("updated" is "true").
    // Throws std::runtime_error when it exits or does not get there within `_timeout`.
    void start(std::chrono::seconds _timeout);
    // SIGTERM, and SIGKILL when the service is still there after `_patience`. Returns the
    // seconds it took to stop on SIGTERM, nothing when it had to be killed. Throws
    // std::runtime_error when it stopped on SIGTERM with a status other than 0.
    std::optional<double> stop(std::chrono::seconds _patience);
    pid_t pid() const;

    // The samples of the service's metrics endpoint ("name{labels}" -> value); nothing
    // when it does not answer.
    std::optional<std::map<std::string, double>> metrics() const;

    // VmHWM of the running service, in bytes; nothing when it cannot be read.
    std::optional<std::uint64_t> peak_rss() const;
    // Standard error of the service so far (for failure reports).
    std::string errors() const;

private:
    site& m_site;
    const std::string m_log_file;
    test::temp_dir m_files;
    int m_output_port = 0;
    int m_input_port = 0;
    int m_metrics_port = 0;
    std::unique_ptr<test::process> m_process;
};

}  // namespace bench
