// Small checks shared by the unit tests: the message of the exception a call throws,
// whether any of some lines contains a text, and a sorted copy of a list. Header only,
// stateless; any test thread may use them.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <type_traits>
#include <vector>

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

}  // namespace test
