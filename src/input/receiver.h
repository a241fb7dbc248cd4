// The receiver owns the one thread that takes every message coming into the service from
// the gateway's ZeroMQ proxy: server change notifications, parameter reports, hardware
// reports, alarms and server configuration requests. It cuts the topic off each frame
// and runs the topic's handler on its own thread, with its own Redis connection; work for
// the mechanisms goes out as messages to their mailboxes (runtime/mailboxes.h). Frames are
// taken off the proxy as fast as they come into a backlog the thread works through in
// batches; a parameter request goes to its mechanism as soon as its frame is read, ahead
// of the writes queued before it, and every device whose WIN record the thread wrote is
// named to that mechanism once the write is committed. What
// notifications and alarm messages change in the project mirror is written by the
// updater's writes (platform/updater_writes.h), as events, on this thread's connection. All sockets and the Redis
// context belong to the receiver thread; the destructor touches them only after the join.
#pragma once

#include <sys/time.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include <json/json.h>
#include <zmq.hpp>

#include "core/logger.h"
#include "context/context.h"
#include "context/win.h"
#include "input/frame_queue.h"
#include "parameters/parameters.h"
#include "platform/mirror_events.h"
#include "platform/updater_writes.h"
#include "redis/connection.h"
#include "runtime/mailboxes.h"
#include "runtime/receiver_progress.h"
#include "runtime/worker_thread.h"

namespace vyr::judge {
struct description;
}

namespace vyr {
class updater;
}

extern const std::string notify_tag;     // "#notify"
extern const std::string hw_report_tag;  // "#hw_report"
extern const std::string srv_conf_tag;   // "#srv_conf"
extern const std::string param_p_tag;    // "#param_p"
extern const std::string alarm_tag;      // "#alarm"

class c_receiver {
public:
    // Stores its arguments; creates no socket and no connection.
    c_receiver(std::shared_ptr<zmq::context_t> _zmq_context, const std::string& _addr,
               std::shared_ptr<vyr::updater> _updater, const std::string& _redis_address, int _redis_port,
               vyr::libs::core::component_logger& _logger);
    // Sends the stop command and joins the thread.
    virtual ~c_receiver();
    c_receiver(const c_receiver&) = delete;
    c_receiver& operator=(const c_receiver&) = delete;

    // The monitor of the proxy socket could not be set up: ZeroMQ's error of that call
    // (its number, so that a terminated context ends the thread under the worker's catch
    // policy as any other ZeroMQ call does), with the monitor's endpoint in the text.
    class monitor_error : public zmq::error_t {
    public:
        explicit monitor_error(const std::string& _endpoint);
        const char* what() const noexcept override { return m_what.c_str(); }

    private:
        std::string m_what;
    };

    // How long a device that belongs to no anchor or trackable object of the project may
    // stay silent before its WIN record is removed, and how often that is looked at.
    // Call before start().
    void set_win_expiry(std::chrono::seconds _silence,
                        std::chrono::milliseconds _interval = std::chrono::minutes(10)) {
        m_win_silence = _silence;
        m_win_sweep_interval = _interval;
    }

    // Until `_ready` holds the thread takes no frame from the proxy: they wait in its socket,
    // connected and subscribed from the start, and are handled in order afterwards; the
    // stop command is heard meanwhile. `_ready` is asked on the receiver thread, every
    // s_hold_poll. Call before start().
    void hold_frames_until(std::function<bool()> _ready) { m_hold_until = std::move(_ready); }
    static constexpr std::chrono::milliseconds s_hold_poll{10};
    // Where the thread tells, after each pass, how far it has recorded what came from the
    // proxy (runtime/receiver_progress.h). Call before start().
    void report_progress_to(std::shared_ptr<vyr::receiver_progress> _progress) { m_progress = std::move(_progress); }

    // Starts the receiver thread: open(), then passes until the stop command comes.
    void start();
    // Creates the sockets and the Redis connection on the calling thread, which then owns
    // them; the receiver thread begins with it. Throws when one cannot be made. A caller
    // that runs the handlers on its own thread (the fuzz targets) calls it instead of start().
    void open();

    // Routes one frame from the proxy to the handler of the tag it starts with; an empty
    // frame or one that starts with no known tag is ignored. The devices the handler wrote
    // are named to the parameter-request mechanism after it.
    void dispatch(const std::string& _frame) const;

