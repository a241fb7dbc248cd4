// The parameter descriptions end to end: every parameter the service handles has one
// entry agreeing with the catalogue, and each row takes a report through its entry onto a
// WIN record in a private redis-server, reads the record back whole and judges it against
// a tag's object or an anchor of the project: what was stored, how the check stands, and
// that the payload carries the parameter's type code and is what a request is answered.
#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "core/json.h"
#include "core/logger.h"
#include "judge/descriptions.h"
#include "redis/database.h"
#include "redis/transaction.h"
#include "support/redis_server.h"

namespace {

using namespace vyr::parameter;
using vyr::judge::description;

constexpr const char* s_mac = "70B3D5FFFE0B0001";

vyr::libs::core::logger& test_logger() {
    static vyr::libs::core::logger logger("rtls-quorvane-test", "judge");
    return logger;
}

TEST(Descriptions, OneEntryPerHandledParameterAgreeingWithTheCatalogue) {
    // What the catalogue holds beyond these a device may ask for, but the service neither
    // takes reports of nor answers.
    const std::set<parameter_t> unhandled = {TXP, ACC, BT, ANCHOR_LOC};
    std::set<parameter_t> described;
    for (const auto& entry : vyr::judge::descriptions()) {
        EXPECT_TRUE(described.insert(entry.number).second) << entry.name << " described twice";
        ASSERT_EQ(parameters.count(entry.number), 1u) << entry.name;
        EXPECT_EQ(parameters.at(entry.number), entry.name);
        EXPECT_EQ(vyr::judge::description_of(entry.number), &entry);
        EXPECT_TRUE(entry.store || entry.answer) << entry.name << " does nothing";
        EXPECT_EQ(entry.check != nullptr, entry.check_order > 0) << entry.name;
    }
    for (const auto& [number, name] : parameters)
        EXPECT_NE(described.count(number) + unhandled.count(number), 0u) << name << " has no entry";
}

struct row {
    vyr::judge::device_kind kind;  // a tag of the object, or an anchor
    parameter_t p;
    const char* plist;   // the reported values
    const char* stored;  // the parameter's hash (and no-alarm set) read back
    const char* judged;  // its check: standing and payload; "-" when not checked
};

// The tag's object: named Worker-1 in group Drivers, a stationary person at (500, -300) in
// sublocation 7 (offset 40) 120 above it, vehicle model 3, licence 5, no tag-to-tag.
const row s_rows[] = {
    {vyr::judge::tag, VEH_CERT, R"({"veh_cert":{"id":4}})", "actual={\"id\":4}\n;", "differs 2E0103"},
    {vyr::judge::tag, DRIVER_LIC, R"({"driver_lic":[{"id":5}]})", "actual=[{\"id\":5}]\n;", "in_step "},
    {vyr::judge::tag, EM_ALM, R"({"em_alm":{"state":"SET"}})", "actual={\"state\":\"SET\"}\n;heard_ms=0;",
     "differs 3C0100"},
    {vyr::judge::tag, SCR_NAME, R"({"scr_name":"Worker-2"})", "actual=\"Worker-2\"\n;",
     "differs 5208576F726B65722D31"},
    {vyr::judge::tag, SCR_GNAME, R"({"scr_gname":"Drivers"})", "actual=\"Drivers\"\n;", "in_step "},
    {vyr::judge::tag, T2T_CFG, R"({"t2t_cfg":{"role":"monitor","distance":4.6,"buzzer":1}})",
     "buzzer=false;distance=5;role=monitor;state=supported;", "differs 2B0100"},
    {vyr::judge::tag, T2T_NO_ALARM, R"({"t2t_no_alarm":[{"mac":"70B3D5FFFE0B0009"}]})",
     "state=supported;|70B3D5FFFE0B0009", "differs 2C0100"},
    {vyr::judge::tag, STATIONARY, R"({"stationary":false})", "state=supported;stationary=false;", "differs 5D0101"},
    {vyr::judge::tag, LOC, R"({"stationary":true,"loc":{"x":500,"y":-300.4,"z":150,"sl_z":40,"sl_id":7}})",
     "state=supported;sublocation_id=7;sublocation_z=40;x=500;y=-300;z=150;",
     "differs 0912000001F4FFFFFED4000000A0000000280007"},
    {vyr::judge::tag, CATEGORY, R"({"category":"vehicle"})", "category=vehicle;state=supported;", "differs 5E0101"},
    {vyr::judge::tag, AL_ZV, R"({"al_zv":{"level":2,"zid":17}})", "level=2;state=supported;zid=17;", "-"},
    {vyr::judge::tag, SCR_MESSAGE, R"({"scr_message":7})", "state=not_supported;", "-"},
    {vyr::judge::anchor, TDOA_SCHEDULE, R"({"tdoa_schedule":null})", "actual=null\n;", "in_step "},
    {vyr::judge::anchor, NWK_CFG, R"({"nwk_cfg":{}})", "actual=null\n;", "in_step "},
    {vyr::judge::anchor, SF, R"({"sf":{"addr":"1A","sfd":"zz","sch_slots":12}})",
     "node_id=26;slot_count=12;state=supported;", "-"},
    {vyr::judge::anchor, SYNC_SLOT, R"({"sync_slot":{"addr":"0x1f","slot":3}})",
     "addr=31;slot=3;state=supported;", "-"},
};

class DescriptionRows : public ::testing::TestWithParam<row> {
protected:
    static void SetUpTestSuite() { s_server = std::make_unique<test::redis_server>(); }
    static void TearDownTestSuite() { s_server.reset(); }
    inline static std::unique_ptr<test::redis_server> s_server;

