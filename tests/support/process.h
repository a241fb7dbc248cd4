// Child processes for tests that run the built binaries: spawn a program with arguments
// (standard output and error to files, SIGINT/SIGTERM at their defaults whatever the
// test process blocks), send it signals, wait for it with a time-out. A process object
// belongs to the test that made it; its destructor kills and reaps a child still running.
// Also a temporary folder and small file helpers that such tests need.
#pragma once

#include <signal.h>  // the signal numbers that process::signal takes
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <json/json.h>

namespace test {

// How a child ended: exited with a code, or killed by a signal.
struct exit_status {
    bool exited = false;
    int code = 0;    // the exit code when exited
    int signal = 0;  // the signal number otherwise
};

class process {
public:
    struct options {
        std::string stdout_path = "/dev/null";
        std::string stderr_path = "/dev/null";
        std::string working_directory;  // empty: the test's own
    };

    // Starts `_program` (a path) with `_args` (argv[1] onwards). Throws
    // std::runtime_error when it cannot be started.
    process(const std::string& _program, const std::vector<std::string>& _args, const options& _options);
    process(const std::string& _program, const std::vector<std::string>& _args);
    ~process();
    process(const process&) = delete;
    process& operator=(const process&) = delete;

    pid_t pid() const noexcept { return m_pid; }
    bool running();
    // Sends a signal to a child still running; false when it has already ended.
    bool signal(int _signal);
    // Waits up to `_timeout` for the end; nothing on time-out (the child keeps running).
    std::optional<exit_status> wait(std::chrono::milliseconds _timeout);

private:
    bool reap(bool _block);

    pid_t m_pid = -1;
    std::optional<exit_status> m_status;
};

// A fresh folder under the system's temporary folder, removed with its content at
// destruction.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    const std::string& path() const noexcept { return m_path; }
    // path() + "/" + _name
    std::string file(const std::string& _name) const { return m_path + "/" + _name; }

private:
    std::string m_path;
};

// The whole file; empty when it cannot be read.
std::string read_file(const std::string& _path);
void write_file(const std::string& _path, const std::string& _content);
bool file_exists(const std::string& _path);

// Polls `_condition` every few milliseconds until it holds or `_timeout` passes; returns
// its last result.
bool wait_until(const std::function<bool()>& _condition,
                std::chrono::milliseconds _timeout = std::chrono::seconds(10));

// Path of a built binary (QUORVANE_BINARY_DIR + "/" + _name).
std::string binary(const std::string& _name);

// The service's configuration file, every peer on 127.0.0.1: written to `_dir`/config.json
// (the pid file beside it) after `_change` had its say; returns the file's path.
struct service_peers {
    std::string debug;  // the debug endpoint
    int output = 0, input = 0, platform = 0, redis = 0;
};
std::string write_service_config(const temp_dir& _dir, const service_peers& _peers,
                                 const std::function<void(Json::Value&)>& _change = {});

}  // namespace test
