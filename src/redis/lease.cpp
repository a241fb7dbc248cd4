#include "redis/lease.h"

#include "redis/connection.h"
#include "redis/pipeline.h"

namespace vyr::redis::lease {

namespace {

// KEYS: the lease, the fencing counter; ARGV: holder, length in ms.
constexpr const char* s_take = R"(
if redis.call('GET', KEYS[1]) == ARGV[1] then redis.call('DEL', KEYS[1]) end
if redis.call('SET', KEYS[1], ARGV[1], 'NX', 'PX', ARGV[2]) then
  return redis.call('INCR', KEYS[2])
end
return false)";

// KEYS: the lease; ARGV: holder, length in ms.
constexpr const char* s_renew = R"(
if redis.call('GET', KEYS[1]) == ARGV[1] then return redis.call('PEXPIRE', KEYS[1], ARGV[2]) end
return 0)";

// KEYS: the lease; ARGV: holder.
constexpr const char* s_release = R"(
if redis.call('GET', KEYS[1]) == ARGV[1] then return redis.call('DEL', KEYS[1]) end
return 0)";

// KEYS: the keys to keep. DUMP and RESTORE keep any type; a key without expiry has PTTL -1
// and is restored with none (0).
constexpr const char* s_flush_keeping = R"(
local kept = {}
for i, key in ipairs(KEYS) do
  local ttl = redis.call('PTTL', key)
  if ttl ~= -2 then kept[i] = {redis.call('DUMP', key), math.max(ttl, 0)} end
end
redis.call('FLUSHDB')
for i, value in pairs(kept) do redis.call('RESTORE', KEYS[i], value[2], value[1]) end
return #KEYS)";

std::string millis(std::chrono::milliseconds _length) { return std::to_string(_length.count()); }

}  // namespace

std::optional<std::int64_t> take(connection& _redis, const std::string& _holder, std::chrono::milliseconds _length) {
    const auto result = _redis.command("EVAL", s_take, "2", s_key, s_fencing_key, _holder, millis(_length));
    if (result.get_type() != reply_type::INTEGER)
        return std::nullopt;
    return result.to_integer();
}

bool renew(connection& _redis, const std::string& _holder, std::chrono::milliseconds _length) {
    return _redis.command("EVAL", s_renew, "1", s_key, _holder, millis(_length)).to_integer() == 1;
}

bool release(connection& _redis, const std::string& _holder) {
    return _redis.command("EVAL", s_release, "1", s_key, _holder).to_integer() == 1;
}

state read(connection& _redis) {
    pipeline reads(_redis);
    reads.add("GET", s_key);
    reads.add("PTTL", s_key);
    reads.add("GET", s_fencing_key);
    const auto replies = reads.exec_reads();
    state now;
    if (replies[0].is_string())
        now.holder = replies[0].to_string();
    if (replies[1].get_type() == reply_type::INTEGER && replies[1].to_integer() > 0)
        now.remaining = std::chrono::milliseconds(replies[1].to_integer());
    if (replies[2].is_string())
        now.fencing = std::stoll(replies[2].to_string());
    return now;
}

std::vector<std::string> flush_keeping_lease() {
    return {"EVAL", s_flush_keeping, "3", std::string(s_key), std::string(s_fencing_key),
            std::string(s_sleep_orders_key)};
}

}  // namespace vyr::redis::lease
