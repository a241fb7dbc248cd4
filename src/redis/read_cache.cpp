#include "redis/read_cache.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>

#include <hiredis/hiredis.h>

namespace vyr::redis {

namespace {

// Replies are built as hiredis builds them (calloc'd and malloc'd, freed by
// freeReplyObject), so that a `reply` owns them like any other.
using raw_reply = std::unique_ptr<redisReply, read_cache::raw_deleter>;

raw_reply make(int _type) {
    auto* made = static_cast<redisReply*>(std::calloc(1, sizeof(redisReply)));
    if (!made)
        throw std::bad_alloc();
    made->type = _type;
    return raw_reply(made);
}

raw_reply make_text(int _type, std::string_view _text) {
    auto made = make(_type);
    made->str = static_cast<char*>(std::malloc(_text.size() + 1));
    if (!made->str)
        throw std::bad_alloc();
    std::memcpy(made->str, _text.data(), _text.size());
    made->str[_text.size()] = '\0';
    made->len = _text.size();
    return made;
}

reply wrap(raw_reply _raw) { return reply(_raw.release()); }
raw_reply string_reply(std::string_view _text) { return make_text(REDIS_REPLY_STRING, _text); }
raw_reply status_ok() { return make_text(REDIS_REPLY_STATUS, "OK"); }
raw_reply nil_reply() { return make(REDIS_REPLY_NIL); }
raw_reply integer_reply(long long _value) {
    auto made = make(REDIS_REPLY_INTEGER);
    made->integer = _value;
    return made;
}
raw_reply array_of(std::vector<raw_reply> _elements) {
    auto made = make(REDIS_REPLY_ARRAY);
    made->element = static_cast<redisReply**>(std::calloc(std::max<std::size_t>(_elements.size(), 1), sizeof(redisReply*)));
    if (!made->element)
        throw std::bad_alloc();
    for (auto& element : _elements)
        made->element[made->elements++] = element.release();
    return made;
}
// An array of strings; a null element is a NIL.
raw_reply array_reply(const std::vector<const std::string*>& _elements) {
    std::vector<raw_reply> made;
    made.reserve(_elements.size());
    for (const auto* element : _elements)
        made.push_back(element ? string_reply(*element) : nil_reply());
    return array_of(std::move(made));
}

std::string upper(std::string_view _word) {
    std::string word(_word);
    for (auto& c : word)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return word;
}

bool one_of(const std::string& _word, std::initializer_list<std::string_view> _words) {
    return std::find(_words.begin(), _words.end(), _word) != _words.end();
}

// Reads that change nothing: they go to the server when not answered from the cache.
bool is_pure_read(const std::string& _word) {
    return one_of(_word, {"HGET",   "HMGET", "HGETALL", "HEXISTS", "HKEYS",      "HVALS",  "HLEN",    "HSTRLEN",
                          "EXISTS", "SMEMBERS", "SISMEMBER", "SCARD", "SRANDMEMBER", "GET", "MGET",  "STRLEN",
                          "KEYS",   "SCAN",  "HSCAN",   "SSCAN",   "TYPE",       "TTL",    "PTTL",    "LRANGE",
                          "LLEN",   "ZRANGE", "ZCARD",  "ZSCORE",  "DBSIZE",     "PING",   "TIME",    "INFO",
                          "MULTI",  "EXEC",  "DISCARD", "WATCH",   "UNWATCH",    "SCRIPT"});
}

// Writes of the key in their first argument (more for some), dropped from the cache.
bool is_keyed_write(const std::string& _word) {
    return one_of(_word, {"HINCRBY", "HINCRBYFLOAT", "HSETNX", "EXPIRE", "PEXPIRE", "EXPIREAT", "PERSIST", "INCR",
                          "INCRBY",  "DECR",         "DECRBY", "APPEND", "GETSET",  "GETDEL",   "SETNX",   "SETEX",
                          "PSETEX",  "SPOP",         "RPUSH",  "LPUSH",  "LPOP",    "RPOP",     "LREM",    "LTRIM",
                          "LSET",    "ZADD",         "ZREM",   "ZINCRBY", "SMOVE",  "RENAME",   "UNLINK"});
}

// A whole decimal integer as the server takes one (no sign but '-', no leading zero, no
// blank); nothing for anything else.
std::optional<long long> strict_integer(std::string_view _text) {
    const bool negative = !_text.empty() && _text.front() == '-';
    const auto digits = _text.substr(negative ? 1 : 0);
    if (digits.empty() || digits.size() > 19 || (digits.front() == '0' && (digits.size() > 1 || negative)))
        return std::nullopt;
    long long value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9' || __builtin_mul_overflow(value, 10, &value) ||
            __builtin_add_overflow(value, negative ? -(c - '0') : c - '0', &value))
            return std::nullopt;
    }
    return value;
}

}  // namespace

