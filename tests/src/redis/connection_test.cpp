// The Redis connection against a private redis-server: reply typing, table helpers,
// binary-safe arguments, recovery after the server went away, and logging in.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <hiredis/hiredis.h>

#include <functional>
#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/metrics.h"
#include "core/exception.h"
#include "redis/connection.h"
#include "support/checks.h"
#include "support/redis_server.h"
#include "redis/pipeline.h"
#include "redis/transaction.h"

namespace {

using vyr::redis::connection_error;
using vyr::redis::reply_type;

using test::thrown_message;

class redis_client : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_server = std::make_unique<test::redis_server>(); }
    static void TearDownTestSuite() { s_server.reset(); }
    void SetUp() override {
        s_server->flush();
        m_context = std::make_unique<vyr::redis::connection>(s_server->host(), s_server->port(), 11);
    }

    inline static std::unique_ptr<test::redis_server> s_server;
    std::unique_ptr<vyr::redis::connection> m_context;
};

TEST_F(redis_client, unknown_reply_type_code_reports_unknown_instead_of_a_map_error) {
    redisReply raw{};
    raw.type = 9;
    const vyr::redis::reply_element element(raw);
    EXPECT_EQ(thrown_message([&] { element.to_string(); }), "Reply is not string, actual type: unknown");
}

