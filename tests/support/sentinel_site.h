// Redis as two site servers run it: a master, a replica of it and sentinels watching the
// master under the name "quorvane" (quorum 2, or 1 with a single sentinel), each a private
// redis-server on a free loopback port. A sentinel takes the master for down after 1 s
// without an answer and a failover for failed after 3 s. Owned by the test that made it;
// not thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "redis/sentinel.h"
#include "support/redis_server.h"

namespace test {

class sentinel_site {
public:
    // Waits until the replica is in step with the master and every sentinel knows it.
    explicit sentinel_site(int _sentinels);
    ~sentinel_site();
    sentinel_site(const sentinel_site&) = delete;
    sentinel_site& operator=(const sentinel_site&) = delete;

    redis_server& master() { return *m_master; }
    redis_server& replica() { return *m_replica; }
    redis_server& sentinel(std::size_t _index) { return *m_sentinels.at(_index); }
    // The settings a service of this site is given.
    vyr::redis::sentinel_settings settings() const;
    // Whether the sentinels, enough of them for a failover, see each other and the master.
    bool quorum() const;
    // Waits up to `_bound` until the replica holds every write the master took so far.
    bool replicated(std::chrono::milliseconds _bound) const;

private:
    std::unique_ptr<redis_server> m_master;
    std::unique_ptr<redis_server> m_replica;
    std::vector<std::unique_ptr<redis_server>> m_sentinels;
};

}  // namespace test
