#include "platform/decoders.h"

#include <utility>

#include "common/base64.h"
#include "common/helpers.h"

namespace vyr::vyrserver {

const dialect from_api{"node.mac_addr", nullptr, true};
const dialect from_notification{"mac_address", "sequence", false};

namespace {

// A member that must be an object when it is present; absent or another kind counts
// as absent.
const Json::Value* optional_object(const Json::Value& _j, const char* _member) {
    return has_member(_j, _member) && _j[_member].isObject() ? &_j[_member] : nullptr;
}

}  // namespace

bool object_decoder::number(const Json::Value& _j, const char* _member, unsigned int& _out,
                            const std::string& _uid) const {
    if (rules.number_fallback && !has_member(_j, _member)) {
        if (!has_member(_j, rules.number_fallback))
            return false;
        _member = rules.number_fallback;
    }
    return read(_j, _member, _out, _uid);
}

bool object_decoder::operator()(const Json::Value& _j, const std::string& _uid, anchor& _out) const {
    Json::Value position;
    double x = 0, y = 0, z = 0;
    if (!read(_j, "project_uid", _out.project_uid, _uid) || !read(_j, "name", _out.name, _uid) ||
        !read(_j, "sublocation_uid", _out.sublocation_uid, _uid) || !read(_j, "type", _out.type, _uid) ||
        !read(_j, "position", position, _uid) || !read(position, "x", x, _uid) || !read(position, "y", y, _uid) ||
        !read(position, "z", z, _uid))
        return false;
    _out.position_x = round_half_up(x);
    _out.position_y = round_half_up(y);
    _out.position_z = round_half_up(z);
    if (const auto* node = optional_object(_j, "node"))
        return read.mac(*node, _out.mac_address, _uid, rules.mac_label) && read(*node, "node_id", _out.node_id, _uid);
    return true;
}

bool object_decoder::operator()(const Json::Value& _j, const std::string& _uid, track_obj& _out) const {
    double height = 0;
    if (!read(_j, "project_uid", _out.project_uid, _uid) || !read(_j, "name", _out.name, _uid) ||
        !read(_j, "type", _out.type, _uid) || !read(_j, "category", _out.category, _uid) ||
        !read(_j, "default_height", height, _uid))
        return false;
    _out.category = to_lower(_out.category);
    _out.default_height = round_half_up(height);

    if (const auto* position = optional_object(_j, "position")) {
        double x = 0, y = 0;
        if ((rules.sl_id_required || has_member(*position, "sl_id")) &&
            !read(*position, "sl_id", _out.sublocation_uid, _uid))
            return false;
        if (!read(*position, "x", x, _uid) || !read(*position, "y", y, _uid))
            return false;
        _out.position_x = round_half_up(x);
        _out.position_y = round_half_up(y);
    }
    const auto* node = optional_object(_j, "node");
    if (node && !read.mac(*node, _out.mac_address, _uid, rules.mac_label))
        return false;
    // The strings up to the first that is not one; a bad list never drops the object.
    if (has_member(_j, "groups"))
        (void)read(_j, "groups", _out.groups, _uid);
    const auto* tag_config = optional_object(_j, "tag_config");
    return !tag_config || (*this)(*tag_config, _uid, _out.tag_config);
}

bool object_decoder::operator()(const Json::Value& _j, const std::string& _uid, tag_config_t& _out) const {
    if (!read(_j, "stationary", _out.stationary, _uid))
        return false;
    if (has_member(_j, "t2t_no_alarm") && _j["t2t_no_alarm"].isArray()) {
        for (const auto& entry : _j["t2t_no_alarm"])
            if (entry.isObject() && entry["mac"].isString())
                _out.t2t_no_alarm.push_back(entry["mac"].asString());
    }
    const auto* j_cfg = optional_object(_j, "t2t_cfg");
    if (!j_cfg)
        return true;
    auto& cfg = _out.t2t_cfg;
    if (!read(*j_cfg, "role", cfg.role, _uid))
        return false;
    cfg.valid = true;
    // The optional members: present means set, to the value or to false, 0 or "" when
    // the member has another type.
    for (auto [name, field] : {std::pair{"alarm_back", &t2t_cfg_t::alarm_back}, std::pair{"buzzer", &t2t_cfg_t::buzzer},
                               std::pair{"haptic", &t2t_cfg_t::haptic}})
        if (has_member(*j_cfg, name))
            cfg.*field = (*j_cfg)[name].isBool() && (*j_cfg)[name].asBool();
    for (auto [name, field] :
         {std::pair{"distance", &t2t_cfg_t::distance}, std::pair{"angle", &t2t_cfg_t::angle},
          std::pair{"delay", &t2t_cfg_t::delay}, std::pair{"alert_distance", &t2t_cfg_t::alert_distance},
          std::pair{"safe_distance", &t2t_cfg_t::safe_distance}})
        if (has_member(*j_cfg, name))
            cfg.*field = (*j_cfg)[name].isNumeric() ? round_half_away_unsigned((*j_cfg)[name].asDouble()) : 0u;
    if (has_member(*j_cfg, "pin"))
        cfg.pin = (*j_cfg)["pin"].isString() ? (*j_cfg)["pin"].asString() : std::string();
    return true;
}

bool object_decoder::operator()(const Json::Value& _j, const std::string& _uid, group& _out) const {
    return read(_j, "project_uid", _out.project_uid, _uid) && read(_j, "name", _out.name, _uid);
}

bool object_decoder::operator()(const Json::Value& _j, const std::string& _uid, zone& _out) const {
    unsigned int zone_id = 0;
    if (!read(_j, "project_uid", _out.project_uid, _uid) || !number(_j, "zone_id", zone_id, _uid))
        return false;
    _out.zone_id = zone_id;
    return true;
}

bool object_decoder::operator()(const Json::Value& _j, const std::string& _uid, sublocation& _out) const {
    unsigned int id = 0;
    double x = 0, y = 0, z = 0;
    if (!read(_j, "project_uid", _out.project_uid, _uid) || !number(_j, "id", id, _uid) ||
        !read(_j, "offset_x", x, _uid) || !read(_j, "offset_y", y, _uid) || !read(_j, "offset_z", z, _uid))
        return false;
    _out.sublocation_id = id;
    _out.offset_x = round_half_up(x);
    _out.offset_y = round_half_up(y);
    _out.offset_z = round_half_up(z);
    return true;
}

bool object_decoder::operator()(const Json::Value& _j, const std::string& _uid, alarm& _out) const {
    unsigned int acknowledged = 0;
    if ((has_member(_j, "alarm_name") && !read(_j, "alarm_name", _out.alarm_name, _uid)) ||
        (has_member(_j, "acknowledged") && !read(_j, "acknowledged", acknowledged, _uid)) ||
        (has_member(_j, "obj_uid") && !read(_j, "obj_uid", _out.obj_uid, _uid)))
        return false;
    _out.acknowledged = acknowledged;

    Json::Value info;
    if (!read(_j, "additional_info", info, _uid))
        return false;
    std::string text;
    if (has_member(info, "text") && !read(info, "text", text, _uid))
        return false;
    _out.text = text;

    if (context::is_zone_alarm(_out.alarm_name)) {
        // The zone uid is kept only when the server names one; the alarm text is never
        // taken for it.
        if (has_member(info, "zone_uid")) {
            std::string zone_uid;
            if (!read(info, "zone_uid", zone_uid, _uid))
                return false;
            _out.zone_uid = zone_uid;
        }
        unsigned int level = 0;
        if (has_member(info, "zone_alarm_level") && !read(info, "zone_alarm_level", level, _uid))
            return false;
        _out.zone_alarm_level = level;
        return true;
    }
    return _out.alarm_name == context::s_emergency_button;
}

bool object_decoder::operator()(const Json::Value& _j, const std::string& _uid, tdoa_schedule& _out) const {
    unsigned int version = 1;
    std::string content;
    if ((has_member(_j, "tdoa_version") && !read(_j, "tdoa_version", version, _uid)) ||
        !read(_j, "content", content, _uid))
        return false;
    if (version == 1) {
        std::size_t cut_at = std::string::npos;
        const std::size_t encoded_size = content.size();
        content = base64_decode(content, &cut_at);
        if (cut_at != std::string::npos)
            read.logger.warning("%s %s:%s field \"content\": base64 ends at character %u of %u, the rest is ignored") %
                read.func % read.object % _uid % cut_at % encoded_size;
    }

    std::string text;
    text.reserve(content.size());
    for (char c : content) {
        if (c == '"')
            continue;
        text.push_back(c == '\r' ? '\n' : c);
    }

    _out.tdoa_version = version;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        if (!line.empty() && line[0] != '#')
            _out.rows.insert(line);
        start = end + 1;
    }
    return true;
}

