// The alarms of trackable objects read fresh from the mirror, for the alarm pass: each
// object's index of alarms and the records it names, in two pipelined round trips for
// any number of objects. The pass reads them with each chunk of tags rather than from the
// cycle's snapshot, so that an alarm set or cleared while the cycle runs is judged as it
// stands. The result is a plain value; the reader uses the caller's connection and runs on
// the caller's thread.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "context/alarm.h"

namespace vyr::redis {
class connection;
}

namespace vyr::context {

// One object's alarms as read.
struct object_alarms {
    // The records that could be read, in the order of the object's index. An alarm whose
    // record is gone (removed between the two reads) is left out.
    std::vector<std::pair<std::string, alarm_data>> alarms;
    // A record that cannot be read (a key of another type, a number that is none): its
    // uid, its stored alarm name (empty when that cannot be read either) and why.
    struct unreadable {
        std::string uid, name, error;
    };
    std::vector<unreadable> broken;
    // The index itself could not be read (a key of another type): why; empty otherwise.
    std::string index_error;
};

// The alarms of each of `_object_uids`, in their order. Throws redis::connection_error when
// the connection is lost.
std::vector<object_alarms> read_object_alarms(redis::connection& _redis_context,
                                              const std::vector<std::string>& _object_uids);

}  // namespace vyr::context
