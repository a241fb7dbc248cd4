// quorvane-make-project: writes a complete project folder for the platform server
// stand-in (tools/platform-server): the ten collection files it serves, filled with a
// generated site: sublocations, anchors with an active TDOA setting and a version-2
// schedule, tags of persons, vehicles and assets, groups, zones, active alarms, driver
// licences and vehicle certifications. The same options and seed always give the same
// files. The defaults give the demo project kept in tools/platform-server/demo-project.
//
// Every value of the default project stays inside what the service and the devices can
// carry: ids and slots within one byte, node ids and zone ids within two, TDOA margins in
// steps of 250 (the payload carries margin/250), even angles (the payload carries
// angle/2), at most one no-alarm entry per tag, categories with a device code, and no
// blank in any text. --awkward adds one instance of every shape that does not fit so
// neatly (see add_awkward below): the service must bring those devices in step too, with
// the value as the device can hold it.
#include <getopt.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <json/json.h>

namespace {

const char* const s_usage =
    "Usage: quorvane-make-project --out DIR [--tags N] [--anchors M] [--sublocations S] [--seed K]\n"
    "                             [--awkward]\n"
    "Writes a generated project folder for quorvane-platform-server.\n"
    "\n"
    "Options:\n"
    "  --out DIR           folder to write (created when missing; its project files replaced)\n"
    "  --tags N            trackable objects: half persons, 3/10 vehicles, 1/5 assets (default 150)\n"
    "  --anchors M         anchors, spread over the sublocations (default 12)\n"
    "  --sublocations S    sublocations (floors) of the site (default 2)\n"
    "  --seed K            seed of the generated positions and settings (default 1)\n"
    "  --awkward           add one instance of every awkward shape: a tag with two no-alarm\n"
    "                      entries, an odd t2t angle, a schedule margin of 100, 300-character\n"
    "                      names with multi-byte characters, a licence id of 300, a negative\n"
    "                      position, two zone alarms in one zone, a zone alarm without text,\n"
    "                      a TDOA setting without an active schedule\n"
    "  --help              show this text\n";

const char* const s_project = "prj-demo";
const char* const s_location = "loc-site";

// splitmix64: the same numbers on every platform for a seed.
class random_source {
public:
    explicit random_source(std::uint64_t _seed) : m_state(_seed) {}
    std::uint64_t next() {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // A whole number in [_low, _high].
    int range(int _low, int _high) { return _low + static_cast<int>(next() % static_cast<std::uint64_t>(_high - _low + 1)); }
    bool chance(int _percent) { return range(0, 99) < _percent; }

private:
    std::uint64_t m_state;
};

std::string format(const char* _pattern, unsigned _number) {
    char text[64];
    std::snprintf(text, sizeof text, _pattern, _number);
    return text;
}

std::string base64(const std::string& _bytes) {
    static const char* const alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < _bytes.size(); i += 3) {
        const unsigned n = (static_cast<unsigned char>(_bytes[i]) << 16) |
                           (static_cast<unsigned char>(_bytes[i + 1]) << 8) | static_cast<unsigned char>(_bytes[i + 2]);
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += alphabet[(n >> 6) & 63];
        out += alphabet[n & 63];
    }
    if (i + 1 == _bytes.size()) {
        const unsigned n = static_cast<unsigned char>(_bytes[i]) << 16;
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += "==";
    } else if (i + 2 == _bytes.size()) {
        const unsigned n = (static_cast<unsigned char>(_bytes[i]) << 16) | (static_cast<unsigned char>(_bytes[i + 1]) << 8);
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += alphabet[(n >> 6) & 63];
        out += '=';
    }
    return out;
}

// One element per line, so that the files stay readable and diff well.
std::string answer_text(const char* _member, const Json::Value& _elements) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    std::string text = "{\n  \"" + std::string(_member) + "\": [";
    for (Json::ArrayIndex i = 0; i < _elements.size(); ++i)
        text += (i == 0 ? "\n    " : ",\n    ") + Json::writeString(builder, _elements[i]);
    text += _elements.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return text;
}

struct options {
    std::string out;
    unsigned tags = 150;
    unsigned anchors = 12;
    unsigned sublocations = 2;
    std::uint64_t seed = 1;
    bool awkward = false;
};