std::set<std::uint32_t> required_licences(const field_reader& _read, const Json::Value& _licenses) {
    std::set<std::uint32_t> ids;
    for (const auto& license : _licenses) {
        unsigned int id = 0;
        bool required = false;
        if (_read(license, "id", id) && _read(license, "certification_required", required) && required)
            ids.insert(id);
    }
    return ids;
}

// ---- record updates ----------------------------------------------------------------------

void apply(context::anchor& _record, const anchor& _a) {
    _record.update(_a.project_uid, _a.name, _a.sublocation_uid, _a.position_x, _a.position_y, _a.position_z, _a.type,
                   _a.mac_address, _a.node_id);
}

void apply(context::track_obj& _record, const track_obj& _t) {
    const auto& tag = _t.tag_config;
    const auto& cfg = tag.t2t_cfg;
    _record.update(_t.project_uid, _t.name, _t.sublocation_uid, _t.position_x, _t.position_y, _t.default_height,
                   _t.type, _t.mac_address, _t.groups, _t.category, tag.stationary, tag.t2t_no_alarm, cfg.valid,
                   cfg.role, cfg.alarm_back, cfg.distance, cfg.angle, cfg.delay, cfg.pin, cfg.alert_distance,
                   cfg.safe_distance, cfg.buzzer, cfg.haptic);
}

void apply(context::group& _record, const group& _g) { _record.update(_g.project_uid, _g.name); }

void apply(context::zone& _record, const zone& _z) { _record.update(_z.project_uid, _z.zone_id); }

void apply(context::sublocation& _record, const sublocation& _s) {
    _record.update(_s.project_uid, _s.sublocation_id, _s.offset_x, _s.offset_y, _s.offset_z);
}

void apply(context::tdoa_schedule& _record, const tdoa_schedule& _s) { _record.update(_s.tdoa_version, _s.rows); }

void apply(context::alarm& _record, const alarm& _a) {
    if (_a.obj_uid.empty())
        return;
    _record.update(_a.alarm_name, _a.acknowledged, _a.obj_uid, _a.zone_uid, _a.zone_alarm_level, _a.text, true);
}

}  // namespace vyr::vyrserver
