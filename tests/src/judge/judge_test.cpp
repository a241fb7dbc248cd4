// The judge over plain values: a project snapshot holding one tag's object, its group and
// sublocation, and the tag's WIN record as the receiver stores reports; what a delivery
// sends for each shape of difference, and that a request is answered with what a push
// would carry. Likewise three anchors with a TDOA setting and schedule: the schedule each
// is held to and the answers to their requests. No Redis: the rules, not the reading.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <set>

#include "core/json.h"
#include "core/logger.h"
#include "judge/judge.h"

namespace {

using namespace vyr::parameter;
using vyr::context::project_snapshot;
using vyr::context::track_obj_data;
using vyr::context::win_data;
using vyr::context::win_record;
using list = std::vector<std::string>;

vyr::libs::core::logger& test_logger() {
    static vyr::libs::core::logger logger("rtls-quorvane-test", "judge");
    return logger;
}

constexpr const char* s_mac = "70B3D5FFFE0B0001";
const timeval s_now{1700000000, 0};

// A settled monitor tag: its object, and its WIN reporting exactly what the object requires.
struct tag_site {
    project_snapshot project;
    track_obj_data object;
    win_data record;

    tag_site() {
        object.name = "Worker-1", object.type = "person", object.category = "person", object.mac_addr = s_mac;
        object.sublocation_uid = "sl-1", object.position_x = 500, object.position_y = -300, object.default_height = 120;
        object.groups = {"grp-1"}, object.t2t_no_alarm = {"70B3D5FFFE0B0002"};
        object.t2t_cfg = std::make_shared<track_obj_data::t2t>(
            track_obj_data::t2t{"monitor", true, true, false, std::string("SOLID"), 500, 90, 2, 800, 300});
        project.updated = true;
        project.groups["grp-1"] = {"prj-1", "Drivers"};
        project.sublocations["sl-1"] = {std::string("prj-1"), 7, 0, 0, 40};
        project.track_obj_by_mac[s_mac] = "to-1";
        actual(EM_ALM, "{\"state\":\"CLEAR\"}\n");
        actual(SCR_NAME, "\"Worker-1\"\n");
        actual(SCR_GNAME, "\"Drivers\"\n");
        for (const auto p : {T2T_CFG, T2T_NO_ALARM, STATIONARY, CATEGORY})
            state(p, SUPPORTED);
        t2t({{"role", "monitor"}, {"alarm_back", "true"}, {"distance", "500"}, {"angle", "90"}, {"delay", "2"},
             {"pin", "SOLID"}, {"alert_distance", "800"}, {"safe_distance", "300"}, {"buzzer", "true"},
             {"haptic", "false"}});
        record.t2t_no_alarm = {"70B3D5FFFE0B0002"};
        detail(STATIONARY, "stationary", "false");
        detail(CATEGORY, "category", "person");
        record.data["sending_counter_sec"] = "0";
    }
    void detail(parameter_t _p, const std::string& _field, const std::string& _value) {
        record.parameters[parameters.at(_p)][_field] = _value;
    }
    void actual(parameter_t _p, const std::string& _json) { detail(_p, "actual", _json); }
    // The object's t2t configuration, to change: a copy of its own.
    track_obj_data::t2t& cfg() {
        auto copy = std::make_shared<track_obj_data::t2t>(*object.t2t_cfg);
        object.t2t_cfg = copy;
        return *copy;
    }
    void state(parameter_t _p, parameter_states _state) { detail(_p, "state", to_string(_state)); }
    // The device's t2t_cfg report, replacing the one before.
    void t2t(const std::map<std::string, std::string>& _fields) {
        auto& hash = record.parameters[parameters.at(T2T_CFG)];
        hash = {{"state", "supported"}};
        hash.insert(_fields.begin(), _fields.end());
    }
    void loc(std::int32_t _x, std::int32_t _z, std::int32_t _offset) {
        state(LOC, SUPPORTED);
        for (const auto& [field, value] : std::map<std::string, std::int32_t>{
                 {"x", _x}, {"y", -300}, {"z", _z}, {"sublocation_z", _offset}, {"sublocation_id", 7}})
            detail(LOC, field, std::to_string(value));
    }

