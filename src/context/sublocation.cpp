#include "context/sublocation.h"
#include "redis/transaction.h"

namespace vyr::context {

// One transaction each: the fields and the kind set change together.
void sublocation::update(const std::string& _project_uid, std::uint32_t _sublocation_id, std::int32_t _offset_x,
                         std::int32_t _offset_y, std::int32_t _offset_z) {
    redis::batch writes;
    writes.add("HMSET", keys::fields(m_uid), s_project_uid, _project_uid, s_sublocation_id, _sublocation_id,
               s_offset_x, _offset_x, s_offset_y, _offset_y, s_offset_z, _offset_z);
    add_to_set(writes);
    common::raise_mirror_version(writes, {keys::change(m_uid)});
    vyr::redis::transaction(m_redis_context, writes).exec();
}

void sublocation::remove() {
    redis::batch writes;
    writes.add("DEL", keys::fields(m_uid), keys::data(m_uid));
    remove_from_set(writes);
    common::raise_mirror_version(writes, {keys::change(m_uid)});
    vyr::redis::transaction(m_redis_context, writes).exec();
}

}  // namespace vyr::context
