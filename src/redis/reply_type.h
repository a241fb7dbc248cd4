// The types of a Redis reply, numbered as the hiredis client numbers them, and their
// texts for diagnostics. The table is constant after static initialisation and may be
// read from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace vyr::redis {

enum class reply_type : std::int32_t {
    STRING = 1,
    ARRAY = 2,
    INTEGER = 3,
    NIL = 4,
    STATUS = 5,
    ERROR = 6,
    UNKNOWN = 7,
};

extern const std::map<reply_type, std::string> reply_types_strings;

// The text of `_type`; "unknown" for a code that has no entry (the client never hands
// out other codes, but a reply read from the wire is not trusted to be one of them).
const std::string& to_string(reply_type _type);

}  // namespace vyr::redis