    // The report's values stored as their entries say, in one transaction, and read back.
    vyr::context::win_record store(const Json::Value& _plist) {
        s_server->flush();
        vyr::context::win_writes writes;
        vyr::context::win_report device(writes, s_mac);
        const vyr::judge::report_target target{device, test_logger(), s_mac, 0};
        for (const auto& entry : vyr::judge::descriptions())
            if (entry.store && _plist.isMember(std::string(entry.name)))
                entry.store(target, _plist[std::string(entry.name)]);
        vyr::redis::connection redis(s_server->host(), s_server->port(), vyr::redis::service_database);
        vyr::redis::transaction(redis, writes.take()).exec();
        return vyr::context::read_win_records(redis, {s_mac}).at(0);
    }

    static std::shared_ptr<vyr::context::project_snapshot> project(vyr::judge::device_kind _kind) {
        auto project = std::make_shared<vyr::context::project_snapshot>();
        project->updated = true;
        if (_kind == vyr::judge::anchor) {
            project->anchors["an-1"] = vyr::context::anchor_data{"prj-1", "A1", "sl-1", "anchor", s_mac, 0, 0, 0, 1};
            project->anchor_by_mac[s_mac] = "an-1";
            return project;
        }
        vyr::context::track_obj_data object;
        object.name = "Worker-1", object.type = "person", object.category = "person", object.mac_addr = s_mac;
        object.sublocation_uid = "sl-1", object.position_x = 500, object.position_y = -300;
        object.default_height = 120, object.stationary = true, object.groups = {"grp-1"};
        object.vehicle_model = 3, object.driver_licenses = {5};
        project->vehicle_certification = true;
        project->groups["grp-1"] = {"prj-1", "Drivers"};
        project->sublocations["sl-1"] = {std::string("prj-1"), 7, 0, 0, 40};
        project->track_obj_by_mac[s_mac] = "to-1";
        project->track_objs["to-1"] = object;
        return project;
    }
};

TEST_P(DescriptionRows, ReportIsStoredReadBackAndJudged) {
    const auto& r = GetParam();
    const auto plist = vyr::libs::core::json::try_parse(r.plist).result;
    const auto record = store(plist);

    std::string stored;
    const auto hash = record.data().parameters.find(parameters.at(r.p));
    if (hash != record.data().parameters.end())
        for (const auto& [field, value] : std::map<std::string, std::string>(hash->second.begin(), hash->second.end()))
            stored += field + "=" + value + ";";
    for (const auto& mac : record.data().t2t_no_alarm)
        stored += "|" + mac;
    EXPECT_EQ(stored, r.stored);

    vyr::judge::judge judge(project(r.kind), false, timeval{1700000000, 0}, test_logger());
    std::string judged = "-";
    for (const auto& check : judge.check(record, true)) {
        if (check.parameter != r.p)
            continue;
        static const char* const s_standings[] = {"in_step", "differs", "not_supported"};
        judged = std::string(s_standings[static_cast<int>(check.standing)]) + " " + check.payload;
        if (check.payload.empty())
            continue;
        EXPECT_EQ(check.payload.substr(0, 2), hex(r.p, 2)) << "type code";
        EXPECT_EQ(judge.answer(record, r.p).value_or(""), check.payload) << "answered as pushed";
    }
    EXPECT_EQ(judged, r.judged);
}

std::string row_name(const ::testing::TestParamInfo<row>& _info) { return parameters.at(_info.param.p); }

INSTANTIATE_TEST_SUITE_P(Each, DescriptionRows, ::testing::ValuesIn(s_rows), row_name);

}  // namespace