bool read_cache::entry::has_member(std::string_view _member) const {
    static constexpr std::size_t s_scanned = 16;
    if (members.size() <= s_scanned)
        return std::find(members.begin(), members.end(), _member) != members.end();
    if (member_index.empty())
        member_index.insert(members.begin(), members.end());
    return member_index.count(_member) != 0;
}

void read_cache::entry::add_member(std::string_view _member) {
    if (has_member(_member))
        return;
    members.emplace_back(_member);
    if (!member_index.empty())
        member_index.emplace(_member);
}

void read_cache::entry::remove_member(std::string_view _member) {
    const auto found = std::find(members.begin(), members.end(), _member);
    if (found == members.end())
        return;
    members.erase(found);
    if (const auto indexed = member_index.find(_member); indexed != member_index.end())
        member_index.erase(indexed);
}

void read_cache::raw_deleter::operator()(redisReply* _reply) const noexcept { freeReplyObject(_reply); }

const read_cache::entry* read_cache::find(std::string_view _key) const {
    const auto& key = probe(_key);
    if (!m_transient.empty()) {
        const auto found = m_transient.find(key);
        if (found != m_transient.end())
            return &found->second;
    }
    const auto found = m_entries.find(key);
    return found == m_entries.end() ? nullptr : &found->second;
}

read_cache::entry* read_cache::locate(std::string_view _key) {
    const auto& key = probe(_key);
    if (!m_transient.empty()) {
        const auto found = m_transient.find(key);
        if (found != m_transient.end()) {
            m_transient_written.push_back(key);
            return &found->second;
        }
    }
    const auto found = m_entries.find(key);
    return found == m_entries.end() ? nullptr : &found->second;
}

void read_cache::erase(std::string_view _key) {
    const auto& key = probe(_key);
    m_transient.erase(key);
    m_entries.erase(key);
}

bool read_cache::drop_some(std::size_t _count) {
    drop_transient();
    auto last = m_entries.begin();
    for (std::size_t i = 0; i < _count && last != m_entries.end(); ++i)
        ++last;
    m_entries.erase(m_entries.begin(), last);
    return m_entries.empty();
}

void read_cache::drop_transient() {
    for (const auto& key : m_transient_written)
        m_entries.erase(key);
    m_transient_written.clear();
    m_transient.clear();
}

std::optional<reply> read_cache::serve(const std::vector<std::string_view>& _argv) const {
    if (auto served = serve_raw(_argv))
        return wrap(std::move(served));
    return std::nullopt;
}

std::optional<std::vector<reply>> read_cache::serve_all(const std::vector<std::vector<std::string>>& _commands) const {
    std::vector<raw_reply> served;
    for (const auto& command : _commands) {
        served.push_back(serve_raw(std::vector<std::string_view>(command.begin(), command.end())));
        if (!served.back())
            return std::nullopt;
    }
    std::vector<reply> replies;
    for (auto& one : served)
        replies.push_back(wrap(std::move(one)));
    return replies;
}

std::optional<reply> read_cache::serve_transaction(const std::vector<std::vector<std::string>>& _commands) const {
    std::vector<raw_reply> served;
    for (const auto& command : _commands) {
        served.push_back(serve_raw(std::vector<std::string_view>(command.begin(), command.end())));
        if (!served.back())
            return std::nullopt;
    }
    return wrap(array_of(std::move(served)));
}

