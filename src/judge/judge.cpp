#include "judge/judge.h"

#include <algorithm>
#include <map>

#include "common/helpers.h"
#include "core/json.h"
#include "judge/descriptions.h"
#include "judge/held_values.h"

namespace vyr::judge {

using vyr::context::track_obj_data;
using vyr::context::win;
using vyr::context::win_record;
using namespace vyr::parameter;

namespace {

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
             const timeval& _now, vyr::libs::core::component_logger& _logger, std::shared_ptr<plans> _plans)
    : m_snapshot(std::move(_snapshot)),
      m_push_schedule_to_destination(_push_schedule_to_destination),
      m_now(_now),
      m_logger(_logger),
      m_plans(_plans && _plans->made_for(m_snapshot, _push_schedule_to_destination)
                  ? std::move(_plans)
                  : std::make_shared<plans>(m_snapshot, _push_schedule_to_destination)) {}

void judge::keep_plans(std::shared_ptr<plans>& _kept,
                       const std::shared_ptr<const vyr::context::project_snapshot>& _snapshot,
                       bool _push_schedule_to_destination) {
    if (!_kept || !_kept->made_for(_snapshot, _push_schedule_to_destination))
        _kept = std::make_shared<plans>(_snapshot, _push_schedule_to_destination);
}

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
    device_kind kind = foreign;
    const auto* object = object_of(mac);
    if (m_snapshot->anchor_by_mac.count(mac) != 0) {
        kind = anchor;
        object = nullptr;
    } else if (object) {
        // Asset tags are configured elsewhere. The platform's type is exactly "ASSET".
        if (object->type == "ASSET")
            return {};
        kind = tag;
    } else if (m_snapshot->track_obj_by_mac.count(mac) != 0) {
        // Listed, but its record cannot be read: not judged in this pass.
        return {};
    }
    std::vector<param_check> checks;
    for (const auto* entry : checked_for(kind)) {
        if (kind == foreign)
            entry->clear(_win, _describe, checks);
        else
            entry->check(*this, _win, object, _describe, checks);
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
    const auto* entry = description_of(_p);
    if (!object || !entry || !entry->payload)
        return std::nullopt;
    return entry->payload(*this, _win, *object);
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
    const auto* entry = description_of(_p);
    if (!entry || !entry->must)
        return std::nullopt;
    return entry->must(*this, _win);
}

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

std::optional<std::string> judge::answer(const win_record& _win, std::uint32_t _number) {
    const auto* entry = description_of(static_cast<parameter_t>(_number));
    if (!entry || !entry->answer)
        return std::nullopt;
    return entry->answer(*this, _win);
}

const std::vector<parameter_t>& judge::reads(const std::string& _mac) const {
    static const auto s_reads = [] {
        std::map<unsigned, std::vector<parameter_t>> reads;
        for (const auto& entry : descriptions())
            for (const unsigned kind : {anchor, tag, foreign})
                if ((entry.read_for & kind) != 0)
                    reads[kind].push_back(entry.number);
        return reads;
    }();
    if (m_snapshot->anchor_by_mac.count(_mac) != 0)
        return s_reads.at(anchor);
    return s_reads.at(m_snapshot->track_obj_by_mac.count(_mac) != 0 ? tag : foreign);
}

}  // namespace vyr::judge
