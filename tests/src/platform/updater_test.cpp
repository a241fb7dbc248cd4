// The context updater against the platform stand-in and a private redis-server: the first
// pass, full and single-object refreshes, licences and certifications, retry of failed
// work only, the cycle each refresh asks for, that nothing a device says before the
// start-up flush is lost, that events are not undone by older answers, when em_alm reports
// read the alarm list, and that neither the request operations nor the receiver wait
// for a slow platform; stopping while idle, retrying or inside a hanging request.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/globals.h"
#include "common/helpers.h"
#include "common/metrics.h"
#include "context/context.h"
#include "core/json.h"
#include "platform/updater.h"
#include "platform/vyrserver.h"
#include "redis/database.h"
#include "runtime/inproc_commands.h"
#include "runtime/pipe.h"
#include "support/checks.h"
#include "support/log_sink.h"
#include "support/platform_server.h"
#include "support/process.h"
#include "support/receiver_fixture.h"
#include "support/redis_server.h"

namespace {

using namespace std::chrono_literals;
using test::sorted;

const std::string s_anchors_path = "/api/private/win_anchors/";
const std::string s_track_objs_path = "/api/private/track_obj/";
const std::string s_groups_path = "/api/private/groups/";
const std::string s_zones_path = "/api/private/zones/";
const std::string s_sublocations_path = "/api/private/sublocations/";
const std::string s_alarms_path = "/api/private/alarms/active/";
const std::string s_schedules_path = "/api/private/tdoa/schedules/";

// Runs `_f` on another thread; false when it has not returned within `_bound` (a bound for
// a deadlock, far beyond any normal duration).
template <class F>
bool returns(F _f, std::chrono::seconds _bound = 40s) {
    auto done = std::async(std::launch::async, std::move(_f));
    return done.wait_for(_bound) == std::future_status::ready;
}

// How many requests so far had `_value` as path (or as another logged member).
int counted(const test::platform_server& _platform, const std::string& _value, const char* _member) {
    int n = 0;
    for (const auto& r : _platform.requests())
        n += r[_member].asString() == _value;
    return n;
}

class updater_test : public ::testing::Test {
protected:
    void SetUp() override {
        platform = std::make_unique<test::platform_server>(std::vector<std::string>{}, true);
        api = std::make_shared<vyr::vyrserver::c_vyrserver>("rtls-quorvane", "http", platform->address(), "", "", 0,
                                                            logger);
        store = std::make_unique<vyr::context::context>(vyr::redis::service_database, redis.host(), redis.port());
    }
    void TearDown() override {
        updater.reset();
        platform.reset();
    }

    void start() {
        updater = std::make_shared<vyr::updater>(api, redis.host(), redis.port(), logger);
        updater->start();
    }
    void start_and_wait_updated() {
        start();
        wait_updated();
    }
    std::string updated_text() const { return redis.command({"GET", "updated"}); }
    void wait_updated() const {
        ASSERT_TRUE(test::wait_until([this] { return updated_text() == "true"; }, 40s)) << updated_text();
    }
    int count(const std::string& _value, const char* _member = "path") const { return counted(*platform, _value, _member); }
    // Whether the metrics endpoint comes to show the mirror complete (1) or being filled (0).
    static bool mirror_shown(double _complete) {
        return test::wait_until([_complete] { return test::shown_metric("rtls_quorvane_mirror_complete") == _complete; }, 5s);
    }
    void fail(const std::string& _path, int _status) const {
        platform->write("control.json", R"({"fail": {")" + _path + R"(": )" + std::to_string(_status) + "}}");
    }
    static std::string sample(const std::string& _file) {
        return test::read_file(test::platform_server::sample_project() + "/" + _file);
    }