raw_reply read_cache::serve_raw(const std::vector<std::string_view>& _argv) const {
    if (_argv.size() < 2)
        return nullptr;
    const auto* kept = find(_argv[1]);
    if (!kept)
        return nullptr;
    const std::string word = upper(_argv[0]);
    using type = entry::type;
    const bool absent = kept->kind == type::absent;
    const bool hash = absent || kept->kind == type::hash;
    const bool whole_hash = hash && !kept->partial;
    const bool set = absent || kept->kind == type::set;
    const auto field = [&](std::string_view _field) { return kept->known_field(_field); };
    if (word == "HGET" && hash && _argv.size() == 3) {
        const auto value = field(_argv[2]);
        if (!value)
            return nullptr;
        return *value ? string_reply(**value) : nil_reply();
    }
    if (word == "HMGET" && hash && _argv.size() >= 3) {
        std::vector<const std::string*> values;
        for (std::size_t i = 2; i < _argv.size(); ++i) {
            const auto value = field(_argv[i]);
            if (!value)
                return nullptr;
            values.push_back(*value);
        }
        return array_reply(values);
    }
    if (word == "HEXISTS" && hash && _argv.size() == 3) {
        const auto value = field(_argv[2]);
        if (!value)
            return nullptr;
        return integer_reply(*value ? 1 : 0);
    }
    if (whole_hash && _argv.size() == 2 && (word == "HGETALL" || word == "HKEYS" || word == "HVALS")) {
        std::vector<const std::string*> elements;
        for (const auto& [name, value] : kept->fields) {
            if (word != "HVALS")
                elements.push_back(&name);
            if (word != "HKEYS")
                elements.push_back(&value);
        }
        return array_reply(elements);
    }
    if (word == "HLEN" && whole_hash && _argv.size() == 2)
        return integer_reply(static_cast<long long>(kept->fields.size()));
    if (word == "EXISTS" && _argv.size() == 2 && (!kept->partial || !kept->fields.empty()))
        return integer_reply(absent || (kept->kind == type::hash && kept->fields.empty()) ? 0 : 1);
    if (word == "SMEMBERS" && set && _argv.size() == 2) {
        std::vector<const std::string*> elements;
        for (const auto& member : kept->members)
            elements.push_back(&member);
        return array_reply(elements);
    }
    if (word == "SISMEMBER" && set && _argv.size() == 3)
        return integer_reply(kept->has_member(_argv[2]) ? 1 : 0);
    if (word == "SCARD" && set && _argv.size() == 2)
        return integer_reply(static_cast<long long>(kept->members.size()));
    if (word == "GET" && _argv.size() == 2 && (absent || kept->kind == type::string))
        return absent ? nil_reply() : string_reply(kept->text);
    return nullptr;
}

std::optional<const std::string*> read_cache::field(std::string_view _key, std::string_view _field) const {
    const auto* kept = find(_key);
    if (!kept || (kept->kind != entry::type::absent && kept->kind != entry::type::hash))
        return std::nullopt;
    return kept->known_field(_field);
}

const std::vector<std::string>* read_cache::members(std::string_view _key) const {
    const auto* kept = find(_key);
    if (!kept || (kept->kind != entry::type::absent && kept->kind != entry::type::set))
        return nullptr;
    return &kept->members;
}

bool read_cache::fields(std::string_view _key, std::initializer_list<std::string_view> _fields,
                        std::vector<const std::string*>& _values) const {
    const auto* kept = find(_key);
    if (!kept || (kept->kind != entry::type::absent && kept->kind != entry::type::hash))
        return false;
    _values.clear();
    for (const auto& name : _fields) {
        const auto value = kept->known_field(name);
        if (!value)
            return false;
        _values.push_back(*value);
    }
    return true;
}

std::optional<const std::string*> read_cache::entry::known_field(std::string_view _field) const {
    const auto value = fields.find(_field);
    if (value != fields.end())
        return &value->second;
    if (partial && !missing.count(_field))
        return std::nullopt;
    return nullptr;
}

read_cache::entry* read_cache::writable_hash(std::string_view _key) {
    auto* kept = locate(_key);
    if (!kept)
        return nullptr;
    if (kept->kind == entry::type::absent) {
        kept->kind = entry::type::hash;
        kept->partial = false;
    }
    if (kept->kind != entry::type::hash) {
        erase(_key);
        return nullptr;
    }
    return kept;
}

read_cache::entry* read_cache::writable_set(std::string_view _key) {
    auto* kept = locate(_key);
    if (!kept)
        return nullptr;
    if (kept->kind == entry::type::absent)
        kept->kind = entry::type::set;
    if (kept->kind != entry::type::set) {
        erase(_key);
        return nullptr;
    }
    return kept;
}

