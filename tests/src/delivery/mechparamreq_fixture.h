// Fixture of the parameter-request mechanism tests: a private redis-server for the test
// program, a running mechanism on a real ZeroMQ context, the sender connected to a PULL
// socket that stands where the proxy input would be, and a PUSH socket on the
// mechanism's pipe. Frames are collected up to a "fence": a request for a MAC no test
// uses, answered after everything queued before it, so no test waits for a time.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>
#include <zmq.hpp>

#include "common/metrics.h"
#include "context/context.h"
#include "core/json.h"
#include "core/logger.h"
#include "delivery/mechparamreq.h"
#include "delivery/sender.h"
#include "input/receiver.h"
#include "redis/database.h"
#include "runtime/inproc_commands.h"
#include "runtime/mailboxes.h"
#include "support/log_sink.h"
#include "support/node_command.h"
#include "support/process.h"
#include "support/redis_server.h"
#include "redis/pipeline.h"

namespace delivery_test {

inline vyr::libs::core::logger& test_logger() {
    static vyr::libs::core::logger logger("rtls-quorvane-test", "mech_param_req");
    return logger;
}

// The test logger's records, connected once per test program.
inline test::log_sink& log_records() {
    static test::log_sink* sink = [] {
        auto* s = new test::log_sink;
        s->connect(test_logger());
        return s;
    }();
    return *sink;
}

// The records since the previous logged(), with those that came since this call.
inline std::vector<std::string>& collected() {
    static std::vector<std::string> records;
    const auto frames = log_records().frames_until_marker(test_logger());
    records.insert(records.end(), frames.begin(), frames.end());
    return records;
}

// How many records since the previous call contain `_text`.
inline int logged(const std::string& _text) {
    auto& records = collected();
    const auto count = std::count_if(records.begin(), records.end(), [&](const auto& _r) { return _r.find(_text) != _r.npos; });
    records.clear();
    return static_cast<int>(count);
}

// Whether a record containing `_text` comes within a generous bound; logged() counts it.
inline bool await_logged(const std::string& _text) {
    for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(40);
         std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        for (const auto& record : collected())
            if (record.find(_text) != record.npos)
                return true;
    return false;
}

using test::bodies;
using test::node_command;

// A trackable object as the tests write it; the defaults are a settled monitor tag.
struct object_def {
    std::string uid = "to-1";
    std::string mac = "70B3D5FFFE0B0001";
    std::string name = "Worker-1";
    std::string type = "person";
    std::string category = "person";
    std::string sublocation = "sl-1";
    std::int32_t x = 500, y = -300, height = 120;
    bool stationary = false;
    std::vector<std::string> groups{"grp-1"};
    std::vector<std::string> no_alarm{"70B3D5FFFE0B0002"};
    bool t2t = true;
    std::string role = "monitor";
    std::optional<bool> alarm_back = true;
    std::optional<std::uint32_t> distance = 500, angle = 90, delay = 2;
    std::optional<std::string> pin = std::string("SOLID");
    std::optional<std::uint32_t> alert_distance = 800, safe_distance = 300;
    std::optional<bool> buzzer = true, haptic = false;
    // The same object under another uid, on another device.
    object_def as(const std::string& _uid, const std::string& _mac) const {
        auto copy = *this;
        copy.uid = _uid, copy.mac = _mac;
        return copy;
    }
};

class mech_param_req_test : public ::testing::Test {
protected:
    static constexpr const char* s_fence_mac = "FFFFFFFFFFFF0000";
    // Fence MACs share this prefix; answers to earlier fences are skipped.
    static bool is_fence(const std::string& _mac) { return _mac.rfind("FFFFFFFFFFFF", 0) == 0; }

    static void SetUpTestSuite() { s_redis = std::make_unique<test::redis_server>(); }
    static void TearDownTestSuite() { s_redis.reset(); }

