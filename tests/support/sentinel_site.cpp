#include "support/sentinel_site.h"

#include <stdexcept>

#include "support/process.h"

namespace test {

sentinel_site::sentinel_site(int _sentinels) {
    m_master = std::make_unique<redis_server>();
    m_replica = std::make_unique<redis_server>(
        std::vector<std::string>{"--replicaof", m_master->host(), std::to_string(m_master->port())});
    const std::string needed = _sentinels > 1 ? "2" : "1";
    const std::string config = "sentinel monitor quorvane " + m_master->host() + " " +
                               std::to_string(m_master->port()) + " " + needed +
                               "\nsentinel down-after-milliseconds quorvane 1000"
                               "\nsentinel failover-timeout quorvane 3000\n";
    for (int i = 0; i < _sentinels; ++i)
        m_sentinels.push_back(std::make_unique<redis_server>(std::vector<std::string>{"--sentinel"}, config));
    if (!replicated(std::chrono::seconds(20)))
        throw std::runtime_error("the replica did not get in step with the master");
    if (_sentinels > 1 && !wait_until([&] { return quorum(); }, std::chrono::seconds(20)))
        throw std::runtime_error("the sentinels did not find each other");
}

sentinel_site::~sentinel_site() {
    // The sentinels first: none fails over while the servers stop.
    m_sentinels.clear();
    m_replica.reset();
    m_master.reset();
}

vyr::redis::sentinel_settings sentinel_site::settings() const {
    vyr::redis::sentinel_settings settings;
    for (const auto& sentinel : m_sentinels)
        settings.sentinels.push_back({sentinel->host(), sentinel->port()});
    settings.master_name = "quorvane";
    return settings;
}

bool sentinel_site::quorum() const {
    for (const auto& sentinel : m_sentinels)
        if (sentinel->command({"SENTINEL", "CKQUORUM", "quorvane"}).rfind("OK", 0) != 0 ||
            sentinel->command({"SENTINEL", "REPLICAS", "quorvane"}).empty())
            return false;
    return true;
}

bool sentinel_site::replicated(std::chrono::milliseconds _bound) const {
    // WAIT answers how many replicas acknowledged every write so far.
    return wait_until(
        [&] {
            try {
                return m_master->command({"WAIT", "1", "200"}) == "1";
            } catch (const std::runtime_error&) {
                return false;
            }
        },
        _bound);
}

}  // namespace test
