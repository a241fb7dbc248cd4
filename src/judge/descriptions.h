// The parameter descriptions: one entry per device parameter the service handles, saying
// its catalogue number (which is also its payload type code) and name, how a report of it
// is read and stored on the WIN record, and what the receiver does after storing it.
// Adding a parameter means adding its entry here. The table is constant after static
// initialisation and may be read by any thread; the store functions write only to the
// report writes they are given, on the thread that owns them.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "context/win.h"
#include "core/logger.h"
#include "parameters/parameters.h"

namespace vyr::judge {

// Where one reported value goes: the writes of the report to the device's WIN record,
// the logger and MAC for the debug records of unreadable members, and the time the
// value was heard (ms since the epoch).
struct report_target {
    vyr::context::win_report& device;
    vyr::libs::core::component_logger& logger;
    const std::string& mac;
    std::int64_t heard_ms = 0;
};

// What the receiver does beyond storing a report, with state of its own: nothing; compare
// the emergency button with the mirror's alarm list; settle the delivery of the zone alarm
// the device confirms (only after a value read whole).
enum class report_follow_up { none, button, zone_alarm };

struct description {
    vyr::parameter::parameter_t number;
    std::string_view name;
    // Stores a reported value (the freshness gate passed, the device marked answered);
    // true when a value was read whole, false for null (not supported) or a value read in
    // part or not at all.
    bool (*store)(const report_target& _target, const Json::Value& _value);
    report_follow_up follow_up = report_follow_up::none;
};

// Every described parameter, in the order the values of a report are taken.
const std::vector<description>& descriptions();
// The entry of `_p`; null when it has none.
const description* description_of(vyr::parameter::parameter_t _p);

// The zone alarm an al_zv report shows (zone 0 with level 0); nothing when "level", or
// "zid" of a level other than 0, cannot be read (a debug record each).
struct zone_alarm_shown {
    unsigned int level = 0;
    unsigned int zone_id = 0;
};
std::optional<zone_alarm_shown> reported_zone_alarm(const Json::Value& _value,
                                                    vyr::libs::core::component_logger& _logger,
                                                    const std::string& _mac);

}  // namespace vyr::judge
