#include "context/group.h"

namespace vyr::context {

void group::update(const std::string& _project_uid, const std::string& _name) {
    common::check_ok(m_redis_context.set_to_table(keys::fields(m_uid), {{s_project_uid, _project_uid}, {s_name, _name}}),
                     m_uid);
    add_to_set();
}

void group::remove() {
    m_redis_context.command("DEL", keys::fields(m_uid), keys::data(m_uid));
    remove_from_set();
}

}  // namespace vyr::context
