#include "input/receiver.h"

#include <cstdint>
#include <ctime>
#include <string_view>
#include <vector>

#include "common/globals.h"
#include "common/metrics.h"
#include "context/context.h"
#include "core/json.h"
#include "platform/updater.h"
#include "redis/database.h"
#include "runtime/mailboxes.h"
#include "runtime/pipe.h"

const std::string notify_tag = "#notify";
const std::string hw_report_tag = "#hw_report";
const std::string srv_conf_tag = "#srv_conf";
const std::string param_p_tag = "#param_p";
const std::string alarm_tag = "#alarm";

namespace {

// Sockets of the receiver never hold the context's termination for long: commands not
// yet taken by a mechanism are of no use once the service stops.
constexpr int s_linger_ms = 0;
// Frames handled from the backlog before the stop pipe and the proxy are looked at again.
constexpr int s_frames_per_wakeup = 256;
// Reports handled together: their records read in one round trip and written in one
// transaction. A full report writes some kilobytes, and all of a batch is held at once;
// beyond some tens of reports a batch saves no round trip worth its memory.
constexpr std::size_t s_reports_per_batch = 64;
// Frames taken off the proxy per pass: taking one costs a parse, handling one a write.
constexpr int s_frames_per_take = 4096;
// How long a pass goes on handling the backlog (checked between frames and batches)
// before it looks for new frames again: what a request may wait behind the writes.
constexpr std::chrono::milliseconds s_handling_slice{10};
// The most memory the backlog takes; beyond it frames wait in the socket (and in the
// proxy's queue), and the requests among them with them. Fifty thousand devices
// announcing themselves and asking at once queue some 45 MB of frames, which the backlog
// holds compressed in some 3 MB.
constexpr std::size_t s_max_backlog_bytes = std::size_t{16} << 20;
// The largest frame taken from the proxy. Real frames stay far below it: the largest are
// "#notify" messages with a whole TDOA setting or schedule and "#param_p" reports with a
// long t2t_no_alarm list, some tens of kilobytes. A larger frame makes the library drop
// the connection to the proxy (which it then makes again) instead of buffering it.
constexpr std::int64_t s_max_frame_bytes = 1 << 20;

// What the backlog needs of an announcement ("#notify" of a WIN or a tag): the device
// whose record it writes, and for a well-formed heartbeat all its handling needs. Any
// other frame gives nothing; an announcement that is not read here whole goes to its
// handler, which reports what is wrong with it.
struct announcement {
    std::string device;
    std::optional<c_receiver::heartbeat> beat;
    bool fresh = false;  // "NA": `beat` holds what its handling needs
};

// The wall clock in microseconds, as receiver_progress takes it.
std::int64_t wall_us() {
    timeval now{};
    ::gettimeofday(&now, nullptr);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_usec;
}

announcement read_announcement_frame(std::string_view _frame) {
    if (_frame.compare(0, notify_tag.size(), notify_tag) != 0 || _frame.find("\"mac\"") == std::string_view::npos)
        return {};
    const auto parsed = vyr::libs::core::json::try_parse(_frame.substr(notify_tag.size()));
    if (!parsed.ok || !parsed.result.isObject())
        return {};
    const Json::Value& object = parsed.result["object"];
    const Json::Value& mac = parsed.result["mac"];
    if (!object.isString() || (object.asString() != "WIN" && object.asString() != "TO") || !mac.isString())
        return {};
    announcement found;
    found.device = mac.asString();
    if (!comb_mac(found.device))
        return {};
    const Json::Value& action = parsed.result["action"];
    const Json::Value& dev_id = parsed.result["dev_id"];
    if (action.isString() && (action.asString() == "HB" || action.asString() == "NA") &&
        (dev_id.isNull() || dev_id.isString())) {
        found.beat = c_receiver::heartbeat{found.device, dev_id.isString() ? dev_id.asString() : std::string(),
                                           object.asString() == "WIN"};
        found.fresh = action.asString() == "NA";
    }
    return found;
}

}  // namespace

// The base takes the number of the call that failed last on this thread: built at once.
c_receiver::monitor_error::monitor_error(const std::string& _endpoint)
    : m_what("proxy socket monitor " + _endpoint + ": " + zmq::error_t::what()) {}

