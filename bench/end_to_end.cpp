#include "end_to_end.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <iostream>
#include <thread>
#include <vector>

#include "context/win.h"
#include "device_sim.h"
#include "proxy_tap.h"
#include "redis_probe.h"
#include "reports.h"
#include "service.h"
#include "steady.h"
#include "support/redis_server.h"

namespace bench {

namespace {

using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

std::string loopback() { return "tcp://127.0.0.1:" + std::to_string(test::free_port()); }

double since(clock_type::time_point _start) {
    return std::chrono::duration<double>(clock_type::now() - _start).count();
}

// The value at quantile `_q` of sorted samples (nearest rank).
double quantile(const std::vector<double>& _sorted, double _q) {
    const auto rank = static_cast<std::size_t>(std::ceil(_q * static_cast<double>(_sorted.size())));
    return _sorted[std::min(_sorted.size() - 1, rank == 0 ? 0 : rank - 1)];
}

// How long a report takes to get through the receiver's queue: a report of a device
// outside the project goes straight to the service, and the time until its time stamp
// is in Redis is the receiver's backlog (reports are taken in order).
class backlog_probe {
public:
    backlog_probe(proxy_tap& _tap, test::redis_server& _redis)
        : m_tap(_tap), m_redis(_redis.host(), _redis.port()), m_stamp(wall_clock_ms()) {}

    // Seconds; nothing when the report did not arrive within `_timeout`.
    std::optional<double> measure(clock_type::duration _timeout) {
        m_stamp = std::max(m_stamp + 1000, wall_clock_ms());
        Json::Value values(Json::objectValue);
        values["stationary"] = false;  // as reported, nothing to clear
        std::string frame = report_frame(s_mac, values, m_stamp);
        const std::string expected = std::to_string(m_stamp / 1000);
        const auto start = clock_type::now();
        m_tap.inject(frame);
        while (clock_type::now() - start < _timeout) {
            if (m_redis.hget(m_key, "timestamp_sec") == expected)
                return since(start);
            std::this_thread::sleep_for(milliseconds(2));
        }
        return std::nullopt;
    }

private:
    static constexpr const char* s_mac = "FFFFFFFFFFFF0002";
    proxy_tap& m_tap;
    redis_probe m_redis;
    const std::string m_key = vyr::context::win::keys::parameters(s_mac, "stationary");
    std::int64_t m_stamp;
};

// Sends six-parameter reports of the simulator's tags through the simulator at a fixed
// rate, on a thread of its own, until destroyed.
class report_load {
public:
    report_load(vyr::devsim::device_sim& _sim, const std::vector<std::string>& _tags,
                const std::vector<Json::Value>& _values, double _rate)
        : m_thread([this, &_sim, &_tags, &_values, _rate] {
              const auto start = clock_type::now();
              std::size_t next = 0;
              while (!m_stop.load()) {
                  const auto due = static_cast<std::uint64_t>(since(start) * _rate);
                  const std::int64_t stamp = wall_clock_ms();
                  while (m_sent < due) {
                      const std::size_t i = next++ % _tags.size();
                      _sim.publish(report_frame(_tags[i], _values[i], stamp));
                      ++m_sent;
                  }
                  std::this_thread::sleep_for(milliseconds(2));
              }
          }) {}
    ~report_load() {
        m_stop = true;
        m_thread.join();
    }
    std::uint64_t sent() const { return m_sent.load(); }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<std::uint64_t> m_sent{0};
    std::thread m_thread;
};

// One window of load: the offered rate, what left the simulator, and the receiver's
// backlog sampled over the window (seconds from the start, delay in seconds).
struct load_run {
    double rate = 0;
    double generated = 0;
    std::vector<std::pair<double, double>> samples;

