#include "app/quorvane.h"

#include <prometheus/exposer.h>
#include <prometheus/registry.h>

#include "common/metrics.h"
#include "core/exception.h"

#include "common/globals.h"
#include "app/lease_keeper.h"
#include "delivery/mechparamreq.h"
#include "delivery/mechsleep.h"
#include "delivery/sender.h"
#include "input/receiver.h"
#include "platform/updater.h"
#include "platform/vyrserver.h"
#include "redis/connection.h"
#include "redis/database.h"
#include "runtime/mailboxes.h"

c_quorvane::c_quorvane(const vyr::config& _config, vyr::libs::core::component_logger& _logger)
    : m_config(_config),
      m_service_manager(_logger),
      m_zmq_context(std::make_shared<zmq::context_t>(1)),
      m_logger(_logger) {
    if (!_config.system.metrics_address.empty()) {
        try {
            m_exposer = std::make_unique<prometheus::Exposer>(_config.system.metrics_address);
        } catch (const std::exception& e) {
            VYR_THROW("cannot serve the metrics at " + _config.system.metrics_address + ": " + e.what());
        }
        m_exposer->RegisterCollectable(vyr::metrics::registry());
        m_logger.info("metrics at http://%1%/metrics") % _config.system.metrics_address;
    }
    m_service_manager.status("waiting for Redis");
    m_server = std::make_shared<vyr::vyrserver::c_vyrserver>(
        module_name, _config.server.protocol, _config.server.address, _config.server.login, _config.server.password,
        _config.server.port, m_logger, _config.server.ca_file);
    wait_for_redis(_config.redis.address, _config.redis.port);
    m_lease_keeper = std::make_unique<vyr::lease_keeper>(_config.redis.address, _config.redis.port,
                                                          _config.system.instance_name,
                                                          std::chrono::seconds(_config.system.lease_seconds), m_logger);
}

void c_quorvane::start_term(std::int64_t _fencing) {
    const auto& config = m_config;
    const std::string input_endpoint = "tcp://" + config.proxy.address + ":" + std::to_string(config.proxy.input_port);
    m_sender = std::make_shared<c_sender>(m_zmq_context, input_endpoint, m_logger);
    m_updater = std::make_shared<vyr::updater>(m_server, config.redis.address, config.redis.port, m_logger);
    m_updater->lease_term(_fencing, config.system.instance_name, m_lease_keeper->own_holder());
    // A refresh that changed the mirror asks the parameter-request mechanism for a cycle at
    // once, as a notification does (the alarms read again, for their pass alone); the
    // command goes out from the updater's thread.
    m_updater->on_mirror_changed([zmq_context = m_zmq_context](bool _alarms) {
        if (_alarms)
            vyr::mail::mech_param_req::send_once(*zmq_context, vyr::mail::alarms_refreshed{});
        else
            vyr::mail::mech_param_req::send_once(*zmq_context, vyr::mail::context_updated{});
    });
    m_mech_sleep = std::make_unique<c_mech_sleep>(m_zmq_context, m_server, m_sender, config.redis.address,
                                                  config.redis.port, m_logger);
    m_mech_param_req = std::make_unique<c_mech_param_req>(m_zmq_context, m_server, m_sender, config.redis.address,
                                                          config.redis.port,
                                                          config.system.push_schedule_to_destination, m_logger);
    m_mech_param_req->set_full_sweep(std::chrono::seconds(config.system.full_sweep_seconds));
    const std::string output_endpoint =
        "tcp://" + config.proxy.address + ":" + std::to_string(config.proxy.output_port);
    m_receiver = std::make_unique<c_receiver>(m_zmq_context, output_endpoint, m_updater, config.redis.address,
                                              config.redis.port, m_logger);
    m_receiver->set_win_expiry(std::chrono::hours(config.system.win_expiry_hours));
    // Delivery pushes a device again only once the receiver has recorded what may be its
    // answer to the last push.
    auto progress = std::make_shared<vyr::receiver_progress>();
    m_receiver->report_progress_to(progress);
    m_mech_param_req->set_receiver_progress(progress);
    // What a device says before the updater has emptied the mirror waits in the receiver's
    // socket: written at once, it would be wiped.
    m_receiver->hold_frames_until([updater = m_updater] { return updater->mirror_emptied(); });

    // The updater first: it marks the mirror incomplete before delivery can read what a
    // previous run left, and the receiver holds the frames until its thread emptied it.
    m_updater->start();
    m_mech_sleep->start();
    m_mech_param_req->start();
    m_receiver->start();
}

void c_quorvane::end_term() {
    m_receiver.reset();
    m_mech_sleep.reset();
    m_mech_param_req.reset();
    m_updater.reset();
    m_sender.reset();
}

c_quorvane::~c_quorvane() {
    // Timed from the stop request on: a service manager kills a service whose workers do
    // not end within its stop time-out, and the log shows how close a stop came to that.
    const auto stop_began = m_stop_began.value_or(std::chrono::steady_clock::now());
    end_term();
    // The workers wrote their last: a standby may take over now.
    m_lease_keeper.reset();
    m_server.reset();
    // Every socket on the context is closed by now, so termination does not wait.
    m_zmq_context.reset();
    m_logger.info("workers stopped in %1% ms") %
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - stop_began).count();
}

void c_quorvane::wait_for_redis(const std::string& _address, int _port) const {
    for (;;) {
        try {
            vyr::redis::connection probe(_address, _port, vyr::redis::service_database);
            // A Redis that is still loading its dataset accepts the connection and the
            // SELECT but answers other commands with a LOADING error (so would the
            // updater's FLUSHDB): an error reply to PING is waited out like a refused
            // connection.
            probe.command("PING");
            return;
        } catch (const std::exception&) {
            m_logger.log_exception(VYR_HERE);
            if (waiting_to_stop(5))
                throw;
        }
    }
}

bool c_quorvane::stand_by() {
    std::string shown = "?";
    for (;;) {
        if (stop_requested())
            return false;
        const std::string holder = m_lease_keeper->holder();
        if (holder != shown) {
            m_service_manager.standby(holder);
            if (!holder.empty())
                m_logger.info("standing by: the lease is held by %1%") % holder;
            shown = holder;
        }
        if (const auto fencing = m_lease_keeper->wait_until_held(std::chrono::seconds(1))) {
            m_logger.info("active in lease term %1%: starting the workers") % *fencing;
            start_term(*fencing);
            m_service_manager.active(*fencing);
            vyr::metrics::set_role(true, *fencing);
            return true;
        }
    }
}

void c_quorvane::run() {
    // Ready at once, active or not: a standby is a service that runs as it should.
    m_service_manager.ready();
    m_lease_keeper->start();
    while (stand_by()) {
        if (!m_lease_keeper->wait_until_lost())
            break;
        // Nothing of this term may write or send any more (the guard saw to that); its
        // workers go before another term can begin.
        m_logger.warning("lease term lost: stopping the workers");
        end_term();
        vyr::metrics::set_role(false, 0);
    }
    m_stop_began = std::chrono::steady_clock::now();
    m_logger.info("stop requested: stopping the workers");
    m_service_manager.stopping();
}
