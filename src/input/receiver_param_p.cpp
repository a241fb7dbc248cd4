// Parameter reports of the devices ("#param_p"): every reported parameter is recorded in
// the device's WIN record, guarded by the per-parameter freshness gate, and the device's
// request list becomes command 7 for the parameter-request mechanism. Runs on the
// receiver thread with the receiver's own Redis connection. Reports that wait in a row
// are handled as one batch: one read of the report times, the decisions in memory, one
// transaction of writes, then the commands; a single report is a batch of one.
#include <sys/time.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/field_reader.h"
#include "common/metrics.h"
#include "common/helpers.h"
#include "context/context.h"
#include "core/json.h"
#include "input/receiver.h"
#include "platform/updater.h"
#include "runtime/mailboxes.h"
#include "redis/transaction.h"

using vyr::context::alarm_states;
using vyr::context::win;
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

// A hexadecimal text as an unsigned 32-bit number; nothing when the text does not start
// with a hexadecimal number or the number does not fit (a "-" sign included).
std::optional<std::uint32_t> hex_unsigned(const std::string& _text) {
    try {
        const unsigned long value = std::stoul(_text, nullptr, 16);
        if (value > std::numeric_limits<std::uint32_t>::max())
            return std::nullopt;
        return static_cast<std::uint32_t>(value);
    } catch (const std::logic_error&) {  // invalid_argument, out_of_range
        return std::nullopt;
    }
}

}  // namespace

void c_receiver::process_param_p(const std::string& _body) const {
    process_param_p_batch({_body}, [](const std::function<void()>& _work) { _work(); });
}

void c_receiver::process_param_p_batch(const std::vector<std::string>& _bodies, const report_guard& _guard) const {
    m_writes = vyr::context::win_writes{};
    m_queued.clear();
    m_report_stamps.clear();
    m_buttons.clear();
    std::vector<std::optional<param_report>> reports(_bodies.size());
    try {
        for (std::size_t i = 0; i < _bodies.size(); ++i)
            _guard([&] { reports[i] = decode_param_p(_bodies[i]); });
        read_report_stamps(reports);
        for (const auto& report : reports)
            if (report)
                _guard([&] { decide_param_p(*report); });
    } catch (...) {
        // What the reports before the failure decided stays, as it would written at once.
        try {
            flush_param_p();
        } catch (...) {  // the first failure is the one to report
        }
        throw;
    }
    flush_param_p();
}

std::optional<c_receiver::param_report> c_receiver::decode_param_p(const std::string& _body) const {
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
            report.mac % seconds % milliseconds;
        report.ts = timeval{arrival.tv_sec, arrival.tv_usec / 1000 * 1000};
    } else {
        report.ts = timeval{static_cast<time_t>(seconds), static_cast<suseconds_t>(milliseconds * 1000)};
    }
    return report;
}

