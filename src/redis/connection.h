// One synchronous connection to a Redis server with one database selected. Every
// command goes out as a binary-safe argument vector, so keys and values may hold any
// bytes. A connection found broken (lost, timed out) is replaced by a new one before the
// next command; its failure throws `connection_error`, while an error reply of the
// server throws `server_error` (redis/errors.h). Several commands go in one round trip
// as a pipeline (redis/pipeline.h) or a MULTI/EXEC transaction (redis/transaction.h).
// A server that asks for a password gets AUTH on every new connection, before the
// SELECT. Under Sentinel (redis/sentinel.h) each new connection goes to the master the
// sentinels name and checks with ROLE that it is one; a READONLY reply then tells that the
// master was demoted and fails like a lost connection, the next command going to the new
// master. A connection made before a switch the sentinels announced (the master
// generation moved) is closed and made again to the new master before its next command.
// A connection belongs to the thread that made it; it has no locks.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "redis/batch.h"
#include "redis/errors.h"
#include "redis/reply.h"
#include "redis/sentinel.h"

struct redisContext;

namespace vyr::redis {

// Who a connection logs in as: with a password, "AUTH user password" (an ACL user) or
// "AUTH password" (the default user, when `user` is empty); without one, nobody.
struct credentials {
    std::string user;
    std::string password;
};

// The credentials of every connection made without explicit ones (the service's workers
// each open their own). Set by main from the configuration before any thread connects;
// a mutex guards it all the same.
void set_default_credentials(credentials _credentials);
credentials default_credentials();

class connection {
public:
    // Connects (1.5 s connect time-out, 10 s command time-out), logs in with
    // `_credentials` (the default ones in the first form) and selects `_db`. Under
    // Sentinel `_host` and `_port` are only tried when no sentinel answers. Throws
    // connection_error "Connection error: ..." when the server cannot be reached,
    // auth_error when it refuses the credentials, and server_error when it rejects the
    // SELECT.
    connection(const std::string& _host, int _port, unsigned int _db);
    connection(const std::string& _host, int _port, unsigned int _db, credentials _credentials);
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;
    ~connection();

    // Runs one command given as its arguments: command("HSET", key, field, value).
    // Texts are sent as they are; integers as decimal text. A command that finds its
    // (earlier opened) connection closed by the server is sent once more on a new one,
    // when the command table says sending it twice is safe (redis/commands.h).
    template <class... Args>
    reply command(const Args&... _args);
    reply command(std::initializer_list<std::string_view> _argv);
    reply execute_command_argv(const std::vector<std::string_view>& _argv);
    reply execute_command_argv(const std::vector<std::string>& _argv);

    // Round trips to the server so far: one per command, pipeline or transaction sent,
    // including resends and the AUTH and SELECT of each new connection.
    std::uint64_t round_trips() const noexcept { return m_round_trips; }

    reply flush_db();
    // HGET; a missing field or key gives a NIL reply.
    reply get_from_table(std::string_view _key, std::string_view _field);
    // HGET as text: nothing for a missing field or key (or a reply that is no text).
    std::optional<std::string> get_text_from_table(std::string_view _key, std::string_view _field);
    // HEXISTS.
    bool table_has(std::string_view _key, std::string_view _field);
    // HMGET; an array with one element per field, NIL for a missing one.
    reply get_from_table(std::string_view _key, std::initializer_list<std::string_view> _fields);
    // HMGET as texts, one per field: nothing for a missing field (or a reply that is no
    // text).
    std::vector<std::optional<std::string>> get_texts_from_table(std::string_view _key,
                                                                 std::initializer_list<std::string_view> _fields);
    // HINCRBY; the reply is the new value.
    reply increment_in_table(std::string_view _key, std::string_view _field, std::string_view _increment);
    reply delete_from_table(std::string_view _key, std::string_view _field);
    reply get_set_members(std::string_view _key);
    // SMEMBERS as texts; an error reply (the key holds another type) throws.
    std::vector<std::string> get_member_texts(std::string_view _key);
    // HMSET of the pairs in list order.
    reply set_to_table(std::string_view _key,
                       std::initializer_list<std::pair<std::string_view, std::string_view>> _pairs);
    // HSET; an empty value deletes the field (HDEL) instead.
    reply set_to_table(std::string_view _key, std::string_view _field, std::string_view _value);

private:
    friend class pipeline;
    friend class transaction;

