// The lease's scripts on a real redis-server: who may take, renew and release it, the
// fencing counter, the keys kept when the database is emptied, and the connection's refusal
// of writes while the process's lease guard has run out.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/lease_guard.h"
#include "redis/connection.h"
#include "redis/errors.h"
#include "redis/lease.h"
#include "redis/pipeline.h"
#include "redis/transaction.h"
#include "support/redis_server.h"

namespace {

using namespace std::chrono_literals;
namespace lease = vyr::redis::lease;

class Lease : public ::testing::Test {
protected:
    void TearDown() override { vyr::lease_guard::reset(); }

    test::redis_server m_server;
    vyr::redis::connection m_redis{m_server.host(), m_server.port(), 11};
};

TEST_F(Lease, OnlyTheHolderRenewsOrReleasesAndEachTakeOverRaisesTheFencing) {
    EXPECT_EQ(lease::take(m_redis, "a/1", 10s), 1);
    struct step {
        const char* what;
        bool (*run)(vyr::redis::connection&);
        bool expected;
    };
    const step steps[] = {
        {"b cannot take it", [](auto& r) { return lease::take(r, "b/2", 10s).has_value(); }, false},
        {"b cannot renew it", [](auto& r) { return lease::renew(r, "b/2", 10s, 1); }, false},
        {"a renews it", [](auto& r) { return lease::renew(r, "a/1", 10s, 1); }, true},
        {"b cannot release it", [](auto& r) { return lease::release(r, "b/2"); }, false},
        {"a releases it", [](auto& r) { return lease::release(r, "a/1"); }, true},
        {"a cannot release it twice", [](auto& r) { return lease::release(r, "a/1"); }, false},
    };
    for (const auto& s : steps)
        EXPECT_EQ(s.run(m_redis), s.expected) << s.what;
    EXPECT_EQ(lease::read(m_redis).fencing, 1) << "renewals leave the fencing counter";
    EXPECT_EQ(lease::take(m_redis, "b/2", 10s), 2);
    const auto now = lease::read(m_redis);
    EXPECT_EQ(now.holder, "b/2");
    EXPECT_GT(now.remaining, 9s);
}

TEST_F(Lease, RenewAfterExpiryFailsOnceAnotherTookIt) {
    ASSERT_EQ(lease::take(m_redis, "a/1", 50ms), 1);
    std::this_thread::sleep_for(150ms);  // the server's own expiry, which no clock of ours drives
    EXPECT_EQ(lease::take(m_redis, "b/2", 10s), 2);
    EXPECT_FALSE(lease::renew(m_redis, "a/1", 10s, 1));
    EXPECT_EQ(lease::read(m_redis).holder, "b/2");
}

// A Redis restarted empty lost the keys: nobody else can hold the lease, so the holder's
// renewal puts it back with its term, and a standby still cannot take it.
TEST_F(Lease, RenewalPutsBackALeaseRedisLost) {
    ASSERT_EQ(lease::take(m_redis, "a/1", 10s), 1);
    ASSERT_EQ(lease::take(m_redis, "a/1", 10s), 2);
    m_redis.command("DEL", lease::s_key, lease::s_term_key);
    EXPECT_TRUE(lease::renew(m_redis, "a/1", 10s, 2));
    EXPECT_EQ(lease::take(m_redis, "b/2", 10s), std::nullopt);
    const auto now = lease::read(m_redis);
    EXPECT_EQ(std::make_pair(now.holder, now.fencing), std::make_pair(std::optional<std::string>("a/1"), std::int64_t{2}));
}

TEST_F(Lease, KeysSurviveTheDatabaseBeingEmptied) {
    ASSERT_EQ(lease::take(m_redis, "a/1", 10s), 1);
    m_redis.command("HSET", lease::s_sleep_orders_key, "anchor-1", "order");
    m_redis.command("SET", lease::s_mirror_key, "1 a");
    m_redis.command("SET", "anchors:set", "x");
    vyr::redis::batch flush;
    flush.add("FLUSHDB").append(lease::kept_across_flush(m_redis));
    vyr::redis::transaction(m_redis, flush).exec();
    const auto now = lease::read(m_redis);
    EXPECT_EQ(now.holder, "a/1");
    EXPECT_GT(now.remaining, 5s) << "the expiry is kept";
    EXPECT_EQ(now.fencing, 1);
    EXPECT_EQ(m_redis.command("HGET", lease::s_sleep_orders_key, "anchor-1").to_string(), "order");
    EXPECT_TRUE(m_redis.command("GET", lease::s_mirror_key).is_nil()) << "the mirror's mark goes with it";
    EXPECT_TRUE(m_redis.command("GET", "anchors:set").is_nil());
    EXPECT_EQ(lease::take(m_redis, "b/2", 10s), std::nullopt);
}

TEST_F(Lease, WritesAreRefusedWhileTheGuardRanOutButReadsAndTheExemptThreadGoOn) {
    vyr::lease_guard::use(10s);  // no renewal yet: not valid
    const auto refused = [&](auto _write) {
        try {
            _write();
        } catch (const vyr::redis::connection_error&) {
            return true;
        }
        return false;
    };
    EXPECT_TRUE(refused([&] { m_redis.command("SET", "k", "1"); }));
    EXPECT_TRUE(refused([&] { vyr::redis::pipeline(m_redis).add("GET", "k").add("SET", "k", "2").exec(); }));
    EXPECT_FALSE(refused([&] { m_redis.command("GET", "k"); }));
    std::thread([&] {
        vyr::lease_guard::exempt_this_thread();
        EXPECT_EQ(lease::take(m_redis, "a/1", 10s), 1);
    }).join();
    vyr::lease_guard::renewed(vyr::lease_guard::clock::now());
    EXPECT_FALSE(refused([&] { m_redis.command("SET", "k", "3"); }));
    EXPECT_EQ(m_redis.command("GET", "k").to_string(), "3") << "nothing refused was run";
}

}  // namespace
