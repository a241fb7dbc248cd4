#include "judge/descriptions.h"

#include <algorithm>
#include <map>

#include "common/helpers.h"
#include "core/json.h"
#include "judge/held_values.h"
#include "judge/report_stores.h"

namespace vyr::judge {

using vyr::context::track_obj_data;
using vyr::context::win;
using vyr::context::win_record;
using namespace vyr::parameter;

// ---- the judge's side ------------------------------------------------------------------------

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

template <class Param>
std::optional<std::string> value_payload(const std::optional<Json::Value>& _must,
                                         vyr::libs::core::component_logger& _logger) {
    if (!_must)
        return std::nullopt;
    return Param(*_must, _logger).to_hex();
}

// What a foreign device is told: the clearing value of a parameter it holds something
// of, in one joint command with the others.
template <class Reported>
void clearing(const win_record& _win, parameter_t _p, bool _holds_something, bool _describe, const Reported& _reported,
              std::vector<param_check>& _checks) {
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
    _checks.push_back(std::move(check));
}

}  // namespace

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

struct judge::described {
    using checks_t = std::vector<param_check>;

    // ---- must values from the snapshot
    static const track_obj_data* object(judge& _judge, const win_record& _win) {
        return _judge.object_of(_win.mac_addr());
    }
    static std::optional<Json::Value> must_em_alm(judge& _judge, const win_record& _win) {
        if (!object(_judge, _win))
            return std::nullopt;
        Json::Value value(Json::objectValue);
        const auto& uid = _judge.m_snapshot->track_obj_by_mac.at(_win.mac_addr());
        value["state"] = _judge.button_pressed(uid, _win) ? "SET" : "CLEAR";
        return value;
    }
    static std::optional<Json::Value> must_scr_name(judge& _judge, const win_record& _win) {
        const auto* found = object(_judge, _win);
        if (!found)
            return std::nullopt;
        return found->name.empty() ? Json::Value() : Json::Value(found->name);
    }
    static std::optional<Json::Value> must_scr_gname(judge& _judge, const win_record& _win) {
        const auto* found = object(_judge, _win);
        if (!found)
            return std::nullopt;
        if (found->groups.empty())
            return Json::Value();
        const auto* group = vyr::context::project_snapshot::find(_judge.m_snapshot->groups, found->groups.front());
        return !group || group->name.empty() ? Json::Value() : Json::Value(group->name);
    }
    static std::optional<Json::Value> must_veh_cert(judge& _judge, const win_record& _win) {
        const auto* found = object(_judge, _win);
        if (!found)
            return std::nullopt;
        if (!found->vehicle_model)
            return Json::Value();
        Json::Value value(Json::objectValue);
        value["id"] = Json::UInt(*found->vehicle_model);
        // An id beyond its byte has no payload: nothing goes (warned once), neither another
        // id nor "no certification".
        const auto misfit = param_veh_cert(value, _judge.m_logger).fits()
                                ? std::string()
                                : "certification id " + std::to_string(*found->vehicle_model) +
                                      " beyond one byte, not sent";
        _judge.note_undeliverable(_win.mac_addr(), VEH_CERT, misfit, misfit);
        if (!misfit.empty())
            return std::nullopt;
        return value;
    }
    static std::optional<Json::Value> must_driver_lic(judge& _judge, const win_record& _win) {
        const auto* found = object(_judge, _win);
        if (!found)
            return std::nullopt;
        Json::Value value(Json::arrayValue);
        for (const auto id : found->driver_licenses) {
            Json::Value entry(Json::objectValue);
            entry["id"] = Json::UInt(id);
            value.append(entry);
        }
        return value;
    }
    static std::optional<Json::Value> must_tdoa_schedule(judge& _judge, const win_record& _win) {
        return _judge.tdoa_schedule_json(_win.mac_addr());
    }

