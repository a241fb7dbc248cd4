#include "redis/sentinel.h"

#include <sys/time.h>

#include <atomic>
#include <charconv>
#include <memory>
#include <utility>

#include <hiredis/hiredis.h>

#include "common/metrics.h"
#include "core/mutex.h"

namespace vyr::redis {

namespace {

vyr::libs::core::mutex s_settings_mutex;
sentinel_settings s_settings VYR_GUARDED_BY(s_settings_mutex);
std::optional<address> s_announced VYR_GUARDED_BY(s_settings_mutex);
// Moved after s_announced changed, under the mutex: a connection that read it before
// reading s_announced goes to that master or a newer one.
std::atomic<std::uint64_t> s_generation{0};

struct context_deleter {
    void operator()(redisContext* _context) const noexcept { redisFree(_context); }
};
struct reply_deleter {
    void operator()(redisReply* _reply) const noexcept { freeReplyObject(_reply); }
};
using reply_ptr = std::unique_ptr<redisReply, reply_deleter>;

constexpr timeval s_timeout{1, 0};

reply_ptr ask(redisContext* _context, const std::vector<std::string>& _argv) {
    std::vector<const char*> argv;
    std::vector<size_t> lengths;
    for (const auto& argument : _argv) {
        argv.push_back(argument.data());
        lengths.push_back(argument.size());
    }
    return reply_ptr(static_cast<redisReply*>(
        redisCommandArgv(_context, static_cast<int>(argv.size()), argv.data(), lengths.data())));
}

std::string text_of(const redisReply& _reply) { return std::string(_reply.str ? _reply.str : "", _reply.len); }

}  // namespace

std::optional<address> parse_address(std::string_view _text) {
    const auto colon = _text.rfind(':');
    if (colon == std::string_view::npos || colon == 0)
        return std::nullopt;
    const auto digits = _text.substr(colon + 1);
    int port = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || port < 1 || port > 65535)
        return std::nullopt;
    return address{std::string(_text.substr(0, colon)), port};
}

void set_sentinel_settings(sentinel_settings _settings) {
    vyr::libs::core::mutex_lock lock(s_settings_mutex);
    s_settings = std::move(_settings);
    s_announced.reset();
}

sentinel_settings current_sentinel_settings() {
    vyr::libs::core::mutex_lock lock(s_settings_mutex);
    return s_settings;
}

bool under_sentinel() {
    vyr::libs::core::mutex_lock lock(s_settings_mutex);
    return !s_settings.sentinels.empty();
}

std::uint64_t master_generation() noexcept { return s_generation.load(std::memory_order_acquire); }

std::optional<address> announced_master() {
    vyr::libs::core::mutex_lock lock(s_settings_mutex);
    return s_announced;
}

std::optional<address> note_switch(std::string_view _message) {
    std::vector<std::string_view> words;
    while (!_message.empty()) {
        const auto blank = _message.find(' ');
        words.push_back(_message.substr(0, blank));
        _message.remove_prefix(blank == std::string_view::npos ? _message.size() : blank + 1);
    }
    if (words.size() != 5 || !parse_address(std::string(words[1]) + ":" + std::string(words[2])))
        return std::nullopt;
    const auto master = parse_address(std::string(words[3]) + ":" + std::string(words[4]));
    if (!master)
        return std::nullopt;
    vyr::libs::core::mutex_lock lock(s_settings_mutex);
    if (words[0] != s_settings.master_name || s_announced == master)
        return std::nullopt;
    s_announced = master;
    s_generation.fetch_add(1, std::memory_order_acq_rel);
    metrics::add(metrics::counter::redis_master_switches);
    return master;
}

std::optional<address> note_master(const address& _master) {
    vyr::libs::core::mutex_lock lock(s_settings_mutex);
    const bool switched = s_announced && !(*s_announced == _master);
    s_announced = _master;
    if (!switched)
        return std::nullopt;
    s_generation.fetch_add(1, std::memory_order_acq_rel);
    metrics::add(metrics::counter::redis_master_switches);
    return _master;
}

std::optional<address> ask_sentinel(const address& _sentinel, const sentinel_settings& _settings,
                                    std::string& _reasons) {
    const auto skip = [&](const std::string& _why) -> std::optional<address> {
        _reasons += (_reasons.empty() ? "sentinel " : "; sentinel ") + _sentinel.text() + ": " + _why;
        return std::nullopt;
    };
    std::unique_ptr<redisContext, context_deleter> context(
        redisConnectWithTimeout(_sentinel.host.c_str(), _sentinel.port, s_timeout));
    if (!context)
        return skip("can't allocate redis context");
    if (context->err)
        return skip(context->errstr);
    if (redisSetTimeout(context.get(), s_timeout) != REDIS_OK)
        return skip(context->errstr);
    if (!_settings.password.empty()) {
        const auto login = ask(context.get(), {"AUTH", _settings.password});
        if (!login)
            return skip(context->errstr);
        if (login->type == REDIS_REPLY_ERROR)
            return skip(text_of(*login));  // the server's words, never the password
    }
    const auto answer = ask(context.get(), {"SENTINEL", "get-master-addr-by-name", _settings.master_name});
    if (!answer)
        return skip(context->errstr);
    if (answer->type == REDIS_REPLY_ERROR)
        return skip(text_of(*answer));
    if (answer->type != REDIS_REPLY_ARRAY || answer->elements != 2 || answer->element[0]->type != REDIS_REPLY_STRING ||
        answer->element[1]->type != REDIS_REPLY_STRING)
        return skip("knows no master " + _settings.master_name);
    auto master = parse_address(text_of(*answer->element[0]) + ":" + text_of(*answer->element[1]));
    if (!master)
        return skip("names no address for " + _settings.master_name);
    return master;
}

}  // namespace vyr::redis
