// The lease guard's window on an injected clock: valid from a renewal until the lease
// minus its margin, never before a renewal once in use, always while unused.
#include <gtest/gtest.h>

#include <chrono>

#include "common/lease_guard.h"

namespace {

using namespace std::chrono_literals;
using vyr::lease_guard;

TEST(LeaseGuard, RunsOutAMarginBeforeTheLease) {
    const auto t0 = lease_guard::clock::time_point(1000s);
    struct row {
        std::chrono::milliseconds length, last_valid;
    };
    // A third of the lease, at least 2 s.
    for (const row r : {row{5s, 2999ms}, row{10s, 6666ms}, row{300s, 199999ms}}) {
        SCOPED_TRACE(r.length.count());
        lease_guard::use(r.length);
        EXPECT_FALSE(lease_guard::valid(t0)) << "nothing renewed yet";
        lease_guard::renewed(t0);
        EXPECT_TRUE(lease_guard::valid(t0 + r.last_valid));
        EXPECT_FALSE(lease_guard::valid(t0 + r.last_valid + 1ms));
        lease_guard::lost();
        EXPECT_FALSE(lease_guard::valid(t0));
    }
    lease_guard::reset();
    EXPECT_TRUE(lease_guard::valid(t0 + 10000s)) << "unused, it never runs out";
}

}  // namespace
