// The project snapshot and the mirror version: every writer of what a snapshot holds
// raises the version, the version never returns to an earlier value, and a snapshot holds
// what the record classes read, in a few round trips however many records there are.
#include <functional>
#include <tuple>

#include "context/mirror_changes.h"
#include "context/project_snapshot.h"
#include "redis/pipeline.h"
#include "snapshot_dump.h"
#include "store_fixture.h"

namespace {

using vyr::context::context;

class snapshot : public store {
protected:
    std::uint64_t version() { return vyr::context::read_mirror_version(m_context->redis_context()); }
    std::shared_ptr<const vyr::context::project_snapshot> read() {
        return vyr::context::read_project_snapshot(m_context->redis_context());
    }
    // The names the journal entry of the version holds now, sorted.
    std::vector<std::string> journal() {
        return sorted(vyr::context::common::decode_changes(
                          redis({"GET", vyr::context::common::mirror_changes_key(version())}))
                          .value());
    }
    void write_object(const std::string& _uid, const std::string& _mac, const std::string& _name = "",
                      const std::vector<std::string>& _groups = {"g1", "g2"}) {
        m_context->get_track_obj(_uid).update("p", _name.empty() ? "name " + _uid : _name, "s1", 1, -2, 3, "person",
                                              _mac, _groups,
                                              "cat", true, {"aa"}, true, "master", true, 500u, std::nullopt,
                                              std::nullopt, std::string("12"), std::nullopt, 200u, std::nullopt,
                                              false);
    }
    // A small project of every kind.
    void seed() {
        m_context->get_anchor("a1").update("p", "anchor", "s1", 1, 2, 3, "tdoa", "MA1", 7);
        write_object("o1", "MO1");
        m_context->get_track_obj("o1").update_vehicle_model(4);
        m_context->get_track_obj("o1").update_driver_licenses({3, 9});
        write_object("o2", "MO2");
        m_context->get_group("g1").update("p", "group");
        m_context->get_zone("z1").update("p", 5);
        m_context->get_sublocation("s1").update("p", 2, 0, 0, 150);
        Json::Value setting;
        setting["values"]["autostart"] = true;
        m_context->get_tdoa_setting("t1").update(setting);
        m_context->get_tdoa_schedule("sc1").update(3, {"a,1,2,3,4"});
        m_context->get_alarm("al1").update("emergency_button", 0, "o1", std::nullopt, std::nullopt, std::string("x"),
                                           true);
        m_context->get_alarm("al1").delivered(true);
        vyr::context::note_button_seen(m_context->redis_context(), "o1", 1234);
        m_context->updated(true);
        m_context->alarms_refresh(context::refresh_state::failed);
    }
};

auto tie_of(const vyr::context::anchor_data& _a) {
    return std::tie(_a.project_uid, _a.name, _a.sublocation_uid, _a.type, _a.mac_addr, _a.position_x, _a.position_y,
                    _a.position_z, _a.node_id);
}
auto tie_of(const vyr::context::track_obj_data& _o) {
    const auto& t = *_o.t2t_cfg;
    return std::tie(_o.project_uid, _o.name, _o.sublocation_uid, _o.type, _o.mac_addr, _o.category, _o.stationary,
                    _o.position_x, _o.position_y, _o.default_height, _o.vehicle_model, _o.groups, _o.t2t_no_alarm,
                    _o.driver_licenses, t.role, t.alarm_back, t.buzzer, t.haptic, t.pin, t.distance, t.angle,
                    t.delay, t.alert_distance, t.safe_distance);
}
auto tie_of(const vyr::context::alarm_data& _a) {
    return std::tie(_a.alarm_name, _a.obj_uid, _a.zone_uid, _a.text, _a.acknowledged, _a.zone_alarm_level, _a.set,
                    _a.delivered);
}

TEST_F(snapshot, every_writer_raises_the_mirror_version) {
    seed();
    // The writes of many records sent in one pipeline, as the updater sends them.
    const auto pipelined = [](auto _record, const char* _uid, auto _write) {
        return [=](context& _c) {
            vyr::redis::batch writes;
            auto record = (_c.*_record)(_uid);
            record.write_into(writes, "");
            _write(record);
            vyr::context::common::send_record_writes(_c.redis_context(), writes, "test",
                                                     {decltype(record)::keys::change(_uid)});
        };
    };
    struct row {
        const char* name;
        std::vector<std::string> names;  // in its journal entry
        std::function<void(context&)> write;
    };
    const std::vector<row> rows = {
        {"anchor", {"anchor:a1"},
         [](context& _c) { _c.get_anchor("a1").update("p", "n", "s1", 1, 2, 3, "t", "MA9", 8); }},
        {"anchor in a pipeline", {"anchor:a1"},
         pipelined(&context::get_anchor, "a1", [](auto& _a) { _a.update("p", "n", "s1", 1, 2, 3, "t", "MA8", 8); })},
        {"object in a pipeline", {"track_obj:o1"}, pipelined(&context::get_track_obj, "o1", [](auto& _o) {
             _o.update("p", "n", "s1", 1, 2, 3, "t", "MO8", {}, "c", false, {}, false, "", std::nullopt, std::nullopt,
                       std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                       std::nullopt);
         })},
        {"object", {"track_obj:o1"}, [&](context&) { write_object("o1", "MO1"); }},
        {"vehicle model", {"track_obj:o1"}, [](context& _c) { _c.get_track_obj("o1").update_vehicle_model(6); }},
        {"vehicle model removed", {"track_obj:o1"}, [](context& _c) { _c.get_track_obj("o1").remove_vehicle_model(); }},
        {"licences", {"track_obj:o1"}, [](context& _c) { _c.get_track_obj("o1").update_driver_licenses({1}); }},
        {"licences removed", {"track_obj:o1"}, [](context& _c) { _c.get_track_obj("o1").remove_driver_licenses(); }},
        {"group", {"group:g1"}, [](context& _c) { _c.get_group("g1").update("p", "other"); }},
        {"zone", {"zone:z1"}, [](context& _c) { _c.get_zone("z1").update("p", 6); }},
        {"sublocation", {"sublocation:s1"}, [](context& _c) { _c.get_sublocation("s1").update("p", 2, 0, 0, 0); }},
        {"setting", {"tdoa_setting:t1"}, [](context& _c) { _c.get_tdoa_setting("t1").update(Json::Value(1)); }},
        {"schedule", {"tdoa_schedule:sc1"}, [](context& _c) { _c.get_tdoa_schedule("sc1").update(4, {}); }},
        {"alarm", {"alarm:al1", "track_obj:o1", "track_obj:o2"},
         [](context& _c) { _c.get_alarm("al1").update("x", 1, "o2", {}, {}, {}, false); }},
        {"alarm delivered", {"alarm:al1"}, [](context& _c) { _c.get_alarm("al1").delivered(false); }},
        {"button seen", {"track_obj:o1"},
         [](context& _c) { vyr::context::note_button_seen(_c.redis_context(), "o1", 1235); }},
        {"updated", {"*"}, [](context& _c) { _c.updated(false); }},
        {"certification", {"*"}, [](context& _c) { _c.vehicle_certification(true); }},
        // The flag concerns no device by itself: the alarms written name their objects.
        {"alarm refresh", {}, [](context& _c) { _c.alarms_refresh(context::refresh_state::pending); }},
        {"alarm refresh none", {}, [](context& _c) { _c.alarms_refresh(context::refresh_state::none); }},
        {"anchor removed", {"anchor:a1"}, [](context& _c) { _c.get_anchor("a1").remove(); }},
        {"object removed", {"track_obj:o1"}, [](context& _c) { _c.get_track_obj("o1").remove(); }},
        {"group removed", {"group:g1"}, [](context& _c) { _c.get_group("g1").remove(); }},
        {"zone removed", {"zone:z1"}, [](context& _c) { _c.get_zone("z1").remove(); }},
        {"sublocation removed", {"sublocation:s1"}, [](context& _c) { _c.get_sublocation("s1").remove(); }},
        {"setting removed", {"tdoa_setting:t1"}, [](context& _c) { _c.get_tdoa_setting("t1").remove(); }},
        {"schedule removed", {"tdoa_schedule:sc1"}, [](context& _c) { _c.get_tdoa_schedule("sc1").remove(); }},
        {"alarm removed", {"alarm:al1", "track_obj:o2"}, [](context& _c) { _c.get_alarm("al1").remove(); }},
        {"flush", {"*"}, [](context& _c) { _c.flush(); }},
    };
    for (const auto& [name, names, write] : rows) {
        const auto before = version();
        write(*m_context);
        EXPECT_GT(version(), before) << name;
        EXPECT_EQ(journal(), names) << name;
    }
    // A button time no later than the one kept writes nothing and raises nothing.
    vyr::context::note_button_seen(m_context->redis_context(), "o2", 50);
    const auto kept = version();
    vyr::context::note_button_seen(m_context->redis_context(), "o2", 49);
    EXPECT_EQ(version(), kept);
}

TEST_F(snapshot, the_version_never_returns_to_an_earlier_value) {
    EXPECT_EQ(version(), 0u);
    m_context->updated(true);
    const auto first = version();
    // Started from the writer's time in microseconds, not from 1.
    EXPECT_GT(first, std::stoull(lines(redis({"TIME"}))[0]) * 1000000 - 60000000);
    m_context->updated(false);
    EXPECT_EQ(version(), first + 1);
    for (const auto& lose : std::vector<std::function<void()>>{[&] { m_context->flush(); },
                                                               [&] { redis({"DEL", "mirror_version"}); }}) {
        const auto before = version();
        lose();
        m_context->updated(true);
        EXPECT_GT(version(), before);
    }
}

TEST_F(snapshot, holds_what_the_records_read) {
    seed();
    const auto taken = read();
    EXPECT_EQ(taken->version, version());
    EXPECT_TRUE(taken->updated);
    EXPECT_FALSE(taken->vehicle_certification);
    EXPECT_EQ(taken->alarms_refresh, vyr::context::alarm_refresh::failed);
    EXPECT_EQ(tie_of(taken->anchors.at("a1")), tie_of(*m_context->get_anchor("a1").read()));
    for (const auto* uid : {"o1", "o2"})
        EXPECT_EQ(tie_of(taken->track_objs.at(uid)), tie_of(*m_context->get_track_obj(uid).read())) << uid;
    EXPECT_EQ(taken->track_obj_of("MO2")->name, "name o2");
    EXPECT_EQ(taken->anchor_of("MA1")->node_id, 7u);
    EXPECT_EQ(tie_of(taken->alarms.at("al1")), tie_of(*m_context->get_alarm("al1").read()));
    EXPECT_EQ(taken->alarms_of_object.at("o1"), std::vector<std::string>{"al1"});
    EXPECT_EQ(taken->buttons_seen.at("o1"), 1234);
    EXPECT_EQ(taken->groups.at("g1").name, "group");
    EXPECT_EQ(taken->zones.at("z1").zone_id, 5u);
    EXPECT_EQ(taken->sublocations.at("s1").offset_z, 150);
    EXPECT_TRUE(taken->tdoa_settings.at("t1")["values"]["autostart"].asBool());
    EXPECT_EQ(taken->tdoa_schedules.at("sc1").rows, std::set<std::string>{"a,1,2,3,4"});
    EXPECT_TRUE(taken->unreadable.empty());
    // A write after the read leaves the snapshot older than the mirror.
    m_context->get_zone("z1").update("p", 6);
    EXPECT_NE(taken->version, version());
}

TEST_F(snapshot, an_unreadable_record_is_listed_and_left_out) {
    seed();
    redis({"HDEL", "anchors:a1:from_server:fields", "node_id"});
    redis({"HSET", "track_objs:o2:from_server:fields", "position_x", "west"});
    redis({"SET", "tdoa_settings:t1", "{not json"});
    const auto taken = read();
    EXPECT_EQ(sorted(taken->unreadable), (std::vector<std::string>{"a1", "o2"}));
    EXPECT_EQ(taken->anchors.count("a1") + taken->track_objs.count("o2"), 0u);
    EXPECT_EQ(taken->track_objs.count("o1"), 1u);
    EXPECT_TRUE(taken->tdoa_settings.at("t1").isNull());
    s_server->stop();
    EXPECT_THROW(read(), vyr::redis::connection_error);
    s_server->start();
}

// 12,000 groups take twelve pipelines in the second round: thirteen round trips in all.
TEST_F(snapshot, many_records_take_a_few_round_trips) {
    vyr::redis::batch writes;
    std::vector<std::string> uids{"SADD", "groups:set"};
    for (int i = 0; i < 12000; ++i) {
        uids.push_back("g" + std::to_string(i));
        writes.add("HMSET", "groups:" + uids.back() + ":from_server:fields", "project_uid", "p", "name", uids.back());
    }
    writes.add_argv(uids);
    auto& redis = m_context->redis_context();
    vyr::redis::pipeline(redis, writes).exec();
    const auto trips = redis.round_trips();
    const auto taken = read();
    EXPECT_EQ(redis.round_trips(), trips + 13);  // the listing, then pipelines of 1,000
    ASSERT_EQ(taken->groups.size(), 12000u);
    EXPECT_EQ(taken->groups.at("g11999").name, "g11999");
}

TEST_F(snapshot, the_journal_names_what_changed_since_a_version) {
    seed();
    auto& redis_context = m_context->redis_context();
    const auto since = version();
    m_context->get_group("g:1 x").update("p", "spaced");
    m_context->get_zone("z1").update("p", 7);
    m_context->get_group("g:1 x").update("p", "again");
    const auto changes = vyr::context::read_mirror_changes(redis_context, since);
    EXPECT_TRUE(changes.complete);
    EXPECT_EQ(changes.version, since + 3);
    EXPECT_EQ(changes.names, (std::vector<std::string>{"group:g:1 x", "zone:z1"}));
    const auto none = vyr::context::read_mirror_changes(redis_context, version());
    EXPECT_TRUE(none.complete && none.names.empty());
    EXPECT_FALSE(vyr::context::read_mirror_changes(redis_context, 0).complete);
    // Whatever leaves a version without its entry makes the changes incomplete.
    const std::vector<std::pair<const char*, std::function<void()>>> gaps = {
        {"a raise that keeps no journal", [&] { redis({"INCR", "mirror_version"}); }},
        {"a flush", [&] { m_context->flush(); }},
        {"a version gone back", [&] { redis({"SET", "mirror_version", "9"}); }},
    };
    for (const auto& [name, spoil] : gaps) {
        const auto kept = version();
        spoil();
        m_context->updated(true);
        const auto read = vyr::context::read_mirror_changes(redis_context, kept);
        EXPECT_FALSE(read.complete) << name;
        EXPECT_TRUE(read.names.empty()) << name;
    }
}

// A snapshot patched from the journal after each write equals one read whole.
TEST_F(snapshot, a_patched_snapshot_equals_one_read_whole) {
    seed();
    m_context->get_anchor("a2").update("p", "anchor 2", "s1", 4, 5, 6, "tdoa", "MA2", 8);
    auto& redis_context = m_context->redis_context();
    // An anchor left without a mandatory field by a writer that names it.
    const auto spoil_anchor = [&](context&) {
        vyr::redis::batch writes;
        writes.add("HDEL", "anchors:a1:from_server:fields", "node_id");
        vyr::context::common::raise_mirror_version(writes, {"anchor:a1"});
        vyr::redis::pipeline(redis_context, writes).exec();
    };
    const std::vector<std::pair<const char*, std::function<void(context&)>>> rows = {
        {"object renamed", [&](context&) { write_object("o1", "MO1", "renamed"); }},
        {"object's MAC changed", [&](context&) { write_object("o2", "MO7"); }},
        {"anchor's MAC changed",
         [](context& _c) { _c.get_anchor("a1").update("p", "a", "s1", 1, 2, 3, "t", "MA5", 7); }},
        {"MAC taken over", [&](context&) { write_object("o3", "MO1", "", {"g:1 x"}); }},
        {"groups changed", [&](context&) { write_object("o2", "MO7", "", {"g2"}); }},
        {"group added", [](context& _c) { _c.get_group("g:1 x").update("p", "spaced"); }},
        {"alarm set", [](context& _c) { _c.get_alarm("al2").update("zone", 0, "o2", {"z1"}, 3u, {}, true); }},
        {"alarm moved and cleared",
         [](context& _c) { _c.get_alarm("al2").update("zone", 0, "o3", {}, {}, {}, false); }},
        {"button seen", [](context& _c) { vyr::context::note_button_seen(_c.redis_context(), "o2", 99); }},
        {"made unreadable", spoil_anchor},
        {"readable again", [](context& _c) { _c.get_anchor("a1").update("p", "a", "s1", 1, 2, 3, "t", "MA6", 7); }},
        {"object removed with its alarm", [](context& _c) { _c.get_track_obj("o1").remove(); }},
        {"alarm removed", [](context& _c) { _c.get_alarm("al1").remove(); }},
        {"kinds without devices", [](context& _c) {
             _c.get_zone("z1").update("p", 9);
             _c.get_sublocation("s1").remove();
             _c.get_tdoa_setting("t2").update(Json::Value("x"));
             _c.get_tdoa_schedule("sc1").update(1, {"r"});
         }},
        {"flags", [](context& _c) { _c.vehicle_certification(true); }},
    };
    auto current = read();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        rows[i].second(*m_context);
        const auto changes = vyr::context::read_mirror_changes(redis_context, current->version);
        ASSERT_TRUE(changes.complete) << rows[i].first;
        // Every other row the caller keeps the old snapshot: it is copied, not changed.
        const auto kept = i % 2 ? current : nullptr;
        const auto before = test::dump(*current);
        const auto trips = redis_context.round_trips();
        current = vyr::context::patch_snapshot(redis_context, std::move(current), changes);
        EXPECT_LE(redis_context.round_trips(), trips + 2) << rows[i].first;
        EXPECT_EQ(test::dump(*current), test::dump(*read())) << rows[i].first;
        if (kept)
            EXPECT_EQ(test::dump(*kept), before) << rows[i].first;
        else
            EXPECT_NE(before, test::dump(*current)) << rows[i].first;
    }
    EXPECT_EQ(current->unreadable, std::vector<std::string>{});
}