    void SetUp() override {
        s_redis->flush();
        m_zmq = std::make_shared<zmq::context_t>(1);
        m_gateway = std::make_unique<zmq::socket_t>(*m_zmq, zmq::socket_type::pull);
        m_gateway->set(zmq::sockopt::rcvtimeo, 10000);  // a lost frame fails instead of hanging
        m_gateway->set(zmq::sockopt::linger, 0);
        const std::string endpoint = "tcp://127.0.0.1:" + std::to_string(test::free_port());
        m_gateway->bind(endpoint);
        m_sender = std::make_shared<c_sender>(m_zmq, endpoint, test_logger());
        m_store = std::make_unique<vyr::context::context>(vyr::redis::service_database, s_redis->host(), s_redis->port());
        m_mechanism = std::make_unique<c_mech_param_req>(m_zmq, nullptr, m_sender, s_redis->host(), s_redis->port(),
                                                         false, test_logger());
        if (m_period.count() != 0)
            m_mechanism->set_period(m_period);
        if (m_frozen_time)
            m_mechanism->set_clock([time = *m_frozen_time] { return time; });
        configure(*m_mechanism);
        m_mechanism->start();
        m_pipe = std::make_unique<zmq::socket_t>(*m_zmq, zmq::socket_type::push);
        m_pipe->set(zmq::sockopt::linger, 0);
        m_pipe->connect("inproc://mech_param_req");
    }

    void TearDown() override {
        m_mechanism.reset();
        m_pipe.reset();
        m_sender.reset();
        m_gateway.reset();
        m_store.reset();
        m_zmq->close();
    }

    void send(const std::string& _bytes) { (void)m_pipe->send(zmq::buffer(_bytes), zmq::send_flags::none); }

    static std::string request(const std::string& _mac, const std::vector<std::uint32_t>& _numbers) {
        cmd_param_req_from_node_t head{};
        head.cmd = vyr::cmd::request;
        vyr::cmd::set_field(head.mac, _mac);
        std::string frame(reinterpret_cast<const char*>(&head), sizeof head);
        for (const std::uint32_t n : _numbers)
            frame.append(reinterpret_cast<const char*>(&n), sizeof n);
        return frame;
    }

    std::optional<node_command> receive() {
        zmq::message_t message;
        if (!m_gateway->recv(message, zmq::recv_flags::none)) {
            ADD_FAILURE() << "no frame reached the gateway";
            return std::nullopt;
        }
        return test::parse_command(message.to_string());
    }

    // Every frame the mechanism sent before it handled the fence request. A request is
    // held while the mirror is incomplete: then the mirror is completed for the fence
    // once it is held, all before it handled with the mirror incomplete.
    std::vector<node_command> fence() {
        const bool complete = m_store->updated();
        log_records();  // connected before the record awaited
        send(request(s_fence_mac, {}));
        if (!complete)  // completed only once the fence is held (else no answer comes)
            m_store->updated(await_logged(std::string("parameter request of ") + s_fence_mac + " held"));
        std::vector<node_command> frames;
        while (auto frame = receive()) {
            if (frame->mac == s_fence_mac)
                break;
            if (!is_fence(frame->mac))
                frames.push_back(*frame);
        }
        m_store->updated(complete);
        return frames;
    }

    // One processing cycle on the context-updated command, with the mirror complete
    // only for its duration (the timer's own cycles then find nothing to do).
    std::vector<node_command> cycle() {
        m_store->updated(true);
        send(std::string(1, static_cast<char>(vyr::cmd::notified)));
        auto frames = fence();
        m_store->updated(false);
        return frames;
    }

    // Written at once, or appended to `_into` (one transaction of the object's).
    void put(const object_def& _o, vyr::redis::batch* _into = nullptr) {
        auto record = m_store->get_track_obj(_o.uid);
        if (_into)
            record.write_into(*_into, "");
        record.update("prj-1", _o.name, _o.sublocation, _o.x, _o.y, _o.height, _o.type, _o.mac, _o.groups, _o.category,
                      _o.stationary, _o.no_alarm, _o.t2t, _o.role, _o.alarm_back, _o.distance, _o.angle, _o.delay,
                      _o.pin, _o.alert_distance, _o.safe_distance, _o.buzzer, _o.haptic);
    }

    // `_count` tags whose WINs reported nothing yet, written in one round trip: a cycle
    // pushes each of them every parameter. Their MACs.
    std::vector<std::string> crowd(std::uint64_t _count) {
        vyr::redis::batch batch;
        std::vector<std::string> macs;
        for (std::uint64_t n = 0; n < _count; ++n) {
            macs.push_back("70B3D5FFFE2" + vyr::parameter::hex(n, 5));
            put(object_def{}.as("crowd-" + std::to_string(n), macs.back()), &batch);
            batch.add("HSET", vyr::context::win::keys::data(macs.back()), "sending_counter_sec", "0");
            batch.add("SADD", vyr::context::win::keys::set(), macs.back());
        }
        vyr::redis::pipeline(m_store->redis_context(), batch).exec();
        return macs;
    }

