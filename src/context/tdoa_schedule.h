// The TDOA schedule record: one schedule of the project stored in Redis as a version
// number and a set of row texts (comma-separated fields, the fourth being the slot).
// A view bound to one Redis connection, used by its thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "context/common.h"

namespace vyr::context {

struct tdoa_schedule_keys : keys_base<tdoa_schedule_keys> {
    static constexpr std::string_view s_prefix = "tdoa_schedules";
    static constexpr std::string_view s_kind = "tdoa_schedule";
    static std::string rows(std::string_view _uid) { return join_key({from_server(_uid), "rows"}); }
};

// A schedule as read whole by `tdoa_schedule::read`.
struct tdoa_schedule_data {
    std::uint32_t tdoa_version = 0;
    std::set<std::string> rows;
};

class tdoa_schedule : public record<tdoa_schedule_keys> {
public:
    using keys = tdoa_schedule_keys;

    static constexpr std::string_view s_tdoa_version = "tdoa_version";

    tdoa_schedule(redis::connection& _redis_context, std::string _uid) : record(_redis_context, std::move(_uid)) {}

    // Stores the version and the rows (an existing schedule's rows are replaced). Throws
    // "updateUid: <uid>, str = <reply>" when the HMSET is not answered "OK".
    void update(std::uint32_t _tdoa_version, const std::set<std::string>& _rows);
    void remove();

    // Throws field_missing "tdoa_versionUid: <uid>" when missing.
    std::uint32_t tdoa_version() const { return required_unsigned(s_tdoa_version); }
    // Empty for a missing key; throws "rowsUid: <uid>" when the reply is not an array.
    std::set<std::string> rows() const;
    // The largest slot over all rows, 0 without rows. Throws "Bad schedule format" for
    // a row with fewer than four commas after its first character.
    std::uint32_t max_slot_num() const;
    // Version and rows in one round trip, as one consistent snapshot (a slot count
    // computed from it matches its version); nothing when the schedule does not exist.
    std::optional<tdoa_schedule_data> read() const;
    // The schedule from its version field and rows as read; nothing without a version, a
    // version that is no number throws.
    static std::optional<tdoa_schedule_data> decode(const std::optional<std::string>& _tdoa_version,
                                                    std::vector<std::string> _rows, std::string_view _uid);
    // The largest slot of `_rows`, as max_slot_num.
    static std::uint32_t max_slot_num(const std::set<std::string>& _rows);

    // The slot field of one row (see max_slot_num).
    static std::uint32_t slot_of_row(const std::string& _row);
};

}  // namespace vyr::context