    // ---- checks
    // A value-class parameter, as the device will hold it. With `Kept` a device reporting
    // null keeps it (does not support it).
    template <class Param, parameter_t P, bool Kept>
    static void check_held(judge& _judge, const win_record& _win, const track_obj_data*, bool, checks_t& _checks) {
        _checks.push_back(_judge.check_value<Param>(_win, P, _judge.must_json(P, _win), Kept));
    }
    // The vehicle certification and driver licences, where the project keeps them.
    template <class Param, parameter_t P, bool Kept>
    static void check_certified(judge& _judge, const win_record& _win, const track_obj_data* _object, bool _describe,
                                checks_t& _checks) {
        if (_judge.m_snapshot->vehicle_certification)
            check_held<Param, P, Kept>(_judge, _win, _object, _describe, _checks);
    }
    // Without a reported network configuration the anchor is asked for it; any report
    // will do.
    static void check_nwk_cfg(judge&, const win_record& _win, const track_obj_data*, bool, checks_t& _checks) {
        param_check nwk_cfg;
        nwk_cfg.parameter = NWK_CFG;
        nwk_cfg.actual = _win.parameter_as_json(NWK_CFG, win::actual);
        if (nwk_cfg.actual.empty()) {
            nwk_cfg.standing = param_standing::differs;
            nwk_cfg.payload = param_nwk_cfg::request_formation();
        }
        _checks.push_back(std::move(nwk_cfg));
    }
    // The tag-to-tag configuration and the no-alarm entry are compared as the device holds
    // them after their payloads.
    static void check_t2t_cfg(judge& _judge, const win_record& _win, const track_obj_data* _object, bool _describe,
                              checks_t& _checks) {
        std::string loss;
        const auto t2t = held_t2t(_object->t2t_cfg.get(), loss);
        _judge.note_undeliverable(_win.mac_addr(), T2T_CFG, loss, loss);
        if (t2t.unsendable)
            return _checks.push_back(failed(T2T_CFG));
        const auto state = _win.parameter_state(T2T_CFG);
        _checks.push_back(judged(
            T2T_CFG, state, t2t_differs(state, _win.parameter_t2t_cfg_role(), reported_t2t(_win), t2t), _describe,
            [&] { return t2t_to_json(t2t.exists ? t2t.role : "disabled", t2t.fields); },
            [&] { return reported_t2t_cfg_to_json(_win); }));
    }
    static void check_t2t_no_alarm(judge& _judge, const win_record& _win, const track_obj_data* _object,
                                   bool _describe, checks_t& _checks) {
        std::string loss;
        const auto must_list = one_or_none(held_no_alarm(_object->t2t_no_alarm, loss));
        _judge.note_undeliverable(_win.mac_addr(), T2T_NO_ALARM, loss, loss);
        const auto state = _win.parameter_state(T2T_NO_ALARM);
        const auto& reported_list = _win.parameter_t2t_no_alarm();
        const bool differs = state == UNKNOWN || reported_list.size() != must_list.size() ||
                             (!must_list.empty() && to_upper(reported_list.front()) != must_list.front());
        _checks.push_back(judged(
            T2T_NO_ALARM, state, differs, _describe, [&] { return json_list(must_list); },
            [&] { return json_list(reported_list); }));
    }
    // Stationary and location travel together in one command.
    static void check_stationary(judge&, const win_record& _win, const track_obj_data* _object, bool _describe,
                                 checks_t& _checks) {
        const auto state = _win.parameter_state(STATIONARY);
        const bool stationary = _object->stationary;
        const auto reported_flag = _win.parameter_stationary();
        _checks.push_back(judged(
            STATIONARY, state,
            state == UNKNOWN || (state == SUPPORTED && reported_flag != std::optional<bool>(stationary)), _describe,
            [&] { return Json::Value(stationary); }, [&] { return optional_json(reported_flag); }));
        _checks.back().joint = true;
    }
    // Checked only for a stationary object on a device that supports stationary.
    static void check_loc(judge& _judge, const win_record& _win, const track_obj_data* _object, bool _describe,
                          checks_t& _checks) {
        if (!_object->stationary || _win.parameter_state(STATIONARY) != SUPPORTED)
            return;
        const auto state = _win.parameter_state(LOC);
        // Compared only where the object's sublocation is known.
        std::optional<loc> must;
        std::string loss;
        if (state != NOT_SUPPORTED || _describe)
            must = _judge.must_loc(*_object, loss);
        if (!loss.empty())
            _judge.note_undeliverable(_win.mac_addr(), LOC, loss, loss);
        const auto reported = _win.parameter_loc();
        bool differs = state == UNKNOWN;
        if (state == SUPPORTED && must)
            differs = !(reported && reported->x == must->x && reported->y == must->y && reported->z == must->z &&
                        reported->sublocation_z == must->sublocation_z &&
                        reported->sublocation_id == must->sublocation_id);
        // A place its payload cannot carry is not sent, whatever the device reports.
        if (!loss.empty() && state != NOT_SUPPORTED)
            _checks.push_back(failed(LOC));
        else
            _checks.push_back(judged(
                LOC, state, differs, _describe, [&] { return must ? loc_to_json(*must) : Json::Value(); },
                [&] { return reported ? loc_to_json(*reported) : Json::Value(); }));
        _checks.back().joint = true;
    }
    // A category without a code reaches the device as "unspecified", which is then what it
    // reports; compared with the object's own text it would be pushed for ever.
    static void check_category(judge&, const win_record& _win, const track_obj_data* _object, bool _describe,
                               checks_t& _checks) {
        const auto state = _win.parameter_state(CATEGORY);
        const auto category = category_code(_object->category) ? _object->category : std::string("unspecified");
        const auto reported = _win.parameter_category();
        _checks.push_back(judged(
            CATEGORY, state,
            state == UNKNOWN || (state == SUPPORTED && reported != std::optional<std::string>(category)), _describe,
            [&] { return Json::Value(category); }, [&] { return optional_json(reported); }));
    }

