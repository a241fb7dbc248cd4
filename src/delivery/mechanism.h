// Base of the two delivery workers (parameter requests, sleep orders). It holds what
// every mechanism needs, owns the mechanism's worker thread, and gives it an inproc PULL
// socket (its pipe) on which the receiver and the stop send binary commands. The pipe and
// the Redis context are created and used only on the mechanism's own thread; the
// destroying thread touches them only after the join.
#pragma once

#include <memory>
#include <string>

#include <zmq.hpp>

#include "core/logger.h"
#include "runtime/worker_thread.h"

class c_sender;
namespace vyr::vyrserver {
class c_vyrserver;
}
namespace vyr::context {
class context;
}

class c_mechanism {
public:
    // Stores its arguments; creates no socket, no connection and no thread. `_name` names
    // the thread in the log, `_inproc_name` is the pipe's endpoint.
    c_mechanism(const std::string& _name, const std::string& _inproc_name,
                std::shared_ptr<zmq::context_t> _zmq_context, std::shared_ptr<vyr::vyrserver::c_vyrserver> _server,
                std::shared_ptr<c_sender> _sender, const std::string& _redis_address, int _redis_port,
                vyr::libs::core::component_logger& _logger);
    // Derived destructors call thread_stop() first: the thread runs their passes, so it
    // must end before their members go.
    virtual ~c_mechanism() = 0;
    c_mechanism(const c_mechanism&) = delete;
    c_mechanism& operator=(const c_mechanism&) = delete;

    // One pass of the mechanism's loop, on its thread; false ends the thread.
    virtual bool thread_pass() = 0;
    // On the mechanism's thread, before the first pass: opens the Redis context and binds
    // the pipe. A failure is logged and gives false; the thread then calls stop_all().
    virtual bool thread_init();
    // Opens the Redis context on the calling thread, for a caller that uses the
    // mechanism's builders and checks from its own thread (the status tool) and never
    // start()s it. Throws the Redis client's exceptions.
    void open_context();
    // Sends the stop command on the pipe and joins the thread; returns at once when there
    // is nothing to stop (thread joined or never started, pipe closed), so every
    // destructor of the hierarchy may call it.
    void thread_stop();

    // Starts the mechanism's own thread: thread_init(), then thread_pass() until it ends.
    void start();
    const std::string& inproc_name() const noexcept { return m_inproc_mechanism_name; }

protected:
    std::shared_ptr<vyr::vyrserver::c_vyrserver> m_server;
    std::shared_ptr<c_sender> m_sender;
    std::shared_ptr<zmq::context_t> m_zmq_context;
    // Mechanism thread only.
    std::unique_ptr<zmq::socket_t> m_pipe_out;
    // Constant after construction.
    const std::string m_inproc_mechanism_name;
    // Mechanism thread only.
    std::unique_ptr<vyr::context::context> m_context;
    vyr::libs::core::component_logger& m_logger;
    std::string m_redis_address;
    const int m_redis_port;
    // Last, so that it is joined before any other member goes.
    vyr::worker_thread m_worker;
};
