// Redis under Sentinel against a real master, its replica and a sentinel: where a new
// connection goes (the master the sentinels name, checked with ROLE; the configured
// address only when no sentinel answers), and a READONLY reply of a demoted master. And
// which announcements of a switch move the master generation.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "common/metrics.h"
#include "redis/connection.h"
#include "redis/database.h"
#include "redis/pipeline.h"
#include "redis/sentinel.h"
#include "support/checks.h"
#include "support/redis_server.h"
#include "support/sentinel_site.h"

namespace {

using vyr::redis::connection;
using vyr::redis::connection_error;

class sentinel_client : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_site = std::make_unique<test::sentinel_site>(1); }
    static void TearDownTestSuite() { s_site.reset(); }
    void SetUp() override { s_site->master().flush(); }
    void TearDown() override { vyr::redis::set_sentinel_settings({}); }

    // The port of the server a connection is on.
    static std::string port_of(connection& _redis) {
        return _redis.command("CONFIG", "GET", "port").as_array()[1].to_string();
    }
    static connection to(test::redis_server& _server) {
        return connection(_server.host(), _server.port(), vyr::redis::service_database);
    }

    inline static std::unique_ptr<test::sentinel_site> s_site;
};

TEST(sentinel_address, host_and_port_1_to_65535) {
    const struct {
        const char* text;
        bool valid;
    } rows[] = {{"10.0.0.5:26379", true}, {"site-b:1", true}, {"h:65535", true}, {"h:65536", false}, {"h:0", false},
                {":26379", false},        {"h:", false},      {"h", false},      {"h:26379x", false}, {"h:-1", false}};
    for (const auto& row : rows)
        EXPECT_EQ(vyr::redis::parse_address(row.text).has_value(), row.valid) << row.text;
    EXPECT_EQ(vyr::redis::parse_address("a:b:7")->text(), "a:b:7");
}

TEST(sentinel_switch, only_a_well_formed_announcement_of_another_master_under_our_name_moves_the_generation) {
    using vyr::metrics::counter;
    vyr::redis::set_sentinel_settings({{}, "quorvane", ""});
    const struct {
        std::string message;  // of "+switch-master"; "master A:P" is what a sentinel names on subscribing
        std::string recorded;  // the master recorded after it
        bool switched;
    } rows[] = {
        {"other 10.0.0.1 6379 10.0.0.2 6379", "", false},
        {"quorvane 10.0.0.1 6379 10.0.0.2", "", false},
        {"quorvane 10.0.0.1 6379 10.0.0.2 6379 6380", "", false},
        {"quorvane 10.0.0.1 6379 10.0.0.2 63x9", "", false},
        {"quorvane 10.0.0.1 6379 10.0.0.2 0", "", false},
        {"quorvane 10.0.0.1 6379  6379", "", false},
        {"quorvane  10.0.0.1 6379 10.0.0.2 6379", "", false},
        {"quorvane x 10.0.0.2 6379", "", false},
        {"", "", false},
        {"quorvane 10.0.0.1 6379 10.0.0.2 6379", "10.0.0.2:6379", true},
        {"quorvane 10.0.0.1 6379 10.0.0.2 6379", "10.0.0.2:6379", false},  // the same switch again
        {"quorvane 10.0.0.2 6379 10.0.0.2 6380", "10.0.0.2:6380", true},
        {"master 10.0.0.2:6380", "10.0.0.2:6380", false},
        {"master 10.0.0.3:6379", "10.0.0.3:6379", true},
    };
    for (const auto& row : rows) {
        const auto generation = vyr::redis::master_generation();
        const double switches = vyr::metrics::value(counter::redis_master_switches);
        const bool named = row.message.rfind("master ", 0) == 0;
        const auto result = named ? vyr::redis::note_master(*vyr::redis::parse_address(row.message.substr(7)))
                                  : vyr::redis::note_switch(row.message);
        const auto recorded = vyr::redis::announced_master();
        EXPECT_EQ(recorded ? recorded->text() : "", row.recorded) << row.message;
        EXPECT_EQ(result.has_value(), row.switched) << row.message;
        EXPECT_EQ(vyr::redis::master_generation() - generation, row.switched ? 1u : 0u) << row.message;
        EXPECT_EQ(vyr::metrics::value(counter::redis_master_switches) - switches, row.switched ? 1 : 0) << row.message;
    }
    // What a sentinel names on subscribing first is recorded, no switch.
    vyr::redis::set_sentinel_settings({{}, "quorvane", ""});
    const auto generation = vyr::redis::master_generation();
    EXPECT_FALSE(vyr::redis::note_master({"10.0.0.4", 6379}));
    EXPECT_EQ(vyr::redis::announced_master()->text(), "10.0.0.4:6379");
    EXPECT_EQ(vyr::redis::master_generation(), generation);
    vyr::redis::set_sentinel_settings({});
}

