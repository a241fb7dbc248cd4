// Small checks shared by the unit tests: the message of the exception a call throws,
// whether any of some lines contains a text, a sorted copy of a list, and the value a
// metric shows on the endpoint. Header only, stateless; any test thread may use them.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <type_traits>
#include <vector>

#include <prometheus/registry.h>

#include "common/metrics.h"
#include "core/exception.h"

namespace test {

// The message of the `E` that `_call` throws (message() of the program's own exception,
// what() of any other); fails the test and returns "" when nothing is thrown.
template <class E = vyr::libs::core::exception, class F>
std::string thrown_message(F&& _call) {
    try {
        _call();
    } catch (const E& e) {
        if constexpr (std::is_base_of_v<vyr::libs::core::exception, E>)
            return e.message();
        else
            return e.what();
    }
    ADD_FAILURE() << "no exception thrown";
    return {};
}

// Whether one of `_lines` contains `_text`.
inline bool contains(const std::vector<std::string>& _lines, const std::string& _text) {
    return std::any_of(_lines.begin(), _lines.end(),
                       [&](const std::string& _line) { return _line.find(_text) != std::string::npos; });
}

inline std::vector<std::string> sorted(std::vector<std::string> _list) {
    std::sort(_list.begin(), _list.end());
    return _list;
}

// What the metrics endpoint shows for the family `_family`: its series with the label
// `_label` (its only one when `_label` is empty), or 0 while that series does not exist
// (a labelled counter appears with its first count). The registry is process-wide, so
// tests compare a counter before and after what should count.
inline double shown_metric(const std::string& _family, const prometheus::ClientMetric::Label& _label = {}) {
    for (const auto& family : vyr::metrics::registry()->Collect()) {
        if (family.name != _family)
            continue;
        for (const auto& metric : family.metric)
            if (_label.name.empty() || std::count(metric.label.begin(), metric.label.end(), _label) != 0)
                return family.type == prometheus::MetricType::Gauge ? metric.gauge.value : metric.counter.value;
    }
    return 0;
}

}  // namespace test
