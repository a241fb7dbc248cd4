// The "#param_p" frames the benchmark sends for devices: the periodic report of six
// parameters (the load of the throughput figures) and the request of every parameter a
// device may ask for (the latency probe). Values come from the device simulator's own
// device state, in the form devices report them. Pure functions, any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/json.h>

#include "device_state.h"

namespace bench {

// The six parameters of a tag's periodic report: emergency alarm, screen name and group
// name, tag-to-tag configuration, stationary flag and category.
const std::vector<std::string>& report_parameters();

// "#param_p " + a report of the six parameters with the values of `_values` (a device's
// values in report form; a missing one is reported as null), stamped `_stamp_ms`.
std::string report_frame(const std::string& _mac, const Json::Value& _values, std::int64_t _stamp_ms);

// "#param_p " + a request of every parameter the service answers for a device of
// `_kind` (the simulator's start-up request list), without reported values.
std::string request_frame(const std::string& _mac, vyr::devsim::device_kind _kind, std::int64_t _stamp_ms);

// Milliseconds of the wall clock, as devices stamp their reports.
std::int64_t wall_clock_ms();

}  // namespace bench
