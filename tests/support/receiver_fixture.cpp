#include "support/receiver_fixture.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>

#include "platform/updater.h"
#include "platform/vyrserver.h"
#include "redis/database.h"
#include "runtime/inproc_commands.h"
#include "runtime/mailboxes.h"
#include "support/checks.h"

namespace test {

namespace {

// Bound for every wait of the fixture; reached only when the receiver is broken.
constexpr auto s_patience = std::chrono::seconds(20);

// The MAC field that every command with a MAC carries at offset 1.
std::string mac_field(const std::string& _frame) {
    cmd_node_notified_t head{};
    if (!vyr::cmd::read_command(_frame.data(), _frame.size(), head))
        return {};
    return vyr::cmd::field_text(head.mac);
}

// The frames on `_socket` before the command addressed to `_mac`; fails the test if that
// one never comes.
std::vector<std::string> frames_before(zmq::socket_t& _socket, const std::string& _mac, const char* _channel) {
    std::vector<std::string> frames;
    const auto deadline = std::chrono::steady_clock::now() + s_patience;
    while (std::chrono::steady_clock::now() < deadline) {
        auto frame = receive(_socket, std::chrono::milliseconds(100));
        if (!frame)
            continue;
        if (frame->size() >= 18 && mac_field(*frame) == _mac)
            return frames;
        frames.push_back(std::move(*frame));
    }
    ADD_FAILURE() << "the sentinel command did not arrive on " << _channel;
    return frames;
}

// A parameter request with an empty list: no Redis effect, one command 7 for `_mac`.
std::string param_sentinel(const std::string& _mac) {
    return "#param_p{\"mac\":\"" + _mac + "\",\"ts\":0,\"ms\":0,\"req_plist\":[]}";
}

// A hardware report with one sleep confirmation: one command 8 for `_mac`.
std::string sleep_sentinel(const std::string& _mac) { return "#hw_report010E00" "0000" "000E" "47" + _mac; }

}  // namespace

void receiver_fixture::SetUpTestSuite() { s_server = std::make_unique<test::redis_server>(); }

void receiver_fixture::TearDownTestSuite() { s_server.reset(); }

void receiver_fixture::SetUp() {
    s_server->flush();
    m_sink.connect(m_logger);
    m_store = std::make_unique<vyr::context::context>(vyr::redis::service_database, s_server->host(), s_server->port());

    m_zmq_context = std::make_shared<zmq::context_t>(1);
    m_proxy = std::make_unique<zmq::socket_t>(*m_zmq_context, zmq::socket_type::pub);
    m_proxy->set(zmq::sockopt::linger, 0);
    m_proxy->bind("tcp://127.0.0.1:*");
    const std::string endpoint = m_proxy->get(zmq::sockopt::last_endpoint);
    m_param_req = std::make_unique<zmq::socket_t>(*m_zmq_context, zmq::socket_type::pull);
    m_param_req->set(zmq::sockopt::linger, 0);
    m_param_req->bind(vyr::mail::mech_param_req::endpoint);
    m_sleep = std::make_unique<zmq::socket_t>(*m_zmq_context, zmq::socket_type::pull);
    m_sleep->set(zmq::sockopt::linger, 0);
    m_sleep->bind(vyr::mail::mech_sleep::endpoint);

    // Without a platform nothing listens on its port and the updater is never started, so
    // the server is never asked; the handlers only record requests in it.
    m_server = m_platform_address.empty()
                   ? std::make_shared<vyr::vyrserver::c_vyrserver>("rtls-quorvane-test", "http", "127.0.0.1", "user",
                                                                   "password", test::free_port(), m_logger)
                   : std::make_shared<vyr::vyrserver::c_vyrserver>("rtls-quorvane-test", "http", m_platform_address,
                                                                   "", "", 0, m_logger, "", m_platform_timeouts);
    m_updater = std::make_shared<vyr::updater>(m_server, s_server->host(), s_server->port(), m_logger);
    if (!m_platform_address.empty())
        m_updater->start();
    m_receiver = std::make_unique<c_receiver>(m_zmq_context, endpoint, m_updater, s_server->host(), s_server->port(),
                                              m_logger);
    configure(*m_receiver);
    m_receiver->start();

    // A subscriber misses what is published before its subscription reaches the
    // publisher: probe until one request comes through, then drain the other probes.
    const std::string probe_mac = next_sentinel_mac();
    const auto deadline = std::chrono::steady_clock::now() + s_patience;
    bool up = false;
    while (!up && std::chrono::steady_clock::now() < deadline) {
        publish(param_sentinel(probe_mac));
        up = receive(*m_param_req, std::chrono::milliseconds(50)).has_value();
    }
    ASSERT_TRUE(up) << "the receiver never took a frame from " << endpoint;
    (void)sync();
    (void)log_messages();
}

void receiver_fixture::TearDown() {
    m_receiver.reset();  // stops and joins the thread, closes its sockets
    m_updater.reset();
    m_server.reset();
    m_store.reset();
    m_proxy.reset();
    m_param_req.reset();
    m_sleep.reset();
    m_zmq_context->close();
    m_zmq_context.reset();
}

void receiver_fixture::publish(const std::string& _frame) {
    (void)m_proxy->send(zmq::buffer(_frame), zmq::send_flags::none);
}

receiver_fixture::commands receiver_fixture::handle(const std::string& _frame) {
    publish(_frame);
    return sync();
}

receiver_fixture::commands receiver_fixture::sync() {
    const std::string mac = next_sentinel_mac();
    publish(param_sentinel(mac));
    publish(sleep_sentinel(mac));
    commands out;
    out.sleep = frames_before(*m_sleep, mac, "inproc://mech_sleep");
    // The request sentinel goes ahead of the commands of the frames before it.
    auto frames = frames_before(*m_param_req, mac, "inproc://mech_param_req");
    while (auto frame = receive(*m_param_req, std::chrono::milliseconds(0)))
        frames.push_back(std::move(*frame));
    for (auto& frame : frames) {
        const auto message = vyr::mail::mech_param_req::read(frame);
        if (const auto* changed = std::get_if<vyr::mail::devices_changed>(&message))
            out.marked.insert(out.marked.end(), changed->macs.begin(), changed->macs.end());
        else
            out.param_req.push_back(std::move(frame));
    }
    return out;
}

std::vector<std::string> receiver_fixture::log_messages() {
    std::vector<std::string> messages;
    for (const auto& frame : m_sink.frames_until_marker(m_logger))
        messages.push_back(test::frame_message(frame));
    return messages;
}

bool receiver_fixture::logged(const std::string& _text) { return test::contains(log_messages(), _text); }

std::string receiver_fixture::command_mac(const std::string& _frame) { return mac_field(_frame); }

std::vector<std::uint32_t> receiver_fixture::requested_numbers(const std::string& _frame) {
    std::vector<std::uint32_t> numbers;
    for (std::size_t offset = sizeof(cmd_param_req_from_node_t); offset + 4 <= _frame.size(); offset += 4) {
        std::uint32_t number = 0;
        std::memcpy(&number, _frame.data() + offset, 4);
        numbers.push_back(number);
    }
    return numbers;
}

std::string receiver_fixture::next_sentinel_mac() {
    char text[17];
    std::snprintf(text, sizeof text, "FFFFFFFF%08X", ++m_sentinel);
    return text;
}

}  // namespace test
