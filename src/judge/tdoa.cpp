#include "judge/tdoa.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <tuple>

#include "common/helpers.h"
#include "core/exception.h"

namespace vyr::judge::tdoa {

using namespace vyr::parameter;

namespace {

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

// The numbers of one version-1 row.
struct v1_row {
    std::string src_uid, dst_uid;
    std::uint32_t slot = 0, dimension = 0, boundary = 0;
    double margin = 0;
};

// Column 0 is not used; columns 1 to 5 end at commas 2 to 6; the margin is the rest of
// the row after the sixth comma.
v1_row read_v1_row(const std::string& _row) {
    std::size_t commas[6];
    std::size_t from = 0;
    for (int n = 0; n < 6; ++n) {
        commas[n] = _row.find(',', from);
        if (commas[n] == std::string::npos)
            VYR_THROW("bad schedule format (" + std::to_string(n + 1) + ")");
        from = commas[n] + 1;
    }
    const auto column = [&](int _n) {
        return std::string_view(_row).substr(commas[_n - 1] + 1, commas[_n] - commas[_n - 1] - 1);
    };
    v1_row row;
    row.src_uid = std::string(column(1));
    row.dst_uid = std::string(column(2));
    row.slot = row_unsigned(column(3), "slot number", _row);
    row.dimension = row_unsigned(column(4), "dimension", _row);
    row.boundary = row_unsigned(column(5), "boundary", _row);
    row.margin = row_fraction(_row.substr(commas[5] + 1), _row);
    return row;
}

}  // namespace

schedule_row read_schedule_row(const std::string& _row) {
    auto fields = split_row(_row);
    if (fields.size() != 8)
        VYR_THROW("bad schedule row format: " + _row);
    const std::uint32_t dim = row_unsigned(fields[5], "dim", _row);
    return {_row, std::move(fields), dim};
}

bool row_of_anchor(const schedule_row& _row, const std::string& _anchor_uid, bool _push_to_destination) {
    return _row.fields[1] == _anchor_uid || (_push_to_destination && _row.dim == 2 && _row.fields[2] == _anchor_uid);
}

schedule_index index_schedule(const std::set<std::string>& _rows, bool _push_to_destination) {
    schedule_index index;
    for (const auto& text : _rows) {
        try {
            auto row = read_schedule_row(text);
            const auto at = index.rows.size();
            index.by_anchor[row.fields[1]].push_back(at);
            if (row.fields[2] != row.fields[1] && row_of_anchor(row, row.fields[2], _push_to_destination))
                index.by_anchor[row.fields[2]].push_back(at);
            index.rows.push_back(std::move(row));
        } catch (const std::exception&) {
            // Every anchor's schedule ends at this row.
            index.broken = std::current_exception();
            break;
        }
    }
    return index;
}

Json::Value schedule_partner(const std::string& _anchor_uid, const schedule_row& _row, const anchor_lookup& _anchor) {
    // The partner is the other end of the row: the destination for the row's source, the
    // source for its destination (never the anchor itself).
    const auto& fields = _row.fields;
    const bool source = fields[1] == _anchor_uid;
    const auto partner = _anchor(source ? fields[2] : fields[1]);
    Json::Value result(Json::objectValue);
    result["addr"] = hex(partner.node_id, 4);
    result["dim"] = _row.dim;
    result["et"] = row_unsigned(fields[6], "et", _row.text);
    result["margin"] = row_unsigned(fields[7], "margin", _row.text);
    result["sect"] = row_unsigned(fields[4], "sect", _row.text);
    result["slot"] = row_unsigned(fields[3], "slot", _row.text);
    result["x"] = partner.position_x;
    result["y"] = partner.position_y;
    result["z"] = partner.position_z;
    return result;
}

void append_partners(const schedule_index& _index, const std::string& _anchor_uid, const anchor_lookup& _anchor,
                     Json::Value& _partners) {
    const auto rows = _index.by_anchor.find(_anchor_uid);
    if (rows != _index.by_anchor.end())
        for (const auto at : rows->second)
            _partners.append(schedule_partner(_anchor_uid, _index.rows[at], _anchor));
    if (_index.broken)
        std::rethrow_exception(_index.broken);
}

void append_v1_entries(const std::set<std::string>& _rows, const std::string& _anchor_uid, const mac_lookup& _mac,
                       std::string& _entries, std::string& _left_out) {
    const auto leave_out = [&_left_out](const std::string& _why) {
        _left_out += (_left_out.empty() ? "" : "; ") + _why;
    };
    std::size_t count = _entries.size() / 10;
    for (const auto& text : _rows) {
        const auto row = read_v1_row(text);
        const bool source = row.src_uid == _anchor_uid;
        if (!source && row.dst_uid != _anchor_uid)
            continue;
        const std::string partner_mac = _mac(source ? row.dst_uid : row.src_uid);
        if (partner_mac.empty())
            VYR_THROW(source ? "dst mac_addr is empty" : "src mac_addr is empty");
        const std::string address = short_address(partner_mac, source ? "dst" : "src");

        // A number beyond its field would land in another's bits (a dimension above 3
        // among the boundary's, a slot above 127 on the destination bit) or be capped to
        // another value: the row is left out rather than sent as another one.
        const double quarters = std::round(row.margin * 4);  // halves away from zero
        if (row.slot > s_max_v1_slot || row.dimension > s_max_v1_dimension || row.boundary > s_max_v1_boundary ||
            quarters < 0 || quarters > s_max_v1_quarters) {
            leave_out("row " + text + " left out (slot, dimension, boundary or margin beyond its field)");
            continue;
        }
        if (count == s_max_v1_entries) {
            leave_out("entries beyond the first " + std::to_string(s_max_v1_entries) + " left out");
            return;
        }
        const std::uint32_t first = source ? row.slot : row.slot | s_destination_bit;
        const std::uint32_t flags = (1u << row.dimension) | (row.boundary << 4);
        _entries += hex(first, 2) + address + hex(flags, 2) + hex(static_cast<std::uint32_t>(quarters), 2);
        ++count;
    }
}

std::string superframe_unsettled(std::optional<std::string_view> _active, bool _mirrored,
                                 const std::string& _setting_uid) {
    if (!_active)
        return "active_schedule_uid not found in tdoa_setting:" + _setting_uid;
    // A schedule not (yet) mirrored has no slots: a superframe of one slot would be
    // wrong, and the device would keep it.
    if (!_mirrored)
        return "active tdoa schedule not found: " + std::string(*_active) + ", tdoa_setting:" + _setting_uid;
    return {};
}

std::optional<superframe> master_superframe(std::uint64_t _node_id, std::uint32_t _sfd,
                                            std::optional<std::uint32_t> _setting_max_slot,
                                            std::uint32_t _schedule_max_slot, std::string& _loss) {
    const std::uint64_t slot_count = std::uint64_t{_schedule_max_slot} + 1;
    const std::uint64_t setting_slots = _setting_max_slot ? std::uint64_t{*_setting_max_slot} + 1 : 1;
    // A number beyond its field, capped, would be another node, sfd or slot count: such a
    // superframe is not sent at all.
    _loss.clear();
    for (const auto& [what, number, max] : {std::make_tuple("node id", _node_id, 0xFFFFull),
                                            std::make_tuple("sfd", std::uint64_t{_sfd}, 0xFFFFull),
                                            std::make_tuple("setting slots", setting_slots, 0xFFull),
                                            std::make_tuple("schedule slots", slot_count, 0xFFull)})
        if (number > max)
            _loss += std::string(_loss.empty() ? "" : ", ") + what + " " + std::to_string(number);
    if (!_loss.empty()) {
        _loss += " beyond its field, not sent";
        return std::nullopt;
    }
    superframe value;
    value.node_id = static_cast<std::uint32_t>(_node_id);
    value.sfd = _sfd;
    value.setting_slots = static_cast<std::uint32_t>(setting_slots);
    value.slot_count = static_cast<std::uint32_t>(slot_count);
    return value;
}

std::string sf_payload(const superframe& _sf) {
    return payload_frame(SF, hex(*_sf.node_id, 4) + hex(*_sf.sfd, 4) + hex(*_sf.setting_slots, 2) +
                                 hex(*_sf.slot_count, 2));
}

bool sf_matches(const superframe& _must, const superframe& _reported) {
    const auto same = [](const std::optional<std::uint32_t>& _m, const std::optional<std::uint32_t>& _r) {
        return !_r || _r == _m;
    };
    return _reported.node_id && _reported.node_id == _must.node_id && same(_must.sfd, _reported.sfd) &&
           same(_must.setting_slots, _reported.setting_slots) && same(_must.slot_count, _reported.slot_count);
}

std::string sync_slot_payload(std::uint32_t _master_node_id, std::uint32_t _beacon_slot_number, std::uint32_t _flags) {
    if (_master_node_id > s_no_master || _beacon_slot_number > s_no_slot || _flags > 0xFF)
        VYR_THROW("sync slot " + std::to_string(_master_node_id) + "/" + std::to_string(_beacon_slot_number) + "/" +
                  std::to_string(_flags) + " does not fit its fields");
    return payload_frame(SYNC_SLOT, hex(_master_node_id, 4) + hex(_beacon_slot_number, 2) + hex(_flags, 2));
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> fitting_sync_slot(std::uint64_t _master_node_id,
                                                                         std::uint64_t _slot, std::string& _loss) {
    if (_master_node_id <= s_no_master && _slot <= s_no_slot) {
        _loss.clear();
        return std::make_pair(static_cast<std::uint32_t>(_master_node_id), static_cast<std::uint32_t>(_slot));
    }
    _loss = "master node id " + std::to_string(_master_node_id) + " (two bytes) or slot " + std::to_string(_slot) +
            " (one byte) beyond its field, not sent";
    return std::nullopt;
}

std::pair<std::uint64_t, std::uint64_t> sync_slot_of(const vyr::context::tdoa_setting_roles& _setting,
                                                     const std::string& _anchor_uid,
                                                     const node_id_lookup& _node_id_of) {
    // A master beacons in its own slot: an answer tells it what the cycle would push,
    // instead of "no master" followed by a correction one cycle later.
    if (const auto master = _setting.master_of(_anchor_uid))
        return {_node_id_of(_anchor_uid), master->slot};
    if (const auto distributor = _setting.distributor_of(_anchor_uid))
        return {distributor->master_uid ? _node_id_of(*distributor->master_uid) : s_no_master, distributor->slot};
    return {s_no_master, s_no_slot};
}

}  // namespace vyr::judge::tdoa
