#include "support/receiver_harness.h"

#include <algorithm>
#include <cstring>
#include <variant>
#include <exception>

#include "core/exception.h"
#include "parameters/parameters.h"
#include "platform/updater.h"
#include "platform/vyrserver.h"
#include "runtime/inproc_commands.h"
#include "runtime/mailboxes.h"
#include "support/fuzz_support.h"
#include "support/redis_server.h"

namespace fuzz {

namespace {

// Inputs between two renewals of the updater and the receiver.
constexpr unsigned s_renew_every = 4096;

// The parameters a device may ask for (the receiver's request list).
bool is_requestable(std::uint32_t _number) {
    using namespace vyr::parameter;
    static const std::uint32_t numbers[] = {TXP,       TDOA_SCHD,  LOC,     ACC,    BT,       SF,        TDOA_SCHEDULE,
                                            SYNC_SLOT, T2T_CFG,    T2T_NO_ALARM, VEH_CERT, DRIVER_LIC, NWK_CFG,
                                            EM_ALM,    SCR_NAME,   SCR_GNAME, ANCHOR_LOC, STATIONARY, CATEGORY};
    return std::find(std::begin(numbers), std::end(numbers), _number) != std::end(numbers);
}

// A MAC the receiver passes on is normalised to 16 upper-case hexadecimal digits, so the
// last byte of the 17-byte field stays NUL.
void check_mac(const std::string& _frame) {
    cmd_node_notified_t head{};
    (void)vyr::cmd::read_command(_frame.data(), _frame.size(), head);
    FUZZ_CHECK(head.mac[16] == '\0' && std::strspn(head.mac, "0123456789ABCDEF") == 16,
               "MAC field of \"" + printable(_frame) + "\"");
}

void check_param_req_command(const std::string& _frame) {
    const std::string detail = "command \"" + printable(_frame) + "\" to the parameter-request mechanism";
    FUZZ_CHECK(!_frame.empty(), detail);
    switch (static_cast<std::uint8_t>(_frame[0])) {
    case vyr::cmd::notified:
        FUZZ_CHECK(_frame.size() == 1, detail);
        return;
    case vyr::cmd::request: {
        FUZZ_CHECK(_frame.size() >= sizeof(cmd_param_req_from_node_t), detail);
        FUZZ_CHECK((_frame.size() - sizeof(cmd_param_req_from_node_t)) % 4 == 0, detail);
        check_mac(_frame);
        for (std::size_t at = sizeof(cmd_param_req_from_node_t); at < _frame.size(); at += 4) {
            std::uint32_t number = 0;
            std::memcpy(&number, _frame.data() + at, 4);
            FUZZ_CHECK(is_requestable(number), detail + ": parameter " + std::to_string(number));
        }
        return;
    }
    case vyr::cmd::devices_changed: {
        const auto message = vyr::mail::mech_param_req::read(_frame);
        const auto* changed = std::get_if<vyr::mail::devices_changed>(&message);
        FUZZ_CHECK(changed && !changed->macs.empty(), detail);
        for (const auto& mac : changed->macs)
            FUZZ_CHECK(mac.size() == 16 && mac.find_first_not_of("0123456789ABCDEF") == std::string::npos,
                       detail + ": MAC " + mac);
        return;
    }
    default:
        FUZZ_CHECK(false, detail + ": unknown code");
    }
}

void check_sleep_command(const std::string& _frame) {
    const std::string detail = "command \"" + printable(_frame) + "\" to the sleep mechanism";
    FUZZ_CHECK(!_frame.empty(), detail);
    switch (static_cast<std::uint8_t>(_frame[0])) {
    case vyr::cmd::node_new_announce:
    case vyr::cmd::node_heartbeat:
        FUZZ_CHECK(_frame.size() == sizeof(cmd_notify_from_node_t), detail);
        check_mac(_frame);
        return;
    case vyr::cmd::request:
        FUZZ_CHECK(_frame.size() == sizeof(cmd_put_to_sleep_t), detail);
        return;
    case vyr::cmd::notified:
        FUZZ_CHECK(_frame.size() == sizeof(cmd_node_notified_t), detail);
        check_mac(_frame);
        return;
    default:
        FUZZ_CHECK(false, detail + ": unknown code");
    }
}

std::unique_ptr<zmq::socket_t> bound_pull(zmq::context_t& _context, const char* _endpoint) {
    auto socket = std::make_unique<zmq::socket_t>(_context, zmq::socket_type::pull);
    socket->set(zmq::sockopt::linger, 0);
    socket->bind(_endpoint);
    return socket;
}

}  // namespace

receiver_harness& receiver_harness::instance() {
    // Never destroyed: the process ends with it.
    static auto* harness = new receiver_harness();
    return *harness;
}

receiver_harness::receiver_harness() { renew(); }

void receiver_harness::renew() {
    m_receiver.reset();
    m_updater.reset();
    m_param_req.reset();
    m_sleep.reset();
    // A ZeroMQ context of their own: a closed socket leaves its inproc endpoint bound until
    // the context reaps it, so the new receiver could not bind "inproc://receiver" again.
    if (m_zmq_context)
        m_zmq_context->close();
    m_zmq_context = std::make_shared<zmq::context_t>(1);
    m_param_req = bound_pull(*m_zmq_context, vyr::mail::mech_param_req::endpoint);
    m_sleep = bound_pull(*m_zmq_context, vyr::mail::mech_sleep::endpoint);

    const auto& store = project_store::instance();
    // Nothing listens on the platform port: the updater never runs, so it never asks.
    auto server = std::make_shared<vyr::vyrserver::c_vyrserver>("rtls-quorvane-fuzz", "http", "127.0.0.1", "", "",
                                                                test::free_port(), logger());
    m_updater = std::make_shared<vyr::updater>(server, store.host(), store.port(), logger());
    m_receiver = std::make_unique<c_receiver>(m_zmq_context, "inproc://fuzz-proxy", m_updater, store.host(),
                                              store.port(), logger());
    m_receiver->open();
}

void receiver_harness::run(handler_t _handler, const std::string& _body) {
    if (++m_runs % s_renew_every == 0)
        renew();
    project_store::instance().reset();
    try {
        ((*m_receiver).*_handler)(_body);
    } catch (const std::exception&) {
        // What the receiver thread does with a message that throws.
        logger().log_exception(VYR_HERE);
    }
    check_commands();
}

void receiver_harness::check_commands() {
    zmq::message_t frame;
    while (m_param_req->recv(frame, zmq::recv_flags::dontwait))
        check_param_req_command(frame.to_string());
    while (m_sleep->recv(frame, zmq::recv_flags::dontwait))
        check_sleep_command(frame.to_string());
}

}  // namespace fuzz
