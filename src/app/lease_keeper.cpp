#include "app/lease_keeper.h"

#include <unistd.h>

#include "common/globals.h"
#include "common/lease_guard.h"
#include "common/metrics.h"
#include "redis/connection.h"
#include "redis/database.h"
#include "redis/lease.h"

namespace vyr {

namespace {

constexpr std::chrono::seconds s_period{1};
// How often the waiting calls look at the stop request.
constexpr std::chrono::milliseconds s_poll{100};

// The instance name of a holder's text "<name>/<pid>".
std::string name_of(const std::string& _holder) { return _holder.substr(0, _holder.rfind('/')); }

}  // namespace

lease_keeper::lease_keeper(std::string _redis_address, int _redis_port, std::string _instance_name,
                           std::chrono::milliseconds _length, libs::core::component_logger& _logger)
    : m_redis_address(std::move(_redis_address)),
      m_redis_port(_redis_port),
      m_holder(_instance_name + "/" + std::to_string(::getpid())),
      m_length(_length),
      m_logger(_logger) {}

lease_keeper::~lease_keeper() { release(); }

void lease_keeper::start() {
    lease_guard::use(m_length);
    m_thread = std::thread([this] { run(); });
}

void lease_keeper::run() {
    lease_guard::exempt_this_thread();
    std::unique_ptr<redis::connection> redis;
    for (;;) {
        const auto next = std::chrono::steady_clock::now() + s_period;
        try {
            if (!redis)
                redis = std::make_unique<redis::connection>(m_redis_address, m_redis_port, redis::service_database);
            beat(*redis);
            m_failure_logged = false;
        } catch (const std::exception& e) {
            if (!m_failure_logged)
                m_logger.warning("the lease cannot be kept: %1%") % e.what();
            m_failure_logged = true;
            redis.reset();
        }
        libs::core::mutex_lock lock(m_mutex);
        if (m_fencing != 0 && !lease_guard::valid()) {
            m_logger.error("lease term %1% ran out without a renewal: standing by") % m_fencing;
            m_fencing = 0;
            m_changed.notify_all();
        }
        while (!m_stopped && std::chrono::steady_clock::now() < next)
            m_changed.wait_until(m_mutex, next);
        if (m_stopped)
            return;
    }
}

void lease_keeper::beat(redis::connection& _redis) {
    const auto sent = lease_guard::clock::now();
    if (const std::int64_t fencing = held(); fencing != 0) {
        if (redis::lease::renew(_redis, m_holder, m_length, fencing)) {
            lease_guard::renewed(sent);
            return;
        }
        lease_guard::lost();
        libs::core::mutex_lock lock(m_mutex);
        m_logger.error("lease term %1% lost: another instance holds the lease") % m_fencing;
        m_fencing = 0;
        m_changed.notify_all();
        return;
    }
    const auto taken = redis::lease::take(_redis, m_holder, m_length);
    if (taken)
        lease_guard::renewed(sent);
    const auto now = taken ? std::optional<std::string>(m_holder) : redis::lease::read(_redis).holder;
    libs::core::mutex_lock lock(m_mutex);
    m_seen_holder = now ? name_of(*now) : std::string();
    if (taken) {
        m_fencing = *taken;
        m_logger.info("lease taken as %1%: lease term %2%") % m_holder % m_fencing;
    }
    m_changed.notify_all();
}

std::int64_t lease_keeper::held() {
    libs::core::mutex_lock lock(m_mutex);
    return m_fencing;
}

std::optional<std::int64_t> lease_keeper::wait_until_held(std::chrono::milliseconds _at_most) {
    const auto until = std::chrono::steady_clock::now() + _at_most;
    libs::core::mutex_lock lock(m_mutex);
    while (m_fencing == 0) {
        if (stop_requested() || m_stopped || std::chrono::steady_clock::now() >= until)
            return std::nullopt;
        m_changed.wait_until(m_mutex, std::chrono::steady_clock::now() + s_poll);
    }
    return m_fencing;
}

bool lease_keeper::wait_until_lost() {
    libs::core::mutex_lock lock(m_mutex);
    while (m_fencing != 0 && lease_guard::valid()) {
        if (stop_requested() || m_stopped)
            return false;
        m_changed.wait_until(m_mutex, std::chrono::steady_clock::now() + s_poll);
    }
    return true;
}

std::string lease_keeper::holder() {
    libs::core::mutex_lock lock(m_mutex);
    return m_seen_holder;
}

void lease_keeper::release() {
    std::int64_t fencing = 0;
    {
        libs::core::mutex_lock lock(m_mutex);
        m_stopped = true;
        fencing = m_fencing;
        m_fencing = 0;
        m_changed.notify_all();
    }
    if (m_thread.joinable())
        m_thread.join();
    lease_guard::lost();
    if (fencing == 0)
        return;
    try {
        redis::connection redis(m_redis_address, m_redis_port, redis::service_database);
        lease_guard::exempt_this_thread();
        if (redis::lease::release(redis, m_holder))
            m_logger.info("lease term %1% released") % fencing;
    } catch (const std::exception& e) {
        m_logger.warning("the lease could not be released (it runs out by itself): %1%") % e.what();
    }
}

}  // namespace vyr
