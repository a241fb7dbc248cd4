// Base64 as used on the schedule content from the platform: standard vectors, round
// trips of every short length, and decoding of truncated or damaged text.
#include <string>

#include <gtest/gtest.h>

#include "base64.h"

namespace {

std::string encode(const std::string& _bytes) {
    return base64_encode(reinterpret_cast<const unsigned char*>(_bytes.data()), _bytes.size());
}

}  // namespace

TEST(Base64, standard_vectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
        {std::string("\xfb\xff", 2), "+/8="},
    };
    for (const auto& [plain, coded] : vectors) {
        EXPECT_EQ(encode(plain), coded) << plain;
        EXPECT_EQ(base64_decode(coded), plain) << coded;
    }
}

TEST(Base64, round_trip_of_all_byte_values_and_lengths) {
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    for (std::size_t length = 0; length <= bytes.size(); ++length) {
        const std::string tail = bytes.substr(bytes.size() - length);
        EXPECT_EQ(base64_decode(encode(tail)), tail) << "length " << length;
    }
}

TEST(Base64, decode_stops_at_line_break_padding_or_foreign_character) {
    EXPECT_EQ(base64_decode("Zm9v\nYmFy"), "foo");
    EXPECT_EQ(base64_decode("Zm9vYmFy\r\n"), "foobar");
    EXPECT_EQ(base64_decode("Zm8=Zm9v"), "fo");
    EXPECT_EQ(base64_decode("Zm9v YmFy"), "foo");
    EXPECT_EQ(base64_decode("Zm9v-YmFy"), "foo");
    EXPECT_EQ(base64_decode(std::string("Zm9v\0YmFy", 9)), "foo");
    EXPECT_EQ(base64_decode("\xff\xfe"), "");
    EXPECT_EQ(base64_decode("="), "");
}

TEST(Base64, partial_final_groups) {
    EXPECT_EQ(base64_decode("Zm9vYmE"), "fooba");  // three characters: two bytes
    EXPECT_EQ(base64_decode("Zm9vYg"), "foob");    // two characters: one byte
    EXPECT_EQ(base64_decode("Zm9vY"), "foo");      // one character carries no whole byte
    EXPECT_EQ(base64_decode("Z"), "");
}
