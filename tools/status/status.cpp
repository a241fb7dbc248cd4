#include "status.h"

#include <sys/time.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <iomanip>
#include <ostream>
#include <sstream>
#include <stdexcept>

#include "common/globals.h"
#include "common/helpers.h"
#include "context/context.h"
#include "context/project_snapshot.h"
#include "context/win_record.h"
#include "judge/judge.h"
#include "parameters/parameters.h"
#include "redis/database.h"
#include "redis/lease.h"

namespace vyr::tools::status {

namespace {

using standing = vyr::judge::param_standing;

const char* standing_text(standing _standing, bool _rejected) {
    if (_rejected)
        return "rejects";
    switch (_standing) {
        case standing::in_step:
            return "in_step";
        case standing::differs:
            return "differs";
        case standing::not_supported:
            return "not_supported";
    }
    return "unknown";
}

// The stored JSON texts end with a line feed.
std::string trimmed(std::string _text) {
    while (!_text.empty() && std::isspace(static_cast<unsigned char>(_text.back())))
        _text.pop_back();
    return _text;
}

int kind_order(const std::string& _kind) {
    if (_kind == "anchor")
        return 0;
    if (_kind == "none")
        return 2;
    return 1;
}

std::string time_text(const timeval& _time) {
    if (_time.tv_sec == 0 && _time.tv_usec == 0)
        return "-";
    const std::time_t seconds = _time.tv_sec;
    std::tm local{};
    ::localtime_r(&seconds, &local);
    std::ostringstream text;
    text << std::put_time(&local, "%Y-%m-%d %H:%M:%S");
    return text.str();
}

std::string status_text(const device_status& _device) {
    if (_device.status == "in_step")
        return "in step";
    if (_device.status == "differing")
        return _device.gave_up ? "gave up" : "differing";
    return _device.status;
}

// A text cut to `_width` characters, with "~" marking the cut.
std::string cell(const std::string& _text, std::size_t _width) {
    if (_text.size() <= _width)
        return _text;
    return _text.substr(0, _width - 1) + "~";
}

}  // namespace

reader::reader(const options& _options, vyr::libs::core::component_logger& _logger)
    : m_options(_options),
      m_logger(_logger),
      m_context(std::make_unique<vyr::context::context>(vyr::redis::service_database, _options.redis_host,
                                                        _options.redis_port)) {}

reader::~reader() = default;

vyr::judge::judge reader::judge_now() {
    auto snapshot = vyr::context::read_project_snapshot(m_context->redis_context());
    if (m_options.vehicle_certification && *m_options.vehicle_certification != snapshot->vehicle_certification) {
        auto changed = std::make_shared<vyr::context::project_snapshot>(*snapshot);
        changed->vehicle_certification = *m_options.vehicle_certification;
        snapshot = std::move(changed);
    }
    timeval now{};
    ::gettimeofday(&now, nullptr);
    return vyr::judge::judge(std::move(snapshot), m_options.push_schedule_to_destination, now, m_logger);
}

device_status reader::read(vyr::judge::judge& _judge, const vyr::context::win_record& _record, bool _describe) {
    const auto& snapshot = _judge.snapshot();
    const auto& mac = _record.mac_addr();
    device_status device;
    device.mac = mac;
    device.kind = "none";
    try {
        if (const auto* anchor = snapshot.anchor_of(mac)) {
            device.kind = "anchor";
            device.name = anchor->name;
        } else if (const auto* object = snapshot.track_obj_of(mac)) {
            device.kind = object->type;
            device.name = object->name;
        }
        device.sending_counter = _record.sending_counter();
        device.last_push = _record.sending_time();
        device.alarm_state = vyr::context::to_string(_record.alarm_delivery_state().state);
        // The service walks only the WINs it has a record of; an unseen device is judged
        // only when it is asked for by itself.
        const bool seen = _record.exists();
        if (!seen && !_describe) {
            device.status = "unseen";
            return device;
        }
        for (const auto& check : _judge.check(_record, _describe)) {
            const bool rejected = vyr::judge::judge::rejected(_record, check);
            switch (check.standing) {
                case standing::in_step:
                    ++device.in_step;
                    break;
                case standing::differs:
                    ++(rejected ? device.rejected : device.differing);
                    (rejected ? device.rejected_parameters : device.differing_parameters)
                        .push_back(vyr::parameter::parameters.at(check.parameter));
                    break;
                case standing::not_supported:
                    ++device.not_supported;
                    break;
            }
            if (_describe)
                device.parameters.push_back({vyr::parameter::parameters.at(check.parameter),
                                             standing_text(check.standing, rejected), trimmed(check.must),
                                             trimmed(check.actual), _record.parameter_timestamp(check.parameter)});
        }
        if (!seen)
            device.status = "unseen";
        else if (device.differing > 0)
            device.status = "differing";
        else if (device.rejected > 0)
            device.status = "rejects";
        else
            device.status = "in_step";
        device.gave_up = device.status == "differing" && device.sending_counter > vyr::judge::s_max_sending_counter;
    } catch (const std::exception& e) {
        device.status = "error";
        device.error = e.what();
    }
    return device;
}

report reader::read_all() {
    auto judge = judge_now();
    const auto& snapshot = judge.snapshot();
    report result;
    result.mirror_complete = snapshot.updated;
    result.vehicle_certification = snapshot.vehicle_certification;
    const auto lease = vyr::redis::lease::read(m_context->redis_context());
    result.lease = {lease.holder.value_or(std::string()), lease.remaining.count(), lease.fencing};
    if (const auto removed = vyr::context::common::text_of(
            m_context->redis_context().command("GET", vyr::context::win::keys::removed())))
        result.totals.removed = std::stoull(*removed);
    // Every WIN record, then the project's devices that have none.
    std::vector<std::string> macs = m_context->redis_context().get_member_texts(vyr::context::win::keys::set());
    for (const auto* index : {&snapshot.anchor_by_mac, &snapshot.track_obj_by_mac})
        for (const auto& entry : *index)
            macs.push_back(entry.first);
    std::sort(macs.begin(), macs.end());
    macs.erase(std::unique(macs.begin(), macs.end()), macs.end());

    // Read as a delivery cycle reads: the project once, the WIN records a chunk at a time.
    const auto reads = [&judge](const std::string& _mac) -> const std::vector<vyr::parameter::parameter_t>& {
        return judge.reads(_mac);
    };
    constexpr std::size_t chunk = 256;
    for (std::size_t first = 0; first < macs.size(); first += chunk) {
        const std::vector<std::string> some(macs.begin() + static_cast<std::ptrdiff_t>(first),
                                            macs.begin() + static_cast<std::ptrdiff_t>(std::min(macs.size(), first + chunk)));
        for (const auto& record : vyr::context::read_win_records(m_context->redis_context(), some, reads)) {
            auto device = read(judge, record, false);
            auto& totals = result.totals;
            ++totals.total;
            if (device.status == "in_step")
                ++totals.in_step;
            else if (device.status == "differing")
                ++totals.differing;
            else if (device.status == "rejects")
                ++totals.rejects;
            else if (device.status == "unseen")
                ++totals.unseen;
            else
                ++totals.errors;
            if (device.gave_up)
                ++totals.gave_up;
            result.devices.push_back(std::move(device));
        }
    }
    std::stable_sort(result.devices.begin(), result.devices.end(),
                     [](const device_status& _a, const device_status& _b) {
                         return kind_order(_a.kind) < kind_order(_b.kind);
                     });
    return result;
}

device_status reader::read_device(const std::string& _mac) {
    std::string mac = _mac;
    const bool hex = std::all_of(mac.begin(), mac.end(), [](char _c) { return std::isxdigit(static_cast<unsigned char>(_c)); });
    if (!hex || !comb_mac(mac))
        throw bad_argument("not a MAC address (12 or 16 hexadecimal characters): " + _mac);
    auto judge = judge_now();
    const auto records = vyr::context::read_win_records(m_context->redis_context(), {mac});
    return read(judge, records.at(0), true);
}

// ---- output forms ----------------------------------------------------------------------------

namespace {

Json::Value time_json(const timeval& _time) {
    if (_time.tv_sec == 0 && _time.tv_usec == 0)
        return Json::Value();
    return Json::Value(static_cast<double>(_time.tv_sec) + static_cast<double>(_time.tv_usec) / 1e6);
}

// A stored JSON text as a value; text that does not parse stays text.
Json::Value embedded(const std::string& _text) {
    if (_text.empty())
        return Json::Value();
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    Json::Value value;
    std::string errors;
    std::istringstream stream(_text);
    if (Json::parseFromStream(builder, stream, &value, &errors))
        return value;
    return Json::Value(_text);
}

}  // namespace

Json::Value to_json(const device_status& _device) {
    Json::Value value(Json::objectValue);
    value["mac"] = _device.mac;
    value["name"] = _device.name;
    value["kind"] = _device.kind;
    value["status"] = _device.status;
    value["in_step"] = Json::UInt64(_device.in_step);
    value["differing"] = Json::UInt64(_device.differing);
    value["not_supported"] = Json::UInt64(_device.not_supported);
    value["rejected"] = Json::UInt64(_device.rejected);
    for (const auto& [member, names] : {std::pair{"differing_parameters", &_device.differing_parameters},
                                        std::pair{"rejected_parameters", &_device.rejected_parameters}}) {
        value[member] = Json::Value(Json::arrayValue);
        for (const auto& name : *names)
            value[member].append(name);
    }
    value["sending_counter"] = _device.sending_counter;
    value["gave_up"] = _device.gave_up;
    value["last_push"] = time_json(_device.last_push);
    value["alarm_state"] = _device.alarm_state;
    if (!_device.error.empty())
        value["error"] = _device.error;
    if (!_device.parameters.empty()) {
        Json::Value parameters(Json::arrayValue);
        for (const auto& p : _device.parameters) {
            Json::Value entry(Json::objectValue);
            entry["name"] = p.name;
            entry["standing"] = p.standing;
            entry["must"] = embedded(p.must);
            entry["actual"] = embedded(p.actual);
            entry["reported"] = !p.actual.empty();
            entry["reported_at"] = time_json(p.reported);
            parameters.append(entry);
        }
        value["parameters"] = parameters;
    }
    return value;
}

Json::Value to_json(const report& _report) {
    Json::Value value(Json::objectValue);
    value["mirror_complete"] = _report.mirror_complete;
    value["vehicle_certification"] = _report.vehicle_certification;
    Json::Value totals(Json::objectValue);
    totals["total"] = Json::UInt64(_report.totals.total);
    totals["in_step"] = Json::UInt64(_report.totals.in_step);
    totals["differing"] = Json::UInt64(_report.totals.differing);
    totals["rejects"] = Json::UInt64(_report.totals.rejects);
    totals["unseen"] = Json::UInt64(_report.totals.unseen);
    totals["errors"] = Json::UInt64(_report.totals.errors);
    totals["gave_up"] = Json::UInt64(_report.totals.gave_up);
    totals["removed"] = Json::UInt64(_report.totals.removed);
    value["summary"] = totals;
    Json::Value lease(Json::objectValue);
    lease["holder"] = _report.lease.holder;
    lease["remaining_ms"] = Json::Int64(_report.lease.remaining_ms);
    lease["fencing"] = Json::Int64(_report.lease.fencing);
    value["lease"] = lease;
    value["devices"] = Json::Value(Json::arrayValue);
    for (const auto& device : _report.devices)
        value["devices"].append(to_json(device));
    return value;
}

std::string summary_line(const summary& _totals) {
    std::ostringstream line;
    line << "devices " << _totals.total << ": " << _totals.in_step << " in step, " << _totals.differing
         << " differing";
    if (_totals.gave_up > 0)
        line << " (" << _totals.gave_up << " given up)";
    if (_totals.rejects > 0)
        line << ", " << _totals.rejects << " rejects";
    line << ", " << _totals.unseen << " unseen";
    if (_totals.errors > 0)
        line << ", " << _totals.errors << " unreadable";
    if (_totals.removed > 0)
        line << "; " << _totals.removed << " silent records outside the project removed";
    return line.str();
}

std::string lease_line(const lease_status& _lease) {
    std::ostringstream line;
    line << std::fixed << std::setprecision(1);
    if (_lease.holder.empty())
        line << "lease: nobody holds it (term " << _lease.fencing << ")";
    else
        line << "lease: held by " << _lease.holder << ", " << static_cast<double>(_lease.remaining_ms) / 1000
             << " s left, term " << _lease.fencing;
    return line.str();
}

void print_table(std::ostream& _out, const report& _report) {
    if (!_report.mirror_complete)
        _out << "note: the service's mirror of the project is not complete; it delivers nothing yet\n";
    _out << std::left << std::setw(18) << "MAC" << std::setw(9) << "KIND" << std::setw(21) << "NAME"
         << std::setw(11) << "STATUS" << std::right << std::setw(8) << "IN-STEP" << std::setw(6) << "DIFF"
         << std::setw(6) << "N/S" << std::setw(6) << "SENT" << "  " << std::left << std::setw(21) << "LAST PUSH"
         << std::setw(15) << "ALARM" << "DIFFERING\n";
    for (const auto& d : _report.devices) {
        std::string differing;
        for (const auto& name : d.differing_parameters)
            differing += (differing.empty() ? "" : ",") + name;
        for (const auto& name : d.rejected_parameters)
            differing += (differing.empty() ? "" : ",") + name + " (rejected)";
        if (!d.error.empty())
            differing = d.error;
        _out << std::left << std::setw(18) << d.mac << std::setw(9) << cell(d.kind, 8) << std::setw(21)
             << cell(d.name.empty() ? "-" : d.name, 20) << std::setw(11) << status_text(d) << std::right
             << std::setw(8) << d.in_step << std::setw(6) << d.differing << std::setw(6) << d.not_supported
             << std::setw(6) << d.sending_counter << "  " << std::left << std::setw(21) << time_text(d.last_push)
             << std::setw(15) << d.alarm_state << differing << '\n';
    }
    _out << summary_line(_report.totals) << '\n';
    _out << lease_line(_report.lease) << '\n';
}

namespace {

void explain(std::ostream& _out, const device_status& _device) {
    _out << "not in step: " << _device.differing << " of " << _device.parameters.size() << " parameters differ\n";
    for (const auto& p : _device.parameters) {
        if (p.standing == "in_step" || p.standing == "not_supported")
            continue;
        _out << "  " << p.name << (p.standing == "differs" ? "" : " (" + p.standing + ")") << ": must "
             << (p.must.empty() ? "-" : p.must) << "; the device ";
        if (p.actual.empty())
            _out << "has not reported it\n";
        else
            _out << "reported " << p.actual << (p.reported.tv_sec ? " at " + time_text(p.reported) : "") << '\n';
    }
    if (_device.sending_counter == 0) {
        _out << "no push since the device last answered\n";
        return;
    }
    _out << _device.sending_counter << " push" << (_device.sending_counter == 1 ? "" : "es")
         << " since the device last answered, the last at " << time_text(_device.last_push);
    if (_device.gave_up)
        _out << "; the service pushes nothing more until the device answers";
    _out << '\n';
}

}  // namespace

void print_device(std::ostream& _out, const device_status& _device) {
    _out << "MAC " << _device.mac << "  " << _device.kind << "  " << (_device.name.empty() ? "-" : _device.name)
         << "\nstatus: " << status_text(_device) << "; sending counter " << _device.sending_counter
         << ", last push " << time_text(_device.last_push) << ", alarm state " << _device.alarm_state << '\n';
    if (!_device.error.empty()) {
        _out << "error: " << _device.error << '\n';
        return;
    }
    if (_device.status == "unseen")
        _out << "the service has no record of this device yet (never announced, never sent to)\n";
    if (_device.status == "differing")
        explain(_out, _device);
    if (_device.parameters.empty()) {
        _out << "no parameters are delivered to this device\n";
        return;
    }
    _out << std::left << std::setw(15) << "PARAMETER" << std::setw(15) << "STANDING" << std::setw(40) << "MUST"
         << "ACTUAL\n";
    constexpr std::size_t must_width = 40;
    for (const auto& p : _device.parameters) {
        const std::string must = p.must.empty() ? "-" : p.must;
        _out << std::left << std::setw(15) << p.name << std::setw(15) << p.standing << must;
        // A long must value puts the actual one under the column, on a line of its own.
        if (must.size() < must_width - 1)
            _out << std::string(must_width - must.size(), ' ');
        else
            _out << '\n' << std::string(30 + must_width, ' ');
        _out << (p.actual.empty() ? "(not reported)" : p.actual) << '\n';
    }
}

}  // namespace vyr::tools::status