c_receiver::c_receiver(std::shared_ptr<zmq::context_t> _zmq_context, const std::string& _addr,
                       std::shared_ptr<vyr::updater> _updater, const std::string& _redis_address, int _redis_port,
                       vyr::libs::core::component_logger& _logger)
    : m_addr(_addr),
      m_zmq_context(std::move(_zmq_context)),
      m_updater(std::move(_updater)),
      m_redis_address(_redis_address),
      m_redis_port(_redis_port),
      m_logger(_logger),
      m_worker("receiver", _logger,
               [this] { vyr::worker_thread::send_stop(*m_zmq_context, vyr::mail::receiver::endpoint); }) {}

c_receiver::~c_receiver() {
    m_worker.stop();
    m_context.reset();
    m_updater.reset();
    m_proxy_monitor.reset();
    m_proxy_socket.reset();
    m_pipe_output_socket.reset();
    m_mech_sleep_socket.reset();
    m_mech_param_req_socket.reset();
}

void c_receiver::open() {
    m_pipe_output_socket = std::make_unique<zmq::socket_t>(*m_zmq_context, zmq::socket_type::pull);
    m_pipe_output_socket->set(zmq::sockopt::linger, s_linger_ms);
    m_pipe_output_socket->bind(vyr::mail::receiver::endpoint);

    open_proxy_socket();

    m_mech_sleep_socket = std::make_unique<zmq::socket_t>(*m_zmq_context, zmq::socket_type::push);
    m_mech_sleep_socket->set(zmq::sockopt::linger, s_linger_ms);
    vyr::pipe::set_high_water_mark(*m_mech_sleep_socket);
    m_mech_sleep_socket->connect(vyr::mail::mech_sleep::endpoint);
    m_mech_param_req_socket = std::make_unique<zmq::socket_t>(*m_zmq_context, zmq::socket_type::push);
    m_mech_param_req_socket->set(zmq::sockopt::linger, s_linger_ms);
    vyr::pipe::set_high_water_mark(*m_mech_param_req_socket);
    m_mech_param_req_socket->connect(vyr::mail::mech_param_req::endpoint);

    m_context = std::make_unique<vyr::context::context>(vyr::redis::service_database, m_redis_address, m_redis_port);
    // The socket was made just now: nothing came before.
    m_socket_empty_at = wall_us();
    // Not at once: the start-up is busy enough, and a record is silent for hours.
    m_next_win_sweep = std::chrono::steady_clock::now() + m_win_sweep_interval;
}

void c_receiver::open_proxy_socket() {
    // Built aside and kept only once whole: a failure leaves no socket, and the next pass
    // tries again instead of polling a half-made pair.
    m_proxy_monitor.reset();
    m_proxy_socket.reset();
    auto socket = std::make_unique<zmq::socket_t>(*m_zmq_context, zmq::socket_type::sub);
    socket->set(zmq::sockopt::rcvtimeo, 0);
    socket->set(zmq::sockopt::linger, s_linger_ms);
    socket->set(zmq::sockopt::maxmsgsize, s_max_frame_bytes);
    for (const auto* tag : {&notify_tag, &srv_conf_tag, &hw_report_tag, &param_p_tag, &alarm_tag})
        socket->set(zmq::sockopt::subscribe, *tag);
    // A name of its own per socket: the endpoint of a closed one may not be free yet.
    const std::string monitor = "inproc://receiver-proxy-monitor-" +
                                std::to_string(reinterpret_cast<std::uintptr_t>(this)) + "-" +
                                std::to_string(++m_proxy_generation);
    if (zmq_socket_monitor(socket->handle(), monitor.c_str(), ZMQ_EVENT_DISCONNECTED) != 0)
        throw monitor_error(monitor);
    auto watcher = std::make_unique<zmq::socket_t>(*m_zmq_context, zmq::socket_type::pair);
    watcher->set(zmq::sockopt::linger, s_linger_ms);
    watcher->connect(monitor);
    socket->connect(m_addr);
    m_proxy_socket = std::move(socket);
    m_proxy_monitor = std::move(watcher);
}

void c_receiver::start() {
    m_worker.start({[this] {
                        open();
                        return true;
                    },
                    [this] { return pass(); }, nullptr});
}

