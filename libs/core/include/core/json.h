// JSON text in and out, and a validator that reports every failed check of one
// document under a common key. Stateless functions; a validator belongs to the thread
// that checks one document.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include <boost/format.hpp>
#include <json/json.h>

#include "core/logger.h"

namespace vyr::libs::core::json {

struct parse_result {
    Json::Value result;
    bool ok = false;
    std::string error;
};

// Parses with comments not collected; on failure `result` is null and `error` holds the
// reader's messages.
parse_result try_parse(std::string_view _text);

// One-line JSON without comments or indentation: the form stored in Redis.
std::string to_string(const Json::Value& _value);

class validator {
public:
    using method_t = component_logger::formatter (component_logger::*)(std::string_view);

    validator(std::string _key, component_logger& _logger, source_location _location,
              method_t _method = &component_logger::debug, std::ostream* _stream = nullptr)
        : m_key(std::move(_key)), m_logger(_logger), m_method(_method), m_location(_location), m_stream(_stream) {}

    bool ok() const noexcept { return m_ok; }

    // Reports "key: text" and marks the document bad.
    void message(const boost::format& _format);

    // Checks of one member of `_object` found at `_path` ("." for the document itself,
    // ".plist" for its member plist, ...). Each returns whether the check passed.
    bool has_member(const Json::Value& _object, const std::string& _member, const std::string& _path);
    bool is_string(const Json::Value& _object, const std::string& _member, const std::string& _path);
    bool is_object(const Json::Value& _object, const std::string& _member, const std::string& _path);
    bool is_array(const Json::Value& _object, const std::string& _member, const std::string& _path);
    // Parses `_text`; reports "json: '<text>', parse error: '<message>'" on failure.
    bool parse(const std::string& _text, Json::Value& _out);

private:
    bool check_kind(const Json::Value& _object, const std::string& _member, const std::string& _path,
                    bool (Json::Value::*_test)() const, const char* _kind);

    bool m_ok = true;
    std::string m_key;
    component_logger& m_logger;
    method_t m_method;
    source_location m_location;
    std::ostream* m_stream;
};

}  // namespace vyr::libs::core::json
