#include "site.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>

#include <sys/time.h>

#include "common/globals.h"
#include "common/helpers.h"
#include "context/context.h"
#include "context/project_snapshot.h"
#include "context/win_record.h"
#include "core/json.h"
#include "delivery/mechparamreq.h"
#include "delivery/sender.h"
#include "judge/judge.h"
#include "parameters/parameters.h"
#include "redis/database.h"
#include "support/process.h"

namespace bench {

using namespace vyr::parameter;
using vyr::context::win;

site_shape shape_of(int _devices) {
    site_shape shape;
    shape.devices = _devices;
    shape.anchors = std::max(12, _devices / 20);
    shape.tags = _devices - shape.anchors;
    return shape;
}

namespace {

// The normalised MAC of every element of `_member` in a project file that has one.
std::vector<std::string> macs_in(const std::string& _file, const char* _member) {
    const auto parsed = vyr::libs::core::json::try_parse(test::read_file(_file));
    if (!parsed.ok)
        throw std::runtime_error("cannot read " + _file);
    std::vector<std::string> result;
    for (const auto& element : parsed.result[_member]) {
        const auto& node = element["node"];
        if (!node.isObject() || !node["mac_address"].isString())
            continue;
        std::string mac = node["mac_address"].asString();
        if (comb_mac(mac))
            result.push_back(mac);
    }
    return result;
}

}  // namespace

site::site(int _devices, const std::string& _generator) : m_shape(shape_of(_devices)) {
    if (!test::file_exists(_generator))
        throw std::runtime_error(_generator + " is not built");
    m_redis = std::make_unique<test::redis_server>();
    m_platform = std::make_unique<test::platform_server>();
    m_project_dir = m_platform->project_dir();

    test::temp_dir logs;
    test::process::options options;
    options.stdout_path = logs.file("stdout");
    options.stderr_path = logs.file("stderr");
    test::process generator(_generator,
                            {"--out", m_project_dir, "--tags", std::to_string(m_shape.tags), "--anchors",
                             std::to_string(m_shape.anchors), "--seed", "1"},
                            options);
    const auto status = generator.wait(std::chrono::seconds(120));
    if (!status || !status->exited || status->code != 0)
        throw std::runtime_error("quorvane-make-project failed: " + test::read_file(logs.file("stderr")));

    m_tag_macs = macs_in(m_project_dir + "/track_obj.json", "trackableObjects");
    m_anchor_macs = macs_in(m_project_dir + "/win_anchors.json", "win_anchors");
}

site::~site() = default;

std::vector<std::string> site::all_macs() const {
    std::vector<std::string> macs = m_tag_macs;
    macs.insert(macs.end(), m_anchor_macs.begin(), m_anchor_macs.end());
    return macs;
}

// ---- the delivery harness --------------------------------------------------------------------

delivery_harness::delivery_harness(site& _site, vyr::libs::core::component_logger& _logger)
    : m_zmq(std::make_shared<zmq::context_t>(1)) {
    const std::string endpoint = "tcp://127.0.0.1:" + std::to_string(test::free_port());
    zmq::socket_t gateway(*m_zmq, zmq::socket_type::pull);
    gateway.set(zmq::sockopt::linger, 0);
    gateway.set(zmq::sockopt::rcvtimeo, 50);
    gateway.bind(endpoint);
    // The socket moves to the drain thread, which alone uses it from now on.
    m_drain = std::thread([this, socket = std::move(gateway)]() mutable {
        zmq::message_t frame;
        while (!m_stop.load()) {
            if (socket.recv(frame, zmq::recv_flags::none))
                m_frames.fetch_add(1);
        }
    });
    m_sender = std::make_shared<c_sender>(m_zmq, endpoint, _logger);
    m_mechanism = std::make_unique<c_mech_param_req>(m_zmq, nullptr, m_sender, _site.redis().host(),
                                                     _site.redis().port(), false, _logger);
    if (!m_mechanism->thread_init())
        throw std::runtime_error("the parameter-request mechanism did not initialise");
}

delivery_harness::~delivery_harness() {
    m_mechanism.reset();
    m_sender.reset();
    m_stop = true;
    if (m_drain.joinable())
        m_drain.join();
}

void delivery_harness::cycle() { m_mechanism->processing_timer(); }

std::uint64_t delivery_harness::settled_frames() {
    std::uint64_t last = m_frames.load();
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const std::uint64_t now = m_frames.load();
        if (now == last)
            return now;
        last = now;
    }
}

// ---- WIN states ------------------------------------------------------------------------------