bool c_receiver::stop_commanded() {
    zmq::message_t command;
    return m_pipe_output_socket->recv(command, zmq::recv_flags::dontwait) &&
           std::holds_alternative<vyr::mail::stop>(vyr::mail::receiver::read(command));
}

bool c_receiver::pass() {
    // Requests wait in the socket with the rest while frames are held: the mirror is
    // still being emptied, no answer could be built before it is complete, and taking
    // frames to find them would mean holding every report of the start in memory.
    if (m_hold_until) {
        if (!m_hold_until()) {
            // Whatever came since the socket was opened waits in it.
            report_progress();
            zmq::pollitem_t pipe[] = {{m_pipe_output_socket->handle(), 0, ZMQ_POLLIN, 0}};
            zmq::poll(pipe, 1, s_hold_poll);
            return !(pipe[0].revents & ZMQ_POLLIN) || !stop_commanded();
        }
        m_hold_until = nullptr;
    }
    if (!m_proxy_monitor) {
        // The last connection to the proxy could not be made again: tried once per wait.
        try {
            open_proxy_socket();
        } catch (const std::exception&) {
            m_logger.log_exception(VYR_HERE);
            zmq::pollitem_t pipe[] = {{m_pipe_output_socket->handle(), 0, ZMQ_POLLIN, 0}};
            zmq::poll(pipe, 1, vyr::worker_thread::s_idle_wait);
            return !(pipe[0].revents & ZMQ_POLLIN) || !stop_commanded();
        }
    }
    zmq::pollitem_t items[] = {
        {m_pipe_output_socket->handle(), 0, ZMQ_POLLIN, 0},
        {m_proxy_socket->handle(), 0, ZMQ_POLLIN, 0},
        {m_proxy_monitor->handle(), 0, ZMQ_POLLIN, 0},
    };
    const auto sweep_due = sweep_wins_when_due();
    const auto wait = std::min(vyr::worker_thread::s_idle_wait, sweep_due);
    poll(items, m_backlog.empty() ? wait : std::chrono::milliseconds(0));
    if ((items[0].revents & ZMQ_POLLIN) && stop_commanded())
        return false;
    if (items[2].revents & ZMQ_POLLIN) {
        // The frames still queued in the old socket are lost with it; the backlog stays.
        m_logger.warning("connection to the proxy dropped (a frame over %1% bytes, or the proxy went away): "
                         "connecting again") %
            s_max_frame_bytes;
        open_proxy_socket();
        return true;
    }
    // Under a flood the socket never runs dry: a bound per pass for taking and for
    // handling, so that the stop command on the pipe is still seen between them.
    if ((items[1].revents & ZMQ_POLLIN) && !take_frames())
        return false;
    const bool going_on = handle_backlog();
    report_progress();
    return going_on;
}

void c_receiver::poll(zmq::pollitem_t (&_items)[3], std::chrono::milliseconds _wait) {
    // A look first: the socket seen empty is what the progress goes by.
    zmq::poll(_items, 3, std::chrono::milliseconds(0));
    if (!(_items[1].revents & ZMQ_POLLIN))
        m_socket_empty_at = wall_us();
    const bool ready = ((_items[0].revents | _items[1].revents | _items[2].revents) & ZMQ_POLLIN) != 0;
    if (ready || _wait.count() == 0)
        return;
    // Nothing queued (there is a wait only then) and nothing in the socket: while the
    // thread waits, everything is recorded.
    if (m_progress)
        m_progress->caught_up();
    zmq::poll(_items, 3, _wait);
    if (_items[1].revents & ZMQ_POLLIN)
        report_progress();  // what woke the thread came after the look
    else
        m_socket_empty_at = wall_us();
}

void c_receiver::report_progress() {
    if (!m_progress)
        return;
    // Every frame popped from the backlog has been handled by the end of a pass.
    const std::uint64_t handled = m_frames_queued - m_backlog.size();
    while (!m_takes.empty() && m_takes.front().first <= handled)
        m_takes.pop_front();
    // What came after the socket was last seen empty may wait in it.
    m_progress->waiting_since(m_takes.empty() ? m_socket_empty_at : m_takes.front().second);
}

