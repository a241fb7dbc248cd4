#include "redis/context.h"

#include <sys/time.h>

#include <cerrno>
#include <cstring>

#include <hiredis/hiredis.h>

#include "core/exception.h"

namespace vyr::redis {

namespace {

constexpr timeval s_connect_timeout{1, 500000};
constexpr timeval s_command_timeout{10, 0};

}  // namespace

void context::deleter::operator()(redisContext* _context) const noexcept { redisFree(_context); }

context::context(const std::string& _host, int _port, unsigned int _db)
    : m_host(_host), m_port(_port), m_db(_db), m_context_ptr(connect()) {}

context::~context() = default;

context::context_ptr context::connect() const {
    context_ptr connection(redisConnectWithTimeout(m_host.c_str(), m_port, s_connect_timeout));
    if (!connection)
        VYR_THROW("Connection error: can't allocate redis context");
    if (connection->err)
        VYR_THROW(std::string("Connection error: ") + connection->errstr);
    if (redisSetTimeout(connection.get(), s_command_timeout) != REDIS_OK)
        VYR_THROW(std::string("Connection error: ") + connection->errstr);
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
    void* raw = redisCommandArgv(_context, static_cast<int>(argv.size()), argv.data(), lengths.data());
    const std::string command(_argv.front());
    if (!raw)
        // The connection is lost or timed out; it is marked broken and replaced before
        // the next command.
        VYR_THROW("Command: " + command + ", error: " +
                  (_context->err ? std::string(_context->errstr) : std::string("no reply")));
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
    } catch (const vyr::libs::core::exception&) {
        // The server closed a connection that had been open before this command: Redis
        // restarted or dropped idle clients, and the command never reached a live
        // server. Send it once more on a new connection, so that a restart loses
        // nothing. A time-out or an error reply is not retried.
        if (fresh || !closed_by_peer(m_context_ptr.get()))
            throw;
    }
    m_context_ptr.reset();
    m_context_ptr = connect();
    return run(m_context_ptr.get(), _argv);
}

bool context::closed_by_peer(const redisContext* _context) noexcept {
    if (_context->err == REDIS_ERR_EOF)
        return true;
    if (_context->err != REDIS_ERR_IO)
        return false;
    const std::string_view text(_context->errstr);
    return text == std::strerror(ECONNRESET) || text == std::strerror(EPIPE);
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
