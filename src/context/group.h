// The group record: one group of trackable objects mirrored into Redis. A view bound to
// one Redis connection, used by its thread only.
#pragma once

#include <string>
#include <string_view>

#include "context/common.h"

namespace vyr::context {

struct group_keys : keys_base<group_keys> {
    static constexpr std::string_view s_prefix = "groups";
    static constexpr std::string_view s_kind = "group";
};

struct group_data {
    std::string project_uid, name;
};

class group : public record<group_keys> {
public:
    using keys = group_keys;

    static constexpr std::string_view s_project_uid = "project_uid";
    static constexpr std::string_view s_name = "name";

    group(redis::connection& _redis_context, std::string _uid) : record(_redis_context, std::move(_uid)) {}

    // Throws "updateUid: <uid>, str = <reply>" when the HMSET is not answered "OK".
    void update(const std::string& _project_uid, const std::string& _name);
    // Deletes fields and data hashes and leaves the kind set.
    void remove();

    // Throw field_missing "<field>Uid: <uid>" when missing.
    std::string project_uid() const { return required_field(s_project_uid); }
    std::string name() const { return required_field(s_name); }
    // Both fields in one round trip; nothing when the group does not exist.
    std::optional<group_data> read() const {
        const auto fields = read_fields();
        if (!fields)
            return std::nullopt;
        return decode(*fields, m_uid);
    }
    // The group from its fields hash as read; throws field_missing as read() does.
    static group_data decode(const common::hash& _fields, std::string_view _uid) {
        return group_data{common::get_required(_fields, s_project_uid, _uid),
                          common::get_required(_fields, s_name, _uid)};
    }
};

}  // namespace vyr::context
