// One "#win" frame as the node message sender writes it for the gateway, cut into its
// parts: "#win 080E", the sequence byte, the body length (2 bytes), the body (a 2-byte
// code, then payloads of type, length and value) and the 8-byte MAC, all in hex text.
// A plain value; parse() records a test failure for every length that disagrees.
#pragma once

#include <string>
#include <vector>

namespace test {

struct node_command {
    unsigned seq = 0;
    std::string code;                   // "000E" pushed, "000F" an answer
    std::vector<std::string> payloads;  // each with its type and length bytes
    std::string mac;

    std::string body() const;
    static node_command parse(const std::string& _frame);
};

// The bodies of a list of frames, for compact expectations.
std::vector<std::string> bodies(const std::vector<node_command>& _frames);

}  // namespace test