    // Least-squares growth of the backlog, seconds of delay per second.
    double slope() const {
        if (samples.size() < 3)
            return INFINITY;
        double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
        for (const auto& [x, y] : samples) {
            n += 1;
            sx += x;
            sy += y;
            sxx += x * x;
            sxy += x * y;
        }
        const double d = n * sxx - sx * sx;
        return d > 0 ? (n * sxy - sx * sy) / d : INFINITY;
    }
    // The slope, or with too few samples for one (the backlog grew so fast that each
    // took long) the growth since the start.
    double growth() const {
        if (samples.size() >= 3)
            return slope();
        if (!samples.empty() && samples.back().first > 0)
            return samples.back().second / samples.back().first;
        return 10;
    }
    // The simulator kept up, the backlog did not grow by more than 5 % of the time, and
    // it ended under a quarter of a second.
    bool sustained() const {
        return generated >= 0.9 * rate && slope() < 0.05 && !samples.empty() && samples.back().second < 0.25;
    }
};

// What each tag of the site holds now in the simulator, in report form.
std::vector<Json::Value> tag_values(const site& _site, vyr::devsim::device_sim& _sim) {
    std::vector<Json::Value> values;
    values.reserve(_site.tag_macs().size());
    for (const auto& mac : _site.tag_macs()) {
        try {
            values.push_back(_sim.device(mac).values);
        } catch (const std::out_of_range&) {
            values.push_back(vyr::devsim::device_state(vyr::devsim::device_kind::tag).values());
        }
    }
    return values;
}

// Requests of every parameter a device may ask for, open loop: `_rate` per second for
// `_window`, every fifth to an anchor (when the site has any), the others to tags
// spread over the site. After the window the answers get `_grace`; what has none then
// counts as dropped, an answer more than a second after its due moment as late.
// The service's delivery cycles run and skipped so far, from its metrics.
std::optional<std::pair<double, double>> cycles_so_far(const service& _service) {
    const auto samples = _service.metrics();
    if (!samples)
        return std::nullopt;
    const auto run = samples->find("rtls_quorvane_cycles_total");
    const auto skipped = samples->find("rtls_quorvane_cycles_skipped_total");
    if (run == samples->end() || skipped == samples->end())
        return std::nullopt;
    return std::make_pair(run->second, skipped->second);
}

// Requests for the whole alarm list the platform stand-in has served so far.
double alarm_list_reads(site& _site) {
    double n = 0;
    for (const auto& request : _site.platform().requests())
        n += request["path"].asString() == "/api/private/alarms/active/";
    return n;
}

open_loop_figures open_loop_window(proxy_tap& _tap, site& _site, const service& _service, double _rate,
                                   clock_type::duration _window, clock_type::duration _grace) {
    const auto& tags = _site.tag_macs();
    const auto& anchors = _site.anchor_macs();
    (void)_tap.take_open_loop();
    open_loop_figures figures;
    const auto cycles_before = cycles_so_far(_service);
    const auto alarm_reads_before = alarm_list_reads(_site);
    const auto start = clock_type::now();
    const auto period = std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(1.0 / _rate));
    for (std::size_t i = 0;; ++i) {
        const auto due = start + static_cast<long>(i) * period;
        if (due - start >= _window)
            break;
        std::this_thread::sleep_until(due);
        const bool anchor = !anchors.empty() && i % 5 == 4;
        const std::string& mac = anchor ? anchors[(i * 131) % anchors.size()] : tags[(i * 7919) % tags.size()];
        _tap.send_scheduled(mac,
                            request_frame(mac, anchor ? vyr::devsim::device_kind::anchor : vyr::devsim::device_kind::tag,
                                          wall_clock_ms()),
                            due);
        ++figures.sent;
    }
    // The window ends with its last request; the grace below only waits for answers.
    if (const auto cycles_after = cycles_so_far(_service); cycles_before && cycles_after) {
        figures.cycles_run = cycles_after->first - cycles_before->first;
        figures.cycles_skipped = cycles_after->second - cycles_before->second;
    }
    figures.alarm_reads_per_minute =
        (alarm_list_reads(_site) - alarm_reads_before) * 60.0 / std::chrono::duration<double>(clock_type::now() - start).count();
    for (const auto until = clock_type::now() + _grace; clock_type::now() < until && _tap.open_loop_pending() > 0;)
        std::this_thread::sleep_for(milliseconds(50));
    auto answers = _tap.take_open_loop();
    figures.dropped = answers.unanswered;
    auto& l = answers.latencies;
    std::sort(l.begin(), l.end());
    figures.late = static_cast<std::size_t>(l.end() - std::upper_bound(l.begin(), l.end(), 1.0));
    // A dropped request is an infinite latency in the quantiles.
    std::vector<double> all = l;
    all.insert(all.end(), figures.dropped, INFINITY);
    if (!all.empty()) {
        const auto finite = [](double _t) { return std::isinf(_t) ? std::optional<double>() : std::optional<double>(_t); };
        figures.p50 = finite(quantile(all, 0.50));
        figures.p99 = finite(quantile(all, 0.99));
        figures.max = finite(all.back());
    }
    return figures;
}

// 1. Report throughput: six-parameter reports of every tag. A marker report's time to
// Redis is the receiver's backlog d(t); offered r reports/s against a capacity of c, the
// backlog grows as d'(t) = r / c - 1. A run above the capacity gives c from the growth; a
// run below it must show no growing backlog. The whole phase has a budget: the start-up's
// share grows with the site, and a loaded machine drains slowly.
class throughput_phase {
public:
    throughput_phase(site& _site, proxy_tap& _tap, vyr::devsim::device_sim& _sim, backlog_probe& _backlog,
                     bool _quick)
        : m_site(_site), m_tap(_tap), m_sim(_sim), m_backlog(_backlog), m_quick(_quick),
          m_first_drain(first_drain(_site.shape().devices, _quick)),
          m_deadline(clock_type::now() + m_first_drain + (_quick ? seconds(12) : seconds(30))) {}

