#include "support/node_command.h"

#include <gtest/gtest.h>

namespace test {

std::string node_command::body() const {
    std::string text = code;
    for (const auto& payload : payloads)
        text += payload;
    return text;
}

node_command node_command::parse(const std::string& _frame) {
    node_command c;
    EXPECT_EQ(_frame.substr(0, 9), "#win 080E") << _frame;
    if (_frame.size() < 5 + 10 + 4 + 16) {
        ADD_FAILURE() << "short frame " << _frame;
        return c;
    }
    const std::string command = _frame.substr(5);
    c.seq = std::stoul(command.substr(4, 2), nullptr, 16);
    const std::size_t length = std::stoul(command.substr(6, 4), nullptr, 16);
    EXPECT_EQ(command.size(), 10 + length * 2 + 16) << _frame;
    const std::string body = command.substr(10, length * 2);
    c.mac = command.substr(10 + length * 2);
    c.code = body.substr(0, 4);
    for (std::size_t at = 4; at + 4 <= body.size();) {
        const std::size_t value = std::stoul(body.substr(at + 2, 2), nullptr, 16) * 2;
        EXPECT_LE(at + 4 + value, body.size()) << "payload overruns the body: " << _frame;
        c.payloads.push_back(body.substr(at, 4 + value));
        at += 4 + value;
    }
    EXPECT_EQ(c.body(), body) << "bytes after the last payload: " << _frame;
    return c;
}

std::vector<std::string> bodies(const std::vector<node_command>& _frames) {
    std::vector<std::string> result;
    for (const auto& frame : _frames)
        result.push_back(frame.body());
    return result;
}

}  // namespace test
