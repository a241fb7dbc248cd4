// The device status read from Redis: it must name exactly the parameters the delivery
// pass pushes (the same checks decide both), count and describe the rest, summarise the
// devices, and the quorvane-status program must print it and exit with the documented
// codes. A private redis-server is filled through the service's own record classes and
// the real parameter-request mechanism runs beside the reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/globals.h"
#include "core/json.h"
#include "src/delivery/mechparamreq_fixture.h"
#include "status.h"
#include "support/process.h"

namespace delivery_test {
namespace {

using namespace vyr::parameter;
using vyr::context::win;
namespace status = vyr::tools::status;

const std::string s_anchor_mac = "70B3D5FFFE0A0001";
const std::string s_gone_mac = "0011223344556677";

class DeviceStatus : public mech_param_req_test {
protected:
    void SetUp() override {
        mech_param_req_test::SetUp();
        status::options options;
        options.redis_host = s_redis->host();
        options.redis_port = s_redis->port();
        m_reader = std::make_unique<status::reader>(options, test_logger());
    }
    void TearDown() override {
        m_reader.reset();
        mech_param_req_test::TearDown();
    }

    // The names of the parameters a pass pushed, from the type byte of each payload.
    static std::set<std::string> pushed(const std::vector<node_command>& _frames) {
        std::set<std::string> names;
        for (const auto& frame : _frames)
            for (const auto& payload : frame.payloads)
                names.insert(parameters.at(static_cast<parameter_t>(std::stoul(payload.substr(0, 2), nullptr, 16))));
        return names;
    }

    std::set<std::string> differing(const std::string& _mac) {
        const auto device = m_reader->read_device(_mac);
        EXPECT_TRUE(device.error.empty()) << device.error;
        return {device.differing_parameters.begin(), device.differing_parameters.end()};
    }

    // What the status says differs is what the next pass pushes.
    void expect_agreement(const std::string& _mac, const std::set<std::string>& _expected) {
        const auto said = differing(_mac);
        EXPECT_EQ(said, _expected) << "status of " << _mac;
        m_store->get_win(_mac).sending_time(timeval{0, 0});
        EXPECT_EQ(pushed(cycle()), said) << "pass for " << _mac;
    }

    const status::device_status* find(const status::report& _report, const std::string& _mac) {
        for (const auto& d : _report.devices)
            if (d.mac == _mac)
                return &d;
        ADD_FAILURE() << _mac << " not in the report";
        return nullptr;
    }

