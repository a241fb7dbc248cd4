#include "reports.h"

#include <sys/time.h>

namespace bench {

namespace {

std::string one_line(const Json::Value& _value) {
    static const Json::StreamWriterBuilder builder = [] {
        Json::StreamWriterBuilder b;
        b["indentation"] = "";
        return b;
    }();
    return Json::writeString(builder, _value);
}

Json::Value header(const std::string& _mac, std::int64_t _stamp_ms) {
    Json::Value message(Json::objectValue);
    message["mac"] = _mac;
    message["ts"] = static_cast<Json::Int64>(_stamp_ms / 1000);
    message["ms"] = static_cast<Json::Int>(_stamp_ms % 1000);
    return message;
}

}  // namespace

const std::vector<std::string>& report_parameters() {
    static const std::vector<std::string> names = {"em_alm",  "scr_name",   "scr_gname",
                                                   "t2t_cfg", "stationary", "category"};
    return names;
}

std::string report_frame(const std::string& _mac, const Json::Value& _values, std::int64_t _stamp_ms) {
    Json::Value message = header(_mac, _stamp_ms);
    Json::Value& plist = message["plist"];
    plist = Json::Value(Json::objectValue);
    for (const auto& name : report_parameters())
        plist[name] = _values.isObject() && _values.isMember(name) ? _values[name] : Json::Value();
    return "#param_p " + one_line(message);
}

std::string request_frame(const std::string& _mac, vyr::devsim::device_kind _kind, std::int64_t _stamp_ms) {
    Json::Value message = header(_mac, _stamp_ms);
    message["req_plist"] = vyr::devsim::device_state(_kind).request_list();
    return "#param_p " + one_line(message);
}

std::int64_t wall_clock_ms() {
    timeval now{};
    ::gettimeofday(&now, nullptr);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_usec / 1000;
}

}  // namespace bench