    vyr::libs::core::logger logger{"rtls-quorvane-test", "updater"};
    test::redis_server redis;
    std::unique_ptr<test::platform_server> platform;
    std::shared_ptr<vyr::vyrserver::c_vyrserver> api;
    std::unique_ptr<vyr::context::context> store;
    std::shared_ptr<vyr::updater> updater;
};

// ---- full refreshes ----------------------------------------------------------------------

TEST_F(updater_test, first_pass_flushes_names_fills_every_kind_and_sets_updated) {
    redis.command({"SET", "stale", "1"});
    redis.command({"SET", "updated", "true"});  // left by a previous run
    start();
    EXPECT_NE(updated_text(), "true");  // before the flush too: delivery reads nothing old
    wait_updated();

    EXPECT_EQ(redis.command({"GET", "stale"}), "(nil)");
    EXPECT_EQ(store->name(), "rtls-quorvane");
    using list = std::vector<std::string>;
    EXPECT_EQ((std::vector<list>{sorted(store->get_anchors()), sorted(store->get_groups()), sorted(store->get_zones()),
                                 store->get_sublocations(), sorted(store->get_tdoa_schedules()), store->get_tdoa_settings(),
                                 sorted(store->get_alarms())}),
              (std::vector<list>{{"anc-1", "anc-2", "anc-3"}, {"grp-drivers", "grp-visitors"}, {"zone-bay", "zone-office"},
                                 {"sl-hall"}, {"sch-legacy", "sch-main"}, {"prj-demo"}, {"alm-1", "alm-2", "alm-3"}}));
    EXPECT_EQ(store->get_track_objs().size(), 6u);

    // How each kind is decoded is pinned by the platform API tests.
    EXPECT_EQ(store->get_tdoa_schedule("sch-main").rows().size(), 3u);

    // Licences and certifications both answered: applied, and the switch is on.
    EXPECT_EQ(redis.command({"GET", "vehicle_certification"}), "true");
    EXPECT_EQ(store->get_track_obj("to-worker-1").driver_licenses(), (std::set<std::uint32_t>{3}));
    EXPECT_EQ(store->get_track_obj("to-forklift-1").vehicle_model(), 3u);
    EXPECT_EQ(store->get_track_obj("to-forklift-2").vehicle_model(), std::nullopt);
    EXPECT_TRUE(returns([this] { updater.reset(); }));  // stopped while waiting
}

TEST_F(updater_test, objects_no_longer_listed_are_removed_by_the_next_full_refresh) {
    start_and_wait_updated();
    platform->write("groups.json", R"({"groups": [{"uid": "grp-drivers", "project_uid": "prj-demo", "name": "D2"}]})");
    platform->write("zones.json", R"({"zones": []})");
    platform->write("tdoa_settings.json", "{not json");  // unreadable: neither written nor removed
    updater->update_all_req();
    wait_updated();

    EXPECT_EQ(store->get_groups(), std::vector<std::string>{"grp-drivers"});
    EXPECT_EQ(store->get_group("grp-drivers").name(), "D2");
    EXPECT_TRUE(store->get_zones().empty());
    EXPECT_FALSE(store->get_group("grp-visitors").exists() || store->get_zone("zone-bay").exists());
    EXPECT_EQ(store->get_anchors().size(), 3u);
    EXPECT_EQ(store->get_tdoa_settings(), std::vector<std::string>{"prj-demo"});
    EXPECT_TRUE(store->get_tdoa_setting("prj-demo").get_masters().has_value());
}

TEST_F(updater_test, an_alarm_without_object_is_neither_updated_nor_removed) {
    start_and_wait_updated();
    platform->write("alarms_active.json", R"({"alarms": [
        {"uid": "alm-3", "alarm_name": "emergency_button", "acknowledged": 1, "obj_uid": "", "additional_info": {}},
        {"uid": "alm-4", "alarm_name": "zone_violation", "acknowledged": 0, "obj_uid": "", "additional_info": {}}]})");
    updater->update_all_alarms_req();
    ASSERT_TRUE(test::wait_until([this] { return redis.command({"GET", "alarms_refresh"}) == "(nil)"; }, 40s));

    EXPECT_EQ(store->get_alarms(), std::vector<std::string>{"alm-3"});
    EXPECT_EQ(std::make_tuple(store->get_alarm("alm-3").acknowledged(), store->get_alarm("alm-3").obj_uid()),
              std::make_tuple(0u, "to-worker-2"));
    EXPECT_FALSE(store->get_alarm("alm-1").exists() || store->get_alarm("alm-4").exists());
}

