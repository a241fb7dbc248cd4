#include "common/base64.h"

#include <array>

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int, 256> make_index() {
    std::array<int, 256> index{};
    for (auto& i : index)
        i = -1;
    for (int i = 0; i < 64; ++i)
        index[static_cast<unsigned char>(alphabet[i])] = i;
    return index;
}

constexpr auto sextet = make_index();

constexpr bool is_blank(char _c) { return _c == ' ' || _c == '\t' || _c == '\r' || _c == '\n'; }

}  // namespace

std::string base64_encode(const unsigned char* _bytes, std::size_t _in_len) {
    std::string out;
    out.reserve((_in_len + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= _in_len; i += 3) {
        const unsigned v = (_bytes[i] << 16) | (_bytes[i + 1] << 8) | _bytes[i + 2];
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    const std::size_t rest = _in_len - i;
    if (rest > 0) {
        unsigned v = _bytes[i] << 16;
        if (rest == 2)
            v |= _bytes[i + 1] << 8;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += rest == 2 ? alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string base64_decode(const std::string& _encoded, std::size_t* _cut_at) {
    std::string out;
    unsigned group = 0;
    int count = 0;
    std::size_t position = 0;
    for (; position < _encoded.size(); ++position) {
        const char c = _encoded[position];
        if (is_blank(c))
            continue;
        const int value = sextet[static_cast<unsigned char>(c)];
        if (value < 0)
            break;  // "=" or anything outside the alphabet ends the data
        group = (group << 6) | static_cast<unsigned>(value);
        if (++count == 4) {
            out += static_cast<char>((group >> 16) & 0xFF);
            out += static_cast<char>((group >> 8) & 0xFF);
            out += static_cast<char>(group & 0xFF);
            group = 0;
            count = 0;
        }
    }
    if (count == 2) {
        out += static_cast<char>((group >> 4) & 0xFF);
    } else if (count == 3) {
        out += static_cast<char>((group >> 10) & 0xFF);
        out += static_cast<char>((group >> 2) & 0xFF);
    }
    if (_cut_at) {
        // Padding may only be followed by more padding and blanks; anything else is data
        // that was not decoded.
        if (position < _encoded.size() && _encoded[position] == '=')
            while (position < _encoded.size() && (_encoded[position] == '=' || is_blank(_encoded[position])))
                ++position;
        *_cut_at = position < _encoded.size() ? position : std::string::npos;
    }
    return out;
}
