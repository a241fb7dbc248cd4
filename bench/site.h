// One benchmark site: a private redis-server, the platform stand-in serving a project of
// a given number of devices (made by quorvane-make-project), and the MAC addresses of
// its devices. Also the in-process delivery harness: the service's parameter-request
// mechanism, driven by the benchmark thread instead of its own, with its sender
// connected to a counting gateway. Everything here is used by the benchmark's main
// thread; the harness's drain thread only counts frames.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>

#include "core/logger.h"
#include "support/platform_server.h"
#include "support/redis_server.h"

class c_sender;
class c_mech_param_req;
namespace vyr::context {
class context;
}

namespace bench {

// How a site of `devices` is made up: one anchor per twenty devices (at least 12).
struct site_shape {
    int devices = 0;
    int anchors = 0;
    int tags = 0;
};
site_shape shape_of(int _devices);

class site {
public:
    // Starts redis and the platform stand-in and writes the project with `_generator`
    // (the path of quorvane-make-project). Throws std::runtime_error on any failure.
    site(int _devices, const std::string& _generator);
    ~site();
    site(const site&) = delete;
    site& operator=(const site&) = delete;

    const site_shape& shape() const noexcept { return m_shape; }
    test::redis_server& redis() noexcept { return *m_redis; }
    const test::redis_server& redis() const noexcept { return *m_redis; }
    test::platform_server& platform() noexcept { return *m_platform; }
    const std::string& project_dir() const noexcept { return m_project_dir; }
    // Normalised MACs of the project's devices: tags, then anchors.
    const std::vector<std::string>& tag_macs() const noexcept { return m_tag_macs; }
    const std::vector<std::string>& anchor_macs() const noexcept { return m_anchor_macs; }
    std::vector<std::string> all_macs() const;

private:
    site_shape m_shape;
    std::unique_ptr<test::redis_server> m_redis;
    std::unique_ptr<test::platform_server> m_platform;
    std::string m_project_dir;
    std::vector<std::string> m_tag_macs;
    std::vector<std::string> m_anchor_macs;
};

// The parameter-request mechanism of the service, initialised on the calling thread
// (its Redis context, its pipe and timer) but never started: the caller runs its
// processing cycle directly. Its frames go to a PULL socket whose thread counts them.
class delivery_harness {
public:
    delivery_harness(site& _site, vyr::libs::core::component_logger& _logger);
    ~delivery_harness();
    delivery_harness(const delivery_harness&) = delete;
    delivery_harness& operator=(const delivery_harness&) = delete;

    c_mech_param_req& mechanism() noexcept { return *m_mechanism; }
    // One processing cycle: changed alarms, lsb, deliver_parameters, alarm resends
    // (nothing while the mirror is incomplete).
    void cycle();
    // Frames received so far, once the count has stopped moving for a moment.
    std::uint64_t settled_frames();

private:
    void drain(const std::string& _endpoint);

    std::shared_ptr<zmq::context_t> m_zmq;
    std::shared_ptr<c_sender> m_sender;
    std::unique_ptr<c_mech_param_req> m_mechanism;
    std::atomic<bool> m_stop{false};
    std::atomic<std::uint64_t> m_frames{0};
    std::thread m_drain;
};

// Fills the WIN record of every device so that a processing cycle finds nothing to
// send: every value the mechanism would push is recorded as reported. Uses the
// service's own record classes and its judge for the must values. Both set-ups write
// over four connections of their own from as many threads, and return when all are done.
void make_in_step(vyr::context::context& _store, const site& _site, vyr::libs::core::component_logger& _logger);
// Every device known, nothing reported: each one differs in every parameter.
void make_all_differ(vyr::context::context& _store, const site& _site);

}  // namespace bench