TEST_F(updater_test, licences_and_certifications_apply_only_when_both_endpoints_answer) {
    platform->remove("driver_licenses.json");  // answers 404
    start_and_wait_updated();
    EXPECT_EQ(redis.command({"GET", "vehicle_certification"}), "false");
    EXPECT_EQ(store->get_track_obj("to-forklift-1").vehicle_model(), std::nullopt);
    EXPECT_EQ(store->get_track_obj("to-worker-1").driver_licenses(), std::set<std::uint32_t>{});

    platform->write("driver_licenses.json", sample("driver_licenses.json"));
    updater->update_all_req();
    wait_updated();
    EXPECT_EQ(redis.command({"GET", "vehicle_certification"}), "true");
    EXPECT_EQ(store->get_track_obj("to-forklift-1").vehicle_model(), 3u);
    EXPECT_EQ(store->get_track_obj("to-worker-1").driver_licenses(), (std::set<std::uint32_t>{3}));
}

// Regression: a refresh changed the mirror without a word to delivery, which saw it at its
// next 5-s cycle; a completed alarm refresh left the alarms waiting that long. Each refresh
// of the complete mirror asks for a cycle, and none is asked for while it is incomplete.
TEST_F(updater_test, each_refresh_of_the_complete_mirror_asks_for_a_cycle) {
    zmq::context_t zmq_context(1);
    zmq::socket_t cycles(zmq_context, zmq::socket_type::pull);
    cycles.set(zmq::sockopt::linger, 0);
    cycles.bind("inproc://cycles");
    updater = std::make_shared<vyr::updater>(api, redis.host(), redis.port(), logger);
    updater->on_mirror_changed([&](bool _alarms) {
        EXPECT_EQ(updated_text(), "true");
        vyr::pipe::send_once(zmq_context, "inproc://cycles", _alarms ? vyr::cmd::alarms_refreshed : vyr::cmd::notified);
    });
    const std::tuple<const char*, std::function<void()>, std::uint8_t> refreshes[] = {
        {"first pass", [&] { updater->start(); }, vyr::cmd::notified},
        {"alarms", [&] { updater->update_all_alarms_req(); }, vyr::cmd::alarms_refreshed},
        {"one schedule", [&] { updater->update_object_req(vyr::mirror::tdoa_schedules, "sch-main"); }, vyr::cmd::notified},
        {"everything", [&] { updater->update_all_req(); }, vyr::cmd::notified},
    };
    for (const auto& [name, refresh, command] : refreshes) {
        SCOPED_TRACE(name);
        refresh();
        EXPECT_EQ(test::receive(cycles, 40s), std::string(1, static_cast<char>(command)));
    }
    updater.reset();
}

// Regression: the receiver wrote while the updater was still to empty the mirror, so what a
// device said in the first moments was wiped (a tag's announcement, and with it its zone
// alarm until its next heartbeat). The receiver here is up before the flush.
TEST_F(updater_test, an_announcement_before_the_start_up_flush_is_kept) {
    auto zmq_context = std::make_shared<zmq::context_t>(1);
    zmq::socket_t proxy(*zmq_context, zmq::socket_type::xpub);
    proxy.set(zmq::sockopt::linger, 0);
    proxy.bind("tcp://127.0.0.1:*");
    updater = std::make_shared<vyr::updater>(api, redis.host(), redis.port(), logger);
    c_receiver receiver(zmq_context, proxy.get(zmq::sockopt::last_endpoint), updater, redis.host(), redis.port(), logger);
    receiver.hold_frames_until([this] { return updater->mirror_emptied(); });
    receiver.start();
    std::optional<std::string> subscription;
    while ((subscription = test::receive(proxy, 20s)) && *subscription != "\x01" + notify_tag) {
    }
    ASSERT_TRUE(subscription);  // subscribed

    const std::string tag = "70B3D5FFFE0B0009";
    ASSERT_TRUE(proxy.send(zmq::buffer(notify_tag + R"({"object": "TO", "mac": ")" + tag + R"(", "action": "NA"})")));
    const auto announced = [&] { return store->get_win(tag).alarm_state() == vyr::context::alarm_states::NOT_CONFIGURED; };
    (void)test::wait_until(announced, 500ms);  // time for a receiver that does not hold it to write it
    updater->start();
    wait_updated();
    EXPECT_TRUE(test::wait_until(announced));
}

// ---- failures and retries ------------------------------------------------------------------

TEST_F(updater_test, a_failing_endpoint_is_retried_until_it_answers_and_earlier_work_is_not_repeated) {
    fail(s_zones_path, 500);
    start();
    ASSERT_TRUE(test::wait_until([this] { return count(s_zones_path) >= 3; }, 40s));
    EXPECT_NE(updated_text(), "true");
    EXPECT_EQ(count(s_sublocations_path), 0);

    platform->remove("control.json");
    wait_updated();
    for (const auto& path : {s_anchors_path, s_track_objs_path, s_groups_path, s_sublocations_path})
        EXPECT_EQ(count(path), 1) << path;
    EXPECT_EQ(store->get_zones().size(), 2u);
}

