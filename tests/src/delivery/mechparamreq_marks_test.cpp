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

// The service's receiver on the test thread, on the mechanism's ZeroMQ context: the
// devices it writes are marked to the mechanism as in the service.
struct receiver_beside_in {
    c_receiver receiver;
    long ts = ::time(nullptr);
    receiver_beside_in(const test::redis_server& _redis, std::shared_ptr<zmq::context_t> _zmq)
        : receiver(std::move(_zmq), "inproc://no-proxy", nullptr, _redis.host(), _redis.port(), test_logger()) {
        receiver.open();
    }
    void report(const std::string& _mac, const std::string& _plist) {
        receiver.process_param_p(R"({"mac": ")" + _mac + R"(", "ts": )" + std::to_string(++ts) +
                                 R"(, "ms": 0, "plist": {)" + _plist + "}}");
    }
};

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
        // The third tag's object is alone in a group of the same name.
        auto third = object_def{}.as(s_tags[2].first, s_tags[2].second);
        third.groups = {"grp-2"};
        put(third);
        m_store->get_group("grp-2").update("prj-1", "Drivers");
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

// Each change brings the devices it concerns to the next step, and no other: the receiver's
// marks (a report, an answer to a push) and the mirror's changes, each written as the
// service writes it and followed by the "context updated" its writer sends.
TEST_F(Marks, EachChangeBringsTheDevicesItConcernsAndNoOther) {
    receiver_beside_in receiver(*s_redis, m_zmq);
    const auto changed = [this] { send(std::string(1, static_cast<char>(vyr::cmd::notified))); };
    const macs all = {s_tags[0].second, s_tags[1].second, s_tags[2].second};
    const struct {
        const char* what;
        std::function<void()> change;
        macs judged;
    } rows[] = {
        {"a report", [&] { receiver.report(s_tags[0].second, R"("scr_name": "Worker-1")"); }, {s_tags[0].second}},
        {"an answer to a push",
         [&] {
             m_records[1].increment_sending_counter();
             receiver.report(s_tags[1].second, R"("scr_name": "Worker-1")");
         },
         {s_tags[1].second}},
        {"the object renamed", [&] { put(object_def{}.as(s_tags[1].first, s_tags[1].second)), changed(); },
         {s_tags[1].second}},
        {"its group renamed",
         [&] { m_store->get_group("grp-2").update("prj-1", "Drivers"), changed(); }, {s_tags[2].second}},
        {"a zone alarm of its object",
         [&] {
             m_store->get_zone("zone-1").update("prj-1", 1);
             m_store->get_alarm("alarm-1").update("zone_violation", 0, s_tags[0].first, "zone-1", 1, "Out", true);
             changed();
         },
         {s_tags[0].second}},
        {"a schedule, which concerns every device",
         [&] { m_store->get_tdoa_schedule("sch-1").update(1, {}), changed(); }, all},
    };
    for (const auto& r : rows) {
        r.change();
        auto judged = next_judged();
        std::sort(judged.begin(), judged.end());
        EXPECT_EQ(judged, r.judged) << r.what;
        sent();  // the zone alarm's frame
        EXPECT_TRUE(steps().empty()) << r.what;
    }
}

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

// Under a flood of reports the answer to a push may still wait in the receiver's backlog
// when the pacing ends: the device is pushed again only once the receiver has recorded
// what came within a second of the push, and judged again as soon as it has.
class AnswersPending : public Marks {
protected:
    void configure(c_mech_param_req& _mechanism) override {
        Marks::configure(_mechanism);
        _mechanism.set_receiver_progress(m_progress);
    }
    std::int64_t now_us() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return vyr::delivery::to_us(m_now);
    }
    std::shared_ptr<vyr::receiver_progress> m_progress = std::make_shared<vyr::receiver_progress>();
};

