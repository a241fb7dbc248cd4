#include "context/sublocation.h"

namespace vyr::context {

void sublocation::update(const std::string& _project_uid, std::uint32_t _sublocation_id, std::int32_t _offset_x,
                         std::int32_t _offset_y, std::int32_t _offset_z) {
    m_redis_context.set_to_table(keys::fields(m_uid), {{s_project_uid, _project_uid},
                                                       {s_sublocation_id, std::to_string(_sublocation_id)},
                                                       {s_offset_x, std::to_string(_offset_x)},
                                                       {s_offset_y, std::to_string(_offset_y)},
                                                       {s_offset_z, std::to_string(_offset_z)}});
    add_to_set();
}

void sublocation::remove() {
    m_redis_context.command("DEL", keys::fields(m_uid), keys::data(m_uid));
    remove_from_set();
}

}  // namespace vyr::context
