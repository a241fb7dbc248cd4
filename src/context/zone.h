// The zone record: one zone of the project mirrored into Redis. A view bound to one
// Redis connection, used by its thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "context/common.h"

namespace vyr::context {

struct zone_keys : keys_base<zone_keys> {
    static constexpr std::string_view s_prefix = "zones";
    static constexpr std::string_view s_kind = "zone";
};

struct zone_data {
    std::optional<std::string> project_uid;
    std::uint32_t zone_id = 0;  // 0 when missing
};

class zone : public record<zone_keys> {
public:
    using keys = zone_keys;

    static constexpr std::string_view s_project_uid = "project_uid";
    static constexpr std::string_view s_zone_id = "zone_id";

    zone(redis::connection& _redis_context, std::string _uid) : record(_redis_context, std::move(_uid)) {}

    void update(const std::string& _project_uid, std::uint32_t _zone_id);
    // Deletes fields and data hashes and leaves the kind set.
    void remove();

    std::optional<std::string> project_uid() const { return field(s_project_uid); }
    // 0 when missing.
    std::uint32_t zone_id() const { return unsigned_field(s_zone_id).value_or(0); }
    // Both fields in one round trip; nothing when the zone does not exist.
    std::optional<zone_data> read() const {
        const auto fields = read_fields();
        if (!fields)
            return std::nullopt;
        return decode(*fields, m_uid);
    }
    // The zone from its fields hash as read; a zone id that is no number throws.
    static zone_data decode(const common::hash& _fields, std::string_view _uid) {
        return zone_data{common::get(_fields, s_project_uid),
                         common::get_unsigned(_fields, s_zone_id, keys::fields(_uid)).value_or(0)};
    }
};

}  // namespace vyr::context
