#include "support/redis_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <hiredis/hiredis.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

#include "redis/database.h"
#include "support/process.h"

namespace test {

int free_port() {
    // Below the kernel's range for the local ports of outgoing connections (32768 up by
    // default): a port taken from that range can be given to a client socket of a test
    // running beside, between the look here and the bind of the process that gets it.
    // Here only a listener that drew the same number can take it.
    constexpr int first = 10000, count = 22000;
    static std::mutex s_mutex;
    static std::mt19937 s_random(std::random_device{}() ^ static_cast<unsigned>(::getpid()));
    static std::set<int> s_given;
    std::lock_guard<std::mutex> lock(s_mutex);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const int port = first + static_cast<int>(s_random() % count);
        if (s_given.count(port) != 0)
            continue;
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            throw std::runtime_error("socket() failed");
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (bound) {
            s_given.insert(port);
            return port;
        }
    }
    throw std::runtime_error("no free loopback port found");
}

namespace {

struct context_deleter {
    void operator()(redisContext* c) const { redisFree(c); }
};
struct reply_deleter {
    void operator()(redisReply* r) const { freeReplyObject(r); }
};
using context_ptr = std::unique_ptr<redisContext, context_deleter>;
using reply_ptr = std::unique_ptr<redisReply, reply_deleter>;

context_ptr connect(const std::string& _host, int _port) {
    timeval timeout{1, 0};
    context_ptr context(redisConnectWithTimeout(_host.c_str(), _port, timeout));
    if (!context || context->err)
        return nullptr;
    return context;
}

std::string reply_text(const redisReply* _reply) {
    switch (_reply->type) {
    case REDIS_REPLY_STRING:
    case REDIS_REPLY_STATUS:
    case REDIS_REPLY_ERROR:
        return std::string(_reply->str, _reply->len);
    case REDIS_REPLY_INTEGER:
        return std::to_string(_reply->integer);
    case REDIS_REPLY_NIL:
        return "(nil)";
    case REDIS_REPLY_ARRAY: {
        std::string out;
        for (size_t i = 0; i < _reply->elements; ++i) {
            if (i)
                out += "\n";
            out += reply_text(_reply->element[i]);
        }
        return out;
    }
    default:
        return "";
    }
}

}  // namespace

redis_server::redis_server(std::vector<std::string> _extra_config, std::string _config_text)
    : m_extra_config(std::move(_extra_config)), m_config_text(std::move(_config_text)) {
    char pattern[] = "/tmp/quorvane-redis-XXXXXX";
    if (!::mkdtemp(pattern))
        throw std::runtime_error("mkdtemp failed");
    m_dir = pattern;
    m_port = free_port();
    if (!m_config_text.empty())
        test::write_file(m_dir + "/redis.conf", m_config_text);
    start();
}

redis_server::~redis_server() {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
}

void redis_server::start() {
    if (m_pid > 0)
        return;
    // Built before the fork: the child only execs.
    std::vector<std::string> args = {"redis-server"};
    if (!m_config_text.empty())
        args.push_back(m_dir + "/redis.conf");
    args.insert(args.end(), {"--port", std::to_string(m_port), "--bind", "127.0.0.1", "--dir", m_dir, "--save", "",
                             "--appendonly", "no", "--daemonize", "no", "--logfile", m_dir + "/redis.log"});
    args.insert(args.end(), m_extra_config.begin(), m_extra_config.end());
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        // A test process that dies (a failed assertion in a fixture, a crash, a fuzzer's
        // exit) takes its server with it instead of leaving an orphan behind.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
        ::execvp("redis-server", argv.data());
        ::_exit(127);
    }
    m_pid = pid;
    wait_ready();
}

void redis_server::stop(int _signal) {
    if (m_pid <= 0)
        return;
    ::kill(m_pid, _signal);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
}

void redis_server::restart() {
    stop();
    start();
}

void redis_server::restart_keeping_data() {
    try {
        command({"SHUTDOWN", "SAVE"});
    } catch (const std::runtime_error&) {
        // No reply: the server is gone.
    }
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
    start();
    std::filesystem::remove(m_dir + "/dump.rdb");
}

void redis_server::wait_ready() const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (auto context = connect(m_host, m_port)) {
            reply_ptr reply(static_cast<redisReply*>(redisCommand(context.get(), "PING")));
            if (reply && reply->type == REDIS_REPLY_STATUS)
                return;
        }
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid)
            throw std::runtime_error("redis-server exited at start (is it installed?)");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw std::runtime_error("redis-server did not answer within 20 s");
}

std::string redis_server::command(const std::vector<std::string>& _argv) const {
    auto context = connect(m_host, m_port);
    if (!context)
        throw std::runtime_error("cannot connect to the test redis-server");
    reply_ptr select(static_cast<redisReply*>(redisCommand(context.get(), "SELECT %u", vyr::redis::service_database)));
    std::vector<const char*> argv;
    std::vector<size_t> lengths;
    for (const auto& a : _argv) {
        argv.push_back(a.data());
        lengths.push_back(a.size());
    }
    reply_ptr reply(static_cast<redisReply*>(
        redisCommandArgv(context.get(), static_cast<int>(argv.size()), argv.data(), lengths.data())));
    if (!reply)
        throw std::runtime_error("no reply from the test redis-server");
    return reply_text(reply.get());
}

void redis_server::flush() const { command({"FLUSHDB"}); }

}  // namespace test