    void measure(size_results& _results) {
        std::cerr << "e2e: report throughput\n";
        std::cerr << "e2e: waiting for the receiver to work off the start-up of " << m_site.shape().devices
                  << " devices\n";
        if (!drain(m_first_drain))
            return _results.notes.push_back(
                "the receiver had not worked off the site's start-up after " + std::to_string(m_first_drain.count()) +
                " s (a report still waited seconds for it): no report throughput measured");
        // What each tag holds once the start-up is worked off is what it reports.
        m_values = tag_values(m_site, m_sim);
        // The receiver alone (in-process) is the first guess, and more than the service
        // manages beside its other threads: a short run at it gives the capacity from the
        // growth of the backlog under what was really generated (short, so the backlog it
        // leaves drains soon); a run at 90 % of that (then 70 %) must show no growing backlog.
        double capacity = 400;
        if (_results.receiver_per_report && *_results.receiver_per_report > 0)
            capacity = 1.0 / *_results.receiver_per_report;
        const auto over = run(capacity, seconds(2));
        if (over.generated < 0.9 * over.rate)
            _results.notes.push_back("the simulator sent only " + std::to_string(static_cast<long>(over.generated)) +
                                     " of " + std::to_string(static_cast<long>(over.rate)) + " reports/s offered");
        capacity = over.generated / (1.0 + std::max(0.0, over.growth()));
        const auto window = m_quick ? seconds(3) : seconds(5);
        for (const double share : {0.9, 0.7}) {
            if (left() < window + seconds(2))
                break;
            const auto check = run(share * capacity, window);
            if (check.sustained()) {
                _results.reports_per_second = check.generated;
                break;
            }
            if (m_quick)
                break;
        }
        if (!_results.reports_per_second)
            _results.notes.push_back("no report rate tried was sustained (capacity estimate " +
                                     std::to_string(static_cast<long>(capacity)) + "/s)");
    }

private:
    // The start-up's share of the budget: a few seconds per 1,000 devices, but no more
    // than a site of 50,000 takes when the service keeps up.
    static seconds first_drain(int _devices, bool _quick) {
        if (_quick)
            return seconds(15 + _devices / 2000);
        return seconds(std::min(150, 20 + 3 * (_devices / 1000)));
    }

    clock_type::duration left() const { return std::max(clock_type::duration::zero(), m_deadline - clock_type::now()); }

    // Until a marker report reaches Redis within 50 ms; false when the budget ran out.
    bool drain(clock_type::duration _limit) {
        const auto until = clock_type::now() + std::min(_limit, left());
        while (clock_type::now() < until) {
            const auto delay = m_backlog.measure(until - clock_type::now() + seconds(1));
            if (delay && *delay < 0.05)
                return true;
            std::this_thread::sleep_for(milliseconds(100));
        }
        return false;
    }

    load_run run(double _rate, clock_type::duration _window) {
        load_run result;
        result.rate = _rate;
        drain(left());
        // The devices' own reports (answers to pushes) pass the tap too.
        const auto own = [&] {
            const auto stats = m_sim.stats();
            return stats.reports + stats.requests;
        };
        const auto forwarded_before = m_tap.reports_forwarded() - own();
        const auto start = clock_type::now();
        {
            report_load load(m_sim, m_site.tag_macs(), m_values, _rate);
            while (clock_type::now() - start < _window) {
                const double at = since(start);
                const auto delay = m_backlog.measure(_window + seconds(5));
                if (delay)
                    result.samples.emplace_back(at, *delay);
                std::this_thread::sleep_for(milliseconds(100));
            }
        }
        result.generated = static_cast<double>(m_tap.reports_forwarded() - own() - forwarded_before) / since(start);
        std::cerr << "e2e:   " << static_cast<long>(_rate) << " reports/s offered, "
                  << static_cast<long>(result.generated) << "/s generated, backlog "
                  << (result.samples.empty() ? -1.0 : result.samples.front().second * 1000) << " ms -> "
                  << (result.samples.empty() ? -1.0 : result.samples.back().second * 1000) << " ms, growing "
                  << result.growth() << " s/s\n";
        return result;
    }

