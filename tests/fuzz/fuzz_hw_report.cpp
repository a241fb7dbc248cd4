// Fuzz target: the body of a hardware report with sleep confirmations ("#hw_report"), as the
// receiver thread hands it to c_receiver::process_hw_report, on the sample project's mirror.
#include <cstddef>
#include <cstdint>
#include <string>

#include "support/receiver_harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    (void)fuzz::receiver_harness::instance();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* _data, std::size_t _size) {
    fuzz::receiver_harness::instance().run(&c_receiver::process_hw_report,
                                           std::string(reinterpret_cast<const char*>(_data), _size));
    return 0;
}
