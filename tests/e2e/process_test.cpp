// The built service and debug console run as child processes: the command line, the
// pid file, stopping by signal, exit statuses and the messages on standard error, and
// the debug stream as a console receives it.
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <json/json.h>
#include <zmq.hpp>

#include "core/json.h"
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

    Json::Value configuration(const std::string& _debug_endpoint) const {
        Json::Value j;
        j["system"]["pidfile"] = m_pid_file;
        j["system"]["debug_port"] = _debug_endpoint;
        j["system"]["local_debug"] = false;
        j["proxy"]["address"] = "127.0.0.1";
        j["proxy"]["output_port"] = test::free_port();
        j["proxy"]["input_port"] = test::free_port();
        j["server"]["protocol"] = "http";
        j["server"]["address"] = "127.0.0.1";
        j["server"]["port"] = test::free_port();
        j["redis"]["address"] = "127.0.0.1";
        j["redis"]["port"] = test::free_port();
        return j;
    }

    std::string write_configuration(const Json::Value& _configuration) const {
        const std::string path = m_files.file("rtls-quorvane.json");
        test::write_file(path, vyr::libs::core::json::to_string(_configuration));
        return path;
    }

    std::string free_endpoint() const { return "tcp://127.0.0.1:" + std::to_string(test::free_port()); }

    // Starts the service with `_args`, working in the empty folder m_work.
    std::unique_ptr<test::process> start(const std::vector<std::string>& _args) {
        test::process::options options;
        options.stderr_path = m_stderr;
        options.working_directory = m_work.path();
        return std::make_unique<test::process>(m_binary, _args, options);
    }

    // Runs the service to its end and returns the exit status.
    test::exit_status run(const std::vector<std::string>& _args) {
        auto service = start(_args);
        const auto status = service->wait(s_exit_timeout);
        if (!status) {
            ADD_FAILURE() << "the service did not end";
            return {};
        }
        return *status;
    }

    std::string err() const { return test::read_file(m_stderr); }
    bool work_folder_empty() const { return std::filesystem::is_empty(m_work.path()); }

    // Waits until the service has written its pid file.
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

TEST_F(Service, no_arguments_fails_with_usage_and_writes_no_pid_file) {
    const auto status = run({});
    EXPECT_TRUE(status.exited);
    EXPECT_NE(status.code, 0);
    EXPECT_NE(err().find("The configuration file is not defined! Usage: " + m_binary + " -c config_file"),
              std::string::npos)
        << err();
    EXPECT_TRUE(work_folder_empty());
    EXPECT_FALSE(test::file_exists(m_pid_file));
}

TEST_F(Service, unknown_option_fails_with_usage) {
    const auto status = run({"-x"});
    EXPECT_TRUE(status.exited);
    EXPECT_EQ(status.code, 1);
    EXPECT_NE(err().find("rtls-quorvane: Usage: " + m_binary + " -c config_file"), std::string::npos) << err();
}

TEST_F(Service, missing_or_invalid_configuration_fails) {
    auto status = run({"-c", m_files.file("absent.json")});
    EXPECT_TRUE(status.exited && status.code == 1) << status.code;
    EXPECT_NE(err().find("rtls-quorvane: Cannot parse json: "), std::string::npos) << err();

    Json::Value broken = configuration(free_endpoint());
    broken["proxy"]["output_port"] = "5556";
    status = run({"-c", write_configuration(broken)});
    EXPECT_TRUE(status.exited && status.code == 1) << status.code;
    EXPECT_NE(err().find("Config file is invalid: Can not find field <int>: proxy.output_port"), std::string::npos)
        << err();
    EXPECT_FALSE(test::file_exists(m_pid_file));
}

TEST_F(Service, runs_until_sigterm_and_keeps_its_pid_file) {
    const std::string file = write_configuration(configuration(free_endpoint()));
    // The last -c counts.
    auto service = start({"-c", m_files.file("other.json"), "-c", file});
    ASSERT_TRUE(wait_for_pid_file(service->pid())) << err();
    EXPECT_TRUE(service->running());

    ASSERT_TRUE(service->signal(SIGTERM));
    const auto status = service->wait(s_exit_timeout);
    ASSERT_TRUE(status) << "no exit after SIGTERM";
    EXPECT_TRUE(status->exited);
    EXPECT_EQ(status->code, 0);
    EXPECT_EQ(test::read_file(m_pid_file), std::to_string(service->pid()));
    EXPECT_EQ(err(), "");
}

TEST_F(Service, sigint_stops_as_well_and_a_second_signal_changes_nothing) {
    auto service = start({"-c", write_configuration(configuration(free_endpoint()))});
    ASSERT_TRUE(wait_for_pid_file(service->pid())) << err();
    ASSERT_TRUE(service->signal(SIGINT));
    service->signal(SIGINT);  // may come after the end already
    const auto status = service->wait(s_exit_timeout);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited);
    EXPECT_EQ(status->code, 0);
}

