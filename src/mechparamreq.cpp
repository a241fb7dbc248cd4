#include "mechparamreq.h"

#include <unistd.h>

#include <cctype>
#include <cstring>
#include <vector>

#include "commands.h"
#include "context/context.h"
#include "core/exception.h"
#include "globals.h"
#include "sender.h"

using vyr::context::win;
using namespace vyr::parameter;

namespace {

std::string lower(std::string _text) {
    for (auto& c : _text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return _text;
}

std::string upper(std::string _text) {
    for (auto& c : _text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return _text;
}

// The WIN's reported detail fields whose getters throw when the device never reported
// them: a missing report reads as "nothing reported" instead of ending the WIN's pass.
std::optional<std::string> reported_role(const win& _win) {
    try {
        return _win.parameter_t2t_cfg_role();
    } catch (const vyr::libs::core::exception&) {
        return std::nullopt;
    }
}

std::optional<bool> reported_stationary(const win& _win) {
    try {
        return _win.parameter_stationary();
    } catch (const vyr::libs::core::exception&) {
        return std::nullopt;
    }
}

std::optional<loc> reported_loc(const win& _win) {
    try {
        return _win.parameter_loc();
    } catch (const vyr::libs::core::exception&) {
        return std::nullopt;
    }
}

// Different only when both sides hold a value and the values differ.
template <class T>
bool both_differ(const std::optional<T>& _a, const std::optional<T>& _b) {
    return _a && _b && *_a != *_b;
}

// The pin setting as the device holds it: the flag bits of the t2t_cfg payload.
std::uint32_t pin_bits(const std::optional<std::string>& _pin) {
    if (!_pin)
        return 0;
    const auto pin = upper(*_pin);
    if (pin == "SOLID")
        return 1u << 2;
    if (pin == "PULSE")
        return 1u << 3;
    return 0;
}

bool is_hex_text(const std::string& _text) {
    for (const char c : _text)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

// The category byte of the CATEGORY payload; nothing for a category the device does
// not know (it is sent without a value, which the device reads as "unspecified").
std::optional<std::string> category_code(const std::string& _category) {
    if (_category == "unspecified")
        return "00";
    if (_category == "person")
        return "01";
    if (_category == "vehicle")
        return "02";
    if (_category == "asset")
        return "03";
    return std::nullopt;
}

// A signed number as the 32-bit two's complement the device reads.
std::string hex32(std::int64_t _value) { return hex(static_cast<std::uint32_t>(_value), 8); }

}  // namespace

c_mech_param_req::c_mech_param_req(std::shared_ptr<zmq::context_t> _zmq_context,
                                   std::shared_ptr<vyr::vyrserver::c_vyrserver> _server,
                                   std::shared_ptr<c_sender> _sender, const std::string& _redis_address,
                                   int _redis_port, bool _push_schedule_to_destination,
                                   vyr::libs::core::component_logger& _logger)
    : c_mechanism(std::move(_zmq_context), std::move(_server), std::move(_sender), _redis_address, _redis_port,
                  _logger),
      m_push_schedule_to_destination(_push_schedule_to_destination),
      m_processing_timer(5, 0, 5, 0) {
    m_inproc_mechanism_name = "inproc://mech_param_req";
}

c_mech_param_req::~c_mech_param_req() { thread_stop(); }

bool c_mech_param_req::thread_init() {
    if (!c_mechanism::thread_init())
        return false;
    try {
        m_processing_timer.start();
        return true;
    } catch (const std::exception&) {
        m_logger.log_exception(VYR_HERE);
        return false;
    }
}

void c_mech_param_req::thread_body() {
    if (!thread_init()) {
        stop_all();
        return;
    }
    for (;;) {
        try {
            zmq::pollitem_t items[] = {
                {m_pipe_out->handle(), 0, ZMQ_POLLIN, 0},
                {nullptr, m_processing_timer.get_descriptor(), ZMQ_POLLIN, 0},
            };
            zmq::poll(items, 2, std::chrono::milliseconds(-1));
            if (items[0].revents & ZMQ_POLLIN) {
                zmq::message_t message;
                if (m_pipe_out->recv(message, zmq::recv_flags::dontwait) && message.size() > 0) {
                    if (*static_cast<const std::uint8_t*>(message.data()) == vyr::cmd::stop)
                        return;
                    process_zmq_message(message);
                }
            }
            if (items[1].revents & ZMQ_POLLIN) {
                std::uint64_t expirations = 0;
                // A read that would block (the expiry was taken already) is no cycle.
                if (::read(m_processing_timer.get_descriptor(), &expirations, sizeof expirations) ==
                    static_cast<ssize_t>(sizeof expirations))
                    processing_timer();
            }
        } catch (const std::exception&) {
            m_logger.log_exception(VYR_HERE);
        }
    }
}

void c_mech_param_req::process_zmq_message(const zmq::message_t& _message) {
    if (_message.size() == 0)
        return;
    switch (*static_cast<const std::uint8_t*>(_message.data())) {
        case vyr::cmd::notified:  // the context was updated
            m_processing_timer.reset();
            processing_timer();
            break;
        case vyr::cmd::request:
            answer_request(_message);
            break;
        default:
            break;
    }
}

void c_mech_param_req::answer_request(const zmq::message_t& _message) {
    cmd_param_req_from_node_t header{};
    if (!vyr::cmd::read_command(_message.data(), _message.size(), header))
        VYR_THROW("zmq_message.size() < sizeof(cmd_param_req_from_node_t)");
    const std::string mac = vyr::cmd::field_text(header.mac);
    const auto* numbers = static_cast<const std::uint8_t*>(_message.data()) + sizeof header;
    const std::size_t count = (_message.size() - sizeof header) / sizeof(std::uint32_t);

    std::string payloads;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t number = 0;
        std::memcpy(&number, numbers + i * sizeof number, sizeof number);
        switch (number) {
            case TDOA_SCHD:
                payloads += form_tdoa_schd(mac);
                break;
            case LOC:
                payloads += form_loc(mac);
                break;
            case SF:
                payloads += form_sf(mac);
                break;
            case TDOA_SCHEDULE:
                payloads += param_tdoa_schedule(tdoa_schedule_to_json(mac), m_logger).to_hex();
                break;
            case SYNC_SLOT:
                if (const auto slot = form_sync_slot_by_mac(mac))
                    payloads += *slot;
                break;
            case T2T_CFG:
                payloads += form_t2t_cfg(mac);
                break;
            case T2T_NO_ALARM:
                payloads += form_t2t_no_alarm(mac);
                break;
            case VEH_CERT:
                payloads += param_veh_cert(veh_cert_to_json(mac), m_logger).to_hex();
                break;
            case DRIVER_LIC:
                payloads += param_driver_lic(driver_lic_to_json(mac), m_logger).to_hex();
                break;
            case EM_ALM:
                payloads += param_em_alm(em_alm_to_json(mac), m_logger).to_hex();
                break;
            case SCR_NAME:
                payloads += param_scr_name(scr_name_to_json(mac), m_logger).to_hex();
                break;
            case SCR_GNAME:
                payloads += param_scr_gname(scr_gname_to_json(mac), m_logger).to_hex();
                break;
            case STATIONARY:
                payloads += form_stationary(mac);
                break;
            case CATEGORY:
                payloads += form_category(mac);
                break;
            default:
                break;
        }
    }
    m_sender->paramreq_to_node(mac, payloads);
}

void c_mech_param_req::processing_timer() {
    if (!m_context->updated())
        return;
    deliver_alarms();
    lsb();
    deliver_parameters();
}

// ---- pacing --------------------------------------------------------------------------------

timeval c_mech_param_req::now() {
    timeval time{};
    ::gettimeofday(&time, nullptr);
    return time;
}

bool c_mech_param_req::sending_period_passed(const timeval& _now, const timeval& _last) {
    long seconds = static_cast<long>(_now.tv_sec - _last.tv_sec);
    if (_now.tv_usec < _last.tv_usec)
        --seconds;
    return seconds >= s_sending_period_sec;
}

bool c_mech_param_req::may_push(const win& _win, const timeval& _now) {
    return _win.sending_counter() <= s_max_sending_counter && sending_period_passed(_now, _win.sending_time());
}

void c_mech_param_req::hw_param_to_win(win& _win, const std::string& _parameters) {
    const timeval time = now();
    if (!sending_period_passed(time, _win.sending_time()))
        return;
    _win.sending_time(time);
    _win.increment_sending_counter();
    m_sender->hw_param_to_node(_win.mac_addr(), _parameters);
}

void c_mech_param_req::push(const std::string& _mac_address, const std::string& _parameters, bool& _sent) {
    m_sender->hw_param_to_node(_mac_address, _parameters);
    _sent = true;
}

// ---- the pass over all WINs ----------------------------------------------------------------

void c_mech_param_req::deliver_parameters() {
    const timeval time = now();
    for (const auto& mac : m_context->get_wins()) {
        auto record = m_context->get_win(mac);
        bool sent = false;
        const auto record_sending = [&] {
            if (sent) {
                record.sending_time(time);
                record.increment_sending_counter();
            }
        };
        try {
            if (!record.exists() || !may_push(record, time))
                continue;
            deliver_to_win(record, sent);
        } catch (const zmq::error_t&) {
            // What went out before the failure is still paced; the pass ends here.
            record_sending();
            throw;
        } catch (const std::exception&) {
            // One broken record must not keep every WIN after it from its parameters.
            m_logger.log_exception(VYR_HERE);
        }
        record_sending();
    }
}

void c_mech_param_req::deliver_to_win(win& _win, bool& _sent) {
    const auto& mac = _win.mac_addr();
    if (m_context->anchor_exists_by_mac(mac))
        deliver_to_anchor(_win, _sent);
    else if (!m_context->track_obj_exists_by_mac(mac))
        deliver_clearing(_win, _sent);
    else
        deliver_to_track_obj(_win, _sent);
}

void c_mech_param_req::deliver_to_anchor(win& _win, bool& _sent) {
    const auto& mac = _win.mac_addr();
    deliver_value<param_tdoa_schedule>(_win, TDOA_SCHEDULE, tdoa_schedule_to_json(mac), false, _sent);
    // Without a reported network configuration the anchor is asked for it.
    if (_win.parameter_as_json(NWK_CFG, win::actual).empty())
        push(mac, param_nwk_cfg::request_formation(), _sent);
}

// A device no longer in the project: what it still holds is cleared.
void c_mech_param_req::deliver_clearing(win& _win, bool& _sent) {
    std::string clearing;
    if (_win.parameter_state(T2T_CFG) == SUPPORTED && lower(reported_role(_win).value_or("")) != "disabled")
        clearing += payload_frame(T2T_CFG, "");
    if (_win.parameter_state(T2T_NO_ALARM) == SUPPORTED && !_win.parameter_t2t_no_alarm().empty())
        clearing += payload_frame(T2T_NO_ALARM, "");
    if (_win.parameter_state(STATIONARY) == SUPPORTED && reported_stationary(_win).value_or(false))
        clearing += payload_frame(STATIONARY, "");
    if (_win.parameter_state(CATEGORY) == SUPPORTED &&
        _win.parameter_category() != std::optional<std::string>("unspecified"))
        clearing += payload_frame(CATEGORY, "");
    if (!clearing.empty())
        push(_win.mac_addr(), clearing, _sent);
}

void c_mech_param_req::deliver_to_track_obj(win& _win, bool& _sent) {
    const auto& mac = _win.mac_addr();
    const auto object = m_context->get_track_obj_by_mac(mac);
    // Asset tags are configured elsewhere; the platform may write the type in any case.
    if (upper(object.type()) == "ASSET")
        return;

    if (vehicle_certification) {
        deliver_value<param_veh_cert>(_win, VEH_CERT, veh_cert_to_json(mac), true, _sent);
        deliver_value<param_driver_lic>(_win, DRIVER_LIC, driver_lic_to_json(mac), false, _sent);
    }
    deliver_value<param_em_alm>(_win, EM_ALM, em_alm_to_json(mac), true, _sent);
    deliver_value<param_scr_name>(_win, SCR_NAME, scr_name_to_json(mac), false, _sent);
    deliver_value<param_scr_gname>(_win, SCR_GNAME, scr_gname_to_json(mac), false, _sent);

    if (t2t_cfg_differs(_win, mac))
        push(mac, form_t2t_cfg(mac), _sent);

    const auto no_alarm_state = _win.parameter_state(T2T_NO_ALARM);
    bool no_alarm_differs = no_alarm_state == UNKNOWN;
    if (!no_alarm_differs) {
        const auto must = object.t2t_no_alarm();
        const auto reported = _win.parameter_t2t_no_alarm();
        no_alarm_differs = must.size() != reported.size() || (!must.empty() && must.front() != reported.front());
    }
    if (no_alarm_differs)
        push(mac, form_t2t_no_alarm(mac), _sent);

    // Stationary and location travel together in one command.
    std::string combined;
    const auto stationary_state = _win.parameter_state(STATIONARY);
    const bool stationary = object.stationary();
    if (stationary_state == UNKNOWN ||
        (stationary_state == SUPPORTED && reported_stationary(_win) != std::optional<bool>(stationary)))
        combined += form_stationary(mac);
    if (stationary && stationary_state == SUPPORTED) {
        const auto loc_state = _win.parameter_state(LOC);
        if (loc_state == UNKNOWN) {
            combined += form_loc(mac);
        } else if (loc_state == SUPPORTED) {
            const auto sublocation_uid = object.sublocation_uid();
            const auto place = m_context->get_sublocation(sublocation_uid);
            if (!sublocation_uid.empty() && place.exists()) {
                // A sublocation without an offset is sent with offset 0 (form_loc), so the
                // device's report is compared with that; otherwise it never matches.
                const std::int64_t offset = place.offset_z().value_or(0);
                const auto reported = reported_loc(_win);
                const bool equal = reported && reported->x == object.position_x() &&
                                   reported->y == object.position_y() &&
                                   reported->z == static_cast<std::int32_t>(object.default_height() + offset) &&
                                   reported->sublocation_z == static_cast<std::int32_t>(offset) &&
                                   reported->sublocation_id == place.sublocation_id();
                if (!equal)
                    combined += form_loc(mac);
            }
        }
    }

    // A category without a code reaches the device as "unspecified", which is then what
    // it reports; compared with the object's own text it would be pushed for ever.
    const auto category_state = _win.parameter_state(CATEGORY);
    auto category = object.category();
    if (!category_code(category))
        category = "unspecified";
    if (category_state == UNKNOWN ||
        (category_state == SUPPORTED && _win.parameter_category() != std::optional<std::string>(category)))
        push(mac, form_category(mac), _sent);

    if (!combined.empty())
        push(mac, combined, _sent);
}

template <class Param>
void c_mech_param_req::deliver_value(win& _win, parameter_t _p, const Json::Value& _must, bool _null_actual_is_kept,
                                     bool& _sent) {
    const Param must(_must, m_logger);
    _win.parameter_as_json(_p, win::must, must.to_json_string());
    const auto actual_text = _win.parameter_as_json(_p, win::actual);
    if (actual_text.empty()) {
        push(_win.mac_addr(), must.to_hex(), _sent);
        return;
    }
    const Param actual(actual_text, m_logger);
    if (_null_actual_is_kept && actual.is_null())
        return;
    if (must != actual)
        push(_win.mac_addr(), must.to_hex(), _sent);
}

bool c_mech_param_req::t2t_cfg_differs(win& _win, const std::string& _mac_address) {
    const auto state = _win.parameter_state(T2T_CFG);
    const auto object = m_context->get_track_obj_by_mac(_mac_address);
    const auto reported = reported_role(_win);
    if (!object.t2t_cfg_exists())
        return state == SUPPORTED && lower(reported.value_or("")) != "disabled";
    if (state == UNKNOWN)
        return true;
    if (state != SUPPORTED)
        return false;
    const auto role = lower(object.t2t_cfg_role());
    if (role != lower(reported.value_or("")))
        return true;
    if (role != "monitor" && role != "announcer")
        return false;
    return both_differ(object.t2t_cfg_alarm_back(), _win.parameter_t2t_cfg_alarm_back()) ||
           both_differ(object.t2t_cfg_distance(), _win.parameter_t2t_cfg_distance()) ||
           both_differ(object.t2t_cfg_angle(), _win.parameter_t2t_cfg_angle()) ||
           both_differ(object.t2t_cfg_delay(), _win.parameter_t2t_cfg_delay()) ||
           (object.t2t_cfg_pin() && _win.parameter_t2t_cfg_pin() &&
            pin_bits(object.t2t_cfg_pin()) != pin_bits(_win.parameter_t2t_cfg_pin())) ||
           both_differ(object.t2t_cfg_alert_distance(), _win.parameter_t2t_cfg_alert_distance()) ||
           both_differ(std::optional<std::uint32_t>(object.t2t_cfg_safe_distance().value_or(0)),
                       _win.parameter_t2t_cfg_safe_distance()) ||
           both_differ(object.t2t_cfg_buzzer(), _win.parameter_t2t_cfg_buzzer()) ||
           both_differ(object.t2t_cfg_haptic(), _win.parameter_t2t_cfg_haptic());
}

// ---- payload builders ----------------------------------------------------------------------

std::string c_mech_param_req::form_stationary(const std::string& _mac_address) {
    try {
        return payload_frame(STATIONARY, m_context->get_track_obj_by_mac(_mac_address).stationary() ? "01" : "00");
    } catch (const std::exception&) {
        m_logger.log_exception(VYR_HERE);
    }
    return payload_frame(STATIONARY, "");
}

std::string c_mech_param_req::form_category(const std::string& _mac_address) {
    try {
        const auto code = category_code(m_context->get_track_obj_by_mac(_mac_address).category());
        const std::string value = code.value_or("");
        return payload_frame(CATEGORY, value);
    } catch (const std::exception&) {
        m_logger.log_exception(VYR_HERE);
    }
    return payload_frame(CATEGORY, "");
}

std::string c_mech_param_req::form_loc(const std::string& _mac_address) {
    try {
        const auto object = m_context->get_track_obj_by_mac(_mac_address);
        const auto place = m_context->get_sublocation(object.sublocation_uid());
        const std::int64_t offset = place.offset_z().value_or(0);
        const std::string value = hex32(object.position_x()) + hex32(object.position_y()) +
                                  hex32(object.default_height() + offset) + hex32(offset) +
                                  hex(place.sublocation_id(), 4);
        return payload_frame(LOC, value);
    } catch (const std::exception&) {
        m_logger.log_exception(VYR_HERE);
    }
    return payload_frame(LOC, "");
}

std::string c_mech_param_req::form_t2t_cfg(const std::string& _mac_address) {
    try {
        const auto object = m_context->get_track_obj_by_mac(_mac_address);
        if (!object.t2t_cfg_exists())
            return payload_frame(T2T_CFG, "");
        const auto role = lower(object.t2t_cfg_role());
        const bool announcer = role == "announcer";
        if (role != "monitor" && !announcer)
            return payload_frame(T2T_CFG, "00");
        std::uint32_t flags = pin_bits(object.t2t_cfg_pin());
        if (object.t2t_cfg_alarm_back().value_or(false))
            flags |= 1u << 0;
        if (object.t2t_cfg_haptic().value_or(false))
            flags |= 1u << 4;
        if (object.t2t_cfg_buzzer().value_or(false))
            flags |= 1u << 5;
        std::string value = (announcer ? "02" : "01") + hex(flags, 2) + hex(object.t2t_cfg_delay().value_or(0), 4);
        if (announcer)
            value += hex(object.t2t_cfg_distance().value_or(0), 4) + hex(object.t2t_cfg_angle().value_or(0) / 2, 2) +
                     hex(object.t2t_cfg_alert_distance().value_or(0), 4) +
                     hex(object.t2t_cfg_safe_distance().value_or(0), 4);
        return payload_frame(T2T_CFG, value);
    } catch (const std::exception&) {
        m_logger.log_exception(VYR_HERE);
    }
    return payload_frame(T2T_CFG, "");
}

std::string c_mech_param_req::form_t2t_no_alarm(const std::string& _mac_address) {
    try {
        const auto list = m_context->get_track_obj_by_mac(_mac_address).t2t_no_alarm();
        if (list.empty())
            return payload_frame(T2T_NO_ALARM, "00");
        // The entry goes into the command as it stands: anything but hexadecimal digits
        // would corrupt the command text.
        if (!is_hex_text(list.front()))
            VYR_THROW("t2t_no_alarm entry is not hexadecimal: " + list.front() + ", mac: " + _mac_address);
        return payload_frame(T2T_NO_ALARM, list.front());
    } catch (const std::exception&) {
        m_logger.log_exception(VYR_HERE);
    }
    return payload_frame(T2T_NO_ALARM, "");
}

// ---- JSON builders -------------------------------------------------------------------------

Json::Value c_mech_param_req::em_alm_to_json(const std::string& _mac_address) {
    try {
        const auto object = m_context->get_track_obj_by_mac(_mac_address);
        const auto alarm = m_context->get_button_alarm_of_object(object.uid());
        Json::Value value(Json::objectValue);
        value["state"] = alarm && alarm->exists() && alarm->set() ? "SET" : "CLEAR";
        return value;
    } catch (const std::exception&) {
        m_logger.log_exception(VYR_HERE);
    }
    return Json::Value();
}

Json::Value c_mech_param_req::scr_name_to_json(const std::string& _mac_address) {
    try {
        const auto name = m_context->get_track_obj_by_mac(_mac_address).name();
        if (!name.empty())
            return Json::Value(name);
    } catch (const std::exception&) {
        m_logger.log_exception(VYR_HERE);
    }
    return Json::Value();
}

Json::Value c_mech_param_req::scr_gname_to_json(const std::string& _mac_address) {
    try {
        const auto groups = m_context->get_track_obj_by_mac(_mac_address).groups();
        if (groups.empty())
            return Json::Value();
        const auto first = m_context->get_group(groups.front());
        if (!first.exists())
            return Json::Value();
        const auto name = first.name();
        if (!name.empty())
            return Json::Value(name);
    } catch (const std::exception&) {
        m_logger.log_exception(VYR_HERE);
    }
    return Json::Value();
}

Json::Value c_mech_param_req::veh_cert_to_json(const std::string& _mac_address) {
    try {
        if (const auto model = m_context->get_track_obj_by_mac(_mac_address).vehicle_model()) {
            Json::Value value(Json::objectValue);
            value["id"] = Json::UInt(*model);
            return value;
        }
    } catch (const std::exception&) {
        m_logger.log_exception(VYR_HERE);
    }
    return Json::Value();
}

Json::Value c_mech_param_req::driver_lic_to_json(const std::string& _mac_address) {
    try {
        Json::Value value(Json::arrayValue);
        if (const auto licenses = m_context->get_track_obj_by_mac(_mac_address).driver_licenses()) {
            for (const auto id : *licenses) {
                Json::Value entry(Json::objectValue);
                entry["id"] = Json::UInt(id);
                value.append(entry);
            }
        }
        return value;
    } catch (const std::exception&) {
        m_logger.log_exception(VYR_HERE);
    }
    return Json::Value();
}
