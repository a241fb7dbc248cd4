#include "common/globals.h"

#include "common/helpers.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <chrono>
#include <sstream>
#include <thread>

const char* const module_name = "rtls-quorvane";

vyr::libs::core::mutex completion_mutex;
vyr::libs::core::condition_variable completion_variable;
bool completion_flag = false;

namespace {
std::string completion_failure VYR_GUARDED_BY(completion_mutex);
}

void stop_all() {
    vyr::libs::core::mutex_lock lock(completion_mutex);
    completion_flag = true;
    completion_variable.notify_one();
}

void stop_on_failure(const std::string& _reason) {
    {
        vyr::libs::core::mutex_lock lock(completion_mutex);
        if (completion_failure.empty())
            completion_failure = _reason.empty() ? "unknown failure" : _reason;
    }
    stop_all();
}

std::string stop_failure() {
    vyr::libs::core::mutex_lock lock(completion_mutex);
    return completion_failure;
}

void waiting_to_stop() {
    vyr::libs::core::mutex_lock lock(completion_mutex);
    while (!completion_flag)
        completion_variable.wait(completion_mutex);
}

bool waiting_to_stop(std::uint32_t _duration) {
    vyr::libs::core::mutex_lock lock(completion_mutex);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(_duration);
    if (!completion_flag)
        completion_variable.wait_until(completion_mutex, deadline);
    return completion_flag;
}

bool stop_requested() {
    vyr::libs::core::mutex_lock lock(completion_mutex);
    return completion_flag;
}

void end_work(int) { stop_all(); }

void install_stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // The signals are taken synchronously by this thread, so stop_all() runs in normal
    // thread context and may lock completion_mutex safely. It lives until the process
    // ends; later signals just repeat an idempotent stop.
    std::thread([set] {
        for (;;) {
            int signal_number = 0;
            if (sigwait(&set, &signal_number) == 0)
                end_work(signal_number);
        }
    }).detach();
}

// ---- JSON field readers ----------------------------------------------------------------

bool get_j_field(component_logger& _logger, const Json::Value& _j_message, const std::string& _func,
                 const std::string& _object, const std::string& _field, Json::Value& _j_field,
                 const std::string& _object_uid) {
    if (_j_message.isObject() && _j_message.isMember(_field)) {
        _j_field = _j_message[_field];
        return true;
    }
    _logger.debug("%s %s:%s has no field \"%s\"") % _func % _object % _object_uid % _field;
    return false;
}

namespace {

template <class T, class Test, class Convert>
bool read_typed(component_logger& _logger, const Json::Value& _j_message, const std::string& _func,
                const std::string& _object, const std::string& _field, T& _value, const std::string& _object_uid,
                Test _test, Convert _convert, const char* _mismatch) {
    Json::Value field;
    if (!get_j_field(_logger, _j_message, _func, _object, _field, field, _object_uid))
        return false;
    if (!_test(field)) {
        _logger.debug(_mismatch) % _func % _object % _object_uid % _field;
        return false;
    }
    _value = _convert(field);
    return true;
}

}  // namespace

bool get_j_value(component_logger& _logger, const Json::Value& _j_message, const std::string& _func,
                 const std::string& _object, const std::string& _field, std::string& _value,
                 const std::string& _object_uid) {
    return read_typed(
        _logger, _j_message, _func, _object, _field, _value, _object_uid, [](const Json::Value& v) { return v.isString(); },
        [](const Json::Value& v) { return v.asString(); }, "%s %s:%s field \"%s\" is not a  std::string");
}

bool get_j_value(component_logger& _logger, const Json::Value& _j_message, const std::string& _func,
                 const std::string& _object, const std::string& _field, Json::Value& _value,
                 const std::string& _object_uid) {
    return read_typed(
        _logger, _j_message, _func, _object, _field, _value, _object_uid, [](const Json::Value& v) { return v.isObject(); },
        [](const Json::Value& v) { return v; }, "%s %s:%s field \"%s\" is not an _object");
}

