#include "judge/judge.h"

#include <algorithm>

#include "common/helpers.h"
#include "core/json.h"
#include "judge/held_values.h"

namespace vyr::judge {

using vyr::context::track_obj_data;
using vyr::context::win;
using vyr::context::win_record;
using namespace vyr::parameter;

namespace {

template <class T>
Json::Value optional_json(const std::optional<T>& _value) {
    return _value ? Json::Value(*_value) : Json::Value();
}

t2t_fields reported_t2t(const win_record& _win) {
    return {_win.parameter_t2t_cfg_alarm_back(),   _win.parameter_t2t_cfg_distance(),
            _win.parameter_t2t_cfg_angle(),        _win.parameter_t2t_cfg_delay(),
            _win.parameter_t2t_cfg_pin(),          _win.parameter_t2t_cfg_alert_distance(),
            _win.parameter_t2t_cfg_safe_distance(), _win.parameter_t2t_cfg_buzzer(),
            _win.parameter_t2t_cfg_haptic()};
}

// What the device reported; null when it reported no role.
Json::Value reported_t2t_cfg_to_json(const win_record& _win) {
    const auto role = _win.parameter_t2t_cfg_role();
    return role ? t2t_to_json(*role, reported_t2t(_win)) : Json::Value();
}

param_check failed(parameter_t _p) {
    param_check check;
    check.parameter = _p;
    check.standing = param_standing::differs;
    check.failed = true;
    return check;
}

// A parameter the pass does not push as a value class stands as not supported when the
// device said so, else in step. The texts are filled when it differs (its push record
// compares them) or when asked for.
template <class Must, class Reported>
param_check judged(parameter_t _p, parameter_states _state, bool _differs, bool _describe, const Must& _must,
                   const Reported& _reported) {
    param_check check;
    check.parameter = _p;
    if (_differs)
        check.standing = param_standing::differs;
    else if (_state == NOT_SUPPORTED)
        check.standing = param_standing::not_supported;
    if (_describe || _differs) {
        check.must = json_text(_must());
        if (_state != UNKNOWN)
            check.actual = json_text(_reported());
    }
    return check;
}

// What a push record compares: the must text, or the payload of a parameter without one.
const std::string& pushed_value(const param_check& _check) {
    return _check.must.empty() ? _check.payload : _check.must;
}

}  // namespace

bool sending_period_passed(const timeval& _now, const timeval& _last, long _period_sec) {
    // A sending time after now means the clock was set back: waiting for it would stop the
    // pushes to the device for as long as the clock went back.
    if (timercmp(&_last, &_now, >))
        return true;
    long seconds = static_cast<long>(_now.tv_sec - _last.tv_sec);
    if (_now.tv_usec < _last.tv_usec)
        --seconds;
    return seconds >= _period_sec;
}

bool may_push(const win_record& _win, const timeval& _now) {
    return _win.sending_counter() <= s_max_sending_counter && sending_period_passed(_now, _win.sending_time());
}

judge::judge(std::shared_ptr<const vyr::context::project_snapshot> _snapshot, bool _push_schedule_to_destination,
             const timeval& _now, vyr::libs::core::component_logger& _logger)
    : m_snapshot(std::move(_snapshot)),
      m_push_schedule_to_destination(_push_schedule_to_destination),
      m_now(_now),
      m_logger(_logger) {}

const track_obj_data* judge::object_of(const std::string& _mac) const { return m_snapshot->track_obj_of(_mac); }

void judge::note_undeliverable(const std::string& _mac, parameter_t _p, const std::string& _value,
                               const std::string& _loss) {
    const auto& name = parameters.at(_p);
    m_notices.push_back({_mac + " " + name, _value,
                         _loss.empty() ? std::string()
                                       : name + " of " + _mac + ": the project value cannot be delivered whole: " +
                                             _loss});
}

std::vector<param_check> judge::check(const win_record& _win, bool _describe) {
    const auto& mac = _win.mac_addr();
    std::vector<param_check> checks;
    if (m_snapshot->anchor_by_mac.count(mac) != 0) {
        checks = check_anchor(_win);
    } else if (const auto* object = object_of(mac)) {
        checks = check_track_obj(_win, *object, _describe);
    } else if (m_snapshot->track_obj_by_mac.count(mac) != 0) {
        // Listed, but its record cannot be read: not judged in this pass.
        return {};
    } else {
        checks = check_clearing(_win, _describe);
    }
    for (auto& check : checks) {
        if (check.standing != param_standing::differs || !check.payload.empty() || check.failed)
            continue;
        if (auto payload = payload_of(check.parameter, _win))
            check.payload = std::move(*payload);
        else
            check.failed = true;
    }
    return checks;
}

std::vector<param_check> judge::check_clearing(const win_record& _win, bool _describe) {
    std::vector<param_check> checks;
    const auto add = [&](parameter_t _p, bool _holds_something, const auto& _reported) {
        param_check check;
        check.parameter = _p;
        check.joint = true;
        const auto state = _win.parameter_state(_p);
        if (state == SUPPORTED && _holds_something) {
            check.standing = param_standing::differs;
            check.payload = payload_frame(_p, "");
        } else if (state == NOT_SUPPORTED) {
            check.standing = param_standing::not_supported;
        }
        if ((_describe || check.standing == param_standing::differs) && state != UNKNOWN)
            check.actual = json_text(_reported());
        checks.push_back(std::move(check));
    };
    add(T2T_CFG, to_lower(_win.parameter_t2t_cfg_role().value_or("")) != "disabled",
        [&] { return reported_t2t_cfg_to_json(_win); });
    add(T2T_NO_ALARM, !_win.parameter_t2t_no_alarm().empty(), [&] { return json_list(_win.parameter_t2t_no_alarm()); });
    add(STATIONARY, _win.parameter_stationary().value_or(false),
        [&] { return optional_json(_win.parameter_stationary()); });
    add(CATEGORY, _win.parameter_category() != std::optional<std::string>("unspecified"),
        [&] { return optional_json(_win.parameter_category()); });
    return checks;
}

std::vector<param_check> judge::check_track_obj(const win_record& _win, const track_obj_data& _object,
                                                bool _describe) {
    // Asset tags are configured elsewhere. The platform's type is exactly "ASSET".
    if (_object.type == "ASSET")
        return {};
    std::vector<param_check> checks;
    if (m_snapshot->vehicle_certification) {
        checks.push_back(check_value<param_veh_cert>(_win, VEH_CERT, must_json(VEH_CERT, _win), true));
        checks.push_back(check_value<param_driver_lic>(_win, DRIVER_LIC, must_json(DRIVER_LIC, _win), false));
    }
    checks.push_back(check_value<param_em_alm>(_win, EM_ALM, must_json(EM_ALM, _win), true));
    checks.push_back(check_value<param_scr_name>(_win, SCR_NAME, must_json(SCR_NAME, _win), false));
    checks.push_back(check_value<param_scr_gname>(_win, SCR_GNAME, must_json(SCR_GNAME, _win), false));

    // The tag-to-tag configuration and the no-alarm entry are compared as the device
    // holds them after their payloads.
    const auto& mac = _win.mac_addr();
    std::string t2t_loss;
    const auto t2t = held_t2t(_object.t2t_cfg, t2t_loss);
    note_undeliverable(mac, T2T_CFG, t2t_loss, t2t_loss);
    if (t2t.unsendable)
        checks.push_back(failed(T2T_CFG));
    else
        checks.push_back(judged(
            T2T_CFG, _win.parameter_state(T2T_CFG), t2t_differs(_win.parameter_state(T2T_CFG), _win.parameter_t2t_cfg_role(), reported_t2t(_win), t2t), _describe,
            [&] { return t2t_to_json(t2t.exists ? t2t.role : "disabled", t2t.fields); },
            [&] { return reported_t2t_cfg_to_json(_win); }));

    std::string no_alarm_loss;
    const auto must_list = one_or_none(held_no_alarm(_object.t2t_no_alarm, no_alarm_loss));
    note_undeliverable(mac, T2T_NO_ALARM, no_alarm_loss, no_alarm_loss);
    const auto no_alarm_state = _win.parameter_state(T2T_NO_ALARM);
    const auto& reported_list = _win.parameter_t2t_no_alarm();
    const bool no_alarm_differs =
        no_alarm_state == UNKNOWN || reported_list.size() != must_list.size() ||
        (!must_list.empty() && to_upper(reported_list.front()) != must_list.front());
    checks.push_back(judged(
        T2T_NO_ALARM, no_alarm_state, no_alarm_differs, _describe, [&] { return json_list(must_list); },
        [&] { return json_list(reported_list); }));

    check_place(_win, _object, _describe, checks);

    // A category without a code reaches the device as "unspecified", which is then what it
    // reports; compared with the object's own text it would be pushed for ever.
    const auto category_state = _win.parameter_state(CATEGORY);
    const auto category = category_code(_object.category) ? _object.category : std::string("unspecified");
    const auto reported_category = _win.parameter_category();
    checks.push_back(judged(
        CATEGORY, category_state,
        category_state == UNKNOWN ||
            (category_state == SUPPORTED && reported_category != std::optional<std::string>(category)),
        _describe, [&] { return Json::Value(category); }, [&] { return optional_json(reported_category); }));
    return checks;
}

// Stationary and location travel together in one command.
void judge::check_place(const win_record& _win, const track_obj_data& _object, bool _describe,
                        std::vector<param_check>& _checks) {
    const auto stationary_state = _win.parameter_state(STATIONARY);
    const bool stationary = _object.stationary;
    const auto reported_flag = _win.parameter_stationary();
    _checks.push_back(judged(
        STATIONARY, stationary_state,
        stationary_state == UNKNOWN ||
            (stationary_state == SUPPORTED && reported_flag != std::optional<bool>(stationary)),
        _describe, [&] { return Json::Value(stationary); }, [&] { return optional_json(reported_flag); }));
    _checks.back().joint = true;
    if (!stationary || stationary_state != SUPPORTED)
        return;
    const auto loc_state = _win.parameter_state(LOC);
    // Compared only where the object's sublocation is known.
    std::optional<loc> must;
    std::string loc_loss;
    if (loc_state != NOT_SUPPORTED || _describe)
        must = must_loc(_object, loc_loss);
    if (!loc_loss.empty())
        note_undeliverable(_win.mac_addr(), LOC, loc_loss, loc_loss);
    const auto reported_place = _win.parameter_loc();
    bool loc_differs = loc_state == UNKNOWN;
    if (loc_state == SUPPORTED && must)
        loc_differs = !(reported_place && reported_place->x == must->x && reported_place->y == must->y &&
                        reported_place->z == must->z && reported_place->sublocation_z == must->sublocation_z &&
                        reported_place->sublocation_id == must->sublocation_id);
    // A place its payload cannot carry is not sent, whatever the device reports.
    if (!loc_loss.empty() && loc_state != NOT_SUPPORTED)
        _checks.push_back(failed(LOC));
    else
        _checks.push_back(judged(
            LOC, loc_state, loc_differs, _describe, [&] { return must ? loc_to_json(*must) : Json::Value(); },
            [&] { return reported_place ? loc_to_json(*reported_place) : Json::Value(); }));
    _checks.back().joint = true;
}

// Where a stationary object must be; nothing when its sublocation is not known. A
// sublocation without an offset is sent with offset 0, so the device's report is compared
// with that; otherwise it would never match.
std::optional<loc> judge::must_loc(const track_obj_data& _object, std::string& _loss) const {
    const auto* place = vyr::context::project_snapshot::find(m_snapshot->sublocations, _object.sublocation_uid);
    if (_object.sublocation_uid.empty() || !place)
        return std::nullopt;
    const std::int64_t offset = place->offset_z.value_or(0);
    const std::int64_t z = std::int64_t{_object.default_height} + offset;
    _loss = loc_misfit(place->sublocation_id, z);
    if (!_loss.empty())
        return std::nullopt;
    return loc{_object.position_x, _object.position_y, static_cast<std::int32_t>(z), static_cast<std::int32_t>(offset),
               place->sublocation_id};
}

template <class Param>
param_check judge::check_value(const win_record& _win, parameter_t _p, const std::optional<Json::Value>& _must,
                               bool _null_actual_is_kept) {
    param_check check;
    check.parameter = _p;
    check.actual = _win.parameter_as_json(_p, win::actual);
    if (!_must) {
        check.standing = param_standing::differs;
        check.failed = true;
        return check;
    }
    // What is compared, stored and pushed is the value as the device will hold it.
    std::string loss;
    const auto must = Param(*_must, m_logger).deliverable(&loss);
    note_undeliverable(_win.mac_addr(), _p, loss.empty() ? std::string() : json_text(*_must), loss);
    check.must = must.to_json_string();
    check.must_stored = true;
    if (check.actual.empty()) {
        check.standing = param_standing::differs;
    } else {
        const Param actual(check.actual, m_logger);
        if (_null_actual_is_kept && actual.is_null())
            check.standing = param_standing::not_supported;
        else if (must != actual)
            check.standing = param_standing::differs;
    }
    if (check.standing == param_standing::differs)
        check.payload = must.to_hex();
    return check;
}

verdict judge::deliver(const win_record& _win, bool _may_push) {
    verdict result;
    result.checks = check(_win);
    const auto& checks = result.checks;
    result.standing = standing_of(_win, checks);
    if (!_may_push)
        return result;
    for (const auto& check : checks)
        if (check.must_stored && !check.failed && _win.parameter_as_json(check.parameter, win::must) != check.must)
            result.musts.emplace_back(check.parameter, check.must);
    // Each differing parameter goes out by itself, in check order; the joint ones follow
    // together in one command.
    std::string joint;
    for (const auto& check : checks) {
        if (check.standing != param_standing::differs || check.failed)
            continue;
        auto record = _win.parameter_push_record(check.parameter);
        const bool due = push_due(_win, check, record);
        result.push_records.emplace_back(check.parameter, std::move(record));
        if (!due)
            continue;
        if (check.joint)
            joint += check.payload;
        else
            result.frames.push_back(check.payload);
    }
    if (!joint.empty())
        result.frames.push_back(std::move(joint));
    // As the records stand after this delivery: a parameter refused once too often is
    // rejected from this pass on.
    bool differing = false;
    bool rejects = false;
    for (const auto& check : checks) {
        if (check.standing != param_standing::differs)
            continue;
        const auto kept = std::find_if(result.push_records.begin(), result.push_records.end(),
                                       [&check](const auto& _kept) { return _kept.first == check.parameter; });
        const auto record =
            kept != result.push_records.end() ? kept->second : _win.parameter_push_record(check.parameter);
        (rejected(_win, check, record) ? rejects : differing) = true;
    }
    result.standing = differing ? win_standing::differing : rejects ? win_standing::rejects : win_standing::in_step;
    return result;
}

win_standing judge::standing_of(const win_record& _win, const std::vector<param_check>& _checks) {
    bool differing = false;
    bool rejects = false;
    for (const auto& check : _checks)
        if (check.standing == param_standing::differs)
            (rejected(_win, check) ? rejects : differing) = true;
    return differing ? win_standing::differing : rejects ? win_standing::rejects : win_standing::in_step;
}

bool judge::rejected(const win_record& _win, const param_check& _check) {
    return rejected(_win, _check, _win.parameter_push_record(_check.parameter));
}

bool judge::rejected(const win_record& _win, const param_check& _check, const win::push_record& _record) {
    if (_check.standing != param_standing::differs)
        return false;
    const auto& record = _record;
    return record.rejected && record.must == pushed_value(_check) && record.actual == _check.actual &&
           record.announced == _win.announce_token();
}

bool judge::push_due(const win_record& _win, const param_check& _check, win::push_record& _record) {
    const bool answered = timercmp(&_record.report_now, &_record.report, !=);
    auto announced = _win.announce_token();
    if (_record.must != pushed_value(_check) || _record.actual != _check.actual || _record.announced != announced) {
        // Another value to push, another value held, or a device announced anew since (a
        // record written after its announcement by a pass that read the record before is
        // of its earlier life): the count starts over.
        _record = win::push_record{
            pushed_value(_check), _check.actual, _record.report_now, 0, false, {}, std::move(announced), {}};
    } else if (answered) {
        // The device answered the previous push and still holds the same other value.
        ++_record.refusals;
        _record.report = _record.report_now;
    } else if (_record.rejected && !sending_period_passed(m_now, _record.rejected_push, s_rejected_period_sec)) {
        return false;
    }
    if (_record.refusals < s_refusals_to_reject)
        return true;
    if (!_record.rejected) {
        const auto line = [](std::string _text) {
            while (!_text.empty() && _text.back() == '\n')
                _text.pop_back();
            return _text;
        };
        m_notices.push_back({_win.mac_addr() + " rejects " + parameters.at(_check.parameter),
                             _record.must + "\n" + _record.actual,
                             "WIN " + _win.mac_addr() + " keeps refusing " + parameters.at(_check.parameter) +
                                 ": holds " + line(_check.actual) + " in place of " + line(pushed_value(_check)) +
                                 "; pushed once a minute from now"});
        _record.rejected = true;
        _record.rejected_push = m_now;
        return false;
    }
    if (sending_period_passed(m_now, _record.rejected_push, s_rejected_period_sec)) {
        _record.rejected_push = m_now;
        return true;
    }
    return false;
}

std::optional<std::string> judge::payload_of(parameter_t _p, const win_record& _win) {
    const auto* object = object_of(_win.mac_addr());
    if (!object)
        return std::nullopt;
    switch (_p) {
        case T2T_CFG: {
            std::string loss;
            const auto held = held_t2t(object->t2t_cfg, loss);
            note_undeliverable(_win.mac_addr(), T2T_CFG, loss, loss);
            if (held.unsendable)
                return std::nullopt;
            return t2t_payload(held);
        }
        case T2T_NO_ALARM: {
            std::string loss;
            return payload_frame(T2T_NO_ALARM, held_no_alarm(object->t2t_no_alarm, loss).value_or("00"));
        }
        case STATIONARY:
            return payload_frame(STATIONARY, object->stationary ? "01" : "00");
        case LOC:
            return form_loc(_win);
        case CATEGORY:
            return payload_frame(CATEGORY, category_code(object->category).value_or(""));
        default:
            return std::nullopt;
    }
}

std::optional<std::string> judge::form_loc(const win_record& _win) {
    const auto* object = object_of(_win.mac_addr());
    if (!object)
        return std::nullopt;
    const auto* place = vyr::context::project_snapshot::find(m_snapshot->sublocations, object->sublocation_uid);
    // A sublocation id beyond its two bytes would make a payload no device reads, a height
    // beyond 32 bits would wrap round to another one: no location is sent (warned once).
    const std::uint32_t id = place ? place->sublocation_id : 0;
    const std::int64_t offset = place ? place->offset_z.value_or(0) : 0;
    const std::int64_t z = std::int64_t{object->default_height} + offset;
    const auto misfit = loc_misfit(id, z);
    note_undeliverable(_win.mac_addr(), LOC, misfit, misfit);
    if (!misfit.empty())
        return std::nullopt;
    return payload_frame(LOC, hex32(object->position_x) + hex32(object->position_y) + hex32(z) + hex32(offset) +
                                  hex(id, 4));
}

std::optional<Json::Value> judge::must_json(parameter_t _p, const win_record& _win) {
    if (_p == TDOA_SCHEDULE)
        return tdoa_schedule_json(_win.mac_addr());
    const auto* object = object_of(_win.mac_addr());
    if (!object)
        return std::nullopt;
    switch (_p) {
        case EM_ALM: {
            Json::Value value(Json::objectValue);
            value["state"] = button_pressed(m_snapshot->track_obj_by_mac.at(_win.mac_addr()), _win) ? "SET" : "CLEAR";
            return value;
        }
        case SCR_NAME:
            return object->name.empty() ? Json::Value() : Json::Value(object->name);
        case SCR_GNAME: {
            if (object->groups.empty())
                return Json::Value();
            const auto* group = vyr::context::project_snapshot::find(m_snapshot->groups, object->groups.front());
            return !group || group->name.empty() ? Json::Value() : Json::Value(group->name);
        }
        case VEH_CERT: {
            if (!object->vehicle_model)
                return Json::Value();
            Json::Value value(Json::objectValue);
            value["id"] = Json::UInt(*object->vehicle_model);
            // An id beyond its byte has no payload: nothing goes (warned once), neither
            // another id nor "no certification".
            const auto misfit = param_veh_cert(value, m_logger).fits()
                                    ? std::string()
                                    : "certification id " + std::to_string(*object->vehicle_model) +
                                          " beyond one byte, not sent";
            note_undeliverable(_win.mac_addr(), VEH_CERT, misfit, misfit);
            if (!misfit.empty())
                return std::nullopt;
            return value;
        }
        case DRIVER_LIC: {
            Json::Value value(Json::arrayValue);
            for (const auto id : object->driver_licenses) {
                Json::Value entry(Json::objectValue);
                entry["id"] = Json::UInt(id);
                value.append(entry);
            }
            return value;
        }
        default:
            return std::nullopt;
    }
}

}  // namespace vyr::judge

