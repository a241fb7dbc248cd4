// Where the Redis master is when Redis runs under Sentinel (a master, its replicas and
// sentinels that promote a replica when the master fails). The process-wide settings (the
// sentinels, the name they know the master by, their password) are set by main from the
// configuration before any thread connects; without sentinels a connection goes where it
// was told. Every new connection (redis/connection.h) asks the sentinels here, one after
// the other, which address the master has now. The master watch (redis/master_watch.h)
// tells of each switch the sentinels announce: the new master is recorded and the master
// generation moves, so that every connection made under an older one goes to the new
// master before its next command. A mutex guards the settings and the recorded master;
// the generation is an atomic; the questions hold no lock and use connections of their
// own, so any thread may ask.
#pragma once

#include <cstdint>
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

// Also forgets the recorded master (not the generation).
void set_sentinel_settings(sentinel_settings _settings);
sentinel_settings current_sentinel_settings();
// Whether sentinels are configured.
bool under_sentinel();

// What `_sentinel` answers to SENTINEL get-master-addr-by-name: the master's address, or
// nothing when it cannot be reached (1 s to connect, 1 s to answer), refuses the password
// or does not know the master; then `_reasons` gets a line saying why.
std::optional<address> ask_sentinel(const address& _sentinel, const sentinel_settings& _settings,
                                    std::string& _reasons);

// Moves by one at each switch of the master recorded below; never without sentinels.
std::uint64_t master_generation() noexcept;
// The master the sentinels announced last, nothing before the first announcement.
std::optional<address> announced_master();
// The text of a "+switch-master" message, "<name> <old-ip> <old-port> <new-ip>
// <new-port>": when it names the configured master and another address than the one
// recorded, records the new one, moves the generation, counts the switch (metric
// redis_master_switches) and returns it. Anything else (another name, a malformed or
// repeated announcement) changes nothing and returns nothing.
std::optional<address> note_switch(std::string_view _message);
// The master a sentinel names when the watch (re)subscribes: recorded, and a switch as
// above when another one was recorded before (one announced while nobody listened).
std::optional<address> note_master(const address& _master);

}  // namespace vyr::redis
