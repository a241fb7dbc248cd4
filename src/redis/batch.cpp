#include "redis/batch.h"

#include <algorithm>

#include "redis/commands.h"

namespace vyr::redis {

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
        for (auto& key : keys_of(command))
            if (key != _key && std::find(keys.begin(), keys.end(), key) == keys.end())
                keys.push_back(std::move(key));
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

}  // namespace vyr::redis