namespace {

// The category a device reports after it was sent the object's category: a text the
// payload has no code for arrives as "unspecified".
std::string reported_category(const std::string& _category) {
    for (const char* known : {"unspecified", "person", "vehicle", "asset"})
        if (_category == known)
            return _category;
    return "unspecified";
}

// The must texts of the value parameters as the service's judge works them out for the
// device now (its record as it stands).
std::map<parameter_t, std::string> value_musts(vyr::judge::judge& _judge, vyr::context::context& _store,
                                               const std::string& _mac) {
    std::map<parameter_t, std::string> musts;
    const auto records = vyr::context::read_win_records(_store.redis_context(), {_mac});
    for (const auto& check : _judge.check(records.at(0), true))
        if (check.must_stored && !check.failed)
            musts[check.parameter] = check.must;
    return musts;
}

void tag_in_step(vyr::judge::judge& _judge, vyr::context::context& _store, const std::string& _mac) {
    auto record = _store.get_win(_mac);
    record.sending_time(timeval{0, 0});
    record.del_sending_counter();
    if (!_store.track_obj_exists_by_mac(_mac))
        return;
    const auto object = _store.get_track_obj_by_mac(_mac);
    if (object.type() == "ASSET")  // as delivery: exactly that type
        return;

    // The certificate and licences are judged only when the mirror's switch is on.
    for (const auto& [p, must] : value_musts(_judge, _store, _mac))
        record.parameter_as_json(p, win::actual, must);

    record.parameter_state(T2T_CFG, SUPPORTED);
    if (object.t2t_cfg_exists()) {
        record.parameter_t2t_cfg_role(object.t2t_cfg_role());
        if (const auto v = object.t2t_cfg_alarm_back())
            record.parameter_t2t_cfg_alarm_back(*v);
        if (const auto v = object.t2t_cfg_distance())
            record.parameter_t2t_cfg_distance(*v);
        if (const auto v = object.t2t_cfg_angle())
            record.parameter_t2t_cfg_angle(*v);
        if (const auto v = object.t2t_cfg_delay())
            record.parameter_t2t_cfg_delay(*v);
        if (const auto v = object.t2t_cfg_pin())
            record.parameter_t2t_cfg_pin(*v);
        if (const auto v = object.t2t_cfg_alert_distance())
            record.parameter_t2t_cfg_alert_distance(*v);
        record.parameter_t2t_cfg_safe_distance(object.t2t_cfg_safe_distance().value_or(0));
        if (const auto v = object.t2t_cfg_buzzer())
            record.parameter_t2t_cfg_buzzer(*v);
        if (const auto v = object.t2t_cfg_haptic())
            record.parameter_t2t_cfg_haptic(*v);
    } else {
        record.parameter_t2t_cfg_role("disabled");
    }

    record.parameter_state(T2T_NO_ALARM, SUPPORTED);
    record.parameter_t2t_no_alarm(object.t2t_no_alarm());

    const bool stationary = object.stationary();
    record.parameter_state(STATIONARY, SUPPORTED);
    record.parameter_stationary(stationary);
    if (stationary) {
        const auto place = _store.get_sublocation(object.sublocation_uid());
        const std::int32_t offset = place.offset_z().value_or(0);
        loc position{};
        position.x = object.position_x();
        position.y = object.position_y();
        position.z = object.default_height() + offset;
        position.sublocation_z = offset;
        position.sublocation_id = place.sublocation_id();
        record.parameter_state(LOC, SUPPORTED);
        record.parameter_loc(position);
    }

    record.parameter_state(CATEGORY, SUPPORTED);
    record.parameter_category(reported_category(object.category()));
}

// The synchronisation slot (master node id, slot) every anchor of the active settings
// must report, and the superframe node id of the masters.
struct anchor_targets {
    std::map<std::string, std::pair<std::uint32_t, std::uint32_t>> sync_slot;  // anchor uid
    std::map<std::string, std::uint32_t> superframe;                           // master anchor uid
};

anchor_targets tdoa_targets(vyr::context::context& _store) {
    constexpr std::uint32_t no_master = 65535, no_slot = 255;
    anchor_targets targets;
    for (const auto& setting_uid : _store.get_tdoa_settings()) {
        const auto setting = _store.get_tdoa_setting(setting_uid);
        const auto masters = setting.get_masters();
        const auto distributors = setting.get_distributors();
        if (!masters || !distributors)
            continue;
        for (const auto& m : *masters) {
            const auto anchor = _store.get_anchor(m.anchor_uid);
            if (!anchor.exists())
                continue;
            targets.sync_slot[m.anchor_uid] = {anchor.node_id(), m.slot};
            targets.superframe[m.anchor_uid] = anchor.node_id();
        }
        for (const auto& d : *distributors) {
            if (targets.superframe.count(d.anchor_uid))
                continue;
            std::uint32_t master = no_master;
            if (d.master_uid) {
                const auto anchor = _store.get_anchor(*d.master_uid);
                if (!anchor.exists())
                    continue;
                master = anchor.node_id();
            }
            targets.sync_slot[d.anchor_uid] = {master, d.slot};
        }
    }
    for (const auto& uid : _store.get_anchors())
        targets.sync_slot.emplace(uid, std::make_pair(no_master, no_slot));
    return targets;
}

void anchor_in_step(vyr::judge::judge& _judge, vyr::context::context& _store, const std::string& _mac,
                    const anchor_targets& _targets, vyr::libs::core::component_logger& _logger) {
    auto record = _store.get_win(_mac);
    record.sending_time(timeval{0, 0});
    record.del_sending_counter();
    if (!_store.anchor_exists_by_mac(_mac))
        return;
    const auto uid = _store.get_anchor_by_mac(_mac).uid();
    const auto musts = value_musts(_judge, _store, _mac);
    if (const auto schedule = musts.find(TDOA_SCHEDULE); schedule != musts.end())
        record.parameter_as_json(TDOA_SCHEDULE, win::actual, schedule->second);
    Json::Value network(Json::objectValue);
    network["router"] = true;
    record.parameter_as_json(NWK_CFG, win::actual, param_nwk_cfg(network, _logger).to_json_string());
    if (const auto slot = _targets.sync_slot.find(uid); slot != _targets.sync_slot.end()) {
        record.parameter_state(SYNC_SLOT, SUPPORTED);
        record.parameter_sync_slot_addr(slot->second.first);
        record.parameter_sync_slot_slot(slot->second.second);
    }
    if (const auto sf = _targets.superframe.find(uid); sf != _targets.superframe.end()) {
        record.parameter_state(SF, SUPPORTED);
        record.parameter_sf({sf->second, std::nullopt, std::nullopt, std::nullopt});
    }
}

// Runs `_work` over the MACs of `_macs` on four connections of its own at once, each
// with its share of them: the set-up is one round trip after another, and several
// connections overlap them. An exception of a worker is thrown again here.
void in_parallel(const site& _site, const std::vector<std::string>& _macs,
                 const std::function<void(vyr::context::context&, const std::vector<std::string>&)>& _work) {
    constexpr std::size_t s_connections = 4;
    std::vector<std::thread> workers;
    std::mutex failure_mutex;
    std::exception_ptr failure;
    for (std::size_t w = 0; w < s_connections; ++w) {
        workers.emplace_back([&, w] {
            try {
                std::vector<std::string> share;
                for (std::size_t i = w; i < _macs.size(); i += s_connections)
                    share.push_back(_macs[i]);
                vyr::context::context store(vyr::redis::service_database, _site.redis().host(), _site.redis().port());
                _work(store, share);
            } catch (...) {
                std::lock_guard<std::mutex> lock(failure_mutex);
                failure = std::current_exception();
            }
        });
    }
    for (auto& worker : workers)
        worker.join();
    if (failure)
        std::rethrow_exception(failure);
}

}  // namespace

