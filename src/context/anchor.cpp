#include "context/anchor.h"
#include "redis/transaction.h"

namespace vyr::context {

// The anchor's writes go in one transaction, so that no reader finds it half written.
// The index entry of a MAC the anchor no longer has is deleted only while it still
// names this anchor: the device may meanwhile belong to another anchor, written first.
void anchor::update(const std::string& _project_uid, const std::string& _name, const std::string& _sublocation_uid,
                    std::int32_t _position_x, std::int32_t _position_y, std::int32_t _position_z,
                    const std::string& _type, const std::string& _mac_addr, std::uint32_t _node_id) {
    redis::batch writes;
    // A new anchor has no MAC to read.
    const auto old_mac = m_pipeline ? m_stored_mac : field(s_mac_addr).value_or(std::string());
    if (!old_mac.empty() && old_mac != _mac_addr)
        common::remove_own_mac_entry(writes, keys::mac_addr(), old_mac, m_uid);
    const std::size_t fields_at = writes.size();
    writes.add("HMSET", keys::fields(m_uid), s_project_uid, _project_uid, s_name, _name, s_sublocation_uid,
               _sublocation_uid, s_position_x, _position_x, s_position_y, _position_y, s_position_z, _position_z,
               s_type, _type, s_mac_addr, _mac_addr, s_node_id, _node_id);
    writes.add("SADD", sublocation::keys::anchors(_sublocation_uid), m_uid);
    add_to_set(writes);
    if (!_mac_addr.empty())
        writes.add("HSET", keys::mac_addr(), _mac_addr, m_uid);
    if (m_pipeline) {
        common::add_transaction(*m_pipeline, writes);
        return;
    }
    common::raise_mirror_version(writes, {keys::change(m_uid)});
    common::check_ok(vyr::redis::transaction(m_redis_context, writes).exec().as_array()[fields_at], m_uid);
}

std::optional<anchor_data> anchor::read() const {
    const auto fields = read_fields();
    if (!fields)
        return std::nullopt;
    return decode(*fields, m_uid);
}

anchor_data anchor::decode(const common::hash& _fields, std::string_view _uid) {
    const auto required = [&](std::string_view _field) { return common::get_required(_fields, _field, _uid); };
    const auto key = keys::fields(_uid);
    const auto integer = [&](std::string_view _field) { return common::to_int(required(_field), _field, key); };
    anchor_data result;
    result.project_uid = required(s_project_uid);
    result.name = required(s_name);
    result.sublocation_uid = required(s_sublocation_uid);
    result.type = required(s_type);
    result.mac_addr = required(s_mac_addr);
    result.position_x = integer(s_position_x);
    result.position_y = integer(s_position_y);
    result.position_z = integer(s_position_z);
    result.node_id = common::to_unsigned(required(s_node_id), s_node_id, key);
    return result;
}

void anchor::remove() {
    const auto reply = m_redis_context.get_from_table(keys::fields(m_uid), {s_sublocation_uid, s_mac_addr});
    const auto old = reply.as_array();
    redis::batch writes;
    if (const auto sublocation_uid = common::text_of(old[0]))
        writes.add("SREM", sublocation::keys::anchors(*sublocation_uid), m_uid);
    if (const auto mac = common::text_of(old[1]); mac && !mac->empty())
        common::remove_own_mac_entry(writes, keys::mac_addr(), *mac, m_uid);
    writes.add("DEL", keys::fields(m_uid));
    remove_from_set(writes);
    common::raise_mirror_version(writes, {keys::change(m_uid)});
    vyr::redis::transaction(m_redis_context, writes).exec();
}

}  // namespace vyr::context
