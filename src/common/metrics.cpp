#include "common/metrics.h"

#include <atomic>

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

namespace vyr::metrics {

namespace {

struct counter_info {
    const char* name;
    const char* help;
};

// In the order of enum class counter.
constexpr counter_info s_counters[] = {
    {"rtls_quorvane_pushes_total", "Node commands that pushed parameters to a device"},
    {"rtls_quorvane_payloads_sent_total", "Parameter payloads sent to devices, pushed or answered"},
    {"rtls_quorvane_frames_sent_total", "Frames queued towards the gateway"},
    {"rtls_quorvane_frames_dropped_total", "Frames that could not be queued towards the gateway"},
    {"rtls_quorvane_requests_answered_total", "Parameter requests of devices answered"},
    {"rtls_quorvane_cycles_total", "Delivery steps (the devices marked, due or swept)"},
    {"rtls_quorvane_cycles_skipped_total", "Periodic delivery passes skipped because a pass ran longer than the period"},
    {"rtls_quorvane_reports_processed_total", "Frames from the gateway taken by a handler"},
    {"rtls_quorvane_reports_stale_total", "Device reports dropped as stale"},
    {"rtls_quorvane_reports_malformed_total", "Frames from the gateway refused as malformed"},
    {"rtls_quorvane_full_refreshes_total", "Full refreshes of one kind of project data from the platform"},
    {"rtls_quorvane_redis_reconnects_total", "Redis connections made again after a lost one or a switch of the master"},
    {"rtls_quorvane_redis_command_errors_total", "Redis commands that failed"},
    {"rtls_quorvane_redis_master_switches_total", "Switches of the Redis master announced by the sentinels"},
    {"rtls_quorvane_inproc_commands_dropped_total", "Commands between the workers that could not be queued"},
    {"rtls_quorvane_devices_judged_total", "Devices judged by the delivery steps"},
    {"rtls_quorvane_sweep_corrections_total",
     "Devices the slow full sweep found to push that no change or due time had marked (should stay 0)"},
    {"rtls_quorvane_pushes_held_for_answers_total",
     "Pushes put off until the device's answer to what it was sent last could have been recorded"},
};
constexpr int s_counter_count = sizeof s_counters / sizeof s_counters[0];
static_assert(s_counter_count == static_cast<int>(counter::pushes_held_for_answers) + 1);

struct families {
    std::shared_ptr<prometheus::Registry> registry = std::make_shared<prometheus::Registry>();
    prometheus::Counter* counters[s_counter_count] = {};
    prometheus::Histogram* histograms[3] = {};
    prometheus::Family<prometheus::Counter>* platform_failures = nullptr;
    prometheus::Family<prometheus::Counter>* platform_requests = nullptr;
    prometheus::Gauge* mirror_complete = nullptr;
    std::atomic<bool> mirror_is_complete{false};
    prometheus::Gauge* devices[device_status_count] = {};
    prometheus::Gauge* active = nullptr;
    prometheus::Gauge* standby = nullptr;
    prometheus::Gauge* lease_fencing = nullptr;
    std::atomic<std::uint64_t> device_counts[device_status_count] = {};

