// Parameter reports of the devices ("#param_p"): every reported parameter is recorded in
// the device's WIN record, guarded by the per-parameter freshness gate, and the device's
// request list becomes command 7 for the parameter-request mechanism. Runs on the
// receiver thread with the receiver's own Redis connection. Reports that wait in a row
// are handled as one batch: one read of the report times, the decisions in memory, one
// transaction of writes, then the commands and the names of the devices written; a single
// report is a batch of one.
#include <sys/time.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "common/metrics.h"
#include "common/helpers.h"
#include "context/context.h"
#include "core/json.h"
#include "input/receiver.h"
#include "judge/descriptions.h"
#include "platform/updater.h"
#include "runtime/mailboxes.h"
#include "redis/transaction.h"

using vyr::context::alarm_states;
using namespace vyr::parameter;

namespace {

// The parameters a device may ask for, in the order their names are looked up.
constexpr parameter_t s_requestable[] = {
    TXP,          TDOA_SCHD, LOC,        ACC,     BT,     SF,       TDOA_SCHEDULE, SYNC_SLOT, T2T_CFG, T2T_NO_ALARM,
    VEH_CERT,     DRIVER_LIC, NWK_CFG,   EM_ALM,  SCR_NAME, SCR_GNAME, ANCHOR_LOC,  STATIONARY, CATEGORY,
};

const std::string& name_of(parameter_t _parameter) { return parameters.at(_parameter); }

// How far a report time may lie beyond the server's clock.
constexpr std::int64_t s_max_ahead_seconds = 24 * 3600;

}  // namespace

void c_receiver::process_param_p(const std::string& _body) const {
    process_param_p_batch({_body}, [](const std::function<void()>& _work) { _work(); });
}

void c_receiver::process_param_p_batch(const std::vector<std::string>& _bodies, const report_guard& _guard) const {
    std::vector<std::optional<param_report>> reports(_bodies.size());
    for (std::size_t i = 0; i < _bodies.size(); ++i)
        _guard([&] { reports[i] = decode_param_p(_bodies[i]); });
    handle_param_p_batch(reports, _guard);
}

void c_receiver::handle_param_p_batch(const std::vector<std::optional<param_report>>& _reports,
                                      const report_guard& _guard) const {
    m_writes = vyr::context::win_writes{};
    m_queued.clear();
    m_report_stamps.clear();
    m_buttons.clear();
    try {
        read_report_stamps(_reports);
        for (const auto& report : _reports)
            if (report)
                _guard([&] { decide_param_p(*report); });
    } catch (...) {
        // What the reports before the failure decided stays, as it would written at once.
        try {
            flush_param_p();
            send_marks();
        } catch (...) {  // the first failure is the one to report
        }
        throw;
    }
    flush_param_p();
    send_marks();
}

std::optional<c_receiver::param_report> c_receiver::decode_param_p(std::string_view _body) const {
    auto parsed = vyr::libs::core::json::try_parse(_body);
    if (!parsed.ok) {
        vyr::metrics::add(vyr::metrics::counter::reports_malformed);
        return std::nullopt;
    }
    param_report report;
    report.message = std::move(parsed.result);
    const Json::Value& message = report.message;

    // A body that is neither an object nor null raises the JSON library's type error
    // here, which the receiver's guard logs.
    const Json::Value& mac_value = message["mac"];
    const Json::Value& ts_value = message["ts"];
    const Json::Value& ms_value = message["ms"];
    if (!mac_value.isString() || !ts_value.isInt64() || !ms_value.isInt()) {
        vyr::metrics::add(vyr::metrics::counter::reports_malformed);
        return std::nullopt;
    }
    report.mac = mac_value.asString();
    if (!comb_mac(report.mac)) {
        m_logger.debug("report with a bad MAC dropped: %1%") % vyr::libs::core::json::to_string(mac_value);
        vyr::metrics::add(vyr::metrics::counter::reports_malformed);
        return std::nullopt;
    }
    timeval arrival{};
    ::gettimeofday(&arrival, nullptr);
    report.now = arrival.tv_sec;
    // A time past the server's clock by more than a day (a clock glitch, a forged frame)
    // would make every later report of these parameters look older and be dropped. Such a
    // report, and one with an impossible "ms", goes by the time it came in (in whole
    // milliseconds, as reports have it): taken without a time, an old or replayed one would
    // overwrite newer values.
    const std::int64_t seconds = ts_value.asInt64();
    const int milliseconds = ms_value.asInt();
    if (milliseconds < 0 || milliseconds > 999 || seconds > report.now + s_max_ahead_seconds) {
        m_logger.warning("report of %1% with a bad time (ts %2%, ms %3%): stamped with its time of arrival") %
            vyr::libs::core::device_mac{report.mac} % seconds % milliseconds;
        report.ts = timeval{arrival.tv_sec, arrival.tv_usec / 1000 * 1000};
    } else {
        report.ts = timeval{static_cast<time_t>(seconds), static_cast<suseconds_t>(milliseconds * 1000)};
    }
    try {
        report.request = request_of(report);
    } catch (...) {
        report.request_error = std::current_exception();
    }
    return report;
}

