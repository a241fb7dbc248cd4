#include "redis/connection.h"

#include <sys/time.h>

#include <algorithm>
#include <charconv>
#include <csignal>
#include <mutex>

#include <cerrno>
#include <exception>
#include <utility>

#include <hiredis/hiredis.h>

#include "common/lease_guard.h"
#include "common/metrics.h"
#include "core/exception.h"
#include "core/mutex.h"
#include "redis/commands.h"
#include "redis/reply_arena.h"
#include "redis/pipeline.h"
#include "redis/sentinel.h"
#include "redis/transaction.h"

namespace vyr::redis {

namespace {

// Counts a command, pipeline or transaction that leaves by an exception, once.
class count_failure {
public:
    count_failure() = default;
    ~count_failure() {
        if (std::uncaught_exceptions() > m_before)
            metrics::add(metrics::counter::redis_command_errors);
    }
    count_failure(const count_failure&) = delete;
    count_failure& operator=(const count_failure&) = delete;

private:
    const int m_before = std::uncaught_exceptions();
};

constexpr timeval s_connect_timeout{1, 500000};
constexpr timeval s_command_timeout{10, 0};
constexpr const char* s_moved = " (the master moved: the sentinels are asked again)";

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

vyr::libs::core::mutex s_default_credentials_mutex;
credentials s_default_credentials VYR_GUARDED_BY(s_default_credentials_mutex);

}  // namespace

void set_default_credentials(credentials _credentials) {
    vyr::libs::core::mutex_lock lock(s_default_credentials_mutex);
    s_default_credentials = std::move(_credentials);
}

credentials default_credentials() {
    vyr::libs::core::mutex_lock lock(s_default_credentials_mutex);
    return s_default_credentials;
}

void connection::deleter::operator()(redisContext* _context) const noexcept { redisFree(_context); }

connection::connection(const std::string& _host, int _port, unsigned int _db)
    : connection(_host, _port, _db, default_credentials()) {}

connection::connection(const std::string& _host, int _port, unsigned int _db, credentials _credentials)
    : m_host(_host), m_port(_port), m_db(_db), m_credentials(std::move(_credentials)), m_context_ptr(connect()) {}

connection::~connection() = default;

connection::context_ptr connection::connect() const {
    if (!under_sentinel())
        return connect_to({m_host, m_port}, false);
    const auto settings = current_sentinel_settings();
    std::string reasons;
    std::vector<address> tried;
    // A master that says it is one, or nothing; each address is tried once.
    const auto attempt = [&](const address& _server) -> context_ptr {
        if (std::find(tried.begin(), tried.end(), _server) != tried.end())
            return nullptr;
        tried.push_back(_server);
        try {
            return connect_to(_server, true);
        } catch (const auth_error&) {
            throw;
        } catch (const connection_error& e) {
            reasons += (reasons.empty() ? "" : "; ") + e.message();
            return nullptr;
        }
    };
    // The master a switch announced comes first: a sentinel asked now may not have heard
    // of the switch yet and name the former master, still up and not yet a replica.
    if (const auto announced = announced_master())
        if (auto link = attempt(*announced))
            return link;
    // Then the sentinels in turn; one that cannot be reached or does not know the master
    // is skipped. When none answers at all, the configured address is tried: it may be
    // the master all the same.
    bool named = false;
    for (const auto& sentinel : settings.sentinels) {
        const auto master = ask_sentinel(sentinel, settings, reasons);
        named = named || master;
        if (master)
            if (auto link = attempt(*master))
                return link;
    }
    if (!named)
        if (auto link = attempt({m_host, m_port}))
            return link;
    throw connection_error(cause::io, "Connection error: no master " + settings.master_name + " found (" + reasons + ")",
                           VYR_HERE);
}

connection::context_ptr connection::connect_to(const address& _server, bool _verify_role) const {
    // A write to a connection the server closed must fail with EPIPE, not end the process:
    // SIGPIPE is ignored, once, unless the program has set its own handler.
    static std::once_flag s_sigpipe;
    std::call_once(s_sigpipe, [] {
        struct sigaction now {};
        if (::sigaction(SIGPIPE, nullptr, &now) == 0 && now.sa_handler == SIG_DFL)
            std::signal(SIGPIPE, SIG_IGN);
    });
    errno = 0;
    context_ptr connection(redisConnectWithTimeout(_server.host.c_str(), _server.port, s_connect_timeout));
    const int connect_errno = errno;
    if (!connection)
        throw connection_error(cause::other, "Connection error: can't allocate redis context", VYR_HERE);
    if (connection->err)
        throw_connection_error(*connection, connect_errno, "Connection error: ", VYR_HERE);
    reply_arena::install(*connection);
    errno = 0;
    if (redisSetTimeout(connection.get(), s_command_timeout) != REDIS_OK)
        throw_connection_error(*connection, errno, "Connection error: ", VYR_HERE);
    // An error reply that is about the credentials becomes auth_error: AUTH's own (a wrong
    // password, an unknown or disabled user) and NOAUTH to the SELECT (the server wants a
    // password and none was given). Only the command word goes into any message.
    const auto handshake = [&](const std::vector<std::string_view>& _argv) {
        try {
            return run(connection.get(), _argv);
        } catch (const connection_error&) {
            throw;
        } catch (const server_error& e) {
            const bool auth = _argv.front() == "AUTH";
            if (!auth && e.what_kind() != server_error::kind::no_auth)
                throw;
            std::string message = "Connection error: " + e.message();
            if (auth && !m_credentials.user.empty())
                message += " (user " + m_credentials.user + ")";
            throw auth_error(message, VYR_HERE);
        }
    };
    if (!m_credentials.password.empty()) {
        if (m_credentials.user.empty())
            handshake({"AUTH", m_credentials.password});
        else
            handshake({"AUTH", m_credentials.user, m_credentials.password});
    }
    // A master the sentinels named may have been demoted since: only a master will do.
    if (_verify_role) {
        const auto role = handshake({"ROLE"});
        const auto array = role.get_type() == reply_type::ARRAY ? std::optional(role.as_array()) : std::nullopt;
        const std::string name = array && array->size() > 0 && (*array)[0].is_string() ? (*array)[0].to_string() : "";
        if (name != "master")
            throw connection_error(cause::other,
                                   "Connection error: " + _server.text() + " is no master (role " + name + ")", VYR_HERE);
    }
    const std::string db = std::to_string(m_db);
    handshake({"SELECT", db});
    return connection;
}

reply connection::run(redisContext* _context, const std::vector<std::string_view>& _argv) {
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
    const reply_arena::scope arena;
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
    reply result(*static_cast<redisReply*>(raw), arena.owner());
    if (result.get_type() == reply_type::ERROR)
        throw_error_reply(command, result.to_string(), VYR_HERE);
    return result;
}

redisContext* connection::live_connection(bool& _fresh) {
    _fresh = false;
    // One atomic load: the master watch moves the generation when the master switched.
    const std::uint64_t generation = master_generation();
    if (!m_context_ptr || m_context_ptr->err || generation != m_generation) {
        // hiredis cannot reuse a connection after an error: open a new one. One made to
        // a master since demoted goes too, before it takes a write the replica refuses,
        // or worse, one a master still unaware of its demotion takes and then loses.
        m_context_ptr.reset();
        m_generation = generation;
        m_context_ptr = connect();
        metrics::add(metrics::counter::redis_reconnects);
        // Its AUTH, ROLE and SELECT.
        m_round_trips += (m_credentials.password.empty() ? 1 : 2) + (under_sentinel() ? 1 : 0);
        _fresh = true;
    }
    return m_context_ptr.get();
}

reply connection::run_on_master(redisContext* _context, const std::vector<std::string_view>& _argv) {
    try {
        return run(_context, _argv);
    } catch (const server_error& e) {
        // Under Sentinel a replica's READONLY means that the master this connection was
        // made to has been demoted: the connection goes, and the command fails as on a
        // connection the server closed before it (a replica runs no write).
        if (e.what_kind() != server_error::kind::read_only || !under_sentinel())
            throw;
        m_context_ptr.reset();
        throw connection_error(cause::closed, e.message() + s_moved, VYR_HERE);
    }
}

namespace {

// While this process does not hold its lease (common/lease_guard.h) a write, alone or in a
// batch, is refused before it is sent (connection_error, nothing of it run); unknown
// commands count as writes. The lease keeper's thread is exempt.
void check_lease(const std::vector<std::vector<std::string>>& _commands) {
    if (lease_guard::valid() || lease_guard::exempt())
        return;
    for (const auto& argv : _commands) {
        const command_info* info = argv.empty() ? nullptr : find_command(argv.front());
        if (!info || info->write)
            throw connection_error(cause::other,
                                   "Command: " + (argv.empty() ? std::string() : argv.front()) +
                                       ", error: refused, this instance does not hold the lease",
                                   VYR_HERE);
    }
}

}  // namespace

reply connection::execute_command_argv(const std::vector<std::string_view>& _argv) {
    const count_failure count;
    if (!_argv.empty() && !lease_guard::valid())
        check_lease({{std::string(_argv.front())}});
    bool fresh = false;
    redisContext* link = live_connection(fresh);
    try {
        ++m_round_trips;
        return run_on_master(link, _argv);
    } catch (const connection_error& e) {
        // The server closed a connection that had been open before this command: Redis
        // restarted or dropped idle clients, and the command never reached a live
        // server. Send it once more on a new connection, so that a restart loses
        // nothing. A time-out is not retried, nor is an error reply (not caught here),
        // nor a command that running twice would change (it may have run before the
        // server closed the connection).
        if (fresh || e.reason() != cause::closed ||
            !resend_safe({std::vector<std::string>(_argv.begin(), _argv.end())}))
            throw;
    }
    m_context_ptr.reset();
    link = live_connection(fresh);
    ++m_round_trips;
    return run_on_master(link, _argv);
}

std::vector<reply> connection::run_batch_on_master(redisContext* _context,
                                                   const std::vector<std::vector<std::string>>& _commands,
                                                   std::size_t& _replies_read) {
    auto replies = run_batch(_context, _commands, _replies_read);
    if (!under_sentinel())
        return replies;
    for (std::size_t i = 0; i < replies.size(); ++i) {
        if (replies[i].get_type() != reply_type::ERROR ||
            classify_error_reply(replies[i].to_string()) != server_error::kind::read_only)
            continue;
        // As for one command; a replica wrote nothing of the batch, so it counts as one
        // the server never read.
        m_context_ptr.reset();
        _replies_read = 0;
        throw connection_error(cause::closed,
                               "Command: " + _commands[i].front() + ", error: " + replies[i].to_string() + s_moved,
                               VYR_HERE);
    }
    return replies;
}

std::vector<reply> connection::run_batch(redisContext* _context,
                                         const std::vector<std::vector<std::string>>& _commands,
                                         std::size_t& _replies_read) {
    _replies_read = 0;
    if (_commands.empty())
        return {};
    // The whole batch in the protocol's form, handed to hiredis's output buffer at once:
    // formatting it here costs one buffer where hiredis makes one per command.
    std::string wire;
    std::size_t size = 0;
    for (const auto& command : _commands) {
        if (command.empty())
            VYR_THROW("Command: , error: empty command");
        size += 16;
        for (const auto& argument : command)
            size += argument.size() + 16;
    }
    wire.reserve(size);
    const auto append_number = [&wire](char _prefix, std::size_t _number) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, _number).ptr;
        wire += _prefix;
        wire.append(digits, end);
        wire += "\r\n";
    };
    for (const auto& command : _commands) {
        append_number('*', command.size());
        for (const auto& argument : command) {
            append_number('$', argument.size());
            wire += argument;
            wire += "\r\n";
        }
    }
    // Appending only fills hiredis's output buffer; it fails only when out of memory.
    if (redisAppendFormattedCommand(_context, wire.data(), wire.size()) != REDIS_OK)
        throw connection_error(cause::other, "Command: " + _commands.front().front() + ", error: " + _context->errstr,
                               VYR_HERE);
    const reply_arena::scope arena;
    std::vector<reply> replies;
    replies.reserve(_commands.size());
    for (const auto& command : _commands) {
        void* raw = nullptr;
        errno = 0;
        // The first call writes the whole buffer, then each call reads one reply.
        const int status = redisGetReply(_context, &raw);
        const int command_errno = errno;
        if (status != REDIS_OK || !raw) {
            if (!_context->err)
                throw connection_error(cause::other, "Command: " + command.front() + ", error: no reply", VYR_HERE);
            throw_connection_error(*_context, command_errno, "Command: " + command.front() + ", error: ", VYR_HERE);
        }
        replies.emplace_back(*static_cast<redisReply*>(raw), arena.owner());
        ++_replies_read;
    }
    return replies;
}