TEST(devices_concerned, by_what_changed) {
    using vyr::context::project_snapshot;
    const auto object = [](const char* _mac, std::vector<std::string> _groups) {
        vyr::context::track_obj_data data;
        data.mac_addr = _mac;
        data.groups = std::move(_groups);
        return data;
    };
    const auto alarm = [](const char* _obj_uid, const char* _zone_uid) {
        vyr::context::alarm_data data;
        data.obj_uid = _obj_uid;
        data.zone_uid = _zone_uid;
        return data;
    };
    project_snapshot before;
    before.anchors["a1"].mac_addr = "MA1";
    before.anchor_by_mac = {{"MA1", "a1"}, {"MA2", "a2"}};
    before.track_objs = {{"o1", object("MO1", {"g1"})}, {"o2", object("MO2", {"g2"})}, {"o3", object("MO3", {})}};
    before.alarms["al1"] = alarm("o1", "z1");
    before.alarms_of_object["o2"] = {"al1"};
    project_snapshot after = before;
    after.track_objs["o1"].mac_addr = "MO9";
    after.track_objs["o3"].groups = {"g1"};
    after.alarms["al2"] = alarm("o3", "z1");
    after.anchors["a3"].mac_addr = "MA3";

    using macs = std::optional<std::vector<std::string>>;
    const std::vector<std::pair<std::vector<std::string>, macs>> rows = {
        {{}, macs(std::vector<std::string>{})},
        {{"track_obj:o1"}, macs{{"MO1", "MO9"}}},
        {{"track_obj:gone"}, macs(std::vector<std::string>{})},
        {{"group:g1"}, macs{{"MO1", "MO3", "MO9"}}},
        {{"alarm:al1"}, macs{{"MO1", "MO2", "MO9"}}},
        {{"zone:z1"}, macs{{"MO1", "MO2", "MO3", "MO9"}}},
        {{"anchor:a1"}, macs{{"MA1", "MA2", "MA3"}}},
        {{"track_obj:o2", "group:g2"}, macs{{"MO2"}}},
        {{"*"}, std::nullopt},
        {{"sublocation:s1"}, std::nullopt},
        {{"tdoa_setting:p"}, std::nullopt},
        {{"tdoa_schedule:x"}, std::nullopt},
        {{"track_obj:o1", "some_kind:x"}, std::nullopt},
        {{"no kind"}, std::nullopt},
    };
    for (const auto& [names, expected] : rows) {
        auto found = vyr::context::devices_concerned(before, after, names);
        if (found)
            found = sorted(*found);
        EXPECT_EQ(found, expected) << ::testing::PrintToString(names);
    }
}

}  // namespace
