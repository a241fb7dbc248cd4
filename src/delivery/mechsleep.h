// The sleep mechanism: the worker that turns a server order to put the anchors of a
// project, location or sublocation to sleep into sleep commands, repeated every 5 s (at
// most 10 times until a reset) until each anchor confirms or the order's wait period
// runs out. Its table of orders lives in memory and belongs to the mechanism's own
// thread; other threads reach it only through commands on "inproc://mech_sleep". The
// table's times come from the monotonic clock: setting the wall clock changes nothing.
// The orders of listed anchors are also kept in Redis ("sleep_orders": per anchor uid its
// MAC, whether it confirmed, its sleep time and the wall-clock end of its wait), written
// after each pass that changed them, so that an instance taking over as the active one
// goes on with them for the anchors that have not confirmed yet.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "delivery/mechanism.h"
#include "platform/vyrserver.h"
#include "runtime/mailboxes.h"

class c_mech_sleep : public c_mechanism {
public:
    using clock_function = std::function<timeval()>;

    // Receive time-out of the pipe while orders are pending: a pass runs about ten
    // times a second.
    static constexpr int s_pending_timeout_ms = 100;
    // Pacing of one anchor: one command per s_resend_seconds, s_max_sendings in a row.
    // An order whose anchors could not be listed is asked for again at the same pace.
    static constexpr std::int64_t s_resend_seconds = 5;
    static constexpr std::uint32_t s_max_sendings = 10;
    // The largest wait the node command carries: a longer wait is sent once it fits.
    static constexpr std::uint32_t s_max_command_wait = 0xFFFF;

    c_mech_sleep(std::shared_ptr<zmq::context_t> _zmq_context, std::shared_ptr<vyr::vyrserver::c_vyrserver> _server,
                 std::shared_ptr<c_sender> _sender, const std::string& _redis_address, int _redis_port,
                 vyr::libs::core::component_logger& _logger);
    ~c_mech_sleep() override;

    // One command (or the pipe's time-out), then one pass over the orders.
    bool thread_pass() override;
    // The base initialisation, the orders kept in Redis, then the pipe's first receive
    // time-out.
    bool thread_init() override;
    // Receives and handles one command (waiting at most the pipe's receive time-out);
    // false means stop. An order whose anchors cannot be listed is kept and asked for
    // again while its wait lasts.
    bool process_pipe_output_socket();

    // Replaces the monotonic clock. Call before start(): the clock is read on the
    // mechanism's thread without a lock.
    void set_clock(clock_function _clock) { m_clock = std::move(_clock); }

protected:
    // An order whose anchors are not listed yet.
    struct unlisted_order {
        std::string project_uid, loc_uid, sl_uid;
        std::uint32_t delay = 0;
        std::uint32_t sleep_time = 0;
        timeval received{};
        timeval last_attempt{};
    };

    // One pass: asks again for the anchors of unlisted orders that are due, removes the
    // orders whose wait period has run out and sends a sleep command to every anchor
    // that is due. When nothing is left pending the pipe waits the idle wait again.
    void process_sleep_orders();

    timeval now() const { return m_clock(); }

    // Constant once the thread runs.
    clock_function m_clock;

    // Mechanism thread only: anchor key (uid) → its pending order, in key order.
    std::map<std::string, vyr::vyrserver::anchor_sleep_t> m_anchors;
    // Mechanism thread only: orders whose anchor list the platform did not give yet.
    std::vector<unlisted_order> m_unlisted;

private:
    // The messages of the mailbox (vyr::mail::mech_sleep), by anchor uid or device MAC.
    void on_node_announce(const std::string& _uid);
    void on_node_heartbeat(const std::string& _uid);
    void on_put_to_sleep(const vyr::mail::sleep_order& _order);
    void on_node_notified(const std::string& _mac);
    // Asks the platform for the anchors of `_order` and enters them; false when the
    // request failed (logged), true when it was answered, also with no anchor.
    bool list_anchors(unlisted_order& _order, const timeval& _now);
    void retry_unlisted(const timeval& _now);
    void update_receive_timeout();
    // The table of listed anchors into "sleep_orders" (one transaction), when it changed
    // since the last write; a failure is logged and the write tried again after the next
    // pass.
    void save_orders();
    // The orders "sleep_orders" holds whose wait has not run out, into the table; their
    // commands are due at once. A failure is logged.
    void load_orders();

    // Mechanism thread only: the table changed since "sleep_orders" was written.
    bool m_orders_changed = false;
};
