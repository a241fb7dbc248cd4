#include "device_sim.h"

#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>

#include <zmq.hpp>

namespace vyr::devsim {

namespace {

constexpr double s_never = std::numeric_limits<double>::infinity();
constexpr std::size_t s_max_log = 10000;  // received commands kept per device

std::string one_line(const Json::Value& _value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    // Texts go out byte for byte, as a device writes what it holds: a name cut inside a
    // multi-byte character is reported cut, not with a replacement character.
    builder["emitUTF8"] = true;
    return Json::writeString(builder, _value);
}

Json::Value read_json(const std::string& _path) {
    std::ifstream in(_path, std::ios::binary);
    if (!in)
        return Json::Value();
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    Json::Value value;
    std::string errors;
    if (!Json::parseFromStream(builder, in, &value, &errors))
        throw std::runtime_error(_path + ": " + errors);
    return value;
}

std::int64_t wall_clock_ms() {
    timeval now{};
    ::gettimeofday(&now, nullptr);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_usec / 1000;
}

}  // namespace

// ---- options and results -------------------------------------------------------------------

parameter_rule parse_rule(const std::string& _text) {
    const auto colon = _text.find(':');
    if (colon == std::string::npos || colon == 0)
        throw std::invalid_argument("want N:name[,name...], got " + _text);
    parameter_rule rule;
    try {
        std::size_t used = 0;
        const long long count = std::stoll(_text.substr(0, colon), &used);
        if (used != colon || count < 0)
            throw std::invalid_argument("");
        rule.count = static_cast<std::size_t>(count);
    } catch (const std::exception&) {
        throw std::invalid_argument("bad count in " + _text);
    }
    std::istringstream names(_text.substr(colon + 1));
    std::string name;
    while (std::getline(names, name, ',')) {
        if (!is_parameter_name(name))
            throw std::invalid_argument("unknown parameter name " + name + " in " + _text);
        rule.names.insert(name);
    }
    if (rule.names.empty())
        throw std::invalid_argument("no parameter name in " + _text);
    return rule;
}

stream_rule parse_stream_rule(const std::string& _text) {
    const auto colon = _text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        throw std::invalid_argument("want DEVICE:RATE, got " + _text);
    stream_rule rule;
    rule.device = _text.substr(0, colon);
    try {
        std::size_t used = 0;
        rule.rate = std::stod(_text.substr(colon + 1), &used);
        if (used != _text.size() - colon - 1 || !(rule.rate > 0) || rule.rate > 1000)
            throw std::invalid_argument("");
    } catch (const std::exception&) {
        throw std::invalid_argument("bad rate (0 < RATE <= 1000) in " + _text);
    }
    return rule;
}

Json::Value sim_stats::to_json() const {
    Json::Value v(Json::objectValue);
    v["devices"] = static_cast<Json::UInt64>(devices);
    v["commands"] = static_cast<Json::UInt64>(commands);
    v["payloads"] = static_cast<Json::UInt64>(payloads);
    v["reports"] = static_cast<Json::UInt64>(reports);
    v["requests"] = static_cast<Json::UInt64>(requests);
    v["announcements"] = static_cast<Json::UInt64>(announcements);
    v["sleep_confirmations"] = static_cast<Json::UInt64>(sleep_confirmations);
    v["elapsed"] = elapsed;
    return v;
}

std::size_t device_snapshot::count_received(const std::string& _code, const std::string& _type, double _after) const {
    std::size_t count = 0;
    for (const auto& r : received) {
        if (r.dropped || r.at <= _after || r.command.code != _code)
            continue;
        if (_type.empty()) {
            ++count;
            continue;
        }
        for (const auto& p : r.command.payloads) {
            if (p.compare(0, 2, _type) == 0) {
                ++count;
                break;
            }
        }
    }
    return count;
}

std::vector<project_device> load_project_devices(const std::string& _project_dir) {
    std::vector<project_device> devices;
    std::set<std::string> seen;
    const auto take = [&](const char* _file, const char* _member, device_kind _kind) {
        const Json::Value answer = read_json(_project_dir + "/" + _file);
        if (!answer.isObject() || !answer[_member].isArray())
            return;
        for (const auto& element : answer[_member]) {
            if (!element.isObject() || !element["uid"].isString() || !element["node"].isObject() ||
                !element["node"]["mac_address"].isString())
                continue;
            const auto mac = normalise_mac(element["node"]["mac_address"].asString());
            if (!mac || !seen.insert(*mac).second)
                continue;
            devices.push_back({*mac, element["uid"].asString(), _kind});
        }
    };
    take("track_obj.json", "trackableObjects", device_kind::tag);
    take("win_anchors.json", "win_anchors", device_kind::anchor);
    return devices;
}

// ---- the simulator -------------------------------------------------------------------------

struct device_sim::sim_device {
    project_device def;
    device_state state;
    bool silent = false;
    std::deque<received_command> received;
    std::uint64_t reports = 0;
    std::uint64_t announcements = 0;
    double last_report_at = -1;
    std::int64_t last_stamp_ms = 0;  // report time stamps never go back
    double start_at = s_never;
    double next_heartbeat = s_never;
    double next_report = s_never;
    double em_alm_period = 0;  // > 0: reports its em_alm state this often
    double next_em_alm = s_never;

