// Base64 as used on the schedule content from the platform: standard vectors, round
// trips of every short length, and decoding of truncated or damaged text.
#include <string>

#include <gtest/gtest.h>

#include "common/base64.h"

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

TEST(Base64, decode_stops_at_line_break_padding_or_foreign_character_and_keeps_whole_bytes) {
    const std::pair<std::string, std::string> cases[] = {
        {"Zm9v\nYmFy", "foo"}, {"Zm9vYmFy\r\n", "foobar"}, {"Zm8=Zm9v", "fo"}, {"Zm9v YmFy", "foo"},
        {"Zm9v-YmFy", "foo"},  {std::string("Zm9v\0YmFy", 9), "foo"}, {"\xff\xfe", ""}, {"=", ""},
        // A partial final group: three characters carry two bytes, two one, one none.
        {"Zm9vYmE", "fooba"}, {"Zm9vYg", "foob"}, {"Zm9vY", "foo"}, {"Z", ""},
    };
    for (const auto& [coded, plain] : cases)
        EXPECT_EQ(base64_decode(coded), plain) << coded;
}
