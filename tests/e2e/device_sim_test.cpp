// The device simulator's cutting of node commands: the delivery tests read every frame
// with it. How the simulated devices answer (reports, ignored and unsupported parameters,
// silent devices, sleep confirmations, announcements) is what the demo-site tests rest
// on: a device that answered wrongly would keep the site from settling or fail their
// counts.
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "device_sim.h"

namespace {

// The payloads' decoding is checked by the demo-site tests, where what the devices hold
// must be what the project says.
TEST(DeviceCodec, FramesOfTheSenderAreCutIntoTheirPartsAndMalformedOnesRefused) {
    const auto c = vyr::devsim::parse_win_frame("#win 080E050008000F5D01015E01010011223344556677");
    ASSERT_TRUE(c);
    EXPECT_EQ(std::make_tuple(c->seq, c->code, c->payloads, c->mac, c->body()),
              std::make_tuple(5u, "000F", std::vector<std::string>{"5D0101", "5E0101"}, "0011223344556677", "000F5D01015E0101"));
    const auto empty = vyr::devsim::parse_win_frame("#win 080E010002000F0011223344556677");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->payloads.empty());
    for (const char* frame : {"#win 080E050006000E3C01010011223344556677",   // length says 6 bytes
                              "#win 080E050005000E3C02010011223344556677",   // payload runs past the body
                              "#alarm 080E050005000E3C01010011223344556677",  // another topic
                              "#win 080E05000", "#win 080EZZ0005000E3C01010011223344556677"})
        EXPECT_FALSE(vyr::devsim::parse_win_frame(frame)) << frame;
}

}  // namespace
