// A raw hiredis connection the benchmarks use beside the service's own client: it
// measures the floor (one synchronous round trip, one pipelined command), counts the
// commands the server has run (INFO commandstats) and resets the pacing of every WIN
// in one pipelined batch. One probe belongs to the thread that made it.
#pragma once

#include <hiredis/hiredis.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace bench {

// Calls per command name, as INFO commandstats reports them.
using command_counts = std::map<std::string, std::uint64_t>;

// `_after` - `_before`, per command; INFO itself is left out.
command_counts difference(const command_counts& _before, const command_counts& _after);
std::uint64_t total(const command_counts& _counts);
// "hget 31.2, exists 4.00, ...": each count divided by `_per`, largest first.
std::string describe(const command_counts& _counts, double _per);
// Adds `_more` into `_sum`.
void accumulate(command_counts& _sum, const command_counts& _more);

class redis_probe {
public:
    // Connects and selects the service's database; throws std::runtime_error on failure.
    redis_probe(const std::string& _host, int _port);

    // Calls per command name since the server started (INFO excluded).
    command_counts commands();
    std::uint64_t command_total() { return total(commands()); }

    // One GET, waiting for its reply: the cost of one synchronous round trip.
    void get_sync();
    // `_count` GETs written at once, then all replies read.
    void get_pipelined(int _count);

    // The value of a string key; empty when missing.
    std::string get(const std::string& _key);
    void del(const std::string& _key);
    // The value of a hash field; empty when missing.
    std::string hget(const std::string& _key, const std::string& _field);

    // Every listed WIN may be pushed again: sending time 0:0, no sending counter. One
    // pipelined batch, so it costs the benchmark next to nothing.
    void reset_pacing(const std::vector<std::string>& _macs);

private:
    struct reply_deleter {
        void operator()(redisReply* _reply) const { freeReplyObject(_reply); }
    };
    using reply_ptr = std::unique_ptr<redisReply, reply_deleter>;
    struct context_deleter {
        void operator()(redisContext* _context) const { redisFree(_context); }
    };

    reply_ptr run(const std::vector<std::string>& _argv);
    void append(const std::vector<std::string>& _argv);
    void read_replies(std::size_t _count);

    std::unique_ptr<redisContext, context_deleter> m_context;
};

}  // namespace bench
