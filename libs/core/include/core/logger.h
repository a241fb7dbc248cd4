// The process logger. One `logger` is created first in main() and passed by reference to
// every component; `component_logger`s made from it only change the component name in
// the debug-socket prefix and keep their own indentation depth. Any thread may log:
// syslog is called without a lock, the debug socket is used under m_socket_mutex, and
// every flag is atomic. A log statement never throws and never ends the process.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include <boost/format.hpp>
#include <zmq.hpp>

#include "core/exception.h"
#include "core/mutex.h"
#include "core/source_location.h"

struct iovec;

namespace vyr::libs::core {

class logger;

// A device's MAC among a record's arguments (`% device_mac{mac}`): printed as its text,
// and attached to the record as the journal field RTLS_MAC, so that `journalctl -u
// rtls-quorvane RTLS_MAC=<mac>` follows one device. A view: made inside the statement.
struct device_mac {
    std::string_view text;
};

struct timestamp {
    std::chrono::time_point<std::chrono::system_clock, std::chrono::milliseconds> m_time_point;
};

// "YYYY-MM-DD HH:MM:SS.mmm " (UTC) for a time in milliseconds since the epoch.
std::string format_time(std::int64_t _milliseconds_since_epoch);

class component_logger {
public:
    // One log record under construction: feed arguments with %, attach a location; the
    // record is written when the formatter is destroyed at the end of the statement.
    // A format error (bad format text, too few or too many arguments) does not throw:
    // the record is written with the raw format text and a "bad log format" marker.
    // A debug record goes nowhere (and is not formatted) unless local debugging is on or
    // a debug console takes it.
    class formatter {
    public:
        formatter(component_logger& _logger, int _level, std::string_view _format);
        formatter(formatter&&) = default;
        formatter(const formatter&) = delete;
        formatter& operator=(const formatter&) = delete;
        ~formatter();

        template <class T>
        formatter& operator%(const T& _argument) noexcept {
            if (m_format && !m_bad_format) {
                try {
                    *m_format % _argument;
                } catch (...) {
                    m_bad_format = true;
                }
            }
            return *this;
        }
        // A device's MAC: an argument like any other, and the record's RTLS_MAC field (the
        // first one given, when a record names several).
        formatter& operator%(const device_mac& _mac) noexcept {
            if (m_format && !m_bad_format && m_mac.empty()) {
                try {
                    m_mac.assign(_mac.text);
                } catch (...) {
                }
            }
            return *this % _mac.text;
        }

        formatter& location(const source_location& _location) noexcept;
        formatter& function(const source_location& _location) noexcept;
        formatter& short_function(const source_location& _location) noexcept;
        formatter& date_time(timestamp _timestamp) noexcept;

    private:
        std::string body() const;

        std::optional<boost::format> m_format;
        std::string m_raw_format;
        std::string m_mac;
        bool m_bad_format = false;
        int m_log_level;
        component_logger* m_logger;
        std::optional<source_location> m_source_location;
        std::string m_function;
        std::optional<timestamp> m_timestamp;
    };

    // A scope of nested log output: created by enter_*, it lowers the indentation again
    // when destroyed.
    class indent_guard {
    public:
        explicit indent_guard(component_logger& _logger) : m_logger(_logger) {}
        ~indent_guard() { --m_logger.m_indent; }
        indent_guard(const indent_guard&) = delete;
        indent_guard& operator=(const indent_guard&) = delete;

    private:
        component_logger& m_logger;
    };

    component_logger(logger& _logger, std::string_view _module_name, std::string_view _component_name);
    virtual ~component_logger() = default;
    component_logger(const component_logger&) = delete;
    component_logger& operator=(const component_logger&) = delete;

    formatter debug(std::string_view _format) { return formatter(*this, 7, _format); }
    formatter info(std::string_view _format) { return formatter(*this, 6, _format); }
    formatter warning(std::string_view _format) { return formatter(*this, 4, _format); }
    formatter error(std::string_view _format) { return formatter(*this, 3, _format); }

    // Another component of the same logger; must not outlive it.
    std::unique_ptr<component_logger> component(std::string_view _component_name);

    std::string make_indent() const;

