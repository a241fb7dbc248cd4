// The application object: serves the metrics when configured, waits until Redis answers,
// and keeps this instance's lease (app/lease_keeper.h). While another instance holds the
// lease it stands by; for each lease term it holds it builds the workers in a fixed order,
// starts the four worker threads and, when the term ends, stops them in a fixed order and
// stands by again. It tells the service manager how it stands, parks the main thread until
// a stop is requested, and on destruction stops the workers, releases the lease (so that
// a standby takes over at once) and ends the shared ZeroMQ context last, logging how long
// the stop took from its request ("workers stopped in N ms"). Used by the main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <zmq.hpp>

#include "app/config.h"
#include "app/service_manager.h"
#include "core/logger.h"

class c_receiver;
class c_sender;
class c_mech_sleep;
class c_mech_param_req;
namespace prometheus {
class Exposer;
}
namespace vyr {
class updater;
class lease_keeper;
}
namespace vyr::vyrserver {
class c_vyrserver;
}

class c_quorvane {
public:
    // Blocks until Redis answers or a stop is requested (then the last connection error
    // is rethrown). Throws when the metrics cannot be served at system.metrics_address.
    c_quorvane(const vyr::config& _config, vyr::libs::core::component_logger& _logger);
    virtual ~c_quorvane();
    c_quorvane(const c_quorvane&) = delete;
    c_quorvane& operator=(const c_quorvane&) = delete;

    // Stands by and runs the workers for each lease term it takes; returns once a stop is
    // requested.
    void run();

    // Tries a Redis connection and a PING every 5 s until both succeed (a Redis still
    // loading its dataset answers PING with an error); interrupted by a stop.
    void wait_for_redis(const std::string& _address, int _port) const;

private:
    // Builds the workers for lease term `_fencing` and starts them.
    void start_term(std::int64_t _fencing);
    // Stops and drops the workers of the term (none: nothing to do).
    void end_term();
    // Stands by until a term begins; false once a stop is requested.
    bool stand_by();

    const vyr::config m_config;
    vyr::service_manager m_service_manager;
    std::unique_ptr<prometheus::Exposer> m_exposer;
    std::shared_ptr<zmq::context_t> m_zmq_context;
    std::unique_ptr<c_receiver> m_receiver;
    std::shared_ptr<c_sender> m_sender;
    std::shared_ptr<vyr::updater> m_updater;
    std::shared_ptr<vyr::vyrserver::c_vyrserver> m_server;
    std::unique_ptr<c_mech_sleep> m_mech_sleep;
    std::unique_ptr<c_mech_param_req> m_mech_param_req;
    std::unique_ptr<vyr::lease_keeper> m_lease_keeper;
    vyr::libs::core::component_logger& m_logger;
    // When run() saw the stop request; unset until then.
    std::optional<std::chrono::steady_clock::time_point> m_stop_began;
};
