// The lease that makes one instance of the service the active one among those sharing one
// Redis: a key holding its holder's text, with an expiry, and a fencing counter raised at
// each take-over. Each operation is one Lua script, so that the compare and the change are
// one step on the server: take (only when nobody holds it), renew and release (only while
// the key still holds the caller's text). The keys live in the service's database and
// outlive the updater's emptying of it (flush_keeping_lease). Plain functions over a
// connection the caller owns; any thread with its own connection may call them.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vyr::redis {

class connection;

namespace lease {

// The holder's text, expiring with the lease.
inline constexpr std::string_view s_key = "lease";
// Raised by one at each take-over; the value names the lease term.
inline constexpr std::string_view s_fencing_key = "lease_fencing";
// "<fencing> <instance name>" of the term under which the mirror was last made complete.
inline constexpr std::string_view s_mirror_key = "mirror_lease";
// The sleep orders in progress, so that the next active instance goes on with them.
inline constexpr std::string_view s_sleep_orders_key = "sleep_orders";

// Takes the lease for `_holder` for `_length` when nobody holds it (a lease still held by
// `_holder` itself is taken anew) and returns the new fencing value; nothing when another
// holds it. Throws on a failed connection or an error reply.
std::optional<std::int64_t> take(connection& _redis, const std::string& _holder, std::chrono::milliseconds _length);
// Extends the lease to `_length` from now while `_holder` holds it; false when it does not.
bool renew(connection& _redis, const std::string& _holder, std::chrono::milliseconds _length);
// Gives the lease up while `_holder` holds it; false when it did not.
bool release(connection& _redis, const std::string& _holder);

// What the keys say now (two reads in one round trip).
struct state {
    std::optional<std::string> holder;  // nothing: nobody holds it
    std::chrono::milliseconds remaining{0};
    std::int64_t fencing = 0;
};
state read(connection& _redis);

// The command that empties the database but for the lease's keys and the sleep orders,
// which it puts back as they were (expiry included); runs inside a transaction as well.
std::vector<std::string> flush_keeping_lease();

}  // namespace lease
}  // namespace vyr::redis
