// What each Redis command this service sends is: its arity, whether it reads or writes,
// whether sending it twice leaves the same result, and where its keys are. One table
// answers the rules about commands (which batch may be resent after a lost connection,
// which keys a command touches), so that no code compares command names of its own. A
// command missing from the table is taken at its most careful: not safe to resend, every
// argument possibly a key. The table is constant; any thread may read it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vyr::redis {

struct command_info {
    std::string_view name;  // upper case
    // As Redis counts it, the name included: N exactly N arguments, -N at least N.
    int arity = 0;
    bool write = false;
    // Sent twice (a resend after a connection lost before the reply), it leaves what one
    // send leaves: SET and HSET are, HINCRBY and INCRBY are not.
    bool resend_safe = false;
    // Positions of the keys: the first, the last (-1: the last argument) and the step
    // between them; 0 for a command without keys. A script's keys are counted by its
    // numkeys argument (`numkeys_at`, 0 when none).
    int first_key = 0;
    int last_key = 0;
    int key_step = 0;
    int numkeys_at = 0;
};

// Every command the table knows, in its order.
const std::vector<command_info>& command_table();
// The table's entry for `_name` (any case); nullptr for a command it does not know.
const command_info* find_command(std::string_view _name);

// Whether every command of the batch may be sent a second time (unknown ones may not).
bool resend_safe(const std::vector<std::vector<std::string>>& _commands);
// The keys `_argv` names, in order; for a command the table does not know, every
// argument after its name.
std::vector<std::string> keys_of(const std::vector<std::string>& _argv);

}  // namespace vyr::redis
