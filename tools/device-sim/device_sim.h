// The device simulator: stands in for the radio gateway's ZeroMQ proxy and the field
// devices (tags and anchors) behind it. It binds a PUB socket (an XPUB, which also sees the
// subscriptions) that the service's receiver subscribes to (the proxy output) and a PULL
// socket that the service's sender pushes "#win" node commands to (the proxy input). Each device of a project folder (the one the
// platform stand-in serves) decodes the commands addressed to it, applies them, and
// answers as a device does: "#param_p" reports of what it now holds, "#hw_report" code 47
// after a sleep command; at start (once the service has subscribed) it announces itself
// ("#notify" NA) and sends a report with a request of every parameter it knows, later
// heartbeats (HB).
//
// One worker thread owns both sockets and every device; start() runs it, stop() ends it.
// The accessors and the injection calls (publish, restart, heartbeat) may be called from
// any thread: they take the simulator's lock and never touch a socket themselves.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>

#include "core/mutex.h"
#include "device_state.h"

namespace zmq {
class context_t;
class socket_t;
}  // namespace zmq

namespace vyr::devsim {

// "N:name[,name...]": the first N tags get these names.
struct parameter_rule {
    std::size_t count = 0;
    std::set<std::string> names;
};
// Parses the text of a rule; throws std::invalid_argument with a readable message.
parameter_rule parse_rule(const std::string& _text);

// "DEVICE:RATE": the device (its MAC in 12 or 16 hexadecimal characters, or its index in
// the simulator's order, from 0) sends RATE reports a second of its emergency-alarm state.
struct stream_rule {
    std::string device;
    double rate = 0;
};
// Parses the text of a stream rule; throws std::invalid_argument with a readable message.
stream_rule parse_stream_rule(const std::string& _text);

struct sim_options {
    std::string project_dir;               // the platform stand-in's project folder
    std::string publish;                   // endpoint of the PUB socket (bound)
    std::string collect;                   // endpoint of the PULL socket (bound)
    std::optional<std::size_t> devices;    // only the first N devices (tags, then anchors)
    std::vector<parameter_rule> ignore;    // tags that refuse these parameters (answer with what they hold)
    std::vector<parameter_rule> unsupported;  // tags that report null for these
    double drop_percent = 0;               // share of received commands dropped
    std::size_t silent = 0;                // the last N devices never answer (they only announce
                                           // themselves, "NA", at start, so the service knows them)
    double heartbeat = 30;                 // seconds between "HB" announcements (0: none)
    double report_rate = 0;                // unsolicited reports per device and second
    std::optional<stream_rule> em_alm_stream;  // one device reporting "em_alm" on its own
    std::string stats_file;                // rewritten once a second when not empty
    std::uint64_t seed = 1;
    // The devices start at the first subscription only: a service that goes away and
    // another that subscribes (a standby taking over) find them running, as real devices
    // behind a proxy are. Otherwise they start again for each new subscriber.
    bool start_once = false;
};

struct sim_stats {
    std::size_t devices = 0;
    std::uint64_t commands = 0;             // "#win" frames received (dropped ones too)
    std::uint64_t payloads = 0;             // parameter payloads in them
    std::uint64_t reports = 0;              // "#param_p" messages sent without a request
    std::uint64_t requests = 0;             // "#param_p" messages with "req_plist"
    std::uint64_t announcements = 0;        // "#notify" NA and HB sent
    std::uint64_t sleep_confirmations = 0;  // "#hw_report" code 47 sent
    double elapsed = 0;                     // seconds since the simulator started

    Json::Value to_json() const;
};

// One command as a device received it.
struct received_command {
    double at = 0;       // seconds since the simulator started
    node_command command;
    bool dropped = false;  // lost on the way (--drop): the device never saw it
};

// A copy of one device as it is at the moment of the call.
struct device_snapshot {
    std::string mac;   // 16-character form
    std::string uid;   // anchor or trackable-object uid of the project
    device_kind kind = device_kind::tag;
    bool silent = false;
    Json::Value values;  // what it holds, in report form
    std::optional<sleep_order> sleep;  // the last sleep command it took
    std::vector<received_command> received;
    std::uint64_t reports = 0;       // "#param_p" messages it sent, start-up request included
    double last_report_at = -1;      // when it sent the last one (-1: never)
    std::uint64_t announcements = 0;