void c_receiver::read_report_stamps(const std::vector<std::optional<param_report>>& _reports) const {
    std::vector<std::pair<std::string, parameter_t>> wanted;
    for (const auto& report : _reports) {
        if (!report || !report->message["plist"].isObject())
            continue;
        for (const auto& entry : reported_parameters(report->message["plist"])) {
            std::pair<std::string, parameter_t> key{report->mac, entry.first};
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
    const Json::Value& message = _report.message;
    m_answered = false;
    process_param_p_values(_report.mac, message, _report.ts, _report.now);

    if (message.isMember("req_plist")) {
        const Json::Value& requested = message["req_plist"];
        vyr::mail::param_request request{_report.mac, {}};
        // Indexed access: null, texts and numbers hold no elements, an object with
        // members raises the type error. Each parameter is asked for once, in the order of
        // its first mention; the look-up ends when every parameter is in.
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
        queue_command(std::move(request));
    }
}

std::vector<std::pair<parameter_t, c_receiver::param_handler>> c_receiver::reported_parameters(
    const Json::Value& _plist) {
    static const std::pair<parameter_t, param_handler> handlers[] = {
        {SF, &c_receiver::process_param_p_sf},
        {TDOA_SCHEDULE, &c_receiver::process_param_p_tdoa_schedule},
        {NWK_CFG, &c_receiver::process_param_p_nwk_cfg},
        {EM_ALM, &c_receiver::process_param_p_em_alm},
        {SCR_NAME, &c_receiver::process_param_p_scr_name},
        {SCR_GNAME, &c_receiver::process_param_p_scr_gname},
        {SYNC_SLOT, &c_receiver::process_param_p_sync_slot},
        {T2T_CFG, &c_receiver::process_param_p_t2t_cfg},
        {T2T_NO_ALARM, &c_receiver::process_param_p_t2t_no_alarm},
        {VEH_CERT, &c_receiver::process_param_p_veh_cert},
        {DRIVER_LIC, &c_receiver::process_param_p_driver_lic},
        {STATIONARY, &c_receiver::process_param_p_stationary},
        {CATEGORY, &c_receiver::process_param_p_category},
        {LOC, &c_receiver::process_param_p_loc},
        {AL_ZV, &c_receiver::process_param_p_al_zv},
        {SCR_MESSAGE, &c_receiver::process_param_p_scr_message},
    };
    // A "plist" that is not an object raises the type error in isMember.
    std::vector<std::pair<parameter_t, param_handler>> present;
    for (const auto& entry : handlers)
        if (_plist.isMember(name_of(entry.first)))
            present.push_back(entry);
    return present;
}

void c_receiver::process_param_p_values(const std::string& _mac, const Json::Value& _message, const timeval& _ts,
                                        std::int64_t _now) const {
    if (!_message.isMember("plist") || _message["plist"].isNull())
        return;
    const Json::Value& plist = _message["plist"];
    for (const auto& [parameter, handler] : reported_parameters(plist))
        (this->*handler)(_mac, plist[name_of(parameter)], _ts);
    // A device that reported values was heard: its record is not silent. (A report that
    // failed above leaves a record without this time; the sweep starts its silence then.)
    report_writes(_mac).heard(_now);
}

void c_receiver::queue_command(queued_message _message) const {
    m_queued.push_back(std::move(_message));
}

void c_receiver::flush_param_p() const {
    auto writes = m_writes.take();
    const auto commands = std::exchange(m_queued, {});
    if (!writes.empty())
        vyr::redis::transaction(m_context->redis_context(), writes).exec();
    for (const auto& message : commands)
        std::visit([this](const auto& _message) {
            (void)vyr::mail::mech_param_req::send(*m_mech_param_req_socket, _message, m_logger);
        }, message);
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
            _mac_address % name_of(_parameter);
        vyr::metrics::add(vyr::metrics::counter::reports_stale);
        return false;
    }
    // Written with the report's other writes.
    report_writes(_mac_address).parameter_timestamp(_parameter, _timestamp);
    m_report_stamps[{_mac_address, _parameter}] = _timestamp;
    return true;
}

void c_receiver::process_param_p_sf(const std::string& _mac_address, const Json::Value& _value,
                                    const timeval& _ts) const {
    if (!check_and_update_timestamp(_mac_address, SF, _ts))
        return;
    auto device = report_writes(_mac_address);
    answered(device);
    if (_value.isNull()) {
        device.parameter_state(SF, NOT_SUPPORTED);
        return;
    }
    device.parameter_state(SF, SUPPORTED);
    // The whole superframe the device holds: "addr" (node id) and "sfd" as hexadecimal
    // texts, "set_slots" and "sch_slots" (slot counts of the setting and the schedule) as
    // numbers. A member that is missing or unreadable is left out (with a debug record
    // for an unreadable one) and the rest of the report is still taken.
    superframe reported;
    const auto member = [&](const char* _name, bool _hex, std::optional<std::uint32_t>& _out) {
        if (!_value.isObject() || !_value.isMember(_name))
            return;
        const auto& field = _value[_name];
        if (_hex && field.isString()) {
            const auto text = field.asString();
            if (!text.empty() && text.size() <= 8 &&
                text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos)
                _out = static_cast<std::uint32_t>(std::stoul(text, nullptr, 16));
        } else if (!_hex && field.isUInt()) {
            _out = field.asUInt();
        }
        if (!_out)
            m_logger.debug("sf member \"%1%\" of %2% is unreadable and left out: %3%") % _name % _mac_address %
                vyr::libs::core::json::to_string(field);
    };
    member("addr", true, reported.node_id);
    member("sfd", true, reported.sfd);
    member("set_slots", false, reported.setting_slots);
    member("sch_slots", false, reported.slot_count);
    device.parameter_sf(reported);
}

template <class Value>
void c_receiver::store_actual_value(const std::string& _mac_address, parameter_t _parameter,
                                    const Json::Value& _value) const {
    const Value reported(_value, m_logger);
    auto device = report_writes(_mac_address);
    answered(device);
    device.parameter_actual(_parameter, reported.to_json_string());
}

void c_receiver::process_param_p_tdoa_schedule(const std::string& _mac_address, const Json::Value& _value,
                                               const timeval& _ts) const {
    if (check_and_update_timestamp(_mac_address, TDOA_SCHEDULE, _ts))
        store_actual_value<param_tdoa_schedule>(_mac_address, TDOA_SCHEDULE, _value);
}

void c_receiver::process_param_p_nwk_cfg(const std::string& _mac_address, const Json::Value& _value,
                                         const timeval& _ts) const {
    if (check_and_update_timestamp(_mac_address, NWK_CFG, _ts))
        store_actual_value<param_nwk_cfg>(_mac_address, NWK_CFG, _value);
}

void c_receiver::process_param_p_em_alm(const std::string& _mac_address, const Json::Value& _value,
                                        const timeval& _ts) const {
    if (!check_and_update_timestamp(_mac_address, EM_ALM, _ts))
        return;
    // When it was heard: a pressed button is cleared only by an alarm list that saw it
    // pressed at this time or later.
    const auto heard = now_ms();
    report_writes(_mac_address).detail(EM_ALM, win::s_heard_ms, std::to_string(heard));
    store_actual_value<param_em_alm>(_mac_address, EM_ALM, _value);
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
        m_writes.command(vyr::context::note_button_seen_command(view->obj_uid, heard),
                         {vyr::context::alarm::keys::button_seen(view->obj_uid),
                          std::string(vyr::context::common::s_mirror_version)});
    }
}