// Each error reply comes out as a server_error of its kind, named after its command, and
// leaves the connection usable; a replica's READONLY is told apart from a wrong command.
TEST_F(redis_client, error_replies_are_server_errors_of_their_kind) {
    using kind = vyr::redis::server_error::kind;
    m_context->command("SET", "k", "v");
    auto& redis = *m_context;
    const struct {
        const char* prefix;
        kind expected;
        std::function<void()> run;
    } rows[] = {
        {"Command: HSET, error: WRONGTYPE", kind::wrong_type, [&] { redis.set_to_table("k", "f", "v"); }},
        {"Command: HGET, error: WRONGTYPE", kind::wrong_type,
         [&] { vyr::redis::transaction(redis, vyr::redis::batch().add("SET", "a", "1").add("HGET", "k", "f")).exec(); }},
        {"Command: NOSUCHCOMMAND, error: ERR", kind::other, [&] { redis.command("NOSUCHCOMMAND"); }},
        {"Command: EVALSHA, error: NOSCRIPT", kind::no_script,
         [&] { vyr::redis::pipeline(redis, vyr::redis::batch().add("EVALSHA", std::string(40, 'a'), "0")).exec(); }},
        {"Command: SET, error: READONLY", kind::read_only,
         [&] {
             // A replica of a master that is not there: it refuses writes.
             redis.command("REPLICAOF", "127.0.0.1", "1");
             struct back {
                 vyr::redis::connection& c;
                 ~back() { c.command("REPLICAOF", "NO", "ONE"); }
             } restore{redis};
             redis.command("SET", "k", "w");
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.prefix);
        try {
            row.run();
            ADD_FAILURE() << "no error";
        } catch (const vyr::redis::server_error& e) {
            EXPECT_EQ(e.message().rfind(row.prefix, 0), 0u) << e.message();
            EXPECT_EQ(e.what_kind(), row.expected);
        }
        EXPECT_EQ(m_context->command("GET", "k").to_string(), "v");
    }
    EXPECT_EQ(vyr::redis::classify_error_reply("BUSYKEY Target key name already exists."), kind::other);
}

TEST_F(redis_client, hostile_bytes_round_trip_unchanged_as_single_arguments) {
    using namespace std::string_literals;
    const std::string key = "key with blanks %s %d \"quoted\" \r\n\xc3\xa9\0nul"s;
    const std::string field = "%n%n%n field";
    const std::string value = "{\"a\": \"b c\", \"p\": \"100%\"}\r\n'\xff\x01\0end"s;
    m_context->set_to_table(key, field, value);
    EXPECT_EQ(m_context->get_from_table(key, field).to_string(), value);
    // Seen the same way by an independent connection: one key, one field.
    EXPECT_EQ(s_server->command({"HGET", key, field}), value);
    EXPECT_EQ(s_server->command({"DBSIZE"}), "1");

    m_context->set_to_table(key, {{field, "x y"}, {"%s", "%%"}});
    EXPECT_EQ(m_context->get_from_table(key, {field, "%s"}).as_array()[1].to_string(), "%%");
    m_context->command("SADD", "set", value, key);
    EXPECT_EQ(m_context->get_set_members("set").as_array().size(), 2u);
    // An empty value deletes the field.
    m_context->set_to_table(key, field, "");
    EXPECT_EQ(s_server->command({"HEXISTS", key, field}), "0");
}

// Replies are read into one block of memory per read: every shape the server sends must
// come out whole (nested arrays with nil elements, integers, status and error replies, a
// text longer than any block, empty arrays), and stay valid after later reads on the
// same connection, each held only by its own reply.
TEST_F(redis_client, replies_of_every_shape_outlive_the_reads_after_them) {
    using namespace std::string_literals;
    const std::string big(3u << 20, 'x');
    const std::string binary = "a\0b\r\n"s;
    m_context->command("SET", "big", big);
    m_context->command("RPUSH", "list", binary, "", "c");
    std::vector<vyr::redis::reply> kept = vyr::redis::pipeline(*m_context,
                                                               vyr::redis::batch()
                                                                   .add("GET", "big")
                                                                   .add("HMGET", "none", "f", "g")
                                                                   .add("INCRBY", "n", "-7")
                                                                   .add("SET", "k", "v")
                                                                   .add("HGET", "list", "f")
                                                                   .add("LRANGE", "list", "0", "-1")
                                                                   .add("SCAN", "0", "MATCH", "lis*", "COUNT", "100")
                                                                   .add("HGETALL", "none"))
                                              .exec_reads();
    vyr::redis::reply single = m_context->command("LRANGE", "list", "0", "-1");
    // Later reads, then only the single reply and one element of the pipeline kept.
    for (int i = 0; i < 50; ++i)
        m_context->command("GET", "big");
    vyr::redis::reply last = std::move(kept.back());
    kept.pop_back();
    ASSERT_EQ(kept.size(), 7u);
    EXPECT_EQ(kept[0].view(), big);
    const auto fields = kept[1].as_array();
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_TRUE(fields[0].is_nil() && fields[1].is_nil());
    EXPECT_EQ(kept[2].to_integer(), -7);
    EXPECT_EQ(kept[3].get_type(), reply_type::STATUS);
    EXPECT_EQ(kept[3].to_string(), "OK");
    EXPECT_EQ(kept[4].get_type(), reply_type::ERROR);
    EXPECT_EQ(kept[4].to_string().rfind("WRONGTYPE", 0), 0u);
    const auto scan = kept[6].as_array();
    ASSERT_EQ(scan.size(), 2u);
    EXPECT_EQ(scan[0].to_string(), "0");
    ASSERT_EQ(scan[1].as_array().size(), 1u);
    EXPECT_EQ(scan[1].as_array()[0].to_string(), "list");
    const auto check_list = [&](const vyr::redis::reply& _list) {
        const auto items = _list.as_array();
        ASSERT_EQ(items.size(), 3u);
        EXPECT_EQ(items[0].to_string(), binary);
        EXPECT_EQ(items[1].to_string(), "");
        EXPECT_EQ(items[2].view(), "c");
    };
    check_list(kept[5]);
    kept.clear();
    check_list(single);
    EXPECT_EQ(last.get_type(), reply_type::ARRAY);
    EXPECT_TRUE(last.as_array().empty());
}

// What a call threw: "none", "reply" for the base exception (an error reply), else the
// connection error's cause.
template <class F>
std::string failure_of(F&& _call) {
    try {
        _call();
    } catch (const connection_error& e) {
        switch (e.reason()) {
            case connection_error::cause::closed:
                return "closed";
            case connection_error::cause::timeout:
                return "timeout";
            case connection_error::cause::io:
                return "io";
            case connection_error::cause::other:
                return "other";
            case connection_error::cause::auth:
                return "auth";
        }
    } catch (const vyr::libs::core::exception&) {
        return "reply";
    }
    return "none";
}

TEST_F(redis_client, a_connection_closed_by_the_server_is_a_connection_error_sent_once_more_an_error_reply_is_not) {
    s_server->command({"SET", "k", "v"});
    s_server->command({"SET", "big", std::string(256 * 1024, 'x')});
    const auto server = [](std::vector<std::string> _argv) { return [=] { s_server->command(_argv); }; };
    // How often the server ran a command since the last CONFIG RESETSTAT (the "calls=" of
    // its INFO commandstats line; the command name in lower case).
    const auto server_runs = [](const std::string& _lower_name) -> std::size_t {
        const auto stats = s_server->command({"INFO", "commandstats"});
        const auto at = stats.find("cmdstat_" + _lower_name + ":calls=");
        return at == std::string::npos ? 0 : std::stoul(stats.substr(at + _lower_name.size() + 15));
    };
    struct row {
        const char* name;
        std::function<void()> before;
        std::vector<std::string> command;
        std::string lower_name;
        std::string failure;
        std::size_t runs;  // times the server ran the command
        double reconnects, errors;  // as the metrics count them
    } const rows[] = {
        {"error reply", [] {}, {"HGET", "k", "f"}, "hget", "reply", 1, 0, 1},
        // As after a restart of the server: sent again on a new connection, in database 11.
        {"closed before the command", server({"CLIENT", "KILL", "TYPE", "normal", "SKIPME", "yes"}), {"GET", "k"},
         "get", "none", 1, 1, 0},
        // A reply over the client output limit: the server closes the connection again
        // after the resend.
        {"closed on every try", server({"CONFIG", "SET", "client-output-buffer-limit", "normal 65536 0 0"}),
         {"GET", "big"}, "get", "closed", 2, 1, 1},
    };
    using vyr::metrics::counter;
    for (const auto& r : rows) {
        r.before();
        s_server->command({"CONFIG", "RESETSTAT"});
        const double reconnects = vyr::metrics::value(counter::redis_reconnects);
        const double errors = vyr::metrics::value(counter::redis_command_errors);
        EXPECT_EQ(failure_of([&] { m_context->execute_command_argv(r.command); }), r.failure) << r.name;
        EXPECT_EQ(server_runs(r.lower_name), r.runs) << r.name;
        EXPECT_EQ(std::make_pair(vyr::metrics::value(counter::redis_reconnects) - reconnects,
                                 vyr::metrics::value(counter::redis_command_errors) - errors),
                  std::make_pair(r.reconnects, r.errors))
            << r.name;
        s_server->command({"CONFIG", "SET", "client-output-buffer-limit", "normal 0 0 0"});
    }
    // Every new connection has the database selected again.
    EXPECT_EQ(m_context->command("GET", "k").to_string(), "v");
    // A server that is gone: the command fails, so does a new connection; once it is back
    // the next command reconnects.
    EXPECT_EQ(failure_of([&] { s_server->stop(); m_context->command("PING"); }), "io");
    EXPECT_THAT(thrown_message([&] { vyr::redis::connection(s_server->host(), s_server->port(), 11); }),
                ::testing::StartsWith("Connection error: "));
    s_server->start();
    EXPECT_EQ(m_context->command("PING").to_string(), "PONG");
}

TEST_F(redis_client, an_error_reply_in_a_batch_is_reported_after_all_replies_were_read) {
    m_context->command("SET", "k", "v");
    const auto trips = m_context->round_trips();
    const double errors = vyr::metrics::value(vyr::metrics::counter::redis_command_errors);
    vyr::redis::batch piped;
    piped.add("SET", "a", 1).add("HSET", "k", "f", "v").add("SET", "b", 2);
    EXPECT_THAT(thrown_message([&] { vyr::redis::pipeline(*m_context, piped).exec(); }), ::testing::StartsWith("Command: HSET, error: WRONGTYPE"));
    EXPECT_EQ(m_context->round_trips(), trips + 1);
    EXPECT_EQ(s_server->command({"GET", "b"}), "2");
    // Still in step: each command gets its own reply.
    EXPECT_EQ(m_context->command("GET", "a").to_string(), "1");
    const auto replies = vyr::redis::pipeline(*m_context, vyr::redis::batch().add("GET", "b").add("GET", "a").add("GET", "none")).exec();
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0].to_string() + replies[1].to_string(), "21");
    EXPECT_TRUE(replies[2].is_nil());

    // A transaction: a command failing inside does not undo the others; one rejected
    // while queued runs nothing.
    vyr::redis::batch failing_inside;
    failing_inside.add("SET", "c", 3).add("HSET", "k", "f", "v").add("SET", "d", 4);
    EXPECT_THAT(thrown_message([&] { vyr::redis::transaction(*m_context, failing_inside).exec(); }),
                ::testing::StartsWith("Command: HSET, error: WRONGTYPE"));
    EXPECT_EQ(s_server->command({"MGET", "c", "d"}), "3\n4");
    vyr::redis::batch rejected;
    rejected.add("SET", "e", 5).add("NOSUCHCOMMAND");
    EXPECT_THAT(thrown_message([&] { vyr::redis::transaction(*m_context, rejected).exec(); }), ::testing::StartsWith("Command: NOSUCHCOMMAND, error: "));
    EXPECT_EQ(s_server->command({"EXISTS", "e"}), "0");
    // Each failed batch counts once, whatever it held.
    EXPECT_EQ(vyr::metrics::value(vyr::metrics::counter::redis_command_errors) - errors, 3);
    const auto exec = vyr::redis::transaction(*m_context, vyr::redis::batch().add("INCR", "n").add("GET", "a")).exec();
    EXPECT_EQ(exec.as_array()[0].to_integer(), 1);
    EXPECT_EQ(exec.as_array()[1].to_string(), "1");
    EXPECT_EQ(m_context->command("GET", "b").to_string(), "2");
}