TEST_F(sentinel_client, a_new_connection_goes_to_the_master_a_sentinel_names_and_checked_with_role) {
    const vyr::redis::address unreachable{"127.0.0.1", test::free_port()};
    const auto real = s_site->settings();
    auto unknown_name = real;
    unknown_name.master_name = "elsewhere";
    const std::string master = std::to_string(s_site->master().port());
    const struct {
        const char* name;
        std::vector<vyr::redis::address> sentinels;
        const vyr::redis::sentinel_settings& base;
        test::redis_server& configured;
        std::string outcome;  // the port the connection is on, or the start of the error
    } rows[] = {
        {"the configured replica is only a fallback", real.sentinels, real, s_site->replica(), master},
        {"a sentinel that cannot be reached is skipped", {unreachable, real.sentinels[0]}, real, s_site->replica(),
         master},
        {"no sentinel answers: the configured master", {unreachable}, real, s_site->master(), master},
        {"no sentinel answers: the configured replica is no master", {unreachable}, real, s_site->replica(),
         "Connection error: no master quorvane found (sentinel 127.0.0.1:" + std::to_string(unreachable.port)},
        {"the sentinel knows no such master", real.sentinels, unknown_name, s_site->replica(),
         "Connection error: no master elsewhere found (sentinel " + real.sentinels[0].text() +
             ": knows no master elsewhere; Connection error: 127.0.0.1:" + std::to_string(s_site->replica().port()) +
             " is no master (role slave))"},
    };
    for (const auto& row : rows) {
        auto settings = row.base;
        settings.sentinels = row.sentinels;
        vyr::redis::set_sentinel_settings(settings);
        std::string outcome;
        try {
            auto redis = to(row.configured);
            outcome = port_of(redis);
        } catch (const connection_error& e) {
            outcome = e.message();
        }
        EXPECT_EQ(outcome.substr(0, row.outcome.size()), row.outcome) << row.name;
    }
}

// A connection made to a server that is (now) a replica: what its write leads to.
TEST_F(sentinel_client, readonly_drops_the_connection_as_lost_and_the_next_command_finds_the_master) {
    using vyr::metrics::counter;
    const struct {
        const char* name;
        std::function<void(connection&)> write;
        bool resent;  // sent again on the master at once; else it failed, not run
    } rows[] = {
        {"safe to resend", [](connection& _redis) { _redis.command("SET", "k", "1"); }, true},
        {"not safe to resend", [](connection& _redis) { _redis.command("INCR", "k"); }, false},
        {"a pipeline not safe to resend",
         [](connection& _redis) {
             bool unrun = false;
             try {
                 vyr::redis::pipeline(_redis, vyr::redis::batch().add("GET", "k").add("INCR", "k")).exec(unrun);
             } catch (const connection_error&) {
                 EXPECT_TRUE(unrun);  // nothing of it took effect
                 throw;
             }
         },
         false},
    };
    for (const auto& row : rows) {
        s_site->master().flush();
        vyr::redis::set_sentinel_settings({});
        auto redis = to(s_site->replica());
        vyr::redis::set_sentinel_settings(s_site->settings());
        const double reconnects = vyr::metrics::value(counter::redis_reconnects);
        std::string failure;
        try {
            row.write(redis);
        } catch (const connection_error& e) {
            failure = e.message() + (e.reason() == connection_error::cause::closed ? "" : " (not as closed)");
        }
        EXPECT_EQ(failure.empty(), row.resent) << row.name << ": " << failure;
        EXPECT_EQ(s_site->master().command({"GET", "k"}), row.resent ? "1" : "(nil)") << row.name;
        // The next command is on the master, on a connection made once.
        EXPECT_EQ(port_of(redis), std::to_string(s_site->master().port())) << row.name;
        EXPECT_EQ(vyr::metrics::value(counter::redis_reconnects) - reconnects, 1) << row.name;
    }
}

}  // namespace
