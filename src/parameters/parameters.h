// The device parameter catalogue (numbers, type codes and names), the per-WIN support
// state of a parameter, the location record, and the parameter value classes that read
// a value from JSON, compare it, write it back and encode it as payload text. The
// tables are constant after static initialisation; value objects belong to one thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <json/json.h>

#include "core/logger.h"

namespace vyr::parameter {

using vyr::libs::core::component_logger;

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

// A superframe as a TDOA master holds it: its node id, the sfd, the slot count of the
// setting and that of the schedule. A device report may leave members out (older
// firmware reports the node id only); those are not compared.
struct superframe {
    std::optional<std::uint32_t> node_id, sfd, setting_slots, slot_count;
};

// Base of the value classes: holds no value until one is read.
class parameter {
public:
    explicit parameter(component_logger& _logger) : m_logger(_logger) {}
    virtual ~parameter() = default;

    virtual Json::Value to_json() const = 0;
    virtual std::string to_json_string() const = 0;
    virtual std::string to_hex() const = 0;

    bool is_null() const noexcept { return m_is_null; }
    component_logger& logger() const noexcept { return m_logger; }

protected:
    bool m_is_null = true;
    component_logger& m_logger;
};

// ---- payload text helpers ------------------------------------------------------------------
// A payload is: type byte, length byte, value bytes, all as uppercase hexadecimal text.

// `_value` in uppercase hexadecimal, padded on the left with "0" to `_digits` digits
// (a wider value keeps all its digits: callers keep values inside their fields).
std::string hex(std::uint64_t _value, std::size_t _digits);
// Every byte of `_bytes` (taken as 0-255) as two uppercase hexadecimal digits.
std::string hex_bytes(std::string_view _bytes);
// Type byte + length byte + `_value_hex`. An empty value becomes the single byte 00
// (e.g. "520100"). Throws vyr::libs::core::exception when the value text is not whole
// bytes or holds more than 255 of them, so no frame with a wrong length byte is built.
std::string payload_frame(parameter_t _type, std::string_view _value_hex);

// ---- value classes ---------------------------------------------------------------------------
// Each reads its value from JSON (the platform's form, or the JSON text the WIN record
// keeps), compares two values, writes the value back as JSON and encodes the payload.
// Construction from a text that is not JSON, or from JSON of the wrong shape, leaves the
// object null. The objects are plain values owned by one thread. A class whose payload
// cannot carry every value it reads has deliverable(): the value as the device holds it
// after the payload, which to_hex() encodes and which the delivery compares and stores.

// TDOA schedule (0x16): up to 14 partners of 18 bytes each.
class param_tdoa_schedule : public parameter {
public:
    struct partner {
        std::string addr;  // the partner's short radio address, hexadecimal text
        std::uint32_t dim = 0;
        std::uint32_t et = 0;
        std::uint32_t margin = 0;
        std::uint32_t sect = 0;
        std::uint32_t slot = 0;
        std::int32_t x = 0;
        std::int32_t y = 0;
        std::int32_t z = 0;

        bool operator==(const partner& _other) const;
        bool operator!=(const partner& _other) const { return !(*this == _other); }
    };

    // Most partners one payload can carry (18 bytes each, one length byte).
    static constexpr std::size_t s_max_partners = 14;

    explicit param_tdoa_schedule(component_logger& _logger) : parameter(_logger) {}
    param_tdoa_schedule(const Json::Value& _value, component_logger& _logger);
    param_tdoa_schedule(const std::string& _text, component_logger& _logger);
    param_tdoa_schedule(const char* _text, component_logger& _logger);

    void init(const Json::Value& _value);
    bool operator==(const param_tdoa_schedule& _other) const;
    bool operator!=(const param_tdoa_schedule& _other) const { return !(*this == _other); }

    Json::Value to_json() const override;
    std::string to_json_string() const override;
    std::string to_hex() const override;

    const std::vector<partner>& partners() const noexcept { return m_partners; }

    // The schedule as the device holds it after to_hex(): partners without a short
    // address (1-4 hexadecimal digits), or with a number beyond its field (a slot or
    // margin / 250 beyond a byte, sect beyond 1, et or dim beyond 3), left out, at most
    // s_max_partners of the rest in order, the address as four upper-case digits, the
    // margin in whole units of 250; no partner at all is held as no schedule (null).
    // `_loss`, when given, receives what the encoding leaves out (empty when the value
    // goes whole).
    param_tdoa_schedule deliverable(std::string* _loss = nullptr) const;

private:
    std::vector<partner> m_partners;
};

// Vehicle certification (0x2E): one id byte; null counts as id 0.
class param_veh_cert : public parameter {
public:
    explicit param_veh_cert(component_logger& _logger) : parameter(_logger) {}
    param_veh_cert(const Json::Value& _value, component_logger& _logger);
    param_veh_cert(const std::string& _text, component_logger& _logger);
    param_veh_cert(const char* _text, component_logger& _logger);

    void init(const Json::Value& _value);
    bool operator==(const param_veh_cert& _other) const;
    bool operator!=(const param_veh_cert& _other) const { return !(*this == _other); }

    Json::Value to_json() const override;
    std::string to_json_string() const override;
    std::string to_hex() const override;

    std::uint32_t id() const noexcept { return m_id; }