    // Topic handlers, called on the receiver thread with the text after the tag.
    void process_notify(const std::string& _body) const;
    void process_hw_report(const std::string& _body) const;
    void process_srv_conf(const std::string& _body) const;
    void process_alarm(const std::string& _body) const;
    // One "#param_p" report: a batch of one.
    void process_param_p(const std::string& _body) const;
    // Runs the part of the batch that belongs to one report; a failure it lets through
    // ends the batch, with the writes gathered so far sent.
    using report_guard = std::function<void(const std::function<void()>&)>;
    // "#param_p" reports (the text after the tag) handled together, leaving the state they
    // leave one by one: the report times they need read in one round trip, decided in
    // memory (a later report of the same parameter compares with the time an earlier one
    // of the batch stored), everything written in one transaction, then the commands to
    // the parameter-request mechanism sent in report order, and the devices written named.
    void process_param_p_batch(const std::vector<std::string>& _bodies, const report_guard& _guard) const;

    // "Context updated" to the parameter-request mechanism, without blocking (a full pipe
    // drops it, counted and warned).
    void send_context_updated_notification() const;

    // A device alive ("#notify" of a WIN or a tag, action "HB") or announcing itself
    // (action "NA"), as its frame gives it: the normalised MAC, the "dev_id" (empty when
    // absent) and whether it is an anchor.
    struct heartbeat {
        std::string mac;
        std::string dev_id;
        bool anchor = false;
    };
    // Heartbeats handled together: each anchor's passed on to the sleep mechanism, every
    // record written as after an answer, and every tag without an alarm state given
    // NOT_CONFIGURED, all in one transaction; the devices named after it (alive only,
    // but a tag whose state was just set).
    void handle_heartbeats(const std::vector<heartbeat>& _beats) const;
    // Announcements handled together. After "NA" a device knows nothing: every record is
    // written as after an answer with its parameters (and a tag's alarms) forgotten and a
    // tag's alarm state NOT_CONFIGURED, all in one transaction, and its parameters and
    // alarms are delivered again from scratch: the devices are named, the zone alarms of
    // the tags' objects marked undelivered and, when a tag is among them, the alarms read
    // again. An anchor's is passed on to the sleep mechanism.
    void handle_announcements(const std::vector<heartbeat>& _announced) const;

private:
    // One pass of the receiver thread: waits for the stop pipe or the proxy and takes a
    // batch of frames; false when the stop command came.
    bool pass();
    // Takes one frame from the stop pipe; true when it is the stop command.
    bool stop_commanded();
    // Moves the frames waiting in the proxy socket into the backlog, as many as it holds
    // (and at most a bound per pass); each parameter request is sent on the way, as far as
    // its answer does not read what the device's frames still in the backlog write. False
    // when the thread is to end.
    bool take_frames();
    // One frame taken: into the backlog, its request sent or held with it.
    void take_frame(std::string_view _text);
    // One frame of the backlog handled: the device's count of pending writes lowered.
    void settle(std::string_view _device);
    // Handles the frames at the front of the backlog, at most s_frames_per_wakeup and for
    // about one handling slice: reports in a row as a batch, any other frame alone. False
    // when the thread is to end.
    bool handle_backlog();
    // Polls the stop pipe, the proxy socket and its monitor (in that order) for up to
    // `_wait`, noting when the socket was seen empty; m_progress is told the thread is
    // caught up while it waits with nothing queued and nothing in the socket.
    void poll(zmq::pollitem_t (&_items)[3], std::chrono::milliseconds _wait);
    // Tells m_progress how far what came from the proxy is recorded.
    void report_progress();
    // Removes the silent foreign WIN records when the interval has passed since the last
    // time; returns how long the thread may wait for frames until it is due again.
    std::chrono::milliseconds sweep_wins_when_due();
    // (Re)creates the SUB socket to the proxy with its subscriptions and a monitor that
    // reports a dropped connection; throws monitor_error when the monitor cannot be made.
    void open_proxy_socket();

    // The updater's writes into the mirror, on the receiver's connection, each an event so
    // that no answer to a refresh asked for before it undoes it (see mirror::events).
    vyr::mirror::event_writes writes() const;
    // A project object's notification, written as an event.
    template <class Object>
    bool notify_object(const char* _func, const char* _object, vyr::mirror::kind _kind,
                       const Json::Value& _j_notify) const;

