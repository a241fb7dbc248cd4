#include "runtime/pipe.h"

#include <atomic>
#include <cerrno>

#include <zmq.hpp>

#include "common/metrics.h"

namespace vyr::pipe {

namespace {

std::atomic<std::uint64_t> s_dropped{0};

}  // namespace

void set_high_water_mark(zmq::socket_t& _socket) {
    _socket.set(zmq::sockopt::sndhwm, s_high_water_mark);
    _socket.set(zmq::sockopt::rcvhwm, s_high_water_mark);
}

bool send(zmq::socket_t& _socket, const void* _data, std::size_t _size, vyr::libs::core::component_logger& _logger) {
    if (_socket.send(zmq::const_buffer(_data, _size), zmq::send_flags::dontwait))
        return true;
    const auto dropped = ++s_dropped;
    vyr::metrics::add(vyr::metrics::counter::inproc_commands_dropped);
    if (dropped % 1000 == 1)
        _logger.warning("an inproc pipe is full: command dropped (%1% dropped so far)") % dropped;
    return false;
}

void send_once(zmq::context_t& _context, const std::string& _endpoint, std::string_view _frame) {
    try {
        zmq::socket_t push(_context, zmq::socket_type::push);
        // The frame must not hold the context's termination when nobody takes it.
        push.set(zmq::sockopt::linger, 0);
        push.connect(_endpoint);
        (void)push.send(zmq::const_buffer(_frame.data(), _frame.size()), zmq::send_flags::none);
        push.disconnect(_endpoint);
    } catch (const zmq::error_t& e) {
        if (e.num() != EAGAIN && e.num() != ETERM)
            throw;
    }
}

std::uint64_t dropped() noexcept { return s_dropped.load(); }

}  // namespace vyr::pipe
