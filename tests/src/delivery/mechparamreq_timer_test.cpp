// The mechanism's timer when a pass outlasts it: the expiries that fell due meanwhile
// give one cycle, and the others are counted as skipped on the metrics endpoint.
#include <chrono>
#include <thread>

#include "mechparamreq_fixture.h"
#include "support/checks.h"

namespace delivery_test {
namespace {

double skipped_cycles() { return test::shown_metric("rtls_quorvane_cycles_skipped_total"); }

// Driven by hand on a 100-ms timer: the thread is held between two passes for two and a
// half periods, as a long cycle holds it.
TEST_F(mech_param_req_test, TimerExpiriesMissedByALongPassCountAsSkippedCycles) {
    m_mechanism.reset();
    // Its own ZeroMQ context: the pipe of the mechanism just stopped may not be unbound yet.
    c_mech_param_req mechanism(std::make_shared<zmq::context_t>(1), nullptr, m_sender, s_redis->host(),
                               s_redis->port(), false, test_logger());
    constexpr std::chrono::milliseconds s_period{100};
    mechanism.set_period(s_period);
    ASSERT_TRUE(mechanism.thread_init());
    const auto started = std::chrono::steady_clock::now();
    const double before = skipped_cycles();
    std::this_thread::sleep_for(s_period * 5 / 2);
    ASSERT_TRUE(mechanism.thread_pass());
    const double periods = std::chrono::duration<double>(std::chrono::steady_clock::now() - started) / s_period;
    // Two expiries or more came, one of them gives the cycle; none is counted twice.
    EXPECT_GE(skipped_cycles() - before, 1);
    EXPECT_LE(skipped_cycles() - before, periods - 1);
}

}  // namespace
}  // namespace delivery_test
