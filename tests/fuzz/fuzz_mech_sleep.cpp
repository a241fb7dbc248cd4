// Fuzz target: the inproc command frames of the sleep mechanism (announcement 2,
// heartbeat 3, sleep order 7, confirmation 8, stop 1). Each input runs on an empty order
// table and a clock of its own: it is a series of frames (length byte, bytes) whose first
// byte says how many seconds the clock moves on before the rest goes down the
// mechanism's pipe; then, as in the mechanism's loop, the command is taken and one pass
// over the orders runs. Three passes 5 s apart close the input. Sleep orders list the
// anchors of the sample project at the in-process platform stand-in; every sleep command
// is checked at the stand-in gateway, down to its MAC being one of the
// project's devices.
#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include <zmq.hpp>

#include "core/exception.h"
#include "delivery/mechsleep.h"
#include "delivery/sender.h"
#include "support/fuzz_support.h"

namespace {

// The mechanism with the parts its thread would use reachable from the fuzzing thread.
class mech_sleep : public c_mech_sleep {
public:
    using c_mech_sleep::c_mech_sleep;
    using c_mech_sleep::process_sleep_orders;

    // An empty order table, the pipe waiting without a time-out: as after start.
    void clear_orders() {
        m_anchors.clear();
        m_unlisted.clear();
        m_pipe_out->set(zmq::sockopt::rcvtimeo, -1);
    }
};

struct rig {
    std::shared_ptr<zmq::context_t> context = std::make_shared<zmq::context_t>(1);
    fuzz::platform platform{fuzz::platform::sample_project()};
    fuzz::gateway gateway{*context, "inproc://fuzz-gateway"};
    std::shared_ptr<c_sender> sender = std::make_shared<c_sender>(context, "inproc://fuzz-gateway", fuzz::logger());
    std::unique_ptr<mech_sleep> mechanism;
    zmq::socket_t pipe{*context, zmq::socket_type::push};
    timeval now{};

    rig() {
        const auto& store = fuzz::project_store::instance();
        mechanism = std::make_unique<mech_sleep>(context, platform.client(), sender, store.host(), store.port(),
                                                 fuzz::logger());
        mechanism->set_clock([this] { return now; });
        FUZZ_CHECK(mechanism->thread_init(), "the sleep mechanism did not start");
        pipe.set(zmq::sockopt::linger, 0);
        pipe.connect(mechanism->inproc_name());
    }

    // One turn of the mechanism's loop; false when it would end.
    bool turn(const std::string& _command) {
        try {
            (void)pipe.send(zmq::buffer(_command), zmq::send_flags::dontwait);
            if (!mechanism->process_pipe_output_socket())
                return false;
            mechanism->process_sleep_orders();
        } catch (const std::exception&) {
            fuzz::logger().log_exception(VYR_HERE);
        }
        return true;
    }

    // A pass without a command, as after the pipe's receive time-out.
    void pass() {
        try {
            mechanism->process_sleep_orders();
        } catch (const std::exception&) {
            fuzz::logger().log_exception(VYR_HERE);
        }
    }
};

rig& the_rig() {
    // Never destroyed: the process ends with it.
    static auto* instance = new rig();
    return *instance;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    (void)the_rig();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* _data, std::size_t _size) {
    auto& r = the_rig();
    r.mechanism->clear_orders();
    r.now = timeval{1700000000, 250000};
    bool running = true;
    for (const auto& frame : fuzz::frames(_data, _size, 16)) {
        if (frame.empty())
            continue;
        r.now.tv_sec += static_cast<std::uint8_t>(frame[0]);
        if (!r.turn(frame.substr(1))) {
            running = false;
            break;
        }
    }
    for (int i = 0; running && i < 3; ++i) {
        r.now.tv_sec += 5;
        r.pass();
    }
    r.gateway.check(fuzz::project_store::instance().macs());
    return 0;
}
