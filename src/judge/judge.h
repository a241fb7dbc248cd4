// The judge: whether a WIN holds what the project says, decided from plain values only.
// It takes a project snapshot, one WIN record as read whole and the time, and returns
// what differs (with the texts of what the device must hold and holds), the payloads to
// send and what to write back to the record. It does no I/O: the delivery cycle, the
// answers to parameter requests and the status tool call it, and nothing else decides
// whether a device is in step. A judge is made per snapshot and used by one thread;
// what it found worth a warning is collected for its caller to log once. The sync pass
// (the synchronisation slots and superframes of the TDOA anchors) asks it too.
#pragma once

#include <sys/time.h>

#include <json/json.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "context/project_snapshot.h"
#include "context/win_record.h"
#include "core/logger.h"
#include "judge/tdoa.h"
#include "parameters/parameters.h"

namespace vyr::judge {

// A WIN receives at most one push per this many whole seconds...
inline constexpr long s_sending_period_sec = 5;
// ...and no push once its sending counter is above this, until the device answers.
inline constexpr std::uint32_t s_max_sending_counter = 9;
// A parameter pushed this many times in a row with one value, the device answering each
// push still holding the same other value, is marked rejected on the WIN...
inline constexpr std::uint32_t s_refusals_to_reject = 10;
// ...and from then on pushed at most once per this many seconds, until the value to push
// or the device's value changes (or the device announces itself anew).
inline constexpr long s_rejected_period_sec = 60;
// A device whose latest report says its emergency button is pressed is told CLEAR only
// once an alarm list read after that report showed the button alarm cleared, or when the
// report is this old and no list since showed the alarm.
inline constexpr std::int64_t s_button_hold_ms = 30000;

// Whether at least `_period_sec` whole seconds lie between `_last` and `_now`; a `_last`
// after `_now` (the clock was set back) counts as passed.
bool sending_period_passed(const timeval& _now, const timeval& _last, long _period_sec = s_sending_period_sec);
// Whether `_win` may be pushed at `_now`: counter not above the limit, period passed.
bool may_push(const vyr::context::win_record& _win, const timeval& _now);

// How one parameter of a WIN stands against the project.
enum class param_standing { in_step, differs, not_supported };
struct param_check {
    vyr::parameter::parameter_t parameter = vyr::parameter::TXP;
    param_standing standing = param_standing::in_step;
    // What the device is to have and what it last reported, as JSON text (empty: nothing
    // reported). The value parameters always carry both (their must text is stored), a
    // differing parameter too (its push record compares them); the others only when the
    // checks were asked to describe.
    std::string must;
    std::string actual;
    // What goes out for it; built only when it differs.
    std::string payload;
    // Sent after the others, together with the other joint payloads in one command.
    bool joint = false;
    // `must` is stored as the WIN's must text of the parameter.
    bool must_stored = false;
    // The project value or its payload could not be read or built: the parameter is
    // neither pushed nor given a must text.
    bool failed = false;
};
// How a WIN stands: "rejects" when every parameter that differs is one the device keeps
// refusing.
enum class win_standing { in_step, differing, rejects };

// A warning about one subject, to be logged once per value (the caller keeps what it
// warned about): `text` empty means the subject is settled and may be forgotten.
struct notice {
    std::string subject;
    std::string value;
    std::string text;
    bool debug = false;
};

// What one delivery to a WIN decided.
struct verdict {
    std::vector<param_check> checks;
    win_standing standing = win_standing::in_step;
    // The frames to send, in order (each differing parameter by itself, the joint ones
    // together last).
    std::vector<std::string> frames;
    // Must texts that changed, and the push records of the parameters pushed or held back.
    std::vector<std::pair<vyr::parameter::parameter_t, std::string>> musts;
    std::vector<std::pair<vyr::parameter::parameter_t, vyr::context::win::push_record>> push_records;
};

class judge {
public:
    // What a judge works out from its snapshot alone: the sync pass's steps and the index of
    // each setting's active schedule. Kept by the caller for the next judge of the same
    // snapshot, since a delivery step makes several judges and a snapshot lasts for many
    // steps; a judge given plans of another snapshot makes its own. Plans point into their
    // snapshot, which the judge using them holds; one thread at a time uses them.
    class plans;
    // `_kept` as it is when made for `_snapshot` and `_push_schedule_to_destination`, else
    // new empty plans for them.
    static void keep_plans(std::shared_ptr<plans>& _kept,
                           const std::shared_ptr<const vyr::context::project_snapshot>& _snapshot,
                           bool _push_schedule_to_destination);

