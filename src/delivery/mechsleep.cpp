#include "delivery/mechsleep.h"

#include <time.h>

#include <algorithm>
#include <cstdio>

#include "common/helpers.h"
#include "context/context.h"
#include "core/exception.h"
#include "delivery/sender.h"
#include "redis/lease.h"
#include "redis/transaction.h"
#include "runtime/mailboxes.h"

namespace {

// The table's clock: monotonic, so setting the wall clock neither ends nor holds back
// an order.
timeval monotonic_clock() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return timeval{now.tv_sec, static_cast<suseconds_t>(now.tv_nsec / 1000)};
}

// Whole seconds from `_then` to `_now`: the seconds' difference, one less when the
// microseconds of `_now` are below those of `_then`; never below zero (an injected clock
// may step back).
std::int64_t whole_seconds_between(const timeval& _then, const timeval& _now) {
    std::int64_t seconds = static_cast<std::int64_t>(_now.tv_sec) - static_cast<std::int64_t>(_then.tv_sec);
    if (_now.tv_usec < _then.tv_usec)
        --seconds;
    return seconds < 0 ? 0 : seconds;
}

// Whether the anchor or the request last served at `_last` is due again: never served
// since the last reset, s_resend_seconds passed, or a time ahead of the clock's.
bool resend_due(const timeval& _last, const timeval& _now) {
    return !timerisset(&_last) || timercmp(&_last, &_now, >) ||
           whole_seconds_between(_last, _now) >= c_mech_sleep::s_resend_seconds;
}

}  // namespace

c_mech_sleep::c_mech_sleep(std::shared_ptr<zmq::context_t> _zmq_context,
                           std::shared_ptr<vyr::vyrserver::c_vyrserver> _server, std::shared_ptr<c_sender> _sender,
                           const std::string& _redis_address, int _redis_port,
                           vyr::libs::core::component_logger& _logger)
    : c_mechanism("sleep mechanism", vyr::mail::mech_sleep::endpoint, std::move(_zmq_context), std::move(_server),
                  std::move(_sender), _redis_address, _redis_port, _logger),
      m_clock(monotonic_clock) {}

c_mech_sleep::~c_mech_sleep() { thread_stop(); }

bool c_mech_sleep::thread_init() {
    if (!c_mechanism::thread_init())
        return false;
    load_orders();
    update_receive_timeout();
    return true;
}

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

    using namespace vyr::mail;
    bool go_on = true;
    std::visit(overloaded{[&](const stop&) { go_on = false; },
                          [this](const anchor_announced& _node) { on_node_announce(_node.uid); },
                          [this](const anchor_alive& _node) { on_node_heartbeat(_node.uid); },
                          [this](const sleep_order& _order) { on_put_to_sleep(_order); },
                          [this](const sleep_confirmed& _confirmed) { on_node_notified(_confirmed.mac); },
                          [this](const malformed& _bad) {
                              m_logger.debug("sleep mechanism: malformed command (code %1%, %2% bytes) ignored") %
                                  static_cast<unsigned>(_bad.code.value_or(0)) % _bad.size;
                          }},
               mech_sleep::read(message));
    return go_on;
}

// The anchor announced itself anew: whatever it confirmed before, send its command again.
void c_mech_sleep::on_node_announce(const std::string& _uid) {
    const auto found = m_anchors.find(_uid);
    if (found == m_anchors.end())
        return;
    found->second.m_sending_time = timeval{};
    found->second.m_sending_counter = 0;
    found->second.m_delivered = false;
    m_orders_changed = true;
}

// The anchor is alive: it may receive another series of commands.
void c_mech_sleep::on_node_heartbeat(const std::string& _uid) {
    const auto found = m_anchors.find(_uid);
    if (found != m_anchors.end())
        found->second.m_sending_counter = 0;
}

