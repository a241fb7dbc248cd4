// The configuration tree: a document (JSON for now) read once into dictionaries, values
// and arrays, with typed look-up by a path of keys whose results carry either the value
// or the reason it could not be had. The tree owns every node; views handed out
// (dictionaries, values, array ranges) live as long as the tree. A built tree is only
// read, so several threads may read one tree; results are plain values.
#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <istream>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <boost/optional/bad_optional_access.hpp>
#include <boost/range/any_range.hpp>
#include <json/json.h>

namespace vyr::libs::config {

enum class type { json = 0 };

class dictionary;
class value;

template <class T>
using optional_ref = std::optional<std::reference_wrapper<const T>>;

// The elements of an array, in document order.
using value_range = boost::any_range<const value, boost::forward_traversal_tag, const value&, std::ptrdiff_t>;

// ---- results -----------------------------------------------------------------------------

struct error_reason {
    std::string reason;
};

// Either a value or the reason why there is none.
template <class T>
class result {
public:
    using value_type = T;

    result(T _value) : m_value(std::in_place_index<0>, std::move(_value)) {}
    result(error_reason _reason) : m_value(std::in_place_index<1>, std::move(_reason)) {}

    bool ok() const noexcept { return m_value.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    // The value; on an error result throws boost::bad_optional_access ("Attempted to
    // access the value of an uninitialized optional object.").
    const T& value() const {
        if (!ok())
            throw boost::bad_optional_access();
        return std::get<0>(m_value);
    }

    // The error text; empty for a success.
    std::string reason() const { return ok() ? std::string() : std::get<1>(m_value).reason; }

private:
    std::variant<T, error_reason> m_value;
};

namespace detail {

// A tuple on the left of + is extended, anything else becomes a one-element tuple, so a
// chain a + b + c yields one flat tuple.
template <class T>
struct as_tuple {
    using type = std::tuple<T>;
    static type make(const T& _value) { return type(_value); }
};

template <class... Ts>
struct as_tuple<std::tuple<Ts...>> {
    using type = std::tuple<Ts...>;
    static const type& make(const type& _value) { return _value; }
};

}  // namespace detail

// Both successes: a success with the values side by side. One failure: that failure.
// Two failures: the left reason, a newline, the right reason.
template <class L, class R>
auto operator+(const result<L>& _left, const result<R>& _right)
    -> result<decltype(std::tuple_cat(std::declval<typename detail::as_tuple<L>::type>(), std::declval<std::tuple<R>>()))> {
    using combined = decltype(std::tuple_cat(std::declval<typename detail::as_tuple<L>::type>(),
                                             std::declval<std::tuple<R>>()));
    if (_left.ok() && _right.ok())
        return result<combined>(std::tuple_cat(detail::as_tuple<L>::make(_left.value()), std::tuple<R>(_right.value())));
    if (!_left.ok() && !_right.ok())
        return result<combined>(error_reason{_left.reason() + "\n" + _right.reason()});
    return result<combined>(error_reason{_left.ok() ? _right.reason() : _left.reason()});
}

// ---- the tree ----------------------------------------------------------------------------

class value {
public:
    virtual ~value() = default;
    // Each conversion succeeds only for the matching document type: as_int for integral
    // numbers that fit an int, as_double for any number, as_bool for booleans, as_string
    // for strings, as_object for dictionaries, as_array for arrays.
    virtual std::optional<bool> as_bool() const = 0;
    virtual std::optional<int> as_int() const = 0;
    virtual std::optional<double> as_double() const = 0;
    virtual std::optional<std::string> as_string() const = 0;
    virtual optional_ref<dictionary> as_object() const = 0;
    virtual std::optional<value_range> as_array() const = 0;
};

class dictionary {
public:
    virtual ~dictionary() = default;
    virtual optional_ref<value> get_value(const std::string& _key) const = 0;
    // The keys in ascending order.
    virtual std::vector<std::string> get_keys() const = 0;