TEST_F(redis_client, a_batch_cut_by_a_restart_is_resent_only_when_nothing_ran_and_no_hincrby_is_in_it) {
    const auto client_id = [&] { return std::to_string(m_context->command("CLIENT", "ID").to_integer()); };
    struct row {
        const char* name;
        bool restart;       // the server restarts before the batch
        bool kill_midway;   // the server closes the connection after the first command
        bool hincrby;       // the batch counts with HINCRBY rather than setting
        std::string failure;
        std::string count;  // the counter afterwards; the batch must never add 2
        std::string last;   // the batch's last key afterwards
    } const rows[] = {
        {"restart, idempotent batch: resent", true, false, false, "none", "1", "1"},
        {"restart, batch with HINCRBY: not resent", true, false, true, "closed", "(nil)", "(nil)"},
        {"closed midway, idempotent: not resent", false, true, false, "closed", "1", "(nil)"},
        {"closed midway, HINCRBY: not resent", false, true, true, "closed", "1", "(nil)"},
    };
    for (const auto& r : rows) {
        m_context->command("FLUSHDB");
        vyr::redis::batch work;
        if (r.hincrby)
            work.add("HINCRBY", "h", "n", 1);
        else
            work.add("HSET", "h", "n", 1);
        if (r.kill_midway)
            work.add("CLIENT", "KILL", "ID", client_id(), "SKIPME", "no");
        work.add("SET", "last", 1);
        if (r.restart)
            s_server->restart();
        EXPECT_EQ(failure_of([&] { vyr::redis::pipeline(*m_context, work).exec(); }), r.failure) << r.name;
        EXPECT_EQ(s_server->command({"HGET", "h", "n"}), r.count) << r.name;
        EXPECT_EQ(s_server->command({"GET", "last"}), r.last) << r.name;
        // Usable again at once.
        EXPECT_EQ(m_context->command("PING").to_string(), "PONG") << r.name;
    }
}

