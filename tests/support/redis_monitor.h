// Watches the commands a private test redis-server receives (MONITOR on a connection of
// its own), so that tests can check which commands an operation sent and with which
// arguments. Owned and used by one test; not thread-safe.
#pragma once

#include <memory>
#include <string>
#include <vector>

struct redisContext;

namespace test {

class redis_server;

class redis_monitor {
public:
    using command_t = std::vector<std::string>;

    // Starts watching; commands sent after the constructor returns are seen.
    explicit redis_monitor(const redis_server& _server);
    ~redis_monitor();
    redis_monitor(const redis_monitor&) = delete;
    redis_monitor& operator=(const redis_monitor&) = delete;

    // Every command (arguments unescaped) the server received since the previous call
    // (or since the start), in order, leaving out the monitor's own marker and the
    // SELECT of the helper connection that sends it.
    std::vector<command_t> take();

    // Decodes one MONITOR line: `<time> [<db> <client>] "ARG" "ARG" ...`.
    static command_t parse_line(const std::string& _line);

private:
    struct deleter {
        void operator()(redisContext* _context) const noexcept;
    };
    const redis_server& m_server;
    std::unique_ptr<redisContext, deleter> m_context;
    unsigned m_marker = 0;
};

}  // namespace test
