// The built service runs as a child process: the command line, the pid file, stopping
// by signal, exit statuses and the messages on standard error, Redis and platform
// credentials. Its debug stream is read by a console inside the test (support/log_sink);
// the console program has tests of its own (tests/tools/debug-console).
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <json/json.h>

#include "app/config.h"
#include "redis/connection.h"
#include "support/log_sink.h"
#include "support/platform_server.h"
#include "support/process.h"
#include "support/redis_server.h"

namespace {

using namespace std::chrono_literals;

const auto s_exit_timeout = std::chrono::seconds(20);

class Service : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(test::file_exists(m_binary)) << m_binary << " is not built (ninja rtls-quorvane)";
    }

    // A configuration with nobody at any peer but `_debug` and `_redis_port`.
    std::string config(const std::string& _debug, int _redis_port = test::free_port(),
                       const std::function<void(Json::Value&)>& _change = {}) const {
        return test::write_service_config(
            m_files, {_debug, test::free_port(), test::free_port(), test::free_port(), _redis_port}, _change);
    }
    std::string config() const { return config("tcp://127.0.0.1:" + std::to_string(test::free_port())); }

    // Starts the service (or `_program`) with `_args`, working in the empty folder m_work.
    std::unique_ptr<test::process> start(const std::vector<std::string>& _args, const std::string& _program = {}) {
        test::process::options options;
        options.stderr_path = m_stderr;
        options.working_directory = m_work.path();
        return std::make_unique<test::process>(_program.empty() ? m_binary : _program, _args, options);
    }

    // SIGTERM (or `_signal`, sent twice with `_twice`) and the exit status, which must come.
    void expect_stops_with_0(test::process& _service, int _signal = SIGTERM, bool _twice = false) {
        ASSERT_TRUE(_service.signal(_signal));
        if (_twice)
            _service.signal(_signal);  // may come after the end already
        const auto status = _service.wait(s_exit_timeout);
        ASSERT_TRUE(status) << "no exit after the signal";
        EXPECT_TRUE(status->exited && status->code == 0) << status->code << " " << err();
    }

    std::string err() const { return test::read_file(m_stderr); }

    bool wait_for_pid_file(pid_t _pid) const {
        return test::wait_until([&] { return test::read_file(m_pid_file) == std::to_string(_pid); }, s_exit_timeout);
    }

    const std::string m_binary = test::binary("rtls-quorvane");
    test::temp_dir m_files;
    test::temp_dir m_work;
    const std::string m_pid_file = m_files.file("rtls-quorvane.pid");
    const std::string m_stderr = m_files.file("stderr.txt");
};

}  // namespace

TEST_F(Service, failed_starts_exit_1_with_the_reason_on_stderr_and_keep_the_pid_file) {
    // No start that fails before the debug connection writes the pid file.
    const struct {
        std::function<std::vector<std::string>()> args;
        std::string reason;
        bool before_debug;
    } cases[] = {
        {[] { return std::vector<std::string>{}; },
         "The configuration file is not defined! Usage: " + m_binary + " -c config_file", true},
        {[] { return std::vector<std::string>{"-x"}; }, "rtls-quorvane: Usage: " + m_binary + " -c config_file", true},
        {[&] { return std::vector<std::string>{"-c", m_files.file("absent.json")}; },
         "rtls-quorvane: cannot open " + m_files.file("absent.json") + ": No such file or directory", true},
        {[&] {
             return std::vector<std::string>{"-c", config("tcp://127.0.0.1:1", 1, [](Json::Value& _c) {
                                                 _c["proxy"]["output_port"] = -1;
                                                 _c["server"]["port"] = 70000;
                                             })};
         },
         "Config file is invalid: Port out of range 1-65535: proxy.output_port = -1\n"
         "Port out of range 1-65535: server.port = 70000", true},
        {[&] { return std::vector<std::string>{"-c", config("not-an-endpoint")}; }, "rtls-quorvane: ", false},
    };
    for (const auto& c : cases) {
        const auto status = start(c.args())->wait(s_exit_timeout);
        ASSERT_TRUE(status) << c.reason;
        EXPECT_TRUE(status->exited && status->code == 1) << c.reason << ": " << status->code;
        EXPECT_NE(err().find(c.reason), std::string::npos) << err();
        if (c.before_debug) {
            EXPECT_FALSE(test::file_exists(m_pid_file)) << c.reason;
        }
        EXPECT_TRUE(std::filesystem::is_empty(m_work.path())) << c.reason;
    }
}