    // ---- what a foreign device is cleared of
    static void clear_t2t_cfg(const win_record& _win, bool _describe, checks_t& _checks) {
        clearing(_win, T2T_CFG, to_lower(_win.parameter_t2t_cfg_role().value_or("")) != "disabled", _describe,
                 [&] { return reported_t2t_cfg_to_json(_win); }, _checks);
    }
    static void clear_t2t_no_alarm(const win_record& _win, bool _describe, checks_t& _checks) {
        clearing(_win, T2T_NO_ALARM, !_win.parameter_t2t_no_alarm().empty(), _describe,
                 [&] { return json_list(_win.parameter_t2t_no_alarm()); }, _checks);
    }
    static void clear_stationary(const win_record& _win, bool _describe, checks_t& _checks) {
        clearing(_win, STATIONARY, _win.parameter_stationary().value_or(false), _describe,
                 [&] { return optional_json(_win.parameter_stationary()); }, _checks);
    }
    static void clear_category(const win_record& _win, bool _describe, checks_t& _checks) {
        clearing(_win, CATEGORY, _win.parameter_category() != std::optional<std::string>("unspecified"), _describe,
                 [&] { return optional_json(_win.parameter_category()); }, _checks);
    }

    // ---- payloads of the parameters checked without a value class
    static std::optional<std::string> payload_t2t_cfg(judge& _judge, const win_record& _win,
                                                      const track_obj_data& _object) {
        std::string loss;
        const auto held = held_t2t(_object.t2t_cfg.get(), loss);
        _judge.note_undeliverable(_win.mac_addr(), T2T_CFG, loss, loss);
        if (held.unsendable)
            return std::nullopt;
        return t2t_payload(held);
    }
    static std::optional<std::string> payload_t2t_no_alarm(judge&, const win_record&, const track_obj_data& _object) {
        std::string loss;
        return payload_frame(T2T_NO_ALARM, held_no_alarm(_object.t2t_no_alarm, loss).value_or("00"));
    }
    static std::optional<std::string> payload_stationary(judge&, const win_record&, const track_obj_data& _object) {
        return payload_frame(STATIONARY, _object.stationary ? "01" : "00");
    }
    static std::optional<std::string> payload_loc(judge& _judge, const win_record& _win, const track_obj_data&) {
        return _judge.form_loc(_win);
    }
    static std::optional<std::string> payload_category(judge&, const win_record&, const track_obj_data& _object) {
        return payload_frame(CATEGORY, category_code(_object.category).value_or(""));
    }

