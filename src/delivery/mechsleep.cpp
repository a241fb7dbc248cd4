#include "delivery/mechsleep.h"

#include "core/exception.h"
#include "delivery/sender.h"
#include "runtime/inproc_commands.h"

namespace {

timeval wall_clock() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return now;
}

// Whole seconds from `_then` to `_now`: the seconds' difference, one less when the
// microseconds of `_now` are below those of `_then`. Signed, so a clock set back gives a
// negative count and no resend.
std::int64_t whole_seconds_between(const timeval& _then, const timeval& _now) {
    std::int64_t seconds = static_cast<std::int64_t>(_now.tv_sec) - static_cast<std::int64_t>(_then.tv_sec);
    if (_now.tv_usec < _then.tv_usec)
        --seconds;
    return seconds;
}

// Seconds since the order was received, modulo 65536: the wait period is 16 bits, so an
// order expires correctly across a wrap of the low 16 bits of the clock.
std::uint16_t elapsed_seconds(const timeval& _start, const timeval& _now) {
    return static_cast<std::uint16_t>(static_cast<std::uint64_t>(_now.tv_sec) -
                                      static_cast<std::uint64_t>(_start.tv_sec));
}

}  // namespace

c_mech_sleep::c_mech_sleep(std::shared_ptr<zmq::context_t> _zmq_context,
                           std::shared_ptr<vyr::vyrserver::c_vyrserver> _server, std::shared_ptr<c_sender> _sender,
                           const std::string& _redis_address, int _redis_port,
                           vyr::libs::core::component_logger& _logger)
    : c_mechanism("sleep mechanism", "inproc://mech_sleep", std::move(_zmq_context), std::move(_server),
                  std::move(_sender), _redis_address, _redis_port, _logger),
      m_clock(wall_clock) {}

c_mech_sleep::~c_mech_sleep() { thread_stop(); }

bool c_mech_sleep::thread_pass() {
    if (!process_pipe_output_socket())
        return false;
    process_sleep_orders();
    return true;
}

bool c_mech_sleep::process_pipe_output_socket() {
    zmq::message_t message;
    // An expired receive time-out (EAGAIN) gives no message: a pass is due.
    if (!m_pipe_out->recv(message, zmq::recv_flags::none) || message.size() == 0)
        return true;

    const void* data = message.data();
    const std::size_t size = message.size();
    switch (*static_cast<const std::uint8_t*>(data)) {
    case vyr::cmd::stop:
        return false;
    case vyr::cmd::node_new_announce:
        on_node_announce(data, size);
        break;
    case vyr::cmd::node_heartbeat:
        on_node_heartbeat(data, size);
        break;
    case vyr::cmd::request:
        on_put_to_sleep(data, size);
        break;
    case vyr::cmd::notified:
        on_node_notified(data, size);
        break;
    default:
        m_logger.debug("sleep mechanism: command %1% ignored") % static_cast<unsigned>(*static_cast<const std::uint8_t*>(data));
        break;
    }
    return true;
}

// The anchor announced itself anew: whatever it confirmed before, send its command again.
void c_mech_sleep::on_node_announce(const void* _data, std::size_t _size) {
    cmd_notify_from_node_t command{};
    if (!vyr::cmd::read_command(_data, _size, command)) {
        m_logger.debug("sleep mechanism: short node announcement (%1% bytes) ignored") % _size;
        return;
    }
    const auto found = m_anchors.find(vyr::cmd::field_text(command.uid));
    if (found == m_anchors.end())
        return;
    found->second.m_sending_time = timeval{};
    found->second.m_sending_counter = 0;
    found->second.m_delivered = false;
}

// The anchor is alive: it may receive another series of commands.
void c_mech_sleep::on_node_heartbeat(const void* _data, std::size_t _size) {
    cmd_notify_from_node_t command{};
    if (!vyr::cmd::read_command(_data, _size, command)) {
        m_logger.debug("sleep mechanism: short node heartbeat (%1% bytes) ignored") % _size;
        return;
    }
    const auto found = m_anchors.find(vyr::cmd::field_text(command.uid));
    if (found != m_anchors.end())
        found->second.m_sending_counter = 0;
}

