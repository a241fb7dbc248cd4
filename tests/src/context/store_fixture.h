// Fixture of the context-store tests: one private redis-server per test program, emptied
// before each test, and a project context on database 11 of it.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "context/context.h"
#include "redis/database.h"
#include "support/checks.h"
#include "support/redis_server.h"

using test::sorted;
using test::thrown_message;

class store : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_server = std::make_unique<test::redis_server>(); }
    static void TearDownTestSuite() { s_server.reset(); }
    void SetUp() override {
        s_server->flush();
        m_context = std::make_unique<vyr::context::context>(vyr::redis::service_database, s_server->host(), s_server->port());
    }

    // One command on the service's database through an independent connection.
    static std::string redis(const std::vector<std::string>& _argv) { return s_server->command(_argv); }
    // The lines of a reply, as the connection gives an array.
    static std::vector<std::string> lines(const std::string& _reply) {
        std::vector<std::string> result;
        std::istringstream text(_reply);
        for (std::string line; std::getline(text, line);)
            result.push_back(line);
        return result;
    }
    // The members of a set, sorted.
    static std::vector<std::string> members(const std::string& _key) {
        return sorted(lines(redis({"SMEMBERS", _key})));
    }
    // Every key but the mirror version and its journal, which every write of the project raises.
    static std::vector<std::string> keys() {
        std::vector<std::string> result;
        for (auto& key : lines(redis({"KEYS", "*"})))
            if (key != vyr::context::common::s_mirror_version && key.rfind("mirror_changes:", 0) != 0)
                result.push_back(std::move(key));
        return sorted(result);
    }
    // Every key of keys() as stored, read without the records: a hash as its sorted "field=value"
    // pairs, a set as its sorted members, a string as itself. Tests hold it against the
    // literal form that other readers of the database (the status tool, records written by
    // an earlier version) rely on, which a writer and reader agreeing on a wrong name
    // would pass.
    using keyspace = std::map<std::string, std::vector<std::string>>;
    static keyspace stored() {
        keyspace result;
        for (const auto& key : keys()) {
            const auto type = redis({"TYPE", key});
            auto& items = result[key];
            if (type == "set")
                items = members(key);
            else if (type != "hash")
                items = {redis({"GET", key})};
            else {
                const auto pairs = lines(redis({"HGETALL", key}));
                for (std::size_t i = 0; i + 1 < pairs.size(); i += 2)
                    items.push_back(pairs[i] + "=" + pairs[i + 1]);
                items = sorted(items);
            }
        }
        return result;
    }

    inline static std::unique_ptr<test::redis_server> s_server;
    std::unique_ptr<vyr::context::context> m_context;
};