// Regression: every em_alm report and tag announcement wrote "updated" false, and with it
// all delivery at the site stopped until the alarms were read again (for ever while the
// platform failed). The mirror stays complete; requests join the pending refresh.
TEST_F(updater_test, em_alm_stream_does_not_pause_delivery) {
    start_and_wait_updated();
    const int anchors = count(s_anchors_path), groups = count(s_groups_path);
    const auto refresh = [this] { return redis.command({"GET", "alarms_refresh"}); };

    fail(s_alarms_path, 500);
    updater->update_all_alarms_req();
    ASSERT_TRUE(test::wait_until([&] { return refresh() == "failed"; }, 40s)) << refresh();
    for (int n = 0; n < 20; ++n)
        updater->update_all_alarms_req();
    EXPECT_EQ(std::make_tuple(updated_text(), refresh()), std::make_tuple("true", "failed"));

    platform->write("alarms_active.json", R"({"alarms": []})");
    platform->remove("control.json");
    ASSERT_TRUE(test::wait_until([&] { return refresh() == "(nil)"; }, 40s)) << refresh();
    EXPECT_TRUE(store->get_alarms().empty());
    EXPECT_EQ(std::make_tuple(updated_text(), count(s_anchors_path), count(s_groups_path)),
              std::make_tuple("true", anchors, groups));
}

// ---- single objects ----------------------------------------------------------------------

// Regression: a uid with a blank broke the request, a 404 (a schedule or setting deleted
// before it was fetched) failed too, and a failed request was retried every second at the head of the
// queue for ever, holding up every later one. Asked again while it backs off, it is one.
TEST_F(updater_test, a_bad_uid_a_404_or_a_failing_request_does_not_hold_up_the_queue) {
    start_and_wait_updated();
    ASSERT_TRUE(store->get_tdoa_setting("prj-demo").exists());
    platform->write("control.json", R"({"fail": {")" + s_schedules_path + R"(sch-legacy": 404, ")" + s_schedules_path +
                                        R"(sch-main": 503, "/api/private/tdoa/settings/prj-demo": 404}})");
    const std::string main = s_schedules_path + "sch-main";
    updater->update_object_req(vyr::mirror::tdoa_schedules, "sch-main");
    ASSERT_TRUE(test::wait_until([&] { return count(main) == 1; }, 40s));
    for (int n = 0; n < 10; ++n)
        updater->update_object_req(vyr::mirror::tdoa_schedules, "sch-main");
    for (const auto* uid : {"sch x", "sch-legacy"})
        updater->update_object_req(vyr::mirror::tdoa_schedules, uid);
    updater->update_object_req(vyr::mirror::tdoa_settings, "prj-demo");
    updater->update_object_req(vyr::mirror::alarms, "alm-1");
    ASSERT_TRUE(test::wait_until([this] { return count(s_alarms_path + "alm-1") == 1; }, 40s));
    EXPECT_EQ(count(s_schedules_path + "sch x"), 1);
    EXPECT_FALSE(store->get_tdoa_schedule("sch-legacy").exists());
    EXPECT_FALSE(store->get_tdoa_setting("prj-demo").exists());  // a setting answered 404 is gone too

    platform->write("tdoa_schedules.json",
                    R"({"tdoa_schedules": [{"uid": "sch-main", "tdoa_version": 5, "content": "0,a,b,7,0,2,0,1\r\n"}]})");
    platform->remove("control.json");
    ASSERT_TRUE(test::wait_until([this] { return store->get_tdoa_schedule("sch-main").tdoa_version() == 5; }, 40s));
    EXPECT_LE(count(main), 6);  // a few retries (1, 2, 4, 8 s apart), not one per request
    EXPECT_EQ(updated_text(), "true");  // single refreshes leave the flag alone
}