    struct deleter {
        void operator()(redisContext* _context) const noexcept;
    };
    using context_ptr = std::unique_ptr<redisContext, deleter>;

    // A new connection, logged in, with its database selected; throws on any failure.
    // Under Sentinel to the master announced last, else the one they name, else to
    // `m_host`:`m_port`.
    context_ptr connect() const;
    // The same to `_server`; with `_verify_role` only when ROLE says it is a master.
    context_ptr connect_to(const address& _server, bool _verify_role) const;
    // Sends one command on `_context` and returns its reply; throws connection_error on
    // a lost connection and server_error on an error reply.
    static reply run(redisContext* _context, const std::vector<std::string_view>& _argv);
    // run(), but under Sentinel a READONLY reply drops the connection and throws
    // connection_error (closed).
    reply run_on_master(redisContext* _context, const std::vector<std::string_view>& _argv);
    // run_batch(), with READONLY as in run_on_master (`_replies_read` then 0).
    std::vector<reply> run_batch_on_master(redisContext* _context,
                                           const std::vector<std::vector<std::string>>& _commands,
                                           std::size_t& _replies_read);
    // Appends the commands and reads all their replies; throws connection_error on a lost
    // connection (`_replies_read` then tells how many replies came back). Error replies
    // are returned, not thrown.
    static std::vector<reply> run_batch(redisContext* _context, const std::vector<std::vector<std::string>>& _commands,
                                        std::size_t& _replies_read);
    // The commands in one round trip, their replies (error replies among them) in order.
    // A batch that met a connection the server had closed before any reply is sent once
    // more when the command table says every command of it is safe to send twice. On a
    // lost connection `_unrun` (when given) tells whether nothing of the batch can have
    // run: no connection could be made, or the server had closed it before a reply; and
    // `_answered` (when given) how many of its first commands answered (and so ran).
    std::vector<reply> send(const std::vector<std::vector<std::string>>& _commands, bool* _unrun = nullptr,
                            std::size_t* _answered = nullptr);
    // A connection for the next command: the current one, or a new one when it is broken
    // or the master switched since it was made. `_fresh` tells whether it was just opened.
    redisContext* live_connection(bool& _fresh);

    template <class T>
    static void add_argument(std::vector<std::string_view>& _argv, std::vector<std::string>& _owned,
                             const T& _argument);

    // Constant after construction.
    const std::string m_host;
    const int m_port;
    const unsigned int m_db;
    const credentials m_credentials;
    // The master generation (redis/sentinel.h) when the connection below was begun.
    std::uint64_t m_generation = master_generation();
    // Replaced when found broken or made under an older master generation.
    context_ptr m_context_ptr;
    std::uint64_t m_round_trips = 0;
};

template <class T>
void connection::add_argument(std::vector<std::string_view>& _argv, std::vector<std::string>& _owned,
                              const T& _argument) {
    if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>) {
        // `_owned` was reserved for every argument, so the texts never move.
        _owned.push_back(std::to_string(_argument));
        _argv.emplace_back(_owned.back());
    } else {
        static_assert(std::is_convertible_v<const T&, std::string_view>,
                      "command arguments are texts or integers");
        _argv.emplace_back(_argument);
    }
}

template <class... Args>
reply connection::command(const Args&... _args) {
    std::vector<std::string_view> argv;
    std::vector<std::string> owned;
    argv.reserve(sizeof...(Args));
    owned.reserve(sizeof...(Args));
    (add_argument(argv, owned, _args), ...);
    return execute_command_argv(argv);
}

}  // namespace vyr::redis
