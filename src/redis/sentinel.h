// Where the Redis master is when Redis runs under Sentinel (a master, its replicas and
// sentinels that promote a replica when the master fails). The process-wide settings (the
// sentinels, the name they know the master by, their password) are set by main from the
// configuration before any thread connects; without sentinels a connection goes where it
// was told. Every new connection (redis/connection.h) asks the sentinels here, one after
// the other, which address the master has now. A mutex guards the settings; the questions
// hold no lock and use connections of their own, so any thread may ask.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vyr::redis {

struct address {
    std::string host;
    int port = 0;

    bool operator==(const address& _other) const { return host == _other.host && port == _other.port; }
    std::string text() const { return host + ":" + std::to_string(port); }
};

// "host:port" (the port 1..65535, the host not empty) as an address; nothing otherwise.
std::optional<address> parse_address(std::string_view _text);

struct sentinel_settings {
    std::vector<address> sentinels;  // empty: no Sentinel
    std::string master_name;
    std::string password;  // AUTH to each sentinel; empty: none (a secret)
};

void set_sentinel_settings(sentinel_settings _settings);
sentinel_settings current_sentinel_settings();
// Whether sentinels are configured.
bool under_sentinel();

// What `_sentinel` answers to SENTINEL get-master-addr-by-name: the master's address, or
// nothing when it cannot be reached (1 s to connect, 1 s to answer), refuses the password
// or does not know the master; then `_reasons` gets a line saying why.
std::optional<address> ask_sentinel(const address& _sentinel, const sentinel_settings& _settings,
                                    std::string& _reasons);

}  // namespace vyr::redis