namespace vyr::judge {

bool judge::button_pressed(const std::string& _object_uid, const win_record& _win) {
    const auto& snapshot = *m_snapshot;
    const auto* listed = vyr::context::project_snapshot::find(snapshot.alarms_of_object, _object_uid);
    if (listed)
        for (const auto& uid : *listed) {
            const auto* alarm = vyr::context::project_snapshot::find(snapshot.alarms, uid);
            if (alarm && alarm->alarm_name == std::optional<std::string>(std::string(vyr::context::s_emergency_button))) {
                if (alarm->set)
                    return true;
                break;
            }
        }
    // The device reports its button pressed: the platform may raise the alarm a while
    // later, so no alarm list read before the report clears it.
    static const std::string s_reported_set = [this] {
        Json::Value set(Json::objectValue);
        set["state"] = "SET";
        return param_em_alm(set, m_logger).to_json_string();
    }();
    if (_win.parameter_as_json(EM_ALM, win::actual) != s_reported_set)
        return false;
    const auto heard = _win.parameter_heard_ms(EM_ALM).value_or(0);
    const auto now = static_cast<std::int64_t>(m_now.tv_sec) * 1000 + m_now.tv_usec / 1000;
    if (now - heard > s_button_hold_ms)
        return false;
    // Cleared by the platform after it was seen set since the report (by a list asked for
    // in the millisecond of the report or later).
    const auto* seen = vyr::context::project_snapshot::find(snapshot.buttons_seen, _object_uid);
    const bool cleared = seen && *seen >= heard;
    if (!cleared)
        m_notices.push_back({_win.mac_addr() + " button held", std::to_string(heard),
                             "emergency state of " + _win.mac_addr() +
                                 " held at SET: no alarm list since its report shows the button alarm cleared",
                             true});
    return !cleared;
}

}  // namespace vyr::judge