bool get_j_value(component_logger& _logger, const Json::Value& _j_message, const std::string& _func,
                 const std::string& _object, const std::string& _field, int& _value,
                 const std::string& _object_uid) {
    return read_typed(
        _logger, _j_message, _func, _object, _field, _value, _object_uid, [](const Json::Value& v) { return v.isInt(); },
        [](const Json::Value& v) { return v.asInt(); }, "%s %s:%s field \"%s\" is not Int");
}

bool get_j_value(component_logger& _logger, const Json::Value& _j_message, const std::string& _func,
                 const std::string& _object, const std::string& _field, double& _value,
                 const std::string& _object_uid) {
    return read_typed(
        _logger, _j_message, _func, _object, _field, _value, _object_uid, [](const Json::Value& v) { return v.isDouble(); },
        [](const Json::Value& v) { return v.asDouble(); }, "%s %s:%s field \"%s\" is not Double");
}

bool get_j_value(component_logger& _logger, const Json::Value& _j_message, const std::string& _func,
                 const std::string& _object, const std::string& _field, unsigned int& _value,
                 const std::string& _object_uid) {
    return read_typed(
        _logger, _j_message, _func, _object, _field, _value, _object_uid, [](const Json::Value& v) { return v.isUInt(); },
        [](const Json::Value& v) { return v.asUInt(); }, "%s %s:%s field \"%s\" is not UInt");
}

bool get_j_value(component_logger& _logger, const Json::Value& _j_message, const std::string& _func,
                 const std::string& _object, const std::string& _field, bool& _value,
                 const std::string& _object_uid) {
    return read_typed(
        _logger, _j_message, _func, _object, _field, _value, _object_uid, [](const Json::Value& v) { return v.isBool(); },
        [](const Json::Value& v) { return v.asBool(); }, "%s %s:%s field \"%s\" is not Bool");
}

bool get_j_value(component_logger& _logger, const Json::Value& _j_message, const std::string& _func,
                 const std::string& _object, const std::string& _field, std::vector<std::string>& _value,
                 const std::string& _object_uid) {
    Json::Value field;
    if (!get_j_field(_logger, _j_message, _func, _object, _field, field, _object_uid))
        return false;
    if (!field.isArray())
        return false;
    for (const auto& element : field) {
        if (!element.isString()) {
            _logger.debug("%s %s:%s field \"%s\" is not an array of strings") % _func % _object % _object_uid % _field;
            return false;
        }
        _value.push_back(element.asString());
    }
    return true;
}

// ---- text helpers ------------------------------------------------------------------------

bool comb_mac(std::string& _mac_address) {
    if (_mac_address.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    if (_mac_address.size() == 12)
        _mac_address.insert(6, "FFFE");
    else if (_mac_address.size() != 16)
        return false;
    _mac_address = to_upper(std::move(_mac_address));
    return true;
}

namespace {

// Reads a decimal number from the front as stream extraction does; 0 when unreadable.
// Negative numbers count 0 and numbers past 32 bits saturate, so no duration wraps
// round to a short one.
std::uint64_t leading_number(const std::string& _text) {
    std::istringstream is(_text);
    long long number = 0;
    is >> number;
    if (number <= 0)
        return 0;
    return std::min<std::uint64_t>(static_cast<std::uint64_t>(number), UINT32_MAX);
}

}  // namespace

std::uint32_t parse_time(const std::string& _time) {
    static constexpr std::pair<char, std::uint64_t> units[] = {{'d', 86400}, {'h', 3600}, {'m', 60}, {'s', 1}};
    std::string rest = _time;
    std::uint64_t total = 0;
    bool found = false;
    for (const auto& [letter, multiplier] : units) {
        const auto position = rest.find(letter);
        if (position == std::string::npos)
            continue;
        found = true;
        total = std::min<std::uint64_t>(total + leading_number(rest.substr(0, position)) * multiplier, UINT32_MAX);
        rest = rest.substr(position + 1);
    }
    if (!found)
        total = leading_number(_time);
    return static_cast<std::uint32_t>(total);
}
