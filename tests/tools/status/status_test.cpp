// The device status read from Redis: which parameters differ (the delivery pass's own
// checks decide it; their rules are pinned by the delivery tests), must against actual,
// and the summary of the devices. A private redis-server is filled through the service's record classes; the real
// parameter-request mechanism runs beside the reader.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "common/globals.h"
#include "common/metrics.h"
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

    std::unique_ptr<status::reader> m_reader;
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

    const auto json = status::to_json(report);
    EXPECT_EQ(json["summary"]["in_step"].asUInt(), 2u);
    EXPECT_EQ(json["devices"].size(), 4u);

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
    record.parameter_stationary(true);
    EXPECT_EQ(m_reader->read_device(d.mac).status, "differing");
}

}  // namespace
}  // namespace delivery_test