    sim_device(project_device _def, device_state _state) : def(std::move(_def)), state(std::move(_state)) {}
};

device_sim::device_sim(sim_options _options)
    : m_options(std::move(_options)), m_context(std::make_unique<zmq::context_t>(1)), m_random(m_options.seed) {
    auto defs = load_project_devices(m_options.project_dir);
    if (m_options.devices && *m_options.devices < defs.size())
        defs.resize(*m_options.devices);
    std::size_t tag_index = 0;
    for (std::size_t i = 0; i < defs.size(); ++i) {
        std::set<std::string> ignore, unsupported;
        if (defs[i].kind == device_kind::tag) {
            for (const auto& rule : m_options.ignore)
                if (tag_index < rule.count)
                    ignore.insert(rule.names.begin(), rule.names.end());
            for (const auto& rule : m_options.unsupported)
                if (tag_index < rule.count)
                    unsupported.insert(rule.names.begin(), rule.names.end());
            ++tag_index;
        }
        auto d = std::make_unique<sim_device>(defs[i], device_state(defs[i].kind, ignore, unsupported));
        d->silent = i + m_options.silent >= defs.size();
        m_by_mac[d->def.mac] = d.get();
        m_devices.push_back(std::move(d));
    }
    m_stats.devices = m_devices.size();
    if (m_options.em_alm_stream) {
        const std::string& name = m_options.em_alm_stream->device;
        sim_device* streaming = nullptr;
        if (const auto mac = normalise_mac(name); mac && (name.size() == 12 || name.size() == 16)) {
            const auto found = m_by_mac.find(*mac);
            streaming = found == m_by_mac.end() ? nullptr : found->second;
        } else if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos &&
                   std::stoull(name) < m_devices.size()) {
            streaming = m_devices[std::stoull(name)].get();
        }
        if (!streaming)
            throw std::runtime_error("--em-alm-stream: no simulated device " + name);
        streaming->em_alm_period = 1.0 / m_options.em_alm_stream->rate;
    }

    m_publish = std::make_unique<zmq::socket_t>(*m_context, zmq::socket_type::xpub);
    m_publish->set(zmq::sockopt::linger, 0);
    // A whole site starting at once must not overrun the queue towards the service.
    m_publish->set(zmq::sockopt::sndhwm, 1000000);
    m_publish->bind(m_options.publish);
    m_collect = std::make_unique<zmq::socket_t>(*m_context, zmq::socket_type::pull);
    m_collect->set(zmq::sockopt::linger, 0);
    m_collect->set(zmq::sockopt::rcvhwm, 100000);
    m_collect->bind(m_options.collect);
}

device_sim::~device_sim() {
    stop();
    m_publish.reset();
    m_collect.reset();
    m_context.reset();
}

void device_sim::start() { m_thread = std::thread([this] { run(); }); }

void device_sim::run() {
    loop();
    write_stats(elapsed());
}

void device_sim::stop() {
    m_stopping = true;
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
}

double device_sim::elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

sim_stats device_sim::stats() const {
    vyr::libs::core::mutex_lock lock(m_mutex);
    sim_stats s = m_stats;
    s.elapsed = elapsed();
    return s;
}

std::vector<std::string> device_sim::macs() const {
    vyr::libs::core::mutex_lock lock(m_mutex);
    std::vector<std::string> result;
    for (const auto& d : m_devices)
        result.push_back(d->def.mac);
    return result;
}

device_snapshot device_sim::device(const std::string& _mac) const {
    vyr::libs::core::mutex_lock lock(m_mutex);
    const auto* d = m_by_mac.at(_mac);
    device_snapshot s;
    s.mac = d->def.mac;
    s.uid = d->def.uid;
    s.kind = d->def.kind;
    s.silent = d->silent;
    s.values = d->state.values();
    s.sleep = d->state.last_sleep();
    s.received.assign(d->received.begin(), d->received.end());
    s.reports = d->reports;
    s.last_report_at = d->last_report_at;
    s.announcements = d->announcements;
    return s;
}

