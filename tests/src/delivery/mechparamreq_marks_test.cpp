// Which devices a step judges: each change, due time or sweep slice brings the devices it
// concerns and no other. The mechanism runs on its own thread with a clock the test moves
// and a timer too slow to expire; every step's judged devices are heard through the
// mechanism's observer.
#include <mutex>

#include "mechparamreq_fixture.h"
#include "support/checks.h"

namespace delivery_test {
namespace {

using macs = std::vector<std::string>;

class Marks : public mech_param_req_test {
protected:
    Marks() { m_period = std::chrono::hours(1); }

    void configure(c_mech_param_req& _mechanism) override {
        _mechanism.set_clock([this] {
            std::lock_guard<std::mutex> lock(m_mutex);
            return m_now;
        });
        _mechanism.set_step_observer([this](const macs& _judged) {
            std::lock_guard<std::mutex> lock(m_mutex);
            macs judged;
            for (const auto& mac : _judged)
                if (!is_fence(mac))
                    judged.push_back(mac);
            if (!judged.empty())
                m_steps.push_back(judged);
        });
    }
    void SetUp() override {
        mech_param_req_test::SetUp();
        for (const auto& [uid, mac] : s_tags)
            m_records.push_back(settled(object_def{}.as(uid, mac)));
        // The first step judges every device: all are in step from here on.
        m_store->updated(true);
        send(std::string(1, static_cast<char>(vyr::cmd::notified)));
        EXPECT_EQ(next_judged().size(), std::size(s_tags));
        EXPECT_TRUE(sent().empty());
        steps();
    }

    // The bodies of the frames sent before a fence request's answer (the mirror is left
    // as it is: a write of it would mark every device).
    std::vector<std::string> sent() {
        send(request(s_fence_mac, {}));
        std::vector<node_command> frames;
        while (auto frame = receive()) {
            if (frame->mac == s_fence_mac)
                break;
            frames.push_back(*frame);
        }
        return bodies(frames);
    }

    void advance(long _seconds) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_now.tv_sec += _seconds;
    }
    // The steps heard since the last call.
    std::vector<macs> steps() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::exchange(m_steps, {});
    }
    // The devices of the next step that judges any, within a generous bound.
    macs next_judged() {
        macs judged;
        EXPECT_TRUE(test::wait_until(
            [&] {
                for (const auto& step : steps())
                    judged.insert(judged.end(), step.begin(), step.end());
                return !judged.empty();
            },
            std::chrono::seconds(20)));
        return judged;
    }

    inline static const std::pair<const char*, const char*> s_tags[] = {
        {"to-1", "70B3D5FFFE0B0001"}, {"to-2", "70B3D5FFFE0B0002"}, {"to-3", "70B3D5FFFE0B0003"}};
    std::mutex m_mutex;
    timeval m_now{1'900'000'000, 0};
    std::vector<macs> m_steps;
    std::vector<vyr::context::win> m_records;
};

// A device pushed waits for its pacing to end and is judged then, alone; its next push
// goes out then.
TEST_F(Marks, PacingEndBringsThatDeviceAlone) {
    m_records[1].parameter_as_json(vyr::parameter::SCR_NAME, vyr::context::win::actual, "\"Other\"\n");
    send(request(s_tags[1].second, {}));  // a request marks its device
    EXPECT_EQ(next_judged(), macs{s_tags[1].second});
    EXPECT_EQ(sent(), (std::vector<std::string>{"000F", "000E5208576F726B65722D31"}));
    advance(c_mech_param_req::s_sending_period_sec);
    EXPECT_EQ(next_judged(), macs{s_tags[1].second});
    EXPECT_EQ(sent(), std::vector<std::string>{"000E5208576F726B65722D31"});
}

}  // namespace
}  // namespace delivery_test

namespace delivery_test {
namespace {

// The sweep walks every WIN a slice per timer step (one of the three tags per 5-s step
// over a 15-s sweep): a device whose change nothing marked is found, pushed and counted.
class Sweep : public Marks {
protected:
    Sweep() { m_period = std::chrono::milliseconds(100); }
    void configure(c_mech_param_req& _mechanism) override {
        Marks::configure(_mechanism);
        _mechanism.set_full_sweep(std::chrono::seconds(15));
    }
};

TEST_F(Sweep, AChangeNoMarkToldOfIsFoundByTheSweepAndCounted) {
    const double corrections = vyr::metrics::value(vyr::metrics::counter::sweep_corrections);
    m_records[2].parameter_as_json(vyr::parameter::SCR_NAME, vyr::context::win::actual, "\"Other\"\n");
    std::vector<macs> seen;
    ASSERT_TRUE(test::wait_until(
        [&] {
            for (auto& step : steps())
                seen.push_back(std::move(step));
            return !seen.empty() && seen.back() == macs{s_tags[2].second};
        },
        std::chrono::seconds(20)));
    for (const auto& step : seen)
        EXPECT_EQ(step.size(), 1u);
    EXPECT_EQ(sent(), std::vector<std::string>{"000E5208576F726B65722D31"});
    EXPECT_EQ(vyr::metrics::value(vyr::metrics::counter::sweep_corrections), corrections + 1);
}

}  // namespace
}  // namespace delivery_test
