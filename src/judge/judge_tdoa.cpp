// The anchor side of the judge: the version-2 schedule an anchor must hold and the answers
// to its requests for the version-1 schedule, the superframe and the sync slot, worked out
// from the snapshot's anchors, settings and schedules by the rules of judge/tdoa.h.
#include "judge/judge.h"

#include "context/tdoa_schedule.h"
#include "core/exception.h"

namespace vyr::judge {

using vyr::context::anchor_data;
using vyr::context::project_snapshot;
using vyr::context::tdoa_setting_view;
using namespace vyr::parameter;

tdoa_setting_view judge::setting_of(const anchor_data& _anchor) const {
    return tdoa_setting_view(project_snapshot::find(m_snapshot->tdoa_settings, _anchor.project_uid));
}

const vyr::context::tdoa_setting_roles& judge::roles_of(const tdoa_setting_view& _setting) {
    auto& kept = m_plans->m_roles;
    auto found = kept.find(_setting.values());
    if (found == kept.end())
        found = kept.emplace(_setting.values(), vyr::context::tdoa_setting_roles(_setting)).first;
    return found->second;
}

const tdoa::schedule_index* judge::active_schedule_index(const std::string& _setting_uid) {
    auto kept = m_plans->m_schedules.find(_setting_uid);
    if (kept == m_plans->m_schedules.end()) {
        std::optional<tdoa::schedule_index> index;
        const auto* document = project_snapshot::find(m_snapshot->tdoa_settings, _setting_uid);
        const auto active = tdoa_setting_view(document).get_active_schedule_uid();
        const auto* schedule =
            active ? project_snapshot::find(m_snapshot->tdoa_schedules, std::string(*active)) : nullptr;
        if (schedule && schedule->tdoa_version == 2)
            index = tdoa::index_schedule(schedule->rows, m_push_schedule_to_destination);
        kept = m_plans->m_schedules.emplace(_setting_uid, std::move(index)).first;
    }
    return kept->second ? &*kept->second : nullptr;
}

anchor_data judge::anchor_by_uid(const std::string& _uid) const {
    const auto* anchor = project_snapshot::find(m_snapshot->anchors, _uid);
    if (!anchor)
        VYR_THROW("anchor " + _uid + " is not in the project");
    return *anchor;
}

void judge::note_error(const std::string& _mac, const std::string& _subject, const std::string& _error) {
    // Kept apart from the warning about what cannot be delivered whole, which shares the
    // parameter's subject: settling one must not make the other be logged again.
    m_notices.push_back({_mac + " " + _subject + " unreadable", _error,
                         _error.empty() ? std::string() : _subject + " of " + _mac + ": " + _error});
}

std::optional<Json::Value> judge::tdoa_schedule_json(const std::string& _mac) {
    const auto* anchor = m_snapshot->anchor_of(_mac);
    if (!anchor)
        return std::nullopt;
    const auto& subject = parameters.at(TDOA_SCHEDULE);
    const auto* index = active_schedule_index(anchor->project_uid);
    Json::Value partners(Json::arrayValue);
    std::string error;
    // A broken row ends the schedule: the rows before it are delivered.
    try {
        if (index)
            tdoa::append_partners(*index, m_snapshot->anchor_by_mac.at(_mac),
                                  [this](const std::string& _uid) { return anchor_by_uid(_uid); }, partners);
    } catch (const std::exception& _error) {
        error = _error.what();
    }
    note_error(_mac, subject, error);
    return partners.empty() ? Json::Value() : partners;
}

std::string judge::form_tdoa_schd(const std::string& _mac) {
    std::string entries;
    std::string left_out;
    std::string error;
    if (const auto* anchor = m_snapshot->anchor_of(_mac)) {
        const auto active = setting_of(*anchor).get_active_schedule_uid();
        const auto* schedule =
            active ? project_snapshot::find(m_snapshot->tdoa_schedules, std::string(*active)) : nullptr;
        if (schedule && schedule->tdoa_version == 1) {
            try {
                tdoa::append_v1_entries(
                    schedule->rows, m_snapshot->anchor_by_mac.at(_mac),
                    [this](const std::string& _uid) {
                        const auto* partner = project_snapshot::find(m_snapshot->anchors, _uid);
                        return partner ? partner->mac_addr : std::string();
                    },
                    entries, left_out);
            } catch (const std::exception& _error) {
                error = _error.what();
            }
        }
    }
    note_error(_mac, parameters.at(TDOA_SCHD), error);
    note_undeliverable(_mac, TDOA_SCHD, left_out, left_out);
    return payload_frame(TDOA_SCHD, entries);
}

std::optional<std::string> judge::form_sf(const std::string& _mac) {
    const auto* anchor = m_snapshot->anchor_of(_mac);
    if (!anchor)
        return std::nullopt;
    const auto setting = setting_of(*anchor);
    const auto master = roles_of(setting).master_of(m_snapshot->anchor_by_mac.at(_mac));
    if (!master)
        return payload_frame(SF, "");
    const auto value = master_superframe(_mac, *anchor, setting, master->sfd);
    if (!value)
        return std::nullopt;
    return tdoa::sf_payload(*value);
}

std::optional<superframe> judge::master_superframe(const std::string& _mac, const anchor_data& _anchor,
                                                   const tdoa_setting_view& _setting, std::uint32_t _sfd) {
    const auto active = _setting.get_active_schedule_uid();
    const auto* schedule = active ? project_snapshot::find(m_snapshot->tdoa_schedules, std::string(*active)) : nullptr;
    const auto unsettled = tdoa::superframe_unsettled(active, schedule != nullptr, _anchor.project_uid);
    m_notices.push_back(
        {_mac + " sf unsettled", unsettled,
         unsettled.empty() ? std::string() : "superframe of master " + _mac + " not sent: " + unsettled});
    if (!schedule)
        return std::nullopt;
    std::uint32_t schedule_max_slot = 0;
    std::string error;
    try {
        schedule_max_slot = vyr::context::tdoa_schedule::max_slot_num(schedule->rows);
    } catch (const std::exception& _error) {
        error = _error.what();
    }
    note_error(_mac, parameters.at(SF), error);
    if (!error.empty())
        return std::nullopt;
    std::string loss;
    auto value = tdoa::master_superframe(_anchor.node_id, _sfd, roles_of(_setting).max_slot(), schedule_max_slot, loss);
    note_undeliverable(_mac, SF, loss, loss);
    return value;
}

std::optional<std::string> judge::form_sync_slot(const std::string& _mac) {
    const auto* anchor = m_snapshot->anchor_of(_mac);
    if (!anchor)
        return std::nullopt;
    std::pair<std::uint64_t, std::uint64_t> slot;
    try {
        slot = tdoa::sync_slot_of(roles_of(setting_of(*anchor)), m_snapshot->anchor_by_mac.at(_mac),
                                  [this](const std::string& _uid) { return anchor_by_uid(_uid).node_id; });
    } catch (const std::exception&) {
        // Its master is not in the project: which slot it follows is unknown.
        return std::nullopt;
    }
    std::string misfit;
    const auto fitting = tdoa::fitting_sync_slot(slot.first, slot.second, misfit);
    note_undeliverable(_mac, SYNC_SLOT, misfit, misfit);
    if (!fitting)
        return std::nullopt;
    return tdoa::sync_slot_payload(fitting->first, fitting->second, 0);
}

}  // namespace vyr::judge