void c_receiver::process_param_p_scr_name(const std::string& _mac_address, const Json::Value& _value,
                                          const timeval& _ts) const {
    if (check_and_update_timestamp(_mac_address, SCR_NAME, _ts))
        store_actual_value<param_scr_name>(_mac_address, SCR_NAME, _value);
}

void c_receiver::process_param_p_scr_gname(const std::string& _mac_address, const Json::Value& _value,
                                           const timeval& _ts) const {
    if (check_and_update_timestamp(_mac_address, SCR_GNAME, _ts))
        store_actual_value<param_scr_gname>(_mac_address, SCR_GNAME, _value);
}

void c_receiver::process_param_p_veh_cert(const std::string& _mac_address, const Json::Value& _value,
                                          const timeval& _ts) const {
    if (check_and_update_timestamp(_mac_address, VEH_CERT, _ts))
        store_actual_value<param_veh_cert>(_mac_address, VEH_CERT, _value);
}

void c_receiver::process_param_p_driver_lic(const std::string& _mac_address, const Json::Value& _value,
                                            const timeval& _ts) const {
    if (check_and_update_timestamp(_mac_address, DRIVER_LIC, _ts))
        store_actual_value<param_driver_lic>(_mac_address, DRIVER_LIC, _value);
}

void c_receiver::process_param_p_sync_slot(const std::string& _mac_address, const Json::Value& _value,
                                           const timeval& _ts) const {
    if (!check_and_update_timestamp(_mac_address, SYNC_SLOT, _ts))
        return;
    auto device = report_writes(_mac_address);
    answered(device);
    if (_value.isNull()) {
        device.parameter_state(SYNC_SLOT, NOT_SUPPORTED);
        return;
    }
    if (!_value.isObject())
        return;
    const field_reader read{m_logger, "process_param_p_sync_slot", name_of(SYNC_SLOT)};

    std::string addr_text;
    if (!read(_value, "addr", addr_text, _mac_address))
        return;
    const auto addr = hex_unsigned(addr_text);
    if (!addr)
        return;
    device.detail(SYNC_SLOT, win::sync_slot::s_addr, std::to_string(*addr));

    unsigned int slot = 0;
    if (!read(_value, "slot", slot, _mac_address))
        return;
    device.detail(SYNC_SLOT, win::sync_slot::s_slot, std::to_string(slot));

    if (_value.isMember("flags")) {
        std::string flags_text;
        if (!read(_value, "flags", flags_text, _mac_address))
            return;
        const auto flags = hex_unsigned(flags_text);
        if (!flags)
            return;
        device.detail(SYNC_SLOT, win::sync_slot::s_flags, std::to_string(*flags));
    }
    device.parameter_state(SYNC_SLOT, SUPPORTED);
}

