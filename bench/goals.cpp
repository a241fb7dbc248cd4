// The goals printed under the table: for each site size the limit of a figure, the figure
// and whether it is met. Sites up to 10,000 devices are held to the first limit, larger
// ones to the second.
#include <cmath>
#include <cstdio>
#include <functional>
#include <iomanip>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "report.h"

namespace bench {

namespace {

// What a goal reads from the figures: the value (nothing: not measured) and its text.
struct reading {
    std::optional<double> value;
    std::string text;
    bool extra_ok = true;  // a further condition of the goal (e.g. nothing dropped)
};

struct goal {
    std::string label;
    double small_limit;  // up to 10,000 devices
    double large_limit;
    std::function<std::string(double)> limit_text;
    std::function<reading(const size_results&)> read;
};

std::string percent(double _share) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f %%", _share * 100);
    return text;
}

std::string mebibytes(double _bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", _bytes / (1024.0 * 1024.0));
    return text;
}

std::function<reading(const size_results&)> time_of(std::optional<double> size_results::*_member) {
    return [_member](const size_results& _r) {
        const auto& v = _r.*_member;
        return reading{v, !v ? "n/a" : std::isinf(*v) ? "no answer" : format_time(*v)};
    };
}

std::vector<goal> goals() {
    const auto time = [](double _limit) { return format_time(_limit); };
    return {
        {"CPU of rtls-quorvane, site in step (row 7)", 0.02, 0.05, percent,
         [](const size_results& _r) {
             return reading{_r.cpu_service, _r.cpu_service ? percent(*_r.cpu_service) : "n/a"};
         }},
        {"Platform change -> frame, p99 (row 8)", 1, 1, time, time_of(&size_results::change_p99)},
        {"Open loop at start-up, p99, none dropped (row 1)", 0.5, 2, time,
         [](const size_results& _r) {
             const auto& f = _r.open_start;
             if (f.sent == 0)
                 return reading{std::nullopt, "n/a"};
             const std::string p99 = f.p99 ? format_time(*f.p99) : "no answer";
             const double value = f.p99 ? *f.p99 : INFINITY;
             return reading{value, p99 + ", " + std::to_string(f.dropped) + " dropped", f.dropped == 0};
         }},
        {"Request -> #win 000F end to end, p99 (row 1)", 0.05, 0.05, time, time_of(&size_results::latency_p99)},
        {"Every grouped tag differs -> pushed once (row 3)", 5, 25, time,
         [](const size_results& _r) {
             if (_r.differ_devices == 0)
                 return reading{std::nullopt, "n/a"};
             if (!_r.differ_pushed)
                 return reading{INFINITY, "not all pushed"};
             return reading{_r.differ_pushed, format_time(*_r.differ_pushed)};
         }},
        {"Mirror complete: full refresh (row 4)", 1.5, 5, time, time_of(&size_results::refresh)},
        {"Peak RSS of rtls-quorvane (row 6)", 40.0 * 1024 * 1024, 150.0 * 1024 * 1024, mebibytes,
         [](const size_results& _r) {
             return reading{_r.peak_rss, _r.peak_rss ? mebibytes(*_r.peak_rss) : "n/a"};
         }},
        {"SIGTERM -> exit (row 6)", 5, 5, time,
         [](const size_results& _r) {
             if (!_r.sigterm_exit && _r.peak_rss)  // it ran, but had to be killed
                 return reading{INFINITY, "killed"};
             return time_of(&size_results::sigterm_exit)(_r);
         }},
    };
}

}  // namespace

void print_goals(std::ostream& _out, const std::vector<size_results>& _sizes) {
    const auto all = goals();
    std::size_t label_width = 5;
    for (const auto& g : all)
        label_width = std::max(label_width, g.label.size());
    // One cell per goal and size: "<= limit: figure ✓".
    std::vector<std::vector<std::string>> cells(all.size());
    std::vector<std::size_t> widths;
    std::vector<std::string> headers;
    for (const auto& r : _sizes) {
        headers.push_back(format_count(r.devices) + " devices");
        std::size_t width = headers.back().size();
        for (std::size_t g = 0; g < all.size(); ++g) {
            const auto& which = all[g];
            const double limit = r.devices <= 10000 ? which.small_limit : which.large_limit;
            const auto figure = which.read(r);
            const char* verdict = !figure.value ? "?" : *figure.value <= limit && figure.extra_ok ? "\u2713" : "\u2717";
            cells[g].push_back("<= " + which.limit_text(limit) + ": " + figure.text + " " + verdict);
            // The check marks take three bytes and one column.
            width = std::max(width, cells[g].back().size() - (figure.value ? 2 : 0));
        }
        widths.push_back(width);
    }
    _out << "Goals (limits up to 10,000 devices / above; ? = not measured):\n";
    _out << std::left << std::setw(static_cast<int>(label_width)) << "";
    for (std::size_t c = 0; c < headers.size(); ++c)
        _out << " | " << std::left << std::setw(static_cast<int>(widths[c])) << headers[c];
    _out << "\n";
    for (std::size_t g = 0; g < all.size(); ++g) {
        _out << std::left << std::setw(static_cast<int>(label_width)) << all[g].label;
        for (std::size_t c = 0; c < cells[g].size(); ++c) {
            const bool marked = cells[g][c].back() != '?';
            _out << " | " << std::left << std::setw(static_cast<int>(widths[c] + (marked ? 2 : 0))) << cells[g][c];
        }
        _out << "\n";
    }
}

}  // namespace bench