std::vector<reply> connection::send(const std::vector<std::vector<std::string>>& _commands, bool* _unrun,
                                    std::size_t* _answered) {
    if (_commands.empty())
        return {};
    bool unrun = true;  // until a connection takes the batch
    std::size_t answered = 0;
    if (!_unrun)
        _unrun = &unrun;
    if (!_answered)
        _answered = &answered;
    *_unrun = true;
    *_answered = 0;
    check_lease(_commands);
    bool fresh = false;
    std::size_t replies_read = 0;
    redisContext* link = live_connection(fresh);
    try {
        ++m_round_trips;
        return run_batch_on_master(link, _commands, replies_read);
    } catch (const connection_error& e) {
        // As for one command: a batch that met a connection the server had closed before
        // it is sent once more, but only when nothing of it can have run (no reply came
        // back) and running it twice changes nothing (see redis/commands.h).
        *_unrun = e.reason() == cause::closed && replies_read == 0;
        *_answered = replies_read;
        if (fresh || !*_unrun || !resend_safe(_commands))
            throw;
    }
    m_context_ptr.reset();
    link = live_connection(fresh);
    ++m_round_trips;
    try {
        return run_batch_on_master(link, _commands, replies_read);
    } catch (const connection_error& e) {
        *_unrun = e.reason() == cause::closed && replies_read == 0;
        *_answered = replies_read;
        throw;
    }
}