void read_cache::note(const std::vector<std::string_view>& _argv) {
    // Looked at even when nothing is kept: a command that may change anything is
    // counted among the clears.
    if (_argv.empty())
        return;
    const std::string word = upper(_argv[0]);
    if (is_pure_read(word))
        return;
    const auto emptied = [](entry& _kept) {
        if (_kept.fields.empty() && _kept.members.empty() && !_kept.partial)
            _kept = entry{};
    };
    if ((word == "HSET" || word == "HMSET") && _argv.size() >= 4 && _argv.size() % 2 == 0) {
        if (auto* kept = writable_hash(_argv[1]))
            for (std::size_t i = 2; i + 1 < _argv.size(); i += 2)
                set_field(*kept, _argv[i], std::string(_argv[i + 1]));
        return;
    }
    if (word == "HINCRBY" && _argv.size() == 4) {
        // Held back: the value it was answered with (see deferred_reply()).
        const auto* known = find(_argv[1]);
        const auto value = known ? incremented(*known, _argv) : std::nullopt;
        if (!value)
            erase(_argv[1]);
        else if (auto* kept = writable_hash(_argv[1]))
            set_field(*kept, _argv[2], std::to_string(*value));
        return;
    }
    if (word == "HDEL" && _argv.size() >= 3) {
        if (auto* kept = writable_hash(_argv[1])) {
            for (std::size_t i = 2; i < _argv.size(); ++i) {
                kept->fields.erase(std::string(_argv[i]));
                if (kept->partial)
                    kept->missing.insert(std::string(_argv[i]));
            }
            emptied(*kept);
        }
        return;
    }
    if ((word == "SADD" || word == "SREM") && _argv.size() >= 3) {
        if (auto* kept = writable_set(_argv[1])) {
            for (std::size_t i = 2; i < _argv.size(); ++i) {
                if (word == "SREM")
                    kept->remove_member(_argv[i]);
                else
                    kept->add_member(_argv[i]);
            }
            emptied(*kept);
        }
        return;
    }
    // Only what is kept is changed: a key first met in a write is left to the server.
    if (word == "DEL") {
        for (std::size_t i = 1; i < _argv.size(); ++i)
            if (auto* kept = locate(_argv[i]))
                *kept = entry{};
        return;
    }
    if (word == "SET" && _argv.size() == 3) {
        if (auto* kept = locate(_argv[1])) {
            *kept = entry{};
            kept->kind = entry::type::string;
            kept->text = std::string(_argv[2]);
        }
        return;
    }
    if (word == "EVAL" || word == "EVALSHA") {
        // Its declared keys.
        const std::size_t keys = _argv.size() > 2 ? std::strtoul(std::string(_argv[2]).c_str(), nullptr, 10) : 0;
        for (std::size_t i = 3; i < _argv.size() && i < 3 + keys; ++i)
            erase(_argv[i]);
        return;
    }
    if (is_keyed_write(word)) {
        for (std::size_t i = 1; i < _argv.size() && (i == 1 || word == "UNLINK" || word == "SMOVE" || word == "RENAME");
             ++i)
            erase(_argv[i]);
        if (word == "SMOVE" || word == "RENAME")
            erase(_argv[2]);
        return;
    }
    // Anything else may have changed anything.
    clear();
}

void read_cache::note(const std::vector<std::string_view>& _argv, const reply_element& _reply) {
    if (_argv.size() == 4 && upper(_argv[0]) == "HINCRBY") {
        if (_reply.get_type() != reply_type::INTEGER)
            erase(_argv[1]);
        else if (auto* kept = writable_hash(_argv[1]))
            set_field(*kept, _argv[2], std::to_string(_reply.to_integer()));
        return;
    }
    note(_argv);
}

std::optional<long long> read_cache::incremented(const entry& _kept, const std::vector<std::string_view>& _argv) {
    if (_kept.kind != entry::type::absent && _kept.kind != entry::type::hash)
        return std::nullopt;
    const auto by = strict_integer(_argv[3]);
    long long value = 0;
    const auto known = _kept.known_field(_argv[2]);
    if (!known)
        return std::nullopt;
    if (*known) {
        const auto was = strict_integer(**known);
        if (!was)
            return std::nullopt;
        value = *was;
    }
    if (!by || __builtin_add_overflow(value, *by, &value))
        return std::nullopt;
    return value;
}

void read_cache::set_field(entry& _kept, std::string_view _field, std::string _value) {
    if (const auto found = _kept.fields.find(_field); found != _kept.fields.end())
        found->second = std::move(_value);
    else
        _kept.fields.emplace(std::string(_field), std::move(_value));
    if (_kept.partial)
        if (const auto missing = _kept.missing.find(_field); missing != _kept.missing.end())
            _kept.missing.erase(missing);
}

