// Fixture of the context-store tests: one private redis-server per test program, emptied
// before each test, and a project context on database 11 of it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "context/context.h"
#include "core/exception.h"
#include "support/redis_monitor.h"
#include "support/redis_server.h"

class store : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_server = std::make_unique<test::redis_server>(); }
    static void TearDownTestSuite() { s_server.reset(); }
    void SetUp() override {
        s_server->flush();
        m_context = std::make_unique<vyr::context::context>(11, s_server->host(), s_server->port());
    }

    // One command on database 11 through an independent connection.
    static std::string redis(const std::vector<std::string>& _argv) { return s_server->command(_argv); }
    // The members of a set, sorted.
    static std::vector<std::string> members(const std::string& _key) {
        std::vector<std::string> result;
        const auto text = redis({"SMEMBERS", _key});
        std::size_t from = 0;
        while (!text.empty() && from <= text.size()) {
            const auto end = text.find('\n', from);
            result.push_back(text.substr(from, end == std::string::npos ? std::string::npos : end - from));
            if (end == std::string::npos)
                break;
            from = end + 1;
        }
        std::sort(result.begin(), result.end());
        return result;
    }
    static std::vector<std::string> sorted(std::vector<std::string> _list) {
        std::sort(_list.begin(), _list.end());
        return _list;
    }
    // The message of the vyr exception `_f` throws; fails the test when it throws nothing.
    template <class F>
    static std::string thrown_message(F&& _f) {
        try {
            _f();
        } catch (const vyr::libs::core::exception& e) {
            return e.message();
        }
        ADD_FAILURE() << "no vyr::libs::core::exception thrown";
        return {};
    }

    inline static std::unique_ptr<test::redis_server> s_server;
    std::unique_ptr<vyr::context::context> m_context;
};
