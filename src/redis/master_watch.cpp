#include "redis/master_watch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <hiredis/hiredis.h>

#include "core/source_location.h"

namespace vyr::redis {

namespace {

using namespace std::chrono_literals;

// Short, so that a stop is never kept waiting long by a connect.
constexpr timeval s_connect_timeout{0, 500000};
// For writes only (reads wait in poll, watching the stop as well).
constexpr timeval s_write_timeout{1, 0};
// A subscription silent this long is asked for a PING; silent as long again, it is dead.
constexpr auto s_quiet = 5s;
constexpr const char* s_channel = "+switch-master";

struct context_deleter {
    void operator()(redisContext* _context) const noexcept { redisFree(_context); }
};
struct reply_deleter {
    void operator()(redisReply* _reply) const noexcept { freeReplyObject(_reply); }
};
using reply_ptr = std::unique_ptr<redisReply, reply_deleter>;

std::string text_of(const redisReply& _reply) { return std::string(_reply.str ? _reply.str : "", _reply.len); }

bool is_text(const redisReply& _reply, std::string_view _text) {
    return (_reply.type == REDIS_REPLY_STRING || _reply.type == REDIS_REPLY_STATUS) && text_of(_reply) == _text;
}

// A subscriber's connection: its writes block (a second at most), its reads wait in
// poll() beside the stop.
class link {
public:
    enum class outcome { reply, stopped, timed_out, dropped };

    link(redisContext& _context, int _stop_fd) : m_context(_context), m_stop_fd(_stop_fd) {}

    bool send(const std::vector<std::string>& _argv) {
        std::vector<const char*> argv;
        std::vector<size_t> lengths;
        for (const auto& argument : _argv) {
            argv.push_back(argument.data());
            lengths.push_back(argument.size());
        }
        if (redisAppendCommandArgv(&m_context, static_cast<int>(argv.size()), argv.data(), lengths.data()) != REDIS_OK)
            return false;
        int done = 0;
        while (!done)
            if (redisBufferWrite(&m_context, &done) != REDIS_OK)
                return false;
        return true;
    }

    // The next reply, waiting at most `_time` for it.
    outcome next(reply_ptr& _reply, std::chrono::milliseconds _time) {
        for (;;) {
            void* raw = nullptr;
            if (redisGetReplyFromReader(&m_context, &raw) != REDIS_OK)
                return outcome::dropped;
            if (raw) {
                _reply.reset(static_cast<redisReply*>(raw));
                return outcome::reply;
            }
            pollfd watched[2] = {{m_context.fd, POLLIN, 0}, {m_stop_fd, POLLIN, 0}};
            const int ready = ::poll(watched, 2, static_cast<int>(_time.count()));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready < 0)
                return outcome::dropped;
            if (watched[1].revents)
                return outcome::stopped;
            if (ready == 0)
                return outcome::timed_out;
            if (redisBufferRead(&m_context) != REDIS_OK)
                return outcome::dropped;
        }
    }

    std::string error() const { return m_context.err ? m_context.errstr : "connection closed"; }

private:
    redisContext& m_context;
    const int m_stop_fd;
};

}  // namespace

master_watch::master_watch(vyr::libs::core::component_logger& _logger, std::chrono::milliseconds _pause)
    : m_logger(_logger), m_pause(_pause) {
    auto settings = current_sentinel_settings();
    if (settings.sentinels.empty())
        return;
    m_stop_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_stop_fd < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
    m_thread = std::thread([this, settings = std::move(settings)]() mutable { run(std::move(settings)); });
}

master_watch::~master_watch() {
    if (m_thread.joinable()) {
        // The counter stays above zero: every later poll sees the stop too.
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(m_stop_fd, &one, sizeof one);
        m_thread.join();
    }
    if (m_stop_fd >= 0)
        ::close(m_stop_fd);
}

bool master_watch::stopped_within(std::chrono::milliseconds _time) const {
    pollfd stop{m_stop_fd, POLLIN, 0};
    int ready = 0;
    while ((ready = ::poll(&stop, 1, static_cast<int>(_time.count()))) < 0 && errno == EINTR) {
    }
    return ready != 0;
}

