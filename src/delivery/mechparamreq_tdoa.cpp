// TDOA configuration of the anchors, part of the parameter-request mechanism: the
// version-1 schedule payload (TDOA_SCHD), the version-2 schedule value (TDOA_SCHEDULE),
// the synchronisation slot (SYNC_SLOT), the superframe (SF) and the per-cycle push of
// synchronisation slots and superframes (lsb). Everything runs on the mechanism's thread
// with its own Redis context.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <set>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "common/helpers.h"
#include "context/context.h"
#include "core/exception.h"
#include "delivery/mechparamreq.h"
#include "delivery/sender.h"

using vyr::context::win;
using namespace vyr::parameter;
using vyr::parameter::superframe;

namespace {

// The synchronisation slot of an anchor that follows no master.
constexpr std::uint32_t s_no_master = 0xFFFF;
constexpr std::uint32_t s_no_slot = 0xFF;
// Bit 7 of a version-1 entry's first byte marks the anchor as the destination of the row.
constexpr std::uint32_t s_destination_bit = 0x80;
// Version-1 entries are 5 bytes; one length byte holds at most this many of them.
constexpr std::size_t s_max_v1_entries = 255 / 5;
// The fields of a version-1 entry: the slot in the first byte's low 7 bits, the
// dimension as one of the flag byte's low 4 bits, the boundary in its high half, the
// margin in quarters in one byte.
constexpr std::uint32_t s_max_v1_slot = s_destination_bit - 1;
constexpr std::uint32_t s_max_v1_dimension = 3;
constexpr std::uint32_t s_max_v1_boundary = 0x0F;
constexpr double s_max_v1_quarters = 0xFF;

// A whole decimal number of a schedule row: digits only, nothing around them.
std::uint32_t row_unsigned(std::string_view _text, const char* _what, const std::string& _row) {
    std::uint64_t value = 0;
    bool ok = !_text.empty() && _text.size() <= 10;
    for (const char c : _text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            ok = false;
            break;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (!ok || value > 0xFFFFFFFFull)
        VYR_THROW(std::string("bad ") + _what + " in schedule row: " + _row);
    return static_cast<std::uint32_t>(value);
}

// The margin of a version-1 row: a decimal fraction, blanks allowed after it.
double row_fraction(const std::string& _text, const std::string& _row) {
    const char* begin = _text.c_str();
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(begin, &end);
    bool ok = end != begin && errno == 0 && std::isfinite(value) &&
              !std::isspace(static_cast<unsigned char>(_text.front()));
    for (; ok && *end != '\0'; ++end)
        ok = std::isspace(static_cast<unsigned char>(*end)) != 0;
    if (!ok)
        VYR_THROW("bad margin in schedule row: " + _row);
    return value;
}

// The short radio address of an anchor: characters 12 to 15 of its MAC text.
std::string short_address(const std::string& _mac_addr, const char* _side) {
    if (_mac_addr.size() < 16)
        VYR_THROW(std::string(_side) + " mac_addr is too short: " + _mac_addr);
    std::string address = _mac_addr.substr(12, 4);
    for (const char c : address)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            VYR_THROW(std::string(_side) + " mac_addr is not hexadecimal: " + _mac_addr);
    return to_upper(address);
}

// The MAC text of an anchor; empty when the anchor does not exist.
std::string mac_of(const vyr::context::anchor& _anchor) { return _anchor.exists() ? _anchor.mac_addr() : ""; }

// The fields of a row cut at every comma, nothing trimmed.
std::vector<std::string> split_row(const std::string& _row) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const auto comma = _row.find(',', start);
        fields.push_back(_row.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos)
            return fields;
        start = comma + 1;
    }
}

// The WIN of an anchor when the cycle may push to it: it exists and its counter is not
// above the limit.
std::optional<win> pushable_win(vyr::context::context& _context, const vyr::context::anchor& _anchor) {
    auto record = _context.get_win(_anchor.mac_addr());
    if (!record.exists() || record.sending_counter() > c_mech_param_req::s_max_sending_counter)
        return std::nullopt;
    return record;
}

// The superframe payload of a value whose members are all set.
std::string sf_payload(const superframe& _sf) {
    return payload_frame(SF, hex(*_sf.node_id, 4) + hex(*_sf.sfd, 4) + hex(*_sf.setting_slots, 2) +
                                 hex(*_sf.slot_count, 2));
}

