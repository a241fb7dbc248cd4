#include "context/zone.h"
#include "redis/transaction.h"

namespace vyr::context {

// One transaction each: the fields and the kind set change together.
void zone::update(const std::string& _project_uid, std::uint32_t _zone_id) {
    redis::batch writes;
    writes.add("HMSET", keys::fields(m_uid), s_project_uid, _project_uid, s_zone_id, _zone_id);
    add_to_set(writes);
    common::raise_mirror_version(writes, {keys::change(m_uid)});
    vyr::redis::transaction(m_redis_context, writes).exec();
}

void zone::remove() {
    redis::batch writes;
    writes.add("DEL", keys::fields(m_uid), keys::data(m_uid));
    remove_from_set(writes);
    common::raise_mirror_version(writes, {keys::change(m_uid)});
    vyr::redis::transaction(m_redis_context, writes).exec();
}

}  // namespace vyr::context