    vyr::judge::judge judge() {
        auto snapshot = std::make_shared<project_snapshot>(project);
        snapshot->track_objs["to-1"] = object;
        return vyr::judge::judge(snapshot, false, s_now, test_logger());
    }
    win_record win() const { return win_record(s_mac, record); }
    // The payloads one delivery sends (frames without their command), and how many
    // subjects it warned about as not deliverable whole.
    list frames(int* _warnings = nullptr) {
        auto j = judge();
        auto sent = j.deliver(win(), true).frames;
        std::set<std::string> warned;
        for (const auto& n : j.take_notices())
            if (n.text.find("cannot be delivered whole") != std::string::npos)
                warned.insert(n.subject);
        if (_warnings)
            *_warnings = static_cast<int>(warned.size());
        return sent;
    }
    // The answer to a request for `_numbers`.
    std::string answer(const std::vector<std::uint32_t>& _numbers) {
        auto j = judge();
        std::string payloads;
        for (const auto n : _numbers)
            payloads += j.answer(win(), n).value_or("");
        return payloads;
    }
};

const std::string s_t2t = "2B0401250002";  // monitor: alarm back, solid, buzzer; delay 2
const std::string s_loc = "0912000001F4FFFFFED4000000A0000000280007";  // z 120 + 40, offset 40, id 7

struct shape {
    const char* name;
    std::function<void(tag_site&)> change;
    list sent;
};

// Each row starts from the settled tag. A row guards one compare rule: a rule wrongly
// loose leaves a device out of step, one wrongly strict pushes a device for ever.
const shape s_shapes[] = {
    {"SettledTagIsSentNothing", [](tag_site&) {}, {}},
    {"FreshTagIsSentEverythingInOrder", [](tag_site& s) { s.record.parameters.clear(), s.record.t2t_no_alarm.clear(); },
     {"3C0100", "5208576F726B65722D31", "530744726976657273", s_t2t, "2C0870B3D5FFFE0B0002", "5E0101", "5D0100"}},
    {"AssetTagIsNeverJudged", [](tag_site& s) { s.object.type = "ASSET", s.actual(SCR_NAME, "\"X\"\n"); }, {}},
    {"ChangedNameIsPushed", [](tag_site& s) { s.actual(SCR_NAME, "\"Worker-0\"\n"); }, {"5208576F726B65722D31"}},
    {"CertificationsWaitForThePlatformSwitch",
     [](tag_site& s) { s.object.vehicle_model = 5, s.object.driver_licenses = {1, 3}, s.actual(VEH_CERT, "{\"id\":4}\n"); },
     {}},
    {"CertificationsArePushedWithTheSwitchOn",
     [](tag_site& s) {
         s.project.vehicle_certification = true;
         s.object.vehicle_model = 5, s.object.driver_licenses = {1, 3}, s.actual(VEH_CERT, "{\"id\":4}\n");
     },
     {"2E0105", "2F020103"}},
    {"NullCertificationReportIsLeftAloneAndLicencesCompareAsSets",
     [](tag_site& s) {
         s.project.vehicle_certification = true;
         s.object.vehicle_model = 5, s.object.driver_licenses = {1, 3};
         s.actual(VEH_CERT, "null\n"), s.actual(DRIVER_LIC, "[{\"id\":3},{\"id\":1}]\n");
     },
     {}},
    {"RaisedButtonAlarmIsPushedSet",
     [](tag_site& s) {
         s.project.alarms["al-1"].alarm_name = "emergency_button", s.project.alarms["al-1"].set = true;
         s.project.alarms_of_object["to-1"] = {"al-1"};
     },
     {"3C0101"}},
    {"NullButtonReportIsLeftAlone",
     [](tag_site& s) {
         s.project.alarms["al-1"].alarm_name = "emergency_button", s.project.alarms["al-1"].set = true;
         s.project.alarms_of_object["to-1"] = {"al-1"}, s.actual(EM_ALM, "null\n");
     },
     {}},
    {"PressedButtonIsHeldWithinTheHoldUntilAListSinceShowsItCleared",
     [](tag_site& s) {
         s.actual(EM_ALM, "{\"state\":\"SET\"}\n");
         s.detail(EM_ALM, "heard_ms", std::to_string(s_now.tv_sec * 1000 - 1000));
     },
     {}},
    {"PressedButtonClearedByALaterListIsPushedClear",
     [](tag_site& s) {
         s.actual(EM_ALM, "{\"state\":\"SET\"}\n");
         s.detail(EM_ALM, "heard_ms", std::to_string(s_now.tv_sec * 1000 - 1000));
         s.project.buttons_seen["to-1"] = s_now.tv_sec * 1000 - 500;
     },
     {"3C0100"}},
    {"PressedButtonPastTheHoldIsPushedClear",
     [](tag_site& s) {
         s.actual(EM_ALM, "{\"state\":\"SET\"}\n");
         s.detail(EM_ALM, "heard_ms", std::to_string(s_now.tv_sec * 1000 - 31000));
     },
     {"3C0100"}},
    {"OtherRoleIsPushed", [](tag_site& s) { s.detail(T2T_CFG, "role", "ANNOUNCER"); }, {s_t2t}},
    {"RoleComparesInAnyCase", [](tag_site& s) { s.detail(T2T_CFG, "role", "Monitor"); }, {}},
    {"CommonFieldThatDiffersIsPushed", [](tag_site& s) { s.detail(T2T_CFG, "distance", "501"); }, {s_t2t}},
    {"FieldsTheReportLeavesOutAreNotCompared", [](tag_site& s) { s.t2t({{"role", "monitor"}, {"pin", "solid"}}); }, {}},
    {"OtherPinSettingIsPushed", [](tag_site& s) { s.t2t({{"role", "monitor"}, {"pin", "PULSE"}}); }, {s_t2t}},
    {"UnsupportedT2tIsLeftAlone",
     [](tag_site& s) { s.t2t({{"role", "announcer"}}), s.state(T2T_CFG, NOT_SUPPORTED); }, {}},
    {"UnknownT2tIsPushed", [](tag_site& s) { s.state(T2T_CFG, UNKNOWN); }, {s_t2t}},
    {"MissingSafeDistanceCountsAsZero",
     [](tag_site& s) { s.cfg().safe_distance.reset(), s.t2t({{"role", "monitor"}, {"safe_distance", "0"}}); },
     {}},
    {"MissingSafeDistanceDiffersFromFive",
     [](tag_site& s) { s.cfg().safe_distance.reset(), s.t2t({{"role", "monitor"}, {"safe_distance", "5"}}); },
     {s_t2t}},
    {"OtherRoleIsHeldAsDisabled",
     [](tag_site& s) { s.cfg().role = "passive", s.t2t({{"role", "Disabled"}, {"distance", "1"}}); }, {}},
    {"OtherRoleReportedAsItselfIsPushedRoleZero",
     [](tag_site& s) { s.cfg().role = "passive", s.t2t({{"role", "Passive"}}); }, {"2B0100"}},
    {"NoConfigurationWantsDisabled", [](tag_site& s) { s.object.t2t_cfg.reset(); }, {"2B0100"}},
    {"NoConfigurationSettlesOnDisabled", [](tag_site& s) { s.object.t2t_cfg.reset(), s.t2t({{"role", "Disabled"}}); },
     {}},
    {"OtherNoAlarmEntryIsPushed", [](tag_site& s) { s.record.t2t_no_alarm = {"70B3D5FFFE0B0003"}; },
     {"2C0870B3D5FFFE0B0002"}},
    {"EmptyNoAlarmListIsPushed", [](tag_site& s) { s.record.t2t_no_alarm.clear(); }, {"2C0870B3D5FFFE0B0002"}},
    {"NoAlarmEntryComparesInAnyCase", [](tag_site& s) { s.record.t2t_no_alarm = {"70b3d5fffe0b0002"}; }, {}},
    {"OtherCategoryIsPushed", [](tag_site& s) { s.detail(CATEGORY, "category", "vehicle"); }, {"5E0101"}},
    {"CategoryWithoutACodeIsPushedUnspecified", [](tag_site& s) { s.object.category = "forklift"; }, {"5E0100"}},
    {"CategoryWithoutACodeSettlesOnUnspecified",
     [](tag_site& s) { s.object.category = "forklift", s.detail(CATEGORY, "category", "unspecified"); }, {}},
    {"StationaryUnknownIsPushedWithoutLocation",
     [](tag_site& s) { s.object.stationary = true, s.state(STATIONARY, UNKNOWN); }, {"5D0101"}},
    {"LocationUnknownIsPushed", [](tag_site& s) { s.object.stationary = true, s.detail(STATIONARY, "stationary", "true"); },
     {s_loc}},
    {"StationaryAndLocationGoInOneCommand", [](tag_site& s) { s.object.stationary = true; }, {"5D0101" + s_loc}},
    {"ReportedPlaceSettles",
     [](tag_site& s) { s.object.stationary = true, s.detail(STATIONARY, "stationary", "true"), s.loc(500, 160, 40); },
     {}},
    {"OtherPlaceIsPushed",
     [](tag_site& s) { s.object.stationary = true, s.detail(STATIONARY, "stationary", "true"), s.loc(501, 160, 40); },
     {s_loc}},
    {"UnsupportedLocationIsLeftAlone",
     [](tag_site& s) {
         s.object.stationary = true, s.detail(STATIONARY, "stationary", "true"), s.loc(501, 160, 40);
         s.state(LOC, NOT_SUPPORTED);
     },
     {}},
    {"SublocationWithoutOffsetIsSentWithOffsetZero",
     [](tag_site& s) {
         s.object.stationary = true, s.detail(STATIONARY, "stationary", "true");
         s.project.sublocations["sl-1"].offset_z.reset();
     },
     {"0912000001F4FFFFFED400000078000000000007"}},
    {"SublocationWithoutOffsetSettles",
     [](tag_site& s) {
         s.object.stationary = true, s.detail(STATIONARY, "stationary", "true"), s.loc(500, 120, 0);
         s.project.sublocations["sl-1"].offset_z.reset();
     },
     {}},
    {"OddAngleSettlesOnTheEvenOneHeld",
     [](tag_site& s) {
         s.cfg().role = "announcer", s.cfg().angle = 91;
         s.t2t({{"role", "announcer"}, {"angle", "90"}});
     },
     {}},
    {"NoAlarmListSettlesOnTheEntryHeldOnceReported",
     [](tag_site& s) {
         s.object.t2t_no_alarm = {"70B3D5FFFE0B0009", "70b3d5fffe0b0003", "not hex"};
         s.record.t2t_no_alarm = {"70B3D5FFFE0B0003"};
     },
     {}},
    {"LongNameSettlesOnTheCutHeld",
     [](tag_site& s) {
         s.object.name = std::string(254, 'n') + "\xC3\xA9" + "tail";
         s.actual(SCR_NAME, "\"" + std::string(254, 'n') + "\"\n");
     },
     {}},
    {"MovingObjectsLocationIsNeverPushed", [](tag_site& s) { s.state(LOC, UNKNOWN); }, {}},
};

TEST(Judge, EachShapeOfDifferenceSendsWhatTheDeviceLacks) {
    for (const auto& row : s_shapes) {
        tag_site site;
        row.change(site);
        EXPECT_EQ(site.frames(), row.sent) << row.name;
    }
}

// Regressions: values the payload cannot carry whole were compared (and stored as must)
// as the project holds them, so a device holding what it was sent was pushed every 5 s
// for ever. Each shape is pushed as the device will hold it, warned about, and a request
// for it is answered with the same payload.
TEST(Judge, LossyValuesAreComparedAsTheDeviceHoldsThem) {
    std::string cut_name = "52FE";
    for (int i = 0; i < 254; ++i)
        cut_name += "6E";
    struct lossy {
        const char* name;
        std::function<void(tag_site&)> change;
        list sent;
        int warnings;
        std::vector<std::uint32_t> asked;
    };
    const lossy rows[] = {
        {"TwoNoAlarmEntriesSettleOnTheSmallestHexEntry",
         [](tag_site& s) { s.object.t2t_no_alarm = {"70B3D5FFFE0B0009", "70b3d5fffe0b0003", "not hex"}; },
         {"2C0870B3D5FFFE0B0003"}, 1, {T2T_NO_ALARM}},
        {"OddT2tAngleIsComparedAsHeld", [](tag_site& s) { s.cfg().role = "announcer", s.cfg().angle = 91; },
         {"2B0B0225000201F42D0320012C"}, 1, {T2T_CFG}},
        {"WideT2tDistanceIsNotSentCapped",
         [](tag_site& s) { s.cfg().role = "announcer", s.cfg().distance = 0x10000; }, {}, 1, {T2T_CFG}},
        {"LongScreenNameIsCutAtAWholeCharacter",
         [](tag_site& s) { s.object.name = std::string(254, 'n') + "\xC3\xA9" + "tail"; }, {cut_name}, 1, {SCR_NAME}},
        {"WideCertificateIdIsNotSentAsNoneAndWideLicenceIdsAreLeftOut",
         [](tag_site& s) {
             s.project.vehicle_certification = true;
             s.object.vehicle_model = 256, s.object.driver_licenses = {3, 300};
         },
         {"2F0103"}, 2, {VEH_CERT, DRIVER_LIC}},
        {"WideSublocationIdSendsNoLocation",
         [](tag_site& s) { s.object.stationary = true, s.project.sublocations["sl-1"].sublocation_id = 70000; },
         {"5D0101"}, 1, {STATIONARY, LOC}},
        {"HeightBeyond32BitsSendsNoLocation",
         [](tag_site& s) { s.object.stationary = true, s.object.default_height = INT32_MAX; }, {"5D0101"}, 1,
         {STATIONARY, LOC}},
    };
    for (const auto& row : rows) {
        tag_site site;
        row.change(site);
        int warnings = 0;
        EXPECT_EQ(site.frames(&warnings), row.sent) << row.name;
        EXPECT_EQ(warnings, row.warnings) << row.name;
        std::string pushed;
        for (const auto& frame : row.sent)
            pushed += frame;
        EXPECT_EQ(site.answer(row.asked), pushed) << row.name;
    }
}

// Anchors A (master, sfd 0x1234, slot 0), B (distributor of A, slot 5) and C (neither),
// as the mechanism's tests have them; each WIN reports its network configuration only.
struct anchor_site {
    project_snapshot project;
    Json::Value setting = vyr::libs::core::json::try_parse(R"({"values": {"autostart": true,
        "configured_state": true, "active_schedule_uid": "sch-1",
        "masters": [{"anchor_uid": "A", "sfd": 4660, "slot": 0}],
        "distributors": [{"anchor_uid": "B", "master_uid": "A", "slot": 5}]}})").result;
    bool to_destination = false;

    anchor_site() {
        anchor("A", "70B3D5FFFE0A0A0A", 0x0102, 10, -20, 30);
        anchor("B", "0011223344556677", 0x0304, 40, 50, -60);
        anchor("C", "70B3D5FFFE0C0C0C", 0x0506, 0, 0, 0);
    }
    void anchor(const std::string& _uid, const std::string& _mac, std::uint32_t _node, std::int32_t _x,
                std::int32_t _y, std::int32_t _z) {
        project.anchors[_uid] = {"prj-1", _uid, "sl-1", "anchor", _mac, _x, _y, _z, _node};
        project.anchor_by_mac[_mac] = _uid;
    }
    void schedule(std::uint32_t _version, std::set<std::string> _rows) {
        project.tdoa_schedules["sch-1"] = {_version, std::move(_rows)};
    }
    void no_active() { setting["values"].removeMember("active_schedule_uid"); }
    vyr::judge::judge judge() {
        auto snapshot = std::make_shared<project_snapshot>(project);
        snapshot->tdoa_settings["prj-1"] = setting;
        return vyr::judge::judge(snapshot, to_destination, s_now, test_logger());
    }
    win_record win(const std::string& _uid, const std::string& _schedule = "") const {
        win_data record;
        record.data["sending_counter_sec"] = "0";
        record.parameters[parameters.at(NWK_CFG)]["actual"] = "{\"router\":false}\n";
        if (!_schedule.empty())
            record.parameters[parameters.at(TDOA_SCHEDULE)]["actual"] = _schedule;
        return win_record(project.anchors.at(_uid).mac_addr, record);
    }
};

