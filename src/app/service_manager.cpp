#include "app/service_manager.h"

#include <cstdlib>

#include <systemd/sd-daemon.h>

#include "common/metrics.h"
#include "runtime/worker_thread.h"

namespace vyr {

namespace {

// How often the status line is brought up to date when no watchdog sets the pace.
constexpr std::chrono::seconds s_status_period{2};

std::string joined(const std::vector<std::string>& _names) {
    std::string text;
    for (const auto& name : _names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

}  // namespace

service_manager::service_manager(libs::core::component_logger& _logger)
    : m_logger(_logger), m_enabled(std::getenv("NOTIFY_SOCKET") != nullptr) {
    if (!m_enabled)
        return;
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0)
        m_watchdog = std::chrono::microseconds(usec);
    m_thread = std::thread([this] { run(); });
}

service_manager::~service_manager() {
    if (!m_thread.joinable())
        return;
    {
        libs::core::mutex_lock lock(m_mutex);
        m_stopped = true;
        m_wake.notify_all();
    }
    m_thread.join();
}

void service_manager::send(const std::string& _state) const {
    if (m_enabled && sd_notify(0, _state.c_str()) < 0)
        m_logger.warning("cannot notify the service manager: %1%") % _state;
}

void service_manager::status(const std::string& _text) { send("STATUS=" + _text); }

void service_manager::ready() {
    libs::core::mutex_lock lock(m_mutex);
    m_status = line();
    send("READY=1\nSTATUS=" + m_status);
    m_ready = true;
}

void service_manager::active(std::int64_t _fencing) {
    libs::core::mutex_lock lock(m_mutex);
    m_standby.clear();
    m_role = " (active, lease " + std::to_string(_fencing) + ")";
    m_wake.notify_all();
}

void service_manager::standby(const std::string& _holder) {
    libs::core::mutex_lock lock(m_mutex);
    m_standby = _holder.empty() ? "standby: nobody holds the lease" : "standby: the lease is held by " + _holder;
    m_wake.notify_all();
}

std::string service_manager::line() const { return m_standby.empty() ? running_status() + m_role : m_standby; }

void service_manager::stopping() { send("STOPPING=1\nSTATUS=stopping"); }

std::string service_manager::running_status() {
    if (!metrics::mirror_complete())
        return "mirroring the project";
    std::uint64_t total = 0;
    for (int i = 0; i < metrics::device_status_count; ++i)
        total += metrics::devices(static_cast<metrics::device_status>(i));
    const std::uint64_t differing = metrics::devices(metrics::device_status::differing) +
                                    metrics::devices(metrics::device_status::gave_up) +
                                    metrics::devices(metrics::device_status::rejects);
    return "running: " + std::to_string(total) + " devices, " + std::to_string(differing) + " differing";
}

void service_manager::run() {
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        m_watchdog.count() > 0 ? m_watchdog / 3 : std::chrono::microseconds(s_status_period));
    libs::core::mutex_lock lock(m_mutex);
    auto next = std::chrono::steady_clock::now();
    while (!m_stopped) {
        tick();
        next += period;
        while (!m_stopped && std::chrono::steady_clock::now() < next)
            m_wake.wait_until(m_mutex, next);
    }
}

void service_manager::tick() {
    // Before the workers run the main thread tells how the start goes.
    if (m_ready) {
        const std::string now = line();
        if (now != m_status) {
            status(now);
            m_status = now;
        }
    }
    if (m_watchdog.count() == 0)
        return;
    const auto stalled = worker_thread::stalled(m_watchdog);
    if (stalled.empty()) {
        send("WATCHDOG=1");
        if (m_stall_logged)
            m_logger.info("every worker loop makes progress again");
        m_stall_logged = false;
    } else if (!m_stall_logged) {
        m_logger.error("no progress of %1% for %2% ms: the watchdog is no longer told that the service is alive") %
            joined(stalled) % std::chrono::duration_cast<std::chrono::milliseconds>(m_watchdog).count();
        m_stall_logged = true;
    }
}

}  // namespace vyr
