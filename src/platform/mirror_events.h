// The kinds of project objects the mirror holds, and the window in which events and the
// platform's answers meet. An event (a "#notify" or "#alarm" the receiver writes into the
// mirror) is newer than any answer to a request that left before it; applied after the
// event, such an answer would undo it (an alarm raised a moment ago removed, an object
// renamed a moment ago given its old name back). So the updater opens a window on a kind
// when its request goes out; the receiver writes an event under the window's lock and the
// object is noted while the window is open; the updater writes each object of the answer
// under the same lock, leaving out those noted, and once the answer is written it reads
// those again, so that the mirror ends at the platform's latest state. The two writers
// never interleave on one object, and no clock is compared. The updater thread opens,
// writes and closes; the receiver thread (or any other) writes events.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/mutex.h"

namespace vyr::mirror {

enum kind : std::size_t {
    anchors,
    track_objs,
    groups,
    zones,
    sublocations,
    tdoa_schedules,
    tdoa_settings,
    alarms,
    // The kinds the updater refreshes, in the order it works on them.
    kind_count,
    // Read with the trackable objects, written by events of their own.
    licenses = kind_count,
    certifications,
    event_kind_count,
};

// "anchor", "trackable object", ..., for messages.
const char* name(kind _kind);

class events {
public:
    // An event's write of object `_uid` of `_kind`: runs `_write` under the lock and notes
    // the object when a request of the kind is out.
    template <class Write>
    void event(kind _kind, const std::string& _uid, Write&& _write) {
        libs::core::mutex_lock lock(m_mutex);
        auto& w = m_windows[_kind];
        if (w.open && (w.only.empty() || w.only == _uid))
            w.written.insert(_uid);
        _write();
    }

    // A request of `_kind` goes out now, for every object or only for `_only`: the events
    // from here on are noted (of that object only). Forgets what an earlier request of
    // the kind noted.
    void request_sent(kind _kind, const std::string& _only = {});
    // The answer's write of object `_uid`: runs `_write` under the lock unless an event wrote
    // the object since the request went. Whether it ran.
    template <class Write>
    bool answer(kind _kind, const std::string& _uid, Write&& _write) {
        libs::core::mutex_lock lock(m_mutex);
        if (m_windows[_kind].written.count(_uid) != 0)
            return false;
        _write();
        return true;
    }
    // The same for many objects at once (a pipelined chunk): `_write` is called under the lock
    // with a predicate telling which uids an event wrote (to be left out).
    template <class Write>
    void answers(kind _kind, Write&& _write) {
        libs::core::mutex_lock lock(m_mutex);
        const auto& written = m_windows[_kind].written;
        _write([&written](const std::string& _uid) { return written.count(_uid) != 0; });
    }
    // The answer is written: closes the window and returns the objects events wrote
    // meanwhile, which the updater reads again.
    std::vector<std::string> answered(kind _kind);

private:
    struct window {
        bool open = false;
        std::string only;  // the object asked for alone; empty: every object
        std::unordered_set<std::string> written;
    };
    libs::core::mutex m_mutex;
    std::array<window, event_kind_count> m_windows VYR_GUARDED_BY(m_mutex);
};

}  // namespace vyr::mirror
