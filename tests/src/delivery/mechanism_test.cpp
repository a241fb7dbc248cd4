// Mechanism base: a second thread_stop() sends nothing. A worker that cannot start is
// pinned end to end by the service's process tests. How a worker thread stops
// is pinned by the runtime's worker_thread tests.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>

#include <zmq.hpp>

#include "common/globals.h"
#include "core/logger.h"
#include "delivery/mechsleep.h"
#include "runtime/inproc_commands.h"
#include "support/process.h"
#include "support/redis_server.h"

namespace {

// Runs `_work` on another thread and tells whether it finished within 10 s: a stop that
// hangs is the fault these tests guard against.
bool finishes(std::function<void()> _work) {
    auto done = std::async(std::launch::async, std::move(_work));
    return done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
}

vyr::libs::core::logger& test_logger() {
    static vyr::libs::core::logger logger("rtls-quorvane-test", "mechanism");
    return logger;
}

// A mechanism derived once more. Its destructor stops the thread, as c_mechanism asks of
// every derived destructor, and then the base's destructor calls thread_stop() again.
class sleep_subclass : public c_mech_sleep {
public:
    using c_mech_sleep::c_mech_sleep;
    ~sleep_subclass() override { thread_stop(); }
};

// Whether a socket bound at `_endpoint` once it is free again receives anything within
// half a second.
bool endpoint_receives_a_frame(zmq::context_t& _context, const std::string& _endpoint) {
    zmq::socket_t next(_context, zmq::socket_type::pull);
    next.set(zmq::sockopt::linger, 0);
    // The endpoint is free again once the context has reaped the closed pipe.
    const bool bound = test::wait_until([&] {
        try {
            next.bind(_endpoint);
            return true;
        } catch (const zmq::error_t&) {
            return false;
        }
    });
    EXPECT_TRUE(bound) << _endpoint << " stayed bound";
    zmq::pollitem_t item{next.handle(), 0, ZMQ_POLLIN, 0};
    return bound && zmq::poll(&item, 1, std::chrono::milliseconds(500)) > 0;
}

// Regression: thread_stop() called a second time (the base destructor's, after the
// derived one's) sent another stop command to the pipe the first call had closed. The
// blocking send could wait for ever, or the frame stayed queued for the endpoint and
// stopped the next socket bound there.
TEST(Mechanism, ThreadStopCalledTwiceSendsNothingTheSecondTime) {
    test::redis_server redis;
    for (const bool started : {true, false}) {
        SCOPED_TRACE(started ? "running thread" : "driven from the caller's thread");
        auto context = std::make_shared<zmq::context_t>(1);
        bool stray = true;
        EXPECT_TRUE(finishes([&] {
            {
                sleep_subclass mechanism(context, nullptr, nullptr, redis.host(), redis.port(), test_logger());
                if (started)
                    mechanism.start();
                else
                    ASSERT_TRUE(mechanism.thread_init());
            }
            stray = endpoint_receives_a_frame(*context, "inproc://mech_sleep");
        }));
        EXPECT_FALSE(stray) << "a stop command was left for the endpoint";
        context->close();
    }
    EXPECT_FALSE(stop_requested());
}

}  // namespace
