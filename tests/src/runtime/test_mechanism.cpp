// Worker base: stopping a mechanism that never ran or whose start failed must return,
// and a running one must end on the stop command, over real inproc sockets.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <cstdlib>
#include <future>

#include <zmq.hpp>

#include "core/logger.h"
#include "globals.h"
#include "mechparamreq.h"
#include "mechsleep.h"
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

TEST(Mechanism, DestroyingOneNeverStartedReturns) {
    auto context = std::make_shared<zmq::context_t>(1);
    EXPECT_TRUE(finishes([&] {
        c_mech_sleep sleep(context, nullptr, nullptr, "127.0.0.1", 1, test_logger());
        c_mech_param_req param_req(context, nullptr, nullptr, "127.0.0.1", 1, false, test_logger());
    }));
    context->close();
}

TEST(Mechanism, FailedInitRequestsStopAndDestroyReturns) {
    // Nothing listens on this port: thread_init fails, the thread asks for a stop of the
    // whole service and ends. The stop flag is process-wide and never reset, so this runs
    // in a child process: exit 0 means the stop was requested and the destructor returned.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const int closed_port = test::free_port();
    EXPECT_EXIT(
        {
            auto context = std::make_shared<zmq::context_t>(1);
            bool stopped = false;
            const bool returned = finishes([&] {
                c_mech_sleep sleep(context, nullptr, nullptr, "127.0.0.1", closed_port, test_logger());
                sleep.start();
                stopped = waiting_to_stop(10);
            });
            context->close();
            std::_Exit(returned && stopped ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(Mechanism, RunningMechanismsEndOnTheStopCommand) {
    test::redis_server redis;
    auto context = std::make_shared<zmq::context_t>(1);
    EXPECT_TRUE(finishes([&] {
        c_mech_param_req param_req(context, nullptr, nullptr, redis.host(), redis.port(), false, test_logger());
        c_mech_sleep sleep(context, nullptr, nullptr, redis.host(), redis.port(), test_logger());
        param_req.start();
        sleep.start();
        // A context-updated command on the pipe is handled without ending the thread.
        zmq::socket_t push(*context, zmq::socket_type::push);
        push.set(zmq::sockopt::linger, 0);
        push.connect("inproc://mech_param_req");
        const std::uint8_t updated = 8;
        EXPECT_TRUE(push.send(zmq::const_buffer(&updated, 1), zmq::send_flags::none));
    }));
    EXPECT_FALSE(stop_requested());
    context->close();
}

}  // namespace
