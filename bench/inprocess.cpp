#include "inprocess.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/globals.h"
#include "context/context.h"
#include "core/json.h"
#include "delivery/mechparamreq.h"
#include "device_state.h"
#include "input/receiver.h"
#include "parameters/parameters.h"
#include "platform/updater.h"
#include "platform/vyrserver.h"
#include "redis_probe.h"
#include "redis/database.h"
#include "reports.h"
#include "runtime/inproc_commands.h"

namespace bench {

namespace {

constexpr int s_pipeline_batch = 1000;

// Redis commands by name of the benchmarks that ran, with what to divide them by.
struct breakdown {
    command_counts counts;
    double per = 1;
};
std::map<std::string, breakdown>& breakdowns() {
    static std::map<std::string, breakdown> registry;
    return registry;
}

// `_counts` less `_polls` calls of `_command` (the benchmark's own polling).
command_counts less_polls(command_counts _counts, const std::string& _command, std::uint64_t _polls) {
    auto& calls = _counts[_command];
    calls = calls > _polls ? calls - _polls : 0;
    if (calls == 0)
        _counts.erase(_command);
    return _counts;
}

// Google Benchmark's console lines go to the progress stream; every run is also kept,
// by name, for the table.
class collecting_reporter : public benchmark::ConsoleReporter {
public:
    explicit collecting_reporter(std::ostream& _progress) : benchmark::ConsoleReporter(OO_None) {
        SetOutputStream(&_progress);
        SetErrorStream(&_progress);
    }
    void ReportRuns(const std::vector<Run>& _runs) override {
        for (const auto& run : _runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                m_runs[run.run_name.function_name] = run;
        benchmark::ConsoleReporter::ReportRuns(_runs);
    }
    // Seconds per iteration (real time) of a benchmark that ran; nothing otherwise.
    std::optional<double> seconds(const std::string& _name) const {
        const auto run = m_runs.find(_name);
        if (run == m_runs.end())
            return std::nullopt;
        return run->second.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run->second.time_unit);
    }
    std::optional<double> counter(const std::string& _name, const std::string& _counter) const {
        const auto run = m_runs.find(_name);
        if (run == m_runs.end())
            return std::nullopt;
        const auto value = run->second.counters.find(_counter);
        if (value == run->second.counters.end())
            return std::nullopt;
        return value->second.value;
    }

private:
    std::map<std::string, Run> m_runs;
};

std::shared_ptr<vyr::vyrserver::c_vyrserver> platform_client(site& _site,
                                                             vyr::libs::core::component_logger& _logger) {
    return std::make_shared<vyr::vyrserver::c_vyrserver>(module_name, "http", "127.0.0.1", "", "",
                                                         static_cast<std::uint32_t>(_site.platform().port()),
                                                         _logger);
}

// Every collection a full refresh asks the platform for.
void fetch_all(const vyr::vyrserver::c_vyrserver& _server) {
    benchmark::DoNotOptimize(_server.get_anchors("", ""));
    benchmark::DoNotOptimize(_server.get_track_objs("", ""));
    benchmark::DoNotOptimize(_server.get_groups("", ""));
    benchmark::DoNotOptimize(_server.get_zones("", ""));
    benchmark::DoNotOptimize(_server.get_sublocations("", ""));
    benchmark::DoNotOptimize(_server.get_tdoa_schedules(""));
    benchmark::DoNotOptimize(_server.get_tdoa_settings(""));
    benchmark::DoNotOptimize(_server.get_alarms(""));
    benchmark::DoNotOptimize(_server.get_driver_licenses(""));
    benchmark::DoNotOptimize(_server.get_vehicle_certifications(""));
}

// The updater's first pass: the thread empties the database and mirrors every kind;
// timed from start() until "updated" reads "true".
void refresh_full(benchmark::State& _state, site& _site, vyr::libs::core::component_logger& _logger) {
    const auto server = platform_client(_site, _logger);
    redis_probe probe(_site.redis().host(), _site.redis().port());
    std::uint64_t commands = 0;
    command_counts by_name;
    for (auto _ : _state) {
        _state.PauseTiming();
        probe.del("updated");
        const auto before = probe.commands();
        auto updater = std::make_unique<vyr::updater>(server, _site.redis().host(), _site.redis().port(), _logger);
        std::uint64_t polls = 0;
        _state.ResumeTiming();
        updater->start();
        while (probe.get("updated") != "true") {
            ++polls;
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        _state.PauseTiming();
        const auto after = probe.commands();
        updater.reset();
        // The polling GETs are ours, not the updater's.
        const auto own = less_polls(difference(before, after), "get", polls + 1);
        commands += total(own);
        accumulate(by_name, own);
        _state.ResumeTiming();
    }
    _state.counters["redis_commands"] = static_cast<double>(commands) / static_cast<double>(_state.iterations());
    breakdowns()["mirror refresh, per device"] = {
        by_name, static_cast<double>(_state.iterations()) * _site.shape().devices};
}

// A complete mirror of the site's project, made by the updater unless one is there (the
// refresh benchmark leaves one; a filtered run may have skipped it).
void ensure_mirror(site& _site, vyr::libs::core::component_logger& _logger) {
    redis_probe probe(_site.redis().host(), _site.redis().port());
    if (probe.get("updated") == "true")
        return;
    vyr::updater updater(platform_client(_site, _logger), _site.redis().host(), _site.redis().port(), _logger);
    updater.start();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (probe.get("updated") != "true") {
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("the updater did not complete the mirror within 2 minutes");
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

enum class scenario { in_step, all_differ };

// One processing cycle of the mechanism over every WIN of the site.
void delivery_pass(benchmark::State& _state, site& _site, vyr::libs::core::component_logger& _logger,
                   scenario _scenario) {
    ensure_mirror(_site, _logger);
    delivery_harness harness(_site, _logger);
    vyr::context::context store(vyr::redis::service_database, _site.redis().host(), _site.redis().port());
    redis_probe probe(_site.redis().host(), _site.redis().port());
    if (_scenario == scenario::in_step)
        make_in_step(store, _site, _logger);
    else
        make_all_differ(store, _site);
    const auto macs = _site.all_macs();

    std::uint64_t commands = 0;
    std::uint64_t frames = 0;
    command_counts by_name;
    for (auto _ : _state) {
        _state.PauseTiming();
        // A pushed WIN is paced for 5 s and stops after 10 pushes: every pass starts
        // from a site where each one may be pushed.
        if (_scenario == scenario::all_differ)
            probe.reset_pacing(macs);
        const auto frames_before = harness.settled_frames();
        const auto before = probe.commands();
        _state.ResumeTiming();
        harness.cycle();
        _state.PauseTiming();
        const auto own = difference(before, probe.commands());
        commands += total(own);
        accumulate(by_name, own);
        frames += harness.settled_frames() - frames_before;
        _state.ResumeTiming();
    }
    const double passes = static_cast<double>(_state.iterations());
    const double wins = static_cast<double>(macs.size());
    _state.counters["redis_commands_per_win"] = static_cast<double>(commands) / passes / wins;
    _state.counters["frames_per_win"] = static_cast<double>(frames) / passes / wins;
    breakdowns()[_scenario == scenario::in_step ? "delivery pass in step, per WIN"
                                                : "delivery pass, every WIN differs, per WIN"] = {by_name,
                                                                                                 passes * wins};
}

// Quantiles of the in-process request answers of the last run (seconds).
struct latency_quantiles {
    double p50 = 0, p99 = 0, max = 0;
    std::size_t samples = 0;
    // Redis round trips of the mechanism per answer.
    double round_trips_p50 = 0, round_trips_p99 = 0, round_trips_max = 0;
};
std::optional<latency_quantiles>& request_latency() {
    static std::optional<latency_quantiles> quantiles;
    return quantiles;
}

// Command 7 as the receiver forwards a tag's request of every parameter it may ask for.
std::string request_command(const std::string& _mac) {
    cmd_param_req_from_node_t head{};
    head.cmd = vyr::cmd::request;
    vyr::cmd::set_field(head.mac, _mac);
    std::string frame(reinterpret_cast<const char*>(&head), sizeof head);
    for (const auto& name : vyr::devsim::device_state(vyr::devsim::device_kind::tag).request_list()) {
        for (const auto& [number, text] : vyr::parameter::parameters) {
            if (text == name.asString()) {
                const std::uint32_t value = number;
                frame.append(reinterpret_cast<const char*>(&value), sizeof value);
            }
        }
    }
    return frame;
}

// The mechanism's answer to one request (every payload built from Redis, then sent),
// for tags spread over the site, with no pass running: the service's own share of a
// request's latency.
void request_answer(benchmark::State& _state, site& _site, vyr::libs::core::component_logger& _logger) {
    ensure_mirror(_site, _logger);
    delivery_harness harness(_site, _logger);
    const auto& tags = _site.tag_macs();
    std::vector<zmq::message_t> requests;
    for (std::size_t i = 0; i < 64; ++i) {
        const auto frame = request_command(tags[(i * 7919) % tags.size()]);
        requests.emplace_back(frame.data(), frame.size());
    }
    const auto& redis = harness.mechanism().redis_store()->redis_context();
    std::vector<double> samples;
    std::vector<double> round_trips;
    std::size_t next = 0;
    for (auto _ : _state) {
        const auto trips_before = redis.round_trips();
        const auto start = std::chrono::steady_clock::now();
        harness.mechanism().process_zmq_message(requests[next++ % requests.size()]);
        samples.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        round_trips.push_back(static_cast<double>(redis.round_trips() - trips_before));
    }
    const auto at = [](std::vector<double>& _values, double _q) {
        std::sort(_values.begin(), _values.end());
        const auto rank = static_cast<std::size_t>(_q * static_cast<double>(_values.size()));
        return _values[std::min(_values.size() - 1, rank)];
    };
    request_latency() = latency_quantiles{at(samples, 0.5),     at(samples, 0.99),     samples.back(),
                                          samples.size(),       at(round_trips, 0.5), at(round_trips, 0.99),
                                          round_trips.back()};
    _state.counters["frames"] = static_cast<double>(harness.settled_frames());
}

// A tag's values as reported with a tag-to-tag configuration set (an announcer with
// every member), the largest form of the periodic report.
Json::Value with_configured_t2t(Json::Value _values) {
    Json::Value cfg(Json::objectValue);
    cfg["role"] = "announcer";
    cfg["alarm_back"] = true;
    cfg["haptic"] = false;
    cfg["buzzer"] = true;
    cfg["pin"] = "SOLID";
    cfg["delay"] = 5;
    cfg["distance"] = 300;
    cfg["angle"] = 90;
    cfg["alert_distance"] = 500;
    cfg["safe_distance"] = 200;
    _values["t2t_cfg"] = cfg;
    return _values;
}

// The receiver thread of the service alone, fed batches of six-parameter reports from a
// PUB socket of this process: time per report and Redis commands per report, of tags as
// the simulator reports them or with a configured t2t. A report for a MAC outside the
// project, stamped anew each batch, closes each batch: the receiver takes frames in
// order, so once its time stamp is in Redis the batch is done.
void receiver_reports(benchmark::State& _state, site& _site, vyr::libs::core::component_logger& _logger,
                      bool _configured_t2t) {
    ensure_mirror(_site, _logger);
    const std::string endpoint = "inproc://bench-proxy-output";
    const auto zmq_context = std::make_shared<zmq::context_t>(1);
    zmq::socket_t output(*zmq_context, zmq::socket_type::xpub);
    output.set(zmq::sockopt::linger, 0);
    output.set(zmq::sockopt::sndhwm, 0);  // no limit: a batch is queued whole
    output.set(zmq::sockopt::rcvtimeo, 10000);
    output.bind(endpoint);
    // Not started: the alarm refreshes that emergency-alarm reports ask for are recorded
    // only, so the figures are the receiver's own.
    auto updater = std::make_shared<vyr::updater>(platform_client(_site, _logger), _site.redis().host(),
                                                  _site.redis().port(), _logger);
    auto receiver = std::make_unique<c_receiver>(zmq_context, endpoint, updater, _site.redis().host(),
                                                 _site.redis().port(), _logger);
    receiver->start();
    for (;;) {
        zmq::message_t subscription;
        if (!output.recv(subscription)) {
            _state.SkipWithError("the receiver did not subscribe");
            return;
        }
        if (subscription.to_string() == std::string("\x01") + param_p_tag)
            break;
    }

    redis_probe probe(_site.redis().host(), _site.redis().port());
    const auto& tags = _site.tag_macs();
    const Json::Value plain = vyr::devsim::device_state(vyr::devsim::device_kind::tag).values();
    const Json::Value values = _configured_t2t ? with_configured_t2t(plain) : plain;
    const std::size_t batch = std::min<std::size_t>(2000, std::max<std::size_t>(tags.size(), 1));
    // One per variant: a stamp of this run may lie before the other's last one.
    const std::string marker = _configured_t2t ? "FFFFFFFFFFFF0002" : "FFFFFFFFFFFF0001";
    const std::string marker_key = vyr::context::win::keys::parameters(marker, "stationary");
    std::int64_t marker_stamp = wall_clock_ms();
    std::uint64_t commands = 0;
    std::uint64_t reports = 0;
    command_counts by_name;
    std::size_t next = 0;
    for (auto _ : _state) {
        _state.PauseTiming();
        std::vector<std::string> frames;
        const std::int64_t stamp = wall_clock_ms();
        for (std::size_t i = 0; i < batch; ++i, ++next)
            frames.push_back(report_frame(tags[next % tags.size()], values, stamp));
        marker_stamp += 1000;
        Json::Value close(Json::objectValue);
        close["stationary"] = false;
        Json::Value message(Json::objectValue);
        message["mac"] = marker;
        message["ts"] = static_cast<Json::Int64>(marker_stamp / 1000);
        message["ms"] = 0;
        message["plist"] = close;
        frames.push_back(param_p_tag + " " + vyr::libs::core::json::to_string(message));
        const std::string expected = std::to_string(marker_stamp / 1000);
        std::uint64_t polls = 0;
        const auto before = probe.commands();
        _state.ResumeTiming();
        for (const auto& frame : frames)
            (void)output.send(zmq::buffer(frame), zmq::send_flags::none);
        while (probe.hget(marker_key, "timestamp_sec") != expected) {
            ++polls;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        _state.PauseTiming();
        const auto own = less_polls(difference(before, probe.commands()), "hget", polls + 1);
        commands += total(own);
        accumulate(by_name, own);
        reports += frames.size();
        _state.ResumeTiming();
    }
    receiver.reset();
    breakdowns()[_configured_t2t ? "receiver, per six-parameter report, configured t2t"
                                 : "receiver, per six-parameter report"] = {by_name, static_cast<double>(reports)};
    _state.counters["redis_commands_per_report"] = static_cast<double>(commands) / static_cast<double>(reports);
    _state.counters["reports_per_iteration"] = static_cast<double>(batch + 1);
}

}  // namespace

void run_inprocess(site& _site, vyr::libs::core::component_logger& _logger, const inprocess_options& _options,
                   size_results& _results) {
    benchmark::ClearRegisteredBenchmarks();
    breakdowns().clear();
    request_latency().reset();
    const std::string suffix = "/" + std::to_string(_site.shape().devices);

    // The floor is measured before and after the other parts; the lower figure counts
    // (a floor is what the machine can do, not what something else left of it).
    auto probe = std::make_shared<redis_probe>(_site.redis().host(), _site.redis().port());
    const auto register_floor = [&](const std::string& _round) {
        benchmark::RegisterBenchmark(("floor_sync_get" + _round + suffix).c_str(),
                                     [probe](benchmark::State& _state) {
                                         for (auto _ : _state)
                                             probe->get_sync();
                                     })
            ->MinTime(0.3)
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark(("floor_pipelined_get_x1000" + _round + suffix).c_str(),
                                     [probe](benchmark::State& _state) {
                                         for (auto _ : _state)
                                             probe->get_pipelined(s_pipeline_batch);
                                     })
            ->MinTime(0.3)
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
    };
    register_floor("");

    benchmark::RegisterBenchmark(("platform_fetch_all" + suffix).c_str(),
                                 [&](benchmark::State& _state) {
                                     const auto server = platform_client(_site, _logger);
                                     for (auto _ : _state)
                                         fetch_all(*server);
                                 })
        ->Iterations(_options.refresh_iterations)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark(("refresh_full" + suffix).c_str(),
                                 [&](benchmark::State& _state) { refresh_full(_state, _site, _logger); })
        ->Iterations(_options.refresh_iterations)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark(("delivery_pass_in_step" + suffix).c_str(),
                                 [&](benchmark::State& _state) {
                                     delivery_pass(_state, _site, _logger, scenario::in_step);
                                 })
        ->Iterations(_options.pass_iterations)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark(("request_answer" + suffix).c_str(),
                                 [&](benchmark::State& _state) { request_answer(_state, _site, _logger); })
        ->Iterations(300)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark(("delivery_pass_all_differ" + suffix).c_str(),
                                 [&](benchmark::State& _state) {
                                     delivery_pass(_state, _site, _logger, scenario::all_differ);
                                 })
        ->Iterations(_options.pass_iterations)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();

    // Last: its emergency-alarm reports mark the mirror incomplete (the alarm refresh they
    // ask for is never run here).
    for (const bool t2t : {false, true}) {
        benchmark::RegisterBenchmark(((t2t ? "receiver_reports_t2t" : "receiver_reports") + suffix).c_str(),
                                     [&, t2t](benchmark::State& _state) {
                                         receiver_reports(_state, _site, _logger, t2t);
                                     })
            ->Iterations(std::max(_options.pass_iterations, 3))
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
    register_floor("_again");

    collecting_reporter reporter(_options.progress ? *_options.progress : std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::ClearRegisteredBenchmarks();

    const auto lower = [](std::optional<double> _a, std::optional<double> _b) -> std::optional<double> {
        if (_a && _b)
            return std::min(*_a, *_b);
        return _a ? _a : _b;
    };
    _results.round_trip =
        lower(reporter.seconds("floor_sync_get" + suffix), reporter.seconds("floor_sync_get_again" + suffix));
    if (const auto batch = lower(reporter.seconds("floor_pipelined_get_x1000" + suffix),
                                 reporter.seconds("floor_pipelined_get_x1000_again" + suffix)))
        _results.pipelined = *batch / s_pipeline_batch;
    _results.refresh_fetch = reporter.seconds("platform_fetch_all" + suffix);
    _results.refresh = reporter.seconds("refresh_full" + suffix);
    _results.refresh_commands = reporter.counter("refresh_full" + suffix, "redis_commands");
    _results.pass_in_step = reporter.seconds("delivery_pass_in_step" + suffix);
    _results.pass_in_step_commands = reporter.counter("delivery_pass_in_step" + suffix, "redis_commands_per_win");
    _results.pass_in_step_frames = reporter.counter("delivery_pass_in_step" + suffix, "frames_per_win");
    _results.pass_differ = reporter.seconds("delivery_pass_all_differ" + suffix);
    _results.pass_differ_commands = reporter.counter("delivery_pass_all_differ" + suffix, "redis_commands_per_win");
    _results.pass_differ_frames = reporter.counter("delivery_pass_all_differ" + suffix, "frames_per_win");
    _results.wins = _site.all_macs().size();
    for (const bool t2t : {false, true}) {
        const std::string name = (t2t ? "receiver_reports_t2t" : "receiver_reports") + suffix;
        const auto per_batch = reporter.seconds(name);
        const auto size = reporter.counter(name, "reports_per_iteration");
        if (per_batch && size)
            (t2t ? _results.receiver_t2t_per_report : _results.receiver_per_report) = *per_batch / *size;
    }
    _results.commands_per_t2t_report = reporter.counter("receiver_reports_t2t" + suffix, "redis_commands_per_report");
    if (const auto& q = request_latency()) {
        _results.request_p50 = q->p50;
        _results.request_p99 = q->p99;
        _results.request_max = q->max;
        _results.request_samples = q->samples;
        _results.request_round_trips_p50 = q->round_trips_p50;
        _results.request_round_trips_p99 = q->round_trips_p99;
        _results.request_round_trips_max = q->round_trips_max;
    }
    for (const auto& [what, b] : breakdowns())
        _results.breakdowns.emplace_back(what, describe(b.counts, b.per));
    _results.commands_per_report = reporter.counter("receiver_reports" + suffix, "redis_commands_per_report");
    if (_results.pass_in_step_frames && *_results.pass_in_step_frames > 0)
        _results.notes.push_back("the in-step pass still sent frames: the site was not fully in step");
}

}  // namespace bench
