// Which devices the parameter-request worker judges next. A device is judged when
// something about it changed (it is marked: the receiver wrote what it said, the mirror
// changed a record it depends on, it asked), when a time it waits for comes (its pacing
// ends: a due time), and at least once per sweep round: the sweep walks every WIN a slice
// per step, so that nothing a mark missed stays wrong for long. The due times are kept
// ordered, so the next one is found without a scan. Plain data with no I/O; owned and
// used by the worker's thread only.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace vyr::delivery {

class schedule {
public:
    // Microseconds on the worker's clock (the pacing's).
    using time_us = std::int64_t;

    // The devices of one step: every device (`all`), or those in `macs`; `swept` are those
    // of them taken only because the sweep came to them.
    struct step {
        bool all = false;
        std::vector<std::string> macs;
        std::unordered_set<std::string> swept;
        bool empty() const { return !all && macs.empty(); }
    };

    // The device is judged at the next step.
    void mark(const std::string& _mac) { m_marked.insert(_mac); }
    // Every device is judged at the next step (what changed is not known).
    void mark_all() { m_all = true; }
    bool marked() const { return m_all || !m_marked.empty(); }
    // The device waits until `_at`; a device with a due time keeps the earlier one.
    void due_at(const std::string& _mac, time_us _at);
    // The earliest due time; nothing when no device waits.
    std::optional<time_us> next_due() const;
    // The latest due time not after `_now`: a step for the devices due goes by it, so that
    // a device's pacing counts from when it was due, not from when the step woke.
    std::optional<time_us> latest_due_by(time_us _now) const;
    std::size_t waiting() const { return m_due_of.size(); }

    // The list the sweep walks from its start; each step takes the next `_count` of it.
    void sweep_over(std::vector<std::string> _wins);
    // The sweep has walked its whole list (or has none): a new round may begin.
    bool sweep_done() const { return m_sweep_at >= m_sweep.size(); }
    std::size_t sweep_size() const { return m_sweep.size(); }

    // Takes the devices of a step at `_now`: the marked, those due by `_now` and the next
    // `_sweep_count` of the sweep, each once. A device taken loses its due time: judging
    // it gives the next one.
    step take(time_us _now, std::size_t _sweep_count);

private:
    bool m_all = false;
    std::unordered_set<std::string> m_marked;
    // Due time of each waiting device, and the same ordered by time (and MAC). A site's
    // every device may wait: the ordered entries point to the MACs the map's keys hold
    // (a key stays where it is until its entry is erased) rather than hold a copy.
    using due_entry = std::pair<time_us, const std::string*>;
    struct by_time {
        bool operator()(const due_entry& _a, const due_entry& _b) const {
            return _a.first != _b.first ? _a.first < _b.first : *_a.second < *_b.second;
        }
    };
    std::unordered_map<std::string, time_us> m_due_of;
    std::set<due_entry, by_time> m_due;
    std::vector<std::string> m_sweep;
    std::size_t m_sweep_at = 0;
};

// A time of the worker's clock in microseconds.
inline schedule::time_us to_us(const timeval& _time) {
    return static_cast<schedule::time_us>(_time.tv_sec) * 1000000 + _time.tv_usec;
}

}  // namespace vyr::delivery