TEST_F(Service, of_two_started_at_once_one_runs_until_a_signal_and_keeps_its_pid_file) {
    // A stale pid file is replaced; the last -c counts.
    test::process gone("/bin/true", {});
    ASSERT_TRUE(gone.wait(s_exit_timeout));
    test::write_file(m_pid_file, std::to_string(gone.pid()));
    const std::string file = config();
    std::unique_ptr<test::process> both[] = {start({"-c", m_files.file("other.json"), "-c", file}),
                                             start({"-c", file})};
    // Exactly one gets the pid file's lock; the other ends at once.
    ASSERT_TRUE(test::wait_until([&] { return !both[0]->running() || !both[1]->running(); }, s_exit_timeout));
    auto& service = both[0]->running() ? both[0] : both[1];
    const auto second = (both[0]->running() ? both[1] : both[0])->wait(s_exit_timeout);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->code, 1);
    EXPECT_NE(err().find("Process is running"), std::string::npos) << err();
    ASSERT_TRUE(wait_for_pid_file(service->pid())) << err();
    EXPECT_TRUE(service->running());
    test::write_file(m_stderr, "");

    expect_stops_with_0(*service);
    EXPECT_EQ(test::read_file(m_pid_file), std::to_string(service->pid()));
    EXPECT_EQ(err(), "");

    // SIGINT stops it as well, and a second signal changes nothing.
    service = start({"-c", file});
    ASSERT_TRUE(wait_for_pid_file(service->pid())) << err();
    expect_stops_with_0(*service, SIGINT, true);
}

TEST_F(Service, own_pid_in_the_pid_file_does_not_block_redis_down_is_retried_and_sigterm_ends_the_wait) {
    test::log_sink debug;
    // A restart in a fresh pid namespace finds its own pid in the kept file.
    const std::string shell = "printf %s $$ > '" + m_pid_file + "' && exec '" + m_binary + "' -c '";
    auto service = start({"-c", shell + config(debug.endpoint()) + "'"}, "/bin/sh");
    ASSERT_TRUE(wait_for_pid_file(service->pid())) << err();
    // Records written before the debug connection is up are dropped, so the first attempt
    // may be missed: a second one must come.
    std::size_t attempts = 0;
    const auto until = std::chrono::steady_clock::now() + 60s;
    while (attempts < 2 && std::chrono::steady_clock::now() < until)
        if (const auto frame = debug.receive(1s))
            attempts += frame->find("Connection error") != std::string::npos;
    EXPECT_GE(attempts, 2u);
    expect_stops_with_0(*service);
    // A requested stop is not a failed start: nothing on standard error.
    EXPECT_EQ(err(), "");
}

TEST_F(Service, with_redis_up_the_workers_start_and_sigterm_ends_within_5_s_with_no_peer) {
    test::redis_server redis;
    test::log_sink debug;
    // Nothing listens at the proxy endpoints nor at the platform server.
    auto service = start({"-c", config(debug.endpoint(), redis.port())});
    // The updater's first step names the mirror: the worker threads run.
    ASSERT_TRUE(test::wait_until([&] { return redis.command({"GET", "name"}) == "rtls-quorvane"; }, s_exit_timeout))
        << err();
    EXPECT_NE(redis.command({"GET", "updated"}), "true");
    ASSERT_TRUE(service->signal(SIGTERM));
    // The stop contract of the service: every worker joined within 5 s of the request, as
    // the service times it; the exit itself is bounded only against a hang.
    const auto stop_ms = test::stop_milliseconds(debug, s_exit_timeout);
    ASSERT_TRUE(stop_ms) << "no record of the workers' stop: " << err();
    EXPECT_LE(*stop_ms, 5000);
    const auto status = service->wait(s_exit_timeout);
    ASSERT_TRUE(status) << "the service did not exit";
    EXPECT_TRUE(status->exited && status->code == 0) << status->code;
}

TEST_F(Service, a_worker_that_cannot_start_ends_the_service_with_exit_1_and_the_reason) {
    test::redis_server redis;
    // The updater starts by emptying its database: refused here, as by a Redis still loading.
    redis.command({"ACL", "SETUSER", "default", "-flushdb"});
    auto service = start({"-c", config("tcp://127.0.0.1:" + std::to_string(test::free_port()), redis.port())});
    const auto status = service->wait(s_exit_timeout);
    ASSERT_TRUE(status) << "the service did not end";
    EXPECT_TRUE(status->exited && status->code == 1) << status->code;
    EXPECT_NE(err().find("rtls-quorvane: updater could not start: Command: FLUSHDB, error: NOPERM"), std::string::npos)
        << err();
}

