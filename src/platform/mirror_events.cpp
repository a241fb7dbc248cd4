#include "platform/mirror_events.h"

namespace vyr::mirror {

const char* name(kind _kind) {
    static const char* const s_names[] = {"anchor",       "trackable object", "group",   "zone",
                                          "sublocation",  "TDOA schedule",    "TDOA setting", "alarm",
                                          "driver licence", "vehicle certification"};
    return _kind < event_kind_count ? s_names[_kind] : "object";
}

void events::request_sent(kind _kind, const std::string& _only) {
    libs::core::mutex_lock lock(m_mutex);
    auto& w = m_windows[_kind];
    w.open = true;
    w.only = _only;
    w.written.clear();
}

std::vector<std::string> events::answered(kind _kind) {
    libs::core::mutex_lock lock(m_mutex);
    auto& w = m_windows[_kind];
    std::vector<std::string> written(w.written.begin(), w.written.end());
    w.open = false;
    w.written.clear();
    return written;
}

}  // namespace vyr::mirror
