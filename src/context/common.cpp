#include "context/common.h"

#include <sys/time.h>

#include "common/helpers.h"
#include "core/exception.h"
#include "redis/pipeline.h"

namespace vyr::context {

std::string join_key(std::initializer_list<std::string_view> _parts) {
    std::size_t length = _parts.size();
    for (const auto& part : _parts)
        length += part.size();
    std::string key;
    key.reserve(length);
    for (const auto& part : _parts) {
        if (!key.empty())
            key += ':';
        key += part;
    }
    return key;
}

namespace common {

// GET and SET only: the service's Redis user may run no other command from a script.
// Lua numbers are doubles, exact far beyond a time in microseconds.
const std::string s_raise_mirror_version_lua = R"(
local function raise_mirror_version(key, start, changes)
  local kept = tonumber(redis.call('GET', key) or '')
  local now = start
  if kept then
    now = string.format('%.0f', kept + 1)
  end
  redis.call('SET', key, now)
  redis.call('SET', ')" + std::string(s_mirror_changes) + R"(:' .. now, changes, 'EX', )" +
                                               std::to_string(s_mirror_changes_seconds) + R"()
end
local function encode_change(name)
  return string.len(name) .. ':' .. name
end
)";

std::string mirror_changes_key(std::uint64_t _version) {
    return join_key({s_mirror_changes, std::to_string(_version)});
}

std::string encode_changes(const std::vector<std::string>& _names) {
    std::string text;
    for (const auto& name : _names) {
        text += std::to_string(name.size());
        text += ':';
        text += name;
    }
    return text;
}

std::optional<std::vector<std::string>> decode_changes(std::string_view _text) {
    std::vector<std::string> names;
    while (!_text.empty()) {
        const auto colon = _text.find(':');
        if (colon == std::string_view::npos)
            return std::nullopt;
        const auto length = parse_decimal<std::size_t>(_text.substr(0, colon));
        if (!length || *length > _text.size() - colon - 1)
            return std::nullopt;
        names.emplace_back(_text.substr(colon + 1, *length));
        _text.remove_prefix(colon + 1 + *length);
    }
    return names;
}

std::string mirror_version_start() {
    timeval now{};
    ::gettimeofday(&now, nullptr);
    return std::to_string(static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_usec);
}

void raise_mirror_version(redis::batch& _batch, const std::vector<std::string>& _names) {
    static const std::string s_script =
        s_raise_mirror_version_lua + "raise_mirror_version(KEYS[1], ARGV[1], ARGV[2]) return 1";
    _batch.add("EVAL", s_script, "1", s_mirror_version, mirror_version_start(), encode_changes(_names));
}

std::string to_text(bool _value) { return _value ? "true" : "false"; }

bool is_true(const std::optional<std::string>& _text) { return _text && *_text == "true"; }

std::uint32_t to_unsigned(std::string_view _text, std::string_view _field, std::string_view _record) {
    if (const auto value = parse_decimal<std::uint32_t>(_text))
        return *value;
    throw_bad_data(_text, "an unsigned 32-bit number", _field, _record);
}

std::int32_t to_int(std::string_view _text, std::string_view _field, std::string_view _record) {
    if (const auto value = parse_decimal<std::int32_t>(_text))
        return *value;
    throw_bad_data(_text, "a signed 32-bit number", _field, _record);
}

long to_long(std::string_view _text, std::string_view _field, std::string_view _record) {
    if (_text.empty())
        return 0;
    if (const auto value = parse_decimal<long>(_text))
        return *value;
    throw_bad_data(_text, "a number", _field, _record);
}

std::optional<std::int64_t> to_int64(const std::optional<std::string>& _text) {
    return _text ? parse_decimal<std::int64_t>(*_text) : std::nullopt;
}

void throw_bad_data(std::string_view _text, std::string_view _what, std::string_view _field,
                    std::string_view _record) {
    throw bad_data(std::string(_field) + " of " + std::string(_record) + ": \"" + std::string(_text) + "\" is not " +
                       std::string(_what),
                   VYR_HERE);
}

std::optional<std::string> text_of(const redis::reply_element& _element) {
    if (_element.get_type() != redis::reply_type::STRING)
        return std::nullopt;
    return _element.to_string();
}

bool is_one(const redis::reply_element& _element) {
    return _element.get_type() == redis::reply_type::INTEGER && _element.to_integer() == 1;
}

std::vector<std::string> members(redis::connection& _redis_context, std::string_view _key) {
    return _redis_context.get_member_texts(_key);
}

void check_ok(const redis::reply_element& _reply, std::string_view _uid) {
    const auto type = _reply.get_type();
    const std::string text = type == redis::reply_type::STRING || type == redis::reply_type::STATUS
                                 ? _reply.to_string()
                                 : redis::to_string(type);
    if (text != "OK")
        VYR_THROW("updateUid: " + std::string(_uid) + ", str = " + text);
}

void add_transaction(redis::batch& _pipeline, const redis::batch& _writes) {
    _pipeline.add("MULTI");
    for (const auto& argv : _writes.commands())
        _pipeline.add_argv(argv);
    _pipeline.add("EXEC");
}

void check_no_error(const std::vector<redis::reply>& _replies, std::string_view _what) {
    const auto check = [&](const redis::reply_element& _reply) {
        if (_reply.get_type() == redis::reply_type::ERROR)
            VYR_THROW(std::string(_what) + ": " + _reply.to_string());
        return true;
    };
    for (const auto& reply : _replies) {
        check(reply);
        if (reply.get_type() == redis::reply_type::ARRAY)
            reply.as_array().for_each_element(check);
    }
}

void send_record_writes(redis::connection& _redis_context, redis::batch _pipeline, std::string_view _what,
                        const std::vector<std::string>& _names) {
    if (_pipeline.empty())
        return;
    raise_mirror_version(_pipeline, _names);
    check_no_error(vyr::redis::pipeline(_redis_context, std::move(_pipeline)).exec(), _what);
}

void remove_own_mac_entry(redis::batch& _batch, std::string_view _index_key, std::string_view _mac,
                          std::string_view _uid) {
    static constexpr std::string_view script =
        "if redis.call('HGET',KEYS[1],ARGV[1])==ARGV[2] then return redis.call('HDEL',KEYS[1],ARGV[1]) end return 0";
    _batch.add("EVAL", script, "1", _index_key, _mac, _uid);
}

void throw_missing(std::string_view _name, std::string_view _uid) {
    throw field_missing(std::string(_name) + "Uid: " + std::string(_uid), VYR_HERE);
}

hash to_hash(const redis::reply_element& _element) {
    hash result;
    if (_element.get_type() != redis::reply_type::ARRAY)
        return result;
    const auto array = _element.as_array();
    for (std::size_t i = 0; i + 1 < array.size(); i += 2)
        result.emplace(array[i].view(), array[i + 1].view());
    return result;
}

std::vector<std::string> to_members(const redis::reply_element& _element) {
    std::vector<std::string> result;
    if (_element.get_type() != redis::reply_type::ARRAY)
        return result;
    _element.as_array().for_each_element([&](const redis::reply_element& _member) {
        result.push_back(_member.to_string());
        return true;
    });
    return result;
}

std::optional<std::string> get(const hash& _hash, std::string_view _field) {
    const auto found = _hash.find(_field);
    if (found == _hash.end())
        return std::nullopt;
    return found->second;
}

std::string get_required(const hash& _hash, std::string_view _field, std::string_view _uid) {
    auto value = get(_hash, _field);
    if (!value)
        throw_missing(_field, _uid);
    return std::move(*value);
}

std::optional<std::uint32_t> get_unsigned(const hash& _hash, std::string_view _field, std::string_view _record) {
    if (const auto value = get(_hash, _field))
        return to_unsigned(*value, _field, _record);
    return std::nullopt;
}

}  // namespace common
}  // namespace vyr::context
