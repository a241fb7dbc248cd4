#include "config-parser/config.h"

#include <stdexcept>

namespace vyr::libs::config {

namespace detail {

std::string join(const std::string_view* _begin, const std::string_view* _end) {
    std::string joined;
    for (auto key = _begin; key != _end; ++key) {
        if (key != _begin)
            joined += '.';
        joined += *key;
    }
    return joined;
}

}  // namespace detail

// ---- value_impl ----------------------------------------------------------------------------

std::optional<bool> value_impl::as_bool() const {
    const auto* v = scalar();
    if (!v || !v->isBool())
        return std::nullopt;
    return v->asBool();
}

std::optional<int> value_impl::as_int() const {
    // isInt() holds for integers in range and for doubles with an integral value in
    // range (3.0), never for strings or booleans.
    const auto* v = scalar();
    if (!v || !v->isInt())
        return std::nullopt;
    return v->asInt();
}

std::optional<double> value_impl::as_double() const {
    const auto* v = scalar();
    if (!v || !v->isDouble())
        return std::nullopt;
    return v->asDouble();
}

std::optional<std::string> value_impl::as_string() const {
    const auto* v = scalar();
    if (!v || !v->isString())
        return std::nullopt;
    return v->asString();
}

optional_ref<dictionary> value_impl::as_object() const {
    if (const auto* object = std::get_if<const dictionary*>(&m_value))
        return std::cref(**object);
    return std::nullopt;
}

std::optional<value_range> value_impl::as_array() const {
    if (const auto* array = std::get_if<value_range>(&m_value))
        return *array;
    return std::nullopt;
}

// ---- dictionary_impl -----------------------------------------------------------------------

optional_ref<value> dictionary_impl::get_value(const std::string& _key) const {
    const auto found = m_data.find(_key);
    if (found == m_data.end())
        return std::nullopt;
    return std::cref(static_cast<const value&>(found->second));
}

std::vector<std::string> dictionary_impl::get_keys() const {
    std::vector<std::string> keys;
    keys.reserve(m_data.size());
    for (const auto& entry : m_data)
        keys.push_back(entry.first);
    return keys;
}

// ---- config_json_impl ----------------------------------------------------------------------

config_json_impl::config_json_impl(std::istream& _stream) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    Json::Value document;
    std::string errors;
    if (!Json::parseFromStream(builder, _stream, &document, &errors))
        throw std::runtime_error("Cannot parse json: " + errors);
    auto& root = m_dictionaries.emplace_back();
    // A top level that is not an object (an array, a bare number) has no sections; every
    // look-up then reports the missing object instead of the reader failing.
    if (document.isObject())
        process_object(document, root);
}

void config_json_impl::process_object(const Json::Value& _object, dictionary_impl& _target) {
    for (const auto& name : _object.getMemberNames())
        _target.add(name, process_value(_object[name]));
}

value_impl config_json_impl::process_value(const Json::Value& _value) {
    if (_value.isObject()) {
        auto& child = m_dictionaries.emplace_back();
        process_object(_value, child);
        return value_impl(static_cast<const dictionary&>(child));
    }
    if (_value.isArray())
        return value_impl(process_array(_value));
    return value_impl(_value);
}

value_range config_json_impl::process_array(const Json::Value& _array) {
    auto& elements = m_arrays.emplace_back();
    // Reserved up front: the range below points into this vector, which must not move.
    elements.reserve(_array.size());
    for (const auto& element : _array)
        elements.push_back(process_value(element));
    return value_range(elements.cbegin(), elements.cend());
}

template <>
std::unique_ptr<config> config::create<type::json>(std::istream& _stream) {
    return std::make_unique<config_json_impl>(_stream);
}

}  // namespace vyr::libs::config