c_receiver::param_report c_receiver::held_report(const vyr::input::frame_queue::frame& _frame) {
    param_report report;
    report.mac = std::string(_frame.device);
    // A report without values is read again only for the error of its request.
    if (_frame.writes || _frame.request_failed)
        report.message = vyr::libs::core::json::try_parse(_frame.text).result;
    report.ts = _frame.stamp;
    report.now = _frame.arrival;
    if (!_frame.held.empty())
        report.request = vyr::mail::param_request{report.mac, _frame.held};
    if (_frame.request_failed) {
        // The same text fails the same way: its error is raised after the report's writes.
        try {
            (void)request_of(report);
        } catch (...) {
            report.request_error = std::current_exception();
        }
    }
    return report;
}

void c_receiver::read_report_stamps(const std::vector<std::optional<param_report>>& _reports) const {
    std::vector<std::pair<std::string, parameter_t>> wanted;
    for (const auto& report : _reports) {
        if (!report || !report->message["plist"].isObject())
            continue;
        for (const auto& entry : reported_parameters(report->message["plist"])) {
            std::pair<std::string, parameter_t> key{report->mac, entry->number};
            if (m_report_stamps.emplace(key, timeval{0, 0}).second)
                wanted.push_back(std::move(key));
        }
    }
    const auto stamps = vyr::context::parameter_timestamps(m_context->redis_context(), wanted);
    std::vector<std::string> buttons;
    for (std::size_t i = 0; i < wanted.size() && i < stamps.size(); ++i) {
        m_report_stamps[wanted[i]] = stamps[i];
        if (wanted[i].second == EM_ALM)
            buttons.push_back(wanted[i].first);
    }
    const auto views = m_context->button_views(buttons);
    for (std::size_t i = 0; i < buttons.size(); ++i)
        m_buttons[buttons[i]] = views[i];
}

void c_receiver::decide_param_p(const param_report& _report) const {
    m_answered = false;
    process_param_p_values(_report.mac, _report.message, _report.ts, _report.now);
    if (_report.request_error)
        std::rethrow_exception(_report.request_error);
    if (_report.request)
        queue_command(*_report.request);
}

void c_receiver::send_request_ahead(param_report& _report, bool _writes) const {
    if (!_report.request)
        return;
    const auto pending = m_pending_writes.find(_report.mac);
    const bool behind_writes = _writes || (pending != m_pending_writes.end() && pending->second != 0);
    vyr::mail::param_request now{_report.mac, {}}, later{_report.mac, {}};
    for (const auto number : _report.request->numbers) {
        const auto* entry = vyr::judge::description_of(static_cast<parameter_t>(number));
        (behind_writes && entry && entry->answer_reads_reports ? later : now).numbers.push_back(number);
    }
    // A request that names nothing still goes: the device is heard asking.
    if (!now.numbers.empty() || later.numbers.empty())
        (void)vyr::mail::mech_param_req::send(*m_mech_param_req_socket, now, m_logger);
    _report.request.reset();
    if (!later.numbers.empty())
        _report.request = std::move(later);
}

