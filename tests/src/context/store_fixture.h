// Fixture of the context-store tests: one private redis-server per test program, emptied
// before each test, and a project context on database 11 of it.
#pragma once

#include <gtest/gtest.h>

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
    // The members of a set, sorted.
    static std::vector<std::string> members(const std::string& _key) {
        std::vector<std::string> result;
        std::istringstream text(redis({"SMEMBERS", _key}));
        for (std::string line; std::getline(text, line);)
            result.push_back(line);
        return sorted(result);
    }

    inline static std::unique_ptr<test::redis_server> s_server;
    std::unique_ptr<vyr::context::context> m_context;
};
