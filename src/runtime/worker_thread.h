// One worker thread of the service (the receiver, the two mechanisms, the updater): it
// owns the std::thread, the way the thread is stopped, the join, and the catch policy of
// the loop. The owner gives the loop as hooks: `open` runs first on the new thread and
// makes the thread's resources; `pass` is one turn of the loop. The stop hook, given at
// construction, wakes the thread and makes its next pass end it; for a thread waiting
// on an inproc PULL endpoint that is send_stop(), for one waiting on a condition
// variable it sets the flag and notifies.
//
// Catch policy: an `open` that throws or returns false is logged and stops the whole
// service as failed (stop_on_failure(), with the thread's name and the exception's
// text); the thread ends. A pass that throws is logged ("Caught
// exeption" and the exception) and the loop goes on, after the `after_failure` hook when
// there is one. A ZeroMQ ETERM (the context is gone, no command can come any more) and
// an end_of_thread thrown from a pass end the thread.
//
// Heartbeats: every running loop beats once before `open` and after each pass, whatever
// its outcome; stalled() names the loops whose last beat is older than a limit, which the
// watchdog of the service manager is told. So that an idle loop still beats, a pass waits
// for work at most s_idle_wait.
//
// start(), stop() and the destructor belong to the owning thread; guard() is for the
// worker thread. The hooks run on the worker thread, except the stop hook, which runs on
// the owning thread.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>
#include <thread>

#include "core/logger.h"

namespace zmq {
class context_t;
}

namespace vyr {

class worker_thread {
public:
    // Thrown from a pass to end the thread quietly; not a std::exception, so no catch of
    // the owner's work takes it for a failure.
    struct end_of_thread {};

    struct loop {
        std::function<bool()> open;           // false (or an exception): the start failed
        std::function<bool()> pass;           // false ends the thread
        std::function<bool()> after_failure;  // optional; false ends the thread
    };

    enum class outcome { done, failed, ended };

    // The longest wait of a pass for work.
    static constexpr std::chrono::milliseconds s_idle_wait{1000};
    // The names of the running loops whose last beat is older than `_limit`, in the order
    // they started.
    static std::vector<std::string> stalled(std::chrono::steady_clock::duration _limit);
    // The number of loops running now.
    static std::size_t loops_running();

    // `_name` leads the log record of a thread ended by ETERM.
    worker_thread(std::string _name, vyr::libs::core::component_logger& _logger, std::function<void()> _stop);
    // stop().
    ~worker_thread();
    worker_thread(const worker_thread&) = delete;
    worker_thread& operator=(const worker_thread&) = delete;

    // Starts the thread running `_loop`; once per object.
    void start(loop _loop);
    // Runs the stop hook and joins. Returns at once when the thread was never started or
    // is joined already, without running the hook, so every destructor may call it.
    void stop();
    bool running() const noexcept { return m_thread.joinable(); }

    // Runs `_work` under the catch policy: done, failed (logged) or ended (ETERM, logged;
    // or end_of_thread). A pass uses it for a piece of work whose failure must not cut
    // the rest of the pass short.
    outcome guard(const std::function<void()>& _work) const;

    // The stop hook of a thread that polls a PULL socket bound at `_endpoint`: sends the
    // one-byte stop command without lingering. When the socket is not bound (the thread
    // has not bound it yet, or failed to) the frame waits for it and is dropped with the
    // sending socket. A send that would block (EAGAIN) is an outcome, not an error, and
    // so is a terminated context (ETERM), which ends the thread by itself.
    static void send_stop(zmq::context_t& _context, const std::string& _endpoint);

private:
    void run(const loop& _loop) const;

    const std::string m_name;
    vyr::libs::core::component_logger& m_logger;
    const std::function<void()> m_stop;
    std::thread m_thread;
};

}  // namespace vyr