const std::string s_a_to_b = "03A2040003040000002800000032FFFFFFC4";  // slot 3, sect 1 et 1 dim 2, margin 4
const std::set<std::string> s_v1_capped = {"1,A,B,3,1,2,-0.3", "2,A,B,3,1,2,64",  "3,A,B,128,1,2,0.75",
                                           "4,A,B,3,4,2,0.75",  "5,A,B,3,1,16,0.75", "6,A,B,127,3,15,63.75"};
const std::string s_v1_answer_a = "06050366772203" "1406010212340604" "160100" "180401020000";

struct anchor_shape {
    const char* name;
    std::function<void(anchor_site&)> change;
    const char* anchor;
    std::vector<std::uint32_t> asked;
    std::string answer;
    int notices;
    // A text one of the notices holds.
    const char* said = "";
};

// What an anchor asking for `asked` is answered; a row asking for its schedule alone is
// also delivered, to a WIN reporting none (and the same payload goes out) and to one
// reporting what it must hold (and nothing does).
const anchor_shape s_anchor_shapes[] = {
    {"SourceIsSentItsPartner", [](anchor_site& s) { s.schedule(2, {"1,A,B,3,1,2,1,1000"}); }, "A", {TDOA_SCHEDULE},
     "1612" + s_a_to_b, 0},
    {"DestinationIsSentNothingWithoutTheOption", [](anchor_site& s) { s.schedule(2, {"1,A,B,3,1,2,1,1000"}); }, "B",
     {TDOA_SCHEDULE}, "160100", 0},
    {"DestinationOfDimTwoIsSentItsSourceWithTheOption",
     [](anchor_site& s) { s.schedule(2, {"1,A,B,3,1,2,1,1000"}), s.to_destination = true; }, "B", {TDOA_SCHEDULE},
     "1612" "03A2040001020000000AFFFFFFEC0000001E", 0},
    {"DestinationOfDimOneIsSentNothingWithTheOption",
     [](anchor_site& s) { s.schedule(2, {"2,A,C,4,0,1,0,250"}), s.to_destination = true; }, "C", {TDOA_SCHEDULE},
     "160100", 0},
    {"BrokenRowEndsTheScheduleAfterTheRowsBeforeIt",
     [](anchor_site& s) {
         s.schedule(2, {"1,A,B,3,1,2,1,1000", "2,A,C,4,0,1,0,250", "3,A,C,5,0,1,0", "4,A,C,6,0,1,0,250"});
     },
     "A", {TDOA_SCHEDULE}, "1624" + s_a_to_b + "040101000506000000000000000000000000", 1},
    {"NoActiveScheduleSendsNone",
     [](anchor_site& s) { s.schedule(2, {"1,A,B,3,1,2,1,1000"}), s.no_active(); },
     "A", {TDOA_SCHEDULE}, "160100", 0},
    {"VersionOneScheduleIsNoVersionTwoOne", [](anchor_site& s) { s.schedule(1, {"1,A,B,3,1,2,0.75"}); }, "A",
     {TDOA_SCHEDULE}, "160100", 0},
    {"MasterIsAnsweredItsV1EntriesSuperframeAndOwnSlot", [](anchor_site& s) { s.schedule(1, {"1,A,B,3,1,2,0.75"}); },
     "A", {TDOA_SCHD, SF, TDOA_SCHEDULE, SYNC_SLOT}, s_v1_answer_a, 0},
    {"DistributorFollowsItsMasterAndHasNoSuperframe", [](anchor_site& s) { s.schedule(1, {"1,A,B,3,1,2,0.75"}); }, "B",
     {TDOA_SCHD, SF, SYNC_SLOT}, "0605830A0A2203" "140100" "180401020500", 0},
    {"OtherAnchorFollowsNobody", [](anchor_site& s) { s.schedule(1, {"1,A,B,3,1,2,0.75"}); }, "C",
     {TDOA_SCHD, SF, SYNC_SLOT}, "060100" "140100" "1804FFFFFF00", 0},
    {"RowOfNineFieldsEndsTheSchedule", [](anchor_site& s) { s.schedule(2, {"1,A,B,3,1,2,1,1000,9"}); }, "A",
     {TDOA_SCHEDULE}, "160100", 1, "bad schedule row format"},
    {"RowWithANegativeNumberEndsTheSchedule", [](anchor_site& s) { s.schedule(2, {"1,A,B,3,1,2,-1,1000"}); }, "A",
     {TDOA_SCHEDULE}, "160100", 1},
    {"VersionTwoScheduleHasNoV1Entries", [](anchor_site& s) { s.schedule(2, {"1,A,B,3,1,2,1,1000"}); }, "A",
     {TDOA_SCHD}, "060100", 0},
    {"AnchorNotInTheProjectHasNoV1Entries",
     [](anchor_site& s) {
         s.schedule(1, {"1,A,B,3,1,2,0.75"}), s.anchor("D", "70B3D5FFFE999999", 9, 0, 0, 0);
         s.project.anchor_by_mac.erase("70B3D5FFFE999999");
     },
     "D", {TDOA_SCHD}, "060100", 0},
    // Regression: numbers beyond their fields were sent capped (a margin as 0 or 255
    // quarters, a slot as 127, another anchor's) or among other bits (a dimension of 4 to
    // 7 in the boundary's): such a row is left out, warned; the largest that fit go.
    {"V1RowsBeyondTheirFieldsAreLeftOutNotSentCapped", [](anchor_site& s) { s.schedule(1, s_v1_capped); }, "A",
     {TDOA_SCHD}, "0605" "7F6677F8FF", 1, "cannot be delivered whole"},
    {"V1RowsBeyondTheirFieldsAreLeftOutForTheDestination", [](anchor_site& s) { s.schedule(1, s_v1_capped); }, "B",
     {TDOA_SCHD}, "0605" "FF0A0AF8FF", 1},
    {"MasterWithoutActiveScheduleGetsNoSuperframe",
     [](anchor_site& s) { s.schedule(1, {"1,A,B,3,1,2,0.75"}), s.no_active(); },
     "A", {SF, SYNC_SLOT}, "180401020000", 1, "active_schedule_uid not found in tdoa_setting:prj-1"},
    {"MasterOfAScheduleNotMirroredGetsNoSuperframe",
     [](anchor_site& s) { s.schedule(1, {"1,A,B,3,1,2,0.75"}), s.project.tdoa_schedules.clear(); }, "A", {SF}, "", 1},
    {"SuperframeBeyondItsFieldIsNotSentCapped", [](anchor_site& s) { s.schedule(1, {"1,A,B,255,1,2,0.75"}); }, "A",
     {SF}, "", 1, "cannot be delivered whole"},
    {"MasterNodeIdBeyondTwoBytesIsNotSentAsNoMaster",
     [](anchor_site& s) { s.schedule(1, {"1,A,B,3,1,2,0.75"}), s.project.anchors["A"].node_id = 0x10000; }, "A",
     {SF, SYNC_SLOT}, "", 2},
    {"DistributorOfAMasterBeyondTwoBytesIsAnsweredNoSlot",
     [](anchor_site& s) { s.schedule(1, {"1,A,B,3,1,2,0.75"}), s.project.anchors["A"].node_id = 0x10000; }, "B",
     {SYNC_SLOT}, "", 1, "cannot be delivered whole"},
    {"DistributorOfAMasterNotInTheProjectIsAnsweredNoSlot",
     [](anchor_site& s) { s.schedule(1, {"1,A,B,3,1,2,0.75"}), s.project.anchors.erase("A"); }, "B", {SYNC_SLOT}, "",
     0},
};