bool device_sim::announced() const {
    vyr::libs::core::mutex_lock lock(m_mutex);
    return m_announced;
}

void device_sim::publish(const std::string& _frame) {
    vyr::libs::core::mutex_lock lock(m_mutex);
    m_injected_frames.push_back(_frame);
}

void device_sim::restart(const std::string& _mac) {
    vyr::libs::core::mutex_lock lock(m_mutex);
    (void)m_by_mac.at(_mac);
    m_injected_actions.emplace_back(_mac, "restart");
}

void device_sim::heartbeat(const std::string& _mac) {
    vyr::libs::core::mutex_lock lock(m_mutex);
    (void)m_by_mac.at(_mac);
    m_injected_actions.emplace_back(_mac, "heartbeat");
}

// ---- worker thread -------------------------------------------------------------------------

void device_sim::loop() {
    zmq::pollitem_t items[] = {{m_publish->handle(), 0, ZMQ_POLLIN, 0}, {m_collect->handle(), 0, ZMQ_POLLIN, 0}};
    while (!m_stopping) {
        try {
            zmq::poll(items, 2, std::chrono::milliseconds(10));
        } catch (const zmq::error_t& e) {
            if (e.num() == EINTR)
                continue;
            throw;
        }
        if (items[0].revents & ZMQ_POLLIN) {
            zmq::message_t message;
            while (m_publish->recv(message, zmq::recv_flags::dontwait))
                take_subscription(message.to_string());
        }
        if (items[1].revents & ZMQ_POLLIN) {
            zmq::message_t message;
            while (m_collect->recv(message, zmq::recv_flags::dontwait)) {
                // A frame the devices cannot take is lost; the simulator goes on.
                try {
                    take_command(message.to_string(), elapsed());
                } catch (const std::exception& e) {
                    std::fprintf(stderr, "quorvane-device-sim: frame dropped: %s\n", e.what());
                }
            }
        }
        flush_injected();
        const double now = elapsed();
        run_timers(now);
        if (!m_options.stats_file.empty() && now >= m_next_stats) {
            write_stats(now);
            m_next_stats = now + 1;
        }
    }
}

void device_sim::take_subscription(const std::string& _message) {
    if (_message.empty())
        return;
    const std::string topic = _message.substr(1);
    if (_message[0] == 1)
        m_subscriptions.insert(topic);
    else
        m_subscriptions.erase(topic);
    // The devices start once the service listens to their announcements and reports; when
    // it goes away they start again for the next one (unless they start once only).
    const bool listening = m_subscriptions.count("#notify") && m_subscriptions.count("#param_p");
    vyr::libs::core::mutex_lock lock(m_mutex);
    if (listening && !m_announced) {
        m_announced = true;
        start_devices(elapsed());
    } else if (!listening && m_announced && !m_options.start_once) {
        m_announced = false;
        for (auto& d : m_devices)
            d->start_at = d->next_heartbeat = d->next_report = d->next_em_alm = s_never;
    }
}

// Under m_mutex. The starts are spread over at most two seconds so a large site does not
// arrive in one burst.
void device_sim::start_devices(double _now) {
    const double spacing = m_devices.empty() ? 0 : std::min(0.0005, 2.0 / static_cast<double>(m_devices.size()));
    for (std::size_t i = 0; i < m_devices.size(); ++i)
        m_devices[i]->start_at = _now + spacing * static_cast<double>(i);
}

// Under m_mutex.
void device_sim::start_device(sim_device& _device, double _now) {
    _device.start_at = s_never;
    send_announcement(_device, "NA");
    if (_device.silent)
        return;
    Json::Value plist = _device.state.full_report();
    send_report(_device, plist, true, _now);
    if (m_options.heartbeat > 0)
        _device.next_heartbeat = _now + m_options.heartbeat;
    if (_device.em_alm_period > 0)
        _device.next_em_alm = _now + _device.em_alm_period;
    if (m_options.report_rate > 0) {
        const double period = 1.0 / m_options.report_rate;
        std::uniform_real_distribution<double> phase(0, period);
        _device.next_report = _now + phase(m_random);
    }
}