void c_mech_sleep::on_put_to_sleep(const void* _data, std::size_t _size) {
    cmd_put_to_sleep_t command{};
    if (!vyr::cmd::read_command(_data, _size, command)) {
        m_logger.debug("sleep mechanism: short sleep order (%1% bytes) ignored") % _size;
        return;
    }
    if (!m_server)
        VYR_THROW("sleep mechanism: no platform server client to list the anchors");

    const std::string project_uid = vyr::cmd::field_text(command.project_uid);
    const std::string loc_uid = vyr::cmd::field_text(command.loc_uid);
    const std::string sl_uid = vyr::cmd::field_text(command.sl_uid);

    // The getter keeps the fields of entries it already holds, so it gets a fresh map: a
    // new order restarts the anchors it names from scratch.
    std::map<std::string, vyr::vyrserver::anchor_sleep_t> anchors;
    m_server->get_anchors(anchors, project_uid, loc_uid, sl_uid);
    m_logger.debug("sleep order for project '%1%' location '%2%' sublocation '%3%': %4% anchors, delay %5% s, "
                   "sleep %6% s") %
        project_uid % loc_uid % sl_uid % anchors.size() % command.delay % command.sleep_time;
    if (anchors.empty())
        return;

    const timeval received = now();
    for (auto& [uid, anchor] : anchors) {
        anchor.m_sending_time = timeval{};
        anchor.m_sending_counter = 0;
        anchor.m_delivered = false;
        anchor.m_delay = command.delay;
        anchor.m_sleep_time = command.sleep_time;
        anchor.m_start_time = received;
        m_anchors[uid] = std::move(anchor);
    }
    m_pipe_out->set(zmq::sockopt::rcvtimeo, s_pending_timeout_ms);
}

// The device confirmed its sleep command with a hardware report.
void c_mech_sleep::on_node_notified(const void* _data, std::size_t _size) {
    cmd_node_notified_t command{};
    if (!vyr::cmd::read_command(_data, _size, command)) {
        m_logger.debug("sleep mechanism: short hardware-report notice (%1% bytes) ignored") % _size;
        return;
    }
    const std::string mac = vyr::cmd::field_text(command.mac);
    for (auto& [uid, anchor] : m_anchors) {
        if (anchor.m_mac_address == mac) {
            anchor.m_sending_counter = 0;
            anchor.m_delivered = true;
            m_logger.debug("sleep command confirmed by anchor %1% (%2%)") % uid % mac;
            break;
        }
    }
}

void c_mech_sleep::process_sleep_orders() {
    const timeval current = now();
    for (auto it = m_anchors.begin(); it != m_anchors.end();) {
        auto& anchor = it->second;
        const std::uint16_t elapsed = elapsed_seconds(anchor.m_start_time, current);
        if (anchor.m_delay <= elapsed) {
            m_logger.debug("sleep order of anchor %1% ended (%2% s)") % it->first % anchor.m_delay;
            it = m_anchors.erase(it);
            continue;
        }
        if (!anchor.m_delivered && anchor.m_sending_counter < s_max_sendings &&
            whole_seconds_between(anchor.m_sending_time, current) >= s_resend_seconds) {
            if (!m_sender)
                VYR_THROW("sleep mechanism: no sender");
            anchor.m_sending_time = current;
            ++anchor.m_sending_counter;
            const auto wait = static_cast<std::uint16_t>(anchor.m_delay - elapsed);
            m_sender->sleep_cmd_to_node(anchor.m_mac_address, wait, anchor.m_sleep_time);
            break;  // at most one command per pass
        }
        ++it;
    }
    if (m_anchors.empty())
        m_pipe_out->set(zmq::sockopt::rcvtimeo, -1);
}
