// The inproc pipes that carry commands between the service's threads (the mailboxes of
// mailboxes.h use them): one high-water mark for both ends, the one way a producer sends on
// them, which never blocks and never loses a frame silently, and the way a thread that
// owns no socket of a pipe sends one command on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/logger.h"

namespace zmq {
class context_t;
class socket_t;
}

namespace vyr::pipe {

// Frames each end of a pipe holds (the sender's and the receiver's side add up). At
// start every device of a site announces itself and asks for its parameters at once,
// tens of thousands of small frames while a mechanism may be busy; the frames are tens
// of bytes, so even a full pipe stays a few megabytes.
constexpr int s_high_water_mark = 200000;

// Sets the high-water mark of a pipe end; before its bind or connect.
void set_high_water_mark(zmq::socket_t& _socket);

// Sends one frame without blocking. A pipe that is full drops it: that is counted, the
// first drop and every thousandth are warned about, and the result is false.
bool send(zmq::socket_t& _socket, const void* _data, std::size_t _size, vyr::libs::core::component_logger& _logger);

// Sends the frame `_frame` (or the one-byte command `_code`) to the PULL end bound at `_endpoint`, from any thread:
// a socket made for it on the calling thread (sockets belong to the thread that made
// them), closed at once without lingering. When nothing is bound there (not yet, or no
// more) the frame is dropped with that socket. A send that would block (EAGAIN) or a
// terminated context (ETERM) drops it too; any other ZeroMQ error is thrown.
void send_once(zmq::context_t& _context, const std::string& _endpoint, std::string_view _frame);
inline void send_once(zmq::context_t& _context, const std::string& _endpoint, std::uint8_t _code) {
    send_once(_context, _endpoint, std::string_view(reinterpret_cast<const char*>(&_code), 1));
}

// Frames dropped by send() since the start, over all pipes.
std::uint64_t dropped() noexcept;

}  // namespace vyr::pipe
