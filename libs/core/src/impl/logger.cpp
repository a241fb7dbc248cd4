#include "core/logger.h"

#include <sys/uio.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include <systemd/sd-journal.h>

namespace vyr::libs::core {

std::string format_time(std::int64_t _ms) {
    const std::time_t seconds = static_cast<std::time_t>(_ms / 1000);
    std::tm calendar{};
    gmtime_r(&seconds, &calendar);
    char date[32];
    const auto length = std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &calendar);
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03d ", static_cast<int>(_ms % 1000));
    return std::string(date, length) + millis;
}

// ---- formatter -------------------------------------------------------------------

component_logger::formatter::formatter(component_logger& _logger, int _level, std::string_view _format)
    : m_log_level(_level), m_logger(&_logger) {
    // A debug record that neither syslog (its mask) nor the debug socket would take is
    // not even formatted: some are written for every frame sent.
    if (_level >= LOG_DEBUG && !_logger.m_logger.is_debug() && !_logger.m_logger.console_takes_frames()) {
        m_logger = nullptr;
        return;
    }
    m_raw_format = std::string(_format);
    try {
        m_format.emplace(m_raw_format);
    } catch (...) {
        m_bad_format = true;
    }
}

component_logger::formatter& component_logger::formatter::location(const source_location& _location) noexcept {
    m_source_location = _location;
    return *this;
}

component_logger::formatter& component_logger::formatter::function(const source_location& _location) noexcept {
    try {
        m_function = std::string(_location.function());
    } catch (...) {
    }
    return *this;
}

component_logger::formatter& component_logger::formatter::short_function(const source_location& _location) noexcept {
    try {
        m_function = _location.short_function();
    } catch (...) {
    }
    return *this;
}

component_logger::formatter& component_logger::formatter::date_time(timestamp _timestamp) noexcept {
    m_timestamp = _timestamp;
    return *this;
}

std::string component_logger::formatter::body() const {
    std::string text;
    if (m_source_location) {
        text += std::string(m_source_location->stripped_file());
        text += ':';
        text += std::to_string(m_source_location->line());
        text += ' ';
    }
    if (!m_function.empty()) {
        text += m_function;
        text += ": ";
    }
    std::string message;
    bool bad = m_bad_format || !m_format;
    if (!bad) {
        try {
            message = m_format->str();
        } catch (...) {
            bad = true;
        }
    }
    if (bad)
        message = m_raw_format + " [bad log format]";
    return text + message;
}

component_logger::formatter::~formatter() {
    if (!m_logger)
        return;
    try {
        std::int64_t ms;
        if (m_timestamp) {
            ms = m_timestamp->m_time_point.time_since_epoch().count();
        } else {
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            ms = static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
        }
        m_logger->emit(m_log_level, ms, body(), m_mac);
    } catch (...) {
        // A log statement must never end the process.
    }
}

// ---- component_logger ----------------------------------------------------------------

component_logger::component_logger(logger& _logger, std::string_view _module_name, std::string_view _component_name)
    : m_logger(_logger),
      m_module_name(_module_name),
      m_zmq_prefix("&" + std::string(_module_name) + ":" + std::string(_component_name) + " ") {}

std::unique_ptr<component_logger> component_logger::component(std::string_view _component_name) {
    return std::make_unique<component_logger>(m_logger, m_module_name, _component_name);
}

std::string component_logger::make_indent() const {
    const auto level = m_indent.load();
    if (level <= 0)
        return {};
    return std::string(static_cast<std::size_t>(level) * 4, ' ') + "| ";
}

void component_logger::emit(int _level, std::int64_t _ms, const std::string& _body, const std::string& _mac) noexcept {
    try {
        const std::string time_text = format_time(_ms);
        const std::string indent = make_indent();
        const std::string syslog_text = m_logger.is_debug() ? time_text + indent + _body : _body;
        if (!m_logger.send_to_journal(_level, syslog_text, _mac))
            ::syslog(_level, "%s", syslog_text.c_str());
        if (m_logger.is_writing_to_socket())
            m_logger.send_frame(m_zmq_prefix + time_text + indent + _body);
    } catch (...) {
    }
}

std::unique_ptr<component_logger::indent_guard> component_logger::enter_function(const source_location& _location) {
    debug("%1%") % _location.function();
    ++m_indent;
    return std::make_unique<indent_guard>(*this);
}

std::unique_ptr<component_logger::indent_guard> component_logger::enter_function_short(
    const source_location& _location, std::string_view _name) {
    debug("%1%: %2%") % _location.short_function() % _name;
    ++m_indent;
    return std::make_unique<indent_guard>(*this);
}

std::unique_ptr<component_logger::indent_guard> component_logger::enter_scope(std::string_view _name) {
    debug("%1%") % _name;
    ++m_indent;
    return std::make_unique<indent_guard>(*this);
}

std::unique_ptr<component_logger::indent_guard> component_logger::enter_scope(const source_location& _location) {
    debug("%1%:%2%") % _location.stripped_file() % _location.line();
    ++m_indent;
    return std::make_unique<indent_guard>(*this);
}

