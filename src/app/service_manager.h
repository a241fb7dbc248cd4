// The service's side of the service manager's protocol (systemd's notify socket): the
// STATUS= line while it starts ("waiting for Redis", "mirroring the project") and once
// it runs ("running: N devices, M differing (active, lease F)", or "standby: the lease is
// held by NAME" while another instance is the active one), READY=1 once the workers run, STOPPING=1,
// and, when the manager asked for a watchdog (WATCHDOG_USEC), WATCHDOG=1 every third of
// its period while every running worker loop beat within the period (also while Redis
// is awaited, when none runs yet). A loop that made no pass
// for a whole period is stuck: the pings stop, the manager restarts the service, and the
// log names the loop. Without a notify socket nothing is sent and no thread runs. Used
// by the main thread; the pings come from a thread of its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "core/logger.h"
#include "core/mutex.h"

namespace vyr {

class service_manager {
public:
    explicit service_manager(libs::core::component_logger& _logger);
    // Stops the thread.
    ~service_manager();
    service_manager(const service_manager&) = delete;
    service_manager& operator=(const service_manager&) = delete;

    // STATUS=`_text`.
    void status(const std::string& _text);
    // READY=1; from now on the status follows the mirror and the device counts, and the
    // watchdog is pinged.
    void ready();
    void stopping();

    // The role under the lease: active in term `_fencing`, or standby while `_holder`
    // (empty: nobody) holds it. The status line follows it.
    void active(std::int64_t _fencing);
    void standby(const std::string& _holder);
    // The running status line for the counts of the latest delivery pass.
    static std::string running_status();

private:
    void run();
    void tick() VYR_REQUIRES(m_mutex);
    std::string line() const VYR_REQUIRES(m_mutex);
    void send(const std::string& _state) const;

    libs::core::component_logger& m_logger;
    const bool m_enabled;
    std::chrono::microseconds m_watchdog{0};  // 0: no watchdog
    libs::core::mutex m_mutex;
    libs::core::condition_variable m_wake;
    bool m_ready VYR_GUARDED_BY(m_mutex) = false;
    bool m_stopped VYR_GUARDED_BY(m_mutex) = false;
    std::string m_status VYR_GUARDED_BY(m_mutex);  // the last status line sent
    // The standby line; empty while active, whose line ends in m_role.
    std::string m_standby VYR_GUARDED_BY(m_mutex);
    std::string m_role VYR_GUARDED_BY(m_mutex);
    bool m_stall_logged VYR_GUARDED_BY(m_mutex) = false;
    std::thread m_thread;
};

}  // namespace vyr