bool c_receiver::take_frames() {
    // The frames taken now came after the socket was last seen empty.
    const auto came_after = m_socket_empty_at;
    const auto queued_before = m_frames_queued;
    for (int taken = 0; taken < s_frames_per_take && m_backlog.memory() < s_max_backlog_bytes; ++taken) {
        zmq::message_t frame;
        if (!m_proxy_socket->recv(frame)) {
            // Drained (receive time-out 0).
            m_socket_empty_at = wall_us();
            break;
        }
        vyr::metrics::add(vyr::metrics::counter::reports_processed);
        const std::string_view text(static_cast<const char*>(frame.data()), frame.size());
        const auto outcome = m_worker.guard([&] { take_frame(text); });
        if (outcome == vyr::worker_thread::outcome::ended)
            return false;
        if (outcome == vyr::worker_thread::outcome::failed)
            vyr::metrics::add(vyr::metrics::counter::reports_malformed);
    }
    if (m_frames_queued != queued_before)
        m_takes.emplace_back(m_frames_queued, came_after);
    return true;
}

void c_receiver::take_frame(std::string_view _text) {
    vyr::input::frame_queue::frame entry;
    std::optional<param_report> decoded;
    announcement announced;
    if (_text.compare(0, param_p_tag.size(), param_p_tag) == 0) {
        entry.text = _text.substr(param_p_tag.size());
        decoded = decode_param_p(entry.text);
        if (!decoded)
            return;  // dropped, and counted
        entry.writes = !decoded->message["plist"].isNull();
        send_request_ahead(*decoded, entry.writes);
        entry.what = vyr::input::frame_queue::kind::report;
        entry.device = decoded->mac;
        entry.stamp = decoded->ts;
        entry.arrival = decoded->now;
        if (decoded->request)
            entry.held = std::move(decoded->request->numbers);
        entry.request_failed = static_cast<bool>(decoded->request_error);
    } else {
        announced = read_announcement_frame(_text);
        entry.device = announced.device;
        if (announced.beat) {
            // All a heartbeat's or announcement's handling needs: it is not read again.
            entry.what = announced.fresh ? vyr::input::frame_queue::kind::announcement
                                         : vyr::input::frame_queue::kind::heartbeat;
            entry.text = announced.beat->dev_id;
            entry.anchor = announced.beat->anchor;
        } else {
            entry.what = vyr::input::frame_queue::kind::other;
            entry.text = _text;
        }
        entry.writes = !announced.device.empty();
    }
    if (entry.writes)
        ++m_pending_writes[std::string(entry.device)];
    m_backlog.push(entry);
    ++m_frames_queued;
}

void c_receiver::settle(std::string_view _device) {
    const auto pending = m_pending_writes.find(std::string(_device));
    if (pending != m_pending_writes.end() && --pending->second == 0)
        m_pending_writes.erase(pending);
}

bool c_receiver::joins_next_batch(frame_batch& _batch, int _rank, std::size_t _count) const {
    const auto entry = m_backlog.front();
    const std::string device(entry.device);
    const auto known = _batch.latest.find(device);
    if ((known != _batch.latest.end() && known->second > _rank) || _count >= s_reports_per_batch)
        return true;
    auto& rank = _batch.latest[device];
    rank = std::max(rank, _rank);
    _batch.devices.push_back(entry.writes ? device : std::string());
    return false;
}

void c_receiver::handle_batch(frame_batch& _batch, const report_guard& _guard, bool& _ended) {
    const auto take_more = [&] {
        if (!_ended && m_proxy_socket && !take_frames())
            _ended = true;
    };
    if (!_batch.announced.empty()) {
        _guard([&] { handle_announcements(_batch.announced); });
        take_more();
    }
    if (!_batch.beats.empty()) {
        _guard([&] { handle_heartbeats(_batch.beats); });
        take_more();
    }
    if (!_batch.reports.empty()) {
        _guard([&] { handle_param_p_batch(_batch.reports, _guard); });
        take_more();
    }
    for (const auto& device : _batch.devices)
        settle(device);
    _batch = frame_batch{};
}