TEST_F(Service, redis_still_loading_its_dataset_is_waited_out) {
    // A dataset saved by a test redis-server and loaded slowly (2 ms a key, answering
    // LOADING meanwhile) by another one.
    test::temp_dir data;
    {
        test::redis_server seed;
        seed.command({"EVAL", "for i = 1, 5000 do redis.call('SET', 'k' .. i, i) end", "0"});
        seed.command({"SAVE"});
        std::filesystem::copy_file(seed.command({"CONFIG", "GET", "dir"}).substr(4) + "/dump.rdb", data.file("dump.rdb"));
    }
    const int port = test::free_port();
    test::process redis("/bin/sh", {"-c", "exec redis-server --port " + std::to_string(port) + " --bind 127.0.0.1 --dir " +
                                              data.path() + " --save '' --key-load-delay 2000 "
                                              "--loading-process-events-interval-bytes 1024"});
    test::log_sink debug;
    auto service = start({"-c", config(debug.endpoint(), port)});
    bool loading = false;
    for (auto until = std::chrono::steady_clock::now() + 60s; !loading && std::chrono::steady_clock::now() < until;)
        loading = debug.receive(1s).value_or("").find("LOADING") != std::string::npos;
    ASSERT_TRUE(loading) << "the service never met the loading Redis";
    // Once loaded, the updater empties database 11 and names the mirror.
    ASSERT_TRUE(test::wait_until([&] {
        try {
            return vyr::redis::connection("127.0.0.1", port, 11).command("GET", "name").to_string() == "rtls-quorvane";
        } catch (const std::exception&) {
            return false;
        }
    }, 60s)) << err();
    expect_stops_with_0(*service);
}

// Every password holds "Secret", which neither the log nor standard error may show.
TEST_F(Service, refused_redis_credentials_are_logged_without_the_password_and_waited_out_then_it_mirrors_over_https) {
    test::redis_server redis;
    // The service's user as the README sets it up, with a password the service does not
    // know yet.
    ASSERT_EQ(redis.command({"ACL", "SETUSER", "rtls-quorvane", "on", ">Not-Yet", "resetkeys", "~*", "resetchannels",
                             "-@all", "+select|11", "+ping", "+info", "+flushdb", "+multi", "+exec", "+eval", "+get",
                             "+set", "+del", "+exists", "+hget", "+hmget", "+hset", "+hmset", "+hdel", "+hexists",
                             "+hgetall", "+hkeys", "+hincrby", "+sadd", "+srem", "+smembers", "+sismember",
                             "+mget"}),
              "OK");
    test::platform_server platform({"--basic-auth", "site:Secret-P"}, true, true);
    test::log_sink debug;
    const std::string file = config(debug.endpoint(), redis.port(), [&](Json::Value& _c) {
        _c["server"]["protocol"] = "https";
        _c["server"]["port"] = platform.port();
        _c["server"]["login"] = "site";
        _c["server"]["password"] = "Secret-P";
        _c["server"]["ca_file"] = platform.ca_file();
        _c["redis"]["user"] = "rtls-quorvane";
        _c["redis"]["password"] = "Secret-R";
    });
    ::chmod(file.c_str(), 0644);
    auto service = start({"-c", file});
    std::string log;
    const auto logged = [&](const std::string& _text) {
        while (const auto frame = debug.receive(10ms))
            log += *frame + "\n";
        return log.find(_text) != std::string::npos;
    };
    ASSERT_TRUE(test::wait_until([&] { return logged("WRONGPASS"); }, 60s)) << err();
    redis.command({"ACL", "SETUSER", "rtls-quorvane", "resetpass", ">Secret-R"});
    ASSERT_TRUE(test::wait_until([&] { return logged("") && redis.command({"GET", "updated"}) == "true"; }, 60s))
        << err() << log;
    expect_stops_with_0(*service);
    logged("");
    EXPECT_NE(err().find("holds a password and every user may read it"), std::string::npos) << err();
    EXPECT_EQ((log + err()).find("Secret"), std::string::npos) << log << err();
    EXPECT_EQ(log.find("NOPERM"), std::string::npos) << log;
    // As the package installs it, readable by owner and group only: no warning.
    ::chmod(file.c_str(), 0640);
    EXPECT_EQ(vyr::config::from_file(file).exposure_warning(file), "");
}