std::optional<vyr::mail::param_request> c_receiver::request_of(const param_report& _report) {
    if (!_report.message.isMember("req_plist"))
        return std::nullopt;
    const Json::Value& requested = _report.message["req_plist"];
    vyr::mail::param_request request{_report.mac, {}};
    // Indexed access: null, texts and numbers hold no elements, an object with members
    // raises the type error. Each parameter is asked for once, in the order of its first
    // mention; the look-up ends when every parameter is in.
    constexpr std::size_t requestable_count = std::size(s_requestable);
    bool asked[requestable_count] = {};
    std::size_t asked_count = 0;
    for (Json::ArrayIndex i = 0; i < requested.size() && asked_count < requestable_count; ++i) {
        // Only a text can name a parameter.
        if (!requested[i].isString())
            continue;
        const std::string name = requested[i].asString();
        for (std::size_t k = 0; k < requestable_count; ++k) {
            if (name_of(s_requestable[k]) != name)
                continue;
            if (!asked[k]) {
                asked[k] = true;
                ++asked_count;
                request.numbers.push_back(s_requestable[k]);
            }
            break;
        }
    }
    return request;
}

std::vector<const vyr::judge::description*> c_receiver::reported_parameters(const Json::Value& _plist) {
    // A "plist" that is not an object raises the type error in isMember.
    std::vector<const vyr::judge::description*> present;
    for (const auto& entry : vyr::judge::descriptions())
        if (entry.store && _plist.isMember(name_of(entry.number)))
            present.push_back(&entry);
    return present;
}

void c_receiver::process_param_p_values(const std::string& _mac, const Json::Value& _message, const timeval& _ts,
                                        std::int64_t _now) const {
    if (!_message.isMember("plist") || _message["plist"].isNull())
        return;
    const Json::Value& plist = _message["plist"];
    mark(_mac);
    for (const auto* entry : reported_parameters(plist)) {
        const Json::Value& value = plist[name_of(entry->number)];
        if (!check_and_update_timestamp(_mac, entry->number, _ts))
            continue;
        auto device = report_writes(_mac);
        answered(device);
        const vyr::judge::report_target target{device, m_logger, _mac, now_ms()};
        const bool whole = entry->store(target, value);
        if (entry->follow_up == vyr::judge::report_follow_up::button)
            button_reported(_mac, value, target.heard_ms);
        else if (entry->follow_up == vyr::judge::report_follow_up::zone_alarm && whole)
            zone_alarm_reported(_mac, value);
    }
    // A device that reported values was heard: its record is not silent. (A report that
    // failed above leaves a record without this time; the sweep starts its silence then.)
    report_writes(_mac).heard(_now);
}

void c_receiver::queue_command(vyr::mail::param_request _message) const {
    m_queued.push_back(std::move(_message));
}

void c_receiver::flush_param_p() const {
    auto writes = m_writes.take();
    const auto commands = std::exchange(m_queued, {});
    if (!writes.empty())
        vyr::redis::transaction(m_context->redis_context(), std::move(writes)).exec();
    for (const auto& message : commands)
        (void)vyr::mail::mech_param_req::send(*m_mech_param_req_socket, message, m_logger);
}

void c_receiver::mark(const std::string& _mac, bool _alive_only) const {
    // A batch names some hundreds of devices at most: a look along the list will do.
    auto& marks = _alive_only ? m_alive_marks : m_marks;
    if (std::find(marks.begin(), marks.end(), _mac) == marks.end())
        marks.push_back(_mac);
}

