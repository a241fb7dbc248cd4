// The TDOA rules of the anchors over plain values: how a schedule row reads, which rows
// are an anchor's and the partner entry each gives it (the version-2 schedule),
// the version-1 schedule entries, the superframe of a master and the synchronisation
// slot of an anchor. Pure functions without I/O or state, which the judge applies to a
// project snapshot's records (for the parameter pass, the sync pass and the answers to
// requests alike). Any thread. Errors in the data throw; a caller decides whether that
// ends the payload or only the rows from there on.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "context/anchor.h"
#include "context/tdoa_setting.h"
#include "parameters/parameters.h"

namespace vyr::judge::tdoa {

// The synchronisation slot of an anchor that follows no master.
inline constexpr std::uint32_t s_no_master = 0xFFFF;
inline constexpr std::uint32_t s_no_slot = 0xFF;

// An anchor by uid; throws when it cannot be found or read.
using anchor_lookup = std::function<vyr::context::anchor_data(const std::string& _uid)>;
// The MAC text of an anchor by uid; empty when the anchor does not exist.
using mac_lookup = std::function<std::string(const std::string& _uid)>;
// The node id of an anchor by uid; throws when it cannot be read.
using node_id_lookup = std::function<std::uint32_t(const std::string& _uid)>;

// ---- version-2 schedule

// One row cut at its commas (eight fields) and its dimension.
struct schedule_row {
    std::string text;
    std::vector<std::string> fields;
    std::uint32_t dim = 0;
};
// Throws when the row has not eight fields or its dimension is no whole number.
schedule_row read_schedule_row(const std::string& _row);

// Whether the row is one of the anchor's: as its source, or as the destination of a
// dimension-2 row when those are pushed to the destination.
bool row_of_anchor(const schedule_row& _row, const std::string& _anchor_uid, bool _push_to_destination);

// A schedule's rows read once: in row order up to the first row that cannot be read
// (whose error is kept), and for each anchor the rows that are its own (as source; as
// destination of a dimension-2 row when those are pushed to the destination).
struct schedule_index {
    std::vector<schedule_row> rows;
    std::map<std::string, std::vector<std::size_t>, std::less<>> by_anchor;
    std::exception_ptr broken;
};
schedule_index index_schedule(const std::set<std::string>& _rows, bool _push_to_destination);

// The entry of one of the anchor's rows: its partner, the other end of the row.
// Throws when a number of the row is no whole number or the partner cannot be read.
Json::Value schedule_partner(const std::string& _anchor_uid, const schedule_row& _row, const anchor_lookup& _anchor);
// Appends the anchor's partner entries, in row order, to `_partners`; a broken row (of
// the index, or one whose entry cannot be built) throws after the rows before it.
void append_partners(const schedule_index& _index, const std::string& _anchor_uid, const anchor_lookup& _anchor,
                     Json::Value& _partners);

// ---- version-1 schedule

// Appends the anchor's entries of version-1 `_rows` to `_entries` (the TDOA_SCHD payload
// without its frame). A row whose numbers do not fit their fields is left out and
// entries past the payload's bound are dropped, both said in `_left_out`; a row that
// cannot be read throws, the entries before it kept.
void append_v1_entries(const std::set<std::string>& _rows, const std::string& _anchor_uid, const mac_lookup& _mac,
                       std::string& _entries, std::string& _left_out);

// ---- superframe

// Why a master of the setting `_setting_uid` gets no superframe: no active schedule, or
// (`_mirrored` false) one not mirrored, whose slot count is unknown; empty when neither.
std::string superframe_unsettled(std::optional<std::string_view> _active, bool _mirrored,
                                 const std::string& _setting_uid);

// The superframe a master of node `_node_id` and this sfd holds, its setting's largest
// slot being `_setting_max_slot` and its active schedule's `_schedule_max_slot`;
// nothing, and `_loss` saying why, when a number does not fit its field.
std::optional<vyr::parameter::superframe> master_superframe(std::uint64_t _node_id, std::uint32_t _sfd,
                                                            std::optional<std::uint32_t> _setting_max_slot,
                                                            std::uint32_t _schedule_max_slot, std::string& _loss);
// The payload of a superframe whose members are all set.
std::string sf_payload(const vyr::parameter::superframe& _sf);
// Whether the reported superframe is the one the master must hold: the node id always
// (a report without one differs), the other members where the device reports them.
bool sf_matches(const vyr::parameter::superframe& _must, const vyr::parameter::superframe& _reported);

// ---- synchronisation slot

// Throws when a number does not fit its field (2 bytes, 1, 1): capped, it would read as
// "no master" (FFFF) or "no slot" (FF).
std::string sync_slot_payload(std::uint32_t _master_node_id, std::uint32_t _beacon_slot_number, std::uint32_t _flags);
// (master node id, slot) as the payload carries them; nothing, and `_loss` saying why,
// when one does not fit its field.
std::optional<std::pair<std::uint32_t, std::uint32_t>> fitting_sync_slot(std::uint64_t _master_node_id,
                                                                         std::uint64_t _slot, std::string& _loss);
// (master node id, slot) the setting gives the anchor: a master beacons in its own slot,
// a distributor follows its master (or none), any other anchor follows nobody. The
// node ids are `_node_id_of`'s.
std::pair<std::uint64_t, std::uint64_t> sync_slot_of(const vyr::context::tdoa_setting_roles& _setting,
                                                     const std::string& _anchor_uid, const node_id_lookup& _node_id_of);

}  // namespace vyr::judge::tdoa