TEST(Judge, AnchorsAreHeldToTheirScheduleAndAnsweredTheirTdoaPayloads) {
    for (const auto& row : s_anchor_shapes) {
        anchor_site site;
        row.change(site);
        auto judge = site.judge();
        std::string answer;
        for (const auto n : row.asked)
            answer += judge.answer(site.win(row.anchor), n).value_or("");
        EXPECT_EQ(answer, row.answer) << row.name;
        int notices = 0;
        std::string said;
        for (const auto& n : judge.take_notices())
            notices += n.text.empty() ? 0 : 1, said += n.text + "\n";
        EXPECT_EQ(notices, row.notices) << row.name;
        EXPECT_NE(said.find(row.said), std::string::npos) << row.name << ": " << said;
        if (row.asked != std::vector<std::uint32_t>{TDOA_SCHEDULE})
            continue;
        EXPECT_EQ(site.judge().deliver(site.win(row.anchor), true).frames, list{row.answer}) << row.name;
        const auto must = site.judge().check(site.win(row.anchor)).front().must;
        EXPECT_EQ(site.judge().deliver(site.win(row.anchor, must), true).frames, list{}) << row.name;
    }
}

// A broken version-1 row keeps the entries before it and is named in the notice.
TEST(Judge, BrokenV1RowKeepsTheEntriesBeforeIt) {
    const std::pair<const char*, const char*> rows[] = {
        {"2,A,B,4,1,2", "bad schedule format (6)"},   {"2 no commas", "bad schedule format (1)"},
        {"2,A,B,x4,1,2,0.5", "bad slot number"},     {"2,A,B,4,1,2,half", "bad margin"},
        {"2,A,Z,4,1,2,0.5", "dst mac_addr is empty"}, {"2,Z,A,4,1,2,0.5", "src mac_addr is empty"},
    };
    for (const auto& [row, message] : rows) {
        anchor_site site;
        site.schedule(1, {"1,A,B,3,1,2,0.75", row, "3,A,B,6,1,2,0.75"});
        auto judge = site.judge();
        EXPECT_EQ(judge.answer(site.win("A"), TDOA_SCHD), "06050366772203") << row;
        std::string said;
        for (const auto& n : judge.take_notices())
            said += n.text + "\n";
        EXPECT_NE(said.find(message), std::string::npos) << row << ": " << said;
    }
}

