// The state of the field devices as the service sees it, read from database 11: for every
// WIN, how each of its parameters stands against the project, judged by the service's own
// judge (judge/judge.h) over one snapshot of the project, with its sending counter,
// last push and alarm state. The quorvane-status tool prints it; tests and the demo use it
// to tell when every device is in step. A `reader` owns its Redis connections and is used
// by one thread; the report structures are plain values.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/json.h>

#include "core/logger.h"

namespace vyr::context {
class context;
class win_record;
}
namespace vyr::judge {
class judge;
}

namespace vyr::tools::status {

// One parameter of one device: "in_step", "differs", "rejects" (it differs, and the
// device kept answering its pushes with the value it holds, so the service pushes it
// once a minute only) or "not_supported", and the two values as JSON text (empty when
// nothing is known).
struct parameter_status {
    std::string name;
    std::string standing;
    std::string must;
    std::string actual;
    timeval reported{};  // when the device last reported it; 0 when never
};

struct device_status {
    std::string mac;
    std::string name;  // of the anchor or the trackable object; empty when not in the project
    // "anchor", the trackable object's type as the platform writes it ("person", "vehicle",
    // "ASSET": only that exact type is an asset tag), or "none" for a device no longer in
    // the project.
    std::string kind;
    // "in_step", "differing", "rejects" (nothing differs but parameters the device
    // rejects), "unseen" (no WIN record: never announced nor sent to) or "error" (its
    // records could not be read; see `error`).
    std::string status;
    std::size_t in_step = 0;
    std::size_t differing = 0;
    std::size_t rejected = 0;
    std::size_t not_supported = 0;
    std::vector<std::string> differing_parameters;
    std::vector<std::string> rejected_parameters;
    std::uint32_t sending_counter = 0;
    // The counter is past the limit: the service pushes nothing more until the device
    // answers.
    bool gave_up = false;
    // Time of the last push; 0 when none since the device last answered.
    timeval last_push{};
    std::string alarm_state;
    std::string error;
    // Filled by reader::read_device only.
    std::vector<parameter_status> parameters;
};

struct summary {
    std::size_t total = 0;
    std::size_t in_step = 0;
    std::size_t differing = 0;
    std::size_t rejects = 0;
    std::size_t unseen = 0;
    std::size_t errors = 0;
    std::size_t gave_up = 0;
    // WIN records the service removed as silent and outside the project, so far.
    std::size_t removed = 0;
};

// The lease that makes one instance of the service the active one.
struct lease_status {
    std::string holder;  // "<instance name>/<pid>"; empty: nobody holds it
    std::int64_t remaining_ms = 0;
    std::int64_t fencing = 0;  // the term last taken (0: never)
};
struct report {
    // The service's mirror of the project is complete ("updated"); until then it
    // delivers nothing.
    bool mirror_complete = false;
    // Whether vehicle certificates and driver licences were compared.
    bool vehicle_certification = false;
    std::vector<device_status> devices;  // anchors first, then tags, then the rest; by MAC
    summary totals;
    lease_status lease;
};

struct options {
    std::string redis_host = "127.0.0.1";
    int redis_port = 6379;
    // The service's system.push_schedule_to_destination: shapes an anchor's schedule.
    bool push_schedule_to_destination = false;
    // Whether the service delivers vehicle certificates and driver licences (it does when
    // the platform serves them). Nothing: as the service's switch in the mirror stands.
    std::optional<bool> vehicle_certification;
};

// A command-line argument the tool cannot use (exit status 2); bad data read from Redis
// is any other exception (exit status 1).
struct bad_argument : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

class reader {
public:
    // Connects to Redis (throws the Redis client's exceptions when it cannot). Builder
    // failures inside the checks are logged through `_logger`, as in the service.
    reader(const options& _options, vyr::libs::core::component_logger& _logger);
    ~reader();
    reader(const reader&) = delete;
    reader& operator=(const reader&) = delete;

    // Every device: the WINs of the database and every MAC of the project's anchors and
    // trackable objects.
    report read_all();
    // One device with its parameters; `_mac` in 12 or 16 hexadecimal characters, any case.
    // Throws bad_argument for anything else.
    device_status read_device(const std::string& _mac);

private:
    // A judge over a snapshot read now, with the switch of the options applied.
    vyr::judge::judge judge_now();
    device_status read(vyr::judge::judge& _judge, const vyr::context::win_record& _record, bool _describe);

    options m_options;
    vyr::libs::core::component_logger& m_logger;
    std::unique_ptr<vyr::context::context> m_context;
};

// The tool's output forms.
Json::Value to_json(const report& _report);
Json::Value to_json(const device_status& _device);
void print_table(std::ostream& _out, const report& _report);
// The device and each of its parameters; for a device that is not in step, first why:
// each parameter that is not in step with the value it must have, the value the device
// reported and when, and the pushes made since the device last answered.
void print_device(std::ostream& _out, const device_status& _device);
// "in step / total" style one-liner of the summary.
std::string summary_line(const summary& _totals);
// "lease: held by NAME/PID, N.N s left, term F" or "lease: nobody holds it (term F)".
std::string lease_line(const lease_status& _lease);

}  // namespace vyr::tools::status