// Regression: an element that did not decode read as a deleted object, so one trackable
// object without "stationary" or with a short MAC was removed (and its device cleared),
// a bad schedule element deleted the stored schedule, and an answer of {} emptied a kind.
TEST_F(updater_test, undecodable_elements_keep_their_records_and_an_answer_without_the_collection_is_retried) {
    start_and_wait_updated();
    ASSERT_TRUE(mirror_shown(1));
    auto objects = sample("track_obj.json");
    for (const auto& [from, to] : {std::pair{"\"Worker-1\"", "\"W\""}, {"\"stationary\": false,", ""},
                                   {"\"Forklift-1\"", "\"F\""}, {"70B3D5FFFE0C0001", "70B3"}})
        objects.replace(objects.find(from), std::string(from).size(), to);
    platform->write("track_obj.json", objects);
    platform->write("tdoa_schedules.json", R"({"tdoa_schedules": [{"uid": "sch-main", "content": 5}]})");
    platform->write("groups.json", "{}");
    updater->update_all_req();
    ASSERT_TRUE(test::wait_until([this] { return count(s_groups_path) >= 3; }, 40s));
    EXPECT_NE(updated_text(), "true");
    EXPECT_TRUE(mirror_shown(0));

    platform->write("groups.json", sample("groups.json"));
    wait_updated();
    EXPECT_TRUE(mirror_shown(1));
    EXPECT_EQ(std::make_tuple(store->get_track_objs().size(), store->get_track_obj("to-worker-1").name(),
                              store->get_track_obj("to-forklift-1").name(), store->get_tdoa_schedules()),
              std::make_tuple(6u, "Worker-1", "Forklift-1", std::vector<std::string>{"sch-main"}));
    EXPECT_EQ(store->get_tdoa_schedule("sch-main").rows().size(), 3u);
    EXPECT_EQ(store->get_groups().size(), 2u);
}

// Regression: a 500 from the licence endpoint failed the whole trackable-object refresh,
// re-run every second with "updated" false, so nothing was delivered.
TEST_F(updater_test, a_failing_licence_endpoint_keeps_the_stored_licences_and_holds_up_nothing) {
    start_and_wait_updated();
    fail("/api/private/wsc/driver_licenses/", 500);
    updater->update_all_req();
    wait_updated();
    EXPECT_EQ(count(s_track_objs_path), 2);
    EXPECT_EQ(redis.command({"GET", "vehicle_certification"}), "true");
    EXPECT_EQ(store->get_track_obj("to-forklift-1").vehicle_model(), 3u);
    EXPECT_EQ(store->get_track_obj("to-worker-1").driver_licenses(), (std::set<std::uint32_t>{3}));
}

// ---- stopping ----------------------------------------------------------------------------

TEST_F(updater_test, stop_while_retrying_ends_the_thread_without_finishing_the_pass) {
    fail(s_groups_path, 500);
    start();
    ASSERT_TRUE(test::wait_until([this] { return count(s_groups_path) >= 2; }, 40s));
    updater->stop();
    EXPECT_TRUE(returns([this] { updater.reset(); }));
    const int groups = count(s_groups_path);
    platform->remove("control.json");
    EXPECT_NE(updated_text(), "true");
    EXPECT_EQ(count(s_groups_path), groups);
}

// Regression: the updater held its lock through every server request and retry pause, so
// a request operation (and with it the receiver thread) blocked while the platform hung.
// The receiver here is wired to an updater stuck in a request to the stand-in.
class updater_and_receiver : public test::receiver_fixture {
protected:
    void SetUp() override {
        platform.write("control.json", R"({"hang": [")" + s_anchors_path + R"("]})");
        m_platform_address = platform.address();
        // Long enough for the whole test to run inside the first request, short enough
        // not to wait long for it to give up.
        m_platform_timeouts = {2000ms, 1000ms};
        test::receiver_fixture::SetUp();
    }
    int count(const std::string& _value, const char* _member = "path") const { return counted(platform, _value, _member); }
    test::platform_server platform{{}, true};
};