    // Server change notifications ("#notify"): one handler per object kind, each taking
    // the parsed notification and writing the change into the Redis mirror.
    void process_notify_WIN(const Json::Value& _j_notify) const;
    void process_notify_WIN_ANCHOR(const Json::Value& _j_notify) const;
    void process_notify_TO(const Json::Value& _j_notify) const;
    void process_notify_TRACKABLE_OBJECT(const Json::Value& _j_notify) const;
    void process_notify_GROUP(const Json::Value& _j_notify) const;
    void process_notify_ZONE(const Json::Value& _j_notify) const;
    void process_notify_SUBLOCATION(const Json::Value& _j_notify) const;
    void process_notify_PROJECT(const Json::Value& _j_notify) const;
    void process_notify_tdoa_schedule(const Json::Value& _j_notify) const;
    void process_notify_tdoa_settings(const Json::Value& _j_notify) const;
    void process_notify_driver_licenses(const Json::Value& _j_notify) const;
    void process_notify_vehicle_certifications(const Json::Value& _j_notify) const;

    // Parameter reports ("#param_p"): a report taken apart, the freshness gate, and each
    // reported parameter stored as its description says, with the normalised MAC, the
    // reported value and the report time. The request a report carries is taken out when
    // it is decoded; what of it is left is sent after the report's writes (a malformed
    // one raises its error after them).
    struct param_report {
        std::string mac;
        Json::Value message;
        timeval ts{};
        std::int64_t now = 0;
        std::optional<vyr::mail::param_request> request;
        std::exception_ptr request_error;
    };
    // Nothing when the report is dropped; throws on a body that is not an object.
    std::optional<param_report> decode_param_p(std::string_view _body) const;
    // A report of the backlog as it was decoded when taken, its message read again.
    static param_report held_report(const vyr::input::frame_queue::frame& _frame);
    // The request of a decoded report ("req_plist"); throws on a list that is an object.
    static std::optional<vyr::mail::param_request> request_of(const param_report& _report);
    // Sends the request of a report just taken at once, but for the parameters whose
    // answer reads what the device reports while its record has writes still in the
    // backlog (`_writes`: the report itself writes it): those stay with the report.
    void send_request_ahead(param_report& _report, bool _writes) const;
    // Decoded reports handled as one batch (see process_param_p_batch).
    void handle_param_p_batch(const std::vector<std::optional<param_report>>& _reports, const report_guard& _guard) const;
    // Announcements, heartbeats and reports of the backlog in a row, handled together in
    // that order (a device starting up announces itself, then reports: one after the
    // other, a site starting up would be handled a frame at a time). A frame of a device
    // with one handled later in the batch (its report before its heartbeat) waits for the
    // next batch. At most s_reports_per_batch frames of a kind and no more report text
    // than one frame of the largest size.
    struct frame_batch {
        std::vector<heartbeat> announced;
        std::vector<heartbeat> beats;
        std::vector<std::optional<param_report>> reports;
        // Whose records the batch writes (an empty entry for a frame that writes none).
        std::vector<std::string> devices;
        // The latest kind of each device in the batch: 0 announced, 1 alive, 2 reported.
        std::unordered_map<std::string, int> latest;
        std::size_t report_bytes = 0;
        bool empty() const { return devices.empty(); }
    };
    // Whether the front frame of the backlog (a frame of kind `_rank`, `_count` of its kind
    // in the batch) must wait for `_batch` to be handled first; else notes it in the batch.
    bool joins_next_batch(frame_batch& _batch, int _rank, std::size_t _count) const;
    // Handles the batch and empties it; the socket is emptied again between its handlings,
    // so that the requests that came meanwhile go ahead of its next writes. `_ended` is set
    // when the thread is to end.
    void handle_batch(frame_batch& _batch, const report_guard& _guard, bool& _ended);
    // The descriptions of the parameters a "plist" object reports, in their fixed order;
    // throws when it is not an object.
    static std::vector<const vyr::judge::description*> reported_parameters(const Json::Value& _plist);
    // Reads the stored report times the reports of a batch compare with, and the button
    // alarms of the tags that report em_alm.
    void read_report_stamps(const std::vector<std::optional<param_report>>& _reports) const;
    // One report of the batch: its values, then its request.
    void decide_param_p(const param_report& _report) const;
    bool check_and_update_timestamp(const std::string& _mac_address, vyr::parameter::parameter_t _parameter,
                                    const timeval& _timestamp) const;
    // An em_alm report asks for the alarm list only when the tag and the mirror disagree on
    // its emergency button, or when the list was last read longer ago than this.
    static constexpr std::chrono::minutes s_alarm_list_age{1};
    // After an em_alm report heard at `_heard` (ms): the button compared with the mirror.
    void button_reported(const std::string& _mac_address, const Json::Value& _value, std::int64_t _heard) const;
    // After an al_zv report read whole: the delivery of the zone alarm it confirms settled.
    void zone_alarm_reported(const std::string& _mac_address, const Json::Value& _value) const;
    // The values of one report: each described parameter reported, in the fixed order.
    void process_param_p_values(const std::string& _mac, const Json::Value& _message, const timeval& _ts,
                                std::int64_t _now) const;
    // Sends the batch's writes in one transaction, then its requests in order; the batch
    // names the devices written once at its end.
    void flush_param_p() const;
    // A request to the parameter-request mechanism, sent after the batch's writes.
    void queue_command(vyr::mail::param_request _message) const;
    // The WIN record of `_mac` is written (or will be by the pending batch): named to the
    // parameter-request mechanism by send_marks(), once the write is committed.
    // With `_alive_only` the device only said it is alive (a heartbeat): that matters to the
    // mechanism only for a device not in step.
    void mark(const std::string& _mac, bool _alive_only = false) const;
    void send_marks() const;
    // The writes of the current report to the record of `_mac`.
    vyr::context::win_report report_writes(const std::string& _mac) const {
        return vyr::context::win_report(m_writes, _mac);
    }
    // The device has answered (an accepted parameter): the delivery mechanisms may send to
    // it again at once. Written once per report.
    void answered(vyr::context::win_report& _device) const;