void make_in_step(vyr::context::context& _store, const site& _site, vyr::libs::core::component_logger& _logger) {
    make_all_differ(_store, _site);
    timeval now{};
    ::gettimeofday(&now, nullptr);
    const auto snapshot = vyr::context::read_project_snapshot(_store.redis_context());
    in_parallel(_site, _site.tag_macs(), [&](vyr::context::context& _own, const std::vector<std::string>& _macs) {
        // The schedules as the harness's mechanism shapes them (not to the destination).
        vyr::judge::judge judge(snapshot, false, now, _logger);
        for (const auto& mac : _macs)
            tag_in_step(judge, _own, mac);
    });
    const auto targets = tdoa_targets(_store);
    in_parallel(_site, _site.anchor_macs(), [&](vyr::context::context& _own, const std::vector<std::string>& _macs) {
        vyr::judge::judge judge(snapshot, false, now, _logger);
        for (const auto& mac : _macs)
            anchor_in_step(judge, _own, mac, targets, _logger);
    });
}

void make_all_differ(vyr::context::context&, const site& _site) {
    in_parallel(_site, _site.all_macs(), [](vyr::context::context& _own, const std::vector<std::string>& _macs) {
        for (const auto& mac : _macs) {
            auto record = _own.get_win(mac);
            record.del_all_parameters();
            record.del_alarms();
            record.sending_time(timeval{0, 0});
            record.del_sending_counter();
        }
    });
}

}  // namespace bench
