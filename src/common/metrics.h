// The service's operational metrics: counters, gauges and histograms that the components
// update at one place per event, read by the HTTP endpoint of the application (Prometheus
// text format) when system.metrics_address is configured. The families live for the
// whole process; every function is safe to call from any thread and costs an atomic add
// or a short lock, so the hot paths may call them unconditionally.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace prometheus {
class Registry;
}

namespace vyr::metrics {

enum class counter {
    pushes,                  // node commands that pushed parameters to a device
    payloads_sent,           // parameter payloads inside those commands and the answers
    frames_sent,             // frames the sender queued towards the gateway
    frames_dropped,          // frames the sender could not queue (a full or absent gateway)
    requests_answered,       // parameter requests of devices answered
    cycles,                  // delivery steps (the devices marked, due or swept)
    cycles_skipped,          // periodic steps that fell out because the one before ran past its period
    reports_processed,       // frames from the gateway that a handler took
    reports_stale,           // reports dropped as older than what is known
    reports_malformed,       // frames refused as malformed
    full_refreshes,          // full refreshes of one kind of project data from the platform
    redis_reconnects,        // new connections made after a lost one or a master switch
    redis_command_errors,    // commands that failed (error reply or transport failure)
    redis_master_switches,   // switches of the Redis master the sentinels announced
    inproc_commands_dropped, // commands between the workers that could not be queued
    devices_judged,          // devices the delivery steps judged
    sweep_corrections,       // devices the slow sweep found to push that nothing had marked
    pushes_held_for_answers, // pushes put off until the answer to what was sent last could be recorded
};

enum class histogram {
    request_latency,       // from the arrival of a device's request to its answer
    cycle_duration,        // one delivery step
    full_refresh_duration, // one full refresh of one kind
};

// Device standings as the delivery pass decides them.
enum class device_status { in_step, differing, gave_up, rejects, unseen };
constexpr int device_status_count = 5;
const char* name(device_status _status) noexcept;

void add(counter _counter, double _amount = 1);
// The count so far.
double value(counter _counter);
// Seconds from `_start` until now, for observe().
inline double seconds_since(std::chrono::steady_clock::time_point _start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - _start).count();
}
void observe(histogram _histogram, double _seconds);
// A request to the platform for the collection `_kind` ("alarms", "win_anchors", ...):
// the whole collection, or one object. And the count so far.
void platform_request(const std::string& _kind, bool _whole);
double platform_requests(const std::string& _kind, bool _whole);
// A platform request that failed; `_kind` names the failure ("timeout", "http_5xx", ...).
void platform_request_failed(const std::string& _kind);
// The mirror of the platform project in Redis is complete (true) or being filled.
void set_mirror_complete(bool _complete);
bool mirror_complete();
// This instance's role under the lease (active: it holds it, standby otherwise) and the
// fencing value of the term it holds (0 leaves the last one shown).
void set_role(bool _active, std::int64_t _fencing);
// The counts of the latest delivery pass, one per status.
void set_devices(const std::uint64_t (&_counts)[device_status_count]);
std::uint64_t devices(device_status _status);

// The registry that holds every family, for the endpoint.
std::shared_ptr<prometheus::Registry> registry();

}  // namespace vyr::metrics