    // The received commands (not dropped) with code `_code` holding a payload of `_type`
    // ("52": screen name, ...; empty: any), only those after `_after` seconds.
    std::size_t count_received(const std::string& _code, const std::string& _type, double _after = -1) const;
};

// A device of a project folder: MAC (normalised), uid and kind, in the order the
// simulator takes them (tags as listed in track_obj.json, then anchors as listed in
// win_anchors.json; entries without a valid MAC and repeated MACs left out).
struct project_device {
    std::string mac;
    std::string uid;
    device_kind kind = device_kind::tag;
};
std::vector<project_device> load_project_devices(const std::string& _project_dir);

class device_sim {
public:
    // Loads the project and binds both sockets; throws std::runtime_error (or the ZeroMQ
    // error) when the folder cannot be read or an endpoint cannot be bound.
    explicit device_sim(sim_options _options);
    ~device_sim();
    device_sim(const device_sim&) = delete;
    device_sim& operator=(const device_sim&) = delete;

    // Runs the worker on a thread of its own / in the calling thread, until stop().
    void start();
    void run();
    // Ends the worker; may be called more than once and from any thread (also a signal
    // thread).
    void stop();

    sim_stats stats() const;
    std::vector<std::string> macs() const;
    // Throws std::out_of_range for a MAC the simulator does not have.
    device_snapshot device(const std::string& _mac) const;
    // Whether the devices have announced themselves (a subscriber came).
    bool announced() const;
    double elapsed() const;

    // Sends a frame as it stands on the proxy output (for messages of the server side,
    // e.g. "#srv_conf ..."), after everything queued before it.
    void publish(const std::string& _frame);
    // The device starts again: "NA", then its report with the start-up request.
    void restart(const std::string& _mac);
    // The device sends a "HB" announcement now.
    void heartbeat(const std::string& _mac);

private:
    struct sim_device;

    void loop();
    void take_subscription(const std::string& _message);
    void start_devices(double _now) VYR_REQUIRES(m_mutex);
    void start_device(sim_device& _device, double _now) VYR_REQUIRES(m_mutex);
    void take_command(const std::string& _frame, double _now);
    void send_announcement(sim_device& _device, const char* _action) VYR_REQUIRES(m_mutex);
    void send_report(sim_device& _device, const Json::Value& _plist, bool _request, double _now) VYR_REQUIRES(m_mutex);
    void run_timers(double _now);
    void flush_injected();
    void write_stats(double _now);
    void send(const std::string& _frame);

    const sim_options m_options;
    const std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
    std::unique_ptr<zmq::context_t> m_context;
    std::unique_ptr<zmq::socket_t> m_publish;  // XPUB: it also sees the subscriptions
    std::unique_ptr<zmq::socket_t> m_collect;  // PULL
    std::thread m_thread;
    std::atomic<bool> m_stopping{false};

    // Worker thread only.
    std::set<std::string> m_subscriptions;
    std::mt19937_64 m_random;
    double m_next_stats = 0;

    // Guarded by m_mutex.
    mutable vyr::libs::core::mutex m_mutex;
    std::vector<std::unique_ptr<sim_device>> m_devices VYR_GUARDED_BY(m_mutex);
    std::map<std::string, sim_device*> m_by_mac VYR_GUARDED_BY(m_mutex);
    std::deque<std::string> m_injected_frames VYR_GUARDED_BY(m_mutex);
    // MAC, "restart" / "heartbeat".
    std::deque<std::pair<std::string, std::string>> m_injected_actions VYR_GUARDED_BY(m_mutex);
    sim_stats m_stats VYR_GUARDED_BY(m_mutex);
    bool m_announced VYR_GUARDED_BY(m_mutex) = false;
};

}  // namespace vyr::devsim
