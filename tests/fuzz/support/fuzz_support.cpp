#include "support/fuzz_support.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "context/context.h"
#include "input/receiver.h"
#include "platform/updater.h"
#include "platform/vyrserver.h"
#include "platform_server.h"
#include "redis/connection.h"
#include "redis/database.h"
#include "support/redis_server.h"

namespace fuzz {

void fail(const char* _condition, const char* _file, int _line, const std::string& _detail) {
    std::fprintf(stderr, "\n==fuzz== check failed at %s:%d: %s\n==fuzz== %s\n", _file, _line, _condition,
                 _detail.c_str());
    std::fflush(stderr);
    std::abort();
}

vyr::libs::core::logger& logger() {
    // Never destroyed: workers of the harnesses may log until the process ends.
    static auto* instance = [] {
        auto* made = new vyr::libs::core::logger("rtls-quorvane-fuzz", "fuzz");
        made->set_debug(false);
        return made;
    }();
    return *instance;
}

std::vector<std::string> frames(const std::uint8_t* _data, std::size_t _size, std::size_t _max_frames) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at < _size && out.size() < _max_frames) {
        const std::size_t length = _data[at++];
        const std::size_t taken = std::min(length, _size - at);
        out.emplace_back(reinterpret_cast<const char*>(_data + at), taken);
        at += taken;
    }
    return out;
}

std::string printable(const std::string& _bytes) {
    std::string out;
    for (const unsigned char c : _bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        }
    }
    return out;
}

// ---- platform ---------------------------------------------------------------------------

platform::platform(const std::string& _project_dir) : m_project_dir(_project_dir) {
    vyr::tools::platform_server_options options;
    options.project_dir = _project_dir;
    options.quiet = true;
    m_server = std::make_unique<vyr::tools::platform_server>(options);
    m_port = m_server->bind();
    m_thread = std::thread([this] { m_server->run(); });
}

platform::~platform() {
    m_server->stop();
    if (m_thread.joinable())
        m_thread.join();
}

std::shared_ptr<vyr::vyrserver::c_vyrserver> platform::client() const {
    return std::make_shared<vyr::vyrserver::c_vyrserver>("rtls-quorvane-fuzz", "http", "127.0.0.1", "", "",
                                                         static_cast<std::uint32_t>(m_port), logger());
}

std::string platform::sample_project() { return std::string(QUORVANE_SOURCE_DIR) + "/tools/platform-server/sample-project"; }

// ---- project_store ----------------------------------------------------------------------

namespace {

// Where the project as mirrored once is kept, to reset the service's database from.
constexpr int s_copy_database = 12;

// Copies every key of one database into another that was emptied first, inside the
// server: one round trip however many keys the project has.
const char* const s_copy_script = R"(
redis.call('SELECT', ARGV[2])
redis.call('FLUSHDB')
redis.call('SELECT', ARGV[1])
local keys = redis.call('KEYS', '*')
for i = 1, #keys do
  redis.call('COPY', keys[i], keys[i], 'DB', ARGV[2])
end
return #keys
)";

// What every project device reports once in the baseline: most parameters, several of
// them different from what the project requires, so the mechanisms have work to do.
std::string baseline_report(const std::string& _mac) {
    return R"({"mac": ")" + _mac + R"(", "ts": 100, "ms": 0, "plist": {
        "stationary": false, "category": "visitor", "scr_name": "old name", "scr_gname": "old group",
        "em_alm": {"state": "CLEAR"}, "nwk_cfg": {"router": false}, "veh_cert": {"id": 0}, "driver_lic": [],
        "t2t_cfg": {"role": "disabled"}, "t2t_no_alarm": [],
        "loc": {"x": 0, "y": 0, "z": 0, "sl_z": 0, "sl_id": 1}, "al_zv": {"level": 0}, "sf": {"addr": "1A"},
        "tdoa_schedule": [], "sync_slot": {"addr": "10", "slot": 3}, "scr_message": "hello"}})";
}

}  // namespace

project_store& project_store::instance() {
    // Never destroyed before exit: the redis-server goes with the static below.
    static project_store store;
    return store;
}

