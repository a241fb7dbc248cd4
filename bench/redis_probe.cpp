#include "redis_probe.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "context/win.h"
#include "redis/database.h"

namespace bench {

command_counts difference(const command_counts& _before, const command_counts& _after) {
    command_counts result;
    for (const auto& [name, calls] : _after) {
        if (name == "info")
            continue;
        const auto before = _before.find(name);
        const std::uint64_t earlier = before == _before.end() ? 0 : before->second;
        if (calls > earlier)
            result[name] = calls - earlier;
    }
    return result;
}

std::uint64_t total(const command_counts& _counts) {
    std::uint64_t sum = 0;
    for (const auto& [name, calls] : _counts)
        if (name != "info")
            sum += calls;
    return sum;
}

std::string describe(const command_counts& _counts, double _per) {
    std::vector<std::pair<std::uint64_t, std::string>> sorted;
    for (const auto& [name, calls] : _counts)
        sorted.emplace_back(calls, name);
    std::sort(sorted.rbegin(), sorted.rend());
    std::string text;
    for (const auto& [calls, name] : sorted) {
        char value[32];
        std::snprintf(value, sizeof value, "%.2f", static_cast<double>(calls) / _per);
        text += (text.empty() ? "" : ", ") + name + " " + value;
    }
    return text;
}

void accumulate(command_counts& _sum, const command_counts& _more) {
    for (const auto& [name, calls] : _more)
        _sum[name] += calls;
}

redis_probe::redis_probe(const std::string& _host, int _port) {
    const timeval timeout{5, 0};
    m_context.reset(redisConnectWithTimeout(_host.c_str(), _port, timeout));
    if (!m_context || m_context->err)
        throw std::runtime_error("cannot connect to redis at " + _host + ":" + std::to_string(_port));
    run({"SELECT", std::to_string(vyr::redis::service_database)});
}

redis_probe::reply_ptr redis_probe::run(const std::vector<std::string>& _argv) {
    append(_argv);
    void* raw = nullptr;
    if (redisGetReply(m_context.get(), &raw) != REDIS_OK || !raw)
        throw std::runtime_error("redis: no reply to " + _argv.front());
    reply_ptr reply(static_cast<redisReply*>(raw));
    if (reply->type == REDIS_REPLY_ERROR)
        throw std::runtime_error("redis: " + _argv.front() + ": " + std::string(reply->str, reply->len));
    return reply;
}

void redis_probe::append(const std::vector<std::string>& _argv) {
    std::vector<const char*> argv;
    std::vector<std::size_t> lengths;
    for (const auto& a : _argv) {
        argv.push_back(a.data());
        lengths.push_back(a.size());
    }
    if (redisAppendCommandArgv(m_context.get(), static_cast<int>(argv.size()), argv.data(), lengths.data()) !=
        REDIS_OK)
        throw std::runtime_error("redis: cannot queue " + _argv.front());
}

void redis_probe::read_replies(std::size_t _count) {
    for (std::size_t i = 0; i < _count; ++i) {
        void* raw = nullptr;
        if (redisGetReply(m_context.get(), &raw) != REDIS_OK || !raw)
            throw std::runtime_error("redis: pipelined reply missing");
        freeReplyObject(raw);
    }
}

command_counts redis_probe::commands() {
    const auto reply = run({"INFO", "commandstats"});
    command_counts counts;
    std::istringstream lines(std::string(reply->str, reply->len));
    std::string line;
    // cmdstat_hget:calls=12,usec=34,usec_per_call=2.83,rejected_calls=0,failed_calls=0
    const std::string prefix = "cmdstat_";
    while (std::getline(lines, line)) {
        if (line.compare(0, prefix.size(), prefix) != 0)
            continue;
        const auto colon = line.find(':');
        const auto calls = line.find("calls=", colon);
        if (colon == std::string::npos || calls == std::string::npos)
            continue;
        counts[line.substr(prefix.size(), colon - prefix.size())] = std::stoull(line.substr(calls + 6));
    }
    return counts;
}

void redis_probe::get_sync() { run({"GET", "bench:floor"}); }

void redis_probe::get_pipelined(int _count) {
    for (int i = 0; i < _count; ++i)
        append({"GET", "bench:floor"});
    read_replies(static_cast<std::size_t>(_count));
}

std::string redis_probe::get(const std::string& _key) {
    const auto reply = run({"GET", _key});
    if (reply->type != REDIS_REPLY_STRING)
        return "";
    return std::string(reply->str, reply->len);
}

std::string redis_probe::hget(const std::string& _key, const std::string& _field) {
    const auto reply = run({"HGET", _key, _field});
    if (reply->type != REDIS_REPLY_STRING)
        return "";
    return std::string(reply->str, reply->len);
}

void redis_probe::del(const std::string& _key) { run({"DEL", _key}); }

void redis_probe::reset_pacing(const std::vector<std::string>& _macs) {
    using vyr::context::win;
    std::size_t queued = 0;
    for (const auto& mac : _macs) {
        const auto key = win::keys::data(mac);
        append({"HSET", key, std::string(win::s_sending_counter_sec), "0", std::string(win::s_sending_counter_usec),
                "0"});
        append({"HDEL", key, std::string(win::s_sending_counter)});
        queued += 2;
        if (queued >= 2000) {
            read_replies(queued);
            queued = 0;
        }
    }
    read_replies(queued);
}

}  // namespace bench