reply connection::execute_command_argv(const std::vector<std::string>& _argv) {
    return execute_command_argv(std::vector<std::string_view>(_argv.begin(), _argv.end()));
}

reply connection::command(std::initializer_list<std::string_view> _argv) {
    return execute_command_argv(std::vector<std::string_view>(_argv));
}

reply connection::flush_db() { return command("FLUSHDB"); }

reply connection::get_from_table(std::string_view _key, std::string_view _field) {
    return command("HGET", _key, _field);
}

std::optional<std::string> connection::get_text_from_table(std::string_view _key, std::string_view _field) {
    const auto result = get_from_table(_key, _field);
    if (result.get_type() != reply_type::STRING)
        return std::nullopt;
    return result.to_string();
}

bool connection::table_has(std::string_view _key, std::string_view _field) {
    const auto result = command("HEXISTS", _key, _field);
    return result.get_type() == reply_type::INTEGER && result.to_integer() == 1;
}

reply connection::get_from_table(std::string_view _key, std::initializer_list<std::string_view> _fields) {
    std::vector<std::string_view> argv{"HMGET", _key};
    argv.insert(argv.end(), _fields.begin(), _fields.end());
    return execute_command_argv(argv);
}

std::vector<std::optional<std::string>> connection::get_texts_from_table(std::string_view _key,
                                                                      std::initializer_list<std::string_view> _fields) {
    std::vector<std::optional<std::string>> texts;
    texts.reserve(_fields.size());
    const auto result = get_from_table(_key, _fields);
    const auto array = result.get_type() == reply_type::ARRAY ? std::optional(result.as_array()) : std::nullopt;
    for (std::size_t i = 0; i < _fields.size(); ++i) {
        if (array && i < array->size() && (*array)[i].is_string())
            texts.push_back((*array)[i].to_string());
        else
            texts.push_back(std::nullopt);
    }
    return texts;
}

