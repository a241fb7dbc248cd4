// Seen from the gateway: the receiver takes "#param_p" reports from a PUB socket standing
// where the proxy output would be, and a simulated device reports back exactly what each
// pushed payload told it. Pushes must stop once every device holds what its project
// requires, and a request sent as a report is answered over the same way.
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "common/globals.h"
#include "context/context.h"
#include "core/json.h"
#include "device_state.h"
#include "input/receiver.h"
#include "mechparamreq_fixture.h"
#include "platform/updater.h"
#include "platform/vyrserver.h"
#include "support/platform_server.h"

namespace delivery_test {
namespace {

using namespace vyr::parameter;

// The report ("plist") of a factory-fresh device that takes each payload as it is
// encoded: the simulator's own decoding, so tests and simulator share one decoder.
Json::Value device_report(const std::vector<std::string>& _payloads) {
    vyr::devsim::device_state device;
    const auto outcome = device.apply(_payloads);
    for (const auto& payload : outcome.unknown)
        ADD_FAILURE() << "the device does not know the payload " << payload;
    return outcome.report;
}

class ParamGateway : public mech_param_req_test {
protected:
    void SetUp() override {
        mech_param_req_test::SetUp();
        m_proxy = std::make_unique<zmq::socket_t>(*m_zmq, zmq::socket_type::pub);
        m_proxy->set(zmq::sockopt::linger, 0);
        const std::string endpoint = "tcp://127.0.0.1:" + std::to_string(test::free_port());
        m_proxy->bind(endpoint);
        m_updater = std::make_shared<vyr::updater>(nullptr, s_redis->host(), s_redis->port(), test_logger());
        m_receiver =
            std::make_unique<c_receiver>(m_zmq, endpoint, m_updater, s_redis->host(), s_redis->port(), test_logger());
        m_receiver->start();
    }

    void TearDown() override {
        m_receiver.reset();
        m_updater.reset();
        m_proxy.reset();
        mech_param_req_test::TearDown();
    }

    void publish(const std::string& _mac, const Json::Value& _extra) {
        Json::Value message = _extra;
        message["mac"] = _mac;
        message["ts"] = Json::Int64(++m_ts);
        message["ms"] = 0;
        (void)m_proxy->send(zmq::buffer("#param_p " + vyr::libs::core::json::to_string(message)),
                            zmq::send_flags::none);
    }

    // Every frame sent before the receiver had handled everything published so far. The
    // fence is a request published like a report; it is published again while no answer
    // comes, because a subscription takes effect some time after the connection.
    std::vector<node_command> gateway_fence() {
        char fence_mac[17];
        std::snprintf(fence_mac, sizeof fence_mac, "FFFFFFFFFFFF%04X", ++m_fences);
        Json::Value request;
        request["req_plist"] = Json::Value(Json::arrayValue);
        std::vector<node_command> frames;
        for (int attempt = 0; attempt < 600; ++attempt) {
            publish(fence_mac, request);
            zmq::pollitem_t item{m_gateway->handle(), 0, ZMQ_POLLIN, 0};
            while (zmq::poll(&item, 1, std::chrono::milliseconds(100)) > 0) {
                const auto frame = receive();
                if (!frame)
                    break;
                if (frame->mac == fence_mac)
                    return frames;
                if (!is_fence(frame->mac))
                    frames.push_back(*frame);
            }
        }
        ADD_FAILURE() << "the receiver never answered the fence request";
        return frames;
    }

