// Record writes seen from a second connection: a reader polling a record while another
// thread rewrites it finds one version or the other, never a mix or a gap; and a MAC
// index entry follows a tag moved between records whatever order the writes land in.
#include <atomic>
#include <functional>
#include <thread>
#include <tuple>

#include "context/win_record.h"
#include "store_fixture.h"

namespace {

using atomic_writes = store;

// A hash as sorted "field=value;" text, a set as sorted "member;" text.
std::string hash_snapshot(vyr::redis::connection& _redis, const std::string& _key) {
    const auto reply = _redis.command("HGETALL", _key);
    const auto array = reply.as_array();
    std::vector<std::string> items;
    for (std::size_t i = 0; i + 1 < array.size(); i += 2)
        items.push_back(array[i].to_string() + "=" + array[i + 1].to_string());
    std::string text;
    for (const auto& item : sorted(items))
        text += item + ";";
    return text;
}

std::string set_snapshot(vyr::redis::connection& _redis, const std::string& _key) {
    std::string text;
    for (const auto& member : sorted(vyr::context::common::members(_redis, _key)))
        text += member + ";";
    return text;
}

void write_track_obj(vyr::context::context& _context, int _version) {
    const bool a = _version == 0;
    _context.get_track_obj("o1").update(
        "project", "obj", "sub1", 1, 2, 3, "person", "MAC1",
        a ? std::vector<std::string>{"g1", "g2"} : std::vector<std::string>{"g3", "g4", "g5"}, "cat", false,
        a ? std::vector<std::string>{"aa", "bb"} : std::vector<std::string>{"cc"}, true, a ? "master" : "slave", a,
        a ? 500u : 600u, 90u, std::nullopt, std::string(a ? "1234" : "9"), std::nullopt, 200u, std::nullopt, !a);
}

TEST_F(atomic_writes, a_polling_reader_never_sees_a_record_partial) {
    vyr::redis::connection reader(s_server->host(), s_server->port(), vyr::redis::service_database);
    const auto hash = [](const std::string& _key) {
        return [_key](vyr::redis::connection& _r) { return hash_snapshot(_r, _key); };
    };
    const auto set = [](const std::string& _key) {
        return [_key](vyr::redis::connection& _r) { return set_snapshot(_r, _key); };
    };
    const auto alarm = [](vyr::context::context& _context, int _version) {
        _context.get_alarm("al1").update("zone_violation", _version, "obj1",
                                         _version ? std::optional<std::string>("z1") : std::nullopt, 3u,
                                         _version ? std::nullopt : std::optional<std::string>("Leave"), true);
    };
    const auto schedule = [](vyr::context::context& _context, int _version) {
        _context.get_tdoa_schedule("s1").update(
            _version, _version ? std::set<std::string>{"a,1,2,3,4", "b,1,2,5,6"}
                               : std::set<std::string>{"c,1,2,7,8", "d,1,2,9,9", "e,1,2,3,3"});
    };
    struct row {
        const char* name;
        std::function<void(vyr::context::context&, int)> write;
        std::function<std::string(vyr::redis::connection&)> probe;
    } const rows[] = {
        {"t2t_cfg", write_track_obj, hash("track_objs:o1:from_server:t2t_cfg")},
        {"groups", write_track_obj, set("track_objs:o1:from_server:groups")},
        {"no-alarm set", write_track_obj, set("track_objs:o1:from_server:t2t_no_alarm")},
        {"alarm index", alarm, set("alarms:objects:obj1")},
        {"alarm fields", alarm, hash("alarms:al1:from_server:fields")},
        {"schedule rows", schedule, set("tdoa_schedules:s1:from_server:rows")},
        // A whole read is one snapshot: the lists and the t2t role of one version.
        {"whole object", write_track_obj,
         [](vyr::redis::connection& _r) {
             const auto obj = vyr::context::track_obj(_r, "o1").read();
             std::string text = obj->t2t_cfg->role + ":" + std::to_string(*obj->t2t_cfg->distance);
             for (const auto& list : {obj->groups, obj->t2t_no_alarm})
                 for (const auto& item : sorted(list))
                     text += ";" + item;
             return text;
         }},
        {"whole schedule", schedule,
         [](vyr::redis::connection& _r) {
             const auto schedule = vyr::context::tdoa_schedule(_r, "s1").read();
             return std::to_string(schedule->tdoa_version) + ":" + std::to_string(schedule->rows.size()) + ":" +
                    std::to_string(vyr::context::tdoa_schedule::max_slot_num(schedule->rows));
         }},
    };
    constexpr int rewrites = 2000;
    for (const auto& r : rows) {
        r.write(*m_context, 0);
        const auto first = r.probe(reader);
        r.write(*m_context, 1);
        const auto second = r.probe(reader);
        ASSERT_FALSE(first.empty() || second.empty()) << r.name;

        std::atomic<bool> done{false};
        std::string writer_error;
        std::thread writer([&] {
            try {
                for (int i = 0; i < rewrites; ++i)
                    r.write(*m_context, i % 2);
            } catch (const std::exception& e) {
                writer_error = e.what();
            }
            done = true;
        });
        int reads = 0;
        std::vector<std::string> partial;
        while (!done) {
            auto seen = r.probe(reader);
            ++reads;
            if (seen != first && seen != second && partial.size() < 3) partial.push_back(std::move(seen));
        }
        writer.join();
        EXPECT_EQ(writer_error, "") << r.name;
        EXPECT_GT(reads, 0) << r.name;
        EXPECT_EQ(partial, std::vector<std::string>{}) << r.name << " versions: " << first << " | " << second;
    }
}

TEST_F(atomic_writes, a_tag_moved_between_records_keeps_its_mac_entry_whatever_order_the_writes_land_in) {
    // Record a takes the device of record b; b is rewritten with another MAC or removed.
    const auto write_track_obj = [this](const std::string& _uid, const std::string& _mac) {
        m_context->get_track_obj(_uid).update("p", "n", "sub1", 0, 0, 0, "person", _mac, {}, "c", false, {}, false, "",
                                              std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                              std::nullopt, std::nullopt, std::nullopt, std::nullopt);
    };
    const auto write_anchor = [this](const std::string& _uid, const std::string& _mac) {
        m_context->get_anchor(_uid).update("p", "n", "sub1", 0, 0, 0, "anchor", _mac, 1);
    };
    const auto owner_track_obj = [this] { return m_context->get_track_obj_by_mac("TAG").uid(); };
    const auto owner_anchor = [this] { return m_context->get_anchor_by_mac("TAG").uid(); };
    const auto remove_track_obj = [this] { m_context->get_track_obj("b").remove(); };
    const auto remove_anchor = [this] { m_context->get_anchor("b").remove(); };
    struct kind {
        const char* name;
        std::function<void(const std::string&, const std::string&)> write;
        std::function<void()> remove_b;
        std::function<std::string()> owner;
    } const kinds[] = {{"track_obj", write_track_obj, remove_track_obj, owner_track_obj},
                       {"anchor", write_anchor, remove_anchor, owner_anchor}};
    for (const auto& k : kinds)
        for (const bool b_removed : {false, true})
            for (const bool a_first : {true, false}) {
                redis({"FLUSHDB"});
                k.write("b", "TAG");
                const auto b_leaves = [&] { b_removed ? k.remove_b() : k.write("b", "OTHER"); };
                if (!a_first) b_leaves();
                k.write("a", "TAG");
                if (a_first) b_leaves();
                EXPECT_EQ(k.owner(), "a")
                    << k.name << (b_removed ? " removed" : " rewritten") << (a_first ? ", a first" : ", b first");
            }
}

TEST_F(atomic_writes, a_win_record_is_read_whole_in_one_round_trip) {
    auto& c = *m_context;
    auto win = c.get_win("W1");
    win.parameter_stationary(true);
    win.parameter_t2t_no_alarm({"ab"});
    win.alarm_state(vyr::context::alarm_states::SENT);
    win.current_text("hello");
    auto& redis = c.redis_context();
    const auto trips = redis.round_trips();
    const auto w = vyr::context::read_win_records(redis, {"W1"}).at(0).data();
    EXPECT_EQ(w.parameters.at("stationary").at("stationary") + w.t2t_no_alarm.at(0) + w.alarm.at("state") +
                  w.data.at("current_text") + std::to_string(w.parameters.size()),
              "trueABsenthello1");
    EXPECT_EQ(redis.round_trips() - trips, 1u);
    EXPECT_FALSE(vyr::context::read_win_records(redis, {"none"}).at(0).exists());
}

}  // namespace
