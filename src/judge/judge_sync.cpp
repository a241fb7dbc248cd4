// The sync pass of the judge: which synchronisation slot and superframe each TDOA anchor
// of the snapshot is to hold, and the one frame a pass pushes to its WIN. The steps of
// every anchor are worked out once from the settings; each WIN is then judged by itself,
// so the pass may read the records a chunk at a time.
#include <algorithm>
#include <set>

#include "judge/judge.h"

namespace vyr::judge {

using vyr::context::anchor_data;
using vyr::context::project_snapshot;
using vyr::context::tdoa_setting_view;
using vyr::context::win_record;
using namespace vyr::parameter;

const std::vector<std::string>& judge::sync_anchors() {
    if (!m_plans->m_sync_plan)
        plan_sync();
    return m_plans->m_sync_anchors;
}

void judge::plan_sync() {
    m_plans->m_sync_plan.emplace();
    // Every anchor that no setting taken so far names as master or distributor; sorted,
    // as are the settings, so that a pass takes them in a stable order.
    std::vector<std::string> others;
    for (const auto& entry : m_snapshot->anchors)
        others.push_back(entry.first);
    std::sort(others.begin(), others.end());
    std::vector<std::string> settings;
    for (const auto& entry : m_snapshot->tdoa_settings)
        settings.push_back(entry.first);
    std::sort(settings.begin(), settings.end());
    for (const auto& setting_uid : settings)
        plan_setting(setting_uid, others);
}

void judge::plan_setting(const std::string& _setting_uid, std::vector<std::string>& _others) {
    const auto* document = project_snapshot::find(m_snapshot->tdoa_settings, _setting_uid);
    const tdoa_setting_view setting(document);
    if (setting.get_autostart() != std::optional<bool>(true) ||
        setting.get_configured_state() != std::optional<bool>(true))
        return;
    const auto masters = setting.get_masters();
    const auto distributors = setting.get_distributors();
    if (!masters || !distributors)
        return;
    const auto take_out = [&_others](const std::string& _uid) {
        const auto at = std::find(_others.begin(), _others.end(), _uid);
        if (at != _others.end())
            _others.erase(at);
    };
    const auto anchor = [this](const std::string& _uid) { return project_snapshot::find(m_snapshot->anchors, _uid); };

    // Masters beacon in their own slot.
    std::set<std::string> master_uids;
    std::vector<std::pair<const anchor_data*, tdoa_setting_view::master>> present;
    for (const auto& master : *masters) {
        master_uids.insert(master.anchor_uid);
        take_out(master.anchor_uid);
        if (const auto* own = anchor(master.anchor_uid)) {
            present.emplace_back(own, master);
            add_sync_step(*own, {false, own->node_id, master.slot, nullptr, nullptr, 0});
        }
    }
    // Distributors follow their master's beacon; one whose master is not in the project
    // follows nobody known and is left alone.
    for (const auto& distributor : *distributors) {
        if (master_uids.count(distributor.anchor_uid) != 0)
            continue;
        take_out(distributor.anchor_uid);
        const auto* own = anchor(distributor.anchor_uid);
        if (!own)
            continue;
        std::uint64_t master_node_id = tdoa::s_no_master;
        if (distributor.master_uid) {
            const auto* master = anchor(*distributor.master_uid);
            if (!master)
                continue;
            master_node_id = master->node_id;
        }
        add_sync_step(*own, {false, master_node_id, distributor.slot, nullptr, nullptr, 0});
    }
    // The project's other anchors follow nobody.
    for (const auto& uid : _others) {
        const auto* own = anchor(uid);
        if (own && own->project_uid == _setting_uid)
            add_sync_step(*own, {false, tdoa::s_no_master, tdoa::s_no_slot, nullptr, nullptr, 0});
    }
    // The masters' superframes, once their sync slots are settled.
    for (const auto& [own, master] : present)
        add_sync_step(*own, {true, own->node_id, master.slot, own, document, master.sfd});
}

void judge::add_sync_step(const anchor_data& _anchor, sync_step _step) {
    if (_anchor.mac_addr.empty())
        return;
    auto& steps = (*m_plans->m_sync_plan)[_anchor.mac_addr];
    if (steps.empty())
        m_plans->m_sync_anchors.push_back(_anchor.mac_addr);
    steps.push_back(std::move(_step));
}

std::optional<std::string> judge::sync_push(const win_record& _win) {
    if (!m_plans->m_sync_plan)
        plan_sync();
    const auto steps = m_plans->m_sync_plan->find(_win.mac_addr());
    if (steps == m_plans->m_sync_plan->end() || !_win.exists() || _win.sending_counter() > s_max_sending_counter)
        return std::nullopt;
    // Every step is judged, so that what cannot be sent is noted; the first frame goes.
    std::optional<std::string> frame;
    for (const auto& step : steps->second) {
        auto wanted = step.superframe ? superframe_frame(_win, step) : sync_slot_frame(_win, step);
        if (!frame)
            frame = std::move(wanted);
    }
    if (frame && !sending_period_passed(m_now, _win.sending_time()))
        return std::nullopt;
    return frame;
}

std::optional<std::string> judge::sync_slot_frame(const win_record& _win, const sync_step& _step) {
    // Numbers beyond their fields are not sent (capped, they would read as "no master"
    // or "no slot").
    std::string misfit;
    const auto fitting = tdoa::fitting_sync_slot(_step.master_node_id, _step.slot, misfit);
    note_undeliverable(_win.mac_addr(), SYNC_SLOT, misfit, misfit);
    if (!fitting)
        return std::nullopt;
    const auto state = _win.parameter_state(SYNC_SLOT);
    if (state == UNKNOWN || (state == SUPPORTED && (_win.parameter_sync_slot_addr() != fitting->first ||
                                                    _win.parameter_sync_slot_slot() != fitting->second)))
        return tdoa::sync_slot_payload(fitting->first, fitting->second, 0);
    return std::nullopt;
}

std::optional<std::string> judge::superframe_frame(const win_record& _win, const sync_step& _step) {
    const auto sf_state = _win.parameter_state(SF);
    if (sf_state == NOT_SUPPORTED)
        return std::nullopt;
    // A master whose own sync slot cannot be sent, or which reports another, is not
    // synchronised in it: a superframe would set it beaconing in a slot it never got.
    std::string misfit;
    const auto own_slot = tdoa::fitting_sync_slot(_step.master_node_id, _step.slot, misfit);
    note_undeliverable(_win.mac_addr(), SYNC_SLOT, misfit, misfit);
    if (!own_slot)
        return std::nullopt;
    if (_win.parameter_state(SYNC_SLOT) == SUPPORTED &&
        (_win.parameter_sync_slot_addr() != own_slot->first || _win.parameter_sync_slot_slot() != own_slot->second))
        return std::nullopt;
    // The whole superframe is compared, so a changed sfd or slot count reaches a master
    // that already reports one.
    const auto must = master_superframe(_win.mac_addr(), *_step.master, tdoa_setting_view(_step.setting), _step.sfd);
    if (!must || (sf_state == SUPPORTED && tdoa::sf_matches(*must, _win.parameter_sf())))
        return std::nullopt;
    return tdoa::sf_payload(*must);
}

}  // namespace vyr::judge
