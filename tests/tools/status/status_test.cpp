// The device status read from Redis: which parameters differ (the delivery pass's own
// checks decide it; their rules are pinned by the delivery tests), must against actual,
// and the summary of the devices. A private redis-server is filled through the service's record classes; the real
// parameter-request mechanism runs beside the reader. The built quorvane-status runs on the
// same Redis as a child process: its exit status, --json and --watch.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "common/globals.h"
#include "common/helpers.h"
#include "common/metrics.h"
#include "core/json.h"
#include "src/delivery/mechparamreq_fixture.h"
#include "status.h"

namespace delivery_test {
namespace {

using namespace vyr::parameter;
using vyr::context::win;
namespace status = vyr::tools::status;

const std::string s_anchor_mac = "70B3D5FFFE0A0001";

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

    std::set<std::string> differing(const std::string& _mac) {
        const auto device = m_reader->read_device(_mac);
        EXPECT_TRUE(device.error.empty()) << device.error;
        return {device.differing_parameters.begin(), device.differing_parameters.end()};
    }

    const status::device_status* find(const status::report& _report, const std::string& _mac) {
        for (const auto& d : _report.devices)
            if (d.mac == _mac)
                return &d;
        ADD_FAILURE() << _mac << " not in the report";
        return nullptr;
    }

    // The program on the test's Redis, with `_args` after the port: its exit code (-1 when
    // it did not exit by itself) and what it printed.
    std::pair<int, std::string> run(std::vector<std::string> _args) {
        _args.insert(_args.begin(), {"--redis-port", std::to_string(s_redis->port())});
        test::process program(test::binary("quorvane-status"), _args, {m_files.file("out"), m_files.file("err"), {}});
        const auto status = program.wait(std::chrono::seconds(20));
        return {status && status->exited ? status->code : -1, test::read_file(m_files.file("out"))};
    }

    // Every whole line of `_text` as JSON.
    static std::vector<Json::Value> json_lines(const std::string& _text) {
        std::vector<Json::Value> lines;
        for (std::size_t start = 0, end; (end = _text.find('\n', start)) != std::string::npos; start = end + 1)
            lines.push_back(vyr::libs::core::json::try_parse(_text.substr(start, end - start)).result);
        return lines;
    }

