// Base of the two delivery workers (parameter requests, sleep orders). It holds what
// every mechanism needs, owns the mechanism's thread, and gives it an inproc PULL socket
// (its pipe) on which the receiver and the destructor send binary commands. The pipe and
// the Redis context are created and used only on the mechanism's own thread; the
// destroying thread touches them only after the join.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include <zmq.hpp>

#include "core/logger.h"

class c_sender;
namespace vyr::vyrserver {
class c_vyrserver;
}
namespace vyr::context {
class context;
}

class c_mechanism {
public:
    // Stores its arguments; creates no socket, no connection and no thread.
    c_mechanism(std::shared_ptr<zmq::context_t> _zmq_context, std::shared_ptr<vyr::vyrserver::c_vyrserver> _server,
                std::shared_ptr<c_sender> _sender, const std::string& _redis_address, int _redis_port,
                vyr::libs::core::component_logger& _logger);
    // Derived destructors call thread_stop() first: a joinable thread here ends the process.
    virtual ~c_mechanism() = 0;
    c_mechanism(const c_mechanism&) = delete;
    c_mechanism& operator=(const c_mechanism&) = delete;

    // The mechanism's loop; starts with thread_init() and calls stop_all() if it fails.
    virtual void thread_body() = 0;
    // On the mechanism's thread: opens the Redis context and binds the pipe.
    virtual bool thread_init();
    // Opens the Redis context on the calling thread, for a caller that uses the
    // mechanism's builders and checks from its own thread (the status tool) and never
    // start()s it. Throws the Redis client's exceptions.
    void open_context();
    // Sends the stop command on the pipe and joins the thread; returns at once when there
    // is nothing to stop (thread joined or never started, pipe closed), so every
    // destructor of the hierarchy may call it.
    void thread_stop();

    // Starts thread_body() on the mechanism's own thread.
    void start() { m_thread = std::thread([this] { thread_body(); }); }
    const std::string& inproc_name() const noexcept { return m_inproc_mechanism_name; }

protected:
    std::shared_ptr<vyr::vyrserver::c_vyrserver> m_server;
    std::shared_ptr<c_sender> m_sender;
    std::shared_ptr<zmq::context_t> m_zmq_context;
    // Mechanism thread only.
    std::unique_ptr<zmq::socket_t> m_pipe_out;
    // Set by the derived constructor.
    std::string m_inproc_mechanism_name;
    // Mechanism thread only.
    std::unique_ptr<vyr::context::context> m_context;
    vyr::libs::core::component_logger& m_logger;
    std::thread m_thread;
    std::string m_redis_address;
    const int m_redis_port;
};
