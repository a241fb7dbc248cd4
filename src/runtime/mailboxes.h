// The workers' mailboxes: for each inproc PULL endpoint a worker binds (the receiver, the
// parameter-request mechanism, the sleep mechanism), its name and the messages it takes,
// as one type. A sender hands a message to its mailbox, which writes the frame in the
// layout of inproc_commands.h; a message the mailbox does not take does not compile. The
// owner reads a frame back through the same mailbox into one of its messages, or into
// `malformed` (empty, an unknown code, or not the size of its code's layout), never into
// a half-read structure.
//
// The mailbox types are stateless; their functions may be called on any thread with a
// socket of that thread. send() never blocks: a full pipe drops the frame (counted and
// warned by pipe::send), which is an outcome for the sender, not an error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <zmq.hpp>

#include "core/logger.h"
#include "runtime/inproc_commands.h"
#include "runtime/pipe.h"

namespace vyr::mail {

// ---- messages ----------------------------------------------------------------------------

// Every worker's: end the thread.
struct stop {
    static constexpr std::uint8_t code = cmd::stop;
};
// The project mirror changed: a parameter cycle now.
struct context_updated {
    static constexpr std::uint8_t code = cmd::notified;
};
// The alarm kind was read again: the alarm pass runs by itself.
struct alarms_refreshed {
    static constexpr std::uint8_t code = cmd::alarms_refreshed;
};
// A device asks for parameters, by number, in the order of its first mention.
struct param_request {
    static constexpr std::uint8_t code = cmd::request;
    std::string mac;
    std::vector<std::uint32_t> numbers;
};
// The receiver wrote what these devices said (a report, an answer, an announcement): each
// is judged again soon. With `alive_only` they only said they are alive (a heartbeat,
// which lets a device that stopped answering be pushed again), which matters only for a
// device that was not in step when last judged. At most max_macs per frame; the frame is
// the code, the flag (one byte) and one MAC field (cmd_param_req_from_node_t's) per device.
struct devices_changed {
    static constexpr std::uint8_t code = cmd::devices_changed;
    static constexpr std::size_t max_macs = 512;
    std::vector<std::string> macs;
    bool alive_only = false;
};
// An anchor announced itself anew ("NA") / is alive ("HB").
struct anchor_announced {
    static constexpr std::uint8_t code = cmd::node_new_announce;
    std::string mac;
    std::string uid;
};
struct anchor_alive {
    static constexpr std::uint8_t code = cmd::node_heartbeat;
    std::string mac;
    std::string uid;
};
// The server's order to put the anchors of a project (location, sublocation) to sleep.
struct sleep_order {
    static constexpr std::uint8_t code = cmd::request;
    std::uint32_t delay = 0;  // seconds
    std::uint32_t sleep_time = 0;
    std::string project_uid;
    std::string loc_uid;
    std::string sl_uid;
};
// A device confirmed its sleep command.
struct sleep_confirmed {
    static constexpr std::uint8_t code = cmd::notified;
    std::string mac;
};

// A frame that is none of the mailbox's messages.
struct malformed {
    std::optional<std::uint8_t> code;  // none: the frame was empty
    std::size_t size = 0;
    // Whether the frame carried the code of `Message` (and was not of its size).
    template <class Message>
    bool claims() const {
        return code == Message::code;
    }
};

// The frame of each message; false (and nothing written) when a text does not fit its
// field whole. decode() takes exactly the frame encode() writes; a parameter request
// ignores stray bytes after its last whole number.
bool encode(const stop&, std::string& _frame);
bool encode(const context_updated&, std::string& _frame);
bool encode(const alarms_refreshed&, std::string& _frame);
bool encode(const param_request& _message, std::string& _frame);
bool encode(const devices_changed& _message, std::string& _frame);
bool encode(const anchor_announced& _message, std::string& _frame);
bool encode(const anchor_alive& _message, std::string& _frame);
bool encode(const sleep_order& _message, std::string& _frame);
bool encode(const sleep_confirmed& _message, std::string& _frame);
bool decode(std::string_view _frame, stop& _out);
bool decode(std::string_view _frame, context_updated& _out);
bool decode(std::string_view _frame, alarms_refreshed& _out);
bool decode(std::string_view _frame, param_request& _out);
bool decode(std::string_view _frame, devices_changed& _out);
bool decode(std::string_view _frame, anchor_announced& _out);
bool decode(std::string_view _frame, anchor_alive& _out);
bool decode(std::string_view _frame, sleep_order& _out);
bool decode(std::string_view _frame, sleep_confirmed& _out);

// ---- mailboxes ---------------------------------------------------------------------------

enum class sent { yes, queue_full, too_long };

template <class... Messages>
constexpr bool codes_distinct() {
    const std::uint8_t codes[] = {Messages::code...};
    for (std::size_t i = 0; i < sizeof...(Messages); ++i)
        for (std::size_t k = i + 1; k < sizeof...(Messages); ++k)
            if (codes[i] == codes[k])
                return false;
    return true;
}

template <class Box, class... Messages>
struct mailbox {
    static_assert(codes_distinct<Messages...>(), "two messages of a mailbox share a code");
    using message = std::variant<malformed, Messages...>;
    template <class Message>
    static constexpr bool accepts = (std::is_same_v<Message, Messages> || ...);