    // A WIN the cycle walks: it has a data hash and is in the set of WINs.
    vyr::context::win device(const std::string& _mac) {
        auto record = m_store->get_win(_mac);
        record.sending_time(timeval{0, 0});
        return record;
    }

    // The object's WIN reporting exactly what the object requires.
    vyr::context::win settled(const object_def& _o) {
        using namespace vyr::parameter;
        using vyr::context::win;
        put(_o);
        m_store->get_group("grp-1").update("prj-1", "Drivers");
        m_store->get_sublocation("sl-1").update("prj-1", 7, 0, 0, 40);
        auto record = device(_o.mac);
        // As the receiver stores a device's report of them (one JSON text and a newline).
        record.parameter_as_json(EM_ALM, win::actual, "{\"state\":\"CLEAR\"}\n");
        record.parameter_as_json(SCR_NAME, win::actual, "\"" + _o.name + "\"\n");
        record.parameter_as_json(SCR_GNAME, win::actual, "\"Drivers\"\n");
        for (const auto number : {T2T_CFG, T2T_NO_ALARM, STATIONARY, CATEGORY})
            record.parameter_state(number, SUPPORTED);
        record.parameter_t2t_cfg_role(_o.role);
        record.parameter_t2t_cfg_alarm_back(*_o.alarm_back);
        record.parameter_t2t_cfg_distance(*_o.distance);
        record.parameter_t2t_cfg_angle(*_o.angle);
        record.parameter_t2t_cfg_delay(*_o.delay);
        record.parameter_t2t_cfg_pin(*_o.pin);
        record.parameter_t2t_cfg_alert_distance(*_o.alert_distance);
        record.parameter_t2t_cfg_safe_distance(*_o.safe_distance);
        record.parameter_t2t_cfg_buzzer(*_o.buzzer);
        record.parameter_t2t_cfg_haptic(*_o.haptic);
        record.parameter_t2t_no_alarm(_o.no_alarm);
        record.parameter_stationary(_o.stationary);
        record.parameter_category(_o.category);
        return record;
    }

    // The device takes the pushed payloads as the simulator's device model does, and its
    // report of what it then holds is stored in its WIN (as the receiver stores it).
    static void hold(vyr::context::win& _record, const std::vector<node_command>& _frames) {
        using namespace vyr::parameter;
        using vyr::context::win;
        for (const auto& frame : _frames)
            for (const auto& payload : frame.payloads) {
                const auto d = vyr::devsim::decode_payload(payload);
                ASSERT_NE(d.kind, vyr::devsim::decoded_payload::unknown) << payload;
                if (d.kind != vyr::devsim::decoded_payload::value)
                    continue;
                const auto& v = d.json;
                const auto number = [&] {
                    for (const auto& [p, name] : parameters)
                        if (name == d.name)
                            return p;
                    return TXP;
                }();
                _record.parameter_state(number, SUPPORTED);
                if (d.name == "t2t_cfg") {
                    _record.del_parameter(T2T_CFG);
                    _record.parameter_state(T2T_CFG, SUPPORTED);
                    _record.parameter_t2t_cfg_role(v["role"].asString());
                    using setter = void (win::*)(std::uint32_t);
                    const std::pair<const char*, setter> numbers[] = {
                        {"distance", &win::parameter_t2t_cfg_distance}, {"angle", &win::parameter_t2t_cfg_angle},
                        {"delay", &win::parameter_t2t_cfg_delay},
                        {"alert_distance", &win::parameter_t2t_cfg_alert_distance},
                        {"safe_distance", &win::parameter_t2t_cfg_safe_distance}};
                    for (const auto& [name, set] : numbers)
                        if (v.isMember(name))
                            (_record.*set)(v[name].asUInt());
                } else if (d.name == "t2t_no_alarm") {
                    std::vector<std::string> list;
                    for (const auto& entry : v)
                        list.push_back(entry["mac"].asString());
                    _record.parameter_t2t_no_alarm(list);
                } else if (d.name == "sf") {
                    const auto hex_of = [&](const char* _m) { return std::optional<std::uint32_t>(std::stoul(v[_m].asString(), nullptr, 16)); };
                    _record.parameter_sf({hex_of("addr"), hex_of("sfd"), v["set_slots"].asUInt(), v["sch_slots"].asUInt()});
                } else if (d.name == "sync_slot") {
                    _record.parameter_sync_slot_addr(std::stoul(v["addr"].asString(), nullptr, 16));
                    _record.parameter_sync_slot_slot(v["slot"].asUInt());
                } else if (d.name == "stationary") {
                    _record.parameter_stationary(v.asBool());
                } else if (d.name != "category" && d.name != "loc") {
                    _record.parameter_as_json(number, win::actual, vyr::libs::core::json::to_string(v));
                }
            }
        _record.sending_time(timeval{0, 0});
    }