    // Whether the id fits its byte. One that does not has no payload: a cut or capped id
    // would grant another certification, and 00 would take the vehicle's away, so
    // deliverable() and to_hex() throw for it and the caller sends nothing.
    bool fits() const noexcept;
    // As the device holds it: the value itself (it goes whole or not at all).
    param_veh_cert deliverable(std::string* _loss = nullptr) const;

private:
    std::uint32_t m_id = 0;
};

// Driver licences (0x2F): a set of one-byte ids in ascending order.
class param_driver_lic : public parameter {
public:
    static constexpr std::size_t s_max_ids = 255;

    explicit param_driver_lic(component_logger& _logger) : parameter(_logger) {}
    param_driver_lic(const Json::Value& _value, component_logger& _logger);
    param_driver_lic(const std::string& _text, component_logger& _logger);
    param_driver_lic(const char* _text, component_logger& _logger);

    void init(const Json::Value& _value);
    bool operator==(const param_driver_lic& _other) const;
    bool operator!=(const param_driver_lic& _other) const { return !(*this == _other); }

    Json::Value to_json() const override;
    std::string to_json_string() const override;
    std::string to_hex() const override;

    const std::set<std::uint32_t>& ids() const noexcept { return m_ids; }

    // As the device holds it: ids beyond one byte left out, at most s_max_ids of the rest
    // (the smallest), and the lone id 0 held as no licence (its payload is the empty one).
    param_driver_lic deliverable(std::string* _loss = nullptr) const;

private:
    std::set<std::uint32_t> m_ids;
};

// Network configuration (0x35): whether the device acts as a router.
class param_nwk_cfg : public parameter {
public:
    explicit param_nwk_cfg(component_logger& _logger) : parameter(_logger) {}
    param_nwk_cfg(const Json::Value& _value, component_logger& _logger);
    param_nwk_cfg(const std::string& _text, component_logger& _logger);
    param_nwk_cfg(const char* _text, component_logger& _logger);

    void init(const Json::Value& _value);
    bool operator==(const param_nwk_cfg& _other) const;
    bool operator!=(const param_nwk_cfg& _other) const { return !(*this == _other); }

    Json::Value to_json() const override;
    std::string to_json_string() const override;
    std::string to_hex() const override;

    // "3500": asks the device to report its network configuration instead of setting it.
    static std::string request_formation();

    bool router() const noexcept { return m_router; }

private:
    bool m_router = false;
};

// Emergency alarm (0x3C): 01 while the state is exactly "SET", else 00.
class param_em_alm : public parameter {
public:
    explicit param_em_alm(component_logger& _logger) : parameter(_logger) {}
    param_em_alm(const Json::Value& _value, component_logger& _logger);
    param_em_alm(const std::string& _text, component_logger& _logger);
    param_em_alm(const char* _text, component_logger& _logger);

    void init(const Json::Value& _value);
    bool operator==(const param_em_alm& _other) const;
    bool operator!=(const param_em_alm& _other) const { return !(*this == _other); }

    Json::Value to_json() const override;
    std::string to_json_string() const override;
    std::string to_hex() const override;

    const std::string& value() const noexcept { return m_value; }

    // As the device holds it: "SET", or "CLEAR" for any other state.
    param_em_alm deliverable(std::string* _loss = nullptr) const;

private:
    std::string m_value;
};

// A screen text (name or group name): its first 255 bytes cut at a whole UTF-8
// character, no terminator. The two parameters differ only in their type code.
class param_screen_text : public parameter {
public:
    void init(const Json::Value& _value);

    Json::Value to_json() const override;
    std::string to_json_string() const override;
    std::string to_hex() const override;

    const std::string& value() const noexcept { return m_value; }

    // The longest start of a text that fits a screen text payload: at most s_max_bytes
    // bytes, cut before a UTF-8 character that would not fit whole, so that what the
    // device holds and reports is still valid text.
    static constexpr std::size_t s_max_bytes = 255;
    static std::string held_text(const std::string& _text);

protected:
    param_screen_text(parameter_t _type, component_logger& _logger) : parameter(_logger), m_type(_type) {}
    bool equals(const param_screen_text& _other) const;

    const parameter_t m_type;  // constant after construction
    std::string m_value;
};

class param_scr_name : public param_screen_text {
public:
    explicit param_scr_name(component_logger& _logger) : param_screen_text(SCR_NAME, _logger) {}
    param_scr_name(const Json::Value& _value, component_logger& _logger);
    param_scr_name(const std::string& _text, component_logger& _logger);
    param_scr_name(const char* _text, component_logger& _logger);

    bool operator==(const param_scr_name& _other) const { return equals(_other); }
    bool operator!=(const param_scr_name& _other) const { return !equals(_other); }

    // As the device holds it: the text cut by held_text().
    param_scr_name deliverable(std::string* _loss = nullptr) const;
};

class param_scr_gname : public param_screen_text {
public:
    explicit param_scr_gname(component_logger& _logger) : param_screen_text(SCR_GNAME, _logger) {}
    param_scr_gname(const Json::Value& _value, component_logger& _logger);
    param_scr_gname(const std::string& _text, component_logger& _logger);
    param_scr_gname(const char* _text, component_logger& _logger);

    bool operator==(const param_scr_gname& _other) const { return equals(_other); }
    bool operator!=(const param_scr_gname& _other) const { return !equals(_other); }

    // As the device holds it: the text cut by held_text().
    param_scr_gname deliverable(std::string* _loss = nullptr) const;
};

}  // namespace vyr::parameter