void c_receiver::send_marks() const {
    auto macs = std::exchange(m_marks, {});
    auto alive = std::exchange(m_alive_marks, {});
    // A device marked for what it said needs no mark for being alive.
    alive.erase(std::remove_if(alive.begin(), alive.end(),
                               [&](const std::string& _mac) {
                                   return std::find(macs.begin(), macs.end(), _mac) != macs.end();
                               }),
                alive.end());
    // A frame dropped on a full pipe is caught up by the mechanism's own slow pass.
    for (const auto* list : {&macs, &alive})
        for (std::size_t first = 0; first < list->size(); first += vyr::mail::devices_changed::max_macs) {
            const auto last = std::min(list->size(), first + vyr::mail::devices_changed::max_macs);
            const vyr::mail::devices_changed changed{{list->begin() + static_cast<std::ptrdiff_t>(first),
                                                      list->begin() + static_cast<std::ptrdiff_t>(last)},
                                                     list == &alive};
            (void)vyr::mail::mech_param_req::send(*m_mech_param_req_socket, changed, m_logger);
        }
}

void c_receiver::answered(vyr::context::win_report& _device) const {
    // Once per report: every later reset would leave the same state.
    if (m_answered)
        return;
    m_answered = true;
    _device.answered();
}

bool c_receiver::check_and_update_timestamp(const std::string& _mac_address, parameter_t _parameter,
                                            const timeval& _timestamp) const {
    const auto known = m_report_stamps.find({_mac_address, _parameter});
    // Read ahead for every report of the batch; a report that got here otherwise reads it now.
    const timeval stored = known != m_report_stamps.end() ? known->second
                                                          : m_context->get_win(_mac_address).parameter_timestamp(_parameter);
    if (_timestamp.tv_sec < stored.tv_sec ||
        (_timestamp.tv_sec == stored.tv_sec && _timestamp.tv_usec < stored.tv_usec)) {
        m_logger.debug("The input timestamp (%d:%d) is older than the stored one (%d:%d). MAC:%s, parameter:%s") %
            _timestamp.tv_sec % (_timestamp.tv_usec / 1000) % stored.tv_sec % (stored.tv_usec / 1000) %
            vyr::libs::core::device_mac{_mac_address} % name_of(_parameter);
        vyr::metrics::add(vyr::metrics::counter::reports_stale);
        return false;
    }
    // Written with the report's other writes.
    report_writes(_mac_address).parameter_timestamp(_parameter, _timestamp);
    m_report_stamps[{_mac_address, _parameter}] = _timestamp;
    return true;
}

void c_receiver::button_reported(const std::string& _mac_address, const Json::Value& _value,
                                 std::int64_t _heard) const {
    if (!m_updater)
        return;
    auto known = m_buttons.find(_mac_address);
    if (known == m_buttons.end())
        known = m_buttons.emplace(_mac_address, m_context->button_views({_mac_address}).front()).first;
    const auto& view = known->second;
    // A tag of no trackable object has no alarm on the list to be compared with.
    const bool pressed = param_em_alm(_value, m_logger).deliverable().value() == "SET";
    const bool agrees = !view || view->set == pressed;
    if (!agrees || m_updater->alarm_list_older_than(s_alarm_list_age)) {
        // What the device shows may be out of date: have the whole alarm list read again.
        m_updater->update_all_alarms_req();
    } else if (pressed) {
        // The mirror holds the button alarm set as the report comes, as a list read now would.
        m_writes.command(vyr::context::note_button_seen_command(view->obj_uid, _heard),
                         {vyr::context::alarm::keys::button_seen(view->obj_uid),
                          std::string(vyr::context::common::s_mirror_version)});
    }
}

void c_receiver::zone_alarm_reported(const std::string& _mac_address, const Json::Value& _value) const {
    // Read whole by the store already.
    const auto reported = vyr::judge::reported_zone_alarm(_value, m_logger, _mac_address);
    if (!reported)
        return;
    // Delivery check: the device confirms the zone alarm it was sent. Only an answer that
    // matches what was sent last settles it (level 0: the clearing form); another one
    // answers an older push, and the alarm is sent again. Settled with the batch's writes,
    // in the state the reports before this one left; a new alarm set since the sending
    // keeps its state, to be shown next when the mechanism judges the device again (the
    // report marked it).
    report_writes(_mac_address).zone_alarm_confirmed(reported->level, reported->zone_id);
}
