// Process-wide state and helpers shared by every component: the stop machinery (any
// thread may request a stop; only the main thread waits for it), the module name, the
// typed JSON field readers with their uniform debug diagnostics, MAC normalisation and
// duration parsing. No switch between components lives here: what one writes for another
// goes through the mirror.
// Everything here is safe to call from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include <json/json.h>

#include "core/logger.h"
#include "core/mutex.h"

extern const char* const module_name;  // "rtls-quorvane"

// Stop machinery: completion_flag is read and written only under completion_mutex; it
// goes from false to true once and stays true. A stop also tells why: requested, or a
// worker that failed to start (stop_on_failure).
extern vyr::libs::core::mutex completion_mutex;
extern vyr::libs::core::condition_variable completion_variable;
extern bool completion_flag VYR_GUARDED_BY(completion_mutex);

void stop_all();
// The stop of a worker that could not start: records `_reason` (the first one recorded
// counts), then stop_all(). main exits with status 1 for it.
void stop_on_failure(const std::string& _reason);
// The reason recorded by stop_on_failure; empty when the stop was only requested (a
// signal) or none came.
std::string stop_failure();
// Blocks until a stop is requested (returns at once if it already was).
void waiting_to_stop();
// One timed wait of up to `_duration` seconds; returns whether a stop was requested.
bool waiting_to_stop(std::uint32_t _duration);
// Reads completion_flag under its mutex.
bool stop_requested();

// Signal handling: blocks SIGINT and SIGTERM in the calling thread (call first thing in
// main, before any other thread exists, so every thread inherits the mask) and starts a
// thread that turns either signal into stop_all(). A second signal has no further effect.
void install_stop_signals();
void end_work(int _signal);

using vyr::libs::core::component_logger;

// Typed readers of one member of a JSON object. Each returns true on success; on false
// the output keeps its value and a debug record names the caller, object, uid and field.
bool get_j_field(component_logger& _logger, const Json::Value& _j_message, const std::string& _func,
                 const std::string& _object, const std::string& _field, Json::Value& _j_field,
                 const std::string& _object_uid);
bool get_j_value(component_logger& _logger, const Json::Value& _j_message, const std::string& _func,
                 const std::string& _object, const std::string& _field, std::string& _value,
                 const std::string& _object_uid);
bool get_j_value(component_logger& _logger, const Json::Value& _j_message, const std::string& _func,
                 const std::string& _object, const std::string& _field, Json::Value& _value,
                 const std::string& _object_uid);
bool get_j_value(component_logger& _logger, const Json::Value& _j_message, const std::string& _func,
                 const std::string& _object, const std::string& _field, int& _value,
                 const std::string& _object_uid);
bool get_j_value(component_logger& _logger, const Json::Value& _j_message, const std::string& _func,
                 const std::string& _object, const std::string& _field, double& _value,
                 const std::string& _object_uid);
bool get_j_value(component_logger& _logger, const Json::Value& _j_message, const std::string& _func,
                 const std::string& _object, const std::string& _field, unsigned int& _value,
                 const std::string& _object_uid);
bool get_j_value(component_logger& _logger, const Json::Value& _j_message, const std::string& _func,
                 const std::string& _object, const std::string& _field, bool& _value,
                 const std::string& _object_uid);
// Appends the array's strings in order; stops at the first non-string element.
bool get_j_value(component_logger& _logger, const Json::Value& _j_message, const std::string& _func,
                 const std::string& _object, const std::string& _field, std::vector<std::string>& _value,
                 const std::string& _object_uid);

// A 12-character EUI-48 gets "FFFE" after its sixth character; a 16-character EUI-64 is
// kept; both are upper-cased. Any other length, or a character that is no hexadecimal
// digit: false, text untouched.
bool comb_mac(std::string& _mac_address);

// "1h30m" → 5400, "2d" → 172800, "90" → 90: units d, h, m, s tried in that order.
std::uint32_t parse_time(const std::string& _time);