TEST_F(Service, live_pid_in_pid_file_refuses_start) {
    const std::string live = std::to_string(::getpid());
    test::write_file(m_pid_file, live);
    const auto status = run({"-c", write_configuration(configuration(free_endpoint()))});
    EXPECT_TRUE(status.exited);
    EXPECT_EQ(status.code, 1);
    EXPECT_NE(err().find("rtls-quorvane: Process is running"), std::string::npos) << err();
    EXPECT_EQ(test::read_file(m_pid_file), live);
}

TEST_F(Service, second_instance_refuses_start_while_the_first_runs) {
    const std::string file = write_configuration(configuration(free_endpoint()));
    auto first = start({"-c", file});
    ASSERT_TRUE(wait_for_pid_file(first->pid())) << err();
    const auto second = run({"-c", file});
    EXPECT_EQ(second.code, 1);
    EXPECT_NE(err().find("Process is running"), std::string::npos) << err();
    EXPECT_TRUE(first->running());
    first->signal(SIGTERM);
    const auto status = first->wait(s_exit_timeout);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 0);
}

TEST_F(Service, stale_pid_file_is_replaced) {
    test::process gone("/bin/true", {});
    ASSERT_TRUE(gone.wait(s_exit_timeout));
    test::write_file(m_pid_file, std::to_string(gone.pid()));
    auto service = start({"-c", write_configuration(configuration(free_endpoint()))});
    EXPECT_TRUE(wait_for_pid_file(service->pid())) << err();
    service->signal(SIGTERM);
    ASSERT_TRUE(service->wait(s_exit_timeout));
}

TEST_F(Service, bad_debug_endpoint_fails_start) {
    const auto status = run({"-c", write_configuration(configuration("not-an-endpoint"))});
    EXPECT_TRUE(status.exited);
    EXPECT_EQ(status.code, 1);
    EXPECT_NE(err().find("rtls-quorvane: "), std::string::npos);
}

TEST_F(Service, exit_record_reaches_the_debug_console) {
    zmq::context_t context(1);
    zmq::socket_t console(context, zmq::socket_type::pull);
    console.bind("tcp://127.0.0.1:*");
    const std::string endpoint = console.get(zmq::sockopt::last_endpoint);
    // Records written before the service's connection is up are dropped, so wait for
    // the handshake before asking it to stop.
    ASSERT_EQ(zmq_socket_monitor(console.handle(), "inproc://console-monitor", ZMQ_EVENT_HANDSHAKE_SUCCEEDED), 0);
    zmq::socket_t monitor(context, zmq::socket_type::pair);
    monitor.connect("inproc://console-monitor");
    monitor.set(zmq::sockopt::rcvtimeo, 20000);

    auto service = start({"-c", write_configuration(configuration(endpoint))});
    zmq::message_t event;
    ASSERT_TRUE(monitor.recv(event)) << "the service never connected its debug socket";
    ASSERT_TRUE(wait_for_pid_file(service->pid()));
    // The console's side of the handshake may finish a moment before the service's,
    // which only then starts passing records on: give it that moment.
    std::this_thread::sleep_for(300ms);
    service->signal(SIGTERM);
    const auto status = service->wait(s_exit_timeout);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 0);

    console.set(zmq::sockopt::rcvtimeo, 10000);
    const std::regex exit_frame(R"(&rtls-quorvane:main \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} /src/main\.cpp:\d+ exit)");
    bool seen = false;
    zmq::message_t frame;
    while (!seen && console.recv(frame))
        seen = std::regex_match(frame.to_string(), exit_frame);
    EXPECT_TRUE(seen) << "no exit record; last frame: " << frame.to_string();
}

// ---- debug console -------------------------------------------------------------------------

class DebugConsole : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(test::file_exists(m_binary)) << m_binary << " is not built"; }

    std::unique_ptr<test::process> start(const std::vector<std::string>& _args) {
        test::process::options options;
        options.stdout_path = m_out;
        options.stderr_path = m_err;
        return std::make_unique<test::process>(m_binary, _args, options);
    }

    const std::string m_binary = test::binary("quorvane-debug-console");
    test::temp_dir m_files;
    const std::string m_out = m_files.file("stdout.txt");
    const std::string m_err = m_files.file("stderr.txt");
    const std::string m_endpoint = "tcp://127.0.0.1:" + std::to_string(test::free_port());
};

