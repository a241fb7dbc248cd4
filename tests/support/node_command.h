// Node commands as the gateway receives them, cut by the device simulator's own parser
// (tools/device-sim), which refuses any frame whose lengths disagree.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device_state.h"

namespace test {

using node_command = vyr::devsim::node_command;

// The parts of `_frame`; a test failure (and an empty command) when it is malformed.
inline node_command parse_command(const std::string& _frame) {
    const auto c = vyr::devsim::parse_win_frame(_frame);
    EXPECT_TRUE(c) << "malformed frame " << _frame;
    return c ? *c : node_command{};
}

// The bodies of a list of frames, for compact expectations.
inline std::vector<std::string> bodies(const std::vector<node_command>& _frames) {
    std::vector<std::string> result;
    for (const auto& frame : _frames)
        result.push_back(frame.body());
    return result;
}

}  // namespace test
