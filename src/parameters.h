// The device parameter catalogue (numbers, type codes and names), the per-WIN support
// state of a parameter, the location record, and the parameter value classes that read
// a value from JSON, compare it, write it back and encode it as payload text. The
// tables are constant after static initialisation; value objects belong to one thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <json/json.h>

#include "core/logger.h"

namespace vyr::parameter {

enum parameter_t : std::uint32_t {
    TXP = 0,
    TDOA_SCHD = 6,
    AL_ZV = 8,
    LOC = 9,
    ACC = 11,
    BT = 12,
    SF = 20,
    TDOA_SCHEDULE = 22,
    SYNC_SLOT = 24,
    T2T_CFG = 43,
    T2T_NO_ALARM = 44,
    VEH_CERT = 46,
    DRIVER_LIC = 47,
    NWK_CFG = 53,
    EM_ALM = 60,
    SCR_NAME = 82,
    SCR_GNAME = 83,
    SCR_MESSAGE = 84,
    ANCHOR_LOC = 91,
    STATIONARY = 93,
    CATEGORY = 94,
};

// Parameter number → name, e.g. STATIONARY → "stationary". 21 entries.
extern const std::map<parameter_t, std::string> parameters;

enum parameter_states : std::uint32_t {
    UNKNOWN = 0,
    NOT_SUPPORTED = 1,
    SUPPORTED = 2,
};

extern const std::map<parameter_states, std::string> parameter_states_strings;

std::string to_string(parameter_states _state);
// The state whose text equals `_text` exactly; UNKNOWN when none does.
parameter_states parameter_states_from_string(const std::string& _text);

struct loc {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t z = 0;
    std::int32_t sublocation_z = 0;
    std::uint32_t sublocation_id = 0;
};

// Base of the value classes: holds no value until one is read.
class parameter {
public:
    explicit parameter(vyr::libs::core::component_logger& _logger) : m_logger(_logger) {}
    virtual ~parameter() = default;

    virtual Json::Value to_json() const = 0;
    virtual std::string to_json_string() const = 0;
    virtual std::string to_hex() const = 0;

    bool is_null() const noexcept { return m_is_null; }

protected:
    bool m_is_null = true;
    vyr::libs::core::component_logger& m_logger;
};

}  // namespace vyr::parameter