    // `_now` is the time the pass goes by (pacing, the emergency-button hold). With
    // `_push_schedule_to_destination` an anchor's schedule holds, beside the rows it is the
    // source of, the dimension-2 rows it is the destination of.
    judge(std::shared_ptr<const vyr::context::project_snapshot> _snapshot, bool _push_schedule_to_destination,
          const timeval& _now, vyr::libs::core::component_logger& _logger, std::shared_ptr<plans> _plans = {});

    const vyr::context::project_snapshot& snapshot() const noexcept { return *m_snapshot; }

    // The comparisons for `_win`, in sending order, with the payloads of what differs: the
    // anchor's schedule and network configuration, the clearing of a device no longer in
    // the project, or the tag's parameters (nothing for an asset tag).
    std::vector<param_check> check(const vyr::context::win_record& _win, bool _describe = false);
    // One delivery: the checks, and, when the pacing lets it be pushed (`_may_push`),
    // what goes out and the push records kept for it.
    verdict deliver(const vyr::context::win_record& _win, bool _may_push);
    static win_standing standing_of(const vyr::context::win_record& _win, const std::vector<param_check>& _checks);
    // Whether a differing parameter stands rejected for this very pair of values.
    static bool rejected(const vyr::context::win_record& _win, const param_check& _check);
    // The same by a push record as it will stand.
    static bool rejected(const vyr::context::win_record& _win, const param_check& _check,
                         const vyr::context::win::push_record& _record);

    // The payload answering a request for parameter `_number` of the WIN; nothing when
    // it cannot be built (or the parameter has no answer).
    std::optional<std::string> answer(const vyr::context::win_record& _win, std::uint32_t _number);

    // The parameters whose hashes judging the WIN with this MAC reads, by what the device
    // is in the project: for read_win_records.
    const std::vector<vyr::parameter::parameter_t>& reads(const std::string& _mac) const;

    // The sync pass (judge_sync.cpp): the MACs of the anchors it looks at, in the order it
    // takes them: those of the settings that autostart and are configured, masters,
    // distributors and the settings' other anchors.
    const std::vector<std::string>& sync_anchors();
    // The one frame the sync pass pushes to such an anchor's WIN now (`_win` read with
    // its SYNC_SLOT and SF hashes): the sync slot when the device does not report it, else
    // a master's superframe when it does not report that; nothing when the WIN does not
    // exist, is past its counter or its pacing, or holds what it must. At most one frame
    // per WIN and pass, so a master's superframe waits for the pass after its slot went.
    // A stored number of the record that does not read as one throws.
    std::optional<std::string> sync_push(const vyr::context::win_record& _win);

    // What was found worth a warning since the last call.
    std::vector<notice> take_notices() { return std::move(m_notices); }

    // The parameters' own parts of the judging, reached through their descriptions
    // (descriptions.cpp), with the judge's state.
    struct described;

private:
    const vyr::context::track_obj_data* object_of(const std::string& _mac) const;
    // A value-class parameter against its must value, as the device will hold it
    // (descriptions.cpp).
    template <class Param>
    param_check check_value(const vyr::context::win_record& _win, vyr::parameter::parameter_t _p,
                            const std::optional<Json::Value>& _must, bool _null_actual_is_kept);
    // Decides whether a differing parameter goes out now and updates its push record.
    bool push_due(const vyr::context::win_record& _win, const param_check& _check,
                  vyr::context::win::push_record& _record);
    std::optional<std::string> payload_of(vyr::parameter::parameter_t _p, const vyr::context::win_record& _win);

    // The value the device must hold, in the JSON form of its value class; nothing when it
    // cannot be worked out or delivered whole (warned).
    std::optional<Json::Value> must_json(vyr::parameter::parameter_t _p, const vyr::context::win_record& _win);
    std::optional<std::string> form_loc(const vyr::context::win_record& _win);
    std::optional<vyr::parameter::loc> must_loc(const vyr::context::track_obj_data& _object, std::string& _loss) const;
    bool button_pressed(const std::string& _object_uid, const vyr::context::win_record& _win);