    // Constant after construction.
    const std::string m_addr;
    const std::shared_ptr<zmq::context_t> m_zmq_context;
    // Receiver thread only.
    std::unique_ptr<zmq::socket_t> m_proxy_socket;
    // Events of the proxy socket: the library gives up a connection that brought a frame
    // over the size limit, so the socket is made again when its connection drops.
    std::unique_ptr<zmq::socket_t> m_proxy_monitor;
    unsigned m_proxy_generation = 0;
    // Constant once the thread runs, but m_hold_until, cleared by the receiver thread once
    // it held.
    std::function<bool()> m_hold_until;
    std::chrono::seconds m_win_silence{24 * 3600};
    std::chrono::milliseconds m_win_sweep_interval{10 * 60 * 1000};
    // Receiver thread only.
    std::chrono::steady_clock::time_point m_next_win_sweep{};
    // Receiver thread only, for the batch of reports being handled: its writes and
    // commands still to be sent, the report times of its parameters as stored before it
    // (then as it accepted them), and whether the current report has reset the sending
    // time already.
    mutable vyr::context::win_writes m_writes;
    mutable std::vector<vyr::mail::param_request> m_queued;
    // Devices written and not yet named, in the order first written, without repeats.
    mutable std::vector<std::string> m_marks;
    mutable std::vector<std::string> m_alive_marks;
    // Receiver thread only: frames taken off the proxy and not yet handled, and per device
    // how many of them write its record (announcements, reports). A report is decoded when
    // taken and read again from its text when handled: the backlog keeps of it only what
    // cannot be read again (its times, the part of its request held back).
    vyr::input::frame_queue m_backlog;
    std::unordered_map<std::string, unsigned> m_pending_writes;
    // Receiver thread only, for m_progress: frames queued so far, and per take off the
    // proxy the count after it with the last time the socket was seen empty before it (its
    // frames came after that); when the socket was last seen empty.
    std::shared_ptr<vyr::receiver_progress> m_progress;
    std::uint64_t m_frames_queued = 0;
    std::deque<std::pair<std::uint64_t, std::int64_t>> m_takes;
    std::int64_t m_socket_empty_at = 0;
    mutable std::map<std::pair<std::string, vyr::parameter::parameter_t>, timeval> m_report_stamps;
    mutable bool m_answered = false;
    // What the mirror says of the emergency buttons of the batch's tags that report em_alm,
    // by MAC, read with the report times.
    mutable std::map<std::string, std::optional<vyr::context::context::button_view>> m_buttons;
    std::unique_ptr<zmq::socket_t> m_pipe_output_socket;
    std::unique_ptr<zmq::socket_t> m_mech_sleep_socket;
    std::unique_ptr<zmq::socket_t> m_mech_param_req_socket;
    // Used by the receiver thread; let go by the destructor once the thread has ended.
    std::shared_ptr<vyr::updater> m_updater;
    // Constant after construction.
    const std::string m_redis_address;
    const int m_redis_port;
    // Receiver thread only.
    std::unique_ptr<vyr::context::context> m_context;
    vyr::libs::core::component_logger& m_logger;
    vyr::worker_thread m_worker;
};
