// Machinery shared by the records of the project context kept in Redis: key building
// (parts joined with ":"), the text encodings of numbers and booleans, set listings, and
// the `record` base of the uid-keyed records (fields hash, kind set, exists, mandatory
// and optional field reads). Records hold no data: every read and write goes to Redis
// through the connection they are bound to, and they are used by that connection's
// thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "context/errors.h"
#include "core/exception.h"
#include "redis/connection.h"

namespace vyr::context {

// "a:b:c" for {"a", "b", "c"}.
std::string join_key(std::initializer_list<std::string_view> _parts);

// Key builders shared by every kind; `Keys` supplies `static constexpr std::string_view
// s_prefix` and may add builders of its own.
template <class Keys>
struct keys_base {
    // Set of the uids of all records of the kind.
    static std::string set() { return join_key({Keys::s_prefix, "set"}); }
    // Stem of the keys that mirror the server; never a key by itself.
    static std::string from_server(std::string_view _uid) { return join_key({Keys::s_prefix, _uid, "from_server"}); }
    // Hash of the record's scalar fields as received from the server.
    static std::string fields(std::string_view _uid) { return join_key({from_server(_uid), "fields"}); }
    // Hash of data kept beside the server's.
    static std::string data(std::string_view _uid) { return join_key({Keys::s_prefix, _uid, "data"}); }
    // The key whose existence is the existence of a record.
    static std::string record_key(std::string_view _uid) { return Keys::fields(_uid); }
    // Hash MAC address → uid of the kinds that have one.
    static std::string mac_addr() { return join_key({Keys::s_prefix, "mac_addr"}); }
    // The record's name in the change journal: "<kind>:<uid>" (the kind holds no ":").
    static std::string change(std::string_view _uid) { return join_key({Keys::s_kind, _uid}); }
};

namespace common {

// The count of the writes of what a project snapshot holds (context/project_snapshot.h):
// every writer of records, MAC indexes, flags, alarm lists and button-seen times raises it
// in the same transaction or batch as its write, so that one GET tells a reader whether
// what it read is still the mirror. It never goes back to a value it had: when a raise
// finds it missing (a new or flushed database) it starts from the writer's time in
// microseconds instead of 1 (the writer's clock: later than any value counted up from an
// earlier start).
inline constexpr std::string_view s_mirror_version = "mirror_version";
// The change journal: each raise also stores, under "mirror_changes:<new version>" for
// an hour, the names of the records its write changed (keys_base::change: "<kind>:<uid>",
// the kinds being a snapshot's units; a trackable object's groups, t2t sets, licences,
// alarm list and button-seen time are the object's), or s_every_device for what
// concerns every device (a flag, a flush). A reader that kept version v learns what
// changed since from the entries of v+1, v+2, ... (context/mirror_changes.h).
inline constexpr std::string_view s_mirror_changes = "mirror_changes";
inline constexpr std::string_view s_every_device = "*";
inline constexpr int s_mirror_changes_seconds = 3600;
std::string mirror_changes_key(std::uint64_t _version);
// The value of an entry: each name as its length in bytes, ":", and the name, one after
// the other ("9:anchor:a13:track_obj:o 1"), so that any uid reads back whole.
std::string encode_changes(const std::vector<std::string>& _names);
// The names of an entry; nothing when the text is not one.
std::optional<std::vector<std::string>> decode_changes(std::string_view _text);
// Lua defining `raise_mirror_version(key, start, changes)`, the one rule of the raise
// and of its journal entry; for scripts that raise it themselves when they write (they
// declare the key among their KEYS and pass mirror_version_start() as `start` and
// encode_changes() of what they write as `changes`, or, for one name known only to the
// script, `encode_change(name)`, the same encoding in Lua).
extern const std::string s_raise_mirror_version_lua;
// The value a missing version starts from: the time now in microseconds, as text.
std::string mirror_version_start();
// Appends the raise, naming `_names` in its journal entry, to `_batch`.
void raise_mirror_version(redis::batch& _batch, const std::vector<std::string>& _names);

std::string to_text(bool _value);
// Exactly "true" is true; anything else, and nothing, is false.
bool is_true(const std::optional<std::string>& _text);
// `_text`, the value of field `_field` of record `_record` (its key), as a strict decimal
// (parse_decimal): unsigned 32-bit, or signed 32-bit for to_int. Anything else throws
// bad_data naming the field, the record and the text.
std::uint32_t to_unsigned(std::string_view _text, std::string_view _field, std::string_view _record);
std::int32_t to_int(std::string_view _text, std::string_view _field, std::string_view _record);
// Signed 64-bit decimal (a time stamp the service stored); nothing when there is no text
// or it is not one: an unreadable time counts as none taken.
std::optional<std::int64_t> to_int64(const std::optional<std::string>& _text);
// As to_unsigned, for a signed long (a part of a stored time); the empty text is 0.
long to_long(std::string_view _text, std::string_view _field, std::string_view _record);
// Throws bad_data: "<field> of <record>: \"<text>\" is not <_what>".
[[noreturn]] void throw_bad_data(std::string_view _text, std::string_view _what, std::string_view _field,
                                 std::string_view _record);

// The text of a STRING reply; nothing for any other reply type.
std::optional<std::string> text_of(const redis::reply_element& _element);
// Whether the reply is the integer 1 (EXISTS, HEXISTS).
bool is_one(const redis::reply_element& _element);
// The members of a set in the order Redis returns them; empty when the reply is not an array.
std::vector<std::string> members(redis::connection& _redis_context, std::string_view _key);
// Throws "update" + "Uid: " + uid + ", str = " + the reply's text unless it reads "OK".
void check_ok(const redis::reply_element& _reply, std::string_view _uid);
// Appends to `_batch` the deletion of `_mac` from the MAC → uid index `_index_key`, made
// only while the entry still holds `_uid`. A device that moved to another record belongs
// to that record now: whichever of the two writes lands last, the entry must stay.
void remove_own_mac_entry(redis::batch& _batch, std::string_view _index_key, std::string_view _mac,
                          std::string_view _uid);
// Appends _writes to _pipeline as one transaction: MULTI, the writes, EXEC.
void add_transaction(redis::batch& _pipeline, const redis::batch& _writes);
// Throws when a reply of a pipeline, or an element of an EXEC reply in it, is an error.
void check_no_error(const std::vector<redis::reply>& _replies, std::string_view _what);
// Sends the transactions records appended to `_pipeline` (write_into) in one round trip,
// the mirror version raised once after them naming `_names` (the records written), and
// throws `_what` on any error reply. A snapshot read while they go out is read again at
// the next check of the version.
void send_record_writes(redis::connection& _redis_context, redis::batch _pipeline, std::string_view _what,
                        const std::vector<std::string>& _names);
// Appends "SADD <key> <member>..." when there are members.
template <class Range>
void add_members(redis::batch& _batch, std::string_view _key, const Range& _members) {
    if (_members.empty())
        return;
    std::vector<std::string> argv{"SADD", std::string(_key)};
    for (const auto& member : _members) {
        if constexpr (std::is_integral_v<std::decay_t<decltype(member)>>)
            argv.push_back(std::to_string(member));
        else
            argv.push_back(std::string(member));
    }
    _batch.add_argv(std::move(argv));
}
// Throws field_missing: `_name` immediately followed by "Uid: " and the uid.
[[noreturn]] void throw_missing(std::string_view _name, std::string_view _uid);

// A hash as read whole (HGETALL): field → value.
using hash = std::map<std::string, std::string, std::less<>>;
// The pairs of an HGETALL reply; empty when the reply is not an array.
hash to_hash(const redis::reply_element& _element);
// The members of an SMEMBERS reply; empty when the reply is not an array.
std::vector<std::string> to_members(const redis::reply_element& _element);
std::optional<std::string> get(const hash& _hash, std::string_view _field);
// A mandatory field: throws field_missing as the getters do.
std::string get_required(const hash& _hash, std::string_view _field, std::string_view _uid);
// An optional unsigned field of the hash read from record `_record`; nothing when it is
// missing, bad_data (as to_unsigned) when it is not a number.
std::optional<std::uint32_t> get_unsigned(const hash& _hash, std::string_view _field, std::string_view _record);

}  // namespace common

// Base of the uid-keyed records: bound to one connection and one uid.
template <class Keys>
class record {
public:
    record(redis::connection& _redis_context, std::string _uid)
        : m_redis_context(_redis_context), m_uid(std::move(_uid)) {}
    virtual ~record() = default;

