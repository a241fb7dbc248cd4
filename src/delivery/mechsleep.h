// The sleep mechanism: the worker that turns a server order to put the anchors of a
// project, location or sublocation to sleep into sleep commands, repeated every 5 s (at
// most 10 times until a reset) until each anchor confirms or the order's wait period
// runs out. Its table of orders lives in memory and belongs to the mechanism's own
// thread; other threads reach it only through commands on "inproc://mech_sleep".
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "delivery/mechanism.h"
#include "platform/vyrserver.h"

class c_mech_sleep : public c_mechanism {
public:
    using clock_function = std::function<timeval()>;

    // Receive time-out of the pipe while orders are pending: a pass runs about ten
    // times a second.
    static constexpr int s_pending_timeout_ms = 100;
    // Pacing of one anchor: one command per s_resend_seconds, s_max_sendings in a row.
    static constexpr std::int64_t s_resend_seconds = 5;
    static constexpr std::uint32_t s_max_sendings = 10;

    c_mech_sleep(std::shared_ptr<zmq::context_t> _zmq_context, std::shared_ptr<vyr::vyrserver::c_vyrserver> _server,
                 std::shared_ptr<c_sender> _sender, const std::string& _redis_address, int _redis_port,
                 vyr::libs::core::component_logger& _logger);
    ~c_mech_sleep() override;

    // One command (or the pipe's time-out), then one pass over the orders.
    bool thread_pass() override;
    // Receives and handles one command (waiting at most the pipe's receive time-out);
    // false means stop. A failing platform request throws and drops the order.
    bool process_pipe_output_socket();

    // Replaces the wall clock (gettimeofday). Call before start(): the clock is read on
    // the mechanism's thread without a lock.
    void set_clock(clock_function _clock) { m_clock = std::move(_clock); }

protected:
    // One pass over the table: removes the orders whose wait period has run out and
    // sends at most one sleep command. When the table is left empty the pipe waits
    // without a time-out again.
    void process_sleep_orders();

    timeval now() const { return m_clock(); }

    // Constant once the thread runs.
    clock_function m_clock;

    // Mechanism thread only: anchor key (uid) → its pending order, in key order.
    std::map<std::string, vyr::vyrserver::anchor_sleep_t> m_anchors;

private:
    void on_node_announce(const void* _data, std::size_t _size);
    void on_node_heartbeat(const void* _data, std::size_t _size);
    void on_put_to_sleep(const void* _data, std::size_t _size);
    void on_node_notified(const void* _data, std::size_t _size);
};
