#include "redis/reply_type.h"

namespace vyr::redis {

const std::map<reply_type, std::string> reply_types_strings = {
    {reply_type::STRING, "string"}, {reply_type::ARRAY, "array"}, {reply_type::INTEGER, "integer"},
    {reply_type::NIL, "nil"},       {reply_type::STATUS, "status"}, {reply_type::ERROR, "error"},
    {reply_type::UNKNOWN, "unknown"},
};

const std::string& to_string(reply_type _type) {
    const auto found = reply_types_strings.find(_type);
    if (found == reply_types_strings.end())
        return reply_types_strings.at(reply_type::UNKNOWN);
    return found->second;
}

}  // namespace vyr::redis