void device_sim::take_command(const std::string& _frame, double _now) {
    vyr::libs::core::mutex_lock lock(m_mutex);
    ++m_stats.commands;
    const auto command = parse_win_frame(_frame);
    if (!command)
        return;
    m_stats.payloads += command->payloads.size();
    const auto found = m_by_mac.find(command->mac);
    if (found == m_by_mac.end())
        return;
    sim_device& d = *found->second;
    received_command entry;
    entry.at = _now;
    entry.command = *command;
    entry.dropped = m_options.drop_percent > 0 &&
                    static_cast<double>(m_random() % 1000000) < m_options.drop_percent * 10000.0;
    d.received.push_back(entry);
    if (d.received.size() > s_max_log)
        d.received.pop_front();
    if (entry.dropped)
        return;

    const auto outcome = d.state.apply(command->payloads);
    if (d.silent)
        return;
    if (!outcome.report.empty())
        send_report(d, outcome.report, false, _now);
    if (outcome.sleep) {
        // Confirmation event 47 at the end of a hardware report.
        send("#hw_report 010E010000000E47" + d.def.mac);
        ++m_stats.sleep_confirmations;
    }
}

// Under m_mutex.
void device_sim::send_announcement(sim_device& _device, const char* _action) {
    Json::Value notify(Json::objectValue);
    notify["object"] = _device.def.kind == device_kind::tag ? "TO" : "WIN";
    notify["action"] = _action;
    notify["mac"] = _device.def.mac;
    notify["dev_id"] = _device.def.uid;
    send("#notify " + one_line(notify));
    ++_device.announcements;
    ++m_stats.announcements;
}

// Under m_mutex.
void device_sim::send_report(sim_device& _device, const Json::Value& _plist, bool _request, double _now) {
    const std::int64_t stamp = std::max(wall_clock_ms(), _device.last_stamp_ms);
    _device.last_stamp_ms = stamp;
    Json::Value report(Json::objectValue);
    report["mac"] = _device.def.mac;
    report["ts"] = static_cast<Json::Int64>(stamp / 1000);
    report["ms"] = static_cast<Json::Int>(stamp % 1000);
    report["plist"] = _plist;
    if (_request)
        report["req_plist"] = _device.state.request_list();
    send("#param_p " + one_line(report));
    ++_device.reports;
    _device.last_report_at = _now;
    ++(_request ? m_stats.requests : m_stats.reports);
}

void device_sim::run_timers(double _now) {
    vyr::libs::core::mutex_lock lock(m_mutex);
    if (!m_announced)
        return;
    for (auto& d : m_devices) {
        if (d->start_at <= _now)
            start_device(*d, _now);
        if (d->next_heartbeat <= _now) {
            send_announcement(*d, "HB");
            d->next_heartbeat = _now + m_options.heartbeat;
        }
        if (d->next_report <= _now) {
            send_report(*d, d->state.full_report(), false, _now);
            d->next_report += 1.0 / m_options.report_rate;
            if (d->next_report <= _now)
                d->next_report = _now + 1.0 / m_options.report_rate;
        }
        if (d->next_em_alm <= _now) {
            Json::Value plist(Json::objectValue);
            plist["em_alm"] = d->state.value("em_alm");
            send_report(*d, plist, false, _now);
            d->next_em_alm = std::max(d->next_em_alm + d->em_alm_period, _now);
        }
    }
}

void device_sim::flush_injected() {
    vyr::libs::core::mutex_lock lock(m_mutex);
    while (!m_injected_frames.empty()) {
        send(m_injected_frames.front());
        m_injected_frames.pop_front();
    }
    const double now = elapsed();
    while (!m_injected_actions.empty()) {
        auto [mac, action] = m_injected_actions.front();
        m_injected_actions.pop_front();
        sim_device& d = *m_by_mac.at(mac);
        if (action == "restart")
            start_device(d, now);
        else
            send_announcement(d, "HB");
    }
}

void device_sim::write_stats(double _now) {
    if (m_options.stats_file.empty())
        return;
    sim_stats s;
    {
        vyr::libs::core::mutex_lock lock(m_mutex);
        s = m_stats;
    }
    s.elapsed = _now;
    const std::string temp = m_options.stats_file + ".tmp";
    {
        std::ofstream out(temp, std::ios::trunc);
        out << one_line(s.to_json()) << "\n";
        if (!out)
            return;
    }
    std::rename(temp.c_str(), m_options.stats_file.c_str());
}

// Worker thread only.
void device_sim::send(const std::string& _frame) {
    // A PUB socket never blocks: past the high-water mark a frame is lost, as on a real
    // proxy.
    (void)m_publish->send(zmq::buffer(_frame), zmq::send_flags::dontwait);
}

}  // namespace vyr::devsim
