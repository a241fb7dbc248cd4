// The zone-alarm rules over plain values: which of an object's alarms a tag is to show,
// and what a delivery does in each alarm-delivery state with what its device confirmed.
// One table: each row is the object's alarms and the tag's WIN record, and what one
// delivery decides (the frame, the alarm and text it carries, the compare-and-set it waits
// for) and which alarms it refused. No Redis: the rules, not the reading.
#include <gtest/gtest.h>

#include <functional>

#include "judge/alarms.h"

namespace {

using vyr::context::alarm_data;
using vyr::context::alarm_states;
using vyr::context::object_alarms;
using vyr::context::win;
namespace alarms = vyr::judge::alarms;

constexpr const char* s_mac = "70B3D5FFFE0B0001";

// A set zone violation with a text, acknowledged 0 and not delivered unless said.
std::pair<std::string, alarm_data> al(const std::string& _uid, std::uint32_t _level, const std::string& _zone,
                                      const std::function<void(alarm_data&)>& _change = {}) {
    alarm_data data;
    data.alarm_name = "zone_violation", data.obj_uid = "to-1", data.zone_uid = _zone, data.text = "Text " + _uid;
    data.acknowledged = 0, data.zone_alarm_level = _level, data.set = true;
    if (_change)
        _change(data);
    return {_uid, data};
}

// The tag's WIN: what its device confirmed (the alarm, level 2 and zone 11 unless the uid
// is empty, and the text) and its al_zv report since (level, zone id).
struct tag {
    using report = std::optional<std::pair<const char*, const char*>>;
    tag(alarm_states _state = alarm_states::NOT_CONFIGURED, std::string _shown_uid = {}, std::string _text = " ",
        report _reported = std::nullopt)
        : state(_state), shown_uid(std::move(_shown_uid)), text(std::move(_text)), reported(_reported) {}
    alarm_states state;
    std::string shown_uid;
    std::string text;
    report reported;
};

struct row {
    const char* name;
    std::vector<std::pair<std::string, alarm_data>> alarms;
    tag device;
    std::string decided;
    std::string refused = {};
    std::vector<object_alarms::unreadable> broken = {};
};

// "none", "unreadable", or the frame, the alarm and text it carries and its compare-and-set.
std::string describe(const row& _row, vyr::judge::notice& _notice) {
    object_alarms read{_row.alarms, _row.broken, {}};
    if (alarms::unreadable(read))
        return "unreadable";
    vyr::context::win_data data;
    data.data = {{std::string(win::s_current_text), _row.device.text}};
    data.alarm = {{std::string(win::s_state), to_string(_row.device.state)},
                  {std::string(win::s_shown_uid), _row.device.shown_uid},
                  {std::string(win::s_shown_level), _row.device.shown_uid.empty() ? "0" : "2"},
                  {std::string(win::s_shown_zone_id), _row.device.shown_uid.empty() ? "0" : "11"}};
    if (const auto& reported = _row.device.reported)
        data.parameters["al_zv"] = {{std::string(win::al_zv::s_level), reported->first},
                                    {std::string(win::al_zv::s_zone_id), reported->second}};
    const alarms::zones zones{{"Z11", {"prj-1", 11}}, {"Z12", {"prj-1", 12}}, {"Z33", {"prj-1", 33}},
                              {"Zwide", {"prj-1", 70000}}};
    const vyr::context::win_record record(s_mac, data);
    const auto decision = alarms::decide(record, alarms::to_show(s_mac, read, zones, _notice));
    using frame = alarms::decision::frame;
    if (decision.send == frame::none)
        return "none";
    const auto& must = decision.must;
    auto text = std::string(decision.send == frame::message ? "message " : "zone_alarm ") + must.shown.uid + "/" +
                std::to_string(must.shown.level) + "/" + std::to_string(must.shown.zone_id) + " " + must.zone_uid +
                " '" + must.text + "'";
    if (const auto& change = decision.change)
        text += " " + to_string(change->expected) + ">" + to_string(change->next) + (change->shown ? "+shown" : "") +
                (change->text ? "+text" : "");
    return text;
}

const std::string s_clear = "zone_alarm /0/0  ' ' not_configured>sent+shown+text";
const std::string s_al2 = "al-2/2/11 Z11 'Text al-2'";
const auto s_alarm = [] { return std::vector<std::pair<std::string, alarm_data>>{al("al-2", 2, "Z11")}; };

const row s_rows[] = {
    // The choice, for a device that confirmed nothing yet.
    {"no alarm clears", {}, {}, s_clear},
    {"highest level", {al("al-1", 1, "Z11"), al("al-3", 3, "Z33")}, {}, "zone_alarm al-3/3/33 Z33 'Text al-3' not_configured>sent+shown+text"},
    {"unacknowledged first", {al("al-a", 2, "Z11", [](alarm_data& a) { a.acknowledged = 7; }), al("al-b", 2, "Z33")}, {},
     "zone_alarm al-b/2/33 Z33 'Text al-b' not_configured>sent+shown+text"},
    {"undelivered before a higher delivered one",
     {al("al-x", 3, "Z33", [](alarm_data& a) { a.delivered = true; }), al("al-y", 1, "Z11")}, {},
     "zone_alarm al-y/1/11 Z11 'Text al-y' not_configured>sent+shown+text"},
    {"later one without acknowledged value never chosen",
     {al("al-1", 1, "Z11"), al("al-9", 9, "Z33", [](alarm_data& a) { a.acknowledged.reset(); })}, {},
     "zone_alarm al-1/1/11 Z11 'Text al-1' not_configured>sent+shown+text"},
    {"first one without acknowledged value stays chosen",
     {al("al-9", 1, "Z11", [](alarm_data& a) { a.acknowledged.reset(); }), al("al-x", 9, "Z33")}, {},
     "zone_alarm al-9/1/11 Z11 'Text al-9' not_configured>sent+shown+text"},
    {"unshowable level, zone id or zone refused",
     {al("al-256", 256, "Z11"), al("al-wide", 8, "Zwide"), al("al-gone", 2, "Zgone"), al("al-1", 1, "Z11")}, {},
     "zone_alarm al-1/1/11 Z11 'Text al-1' not_configured>sent+shown+text", "al-256, al-wide, al-gone"},
    {"only refused: cleared", {al("al-256", 256, "Z11")}, {}, s_clear, "al-256"},
    {"unset, textless, levelless or other alarms skipped",
     {al("al-u", 9, "Z33", [](alarm_data& a) { a.set = false; }), al("al-t", 9, "Z33", [](alarm_data& a) { a.text.reset(); }),
      al("al-l", 9, "Z33", [](alarm_data& a) { a.zone_alarm_level.reset(); }),
      al("al-b", 9, "Z33", [](alarm_data& a) { a.alarm_name = "emergency_button"; })},
     {}, s_clear},
    {"buffer violation shown, text as the device holds it",
     {al("al-1", 1, "Z11", [](alarm_data& a) { a.alarm_name = "buffer_violation", a.text = std::string(300, 'x'); })}, {},
     "zone_alarm al-1/1/11 Z11 '" + std::string(255, 'x') + "' not_configured>sent+shown+text"},
    {"broken zone alarm: not judged", s_alarm(), {}, "unreadable", "", {{"al-z", "", "bad"}}},
    {"broken other alarm left out", s_alarm(), {}, "zone_alarm " + s_al2 + " not_configured>sent+shown+text", "",
     {{"al-e", "emergency_button", "bad"}}},
    // The decision per state, for the alarm al-2 (level 2, zone 11).
    {"sent: resent", s_alarm(), {alarm_states::SENT, "al-2", "Text al-2"}, "zone_alarm " + s_al2 + " sent>sent+shown+text"},
    {"configured, settled", s_alarm(), {alarm_states::CONFIGURED, "al-2", "Text al-2"}, "none"},
    {"configured, reports it", s_alarm(), {alarm_states::CONFIGURED, "al-2", "Text al-2", {{"2", "11"}}}, "none"},
    {"configured, reports no alarm since", s_alarm(), {alarm_states::CONFIGURED, "al-2", "Text al-2", {{"0", "0"}}},
     "zone_alarm " + s_al2 + " configured>sent+shown+text"},
    {"configured, reports another zone", s_alarm(), {alarm_states::CONFIGURED, "al-2", "Text al-2", {{"2", "12"}}},
     "zone_alarm " + s_al2 + " configured>sent+shown+text"},
    {"configured no alarm", s_alarm(), {alarm_states::CONFIGURED, "", " "}, "zone_alarm " + s_al2 + " configured>sent+shown+text"},
    {"cleared, reports level 0 in any zone", {}, {alarm_states::CONFIGURED, "", " ", {{"0", "12"}}}, "none"},
    {"configured, old text", s_alarm(), {alarm_states::CONFIGURED, "al-2", "Old"}, "message " + s_al2 + " configured>message+text"},
    {"message, text confirmed: resent as it is", s_alarm(), {alarm_states::MESSAGE, "al-2", "Text al-2"}, "message " + s_al2},
    {"message, old text", s_alarm(), {alarm_states::MESSAGE, "al-2", "Old"}, "message " + s_al2 + " message>message+text"},
    {"message of no alarm", s_alarm(), {alarm_states::MESSAGE, "", " "}, "zone_alarm " + s_al2 + " message>sent+shown+text"},
    {"unknown", s_alarm(), {alarm_states::UNKNOWN}, "none"},
    {"not supported", s_alarm(), {alarm_states::NOT_SUPPORTED}, "none"},
};

TEST(alarm_rules, one_delivery_per_shape) {
    for (const auto& r : s_rows) {
        vyr::judge::notice refused;
        EXPECT_EQ(describe(r, refused), r.decided) << r.name;
        EXPECT_EQ(std::make_tuple(refused.value, refused.text.empty()), std::make_tuple(r.refused, r.refused.empty()))
            << r.name;
    }
}

}  // namespace
