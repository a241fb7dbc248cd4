#include "proxy_tap.h"

#include "device_state.h"

namespace bench {

namespace {

const std::string s_control_endpoint = "inproc://bench-tap-control";

bool starts_with(const zmq::message_t& _frame, const std::string& _prefix) {
    return _frame.size() >= _prefix.size() && _frame.to_string_view().compare(0, _prefix.size(), _prefix) == 0;
}

}  // namespace

proxy_tap::proxy_tap(const tap_endpoints& _endpoints) {
    const auto make = [this](zmq::socket_type _type) {
        auto socket = std::make_unique<zmq::socket_t>(m_context, _type);
        socket->set(zmq::sockopt::linger, 0);
        return socket;
    };
    m_output = make(zmq::socket_type::xpub);
    // A service that falls behind builds a queue here instead of losing frames, so its
    // backlog shows as the delay of the probes.
    m_output->set(zmq::sockopt::sndhwm, 0);
    m_output->bind(_endpoints.service_output);
    m_input = make(zmq::socket_type::pull);
    m_input->set(zmq::sockopt::rcvhwm, 0);
    m_input->bind(_endpoints.service_input);
    m_sim_publish = make(zmq::socket_type::xsub);
    m_sim_publish->set(zmq::sockopt::rcvhwm, 0);
    m_sim_publish->connect(_endpoints.sim_publish);
    m_sim_collect = make(zmq::socket_type::push);
    m_sim_collect->set(zmq::sockopt::sndhwm, 0);
    m_sim_collect->connect(_endpoints.sim_collect);
    m_control = make(zmq::socket_type::pair);
    m_control->bind(s_control_endpoint);
    m_control_peer = make(zmq::socket_type::pair);
    m_control_peer->connect(s_control_endpoint);
    m_thread = std::thread([this] { run(); });
}

proxy_tap::~proxy_tap() {
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

void proxy_tap::run() {
    zmq::pollitem_t items[] = {
        {m_output->handle(), 0, ZMQ_POLLIN, 0},
        {m_sim_publish->handle(), 0, ZMQ_POLLIN, 0},
        {m_input->handle(), 0, ZMQ_POLLIN, 0},
        {m_control->handle(), 0, ZMQ_POLLIN, 0},
    };
    zmq::message_t frame;
    while (!m_stop.load()) {
        zmq::poll(items, 4, std::chrono::milliseconds(20));
        // Subscriptions of the service go to the simulator.
        if (items[0].revents & ZMQ_POLLIN)
            while (m_output->recv(frame, zmq::recv_flags::dontwait))
                (void)m_sim_publish->send(frame, zmq::send_flags::dontwait);
        // Probes go out at once, ahead of what the simulator sent meanwhile.
        if (items[3].revents & ZMQ_POLLIN)
            while (m_control->recv(frame, zmq::recv_flags::dontwait)) {
                {
                    vyr::libs::core::mutex_lock lock(m_mutex);
                    m_probe_sent = std::chrono::steady_clock::now();
                }
                (void)m_output->send(frame, zmq::send_flags::dontwait);
            }
        if (items[2].revents & ZMQ_POLLIN)
            while (m_input->recv(frame, zmq::recv_flags::dontwait)) {
                take_command(frame);
                ++m_commands;
                ++m_frames;
                (void)m_sim_collect->send(frame, zmq::send_flags::dontwait);
            }
        if (items[1].revents & ZMQ_POLLIN)
            while (m_sim_publish->recv(frame, zmq::recv_flags::dontwait)) {
                if (starts_with(frame, "#param_p"))
                    ++m_reports;
                ++m_frames;
                (void)m_output->send(frame, zmq::send_flags::dontwait);
            }
    }
}

// "#win 080E" + sequence (2) + length (4) + code (4) + payloads + MAC (16).
void proxy_tap::take_command(const zmq::message_t& _frame) {
    static const std::string s_prefix = "#win 080E";
    take_watched(_frame, std::chrono::steady_clock::now());
    if (!starts_with(_frame, s_prefix) || _frame.size() < s_prefix.size() + 6 + 4 + 16)
        return;
    const auto text = _frame.to_string_view();
    if (text.substr(s_prefix.size() + 6, 4) != "000F")
        return;
    const auto mac = text.substr(text.size() - 16);
    const auto now = std::chrono::steady_clock::now();
    vyr::libs::core::mutex_lock lock(m_mutex);
    const auto scheduled = m_scheduled.find(std::string(mac));
    if (scheduled != m_scheduled.end() && !scheduled->second.empty()) {
        m_open_latencies.push_back(std::chrono::duration<double>(now - scheduled->second.front()).count());
        scheduled->second.pop_front();
    }
    if (m_probe_mac.empty() || mac != m_probe_mac)
        return;
    m_probe_latency = std::chrono::duration<double>(now - m_probe_sent).count();
    m_probe_mac.clear();
    m_answered.notify_all();
}

void proxy_tap::take_watched(const zmq::message_t& _frame, std::chrono::steady_clock::time_point _now) {
    vyr::libs::core::mutex_lock lock(m_mutex);
    if (m_watch_name.empty())
        return;
    const auto command = vyr::devsim::parse_win_frame(std::string(_frame.to_string_view()));
    if (!command || m_watched.count(command->mac))
        return;
    for (const auto& payload : command->payloads) {
        const auto decoded = vyr::devsim::decode_payload(payload);
        if (decoded.kind == vyr::devsim::decoded_payload::value && decoded.name == m_watch_name &&
            decoded.json.isString() && m_watch_values.count(decoded.json.asString())) {
            m_watched.emplace(command->mac, _now);
            return;
        }
    }
}

void proxy_tap::watch(const std::string& _name, std::set<std::string> _values) {
    vyr::libs::core::mutex_lock lock(m_mutex);
    m_watch_name = _name;
    m_watch_values = std::move(_values);
    m_watched.clear();
}

std::unordered_map<std::string, std::chrono::steady_clock::time_point> proxy_tap::watched() {
    vyr::libs::core::mutex_lock lock(m_mutex);
    return m_watched;
}

std::size_t proxy_tap::watched_count() {
    vyr::libs::core::mutex_lock lock(m_mutex);
    return m_watched.size();
}

void proxy_tap::inject(const std::string& _frame) {
    (void)m_control_peer->send(zmq::buffer(_frame), zmq::send_flags::none);
}

void proxy_tap::send_scheduled(const std::string& _mac, const std::string& _frame,
                               std::chrono::steady_clock::time_point _scheduled) {
    {
        vyr::libs::core::mutex_lock lock(m_mutex);
        m_scheduled[_mac].push_back(_scheduled);
    }
    (void)m_control_peer->send(zmq::buffer(_frame), zmq::send_flags::none);
}

proxy_tap::open_loop_answers proxy_tap::take_open_loop() {
    vyr::libs::core::mutex_lock lock(m_mutex);
    open_loop_answers answers;
    answers.latencies.swap(m_open_latencies);
    for (const auto& [mac, due] : m_scheduled)
        answers.unanswered += due.size();
    m_scheduled.clear();
    return answers;
}

std::size_t proxy_tap::open_loop_pending() {
    vyr::libs::core::mutex_lock lock(m_mutex);
    std::size_t pending = 0;
    for (const auto& [mac, due] : m_scheduled)
        pending += due.size();
    return pending;
}

std::optional<double> proxy_tap::probe(const std::string& _mac, const std::string& _frame,
                                       std::chrono::milliseconds _timeout) {
    {
        vyr::libs::core::mutex_lock lock(m_mutex);
        m_probe_mac = _mac;
        m_probe_latency.reset();
    }
    (void)m_control_peer->send(zmq::buffer(_frame), zmq::send_flags::none);
    const auto deadline = std::chrono::steady_clock::now() + _timeout;
    vyr::libs::core::mutex_lock lock(m_mutex);
    while (!m_probe_latency)
        if (m_answered.wait_until(m_mutex, deadline) == std::cv_status::timeout)
            break;
    auto latency = m_probe_latency;
    m_probe_mac.clear();
    return latency;
}

}  // namespace bench
