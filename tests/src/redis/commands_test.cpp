// The command table against a real redis-server's own description of its commands
// (COMMAND INFO: arity, flags, key positions), and the rules read from it.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "redis/commands.h"
#include "redis/connection.h"
#include "support/redis_server.h"

namespace {

using strings = std::vector<std::string>;

bool has_flag(const vyr::redis::reply_array& _flags, const std::string& _flag) {
    for (std::size_t i = 0; i < _flags.size(); ++i)
        if (_flags[i].to_string() == _flag)
            return true;
    return false;
}

// A wrong arity would let a malformed command through to the server, a wrong key position
// would leave a key out of what a batch touches, a read marked write (or the reverse)
// would resend or refuse the wrong batches.
TEST(RedisCommands, TableAgreesWithTheServer) {
    const test::redis_server server;
    vyr::redis::connection redis(server.host(), server.port(), 11);
    for (const auto& info : vyr::redis::command_table()) {
        SCOPED_TRACE(std::string(info.name));
        if (info.name == "SENTINEL")
            continue;  // known only to a sentinel
        const auto described = redis.command("COMMAND", "INFO", std::string(info.name));
        const auto entry = described.as_array()[0];
        ASSERT_FALSE(entry.is_nil()) << "the server does not know it";
        const auto fields = entry.as_array();
        EXPECT_EQ(fields[1].to_integer(), info.arity);
        const auto flags = fields[2].as_array();
        if (has_flag(flags, "write")) {
            EXPECT_TRUE(info.write);
        }
        if (has_flag(flags, "readonly")) {
            EXPECT_FALSE(info.write);
            EXPECT_TRUE(info.resend_safe);
        }
        EXPECT_EQ(fields[3].to_integer(), info.first_key);
        EXPECT_EQ(fields[4].to_integer(), info.last_key);
        EXPECT_EQ(fields[5].to_integer(), info.key_step);
        EXPECT_EQ(has_flag(flags, "movablekeys"), info.numkeys_at != 0);
    }
}

TEST(RedisCommands, RulesReadFromTheTable) {
    const std::pair<strings, strings> rows[] = {
        {{"hset", "h", "f", "v"}, {"h"}},
        {{"DEL", "a", "b", "c"}, {"a", "b", "c"}},
        {{"RENAME", "a", "b"}, {"a", "b"}},
        {{"EVAL", "return 1", "2", "k1", "k2", "arg"}, {"k1", "k2"}},
        {{"EVAL", "return 1", "0", "arg"}, {}},
        {{"EVAL", "return 1", "x2", "k1"}, {}},
        {{"EVAL", "return 1", "9", "k1"}, {"k1"}},
        {{"PING"}, {}},
        {{"NOSUCH", "a", "b"}, {"a", "b"}},
        {{}, {}},
    };
    for (const auto& [argv, keys] : rows)
        EXPECT_EQ(vyr::redis::keys_of(argv), keys) << (argv.empty() ? std::string("(empty)") : argv.front());
    using batch = std::vector<strings>;
    EXPECT_TRUE(vyr::redis::resend_safe(batch{{"HSET", "h", "f", "v"}, {"SADD", "s", "m"}, {"GET", "k"}}));
    EXPECT_FALSE(vyr::redis::resend_safe(batch{{"HSET", "h", "f", "v"}, {"hincrby", "h", "n", "1"}}));
    EXPECT_FALSE(vyr::redis::resend_safe(batch{{"INCRBY", "n", "3"}}));
    EXPECT_FALSE(vyr::redis::resend_safe(batch{{"NOSUCH"}}));
}

}  // namespace
