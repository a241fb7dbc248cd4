// The decoders of the platform's project objects and the record update of each kind.
// One schema serves the API's answers (an element of a collection) and the change
// notifications (their "plist"), so both decode here; what the two sources differ in is
// their dialect. Positions, heights and offsets round alike on both roads (halves up), so
// an object's place does not depend on the road it took. A decoder returns false when a
// required member is missing or of another type (its field reader leaves the debug
// record); the output is then partly written.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include <json/json.h>

#include "common/field_reader.h"
#include "context/context.h"
#include "platform/vyrserver.h"

namespace vyr::vyrserver {

struct dialect {
    // The name a rejected node MAC is reported under.
    const char* mac_label;
    // Read in place of a missing zone or sublocation number; nullptr when there is none.
    const char* number_fallback;
    // Whether a trackable object's position must name its sublocation ("sl_id").
    bool sl_id_required;
};

// The API: "node.mac_addr", no fallback, "sl_id" required.
extern const dialect from_api;
// Notifications: "mac_address", "sequence", "sl_id" optional.
extern const dialect from_notification;

struct object_decoder {
    field_reader read;
    const dialect& rules;

    bool operator()(const Json::Value& _j, const std::string& _uid, anchor& _out) const;
    bool operator()(const Json::Value& _j, const std::string& _uid, track_obj& _out) const;
    bool operator()(const Json::Value& _j, const std::string& _uid, tag_config_t& _out) const;
    bool operator()(const Json::Value& _j, const std::string& _uid, group& _out) const;
    bool operator()(const Json::Value& _j, const std::string& _uid, zone& _out) const;
    bool operator()(const Json::Value& _j, const std::string& _uid, sublocation& _out) const;
    // Only zone, buffer and emergency-button alarms are decoded; any other is false.
    bool operator()(const Json::Value& _j, const std::string& _uid, alarm& _out) const;
    bool operator()(const Json::Value& _j, const std::string& _uid, tdoa_schedule& _out) const;

private:
    // _member, or the dialect's fallback when _member is absent (false, silently, when
    // that is absent too).
    bool number(const Json::Value& _j, const char* _member, unsigned int& _out, const std::string& _uid) const;
};

// The ids of the licences that require certification; an entry without an unsigned
// "id" and a boolean "certification_required" is left out.
std::set<std::uint32_t> required_licences(const field_reader& _read, const Json::Value& _licenses);

void apply(context::anchor& _record, const anchor& _a);
void apply(context::track_obj& _record, const track_obj& _t);
void apply(context::group& _record, const group& _g);
void apply(context::zone& _record, const zone& _z);
void apply(context::sublocation& _record, const sublocation& _s);
void apply(context::tdoa_schedule& _record, const tdoa_schedule& _s);
// An alarm that names no object is left as it is.
void apply(context::alarm& _record, const alarm& _a);

}  // namespace vyr::vyrserver