// Regression: at 50,000 devices the answers to the start-up's pushes waited longer than
// the pacing in the receiver's backlog, every device was pushed again and again, and each
// push's answers lengthened the backlog further. And judging every held device again each
// second while it waited kept the start-up of 20,000 busy rereading records.
TEST_F(AnswersPending, ARepushWaitsUntilTheReceiverHasRecordedWhatMayBeTheAnswer) {
    const std::string mac = s_tags[1].second;
    const std::vector<std::string> push = {"000E5208576F726B65722D31"};
    m_records[1].parameter_as_json(vyr::parameter::SCR_NAME, vyr::context::win::actual, "\"Other\"\n");
    send(request(mac, {}));
    EXPECT_EQ(next_judged(), macs{mac});
    EXPECT_EQ(sent(), (std::vector<std::string>{"000F", "000E5208576F726B65722D31"}));
    const auto pushed_at = now_us();
    const double held = vyr::metrics::value(vyr::metrics::counter::pushes_held_for_answers);
    // The pacing ends with what came half a second after the push not recorded: held.
    m_progress->waiting_since(pushed_at + 500'000);
    advance(c_mech_param_req::s_sending_period_sec);
    EXPECT_EQ(next_judged(), macs{mac});
    EXPECT_TRUE(sent().empty());
    // A second later the receiver is at 0.9 s after the push: not judged again for it.
    m_progress->waiting_since(pushed_at + 900'000);
    advance(1);
    EXPECT_TRUE(sent().empty());
    EXPECT_TRUE(steps().empty());
    EXPECT_EQ(vyr::metrics::value(vyr::metrics::counter::pushes_held_for_answers), held + 1);
    // Everything up to a second after the push recorded, and no answer in it: judged at
    // once, the clock standing, and pushed.
    m_progress->waiting_since(pushed_at + 1'000'000);
    EXPECT_EQ(next_judged(), macs{mac});
    EXPECT_EQ(sent(), push);
    // A device in step is not held back, nor judged again for it.
    m_records[1].parameter_as_json(vyr::parameter::SCR_NAME, vyr::context::win::actual, "\"Worker-1\"\n");
    m_progress->waiting_since(0);
    advance(c_mech_param_req::s_sending_period_sec);
    EXPECT_EQ(next_judged(), macs{mac});
    advance(1);
    send(request(s_fence_mac, {}));
    EXPECT_TRUE(sent().empty());
    EXPECT_TRUE(steps().empty());
    EXPECT_EQ(vyr::metrics::value(vyr::metrics::counter::pushes_held_for_answers), held + 1);
}

// Regression: a request answered after the time its step goes by (a step of devices due
// goes by when they were due) read as an answer "after" now, as if the clock had been set
// back, and the device was pushed at once what it had just been answered: at a site of
// 20,000 starting up, 6,000 devices were pushed their answers again.
TEST_F(AnswersPending, AnAnswerAfterItsStepsTimeHoldsThePushBack) {
    const std::string mac = s_tags[1].second;
    m_records[1].parameter_as_json(vyr::parameter::SCR_NAME, vyr::context::win::actual, "\"Other\"\n");
    send(request(mac, {}));
    EXPECT_EQ(next_judged(), macs{mac});
    EXPECT_EQ(sent(), (std::vector<std::string>{"000F", "000E5208576F726B65722D31"}));
    // Two seconds after its pacing ended the device asks: answered now, judged by the end
    // of its pacing. The receiver is still half a second short of what may answer the push,
    // so a step that comes before the request (the worker may be past its pipe when the
    // clock moves) holds the device back as well: only the answer may go out either way.
    m_progress->waiting_since(now_us() + 500'000);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_now.tv_sec += c_mech_param_req::s_sending_period_sec + 2;
        send(request(mac, {vyr::parameter::SCR_NAME}));
    }
    EXPECT_EQ(next_judged(), macs{mac});
    EXPECT_EQ(sent(), std::vector<std::string>{"000F5208576F726B65722D31"});
}

// Regression: the step right after a request's answer found the device's record without
// the values just answered (its confirmation was still on the way) and pushed them again.
TEST_F(AnswersPending, AnAnswerIsNotPushedAgainBeforeTheDeviceCouldConfirmIt) {
    const std::string mac = s_tags[1].second;
    m_records[1].parameter_as_json(vyr::parameter::SCR_NAME, vyr::context::win::actual, "\"Other\"\n");
    send(request(mac, {vyr::parameter::SCR_NAME}));
    EXPECT_EQ(sent(), std::vector<std::string>{"000F5208576F726B65722D31"});
    // Judged once the answer could be in; none came: the difference is pushed.
    EXPECT_TRUE(steps().empty());
    advance(1);
    EXPECT_EQ(next_judged(), macs{mac});
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
    // Counted at the next step, no mark of it having come meanwhile.
    EXPECT_TRUE(test::wait_until(
        [&] { return vyr::metrics::value(vyr::metrics::counter::sweep_corrections) == corrections + 1; },
        std::chrono::seconds(20)));
}

// Regression: a WIN removed from the set (a silent device outside the project) was never
// judged again, so its last standing was counted for good.
TEST_F(Sweep, AWinGoneFromTheSetIsNoLongerCountedFromTheNextRound) {
    using vyr::metrics::device_status;
    const auto in_step = vyr::metrics::devices(device_status::in_step);
    redis({"SREM", vyr::context::win::keys::set(), s_tags[0].second});
    EXPECT_TRUE(test::wait_until([&] { return vyr::metrics::devices(device_status::in_step) == in_step - 1; },
                                 std::chrono::seconds(20)));
}

}  // namespace
}  // namespace delivery_test
