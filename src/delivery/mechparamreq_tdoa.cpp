// TDOA configuration of the anchors, part of the parameter-request mechanism: the
// version-1 schedule payload (TDOA_SCHD), the version-2 schedule value (TDOA_SCHEDULE),
// the synchronisation slot (SYNC_SLOT), the superframe (SF) and the per-cycle push of
// synchronisation slots and superframes (lsb). Here the records are read; the rules are
// judge/tdoa's, which the judge applies to a snapshot alike. Everything runs on the
// mechanism's thread with its own Redis context.
#include <algorithm>
#include <set>
#include <utility>
#include <vector>

#include "context/context.h"
#include "delivery/mechparamreq.h"
#include "delivery/sender.h"
#include "judge/tdoa.h"

using vyr::context::win;
using namespace vyr::parameter;
using vyr::parameter::superframe;

namespace {

using namespace vyr::judge;

// The MAC text of an anchor; empty when the anchor does not exist.
std::string mac_of(const vyr::context::anchor& _anchor) { return _anchor.exists() ? _anchor.mac_addr() : ""; }

// The WIN of an anchor when the cycle may push to it: it exists and its counter is not
// above the limit.
std::optional<win> pushable_win(vyr::context::context& _context, const vyr::context::anchor& _anchor) {
    auto record = _context.get_win(_anchor.mac_addr());
    if (!record.exists() || record.sending_counter() > c_mech_param_req::s_max_sending_counter)
        return std::nullopt;
    return record;
}

}  // namespace

// ---- synchronisation slot ------------------------------------------------------------------

