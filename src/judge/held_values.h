// The values a device holds after their payloads, and how each is compared and encoded:
// the tag-to-tag configuration (roles, capped fields, pin bits), the no-alarm entry, the
// category code, the location's fit, and the JSON texts the checks show. Plain functions
// over plain values, shared by whoever judges a device; no state, any thread.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "context/track_obj.h"
#include "parameters/parameters.h"

namespace vyr::judge {

// The pin setting as the device holds it: the flag bits of the t2t_cfg payload.
std::uint32_t pin_bits(const std::optional<std::string>& _pin);
// The category byte of the CATEGORY payload; nothing for a category the device does not
// know (it is sent without a value, which the device reads as "unspecified").
std::optional<std::string> category_code(const std::string& _category);
// A signed number as the 32-bit two's complement the device reads.
std::string hex32(std::int64_t _value);

std::string json_text(const Json::Value& _value);
Json::Value json_list(const std::vector<std::string>& _list);
Json::Value loc_to_json(const vyr::parameter::loc& _loc);

// Tag-to-tag fields, from either side.
struct t2t_fields {
    std::optional<bool> alarm_back;
    std::optional<std::uint32_t> distance, angle, delay;
    std::optional<std::string> pin;
    std::optional<std::uint32_t> alert_distance, safe_distance;
    std::optional<bool> buzzer, haptic;
};
// The role and the present fields, under the names of the device's report.
Json::Value t2t_to_json(const std::string& _role, const t2t_fields& _fields);

// The tag-to-tag configuration as the device holds it after the t2t_cfg payload; no
// configuration is held as role "disabled".
struct t2t_held {
    bool exists = false;
    std::string role;  // the object's text; compared in lower case
    t2t_fields fields;
    // A number does not fit its field: the configuration has no payload.
    bool unsendable = false;
};
// The object's configuration as its fields hold it: the distances and the delay are sent
// in two bytes, the angle halved in one (an odd angle is held as the even one below it).
// A number beyond its field makes the configuration unsendable: capped, it would be
// another distance. `_loss` receives what does not go whole.
t2t_held held_t2t(const vyr::context::track_obj_data::t2t* _cfg, std::string& _loss);
// The t2t_cfg payload of a held configuration.
std::string t2t_payload(const t2t_held& _held);
// Whether the device's report (`_state`, its role, its fields) differs from the held
// configuration: without a configuration a supporting device must report "disabled";
// with one, the roles (lower case) and, for a monitor or announcer, the fields both
// sides hold (a missing safe distance is 0).
bool t2t_differs(vyr::parameter::parameter_states _state, const std::optional<std::string>& _reported_role,
                 const t2t_fields& _reported, const t2t_held& _held);

// What keeps a location from its payload: the sublocation id has two bytes, the height
// (default height plus the sublocation's offset) 32 signed bits. Empty when it fits.
std::string loc_misfit(std::uint32_t _sublocation_id, std::int64_t _z);

// The no-alarm entry the device holds: its payload carries one entry, so of the object's
// list (a set without order) the smallest entry in byte order is taken, upper case, among
// those that are whole bytes of hexadecimal text fitting the payload; anything else would
// corrupt the command text and is never chosen. Nothing when no entry qualifies.
std::optional<std::string> held_no_alarm(const std::vector<std::string>& _list, std::string& _loss);
std::vector<std::string> one_or_none(const std::optional<std::string>& _entry);

}  // namespace vyr::judge
