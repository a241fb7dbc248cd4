#include "parameters/parameters.h"

#include <algorithm>
#include <cctype>

#include <boost/format.hpp>

#include "common/globals.h"
#include "core/exception.h"
#include "core/json.h"

namespace vyr::parameter {

const std::map<parameter_t, std::string> parameters = {
    {TXP, "txp"},
    {TDOA_SCHD, "tdoa_schd"},
    {AL_ZV, "al_zv"},
    {LOC, "loc"},
    {ACC, "acc"},
    {BT, "bt"},
    {SF, "sf"},
    {TDOA_SCHEDULE, "tdoa_schedule"},
    {SYNC_SLOT, "sync_slot"},
    {T2T_CFG, "t2t_cfg"},
    {T2T_NO_ALARM, "t2t_no_alarm"},
    {VEH_CERT, "veh_cert"},
    {DRIVER_LIC, "driver_lic"},
    {NWK_CFG, "nwk_cfg"},
    {EM_ALM, "em_alm"},
    {SCR_NAME, "scr_name"},
    {SCR_GNAME, "scr_gname"},
    {SCR_MESSAGE, "scr_message"},
    {ANCHOR_LOC, "anchor_loc"},
    {STATIONARY, "stationary"},
    {CATEGORY, "category"},
};

const std::map<parameter_states, std::string> parameter_states_strings = {
    {UNKNOWN, "unknown"},
    {NOT_SUPPORTED, "not_supported"},
    {SUPPORTED, "supported"},
};

std::string to_string(parameter_states _state) { return parameter_states_strings.at(_state); }

parameter_states parameter_states_from_string(const std::string& _text) {
    for (const auto& [state, text] : parameter_states_strings)
        if (text == _text)
            return state;
    return UNKNOWN;
}

// ---- payload text helpers ------------------------------------------------------------------

std::string hex(std::uint64_t _value, std::size_t _digits) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    do {
        text.push_back(digits[_value & 0xF]);
        _value >>= 4;
    } while (_value != 0);
    if (text.size() < _digits)
        text.append(_digits - text.size(), '0');
    std::reverse(text.begin(), text.end());
    return text;
}

std::string hex_bytes(std::string_view _bytes) {
    std::string text;
    text.reserve(_bytes.size() * 2);
    for (const char c : _bytes)
        text += hex(static_cast<unsigned char>(c), 2);
    return text;
}

std::string payload_frame(parameter_t _type, std::string_view _value_hex) {
    if (_value_hex.size() % 2 != 0)
        VYR_THROW((boost::format("payload %1% value \"%2%\" is not whole bytes") % hex(_type, 2) % _value_hex).str());
    const std::size_t length = _value_hex.size() / 2;
    if (length > 255)
        VYR_THROW((boost::format("payload %1% value of %2% bytes does not fit its length byte") % hex(_type, 2) %
                   length).str());
    if (length == 0)
        return hex(_type, 2) + "0100";
    return hex(_type, 2) + hex(length, 2) + std::string(_value_hex);
}

