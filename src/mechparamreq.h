// The parameter-request mechanism: the worker that answers a device's parameter request
// at once and, every 5 seconds or when the context changes, pushes to every WIN what
// differs from the project (alarms, screen texts, TDOA configuration and the tag
// parameters). It owns a 5-second timer beside the base's pipe; everything here runs on
// the mechanism's own thread with the base's Redis context, and the only object it shares
// is the sender. The TDOA builders and alarm delivery live in mechparamreq_tdoa.cpp and
// mechparamreq_alarms.cpp.
#pragma once

#include <json/json.h>
#include <sys/time.h>

#include <cstdint>
#include <optional>
#include <string>

#include "mechanism.h"
#include "parameters.h"
#include "timer.h"

namespace vyr::context {
class win;
}

class c_mech_param_req : public c_mechanism {
public:
    // A WIN receives at most one push per this many whole seconds...
    static constexpr long s_sending_period_sec = 5;
    // ...and no push once its sending counter is above this, until the device answers.
    static constexpr std::uint32_t s_max_sending_counter = 9;

    c_mech_param_req(std::shared_ptr<zmq::context_t> _zmq_context, std::shared_ptr<vyr::vyrserver::c_vyrserver> _server,
                     std::shared_ptr<c_sender> _sender, const std::string& _redis_address, int _redis_port,
                     bool _push_schedule_to_destination, vyr::libs::core::component_logger& _logger);
    ~c_mech_param_req() override;

    void thread_body() override;
    // The base initialisation, then the timer starts; false when the base fails.
    bool thread_init() override;

    // Command 7 (parameter request) and 8 (context updated); others are ignored. A
    // request shorter than its header throws.
    void process_zmq_message(const zmq::message_t& _message);
    // One processing cycle: alarms, sync slots, then parameters; nothing until the
    // project mirror is complete.
    void processing_timer();

    // One pass over all WINs, pushing what differs from the project.
    void deliver_parameters();
    // Zone alarms and screen messages of every tag.
    void deliver_alarms();
    // Synchronisation slots and superframes of the TDOA anchors.
    void lsb();

    // Sends `_parameters` to the WIN when its pacing allows (the counter limit is not
    // looked at) and records the sending.
    void hw_param_to_win(vyr::context::win& _win, const std::string& _parameters);

    // Payload builders: one parameter payload text for the WIN with this MAC. A failure
    // is logged and gives the payload with an empty value (type + "0100").
    std::string form_loc(const std::string& _mac_address);
    std::string form_stationary(const std::string& _mac_address);
    std::string form_category(const std::string& _mac_address);
    std::string form_t2t_cfg(const std::string& _mac_address);
    std::string form_t2t_no_alarm(const std::string& _mac_address);
    std::string form_tdoa_schd(const std::string& _mac_address);
    std::string form_sf(const std::string& _mac_address);
    static std::string form_sync_slot(std::uint32_t _master_node_id, std::uint32_t _beacon_slot_number,
                                      std::uint32_t _flags);
    // Nothing when the anchor's slot cannot be worked out.
    std::optional<std::string> form_sync_slot_by_mac(const std::string& _mac_address);

    // JSON builders: the value the WIN must have, in the JSON form of its value class. A
    // failure is logged and gives JSON null.
    Json::Value em_alm_to_json(const std::string& _mac_address);
    Json::Value scr_name_to_json(const std::string& _mac_address);
    Json::Value scr_gname_to_json(const std::string& _mac_address);
    Json::Value veh_cert_to_json(const std::string& _mac_address);
    Json::Value driver_lic_to_json(const std::string& _mac_address);
    Json::Value tdoa_schedule_to_json(const std::string& _mac_address);
    Json::Value tdoa_schedule_row_to_json(const std::string& _anchor_uid, const std::string& _row);

    // Whether at least s_sending_period_sec whole seconds lie between `_last` and `_now`.
    static bool sending_period_passed(const timeval& _now, const timeval& _last);
    // Whether `_win` may be pushed now: counter not above the limit, period passed.
    static bool may_push(const vyr::context::win& _win, const timeval& _now);
    static timeval now();

private:
    void answer_request(const zmq::message_t& _message);
    // The parameters of one WIN; sets `_sent` as soon as anything went out.
    void deliver_to_win(vyr::context::win& _win, bool& _sent);
    void deliver_to_anchor(vyr::context::win& _win, bool& _sent);
    void deliver_clearing(vyr::context::win& _win, bool& _sent);
    void deliver_to_track_obj(vyr::context::win& _win, bool& _sent);
    // The compare rule of the value parameters; `Param` is the value class of `_p`.
    template <class Param>
    void deliver_value(vyr::context::win& _win, vyr::parameter::parameter_t _p, const Json::Value& _must,
                       bool _null_actual_is_kept, bool& _sent);
    bool t2t_cfg_differs(vyr::context::win& _win, const std::string& _mac_address);
    void push(const std::string& _mac_address, const std::string& _parameters, bool& _sent);

    // Constant after construction.
    const bool m_push_schedule_to_destination;
    // Mechanism thread only.
    vyr::timer m_processing_timer;
};
