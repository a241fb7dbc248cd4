#include "support/log_sink.h"

#include <gtest/gtest.h>

namespace test {

namespace {

bool ends_with(const std::string& _text, const std::string& _end) {
    return _text.size() >= _end.size() && _text.compare(_text.size() - _end.size(), _end.size(), _end) == 0;
}

}  // namespace

log_sink::log_sink() {
    m_pull.bind("tcp://127.0.0.1:*");
    m_endpoint = m_pull.get(zmq::sockopt::last_endpoint);
}

std::vector<std::string> log_sink::connect(vyr::libs::core::logger& _logger) {
    _logger.connect(m_endpoint);
    std::vector<std::string> seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int probe = 0; std::chrono::steady_clock::now() < deadline; ++probe) {
        _logger.info("log_sink probe %1%") % probe;
        if (auto frame = receive(std::chrono::milliseconds(20))) {
            seen.push_back(*frame);
            for (auto& frame : frames_until_marker(_logger))
                seen.push_back(std::move(frame));
            return seen;
        }
    }
    ADD_FAILURE() << "no log frame reached " << m_endpoint;
    return seen;
}

std::vector<std::string> log_sink::frames_until_marker(vyr::libs::core::component_logger& _logger) {
    const std::string marker = "log_sink marker " + std::to_string(++m_marker);
    _logger.info("%1%") % marker;
    std::vector<std::string> frames;
    while (auto frame = receive(std::chrono::seconds(10))) {
        if (ends_with(*frame, " " + marker))
            return frames;
        frames.push_back(std::move(*frame));
    }
    ADD_FAILURE() << "the marker frame did not arrive";
    return frames;
}

std::optional<std::string> log_sink::receive(std::chrono::milliseconds _timeout) { return test::receive(m_pull, _timeout); }

std::optional<std::string> receive(zmq::socket_t& _socket, std::chrono::milliseconds _timeout) {
    zmq::pollitem_t item{_socket.handle(), 0, ZMQ_POLLIN, 0};
    if (zmq::poll(&item, 1, _timeout) <= 0)
        return std::nullopt;
    zmq::message_t frame;
    if (!_socket.recv(frame, zmq::recv_flags::dontwait))
        return std::nullopt;
    return frame.to_string();
}

std::string log_sink::next_frame() {
    auto frame = receive(std::chrono::seconds(10));
    if (!frame) {
        ADD_FAILURE() << "no log frame within 10 s";
        return "";
    }
    return *frame;
}

std::string frame_message(const std::string& _frame) {
    // prefix up to the first blank, then 24 characters of time stamp
    const auto blank = _frame.find(' ');
    if (blank == std::string::npos || _frame.size() < blank + 1 + 24)
        return "";
    return _frame.substr(blank + 1 + 24);
}

std::optional<long> stop_milliseconds(log_sink& _sink, std::chrono::milliseconds _bound) {
    static const std::string s_record = "workers stopped in ";
    const auto deadline = std::chrono::steady_clock::now() + _bound;
    for (auto now = deadline - _bound; now < deadline; now = std::chrono::steady_clock::now()) {
        const auto frame = _sink.receive(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now));
        const auto at = frame ? frame->find(s_record) : std::string::npos;
        if (at != std::string::npos)
            return std::stol(frame->substr(at + s_record.size()));
    }
    return std::nullopt;
}

}  // namespace test
