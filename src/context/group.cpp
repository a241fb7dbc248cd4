#include "context/group.h"
#include "redis/transaction.h"

namespace vyr::context {

// Each write is one transaction, so that a reader never sees a group listed without its
// fields or the other way round.
void group::update(const std::string& _project_uid, const std::string& _name) {
    redis::batch writes;
    writes.add("HMSET", keys::fields(m_uid), s_project_uid, _project_uid, s_name, _name);
    add_to_set(writes);
    common::raise_mirror_version(writes, {keys::change(m_uid)});
    common::check_ok(vyr::redis::transaction(m_redis_context, writes).exec().as_array()[0], m_uid);
}

void group::remove() {
    redis::batch writes;
    writes.add("DEL", keys::fields(m_uid), keys::data(m_uid));
    remove_from_set(writes);
    common::raise_mirror_version(writes, {keys::change(m_uid)});
    vyr::redis::transaction(m_redis_context, writes).exec();
}

}  // namespace vyr::context