    const std::string& uid() const noexcept { return m_uid; }
    // Whether the record's key (its fields hash for most kinds) exists.
    bool exists() const { return common::is_one(m_redis_context.command("EXISTS", Keys::record_key(m_uid))); }

protected:
    std::optional<std::string> field(std::string_view _name) const {
        return m_redis_context.get_text_from_table(Keys::fields(m_uid), _name);
    }
    // A mandatory field: throws field_missing, its name followed by "Uid: " and the uid,
    // when missing.
    std::string required_field(std::string_view _name) const {
        auto value = field(_name);
        if (!value)
            common::throw_missing(_name, m_uid);
        return std::move(*value);
    }
    // Optional number fields: nothing when missing; bad_data when not a number.
    std::optional<std::uint32_t> unsigned_field(std::string_view _name) const {
        if (auto value = field(_name))
            return common::to_unsigned(*value, _name, Keys::fields(m_uid));
        return std::nullopt;
    }
    std::optional<std::int32_t> int_field(std::string_view _name) const {
        if (auto value = field(_name))
            return common::to_int(*value, _name, Keys::fields(m_uid));
        return std::nullopt;
    }
    // Mandatory number fields: not_found when missing, bad_data when not a number.
    std::uint32_t required_unsigned(std::string_view _name) const {
        return common::to_unsigned(required_field(_name), _name, Keys::fields(m_uid));
    }
    std::int32_t required_int(std::string_view _name) const {
        return common::to_int(required_field(_name), _name, Keys::fields(m_uid));
    }
    // The fields hash in one round trip; nothing when it is missing or empty.
    std::optional<common::hash> read_fields() const {
        auto fields = common::to_hash(m_redis_context.command("HGETALL", Keys::fields(m_uid)));
        if (fields.empty())
            return std::nullopt;
        return fields;
    }
    void add_to_set(redis::batch& _batch) const { _batch.add("SADD", Keys::set(), m_uid); }
    void remove_from_set(redis::batch& _batch) const { _batch.add("SREM", Keys::set(), m_uid); }

    redis::connection& m_redis_context;
    const std::string m_uid;
};

}  // namespace vyr::context
