#include "redis/context.h"

#include <sys/time.h>

#include <cerrno>

#include <hiredis/hiredis.h>

#include "core/exception.h"

namespace vyr::redis {

namespace {

constexpr timeval s_connect_timeout{1, 500000};
constexpr timeval s_command_timeout{10, 0};

using cause = connection_error::cause;

// How a connection failed, from hiredis's error code and the errno of the failing call
// (hiredis keeps an I/O error only as text, so callers take errno right after the call).
cause classify(int _code, int _errno) noexcept {
    if (_code == REDIS_ERR_EOF)
        return cause::closed;
    if (_code != REDIS_ERR_IO)
        return cause::other;
    if (_errno == ECONNRESET || _errno == EPIPE || _errno == ECONNABORTED)
        return cause::closed;
    // A blocking read or write past its time-out fails with EAGAIN; a connect past its
    // time-out with ETIMEDOUT.
    if (_errno == EAGAIN || _errno == ETIMEDOUT)
        return cause::timeout;
    return cause::io;
}

[[noreturn]] void throw_connection_error(const redisContext& _context, int _errno, const std::string& _prefix,
                                         vyr::libs::core::source_location _location) {
    throw connection_error(classify(_context.err, _errno), _prefix + _context.errstr, _location);
}

}  // namespace

void context::deleter::operator()(redisContext* _context) const noexcept { redisFree(_context); }

context::context(const std::string& _host, int _port, unsigned int _db)
    : m_host(_host), m_port(_port), m_db(_db), m_context_ptr(connect()) {}

context::~context() = default;

context::context_ptr context::connect() const {
    errno = 0;
    context_ptr connection(redisConnectWithTimeout(m_host.c_str(), m_port, s_connect_timeout));
    const int connect_errno = errno;
    if (!connection)
        throw connection_error(cause::other, "Connection error: can't allocate redis context", VYR_HERE);
    if (connection->err)
        throw_connection_error(*connection, connect_errno, "Connection error: ", VYR_HERE);
    errno = 0;
    if (redisSetTimeout(connection.get(), s_command_timeout) != REDIS_OK)
        throw_connection_error(*connection, errno, "Connection error: ", VYR_HERE);
    const std::string db = std::to_string(m_db);
    run(connection.get(), {"SELECT", db});
    return connection;
}

reply context::run(redisContext* _context, const std::vector<std::string_view>& _argv) {
    if (_argv.empty())
        VYR_THROW("Command: , error: empty command");
    std::vector<const char*> argv;
    std::vector<size_t> lengths;
    argv.reserve(_argv.size());
    lengths.reserve(_argv.size());
    for (const auto& argument : _argv) {
        argv.push_back(argument.data() ? argument.data() : "");
        lengths.push_back(argument.size());
    }
    errno = 0;
    void* raw = redisCommandArgv(_context, static_cast<int>(argv.size()), argv.data(), lengths.data());
    const int command_errno = errno;
    const std::string command(_argv.front());
    if (!raw) {
        // The connection is lost or timed out; it is marked broken and replaced before
        // the next command.
        if (!_context->err)
            throw connection_error(cause::other, "Command: " + command + ", error: no reply", VYR_HERE);
        throw_connection_error(*_context, command_errno, "Command: " + command + ", error: ", VYR_HERE);
    }
    reply result(static_cast<redisReply*>(raw));
    if (result.get_type() == reply_type::ERROR)
        VYR_THROW("Command: " + command + ", error: " + result.to_string());
    return result;
}

reply context::execute_command_argv(const std::vector<std::string_view>& _argv) {
    bool fresh = false;
    if (!m_context_ptr || m_context_ptr->err) {
        // hiredis cannot reuse a connection after an error: open a new one.
        m_context_ptr.reset();
        m_context_ptr = connect();
        fresh = true;
    }
    try {
        return run(m_context_ptr.get(), _argv);
    } catch (const connection_error& e) {
        // The server closed a connection that had been open before this command: Redis
        // restarted or dropped idle clients, and the command never reached a live
        // server. Send it once more on a new connection, so that a restart loses
        // nothing. A time-out is not retried, nor is an error reply (not caught here).
        if (fresh || e.reason() != cause::closed)
            throw;
    }
    m_context_ptr.reset();
    m_context_ptr = connect();
    return run(m_context_ptr.get(), _argv);
}

reply context::execute_command_argv(const std::vector<std::string>& _argv) {
    return execute_command_argv(std::vector<std::string_view>(_argv.begin(), _argv.end()));
}

reply context::command(std::initializer_list<std::string_view> _argv) {
    return execute_command_argv(std::vector<std::string_view>(_argv));
}

reply context::flush_db() { return command("FLUSHDB"); }

reply context::get_from_table(std::string_view _key, std::string_view _field) {
    return command("HGET", _key, _field);
}

reply context::get_from_table(std::string_view _key, std::initializer_list<std::string_view> _fields) {
    std::vector<std::string_view> argv{"HMGET", _key};
    argv.insert(argv.end(), _fields.begin(), _fields.end());
    return execute_command_argv(argv);
}

reply context::increment_in_table(std::string_view _key, std::string_view _field, std::string_view _increment) {
    return command("HINCRBY", _key, _field, _increment);
}

reply context::delete_from_table(std::string_view _key, std::string_view _field) {
    return command("HDEL", _key, _field);
}

reply context::get_set_members(std::string_view _key) { return command("SMEMBERS", _key); }

reply context::set_to_table(std::string_view _key,
                            std::initializer_list<std::pair<std::string_view, std::string_view>> _pairs) {
    std::vector<std::string_view> argv{"HMSET", _key};
    for (const auto& [field, value] : _pairs) {
        argv.push_back(field);
        argv.push_back(value);
    }
    return execute_command_argv(argv);
}

reply context::set_to_table(std::string_view _key, std::string_view _field, std::string_view _value) {
    if (_value.empty())
        return delete_from_table(_key, _field);
    return command("HSET", _key, _field, _value);
}

}  // namespace vyr::redis