struct sublocation_def {
    std::string uid;
    unsigned id = 0;
    int offset_z = 0;
    std::vector<std::string> zones;  // zone uids
    std::vector<unsigned> zone_ids;
};

struct anchor_def {
    std::string uid;
    std::string mac;  // 16-character form
    unsigned node_id = 0;
    unsigned sublocation = 0;  // index
};

// The tag's MAC: a kind byte (0B persons, 0C vehicles, 0D assets) and the tag's number.
std::string tag_mac(unsigned _kind, unsigned _number) {
    char text[32];
    std::snprintf(text, sizeof text, "70B3D5FFFE%02X%04X", _kind & 0xFFu, _number & 0xFFFFu);
    return text;
}

// Some devices are listed in the 12-character form, lower case, as the platform may do.
std::string listed_mac(const std::string& _mac, bool _short_form) {
    if (!_short_form)
        return _mac;
    std::string text = _mac.substr(0, 6) + _mac.substr(10);
    for (auto& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

Json::Value object_of(std::initializer_list<std::pair<const char*, Json::Value>> _members) {
    Json::Value v(Json::objectValue);
    for (const auto& [key, value] : _members)
        v[key] = value;
    return v;
}

struct project_files {
    Json::Value sublocations{Json::arrayValue}, anchors{Json::arrayValue}, groups{Json::arrayValue},
        zones{Json::arrayValue}, tags{Json::arrayValue}, alarms{Json::arrayValue}, settings{Json::arrayValue},
        schedules{Json::arrayValue}, licenses{Json::arrayValue}, certifications{Json::arrayValue};
};

// A name of `_length` characters: `_prefix`, then `_unit` over and over. Counted in
// characters, not bytes, so multi-byte UTF-8 makes it longer in bytes.
std::string long_name(const std::string& _prefix, const std::string& _unit, std::size_t _length) {
    const auto is_lead = [](char _c) { return (static_cast<unsigned char>(_c) & 0xC0u) != 0x80u; };
    std::string text = _prefix;
    while (text.size() < _length * 4)
        text += _unit;
    std::size_t characters = 0, end = 0;
    for (; end < text.size(); ++end)
        if (is_lead(text[end]) && ++characters > _length)
            break;
    return text.substr(0, end);
}

// One instance of every shape that does not fit a device's payload whole, or that the
// service must take care with: the regular project stays as it is, these come after it.
//  - to-awk-01: two no-alarm entries (a device holds one);
//  - to-awk-02: an announcer with an odd angle (the payload carries angle/2);
//  - to-awk-03: a 300-character name with multi-byte characters whose 255-byte cut falls
//    inside a character, in a group whose name is as long;
//  - to-awk-04: a driver licence id of 300 (one byte per id);
//  - to-awk-05: a parked vehicle at -200.4, -2.7 (negative positions and their rounding);
//  - to-awk-06: two zone alarms of one zone, levels 1 and 3;
//  - to-awk-07: a zone alarm without text;
//  - a version-2 schedule row with margin 100 (carried as margin/250) from the first
//    anchor to anc-awk-02, which stands at -200.4, -2.7 too;
//  - a second project whose TDOA setting has a master and a distributor but no active
//    schedule (anchors anc-awk-01 and anc-awk-02).
void add_awkward(project_files& _f, random_source& _random, const std::vector<sublocation_def>& _floors,
                 const std::vector<anchor_def>& _anchors) {
    const char* const project = "prj-awkward";
    const auto& floor = _floors.front();
    const auto anchor_mac = [](unsigned _n) { return tag_mac(0x0A, 0xFF00 + _n); };
    const auto awkward_mac = [](unsigned _n) { return tag_mac(0x0E, _n); };

    Json::Value positions[] = {object_of({{"x", 100}, {"y", 100}, {"z", floor.offset_z + 300}}),
                               object_of({{"x", -200.4}, {"y", -2.7}, {"z", floor.offset_z + 300}})};
    for (unsigned n = 1; n <= 2; ++n) {
        Json::Value position = positions[n - 1];
        position["sublocation_uid"] = floor.uid;
        _f.anchors.append(object_of({{"uid", format("anc-awk-%02u", n)},
                                     {"project_uid", project},
                                     {"location_uid", s_location},
                                     {"name", format("Awkward-anchor-%u", n)},
                                     {"sublocation_uid", floor.uid},
                                     {"type", "anchor"},
                                     {"position", position},
                                     {"node", object_of({{"mac_address", listed_mac(anchor_mac(n), n == 2)},
                                                         {"node_id", 0x2000 + n}})}}));
    }
    Json::Value masters(Json::arrayValue), distributors(Json::arrayValue);
    masters.append(object_of({{"anchor_uid", "anc-awk-01"}, {"sfd", 7}, {"slot", 0}}));
    distributors.append(object_of({{"anchor_uid", "anc-awk-02"}, {"master_uid", "anc-awk-01"}, {"slot", 1}}));
    _f.settings.append(object_of(
        {{"uid", "tdoa-awkward"},
         {"project_uid", project},
         {"values", object_of({{"autostart", true},
                               {"configured_state", true},
                               {"masters", masters},
                               {"distributors", distributors}})}}));
    if (!_anchors.empty())
        _f.schedules[0]["content"] = _f.schedules[0]["content"].asString() + "0," + _anchors.front().uid +
                                     ",anc-awk-02,250,0,2,1,100\r\n";

    const std::string long_tag = long_name("Überlänge-", "Größe-Straße-€-", 300);
    _f.groups.append(object_of(
        {{"uid", "grp-awkward"}, {"project_uid", s_project}, {"name", long_name("Gruppe-", "Äußeres-€-", 300)}}));

    const auto tag = [&](unsigned _n, const std::string& _name, bool _vehicle) {
        Json::Value t = object_of({{"uid", format("to-awk-%02u", _n)},
                                   {"project_uid", s_project},
                                   {"name", _name},
                                   {"type", _vehicle ? "vehicle" : "person"},
                                   {"category", _vehicle ? "Vehicle" : "Person"},
                                   {"default_height", _vehicle ? 220 : 170},
                                   {"position", object_of({{"sl_id", floor.uid},
                                                           {"x", _random.range(0, 20000)},
                                                           {"y", _random.range(0, 15000)}})},
                                   {"node", object_of({{"mac_address", awkward_mac(_n)}})}});
        t["groups"].append(_vehicle ? "grp-fleet" : "grp-workers");
        t["tag_config"] = object_of({{"stationary", false}});
        return t;
    };
    Json::Value monitor = object_of({{"role", "monitor"}, {"alarm_back", true}, {"delay", 3}, {"pin", "PULSE"},
                                     {"buzzer", true}, {"haptic", false}});

    Json::Value exemptions = tag(1, "Awkward-exemptions", true);
    exemptions["tag_config"]["t2t_cfg"] = monitor;
    exemptions["tag_config"]["t2t_no_alarm"].append(object_of({{"mac", awkward_mac(2)}}));
    exemptions["tag_config"]["t2t_no_alarm"].append(object_of({{"mac", awkward_mac(5)}}));
    _f.tags.append(exemptions);

    Json::Value odd = tag(2, "Awkward-odd-angle", false);
    odd["tag_config"]["t2t_cfg"] = object_of({{"role", "announcer"}, {"alarm_back", false},
                                              {"distance", 600}, {"angle", 2 * _random.range(0, 89) + 1},
                                              {"delay", 1}, {"alert_distance", 900}, {"safe_distance", 300},
                                              {"buzzer", true}, {"haptic", true}});
    _f.tags.append(odd);

    Json::Value named = tag(3, long_tag, false);
    named["groups"][0] = "grp-awkward";
    _f.tags.append(named);

    _f.tags.append(tag(4, "Awkward-licences", false));
    Json::Value licences(Json::arrayValue);
    licences.append(object_of({{"id", 300}, {"certification_required", true}}));
    licences.append(object_of({{"id", 12}, {"certification_required", true}}));
    _f.licenses.append(object_of({{"obj_uid", "to-awk-04"}, {"licenses", licences}}));

    Json::Value parked = tag(5, "Awkward-parked", true);
    parked["position"] = object_of({{"sl_id", floor.uid}, {"x", -200.4}, {"y", -2.7}});
    parked["tag_config"]["stationary"] = true;
    parked["tag_config"]["t2t_cfg"] = monitor;
    _f.tags.append(parked);

    _f.tags.append(tag(6, "Awkward-two-alarms", false));
    _f.tags.append(tag(7, "Awkward-alarm-without-text", false));
    const auto zone_alarm = [&](const char* _uid, const char* _object, const std::string& _zone, unsigned _level,
                                const char* _text) {
        Json::Value info = object_of({{"zone_uid", _zone}, {"zone_alarm_level", _level}});
        if (_text)
            info["text"] = _text;
        _f.alarms.append(object_of({{"uid", _uid},
                                    {"alarm_name", "zone_violation"},
                                    {"acknowledged", 0},
                                    {"obj_uid", _object},
                                    {"additional_info", info}}));
    };
    zone_alarm("alm-awk-1", "to-awk-06", floor.zones[0], 1, "Step-back");
    zone_alarm("alm-awk-2", "to-awk-06", floor.zones[0], 3, "Leave-now");
    zone_alarm("alm-awk-3", "to-awk-07", floor.zones[1], 2, nullptr);
}

project_files generate(const options& _o) {
    random_source random(_o.seed);
    project_files f;

    // Sublocations: one floor above the other, 400 apart; two zones each.
    std::vector<sublocation_def> floors;
    unsigned zone_id = 0;
    for (unsigned s = 0; s < _o.sublocations; ++s) {
        sublocation_def floor;
        floor.uid = format("sl-%02u", s + 1);
        floor.id = s + 1;
        floor.offset_z = static_cast<int>(s) * 400;
        f.sublocations.append(object_of({{"uid", floor.uid},
                                         {"project_uid", s_project},
                                         {"name", format("Floor-%u", s + 1)},
                                         {"id", floor.id},
                                         {"offset_x", 0},
                                         {"offset_y", 0},
                                         {"offset_z", floor.offset_z}}));
        for (const char* kind : {"Loading-bay", "Crane-area"}) {
            ++zone_id;
            floor.zones.push_back(format("zone-%02u", zone_id));
            floor.zone_ids.push_back(zone_id);
            f.zones.append(object_of({{"uid", floor.zones.back()},
                                      {"project_uid", s_project},
                                      {"name", std::string(kind) + format("-%u", s + 1)},
                                      {"zone_id", zone_id}}));
        }
        floors.push_back(floor);
    }

    // Anchors: contiguous blocks per sublocation, on a 2500 x 1800 grid.
    std::vector<anchor_def> anchors;
    std::vector<std::vector<unsigned>> per_floor(floors.size());
    for (unsigned a = 0; a < _o.anchors && !floors.empty(); ++a) {
        anchor_def anchor;
        anchor.uid = format("anc-%03u", a + 1);
        anchor.mac = tag_mac(0x0A, a + 1);
        anchor.node_id = 0x1000 + a + 1;
        anchor.sublocation = static_cast<unsigned>(static_cast<std::uint64_t>(a) * floors.size() / _o.anchors);
        const unsigned k = static_cast<unsigned>(per_floor[anchor.sublocation].size());
        per_floor[anchor.sublocation].push_back(a);
        const auto& floor = floors[anchor.sublocation];
        Json::Value position = object_of({{"x", (k % 4) * 2500},
                                          {"y", (k / 4) * 1800},
                                          {"z", floor.offset_z + random.range(300, 500)},
                                          {"sublocation_uid", floor.uid}});
        f.anchors.append(object_of({{"uid", anchor.uid},
                                    {"project_uid", s_project},
                                    {"location_uid", s_location},
                                    {"name", format("Anchor-%03u", a + 1)},
                                    {"sublocation_uid", floor.uid},
                                    {"type", "anchor"},
                                    {"position", position},
                                    {"node", object_of({{"mac_address", listed_mac(anchor.mac, a % 4 == 3)},
                                                        {"node_id", anchor.node_id}})}}));
        anchors.push_back(anchor);
    }

    // TDOA: the first anchor of a floor is its master, the others distribute its beacon
    // (but the last one of a floor of three or more, which follows nobody), each with a
    // slot of its own; every anchor exchanges frames with the next three of its floor.
    Json::Value masters(Json::arrayValue), distributors(Json::arrayValue);
    std::string rows = "# id,source,destination,slot,sect,dim,et,margin\r\n";
    std::string legacy = "# id,source,destination,slot,dimension,boundary,margin\n";
    for (std::size_t s = 0; s < per_floor.size(); ++s) {
        const auto& list = per_floor[s];
        if (list.empty())
            continue;
        const auto& master = anchors[list[0]];
        masters.append(object_of({{"anchor_uid", master.uid}, {"sfd", static_cast<unsigned>(s)}, {"slot", 0}}));
        for (std::size_t k = 1; k < list.size() && k < 255; ++k) {
            if (list.size() >= 3 && k + 1 == list.size())
                continue;
            distributors.append(object_of({{"anchor_uid", anchors[list[k]].uid},
                                           {"master_uid", master.uid},
                                           {"slot", static_cast<unsigned>(k)}}));
        }
        unsigned slot = 0;
        for (std::size_t k = 0; k < list.size(); ++k) {
            for (std::size_t d = 1; d <= 3 && d < list.size(); ++d) {
                const auto& from = anchors[list[k]];
                const auto& to = anchors[list[(k + d) % list.size()]];
                const unsigned sect = d == 3 ? 1 : 0;
                const unsigned et = static_cast<unsigned>(random.range(0, 1));
                const unsigned margin = 250u * static_cast<unsigned>(random.range(1, 4));
                rows += "0," + from.uid + "," + to.uid + "," + std::to_string(slot % 256) + "," +
                        std::to_string(sect) + ",2," + std::to_string(et) + "," + std::to_string(margin) + "\r\n";
                if (s == 0 && d == 1)
                    legacy += "1," + from.uid + "," + to.uid + "," + std::to_string(slot % 256) + ",1,2,0.75\n";
                ++slot;
            }
        }
    }
    f.schedules.append(object_of({{"uid", "sch-main"}, {"tdoa_version", 2}, {"content", rows}}));
    f.schedules.append(object_of({{"uid", "sch-legacy"}, {"tdoa_version", 1}, {"content", base64(legacy)}}));
    Json::Value values = object_of({{"active_schedule_uid", "sch-main"},
                                    {"autostart", true},
                                    {"configured_state", true},
                                    {"masters", masters},
                                    {"distributors", distributors}});
    f.settings.append(object_of({{"uid", "tdoa-demo"}, {"project_uid", s_project}, {"values", values}}));

    // Groups.
    const char* const group_names[][2] = {
        {"grp-workers", "Workers"}, {"grp-visitors", "Visitors"}, {"grp-drivers", "Drivers"}, {"grp-fleet", "Fleet"}};
    for (const auto& g : group_names)
        f.groups.append(object_of({{"uid", g[0]}, {"project_uid", s_project}, {"name", g[1]}}));

    // Tags: by number, persons (0-4), vehicles (5-7), assets (8-9) of every ten.
    std::string previous_vehicle;
    std::vector<std::string> persons_placed;
    for (unsigned t = 1; t <= _o.tags; ++t) {
        const unsigned slot = t % 10;
        const bool person = slot < 5, vehicle = slot >= 5 && slot < 8;
        const unsigned kind = person ? 0x0B : vehicle ? 0x0C : 0x0D;
        const std::string uid = format("to-%04u", t);
        const std::string mac = tag_mac(kind, t);
        Json::Value tag(Json::objectValue);
        tag["uid"] = uid;
        tag["project_uid"] = s_project;
        tag["name"] = format(person ? "Worker-%04u" : vehicle ? "Vehicle-%04u" : "Asset-%04u", t);
        tag["type"] = person ? "person" : vehicle ? "vehicle" : "ASSET";
        tag["category"] = person ? "Person" : vehicle ? "Vehicle" : "Asset";
        tag["default_height"] = person ? random.range(150, 190) : vehicle ? random.range(180, 260) : random.range(40, 120);
        const bool placed = !(person && t % 20 == 11) && !floors.empty();
        if (placed) {
            const auto& floor = floors[static_cast<std::size_t>(random.range(0, static_cast<int>(floors.size()) - 1))];
            tag["position"] = object_of({{"sl_id", floor.uid}, {"x", random.range(0, 20000)}, {"y", random.range(0, 15000)}});
            if (person)
                persons_placed.push_back(uid + "|" + floor.uid);
        }
        tag["node"] = object_of({{"mac_address", listed_mac(mac, t % 9 == 4)}});
        if (person)
            tag["groups"].append(t % 3 == 0 ? "grp-visitors" : "grp-workers");
        else if (vehicle)
            tag["groups"].append(t % 2 == 0 ? "grp-drivers" : "grp-fleet");

        Json::Value config(Json::objectValue);
        if (person) {
            config["stationary"] = false;
            if (t % 2 == 0) {
                Json::Value cfg(Json::objectValue);
                cfg["role"] = "announcer";
                cfg["alarm_back"] = random.chance(50);
                cfg["distance"] = random.range(3, 30) * 50;
                cfg["angle"] = random.range(0, 90) * 2;
                cfg["delay"] = random.range(0, 5);
                cfg["alert_distance"] = random.range(3, 30) * 100;
                cfg["safe_distance"] = random.range(1, 10) * 100;
                cfg["buzzer"] = random.chance(50);
                cfg["haptic"] = random.chance(50);
                if (t % 4 == 0)
                    cfg["pin"] = "SOLID";
                config["t2t_cfg"] = cfg;
            }
        } else if (vehicle) {
            // Every fifth vehicle is parked for good: it gets its location.
            config["stationary"] = placed && t % 5 == 0;
            Json::Value cfg(Json::objectValue);
            cfg["role"] = "monitor";
            cfg["alarm_back"] = random.chance(50);
            cfg["distance"] = random.range(5, 40) * 50;
            cfg["angle"] = random.range(0, 90) * 2;
            cfg["delay"] = random.range(0, 10);
            cfg["pin"] = t % 3 == 0 ? "PULSE" : "SOLID";
            cfg["alert_distance"] = random.range(5, 40) * 100;
            cfg["safe_distance"] = random.range(1, 10) * 100;
            cfg["buzzer"] = random.chance(70);
            cfg["haptic"] = random.chance(30);
            config["t2t_cfg"] = cfg;
            if (!previous_vehicle.empty() && t % 2 == 1)
                config["t2t_no_alarm"].append(object_of({{"mac", previous_vehicle}}));
            previous_vehicle = mac;
        } else {
            config["stationary"] = placed && t % 4 != 0;
        }
        if (!(person && t % 11 == 0))
            tag["tag_config"] = config;
        f.tags.append(tag);

        if (person && t % 4 == 2) {
            Json::Value licences(Json::arrayValue);
            licences.append(object_of({{"id", 1 + t % 20}, {"certification_required", true}}));
            licences.append(object_of({{"id", 30 + t % 5}, {"certification_required", t % 8 == 2}}));
            f.licenses.append(object_of({{"obj_uid", uid}, {"licenses", licences}}));
        }
        if (vehicle)
            f.certifications.append(
                object_of({{"obj_uid", uid}, {"id", 1 + t % 8}, {"certification_required", t % 4 != 0}}));
    }

    // Alarms: a zone violation of the first placed person, the emergency button of the
    // second.
    if (!persons_placed.empty()) {
        const auto& first = persons_placed[0];
        const std::string obj_uid = first.substr(0, first.find('|'));
        const std::string floor_uid = first.substr(first.find('|') + 1);
        for (const auto& floor : floors) {
            if (floor.uid != floor_uid)
                continue;
            Json::Value info = object_of(
                {{"zone_uid", floor.zones[0]}, {"zone_alarm_level", 2}, {"text", "Leave-" + floor.zones[0]}});
            f.alarms.append(object_of({{"uid", "alm-zone-1"},
                                       {"alarm_name", "zone_violation"},
                                       {"acknowledged", 0},
                                       {"obj_uid", obj_uid},
                                       {"additional_info", info}}));
        }
    }
    if (persons_placed.size() > 1) {
        const auto& second = persons_placed[1];
        f.alarms.append(object_of({{"uid", "alm-button-1"},
                                   {"alarm_name", "emergency_button"},
                                   {"acknowledged", 0},
                                   {"obj_uid", second.substr(0, second.find('|'))},
                                   {"additional_info", object_of({{"text", "Help-needed"}})}}));
    }
    if (_o.awkward)
        add_awkward(f, random, floors, anchors);
    return f;
}

bool write_file(const std::string& _path, const std::string& _text) {
    std::ofstream out(_path, std::ios::binary | std::ios::trunc);
    out << _text;
    out.close();
    if (!out) {
        std::cerr << "quorvane-make-project: cannot write " << _path << "\n";
        return false;
    }
    return true;
}

bool make_folder(const std::string& _path) {
    std::string partial;
    for (std::size_t at = 0; at != std::string::npos;) {
        const auto next = _path.find('/', at + 1);
        partial = _path.substr(0, next);
        if (!partial.empty() && ::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
            std::cerr << "quorvane-make-project: cannot create " << partial << ": " << std::strerror(errno) << "\n";
            return false;
        }
        at = next;
    }
    return true;
}

bool parse_count(const char* _text, unsigned _max, unsigned& _value) {
    try {
        std::size_t used = 0;
        const std::string text = _text;
        const unsigned long value = std::stoul(text, &used);
        if (used != text.size() || text.find('-') != std::string::npos || value > _max)
            return false;
        _value = static_cast<unsigned>(value);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    options o;
    static const option long_options[] = {{"out", required_argument, nullptr, 'o'},
                                          {"tags", required_argument, nullptr, 't'},
                                          {"anchors", required_argument, nullptr, 'a'},
                                          {"sublocations", required_argument, nullptr, 's'},
                                          {"seed", required_argument, nullptr, 'k'},
                                          {"awkward", no_argument, nullptr, 'w'},
                                          {"help", no_argument, nullptr, 'h'},
                                          {nullptr, 0, nullptr, 0}};
    int c = 0;
    unsigned seed = 1;
    while ((c = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
        bool ok = true;
        switch (c) {
            case 'o':
                o.out = optarg;
                break;
            // Tag numbers go into two bytes of the MAC; node ids into two bytes.
            case 't':
                ok = parse_count(optarg, 65535, o.tags);
                break;
            case 'a':
                ok = parse_count(optarg, 0xEFFF, o.anchors);
                break;
            case 's':
                ok = parse_count(optarg, 255, o.sublocations) && o.sublocations > 0;
                break;
            case 'k':
                ok = parse_count(optarg, 0xFFFFFFFFu, seed);
                o.seed = seed;
                break;
            case 'w':
                o.awkward = true;
                break;
            case 'h':
                std::cout << s_usage;
                return 0;
            default:
                std::cerr << s_usage;
                return 2;
        }
        if (!ok) {
            std::cerr << "quorvane-make-project: bad value " << optarg << "\n" << s_usage;
            return 2;
        }
    }
    if (optind < argc || o.out.empty()) {
        std::cerr << (o.out.empty() ? "--out is required\n" : "unexpected argument\n") << s_usage;
        return 2;
    }
    if (!make_folder(o.out))
        return 1;

    const project_files f = generate(o);
    const std::string dir = o.out + "/";
    const bool written = write_file(dir + "sublocations.json", answer_text("sublocations", f.sublocations)) &&
                         write_file(dir + "win_anchors.json", answer_text("win_anchors", f.anchors)) &&
                         write_file(dir + "groups.json", answer_text("groups", f.groups)) &&
                         write_file(dir + "zones.json", answer_text("zones", f.zones)) &&
                         write_file(dir + "track_obj.json", answer_text("trackableObjects", f.tags)) &&
                         write_file(dir + "alarms_active.json", answer_text("alarms", f.alarms)) &&
                         write_file(dir + "tdoa_settings.json", answer_text("tdoa_settings", f.settings)) &&
                         write_file(dir + "tdoa_schedules.json", answer_text("tdoa_schedules", f.schedules)) &&
                         write_file(dir + "driver_licenses.json", answer_text("driver_licenses", f.licenses)) &&
                         write_file(dir + "vehicle_certifications.json",
                                    answer_text("vehicle_certifications", f.certifications));
    return written ? 0 : 1;
}