void c_receiver::process_param_p_t2t_cfg(const std::string& _mac_address, const Json::Value& _value,
                                         const timeval& _ts) const {
    if (!check_and_update_timestamp(_mac_address, T2T_CFG, _ts))
        return;
    auto device = report_writes(_mac_address);
    answered(device);
    // The report replaces the whole configuration: members it leaves out must not
    // survive from an earlier one. Its time stamp (written after this, with the report's
    // common writes, so an older report replayed later is still refused) and delivery's
    // push record in the same hash stay.
    device.del_t2t_cfg_report();
    if (_value.isNull()) {
        device.parameter_state(T2T_CFG, NOT_SUPPORTED);
        return;
    }
    if (!_value.isObject())
        return;
    const field_reader read{m_logger, "process_param_p_t2t_cfg", name_of(T2T_CFG)};

    std::string role;
    if (!read(_value, "role", role, _mac_address))
        return;
    device.detail(T2T_CFG, "role", role);

    // Optional members: a present member of the wrong type is logged by the reader and
    // stored as the empty value of its kind (false, 0 or ""), as the server's decoder does.
    const auto read_bool = [&](const char* _field) {
        if (!_value.isMember(_field))
            return;
        bool flag = false;
        if (!read(_value, _field, flag, _mac_address))
            flag = false;
        device.detail(T2T_CFG, _field, vyr::context::common::to_text(flag));
    };
    const auto read_number = [&](const char* _field) {
        if (!_value.isMember(_field))
            return;
        double number = 0;
        if (!read(_value, _field, number, _mac_address))
            number = 0;
        device.detail(T2T_CFG, _field, std::to_string(round_half_away_unsigned(number)));
    };

    read_bool("alarm_back");
    read_number("distance");
    read_number("angle");
    read_number("delay");
    if (_value.isMember("pin")) {
        std::string pin;
        if (!read(_value, "pin", pin, _mac_address))
            pin.clear();
        device.detail(T2T_CFG, "pin", pin);
    }
    read_number("alert_distance");
    read_number("safe_distance");
    read_bool("buzzer");
    read_bool("haptic");
    device.parameter_state(T2T_CFG, SUPPORTED);
}

void c_receiver::process_param_p_t2t_no_alarm(const std::string& _mac_address, const Json::Value& _value,
                                              const timeval& _ts) const {
    if (!check_and_update_timestamp(_mac_address, T2T_NO_ALARM, _ts))
        return;
    auto device = report_writes(_mac_address);
    answered(device);
    const field_reader read{m_logger, "process_param_p_t2t_no_alarm", name_of(T2T_NO_ALARM)};
    std::vector<std::string> list;
    if (_value.isArray()) {
        for (const auto& element : _value) {
            std::string mac;
            if (read(element, "mac", mac, _mac_address))
                list.push_back(mac);
        }
    }
    device.parameter_t2t_no_alarm(list);
    // No list at all is an empty list: the device supports the parameter either way.
    device.parameter_state(T2T_NO_ALARM, SUPPORTED);
}

void c_receiver::process_param_p_stationary(const std::string& _mac_address, const Json::Value& _value,
                                            const timeval& _ts) const {
    if (!check_and_update_timestamp(_mac_address, STATIONARY, _ts))
        return;
    auto device = report_writes(_mac_address);
    answered(device);
    if (_value.isNull()) {
        device.parameter_state(STATIONARY, NOT_SUPPORTED);
    } else if (_value.isBool()) {
        device.parameter_state(STATIONARY, SUPPORTED);
        device.detail(STATIONARY, "stationary", vyr::context::common::to_text(_value.asBool()));
    }
}

