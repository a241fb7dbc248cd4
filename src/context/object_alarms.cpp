#include "context/object_alarms.h"

#include "context/errors.h"
#include "redis/connection.h"
#include "redis/pipeline.h"

namespace vyr::context {

namespace {

bool is_error(const redis::reply& _reply) { return _reply.get_type() == redis::reply_type::ERROR; }

// One alarm from its fields and "delivered" replies, into `_into`; nothing when the
// record is gone.
void decode_alarm(const std::string& _uid, const redis::reply& _fields, const redis::reply& _delivered,
                  object_alarms& _into) {
    if (is_error(_fields) || is_error(_delivered)) {
        const auto& failed = is_error(_fields) ? _fields : _delivered;
        const auto name = is_error(_fields) ? std::nullopt : common::get(common::to_hash(_fields), alarm::s_alarm_name);
        _into.broken.push_back({_uid, name.value_or(std::string()),
                                "a key of the record holds another type: " + failed.to_string()});
        return;
    }
    auto fields = common::to_hash(_fields);
    if (fields.empty())
        return;
    try {
        _into.alarms.emplace_back(_uid, alarm::decode(fields, common::text_of(_delivered), _uid));
    } catch (const bad_data& _error) {
        _into.broken.push_back({_uid, common::get(fields, alarm::s_alarm_name).value_or(std::string()), _error.what()});
    }
}

}  // namespace

std::vector<object_alarms> read_object_alarms(redis::connection& _redis_context,
                                              const std::vector<std::string>& _object_uids) {
    std::vector<object_alarms> result(_object_uids.size());
    if (_object_uids.empty())
        return result;
    redis::batch indexes;
    for (const auto& uid : _object_uids)
        indexes.add("SMEMBERS", alarm::keys::objects(uid));
    const auto listed = vyr::redis::pipeline(_redis_context, std::move(indexes)).exec_reads();
    // The records the indexes name, each as its fields and its "delivered" flag.
    redis::batch records;
    std::vector<std::pair<std::size_t, std::string>> owners;
    for (std::size_t i = 0; i < _object_uids.size(); ++i) {
        if (is_error(listed[i])) {
            result[i].index_error = "a key of the record holds another type: " + listed[i].to_string();
            continue;
        }
        for (auto& uid : common::to_members(listed[i])) {
            records.add("HGETALL", alarm::keys::fields(uid)).add("HGET", alarm::keys::data(uid), alarm::s_delivered);
            owners.emplace_back(i, std::move(uid));
        }
    }
    if (records.empty())
        return result;
    const auto replies = vyr::redis::pipeline(_redis_context, std::move(records)).exec_reads();
    for (std::size_t n = 0; n < owners.size(); ++n)
        decode_alarm(owners[n].second, replies[2 * n], replies[2 * n + 1], result[owners[n].first]);
    return result;
}

}  // namespace vyr::context
