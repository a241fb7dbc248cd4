#include "context/zone.h"

namespace vyr::context {

void zone::update(const std::string& _project_uid, std::uint32_t _zone_id) {
    m_redis_context.set_to_table(keys::fields(m_uid),
                                 {{s_project_uid, _project_uid}, {s_zone_id, std::to_string(_zone_id)}});
    add_to_set();
}

void zone::remove() {
    m_redis_context.command("DEL", keys::fields(m_uid), keys::data(m_uid));
    remove_from_set();
}

}  // namespace vyr::context
