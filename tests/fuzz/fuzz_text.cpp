// Fuzz target: the text helpers that read outside input: base64 (both ways), the duration
// parser of sleep orders (parse_time) and the MAC normaliser (comb_mac). The first byte
// picks the helper, the rest is its input. Decoding anything must not fault, encoding any
// bytes must decode to the same bytes, and a MAC that comb_mac accepts is 16 characters
// with no lower-case letter.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/base64.h"
#include "common/globals.h"
#include "support/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* _data, std::size_t _size) {
    if (_size == 0)
        return 0;
    const auto* bytes = _data + 1;
    const std::size_t size = _size - 1;
    const std::string text(reinterpret_cast<const char*>(bytes), size);
    switch (_data[0] % 4) {
    case 0:
        (void)base64_decode(text);
        break;
    case 1: {
        const std::string encoded = base64_encode(bytes, size);
        FUZZ_CHECK(encoded.size() == (size + 2) / 3 * 4, "encoded length of " + std::to_string(size) + " bytes");
        FUZZ_CHECK(base64_decode(encoded) == text, "\"" + fuzz::printable(text) + "\" encoded as " + encoded);
        break;
    }
    case 2:
        (void)parse_time(text);
        break;
    case 3: {
        std::string mac = text;
        if (comb_mac(mac)) {
            FUZZ_CHECK(mac.size() == 16, "\"" + fuzz::printable(text) + "\" became \"" + fuzz::printable(mac) + "\"");
            for (const char c : mac)
                FUZZ_CHECK((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'),
                           "\"" + fuzz::printable(mac) + "\" is not upper-case hexadecimal");
        } else {
            FUZZ_CHECK(mac == text, "a rejected MAC was changed");
        }
        break;
    }
    }
    return 0;
}