    families() {
        for (int i = 0; i < s_counter_count; ++i)
            counters[i] =
                &prometheus::BuildCounter().Name(s_counters[i].name).Help(s_counters[i].help).Register(*registry).Add({});
        // Requests are answered within milliseconds unless held; passes take milliseconds
        // per hundred devices; a refresh waits on the platform.
        histograms[static_cast<int>(histogram::request_latency)] =
            &prometheus::BuildHistogram()
                 .Name("rtls_quorvane_request_latency_seconds")
                 .Help("Time from the arrival of a device's parameter request to its answer")
                 .Register(*registry)
                 .Add({}, prometheus::Histogram::BucketBoundaries{0.001, 0.005, 0.02, 0.1, 0.5, 2, 10, 60});
        histograms[static_cast<int>(histogram::cycle_duration)] =
            &prometheus::BuildHistogram()
                 .Name("rtls_quorvane_cycle_duration_seconds")
                 .Help("Duration of one delivery pass over all devices")
                 .Register(*registry)
                 .Add({}, prometheus::Histogram::BucketBoundaries{0.001, 0.005, 0.02, 0.1, 0.5, 2, 10});
        histograms[static_cast<int>(histogram::full_refresh_duration)] =
            &prometheus::BuildHistogram()
                 .Name("rtls_quorvane_full_refresh_duration_seconds")
                 .Help("Duration of one full refresh of one kind of project data")
                 .Register(*registry)
                 .Add({}, prometheus::Histogram::BucketBoundaries{0.01, 0.05, 0.2, 1, 5, 20, 60});
        platform_failures = &prometheus::BuildCounter()
                                 .Name("rtls_quorvane_platform_request_failures_total")
                                 .Help("Platform requests that failed, by kind of failure")
                                 .Register(*registry);
        platform_requests = &prometheus::BuildCounter()
                                 .Name("rtls_quorvane_platform_requests_total")
                                 .Help("Requests to the platform, by collection (kind) and whether the whole "
                                       "collection or one object was asked for (scope \"all\" or \"one\")")
                                 .Register(*registry);
        mirror_complete = &prometheus::BuildGauge()
                               .Name("rtls_quorvane_mirror_complete")
                               .Help("1 while the Redis mirror of the platform project is complete")
                               .Register(*registry)
                               .Add({});
        auto& device_family = prometheus::BuildGauge()
                                  .Name("rtls_quorvane_devices")
                                  .Help("Devices by status, as the latest delivery pass decided it")
                                  .Register(*registry);
        for (int i = 0; i < device_status_count; ++i)
            devices[i] = &device_family.Add({{"status", name(static_cast<device_status>(i))}});
        auto& role_family = prometheus::BuildGauge()
                                .Name("rtls_quorvane_role")
                                .Help("1 for the role this instance has under the lease: active or standby")
                                .Register(*registry);
        active = &role_family.Add({{"role", "active"}});
        standby = &role_family.Add({{"role", "standby"}});
        standby->Set(1);
        lease_fencing = &prometheus::BuildGauge()
                             .Name("rtls_quorvane_lease_fencing")
                             .Help("Fencing value of the lease term this instance holds or last held")
                             .Register(*registry)
                             .Add({});
    }
};

families& all() {
    static families s_families;
    return s_families;
}

}  // namespace

const char* name(device_status _status) noexcept {
    switch (_status) {
        case device_status::in_step: return "in_step";
        case device_status::differing: return "differing";
        case device_status::gave_up: return "gave_up";
        case device_status::rejects: return "rejects";
        case device_status::unseen: return "unseen";
    }
    return "unknown";
}

void add(counter _counter, double _amount) { all().counters[static_cast<int>(_counter)]->Increment(_amount); }

double value(counter _counter) { return all().counters[static_cast<int>(_counter)]->Value(); }

void observe(histogram _histogram, double _seconds) {
    all().histograms[static_cast<int>(_histogram)]->Observe(_seconds);
}

namespace {

prometheus::Counter& platform_request_counter(const std::string& _kind, bool _whole) {
    return all().platform_requests->Add({{"kind", _kind}, {"scope", _whole ? "all" : "one"}});
}

}  // namespace

void platform_request(const std::string& _kind, bool _whole) { platform_request_counter(_kind, _whole).Increment(); }

double platform_requests(const std::string& _kind, bool _whole) { return platform_request_counter(_kind, _whole).Value(); }

void platform_request_failed(const std::string& _kind) { all().platform_failures->Add({{"kind", _kind}}).Increment(); }

void set_mirror_complete(bool _complete) {
    all().mirror_is_complete = _complete;
    all().mirror_complete->Set(_complete ? 1 : 0);
}

bool mirror_complete() { return all().mirror_is_complete; }

void set_role(bool _active, std::int64_t _fencing) {
    all().active->Set(_active ? 1 : 0);
    all().standby->Set(_active ? 0 : 1);
    if (_fencing > 0)
        all().lease_fencing->Set(static_cast<double>(_fencing));
}

void set_devices(const std::uint64_t (&_counts)[device_status_count]) {
    auto& f = all();
    for (int i = 0; i < device_status_count; ++i) {
        f.device_counts[i] = _counts[i];
        f.devices[i]->Set(static_cast<double>(_counts[i]));
    }
}

std::uint64_t devices(device_status _status) { return all().device_counts[static_cast<int>(_status)]; }

std::shared_ptr<prometheus::Registry> registry() { return all().registry; }

}  // namespace vyr::metrics
