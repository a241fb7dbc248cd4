// c_sender: the single way out of the service towards the devices. It owns one PUSH
// socket connected to the proxy input endpoint, wraps parameter payloads into numbered
// node commands and sends them to the gateway on topic "#win". One instance is shared by
// the parameter-request and the sleep mechanism threads; while this instance does not hold
// its lease (common/lease_guard.h) every frame is dropped; every public operation takes
// m_mutex for the whole command, so any thread may call it. Destroy the sender before
// the ZeroMQ context it was made on is terminated.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <zmq.hpp>

#include "core/logger.h"
#include "core/mutex.h"

class c_sender {
public:
    // Socket linger at close: frames the gateway never took are given up after this, so
    // the process does not hang at exit while no proxy is listening.
    static constexpr int s_linger_ms = 1000;

    // Creates the PUSH socket on `_zmq_context` and connects it to `_addr`; a failure
    // raises zmq::error_t.
    c_sender(std::shared_ptr<zmq::context_t> _zmq_context, const std::string& _addr,
             vyr::libs::core::component_logger& _logger);
    c_sender(const c_sender&) = delete;
    c_sender& operator=(const c_sender&) = delete;

    // When the proxy socket cannot take a frame (its queue is full, or no proxy is
    // connected) a send waits up to this long for it to become writable; once such a wait
    // ran out, the following frames are not waited for until one is queued again.
    static constexpr int s_blocked_wait_ms = 500;

    // Logs "To GW: <message>" and sends "#win " + `_message`. True when the frame was
    // queued; a frame that cannot be queued (see s_blocked_wait_ms) is dropped and gives
    // false (its sender resends later); any other send error raises zmq::error_t. The
    // commands below answer the same way.
    bool win_message(const std::string& _message);

    // Node command 080E + sequence byte + body length (2 bytes) + `_message` + MAC. A body
    // that is not whole bytes or is longer than 65535 bytes is not sent (error record).
    bool msg_generic_req_to_node(const std::string& _mac_addr, const std::string& _message);
    // Parameters pushed by the service (command 000E) / answering the device (000F).
    // `_parameters` is one or more payloads back to back.
    bool hw_param_to_node(const std::string& _mac_addr, const std::string& _parameters);
    bool paramreq_to_node(const std::string& _mac_addr, const std::string& _parameters);

    // Payload 47 06: wait period (2 bytes) and sleep period (4 bytes), pushed.
    bool sleep_cmd_to_node(const std::string& _mac_addr, std::uint16_t _wait_period, std::uint32_t _sleep_period);
    // Payload 08 19: zone alarm level (1 byte), zone id (2 bytes), zone uid (22 bytes: the
    // first 22 characters, or 22 zero bytes when the uid is shorter). Level 0, id 0 and
    // an empty uid clear the zone alarm on the device. A level above 255 or an id above
    // 65535 is not sent (error record, false).
    bool zone_alarm_to_node(const std::string& _mac_addr, std::uint32_t _zone_alarm_level, std::uint32_t _zone_id,
                            const std::string& _zone_uid);
    // Payload 54: the first 255 bytes of `_message`, cut at a whole UTF-8 character; an
    // empty text is sent as 540100.
    bool message_to_node(const std::string& _mac_addr, const std::string& _message);

    // The sequence byte the next command will carry.
    std::uint8_t next_sequence_number();

private:
    bool send_locked(const std::string& _message) VYR_REQUIRES(m_mutex);

    // Constant after construction.
    const std::shared_ptr<zmq::context_t> m_zmq_context;  // kept alive while the socket exists
    vyr::libs::core::component_logger& m_logger;

    // Guarded by m_mutex.
    vyr::libs::core::mutex m_mutex;
    std::unique_ptr<zmq::socket_t> m_proxy_input_socket VYR_GUARDED_BY(m_mutex);
    std::uint8_t seq_num VYR_GUARDED_BY(m_mutex) = 1;  // of the next command; wraps from 255 to 0
    // A wait for the socket ran out and no frame was queued since.
    bool m_blocked VYR_GUARDED_BY(m_mutex) = false;
    std::uint64_t m_dropped VYR_GUARDED_BY(m_mutex) = 0;  // frames not queued, in all
};
