// Fuzz target: the configuration file, read as main() reads it (vyr::config from a
// stream). A file is either accepted or rejected with one of the two documented
// exceptions: "Cannot parse json: ..." (std::runtime_error) for text that is not JSON,
// "Config file is invalid: ..." (vyr::libs::core::exception) for a wrong tree. Anything
// else escaping is a crash, and so is a reason line that names neither an object, a
// field nor a port out of range.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>

#include "app/config.h"
#include "core/exception.h"
#include "support/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* _data, std::size_t _size) {
    std::istringstream stream(std::string(reinterpret_cast<const char*>(_data), _size));
    try {
        const vyr::config config(stream);
    } catch (const vyr::libs::core::exception& e) {
        // One reason per failing key, each naming an object or a field.
        static const std::string head = "Config file is invalid: ";
        FUZZ_CHECK(e.message().rfind(head, 0) == 0, e.message());
        std::istringstream reasons(e.message().substr(head.size()));
        std::string reason;
        while (std::getline(reasons, reason))
            FUZZ_CHECK(reason.rfind("Can not find object <object>: ", 0) == 0 ||
                           reason.rfind("Can not find field <", 0) == 0 ||
                           reason.rfind("Port out of range 1-65535: ", 0) == 0,
                       "reason \"" + reason + "\"");
    } catch (const std::runtime_error& e) {
        FUZZ_CHECK(std::string(e.what()).rfind("Cannot parse json: ", 0) == 0, e.what());
    }
    return 0;
}
