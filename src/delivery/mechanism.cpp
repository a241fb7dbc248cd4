#include "delivery/mechanism.h"

#include <cerrno>
#include <chrono>
#include <thread>

#include "context/context.h"
#include "delivery/sender.h"
#include "platform/vyrserver.h"
#include "redis/database.h"
#include "runtime/pipe.h"

c_mechanism::c_mechanism(const std::string& _name, const std::string& _inproc_name,
                         std::shared_ptr<zmq::context_t> _zmq_context,
                         std::shared_ptr<vyr::vyrserver::c_vyrserver> _server, std::shared_ptr<c_sender> _sender,
                         const std::string& _redis_address, int _redis_port,
                         vyr::libs::core::component_logger& _logger)
    : m_server(std::move(_server)),
      m_sender(std::move(_sender)),
      m_zmq_context(std::move(_zmq_context)),
      m_inproc_mechanism_name(_inproc_name),
      m_logger(_logger),
      m_redis_address(_redis_address),
      m_redis_port(_redis_port),
      m_worker(_name, _logger, [this] { vyr::worker_thread::send_stop(*m_zmq_context, m_inproc_mechanism_name); }) {}

c_mechanism::~c_mechanism() = default;

void c_mechanism::open_context() {
    m_context = std::make_unique<vyr::context::context>(vyr::redis::service_database, m_redis_address, m_redis_port);
}

bool c_mechanism::thread_init() {
    try {
        open_context();
        m_pipe_out = std::make_unique<zmq::socket_t>(*m_zmq_context, zmq::socket_type::pull);
        m_pipe_out->set(zmq::sockopt::linger, 0);
        vyr::pipe::set_high_water_mark(*m_pipe_out);
        // A mechanism of the previous lease term bound the same name: the context lets go
        // of it only once its reaper thread has closed that socket, a moment after.
        for (int tries = 1;; ++tries) {
            try {
                m_pipe_out->bind(m_inproc_mechanism_name);
                break;
            } catch (const zmq::error_t& e) {
                if (e.num() != EADDRINUSE || tries == 100)
                    throw;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        return true;
    } catch (const std::exception&) {
        m_logger.log_exception(VYR_HERE);
        return false;
    }
}

void c_mechanism::start() {
    m_worker.start({[this] { return thread_init(); }, [this] { return thread_pass(); }, nullptr});
}

void c_mechanism::thread_stop() {
    // Every destructor of the hierarchy calls this: once the thread is joined (or never
    // ran) the worker sends nothing, as a stop command could meet the closed pipe and stay
    // queued for the next socket bound there.
    m_worker.stop();
    // The pipe was made on the mechanism's thread (or on the caller's, which then never
    // started the thread); close it before the context goes.
    m_pipe_out.reset();
}
