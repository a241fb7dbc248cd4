// The figures of one benchmark run and the one table they are printed as: a column per
// site size, every time also as a multiple of that site's synchronous Redis round trip.
// Filled and printed by the benchmark's main thread.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace bench {

// Requests sent open-loop on a fixed schedule (tags and anchors), each timed from the
// moment it was due to its answer.
struct open_loop_figures {
    std::optional<double> p50;
    std::optional<double> p99;
    std::optional<double> max;
    std::size_t sent = 0;
    std::size_t late = 0;     // answered, but more than a second after it was due
    std::size_t dropped = 0;  // never answered within the grace period
    // Delivery cycles the service ran and periodic ones it skipped (a cycle longer than
    // its period) during the window, from its metrics; nothing when they could not be read.
    std::optional<double> cycles_run;
    std::optional<double> cycles_skipped;
    // Reads of the whole alarm list from the platform during the window, per minute.
    std::optional<double> alarm_reads_per_minute;
};

// Everything measured at one site size; a figure that could not be measured stays empty
// and prints as "n/a" (with the reason in `notes`).
struct size_results {
    int devices = 0;
    int tags = 0;
    int anchors = 0;

    // Floor (seconds).
    std::optional<double> round_trip;
    std::optional<double> pipelined;

    // 1. The mechanism's answer to a request, in-process with no pass running (seconds).
    std::optional<double> request_p50;
    std::optional<double> request_p99;
    std::optional<double> request_max;
    std::size_t request_samples = 0;
    // Redis round trips of the mechanism's connection per answer.
    std::optional<double> request_round_trips_p50;
    std::optional<double> request_round_trips_p99;
    std::optional<double> request_round_trips_max;
    // 1. Parameter request to "#win" 000F answer, end to end (seconds).
    std::optional<double> latency_p50;
    std::optional<double> latency_p99;
    std::optional<double> latency_max;
    std::size_t latency_samples = 0;  // requests sent
    std::size_t latency_lost = 0;     // of which never answered (infinite latency)
    int requested_parameters = 0;
    // Open loop while every device announces itself and asks at once (the service just
    // started), and in steady state under report load.
    open_loop_figures open_start;
    open_loop_figures open_steady;
    std::optional<double> open_steady_report_rate;

    // 2. Reports of six parameters per second, and Redis commands per report.
    std::optional<double> reports_per_second;
    std::optional<double> commands_per_report;
    std::optional<double> receiver_per_report;  // the receiver alone, in-process (seconds)
    // The same of tags with a configured t2t (the largest periodic report).
    std::optional<double> receiver_t2t_per_report;
    std::optional<double> commands_per_t2t_report;

    // 3. One processing cycle over all WINs (seconds), Redis commands and frames per WIN.
    std::optional<double> pass_in_step;
    std::optional<double> pass_in_step_commands;
    std::optional<double> pass_in_step_frames;
    std::optional<double> pass_differ;
    std::optional<double> pass_differ_commands;
    std::optional<double> pass_differ_frames;
    std::size_t wins = 0;

    // 4. Full refresh of the mirror (seconds), the platform fetch alone, Redis commands.
    std::optional<double> refresh;
    std::optional<double> refresh_fetch;
    std::optional<double> refresh_commands;

    // The site in step, end to end: average CPU of the service and of redis-server as a
    // share of one core, over `cpu_window` seconds.
    std::optional<double> cpu_service;
    std::optional<double> cpu_redis;
    double cpu_window = 0;
    // An object renamed on the platform and announced: "#notify" sent -> the frame with
    // the new name at the gateway (seconds).
    std::optional<double> change_p50;
    std::optional<double> change_p99;
    std::optional<double> change_max;
    std::size_t change_samples = 0;
    std::size_t change_lost = 0;  // of which no frame came (infinite)
    // Every group renamed: the first "#notify" -> the last grouped tag has its push
    // (seconds), of `differ_devices` tags, `differ_reached` of them in time.
    std::optional<double> differ_pushed;
    std::size_t differ_devices = 0;
    std::size_t differ_reached = 0;

    // 6. Peak resident set of the service (bytes).
    std::optional<double> peak_rss;
    // SIGTERM to the service -> its exit reaped (seconds).
    std::optional<double> sigterm_exit;

    std::vector<std::string> notes;
    // Redis commands by name, per unit of a figure ("delivery pass in step, per WIN":
    // "hget 31.2, exists 4.0, ..."), printed under the table with --detail.
    std::vector<std::pair<std::string, std::string>> breakdowns;
};

struct run_description {
    std::string machine;  // e.g. "2 cores"
    std::string redis_version;
    std::string build_type;
    double seconds = 0;  // wall time of the whole run
    std::string load_before;  // 1-minute load average at the start and at the end
    std::string load_after;
};

void print_table(std::ostream& _out, const run_description& _run, const std::vector<size_results>& _sizes);
// The goals of every size (the first set up to 10,000 devices, the second above) and
// whether the figures of the table meet them.
void print_goals(std::ostream& _out, const std::vector<size_results>& _sizes);
// The command breakdowns of every size.
void print_breakdowns(std::ostream& _out, const std::vector<size_results>& _sizes);

// Helpers of the table, exposed for the detail output.
std::string format_time(double _seconds);
std::string format_count(double _value);

}  // namespace bench