    // ---- answers to requests
    template <class Param, parameter_t P>
    static std::optional<std::string> answer_value(judge& _judge, const win_record& _win) {
        return value_payload<Param>(_judge.must_json(P, _win), _judge.m_logger);
    }
    template <parameter_t P>
    static std::optional<std::string> answer_payload(judge& _judge, const win_record& _win) {
        return _judge.payload_of(P, _win);
    }
    static std::optional<std::string> answer_tdoa_schd(judge& _judge, const win_record& _win) {
        return _judge.form_tdoa_schd(_win.mac_addr());
    }
    static std::optional<std::string> answer_sf(judge& _judge, const win_record& _win) {
        return _judge.form_sf(_win.mac_addr());
    }
    static std::optional<std::string> answer_sync_slot(judge& _judge, const win_record& _win) {
        return _judge.form_sync_slot(_win.mac_addr());
    }
};

namespace {

// One entry, filled in by what the parameter has.
struct entry {
    description d;
    entry(parameter_t _number, std::string_view _name) : d{_number, _name} {}
    entry& stores(decltype(description::store) _store, report_follow_up _follow_up = report_follow_up::none) {
        d.store = _store;
        d.follow_up = _follow_up;
        return *this;
    }
    entry& read_for(unsigned _kinds) {
        d.read_for = _kinds;
        return *this;
    }
    entry& checks(int _order, decltype(description::check) _check) {
        d.check_order = _order;
        d.check = _check;
        return *this;
    }
    entry& clears(decltype(description::clear) _clear) {
        d.clear = _clear;
        return *this;
    }
    entry& must(decltype(description::must) _must) {
        d.must = _must;
        return *this;
    }
    entry& payload(decltype(description::payload) _payload) {
        d.payload = _payload;
        return *this;
    }
    entry& answers(decltype(description::answer) _answer, bool _reads_reports = false) {
        d.answer = _answer;
        d.answer_reads_reports = _reads_reports;
        return *this;
    }
};

}  // namespace