void c_mech_sleep::on_put_to_sleep(const vyr::mail::sleep_order& _command) {
    unlisted_order order;
    order.project_uid = _command.project_uid;
    order.loc_uid = _command.loc_uid;
    order.sl_uid = _command.sl_uid;
    order.delay = _command.delay;
    order.sleep_time = _command.sleep_time;
    order.received = now();
    // A repeated order replaces the one still waiting for its anchors.
    m_unlisted.erase(std::remove_if(m_unlisted.begin(), m_unlisted.end(),
                                    [&](const unlisted_order& _other) {
                                        return _other.project_uid == order.project_uid &&
                                               _other.loc_uid == order.loc_uid && _other.sl_uid == order.sl_uid;
                                    }),
                     m_unlisted.end());
    if (list_anchors(order, order.received))
        return;
    m_logger.warning("sleep order for project '%1%' location '%2%' sublocation '%3%': the anchors are asked for "
                     "again every %4% s while its wait of %5% s lasts") %
        order.project_uid % order.loc_uid % order.sl_uid % s_resend_seconds % order.delay;
    m_unlisted.push_back(std::move(order));
    update_receive_timeout();
}

bool c_mech_sleep::list_anchors(unlisted_order& _order, const timeval& _now) {
    if (!m_server)
        VYR_THROW("sleep mechanism: no platform server client to list the anchors");
    const bool first_attempt = !timerisset(&_order.last_attempt);
    _order.last_attempt = _now;
    // The getter keeps the fields of entries it already holds, so it gets a fresh map: a
    // new order restarts the anchors it names from scratch.
    std::map<std::string, vyr::vyrserver::anchor_sleep_t> anchors;
    try {
        m_server->get_anchors(anchors, _order.project_uid, _order.loc_uid, _order.sl_uid);
    } catch (const std::exception& e) {
        if (first_attempt)
            m_logger.log_exception(VYR_HERE);
        else
            m_logger.debug("sleep order for project '%1%': anchors still not listed: %2%") % _order.project_uid %
                e.what();
        return false;
    }
    m_logger.debug("sleep order for project '%1%' location '%2%' sublocation '%3%': %4% anchors, delay %5% s, "
                   "sleep %6% s") %
        _order.project_uid % _order.loc_uid % _order.sl_uid % anchors.size() % _order.delay % _order.sleep_time;
    for (auto& [uid, anchor] : anchors) {
        anchor.m_sending_time = timeval{};
        anchor.m_sending_counter = 0;
        anchor.m_delivered = false;
        anchor.m_delay = _order.delay;
        anchor.m_sleep_time = _order.sleep_time;
        anchor.m_start_time = _order.received;
        m_anchors[uid] = std::move(anchor);
        m_orders_changed = true;
    }
    update_receive_timeout();
    return true;
}

void c_mech_sleep::retry_unlisted(const timeval& _now) {
    for (auto it = m_unlisted.begin(); it != m_unlisted.end();) {
        if (whole_seconds_between(it->received, _now) >= it->delay) {
            m_logger.warning("sleep order for project '%1%' location '%2%' sublocation '%3%' dropped: its anchors "
                             "were not listed within its wait of %4% s") %
                it->project_uid % it->loc_uid % it->sl_uid % it->delay;
            it = m_unlisted.erase(it);
        } else if (resend_due(it->last_attempt, _now) && list_anchors(*it, _now)) {
            it = m_unlisted.erase(it);
        } else {
            ++it;
        }
    }
}

void c_mech_sleep::update_receive_timeout() {
    const bool pending = !m_anchors.empty() || !m_unlisted.empty();
    m_pipe_out->set(zmq::sockopt::rcvtimeo,
                    pending ? s_pending_timeout_ms : static_cast<int>(vyr::worker_thread::s_idle_wait.count()));
}

// The device confirmed its sleep command with a hardware report.
void c_mech_sleep::on_node_notified(const std::string& _mac) {
    for (auto& [uid, anchor] : m_anchors) {
        if (anchor.m_mac_address == _mac) {
            anchor.m_sending_counter = 0;
            anchor.m_delivered = true;
            m_orders_changed = true;
            m_logger.debug("sleep command confirmed by anchor %1% (%2%)") % uid % vyr::libs::core::device_mac{_mac};
            break;
        }
    }
}

