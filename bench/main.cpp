// quorvane-bench: measures the service at sites of several sizes and prints one table.
// For each size it makes a project with quorvane-make-project, serves it with the
// platform stand-in, starts a private redis-server, runs the in-process benchmarks
// (Google Benchmark) and then the end-to-end ones against the built rtls-quorvane with
// the device simulator as load generator. The table goes to standard output; progress
// goes to standard error. Google Benchmark's own --benchmark_* options are accepted.
#include <benchmark/benchmark.h>
#include <getopt.h>
#include <signal.h>

#include <chrono>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/logger.h"
#include "end_to_end.h"
#include "inprocess.h"
#include "redis_probe.h"
#include "report.h"
#include "site.h"
#include "support/process.h"

namespace {

const char* const s_usage =
    "Usage: quorvane-bench [options] [--benchmark_... options of Google Benchmark]\n"
    "Measures rtls-quorvane at sites of several sizes and prints one table.\n"
    "\n"
    "  --sizes N,N,...     site sizes in devices (default 1000,10000,50000)\n"
    "  --quick             fewer iterations and shorter load phases (a smoke run)\n"
    "  --skip-e2e          only the in-process parts\n"
    "  --generator PATH    quorvane-make-project to use (default: next to this binary)\n"
    "  --detail            also print the Redis commands of each figure by name\n"
    "  --log               the in-process service code logs at debug level to standard error\n"
    "  --service-log FILE  the service of the end-to-end parts logs at debug level to\n"
    "                      FILE.<devices>\n"
    "  --help              show this text\n";

std::vector<int> parse_sizes(const std::string& _text) {
    std::vector<int> sizes;
    std::istringstream in(_text);
    std::string item;
    while (std::getline(in, item, ','))
        sizes.push_back(std::stoi(item));
    return sizes;
}

std::string redis_version() {
    test::temp_dir dir;
    test::process::options options;
    options.stdout_path = dir.file("out");
    test::process version("/usr/bin/env", {"redis-server", "--version"}, options);
    version.wait(std::chrono::seconds(10));
    const std::string text = test::read_file(dir.file("out"));
    const auto at = text.find("v=");
    if (at == std::string::npos)
        return "?";
    return text.substr(at + 2, text.find(' ', at) - at - 2);
}

// The 1-minute load average: what else ran on the machine shows in every figure.
std::string load_average() {
    std::string text = test::read_file("/proc/loadavg");
    return text.substr(0, text.find(' '));
}

double seconds_since(std::chrono::steady_clock::time_point _start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - _start).count();
}

// The command line's choices.
struct options {
    std::vector<int> sizes = {1000, 10000, 50000};
    bool quick = false;
    bool skip_e2e = false;
    bool log = false;
    bool detail = false;
    std::string service_log;
    std::string generator = test::binary("quorvane-make-project");
};

// Reads the options after Google Benchmark took its own; an exit status when the
// program is to end at once (help, or a bad option).
std::optional<int> parse_options(int argc, char* argv[], options& _o) {
    static const option long_options[] = {
        {"sizes", required_argument, nullptr, 's'},       {"quick", no_argument, nullptr, 'q'},
        {"skip-e2e", no_argument, nullptr, 'e'},          {"generator", required_argument, nullptr, 'g'},
        {"log", no_argument, nullptr, 'l'},               {"detail", no_argument, nullptr, 'd'},
        {"service-log", required_argument, nullptr, 'S'}, {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0}};
    int c = 0;
    while ((c = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
        switch (c) {
        case 's':
            try {
                _o.sizes = parse_sizes(optarg);
            } catch (const std::exception&) {
                std::cerr << "bad --sizes: " << optarg << "\n";
                return 2;
            }
            break;
        case 'q':
            _o.quick = true;
            break;
        case 'e':
            _o.skip_e2e = true;
            break;
        case 'g':
            _o.generator = optarg;
            break;
        case 'l':
            _o.log = true;
            break;
        case 'd':
            _o.detail = true;
            break;
        case 'S':
            _o.service_log = optarg;
            break;
        case 'h':
            std::cout << s_usage;
            return 0;
        default:
            std::cerr << s_usage;
            return 2;
        }
    }
    return std::nullopt;
}

// Every measurement at one site size; a failure ends the size with a note.
bench::size_results run_size(int _devices, const options& _o, vyr::libs::core::component_logger& _logger) {
    bench::size_results r;
    try {
        std::cerr << "== site of " << _devices << " devices\n";
        bench::site site(_devices, _o.generator);
        std::cerr << "== redis-server on port " << site.redis().port() << ", platform stand-in on port "
                  << site.platform().port() << ", project in " << site.project_dir() << "\n";
        r.devices = site.shape().devices;
        r.tags = site.shape().tags;
        r.anchors = site.shape().anchors;

        bench::inprocess_options in;
        in.progress = &std::cerr;
        // A pass or refresh over thousands of devices is itself an average: larger
        // sites run it fewer times.
        in.refresh_iterations = _o.quick || _devices > 2000 ? 1 : 2;
        in.pass_iterations = _o.quick || _devices > 2000 ? 1 : 2;
        const auto phase = std::chrono::steady_clock::now();
        bench::run_inprocess(site, _logger, in, r);
        std::cerr << "== in-process parts of " << _devices << " devices took " << seconds_since(phase) << " s\n";

        if (!_o.skip_e2e) {
            bench::end_to_end_options e2e;
            e2e.quick = _o.quick;
            e2e.service_log = _o.service_log;
            const auto e2e_phase = std::chrono::steady_clock::now();
            bench::run_end_to_end(site, e2e, r);
            std::cerr << "== end-to-end parts of " << _devices << " devices took " << seconds_since(e2e_phase)
                      << " s\n";
        }
    } catch (const std::exception& e) {
        r.notes.push_back(std::string("failed: ") + e.what());
        std::cerr << "site of " << _devices << " devices failed: " << e.what() << "\n";
    }
    return r;
}

}  // namespace

int main(int argc, char* argv[]) {
    const auto started = std::chrono::steady_clock::now();
    const std::string load_before = load_average();
    benchmark::Initialize(&argc, argv);
    options o;
    if (const auto status = parse_options(argc, argv, o))
        return *status;
    // A child that dies must not take the benchmark with it through a broken pipe.
    ::signal(SIGPIPE, SIG_IGN);

    vyr::libs::core::logger logger("quorvane-bench", "bench");
    logger.set_writing_to_socket(false);
    logger.set_debug(o.log);

    std::vector<bench::size_results> results;
    for (const int devices : o.sizes)
        results.push_back(run_size(devices, o, logger));

    bench::run_description run;
    run.machine = std::to_string(std::thread::hardware_concurrency()) + " cores";
    run.redis_version = redis_version();
#ifdef NDEBUG
    run.build_type = "optimised";
#else
    run.build_type = "debug (figures not representative)";
#endif
    run.load_before = load_before;
    run.load_after = load_average();
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    bench::print_table(std::cout, run, results);
    bench::print_goals(std::cout, results);
    if (o.detail)
        bench::print_breakdowns(std::cout, results);
    benchmark::Shutdown();
    return 0;
}