// The sync pass over A, B and C: a row changes the site (each WIN exists, reports
// nothing, and was last pushed long ago); the frames pushed, by anchor, and how many
// subjects were warned about. One frame per WIN and pass: a master's superframe waits
// for a pass in which its sync slot is not pushed.
struct sync_site : anchor_site {
    std::map<std::string, win_data> wins;
    sync_site() {
        schedule(1, {"1,A,B,3,1,2,0.75"});
        for (const auto* uid : {"A", "B", "C"})
            wins[uid].data["sending_counter_sec"] = "0";
    }
    void report(parameter_t _p, const std::string& _uid, std::map<std::string, std::string> _fields,
                parameter_states _state = SUPPORTED) {
        _fields["state"] = to_string(_state);
        wins[_uid].parameters[parameters.at(_p)] = {_fields.begin(), _fields.end()};
    }
    void slot(const std::string& _uid, std::uint32_t _addr, std::uint32_t _slot) {
        report(SYNC_SLOT, _uid, {{"addr", std::to_string(_addr)}, {"slot", std::to_string(_slot)}});
    }
    Json::Value& values() { return setting["values"]; }
    list pushed(int& _warned) {
        auto j = judge();
        list frames;
        for (const auto& mac : j.sync_anchors())
            if (const auto frame = j.sync_push(win_record(mac, wins[project.anchor_by_mac.at(mac)])))
                frames.push_back(project.anchor_by_mac.at(mac) + " " + *frame);
        std::set<std::string> warned;
        for (const auto& n : j.take_notices())
            if (!n.text.empty())
                warned.insert(n.subject);
        _warned = static_cast<int>(warned.size());
        return frames;
    }
};

