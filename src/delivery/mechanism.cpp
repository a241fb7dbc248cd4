#include "delivery/mechanism.h"

#include "context/context.h"
#include "delivery/sender.h"
#include "platform/vyrserver.h"

c_mechanism::c_mechanism(std::shared_ptr<zmq::context_t> _zmq_context,
                         std::shared_ptr<vyr::vyrserver::c_vyrserver> _server, std::shared_ptr<c_sender> _sender,
                         const std::string& _redis_address, int _redis_port,
                         vyr::libs::core::component_logger& _logger)
    : m_server(std::move(_server)),
      m_sender(std::move(_sender)),
      m_zmq_context(std::move(_zmq_context)),
      m_logger(_logger),
      m_redis_address(_redis_address),
      m_redis_port(_redis_port) {}

c_mechanism::~c_mechanism() = default;

void c_mechanism::open_context() {
    m_context = std::make_unique<vyr::context::context>(11, m_redis_address, m_redis_port);
}

bool c_mechanism::thread_init() {
    try {
        open_context();
        m_pipe_out = std::make_unique<zmq::socket_t>(*m_zmq_context, zmq::socket_type::pull);
        m_pipe_out->set(zmq::sockopt::linger, 0);
        m_pipe_out->bind(m_inproc_mechanism_name);
        return true;
    } catch (const std::exception&) {
        m_logger.log_exception(VYR_HERE);
        return false;
    }
}

void c_mechanism::thread_stop() {
    // Every destructor of the hierarchy calls this: once the thread is joined (or never
    // ran) and the pipe is closed there is nothing to stop, and a stop command sent now
    // could meet the closed pipe and block for ever. With no thread, the pipe is this
    // thread's to look at.
    if (!m_thread.joinable() && !m_pipe_out)
        return;
    zmq::socket_t push(*m_zmq_context, zmq::socket_type::push);
    // The stop frame is one byte; if the thread never bound its pipe nobody takes it, and
    // it must not hold the context's termination.
    push.set(zmq::sockopt::linger, 0);
    push.connect(m_inproc_mechanism_name);
    const std::uint8_t stop = 1;
    try {
        (void)push.send(zmq::const_buffer(&stop, 1), zmq::send_flags::none);
    } catch (const zmq::error_t& e) {
        if (e.num() != EAGAIN)
            throw;
    }
    push.disconnect(m_inproc_mechanism_name);
    if (m_thread.joinable())
        m_thread.join();
    push.close();
    // The pipe was made on the mechanism's thread; close it before the context goes.
    m_pipe_out.reset();
}
