// One synchronous connection to a Redis server with one database selected. Every
// command goes out as a binary-safe argument vector, so keys and values may hold any
// bytes. A connection found broken (lost, timed out) is replaced by a new one before the
// next command; its failure throws `connection_error`, while an error reply of the
// server throws `server_error` (redis/errors.h). Commands can also go as a pipelined batch or a
// MULTI/EXEC transaction, one round trip each. A server that asks for a password gets
// AUTH on every new connection, before the SELECT. A `context` belongs to the thread that
// made it; it has no locks.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/exception.h"
#include "redis/errors.h"
#include "redis/read_cache.h"
#include "redis/reply.h"

struct redisContext;

namespace vyr::redis {

// Who a connection logs in as: with a password, "AUTH user password" (an ACL user) or
// "AUTH password" (the default user, when `user` is empty); without one, nobody.
struct credentials {
    std::string user;
    std::string password;
};

// One script call that makes `_writes` only while field `_field` of hash `_key` holds
// `_expected` (nothing: while the field is missing); it returns 1 when they were made,
// 0 when the field had changed. A compare-and-set of a group of writes in one command.
std::vector<std::string> guarded_writes_command(const std::string& _key, const std::string& _field,
                                                const std::optional<std::string>& _expected,
                                                const std::vector<std::vector<std::string>>& _writes);

// The credentials of every context made without explicit ones (the service's workers
// each open their own). Set by main from the configuration before any thread connects;
// a mutex guards it all the same.
void set_default_credentials(credentials _credentials);
credentials default_credentials();

// Commands to be sent together, each one given as its arguments like `context::command`.
class batch {
public:
    template <class... Args>
    batch& add(const Args&... _args) {
        std::vector<std::string> argv;
        argv.reserve(sizeof...(Args));
        (argv.push_back(to_argument(_args)), ...);
        m_commands.push_back(std::move(argv));
        return *this;
    }
    batch& add_argv(std::vector<std::string> _argv) {
        m_commands.push_back(std::move(_argv));
        return *this;
    }
    std::size_t size() const noexcept { return m_commands.size(); }
    bool empty() const noexcept { return m_commands.empty(); }
    const std::vector<std::vector<std::string>>& commands() const noexcept { return m_commands; }
    void clear() noexcept { m_commands.clear(); }

private:
    template <class T>
    static std::string to_argument(const T& _argument) {
        if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>)
            return std::to_string(_argument);
        else
            return std::string(std::string_view(_argument));
    }

    std::vector<std::vector<std::string>> m_commands;
};

class context {
public:
    // Connects (1.5 s connect time-out, 10 s command time-out), logs in with
    // `_credentials` (the default ones in the first form) and selects `_db`. Throws
    // connection_error "Connection error: ..." when the server cannot be reached,
    // auth_error when it refuses the credentials, and the "Command: ..." error when it
    // rejects the SELECT.
    context(const std::string& _host, int _port, unsigned int _db);
    context(const std::string& _host, int _port, unsigned int _db, credentials _credentials);
    context(const context&) = delete;
    context& operator=(const context&) = delete;
    virtual ~context();

    // Runs one command given as its arguments: command("HSET", key, field, value).
    // Texts are sent as they are; integers as decimal text. A command that finds its
    // (earlier opened) connection closed by the server is sent once more on a new one,
    // when the command table says sending it twice is safe (redis/commands.h).
    template <class... Args>
    reply command(const Args&... _args);
    reply command(std::initializer_list<std::string_view> _argv);
    reply execute_command_argv(const std::vector<std::string_view>& _argv);
    reply execute_command_argv(const std::vector<std::string>& _argv);

    // Sends every command of `_batch` at once and reads every reply, in order, so that
    // one round trip serves the whole batch. All replies are read even after an error
    // reply, so the connection stays in step; then the first error reply throws (as
    // `command` does). A batch that finds its connection closed by the server before any
    // reply came back is sent once more on a new connection, when every command of it
    // is safe to send twice (redis/commands.h: not HINCRBY, which would count twice).
    std::vector<reply> pipeline(const batch& _batch);
    // The same, telling on a failure whether nothing of the batch can have run (no
    // connection could be made, or the server had closed it before any reply).
    std::vector<reply> pipeline(const batch& _batch, bool& _unrun);
    // A pipeline of reads whose error replies (a key of another type) are returned in
    // their place for the caller to judge, not thrown; a lost connection still throws.
    std::vector<reply> read_pipeline(const batch& _batch);
    // The batch between MULTI and EXEC, in one round trip: other connections see all of
    // its writes or none. Returns EXEC's array of the commands' replies. Throws on an
    // error reply to any command (queued or run) and when EXEC is aborted (nil, after a
    // WATCHed key changed).
    reply transaction(const batch& _batch);
    // Round trips to the server so far: one per command, pipeline or transaction sent,
    // including resends and the AUTH and SELECT of each new connection.
    std::uint64_t round_trips() const noexcept { return m_round_trips; }

