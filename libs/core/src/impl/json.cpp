#include "core/json.h"

#include <memory>
#include <sstream>

namespace vyr::libs::core::json {

parse_result try_parse(std::string_view _text) {
    // Building a reader costs more than most parses: each thread keeps one (a reader is
    // used for one parse at a time and keeps nothing of it).
    thread_local const std::unique_ptr<Json::CharReader> reader = [] {
        Json::CharReaderBuilder builder;
        builder["collectComments"] = false;
        return std::unique_ptr<Json::CharReader>(builder.newCharReader());
    }();
    parse_result out;
    Json::Value value;
    std::string errors;
    if (reader->parse(_text.data(), _text.data() + _text.size(), &value, &errors)) {
        out.result = std::move(value);
        out.ok = true;
    } else {
        out.error = errors.empty() ? std::string("parse error") : errors;
    }
    return out;
}

std::string to_string(const Json::Value& _value) {
    // As for the reader: each thread keeps one writer, which keeps nothing of a document.
    thread_local const std::unique_ptr<Json::StreamWriter> writer = [] {
        Json::StreamWriterBuilder builder;
        builder["commentStyle"] = "None";
        builder["indentation"] = "";
        return std::unique_ptr<Json::StreamWriter>(builder.newStreamWriter());
    }();
    std::ostringstream out;
    writer->write(_value, &out);
    return out.str();
}

void validator::message(const boost::format& _format) {
    m_ok = false;
    const std::string text = _format.str();
    (m_logger.*m_method)("%1%: %2%").location(m_location) % m_key % text;
    if (m_stream)
        *m_stream << boost::format("%1%: %2%\n") % m_key % text;
}

bool validator::has_member(const Json::Value& _object, const std::string& _member, const std::string& _path) {
    if (_object.isObject() && _object.isMember(_member))
        return true;
    message(boost::format("could not find '%1%' in object '%2%'") % _member % _path);
    return false;
}

bool validator::check_kind(const Json::Value& _object, const std::string& _member, const std::string& _path,
                           bool (Json::Value::*_test)() const, const char* _kind) {
    if (!has_member(_object, _member, _path))
        return false;
    if ((_object[_member].*_test)())
        return true;
    message(boost::format("'%1%' in '%2%' is not %3%") % _member % _path % _kind);
    return false;
}

bool validator::is_string(const Json::Value& _object, const std::string& _member, const std::string& _path) {
    return check_kind(_object, _member, _path, &Json::Value::isString, "a string");
}

bool validator::is_object(const Json::Value& _object, const std::string& _member, const std::string& _path) {
    return check_kind(_object, _member, _path, &Json::Value::isObject, "an object");
}

bool validator::is_array(const Json::Value& _object, const std::string& _member, const std::string& _path) {
    return check_kind(_object, _member, _path, &Json::Value::isArray, "an array");
}

bool validator::parse(const std::string& _text, Json::Value& _out) {
    auto parsed = try_parse(_text);
    if (!parsed.ok) {
        message(boost::format("json: '%1%', parse error: '%2%'") % _text % parsed.error);
        return false;
    }
    _out = std::move(parsed.result);
    return true;
}

}  // namespace vyr::libs::core::json
