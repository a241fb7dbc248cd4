// The built service with everything around it made breakable, for the fault tests: a
// private redis-server (restartable on its port), the platform stand-in on a fixed port
// (stopped and started again on it), the gateway proxy as this test's own XPUB (proxy
// output) and PULL (proxy input) sockets that can be closed and bound again on the same
// ports, and the service's debug stream. One rig per test, used by the test's thread.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <zmq.hpp>

#include "support/log_sink.h"
#include "support/process.h"
#include "support/redis_server.h"

namespace fault {

// A device of the sample project: tag to-worker-2 ("Worker-2", no alarm).
inline const std::string s_tag = "70B3D5FFFE0B0002";

class rig {
public:
    rig();
    ~rig();
    rig(const rig&) = delete;
    rig& operator=(const rig&) = delete;

    // ---- the platform stand-in (sample project, fixed port) ----
    void start_platform();
    void stop_platform();
    // Rewrites one file of the served project folder.
    void write_project_file(const std::string& _file, const std::string& _content) const;

    // ---- the service ----
    // Starts it and waits until it subscribed to the proxy output.
    void start_service();
    // SIGTERM; then the service's record of how long its workers took to stop, read from
    // the debug stream while it stops (test::stop_milliseconds), and its exit status, each
    // awaited at most `_bound`; nothing for either that did not come.
    std::pair<std::optional<long>, std::optional<test::exit_status>> terminate(std::chrono::milliseconds _bound);
    bool service_running() { return m_service && m_service->running(); }
    std::string service_stderr() const { return test::read_file(m_files.file("stderr.txt")); }

    // ---- the proxy ----
    // Closes both proxy sockets and binds new ones on the same ports.
    void restart_proxy();
    // Waits for the service's subscription to "#param_p" on the (new) proxy output.
    bool wait_subscribed(std::chrono::milliseconds _bound);
    void publish(const std::string& _frame);
    // A "#param_p" of `_mac`, stamped later than every earlier one of this rig.
    void report(const std::string& _mac, const std::string& _plist, const std::string& _req_plist = "");
    // The next "#win" frame at the gateway, nothing after `_bound`.
    std::optional<std::string> next_command(std::chrono::milliseconds _bound);
    // Asks `_mac` for `_parameter` (a request, no report) until an answer ("000F") to it
    // holds `_expected`; each round waits a few seconds, `_bound` in all. A worker's first
    // Redis command after a restart fails (its connection is replaced on the next one),
    // so a request may go unanswered once; the rounds cover that.
    bool answered(const std::string& _mac, const std::string& _parameter, const std::string& _expected,
                  std::chrono::seconds _bound);
    // Reports `_mac`'s "scr_name" as `_value` until the service recorded it in Redis.
    bool report_recorded(const std::string& _mac, const std::string& _value, std::chrono::seconds _bound);

    // ---- Redis and the log ----
    test::redis_server& redis() { return m_redis; }
    // One command on the service's database; "(error)" while Redis cannot be reached.
    std::string redis_command(const std::vector<std::string>& _argv) const;
    // The scr_name `_mac` reported, as Redis holds it; empty when none.
    std::string recorded_scr_name(const std::string& _mac) const;
    // Reads the debug stream until a record holding `_text` comes, at most `_bound`.
    bool logged(const std::string& _text, std::chrono::milliseconds _bound);

    int output_port() const noexcept { return m_output_port; }
    zmq::context_t& zmq_context() noexcept { return m_zmq; }

private:
    void bind_proxy();
    void write_config();

    test::redis_server m_redis;
    test::temp_dir m_files;
    test::log_sink m_log;
    const int m_platform_port;
    std::unique_ptr<test::process> m_platform;
    const int m_output_port;
    const int m_input_port;
    zmq::context_t m_zmq{1};
    std::unique_ptr<zmq::socket_t> m_output;   // XPUB: sees the subscriptions
    std::unique_ptr<zmq::socket_t> m_gateway;  // PULL
    std::unique_ptr<test::process> m_service;
    long m_ts = 1000;
};

}  // namespace fault
