// The parameter descriptions: one entry per device parameter the service handles, saying
// its catalogue number (which is also its payload type code) and name; how a report of it
// is read and stored on the WIN record and what the receiver does after storing it; for
// which device kinds the judge reads and checks it, in which order; where its must value
// comes from in the project snapshot, how it is compared as the device holds it, how its
// payload is built and what a request for it answers. Adding a parameter means adding its
// entry here. The table is constant after static initialisation and may be read by any
// thread; the store functions write only to the report writes they are given, and the
// judge's functions run on the thread that owns the judge they are given.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "context/track_obj.h"
#include "context/win.h"
#include "context/win_record.h"
#include "core/logger.h"
#include "judge/judge.h"
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

// The kinds of device the judge tells apart: an anchor of the project, a tag of one of its
// trackable objects, and a device the project does not hold (what it was told before is cleared).
enum device_kind : unsigned { anchor = 1, tag = 2, foreign = 4 };

struct description {
    using win_record = vyr::context::win_record;
    using track_obj_data = vyr::context::track_obj_data;

    vyr::parameter::parameter_t number;
    std::string_view name;
    // Stores a reported value (the freshness gate passed, the device marked answered);
    // true when a value was read whole, false for null (not supported) or a value read in
    // part or not at all. Null: the service takes no report of it.
    bool (*store)(const report_target& _target, const Json::Value& _value) = nullptr;
    report_follow_up follow_up = report_follow_up::none;
    // The device kinds whose judging reads its hash of the WIN record.
    unsigned read_for = 0;
    // Its check for the kinds of `read_for`, placed among the checks of a device by
    // `check_order` (lower first): `check` for an anchor or a tag (null object for an
    // anchor) compares the value as the device holds it, `clear` for a foreign device;
    // each adds at most one check.
    int check_order = 0;
    void (*check)(judge& _judge, const win_record& _win, const track_obj_data* _object, bool _describe,
                  std::vector<param_check>& _checks) = nullptr;
    void (*clear)(const win_record& _win, bool _describe, std::vector<param_check>& _checks) = nullptr;
    // The value the device must hold, as JSON of its value class, from the snapshot.
    std::optional<Json::Value> (*must)(judge& _judge, const win_record& _win) = nullptr;
    // The payload that sets it on a tag of `_object`, for a parameter checked without a
    // value class.
    std::optional<std::string> (*payload)(judge& _judge, const win_record& _win,
                                          const track_obj_data& _object) = nullptr;
    // The answer to a device's request for it.
    std::optional<std::string> (*answer)(judge& _judge, const win_record& _win) = nullptr;
    // Whether that answer reads what the device itself reported (not only the project): a
    // request for it must wait until the device's earlier reports are written.
    bool answer_reads_reports = false;
};

// Every described parameter, in the order the values of a report are taken.
const std::vector<description>& descriptions();
// The entry of `_p`; null when it has none.
const description* description_of(vyr::parameter::parameter_t _p);
// The parameters whose answers read what the device reported: of a WIN record, an answer
// reads their hashes only (besides its data and alarm hashes); the others come from the
// project.
const std::vector<vyr::parameter::parameter_t>& read_by_answers();
// The entries checked for a device of this kind, in check order.
const std::vector<const description*>& checked_for(device_kind _kind);

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
