#include "redis/context.h"

#include <strings.h>
#include <sys/time.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <exception>
#include <utility>

#include <hiredis/hiredis.h>

#include "common/metrics.h"
#include "redis/commands.h"
#include "core/exception.h"
#include "core/mutex.h"

namespace vyr::redis {

namespace {

// The read that prefetches a key whole.
const char* whole_read(key_kind _kind) {
    static constexpr const char* s_read[] = {"HGETALL", "SMEMBERS", "GET"};
    return s_read[static_cast<int>(_kind)];
}

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

void context::deleter::operator()(redisContext* _context) const noexcept { redisFree(_context); }

context::context(const std::string& _host, int _port, unsigned int _db)
    : context(_host, _port, _db, default_credentials()) {}

context::context(const std::string& _host, int _port, unsigned int _db, credentials _credentials)
    : m_host(_host), m_port(_port), m_db(_db), m_credentials(std::move(_credentials)), m_context_ptr(connect()) {}

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
    // An error reply that is about the credentials becomes auth_error: AUTH's own (a wrong
    // password, an unknown or disabled user) and NOAUTH to the SELECT (the server wants a
    // password and none was given). Only the command word goes into any message.
    const auto handshake = [&](const std::vector<std::string_view>& _argv) {
        try {
            run(connection.get(), _argv);
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
    const std::string db = std::to_string(m_db);
    handshake({"SELECT", db});
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
        throw_error_reply(command, result.to_string(), VYR_HERE);
    return result;
}

redisContext* context::live_connection(bool& _fresh) {
    _fresh = false;
    if (m_ahead && m_ahead->on_wire)
        take_ahead();
    if (!m_context_ptr || m_context_ptr->err) {
        // hiredis cannot reuse a connection after an error: open a new one.
        m_context_ptr.reset();
        m_context_ptr = connect();
        metrics::add(metrics::counter::redis_reconnects);
        m_round_trips += m_credentials.password.empty() ? 1 : 2;  // its AUTH and SELECT
        _fresh = true;
    }
    return m_context_ptr.get();
}

reply context::execute_command_argv(const std::vector<std::string_view>& _argv) {
    if (!m_cache && m_held.empty())
        return execute_live(_argv);
    if (m_cache) {
        if (auto served = m_cache->serve(_argv)) {
            ++m_cache_hits;
            return std::move(*served);
        }
        if (m_hold_writes) {
            if (auto answer = m_cache->deferred_reply(_argv)) {
                hold(_argv, *answer);
                note(_argv);
                return std::move(*answer);
            }
        }
    }
    try {
        if (m_held.empty()) {
            auto result = execute_live(_argv);
            note(_argv, result);
            return result;
        }
        const count_failure count;
        auto replies = execute_with_held({std::vector<std::string>(_argv.begin(), _argv.end())});
        if (replies.back().get_type() == reply_type::ERROR)
            throw_error_reply(_argv.front(), replies.back().to_string(), VYR_HERE);
        return std::move(replies.back());
    } catch (...) {
        if (m_cache)
            m_cache->clear();
        throw;
    }
}

reply context::execute_live(const std::vector<std::string_view>& _argv) {
    const count_failure count;
    bool fresh = false;
    redisContext* connection = live_connection(fresh);
    try {
        ++m_round_trips;
        return run(connection, _argv);
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
    connection = live_connection(fresh);
    ++m_round_trips;
    return run(connection, _argv);
}

std::vector<reply> context::run_batch(redisContext* _context, const std::vector<std::vector<std::string>>& _commands,
                                      bool& _replies_read) {
    _replies_read = false;
    std::vector<const char*> argv;
    std::vector<size_t> lengths;
    for (const auto& command : _commands) {
        if (command.empty())
            VYR_THROW("Command: , error: empty command");
        argv.clear();
        lengths.clear();
        for (const auto& argument : command) {
            argv.push_back(argument.data());
            lengths.push_back(argument.size());
        }
        // Appending only fills hiredis's output buffer; it fails only when out of memory.
        if (redisAppendCommandArgv(_context, static_cast<int>(argv.size()), argv.data(), lengths.data()) != REDIS_OK)
            throw connection_error(cause::other, "Command: " + command.front() + ", error: " + _context->errstr,
                                   VYR_HERE);
    }
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
        replies.emplace_back(static_cast<redisReply*>(raw));
        _replies_read = true;
    }
    return replies;
}

std::vector<reply> context::execute_batch(const std::vector<std::vector<std::string>>& _commands, bool* _unrun) {
    if (_commands.empty())
        return {};
    bool unrun = true;  // until a connection takes the batch
    if (!_unrun)
        _unrun = &unrun;
    *_unrun = true;
    bool fresh = false;
    bool replies_read = false;
    redisContext* connection = live_connection(fresh);
    try {
        ++m_round_trips;
        return run_batch(connection, _commands, replies_read);
    } catch (const connection_error& e) {
        // As for one command: a batch that met a connection the server had closed before
        // it is sent once more, but only when nothing of it can have run (no reply came
        // back) and running it twice changes nothing (see redis/commands.h).
        *_unrun = e.reason() == cause::closed && !replies_read;
        if (fresh || !*_unrun || !resend_safe(_commands))
            throw;
    }
    m_context_ptr.reset();
    connection = live_connection(fresh);
    ++m_round_trips;
    try {
        return run_batch(connection, _commands, replies_read);
    } catch (const connection_error& e) {
        *_unrun = e.reason() == cause::closed && !replies_read;
        throw;
    }
}

namespace {

// Throws the first error reply of `_replies`, naming its command.
void throw_first_error(const std::vector<std::vector<std::string>>& _commands, const std::vector<reply>& _replies) {
    for (std::size_t i = 0; i < _replies.size(); ++i)
        if (_replies[i].get_type() == reply_type::ERROR)
            throw_error_reply(_commands[i].front(), _replies[i].to_string(), VYR_HERE);
}

}  // namespace

std::vector<reply> context::execute_with_held(const std::vector<std::vector<std::string>>& _commands) {
    if (m_held.empty()) {
        auto replies = execute_batch(_commands);
        note_batch(_commands, replies);
        return replies;
    }
    batch held = std::move(m_held);
    m_held.clear();
    auto guards = std::exchange(m_held_guards, {});
    auto commands = held.commands();
    commands.insert(commands.end(), _commands.begin(), _commands.end());
    std::vector<reply> replies;
    bool unrun = false;
    try {
        replies = execute_batch(commands, &unrun);
    } catch (const connection_error&) {
        // Nothing of it ran: the held writes wait for the next connection. A batch that
        // may have run is not sent again: not every write is safe to make twice.
        if (unrun) {
            m_held = std::move(held);
            m_held_guards = std::move(guards);
        }
        throw;
    }
    const std::vector<reply> held_replies(std::make_move_iterator(replies.begin()),
                                          std::make_move_iterator(replies.begin() + held.size()));
    // A guarded group that was not made: the cache took its writes when they were held.
    for (const auto& guard : guards) {
        const auto& outcome = held_replies.at(guard.index);
        if (outcome.get_type() != reply_type::INTEGER || outcome.to_integer() != 0)
            continue;
        ++m_guards_failed;
        if (m_cache)
            for (const auto& key : guard.keys)
                m_cache->forget(key);
    }
    throw_first_error(held.commands(), held_replies);
    std::vector<reply> own(std::make_move_iterator(replies.begin() + held.size()),
                           std::make_move_iterator(replies.end()));
    note_batch(_commands, own);
    return own;
}

void context::note_batch(const std::vector<std::vector<std::string>>& _commands, const std::vector<reply>& _replies) {
    if (!m_cache)
        return;
    for (std::size_t i = 0; i < _commands.size(); ++i)
        note(std::vector<std::string_view>(_commands[i].begin(), _commands[i].end()), _replies.at(i));
}

namespace {

// Whether the only key a command names is its first argument; for any other command
// every argument may be a key.
bool names_one_key(std::string_view _word) {
    static constexpr std::string_view s_words[] = {"HSET",     "HMSET",     "HDEL", "HINCRBY", "HGET",
                                                   "HMGET",    "HGETALL",   "HEXISTS", "SADD", "SREM",
                                                   "SMEMBERS", "SISMEMBER", "SET",  "GET"};
    return std::any_of(std::begin(s_words), std::end(s_words), [&](std::string_view _one) {
        return _one.size() == _word.size() && strncasecmp(_one.data(), _word.data(), _one.size()) == 0;
    });
}

}  // namespace

void context::note(const std::vector<std::string_view>& _argv) {
    m_cache->note(_argv);
    forget_ahead(_argv);
}

void context::note(const std::vector<std::string_view>& _argv, const reply& _reply) {
    m_cache->note(_argv, _reply);
    forget_ahead(_argv);
}

void context::forget_ahead(const std::vector<std::string_view>& _argv) {
    if (!m_ahead || _argv.empty())
        return;
    const std::size_t end = names_one_key(_argv.front()) ? std::min<std::size_t>(_argv.size(), 2) : _argv.size();
    for (std::size_t i = 1; i < end; ++i)
        m_ahead->waiting.erase(_argv[i]);
}

std::vector<reply> context::pipeline(const batch& _batch) {
    if (m_cache) {
        if (auto served = m_cache->serve_all(_batch.commands())) {
            m_cache_hits += served->size();
            return std::move(*served);
        }
    }
    const count_failure count;
    try {
        auto replies = (m_cache || !m_held.empty()) ? execute_with_held(_batch.commands())
                                                    : execute_batch(_batch.commands());
        throw_first_error(_batch.commands(), replies);
        return replies;
    } catch (...) {
        if (m_cache)
            m_cache->clear();
        throw;
    }
}

std::vector<reply> context::pipeline(const batch& _batch, bool& _unrun) {
    _unrun = false;
    // Writes held for the cache go first; whatever fails then is not this batch's alone.
    if (m_cache || !m_held.empty())
        return pipeline(_batch);
    const count_failure count;
    auto replies = execute_batch(_batch.commands(), &_unrun);
    throw_first_error(_batch.commands(), replies);
    return replies;
}

std::vector<reply> context::read_pipeline(const batch& _batch) {
    const count_failure count;
    return (m_cache || !m_held.empty()) ? execute_with_held(_batch.commands()) : execute_batch(_batch.commands());
}

reply context::transaction(const batch& _batch) {
    if (m_cache) {
        if (auto served = m_cache->serve_transaction(_batch.commands())) {
            m_cache_hits += _batch.size();
            return std::move(*served);
        }
    }
    const count_failure count;
    std::vector<std::vector<std::string>> commands;
    commands.reserve(_batch.size() + 2);
    commands.push_back({"MULTI"});
    commands.insert(commands.end(), _batch.commands().begin(), _batch.commands().end());
    commands.push_back({"EXEC"});
    std::vector<reply> replies;
    try {
        replies = (m_cache || !m_held.empty()) ? execute_with_held(commands) : execute_batch(commands);
    } catch (...) {
        if (m_cache)
            m_cache->clear();
        throw;
    }
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
            throw_error_reply(_batch.commands()[i].front(), array[i].to_string(), VYR_HERE);
    return result;
}

reply context::execute_command_argv(const std::vector<std::string>& _argv) {
    return execute_command_argv(std::vector<std::string_view>(_argv.begin(), _argv.end()));
}

reply context::command(std::initializer_list<std::string_view> _argv) {
    return execute_command_argv(std::vector<std::string_view>(_argv));
}

void context::cache_on() {
    if (!m_cache)
        m_cache = std::make_unique<read_cache>();
}

void context::cache_off() {
    if (!m_cache)
        return;
    struct forget_all {
        context& self;
        ~forget_all() {
            self.drop_ahead();
            self.m_cache.reset();
            self.m_guard.reset();
            self.m_hold_writes = false;
        }
    } forget{*this};
    flush_writes();
}

void context::cache_off(const std::function<void()>& _between) {
    if (!m_cache)
        return;
    flush_writes();
    static constexpr std::size_t s_slice = 8192;
    while (m_cache && !m_cache->drop_some(s_slice))
        _between();
    cache_off();
}

void context::flush_writes() {
    if (m_held.empty())
        return;
    const count_failure count;
    try {
        execute_with_held({});
    } catch (...) {
        if (m_cache)
            m_cache->clear();
        throw;
    }
}

void context::forget_transient() {
    if (m_cache)
        m_cache->drop_transient();
}

void context::prefetch(const std::vector<std::pair<std::string, key_kind>>& _keys, bool _transient,
                       const std::function<void()>& _between) {
    if (!m_cache || (_keys.empty() && m_held.empty()))
        return;
    const count_failure count;
    if (m_ahead && m_ahead->on_wire)
        take_ahead();
    m_cache->reserve(_keys.size(), _transient);
    batch reads;
    std::vector<const std::pair<std::string, key_kind>*> asked;
    const auto send = [&] {
        if (reads.empty() && m_held.empty())
            return;
        // Error replies (a key of another type) are not kept, and not thrown: the read
        // itself meets the error later, as it would without the cache.
        auto replies = execute_with_held(reads.commands());
        for (std::size_t i = 0; i < asked.size(); ++i)
            m_cache->store(asked[i]->first, asked[i]->second, replies[i], _transient);
        reads.clear();
        asked.clear();
    };
    try {
        for (const auto& key : _keys) {
            // A transient key is looked up among the transient ones only (few): a copy kept
            // among the others is shadowed by the fresh one, never served stale.
            if (_transient ? m_cache->holds_transient(key.first) : m_cache->holds(key.first))
                continue;
            if (adopt_ahead(key, _transient))
                continue;
            reads.add(whole_read(key.second), key.first);
            asked.push_back(&key);
            if (reads.size() >= s_prefetch_chunk) {
                send();
                if (_between)
                    _between();
            }
        }
        send();
    } catch (...) {
        m_cache->clear();
        throw;
    }
}

void context::prefetch_ahead(const std::vector<std::pair<std::string, key_kind>>& _keys) {
    if (!m_cache)
        return;
    drop_ahead();
    if (_keys.empty())
        return;
    auto ahead = std::make_unique<read_ahead>();
    ahead->keys = _keys;
    ahead->waiting.reserve(_keys.size());
    for (std::size_t i = 0; i < ahead->keys.size(); ++i)
        ahead->waiting.emplace(ahead->keys[i].first, i);
    ahead->clears = m_cache->clears();
    try {
        bool fresh = false;
        redisContext* connection = live_connection(fresh);
        for (const auto& [key, kind] : ahead->keys) {
            const char* argv[] = {whole_read(kind), key.data()};
            const size_t lengths[] = {std::strlen(argv[0]), key.size()};
            if (redisAppendCommandArgv(connection, 2, argv, lengths) != REDIS_OK)
                throw connection_error(cause::other, "read ahead not sent", VYR_HERE);
        }
        // Written whole now; the replies stay on the connection until they are taken.
        for (int done = 0; !done;)
            if (redisBufferWrite(connection, &done) != REDIS_OK)
                throw connection_error(cause::io, "read ahead not sent", VYR_HERE);
        ++m_round_trips;
    } catch (const std::exception&) {
        // Whatever part of it went out has replies no later command expects.
        m_context_ptr.reset();
        return;
    }
    m_ahead = std::move(ahead);
    // Writes held now go out after the reads: what those found of their keys is old.
    for (const auto& held : m_held.commands())
        forget_ahead(std::vector<std::string_view>(held.begin(), held.end()));
}

void context::take_ahead() noexcept {
    try {
        if (!m_context_ptr || m_context_ptr->err)
            throw connection_error(cause::other, "connection lost", VYR_HERE);
        m_ahead->replies.reserve(m_ahead->keys.size());
        while (m_ahead->replies.size() < m_ahead->keys.size()) {
            void* raw = nullptr;
            if (redisGetReply(m_context_ptr.get(), &raw) != REDIS_OK || !raw)
                throw connection_error(cause::io, "read ahead not taken", VYR_HERE);
            m_ahead->replies.emplace_back(static_cast<redisReply*>(raw));
        }
        m_ahead->on_wire = false;
    } catch (const std::exception&) {
        // The keys are read again when asked for, on a new connection.
        m_context_ptr.reset();
        m_ahead.reset();
    }
}

void context::drop_ahead() noexcept {
    if (m_ahead && m_ahead->on_wire)
        take_ahead();
    m_ahead.reset();
}

bool context::adopt_ahead(const std::pair<std::string, key_kind>& _key, bool _transient) {
    if (!m_ahead || m_ahead->on_wire || m_ahead->clears != m_cache->clears())
        return false;
    const auto found = m_ahead->waiting.find(_key.first);
    if (found == m_ahead->waiting.end() || m_ahead->keys[found->second].second != _key.second)
        return false;
    m_cache->store(_key.first, _key.second, m_ahead->replies[found->second], _transient);
    m_ahead->waiting.erase(found);
    return true;
}

void context::prefetch_fields(const std::vector<std::pair<std::string, std::vector<std::string>>>& _reads,
                              const std::vector<std::pair<std::string, key_kind>>& _whole) {
    if (!m_cache)
        return;
    const count_failure count;
    batch reads;
    std::vector<const std::pair<std::string, std::vector<std::string>>*> asked;
    for (const auto& read : _reads) {
        if (read.second.empty())
            continue;
        std::vector<std::string> argv{"HMGET", read.first};
        argv.insert(argv.end(), read.second.begin(), read.second.end());
        reads.add_argv(std::move(argv));
        asked.push_back(&read);
    }
    std::vector<const std::pair<std::string, key_kind>*> whole;
    for (const auto& key : _whole) {
        if (m_cache->holds(key.first))
            continue;
        reads.add(whole_read(key.second), key.first);
        whole.push_back(&key);
    }
    try {
        auto replies = execute_with_held(reads.commands());
        for (std::size_t i = 0; i < asked.size(); ++i)
            m_cache->store_fields(asked[i]->first, asked[i]->second, replies[i]);
        for (std::size_t i = 0; i < whole.size(); ++i)
            m_cache->store(whole[i]->first, whole[i]->second, replies[asked.size() + i]);
    } catch (...) {
        m_cache->clear();
        throw;
    }
}

cache_scope::~cache_scope() {
    try {
        m_context.cache_off();
    } catch (...) {
        // Counted as a failed command; held writes that cannot have run stay held for
        // the next command, the others are lost with the connection that failed them.
    }
}

reply context::flush_db() { return command("FLUSHDB"); }

reply context::get_from_table(std::string_view _key, std::string_view _field) {
    return command("HGET", _key, _field);
}

std::optional<std::string> context::get_text_from_table(std::string_view _key, std::string_view _field) {
    if (m_cache) {
        if (const auto value = m_cache->field(_key, _field)) {
            ++m_cache_hits;
            return *value ? std::optional<std::string>(**value) : std::nullopt;
        }
    }
    const auto result = get_from_table(_key, _field);
    if (result.get_type() != reply_type::STRING)
        return std::nullopt;
    return result.to_string();
}

bool context::table_has(std::string_view _key, std::string_view _field) {
    if (m_cache) {
        if (const auto value = m_cache->field(_key, _field)) {
            ++m_cache_hits;
            return *value != nullptr;
        }
    }
    const auto result = command("HEXISTS", _key, _field);
    return result.get_type() == reply_type::INTEGER && result.to_integer() == 1;
}

reply context::get_from_table(std::string_view _key, std::initializer_list<std::string_view> _fields) {
    std::vector<std::string_view> argv{"HMGET", _key};
    argv.insert(argv.end(), _fields.begin(), _fields.end());
    return execute_command_argv(argv);
}

std::vector<std::optional<std::string>> context::get_texts_from_table(std::string_view _key,
                                                                      std::initializer_list<std::string_view> _fields) {
    std::vector<std::optional<std::string>> texts;
    texts.reserve(_fields.size());
    if (m_cache) {
        thread_local std::vector<const std::string*> values;
        if (m_cache->fields(_key, _fields, values)) {
            ++m_cache_hits;
            for (const auto* value : values)
                texts.push_back(value ? std::optional<std::string>(*value) : std::nullopt);
            return texts;
        }
    }
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

reply context::increment_in_table(std::string_view _key, std::string_view _field, std::string_view _increment) {
    return command("HINCRBY", _key, _field, _increment);
}

reply context::delete_from_table(std::string_view _key, std::string_view _field) {
    return command("HDEL", _key, _field);
}

reply context::get_set_members(std::string_view _key) { return command("SMEMBERS", _key); }

std::vector<std::string> context::get_member_texts(std::string_view _key) {
    if (m_cache) {
        if (const auto* kept = m_cache->members(_key)) {
            ++m_cache_hits;
            return *kept;
        }
    }
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