    // The bodies of one cycle once the pacing period of the last push has passed.
    std::vector<std::string> later(vyr::context::win& _record) {
        _record.sending_time(timeval{0, 0});
        return bodies(cycle());
    }

    // A tag whose device holds another name and category than the object's and answers
    // every push with them, but the fifth, until both are marked rejected (the pass
    // after the eleventh push).
    vyr::context::win refused() {
        using namespace vyr::parameter;
        auto record = settled(object_def{});
        record.parameter_as_json(SCR_NAME, vyr::context::win::actual, "\"Worker-X\"\n");
        record.parameter_category("vehicle");
        for (long push = 1; push <= 11; ++push) {
            EXPECT_EQ(later(record), (std::vector<std::string>{"000E5208576F726B65722D31", "000E5E0101"})) << push;
            if (push == 5)  // a push the device never answered is no refusal
                continue;
            for (const auto p : {SCR_NAME, CATEGORY})  // as the receiver stores a report
                record.parameter_timestamp(p, {push, 0});
            record.del_sending_counter();
        }
        EXPECT_TRUE(later(record).empty());  // the eleventh answer: marked, not pushed
        return record;
    }

    // One cycle, awaited to its end (a fence is answered between the chunks of a long
    // one), with `_meanwhile` done while it runs; the frames `_meanwhile` does not take.
    std::vector<node_command> whole_cycle(const std::function<void()>& _meanwhile = {}) {
        const auto before = vyr::metrics::value(vyr::metrics::counter::cycles);
        m_store->updated(true);
        send(std::string(1, static_cast<char>(vyr::cmd::notified)));
        if (_meanwhile)
            _meanwhile();
        EXPECT_TRUE(test::wait_until([&] { return vyr::metrics::value(vyr::metrics::counter::cycles) > before; },
                                     std::chrono::seconds(40)));
        auto frames = fence();
        m_store->updated(false);
        return frames;
    }

    // The service's receiver on the test thread, writing into the test's Redis as in the
    // service (its commands to the mechanisms go nowhere): reports of devices, alarms.
    struct receiver_beside {
        std::shared_ptr<zmq::context_t> zmq_context = std::make_shared<zmq::context_t>(1);
        zmq::socket_t sink{*zmq_context, zmq::socket_type::pull};
        c_receiver receiver;
        long ts = ::time(nullptr);
        explicit receiver_beside(const test::redis_server& _redis)
            : receiver(zmq_context, "inproc://no-proxy", nullptr, _redis.host(), _redis.port(), test_logger()) {
            sink.bind(vyr::mail::mech_param_req::endpoint);
            receiver.open();
        }
        void report(const std::string& _mac, const std::string& _plist) {
            receiver.process_param_p(R"({"mac": ")" + _mac + R"(", "ts": )" + std::to_string(++ts) +
                                     R"(, "ms": 0, "plist": {)" + _plist + "}}");
        }
        // The device answers the confirmations of a frame it was pushed, as the device
        // simulator's model does.
        void confirm(const node_command& _frame) {
            for (const auto& payload : _frame.payloads) {
                const auto d = vyr::devsim::decode_payload(payload);
                if (d.name == "al_zv" || d.name == "scr_message")
                    report(_frame.mac, "\"" + d.name + "\": " + vyr::libs::core::json::to_string(d.json));
            }
        }
    };

    static std::string redis(const std::vector<std::string>& _argv) { return s_redis->command(_argv); }
    // What a fixture sets on the mechanism before it starts.
    virtual void configure(c_mech_param_req&) {}

    // The mechanism's period, set by a fixture's constructor; zero: the service's.
    std::chrono::milliseconds m_period{0};
    // The mechanism's clock stands still at this time (set in a constructor): every pass
    // falls within the pacing of the one before, however slow the machine.
    std::optional<timeval> m_frozen_time;
    inline static std::unique_ptr<test::redis_server> s_redis;
    std::shared_ptr<zmq::context_t> m_zmq;
    std::unique_ptr<zmq::socket_t> m_gateway;
    std::shared_ptr<c_sender> m_sender;
    std::unique_ptr<vyr::context::context> m_store;
    std::unique_ptr<c_mech_param_req> m_mechanism;
    std::unique_ptr<zmq::socket_t> m_pipe;
};

}  // namespace delivery_test
