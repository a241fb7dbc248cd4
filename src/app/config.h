// The service configuration, read once at start from the JSON file named on the command
// line. main() builds it and hands it to the application object; afterwards it is only
// read, so any thread may read it. Construction validates every required key.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "redis/sentinel.h"

namespace vyr {

struct config {
    // Reads and checks the whole file. Throws std::runtime_error "Cannot parse json: ..."
    // when the text is not JSON, and vyr::libs::core::exception "Config file is invalid: "
    // + one reason per missing or mistyped required key or port outside 1..65535
    // (newline-separated, in the order of the members below) otherwise.
    explicit config(std::istream& _stream);
    // The same from the file `_file_name`; a file that cannot be read throws
    // vyr::libs::core::exception "cannot open <file>: <strerror>".
    static config from_file(const std::string& _file_name);

    // Whether any password key is set.
    bool holds_password() const noexcept {
        return !redis.password.empty() || !redis.sentinel_password.empty() || !server.password.empty();
    }
    // The start-up warning for a file `_file_name` that holds a password and that users
    // other than its owner and group may read; empty when there is nothing to warn of.
    std::string exposure_warning(const std::string& _file_name) const;

    struct {
        std::string pidfile;
        std::string debug_port;  // ZeroMQ endpoint of the debug console
        bool local_debug = false;
        bool push_schedule_to_destination = false;  // optional, false when absent or not a boolean
        std::string metrics_address;  // optional "host:port" of the metrics endpoint; empty: none
        // Optional (24 when absent), 1..8760: how long a device that belongs to no anchor
        // or trackable object of the project may stay silent before its WIN record goes.
        std::uint32_t win_expiry_hours = 24;
        // Optional (60 when absent), 5..3600: every device is judged at least once per this
        // many seconds, even when nothing marked it (the full sweep).
        std::uint32_t full_sweep_seconds = 60;
        // Optional (the host name when absent): who this instance is among the servers
        // that share one Redis; the lease holder's name. Differs between two site servers.
        std::string instance_name;
        // Optional (10 when absent), 5..300: the length of the lease that makes one
        // instance the active one (the others stand by).
        std::uint32_t lease_seconds = 10;
    } system;

    struct {
        std::string address;
        std::uint32_t output_port = 0;  // the proxy publishes here
        std::uint32_t input_port = 0;   // the proxy takes messages here
    } proxy;

    // The optional texts below are empty when absent; a value of another type is invalid.
    // The passwords are secrets: nothing may print them.
    struct {
        std::string protocol;
        std::string address;
        std::int32_t port = 0;
        std::string login;     // HTTP basic authentication, with the password
        std::string password;
        std::string ca_file;   // PEM bundle of the CA that signs the server's certificate
    } server;

    struct {
        std::string address;
        std::int32_t port = 0;
        std::string user;      // an ACL user; empty: the default user
        std::string password;  // empty: no AUTH
        // Optional, both or neither: the sentinels ("host:port" each) that name the
        // master known to them as `master_name`; without them `address`:`port` is Redis.
        std::vector<redis::address> sentinels;
        std::string master_name;
        std::string sentinel_password;  // AUTH to each sentinel; empty: none
    } redis;
};

}  // namespace vyr
