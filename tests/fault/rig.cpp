#include "fault/rig.h"

#include <filesystem>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>
#include <json/json.h>

#include "core/json.h"
#include "support/platform_server.h"

namespace fault {

namespace {

std::string tcp(int _port) { return "tcp://127.0.0.1:" + std::to_string(_port); }

// "#win 080E" + sequence + length + command code + payloads + MAC.
bool is_answer_to(const std::string& _frame, const std::string& _mac) {
    return _frame.compare(0, 9, "#win 080E") == 0 && _frame.size() > 5 + 14 + 16 &&
           _frame.compare(5 + 10, 4, "000F") == 0 && _frame.compare(_frame.size() - 16, 16, _mac) == 0;
}

}  // namespace

rig::rig() : m_platform_port(test::free_port()), m_output_port(test::free_port()), m_input_port(test::free_port()) {
    std::filesystem::copy(test::platform_server::sample_project(), m_files.file("project"),
                          std::filesystem::copy_options::recursive);
    bind_proxy();
    write_config();
}

rig::~rig() {
    if (m_service && m_service->signal(SIGTERM))
        m_service->wait(std::chrono::seconds(20));
    stop_platform();
}

void rig::write_config() {
    test::write_service_config(m_files, {m_log.endpoint(), m_output_port, m_input_port, m_platform_port, m_redis.port()});
}

// ---- the platform stand-in ----------------------------------------------------------------

void rig::start_platform() {
    const std::string program = test::binary("quorvane-platform-server");
    if (!test::file_exists(program))
        throw std::runtime_error(program + " is not built");
    // The port of the stand-in that ran before may take a moment to be free again.
    for (int attempt = 0; attempt < 50; ++attempt) {
        test::process::options options;
        options.stdout_path = m_files.file("platform.out");
        options.stderr_path = m_files.file("platform.err");
        m_platform = std::make_unique<test::process>(
            program,
            std::vector<std::string>{"--port", std::to_string(m_platform_port), "--project", m_files.file("project"),
                                     "--quiet"},
            options);
        if (test::wait_until([&] {
                return test::read_file(options.stdout_path).find('\n') != std::string::npos || !m_platform->running();
            }) &&
            m_platform->running())
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    throw std::runtime_error("the platform stand-in did not start on its port: " +
                             test::read_file(m_files.file("platform.err")));
}

void rig::stop_platform() {
    if (m_platform && m_platform->signal(SIGTERM))
        m_platform->wait(std::chrono::seconds(10));
    m_platform.reset();
}

void rig::write_project_file(const std::string& _file, const std::string& _content) const {
    test::write_file(m_files.file("project") + "/" + _file, _content);
}

// ---- the service --------------------------------------------------------------------------

void rig::start_service() {
    const std::string program = test::binary("rtls-quorvane");
    if (!test::file_exists(program))
        throw std::runtime_error(program + " is not built");
    test::process::options options;
    options.stderr_path = m_files.file("stderr.txt");
    m_service = std::make_unique<test::process>(program, std::vector<std::string>{"-c", m_files.file("config.json")},
                                                options);
    if (!wait_subscribed(std::chrono::seconds(30)))
        throw std::runtime_error("the service never subscribed to the proxy: " + service_stderr());
}

std::pair<std::optional<long>, std::optional<test::exit_status>> rig::terminate(std::chrono::milliseconds _bound) {
    if (!m_service)
        return {};
    m_service->signal(SIGTERM);
    const auto stop_ms = test::stop_milliseconds(m_log, _bound);
    return {stop_ms, m_service->wait(_bound)};
}

// ---- the proxy ----------------------------------------------------------------------------

void rig::bind_proxy() {
    m_output = std::make_unique<zmq::socket_t>(m_zmq, zmq::socket_type::xpub);
    m_output->set(zmq::sockopt::linger, 0);
    m_output->set(zmq::sockopt::rcvtimeo, 100);
    m_output->set(zmq::sockopt::sndhwm, 100000);
    m_gateway = std::make_unique<zmq::socket_t>(m_zmq, zmq::socket_type::pull);
    m_gateway->set(zmq::sockopt::linger, 0);
    // The old listeners are closed by ZeroMQ's I/O thread a moment after close().
    for (auto* socket : {m_output.get(), m_gateway.get()}) {
        const int port = socket == m_output.get() ? m_output_port : m_input_port;
        for (int attempt = 0;; ++attempt) {
            try {
                socket->bind(tcp(port));
                break;
            } catch (const zmq::error_t& e) {
                if (e.num() != EADDRINUSE || attempt >= 100)
                    throw;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
    }
}

void rig::restart_proxy() {
    m_output.reset();
    m_gateway.reset();
    bind_proxy();
}

bool rig::wait_subscribed(std::chrono::milliseconds _bound) {
    const auto deadline = std::chrono::steady_clock::now() + _bound;
    while (std::chrono::steady_clock::now() < deadline) {
        zmq::message_t subscription;
        if (m_output->recv(subscription) && subscription.to_string() == "\x01#param_p")
            return true;
    }
    return false;
}

void rig::publish(const std::string& _frame) {
    if (!m_output->send(zmq::buffer(_frame), zmq::send_flags::none))
        ADD_FAILURE() << "the proxy output did not take a frame";
}

void rig::report(const std::string& _mac, const std::string& _plist, const std::string& _req_plist) {
    std::string body = R"({"mac":")" + _mac + R"(","ts":)" + std::to_string(++m_ts) + R"(,"ms":0)";
    if (!_plist.empty())
        body += R"(,"plist":)" + _plist;
    if (!_req_plist.empty())
        body += R"(,"req_plist":)" + _req_plist;
    publish("#param_p" + body + "}");
}

std::optional<std::string> rig::next_command(std::chrono::milliseconds _bound) { return test::receive(*m_gateway, _bound); }

bool rig::answered(const std::string& _mac, const std::string& _parameter, const std::string& _expected,
                   std::chrono::seconds _bound) {
    const auto deadline = std::chrono::steady_clock::now() + _bound;
    while (std::chrono::steady_clock::now() < deadline) {
        report(_mac, "", "[\"" + _parameter + "\"]");
        const auto round_end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        for (auto now = std::chrono::steady_clock::now(); now < round_end; now = std::chrono::steady_clock::now()) {
            const auto frame =
                next_command(std::chrono::duration_cast<std::chrono::milliseconds>(round_end - now));
            if (frame && is_answer_to(*frame, _mac) && frame->find(_expected) != std::string::npos)
                return true;
        }
    }
    return false;
}

bool rig::report_recorded(const std::string& _mac, const std::string& _value, std::chrono::seconds _bound) {
    const auto deadline = std::chrono::steady_clock::now() + _bound;
    while (std::chrono::steady_clock::now() < deadline) {
        report(_mac, R"({"scr_name":")" + _value + R"("})");
        if (test::wait_until([&] { return recorded_scr_name(_mac) == _value; }, std::chrono::seconds(2)))
            return true;
    }
    return false;
}

// ---- Redis and the log --------------------------------------------------------------------

std::string rig::redis_command(const std::vector<std::string>& _argv) const {
    try {
        return m_redis.command(_argv);
    } catch (const std::exception&) {
        return "(error)";
    }
}

std::string rig::recorded_scr_name(const std::string& _mac) const {
    const std::string value = redis_command({"HGET", "wins:" + _mac + ":parameters:scr_name", "actual"});
    const auto parsed = vyr::libs::core::json::try_parse(value);
    return parsed.ok && parsed.result.isString() ? parsed.result.asString() : std::string();
}

bool rig::logged(const std::string& _text, std::chrono::milliseconds _bound) {
    const auto deadline = std::chrono::steady_clock::now() + _bound;
    for (auto now = std::chrono::steady_clock::now(); now < deadline; now = std::chrono::steady_clock::now()) {
        const auto frame = m_log.receive(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now));
        if (frame && frame->find(_text) != std::string::npos)
            return true;
    }
    return false;
}

}  // namespace fault