bool c_receiver::handle_backlog() {
    // One bad frame is logged and does not cost the rest of the batch.
    bool ended = false;
    const report_guard guarded = [&](const std::function<void()>& _work) {
        const auto outcome = m_worker.guard(_work);
        ended = ended || outcome == vyr::worker_thread::outcome::ended;
        if (outcome == vyr::worker_thread::outcome::failed)
            vyr::metrics::add(vyr::metrics::counter::reports_malformed);
    };
    using kind = vyr::input::frame_queue::kind;
    frame_batch batch;
    // The front frame joins the batch, which is handled first when it must be.
    const auto join = [&](int _rank, std::size_t _count) {
        if (joins_next_batch(batch, _rank, _count)) {
            handle_batch(batch, guarded, ended);
            joins_next_batch(batch, _rank, 0);
        }
    };
    const auto slice_end = std::chrono::steady_clock::now() + s_handling_slice;
    for (int handled = 0; handled < s_frames_per_wakeup && !ended && !m_backlog.empty(); ++handled) {
        if (batch.empty() && std::chrono::steady_clock::now() >= slice_end)
            break;
        // What the frame's handling needs is copied out: the views end with pop().
        const auto entry = m_backlog.front();
        if (entry.what == kind::announcement || entry.what == kind::heartbeat) {
            const bool fresh = entry.what == kind::announcement;
            join(fresh ? 0 : 1, fresh ? batch.announced.size() : batch.beats.size());
            (fresh ? batch.announced : batch.beats)
                .push_back(heartbeat{std::string(entry.device), std::string(entry.text), entry.anchor});
            m_backlog.pop();
            continue;
        }
        if (entry.what == kind::report) {
            join(2, batch.reports.size());
            batch.report_bytes += entry.text.size();
            batch.reports.push_back(held_report(entry));
            m_backlog.pop();
            if (batch.report_bytes >= static_cast<std::size_t>(s_max_frame_bytes))
                handle_batch(batch, guarded, ended);
            continue;
        }
        handle_batch(batch, guarded, ended);
        const std::string device = entry.writes ? std::string(entry.device) : std::string();
        const std::string text(entry.text);
        m_backlog.pop();
        if (!ended)
            guarded([&] { dispatch(text); });
        settle(device);
    }
    handle_batch(batch, guarded, ended);
    return !ended;
}

std::chrono::milliseconds c_receiver::sweep_wins_when_due() {
    const auto now = std::chrono::steady_clock::now();
    if (now >= m_next_win_sweep) {
        m_next_win_sweep = now + m_win_sweep_interval;
        m_worker.guard([&] {
            const auto removed = vyr::context::remove_silent_wins(m_context->redis_context(), ::time(nullptr),
                                                                  m_win_silence.count());
            if (removed)
                m_logger.info("%1% WIN records of devices outside the project, silent for %2% s, removed") % removed %
                    m_win_silence.count();
        });
    }
    return std::chrono::ceil<std::chrono::milliseconds>(m_next_win_sweep - now);
}

void c_receiver::dispatch(const std::string& _frame) const {
    if (_frame.empty())
        return;
    struct route {
        const std::string& tag;
        void (c_receiver::*handler)(const std::string&) const;
    };
    static const route routes[] = {
        {notify_tag, &c_receiver::process_notify},   {hw_report_tag, &c_receiver::process_hw_report},
        {srv_conf_tag, &c_receiver::process_srv_conf}, {param_p_tag, &c_receiver::process_param_p},
        {alarm_tag, &c_receiver::process_alarm},
    };
    // The topic leads the frame: a tag further on is part of the body (a screen name, say).
    for (const auto& r : routes) {
        if (_frame.compare(0, r.tag.size(), r.tag) == 0) {
            (this->*r.handler)(_frame.substr(r.tag.size()));
            send_marks();
            return;
        }
    }
    vyr::metrics::add(vyr::metrics::counter::reports_malformed);
}

void c_receiver::send_context_updated_notification() const {
    (void)vyr::mail::mech_param_req::send(*m_mech_param_req_socket, vyr::mail::context_updated{}, m_logger);
}

vyr::mirror::event_writes c_receiver::writes() const {
    return vyr::mirror::event_writes(*m_context, m_updater ? &m_updater->events() : nullptr);
}
