#include "delivery/sender.h"

#include <charconv>
#include <chrono>
#include <string_view>

#include "common/lease_guard.h"
#include "common/metrics.h"
#include "parameters/parameters.h"

using vyr::parameter::hex;
using vyr::parameter::hex_bytes;

namespace {

const std::string s_topic = "#win ";
const std::string s_command = "080E";
const std::string s_pushed = "000E";
const std::string s_requested = "000F";
constexpr std::size_t s_uid_bytes = 22;
constexpr std::size_t s_max_body_bytes = 0xFFFF;

// The payloads back to back in `_parameters`: type byte, length byte, value.
std::size_t payload_count(const std::string& _parameters) {
    std::size_t count = 0;
    for (std::size_t at = 0; at + 4 <= _parameters.size(); ++count) {
        unsigned length = 0;
        const char* digits = _parameters.data() + at + 2;
        if (std::from_chars(digits, digits + 2, length, 16).ptr != digits + 2)
            return count + 1;
        at += 4 + 2 * std::size_t{length};
    }
    return count;
}

}  // namespace

c_sender::c_sender(std::shared_ptr<zmq::context_t> _zmq_context, const std::string& _addr,
                   vyr::libs::core::component_logger& _logger)
    : m_zmq_context(std::move(_zmq_context)), m_logger(_logger) {
    m_proxy_input_socket = std::make_unique<zmq::socket_t>(*m_zmq_context, zmq::socket_type::push);
    m_proxy_input_socket->set(zmq::sockopt::linger, s_linger_ms);
    m_proxy_input_socket->connect(_addr);
}

bool c_sender::send_locked(const std::string& _message) {
    m_logger.debug("To GW: %s") % _message;
    if (!vyr::lease_guard::valid()) {
        // Another instance may be taking over: it alone speaks to the devices.
        vyr::metrics::add(vyr::metrics::counter::frames_dropped);
        ++m_dropped;
        return false;
    }
    const std::string frame = s_topic + _message;
    const zmq::const_buffer buffer(frame.data(), frame.size());
    // An empty result means EAGAIN: nothing can be queued now.
    bool queued = m_proxy_input_socket->send(buffer, zmq::send_flags::dontwait).has_value();
    if (!queued && !m_blocked) {
        zmq::pollitem_t item{m_proxy_input_socket->handle(), 0, ZMQ_POLLOUT, 0};
        if (zmq::poll(&item, 1, std::chrono::milliseconds(s_blocked_wait_ms)) > 0)
            queued = m_proxy_input_socket->send(buffer, zmq::send_flags::dontwait).has_value();
        if (!queued)
            m_logger.warning("the gateway proxy takes no frames: commands are dropped until it does (%1% so far)") %
                (m_dropped + 1);
    }
    m_blocked = !queued;
    vyr::metrics::add(queued ? vyr::metrics::counter::frames_sent : vyr::metrics::counter::frames_dropped);
    if (!queued)
        ++m_dropped;
    return queued;
}

bool c_sender::win_message(const std::string& _message) {
    vyr::libs::core::mutex_lock lock(m_mutex);
    return send_locked(_message);
}

std::uint8_t c_sender::next_sequence_number() {
    vyr::libs::core::mutex_lock lock(m_mutex);
    return seq_num;
}

bool c_sender::msg_generic_req_to_node(const std::string& _mac_addr, const std::string& _message) {
    // The length field counts whole bytes in 16 bits; anything else would give the
    // gateway a frame whose length disagrees with what follows.
    if (_message.size() % 2 != 0 || _message.size() / 2 > s_max_body_bytes) {
        m_logger.error("node command for %1% not sent: body of %2% digits is not whole bytes or exceeds 65535 bytes") %
            vyr::libs::core::device_mac{_mac_addr} % _message.size();
        return false;
    }
    vyr::libs::core::mutex_lock lock(m_mutex);
    std::string command;
    command.reserve(s_command.size() + 6 + _message.size() + _mac_addr.size());
    command += s_command;
    command += hex(seq_num++, 2);
    command += hex(_message.size() / 2, 4);
    command += _message;
    command += _mac_addr;
    return send_locked(command);
}

bool c_sender::hw_param_to_node(const std::string& _mac_addr, const std::string& _parameters) {
    if (!msg_generic_req_to_node(_mac_addr, s_pushed + _parameters))
        return false;
    vyr::metrics::add(vyr::metrics::counter::pushes);
    vyr::metrics::add(vyr::metrics::counter::payloads_sent, static_cast<double>(payload_count(_parameters)));
    return true;
}

bool c_sender::paramreq_to_node(const std::string& _mac_addr, const std::string& _parameters) {
    if (!msg_generic_req_to_node(_mac_addr, s_requested + _parameters))
        return false;
    vyr::metrics::add(vyr::metrics::counter::payloads_sent, static_cast<double>(payload_count(_parameters)));
    return true;
}

bool c_sender::sleep_cmd_to_node(const std::string& _mac_addr, std::uint16_t _wait_period,
                                 std::uint32_t _sleep_period) {
    return hw_param_to_node(_mac_addr, "4706" + hex(_wait_period, 4) + hex(_sleep_period, 8));
}

bool c_sender::zone_alarm_to_node(const std::string& _mac_addr, std::uint32_t _zone_alarm_level,
                                  std::uint32_t _zone_id, const std::string& _zone_uid) {
    // A level or zone id wider than its field, capped, would show another alarm or zone:
    // nothing is sent.
    if (_zone_alarm_level > 0xFF || _zone_id > 0xFFFF) {
        m_logger.error("zone alarm for %1% not sent: level %2% or zone id %3% does not fit its field") % vyr::libs::core::device_mac{_mac_addr} %
            _zone_alarm_level % _zone_id;
        return false;
    }
    const std::string uid = _zone_uid.size() < s_uid_bytes ? std::string(s_uid_bytes * 2, '0')
                                                            : hex_bytes(std::string_view(_zone_uid).substr(0, s_uid_bytes));
    return hw_param_to_node(_mac_addr, "0819" + hex(_zone_alarm_level, 2) + hex(_zone_id, 4) + uid);
}

bool c_sender::message_to_node(const std::string& _mac_addr, const std::string& _message) {
    // Cut as a screen text: a byte cut out of a UTF-8 character would be no text at all.
    return hw_param_to_node(_mac_addr,
                            vyr::parameter::payload_frame(vyr::parameter::SCR_MESSAGE,
                                                          hex_bytes(vyr::parameter::param_screen_text::held_text(_message))));
}
