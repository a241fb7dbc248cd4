// The service configuration, read once at start from the JSON file named on the command
// line. main() builds it and hands it to the application object; afterwards it is only
// read, so any thread may read it. Construction validates every required key.
#pragma once

#include <cstdint>
#include <istream>
#include <string>

namespace vyr {

struct config {
    // Reads and checks the whole file. Throws std::runtime_error "Cannot parse json: ..."
    // when the text is not JSON, and vyr::libs::core::exception "Config file is invalid: "
    // + one reason per missing or mistyped required key or port outside 1..65535
    // (newline-separated, in the order of the members below) otherwise.
    explicit config(std::istream& _stream);
    // The same from the file `_file_name`; a file that cannot be read throws
    // vyr::libs::core::exception "cannot open <file>: <strerror>".
    static config from_file(const std::string& _file_name);

    struct {
        std::string pidfile;
        std::string debug_port;  // ZeroMQ endpoint of the debug console
        bool local_debug = false;
        bool push_schedule_to_destination = false;  // optional, false when absent or not a boolean
    } system;

    struct {
        std::string address;
        std::uint32_t output_port = 0;  // the proxy publishes here
        std::uint32_t input_port = 0;   // the proxy takes messages here
    } proxy;

    struct {
        std::string protocol;
        std::string address;
        std::int32_t port = 0;
    } server;

    struct {
        std::string address;
        std::int32_t port = 0;
    } redis;
};

}  // namespace vyr