    std::unique_ptr<status::reader> m_reader;
};

const std::set<std::string> s_everything_of_a_tag = {"em_alm",       "scr_name",   "scr_gname", "t2t_cfg",
                                                     "t2t_no_alarm", "stationary", "category"};

TEST_F(DeviceStatus, TagDifferencesAreWhatThePassPushes) {
    object_def tag;
    auto record = settled(tag);
    expect_agreement(tag.mac, {});

    record.del_all_parameters();
    expect_agreement(tag.mac, s_everything_of_a_tag);

    settled(tag);
    record.parameter_as_json(SCR_NAME, win::actual, "\"Worker-0\"\n");
    record.parameter_category("vehicle");
    record.parameter_t2t_no_alarm({"70B3D5FFFE0B0003"});
    record.parameter_t2t_cfg_pin("PULSE");
    expect_agreement(tag.mac, {"scr_name", "category", "t2t_no_alarm", "t2t_cfg"});

    // The button alarm is raised: the device showing CLEAR differs; one reporting null
    // does not support it and is left alone.
    settled(tag);
    m_store->get_alarm("al-1").update("emergency_button", 0, tag.uid, std::nullopt, std::nullopt, std::nullopt, true);
    expect_agreement(tag.mac, {"em_alm"});
    record.parameter_as_json(EM_ALM, win::actual, "null\n");
    expect_agreement(tag.mac, {});
    EXPECT_EQ(m_reader->read_device(tag.mac).not_supported, 1u);
}

TEST_F(DeviceStatus, LocationDifferencesAreWhatThePassPushes) {
    object_def tag;
    tag.stationary = true;
    auto record = settled(tag);
    record.parameter_state(STATIONARY, UNKNOWN);
    expect_agreement(tag.mac, {"stationary"});
    record.parameter_state(STATIONARY, SUPPORTED);
    expect_agreement(tag.mac, {"loc"});  // its state is unknown
    record.parameter_state(LOC, SUPPORTED);
    record.parameter_loc({500, -300, 160, 40, 7});
    expect_agreement(tag.mac, {});
    record.parameter_loc({501, -300, 160, 40, 7});
    record.parameter_stationary(false);
    expect_agreement(tag.mac, {"stationary", "loc"});
    record.parameter_state(LOC, NOT_SUPPORTED);
    record.parameter_stationary(true);
    expect_agreement(tag.mac, {});
}

TEST_F(DeviceStatus, AnchorsClearedDevicesAndAssetsAgreeWithThePass) {
    m_store->get_anchor("anc-1").update("prj-1", "A1", "sl-1", 0, 0, 0, "anchor", s_anchor_mac, 17);
    auto anchor = device(s_anchor_mac);
    expect_agreement(s_anchor_mac, {"tdoa_schedule", "nwk_cfg"});
    anchor.parameter_as_json(TDOA_SCHEDULE, win::actual, "null\n");
    anchor.parameter_as_json(NWK_CFG, win::actual, "{\"router\":false}\n");
    expect_agreement(s_anchor_mac, {});

    auto gone = device(s_gone_mac);
    gone.parameter_state(T2T_CFG, SUPPORTED);
    gone.parameter_t2t_cfg_role("Monitor");
    gone.parameter_state(CATEGORY, SUPPORTED);
    gone.parameter_category("person");
    gone.parameter_state(STATIONARY, NOT_SUPPORTED);
    expect_agreement(s_gone_mac, {"t2t_cfg", "category"});
    EXPECT_EQ(m_reader->read_device(s_gone_mac).not_supported, 1u);

    object_def asset;
    asset.type = "Asset";
    put(asset);
    device(asset.mac);
    expect_agreement(asset.mac, {});
    const auto shown = m_reader->read_device(asset.mac);
    EXPECT_EQ(shown.kind, "asset");
    EXPECT_EQ(shown.status, "in_step");
    EXPECT_TRUE(shown.parameters.empty());
}

TEST_F(DeviceStatus, CertificationsCountOnlyOnceTheServiceComparesThem) {
    object_def tag;
    auto record = settled(tag);
    m_store->get_track_obj(tag.uid).update_vehicle_model(5);
    record.parameter_as_json(VEH_CERT, win::actual, "{\"id\":4}\n");
    expect_agreement(tag.mac, {});
    EXPECT_FALSE(m_reader->read_all().vehicle_certification);

    // The service compares them and stores their must values, which the reader takes as
    // the sign that it does.
    vehicle_certification = true;
    EXPECT_EQ(pushed(cycle()), (std::set<std::string>{"veh_cert", "driver_lic"}));
    EXPECT_TRUE(m_reader->read_all().vehicle_certification);
    expect_agreement(tag.mac, {"veh_cert", "driver_lic"});
    vehicle_certification = false;
    EXPECT_EQ(differing(tag.mac), (std::set<std::string>{"veh_cert", "driver_lic"}));
    // Reading left the service's own switch as it was.
    EXPECT_FALSE(vehicle_certification);
}

TEST_F(DeviceStatus, OneDeviceShowsMustAgainstActual) {
    object_def tag;
    tag.stationary = true;
    auto record = settled(tag);
    record.parameter_as_json(SCR_NAME, win::actual, "\"Worker-0\"\n");
    record.parameter_state(LOC, SUPPORTED);
    record.parameter_loc({501, -300, 160, 40, 7});
    record.parameter_state(CATEGORY, NOT_SUPPORTED);

    // Any case and the 12-character form name the same device.
    const auto shown = m_reader->read_device("70b3d50b0001");
    EXPECT_EQ(shown.mac, tag.mac);
    EXPECT_EQ(shown.name, "Worker-1");
    EXPECT_EQ(shown.kind, "person");
    EXPECT_EQ(shown.status, "differing");
    std::map<std::string, status::parameter_status> by_name;
    for (const auto& p : shown.parameters)
        by_name[p.name] = p;
    ASSERT_EQ(by_name.size(), 8u);
    EXPECT_EQ(by_name["scr_name"].standing, "differs");
    EXPECT_EQ(by_name["scr_name"].must, "\"Worker-1\"");
    EXPECT_EQ(by_name["scr_name"].actual, "\"Worker-0\"");
    EXPECT_EQ(by_name["loc"].standing, "differs");
    EXPECT_EQ(by_name["loc"].must, "{\"sl_id\":7,\"sl_z\":40,\"x\":500,\"y\":-300,\"z\":160}");
    EXPECT_EQ(by_name["loc"].actual, "{\"sl_id\":7,\"sl_z\":40,\"x\":501,\"y\":-300,\"z\":160}");
    EXPECT_EQ(by_name["category"].standing, "not_supported");
    EXPECT_EQ(by_name["stationary"].standing, "in_step");
    EXPECT_EQ(by_name["stationary"].must, "true");
    EXPECT_EQ(by_name["t2t_cfg"].standing, "in_step");
    EXPECT_NE(by_name["t2t_cfg"].must.find("\"role\":\"monitor\""), std::string::npos);
    EXPECT_NE(by_name["t2t_cfg"].actual.find("\"pin\":\"SOLID\""), std::string::npos);
    EXPECT_EQ(shown.in_step + shown.differing + shown.not_supported, 8u);

    // Never reported: no actual value.
    record.parameter_state(STATIONARY, UNKNOWN);
    for (const auto& p : m_reader->read_device(tag.mac).parameters)
        if (p.name == "stationary") {
            EXPECT_EQ(p.actual, "");
        }

    EXPECT_THROW(m_reader->read_device("70B3D5"), std::invalid_argument);
    EXPECT_THROW(m_reader->read_device("70B3D5FFFE0B000Z"), std::invalid_argument);
}

TEST_F(DeviceStatus, ReportListsEveryDeviceOfTheProjectAndSummarises) {
    object_def settled_tag;
    settled(settled_tag);
    object_def fresh;
    fresh.uid = "to-2";
    fresh.mac = "70B3D5FFFE0B0002";
    fresh.name = "Worker-2";
    put(fresh);
    auto fresh_record = device(fresh.mac);
    object_def never;
    never.uid = "to-3";
    never.mac = "70B3D5FFFE0B0003";
    put(never);  // in the project, but its device never showed up
    m_store->get_anchor("anc-1").update("prj-1", "A1", "sl-1", 0, 0, 0, "anchor", s_anchor_mac, 17);
    auto anchor = device(s_anchor_mac);
    anchor.parameter_as_json(TDOA_SCHEDULE, win::actual, "null\n");
    anchor.parameter_as_json(NWK_CFG, win::actual, "{\"router\":true}\n");
    // The fresh tag was pushed ten times without an answer.
    redis({"HSET", "wins:" + fresh.mac + ":data", "sending_counter", "10"});
    m_store->updated(true);

    const auto report = m_reader->read_all();
    EXPECT_TRUE(report.mirror_complete);
    ASSERT_EQ(report.devices.size(), 4u);
    EXPECT_EQ(report.devices.front().mac, s_anchor_mac);  // anchors first
    EXPECT_EQ(report.devices.front().kind, "anchor");
    EXPECT_EQ(report.devices.front().name, "A1");
    EXPECT_EQ(report.devices.front().status, "in_step");
    EXPECT_EQ(find(report, settled_tag.mac)->status, "in_step");
    const auto* gave_up = find(report, fresh.mac);
    ASSERT_NE(gave_up, nullptr);
    EXPECT_EQ(gave_up->status, "differing");
    EXPECT_TRUE(gave_up->gave_up);
    EXPECT_EQ(gave_up->sending_counter, 10u);
    EXPECT_EQ(gave_up->differing, s_everything_of_a_tag.size());
    const auto* unseen = find(report, never.mac);
    ASSERT_NE(unseen, nullptr);
    EXPECT_EQ(unseen->status, "unseen");
    EXPECT_EQ(unseen->differing, 0u);  // not walked by the service, so not judged in the list
    // Asked for by itself it is judged: everything is still to be sent.
    EXPECT_EQ(m_reader->read_device(never.mac).differing, s_everything_of_a_tag.size());
    EXPECT_EQ(report.totals.total, 4u);
    EXPECT_EQ(report.totals.in_step, 2u);
    EXPECT_EQ(report.totals.differing, 1u);
    EXPECT_EQ(report.totals.gave_up, 1u);
    EXPECT_EQ(report.totals.unseen, 1u);
    EXPECT_EQ(status::summary_line(report.totals), "devices 4: 2 in step, 1 differing (1 given up), 1 unseen");

    const auto json = status::to_json(report);
    EXPECT_EQ(json["summary"]["in_step"].asUInt(), 2u);
    EXPECT_EQ(json["devices"].size(), 4u);

    // A broken record is reported, not fatal.
    redis({"HSET", "wins:" + settled_tag.mac + ":data", "sending_counter", "many"});
    const auto broken = m_reader->read_all();
    EXPECT_EQ(find(broken, settled_tag.mac)->status, "error");
    EXPECT_EQ(broken.totals.errors, 1u);
    EXPECT_EQ(broken.totals.in_step, 1u);
}

// ---- the program ---------------------------------------------------------------------------

class StatusProgram : public DeviceStatus {
protected:
    struct run_result {
        int code = -1;
        std::string out;
        std::string err;
    };