    // The value under `_key` converted to T (std::string, bool, int or double); nothing
    // when the key is absent or the value has another type.
    template <class T>
    std::optional<T> get(const std::string& _key) const {
        const auto found = get_value(_key);
        if (!found)
            return std::nullopt;
        const value& v = found->get();
        if constexpr (std::is_same_v<T, std::string>)
            return v.as_string();
        else if constexpr (std::is_same_v<T, bool>)
            return v.as_bool();
        else if constexpr (std::is_same_v<T, int>)
            return v.as_int();
        else if constexpr (std::is_same_v<T, double>)
            return v.as_double();
        else
            static_assert(!sizeof(T), "dictionary::get supports std::string, bool, int and double");
    }
};

namespace detail {

template <class T>
constexpr const char* type_name() {
    if constexpr (std::is_same_v<T, std::string>)
        return "string";
    else if constexpr (std::is_same_v<T, bool>)
        return "bool";
    else if constexpr (std::is_same_v<T, int>)
        return "int";
    else if constexpr (std::is_same_v<T, double>)
        return "double";
    else
        static_assert(!sizeof(T), "unsupported configuration value type");
}

std::string join(const std::string_view* _begin, const std::string_view* _end);

}  // namespace detail

class config {
public:
    virtual ~config() = default;
    virtual const dictionary& get_root() const = 0;

    // Reads a whole document of the given format from `_stream`.
    template <type Format>
    static std::unique_ptr<config> create(std::istream& _stream);

    // Walks the dictionaries named by all keys but the last and converts the value under
    // the last key to T. Reasons: "Can not find object <object>: a, path: a.b" when a
    // dictionary on the way is missing or not an object, "Can not find field <int>: a.b"
    // when the last key is missing or of another type.
    template <class T>
    result<T> get_by_path(std::initializer_list<std::string_view> _keys) const {
        const std::string path = detail::join(_keys.begin(), _keys.end());
        const dictionary* current = &get_root();
        if (_keys.size() == 0)
            return error_reason{std::string("Can not find field <") + detail::type_name<T>() + ">: " + path};
        const auto last = _keys.end() - 1;
        for (auto key = _keys.begin(); key != last; ++key) {
            const auto found = current->get_value(std::string(*key));
            const auto object = found ? found->get().as_object() : std::nullopt;
            if (!object)
                return error_reason{"Can not find object <object>: " + detail::join(_keys.begin(), key + 1) +
                                    ", path: " + path};
            current = &object->get();
        }
        auto converted = current->get<T>(std::string(*last));
        if (!converted)
            return error_reason{std::string("Can not find field <") + detail::type_name<T>() + ">: " + path};
        return result<T>(std::move(*converted));
    }
};

// ---- JSON implementation -----------------------------------------------------------------

class value_impl : public value {
public:
    using content = std::variant<Json::Value, const dictionary*, value_range>;

    explicit value_impl(Json::Value _scalar) : m_value(std::move(_scalar)) {}
    explicit value_impl(const dictionary& _object) : m_value(&_object) {}
    explicit value_impl(value_range _array) : m_value(std::move(_array)) {}

    std::optional<bool> as_bool() const override;
    std::optional<int> as_int() const override;
    std::optional<double> as_double() const override;
    std::optional<std::string> as_string() const override;
    optional_ref<dictionary> as_object() const override;
    std::optional<value_range> as_array() const override;

private:
    const Json::Value* scalar() const noexcept { return std::get_if<Json::Value>(&m_value); }

    content m_value;
};

class dictionary_impl : public dictionary {
public:
    optional_ref<value> get_value(const std::string& _key) const override;
    std::vector<std::string> get_keys() const override;

    void add(const std::string& _key, value_impl _value) { m_data.insert_or_assign(_key, std::move(_value)); }

private:
    std::map<std::string, value_impl> m_data;
};

class config_json_impl : public config {
public:
    // Throws std::runtime_error "Cannot parse json: " + the reader's report when the
    // stream is empty, unreadable or not JSON. A document whose top level is not an
    // object gives an empty root.
    explicit config_json_impl(std::istream& _stream);
    config_json_impl(const config_json_impl&) = delete;
    config_json_impl& operator=(const config_json_impl&) = delete;

    const dictionary& get_root() const override { return m_dictionaries.front(); }

private:
    void process_object(const Json::Value& _object, dictionary_impl& _target);
    value_impl process_value(const Json::Value& _value);
    value_range process_array(const Json::Value& _array);

    // Node storage: lists keep every node at its address while the tree grows.
    std::list<dictionary_impl> m_dictionaries;  // the first is the root
    std::list<std::vector<value_impl>> m_arrays;
};

template <>
std::unique_ptr<config> config::create<type::json>(std::istream& _stream);

}  // namespace vyr::libs::config