    // The anchor side (judge_tdoa.cpp). The setting document of an anchor's project and
    // the index of its active version-2 schedule (null when it has none), the latter
    // worked out once per setting.
    vyr::context::tdoa_setting_view setting_of(const vyr::context::anchor_data& _anchor) const;
    // The setting's masters and distributors by anchor, indexed once per setting.
    const vyr::context::tdoa_setting_roles& roles_of(const vyr::context::tdoa_setting_view& _setting);
    const vyr::judge::tdoa::schedule_index* active_schedule_index(const std::string& _setting_uid);
    vyr::context::anchor_data anchor_by_uid(const std::string& _uid) const;
    // The partners of the anchor's schedule; null without an active version-2 schedule or
    // rows of the anchor. A broken row ends it (a notice).
    std::optional<Json::Value> tdoa_schedule_json(const std::string& _mac);
    // The answers to a request for TDOA_SCHD, SF and SYNC_SLOT.
    std::string form_tdoa_schd(const std::string& _mac);
    std::optional<std::string> form_sf(const std::string& _mac);
    std::optional<std::string> form_sync_slot(const std::string& _mac);
    // The superframe a master with this sfd holds by the setting (its active schedule's
    // and the setting's slot counts); nothing, noted, when the schedule is not active or
    // not mirrored, cannot be read or a number does not fit its field.
    std::optional<vyr::parameter::superframe> master_superframe(const std::string& _mac,
                                                                const vyr::context::anchor_data& _anchor,
                                                                const vyr::context::tdoa_setting_view& _setting,
                                                                std::uint32_t _sfd);
    // One step of the sync pass for an anchor: the sync slot it follows (`master_node_id`,
    // `slot`), or, `superframe` set, the superframe of master `master` (its own node id,
    // beaconing in `slot`) by the setting `setting` with this sfd. The pointers are into
    // the snapshot.
    struct sync_step {
        bool superframe = false;
        std::uint64_t master_node_id = 0;
        std::uint64_t slot = 0;
        const vyr::context::anchor_data* master = nullptr;
        const Json::Value* setting = nullptr;
        std::uint32_t sfd = 0;
    };
    // Works out the steps of every anchor once per judge.
    void plan_sync();
    void plan_setting(const std::string& _setting_uid, std::vector<std::string>& _others);
    void add_sync_step(const vyr::context::anchor_data& _anchor, sync_step _step);
    // The frame a step wants pushed to the WIN; nothing when the device holds it.
    std::optional<std::string> sync_slot_frame(const vyr::context::win_record& _win, const sync_step& _step);
    std::optional<std::string> superframe_frame(const vyr::context::win_record& _win, const sync_step& _step);
    // A notice about `_subject` of `_mac` for an error text (empty: settled).
    void note_error(const std::string& _mac, const std::string& _subject, const std::string& _error);

    void note_undeliverable(const std::string& _mac, vyr::parameter::parameter_t _p, const std::string& _value,
                            const std::string& _loss);

    const std::shared_ptr<const vyr::context::project_snapshot> m_snapshot;
    const bool m_push_schedule_to_destination;
    const timeval m_now;
    vyr::libs::core::component_logger& m_logger;
    std::vector<notice> m_notices;
    const std::shared_ptr<plans> m_plans;
};

class judge::plans {
public:
    plans(const std::shared_ptr<const vyr::context::project_snapshot>& _snapshot, bool _push_schedule_to_destination)
        : m_snapshot(_snapshot),
          m_version(_snapshot->version),
          m_push_schedule_to_destination(_push_schedule_to_destination) {}
    bool made_for(const std::shared_ptr<const vyr::context::project_snapshot>& _snapshot,
                  bool _push_schedule_to_destination) const {
        // A snapshot gone and another made at its address does not match (the weak pointer
        // locks to nothing), nor one patched in place to a later mirror version.
        return m_push_schedule_to_destination == _push_schedule_to_destination && m_snapshot.lock() == _snapshot &&
               m_version == _snapshot->version;
    }

private:
    friend class judge;
    const std::weak_ptr<const vyr::context::project_snapshot> m_snapshot;
    const std::uint64_t m_version;
    const bool m_push_schedule_to_destination;
    // By setting uid: the index of its active version-2 schedule, or none.
    std::map<std::string, std::optional<vyr::judge::tdoa::schedule_index>, std::less<>> m_schedules;
    // By setting document (its "values"): its masters and distributors by anchor.
    std::map<const Json::Value*, vyr::context::tdoa_setting_roles> m_roles;
    // The sync pass's steps by anchor MAC, in the order they are taken, and the MACs in the
    // order they first come; worked out at the first call.
    std::optional<std::map<std::string, std::vector<sync_step>>> m_sync_plan;
    std::vector<std::string> m_sync_anchors;
};

}  // namespace vyr::judge