void master_watch::run(sentinel_settings _settings) {
    for (std::size_t next = 0;; next = (next + 1) % _settings.sentinels.size()) {
        try {
            follow(_settings.sentinels[next], _settings);
        } catch (const std::exception&) {
            m_logger.log_exception(VYR_HERE);
        }
        if (stopped_within(m_pause))
            return;
    }
}

void master_watch::follow(const address& _sentinel, const sentinel_settings& _settings) {
    const auto failed = [&](const std::string& _why) {
        m_logger.debug("Redis master watch: sentinel %1%: %2%").location(VYR_HERE) % _sentinel.text() % _why;
    };
    std::unique_ptr<redisContext, context_deleter> context(
        redisConnectWithTimeout(_sentinel.host.c_str(), _sentinel.port, s_connect_timeout));
    if (!context || context->err)
        return failed(context ? context->errstr : "can't allocate redis context");
    if (redisSetTimeout(context.get(), s_write_timeout) != REDIS_OK)
        return failed(context->errstr);
    link sentinel(*context, m_stop_fd);
    // The master's address and the subscription in one go: the sentinel runs them
    // together, so that no switch falls between its answer and the subscription.
    std::vector<std::vector<std::string>> commands;
    if (!_settings.password.empty())
        commands.push_back({"AUTH", _settings.password});
    commands.push_back({"SENTINEL", "get-master-addr-by-name", _settings.master_name});
    commands.push_back({"SUBSCRIBE", s_channel});
    for (const auto& command : commands)
        if (!sentinel.send(command))
            return failed(sentinel.error());
    for (const auto& command : commands) {
        reply_ptr reply;
        const auto outcome = sentinel.next(reply, s_quiet);
        if (outcome == link::outcome::stopped)
            return;
        if (outcome != link::outcome::reply)
            return failed(outcome == link::outcome::timed_out ? "no answer" : sentinel.error());
        if (reply->type == REDIS_REPLY_ERROR)
            return failed(command.front() + ": " + text_of(*reply));  // never the password
        if (command.front() != "SENTINEL" || reply->type != REDIS_REPLY_ARRAY || reply->elements != 2)
            continue;
        // A switch made while nobody listened.
        const auto master = parse_address(text_of(*reply->element[0]) + ":" + text_of(*reply->element[1]));
        if (master && note_master(*master))
            m_logger.info("Redis master switched to %1% (sentinel %2%)").location(VYR_HERE) % master->text() %
                _sentinel.text();
    }
    m_logger.info("Following the switches of Redis master %1% on sentinel %2%").location(VYR_HERE) %
        _settings.master_name % _sentinel.text();
    bool pinged = false;
    for (;;) {
        reply_ptr reply;
        const auto outcome = sentinel.next(reply, s_quiet);
        if (outcome == link::outcome::stopped)
            return;
        if (outcome == link::outcome::dropped || (outcome == link::outcome::timed_out && pinged)) {
            m_logger.warning("Redis master watch: sentinel %1% lost (%2%); trying the next one")
                    .location(VYR_HERE) %
                _sentinel.text() % (outcome == link::outcome::dropped ? sentinel.error() : "no answer to PING");
            return;
        }
        if (outcome == link::outcome::timed_out) {
            if (!sentinel.send({"PING"}))
                return failed(sentinel.error());
            pinged = true;
            continue;
        }
        pinged = false;
        // ["message", "+switch-master", "<name> <old-ip> <old-port> <new-ip> <new-port>"]
        if (reply->type != REDIS_REPLY_ARRAY || reply->elements != 3 || !is_text(*reply->element[0], "message") ||
            !is_text(*reply->element[1], s_channel) || reply->element[2]->type != REDIS_REPLY_STRING)
            continue;
        if (const auto master = note_switch(text_of(*reply->element[2])))
            m_logger.info("Redis master switched to %1% (sentinel %2%)").location(VYR_HERE) % master->text() %
                _sentinel.text();
    }
}

}  // namespace vyr::redis
