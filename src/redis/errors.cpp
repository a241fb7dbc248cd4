#include "redis/errors.h"

#include <utility>

namespace vyr::redis {

server_error::kind classify_error_reply(std::string_view _reply) {
    using kind = server_error::kind;
    static constexpr std::pair<std::string_view, kind> s_prefixes[] = {
        {"WRONGTYPE", kind::wrong_type}, {"READONLY", kind::read_only}, {"NOAUTH", kind::no_auth},
        {"WRONGPASS", kind::no_auth},    {"NOPERM", kind::no_perm},     {"LOADING", kind::loading},
        {"BUSY", kind::busy},            {"NOSCRIPT", kind::no_script}, {"EXECABORT", kind::aborted},
    };
    // The code is the reply's first word, whole: "BUSYKEY" is no "BUSY".
    const auto code = _reply.substr(0, _reply.find(' '));
    for (const auto& [prefix, found] : s_prefixes)
        if (code == prefix)
            return found;
    return kind::other;
}

void throw_error_reply(std::string_view _command, const std::string& _reply,
                       vyr::libs::core::source_location _location) {
    throw server_error(classify_error_reply(_reply), "Command: " + std::string(_command) + ", error: " + _reply,
                       _location);
}

}  // namespace vyr::redis
