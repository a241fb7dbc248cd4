// Fuzz target: the inproc command frames of the parameter-request mechanism (command 7,
// a device's parameter request, and 8, context updated), handed to
// c_mech_param_req::process_zmq_message as its thread does, on the sample project's
// mirror. The first byte picks the mechanism built with or without
// push_schedule_to_destination; the rest is up to four frames (length byte, bytes). A
// request's MAC field holds what the receiver passes on (a MAC of 16 characters without
// lower-case letters); a request with anything else there is left out. Every node command
// the mechanism sends is checked at the stand-in gateway: it goes to a project device (a
// cycle's push) or to a device that asked (an answer).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include <zmq.hpp>

#include "core/exception.h"
#include "runtime/inproc_commands.h"
#include "delivery/mechparamreq.h"
#include "delivery/sender.h"
#include "support/fuzz_support.h"

namespace {

// One mechanism with its own ZeroMQ context (both bind "inproc://mech_param_req"), sender
// and gateway.
struct rig {
    std::shared_ptr<zmq::context_t> context = std::make_shared<zmq::context_t>(1);
    fuzz::gateway gateway{*context, "inproc://fuzz-gateway"};
    std::shared_ptr<c_sender> sender = std::make_shared<c_sender>(context, "inproc://fuzz-gateway", fuzz::logger());
    std::unique_ptr<c_mech_param_req> mechanism;

    explicit rig(bool _push_schedule_to_destination) {
        const auto& store = fuzz::project_store::instance();
        mechanism = std::make_unique<c_mech_param_req>(context, nullptr, sender, store.host(), store.port(),
                                                       _push_schedule_to_destination, fuzz::logger());
        FUZZ_CHECK(mechanism->thread_init(), "the parameter-request mechanism did not start");
    }
};

rig& rigs(bool _push_schedule_to_destination) {
    // Never destroyed: the process ends with them.
    static auto* without = new rig(false);
    static auto* with = new rig(true);
    return _push_schedule_to_destination ? *with : *without;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    (void)rigs(false);
    (void)rigs(true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* _data, std::size_t _size) {
    if (_size == 0)
        return 0;
    auto& r = rigs((_data[0] & 1) != 0);
    fuzz::project_store::instance().reset();
    auto addressed = fuzz::project_store::instance().macs();
    for (const auto& frame : fuzz::frames(_data + 1, _size - 1, 4)) {
        cmd_param_req_from_node_t request{};
        if (!frame.empty() && static_cast<std::uint8_t>(frame[0]) == vyr::cmd::request &&
            vyr::cmd::read_command(frame.data(), frame.size(), request)) {
            const std::string mac = vyr::cmd::field_text(request.mac);
            if (mac.size() != 16 || std::any_of(mac.begin(), mac.end(), [](char c) { return c >= 'a' && c <= 'z'; }))
                continue;
            addressed.insert(mac);
        }
        try {
            const zmq::message_t message(frame.data(), frame.size());
            r.mechanism->process_zmq_message(message);
        } catch (const std::exception&) {
            // What the mechanism's thread does with a command that throws.
            fuzz::logger().log_exception(VYR_HERE);
        }
    }
    r.gateway.check(addressed);
    return 0;
}