TEST_F(updater_and_receiver, requests_and_the_receiver_do_not_wait_for_a_hanging_platform_and_stop_ends_the_request) {
    ASSERT_TRUE(test::wait_until([this] { return count("hang", "status") >= 1; }, 40s));
    ASSERT_TRUE(returns([this] {
        m_updater->update_object_req(vyr::mirror::tdoa_schedules, "sch-main");
        m_updater->update_all_alarms_req();
    }));
    EXPECT_EQ(redis({"GET", "alarms_refresh"}), "pending");

    // handle() returns once the receiver handled the frame.
    const std::string tag = "70B3D5FFFE0B0009";
    handle(R"(#notify{"object": "TO", "mac": ")" + tag + R"(", "action": "NA", "dev_id": "to-x"})");
    handle(R"(#notify{"object": "TDOA_SCHEDULE", "action": "updated", "plist": {"uid": "sch-main"}})");
    EXPECT_EQ(store().get_win(tag).alarm_state(), vyr::context::alarm_states::NOT_CONFIGURED);
    EXPECT_EQ(count("200", "status"), 0);  // the updater was stuck all along
    // All of it while the first request was on its way: nothing waited for it to give up.
    EXPECT_FALSE(logged("curl_easy_perform failed"));

    // Stopped inside the hanging request, it ends once that request gives up, and asks no more.
    m_receiver.reset();
    EXPECT_TRUE(returns([this] { m_updater.reset(); }));
    EXPECT_EQ(std::make_pair(count("hang", "status"), count(s_track_objs_path)), std::make_pair(1, 0));
}


// The updater and the receiver as in the service, against the stand-in, once the first
// pass is done: the platform's answers and the events meet.
class refresh_and_events : public test::receiver_fixture {
protected:
    void SetUp() override {
        m_platform_address = platform.address();
        test::receiver_fixture::SetUp();
        ASSERT_TRUE(test::wait_until([] { return redis({"GET", "updated"}) == "true"; }, 40s));
    }
    int count(const std::string& _path) const { return counted(platform, _path, "path"); }
    static std::string sample(const std::string& _file) {
        return test::read_file(test::platform_server::sample_project() + "/" + _file);
    }
    test::platform_server platform{{}, true};
};

// Regression: a full refresh took the platform's answer as the whole truth and wrote it
// after the events that came while it was on its way: an alarm raised a moment ago was
// removed, one cleared came back, an object renamed got its old name back and one deleted
// came back, until the next refresh of the kind. Here the stand-in answers each refresh
// late with what it held when asked, and the platform changes (and says so) meanwhile.
TEST_F(refresh_and_events, events_during_a_refresh_survive_it_and_the_mirror_ends_at_the_platform_state) {
    // The platform's new state: Worker-1 renamed, Worker-2 gone; alm-1 cleared, alm-9 raised.
    const auto edited = [](const std::string& _file, const std::string& _member, const auto& _edit) {
        Json::Value root = vyr::libs::core::json::try_parse(sample(_file)).result;
        Json::Value kept(Json::arrayValue);
        for (auto element : root[_member])
            if (_edit(element))
                kept.append(element);
        root[_member] = kept;
        return vyr::libs::core::json::to_string(root);
    };
    const std::string objects = edited("track_obj.json", "trackableObjects", [](Json::Value& _o) {
        if (_o["uid"] == "to-worker-1")
            _o["name"] = "Renamed";
        return _o["uid"] != "to-worker-2";
    });
    const std::string alarms = edited("alarms_active.json", "alarms", [](Json::Value& _a) {
        if (_a["uid"] == "alm-1") {
            _a["uid"] = "alm-9";
            _a["obj_uid"] = "to-forklift-2";
        }
        return true;
    });
    const std::string worker_1 =
        R"("plist": {"uid": "to-worker-1", "project_uid": "prj-demo", "name": "Renamed", "type": "person",
            "category": "Worker", "default_height": 120, "node": {"mac_address": "70B3D5FFFE0B0001"}}})";

    const auto object = [this](const std::string& _uid) { return store().get_track_obj(_uid); };
    const auto alarm_list = [this] { return sorted(store().get_alarms()); };
    struct scenario {
        const char* name;
        std::string path;
        std::function<void()> refresh;
        std::string file, content;
        std::vector<std::string> events;
        // What the events wrote: holds from their handling on.
        std::function<bool()> events_kept;
        std::vector<std::string> read_again;
    };
    const scenario scenarios[] = {
        {"alarms", s_alarms_path, [this] { m_updater->update_all_alarms_req(); }, "alarms_active.json", alarms,
         {R"(#alarm{"uid": "alm-1", "alarm_name": "zone_violation", "obj_uid": "to-worker-1", "state": "cleared"})",
          R"(#alarm{"uid": "alm-9", "alarm_name": "zone_violation", "obj_uid": "to-forklift-2", "state": "set",
             "acknowledged": 0, "additional_info": {"zone_uid": "zone-bay", "zone_alarm_level": 2, "text": "x"}})"},
         [&] { return alarm_list() == std::vector<std::string>{"alm-2", "alm-3", "alm-9"}; },
         {s_alarms_path + "alm-1", s_alarms_path + "alm-9"}},
        {"trackable objects", s_track_objs_path, [this] { m_updater->update_all_req(); }, "track_obj.json", objects,
         {R"(#notify{"object": "TRACKABLE_OBJECT", "action": "updated", )" + worker_1,
          R"(#notify{"object": "TRACKABLE_OBJECT", "action": "deleted", "plist": {"uid": "to-worker-2"}})"},
         [&] { return object("to-worker-1").name() == "Renamed" && !object("to-worker-2").exists(); },
         {s_track_objs_path + "to-worker-1", s_track_objs_path + "to-worker-2"}},
    };
    for (const auto& s : scenarios) {
        SCOPED_TRACE(s.name);
        platform.write("control.json", R"({"stale": {")" + s.path + R"(": 1.5}})");
        const int asked = count(s.path);
        s.refresh();
        // The answer is made: now the platform changes and tells.
        ASSERT_TRUE(test::wait_until([&] { return count(s.path) > asked; }, 40s));
        platform.write(s.file, s.content);
        for (const auto& event : s.events)
            handle(event);
        ASSERT_TRUE(s.events_kept());
        // Until the late answer is written and what the events wrote is read again, the
        // events' state holds throughout.
        const auto settled = [&] {
            for (const auto& path : s.read_again)
                if (count(path) == 0)
                    return false;
            return redis({"GET", "updated"}) == "true" && redis({"GET", "alarms_refresh"}) == "(nil)";
        };
        bool kept = true;
        ASSERT_TRUE(test::wait_until([&] { return !(kept = kept && s.events_kept()) || settled(); }, 40s));
        EXPECT_TRUE(kept);
        EXPECT_TRUE(returns([&] { return test::wait_until([&] { return s.events_kept(); }, 5s); }));
        platform.remove("control.json");
    }
    // The last read of each agrees with the platform's files.
    EXPECT_EQ(alarm_list(), (std::vector<std::string>{"alm-2", "alm-3", "alm-9"}));
    EXPECT_EQ(store().get_alarm("alm-9").obj_uid(), "to-forklift-2");
    EXPECT_EQ(sorted(store().get_track_objs()).size(), 5u);
}

