#include "context/tdoa_schedule.h"

#include <algorithm>

#include "core/exception.h"
#include "redis/transaction.h"

namespace vyr::context {

// The rows are replaced inside one transaction: a reader between deleting the old rows
// and adding the new ones would see a partial schedule and compute a wrong slot count
// from it, which nothing corrects later.
void tdoa_schedule::update(std::uint32_t _tdoa_version, const std::set<std::string>& _rows) {
    const auto rows_key = keys::rows(m_uid);
    redis::batch writes;
    writes.add("DEL", rows_key);
    writes.add("HMSET", keys::fields(m_uid), s_tdoa_version, _tdoa_version);
    common::add_members(writes, rows_key, _rows);
    add_to_set(writes);
    common::raise_mirror_version(writes, {keys::change(m_uid)});
    common::check_ok(vyr::redis::transaction(m_redis_context, writes).exec().as_array()[1], m_uid);
}

void tdoa_schedule::remove() {
    redis::batch writes;
    writes.add("DEL", keys::rows(m_uid));
    writes.add("DEL", keys::fields(m_uid));
    remove_from_set(writes);
    common::raise_mirror_version(writes, {keys::change(m_uid)});
    vyr::redis::transaction(m_redis_context, writes).exec();
}

std::set<std::string> tdoa_schedule::rows() const {
    const auto reply = m_redis_context.get_set_members(keys::rows(m_uid));
    if (reply.get_type() != redis::reply_type::ARRAY)
        common::throw_missing("rows", m_uid);
    std::set<std::string> result;
    reply.as_array().for_each_element([&](const redis::reply_element& _element) {
        result.insert(_element.to_string());
        return true;
    });
    return result;
}

std::uint32_t tdoa_schedule::slot_of_row(const std::string& _row) {
    std::size_t commas[4];
    std::size_t from = 1;
    for (auto& comma : commas) {
        comma = _row.find(',', from);
        if (comma == std::string::npos)
            VYR_THROW("Bad schedule format");
        from = comma + 1;
    }
    return common::to_unsigned(std::string_view(_row).substr(commas[2] + 1, commas[3] - commas[2] - 1), "the slot",
                               "schedule row \"" + _row + "\"");
}

std::uint32_t tdoa_schedule::max_slot_num() const { return max_slot_num(rows()); }

std::uint32_t tdoa_schedule::max_slot_num(const std::set<std::string>& _rows) {
    std::uint32_t result = 0;
    for (const auto& row : _rows)
        result = std::max(result, slot_of_row(row));
    return result;
}

std::optional<tdoa_schedule_data> tdoa_schedule::read() const {
    const auto reply = vyr::redis::transaction(m_redis_context)
                           .add("HGET", keys::fields(m_uid), s_tdoa_version)
                           .add("SMEMBERS", keys::rows(m_uid))
                           .exec();
    const auto replies = reply.as_array();
    return decode(common::text_of(replies[0]), common::to_members(replies[1]), m_uid);
}

std::optional<tdoa_schedule_data> tdoa_schedule::decode(const std::optional<std::string>& _tdoa_version,
                                                        std::vector<std::string> _rows, std::string_view _uid) {
    if (!_tdoa_version)
        return std::nullopt;
    tdoa_schedule_data result;
    result.tdoa_version = common::to_unsigned(*_tdoa_version, s_tdoa_version, keys::fields(_uid));
    for (auto& row : _rows)
        result.rows.insert(std::move(row));
    return result;
}

}  // namespace vyr::context