void c_receiver::process_param_p_category(const std::string& _mac_address, const Json::Value& _value,
                                          const timeval& _ts) const {
    if (!check_and_update_timestamp(_mac_address, CATEGORY, _ts))
        return;
    auto device = report_writes(_mac_address);
    answered(device);
    if (_value.isNull()) {
        device.parameter_state(CATEGORY, NOT_SUPPORTED);
    } else if (_value.isString()) {
        device.parameter_state(CATEGORY, SUPPORTED);
        device.detail(CATEGORY, "category", _value.asString());
    }
}

void c_receiver::process_param_p_loc(const std::string& _mac_address, const Json::Value& _value,
                                     const timeval& _ts) const {
    if (!check_and_update_timestamp(_mac_address, LOC, _ts))
        return;
    auto device = report_writes(_mac_address);
    answered(device);
    if (_value.isNull()) {
        device.parameter_state(LOC, NOT_SUPPORTED);
        return;
    }
    device.parameter_state(LOC, SUPPORTED);
    const field_reader read{m_logger, "process_param_p_loc", name_of(LOC)};
    double x = 0, y = 0, z = 0, sl_z = 0;
    if (!read(_value, "x", x, _mac_address) || !read(_value, "y", y, _mac_address) ||
        !read(_value, "z", z, _mac_address) || !read(_value, "sl_z", sl_z, _mac_address))
        return;
    loc position;
    position.x = round_half_away(x);
    position.y = round_half_away(y);
    position.z = round_half_away(z);
    position.sublocation_z = round_half_away(sl_z);
    if (_value.isMember("sl_id")) {
        unsigned int sl_id = 0;
        if (!read(_value, "sl_id", sl_id, _mac_address))
            return;
        position.sublocation_id = sl_id;
    }
    device.parameter_loc(position);
}

void c_receiver::process_param_p_al_zv(const std::string& _mac_address, const Json::Value& _value,
                                       const timeval& _ts) const {
    if (!check_and_update_timestamp(_mac_address, AL_ZV, _ts))
        return;
    auto device = report_writes(_mac_address);
    answered(device);
    if (_value.isNull()) {
        device.parameter_state(AL_ZV, NOT_SUPPORTED);
        device.alarm_state(alarm_states::NOT_SUPPORTED);
        return;
    }
    device.parameter_state(AL_ZV, SUPPORTED);
    const field_reader read{m_logger, "process_param_p_al_zv", name_of(AL_ZV)};
    unsigned int level = 0;
    if (!read(_value, "level", level, _mac_address))
        return;
    unsigned int zid = 0;
    if (level != 0 && !read(_value, "zid", zid, _mac_address))
        return;
    // What the device shows now: every delivery cycle compares it with the alarm to show.
    device.detail(AL_ZV, win::al_zv::s_level, std::to_string(level));
    device.detail(AL_ZV, win::al_zv::s_zone_id, std::to_string(zid));

    // Delivery check: the device confirms the zone alarm it was sent. Only an answer that
    // matches what was sent last settles it (level 0: the clearing form); another one
    // answers an older push, and the alarm is sent again. The delivery state is read as
    // the reports before this one left it.
    flush_param_p();
    auto record = m_context->get_win(_mac_address);
    const auto delivery = record.alarm_delivery_state();
    if (delivery.state != alarm_states::SENT || !delivery.shown)
        return;
    const auto& shown = *delivery.shown;
    if (level != shown.level || (level != 0 && zid != shown.zone_id))
        return;
    if (!shown.uid.empty()) {
        auto alarm = m_context->get_alarm(shown.uid);
        if (alarm.exists())
            alarm.delivered(true);
    }
    // A new alarm set since the sending keeps its state: it is to be shown next.
    if (record.replace_alarm_state(alarm_states::SENT, alarm_states::MESSAGE))
        queue_command(vyr::mail::context_updated{});
}

void c_receiver::process_param_p_scr_message(const std::string& _mac_address, const Json::Value& _value,
                                             const timeval& _ts) const {
    if (!check_and_update_timestamp(_mac_address, SCR_MESSAGE, _ts))
        return;
    auto device = report_writes(_mac_address);
    answered(device);
    // The text itself is not kept; anything but a text means the device has no screen.
    device.parameter_state(SCR_MESSAGE, _value.isString() ? SUPPORTED : NOT_SUPPORTED);
    // Compare-and-set: a new alarm set meanwhile keeps its state.
    device.replace_alarm_state(alarm_states::MESSAGE, alarm_states::CONFIGURED);
}