project_store::project_store() {
    m_server = std::make_unique<test::redis_server>();
    m_connection = std::make_unique<vyr::redis::connection>(m_server->host(), m_server->port(), vyr::redis::service_database);

    platform stand_in(platform::sample_project());
    auto client = stand_in.client();
    {
        vyr::updater updater(client, m_server->host(), m_server->port(), logger());
        updater.start();
        vyr::context::context mirror(vyr::redis::service_database, m_server->host(), m_server->port());
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!mirror.updated()) {
            if (std::chrono::steady_clock::now() > deadline)
                throw std::runtime_error("fuzz: the updater did not mirror the sample project within 60 s");
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        updater.stop();
    }
    for (const auto& [uid, anchor] : client->get_anchors("", ""))
        m_macs.insert(anchor.mac_address);
    for (const auto& [uid, object] : client->get_track_objs("", ""))
        m_macs.insert(object.mac_address);
    m_macs.erase("");
    build_devices();
    copy_database(static_cast<int>(vyr::redis::service_database), s_copy_database);
}

void project_store::build_devices() {
    auto zmq_context = std::make_shared<zmq::context_t>(1);
    {
        c_receiver receiver(zmq_context, "inproc://fuzz-baseline-proxy", nullptr, m_server->host(), m_server->port(),
                            logger());
        receiver.open();
        for (const auto& mac : m_macs) {
            receiver.process_notify(R"({"object": "TO", "action": "NA", "mac": ")" + mac + "\"}");
            receiver.process_param_p(baseline_report(mac));
        }
    }
    vyr::context::context mirror(vyr::redis::service_database, m_server->host(), m_server->port());
    mirror.updated(true);
    zmq_context->close();
}

void project_store::copy_database(int _from, int _to) {
    (void)m_connection->command("EVAL", s_copy_script, "0", std::to_string(_from), std::to_string(_to));
}

const std::string& project_store::host() const { return m_server->host(); }
int project_store::port() const { return m_server->port(); }

void project_store::reset() { copy_database(s_copy_database, static_cast<int>(vyr::redis::service_database)); }

// ---- gateway ----------------------------------------------------------------------------

namespace {

bool is_upper_hex(const std::string& _text) {
    return std::all_of(_text.begin(), _text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

// Payload values are upper case too, but a TDOA partner's address text keeps its case.
bool is_hex(const std::string& _text) {
    return std::all_of(_text.begin(), _text.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
}

std::size_t hex_value(const std::string& _text) { return std::stoul(_text, nullptr, 16); }

}  // namespace

void check_node_command(const std::string& _frame, const std::set<std::string>& _macs) {
    const std::string detail = "node command \"" + printable(_frame) + "\"";
    FUZZ_CHECK(_frame.compare(0, 5, "#win ") == 0, detail);
    const std::string command = _frame.substr(5);
    FUZZ_CHECK(command.size() >= 10 && command.compare(0, 4, "080E") == 0, detail);
    FUZZ_CHECK(is_upper_hex(command.substr(4, 6)), detail);
    const std::size_t length = hex_value(command.substr(6, 4));
    FUZZ_CHECK(command.size() >= 10 + 2 * length, detail + ": shorter than its length field");
    const std::string body = command.substr(10, 2 * length);
    FUZZ_CHECK(is_hex(body), detail + ": body is not hexadecimal");
    FUZZ_CHECK(body.compare(0, 4, "000E") == 0 || body.compare(0, 4, "000F") == 0, detail);
    std::size_t at = 4;
    while (at < body.size()) {
        FUZZ_CHECK(at + 4 <= body.size(), detail + ": payload head cut off");
        const std::size_t value_length = hex_value(body.substr(at + 2, 2));
        at += 4;
        FUZZ_CHECK(at + 2 * value_length <= body.size(), detail + ": payload longer than the body");
        at += 2 * value_length;
    }
    const std::string mac = command.substr(10 + 2 * length);
    FUZZ_CHECK(_macs.count(mac) == 1, detail + ": MAC \"" + printable(mac) + "\" is none of the addressed devices");
}

gateway::gateway(zmq::context_t& _context, const std::string& _endpoint)
    : m_socket(_context, zmq::socket_type::pull) {
    m_socket.set(zmq::sockopt::linger, 0);
    m_socket.bind(_endpoint);
}

std::size_t gateway::check(const std::set<std::string>& _macs) {
    std::size_t count = 0;
    for (;;) {
        zmq::message_t frame;
        if (!m_socket.recv(frame, zmq::recv_flags::dontwait))
            return count;
        check_node_command(frame.to_string(), _macs);
        ++count;
    }
}

}  // namespace fuzz