namespace vyr::judge {

std::vector<param_check> judge::check_anchor(const win_record& _win) {
    std::vector<param_check> checks;
    checks.push_back(check_value<param_tdoa_schedule>(_win, TDOA_SCHEDULE, must_json(TDOA_SCHEDULE, _win), false));
    // Without a reported network configuration the anchor is asked for it; any report will
    // do.
    param_check nwk_cfg;
    nwk_cfg.parameter = NWK_CFG;
    nwk_cfg.actual = _win.parameter_as_json(NWK_CFG, win::actual);
    if (nwk_cfg.actual.empty()) {
        nwk_cfg.standing = param_standing::differs;
        nwk_cfg.payload = param_nwk_cfg::request_formation();
    }
    checks.push_back(std::move(nwk_cfg));
    return checks;
}

}  // namespace vyr::judge

namespace vyr::judge {

namespace {
template <class Param>
std::optional<std::string> value_payload(const std::optional<Json::Value>& _must,
                                         vyr::libs::core::component_logger& _logger) {
    if (!_must)
        return std::nullopt;
    return Param(*_must, _logger).to_hex();
}
}  // namespace

std::optional<std::string> judge::answer(const win_record& _win, std::uint32_t _number) {
    switch (_number) {
        case VEH_CERT:
            return value_payload<param_veh_cert>(must_json(VEH_CERT, _win), m_logger);
        case DRIVER_LIC:
            return value_payload<param_driver_lic>(must_json(DRIVER_LIC, _win), m_logger);
        case EM_ALM:
            return value_payload<param_em_alm>(must_json(EM_ALM, _win), m_logger);
        case SCR_NAME:
            return value_payload<param_scr_name>(must_json(SCR_NAME, _win), m_logger);
        case SCR_GNAME:
            return value_payload<param_scr_gname>(must_json(SCR_GNAME, _win), m_logger);
        case TDOA_SCHEDULE:
            return value_payload<param_tdoa_schedule>(must_json(TDOA_SCHEDULE, _win), m_logger);
        case TDOA_SCHD:
            return form_tdoa_schd(_win.mac_addr());
        case SF:
            return form_sf(_win.mac_addr());
        case SYNC_SLOT:
            return form_sync_slot(_win.mac_addr());
        case T2T_CFG:
        case T2T_NO_ALARM:
        case STATIONARY:
        case LOC:
        case CATEGORY:
            return payload_of(static_cast<parameter_t>(_number), _win);
        default:
            return std::nullopt;
    }
}

}  // namespace vyr::judge

namespace vyr::judge {

const std::vector<parameter_t>& judge::reads(const std::string& _mac) const {
    static const std::vector<parameter_t> s_anchor = {NWK_CFG, TDOA_SCHEDULE, SYNC_SLOT, SF};
    static const std::vector<parameter_t> s_tag = {VEH_CERT, DRIVER_LIC, EM_ALM, SCR_NAME, SCR_GNAME,
                                                   T2T_CFG,  T2T_NO_ALARM, STATIONARY, LOC, CATEGORY};
    static const std::vector<parameter_t> s_foreign = {STATIONARY, T2T_CFG, T2T_NO_ALARM, CATEGORY};
    if (m_snapshot->anchor_by_mac.count(_mac) != 0)
        return s_anchor;
    return m_snapshot->track_obj_by_mac.count(_mac) != 0 ? s_tag : s_foreign;
}

}  // namespace vyr::judge