// In the order the values of a report are taken; the check orders are by device kind (an
// anchor's and a tag's parameters apart).
const std::vector<description>& descriptions() {
    using j = judge::described;
    using follow = report_follow_up;
    static const std::vector<description> s_table = {
        entry(SF, "sf").stores(&store_sf).read_for(anchor).answers(&j::answer_sf).d,
        entry(TDOA_SCHEDULE, "tdoa_schedule").stores(&store_value<param_tdoa_schedule, TDOA_SCHEDULE>).read_for(anchor)
            .checks(1, &j::check_held<param_tdoa_schedule, TDOA_SCHEDULE, false>).must(&j::must_tdoa_schedule)
            .answers(&j::answer_value<param_tdoa_schedule, TDOA_SCHEDULE>).d,
        entry(NWK_CFG, "nwk_cfg").stores(&store_value<param_nwk_cfg, NWK_CFG>).read_for(anchor)
            .checks(2, &j::check_nwk_cfg).d,
        entry(EM_ALM, "em_alm").stores(&store_em_alm, follow::button).read_for(tag)
            .checks(3, &j::check_held<param_em_alm, EM_ALM, true>).must(&j::must_em_alm)
            .answers(&j::answer_value<param_em_alm, EM_ALM>, true).d,  // a button reported held
        entry(SCR_NAME, "scr_name").stores(&store_value<param_scr_name, SCR_NAME>).read_for(tag)
            .checks(4, &j::check_held<param_scr_name, SCR_NAME, false>).must(&j::must_scr_name)
            .answers(&j::answer_value<param_scr_name, SCR_NAME>).d,
        entry(SCR_GNAME, "scr_gname").stores(&store_value<param_scr_gname, SCR_GNAME>).read_for(tag)
            .checks(5, &j::check_held<param_scr_gname, SCR_GNAME, false>).must(&j::must_scr_gname)
            .answers(&j::answer_value<param_scr_gname, SCR_GNAME>).d,
        entry(SYNC_SLOT, "sync_slot").stores(&store_sync_slot).read_for(anchor).answers(&j::answer_sync_slot).d,
        entry(T2T_CFG, "t2t_cfg").stores(&store_t2t_cfg).read_for(tag | foreign).checks(6, &j::check_t2t_cfg)
            .clears(&j::clear_t2t_cfg).payload(&j::payload_t2t_cfg).answers(&j::answer_payload<T2T_CFG>).d,
        entry(T2T_NO_ALARM, "t2t_no_alarm").stores(&store_t2t_no_alarm).read_for(tag | foreign)
            .checks(7, &j::check_t2t_no_alarm).clears(&j::clear_t2t_no_alarm).payload(&j::payload_t2t_no_alarm)
            .answers(&j::answer_payload<T2T_NO_ALARM>).d,
        entry(VEH_CERT, "veh_cert").stores(&store_value<param_veh_cert, VEH_CERT>).read_for(tag)
            .checks(1, &j::check_certified<param_veh_cert, VEH_CERT, true>).must(&j::must_veh_cert)
            .answers(&j::answer_value<param_veh_cert, VEH_CERT>).d,
        entry(DRIVER_LIC, "driver_lic").stores(&store_value<param_driver_lic, DRIVER_LIC>).read_for(tag)
            .checks(2, &j::check_certified<param_driver_lic, DRIVER_LIC, false>).must(&j::must_driver_lic)
            .answers(&j::answer_value<param_driver_lic, DRIVER_LIC>).d,
        entry(STATIONARY, "stationary").stores(&store_stationary).read_for(tag | foreign)
            .checks(8, &j::check_stationary).clears(&j::clear_stationary).payload(&j::payload_stationary)
            .answers(&j::answer_payload<STATIONARY>).d,
        entry(CATEGORY, "category").stores(&store_category).read_for(tag | foreign).checks(10, &j::check_category)
            .clears(&j::clear_category).payload(&j::payload_category).answers(&j::answer_payload<CATEGORY>).d,
        entry(LOC, "loc").stores(&store_loc).read_for(tag).checks(9, &j::check_loc).payload(&j::payload_loc)
            .answers(&j::answer_payload<LOC>).d,
        entry(AL_ZV, "al_zv").stores(&store_al_zv, follow::zone_alarm).d,
        entry(SCR_MESSAGE, "scr_message").stores(&store_scr_message).d,
        // Never reported: asked for by anchors, answered from the schedule.
        entry(TDOA_SCHD, "tdoa_schd").answers(&j::answer_tdoa_schd).d,
    };
    return s_table;
}

const description* description_of(parameter_t _p) {
    const auto& table = descriptions();
    const auto found = std::find_if(table.begin(), table.end(), [_p](const description& _d) { return _d.number == _p; });
    return found == table.end() ? nullptr : &*found;
}

const std::vector<parameter_t>& read_by_answers() {
    static const auto s_read = [] {
        std::vector<parameter_t> read;
        for (const auto& entry : descriptions())
            if (entry.answer_reads_reports)
                read.push_back(entry.number);
        return read;
    }();
    return s_read;
}

const std::vector<const description*>& checked_for(device_kind _kind) {
    static const auto s_checked = [] {
        std::map<device_kind, std::vector<const description*>> checked;
        for (const device_kind kind : {anchor, tag, foreign}) {
            auto& list = checked[kind];
            for (const auto& entry : descriptions())
                if ((entry.read_for & kind) != 0 && (kind == foreign ? entry.clear != nullptr : entry.check != nullptr))
                    list.push_back(&entry);
            std::stable_sort(list.begin(), list.end(), [](const description* _a, const description* _b) {
                return _a->check_order < _b->check_order;
            });
        }
        return checked;
    }();
    return s_checked.at(_kind);
}

}  // namespace vyr::judge
