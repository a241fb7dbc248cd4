#include "redis/commands.h"

#include <strings.h>

#include <algorithm>

namespace vyr::redis {

namespace {

// name, arity, write, resend_safe, first key, last key, key step, numkeys at.
// The scripts this service runs (guarded writes, the mirror version, the button times)
// set values rather than add to them, so that a batch may be sent again; EVAL is marked
// so on that ground.
const std::vector<command_info> s_commands = {
    // Strings and keys.
    {"GET", 2, false, true, 1, 1, 1, 0},
    {"MGET", -2, false, true, 1, -1, 1, 0},
    {"SET", -3, true, true, 1, 1, 1, 0},
    {"DEL", -2, true, true, 1, -1, 1, 0},
    {"UNLINK", -2, true, true, 1, -1, 1, 0},
    {"EXISTS", -2, false, true, 1, -1, 1, 0},
    {"TYPE", 2, false, true, 1, 1, 1, 0},
    {"INCR", 2, true, false, 1, 1, 1, 0},
    {"INCRBY", 3, true, false, 1, 1, 1, 0},
    {"EXPIRE", -3, true, true, 1, 1, 1, 0},
    {"PEXPIRE", -3, true, true, 1, 1, 1, 0},
    {"PTTL", 2, false, true, 1, 1, 1, 0},
    {"PERSIST", 2, true, true, 1, 1, 1, 0},
    {"RENAME", 3, true, false, 1, 2, 1, 0},
    {"KEYS", 2, false, true, 0, 0, 0, 0},
    {"SCAN", -2, false, true, 0, 0, 0, 0},
    // Hashes.
    {"HGET", 3, false, true, 1, 1, 1, 0},
    {"HMGET", -3, false, true, 1, 1, 1, 0},
    {"HGETALL", 2, false, true, 1, 1, 1, 0},
    {"HEXISTS", 3, false, true, 1, 1, 1, 0},
    {"HLEN", 2, false, true, 1, 1, 1, 0},
    {"HKEYS", 2, false, true, 1, 1, 1, 0},
    {"HVALS", 2, false, true, 1, 1, 1, 0},
    {"HSET", -4, true, true, 1, 1, 1, 0},
    {"HMSET", -4, true, true, 1, 1, 1, 0},
    {"HSETNX", 4, true, true, 1, 1, 1, 0},
    {"HDEL", -3, true, true, 1, 1, 1, 0},
    {"HINCRBY", 4, true, false, 1, 1, 1, 0},
    // Sets.
    {"SADD", -3, true, true, 1, 1, 1, 0},
    {"SREM", -3, true, true, 1, 1, 1, 0},
    {"SMEMBERS", 2, false, true, 1, 1, 1, 0},
    {"SISMEMBER", 3, false, true, 1, 1, 1, 0},
    {"SCARD", 2, false, true, 1, 1, 1, 0},
    {"SMOVE", 4, true, true, 1, 2, 1, 0},
    // Scripts.
    {"EVAL", -3, true, true, 0, 0, 0, 2},
    {"EVALSHA", -3, true, true, 0, 0, 0, 2},
    // Transactions: the client sends them itself, around a batch.
    {"MULTI", 1, false, false, 0, 0, 0, 0},
    {"EXEC", 1, true, false, 0, 0, 0, 0},
    {"DISCARD", 1, false, false, 0, 0, 0, 0},
    {"WATCH", -2, false, false, 1, -1, 1, 0},
    {"UNWATCH", 1, false, false, 0, 0, 0, 0},
    // The connection and the server.
    {"AUTH", -2, false, true, 0, 0, 0, 0},
    {"SELECT", 2, false, true, 0, 0, 0, 0},
    {"PING", -1, false, true, 0, 0, 0, 0},
    {"INFO", -1, false, true, 0, 0, 0, 0},
    {"TIME", 1, false, true, 0, 0, 0, 0},
    {"DBSIZE", 1, false, true, 0, 0, 0, 0},
    {"ROLE", 1, false, true, 0, 0, 0, 0},
    {"FLUSHDB", -1, true, true, 0, 0, 0, 0},
    {"SENTINEL", -2, false, true, 0, 0, 0, 0},
    {"CLIENT", -2, false, true, 0, 0, 0, 0},
    {"COMMAND", -1, false, true, 0, 0, 0, 0},
    // Administration (the tests set users and options up with these).
    {"ACL", -2, false, true, 0, 0, 0, 0},
    {"CONFIG", -2, false, true, 0, 0, 0, 0},
    {"SAVE", 1, false, true, 0, 0, 0, 0},
    {"SHUTDOWN", -1, false, false, 0, 0, 0, 0},
    {"REPLICAOF", 3, false, true, 0, 0, 0, 0},
};

bool same_name(std::string_view _a, std::string_view _b) {
    return _a.size() == _b.size() && strncasecmp(_a.data(), _b.data(), _a.size()) == 0;
}

}  // namespace

const std::vector<command_info>& command_table() { return s_commands; }

const command_info* find_command(std::string_view _name) {
    const auto found = std::find_if(s_commands.begin(), s_commands.end(),
                                    [&](const command_info& _info) { return same_name(_info.name, _name); });
    return found == s_commands.end() ? nullptr : &*found;
}

bool resend_safe(const std::vector<std::vector<std::string>>& _commands) {
    return std::all_of(_commands.begin(), _commands.end(), [](const std::vector<std::string>& _argv) {
        const auto* info = _argv.empty() ? nullptr : find_command(_argv.front());
        return info && info->resend_safe;
    });
}

std::vector<std::string> keys_of(const std::vector<std::string>& _argv) {
    if (_argv.empty())
        return {};
    const auto* info = find_command(_argv.front());
    if (!info)
        return std::vector<std::string>(_argv.begin() + 1, _argv.end());
    const auto size = static_cast<int>(_argv.size());
    int first = info->first_key;
    int last = info->last_key < 0 ? size - 1 : info->last_key;
    int step = info->key_step;
    if (info->numkeys_at > 0) {
        if (info->numkeys_at >= size)
            return {};
        // A count that does not read as one names no keys; the server refuses it anyway.
        const auto& text = _argv[static_cast<std::size_t>(info->numkeys_at)];
        int count = 0;
        for (const char c : text) {
            if (c < '0' || c > '9' || count > size)
                return {};
            count = count * 10 + (c - '0');
        }
        first = info->numkeys_at + 1;
        last = info->numkeys_at + count;
        step = 1;
    }
    std::vector<std::string> keys;
    if (first <= 0 || step <= 0)
        return keys;
    for (int i = first; i <= last && i < size; i += step)
        keys.push_back(_argv[static_cast<std::size_t>(i)]);
    return keys;
}

}  // namespace vyr::redis
