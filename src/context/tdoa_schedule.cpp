#include "context/tdoa_schedule.h"

#include <algorithm>

#include "core/exception.h"

namespace vyr::context {

void tdoa_schedule::update(std::uint32_t _tdoa_version, const std::set<std::string>& _rows) {
    const auto rows_key = keys::rows(m_uid);
    if (exists())
        m_redis_context.command("DEL", rows_key);
    common::check_ok(
        m_redis_context.set_to_table(keys::fields(m_uid), {{s_tdoa_version, std::to_string(_tdoa_version)}}), m_uid);
    for (const auto& row : _rows)
        m_redis_context.command("SADD", rows_key, row);
    add_to_set();
}

void tdoa_schedule::remove() {
    m_redis_context.command("DEL", keys::rows(m_uid));
    m_redis_context.command("DEL", keys::fields(m_uid));
    remove_from_set();
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
    return common::to_unsigned(_row.substr(commas[2] + 1, commas[3] - commas[2] - 1));
}

std::uint32_t tdoa_schedule::max_slot_num() const {
    std::uint32_t result = 0;
    for (const auto& row : rows())
        result = std::max(result, slot_of_row(row));
    return result;
}

}  // namespace vyr::context
