// The zone-alarm rules of a tag, over plain values: which of its object's alarms the tag
// is to show (the clearing form when none can be), and what a delivery does about the
// alarm and screen text its device confirmed. It takes the tag's WIN record as read, its
// object's alarms as read fresh (context/object_alarms.h) and the mirrored zones; it does
// no I/O and keeps no state. The alarm pass calls it once per tag and makes the returned
// compare-and-set of the alarm state before it sends the frame; refused alarms come back
// as a notice for the caller to log once. Any thread.
#pragma once

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "context/object_alarms.h"
#include "context/win_record.h"
#include "context/zone.h"
#include "judge/judge.h"

namespace vyr::judge::alarms {

// The largest zone alarm level and zone id the AL_ZV payload carries.
inline constexpr std::uint32_t s_max_level = 0xFF;
inline constexpr std::uint32_t s_max_zone_id = 0xFFFF;
// The text shown while no zone alarm is: the device keeps a blank line.
inline const std::string s_blank_text = " ";

using zones = decltype(vyr::context::project_snapshot::zones);

// The alarm a tag is to show, as its device holds it after the payload: the chosen alarm
// (`shown` with its uid, level and zone id) or the clearing form (empty uid, level and
// zone id 0, no zone uid), and the screen text.
struct view {
    vyr::context::shown_alarm shown;
    std::string zone_uid;
    std::string text = s_blank_text;
};

// The view of the tag with MAC `_mac` among its object's alarms: of the set zone and
// buffer violations with a text, zone and level, the first, replaced by every later one
// preferred to it (an undelivered before a delivered one, then the higher level, then an
// unacknowledged before an acknowledged one; one without an acknowledged value takes part
// in no comparison). An alarm whose level or zone id the payload cannot carry, or whose
// zone is not mirrored, is not shown: `_notice` names them (its text empty when none is).
view to_show(const std::string& _mac, const vyr::context::object_alarms& _alarms, const zones& _zones,
             notice& _notice);

// Why the alarms of an object cannot be judged: its index, or a record that may be one of
// its zone alarms (its name says so or cannot be read), cannot be read; nothing when they
// can (another alarm that cannot be read is no zone alarm, and is left out).
std::optional<std::string> unreadable(const vyr::context::object_alarms& _alarms);

// Whether a tag in this alarm-delivery state is judged at all (not configured, sent,
// message, configured).
bool judged(vyr::context::alarm_states _state);

// What one delivery does for a tag.
struct decision {
    enum class frame { none, zone_alarm, message };
    frame send = frame::none;
    view must;
    // The compare-and-set the frame waits for: the WIN's alarm state, still the one read
    // (`expected`), becomes `next`, with the alarm sent and the screen text when given.
    // The frame goes only when it was made; without one it goes at once.
    struct state_change {
        vyr::context::alarm_states expected{};
        vyr::context::alarm_states next{};
        std::optional<vyr::context::shown_alarm> shown;
        std::optional<std::string> text;
    };
    std::optional<state_change> change;
};

// The delivery to the tag whose WIN is `_win` (its data, alarm and AL_ZV hashes read):
// what its device confirmed showing (the alarm it acknowledged, unless its al_zv report
// says another since; the text it acknowledged) against `_must`. Nothing for a state that
// is not judged. A stored number that is none throws bad_data.
decision decide(const vyr::context::win_record& _win, const view& _must);

}  // namespace vyr::judge::alarms