void c_mech_sleep::process_sleep_orders() {
    const timeval current = now();
    retry_unlisted(current);
    for (auto it = m_anchors.begin(); it != m_anchors.end();) {
        auto& anchor = it->second;
        const std::int64_t elapsed = whole_seconds_between(anchor.m_start_time, current);
        if (anchor.m_delay <= elapsed) {
            m_logger.debug("sleep order of anchor %1% ended (%2% s)") % it->first % anchor.m_delay;
            it = m_anchors.erase(it);
            m_orders_changed = true;
            continue;
        }
        const auto wait = static_cast<std::uint32_t>(anchor.m_delay - elapsed);
        // Every anchor that is due gets its command in this pass, so that a large order
        // reaches each anchor within one resend period.
        if (!anchor.m_delivered && anchor.m_sending_counter < s_max_sendings && wait <= s_max_command_wait &&
            resend_due(anchor.m_sending_time, current)) {
            if (!m_sender)
                VYR_THROW("sleep mechanism: no sender");
            // Only a queued command counts as a sending; the next pass tries again.
            if (m_sender->sleep_cmd_to_node(anchor.m_mac_address, static_cast<std::uint16_t>(wait),
                                            anchor.m_sleep_time)) {
                anchor.m_sending_time = current;
                ++anchor.m_sending_counter;
            }
        }
        ++it;
    }
    save_orders();
    update_receive_timeout();
}

void c_mech_sleep::save_orders() {
    if (!m_orders_changed || !m_context)
        return;
    const timeval current = now();
    const std::int64_t wall_ms = now_ms();
    vyr::redis::transaction write(m_context->redis_context());
    write.add("DEL", vyr::redis::lease::s_sleep_orders_key);
    for (const auto& [uid, anchor] : m_anchors) {
        const std::int64_t left = anchor.m_delay - whole_seconds_between(anchor.m_start_time, current);
        write.add("HSET", vyr::redis::lease::s_sleep_orders_key, uid,
                  anchor.m_mac_address + " " + (anchor.m_delivered ? "1" : "0") + " " +
                      std::to_string(anchor.m_sleep_time) + " " + std::to_string(wall_ms + left * 1000));
    }
    try {
        write.exec();
        m_orders_changed = false;
    } catch (const std::exception&) {
        m_logger.log_exception(VYR_HERE);
    }
}

void c_mech_sleep::load_orders() {
    std::vector<std::string> fields;
    try {
        const auto reply = m_context->redis_context().command("HGETALL", vyr::redis::lease::s_sleep_orders_key);
        reply.as_array().for_each_element([&](const vyr::redis::reply_element& _element) {
            fields.push_back(_element.to_string());
            return true;
        });
    } catch (const std::exception&) {
        m_logger.log_exception(VYR_HERE);
        return;
    }
    const timeval current = now();
    const std::int64_t wall_ms = now_ms();
    for (std::size_t i = 0; i + 1 < fields.size(); i += 2) {
        vyr::vyrserver::anchor_sleep_t anchor;
        int delivered = 0;
        long long end_ms = 0;
        char mac[64] = {};
        if (std::sscanf(fields[i + 1].c_str(), "%63s %d %u %lld", mac, &delivered, &anchor.m_sleep_time, &end_ms) != 4 ||
            end_ms <= wall_ms)
            continue;
        anchor.m_mac_address = mac;
        anchor.m_delivered = delivered != 0;
        anchor.m_delay = static_cast<std::uint32_t>((end_ms - wall_ms + 500) / 1000);
        anchor.m_start_time = current;
        m_anchors[fields[i]] = std::move(anchor);
    }
    if (!m_anchors.empty())
        m_logger.info("sleep orders of %1% anchors taken up from Redis") % m_anchors.size();
}