reply connection::increment_in_table(std::string_view _key, std::string_view _field, std::string_view _increment) {
    return command("HINCRBY", _key, _field, _increment);
}

reply connection::delete_from_table(std::string_view _key, std::string_view _field) {
    return command("HDEL", _key, _field);
}

reply connection::get_set_members(std::string_view _key) { return command("SMEMBERS", _key); }

std::vector<std::string> connection::get_member_texts(std::string_view _key) {
    std::vector<std::string> texts;
    const auto result = get_set_members(_key);
    if (result.get_type() != reply_type::ARRAY)
        return texts;
    const auto array = result.as_array();
    texts.reserve(array.size());
    for (std::size_t i = 0; i < array.size(); ++i)
        texts.push_back(array[i].to_string());
    return texts;
}

reply connection::set_to_table(std::string_view _key,
                            std::initializer_list<std::pair<std::string_view, std::string_view>> _pairs) {
    std::vector<std::string_view> argv{"HMSET", _key};
    for (const auto& [field, value] : _pairs) {
        argv.push_back(field);
        argv.push_back(value);
    }
    return execute_command_argv(argv);
}

reply connection::set_to_table(std::string_view _key, std::string_view _field, std::string_view _value) {
    if (_value.empty())
        return delete_from_table(_key, _field);
    return command("HSET", _key, _field, _value);
}

