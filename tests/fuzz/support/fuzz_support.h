// Shared parts of the fuzz targets: the quiet process logger, the checks that turn a broken
// promise into a crash libFuzzer records, the in-process platform server stand-in, the
// private redis-server holding the sample project's mirror (restored before every input,
// so an input's effect never depends on the inputs before it) and the stand-in gateway
// that checks every node command the sender puts out. A fuzz process makes each of them
// once and keeps it until exit; only the fuzzing thread uses them (the stand-in answers
// on its own worker threads).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>

#include "core/logger.h"

namespace test {
class redis_server;
}
namespace vyr::tools {
class platform_server;
}
namespace vyr::vyrserver {
class c_vyrserver;
}
namespace vyr::redis {
class connection;
}

namespace fuzz {

// Prints what was expected and aborts, so libFuzzer keeps the input as a crash.
[[noreturn]] void fail(const char* _condition, const char* _file, int _line, const std::string& _detail);

#define FUZZ_CHECK(condition, detail)                                   \
    do {                                                                \
        if (!(condition))                                               \
            ::fuzz::fail(#condition, __FILE__, __LINE__, (detail));     \
    } while (false)

// The logger of the fuzz process: syslog without debug records, no console.
vyr::libs::core::logger& logger();

// An input cut into frames: each frame is one length byte and that many bytes (a length
// past the end takes what is left). At most `_max_frames` frames.
std::vector<std::string> frames(const std::uint8_t* _data, std::size_t _size, std::size_t _max_frames);

// A printable rendering of a binary text for failure details.
std::string printable(const std::string& _bytes);

// The platform server stand-in serving a project folder on a free loopback port.
class platform {
public:
    explicit platform(const std::string& _project_dir);
    ~platform();
    platform(const platform&) = delete;
    platform& operator=(const platform&) = delete;

    // A client of the stand-in as the service builds it.
    std::shared_ptr<vyr::vyrserver::c_vyrserver> client() const;
    const std::string& project_dir() const noexcept { return m_project_dir; }

    // The sample project of the sources.
    static std::string sample_project();

private:
    std::string m_project_dir;
    std::unique_ptr<vyr::tools::platform_server> m_server;
    std::thread m_thread;
    int m_port = 0;
};

// The private redis-server with the sample project mirrored into database 11 by the real
// updater, an announcement and a parameter report of every project device recorded by
// the real receiver, and "updated" set. Database 12 keeps a copy that reset() restores.
class project_store {
public:
    static project_store& instance();

    const std::string& host() const;
    int port() const;
    // The service's database becomes the copy again (one script run on the server).
    void reset();
    // The normalised MACs of the project's devices.
    const std::set<std::string>& macs() const noexcept { return m_macs; }

private:
    project_store();
    void build_devices();
    void copy_database(int _from, int _to);

    std::unique_ptr<test::redis_server> m_server;
    std::unique_ptr<vyr::redis::connection> m_connection;
    std::set<std::string> m_macs;
};

// The proxy's input side: a PULL socket bound at an inproc endpoint of `_context`. check()
// takes every frame queued so far and checks that each is a well-formed node command:
// "#win ", command 080E, sequence byte, length field, a body of exactly that many bytes
// of hexadecimal text holding the 000E/000F code and whole parameter payloads (type,
// length, value), then the MAC of one of `_macs` and nothing after it (a frame without a
// MAC, with a cut or garbled one, or with one of another device fails). Returns how many
// frames it took.
class gateway {
public:
    gateway(zmq::context_t& _context, const std::string& _endpoint);
    std::size_t check(const std::set<std::string>& _macs);

private:
    zmq::socket_t m_socket;
};

// Checks one node command as gateway::check() does.
void check_node_command(const std::string& _frame, const std::set<std::string>& _macs);

}  // namespace fuzz