// Whether the reported superframe is the one the master must hold: the node id always
// (a report without one differs), the other members where the device reports them.
bool sf_matches(const superframe& _must, const superframe& _reported) {
    const auto same = [](const std::optional<std::uint32_t>& _m, const std::optional<std::uint32_t>& _r) {
        return !_r || _r == _m;
    };
    return _reported.node_id && _reported.node_id == _must.node_id && same(_must.sfd, _reported.sfd) &&
           same(_must.setting_slots, _reported.setting_slots) && same(_must.slot_count, _reported.slot_count);
}

}  // namespace

// ---- synchronisation slot ------------------------------------------------------------------

std::string c_mech_param_req::form_sync_slot(std::uint32_t _master_node_id, std::uint32_t _beacon_slot_number,
                                             std::uint32_t _flags) {
    // Capped, a number would read as "no master" or "no slot": callers send nothing then.
    if (_master_node_id > s_no_master || _beacon_slot_number > s_no_slot || _flags > 0xFF)
        VYR_THROW("sync slot " + std::to_string(_master_node_id) + "/" + std::to_string(_beacon_slot_number) + "/" +
                  std::to_string(_flags) + " does not fit its fields");
    return payload_frame(SYNC_SLOT, hex(_master_node_id, 4) + hex(_beacon_slot_number, 2) + hex(_flags, 2));
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> c_mech_param_req::fitting_sync_slot(
    const std::string& _mac_address, std::uint64_t _master_node_id, std::uint64_t _slot) {
    const bool fits = _master_node_id <= s_no_master && _slot <= s_no_slot;
    const auto misfit = fits ? std::string()
                             : "master node id " + std::to_string(_master_node_id) + " (two bytes) or slot " +
                                   std::to_string(_slot) + " (one byte) beyond its field, not sent";
    note_undeliverable(_mac_address, SYNC_SLOT, misfit, misfit);
    if (!fits)
        return std::nullopt;
    return std::make_pair(static_cast<std::uint32_t>(_master_node_id), static_cast<std::uint32_t>(_slot));
}

std::optional<std::string> c_mech_param_req::form_sync_slot_by_mac(const std::string& _mac_address) {
    try {
        const auto anchor = m_context->get_anchor_by_mac(_mac_address);
        const auto setting = m_context->get_tdoa_setting(anchor.project_uid());
        // A master beacons in its own slot; the answer tells it what the cycle would push,
        // instead of "no master" followed by a correction one cycle later.
        std::optional<std::pair<std::uint32_t, std::uint32_t>> slot;
        if (const auto master = setting.get_master(anchor.uid())) {
            slot = fitting_sync_slot(_mac_address, anchor.node_id(), master->slot);
        } else if (const auto distributor = setting.get_distributor(anchor.uid())) {
            const std::uint32_t master_node_id =
                distributor->master_uid ? m_context->get_anchor(*distributor->master_uid).node_id() : s_no_master;
            slot = fitting_sync_slot(_mac_address, master_node_id, distributor->slot);
        } else {
            return form_sync_slot(s_no_master, s_no_slot, 0);
        }
        if (slot)
            return form_sync_slot(slot->first, slot->second, 0);
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
    const auto unsettled = [&](const std::string& _why) {
        if (first_notice(unsettled_key, _why))
            m_logger.warning("superframe of master %1% not sent: %2%") % mac % _why;
        return std::nullopt;
    };
    const auto active = _setting.get_active_schedule_uid();
    if (!active)
        return unsettled("active_schedule_uid not found in tdoa_setting:" + _anchor.project_uid());
    const auto schedule = m_context->get_tdoa_schedule(std::string(*active));
    // A schedule not (yet) mirrored has no slots: a superframe of one slot would be
    // wrong, and the device would keep it.
    if (!schedule.exists())
        return unsettled("active tdoa schedule not found: " + schedule.uid() + ", tdoa_setting:" +
                         _anchor.project_uid());
    forget(unsettled_key);

    const std::uint64_t slot_count = std::uint64_t{schedule.max_slot_num()} + 1;
    const auto max_slot = _setting.get_max_slot();
    const std::uint64_t setting_slots = max_slot ? std::uint64_t{*max_slot} + 1 : 1;
    const std::uint64_t node_id = _anchor.node_id();
    // A number beyond its field, capped, would be another node, sfd or slot count: such a
    // superframe is not sent at all.
    std::string loss;
    for (const auto& [what, number, max] : {std::make_tuple("node id", node_id, 0xFFFFull),
                                            std::make_tuple("sfd", std::uint64_t{_sfd}, 0xFFFFull),
                                            std::make_tuple("setting slots", setting_slots, 0xFFull),
                                            std::make_tuple("schedule slots", slot_count, 0xFFull)})
        if (number > max)
            loss += std::string(loss.empty() ? "" : ", ") + what + " " + std::to_string(number);
    if (!loss.empty())
        loss += " beyond its field, not sent";
    note_undeliverable(mac, SF, loss, loss);
    if (!loss.empty())
        return std::nullopt;
    superframe value;
    value.node_id = static_cast<std::uint32_t>(node_id);
    value.sfd = _sfd;
    value.setting_slots = static_cast<std::uint32_t>(setting_slots);
    value.slot_count = static_cast<std::uint32_t>(slot_count);
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
            return sf_payload(*value);
    } catch (const std::exception&) {
        log_unless_connection_lost(VYR_HERE);
    }
    return std::nullopt;
}

// ---- version-1 schedule --------------------------------------------------------------------

std::string c_mech_param_req::form_tdoa_schd(const std::string& _mac_address) {
    std::string entries;
    std::size_t count = 0;
    // Rows whose numbers do not fit their fields, warned once per anchor.
    std::string left_out;
    const auto leave_out = [&left_out](const std::string& _why) {
        left_out += (left_out.empty() ? "" : "; ") + _why;
    };
    const auto walk = [&] {
        const auto anchor = m_context->get_anchor_by_mac(_mac_address);
        const auto& uid = anchor.uid();
        const auto setting = m_context->get_tdoa_setting(anchor.project_uid());
        const auto active = setting.get_active_schedule_uid();
        if (!active)
            return;
        const auto schedule = m_context->get_tdoa_schedule(std::string(*active));
        if (schedule.tdoa_version() != 1)
            return;

        for (const auto& row : schedule.rows()) {
            // Column 0 is not used; columns 1 to 5 end at commas 2 to 6; the margin is the
            // rest of the row after the sixth comma.
            std::size_t commas[6];
            std::size_t from = 0;
            for (int n = 0; n < 6; ++n) {
                commas[n] = row.find(',', from);
                if (commas[n] == std::string::npos)
                    VYR_THROW("bad schedule format (" + std::to_string(n + 1) + ")");
                from = commas[n] + 1;
            }
            const auto column = [&](int _n) {
                return std::string_view(row).substr(commas[_n - 1] + 1, commas[_n] - commas[_n - 1] - 1);
            };
            const std::string src_uid(column(1));
            const std::string dst_uid(column(2));
            const std::uint32_t slot = row_unsigned(column(3), "slot number", row);
            const std::uint32_t dimension = row_unsigned(column(4), "dimension", row);
            const std::uint32_t boundary = row_unsigned(column(5), "boundary", row);
            const double margin = row_fraction(row.substr(commas[5] + 1), row);

            std::string partner_mac;
            if (src_uid == uid) {
                partner_mac = mac_of(m_context->get_anchor(dst_uid));
                if (partner_mac.empty())
                    VYR_THROW("dst mac_addr is empty");
            } else if (dst_uid == uid) {
                partner_mac = mac_of(m_context->get_anchor(src_uid));
                if (partner_mac.empty())
                    VYR_THROW("src mac_addr is empty");
            } else {
                continue;
            }
            const std::string address = short_address(partner_mac, src_uid == uid ? "dst" : "src");

            // A number beyond its field would land in another's bits (a dimension above 3
            // among the boundary's, a slot above 127 on the destination bit) or be capped
            // to another value: the row is left out rather than sent as another one.
            const double quarters = std::round(margin * 4);  // halves away from zero
            if (slot > s_max_v1_slot || dimension > s_max_v1_dimension || boundary > s_max_v1_boundary ||
                quarters < 0 || quarters > s_max_v1_quarters) {
                leave_out("row " + row + " left out (slot, dimension, boundary or margin beyond its field)");
                continue;
            }
            if (count == s_max_v1_entries) {
                leave_out("entries beyond the first " + std::to_string(s_max_v1_entries) + " left out");
                return;
            }
            const std::uint32_t first = src_uid == uid ? slot : slot | s_destination_bit;
            const std::uint32_t flags = (1u << dimension) | (boundary << 4);
            entries += hex(first, 2) + address + hex(flags, 2) + hex(static_cast<std::uint32_t>(quarters), 2);
            ++count;
        }
    };
    try {
        walk();
    } catch (const std::exception&) {
        log_unless_connection_lost(VYR_HERE);
    }
    note_undeliverable(_mac_address, TDOA_SCHD, left_out, left_out);
    return payload_frame(TDOA_SCHD, entries);
}

// ---- version-2 schedule --------------------------------------------------------------------

std::shared_ptr<const c_mech_param_req::schedule_index> c_mech_param_req::active_schedule_index(
    const std::string& _setting_uid) {
    if (m_cycle_schedules) {
        const auto kept = m_cycle_schedules->find(_setting_uid);
        if (kept != m_cycle_schedules->end())
            return kept->second;
    }
    std::shared_ptr<const schedule_index> index;
    const auto setting = m_context->get_tdoa_setting(_setting_uid);
    const auto active = setting.get_active_schedule_uid();
    if (active) {
        const auto schedule = m_context->get_tdoa_schedule(std::string(*active));
        if (schedule.exists() && schedule.tdoa_version() == 2)
            index = std::make_shared<const schedule_index>(index_schedule(schedule.rows()));
    }
    if (m_cycle_schedules)
        m_cycle_schedules->emplace(_setting_uid, index);
    return index;
}

c_mech_param_req::schedule_index c_mech_param_req::index_schedule(const std::set<std::string>& _rows) const {
    schedule_index index;
    for (const auto& text : _rows) {
        try {
            auto [fields, dim] = read_schedule_row(text);
            const auto at = index.rows.size();
            index.by_anchor[fields[1]].push_back(at);
            if (m_push_schedule_to_destination && dim == 2 && fields[2] != fields[1])
                index.by_anchor[fields[2]].push_back(at);
            index.rows.push_back({text, std::move(fields), dim});
        } catch (const std::exception&) {
            // Every anchor's schedule ends at this row.
            index.broken = std::current_exception();
            break;
        }
    }
    return index;
}

std::optional<Json::Value> c_mech_param_req::tdoa_schedule_to_json(const std::string& _mac_address) {
    Json::Value partners(Json::arrayValue);
    std::shared_ptr<const schedule_index> index;
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
        const auto rows = index->by_anchor.find(uid);
        if (rows != index->by_anchor.end())
            for (const auto at : rows->second) {
                const auto& row = index->rows[at];
                partners.append(schedule_partner(uid, row.fields, row.dim, row.text));
            }
        if (index->broken)
            std::rethrow_exception(index->broken);
    } catch (const std::exception&) {
        log_unless_connection_lost(VYR_HERE);
    }
    if (partners.empty())
        return Json::Value();
    return partners;
}