// Every em_alm report read the whole alarm list again, and a tag answers each push that
// carries em_alm with one: at a site of thousands of tags the list was read back to back.
// A report that agrees with the mirror reads nothing; one that disagrees reads it once.
TEST_F(refresh_and_events, em_alm_reports_read_the_alarm_list_only_when_they_disagree_with_the_mirror) {
    const auto reads = [] { return vyr::metrics::platform_requests("alarms", true); };
    ASSERT_TRUE(test::wait_until([] { return redis({"GET", "alarms_refresh"}) == "(nil)"; }, 40s));
    const double before = reads();
    const auto report = [](const char* _mac, int _ts, const char* _state) {
        return std::string(R"(#param_p{"mac": ")") + _mac + R"(", "ts": )" + std::to_string(_ts) +
               R"(, "ms": 0, "plist": {"em_alm": {"state": ")" + _state + R"("}}})";
    };
    // Worker-1 has no button alarm, Worker-2 a set one (alm-3); forklift 2 has none either.
    const auto t0 = now_ms();
    for (int ts = 1000; ts < 1010; ++ts) {
        handle(report("70B3D5FFFE0B0001", ts, "CLEAR"));
        handle(report("70B3D5FFFE0B0002", ts, "SET"));
        handle(report("70B3D5FFFE0C0002", ts, "CLEAR"));
        ASSERT_EQ(redis({"GET", "alarms_refresh"}), "(nil)") << ts;
    }
    EXPECT_EQ(reads(), before);
    // The agreeing SET counts as a sighting of the pressed button now.
    EXPECT_GE(std::stoll(redis({"GET", "alarms:buttons:to-worker-2"})), t0);

    // The disagreeing one asks for one read (the updater may have made it already).
    handle(report("70B3D5FFFE0B0001", 1010, "SET"));
    ASSERT_TRUE(test::wait_until(
        [&] { return reads() > before && redis({"GET", "alarms_refresh"}) == "(nil)"; }, 40s));
    EXPECT_EQ(reads(), before + 1);
}

}  // namespace
