// The wire form of the binary commands that travel between threads over inproc sockets:
// one frame whose first byte is the command code. Layouts are packed C structures with
// natural alignment; text fields are NUL-padded to their full size and may lack a
// terminator when the text fills the field, so readers use field_text() rather than
// strlen. Only the mailboxes (mailboxes.h) write and read these frames; the workers send
// and take typed messages. Constants and pure functions: any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace vyr::cmd {

// Command codes.
constexpr std::uint8_t stop = 1;
constexpr std::uint8_t node_new_announce = 2;  // WIN "NA" (sleep channel)
constexpr std::uint8_t node_heartbeat = 3;     // WIN "HB" (sleep channel)
constexpr std::uint8_t request = 7;            // parameter request / put to sleep
constexpr std::uint8_t notified = 8;           // hardware report / context updated
constexpr std::uint8_t alarms_refreshed = 9;   // the alarm kind was read again (parameter requests)
constexpr std::uint8_t devices_changed = 10;   // WIN records written (parameter requests)

// Size of a uid field: the longest uid a command carries whole. A sender refuses a
// longer uid (see fits_field) rather than cut it.
constexpr std::size_t uid_size = 64;

}  // namespace vyr::cmd

struct cmd_param_req_from_node_t {
    std::uint8_t cmd;
    char mac[17];
};

struct cmd_node_notified_t {
    std::uint8_t cmd;
    char mac[17];
};

struct cmd_notify_from_node_t {
    std::uint8_t cmd;
    char mac[17];
    char uid[vyr::cmd::uid_size];
};

struct cmd_put_to_sleep_t {
    std::uint8_t cmd;
    std::uint32_t delay;  // seconds; the node command carries at most 65535 of them
    std::uint32_t sleep_time;
    char project_uid[vyr::cmd::uid_size];
    char loc_uid[vyr::cmd::uid_size];
    char sl_uid[vyr::cmd::uid_size];
};

static_assert(sizeof(cmd_param_req_from_node_t) == 18);
static_assert(offsetof(cmd_param_req_from_node_t, mac) == 1);
static_assert(sizeof(cmd_node_notified_t) == 18);
static_assert(offsetof(cmd_node_notified_t, mac) == 1);
static_assert(sizeof(cmd_notify_from_node_t) == 82);
static_assert(offsetof(cmd_notify_from_node_t, mac) == 1);
static_assert(offsetof(cmd_notify_from_node_t, uid) == 18);
static_assert(sizeof(cmd_put_to_sleep_t) == 204);
static_assert(offsetof(cmd_put_to_sleep_t, delay) == 4);
static_assert(offsetof(cmd_put_to_sleep_t, sleep_time) == 8);
static_assert(offsetof(cmd_put_to_sleep_t, project_uid) == 12);
static_assert(offsetof(cmd_put_to_sleep_t, loc_uid) == 76);
static_assert(offsetof(cmd_put_to_sleep_t, sl_uid) == 140);

namespace vyr::cmd {

// The text of a fixed-size field: up to the first NUL, never past the field.
template <std::size_t N>
std::string field_text(const char (&_field)[N]) {
    const void* nul = std::memchr(_field, '\0', N);
    const std::size_t length = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - _field) : N;
    return std::string(_field, length);
}

// Fills a field as strncpy does: the text, then NULs up to the field's size.
template <std::size_t N>
void set_field(char (&_field)[N], std::string_view _text) {
    std::memset(_field, 0, N);
    std::memcpy(_field, _text.data(), _text.size() < N ? _text.size() : N);
}

// Whether `_text` fits a field whole (filling it without a terminator counts).
template <std::size_t N>
constexpr bool fits_field(const char (&)[N], std::string_view _text) {
    return _text.size() <= N;
}

// Copies a frame into a command structure when it is at least that long.
template <class T>
bool read_command(const void* _data, std::size_t _size, T& _out) {
    if (_size < sizeof(T))
        return false;
    std::memcpy(&_out, _data, sizeof(T));
    return true;
}

}  // namespace vyr::cmd
