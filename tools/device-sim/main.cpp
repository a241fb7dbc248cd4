// quorvane-device-sim: command-line front of the device simulator (see device_sim.h):
// stands in for the gateway's ZeroMQ proxy and the devices of a project folder until
// SIGINT or SIGTERM, then exits 0.
#include <getopt.h>
#include <pthread.h>
#include <signal.h>

#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <thread>

#include "device_sim.h"

namespace {

const char* const s_usage =
    "Usage: quorvane-device-sim --project DIR --publish ENDPOINT --collect ENDPOINT [options]\n"
    "Stands in for the radio gateway's ZeroMQ proxy and the devices of a project folder.\n"
    "\n"
    "Options:\n"
    "  --project DIR           project folder of the platform stand-in (track_obj.json,\n"
    "                          win_anchors.json): its tags and anchors are the devices\n"
    "  --publish ENDPOINT      bind the PUB socket the service subscribes to (proxy output)\n"
    "  --collect ENDPOINT      bind the PULL socket the service pushes \"#win\" to (proxy input)\n"
    "  --devices N             simulate only the first N devices (tags, then anchors)\n"
    "  --ignore N:name[,...]   the first N tags refuse these parameters: never apply them and\n"
    "                          answer with what they hold (repeatable)\n"
    "  --unsupported N:name[,...]  the first N tags report null for these (repeatable)\n"
    "  --drop PERCENT          drop that share of the received commands (seeded)\n"
    "  --silent N              the last N devices announce themselves once and never answer\n"
    "  --heartbeat SECONDS     period of \"HB\" announcements (default 30, 0: none)\n"
    "  --report-rate R         unsolicited full reports per device and second (default 0)\n"
    "  --em-alm-stream DEVICE:RATE  one device (MAC, or index from 0 in the simulator's order)\n"
    "                          reports its emergency-alarm state RATE times a second\n"
    "  --stats FILE            rewrite FILE once a second with the counters (one JSON object)\n"
    "  --seed K                seed of the random choices (default 1)\n"
    "  --start-once            the devices start at the first subscription only, and keep\n"
    "                          running for the next subscriber (a standby taking over)\n"
    "  --help                  show this text\n"
    "\n"
    "The devices start (\"NA\", then a report with a request of every parameter they know)\n"
    "once the service has subscribed to \"#notify\" and \"#param_p\".\n";

bool parse_number(const std::string& _text, double& _value) {
    try {
        std::size_t used = 0;
        _value = std::stod(_text, &used);
        return used == _text.size() && _value >= 0;
    } catch (const std::exception&) {
        return false;
    }
}

bool parse_count(const std::string& _text, unsigned long long& _value) {
    try {
        std::size_t used = 0;
        _value = std::stoull(_text, &used);
        return used == _text.size() && _text.find('-') == std::string::npos;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    vyr::devsim::sim_options options;
    static const option long_options[] = {
        {"project", required_argument, nullptr, 'p'},  {"publish", required_argument, nullptr, 'P'},
        {"collect", required_argument, nullptr, 'C'},  {"devices", required_argument, nullptr, 'n'},
        {"ignore", required_argument, nullptr, 'i'},   {"unsupported", required_argument, nullptr, 'u'},
        {"drop", required_argument, nullptr, 'd'},     {"silent", required_argument, nullptr, 's'},
        {"heartbeat", required_argument, nullptr, 'b'}, {"report-rate", required_argument, nullptr, 'r'},
        {"stats", required_argument, nullptr, 'S'},    {"seed", required_argument, nullptr, 'k'},
        {"em-alm-stream", required_argument, nullptr, 'e'}, {"start-once", no_argument, nullptr, 'o'},
        {"help", no_argument, nullptr, 'h'},           {nullptr, 0, nullptr, 0}};
    const auto bad = [](const char* _option, const std::string& _value) {
        std::cerr << "bad --" << _option << ": " << _value << "\n";
        return 2;
    };
    int c = 0;
    while ((c = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
        const std::string value = optarg ? optarg : "";
        double number = 0;
        unsigned long long count = 0;
        try {
            switch (c) {
                case 'p':
                    options.project_dir = value;
                    break;
                case 'P':
                    options.publish = value;
                    break;
                case 'C':
                    options.collect = value;
                    break;
                case 'n':
                    if (!parse_count(value, count))
                        return bad("devices", value);
                    options.devices = static_cast<std::size_t>(count);
                    break;
                case 'i':
                    options.ignore.push_back(vyr::devsim::parse_rule(value));
                    break;
                case 'u':
                    options.unsupported.push_back(vyr::devsim::parse_rule(value));
                    break;
                case 'd':
                    if (!parse_number(value, number) || number > 100)
                        return bad("drop", value);
                    options.drop_percent = number;
                    break;
                case 's':
                    if (!parse_count(value, count))
                        return bad("silent", value);
                    options.silent = static_cast<std::size_t>(count);
                    break;
                case 'b':
                    if (!parse_number(value, number))
                        return bad("heartbeat", value);
                    options.heartbeat = number;
                    break;
                case 'r':
                    if (!parse_number(value, number))
                        return bad("report-rate", value);
                    options.report_rate = number;
                    break;
                case 'e':
                    options.em_alm_stream = vyr::devsim::parse_stream_rule(value);
                    break;
                case 'S':
                    options.stats_file = value;
                    break;
                case 'k':
                    if (!parse_count(value, count))
                        return bad("seed", value);
                    options.seed = count;
                    break;
                case 'o':
                    options.start_once = true;
                    break;
                case 'h':
                    std::cout << s_usage;
                    return 0;
                default:
                    std::cerr << s_usage;
                    return 2;
            }
        } catch (const std::invalid_argument& e) {
            std::cerr << "bad --" << (c == 'i' ? "ignore" : c == 'u' ? "unsupported" : "em-alm-stream") << ": "
                      << e.what() << "\n";
            return 2;
        }
    }
    if (optind < argc) {
        std::cerr << "unexpected argument: " << argv[optind] << "\n" << s_usage;
        return 2;
    }
    if (options.project_dir.empty() || options.publish.empty() || options.collect.empty()) {
        std::cerr << "--project, --publish and --collect are required\n" << s_usage;
        return 2;
    }

    // The signals are taken by a thread of our own, so stopping runs in normal context.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    try {
        vyr::devsim::device_sim sim(options);
        std::cerr << "quorvane-device-sim: " << sim.macs().size() << " devices of " << options.project_dir
                  << ", publishing on " << options.publish << ", collecting on " << options.collect << std::endl;
        std::thread([&sim, signals] {
            int number = 0;
            sigwait(&signals, &number);
            sim.stop();
        }).detach();
        sim.run();
        const auto s = sim.stats();
        std::cerr << "quorvane-device-sim: stopped; " << s.commands << " commands, " << s.reports << " reports, "
                  << s.requests << " requests, " << s.announcements << " announcements, " << s.sleep_confirmations
                  << " sleep confirmations" << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "quorvane-device-sim: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
