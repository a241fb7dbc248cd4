// A private redis-server for one test process: started on a free loopback port in a
// temporary folder, without persistence, and stopped (folder removed) on destruction.
// Tests use database 11 of it. Not thread-safe; owned by the test that made it. The
// fixture's own connections (command, flush, the readiness check of start) use the
// default user without a password. Given a configuration text, it is written into the
// folder and named first on the command line (a sentinel needs a file it may rewrite).
#pragma once

#include <signal.h>  // the signal numbers that stop takes
#include <sys/types.h>

#include <string>
#include <vector>

namespace test {

class redis_server {
public:
    // `_extra_config`: more configuration directives, as redis-server's command line
    // takes them ({"--user", "name", "on", ">password", "~*", "+@all"}).
    explicit redis_server(std::vector<std::string> _extra_config = {}, std::string _config_text = {});
    ~redis_server();
    redis_server(const redis_server&) = delete;
    redis_server& operator=(const redis_server&) = delete;

    int port() const noexcept { return m_port; }
    const std::string& host() const noexcept { return m_host; }

    // Stops the server (SIGTERM, waits for the process) and starts it again on the
    // same port, empty.
    void restart();
    // The same, keeping the data: saved as the server stops, loaded as it starts (the
    // file is then removed, so that the next start is empty again).
    void restart_keeping_data();
    // `_signal` to the server (SIGKILL: it dies without a word), then waits for it.
    void stop(int _signal = SIGTERM);
    void start();
    bool running() const noexcept { return m_pid > 0; }
    pid_t pid() const noexcept { return m_pid; }

    // Runs one command through redis-cli-free hiredis on the service's database and returns the
    // reply as text (integers in decimal, nil as "(nil)", arrays joined by "\n").
    std::string command(const std::vector<std::string>& _argv) const;
    // FLUSHDB on the service's database.
    void flush() const;

private:
    void wait_ready() const;

    std::string m_host = "127.0.0.1";
    int m_port = 0;
    std::string m_dir;
    std::vector<std::string> m_extra_config;
    std::string m_config_text;
    pid_t m_pid = -1;
};

// A loopback TCP port that was free a moment ago.
int free_port();

}  // namespace test