std::pair<std::vector<std::string>, std::uint32_t> c_mech_param_req::read_schedule_row(const std::string& _row) {
    auto fields = split_row(_row);
    if (fields.size() != 8)
        VYR_THROW("bad schedule row format: " + _row);
    const std::uint32_t dim = row_unsigned(fields[5], "dim", _row);
    return {std::move(fields), dim};
}

Json::Value c_mech_param_req::tdoa_schedule_row_to_json(const std::string& _anchor_uid, const std::string& _row) {
    const auto [fields, dim] = read_schedule_row(_row);
    const bool source = fields[1] == _anchor_uid;
    const bool destination = m_push_schedule_to_destination && fields[2] == _anchor_uid && dim == 2;
    if (!source && !destination)
        return Json::Value();
    return schedule_partner(_anchor_uid, fields, dim, _row);
}

Json::Value c_mech_param_req::schedule_partner(const std::string& _anchor_uid, const std::vector<std::string>& _fields,
                                               std::uint32_t _dim, const std::string& _row) {
    // The partner is the other end of the row: the destination for the row's source, the
    // source for its destination (never the anchor itself).
    const bool source = _fields[1] == _anchor_uid;
    const auto partner = m_context->get_anchor(source ? _fields[2] : _fields[1]);
    Json::Value result(Json::objectValue);
    result["addr"] = hex(partner.node_id(), 4);
    result["dim"] = _dim;
    result["et"] = row_unsigned(_fields[6], "et", _row);
    result["margin"] = row_unsigned(_fields[7], "margin", _row);
    result["sect"] = row_unsigned(_fields[4], "sect", _row);
    result["slot"] = row_unsigned(_fields[3], "slot", _row);
    result["x"] = partner.position_x();
    result["y"] = partner.position_y();
    result["z"] = partner.position_z();
    return result;
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
                    std::uint32_t master_node_id = s_no_master;
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
                        push_sync_slot(*record, s_no_master, s_no_slot);
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
                    if (!must || (sf_state == SUPPORTED && sf_matches(*must, record->parameter_sf())))
                        return;
                    hw_param_to_win(*record, sf_payload(*must));
                });
            }
        });
    }
}
