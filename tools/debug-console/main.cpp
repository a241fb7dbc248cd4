// quorvane-debug-console: the remote end of the service's debug stream. Binds a PULL
// socket at the endpoint given on the command line (the service's system/debug_port
// connects to it) and prints each log frame on its own line until Ctrl-C or SIGTERM,
// or until --count frames have arrived. Single-threaded.
//
//   quorvane-debug-console [--count N] ENDPOINT     e.g. tcp://127.0.0.1:5557
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>

#include <zmq.hpp>

namespace {

volatile sig_atomic_t stop_requested = 0;

void on_signal(int) { stop_requested = 1; }

// The text of --help; the manual page quorvane-debug-console(1) is made from it.
const char* const s_usage =
    "Usage: quorvane-debug-console [--count N] ENDPOINT\n"
    "Binds a PULL socket at ENDPOINT (the service's system.debug_port connects to it,\n"
    "e.g. tcp://127.0.0.1:5557) and prints every log record of the service's debug\n"
    "stream on its own line, until Ctrl-C or SIGTERM.\n"
    "\n"
    "Options:\n"
    "  --count N   exit after N records\n"
    "  --help      show this text\n"
    "\n"
    "Exit status: 0 after a signal or N records, 1 when ENDPOINT cannot be bound, 2 for\n"
    "bad arguments.\n";

int usage(const char* _program) {
    std::cerr << "usage: " << _program << " [--count N] ENDPOINT" << std::endl;
    return 2;
}

// Prints one frame; returns whether one was there.
bool print_frame(zmq::socket_t& _socket, zmq::recv_flags _flags) {
    zmq::message_t frame;
    if (!_socket.recv(frame, _flags))
        return false;
    std::cout << frame.to_string_view() << '\n' << std::flush;
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    std::string endpoint;
    long long count = -1;  // frames to print before exiting; -1: until a signal
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--count" && i + 1 < argc) {
            char* end = nullptr;
            errno = 0;
            count = std::strtoll(argv[++i], &end, 10);
            if (errno != 0 || *end != '\0' || end == argv[i] || count < 1)
                return usage(argv[0]);
        } else if (argument == "-h" || argument == "--help") {
            std::cout << s_usage;
            return 0;
        } else if (endpoint.empty() && !argument.empty() && argument[0] != '-') {
            endpoint = argument;
        } else {
            return usage(argv[0]);
        }
    }
    if (endpoint.empty())
        return usage(argv[0]);

    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    try {
        zmq::context_t context(1);
        zmq::socket_t socket(context, zmq::socket_type::pull);
        socket.set(zmq::sockopt::linger, 0);
        socket.bind(endpoint);

        long long printed = 0;
        while (!stop_requested && (count < 0 || printed < count)) {
            zmq::pollitem_t item{socket.handle(), 0, ZMQ_POLLIN, 0};
            try {
                // A short poll keeps the loop looking at the stop flag.
                if (zmq::poll(&item, 1, std::chrono::milliseconds(200)) == 0)
                    continue;
            } catch (const zmq::error_t& e) {
                if (e.num() == EINTR)
                    continue;
                throw;
            }
            if (print_frame(socket, zmq::recv_flags::dontwait))
                ++printed;
        }
        // Frames already received when the stop came are still shown.
        while (stop_requested && print_frame(socket, zmq::recv_flags::dontwait)) {
        }
    } catch (const zmq::error_t& e) {
        std::cerr << argv[0] << ": " << endpoint << ": " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
