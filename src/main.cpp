// Process entry of the site server: takes the configuration file from -c, refuses to
// start while another instance holds the pid file's lock, locks it and writes its pid,
// connects the debug stream, builds the application (waiting for Redis) and runs it
// until SIGINT or SIGTERM asks it to stop. Exit status 0 after a requested stop, also
// when the stop came while Redis was still awaited; 1 when start-up fails or a worker
// could not start (the reason goes to the log and to standard error). --help and
// --version answer on standard output and exit 0 before anything else is done.
#include <csignal>
#include <iostream>
#include <memory>
#include <string>

#include "app/config.h"
#include "app/quorvane.h"
#include "common/globals.h"
#include "core/constants.h"
#include "core/exception.h"
#include "core/get_config_file_name.h"
#include "core/logger.h"
#include "core/pid_file.h"
#include "redis/connection.h"
#include "redis/master_watch.h"

#ifdef QUORVANE_JEMALLOC_CONF
// jemalloc's settings, read at the first allocation (MALLOC_CONF in the environment
// overrides them). One arena rather than four per core: the threads allocate little at
// once, and eight arenas on two cores each kept their own half-empty pages (a start-up at
// 50,000 devices peaked 50 MiB higher). Freed pages go back to the kernel after one
// second, not ten: the start-up's peak is not kept, while pages freed and taken again
// within a second (the receiver's batches, a step's records) are not faulted in again.
extern "C" {
const char* malloc_conf = "narenas:1,dirty_decay_ms:1000,muzzy_decay_ms:0";
}
#endif

namespace {

// The text of --help; the manual page rtls-quorvane(8) is made from it.
const char* const s_usage =
    "Usage: rtls-quorvane -c FILE\n"
    "The RTLS site-server service: keeps the configuration parameters of every field\n"
    "device (tags and anchors) in step with the project of the platform server, and\n"
    "carries alarms, screen texts and sleep orders to the devices. Runs until SIGINT or\n"
    "SIGTERM; under systemd as the unit rtls-quorvane.service.\n"
    "\n"
    "Options:\n"
    "  -c FILE     the configuration file (JSON); the last -c counts\n"
    "  --help      show this text\n"
    "  --version   show the version\n"
    "\n"
    "Exit status: 0 after a requested stop (SIGINT or SIGTERM), 1 when the start fails\n"
    "or a worker cannot start (the reason goes to standard error and to the log).\n";

// Answers --help or --version when one is among the arguments.
bool answered_help(int _argc, char* _argv[]) {
    for (int i = 1; i < _argc; ++i) {
        const std::string argument = _argv[i];
        if (argument == "--help" || argument == "-h") {
            std::cout << s_usage;
            return true;
        }
        if (argument == "--version") {
            std::cout << module_name << " " << vyr::libs::core::constants::git_version << "\n";
            return true;
        }
    }
    return false;
}

// The reason a start failed, for the operator's terminal.
std::string failure_text() {
    try {
        throw;
    } catch (const vyr::libs::core::exception& e) {
        return e.message();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown exception";
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    if (answered_help(argc, argv))
        return 0;
    // SIGINT and SIGTERM are blocked here, before any other thread exists, and taken by
    // a dedicated thread that turns them into stop_all().
    install_stop_signals();
    // A peer that goes away mid-write (platform server, debug console) must show up as a
    // failed call, not end the process.
    std::signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<vyr::libs::core::logger> logger;
    try {
        logger = std::make_unique<vyr::libs::core::logger>(module_name, "main");
    } catch (...) {
        std::cerr << module_name << ": " << failure_text() << std::endl;
        return 1;
    }

    try {
        const std::string file_name = vyr::libs::core::get_config_file_name(argc, argv);
        const auto configuration = vyr::config::from_file(file_name);

        // Locked until main returns: a second instance is refused meanwhile.
        const vyr::libs::core::pid_file pid_file(configuration.system.pidfile);

        logger->connect(configuration.system.debug_port);
        logger->set_debug(configuration.system.local_debug);
        if (const std::string warning = configuration.exposure_warning(file_name); !warning.empty()) {
            logger->warning("%1%").location(VYR_HERE) % warning;
            std::cerr << module_name << ": warning: " << warning << std::endl;
        }
        // Every Redis connection of the service logs in with these, reconnections too.
        vyr::redis::set_default_credentials({configuration.redis.user, configuration.redis.password});
        // With sentinels, every connection asks them where the master is now.
        vyr::redis::set_sentinel_settings({configuration.redis.sentinels, configuration.redis.master_name,
                                           configuration.redis.sentinel_password});
        // Under Sentinel, a thread that hears of each switch of the master at once; it
        // stops within a second at the end of this block.
        const auto watch_logger = logger->component("redis");
        const vyr::redis::master_watch master_watch(*watch_logger);

        try {
            c_quorvane application(configuration, *logger);
            application.run();
        } catch (...) {
            // A stop during the Redis wait leaves the constructor with the last connection
            // error: that is a requested stop, not a failed start.
            if (!stop_requested())
                throw;
            logger->log_exception();
        }
        // A worker that could not start stopped the service: a failure, so that a service
        // manager restarts it.
        if (const std::string failure = stop_failure(); !failure.empty()) {
            logger->error("exit: %1%").location(VYR_HERE) % failure;
            std::cerr << module_name << ": " << failure << std::endl;
            return 1;
        }
        logger->info("exit").location(VYR_HERE);
    } catch (...) {
        // The objects of the try block are gone by now; the logger is the last to go.
        logger->log_exception();
        std::cerr << module_name << ": " << failure_text() << std::endl;
        return 1;
    }
    return 0;
}
