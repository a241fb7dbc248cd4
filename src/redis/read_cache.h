// A read cache in front of one Redis connection: what a caller prefetched in pipelines
// (whole hashes, sets and strings, or chosen fields of a hash) answers the plain reads
// (HGET, HMGET, HGETALL, HEXISTS, HKEYS, HLEN, EXISTS, SMEMBERS, SISMEMBER, SCARD, GET)
// without a round trip. Writes that go through the connection are applied to what is
// kept (HSET, HMSET, HDEL, DEL, SADD, SREM, SET) or drop the keys they touch; a command
// the cache does not know drops everything, so that a read never answers what this
// connection itself has changed. Writes of other connections are not seen: a cache is
// a snapshot that its user keeps only as long as that staleness is acceptable (one
// delivery cycle, one chunk of WIN records). Owned by a `context` and used by its thread
// only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "redis/reply.h"

struct redisReply;

namespace vyr::redis {

// How a prefetched key is read whole.
enum class key_kind { hash, set, string };

class read_cache {
public:
    // A reply made from what is kept, when the command is a read that the cache can
    // answer whole; nothing when it must go to the server.
    std::optional<reply> serve(const std::vector<std::string_view>& _argv) const;
    // The replies of a pipeline, or the EXEC reply of a transaction, of reads only, when
    // the cache can answer every one of them.
    std::optional<std::vector<reply>> serve_all(const std::vector<std::vector<std::string>>& _commands) const;
    std::optional<reply> serve_transaction(const std::vector<std::vector<std::string>>& _commands) const;
    // HGET without a reply object: the value (nullptr when the field or key is missing),
    // or nothing when the cache cannot answer.
    std::optional<const std::string*> field(std::string_view _key, std::string_view _field) const;
    // SMEMBERS the same way: the members in the server's order (nullptr when the cache
    // cannot answer; an absent key has none).
    const std::vector<std::string>* members(std::string_view _key) const;
    // HMGET the same way: true with `_values` set (one per field, nullptr when missing)
    // when the cache can answer every field.
    bool fields(std::string_view _key, std::initializer_list<std::string_view> _fields,
                std::vector<const std::string*>& _values) const;
    // Records the effect of a write (or of any other command) that went, or will go, to
    // the server. `_argv` is one command as sent.
    void note(const std::vector<std::string_view>& _argv);
    // After a write that went to the server: what its reply tells of a kept key (the new
    // value of HINCRBY), else as note().
    void note(const std::vector<std::string_view>& _argv, const reply_element& _reply);
    // The reply a write that is held back until the next flush gives at once, as the
    // server would give it for what is kept; nothing when the command cannot be held
    // back (its reply depends on what is not kept, or it is no plain write).
    std::optional<reply> deferred_reply(const std::vector<std::string_view>& _argv) const;

    // Keeps the reply of HGETALL, SMEMBERS or GET of `_key` (`_kind` says which); a
    // transient key goes with the next drop_transient() (it is kept apart, so that the
    // keys of a chunk of records are looked up among few).
    void store(const std::string& _key, key_kind _kind, const reply_element& _reply, bool _transient = false);
    // Keeps the reply of "HMGET _key _fields...": those fields only.
    void store_fields(const std::string& _key, const std::vector<std::string>& _fields, const reply_element& _reply);
    bool holds(std::string_view _key) const { return find(_key) != nullptr; }
    // Lets go of `_key`: its next read goes to the server.
    void forget(std::string_view _key) { erase(_key); }
    // Room for `_more` keys beyond those kept, so that storing them never rehashes.
    void reserve(std::size_t _more, bool _transient) {
        auto& kept = _transient ? m_transient : m_entries;
        kept.reserve(kept.size() + _more);
    }
    // Whether the transient keys hold `_key`: a transient key may also be kept among
    // the others, and is then served from its transient copy (see locate()).
    bool holds_transient(std::string_view _key) const { return m_transient.count(probe(_key)) != 0; }
    void drop_transient();
    // Lets go of up to `_count` kept keys; true when none is left.
    bool drop_some(std::size_t _count);
    void clear() {
        m_entries.clear();
        m_transient.clear();
        m_transient_written.clear();
        ++m_clears;
    }
    // How many times everything was let go of (clear(), or a command that may have
    // changed anything).
    std::uint64_t clears() const noexcept { return m_clears; }
    std::size_t size() const noexcept { return m_entries.size() + m_transient.size(); }

    struct raw_deleter {
        void operator()(redisReply* _reply) const noexcept;
    };

private:
    struct entry {
        enum class type { absent, hash, set, string };
        type kind = type::absent;
        // A hash of which only `fields` and `missing` are known (read by HMGET).
        bool partial = false;
        std::map<std::string, std::string, std::less<>> fields;
        std::set<std::string, std::less<>> missing;
        // In the server's order, which callers may go by (the first of a kind).
        std::vector<std::string> members;
        // The members again for lookups in a big set, built at the first one.
        mutable std::set<std::string, std::less<>> member_index;
        bool has_member(std::string_view _member) const;
        // A field of the hash: its value, nullptr when it is known to be missing, nothing
        // when it is not known.
        std::optional<const std::string*> known_field(std::string_view _field) const;
        void add_member(std::string_view _member);
        void remove_member(std::string_view _member);
        std::string text;
    };
    const entry* find(std::string_view _key) const;
    // The entry a write changes. A transient one is noted in m_transient_written: its
    // copy among the others, if any, is out of date and is dropped with the transient keys.
    entry* locate(std::string_view _key);
    void erase(std::string_view _key);
    // A reply as hiredis makes them; null when the cache cannot answer.
    std::unique_ptr<redisReply, raw_deleter> serve_raw(const std::vector<std::string_view>& _argv) const;
    // A hash entry to write fields of (an absent key becomes an empty hash); nothing
    // when the key holds another type, which is then dropped.
    entry* writable_hash(std::string_view _key);
    entry* writable_set(std::string_view _key);
    // The value of the field after "HINCRBY key field by" (`_argv`), as the server would
    // reply; nothing when what is kept does not tell it or the server would refuse.
    static std::optional<long long> incremented(const entry& _kept, const std::vector<std::string_view>& _argv);
    static void set_field(entry& _kept, std::string_view _field, std::string _value);

    // `_key` in a buffer kept for lookups, so that a lookup allocates nothing.
    const std::string& probe(std::string_view _key) const { return m_probe.assign(_key.data(), _key.size()); }

    std::unordered_map<std::string, entry> m_entries;
    std::unordered_map<std::string, entry> m_transient;
    std::vector<std::string> m_transient_written;
    mutable std::string m_probe;
    std::uint64_t m_clears = 0;
};

}  // namespace vyr::redis