std::unique_ptr<component_logger::indent_guard> component_logger::enter_scope(const source_location& _location,
                                                                              std::string_view _name) {
    debug("%1%:%2% (%3%)") % _location.stripped_file() % _location.line() % _name;
    ++m_indent;
    return std::make_unique<indent_guard>(*this);
}

void component_logger::log_exception() {
    if (!m_logger.is_logger_enabled())
        return;
    error("%1%") % exception_to_string();
}

void component_logger::log_exception(const source_location& _location) {
    error("Caught exeption").location(_location);
    log_exception();
}

void component_logger::log_exception(const located_exception& _e) {
    if (!m_logger.is_logger_enabled())
        return;
    error("%1%") % exception_to_string(_e);
}

void component_logger::log_error(const std::error_code& _code, const source_location& _location) {
    if (!m_logger.is_logger_enabled())
        return;
    error("%1%:%2%: %3%") % _location.stripped_file() % _location.line() % _code.message();
}

// ---- logger --------------------------------------------------------------------------

logger::logger(std::string_view _module_name, std::string_view _component_name)
    // The base only keeps a reference to the logger it belongs to; binding it to the
    // logger under construction is fine, a downcast of the base's `this` would not be.
    : component_logger(*this, _module_name, _component_name),
      m_module_name(_module_name),
      m_zmq_context(1),
      m_debug_socket(m_zmq_context, zmq::socket_type::push) {
    m_debug_socket.set(zmq::sockopt::linger, 5000);
    // Frames are queued only for a console that is actually connected; with no console
    // a send fails with EAGAIN and the frame is dropped, so nothing piles up for exit.
    m_debug_socket.set(zmq::sockopt::immediate, 1);
    ::openlog(m_module_name.c_str(), 0, LOG_USER);
    if (::access("/run/systemd/journal/socket", W_OK) == 0)
        m_journal = &::sd_journal_sendv;
    set_debug(m_debug);
    info("Starting %1%") % m_module_name;
}

logger::~logger() {
    ::closelog();
    try {
        mutex_lock lock(m_socket_mutex);
        m_debug_socket.close();
        m_zmq_context.close();
    } catch (...) {
    }
}

void logger::connect(const std::string& _address) {
    {
        mutex_lock lock(m_socket_mutex);
        m_debug_socket.connect(_address);
    }
    debug("Connected to socket");
}

void logger::set_debug(bool _on) {
    ::closelog();
    ::openlog(m_module_name.c_str(), _on ? LOG_PERROR : 0, LOG_USER);
    ::setlogmask(_on ? 255 : 127);
    m_debug = _on;
}

bool logger::send_to_journal(int _level, const std::string& _text, const std::string& _mac) noexcept {
    if (!m_journal)
        return false;
    // The mask that syslog has: debug records only with local debugging.
    if (_level >= LOG_DEBUG && !m_debug)
        return true;
    try {
        const std::string fields[] = {"MESSAGE=" + _text, "PRIORITY=" + std::to_string(_level),
                                      "SYSLOG_IDENTIFIER=" + m_module_name, "SYSLOG_FACILITY=1", "RTLS_MAC=" + _mac};
        iovec vectors[5];
        for (int i = 0; i < 5; ++i)
            vectors[i] = {const_cast<char*>(fields[i].data()), fields[i].size()};
        if (m_journal(vectors, _mac.empty() ? 4 : 5) < 0)
            return false;
        // The copy on standard error that syslog makes with local debugging (LOG_PERROR).
        if (m_debug)
            std::cerr << m_module_name << ": " << _text << std::endl;
        return true;
    } catch (...) {
        return false;
    }
}

std::int64_t logger::steady_ns() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void logger::note_console(bool _takes, std::int64_t _now_ns) noexcept {
    m_console_took.store(_takes, std::memory_order_relaxed);
    m_console_asked_ns.store(_now_ns, std::memory_order_release);
}

bool logger::console_takes_frames() noexcept {
    if (!m_writing_to_socket)
        return false;
    const std::int64_t now = steady_ns();
    const auto asked = m_console_asked_ns.load(std::memory_order_acquire);
    if (asked != 0 && now - asked < std::chrono::nanoseconds(s_console_recheck).count())
        return m_console_took.load(std::memory_order_relaxed);
    bool takes = false;
    try {
        mutex_lock lock(m_socket_mutex);
        takes = (m_debug_socket.get(zmq::sockopt::events) & ZMQ_POLLOUT) != 0;
    } catch (...) {
    }
    note_console(takes, now);
    return takes;
}

void logger::send_frame(const std::string& _frame) noexcept {
    try {
        bool queued = false;
        {
            mutex_lock lock(m_socket_mutex);
            queued = m_debug_socket.send(zmq::buffer(_frame), zmq::send_flags::dontwait).has_value();
        }
        // Every record is sent (not only debug ones): what became of it is the answer.
        note_console(queued, steady_ns());
    } catch (...) {
        // A send failure other than EAGAIN (for example a closed context at exit) drops
        // the frame; the record is already in syslog.
    }
}

}  // namespace vyr::libs::core
