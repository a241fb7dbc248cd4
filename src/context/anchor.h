// The anchor record: one fixed radio node of the project mirrored into Redis, with its
// entry in the index MAC address → uid and its membership in the anchor set of its
// sublocation. A view bound to one Redis connection, used by its thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "context/common.h"
#include "context/sublocation.h"

namespace vyr::context {

struct anchor_keys : keys_base<anchor_keys> {
    static constexpr std::string_view s_prefix = "anchors";
    static constexpr std::string_view s_kind = "anchor";
};

// An anchor as read whole by `anchor::read`.
struct anchor_data {
    std::string project_uid, name, sublocation_uid, type, mac_addr;
    std::int32_t position_x = 0, position_y = 0, position_z = 0;
    std::uint32_t node_id = 0;
};

class anchor : public record<anchor_keys> {
public:
    using keys = anchor_keys;

    static constexpr std::string_view s_project_uid = "project_uid";
    static constexpr std::string_view s_name = "name";
    // Stored under this very name, "s_" included.
    static constexpr std::string_view s_sublocation_uid = "s_sublocation_uid";
    static constexpr std::string_view s_position_x = "position_x";
    static constexpr std::string_view s_position_y = "position_y";
    static constexpr std::string_view s_position_z = "position_z";
    static constexpr std::string_view s_type = "type";
    static constexpr std::string_view s_mac_addr = "mac_addr";
    static constexpr std::string_view s_node_id = "node_id";

    anchor(redis::connection& _redis_context, std::string _uid) : record(_redis_context, std::move(_uid)) {}

    // Writes the fields, joins the sublocation's anchor set (the set of an earlier
    // sublocation is left as it is) and moves the MAC index entry. Throws
    // "updateUid: <uid>, str = <reply>" when the HMSET is not answered "OK".
    void update(const std::string& _project_uid, const std::string& _name, const std::string& _sublocation_uid,
                std::int32_t _position_x, std::int32_t _position_y, std::int32_t _position_z, const std::string& _type,
                const std::string& _mac_addr, std::uint32_t _node_id);
    void remove();
    // The next update() appends its transaction (MULTI, its writes, EXEC) to _pipeline
    // instead of sending it, and takes _stored_mac (empty: none) for the MAC the record
    // holds instead of reading it: a caller writing many records reads their MACs in one
    // round trip and sends every write in another. The EXEC replies are the caller's to
    // check, and so is raising the mirror version once the pipeline holds every write.
    void write_into(redis::batch& _pipeline, std::string _stored_mac) {
        m_pipeline = &_pipeline;
        m_stored_mac = std::move(_stored_mac);
    }

    // Throw field_missing "<field>Uid: <uid>" when missing.
    std::string project_uid() const { return required_field(s_project_uid); }
    std::string mac_addr() const { return required_field(s_mac_addr); }
    std::uint32_t node_id() const { return required_unsigned(s_node_id); }
    std::int32_t position_x() const { return required_int(s_position_x); }
    std::int32_t position_y() const { return required_int(s_position_y); }
    std::int32_t position_z() const { return required_int(s_position_z); }

    // All fields in one round trip; nothing when the anchor does not exist. Throws
    // field_missing for a missing field, like the getters.
    std::optional<anchor_data> read() const;
    // The anchor from its fields hash as read; throws as read() does.
    static anchor_data decode(const common::hash& _fields, std::string_view _uid);

private:
    // Set by write_into.
    redis::batch* m_pipeline = nullptr;
    std::string m_stored_mac;
};

}  // namespace vyr::context