    [[nodiscard]] std::unique_ptr<indent_guard> enter_function(const source_location& _location);
    [[nodiscard]] std::unique_ptr<indent_guard> enter_function_short(const source_location& _location,
                                                                     std::string_view _name);
    [[nodiscard]] std::unique_ptr<indent_guard> enter_scope(std::string_view _name);
    [[nodiscard]] std::unique_ptr<indent_guard> enter_scope(const source_location& _location);
    [[nodiscard]] std::unique_ptr<indent_guard> enter_scope(const source_location& _location, std::string_view _name);

    // Inside a catch block: logs the exception being handled at error level.
    void log_exception();
    // "Caught exeption" with the location, then the exception being handled.
    void log_exception(const source_location& _location);
    void log_exception(const located_exception& _e);
    void log_error(const std::error_code& _code, const source_location& _location);

    logger& owner() noexcept { return m_logger; }
    const std::string& zmq_prefix() const noexcept { return m_zmq_prefix; }

private:
    friend class formatter;
    friend class indent_guard;

    void emit(int _level, std::int64_t _milliseconds, const std::string& _body, const std::string& _mac) noexcept;

    std::atomic<std::int32_t> m_indent{0};
    logger& m_logger;
    std::string m_module_name;
    std::string m_zmq_prefix;
};

class logger : public component_logger {
public:
    // Opens syslog under the module name and creates the (unconnected) debug socket on
    // a private ZeroMQ context. Throws zmq::error_t if the socket cannot be made.
    logger(std::string_view _module_name, std::string_view _component_name);
    ~logger() override;

    // Connects the debug socket to a ZeroMQ endpoint; throws zmq::error_t on failure.
    void connect(const std::string& _address) VYR_EXCLUDES(m_socket_mutex);

    void set_debug(bool _on);
    bool is_debug() const noexcept { return m_debug; }
    void set_writing_to_socket(bool _on) noexcept { m_writing_to_socket = _on; }
    bool is_writing_to_socket() const noexcept { return m_writing_to_socket; }
    bool is_logger_enabled() const noexcept { return m_enable_logger; }
    void set_logger_enabled(bool _on) noexcept { m_enable_logger = _on; }
    // What hands a record's fields ("NAME=value" each) to journald: sd_journal_sendv when
    // the journal's socket existed at construction, none (syslog) otherwise. A negative
    // result sends that record to syslog instead. Set before other threads log.
    using journal_sender = std::function<int(const iovec*, int)>;
    void set_journal_sender(journal_sender _sender) { m_journal = std::move(_sender); }

private:
    friend class component_logger;

    // Hands a record to journald; false when there is none or it refused the record.
    bool send_to_journal(int _level, const std::string& _text, const std::string& _mac) noexcept;
    // Sends one frame without blocking; EAGAIN and every other failure drop the frame.
    void send_frame(const std::string& _frame) noexcept VYR_EXCLUDES(m_socket_mutex);
    // Whether a frame sent now would be queued: writing to the socket is on and a
    // console is connected with room for it. The socket is asked at most every
    // s_console_recheck (asking costs a look at its command queue, and a debug record is
    // written for every frame sent to the devices); in between the last answer holds, or
    // what became of the last frame sent.
    bool console_takes_frames() noexcept VYR_EXCLUDES(m_socket_mutex);
    void note_console(bool _takes, std::int64_t _now_ns) noexcept;
    static std::int64_t steady_ns() noexcept;
    static constexpr std::chrono::milliseconds s_console_recheck{50};

    // Constant after construction.
    const std::string m_module_name;  // syslog keeps a pointer to its characters
    // Set at construction (or by a test before other threads log).
    journal_sender m_journal;
    // Switched by any thread at any time.
    std::atomic<bool> m_debug{false};
    std::atomic<bool> m_writing_to_socket{true};
    std::atomic<bool> m_enable_logger{true};
    // The socket's last answer for console_takes_frames, and when it was given (steady
    // clock, ns since its epoch; 0: never asked).
    std::atomic<bool> m_console_took{false};
    std::atomic<std::int64_t> m_console_asked_ns{0};
    // The debug socket's own context: made by the constructor, closed by the destructor.
    zmq::context_t m_zmq_context;

    // Guarded by m_socket_mutex.
    mutex m_socket_mutex;
    zmq::socket_t m_debug_socket VYR_GUARDED_BY(m_socket_mutex);
};

}  // namespace vyr::libs::core