    std::unique_ptr<status::reader> m_reader;
    test::temp_dir m_files;
};

// Everything a monitor tag is sent: em_alm, scr_name, scr_gname, t2t_cfg, t2t_no_alarm,
// stationary and category.
constexpr std::size_t s_tag_parameters = 7;

TEST_F(DeviceStatus, ReportListsEveryDeviceOfTheProjectAndSummarises) {
    const object_def settled_tag, never = settled_tag.as("to-3", "70B3D5FFFE0B0003");
    object_def fresh = settled_tag.as("to-2", "70B3D5FFFE0B0002");
    fresh.name = "Worker-2";
    settled(settled_tag);
    put(fresh);
    device(fresh.mac);
    put(never);  // in the project, but its device never showed up
    m_store->get_anchor("anc-1").update("prj-1", "A1", "sl-1", 0, 0, 0, "anchor", s_anchor_mac, 17);
    auto anchor = device(s_anchor_mac);
    anchor.parameter_as_json(TDOA_SCHEDULE, win::actual, "null\n");
    anchor.parameter_as_json(NWK_CFG, win::actual, "{\"router\":true}\n");
    // The fresh tag was pushed ten times without an answer.
    redis({"HSET", "wins:" + fresh.mac + ":data", "sending_counter", "10"});
    redis({"SET", "wins:removed", "3"});
    redis({"SET", "lease", "site-a/7", "PX", "9000"});
    redis({"HSET", "lease_term", "fencing", "4", "until", std::to_string(now_ms() + 9000)});
    m_store->updated(true);

    const auto report = m_reader->read_all();
    EXPECT_TRUE(report.mirror_complete);
    ASSERT_EQ(report.devices.size(), 4u);
    const auto& first = report.devices.front();  // anchors first
    EXPECT_EQ(std::tie(first.mac, first.kind, first.name, first.status),
              std::make_tuple(s_anchor_mac, "anchor", "A1", "in_step"));
    EXPECT_EQ(find(report, settled_tag.mac)->status, "in_step");
    const auto* gave_up = find(report, fresh.mac);
    ASSERT_NE(gave_up, nullptr);
    EXPECT_EQ(std::tie(gave_up->status, gave_up->gave_up, gave_up->sending_counter, gave_up->differing),
              std::make_tuple("differing", true, 10u, s_tag_parameters));
    const auto* unseen = find(report, never.mac);
    ASSERT_NE(unseen, nullptr);
    EXPECT_EQ(std::tie(unseen->status, unseen->differing), std::make_tuple("unseen", 0u));  // not walked: not judged in the list
    // Asked for by itself it is judged: everything is still to be sent.
    EXPECT_EQ(m_reader->read_device(never.mac).differing, s_tag_parameters);
    const auto& t = report.totals;
    EXPECT_EQ(std::tie(t.total, t.in_step, t.differing, t.gave_up, t.unseen), std::make_tuple(4u, 2u, 1u, 1u, 1u));
    EXPECT_EQ(status::summary_line(report.totals), "devices 4: 2 in step, 1 differing (1 given up), 1 unseen; 3 silent records outside the project removed");
    EXPECT_EQ(std::tie(report.lease.holder, report.lease.fencing), std::make_tuple("site-a/7", 4));
    EXPECT_EQ(status::lease_line(report.lease).rfind("lease: held by site-a/7, ", 0), 0u) << status::lease_line(report.lease);
    EXPECT_EQ(status::lease_line({}), "lease: nobody holds it (term 0)");

    // The delivery pass itself decides the same standings, for the metrics.
    cycle();
    const auto& counted = vyr::metrics::devices;
    using standing = vyr::metrics::device_status;
    EXPECT_EQ(std::make_tuple(counted(standing::in_step), counted(standing::differing), counted(standing::gave_up),
                              counted(standing::unseen)),
              std::make_tuple(2u, 0u, 1u, 1u));

    // Why the given-up tag is not in step.
    std::ostringstream why;
    status::print_device(why, m_reader->read_device(fresh.mac));
    for (const char* line : {"not in step: 7 of 7 parameters differ\n", "  scr_name: must \"Worker-2\"; the device has not reported it\n",
                             "10 pushes since the device last answered, the last at -; the service pushes nothing more"})
        EXPECT_NE(why.str().find(line), std::string::npos) << line << " not in:\n" << why.str();

    // A broken record is reported, not fatal.
    redis({"HSET", "wins:" + settled_tag.mac + ":data", "sending_counter", "many"});
    const auto broken = m_reader->read_all();
    EXPECT_EQ(find(broken, settled_tag.mac)->status, "error");
    EXPECT_EQ(std::tie(broken.totals.errors, broken.totals.in_step), std::make_tuple(1u, 1u));
}

// A device whose only differing parameters it rejects stands "rejects", with the value it
// holds; one more differing parameter makes it differ again.
TEST_F(DeviceStatus, RefusingDeviceShowsRejectsWithTheValueItHolds) {
    auto record = refused();
    const auto report = m_reader->read_all();
    const auto& d = report.devices.at(0);
    EXPECT_EQ(std::tie(d.status, d.rejected, d.differing, d.rejected_parameters.back()),
              std::make_tuple("rejects", 2u, 0u, "category"));
    EXPECT_EQ(status::summary_line(report.totals), "devices 1: 0 in step, 0 differing, 1 rejects, 0 unseen");
    EXPECT_EQ(status::to_json(report)["summary"]["rejects"].asUInt(), 1u);
    const auto name = m_reader->read_device(d.mac).parameters.at(1);
    EXPECT_EQ(std::tie(name.name, name.standing, name.actual), std::make_tuple("scr_name", "rejects", "\"Worker-X\""));
    EXPECT_EQ(run({}).first, 0) << "a device that only rejects counts as in step";
    record.parameter_stationary(true);
    EXPECT_EQ(m_reader->read_device(d.mac).status, "differing");
}

// The program's exit status, as its --help promises: 0 when every device seen is in step,
// 3 when some differ or are unreadable, 1 without Redis, 2 for bad options. Its --json
// is the same reading.
TEST_F(DeviceStatus, ProgramExitStatusAndJsonFollowTheReading) {
    const object_def tag, other = tag.as("to-2", "70B3D5FFFE0B0002"), broken = tag.as("to-3", "70B3D5FFFE0B0003");
    settled(tag);
    put(other);  // in the project, not seen yet
    m_store->updated(true);
    const struct {
        std::function<void()> change;
        std::vector<std::string> args;
        int code;
    } cases[] = {
        {{}, {}, 0},  // an unseen device does not count
        {[&] { device(other.mac); }, {}, 3},  // seen, nothing reported: it differs
        {{}, {"--mac", other.mac}, 3},
        {{}, {"--mac", tag.mac}, 0},
        {[&] { settled(broken), redis({"HSET", "wins:" + broken.mac + ":data", "sending_counter", "many"}); },
         {"--mac", broken.mac},
         3},
        {{}, {"--redis-port", std::to_string(test::free_port())}, 1},
        // Bad data in Redis is not a bad command line.
        {[&] { redis({"SET", vyr::context::win::keys::removed(), "many"}); }, {}, 1},
        {[&] { redis({"DEL", vyr::context::win::keys::removed()}); }, {"--watch", "0"}, 2},
        {{}, {"--mac", "70B3D5"}, 2},
        {{}, {"--vehicle-certification", "yes"}, 2},
        {{}, {"surplus"}, 2},
    };
    for (const auto& c : cases) {
        if (c.change)
            c.change();
        EXPECT_EQ(run(c.args).first, c.code) << ::testing::PrintToString(c.args) << test::read_file(m_files.file("err"));
    }

    const auto [code, out] = run({"--json"});
    const auto json = json_lines(out);
    ASSERT_EQ(std::make_pair(code, json.size()), std::make_pair(3, 1ul)) << out;
    const auto& t = json[0]["summary"];
    EXPECT_EQ(std::make_tuple(t["total"].asUInt(), t["in_step"].asUInt(), t["differing"].asUInt(), t["errors"].asUInt()),
              std::make_tuple(3u, 1u, 1u, 1u));
    std::map<std::string, Json::Value> devices;
    for (const auto& d : json[0]["devices"])
        devices[d["mac"].asString()] = d;
    EXPECT_EQ(std::make_tuple(devices[tag.mac]["status"].asString(), devices[other.mac]["status"].asString(),
                              devices[other.mac]["differing_parameters"].size(), devices[broken.mac]["status"].asString(),
                              devices[broken.mac].isMember("error")),
              std::make_tuple("in_step", "differing", s_tag_parameters, "error", true));
    const auto one = json_lines(run({"--json", "--mac", other.mac}).second);
    ASSERT_EQ(one.size(), 1u);
    const auto& name = one[0]["parameters"][1];  // a stored JSON text comes as its value
    EXPECT_EQ(std::make_tuple(name["name"].asString(), name["standing"].asString(), name["must"].asString(),
                              name["actual"].isNull(), name["reported"].asBool()),
              std::make_tuple("scr_name", "differs", "Worker-1", true, false));
}

// --watch reads anew each round, until SIGTERM ends it with the status of its last reading.
TEST_F(DeviceStatus, WatchRepeatsTheReadingUntilSigterm) {
    const object_def tag;
    put(tag);
    device(tag.mac);
    m_store->updated(true);
    test::process watch(test::binary("quorvane-status"),
                        {"--redis-port", std::to_string(s_redis->port()), "--json", "--watch", "1"},
                        {m_files.file("out"), m_files.file("err"), {}});
    const auto last_in_step = [&](unsigned _in_step) {
        return test::wait_until([&] {
            const auto lines = json_lines(test::read_file(m_files.file("out")));
            return !lines.empty() && lines.back()["summary"]["in_step"].asUInt() == _in_step;
        });
    };
    ASSERT_TRUE(last_in_step(0)) << test::read_file(m_files.file("err"));
    settled(tag);
    ASSERT_TRUE(last_in_step(1)) << "no second reading";
    ASSERT_TRUE(watch.signal(SIGTERM));
    const auto status = watch.wait(std::chrono::seconds(20));
    ASSERT_TRUE(status);
    EXPECT_EQ(std::make_tuple(status->exited, status->code), std::make_tuple(true, 0)) << status->signal;
}

}  // namespace
}  // namespace delivery_test
