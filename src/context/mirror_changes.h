// What changed in the mirror since a version a reader kept: the change journal that every
// raise of "mirror_version" writes (context/common.h), read in two round trips, and the
// devices a set of changes concerns, worked out from the snapshots before and after them
// (project_snapshot.h: patch_snapshot applies the changes to a snapshot). Plain values and
// free functions; the reads use the caller's connection on the caller's thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "context/project_snapshot.h"

namespace vyr::redis {
class connection;
}

namespace vyr::context {

struct mirror_changes {
    // "mirror_version" as read.
    std::uint64_t version = 0;
    // Every version in (since, version] has its journal entry: `names` is all that changed.
    bool complete = false;
    // The names of the changed records ("<kind>:<uid>", or common::s_every_device), in the
    // order they were raised, each once. Empty when incomplete.
    std::vector<std::string> names;
};

// The most versions one read looks back over; a reader further behind reads everything.
inline constexpr std::uint64_t s_max_journal_span = 10000;

// One GET of the version, then one MGET of the entries after `_since`. Incomplete when
// `_since` is 0, the version is lower (a flush, a lost database), more than
// s_max_journal_span versions passed, or an entry is missing (expired, or the version was
// raised by something that keeps no journal). Throws redis::connection_error when the
// connection is lost, and the server's refusal (a user without MGET) as its error.
mirror_changes read_mirror_changes(redis::connection& _redis_context, std::uint64_t _since);

// The MACs of the devices whose judging `_names` may change, `_old` and `_new` being the
// snapshots before and after them; nothing when they concern every device (a flag, a
// sublocation, a setting or schedule, a kind not known here). A trackable object: its
// MAC in both; a group: its objects' MACs; an alarm: the MACs of the objects that list it
// or that it names; a zone: those of the alarms in it; an anchor: every anchor's MAC (an
// anchor's sync slot, superframe and schedule read the other anchors of its project).
std::optional<std::vector<std::string>> devices_concerned(const project_snapshot& _old, const project_snapshot& _new,
                                                          const std::vector<std::string>& _names);

}  // namespace vyr::context
