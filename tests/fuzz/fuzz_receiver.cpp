// Fuzz target: the body of a message on one of the gateway topics the receiver takes, as
// the receiver thread hands it to its handler, on the sample project's mirror. The first
// byte picks the topic (its value modulo 5, in the order of s_handlers); the rest is the
// body. Seeds: corpus/receiver/<topic>_<name>, each starting with its topic's byte.
#include <cstddef>
#include <cstdint>
#include <string>

#include "support/receiver_harness.h"

namespace {

const fuzz::receiver_harness::handler_t s_handlers[] = {
    &c_receiver::process_param_p,    // 0: a device's parameter report or request ("#param_p")
    &c_receiver::process_notify,     // 1: a server change notification or node announcement ("#notify")
    &c_receiver::process_alarm,      // 2: an alarm of a trackable object ("#alarm")
    &c_receiver::process_hw_report,  // 3: a hardware report with sleep confirmations ("#hw_report")
    &c_receiver::process_srv_conf,   // 4: a server sleep order ("#srv_conf")
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    (void)fuzz::receiver_harness::instance();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* _data, std::size_t _size) {
    if (_size == 0)
        return 0;
    const auto handler = s_handlers[_data[0] % (sizeof s_handlers / sizeof s_handlers[0])];
    fuzz::receiver_harness::instance().run(handler, std::string(reinterpret_cast<const char*>(_data) + 1, _size - 1));
    return 0;
}
