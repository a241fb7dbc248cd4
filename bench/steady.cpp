#include "steady.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "core/json.h"
#include "device_sim.h"
#include "proxy_tap.h"
#include "service.h"
#include "support/process.h"

namespace bench {

namespace {

using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

double seconds_between(clock_type::time_point _from, clock_type::time_point _to) {
    return std::chrono::duration<double>(_to - _from).count();
}

// Nearest-rank quantile of sorted samples.
double quantile_of(const std::vector<double>& _sorted, double _q) {
    const auto rank = static_cast<std::size_t>(std::ceil(_q * static_cast<double>(_sorted.size())));
    return _sorted[std::min(_sorted.size() - 1, rank == 0 ? 0 : rank - 1)];
}

// utime + stime of a process, in seconds; nothing when it cannot be read.
std::optional<double> cpu_seconds(pid_t _pid) {
    std::ifstream file("/proc/" + std::to_string(_pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The command name may hold spaces and parentheses: the fields follow the last ')'.
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    // After the name: state (3), ..., utime (14), stime (15).
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 13; ++i)
        fields >> field;
    if (!(fields >> utime >> stime))
        return std::nullopt;
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Devices the latest delivery pass found differing; nothing before a pass has judged any
// device in step (the counts start at 0) or when the metrics cannot be read.
std::optional<double> differing_devices(const service& _service) {
    const auto samples = _service.metrics();
    if (!samples)
        return std::nullopt;
    const auto differing = samples->find("rtls_quorvane_devices{status=\"differing\"}");
    const auto in_step = samples->find("rtls_quorvane_devices{status=\"in_step\"}");
    if (differing == samples->end() || in_step == samples->end() || in_step->second == 0)
        return std::nullopt;
    return differing->second;
}

// A project collection file of the stand-in, parsed, and written back.
Json::Value read_collection(const site& _site, const std::string& _file) {
    const auto parsed = vyr::libs::core::json::try_parse(test::read_file(_site.project_dir() + "/" + _file));
    if (!parsed.ok)
        throw std::runtime_error("cannot read " + _file + " of the project");
    return parsed.result;
}

std::string notify_frame(const char* _object, const Json::Value& _plist) {
    return std::string("#notify {\"object\":\"") + _object + "\",\"action\":\"updated\",\"plist\":" +
           vyr::libs::core::json::to_string(_plist) + "}";
}

// The MAC of a trackable object as the service addresses it; nothing without a valid one.
std::optional<std::string> mac_of(const Json::Value& _object) {
    const auto& node = _object["node"];
    if (!node.isObject() || !node["mac_address"].isString())
        return std::nullopt;
    return vyr::devsim::normalise_mac(node["mac_address"].asString());
}

// Objects whose devices the service keeps in step (an asset gets nothing), with an
// ordinary generated name (or one given here).
bool renamable(const Json::Value& _object) {
    const std::string name = _object["name"].asString();
    return _object["type"].asString() != "ASSET" && (name.rfind("Worker-", 0) == 0 ||
                                                      name.rfind("Vehicle-", 0) == 0 || name.rfind("Renamed-", 0) == 0);
}

}  // namespace

void wait_in_step(const steady_parts& _parts, size_results& _results) {
    const auto limit = seconds(20 + _parts.where.shape().devices / 2000);
    const auto quiet = seconds(3);
    const auto start = clock_type::now();
    auto last_commands = _parts.tap.commands_forwarded();
    auto last_change = clock_type::now();
    std::optional<double> differing;
    std::cerr << "e2e: waiting for every device to be in step\n";
    while (clock_type::now() - start < limit) {
        std::this_thread::sleep_for(milliseconds(500));
        const auto commands = _parts.tap.commands_forwarded();
        if (commands != last_commands) {
            last_commands = commands;
            last_change = clock_type::now();
        }
        differing = differing_devices(_parts.quorvane);
        if (differing && *differing == 0 && clock_type::now() - last_change >= quiet)
            return;
    }
    _results.notes.push_back("the site was not in step after " + std::to_string(limit.count()) + " s (" +
                             (differing ? format_count(*differing) + " devices differing"
                                        : std::string("no delivery pass had judged a device in step")) +
                             ", frames still going out: " +
                             (clock_type::now() - last_change < quiet ? "yes" : "no") +
                             "); the figures after it are of that state");
}

void measure_cpu(const steady_parts& _parts, size_results& _results) {
    const auto window = _parts.quick ? seconds(20) : seconds(60);
    const pid_t service_pid = _parts.quorvane.pid();
    const pid_t redis_pid = _parts.where.redis().pid();
    std::cerr << "e2e: CPU in step over " << window.count() << " s\n";
    const auto service_before = cpu_seconds(service_pid);
    const auto redis_before = cpu_seconds(redis_pid);
    const auto start = clock_type::now();
    std::this_thread::sleep_for(window);
    const auto service_after = cpu_seconds(service_pid);
    const auto redis_after = cpu_seconds(redis_pid);
    const double wall = seconds_between(start, clock_type::now());
    if (service_before && service_after)
        _results.cpu_service = (*service_after - *service_before) / wall;
    if (redis_before && redis_after)
        _results.cpu_redis = (*redis_after - *redis_before) / wall;
    _results.cpu_window = wall;
}

void measure_platform_changes(const steady_parts& _parts, size_results& _results) {
    Json::Value project = read_collection(_parts.where, "track_obj.json");
    Json::Value& objects = project["trackableObjects"];
    // Twenty objects spread over the site, each renamed once.
    std::vector<Json::ArrayIndex> chosen;
    const Json::ArrayIndex step = std::max(1u, objects.size() / 20);
    for (Json::ArrayIndex from = step / 2; from < objects.size() && chosen.size() < 20; from += step) {
        Json::ArrayIndex i = from;
        while (i < objects.size() && i < from + step && !(renamable(objects[i]) && mac_of(objects[i])))
            ++i;
        if (i < objects.size() && i < from + step)
            chosen.push_back(i);
    }
    std::cerr << "e2e: platform change -> frame, " << chosen.size() << " renames\n";
    const auto timeout = seconds(10);
    std::vector<double> latencies;
    int lost_in_row = 0;
    for (std::size_t n = 0; n < chosen.size(); ++n) {
        Json::Value& object = objects[chosen[n]];
        const std::string mac = *mac_of(object);
        const std::string name = "Renamed-" + std::to_string(n) + "-" + object["uid"].asString().substr(3);
        object["name"] = name;
        // The platform has the new name before it announces it: a refresh agrees.
        _parts.where.platform().write("track_obj.json", vyr::libs::core::json::to_string(project));
        _parts.tap.watch("scr_name", {name});
        const auto sent = clock_type::now();
        _parts.tap.inject(notify_frame("TRACKABLE_OBJECT", object));
        std::optional<double> latency;
        while (!latency && clock_type::now() - sent < timeout) {
            std::this_thread::sleep_for(milliseconds(2));
            const auto seen = _parts.tap.watched();
            if (const auto found = seen.find(mac); found != seen.end())
                latency = seconds_between(sent, found->second);
        }
        latencies.push_back(latency.value_or(INFINITY));
        _results.change_lost += latency ? 0 : 1;
        lost_in_row = latency ? 0 : lost_in_row + 1;
        // A service that carries no change to its device is not worth waiting out twenty times.
        if (lost_in_row == 3)
            break;
        std::this_thread::sleep_for(milliseconds(300));
    }
    _parts.tap.watch({}, {});
    if (latencies.empty())
        return _results.notes.push_back("no object of the project could be renamed");
    std::sort(latencies.begin(), latencies.end());
    _results.change_samples = latencies.size();
    _results.change_p50 = quantile_of(latencies, 0.50);
    _results.change_p99 = quantile_of(latencies, 0.99);
    _results.change_max = latencies.back();
    if (_results.change_lost)
        _results.notes.push_back(std::to_string(_results.change_lost) + " of " + std::to_string(latencies.size()) +
                                 " renamed objects' devices got no frame with the new name within " +
                                 std::to_string(timeout.count()) + " s" +
                                 (lost_in_row == 3 ? " (stopped after three in a row)" : ""));
}

void measure_every_tag_differs(const steady_parts& _parts, size_results& _results) {
    Json::Value groups = read_collection(_parts.where, "groups.json");
    const Json::Value objects = read_collection(_parts.where, "track_obj.json")["trackableObjects"];
    std::map<std::string, std::string> new_names;  // group uid -> its new name
    for (auto& group : groups["groups"]) {
        group["name"] = group["name"].asString() + "-b";
        new_names[group["uid"].asString()] = group["name"].asString();
    }
    // The tags that show their first group's name.
    std::set<std::string> expected;
    std::set<std::string> values;
    for (const auto& object : objects) {
        const auto mac = mac_of(object);
        if (!mac || !renamable(object) || !object["groups"].isArray() || object["groups"].empty())
            continue;
        if (const auto found = new_names.find(object["groups"][0].asString()); found != new_names.end()) {
            expected.insert(*mac);
            values.insert(found->second);
        }
    }
    _results.differ_devices = expected.size();
    if (expected.empty())
        return _results.notes.push_back("no tag of the project has a group: no group renamed");
    std::cerr << "e2e: every grouped tag differs (" << expected.size() << " tags)\n";
    _parts.where.platform().write("groups.json", vyr::libs::core::json::to_string(groups));
    _parts.tap.watch("scr_gname", values);
    const auto sent = clock_type::now();
    for (const auto& group : groups["groups"])
        _parts.tap.inject(notify_frame("GROUP", group));
    // Until every tag has its push, the limit, or 10 s (15 s at first) without a new one.
    const auto limit = seconds(15 + static_cast<int>(expected.size() / 1000));
    std::size_t count = 0;
    auto progress = sent + seconds(5);
    for (; clock_type::now() - sent < limit; std::this_thread::sleep_for(milliseconds(50))) {
        const auto now_count = _parts.tap.watched_count();
        if (now_count >= expected.size() || clock_type::now() - progress > seconds(10))
            break;
        if (now_count != count) {
            count = now_count;
            progress = clock_type::now();
        }
    }
    std::size_t reached = 0;
    clock_type::time_point last = sent;
    for (const auto& [mac, at] : _parts.tap.watched()) {
        if (!expected.count(mac))
            continue;
        ++reached;
        last = std::max(last, at);
    }
    _parts.tap.watch({}, {});
    _results.differ_reached = reached;
    if (reached == expected.size())
        _results.differ_pushed = seconds_between(sent, last);
    else
        _results.notes.push_back(std::to_string(expected.size() - reached) + " of " + std::to_string(expected.size()) +
                                 " tags got no frame with their group's new name within " +
                                 format_time(seconds_between(sent, clock_type::now())) +
                                 " (the limit, or 10 s without a new one)");
}

}  // namespace bench