    // ---- the read cache (redis/read_cache.h) ----
    // While it is on, prefetch() and prefetch_fields() read keys in pipelines and keep
    // them, and plain reads of what is kept are answered without a round trip; this
    // connection's own writes keep it right. Off forgets everything, after sending the
    // writes held back. A cache that met a failed command is emptied.
    void cache_on();
    void cache_off();
    // The same, letting go of what is kept a slice at a time, with `_between` called
    // between two slices (it may use this connection: what is still kept stays right).
    void cache_off(const std::function<void()>& _between);
    bool caching() const noexcept { return m_cache != nullptr; }
    // Reads and keeps HGETALL / SMEMBERS / GET of each key not kept yet, at most
    // s_prefetch_chunk commands per round trip. Nothing while the cache is off.
    static constexpr std::size_t s_prefetch_chunk = 2000;
    // Transient keys are forgotten together by forget_transient(). `_between`, when set,
    // is called between two round trips, when what came back is kept: a long read lets
    // its caller do other work (which may use this connection) meanwhile.
    void prefetch(const std::vector<std::pair<std::string, key_kind>>& _keys, bool _transient = false,
                  const std::function<void()>& _between = {});
    void forget_transient();
    // Sends the reads prefetch() would send for `_keys` and goes on without waiting: the
    // server reads while the caller works, and the replies are taken off the connection
    // before its next use. A later prefetch() of those keys keeps them from there without
    // a round trip, except a key this connection wrote meanwhile, which is read again.
    // Replaces an earlier read ahead; goes with the cache. Nothing while the cache is off.
    // A failure is not thrown: the connection is replaced and the keys are read as usual.
    void prefetch_ahead(const std::vector<std::pair<std::string, key_kind>>& _keys);
    // HMGET of the fields of each hash not kept whole, kept as known fields.
    // `_whole` are read in the same round trip, as prefetch() reads them.
    void prefetch_fields(const std::vector<std::pair<std::string, std::vector<std::string>>>& _reads,
                         const std::vector<std::pair<std::string, key_kind>>& _whole = {});
    // While the cache is on and writes are held, a plain write of a kept key (HSET,
    // HMSET, HDEL, DEL, SADD, SREM, SET) is answered at once and sent with the next
    // round trip: the next command, pipeline or transaction, or flush_writes(). A write
    // that was held and then failed throws from there. Held writes that cannot have run
    // (no connection, or one the server had closed before any reply) stay held, also when
    // the cache goes off, and go before the next command on a new connection: a device's
    // push record is not lost to a Redis restart while its frames went out.
    void hold_writes(bool _hold) noexcept { m_hold_writes = _hold; }
    bool holding_writes() const noexcept { return m_cache && m_hold_writes; }
    void flush_writes();
    // A compare-and-set over the writes held back from here to end_guard(): they go to
    // the server as one script call, made only while field `_field` of hash `_key` still
    // holds `_expected` (nothing: the field is missing). When another connection changed
    // it meanwhile, none of them is made and what the cache kept of the keys they touch is
    // forgotten. Writes that cannot be held back (writes are not held, or the key is not
    // kept) go out at once, unguarded. Guards do not nest.
    void guard_writes(std::string _key, std::string _field, std::optional<std::string> _expected);
    void end_guard();
    // Guarded groups whose field had changed, so that none of their writes was made.
    std::uint64_t guards_failed() const noexcept { return m_guards_failed; }
    // Reads answered from the cache so far.
    std::uint64_t cache_hits() const noexcept { return m_cache_hits; }

    reply flush_db();
    // HGET; a missing field or key gives a NIL reply.
    reply get_from_table(std::string_view _key, std::string_view _field);
    // HGET as text: nothing for a missing field or key (or a reply that is no text).
    // Answered from the read cache without building a reply when it can.
    std::optional<std::string> get_text_from_table(std::string_view _key, std::string_view _field);
    // HEXISTS, answered from the read cache without building a reply when it can.
    bool table_has(std::string_view _key, std::string_view _field);
    // HMGET; an array with one element per field, NIL for a missing one.
    reply get_from_table(std::string_view _key, std::initializer_list<std::string_view> _fields);
    // HMGET as texts, one per field: nothing for a missing field (or a reply that is no
    // text). Answered from the read cache without building a reply when it can.
    std::vector<std::optional<std::string>> get_texts_from_table(std::string_view _key,
                                                                 std::initializer_list<std::string_view> _fields);
    // HINCRBY; the reply is the new value.
    reply increment_in_table(std::string_view _key, std::string_view _field, std::string_view _increment);
    reply delete_from_table(std::string_view _key, std::string_view _field);
    reply get_set_members(std::string_view _key);
    // SMEMBERS as texts, answered from the read cache without building a reply when it
    // can; an error reply (the key holds another type) throws.
    std::vector<std::string> get_member_texts(std::string_view _key);
    // HMSET of the pairs in list order.
    reply set_to_table(std::string_view _key,
                       std::initializer_list<std::pair<std::string_view, std::string_view>> _pairs);
    // HSET; an empty value deletes the field (HDEL) instead.
    reply set_to_table(std::string_view _key, std::string_view _field, std::string_view _value);

private:
    struct deleter {
        void operator()(redisContext* _context) const noexcept;
    };
    using context_ptr = std::unique_ptr<redisContext, deleter>;

