// The lease that makes one instance of the service the active one among those sharing one
// Redis: a key holding its holder's text, with an expiry, and beside it the lease term's
// hash: a fencing counter raised at each take-over and the wall-clock time the lease runs
// to (for the status tool). Each operation is one Lua script, so that the compare and the
// change are one step on the server: take (only when nobody holds it), renew and release
// (only while the key holds the caller's text; a renewal that finds the key gone, as after
// a Redis restarted empty, puts it back, since nobody else can hold it then). The scripts
// use only the commands the service's Redis user may run (see README, "Security"). The
// keys live in the service's database and are put back after the updater empties it
// (kept_across_flush). Plain functions over a connection the caller owns; any thread with
// its own connection may call them.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "redis/batch.h"

namespace vyr::redis {

class connection;

namespace lease {

// The holder's text, expiring with the lease.
inline constexpr std::string_view s_key = "lease";
// The lease term: "fencing" (raised by one at each take-over) and "until" (the
// holder's wall clock in ms when the lease runs out unless renewed).
inline constexpr std::string_view s_term_key = "lease_term";
// "<fencing> <holder>" of the term under which the mirror was last made complete.
inline constexpr std::string_view s_mirror_key = "mirror_lease";
// The sleep orders in progress, so that the next active instance goes on with them.
inline constexpr std::string_view s_sleep_orders_key = "sleep_orders";

// Takes the lease for `_holder` for `_length` when nobody holds it (a lease still held by
// `_holder` itself is taken anew) and returns the new fencing value; nothing when another
// holds it. Throws on a failed connection or an error reply.
std::optional<std::int64_t> take(connection& _redis, const std::string& _holder, std::chrono::milliseconds _length);
// Extends the lease to `_length` from now while `_holder` holds it, or while nobody does
// (then the term `_fencing` is put back as well); false when another holds it.
bool renew(connection& _redis, const std::string& _holder, std::chrono::milliseconds _length,
           std::int64_t _fencing);
// Gives the lease up while `_holder` holds it; false when it did not.
bool release(connection& _redis, const std::string& _holder);

// What the keys say now (one round trip).
struct state {
    std::optional<std::string> holder;  // nothing: nobody holds it
    std::chrono::milliseconds remaining{0};  // by this host's wall clock
    std::int64_t fencing = 0;
};
state read(connection& _redis);

// The writes that put back the lease's keys and the sleep orders as they stand now (read
// in one round trip), to follow a FLUSHDB in the same transaction.
batch kept_across_flush(connection& _redis);

}  // namespace lease
}  // namespace vyr::redis
