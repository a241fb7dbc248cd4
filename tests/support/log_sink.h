// A debug console inside a test: a PULL socket bound on a loopback TCP port that a
// logger connects to, so a test can read the log frames the code under test writes.
// The logger keeps a private ZeroMQ context, hence tcp and not inproc. Owned and used by
// one test thread.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <zmq.hpp>

#include "core/logger.h"

namespace test {

class log_sink {
public:
    log_sink();

    const std::string& endpoint() const noexcept { return m_endpoint; }

    // Connects `_logger` and waits until its frames arrive (records logged before the
    // connection is up are dropped): logs numbered probes until one comes through, then
    // reads up to an end marker so the queue is empty afterwards. Returns every frame
    // seen on the way. Fails the test when nothing arrives within 20 s.
    std::vector<std::string> connect(vyr::libs::core::logger& _logger);

    // The next frame, or nothing after `_timeout`.
    std::optional<std::string> receive(std::chrono::milliseconds _timeout);
    // The next frame; fails the test (and returns "") when none comes within 10 s.
    std::string next_frame();
    // Logs an end marker through `_logger` and returns every frame before it.
    std::vector<std::string> frames_until_marker(vyr::libs::core::component_logger& _logger);

private:
    zmq::context_t m_context{1};
    zmq::socket_t m_pull{m_context, zmq::socket_type::pull};
    std::string m_endpoint;
    int m_marker = 0;
};

// The message of a frame: what follows "&module:component YYYY-MM-DD HH:MM:SS.mmm ".
std::string frame_message(const std::string& _frame);

// Reads `_sink` until the service's record of its stop ("workers stopped in N ms"), at
// most `_bound`: N, or nothing when no such record came. The service's own measure, so
// that a loaded machine's late scheduling of the test is not taken for a slow stop.
std::optional<long> stop_milliseconds(log_sink& _sink, std::chrono::milliseconds _bound);

// The next frame on `_socket`, or nothing after `_timeout`.
std::optional<std::string> receive(zmq::socket_t& _socket, std::chrono::milliseconds _timeout);

}  // namespace test
