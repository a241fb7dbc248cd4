#include "delivery/schedule.h"

#include <algorithm>

namespace vyr::delivery {

void schedule::due_at(const std::string& _mac, time_us _at) {
    const auto [at, inserted] = m_due_of.emplace(_mac, _at);
    if (!inserted) {
        if (at->second <= _at)
            return;
        m_due.erase({at->second, &at->first});
        at->second = _at;
    }
    m_due.emplace(_at, &at->first);
}

std::optional<schedule::time_us> schedule::next_due() const {
    if (m_due.empty())
        return std::nullopt;
    return m_due.begin()->first;
}

std::optional<schedule::time_us> schedule::latest_due_by(time_us _now) const {
    std::optional<time_us> latest;
    for (auto at = m_due.begin(); at != m_due.end() && at->first <= _now; ++at)
        latest = at->first;
    return latest;
}

void schedule::sweep_over(std::vector<std::string> _wins) {
    m_sweep = std::move(_wins);
    m_sweep_at = 0;
}

schedule::step schedule::take(time_us _now, std::size_t _sweep_count) {
    step result;
    result.all = std::exchange(m_all, false);
    std::unordered_set<std::string> taken = std::move(m_marked);
    m_marked.clear();
    while (!m_due.empty() && m_due.begin()->first <= _now) {
        // The entry goes before the key it points to.
        std::string mac = *m_due.begin()->second;
        m_due.erase(m_due.begin());
        m_due_of.erase(mac);
        taken.insert(std::move(mac));
    }
    const auto last = std::min(m_sweep.size(), m_sweep_at + _sweep_count);
    for (; m_sweep_at < last; ++m_sweep_at)
        if (taken.insert(m_sweep[m_sweep_at]).second)
            result.swept.insert(m_sweep[m_sweep_at]);
    if (result.all) {
        // Every device: none keeps its due time, judging gives it again.
        m_due.clear();
        m_due_of.clear();
        return result;
    }
    for (const auto& mac : taken) {
        const auto due = m_due_of.find(mac);
        if (due != m_due_of.end()) {
            m_due.erase({due->second, &due->first});
            m_due_of.erase(due);
        }
    }
    result.macs.assign(taken.begin(), taken.end());
    std::sort(result.macs.begin(), result.macs.end());
    return result;
}

}  // namespace vyr::delivery