std::optional<reply> read_cache::deferred_reply(const std::vector<std::string_view>& _argv) const {
    if (_argv.size() < 2)
        return std::nullopt;
    const std::string word = upper(_argv[0]);
    const auto* kept = find(_argv[1]);
    if (!kept)
        return std::nullopt;
    // SET replaces whatever the key holds.
    if (word == "SET" && _argv.size() == 3)
        return wrap(status_ok());
    const bool hash = kept->kind == entry::type::absent || kept->kind == entry::type::hash;
    if (word == "HMSET" && hash && _argv.size() >= 4 && _argv.size() % 2 == 0)
        return wrap(status_ok());
    const bool set = kept->kind == entry::type::absent || kept->kind == entry::type::set;
    // How many of the named fields (or members) are there now; nothing when unknown.
    const auto present = [&](std::size_t _first, std::size_t _step) -> std::optional<long long> {
        long long count = 0;
        std::set<std::string_view> seen;
        for (std::size_t i = _first; i < _argv.size(); i += _step) {
            if (!seen.insert(_argv[i]).second)
                continue;
            if (set) {
                count += kept->has_member(_argv[i]) ? 1 : 0;
            } else if (kept->fields.count(_argv[i])) {
                ++count;
            } else if (kept->partial && !kept->missing.count(_argv[i])) {
                return std::nullopt;
            }
        }
        return count;
    };
    const auto distinct = [&](std::size_t _first, std::size_t _step) {
        std::set<std::string_view> seen;
        for (std::size_t i = _first; i < _argv.size(); i += _step)
            seen.insert(_argv[i]);
        return static_cast<long long>(seen.size());
    };
    if (word == "HSET" && hash && _argv.size() >= 4 && _argv.size() % 2 == 0) {
        const auto there = present(2, 2);
        return there ? std::optional<reply>(wrap(integer_reply(distinct(2, 2) - *there))) : std::nullopt;
    }
    if (word == "HINCRBY" && _argv.size() == 4) {
        const auto value = incremented(*kept, _argv);
        return value ? std::optional<reply>(wrap(integer_reply(*value))) : std::nullopt;
    }
    if (word == "HDEL" && hash && _argv.size() >= 3) {
        const auto there = present(2, 1);
        return there ? std::optional<reply>(wrap(integer_reply(*there))) : std::nullopt;
    }
    if ((word == "SADD" || word == "SREM") && set && _argv.size() >= 3) {
        const auto there = present(2, 1);
        if (!there)
            return std::nullopt;
        return wrap(integer_reply(word == "SREM" ? *there : distinct(2, 1) - *there));
    }
    return std::nullopt;
}

void read_cache::store(const std::string& _key, key_kind _kind, const reply_element& _reply, bool _transient) {
    entry kept;
    switch (_reply.get_type()) {
        case reply_type::NIL:
            break;
        case reply_type::STRING:
            if (_kind != key_kind::string)
                return;
            kept.kind = entry::type::string;
            kept.text = _reply.to_string();
            break;
        case reply_type::ARRAY: {
            const auto array = _reply.as_array();
            if (_kind == key_kind::string || (_kind == key_kind::hash && array.size() % 2))
                return;
            if (array.empty())
                break;
            for (std::size_t i = 0; i < array.size(); ++i)
                if (!array[i].is_string())
                    return;
            if (_kind == key_kind::hash) {
                kept.kind = entry::type::hash;
                for (std::size_t i = 0; i + 1 < array.size(); i += 2)
                    kept.fields[array[i].to_string()] = array[i + 1].to_string();
            } else {
                kept.kind = entry::type::set;
                for (std::size_t i = 0; i < array.size(); ++i)
                    kept.members.push_back(array[i].to_string());
            }
            break;
        }
        default:
            // An error (the key holds another type): not kept, so reads meet the same error.
            return;
    }
    (_transient ? m_transient : m_entries)[_key] = std::move(kept);
}

void read_cache::store_fields(const std::string& _key, const std::vector<std::string>& _fields,
                              const reply_element& _reply) {
    if (_reply.get_type() != reply_type::ARRAY)
        return;
    const auto array = _reply.as_array();
    if (array.size() != _fields.size())
        return;
    // What is known of a key already kept whole is not made partial.
    if (m_transient.count(_key))
        return;
    const auto [found, added] = m_entries.try_emplace(_key);
    auto& kept = found->second;
    if (added) {
        kept.kind = entry::type::hash;
        kept.partial = true;
    } else if (kept.kind != entry::type::hash || !kept.partial) {
        return;
    }
    for (std::size_t i = 0; i < array.size(); ++i) {
        if (array[i].is_string()) {
            kept.fields[_fields[i]] = array[i].to_string();
            kept.missing.erase(_fields[i]);
        } else {
            kept.fields.erase(_fields[i]);
            kept.missing.insert(_fields[i]);
        }
    }
}

}  // namespace vyr::redis
