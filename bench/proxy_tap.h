// The gateway's ZeroMQ proxy as the end-to-end benchmark places it between the device
// simulator and the service: frames of the simulator's PUB go on to the service's
// subscription (and the subscriptions back), "#win" commands of the service go on to the
// simulator's PULL. Beside forwarding, it sends probe requests straight into the
// service's subscription and times them to their "#win" 000F answer, and it counts the
// frames it forwards, and it can watch the pushes of one parameter value: which devices
// got a "#win" frame carrying it, and when. One thread of its own owns every socket;
// probe(), inject(), watch() and the counters may be called from one other thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>
#include <deque>

#include <zmq.hpp>

#include "core/mutex.h"

namespace bench {

struct tap_endpoints {
    std::string service_output;  // bound here; the service's receiver connects
    std::string service_input;   // bound here; the service's sender connects
    std::string sim_publish;     // the simulator's PUB (bound there), connected here
    std::string sim_collect;     // the simulator's PULL (bound there), connected here
};

class proxy_tap {
public:
    // Binds and connects every socket and starts the forwarding thread.
    explicit proxy_tap(const tap_endpoints& _endpoints);
    ~proxy_tap();
    proxy_tap(const proxy_tap&) = delete;
    proxy_tap& operator=(const proxy_tap&) = delete;

    // Sends `_frame` (a request of the device `_mac`) to the service and waits for the
    // next 000F answer to that MAC: seconds from the send to its arrival; nothing when no
    // answer came within `_timeout`.
    std::optional<double> probe(const std::string& _mac, const std::string& _frame,
                                std::chrono::milliseconds _timeout);

    // Sends `_frame` to the service at once, ahead of frames the simulator sends later.
    void inject(const std::string& _frame);

    // Open-loop probing: sends `_frame` (a request of `_mac`) without waiting; the next
    // 000F answer to that MAC is timed from `_scheduled`, the moment the request was due
    // (so a stall of the service delays every request scheduled during it).
    void send_scheduled(const std::string& _mac, const std::string& _frame,
                        std::chrono::steady_clock::time_point _scheduled);
    struct open_loop_answers {
        std::vector<double> latencies;  // seconds, of the answered requests
        std::size_t unanswered = 0;     // still waiting for their answer
    };
    // What the scheduled requests got so far; forgets them all.
    open_loop_answers take_open_loop();
    std::size_t open_loop_pending();

    // From now on, notes every device that receives a "#win" frame with a payload of the
    // parameter `_name` (its catalogue name, e.g. "scr_name") whose value, as the device
    // decodes it, is one of the texts `_values`: the first such frame per device counts.
    // Forgets what an earlier watch noted.
    void watch(const std::string& _name, std::set<std::string> _values);
    // MAC -> arrival of its first watched frame, of the current watch.
    std::unordered_map<std::string, std::chrono::steady_clock::time_point> watched();
    std::size_t watched_count();

    // "#param_p" frames forwarded from the simulator, "#win" frames from the service.
    std::uint64_t reports_forwarded() const noexcept { return m_reports.load(); }
    std::uint64_t commands_forwarded() const noexcept { return m_commands.load(); }
    // Every frame in either direction.
    std::uint64_t frames_forwarded() const noexcept { return m_frames.load(); }

private:
    void run();
    void take_command(const zmq::message_t& _frame);
    void take_watched(const zmq::message_t& _frame, std::chrono::steady_clock::time_point _now);

    zmq::context_t m_context{1};
    std::unique_ptr<zmq::socket_t> m_output;  // XPUB towards the service
    std::unique_ptr<zmq::socket_t> m_input;   // PULL from the service
    std::unique_ptr<zmq::socket_t> m_sim_publish;  // XSUB from the simulator
    std::unique_ptr<zmq::socket_t> m_sim_collect;  // PUSH to the simulator
    std::unique_ptr<zmq::socket_t> m_control;      // PAIR: probe frames from probe()
    std::unique_ptr<zmq::socket_t> m_control_peer;  // PAIR end of the calling thread
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<std::uint64_t> m_reports{0};
    std::atomic<std::uint64_t> m_commands{0};
    std::atomic<std::uint64_t> m_frames{0};

    // Guarded by m_mutex: the probe in flight.
    vyr::libs::core::mutex m_mutex;
    vyr::libs::core::condition_variable m_answered;
    std::string m_probe_mac VYR_GUARDED_BY(m_mutex);
    std::chrono::steady_clock::time_point m_probe_sent VYR_GUARDED_BY(m_mutex);
    std::optional<double> m_probe_latency VYR_GUARDED_BY(m_mutex);
    // MAC -> the due moments of its scheduled requests still unanswered, oldest first.
    std::unordered_map<std::string, std::deque<std::chrono::steady_clock::time_point>> m_scheduled
        VYR_GUARDED_BY(m_mutex);
    std::vector<double> m_open_latencies VYR_GUARDED_BY(m_mutex);
    // The watch: parameter name, values, and what it noted.
    std::string m_watch_name VYR_GUARDED_BY(m_mutex);
    std::set<std::string> m_watch_values VYR_GUARDED_BY(m_mutex);
    std::unordered_map<std::string, std::chrono::steady_clock::time_point> m_watched VYR_GUARDED_BY(m_mutex);
};

}  // namespace bench
