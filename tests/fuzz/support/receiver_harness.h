// The receiver as the fuzz targets of its topics drive it: a real c_receiver whose
// sockets and Redis connection belong to the fuzzing thread (open() instead of start()),
// an updater that records requests but never runs, and PULL sockets in the place of both
// mechanisms. Each input runs on the freshly restored project mirror, with exceptions
// caught and logged as the receiver thread does, and every command the handler sent is
// checked against the layouts of commands.h. Fuzzing thread only.
#pragma once

#include <memory>
#include <string>

#include <zmq.hpp>

#include "input/receiver.h"

namespace vyr {
class updater;
}

namespace fuzz {

class receiver_harness {
public:
    using handler_t = void (c_receiver::*)(const std::string&) const;

    static receiver_harness& instance();

    // Runs one message body through `_handler`.
    void run(handler_t _handler, const std::string& _body);

private:
    receiver_harness();
    // A new ZeroMQ context, updater and receiver: the updater's request lists only grow
    // while it never runs, so they are replaced now and then.
    void renew();
    void check_commands();

    std::shared_ptr<zmq::context_t> m_zmq_context;
    std::unique_ptr<zmq::socket_t> m_param_req;
    std::unique_ptr<zmq::socket_t> m_sleep;
    std::shared_ptr<vyr::updater> m_updater;
    std::unique_ptr<c_receiver> m_receiver;
    unsigned m_runs = 0;
};

}  // namespace fuzz
