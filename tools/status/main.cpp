// quorvane-status: prints how every field device stands against the project, as the
// service judges it, from the service's Redis database 11. Single-threaded; with --watch
// it repeats until SIGINT or SIGTERM.
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "app/config.h"
#include "core/json.h"
#include "redis/connection.h"
#include "status.h"

namespace {

const char* const s_usage =
    "Usage: quorvane-status [options]\n"
    "Shows, for every device (WIN), which parameters are in step with the project, which\n"
    "differ, which the device rejects (it keeps answering with another value; pushed once\n"
    "a minute) and which it does not support, as the service judges them.\n"
    "\n"
    "Options:\n"
    "  --redis-host HOST   Redis host (default 127.0.0.1)\n"
    "  --redis-port PORT   Redis port (default 6379)\n"
    "  -c, --config FILE   take the Redis address, user and password and\n"
    "                      push_schedule_to_destination from the service's\n"
    "                      configuration file (options given later win)\n"
    "  --push-schedule-to-destination\n"
    "                      as the service option of that name (default off)\n"
    "  --vehicle-certification on|off\n"
    "                      whether the service delivers vehicle certificates and driver\n"
    "                      licences (default: as the service found the platform)\n"
    "  --mac MAC           one device: every parameter, must versus actual\n"
    "  --json              one JSON object instead of the table\n"
    "  --watch SECONDS     repeat every SECONDS until Ctrl-C (waiting at least as long\n"
    "                      as a reading took, so that a big site is not read nonstop)\n"
    "  --output FILE       write to FILE (replaced whole each time) instead of stdout\n"
    "  --help              show this text\n"
    "\n"
    "Exit status: 0 when every device seen is in step or rejects, 3 when some differ or are\n"
    "unreadable, 1 when Redis cannot be read, 2 for bad options.\n";

volatile sig_atomic_t stop_requested = 0;

void on_signal(int) { stop_requested = 1; }

bool parse_number(const std::string& _text, long _min, long _max, long& _out) {
    try {
        std::size_t used = 0;
        const long value = std::stol(_text, &used);
        if (used != _text.size() || value < _min || value > _max)
            return false;
        _out = value;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// Writes `_text` to `_path` through a temporary file and a rename, so a reader never
// sees half of it.
bool write_whole(const std::string& _path, const std::string& _text) {
    const std::string temporary = _path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        if (!(out << _text) || !out.flush())
            return false;
    }
    return std::rename(temporary.c_str(), _path.c_str()) == 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    namespace status = vyr::tools::status;
    status::options options;
    std::string mac;
    std::string output;
    bool json = false;
    long watch = 0;

    enum { o_host = 1000, o_port, o_push, o_cert, o_mac, o_json, o_watch, o_output, o_help };
    static const option long_options[] = {{"redis-host", required_argument, nullptr, o_host},
                                          {"redis-port", required_argument, nullptr, o_port},
                                          {"config", required_argument, nullptr, 'c'},
                                          {"push-schedule-to-destination", no_argument, nullptr, o_push},
                                          {"vehicle-certification", required_argument, nullptr, o_cert},
                                          {"mac", required_argument, nullptr, o_mac},
                                          {"json", no_argument, nullptr, o_json},
                                          {"watch", required_argument, nullptr, o_watch},
                                          {"output", required_argument, nullptr, o_output},
                                          {"help", no_argument, nullptr, o_help},
                                          {nullptr, 0, nullptr, 0}};
    int c = 0;
    long number = 0;
    while ((c = getopt_long(argc, argv, "c:h", long_options, nullptr)) != -1) {
        switch (c) {
            case o_host:
                options.redis_host = optarg;
                break;
            case o_port:
                if (!parse_number(optarg, 1, 65535, number)) {
                    std::cerr << "bad --redis-port: " << optarg << "\n";
                    return 2;
                }
                options.redis_port = static_cast<int>(number);
                break;
            case 'c':
                try {
                    const auto config = vyr::config::from_file(optarg);
                    options.redis_host = config.redis.address;
                    options.redis_port = config.redis.port;
                    options.push_schedule_to_destination = config.system.push_schedule_to_destination;
                    // Every connection of the reader logs in with these.
                    vyr::redis::set_default_credentials({config.redis.user, config.redis.password});
                    // and, with sentinels, goes to the master they name.
                    vyr::redis::set_sentinel_settings(
                        {config.redis.sentinels, config.redis.master_name, config.redis.sentinel_password});
                } catch (const std::exception& e) {
                    std::cerr << optarg << ": " << e.what() << "\n";
                    return 2;
                }
                break;
            case o_push:
                options.push_schedule_to_destination = true;
                break;
            case o_cert:
                if (std::string(optarg) == "on") {
                    options.vehicle_certification = true;
                } else if (std::string(optarg) == "off") {
                    options.vehicle_certification = false;
                } else {
                    std::cerr << "bad --vehicle-certification (on or off): " << optarg << "\n";
                    return 2;
                }
                break;
            case o_mac:
                mac = optarg;
                break;
            case o_json:
                json = true;
                break;
            case o_watch:
                if (!parse_number(optarg, 1, 86400, watch)) {
                    std::cerr << "bad --watch: " << optarg << "\n";
                    return 2;
                }
                break;
            case o_output:
                output = optarg;
                break;
            case 'h':
            case o_help:
                std::cout << s_usage;
                return 0;
            default:
                std::cerr << s_usage;
                return 2;
        }
    }
    if (optind != argc) {
        std::cerr << "unexpected argument: " << argv[optind] << "\n" << s_usage;
        return 2;
    }

    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    vyr::libs::core::logger logger("quorvane-status", "status");
    int result = 0;
    try {
        status::reader reader(options, logger);
        for (;;) {
            const auto reading_started = std::chrono::steady_clock::now();
            std::ostringstream text;
            if (!mac.empty()) {
                const auto device = reader.read_device(mac);
                if (json)
                    text << vyr::libs::core::json::to_string(status::to_json(device)) << '\n';
                else
                    status::print_device(text, device);
                result = device.status == "differing" || device.status == "error" ? 3 : 0;
            } else {
                const auto report = reader.read_all();
                if (json)
                    text << vyr::libs::core::json::to_string(status::to_json(report)) << '\n';
                else
                    status::print_table(text, report);
                result = report.totals.differing + report.totals.errors > 0 ? 3 : 0;
            }
            if (output.empty()) {
                std::cout << text.str() << std::flush;
            } else if (!write_whole(output, text.str())) {
                std::cerr << "cannot write " << output << "\n";
                return 1;
            }
            if (watch == 0)
                break;
            // Short sleeps keep the loop looking at the stop flag. The tool reads at most
            // half the time: Redis and the service it shares the machine with come first.
            const auto now = std::chrono::steady_clock::now();
            const auto until = now + std::max<std::chrono::steady_clock::duration>(std::chrono::seconds(watch),
                                                                                  now - reading_started);
            while (!stop_requested && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (stop_requested)
                break;
            if (output.empty() && !json)
                std::cout << '\n';
        }
    } catch (const status::bad_argument& e) {
        std::cerr << e.what() << "\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "cannot read the status from Redis " << options.redis_host << ":" << options.redis_port << ": "
                  << e.what() << "\n";
        return 1;
    }
    return result;
}
