// quorvane-platform-server: command-line front of the platform server stand-in (see
// platform_server.h for what it serves and how faults are injected). Prints the port it
// listens on as the first line of standard output, then serves until SIGINT or SIGTERM.
#include <getopt.h>
#include <pthread.h>
#include <signal.h>

#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <sys/stat.h>
#include <thread>

#include "platform_server.h"

namespace {

const char* const s_usage =
    "Usage: quorvane-platform-server [options]\n"
    "Serves a project of the platform's private REST API from a folder of JSON files.\n"
    "\n"
    "Options:\n"
    "  --port N          port to listen on (default 0: any free port)\n"
    "  --bind ADDR       address to listen on (default 127.0.0.1)\n"
    "  --project DIR     project folder (default: the current folder)\n"
    "  --log FILE        also append every request, one JSON line each, to FILE\n"
    "  --fail PATH=CODE  answer requests for PATH with HTTP status CODE (repeatable)\n"
    "  --hang PATH       never answer requests for PATH (repeatable)\n"
    "  --quiet           do not log requests on standard error\n"
    "  --tls-cert FILE   serve HTTPS with this certificate (PEM; needs --tls-key)\n"
    "  --tls-key FILE    the certificate's private key (PEM)\n"
    "  --basic-auth USER:PASSWORD\n"
    "                    answer 401 to requests without these credentials\n"
    "  --help            show this text\n"
    "\n"
    "Files of the folder: win_anchors.json, track_obj.json, groups.json, zones.json,\n"
    "sublocations.json, alarms_active.json, tdoa_settings.json, tdoa_schedules.json,\n"
    "driver_licenses.json, vehicle_certifications.json; each holds the whole answer of\n"
    "its collection path (a missing file answers 404). A path with a uid after the\n"
    "collection keeps the elements of that uid; ?obj_uid[]=X keeps those of object X;\n"
    "a non-empty X-User-Project header keeps those of that project.\n"
    "An optional control.json in the folder, read on every request, adds fault rules:\n"
    "  {\"fail\": {\"/api/private/groups/\": 500}, \"hang\": [\"/api/private/zones/*\"],\n"
    "   \"delay\": {\"/api/private/alarms/active/\": 8}}  (answered 8 s later)\n"
    "  \"stale\": {PATH: SECONDS} answers SECONDS later what the folder held at the request\n"
    "A PATH ending in '*' matches every path starting with the text before it.\n"
    "The port is printed on the first line of standard output.\n";

bool parse_port(const std::string& _text, int& _port) {
    try {
        std::size_t used = 0;
        const int value = std::stoi(_text, &used);
        if (used != _text.size() || value < 0 || value > 65535)
            return false;
        _port = value;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    vyr::tools::platform_server_options options;
    static const option long_options[] = {
        {"port", required_argument, nullptr, 'p'}, {"bind", required_argument, nullptr, 'b'},
        {"project", required_argument, nullptr, 'd'}, {"log", required_argument, nullptr, 'l'},
        {"fail", required_argument, nullptr, 'f'}, {"hang", required_argument, nullptr, 'H'},
        {"quiet", no_argument, nullptr, 'q'}, {"help", no_argument, nullptr, 'h'},
        {"tls-cert", required_argument, nullptr, 'C'}, {"tls-key", required_argument, nullptr, 'K'},
        {"basic-auth", required_argument, nullptr, 'A'},
        {nullptr, 0, nullptr, 0}};
    int c = 0;
    while ((c = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
        switch (c) {
        case 'p':
            if (!parse_port(optarg, options.port)) {
                std::cerr << "bad --port: " << optarg << "\n";
                return 2;
            }
            break;
        case 'b':
            options.bind = optarg;
            break;
        case 'd':
            options.project_dir = optarg;
            break;
        case 'l':
            options.log_file = optarg;
            break;
        case 'f': {
            const std::string rule = optarg;
            const auto equal = rule.rfind('=');
            int status = 0;
            if (equal == std::string::npos || !parse_port(rule.substr(equal + 1), status) || status < 100 ||
                status > 599) {
                std::cerr << "bad --fail (want PATH=STATUS): " << rule << "\n";
                return 2;
            }
            options.fail[rule.substr(0, equal)] = status;
            break;
        }
        case 'H':
            options.hang.push_back(optarg);
            break;
        case 'q':
            options.quiet = true;
            break;
        case 'C':
            options.cert_file = optarg;
            break;
        case 'K':
            options.key_file = optarg;
            break;
        case 'A':
            options.basic_auth = optarg;
            break;
        case 'h':
            std::cout << s_usage;
            return 0;
        default:
            std::cerr << s_usage;
            return 2;
        }
    }
    if (optind < argc) {
        std::cerr << "unexpected argument: " << argv[optind] << "\n" << s_usage;
        return 2;
    }
    if (options.cert_file.empty() != options.key_file.empty()) {
        std::cerr << "--tls-cert and --tls-key go together\n";
        return 2;
    }
    struct stat info {};
    if (::stat(options.project_dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        std::cerr << "project folder not found: " << options.project_dir << "\n";
        return 2;
    }

    // The signals are taken by a thread of our own, so stopping runs in normal context.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    try {
        vyr::tools::platform_server server(options);
        const int port = server.bind();
        std::cout << port << std::endl;
        std::cerr << "quorvane-platform-server: serving " << options.project_dir << " on "
                  << (options.cert_file.empty() ? "http://" : "https://") << options.bind << ":" << port
                  << (options.basic_auth.empty() ? "" : " (basic authentication)") << std::endl;
        std::thread stopper([&server, signals] {
            int number = 0;
            sigwait(&signals, &number);
            server.stop();
        });
        std::exception_ptr failure;
        try {
            server.run();
        } catch (...) {
            failure = std::current_exception();
        }
        // run() ends once the stopper has called stop(), which may still be running: the
        // server must outlive it. A stopper still waiting (run() failed) is woken first;
        // the signal stays blocked, so it only ends the wait.
        pthread_kill(stopper.native_handle(), SIGTERM);
        stopper.join();
        if (failure)
            std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        std::cerr << "quorvane-platform-server: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