    // A new connection, logged in, with its database selected; throws on any failure.
    context_ptr connect() const;
    // Sends one command on `_context` and returns its reply; throws connection_error on
    // a lost connection and the base exception on an error reply.
    static reply run(redisContext* _context, const std::vector<std::string_view>& _argv);
    // Appends the commands and reads all their replies; throws connection_error on a lost
    // connection (`_replies_read` then tells whether any reply came back). Error replies
    // are returned, not thrown.
    static std::vector<reply> run_batch(redisContext* _context, const std::vector<std::vector<std::string>>& _commands,
                                        bool& _replies_read);
    // On a lost connection `_unrun` (when given) tells whether nothing of the batch can
    // have run: no connection could be made, or the server had closed it before a reply.
    std::vector<reply> execute_batch(const std::vector<std::vector<std::string>>& _commands, bool* _unrun = nullptr);
    // A connection for the next command: the current one, or a new one when it is broken.
    // `_fresh` tells whether it was just opened.
    redisContext* live_connection(bool& _fresh);

    template <class T>
    static void add_argument(std::vector<std::string_view>& _argv, std::vector<std::string>& _owned,
                             const T& _argument);

    // Constant after construction.
    const std::string m_host;
    const int m_port;
    const unsigned int m_db;
    const credentials m_credentials;
    // Replaced when found broken.
    context_ptr m_context_ptr;
    std::uint64_t m_round_trips = 0;
    // The read cache while it is on, and the writes held back for it.
    std::unique_ptr<read_cache> m_cache;
    bool m_hold_writes = false;
    batch m_held;
    std::uint64_t m_cache_hits = 0;
    // The guard open now, with the writes it holds back so far.
    struct write_guard {
        std::string key;
        std::string field;
        std::optional<std::string> expected;
        batch writes;
        std::vector<std::string> keys;
    };
    std::optional<write_guard> m_guard;
    // The closed guards among the held writes: their place in m_held and the keys their
    // writes touch.
    struct held_guard {
        std::size_t index = 0;
        std::vector<std::string> keys;
    };
    std::vector<held_guard> m_held_guards;
    std::uint64_t m_guards_failed = 0;
    // Holds back one write that the cache answered, in the open guard if there is one.
    void hold(const std::vector<std::string_view>& _argv, const reply& _answer);

    // A read sent ahead (prefetch_ahead), from its sending until another replaces it or
    // the cache goes off. Built in place and never moved: `waiting` views `keys`.
    struct read_ahead {
        std::vector<std::pair<std::string, key_kind>> keys;
        // The keys not handed over yet and not written since, by position in `keys`.
        std::unordered_map<std::string_view, std::size_t> waiting;
        // Taken off the connection; empty while they are still on it.
        std::vector<reply> replies;
        bool on_wire = true;
        // The cache's clears when it was sent: after another, nothing is handed over.
        std::uint64_t clears = 0;
    };
    std::unique_ptr<read_ahead> m_ahead;
    // Reads the replies still on the connection; on a failure the connection and the
    // read ahead are let go of.
    void take_ahead() noexcept;
    void drop_ahead() noexcept;
    // Keeps `_key` from the read ahead, as prefetch() would keep it; false when it has
    // no reply for it to give.
    bool adopt_ahead(const std::pair<std::string, key_kind>& _key, bool _transient);
    // The cache's view of one command that went, or will go, out; a key it names is no
    // longer what the read ahead found.
    void note(const std::vector<std::string_view>& _argv);
    void note(const std::vector<std::string_view>& _argv, const reply& _reply);
    // What the read ahead found of the keys `_argv` names is old.
    void forget_ahead(const std::vector<std::string_view>& _argv);

    // Sends `_commands` after the held writes in one round trip, keeps the cache right
    // and returns the replies of `_commands` only; an error reply to a held write throws.
    std::vector<reply> execute_with_held(const std::vector<std::vector<std::string>>& _commands);
    // The cache's view of the commands of a batch that went out.
    void note_batch(const std::vector<std::vector<std::string>>& _commands, const std::vector<reply>& _replies);
    reply execute_live(const std::vector<std::string_view>& _argv);
};

// The read cache of `_context` on for the life of the scope (see context::cache_on):
// the writes still held at its end are sent then, or dropped when that fails.
class cache_scope {
public:
    explicit cache_scope(context& _context) : m_context(_context) { m_context.cache_on(); }
    ~cache_scope();
    cache_scope(const cache_scope&) = delete;
    cache_scope& operator=(const cache_scope&) = delete;

private:
    context& m_context;
};

template <class T>
void context::add_argument(std::vector<std::string_view>& _argv, std::vector<std::string>& _owned,
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
reply context::command(const Args&... _args) {
    std::vector<std::string_view> argv;
    std::vector<std::string> owned;
    argv.reserve(sizeof...(Args));
    owned.reserve(sizeof...(Args));
    (add_argument(argv, owned, _args), ...);
    return execute_command_argv(argv);
}

}  // namespace vyr::redis
