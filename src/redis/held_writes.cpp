// The writes a connection holds back for its read cache, and the guards over some of
// them (see context::hold_writes and context::guard_writes): what a held write becomes,
// and how a guarded group goes to the server as one compare-and-set. Part of
// redis::context, used by the connection's thread only.
#include <strings.h>

#include <algorithm>

#include "redis/context.h"

namespace vyr::redis {

void context::hold(const std::vector<std::string_view>& _argv, const reply& _answer) {
    std::vector<std::string> argv(_argv.begin(), _argv.end());
    if (!m_guard) {
        m_held.add_argv(std::move(argv));
        return;
    }
    // Inside a guard an increment goes as the value it was answered with: the writes of a
    // guard may be sent twice (after a connection the server closed), and the guard already
    // stands for the value the increment started from.
    if (strcasecmp(argv.front().c_str(), "HINCRBY") == 0 && _answer.get_type() == reply_type::INTEGER)
        argv = {"HSET", argv[1], argv[2], std::to_string(_answer.to_integer())};
    if (std::find(m_guard->keys.begin(), m_guard->keys.end(), argv[1]) == m_guard->keys.end())
        m_guard->keys.push_back(argv[1]);
    m_guard->writes.add_argv(std::move(argv));
}

std::vector<std::string> guarded_writes_command(const std::string& _key, const std::string& _field,
                                                const std::optional<std::string>& _expected,
                                                const std::vector<std::vector<std::string>>& _writes) {
    // KEYS: the guarded hash, then every key written. ARGV: the field, whether a value is
    // expected and which, then each command as its length followed by its words.
    static const std::string s_script = R"(
local now = redis.call('HGET', KEYS[1], ARGV[1])
if ARGV[2] == '1' then
  if now ~= ARGV[3] then return 0 end
elseif now then
  return 0
end
local i = 4
while i <= #ARGV do
  local n = tonumber(ARGV[i])
  redis.call(unpack(ARGV, i + 1, i + n))
  i = i + n + 1
end
return 1)";
    std::vector<std::string> keys;
    for (const auto& command : _writes)
        if (command.size() > 1 && std::find(keys.begin(), keys.end(), command[1]) == keys.end())
            keys.push_back(command[1]);
    std::vector<std::string> argv{"EVAL", s_script, std::to_string(keys.size() + 1), _key};
    argv.insert(argv.end(), keys.begin(), keys.end());
    argv.push_back(_field);
    argv.push_back(_expected ? "1" : "0");
    argv.push_back(_expected.value_or(std::string()));
    for (const auto& command : _writes) {
        argv.push_back(std::to_string(command.size()));
        argv.insert(argv.end(), command.begin(), command.end());
    }
    return argv;
}

void context::guard_writes(std::string _key, std::string _field, std::optional<std::string> _expected) {
    end_guard();
    m_guard = write_guard{std::move(_key), std::move(_field), std::move(_expected), {}, {}};
}

void context::end_guard() {
    if (!m_guard)
        return;
    auto guard = std::move(*m_guard);
    m_guard.reset();
    if (guard.writes.empty())
        return;
    auto argv = guarded_writes_command(guard.key, guard.field, guard.expected, guard.writes.commands());
    m_held_guards.push_back({m_held.size(), std::move(guard.keys)});
    m_held.add_argv(std::move(argv));
}

}  // namespace vyr::redis