std::string c_mech_param_req::form_sync_slot(std::uint32_t _master_node_id, std::uint32_t _beacon_slot_number,
                                             std::uint32_t _flags) {
    return tdoa::sync_slot_payload(_master_node_id, _beacon_slot_number, _flags);
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> c_mech_param_req::fitting_sync_slot(
    const std::string& _mac_address, std::uint64_t _master_node_id, std::uint64_t _slot) {
    std::string misfit;
    auto fitting = tdoa::fitting_sync_slot(_master_node_id, _slot, misfit);
    note_undeliverable(_mac_address, SYNC_SLOT, misfit, misfit);
    return fitting;
}

std::optional<std::string> c_mech_param_req::form_sync_slot_by_mac(const std::string& _mac_address) {
    try {
        const auto anchor = m_context->get_anchor_by_mac(_mac_address);
        const auto setting = m_context->get_tdoa_setting(anchor.project_uid());
        const auto [master_node_id, slot] =
            tdoa::sync_slot_of(setting.view(), anchor.uid(),
                               [this](const std::string& _uid) { return m_context->get_anchor(_uid).node_id(); });
        if (const auto fitting = fitting_sync_slot(_mac_address, master_node_id, slot))
            return form_sync_slot(fitting->first, fitting->second, 0);
    } catch (const std::exception&) {
        log_unless_connection_lost(VYR_HERE);
    }
    return std::nullopt;
}

// ---- superframe ----------------------------------------------------------------------------

std::optional<superframe> c_mech_param_req::master_superframe(const vyr::context::anchor& _anchor,
                                                             const vyr::context::tdoa_setting& _setting,
                                                             std::uint32_t _sfd) {
    const auto& mac = _anchor.mac_addr();
    const auto unsettled_key = mac + " sf unsettled";
    const auto active = _setting.get_active_schedule_uid();
    std::optional<vyr::context::tdoa_schedule> schedule;
    if (active)
        schedule.emplace(m_context->get_tdoa_schedule(std::string(*active)));
    const auto unsettled = tdoa::superframe_unsettled(active, schedule && schedule->exists(), _anchor.project_uid());
    if (!unsettled.empty()) {
        if (first_notice(unsettled_key, unsettled))
            m_logger.warning("superframe of master %1% not sent: %2%") % mac % unsettled;
        return std::nullopt;
    }
    forget(unsettled_key);
    const auto schedule_max_slot = schedule->max_slot_num();
    std::string loss;
    auto value = tdoa::master_superframe(_anchor.node_id(), _sfd, _setting.get_max_slot(), schedule_max_slot, loss);
    note_undeliverable(mac, SF, loss, loss);
    return value;
}

std::optional<std::string> c_mech_param_req::form_sf(const std::string& _mac_address) {
    try {
        const auto anchor = m_context->get_anchor_by_mac(_mac_address);
        const auto setting = m_context->get_tdoa_setting(anchor.project_uid());
        const auto master = setting.get_master(anchor.uid());
        if (!master)
            return payload_frame(SF, "");
        if (const auto value = master_superframe(anchor, setting, master->sfd))
            return tdoa::sf_payload(*value);
    } catch (const std::exception&) {
        log_unless_connection_lost(VYR_HERE);
    }
    return std::nullopt;
}

// ---- version-1 schedule --------------------------------------------------------------------

std::string c_mech_param_req::form_tdoa_schd(const std::string& _mac_address) {
    std::string entries;
    // Rows whose numbers do not fit their fields, warned once per anchor.
    std::string left_out;
    try {
        const auto anchor = m_context->get_anchor_by_mac(_mac_address);
        const auto setting = m_context->get_tdoa_setting(anchor.project_uid());
        const auto active = setting.get_active_schedule_uid();
        if (active) {
            const auto schedule = m_context->get_tdoa_schedule(std::string(*active));
            if (schedule.tdoa_version() == 1)
                tdoa::append_v1_entries(
                    schedule.rows(), anchor.uid(),
                    [this](const std::string& _uid) { return mac_of(m_context->get_anchor(_uid)); }, entries, left_out);
        }
    } catch (const std::exception&) {
        log_unless_connection_lost(VYR_HERE);
    }
    note_undeliverable(_mac_address, TDOA_SCHD, left_out, left_out);
    return payload_frame(TDOA_SCHD, entries);
}

// ---- version-2 schedule --------------------------------------------------------------------

std::shared_ptr<const tdoa::schedule_index> c_mech_param_req::active_schedule_index(const std::string& _setting_uid) {
    if (m_cycle_schedules) {
        const auto kept = m_cycle_schedules->find(_setting_uid);
        if (kept != m_cycle_schedules->end())
            return kept->second;
    }
    std::shared_ptr<const tdoa::schedule_index> index;
    const auto setting = m_context->get_tdoa_setting(_setting_uid);
    const auto active = setting.get_active_schedule_uid();
    if (active) {
        const auto schedule = m_context->get_tdoa_schedule(std::string(*active));
        if (schedule.exists() && schedule.tdoa_version() == 2)
            index = std::make_shared<const tdoa::schedule_index>(
                tdoa::index_schedule(schedule.rows(), m_push_schedule_to_destination));
    }
    if (m_cycle_schedules)
        m_cycle_schedules->emplace(_setting_uid, index);
    return index;
}

vyr::context::anchor_data c_mech_param_req::partner_anchor(const std::string& _uid) {
    const auto anchor = m_context->get_anchor(_uid);
    vyr::context::anchor_data partner;
    partner.node_id = anchor.node_id();
    partner.position_x = anchor.position_x();
    partner.position_y = anchor.position_y();
    partner.position_z = anchor.position_z();
    return partner;
}

std::optional<Json::Value> c_mech_param_req::tdoa_schedule_to_json(const std::string& _mac_address) {
    Json::Value partners(Json::arrayValue);
    std::shared_ptr<const tdoa::schedule_index> index;
    std::string uid;
    try {
        const auto anchor = m_context->get_anchor_by_mac(_mac_address);
        uid = anchor.uid();
        index = active_schedule_index(anchor.project_uid());
        if (!index)
            return Json::Value();
    } catch (const std::exception&) {
        log_unless_connection_lost(VYR_HERE);
        return std::nullopt;
    }
    // A broken row is logged and ends the schedule: the rows before it are delivered.
    try {
        tdoa::append_partners(*index, uid, [this](const std::string& _uid) { return partner_anchor(_uid); }, partners);
    } catch (const std::exception&) {
        log_unless_connection_lost(VYR_HERE);
    }
    if (partners.empty())
        return Json::Value();
    return partners;
}

Json::Value c_mech_param_req::tdoa_schedule_row_to_json(const std::string& _anchor_uid, const std::string& _row) {
    const auto row = tdoa::read_schedule_row(_row);
    if (!tdoa::row_of_anchor(row, _anchor_uid, m_push_schedule_to_destination))
        return Json::Value();
    return tdoa::schedule_partner(_anchor_uid, row, [this](const std::string& _uid) { return partner_anchor(_uid); });
}

// ---- the per-cycle push of synchronisation slots and superframes ---------------------------

void c_mech_param_req::lsb() {
    std::vector<std::string> non_distributors = m_context->get_anchors();
    // The anchors' WIN records are read in one go.
    std::vector<std::string> macs;
    for (const auto& uid : non_distributors) {
        try {
            if (auto mac = m_context->get_anchor(uid).mac_addr(); !mac.empty())
                macs.push_back(std::move(mac));
        } catch (const vyr::context::field_missing&) {
            // The pass below logs what it cannot read.
        }
    }
    with_wins(macs, true, [&] { sync_anchors(non_distributors); });
}

void c_mech_param_req::sync_anchors(std::vector<std::string> _non_distributors) {
    auto& non_distributors = _non_distributors;
    // The synchronisation slot a WIN must have; pushed when the device does not report it.
    const auto push_sync_slot = [this](win& _win, std::uint64_t _master_node_id, std::uint64_t _slot) {
        // Numbers beyond their fields are not sent (warned once rather than every cycle).
        const auto fitting = fitting_sync_slot(_win.mac_addr(), _master_node_id, _slot);
        if (!fitting)
            return;
        const auto [addr, slot] = *fitting;
        const auto state = _win.parameter_state(SYNC_SLOT);
        if (state == UNKNOWN ||
            (state == SUPPORTED &&
             (_win.parameter_sync_slot_addr() != addr || _win.parameter_sync_slot_slot() != slot)))
            hw_param_to_win(_win, form_sync_slot(addr, slot, 0));
    };
    // One broken anchor or setting record must not keep the others from their
    // configuration (nor the parameters that follow in the cycle); a failing send ends
    // the pass.
    const auto guarded = [this](auto&& _step) {
        try {
            _step();
        } catch (const zmq::error_t&) {
            throw;
        } catch (const std::exception&) {
            m_logger.log_exception(VYR_HERE);
        }
    };

    const auto take_out = [&non_distributors](const std::string& _uid) {
        const auto at = std::find(non_distributors.begin(), non_distributors.end(), _uid);
        if (at != non_distributors.end())
            non_distributors.erase(at);
    };

    for (const auto& setting_uid : m_context->get_tdoa_settings()) {
        guarded([&] {
            const auto setting = m_context->get_tdoa_setting(setting_uid);
            if (setting.get_autostart() != std::optional<bool>(true) ||
                setting.get_configured_state() != std::optional<bool>(true))
                return;
            const auto masters = setting.get_masters();
            const auto distributors = setting.get_distributors();
            if (!masters || !distributors)
                return;

            // Masters beacon in their own slot.
            std::set<std::string> master_uids;
            std::vector<vyr::context::tdoa_setting::master> present_masters;
            for (const auto& master : *masters) {
                master_uids.insert(master.anchor_uid);
                take_out(master.anchor_uid);
                guarded([&] {
                    const auto anchor = m_context->get_anchor(master.anchor_uid);
                    if (!anchor.exists())
                        return;
                    present_masters.push_back(master);
                    if (auto record = pushable_win(*m_context, anchor))
                        push_sync_slot(*record, anchor.node_id(), master.slot);
                });
            }

            // Distributors follow their master's beacon.
            for (const auto& distributor : *distributors) {
                if (master_uids.count(distributor.anchor_uid) != 0)
                    continue;
                take_out(distributor.anchor_uid);
                guarded([&] {
                    const auto anchor = m_context->get_anchor(distributor.anchor_uid);
                    if (!anchor.exists())
                        return;
                    std::uint32_t master_node_id = tdoa::s_no_master;
                    if (distributor.master_uid) {
                        const auto master = m_context->get_anchor(*distributor.master_uid);
                        if (!master.exists())
                            return;
                        master_node_id = master.node_id();
                    }
                    if (auto record = pushable_win(*m_context, anchor))
                        push_sync_slot(*record, master_node_id, distributor.slot);
                });
            }

            // The project's other anchors follow nobody.
            for (const auto& uid : non_distributors) {
                guarded([&] {
                    const auto anchor = m_context->get_anchor(uid);
                    if (!anchor.exists() || anchor.project_uid() != setting_uid)
                        return;
                    if (auto record = pushable_win(*m_context, anchor))
                        push_sync_slot(*record, tdoa::s_no_master, tdoa::s_no_slot);
                });
            }

            // Superframes of the masters whose sync slot is settled.
            for (const auto& master : present_masters) {
                guarded([&] {
                    const auto anchor = m_context->get_anchor(master.anchor_uid);
                    auto record = pushable_win(*m_context, anchor);
                    if (!record)
                        return;
                    const auto sf_state = record->parameter_state(SF);
                    if (sf_state == NOT_SUPPORTED)
                        return;
                    // A master whose own sync slot cannot be sent is not synchronised in
                    // it: a superframe would set it beaconing in a slot it never got.
                    const auto own_slot = fitting_sync_slot(anchor.mac_addr(), anchor.node_id(), master.slot);
                    if (!own_slot)
                        return;
                    if (record->parameter_state(SYNC_SLOT) == SUPPORTED &&
                        (record->parameter_sync_slot_addr() != own_slot->first ||
                         record->parameter_sync_slot_slot() != own_slot->second))
                        return;
                    // The whole superframe is compared, so a changed sfd or slot count
                    // reaches a master that already reports one.
                    const auto must = master_superframe(anchor, setting, master.sfd);
                    if (!must || (sf_state == SUPPORTED && tdoa::sf_matches(*must, record->parameter_sf())))
                        return;
                    hw_param_to_win(*record, tdoa::sf_payload(*must));
                });
            }
        });
    }
}