namespace {

const std::string s_init = "init";
const std::string s_no_prefix;

// JSON text → value; a text that does not parse gives JSON null.
Json::Value parse_text(const std::string& _text) { return vyr::libs::core::json::try_parse(_text).result; }

// One line, no spaces, ending with a line feed ("null\n" for a null value).
std::string fast_write(const Json::Value& _value) {
    Json::FastWriter writer;
    return writer.write(_value);
}

bool read_unsigned(component_logger& _logger, const Json::Value& _object, const std::string& _key,
                   std::uint32_t& _out) {
    unsigned int value = 0;
    if (!get_j_value(_logger, _object, s_init, s_no_prefix, _key, value, s_no_prefix))
        return false;
    _out = value;
    return true;
}

bool read_signed(component_logger& _logger, const Json::Value& _object, const std::string& _key, std::int32_t& _out) {
    int value = 0;
    if (!get_j_value(_logger, _object, s_init, s_no_prefix, _key, value, s_no_prefix))
        return false;
    _out = value;
    return true;
}

// Adds one item to a loss description.
void add_loss(std::string* _loss, const std::string& _what) {
    if (!_loss)
        return;
    if (!_loss->empty())
        *_loss += "; ";
    *_loss += _what;
}

bool is_short_address(const std::string& _addr) {
    return !_addr.empty() && _addr.size() <= 4 &&
           std::all_of(_addr.begin(), _addr.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

}  // namespace

// ---- param_tdoa_schedule ----------------------------------------------------------------------

bool param_tdoa_schedule::partner::operator==(const partner& _other) const {
    return addr == _other.addr && dim == _other.dim && et == _other.et && margin == _other.margin &&
           sect == _other.sect && slot == _other.slot && x == _other.x && y == _other.y && z == _other.z;
}

param_tdoa_schedule::param_tdoa_schedule(const Json::Value& _value, component_logger& _logger) : parameter(_logger) {
    init(_value);
}
param_tdoa_schedule::param_tdoa_schedule(const std::string& _text, component_logger& _logger)
    : param_tdoa_schedule(parse_text(_text), _logger) {}
param_tdoa_schedule::param_tdoa_schedule(const char* _text, component_logger& _logger)
    : param_tdoa_schedule(std::string(_text ? _text : ""), _logger) {}

void param_tdoa_schedule::init(const Json::Value& _value) {
    if (!_value.isArray())
        return;
    m_is_null = false;
    for (const auto& element : _value) {
        partner p;
        std::string addr;
        // The readers stop at the first key that fails; such an element is skipped.
        if (get_j_value(m_logger, element, s_init, s_no_prefix, "addr", addr, s_no_prefix) &&
            read_unsigned(m_logger, element, "dim", p.dim) && read_unsigned(m_logger, element, "et", p.et) &&
            read_unsigned(m_logger, element, "margin", p.margin) && read_unsigned(m_logger, element, "sect", p.sect) &&
            read_unsigned(m_logger, element, "slot", p.slot) && read_signed(m_logger, element, "x", p.x) &&
            read_signed(m_logger, element, "y", p.y) && read_signed(m_logger, element, "z", p.z)) {
            p.addr = std::move(addr);
            m_partners.push_back(std::move(p));
        }
    }
}

bool param_tdoa_schedule::operator==(const param_tdoa_schedule& _other) const {
    if (m_is_null || _other.m_is_null)
        return m_is_null == _other.m_is_null;
    if (m_partners.size() != _other.m_partners.size())
        return false;
    // Order does not matter, but each partner on the right matches only one on the left,
    // so [A, A] and [A, B] differ.
    std::vector<bool> used(_other.m_partners.size(), false);
    for (const auto& left : m_partners) {
        bool found = false;
        for (std::size_t i = 0; i < _other.m_partners.size() && !found; ++i) {
            if (!used[i] && _other.m_partners[i] == left) {
                used[i] = true;
                found = true;
            }
        }
        if (!found)
            return false;
    }
    return true;
}

Json::Value param_tdoa_schedule::to_json() const {
    if (m_is_null)
        return Json::Value();
    Json::Value array(Json::arrayValue);
    for (const auto& p : m_partners) {
        Json::Value object(Json::objectValue);
        object["addr"] = p.addr;
        object["dim"] = p.dim;
        object["et"] = p.et;
        object["margin"] = p.margin;
        object["sect"] = p.sect;
        object["slot"] = p.slot;
        object["x"] = p.x;
        object["y"] = p.y;
        object["z"] = p.z;
        array.append(object);
    }
    return array;
}

std::string param_tdoa_schedule::to_json_string() const { return fast_write(to_json()); }

param_tdoa_schedule param_tdoa_schedule::deliverable(std::string* _loss) const {
    param_tdoa_schedule held(m_logger);
    if (m_is_null)
        return held;
    for (const auto& p : m_partners) {
        if (!is_short_address(p.addr)) {
            add_loss(_loss, "partner address \"" + p.addr + "\" left out");
            continue;
        }
        // A number beyond its field would be another slot, margin or flag there: the
        // partner is left out rather than sent as another one.
        if (p.slot > 0xFF || p.margin / 250 > 0xFF || p.sect > 1 || p.et > 3 || p.dim > 3) {
            add_loss(_loss, (boost::format("partner %1% with slot %2%, margin %3%, sect %4%, et %5%, dim %6% left out") %
                             p.addr % p.slot % p.margin % p.sect % p.et % p.dim).str());
            continue;
        }
        if (held.m_partners.size() == s_max_partners) {
            add_loss(_loss, "partners beyond the first " + std::to_string(s_max_partners) + " left out");
            break;
        }
        partner h = p;
        h.addr = std::string(4 - p.addr.size(), '0') + p.addr;
        std::transform(h.addr.begin(), h.addr.end(), h.addr.begin(),
                       [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
        h.margin = p.margin / 250 * 250;
        if (h.margin != p.margin)
            add_loss(_loss, (boost::format("partner %1% held with margin %2%") % h.addr % h.margin).str());
        held.m_partners.push_back(std::move(h));
    }
    // The empty payload is no schedule.
    held.m_is_null = held.m_partners.empty();
    return held;
}

std::string param_tdoa_schedule::to_hex() const {
    std::string entries;
    for (const auto& p : deliverable().m_partners) {
        const std::uint32_t flags = (p.sect << 7) | (p.et << 5) | p.dim;
        entries += hex(p.slot, 2) + hex(flags, 2) + hex(p.margin / 250, 2) + "00" + p.addr;
        entries += hex(static_cast<std::uint32_t>(p.x), 8);
        entries += hex(static_cast<std::uint32_t>(p.y), 8);
        entries += hex(static_cast<std::uint32_t>(p.z), 8);
    }
    return payload_frame(TDOA_SCHEDULE, entries);
}

// ---- param_veh_cert ---------------------------------------------------------------------------

param_veh_cert::param_veh_cert(const Json::Value& _value, component_logger& _logger) : parameter(_logger) {
    init(_value);
}
param_veh_cert::param_veh_cert(const std::string& _text, component_logger& _logger)
    : param_veh_cert(parse_text(_text), _logger) {}
param_veh_cert::param_veh_cert(const char* _text, component_logger& _logger)
    : param_veh_cert(std::string(_text ? _text : ""), _logger) {}

void param_veh_cert::init(const Json::Value& _value) {
    if (!_value.isObject())
        return;
    if (read_unsigned(m_logger, _value, "id", m_id))
        m_is_null = false;
}

bool param_veh_cert::operator==(const param_veh_cert& _other) const {
    const std::uint32_t left = m_is_null ? 0 : m_id;
    const std::uint32_t right = _other.m_is_null ? 0 : _other.m_id;
    return left == right;
}

Json::Value param_veh_cert::to_json() const {
    if (m_is_null)
        return Json::Value();
    Json::Value object(Json::objectValue);
    object["id"] = m_id;
    return object;
}

std::string param_veh_cert::to_json_string() const { return fast_write(to_json()); }

bool param_veh_cert::fits() const noexcept { return m_is_null || m_id <= 0xFF; }

param_veh_cert param_veh_cert::deliverable(std::string* /*_loss*/) const {
    if (!fits())
        VYR_THROW("certification id " + std::to_string(m_id) + " does not fit its byte");
    return *this;
}

std::string param_veh_cert::to_hex() const {
    const auto held = deliverable();
    return held.m_is_null ? "2E0100" : "2E01" + hex(held.m_id, 2);
}


// ---- param_driver_lic -------------------------------------------------------------------------

param_driver_lic::param_driver_lic(const Json::Value& _value, component_logger& _logger) : parameter(_logger) {
    init(_value);
}
param_driver_lic::param_driver_lic(const std::string& _text, component_logger& _logger)
    : param_driver_lic(parse_text(_text), _logger) {}
param_driver_lic::param_driver_lic(const char* _text, component_logger& _logger)
    : param_driver_lic(std::string(_text ? _text : ""), _logger) {}

void param_driver_lic::init(const Json::Value& _value) {
    if (!_value.isArray())
        return;
    m_is_null = false;
    for (const auto& element : _value) {
        std::uint32_t id = 0;
        if (read_unsigned(m_logger, element, "id", id))
            m_ids.insert(id);
    }
}

bool param_driver_lic::operator==(const param_driver_lic& _other) const {
    static const std::set<std::uint32_t> only_zero = {0};
    if (m_is_null)
        return _other.m_is_null || _other.m_ids == only_zero;
    if (_other.m_is_null && m_ids == only_zero)
        return true;
    // A null right side holds the empty set.
    if (m_ids.size() != _other.m_ids.size())
        return false;
    return std::all_of(m_ids.begin(), m_ids.end(), [&](std::uint32_t id) { return _other.m_ids.count(id) != 0; });
}

Json::Value param_driver_lic::to_json() const {
    if (m_is_null)
        return Json::Value();
    Json::Value array(Json::arrayValue);
    for (const auto id : m_ids) {
        Json::Value object(Json::objectValue);
        object["id"] = id;
        array.append(object);
    }
    return array;
}

std::string param_driver_lic::to_json_string() const { return fast_write(to_json()); }

param_driver_lic param_driver_lic::deliverable(std::string* _loss) const {
    param_driver_lic held(m_logger);
    held.m_is_null = m_is_null;
    std::size_t left_out = 0;
    for (const auto id : m_ids) {
        if (id > 0xFF || held.m_ids.size() == s_max_ids)
            ++left_out;
        else
            held.m_ids.insert(id);
    }
    if (left_out != 0)
        add_loss(_loss, std::to_string(left_out) + " of " + std::to_string(m_ids.size()) +
                            " licence ids left out (beyond one byte or beyond 255 ids)");
    static const std::set<std::uint32_t> only_zero = {0};
    if (held.m_ids == only_zero)
        held.m_ids.clear();
    return held;
}

std::string param_driver_lic::to_hex() const {
    std::string value;
    for (const auto id : deliverable().m_ids)
        value += hex(id, 2);
    return payload_frame(DRIVER_LIC, value);
}

// ---- param_nwk_cfg ----------------------------------------------------------------------------

param_nwk_cfg::param_nwk_cfg(const Json::Value& _value, component_logger& _logger) : parameter(_logger) {
    init(_value);
}
param_nwk_cfg::param_nwk_cfg(const std::string& _text, component_logger& _logger)
    : param_nwk_cfg(parse_text(_text), _logger) {}
param_nwk_cfg::param_nwk_cfg(const char* _text, component_logger& _logger)
    : param_nwk_cfg(std::string(_text ? _text : ""), _logger) {}

void param_nwk_cfg::init(const Json::Value& _value) {
    if (!_value.isObject())
        return;
    if (get_j_value(m_logger, _value, s_init, s_no_prefix, "router", m_router, s_no_prefix))
        m_is_null = false;
}

bool param_nwk_cfg::operator==(const param_nwk_cfg& _other) const {
    if (m_is_null || _other.m_is_null)
        return m_is_null == _other.m_is_null;
    return m_router == _other.m_router;
}

Json::Value param_nwk_cfg::to_json() const {
    if (m_is_null)
        return Json::Value();
    Json::Value object(Json::objectValue);
    object["router"] = m_router;
    return object;
}

std::string param_nwk_cfg::to_json_string() const { return fast_write(to_json()); }

std::string param_nwk_cfg::to_hex() const { return (!m_is_null && m_router) ? "350101" : "350100"; }

std::string param_nwk_cfg::request_formation() { return "3500"; }

// ---- param_em_alm -----------------------------------------------------------------------------

param_em_alm::param_em_alm(const Json::Value& _value, component_logger& _logger) : parameter(_logger) {
    init(_value);
}
param_em_alm::param_em_alm(const std::string& _text, component_logger& _logger)
    : param_em_alm(parse_text(_text), _logger) {}
param_em_alm::param_em_alm(const char* _text, component_logger& _logger)
    : param_em_alm(std::string(_text ? _text : ""), _logger) {}

void param_em_alm::init(const Json::Value& _value) {
    if (!_value.isObject())
        return;
    if (get_j_value(m_logger, _value, s_init, s_no_prefix, "state", m_value, s_no_prefix))
        m_is_null = false;
}

bool param_em_alm::operator==(const param_em_alm& _other) const {
    if (m_is_null || _other.m_is_null)
        return m_is_null == _other.m_is_null;
    return m_value == _other.m_value;
}

Json::Value param_em_alm::to_json() const {
    if (m_is_null)
        return Json::Value();
    Json::Value object(Json::objectValue);
    object["state"] = m_value;
    return object;
}

std::string param_em_alm::to_json_string() const { return fast_write(to_json()); }

param_em_alm param_em_alm::deliverable(std::string* /*_loss*/) const {
    param_em_alm held(*this);
    if (!m_is_null && m_value != "SET")
        held.m_value = "CLEAR";
    return held;
}

std::string param_em_alm::to_hex() const { return (!m_is_null && m_value == "SET") ? "3C0101" : "3C0100"; }

// ---- screen texts -----------------------------------------------------------------------------

void param_screen_text::init(const Json::Value& _value) {
    if (!_value.isString())
        return;
    m_is_null = false;
    m_value = _value.asString();
}

bool param_screen_text::equals(const param_screen_text& _other) const {
    if (m_is_null || _other.m_is_null)
        return m_is_null == _other.m_is_null;
    return m_value == _other.m_value;
}

Json::Value param_screen_text::to_json() const { return m_is_null ? Json::Value() : Json::Value(m_value); }

std::string param_screen_text::to_json_string() const { return fast_write(to_json()); }

std::string param_screen_text::held_text(const std::string& _text) {
    if (_text.size() <= s_max_bytes)
        return _text;
    std::size_t cut = s_max_bytes;
    // Back to the first byte of the character the cut falls in (continuation bytes are
    // 10xxxxxx), so that character is left out whole.
    while (cut > 0 && (static_cast<unsigned char>(_text[cut]) & 0xC0) == 0x80)
        --cut;
    return _text.substr(0, cut);
}

std::string param_screen_text::to_hex() const {
    return payload_frame(m_type, m_is_null ? "" : hex_bytes(held_text(m_value)));
}

namespace {

template <class Text>
Text held_screen_text(const Text& _value, std::string* _loss) {
    if (_value.is_null())
        return _value;
    Text held(Json::Value(param_screen_text::held_text(_value.value())), _value.logger());
    if (held.value().size() != _value.value().size())
        add_loss(_loss, "text of " + std::to_string(_value.value().size()) + " bytes cut to " +
                            std::to_string(held.value().size()));
    return held;
}

}  // namespace

param_scr_name::param_scr_name(const Json::Value& _value, component_logger& _logger)
    : param_screen_text(SCR_NAME, _logger) {
    init(_value);
}
param_scr_name::param_scr_name(const std::string& _text, component_logger& _logger)
    : param_scr_name(parse_text(_text), _logger) {}
param_scr_name::param_scr_name(const char* _text, component_logger& _logger)
    : param_scr_name(std::string(_text ? _text : ""), _logger) {}
param_scr_name param_scr_name::deliverable(std::string* _loss) const { return held_screen_text(*this, _loss); }

param_scr_gname::param_scr_gname(const Json::Value& _value, component_logger& _logger)
    : param_screen_text(SCR_GNAME, _logger) {
    init(_value);
}
param_scr_gname::param_scr_gname(const std::string& _text, component_logger& _logger)
    : param_scr_gname(parse_text(_text), _logger) {}
param_scr_gname::param_scr_gname(const char* _text, component_logger& _logger)
    : param_scr_gname(std::string(_text ? _text : ""), _logger) {}
param_scr_gname param_scr_gname::deliverable(std::string* _loss) const { return held_screen_text(*this, _loss); }

}  // namespace vyr::parameter
