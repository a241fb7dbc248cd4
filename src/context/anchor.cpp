#include "context/anchor.h"

namespace vyr::context {

void anchor::update(const std::string& _project_uid, const std::string& _name, const std::string& _sublocation_uid,
                    std::int32_t _position_x, std::int32_t _position_y, std::int32_t _position_z,
                    const std::string& _type, const std::string& _mac_addr, std::uint32_t _node_id) {
    if (exists()) {
        const auto old_mac = field(s_mac_addr).value_or(std::string());
        if (!old_mac.empty() && old_mac != _mac_addr)
            m_redis_context.delete_from_table(keys::mac_addr(), old_mac);
    }

    const auto position_x = std::to_string(_position_x);
    const auto position_y = std::to_string(_position_y);
    const auto position_z = std::to_string(_position_z);
    const auto node_id = std::to_string(_node_id);
    common::check_ok(m_redis_context.set_to_table(keys::fields(m_uid), {{s_project_uid, _project_uid},
                                                                        {s_name, _name},
                                                                        {s_sublocation_uid, _sublocation_uid},
                                                                        {s_position_x, position_x},
                                                                        {s_position_y, position_y},
                                                                        {s_position_z, position_z},
                                                                        {s_type, _type},
                                                                        {s_mac_addr, _mac_addr},
                                                                        {s_node_id, node_id}}),
                     m_uid);

    m_redis_context.command("SADD", sublocation::keys::anchors(_sublocation_uid), m_uid);
    add_to_set();
    if (!_mac_addr.empty())
        m_redis_context.set_to_table(keys::mac_addr(), _mac_addr, m_uid);
}

void anchor::remove() {
    if (const auto sublocation_uid = field(s_sublocation_uid))
        m_redis_context.command("SREM", sublocation::keys::anchors(*sublocation_uid), m_uid);
    if (const auto mac = field(s_mac_addr); mac && !mac->empty())
        m_redis_context.delete_from_table(keys::mac_addr(), *mac);
    m_redis_context.command("DEL", keys::fields(m_uid));
    remove_from_set();
}

}  // namespace vyr::context