TEST_F(DebugConsole, prints_each_frame_on_its_own_line) {
    auto console = start({"--count", "3", m_endpoint});
    zmq::context_t context(1);
    zmq::socket_t push(context, zmq::socket_type::push);
    push.connect(m_endpoint);  // queued until the console is there
    for (const char* frame : {"&rtls-quorvane:main first", "&rtls-quorvane:receiver second", "third"})
        push.send(zmq::buffer(std::string(frame)), zmq::send_flags::none);
    const auto status = console->wait(s_exit_timeout);
    ASSERT_TRUE(status) << "the console did not stop after --count frames";
    EXPECT_EQ(status->code, 0);
    EXPECT_EQ(test::read_file(m_out), "&rtls-quorvane:main first\n&rtls-quorvane:receiver second\nthird\n");
}

TEST_F(DebugConsole, stops_on_sigterm) {
    auto console = start({m_endpoint});
    // Once a frame has come through, the console is surely in its loop.
    zmq::context_t context(1);
    zmq::socket_t push(context, zmq::socket_type::push);
    push.connect(m_endpoint);
    push.send(zmq::buffer(std::string("ready")), zmq::send_flags::none);
    ASSERT_TRUE(test::wait_until([&] { return test::read_file(m_out) == "ready\n"; }, s_exit_timeout));
    console->signal(SIGTERM);
    const auto status = console->wait(s_exit_timeout);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited);
    EXPECT_EQ(status->code, 0);
}

TEST_F(DebugConsole, wrong_command_lines_are_refused) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"--count", "0", m_endpoint},
                                                  {"--count", "x", m_endpoint}, {"--count"}, {m_endpoint, "extra"}}) {
        auto console = start(args);
        const auto status = console->wait(s_exit_timeout);
        ASSERT_TRUE(status);
        EXPECT_EQ(status->code, 2);
        EXPECT_NE(test::read_file(m_err).find("usage: "), std::string::npos);
    }
    auto console = start({"not-an-endpoint"});
    const auto status = console->wait(s_exit_timeout);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 1);
}

// ---- the running service -------------------------------------------------------------------

namespace {

// Collects the service's debug stream on a PULL socket.
class debug_stream {
public:
    debug_stream() {
        m_socket.bind("tcp://127.0.0.1:*");
        m_socket.set(zmq::sockopt::rcvtimeo, 200);
        m_endpoint = m_socket.get(zmq::sockopt::last_endpoint);
    }
    const std::string& endpoint() const { return m_endpoint; }

    // Receives frames for at most `_for`; returns how many of all frames seen so far hold
    // `_text`.
    std::size_t count(const std::string& _text, std::chrono::milliseconds _for) {
        const auto end = std::chrono::steady_clock::now() + _for;
        zmq::message_t frame;
        while (std::chrono::steady_clock::now() < end)
            if (m_socket.recv(frame))
                m_frames.push_back(frame.to_string());
        std::size_t n = 0;
        for (const auto& f : m_frames)
            n += f.find(_text) != std::string::npos;
        return n;
    }

private:
    zmq::context_t m_context{1};
    zmq::socket_t m_socket{m_context, zmq::socket_type::pull};
    std::string m_endpoint;
    std::vector<std::string> m_frames;
};

}  // namespace

TEST_F(Service, redis_down_is_retried_every_5_s_and_sigterm_ends_the_wait_with_exit_0) {
    debug_stream debug;
    auto service = start({"-c", write_configuration(configuration(debug.endpoint()))});
    ASSERT_TRUE(wait_for_pid_file(service->pid())) << err();
    // Attempts at about 0, 5 and 10 s (plus connect time). Records written before the
    // debug connection is up are dropped, so the first may be missed: at least two.
    EXPECT_GE(debug.count("Connection error", std::chrono::seconds(11)), 2u);
    ASSERT_TRUE(service->signal(SIGTERM));
    const auto status = service->wait(s_exit_timeout);
    ASSERT_TRUE(status) << "SIGTERM did not end the Redis wait";
    EXPECT_TRUE(status->exited);
    EXPECT_EQ(status->code, 0) << err();
    // A requested stop is not a failed start: nothing on standard error.
    EXPECT_EQ(err(), "");
}

TEST_F(Service, with_redis_up_the_workers_start_and_sigterm_ends_within_5_s_with_no_peer) {
    test::redis_server redis;
    Json::Value j = configuration(free_endpoint());
    j["redis"]["port"] = redis.port();
    // Nothing listens at the proxy endpoints nor at the platform server.
    auto service = start({"-c", write_configuration(j)});
    // The updater's first step names the mirror: the worker threads run.
    ASSERT_TRUE(test::wait_until([&] { return redis.command({"GET", "name"}) == "rtls-quorvane"; }, s_exit_timeout))
        << err();
    EXPECT_NE(redis.command({"GET", "updated"}), "true");
    ASSERT_TRUE(service->signal(SIGTERM));
    // The stop contract of the service: every worker joined within 5 s.
    const auto status = service->wait(std::chrono::seconds(5));
    ASSERT_TRUE(status) << "the service did not stop within 5 s";
    EXPECT_TRUE(status->exited);
    EXPECT_EQ(status->code, 0);
}