    std::unique_ptr<zmq::socket_t> m_proxy;
    std::shared_ptr<vyr::updater> m_updater;
    std::unique_ptr<c_receiver> m_receiver;
    std::int64_t m_ts = 1000;
    unsigned m_fences = 0;
};

TEST_F(ParamGateway, DevicesReportingWhatTheyWereSentStopReceivingPushes) {
    object_def monitor;
    settled(monitor);
    m_store->get_win(monitor.mac).del_all_parameters();
    object_def announcer;
    announcer.uid = "to-5";
    announcer.mac = "70B3D5FFFE0B0005";
    announcer.role = "announcer";
    announcer.pin = "pulse";
    announcer.category = "vehicle";
    announcer.stationary = true;
    announcer.no_alarm = {};
    put(announcer);
    device(announcer.mac);
    object_def asset;
    asset.uid = "to-6";
    asset.mac = "70B3D5FFFE0D0001";
    asset.type = "ASSET";
    put(asset);
    device(asset.mac);
    const std::string anchor = "70B3D5FFFE0A0001";
    m_store->get_anchor("anc-1").update("prj-1", "A1", "sl-1", 0, 0, 0, "anchor", anchor, 17);
    device(anchor);
    gateway_fence();  // the subscription is up

    std::map<std::string, int> pushed;
    bool settled_down = false;
    for (int round = 0; round < 6 && !settled_down; ++round) {
        std::map<std::string, std::vector<std::string>> payloads;
        for (const auto& frame : cycle()) {
            EXPECT_EQ(frame.code, "000E");
            ++pushed[frame.mac];
            payloads[frame.mac].insert(payloads[frame.mac].end(), frame.payloads.begin(), frame.payloads.end());
        }
        settled_down = payloads.empty();
        Json::Value report;
        for (const auto& [mac, list] : payloads) {
            report["plist"] = device_report(list);
            publish(mac, report);
        }
        EXPECT_TRUE(gateway_fence().empty());
    }
    EXPECT_TRUE(settled_down);
    EXPECT_GT(pushed[monitor.mac], 0);
    EXPECT_GT(pushed[announcer.mac], 0);
    EXPECT_GT(pushed[anchor], 0);
    EXPECT_EQ(pushed.count(asset.mac), 0u);
    // The reports reset the pacing each time; settled devices stay quiet.
    EXPECT_TRUE(cycle().empty());
    EXPECT_EQ(m_store->get_win(announcer.mac).parameter_loc().z, 160);
}

// The stand-in's sample project mirrored by the updater: every device that is not an
// asset is pushed until it reports what it was sent.
class ParamSampleProject : public ParamGateway {
protected:
    void SetUp() override {
        m_platform = std::make_unique<test::platform_server>(std::vector<std::string>{}, true);
        mech_param_req_test::SetUp();
        m_proxy = std::make_unique<zmq::socket_t>(*m_zmq, zmq::socket_type::pub);
        m_proxy->set(zmq::sockopt::linger, 0);
        const std::string endpoint = "tcp://127.0.0.1:" + std::to_string(test::free_port());
        m_proxy->bind(endpoint);
        auto server = std::make_shared<vyr::vyrserver::c_vyrserver>("rtls-quorvane", "http", m_platform->address(), "",
                                                                    "", 0, test_logger());
        m_updater = std::make_shared<vyr::updater>(server, s_redis->host(), s_redis->port(), test_logger());
        m_receiver =
            std::make_unique<c_receiver>(m_zmq, endpoint, m_updater, s_redis->host(), s_redis->port(), test_logger());
        m_updater->start();
        m_receiver->start();
    }
    void TearDown() override {
        ParamGateway::TearDown();
        vehicle_certification = false;
        m_platform.reset();
    }
    std::unique_ptr<test::platform_server> m_platform;
};

TEST_F(ParamSampleProject, DevicesSettleOnTheSampleProject) {
    // The mirror is complete once the updater says so (bounded wait, not a timing check).
    for (int i = 0; i < 600 && !m_store->updated(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(m_store->updated()) << "the updater never completed the mirror";
    std::vector<std::string> macs;
    for (const auto* kind : {"track_objs:mac_addr", "anchors:mac_addr"}) {
        std::string listed = redis({"HKEYS", kind});
        for (std::size_t from = 0; from < listed.size();) {
            const auto end = std::min(listed.find('\n', from), listed.size());
            macs.push_back(listed.substr(from, end - from));
            from = end + 1;
        }
    }
    ASSERT_GE(macs.size(), 6u);
    for (const auto& mac : macs)
        device(mac);
    gateway_fence();

    std::map<std::string, int> pushed;
    std::vector<node_command> frames = cycle();
    for (int round = 0; round < 8 && !frames.empty(); ++round) {
        std::map<std::string, std::vector<std::string>> payloads;
        for (const auto& frame : frames) {
            ++pushed[frame.mac];
            payloads[frame.mac].insert(payloads[frame.mac].end(), frame.payloads.begin(), frame.payloads.end());
        }
        Json::Value report;
        for (const auto& [mac, list] : payloads) {
            report["plist"] = device_report(list);
            publish(mac, report);
        }
        // The timer's own cycles may push between reports: those count too.
        frames = gateway_fence();
        const auto more = cycle();
        frames.insert(frames.end(), more.begin(), more.end());
    }
    EXPECT_TRUE(frames.empty()) << frames.size() << " frames still pushed, first " << frames.front().body();
    EXPECT_GT(pushed["70B3D5FFFE0B0001"], 0);         // a worker
    EXPECT_GT(pushed["70B3D5FFFE0C0002"], 0);         // listed in its 12-character form
    EXPECT_GT(pushed["70B3D5FFFE0A0001"], 0);         // an anchor
    EXPECT_EQ(pushed.count("70B3D5FFFE0D0001"), 0u);  // assets are not pushed
}

TEST_F(ParamGateway, RequestInAReportIsAnsweredOnTheGateway) {
    object_def person;
    person.stationary = true;
    put(person);
    gateway_fence();
    Json::Value message;
    message["req_plist"].append("stationary");
    message["req_plist"].append("al_zv");  // not requestable
    message["req_plist"].append("category");
    publish(person.mac, message);
    const auto frames = gateway_fence();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].body(), "000F5D01015E0101");
    EXPECT_EQ(frames[0].mac, person.mac);
}

}  // namespace
}  // namespace delivery_test
