#include "device_state.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace vyr::devsim {

namespace {

bool is_hex(const std::string& _text) {
    return std::all_of(_text.begin(), _text.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
}

// The `_bytes`-byte big-endian number at byte `_byte` of a value text.
std::uint32_t number(const std::string& _value, std::size_t _byte, std::size_t _bytes) {
    return static_cast<std::uint32_t>(std::stoul(_value.substr(_byte * 2, _bytes * 2), nullptr, 16));
}

std::int32_t signed_number(const std::string& _value, std::size_t _byte) {
    return static_cast<std::int32_t>(number(_value, _byte, 4));
}

std::string text_of(const std::string& _value) {
    std::string text;
    for (std::size_t i = 0; i < _value.size() / 2; ++i)
        text += static_cast<char>(number(_value, i, 1));
    return text;
}

Json::Value object_with(const char* _member, Json::Value _value) {
    Json::Value object(Json::objectValue);
    object[_member] = std::move(_value);
    return object;
}

// What a device holds before anybody configured it, per parameter.
const std::map<std::string, Json::Value>& factory_values() {
    static const std::map<std::string, Json::Value> values = [] {
        std::map<std::string, Json::Value> v;
        v["em_alm"] = object_with("state", "CLEAR");
        v["scr_name"] = Json::Value();
        v["scr_gname"] = Json::Value();
        v["t2t_cfg"] = object_with("role", "disabled");
        v["t2t_no_alarm"] = Json::Value(Json::arrayValue);
        v["veh_cert"] = object_with("id", 0u);
        v["driver_lic"] = Json::Value(Json::arrayValue);
        v["stationary"] = false;
        v["category"] = "unspecified";
        Json::Value loc(Json::objectValue);
        for (const char* axis : {"x", "y", "z", "sl_z", "sl_id"})
            loc[axis] = 0;
        v["loc"] = loc;
        Json::Value al_zv(Json::objectValue);
        al_zv["level"] = 0u;
        al_zv["zid"] = 0u;
        v["al_zv"] = al_zv;
        v["scr_message"] = "";
        v["tdoa_schedule"] = Json::Value();
        v["tdoa_schd"] = Json::Value();
        Json::Value sync(Json::objectValue);
        sync["addr"] = "FFFF";
        sync["slot"] = 255u;
        sync["flags"] = "00";
        v["sync_slot"] = sync;
        v["sf"] = object_with("addr", "0000");
        v["nwk_cfg"] = object_with("router", false);
        return v;
    }();
    return values;
}

// Confirmations: what the device shows, not settings it is asked for.
bool is_confirmation(const std::string& _name) { return _name == "al_zv" || _name == "scr_message"; }

decoded_payload make_value(const char* _name, Json::Value _json) {
    decoded_payload d;
    d.kind = decoded_payload::value;
    d.name = _name;
    d.json = std::move(_json);
    return d;
}

}  // namespace

std::string node_command::body() const {
    std::string text = code;
    for (const auto& p : payloads)
        text += p;
    return text;
}

std::optional<node_command> parse_win_frame(const std::string& _frame) {
    static const std::string prefix = "#win 080E";
    if (_frame.compare(0, prefix.size(), prefix) != 0 || _frame.size() < prefix.size() + 6 + 4 + 16)
        return std::nullopt;
    const std::string command = _frame.substr(5);
    if (!is_hex(command.substr(0, command.size() - 16)))
        return std::nullopt;
    const std::size_t length = number(command, 3, 2) * 2;
    if (command.size() != 10 + length + 16 || length < 4)
        return std::nullopt;
    node_command c;
    c.seq = number(command, 2, 1);
    c.code = command.substr(10, 4);
    c.mac = command.substr(10 + length);
    const std::string body = command.substr(10, length);
    for (std::size_t at = 4; at < body.size();) {
        if (at + 4 > body.size())
            return std::nullopt;
        const std::size_t size = 4 + number(body, at / 2 + 1, 1) * 2;
        if (at + size > body.size())
            return std::nullopt;
        c.payloads.push_back(body.substr(at, size));
        at += size;
    }
    return c;
}

std::optional<std::string> normalise_mac(std::string _mac) {
    if (_mac.size() == 12)
        _mac.insert(6, "FFFE");
    if (_mac.size() != 16 || !is_hex(_mac))
        return std::nullopt;
    for (auto& c : _mac)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return _mac;
}

decoded_payload decode_payload(const std::string& _payload) {
    decoded_payload unknown;
    if (_payload.size() < 4 || _payload.size() % 2 != 0 || !is_hex(_payload))
        return unknown;
    const std::string type = _payload.substr(0, 2);
    const std::string value = _payload.substr(4);
    const std::size_t bytes = value.size() / 2;
    if (number(_payload, 1, 1) != bytes)
        return unknown;
    // A parameter without a value travels as the single byte 00.
    const bool empty = value.empty() || value == "00";

    if (type == "3C")
        return make_value("em_alm", object_with("state", value == "01" ? "SET" : "CLEAR"));
    if (type == "52" || type == "53")
        return make_value(type == "52" ? "scr_name" : "scr_gname", empty ? Json::Value() : Json::Value(text_of(value)));
    if (type == "54")
        return make_value("scr_message", empty ? std::string() : text_of(value));
    if (type == "2B") {
        Json::Value cfg(Json::objectValue);
        const auto role = empty ? 0 : number(value, 0, 1);
        if ((role == 1 && bytes < 4) || (role == 2 && bytes < 11))
            return unknown;
        cfg["role"] = role == 1 ? "monitor" : role == 2 ? "announcer" : "disabled";
        if (role == 1 || role == 2) {
            const auto flags = number(value, 1, 1);
            cfg["alarm_back"] = (flags & 1) != 0;
            cfg["haptic"] = (flags & 16) != 0;
            cfg["buzzer"] = (flags & 32) != 0;
            if (flags & 4)
                cfg["pin"] = "SOLID";
            if (flags & 8)
                cfg["pin"] = "PULSE";
            cfg["delay"] = number(value, 2, 2);
        }
        if (role == 2) {
            cfg["distance"] = number(value, 4, 2);
            cfg["angle"] = number(value, 6, 1) * 2;
            cfg["alert_distance"] = number(value, 7, 2);
            cfg["safe_distance"] = number(value, 9, 2);
        }
        return make_value("t2t_cfg", cfg);
    }
    if (type == "2C") {
        Json::Value list(Json::arrayValue);
        if (!empty)
            list.append(object_with("mac", value));
        return make_value("t2t_no_alarm", list);
    }
    if (type == "5D")
        return make_value("stationary", value == "01");
    if (type == "5E") {
        static const char* const names[] = {"unspecified", "person", "vehicle", "asset"};
        const auto code = empty ? 0 : number(value, 0, 1);
        return make_value("category", code < 4 ? names[code] : "unspecified");
    }
    if (type == "09") {
        // Without a location the device is at the origin of no sublocation.
        if (empty)
            return make_value("loc", factory_values().at("loc"));
        if (bytes != 18)
            return unknown;
        Json::Value loc(Json::objectValue);
        loc["x"] = signed_number(value, 0);
        loc["y"] = signed_number(value, 4);
        loc["z"] = signed_number(value, 8);
        loc["sl_z"] = signed_number(value, 12);
        loc["sl_id"] = number(value, 16, 2);
        return make_value("loc", loc);
    }
    if (type == "2E")
        return make_value("veh_cert", object_with("id", empty ? 0u : number(value, 0, 1)));
    if (type == "2F") {
        Json::Value list(Json::arrayValue);
        for (std::size_t i = 0; !empty && i < bytes; ++i)
            list.append(object_with("id", number(value, i, 1)));
        return make_value("driver_lic", list);
    }
    if (type == "16") {
        if (!empty && bytes % 18 != 0)
            return unknown;
        // 18 bytes per partner; the margin travels in units of 250.
        Json::Value partners(Json::arrayValue);
        for (std::size_t i = 0; !empty && i + 18 <= bytes; i += 18) {
            Json::Value partner(Json::objectValue);
            const auto flags = number(value, i + 1, 1);
            partner["slot"] = number(value, i, 1);
            partner["sect"] = flags >> 7;
            partner["et"] = (flags >> 5) & 3;
            partner["dim"] = flags & 3;
            partner["margin"] = number(value, i + 2, 1) * 250;
            partner["addr"] = value.substr((i + 4) * 2, 4);
            partner["x"] = signed_number(value, i + 6);
            partner["y"] = signed_number(value, i + 10);
            partner["z"] = signed_number(value, i + 14);
            partners.append(partner);
        }
        return make_value("tdoa_schedule", empty ? Json::Value() : partners);
    }
    if (type == "18") {
        if (empty)
            return make_value("sync_slot", factory_values().at("sync_slot"));
        if (bytes != 4)
            return unknown;
        Json::Value sync(Json::objectValue);
        sync["addr"] = value.substr(0, 4);
        sync["slot"] = number(value, 2, 1);
        sync["flags"] = value.substr(6, 2);
        return make_value("sync_slot", sync);
    }
    if (type == "14") {
        // Without a superframe the device runs on node 0.
        if (empty)
            return make_value("sf", object_with("addr", "0000"));
        if (bytes < 2)
            return unknown;
        // The whole superframe it holds: node id, sfd, setting and schedule slot counts.
        Json::Value sf = object_with("addr", value.substr(0, 4));
        if (bytes >= 6) {
            sf["sfd"] = value.substr(4, 4);
            sf["set_slots"] = number(value, 4, 1);
            sf["sch_slots"] = number(value, 5, 1);
        }
        return make_value("sf", sf);
    }
    if (type == "35") {
        if (bytes == 0) {
            decoded_payload d;
            d.kind = decoded_payload::query;
            d.name = "nwk_cfg";
            return d;
        }
        return make_value("nwk_cfg", object_with("router", value == "01"));
    }
    if (type == "08") {
        if (empty)
            return make_value("al_zv", factory_values().at("al_zv"));
        if (bytes < 3)
            return unknown;
        Json::Value al_zv(Json::objectValue);
        al_zv["level"] = number(value, 0, 1);
        al_zv["zid"] = number(value, 1, 2);
        return make_value("al_zv", al_zv);
    }
    if (type == "06")
        return make_value("tdoa_schd", empty ? Json::Value() : Json::Value(value));
    if (type == "47") {
        if (bytes != 6)
            return unknown;
        decoded_payload d;
        d.kind = decoded_payload::sleep;
        d.sleep_cmd.wait = number(value, 0, 2);
        d.sleep_cmd.period = number(value, 2, 4);
        return d;
    }
    return unknown;
}

const std::vector<std::string>& known_parameters(device_kind _kind) {
    static const std::vector<std::string> tag = {"em_alm",     "scr_name",   "scr_gname", "t2t_cfg",
                                                 "t2t_no_alarm", "veh_cert", "driver_lic", "stationary",
                                                 "category",   "loc",        "al_zv",     "scr_message"};
    static const std::vector<std::string> anchor = {"tdoa_schedule", "sync_slot", "sf", "nwk_cfg"};
    return _kind == device_kind::tag ? tag : anchor;
}

bool is_parameter_name(const std::string& _name) { return factory_values().count(_name) != 0; }

device_state::device_state(device_kind _kind, std::set<std::string> _ignore, std::set<std::string> _unsupported)
    : m_kind(_kind), m_ignore(std::move(_ignore)), m_unsupported(std::move(_unsupported)) {
    for (const auto& name : known_parameters(m_kind))
        m_values[name] = factory_values().at(name);
}

Json::Value device_state::value(const std::string& _name) const {
    if (m_unsupported.count(_name))
        return Json::Value();
    if (m_values.isMember(_name))
        return m_values[_name];
    const auto factory = factory_values().find(_name);
    return factory != factory_values().end() ? factory->second : Json::Value();
}

device_state::outcome device_state::apply(const std::vector<std::string>& _payloads) {
    outcome out;
    for (const auto& payload : _payloads) {
        const decoded_payload d = decode_payload(payload);
        switch (d.kind) {
            case decoded_payload::unknown:
                out.unknown.push_back(payload);
                break;
            case decoded_payload::sleep:
                m_sleep = d.sleep_cmd;
                out.sleep = d.sleep_cmd;
                break;
            case decoded_payload::query:
                if (m_ignore.count(d.name))
                    out.ignored.push_back(d.name);
                else
                    out.report[d.name] = value(d.name);
                break;
            case decoded_payload::value:
                if (m_ignore.count(d.name)) {
                    // A refused value is answered with what the device holds instead.
                    out.ignored.push_back(d.name);
                    out.report[d.name] = value(d.name);
                } else if (m_unsupported.count(d.name)) {
                    out.report[d.name] = Json::Value();
                } else {
                    m_values[d.name] = d.json;
                    out.report[d.name] = d.json;
                    out.applied.push_back(d.name);
                }
                break;
        }
    }
    return out;
}

Json::Value device_state::full_report() const {
    Json::Value plist(Json::objectValue);
    for (const auto& name : known_parameters(m_kind)) {
        if (!is_confirmation(name))
            plist[name] = value(name);
    }
    for (const auto& name : m_unsupported)
        plist[name] = Json::Value();
    return plist;
}

Json::Value device_state::request_list() const {
    Json::Value list(Json::arrayValue);
    for (const auto& name : known_parameters(m_kind)) {
        if (!is_confirmation(name) && name != "nwk_cfg" && !m_unsupported.count(name))
            list.append(name);
    }
    return list;
}

}  // namespace vyr::devsim