namespace {

// Throws the first error reply of `_replies`, naming its command.
void throw_first_error(const std::vector<std::vector<std::string>>& _commands, const std::vector<reply>& _replies) {
    for (std::size_t i = 0; i < _replies.size(); ++i)
        if (_replies[i].get_type() == reply_type::ERROR)
            throw_error_reply(_commands[i].front(), _replies[i].to_string(), VYR_HERE);
}

}  // namespace

std::vector<reply> pipeline::exec() {
    bool unrun = false;
    return exec(unrun);
}

std::vector<reply> pipeline::exec(bool& _unrun) {
    std::size_t answered = 0;
    return exec(_unrun, answered);
}

std::vector<reply> pipeline::exec(bool& _unrun, std::size_t& _answered) {
    _unrun = false;
    _answered = 0;
    const count_failure count;
    auto replies = m_connection.send(m_commands.commands(), &_unrun, &_answered);
    throw_first_error(m_commands.commands(), replies);
    return replies;
}

std::vector<reply> pipeline::exec_reads() {
    const count_failure count;
    return m_connection.send(m_commands.commands());
}

reply transaction::exec() {
    const count_failure count;
    // The commands are moved between MULTI and EXEC, not copied: a transaction is sent once.
    std::vector<std::vector<std::string>> commands;
    commands.reserve(m_commands.size() + 2);
    commands.push_back({"MULTI"});
    for (auto& command : m_commands.release())
        commands.push_back(std::move(command));
    commands.push_back({"EXEC"});
    auto replies = m_connection.send(commands);
    // A command rejected while queued (unknown, wrong arity) answers an error and makes
    // EXEC answer EXECABORT; the first error names the command at fault.
    throw_first_error(commands, replies);
    reply result = std::move(replies.back());
    if (result.get_type() != reply_type::ARRAY)
        throw server_error(server_error::kind::aborted,
                           "Command: EXEC, error: transaction aborted, reply " + to_string(result.get_type()), VYR_HERE);
    // Errors of commands that ran inside (WRONGTYPE...); the others ran all the same.
    const auto array = result.as_array();
    for (std::size_t i = 0; i < array.size(); ++i)
        if (array[i].get_type() == reply_type::ERROR)
            throw_error_reply(commands[i + 1].front(), array[i].to_string(), VYR_HERE);
    return result;
}

}  // namespace vyr::redis
