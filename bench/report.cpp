#include "report.h"

#include <cmath>
#include <cstdio>
#include <functional>
#include <iomanip>
#include <sstream>

namespace bench {

namespace {

// Three significant digits, no exponent.
std::string significant(double _value) {
    char text[32];
    const double magnitude = std::fabs(_value);
    if (magnitude >= 100)
        std::snprintf(text, sizeof text, "%.0f", _value);
    else if (magnitude >= 10)
        std::snprintf(text, sizeof text, "%.1f", _value);
    else
        std::snprintf(text, sizeof text, "%.2f", _value);
    return text;
}

// Thousands separated by commas: 12345 -> "12,345".
std::string grouped(long long _value) {
    std::string digits = std::to_string(_value < 0 ? -_value : _value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<std::size_t>(at), ",");
    return _value < 0 ? "-" + digits : digits;
}

std::string multiple(double _ratio) {
    if (_ratio >= 1000)
        return grouped(std::llround(_ratio)) + "x";
    return significant(_ratio) + "x";
}

using cell_t = std::function<std::string(const size_results&)>;

struct row {
    std::string label;
    cell_t cell;
};

// A time and its multiple of the site's round trip.
cell_t time_cell(std::optional<double> size_results::*_member, double _divisor = 1) {
    return [_member, _divisor](const size_results& _r) -> std::string {
        const auto& value = _r.*_member;
        if (!value)
            return "n/a";
        if (std::isinf(*value))
            return "no answer";
        const double seconds = *value / _divisor;
        std::string text = format_time(seconds);
        if (_r.round_trip && *_r.round_trip > 0)
            text += " (" + multiple(seconds / *_r.round_trip) + ")";
        return text;
    };
}

// A time per WIN of a whole-pass figure.
cell_t per_win_cell(std::optional<double> size_results::*_member) {
    return [_member](const size_results& _r) -> std::string {
        if (!(_r.*_member) || _r.wins == 0)
            return "n/a";
        size_results copy = _r;
        copy.*_member = *(_r.*_member) / static_cast<double>(_r.wins);
        return time_cell(_member)(copy);
    };
}

cell_t count_cell(std::optional<double> size_results::*_member) {
    return [_member](const size_results& _r) -> std::string {
        const auto& value = _r.*_member;
        return value ? format_count(*value) : "n/a";
    };
}

// Reports per second from the time per report, with the Redis commands per report.
cell_t sustained_cell(std::optional<double> size_results::*_per_report, std::optional<double> size_results::*_commands) {
    return [_per_report, _commands](const size_results& _r) -> std::string {
        const auto& per_report = _r.*_per_report;
        if (!per_report || *per_report <= 0)
            return "n/a";
        return format_count(1.0 / *per_report) + "/s, " + count_cell(_commands)(_r) + " commands each";
    };
}

// Quantiles of an open-loop window, or its maximum and its counts.
cell_t open_cell(open_loop_figures size_results::*_member, bool _counts) {
    return [_member, _counts](const size_results& _r) -> std::string {
        const auto& f = _r.*_member;
        if (f.sent == 0)
            return "n/a";
        const auto time = [](const std::optional<double>& _t) { return _t ? format_time(*_t) : "no answer"; };
        if (!_counts)
            return time(f.p50) + " / " + time(f.p99);
        return time(f.max) + "; " + std::to_string(f.late) + " + " + std::to_string(f.dropped) + " / " +
               std::to_string(f.sent);
    };
}

// The delivery cycles the service ran and skipped during an open-loop window.
cell_t cycles_cell(open_loop_figures size_results::*_member) {
    return [_member](const size_results& _r) -> std::string {
        const auto& f = _r.*_member;
        if (!f.cycles_run || !f.cycles_skipped)
            return "n/a";
        return grouped(std::llround(*f.cycles_run)) + " / " + grouped(std::llround(*f.cycles_skipped));
    };
}

// The rows of the request figures.
std::vector<row> request_rows() {
    return {
        {"5 Floor: Redis round trip, sync GET (1x)", time_cell(&size_results::round_trip)},
        {"  Floor: pipelined GET, per command", time_cell(&size_results::pipelined)},
        {"1 Request answer in-process, p50", time_cell(&size_results::request_p50)},
        {"                               p99", time_cell(&size_results::request_p99)},
        {"                               max",
         [](const size_results& _r) {
             std::string text = time_cell(&size_results::request_max)(_r);
             if (_r.request_samples)
                 text += ", n=" + std::to_string(_r.request_samples);
             return text;
         }},
        {"    Redis round trips per answer, p50 / p99 / max",
         [](const size_results& _r) -> std::string {
             if (!_r.request_round_trips_p50)
                 return "n/a";
             return grouped(std::llround(*_r.request_round_trips_p50)) + " / " +
                    grouped(std::llround(*_r.request_round_trips_p99)) + " / " +
                    grouped(std::llround(*_r.request_round_trips_max));
         }},
        {"  Request -> #win 000F end to end, p50", time_cell(&size_results::latency_p50)},
        {"                                   p99", time_cell(&size_results::latency_p99)},
        {"                                   max",
         [](const size_results& _r) {
             std::string text = time_cell(&size_results::latency_max)(_r);
             if (_r.latency_samples)
                 text += ", n=" + std::to_string(_r.latency_samples - _r.latency_lost) + "/" +
                         std::to_string(_r.latency_samples);
             return text;
         }},
        {"  Open loop at start-up, p50 / p99", open_cell(&size_results::open_start, false)},
        {"    max; late (> 1 s) + dropped / sent", open_cell(&size_results::open_start, true)},
        {"    cycles run / skipped in the window", cycles_cell(&size_results::open_start)},
        {"  Open loop under report load, p50 / p99", open_cell(&size_results::open_steady, false)},
        {"    max; late (> 1 s) + dropped / sent", open_cell(&size_results::open_steady, true)},
        {"    cycles run / skipped in the window", cycles_cell(&size_results::open_steady)},
        {"    alarm-list reads per minute", [](const size_results& _r) -> std::string {
             const auto& reads = _r.open_steady.alarm_reads_per_minute;
             return reads ? format_count(*reads) : "n/a";
         }},
        {"    report load", [](const size_results& _r) -> std::string {
             return _r.open_steady_report_rate ? format_count(*_r.open_steady_report_rate) + "/s" : "n/a";
         }},
    };
}

// The rows of reports, delivery, mirror, memory, CPU and changes.
std::vector<row> other_rows() {
    return {
        {"2 Reports (6 parameters) sustained",
         [](const size_results& _r) -> std::string {
             if (!_r.reports_per_second)
                 return "n/a";
             // One report every 1/rate seconds, as a multiple of the round trip.
             size_results copy = _r;
             copy.reports_per_second = 1.0 / *_r.reports_per_second;
             const auto per_report = time_cell(&size_results::reports_per_second)(copy);
             return format_count(*_r.reports_per_second) + "/s = " + per_report;
         }},
        {"  Redis commands per report", count_cell(&size_results::commands_per_report)},
        {"  receiver alone (in-process), per report", time_cell(&size_results::receiver_per_report)},
        {"  receiver reports sustained, plain tag", sustained_cell(&size_results::receiver_per_report,
                                                                   &size_results::commands_per_report)},
        {"    tag with a configured t2t", sustained_cell(&size_results::receiver_t2t_per_report,
                                                         &size_results::commands_per_t2t_report)},
        {"3 Delivery pass, all WINs in step", time_cell(&size_results::pass_in_step)},
        {"    per WIN", per_win_cell(&size_results::pass_in_step)},
        {"    Redis commands per WIN", count_cell(&size_results::pass_in_step_commands)},
        {"    frames sent per WIN", count_cell(&size_results::pass_in_step_frames)},
        {"  Delivery pass, every WIN differs", time_cell(&size_results::pass_differ)},
        {"    per WIN", per_win_cell(&size_results::pass_differ)},
        {"    Redis commands per WIN", count_cell(&size_results::pass_differ_commands)},
        {"    frames sent per WIN", count_cell(&size_results::pass_differ_frames)},
        {"4 Mirror refresh (updater, full)", time_cell(&size_results::refresh)},
        {"    of which platform fetch", time_cell(&size_results::refresh_fetch)},
        {"    Redis commands per device",
         [](const size_results& _r) -> std::string {
             if (!_r.refresh_commands || _r.devices == 0)
                 return "n/a";
             return format_count(*_r.refresh_commands / _r.devices);
         }},
        {"  Every grouped tag differs -> each pushed once",
         [](const size_results& _r) -> std::string {
             if (_r.differ_devices == 0)
                 return "n/a";
             const std::string tags = ", " + grouped(static_cast<long long>(_r.differ_reached)) + "/" +
                                      grouped(static_cast<long long>(_r.differ_devices)) + " tags";
             return (_r.differ_pushed ? format_time(*_r.differ_pushed) : std::string("not all")) + tags;
         }},
        {"6 Peak RSS of rtls-quorvane (VmHWM)",
         [](const size_results& _r) -> std::string {
             if (!_r.peak_rss)
                 return "n/a";
             std::ostringstream text;
             text << std::fixed << std::setprecision(1) << *_r.peak_rss / (1024.0 * 1024.0) << " MiB";
             return text.str();
         }},
        {"  SIGTERM -> exit", time_cell(&size_results::sigterm_exit)},
        {"7 CPU in step, rtls-quorvane / redis-server",
         [](const size_results& _r) -> std::string {
             const auto percent = [](const std::optional<double>& _share) {
                 return _share ? significant(*_share * 100) + " %" : std::string("n/a");
             };
             if (!_r.cpu_service && !_r.cpu_redis)
                 return "n/a";
             return percent(_r.cpu_service) + " / " + percent(_r.cpu_redis) + " of a core, " +
                    format_count(std::round(_r.cpu_window)) + " s";
         }},
        {"8 Platform change -> frame, p50 / p99",
         [](const size_results& _r) -> std::string {
             if (!_r.change_p50)
                 return "n/a";
             return time_cell(&size_results::change_p50)(_r) + " / " + time_cell(&size_results::change_p99)(_r);
         }},
        {"                            max",
         [](const size_results& _r) {
             std::string text = time_cell(&size_results::change_max)(_r);
             if (_r.change_samples)
                 text += ", n=" + std::to_string(_r.change_samples - _r.change_lost) + "/" +
                         std::to_string(_r.change_samples);
             return text;
         }},
    };
}

}  // namespace

std::string format_time(double _seconds) {
    const double magnitude = std::fabs(_seconds);
    if (magnitude >= 1)
        return significant(_seconds) + " s";
    if (magnitude >= 1e-3)
        return significant(_seconds * 1e3) + " ms";
    if (magnitude >= 1e-6)
        return significant(_seconds * 1e6) + " us";
    return significant(_seconds * 1e9) + " ns";
}

std::string format_count(double _value) {
    if (std::fabs(_value) >= 1000)
        return grouped(std::llround(_value));
    return significant(_value);
}

void print_table(std::ostream& _out, const run_description& _run, const std::vector<size_results>& _sizes) {
    std::vector<row> rows = request_rows();
    for (auto& r : other_rows())
        rows.push_back(std::move(r));

    std::vector<std::string> headers;
    for (const auto& r : _sizes)
        headers.push_back(grouped(r.devices) + " devices (" + grouped(r.tags) + " tags, " + grouped(r.anchors) +
                          " anchors)");

    std::size_t label_width = 0;
    for (const auto& r : rows)
        label_width = std::max(label_width, r.label.size());
    std::vector<std::size_t> widths;
    std::vector<std::vector<std::string>> cells(rows.size());
    for (std::size_t c = 0; c < _sizes.size(); ++c) {
        std::size_t width = headers[c].size();
        for (std::size_t r = 0; r < rows.size(); ++r) {
            cells[r].push_back(rows[r].cell(_sizes[c]));
            width = std::max(width, cells[r].back().size());
        }
        widths.push_back(width);
    }

    std::ostringstream title;
    title << "rtls-quorvane benchmarks: " << _run.machine << ", redis-server " << _run.redis_version << ", "
          << _run.build_type << " build, load average " << _run.load_before << " at the start and "
          << _run.load_after << " at the end; run took " << format_time(_run.seconds)
          << ". (Nx) = multiple of the synchronous round trip measured at that size.";
    _out << title.str() << "\n";
    const auto line = [&] {
        std::size_t total = label_width;
        for (const auto w : widths)
            total += 3 + w;
        _out << std::string(total, '-') << "\n";
    };
    line();
    _out << std::left << std::setw(static_cast<int>(label_width)) << "";
    for (std::size_t c = 0; c < headers.size(); ++c)
        _out << " | " << std::right << std::setw(static_cast<int>(widths[c])) << headers[c];
    _out << "\n";
    line();
    for (std::size_t r = 0; r < rows.size(); ++r) {
        _out << std::left << std::setw(static_cast<int>(label_width)) << rows[r].label;
        for (std::size_t c = 0; c < cells[r].size(); ++c)
            _out << " | " << std::right << std::setw(static_cast<int>(widths[c])) << cells[r][c];
        _out << "\n";
    }
    line();
    for (const auto& r : _sizes)
        for (const auto& note : r.notes)
            _out << "note (" << grouped(r.devices) << "): " << note << "\n";
}

}  // namespace bench

namespace bench {

void print_breakdowns(std::ostream& _out, const std::vector<size_results>& _sizes) {
    for (const auto& r : _sizes) {
        if (r.breakdowns.empty())
            continue;
        _out << "Redis commands by name, " << grouped(r.devices) << " devices:\n";
        for (const auto& [what, counts] : r.breakdowns)
            _out << "  " << what << ": " << counts << "\n";
    }
}

}  // namespace bench
