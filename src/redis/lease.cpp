#include "redis/lease.h"

#include <algorithm>

#include "common/helpers.h"
#include "redis/connection.h"
#include "redis/pipeline.h"

namespace vyr::redis::lease {

namespace {

// KEYS: the lease, the term; ARGV: holder, length in ms, the wall-clock end in ms.
constexpr const char* s_take = R"(
if redis.call('GET', KEYS[1]) == ARGV[1] then redis.call('DEL', KEYS[1]) end
if redis.call('SET', KEYS[1], ARGV[1], 'NX', 'PX', ARGV[2]) then
  redis.call('HSET', KEYS[2], 'until', ARGV[3])
  return redis.call('HINCRBY', KEYS[2], 'fencing', 1)
end
return false)";

// KEYS: the lease, the term; ARGV: holder, length in ms, the wall-clock end in ms, the
// holder's fencing value.
constexpr const char* s_renew = R"(
local holder = redis.call('GET', KEYS[1])
if holder and holder ~= ARGV[1] then return 0 end
redis.call('SET', KEYS[1], ARGV[1], 'PX', ARGV[2])
redis.call('HSET', KEYS[2], 'until', ARGV[3])
if not holder and tonumber(redis.call('HGET', KEYS[2], 'fencing') or '0') < tonumber(ARGV[4]) then
  redis.call('HSET', KEYS[2], 'fencing', ARGV[4])
end
return 1)";

// KEYS: the lease; ARGV: holder.
constexpr const char* s_release = R"(
if redis.call('GET', KEYS[1]) == ARGV[1] then return redis.call('DEL', KEYS[1]) end
return 0)";

std::string millis(std::chrono::milliseconds _length) { return std::to_string(_length.count()); }
std::string end_of(std::chrono::milliseconds _length) { return std::to_string(now_ms() + _length.count()); }

std::int64_t number(const reply_element& _element) {
    return _element.is_string() ? parse_decimal<std::int64_t>(_element.to_string()).value_or(0) : 0;
}

}  // namespace

std::optional<std::int64_t> take(connection& _redis, const std::string& _holder, std::chrono::milliseconds _length) {
    const auto result =
        _redis.command("EVAL", s_take, "2", s_key, s_term_key, _holder, millis(_length), end_of(_length));
    if (result.get_type() != reply_type::INTEGER)
        return std::nullopt;
    return result.to_integer();
}

bool renew(connection& _redis, const std::string& _holder, std::chrono::milliseconds _length,
           std::int64_t _fencing) {
    return _redis
               .command("EVAL", s_renew, "2", s_key, s_term_key, _holder, millis(_length), end_of(_length),
                        std::to_string(_fencing))
               .to_integer() == 1;
}

bool release(connection& _redis, const std::string& _holder) {
    return _redis.command("EVAL", s_release, "1", s_key, _holder).to_integer() == 1;
}

state read(connection& _redis) {
    pipeline reads(_redis);
    reads.add("GET", s_key);
    reads.add("HMGET", s_term_key, "fencing", "until");
    const auto replies = reads.exec_reads();
    state now;
    if (replies[0].is_string())
        now.holder = replies[0].to_string();
    if (replies[1].get_type() == reply_type::ARRAY && replies[1].as_array().size() == 2) {
        now.fencing = number(replies[1].as_array()[0]);
        if (now.holder)
            now.remaining = std::chrono::milliseconds(std::max<std::int64_t>(0, number(replies[1].as_array()[1]) - now_ms()));
    }
    return now;
}

batch kept_across_flush(connection& _redis) {
    pipeline reads(_redis);
    reads.add("GET", s_key);
    reads.add("HGETALL", s_term_key);
    reads.add("HGETALL", s_sleep_orders_key);
    reads.add("HGET", s_term_key, "until");
    const auto replies = reads.exec_reads();
    batch writes;
    const auto hash = [&writes](std::string_view _key, const reply& _fields) {
        if (_fields.get_type() != reply_type::ARRAY || _fields.as_array().empty())
            return;
        std::vector<std::string> argv{"HSET", std::string(_key)};
        _fields.as_array().for_each_element([&argv](const reply_element& _field) {
            argv.push_back(_field.to_string());
            return true;
        });
        writes.add_argv(std::move(argv));
    };
    hash(s_term_key, replies[1]);
    hash(s_sleep_orders_key, replies[2]);
    if (replies[0].is_string()) {
        // As long as it had left, by the term's end time; a lease that ran out stays gone.
        const auto left = number(replies[3]) - now_ms();
        if (left > 0)
            writes.add("SET", s_key, replies[0].to_string(), "PX", std::to_string(left));
    }
    return writes;
}

}  // namespace vyr::redis::lease
