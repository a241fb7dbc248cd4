#include "support/redis_monitor.h"

#include <sys/time.h>

#include <hiredis/hiredis.h>

#include <stdexcept>

#include "support/redis_server.h"

namespace test {

void redis_monitor::deleter::operator()(redisContext* _context) const noexcept { redisFree(_context); }

redis_monitor::redis_monitor(const redis_server& _server) : m_server(_server) {
    m_context.reset(redisConnectWithTimeout(_server.host().c_str(), _server.port(), timeval{2, 0}));
    if (!m_context || m_context->err)
        throw std::runtime_error("monitor: cannot connect");
    // A bound on every read, so that a lost marker fails the test instead of hanging it.
    redisSetTimeout(m_context.get(), timeval{20, 0});
    auto* reply = static_cast<redisReply*>(redisCommand(m_context.get(), "MONITOR"));
    if (!reply)
        throw std::runtime_error("monitor: no reply to MONITOR");
    freeReplyObject(reply);
}

redis_monitor::~redis_monitor() = default;

std::vector<redis_monitor::command_t> redis_monitor::take() {
    const std::string marker = "monitor-marker-" + std::to_string(++m_marker);
    m_server.command({"ECHO", marker});
    std::vector<command_t> commands;
    for (;;) {
        void* raw = nullptr;
        if (redisGetReply(m_context.get(), &raw) != REDIS_OK || !raw)
            throw std::runtime_error("monitor: connection lost before the marker");
        auto* reply = static_cast<redisReply*>(raw);
        const std::string line(reply->str ? reply->str : "", reply->str ? reply->len : 0);
        freeReplyObject(reply);
        auto command = parse_line(line);
        if (command.size() == 2 && command[0] == "ECHO" && command[1] == marker) {
            // The helper connection selected the database just before the marker.
            if (!commands.empty() && commands.back().size() == 2 && commands.back()[0] == "SELECT")
                commands.pop_back();
            return commands;
        }
        commands.push_back(std::move(command));
    }
}

redis_monitor::command_t redis_monitor::parse_line(const std::string& _line) {
    command_t result;
    auto position = _line.find("] ");
    if (position == std::string::npos)
        return result;
    position += 2;
    while (position < _line.size()) {
        if (_line[position] != '"')
            throw std::runtime_error("monitor: bad line " + _line);
        ++position;
        std::string argument;
        while (position < _line.size() && _line[position] != '"') {
            char c = _line[position++];
            if (c == '\\' && position < _line.size()) {
                const char e = _line[position++];
                switch (e) {
                case 'n': c = '\n'; break;
                case 'r': c = '\r'; break;
                case 't': c = '\t'; break;
                case 'a': c = '\a'; break;
                case 'b': c = '\b'; break;
                case 'x':
                    c = static_cast<char>(std::stoi(_line.substr(position, 2), nullptr, 16));
                    position += 2;
                    break;
                default: c = e; break;
                }
            }
            argument += c;
        }
        ++position;  // closing quote
        if (position < _line.size() && _line[position] == ' ')
            ++position;
        result.push_back(std::move(argument));
    }
    return result;
}

}  // namespace test
