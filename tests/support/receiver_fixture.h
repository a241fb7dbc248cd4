// Test fixture around a running receiver thread, wired as in the service but with the
// test in the place of the proxy and of both mechanisms: a PUB socket on a loopback port
// publishes the input frames, and PULL sockets bound at "inproc://mech_param_req" and
// "inproc://mech_sleep" collect the commands the handlers send. Each test gets a fresh
// receiver, an emptied service database on a private redis-server (one per test suite) and
// a logger whose records it can read. Owned and used by the test thread only.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <zmq.hpp>

#include "context/context.h"
#include "core/logger.h"
#include "input/receiver.h"
#include "platform/server.h"
#include "support/log_sink.h"
#include "support/redis_server.h"

namespace vyr {
class updater;
}
namespace vyr::vyrserver {
class c_vyrserver;
}

namespace test {

class receiver_fixture : public ::testing::Test {
protected:
    // What the receiver sent to the mechanisms while handling some frames, in order.
    struct commands {
        std::vector<std::string> param_req;  // frames on "inproc://mech_param_req" but the marks
        std::vector<std::string> sleep;      // frames on "inproc://mech_sleep"
        std::vector<std::string> marked;     // the devices the marks named, in order
    };

    static void SetUpTestSuite();
    static void TearDownTestSuite();
    // Empties the database, starts the receiver and waits until its subscription is up.
    void SetUp() override;
    void TearDown() override;

    // Settings of the receiver before it starts.
    virtual void configure(c_receiver&) {}
    // Publishes one frame as the proxy does (topic and body in one frame).
    void publish(const std::string& _frame);
    // Publishes `_frame` and waits until the receiver has handled it: sentinels that reach
    // each mechanism channel follow it; the handlers run in arrival order, so once the
    // sleep sentinel is in every earlier command is (requests may overtake it).
    // Returns the commands the frame caused.
    commands handle(const std::string& _frame);
    // Waits until every frame published so far has been handled; returns their commands.
    commands sync();
    // The messages (without prefix and time) logged since the previous call.
    std::vector<std::string> log_messages();
    // Whether one of the messages logged since the previous call contains `_text`.
    bool logged(const std::string& _text);

    // One command on the service's database through an independent connection.
    static std::string redis(const std::vector<std::string>& _argv) { return s_server->command(_argv); }
    // The test's own project context on the same database, to prepare and read records.
    vyr::context::context& store() { return *m_store; }

    // The MAC field of a command frame (offset 1, up to 17 characters).
    static std::string command_mac(const std::string& _frame);
    // The parameter numbers that follow the 18-byte head of a request command.
    static std::vector<std::uint32_t> requested_numbers(const std::string& _frame);

    inline static std::unique_ptr<test::redis_server> s_server;

    vyr::libs::core::logger m_logger{"rtls-quorvane-test", "receiver"};
    test::log_sink m_sink;
    std::shared_ptr<zmq::context_t> m_zmq_context;
    std::unique_ptr<zmq::socket_t> m_proxy;  // PUB, the proxy's output side
    std::unique_ptr<zmq::socket_t> m_param_req;
    std::unique_ptr<zmq::socket_t> m_sleep;
    std::shared_ptr<vyr::vyrserver::c_vyrserver> m_server;
    // The platform the updater asks. Empty: nobody, and the updater is never started (it
    // records requests only); a test that sets it before SetUp gets a started updater.
    std::string m_platform_address;
    vyr::request_timeouts m_platform_timeouts;  // of the updater's requests
    std::shared_ptr<vyr::updater> m_updater;
    std::unique_ptr<c_receiver> m_receiver;
    std::unique_ptr<vyr::context::context> m_store;

private:
    std::string next_sentinel_mac();
    unsigned m_sentinel = 0;
};

}  // namespace test