// The default user gets a password from an ACL user "svc" of the server's configuration.
// Every password holds "Secret", which no message may show.
TEST(redis_credentials, every_connection_logs_in_and_a_refusal_is_an_auth_error_that_never_shows_a_password) {
    test::redis_server server({"--user", "svc", "on", ">Acl-Secret", "~*", "+@all"});
    vyr::redis::connection svc(server.host(), server.port(), 11, {"svc", "Acl-Secret"});
    svc.command("CONFIG", "SET", "requirepass", "Default-Secret");
    const struct {
        vyr::redis::credentials credentials;
        std::string failure;  // the start of the message; empty: logged in
    } rows[] = {
        {{"", "Default-Secret"}, ""},
        {{"", "Wrong-Secret"}, "auth: Connection error: Command: AUTH, error: WRONGPASS"},
        {{"", ""}, "auth: Connection error: Command: SELECT, error: NOAUTH"},
    };
    for (const auto& r : rows) {
        std::string message;
        try {
            vyr::redis::connection(server.host(), server.port(), 11, r.credentials).command("PING");
        } catch (const connection_error& e) {
            message = (e.reason() == connection_error::cause::auth ? "auth: " : "other: ") + e.message();
        }
        EXPECT_EQ(message.substr(0, r.failure.size()), r.failure) << r.credentials.password;
        EXPECT_EQ(message.find("Secret"), std::string::npos) << message;
    }
    // A new connection after a restart logs in again before the command is resent.
    server.restart();
    EXPECT_EQ(svc.command("ACL", "WHOAMI").to_string(), "svc");
}

}  // namespace
