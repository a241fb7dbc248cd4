// The worker thread over real inproc sockets: the stop hook runs once however often the
// thread is stopped (and never for a thread not started), a failing pass is logged and
// the loop goes on, and a terminated ZeroMQ context ends the thread. The mechanisms'
// stop (no stray command left for the endpoint, failed start) is in delivery's
// mechanism_test.cpp.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <zmq.hpp>

#include "core/logger.h"
#include "runtime/inproc_commands.h"
#include "runtime/pipe.h"
#include "runtime/worker_thread.h"
#include "support/checks.h"
#include "support/log_sink.h"
#include "support/process.h"

namespace {

class worker_thread_test : public ::testing::Test {
protected:
    void SetUp() override { m_sink.connect(m_logger); }
    void TearDown() override {
        m_pull.reset();
        m_context.close();
    }

    // A worker polling a PULL socket bound at `_endpoint` on its own thread: a frame
    // "throw" makes the pass throw, the stop command ends it, any other frame is counted.
    std::unique_ptr<vyr::worker_thread> pipe_worker(const std::string& _endpoint,
                                                    std::function<bool()> _after_failure = nullptr) {
        auto worker = std::make_unique<vyr::worker_thread>("test worker", m_logger, [this, _endpoint] {
            ++m_stops;
            vyr::worker_thread::send_stop(m_context, _endpoint);
        });
        worker->start({[this, _endpoint] {
                           m_pull = std::make_unique<zmq::socket_t>(m_context, zmq::socket_type::pull);
                           m_pull->set(zmq::sockopt::linger, 0);
                           m_pull->bind(_endpoint);
                           return true;
                       },
                       [this] {
                           zmq::message_t frame;
                           (void)m_pull->recv(frame);
                           if (frame.to_string() == "throw")
                               throw std::runtime_error("bad frame");
                           if (frame.size() == 1 && *frame.data<std::uint8_t>() == vyr::cmd::stop)
                               return false;
                           ++m_handled;
                           return true;
                       },
                       std::move(_after_failure)});
        return worker;
    }

    void send(const std::string& _endpoint, const std::string& _frame) {
        zmq::socket_t push(m_context, zmq::socket_type::push);
        push.set(zmq::sockopt::linger, 1000);
        push.connect(_endpoint);
        EXPECT_TRUE(push.send(zmq::buffer(_frame), zmq::send_flags::none));
    }

    zmq::context_t m_context{1};
    vyr::libs::core::logger m_logger{"rtls-quorvane-test", "worker"};
    test::log_sink m_sink;
    // The worker's socket: made on its thread, closed here after the join.
    std::unique_ptr<zmq::socket_t> m_pull;
    std::atomic<int> m_stops{0};
    std::atomic<int> m_handled{0};
};

TEST_F(worker_thread_test, stop_runs_the_hook_once_and_never_before_start) {
    for (const bool started : {true, false}) {
        SCOPED_TRACE(started ? "started" : "never started");
        m_stops = 0;
        {
            vyr::worker_thread idle("idle", m_logger, [this] { ++m_stops; });
            auto worker = started ? pipe_worker("inproc://worker-stop") : nullptr;
            if (worker) {
                send("inproc://worker-stop", "work");
                ASSERT_TRUE(test::wait_until([this] { return m_handled == 1; }));
                worker->stop();
                worker->stop();
            }
            idle.stop();
            idle.stop();
        }  // the destructors stop once more
        EXPECT_EQ(m_stops, started ? 1 : 0);
        m_pull.reset();
    }
}

TEST_F(worker_thread_test, a_failing_pass_is_logged_and_the_loop_goes_on) {
    for (const bool with_hook : {false, true}) {
        SCOPED_TRACE(with_hook ? "with after_failure" : "without after_failure");
        const std::string endpoint = with_hook ? "inproc://worker-fail-hook" : "inproc://worker-fail";
        m_handled = 0, m_stops = 0;
        std::atomic<int> failures{0};
        auto worker = pipe_worker(endpoint, with_hook ? std::function<bool()>([&] { return ++failures > 0; })
                                                      : std::function<bool()>());
        for (const char* frame : {"throw", "work", "throw", "work"})
            send(endpoint, frame);
        ASSERT_TRUE(test::wait_until([this] { return m_handled == 2; }));
        EXPECT_EQ(failures, with_hook ? 2 : 0);
        const auto frames = m_sink.frames_until_marker(m_logger);
        EXPECT_TRUE(test::contains(frames, "Caught exeption") && test::contains(frames, "bad frame"));
        worker.reset();
        EXPECT_EQ(m_stops, 1);
        m_pull.reset();
    }
}

// The watchdog's view: a loop is named stalled while its pass does not return (here it
// waits for a frame), no longer once it passes again, and leaves the board at its end.
TEST_F(worker_thread_test, a_loop_whose_pass_does_not_return_is_stalled_until_it_passes_again) {
    using namespace std::chrono_literals;
    using vyr::worker_thread;
    auto worker = pipe_worker("inproc://worker-beat");
    ASSERT_TRUE(test::wait_until([] { return worker_thread::stalled(50ms) == std::vector<std::string>{"test worker"}; }));
    EXPECT_EQ(worker_thread::loops_running(), 1u);
    EXPECT_TRUE(worker_thread::stalled(1h).empty());
    EXPECT_TRUE(test::wait_until([&] {
        send("inproc://worker-beat", "work");
        return worker_thread::stalled(1s).empty();
    }));
    worker->stop();
    EXPECT_EQ(worker_thread::loops_running(), 0u);
    m_pull.reset();
}

TEST_F(worker_thread_test, a_terminated_context_ends_the_thread_and_stop_still_returns) {
    auto worker = pipe_worker("inproc://worker-term");
    send("inproc://worker-term", "work");
    ASSERT_TRUE(test::wait_until([this] { return m_handled == 1; }));
    m_context.shutdown();
    bool ended = false;
    for (int i = 0; i < 50 && !ended; ++i)
        ended = m_sink.next_frame().find("test worker: ZeroMQ context terminated, thread ends") != std::string::npos;
    EXPECT_TRUE(ended);
    worker->stop();  // the hook meets the terminated context: nothing to send
    EXPECT_EQ(m_stops, 1);
    m_pull.reset();
}

// The receiver sent to a full pipe with don't-wait and lost the command unseen: a drop
// is now counted and warned about.
TEST_F(worker_thread_test, a_full_pipe_drop_is_counted_and_warned) {
    zmq::socket_t push(m_context, zmq::socket_type::push);
    push.set(zmq::sockopt::linger, 0);
    vyr::pipe::set_high_water_mark(push);
    push.connect("inproc://pipe-full");  // nobody binds it: the sending side fills up
    const auto before = vyr::pipe::dropped();
    int queued = 0;
    while (queued <= 2 * vyr::pipe::s_high_water_mark && vyr::pipe::send(push, "x", 1, m_logger))
        ++queued;
    EXPECT_GE(queued, vyr::pipe::s_high_water_mark);
    EXPECT_EQ(vyr::pipe::dropped(), before + 1);
    bool warned = false;
    for (int i = 0; i < 50 && !warned; ++i)
        warned = m_sink.next_frame().find("inproc pipe is full: command dropped") != std::string::npos;
    EXPECT_TRUE(warned);
}

}  // namespace