    // Sends `_message` without blocking on a PUSH socket connected to the endpoint.
    template <class Message>
    static sent send(zmq::socket_t& _socket, const Message& _message, libs::core::component_logger& _logger) {
        static_assert(accepts<Message>, "the mailbox does not take this message");
        std::string frame;
        if (!encode(_message, frame))
            return sent::too_long;
        return pipe::send(_socket, frame.data(), frame.size(), _logger) ? sent::yes : sent::queue_full;
    }
    // Sends `_message` from a thread that holds no socket of the mailbox (see pipe::send_once).
    template <class Message>
    static void send_once(zmq::context_t& _context, const Message& _message) {
        static_assert(accepts<Message>, "the mailbox does not take this message");
        std::string frame;
        if (encode(_message, frame))
            pipe::send_once(_context, Box::endpoint, frame);
    }
    // The message a frame taken from the endpoint holds.
    static message read(std::string_view _frame) {
        if (_frame.empty())
            return malformed{};
        const auto code = static_cast<std::uint8_t>(_frame[0]);
        message result = malformed{code, _frame.size()};
        (void)(read_as<Messages>(_frame, code, result) || ...);
        return result;
    }
    static message read(const zmq::message_t& _frame) {
        return read(std::string_view(static_cast<const char*>(_frame.data()), _frame.size()));
    }

private:
    template <class Message>
    static bool read_as(std::string_view _frame, std::uint8_t _code, message& _result) {
        if (_code != Message::code)
            return false;
        Message decoded;
        if (decode(_frame, decoded))
            _result = std::move(decoded);
        return true;
    }
};

// The receiver's: only the stop.
struct receiver : mailbox<receiver, stop> {
    static constexpr const char* endpoint = "inproc://receiver";
};
// The parameter-request mechanism's: requests, the mirror's and the devices' changes.
struct mech_param_req
    : mailbox<mech_param_req, stop, context_updated, alarms_refreshed, param_request, devices_changed> {
    static constexpr const char* endpoint = "inproc://mech_param_req";
};
// The sleep mechanism's: orders, anchors' announcements and confirmations.
struct mech_sleep : mailbox<mech_sleep, stop, anchor_announced, anchor_alive, sleep_order, sleep_confirmed> {
    static constexpr const char* endpoint = "inproc://mech_sleep";
};

// Visits a read message with one lambda per type: std::visit(overloaded{...}, message).
template <class... Handlers>
struct overloaded : Handlers... {
    using Handlers::operator()...;
};
template <class... Handlers>
overloaded(Handlers...) -> overloaded<Handlers...>;

}  // namespace vyr::mail