    run_result run(std::vector<std::string> _args) {
        test::temp_dir dir;
        test::process::options files;
        files.stdout_path = dir.file("out");
        files.stderr_path = dir.file("err");
        test::process program(test::binary("quorvane-status"), _args, files);
        const auto end = program.wait(std::chrono::seconds(30));
        run_result result;
        if (!end || !end->exited) {
            ADD_FAILURE() << "quorvane-status did not exit";
            return result;
        }
        result.code = end->code;
        result.out = test::read_file(dir.file("out"));
        result.err = test::read_file(dir.file("err"));
        return result;
    }

    std::vector<std::string> at_redis(std::vector<std::string> _args) {
        _args.insert(_args.begin(), {"--redis-host", s_redis->host(), "--redis-port", std::to_string(s_redis->port())});
        return _args;
    }
};

TEST_F(StatusProgram, PrintsTheTableAndExitsZeroWhenAllAreInStep) {
    settled(object_def{});
    const auto result = run(at_redis({}));
    EXPECT_EQ(result.code, 0) << result.err;
    EXPECT_NE(result.out.find("70B3D5FFFE0B0001  person   Worker-1"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("devices 1: 1 in step, 0 differing, 0 unseen"), std::string::npos) << result.out;
    // The mirror flag is not set in this database.
    EXPECT_NE(result.out.find("not complete"), std::string::npos) << result.out;
}

TEST_F(StatusProgram, JsonAndOneDeviceAndExitCodeThreeWhenSomethingDiffers) {
    auto record = settled(object_def{});
    record.parameter_as_json(SCR_NAME, win::actual, "\"Worker-0\"\n");

    const auto all = run(at_redis({"--json"}));
    EXPECT_EQ(all.code, 3) << all.err;
    const auto parsed = vyr::libs::core::json::try_parse(all.out);
    ASSERT_TRUE(parsed.ok) << all.out;
    EXPECT_EQ(parsed.result["summary"]["differing"].asUInt(), 1u);
    EXPECT_EQ(parsed.result["devices"][0]["differing_parameters"][0].asString(), "scr_name");

    const auto one = run(at_redis({"--json", "--mac", "70B3D5FFFE0B0001"}));
    EXPECT_EQ(one.code, 3) << one.err;
    const auto device = vyr::libs::core::json::try_parse(one.out);
    ASSERT_TRUE(device.ok) << one.out;
    bool seen = false;
    for (const auto& p : device.result["parameters"])
        if (p["name"].asString() == "scr_name") {
            seen = true;
            EXPECT_EQ(p["must"].asString(), "Worker-1");
            EXPECT_EQ(p["actual"].asString(), "Worker-0");
        }
    EXPECT_TRUE(seen) << one.out;

    const auto table = run(at_redis({"--mac", "70B3D5FFFE0B0001"}));
    EXPECT_NE(table.out.find("scr_name       differs        \"Worker-1\""), std::string::npos) << table.out;
}

TEST_F(StatusProgram, TakesTheServiceConfigurationAndRejectsBadInput) {
    settled(object_def{});
    test::temp_dir dir;
    test::write_file(dir.file("service.json"),
                     "{\"system\": {\"pidfile\": \"/tmp/x.pid\", \"debug_port\": \"tcp://127.0.0.1:1\", "
                     "\"local_debug\": false}, \"proxy\": {\"address\": \"127.0.0.1\", \"output_port\": 1, "
                     "\"input_port\": 2}, \"server\": {\"protocol\": \"http\", \"address\": \"127.0.0.1\", "
                     "\"port\": 3}, \"redis\": {\"address\": \"127.0.0.1\", \"port\": " +
                         std::to_string(s_redis->port()) + "}}");
    const auto configured = run({"-c", dir.file("service.json"), "--json"});
    EXPECT_EQ(configured.code, 0) << configured.err;
    EXPECT_NE(configured.out.find("\"in_step\":1"), std::string::npos) << configured.out;

    EXPECT_EQ(run(at_redis({"--mac", "nonsense"})).code, 2);
    EXPECT_EQ(run(at_redis({"--redis-port", "0"})).code, 2);
    EXPECT_EQ(run({"-c", dir.file("missing.json")}).code, 2);
    const auto closed = run({"--redis-port", std::to_string(test::free_port())});
    EXPECT_EQ(closed.code, 1);
    EXPECT_NE(closed.err.find("cannot read the status"), std::string::npos) << closed.err;
}

TEST_F(StatusProgram, WatchRewritesTheOutputFileUntilStopped) {
    settled(object_def{});
    test::temp_dir dir;
    const std::string file = dir.file("status.json");
    test::process program(test::binary("quorvane-status"),
                          at_redis({"--json", "--watch", "1", "--output", file}));
    ASSERT_TRUE(test::wait_until([&] { return test::file_exists(file); }));
    EXPECT_TRUE(vyr::libs::core::json::try_parse(test::read_file(file)).ok);
    // A change shows in a later round.
    redis({"HSET", "wins:70B3D5FFFE0B0001:parameters:scr_name", "actual", "\"Worker-0\"\n"});
    EXPECT_TRUE(test::wait_until([&] {
        return test::read_file(file).find("\"differing\":1") != std::string::npos;
    }));
    ASSERT_TRUE(program.signal(SIGINT));
    const auto end = program.wait(std::chrono::seconds(10));
    ASSERT_TRUE(end && end->exited);
    EXPECT_EQ(end->code, 3);
}

}  // namespace
}  // namespace delivery_test