const std::string s_a_slot = "A 180401020000", s_b_slot = "B 180401020500", s_c_slot = "C 1804FFFFFF00";
const std::string s_a_sf = "A 1406010212340604";
const std::map<std::string, std::string> s_full_sf = {
    {"node_id", "258"}, {"sfd", "4660"}, {"setting_slots", "6"}, {"slot_count", "4"}};

TEST(Judge, SyncPassPushesEachAnchorItsSlotThenTheMastersSuperframe) {
    // A row starts from fresh WINs, or from WINs that report their slots (`reported`).
    struct sync_shape {
        const char* name;
        bool reported;
        std::function<void(sync_site&)> change;
        list pushed;
        int warned;
    };
    using site = sync_site;
    const sync_shape rows[] = {
        {"FreshAnchorsAreSentTheirSlotsOnly", false, [](site&) {}, {s_a_slot, s_b_slot, s_c_slot}, 0},
        {"MasterListedAsDistributorTooIsAMaster", true,
         [](site& s) {
             s.values()["distributors"].append(
                 vyr::libs::core::json::try_parse(R"({"anchor_uid": "A", "master_uid": "B", "slot": 9})").result);
         },
         {"A 1406010212340A04"}, 0},  // its slot counts among the setting's
        {"ReportedSlotsLetTheMasterHaveItsSuperframe", true, [](site&) {}, {s_a_sf}, 0},
        {"SuperframeWaitsForTheMastersOwnSlot", true, [](site& s) { s.slot("A", 0x0102, 1); }, {s_a_slot}, 0},
        {"MasterWithoutSlotSupportGetsItsSuperframe", true,
         [](site& s) { s.report(SYNC_SLOT, "A", {}, NOT_SUPPORTED); }, {s_a_sf}, 0},
        {"NodeIdOnlySuperframeIsSettled", true, [](site& s) { s.report(SF, "A", {{"node_id", "258"}}); }, {}, 0},
        {"MasterReportingTheWholeSuperframeIsSettled", true, [](site& s) { s.report(SF, "A", s_full_sf); }, {}, 0},
        {"ChangedSlotCountReachesAReportingMaster", true,
         [](site& s) { s.report(SF, "A", s_full_sf), s.schedule(1, {"1,A,B,9,1,2,0.75"}); }, {"A 140601021234060A"}, 0},
        {"UnsupportedSuperframeIsLeftAlone", true, [](site& s) { s.report(SF, "A", {}, NOT_SUPPORTED); }, {}, 0},
        {"UnsupportedSlotIsLeftAlone", true, [](site& s) { s.report(SYNC_SLOT, "C", {}, NOT_SUPPORTED); }, {s_a_sf}, 0},
        {"MasterWithoutActiveScheduleGetsNoSuperframe", true, [](site& s) { s.no_active(); }, {}, 1},
        {"ScheduleNotMirroredGivesNoSuperframe", true, [](site& s) { s.project.tdoa_schedules.clear(); }, {}, 1},
        {"SuperframeBeyondItsFieldsIsNotSent", true, [](site& s) { s.schedule(1, {"1,A,B,255,1,2,0.75"}); }, {}, 1},
        {"OtherSlotReportedIsPushedAgain", true, [](site& s) { s.slot("C", 0xFFFF, 7); }, {s_a_sf, s_c_slot}, 0},
        {"SettingNotConfiguredPushesNothing", false, [](site& s) { s.values()["configured_state"] = false; }, {}, 0},
        {"SettingWithoutAutostartPushesNothing", false, [](site& s) { s.values().removeMember("autostart"); }, {}, 0},
        {"SettingWithoutDistributorsPushesNothing", false, [](site& s) { s.values().removeMember("distributors"); }, {},
         0},
        {"WinPastItsCounterIsLeftAlone", false, [](site& s) { s.wins["A"].data["sending_counter"] = "10"; },
         {s_b_slot, s_c_slot}, 0},
        {"WinWithinItsPacingIsLeftAlone", false,
         [](site& s) { s.wins["B"].data["sending_counter_sec"] = std::to_string(s_now.tv_sec - 4); },
         {s_a_slot, s_c_slot}, 0},
        {"MissingWinIsLeftAlone", false, [](site& s) { s.wins.erase("C"); }, {s_a_slot, s_b_slot}, 0},
        {"DistributorWithoutMasterFollowsNobody", false,
         [](site& s) { s.values()["distributors"][0].removeMember("master_uid"); },
         {s_a_slot, "B 1804FFFF0500", s_c_slot}, 0},
        {"DistributorOfAMasterNotInTheProjectIsLeftAlone", false, [](site& s) { s.project.anchors.erase("A"); },
         {s_c_slot}, 0},
        {"AnchorOfAnotherProjectIsLeftAlone", false, [](site& s) { s.project.anchors["C"].project_uid = "prj-2"; },
         {s_a_slot, s_b_slot}, 0},
        // Regression: a node id beyond two bytes went out as FFFF, "no master"...
        {"NodeIdBeyondTwoBytesIsNotSentAsNoMaster", false, [](site& s) { s.project.anchors["A"].node_id = 0x10000; },
         {s_c_slot}, 2},
        // ...and a slot beyond a byte as FF, "no slot" (the master's setting slots then
        // overflow its superframe too).
        {"SlotBeyondAByteIsNotSentAsNoSlot", false, [](site& s) { s.values()["distributors"][0]["slot"] = 256; },
         {s_a_slot, s_c_slot}, 2},
    };
    for (const auto& row : rows) {
        sync_site site;
        if (row.reported)
            site.slot("A", 0x0102, 0), site.slot("B", 0x0102, 5), site.slot("C", 0xFFFF, 0xFF);
        row.change(site);
        int warned = 0;
        EXPECT_EQ(site.pushed(warned), row.pushed) << row.name;
        EXPECT_EQ(warned, row.warned) << row.name;
    }
    // Never capped to "no master" or "no slot".
    EXPECT_THROW(vyr::judge::tdoa::sync_slot_payload(0x10000, 0, 0), std::exception);
    EXPECT_THROW(vyr::judge::tdoa::sync_slot_payload(0, 256, 0), std::exception);
}

}  // namespace
