// Base64 as used on the schedule content from the platform: standard vectors, round
// trips of every short length, and decoding of truncated or damaged text.
#include <string>
#include <tuple>

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

TEST(Base64, round_trip_of_all_byte_values_and_lengths_also_wrapped_at_76) {
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    for (std::size_t length = 0; length <= bytes.size(); ++length) {
        const std::string tail = bytes.substr(bytes.size() - length);
        std::string wrapped = encode(tail);
        for (std::size_t at = 76; at < wrapped.size(); at += 78)
            wrapped.insert(at, "\r\n");
        EXPECT_EQ(base64_decode(encode(tail)), tail) << "length " << length;
        EXPECT_EQ(base64_decode(wrapped), tail) << "length " << length;
    }
}

TEST(Base64, decode_skips_blanks_and_tells_where_padding_or_a_foreign_character_cut_it) {
    constexpr auto whole = std::string::npos;
    const std::tuple<std::string, std::string, std::size_t> cases[] = {
        {"Zm9v\nYmFy", "foobar", whole}, {"Zm9vYmFy\r\n", "foobar", whole}, {" Zm9v\tYm Fy ", "foobar", whole},
        {"Zm8=\n", "fo", whole}, {"Zg= =\r\n", "f", whole}, {"Zm8=Zm9v", "fo", 4}, {"Zm8= =x", "fo", 6},
        {"Zm9v-YmFy", "foo", 4}, {std::string("Zm9v\0YmFy", 9), "foo", 4}, {"\xff\xfe", "", 0}, {"=", "", whole},
        // A partial final group: three characters carry two bytes, two one, one none.
        {"Zm9vYmE", "fooba", whole}, {"Zm9vYg", "foob", whole}, {"Zm9vY", "foo", whole}, {"Z", "", whole},
    };
    for (const auto& [coded, plain, cut] : cases) {
        std::size_t cut_at = 0;
        EXPECT_EQ(base64_decode(coded, &cut_at), plain) << coded;
        EXPECT_EQ(cut_at, cut) << coded;
    }
}
