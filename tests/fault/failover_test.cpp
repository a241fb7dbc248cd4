// Redis under Sentinel losing its master (SIGKILL) while devices are written as the
// service's workers write them: one connection of their own, a round that meets a lost
// connection tried again on the next. And a failover the sentinels are asked for, the
// former master staying up: an idle connection follows the switch they announce. And the
// whole service with its site in step, the master killed under it. A real master, replica
// and three sentinels.
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/logger.h"
#include "redis/connection.h"
#include "redis/database.h"
#include "redis/master_watch.h"
#include "redis/pipeline.h"
#include "redis/sentinel.h"
#include "support/log_sink.h"
#include "support/process.h"
#include "support/sentinel_site.h"
#include "support/sim_site.h"

namespace {

using namespace std::chrono_literals;

constexpr int s_devices = 50;

std::string data_key(int _device) { return "win:data:70B3D5FFFE0C" + std::to_string(1000 + _device); }

// Every device once, as a cycle writes it: its record and its place in the set.
void write_round(vyr::redis::connection& _redis, const std::string& _field) {
    for (int device = 0; device < s_devices; ++device)
        vyr::redis::pipeline(_redis, vyr::redis::batch()
                                         .add("HSET", data_key(device), _field, "1")
                                         .add("SADD", "win:set", data_key(device)))
            .exec();
}

TEST(failover, a_killed_master_is_replaced_within_15_s_and_keeps_every_record_the_replica_had) {
    test::sentinel_site site(3);
    vyr::redis::set_sentinel_settings(site.settings());
    vyr::redis::connection redis(site.master().host(), site.master().port(), vyr::redis::service_database);
    write_round(redis, "before");
    ASSERT_TRUE(site.replicated(10s));

    site.master().stop(SIGKILL);
    int rounds_lost = 0;
    // The goal's bound: Sentinel's own 1 s down-after and the failover it then runs.
    const bool resumed = test::wait_until(
        [&] {
            try {
                write_round(redis, "after");
                return true;
            } catch (const vyr::redis::connection_error&) {
                ++rounds_lost;
                return false;
            }
        },
        15s);
    vyr::redis::set_sentinel_settings({});
    ASSERT_TRUE(resumed) << "still no master after 15 s";
    EXPECT_GT(rounds_lost, 0);
    // The former replica is the master the writer went on with.
    EXPECT_EQ(site.replica().command({"ROLE"}).substr(0, 6), "master");
    EXPECT_EQ(redis.command("CONFIG", "GET", "port").as_array()[1].to_string(), std::to_string(site.replica().port()));
    EXPECT_EQ(site.replica().command({"SCARD", "win:set"}), std::to_string(s_devices));
    for (int device = 0; device < s_devices; ++device)
        EXPECT_EQ(site.replica().command({"HMGET", data_key(device), "before", "after"}), "1\n1") << device;
}

TEST(failover, an_idle_connection_writes_to_the_master_a_switch_announced_without_an_error) {
    test::sentinel_site site(3);
    vyr::redis::set_sentinel_settings(site.settings());
    vyr::libs::core::logger logger("rtls-quorvane-test", "redis");
    test::log_sink sink;
    sink.connect(logger);
    const vyr::redis::master_watch watch(logger);
    vyr::redis::connection redis(site.master().host(), site.master().port(), vyr::redis::service_database);
    redis.command("SET", "k", "1");
    ASSERT_TRUE(site.replicated(10s));
    // Subscribed: the watch recorded the master its sentinel names.
    ASSERT_TRUE(test::wait_until([] { return vyr::redis::announced_master().has_value(); }, 10s));
    const auto generation = vyr::redis::master_generation();

    // Asked of a sentinel the watch is not subscribed to: the others hear of it from it.
    ASSERT_EQ(site.sentinel(2).command({"SENTINEL", "FAILOVER", "quorvane"}), "OK");
    const bool switched = test::wait_until([&] { return vyr::redis::master_generation() != generation; }, 20s);
    const std::string switch_line = "Redis master switched to " + site.replica().host() + ":" +
                                    std::to_string(site.replica().port()) + " (sentinel ";
    bool logged = false;
    while (!logged)
        if (const auto frame = sink.receive(10s))
            logged = test::frame_message(*frame).find(switch_line) != std::string::npos;
        else
            break;
    // INCR is never sent twice: a READONLY of the former master would reach the caller,
    // and on a former master not yet told of its demotion the increment would be lost.
    std::string failure;
    try {
        redis.command("INCR", "k");
    } catch (const vyr::redis::connection_error& e) {
        failure = e.message();
    }
    vyr::redis::set_sentinel_settings({});
    ASSERT_TRUE(switched) << "no switch heard within 20 s";
    EXPECT_TRUE(logged) << switch_line;
    EXPECT_EQ(failure, "");
    EXPECT_EQ(redis.command("CONFIG", "GET", "port").as_array()[1].to_string(), std::to_string(site.replica().port()));
    EXPECT_EQ(site.replica().command({"GET", "k"}), "2");
}

}  // namespace

namespace {

// The service's Redis master killed with its site in step: within 15 s it renews its lease
// on the promoted replica; every device record is kept, so the devices are all in step
// again at once and none is pushed anything.
TEST(failover, the_service_goes_on_with_the_promoted_replica_and_leaves_the_devices_in_step_alone) {
    test::sentinel_site redis(3);
    test::sim_site::options options;
    options.sim.devices = 8;
    options.sim.heartbeat = 0;
    options.configure = [settings = redis.settings()](Json::Value& _config) {
        for (const auto& sentinel : settings.sentinels)
            _config["redis"]["sentinels"].append(sentinel.text());
        _config["redis"]["master_name"] = settings.master_name;
    };
    test::sim_site site(options);
    const auto gauge = [&](const std::string& _name) { return site.metrics()[_name]; };
    const double devices = static_cast<double>(site.sim().macs().size());
    ASSERT_TRUE(site.wait_quiet("rtls_quorvane_pushes_total", 12s, 180s)) << site.service_output();
    ASSERT_EQ(gauge("rtls_quorvane_devices{status=\"in_step\"}"), devices);
    ASSERT_TRUE(redis.replicated(10s));

    const double killed_at = site.sim().elapsed();
    redis.master().stop(SIGKILL);
    // The lease is renewed every second, by a SET with an expiry of the whole lease.
    const auto renewed_on_replica = [&] {
        try {
            return redis.replica().command({"ROLE"}).rfind("master", 0) == 0 &&
                   std::stol(redis.replica().command({"PTTL", "lease"})) > 8000;
        } catch (const std::exception&) {
            return false;
        }
    };
    ASSERT_TRUE(test::wait_until(renewed_on_replica, 15s)) << "not writing to the new master within 15 s";
    // Two sending periods and a full refresh later, nothing was pushed and all are in step;
    // the switch the sentinels announced when their failover ended was heard.
    std::this_thread::sleep_for(12s);
    EXPECT_GE(gauge("rtls_quorvane_redis_master_switches_total"), 1);
    EXPECT_EQ(gauge("rtls_quorvane_devices{status=\"in_step\"}"), devices);
    EXPECT_EQ(gauge("rtls_quorvane_role{role=\"active\"}"), 1);
    for (const auto& mac : site.sim().macs())
        EXPECT_EQ(site.sim().device(mac).count_received("000E", "", killed_at), 0u) << mac << " pushed again";
}

}  // namespace
