#include "input/receiver.h"

#include "common/globals.h"
#include "context/context.h"
#include "platform/updater.h"
#include "redis/database.h"
#include "runtime/inproc_commands.h"
#include "runtime/pipe.h"

const std::string notify_tag = "#notify";
const std::string hw_report_tag = "#hw_report";
const std::string srv_conf_tag = "#srv_conf";
const std::string param_p_tag = "#param_p";
const std::string alarm_tag = "#alarm";

namespace {

// Sockets of the receiver never hold the context's termination for long: commands not
// yet taken by a mechanism are of no use once the service stops.
constexpr int s_linger_ms = 0;
// Proxy frames handled before the stop pipe is looked at again.
constexpr int s_frames_per_wakeup = 64;

}  // namespace

c_receiver::c_receiver(std::shared_ptr<zmq::context_t> _zmq_context, const std::string& _addr,
                       std::shared_ptr<vyr::updater> _updater, const std::string& _redis_address, int _redis_port,
                       vyr::libs::core::component_logger& _logger)
    : m_addr(_addr),
      m_zmq_context(std::move(_zmq_context)),
      m_updater(std::move(_updater)),
      m_redis_address(_redis_address),
      m_redis_port(_redis_port),
      m_logger(_logger),
      m_worker("receiver", _logger, [this] { vyr::worker_thread::send_stop(*m_zmq_context, s_pipe_endpoint); }) {}

c_receiver::~c_receiver() {
    m_worker.stop();
    m_context.reset();
    m_updater.reset();
    m_proxy_socket.reset();
    m_pipe_output_socket.reset();
    m_mech_sleep_socket.reset();
    m_mech_param_req_socket.reset();
}

void c_receiver::open() {
    m_pipe_output_socket = std::make_unique<zmq::socket_t>(*m_zmq_context, zmq::socket_type::pull);
    m_pipe_output_socket->set(zmq::sockopt::linger, s_linger_ms);
    m_pipe_output_socket->bind(s_pipe_endpoint);

    m_proxy_socket = std::make_unique<zmq::socket_t>(*m_zmq_context, zmq::socket_type::sub);
    m_proxy_socket->set(zmq::sockopt::rcvtimeo, 0);
    m_proxy_socket->set(zmq::sockopt::linger, s_linger_ms);
    m_proxy_socket->connect(m_addr);
    for (const auto* tag : {&notify_tag, &srv_conf_tag, &hw_report_tag, &param_p_tag, &alarm_tag})
        m_proxy_socket->set(zmq::sockopt::subscribe, *tag);

    m_mech_sleep_socket = std::make_unique<zmq::socket_t>(*m_zmq_context, zmq::socket_type::push);
    m_mech_sleep_socket->set(zmq::sockopt::linger, s_linger_ms);
    vyr::pipe::set_high_water_mark(*m_mech_sleep_socket);
    m_mech_sleep_socket->connect(s_mech_sleep_endpoint);
    m_mech_param_req_socket = std::make_unique<zmq::socket_t>(*m_zmq_context, zmq::socket_type::push);
    m_mech_param_req_socket->set(zmq::sockopt::linger, s_linger_ms);
    vyr::pipe::set_high_water_mark(*m_mech_param_req_socket);
    m_mech_param_req_socket->connect(s_mech_param_req_endpoint);

    m_context = std::make_unique<vyr::context::context>(vyr::redis::service_database, m_redis_address, m_redis_port);
}

void c_receiver::start() {
    m_worker.start({[this] {
                        open();
                        return true;
                    },
                    [this] { return pass(); }, nullptr});
}

bool c_receiver::pass() {
    zmq::pollitem_t items[] = {
        {m_pipe_output_socket->handle(), 0, ZMQ_POLLIN, 0},
        {m_proxy_socket->handle(), 0, ZMQ_POLLIN, 0},
    };
    zmq::poll(items, 2, std::chrono::milliseconds(-1));
    if (items[0].revents & ZMQ_POLLIN) {
        zmq::message_t command;
        if (m_pipe_output_socket->recv(command, zmq::recv_flags::dontwait) && command.size() == 1 &&
            *static_cast<const std::uint8_t*>(command.data()) == vyr::cmd::stop)
            return false;
    }
    if (items[1].revents & ZMQ_POLLIN) {
        // A batch per wake-up, not until the queue runs dry: under a flood it never does,
        // and the stop command on the pipe must still be seen between batches.
        for (int taken = 0; taken < s_frames_per_wakeup; ++taken) {
            zmq::message_t frame;
            if (!m_proxy_socket->recv(frame))
                break;  // drained (receive time-out 0)
            // One bad frame is logged and does not cost the rest of the batch.
            if (m_worker.guard([&] { dispatch(frame.to_string()); }) == vyr::worker_thread::outcome::ended)
                return false;
        }
    }
    return true;
}

void c_receiver::dispatch(const std::string& _frame) const {
    if (_frame.empty())
        return;
    struct route {
        const std::string& tag;
        void (c_receiver::*handler)(const std::string&) const;
    };
    static const route routes[] = {
        {notify_tag, &c_receiver::process_notify},   {hw_report_tag, &c_receiver::process_hw_report},
        {srv_conf_tag, &c_receiver::process_srv_conf}, {param_p_tag, &c_receiver::process_param_p},
        {alarm_tag, &c_receiver::process_alarm},
    };
    for (const auto& r : routes) {
        const auto position = _frame.find(r.tag);
        if (position != std::string::npos) {
            (this->*r.handler)(_frame.substr(position + r.tag.size()));
            return;
        }
    }
}

void c_receiver::send_command(zmq::socket_t& _socket, const void* _data, std::size_t _size) const {
    (void)vyr::pipe::send(_socket, _data, _size, m_logger);
}

void c_receiver::send_context_updated_notification() const {
    send_command(*m_mech_param_req_socket, &vyr::cmd::notified, sizeof vyr::cmd::notified);
}