    site& m_site;
    proxy_tap& m_tap;
    vyr::devsim::device_sim& m_sim;
    backlog_probe& m_backlog;
    const bool m_quick;
    const seconds m_first_drain;
    const clock_type::time_point m_deadline;
    std::vector<Json::Value> m_values;
};

// 2. Request latency: one request at a time, each of every parameter a tag may ask for,
// for tags spread over the site, during a fixed window, once the receiver has worked off
// the load above. A request still without an answer a grace period after the window
// counts as lost (an infinite latency).
void measure_request_latency(site& _site, proxy_tap& _tap, backlog_probe& _backlog, bool _quick,
                             size_results& _results) {
    for (const auto until = clock_type::now() + seconds(10); clock_type::now() < until;) {
        const auto delay = _backlog.measure(seconds(10));
        if (delay && *delay < 0.05)
            break;
        std::this_thread::sleep_for(milliseconds(100));
    }
    std::vector<double> latencies;
    const auto window = _quick ? seconds(4) : seconds(8);
    const auto grace = seconds(7);
    const auto& tags = _site.tag_macs();
    const auto start = clock_type::now();
    std::size_t i = 0;
    std::cerr << "e2e: request latency\n";
    while (clock_type::now() - start < window) {
        const std::string& mac = tags[(i++ * 7919) % tags.size()];
        const auto timeout = std::chrono::duration_cast<milliseconds>(window - (clock_type::now() - start) + grace);
        const auto latency = _tap.probe(mac, request_frame(mac, vyr::devsim::device_kind::tag, wall_clock_ms()), timeout);
        latencies.push_back(latency ? *latency : INFINITY);
        if (!latency)
            ++_results.latency_lost;
        std::this_thread::sleep_for(milliseconds(10));
    }
    std::sort(latencies.begin(), latencies.end());
    _results.latency_samples = latencies.size();
    _results.requested_parameters =
        static_cast<int>(vyr::devsim::device_state(vyr::devsim::device_kind::tag).request_list().size());
    _results.latency_p50 = quantile(latencies, 0.50);
    _results.latency_p99 = quantile(latencies, 0.99);
    _results.latency_max = latencies.back();
    if (_results.latency_lost)
        _results.notes.push_back(std::to_string(_results.latency_lost) + " of " + std::to_string(latencies.size()) +
                                 " requests got no answer within " + std::to_string(grace.count()) + " s after the " +
                                 std::to_string(window.count()) + " s window (shown as \"no answer\")");
}

}  // namespace

void run_end_to_end(site& _site, const end_to_end_options& _options, size_results& _results) {
    const auto& shape = _site.shape();
    service quorvane(_site, _options.service_log.empty() ? std::string()
                                                         : _options.service_log + "." +
                                                               std::to_string(shape.devices));
    tap_endpoints endpoints{quorvane.output_endpoint(), quorvane.input_endpoint(), loopback(), loopback()};
    proxy_tap tap(endpoints);

    vyr::devsim::sim_options sim_options;
    sim_options.project_dir = _site.project_dir();
    sim_options.publish = endpoints.sim_publish;
    sim_options.collect = endpoints.sim_collect;
    sim_options.seed = 1;
    vyr::devsim::device_sim sim(sim_options);
    sim.start();

    std::cerr << "e2e: starting rtls-quorvane\n";
    quorvane.start(seconds(180));
    // Every device announces itself and asks for all its parameters at start; what the
    // site does until the receiver has worked that off is no measurement.
    backlog_probe backlog(tap, _site.redis());
    // 0. Requests while the whole site announces itself and asks for its parameters.
    std::cerr << "e2e: open-loop requests during start-up\n";
    _results.open_start =
        open_loop_window(tap, _site, quorvane, 20, _options.quick ? seconds(5) : seconds(15), seconds(15));
    throughput_phase(_site, tap, sim, backlog, _options.quick).measure(_results);
    measure_request_latency(_site, tap, backlog, _options.quick, _results);

    // 3. Open-loop requests in steady state, under half the sustained report rate.
    {
        std::cerr << "e2e: open-loop requests under report load\n";
        const auto values = tag_values(_site, sim);
        const double rate = _results.reports_per_second ? 0.5 * *_results.reports_per_second : 100.0;
        _results.open_steady_report_rate = rate;
        report_load load(sim, _site.tag_macs(), values, rate);
        _results.open_steady =
            open_loop_window(tap, _site, quorvane, 20, _options.quick ? seconds(5) : seconds(10), seconds(15));
    }

    // 7, 8. The site in step: CPU, a change on the platform, every grouped tag differing.
    const steady_parts parts{_site, quorvane, tap, sim, _options.quick};
    wait_in_step(parts, _results);
    measure_cpu(parts, _results);
    measure_platform_changes(parts, _results);
    measure_every_tag_differs(parts, _results);

    _results.peak_rss = quorvane.peak_rss();
    // A worker in the middle of a long pass sees the stop only at its end.
    const auto patience = seconds(10);
    _results.sigterm_exit = quorvane.stop(patience);
    if (!_results.sigterm_exit)
        _results.notes.push_back("rtls-quorvane did not stop within " + std::to_string(patience.count()) +
                                 " s of SIGTERM and was killed");
    sim.stop();
}

}  // namespace bench
