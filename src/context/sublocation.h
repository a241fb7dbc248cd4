// The sublocation record: one part of the site mirrored into Redis, with its numeric id
// and offset. Its anchor and object sets are kept by the anchor and trackable-object
// records. A view bound to one Redis connection, used by its thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "context/common.h"

namespace vyr::context {

struct sublocation_keys : keys_base<sublocation_keys> {
    static constexpr std::string_view s_prefix = "sublocations";
    static constexpr std::string_view s_kind = "sublocation";
    static std::string anchors(std::string_view _uid) { return join_key({s_prefix, _uid, "anchors"}); }
    static std::string track_objs(std::string_view _uid) { return join_key({s_prefix, _uid, "track_objs"}); }
};

struct sublocation_data {
    std::optional<std::string> project_uid;
    std::uint32_t sublocation_id = 0;  // 0 when missing
    std::optional<std::int32_t> offset_x, offset_y, offset_z;
};

class sublocation : public record<sublocation_keys> {
public:
    using keys = sublocation_keys;

    static constexpr std::string_view s_project_uid = "project_uid";
    static constexpr std::string_view s_sublocation_id = "sublocation_id";
    static constexpr std::string_view s_offset_x = "offset_x";
    static constexpr std::string_view s_offset_y = "offset_y";
    static constexpr std::string_view s_offset_z = "offset_z";

    sublocation(redis::connection& _redis_context, std::string _uid) : record(_redis_context, std::move(_uid)) {}

    void update(const std::string& _project_uid, std::uint32_t _sublocation_id, std::int32_t _offset_x,
                std::int32_t _offset_y, std::int32_t _offset_z);
    // Deletes fields and data hashes and leaves the kind set; the anchor and object
    // sets stay.
    void remove();

    std::optional<std::string> project_uid() const { return field(s_project_uid); }
    // 0 when missing.
    std::uint32_t sublocation_id() const { return unsigned_field(s_sublocation_id).value_or(0); }
    std::optional<std::int32_t> offset_x() const { return int_field(s_offset_x); }
    std::optional<std::int32_t> offset_y() const { return int_field(s_offset_y); }
    std::optional<std::int32_t> offset_z() const { return int_field(s_offset_z); }
    // All fields in one round trip; nothing when the sublocation does not exist.
    std::optional<sublocation_data> read() const {
        const auto fields = read_fields();
        if (!fields)
            return std::nullopt;
        return decode(*fields, m_uid);
    }
    // The sublocation from its fields hash as read; a field that is no number throws.
    static sublocation_data decode(const common::hash& _fields, std::string_view _uid) {
        const auto offset = [&](std::string_view _field) -> std::optional<std::int32_t> {
            if (const auto value = common::get(_fields, _field))
                return common::to_int(*value, _field, keys::fields(_uid));
            return std::nullopt;
        };
        return sublocation_data{common::get(_fields, s_project_uid),
                                common::get_unsigned(_fields, s_sublocation_id, keys::fields(_uid)).value_or(0),
                                offset(s_offset_x), offset(s_offset_y), offset(s_offset_z)};
    }
};

}  // namespace vyr::context
