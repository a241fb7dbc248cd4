// Fuzz target: the text constructors of the parameter value classes, which read the JSON
// text a WIN record keeps. The first byte picks the class, the rest is the text. For every
// value: the payload is a well-formed frame of the class's type (type byte, length byte,
// exactly that many value bytes, hexadecimal), and writing the value back and
// reading that text gives an equal value with the same text and the same payload, so a
// stored value never looks changed to the delivery comparison. JsonCpp writes a text that
// is not valid UTF-8 (or holds a lone surrogate) with U+FFFD in place of the bad
// sequence, so for such texts only the second round trip must be exact.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

#include <json/json.h>

#include "core/exception.h"
#include "core/json.h"
#include "parameters/parameters.h"
#include "support/fuzz_support.h"

namespace {

using namespace vyr::parameter;

void check_payload(const std::string& _payload, parameter_t _type, const std::string& _text) {
    const std::string detail = "payload \"" + _payload + "\" of \"" + fuzz::printable(_text) + "\"";
    FUZZ_CHECK(_payload.size() >= 4 && _payload.size() % 2 == 0, detail);
    // Hexadecimal digits; a TDOA partner's address text keeps its letter case.
    for (const char c : _payload)
        FUZZ_CHECK(std::isxdigit(static_cast<unsigned char>(c)), detail);
    FUZZ_CHECK(_payload.compare(0, 2, hex(_type, 2)) == 0, detail + ": type byte");
    const std::size_t length = std::stoul(_payload.substr(2, 2), nullptr, 16);
    FUZZ_CHECK(_payload.size() == 4 + 2 * length, detail + ": length byte");
}

// Strict UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
bool is_utf8(const std::string& _text) {
    std::size_t i = 0;
    while (i < _text.size()) {
        const auto byte = static_cast<unsigned char>(_text[i]);
        std::size_t extra = 0;
        std::uint32_t code = 0;
        if (byte < 0x80) {
            ++i;
            continue;
        } else if (byte >= 0xC2 && byte <= 0xDF) {
            extra = 1;
            code = byte & 0x1F;
        } else if (byte >= 0xE0 && byte <= 0xEF) {
            extra = 2;
            code = byte & 0x0F;
        } else if (byte >= 0xF0 && byte <= 0xF4) {
            extra = 3;
            code = byte & 0x07;
        } else {
            return false;
        }
        if (i + extra >= _text.size())
            return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(_text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        static const std::uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
        if (code < smallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

// Whether every member name and text of the document is strict UTF-8.
bool all_utf8(const Json::Value& _value) {
    if (_value.isString())
        return is_utf8(_value.asString());
    if (_value.isObject()) {
        for (const auto& name : _value.getMemberNames())
            if (!is_utf8(name) || !all_utf8(_value[name]))
                return false;
    } else if (_value.isArray()) {
        for (const auto& element : _value)
            if (!all_utf8(element))
                return false;
    }
    return true;
}

template <class Value>
void run(parameter_t _type, const std::string& _text) {
    auto& logger = fuzz::logger();
    const Value value(_text, logger);
    if constexpr (std::is_same_v<Value, param_veh_cert>) {
        // A certification id its byte cannot hold is never delivered: it has no payload.
        if (!value.fits()) {
            bool refused = false;
            try {
                (void)value.to_hex();
            } catch (const vyr::libs::core::exception&) {
                refused = true;
            }
            FUZZ_CHECK(refused, "\"" + fuzz::printable(_text) + "\": a certification id beyond its byte has a payload");
            return;
        }
    }
    const std::string payload = value.to_hex();
    check_payload(payload, _type, _text);

    const std::string written = value.to_json_string();
    const Value again(written, logger);
    const std::string detail = "\"" + fuzz::printable(_text) + "\" written as \"" + fuzz::printable(written) + "\"";
    FUZZ_CHECK(again.is_null() == value.is_null(), detail);
    FUZZ_CHECK(again.to_json_string() == written, detail + ": written differently the second time");
    const auto parsed = vyr::libs::core::json::try_parse(_text);
    if (parsed.ok && !all_utf8(parsed.result))
        return;
    FUZZ_CHECK(again == value, detail + ": read back unequal");
    FUZZ_CHECK(again.to_hex() == payload, detail + ": another payload after the round trip");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* _data, std::size_t _size) {
    if (_size == 0)
        return 0;
    const std::string text(reinterpret_cast<const char*>(_data) + 1, _size - 1);
    using runner = void (*)(parameter_t, const std::string&);
    static const std::pair<runner, parameter_t> classes[] = {
        {run<param_tdoa_schedule>, TDOA_SCHEDULE}, {run<param_veh_cert>, VEH_CERT}, {run<param_driver_lic>, DRIVER_LIC},
        {run<param_nwk_cfg>, NWK_CFG}, {run<param_em_alm>, EM_ALM}, {run<param_scr_name>, SCR_NAME},
        {run<param_scr_gname>, SCR_GNAME}};
    const auto& [value_class, type] = classes[_data[0] % 7];
    value_class(type, text);
    return 0;
}
