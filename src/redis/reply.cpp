#include "redis/reply.h"

#include <hiredis/hiredis.h>

#include "core/exception.h"

namespace vyr::redis {

reply_type reply_element::get_type() const noexcept { return static_cast<reply_type>(m_element->type); }

std::string reply_element::to_string() const { return std::string(view()); }

std::string_view reply_element::view() const {
    switch (get_type()) {
    case reply_type::STRING:
    case reply_type::STATUS:
    case reply_type::ERROR:
        return std::string_view(m_element->str, m_element->len);
    default:
        VYR_THROW("Reply is not string, actual type: " + redis::to_string(get_type()));
    }
}

long long reply_element::to_integer() const {
    if (get_type() != reply_type::INTEGER)
        VYR_THROW("Reply is not integer, actual type: " + redis::to_string(get_type()));
    return m_element->integer;
}

reply_array reply_element::as_array() const {
    if (get_type() != reply_type::ARRAY)
        VYR_THROW("Reply is not array, actual type: " + redis::to_string(get_type()));
    return reply_array(m_element->element, m_element->elements);
}

reply::reply(redisReply* _reply) : reply_element(*_reply), m_owner(_reply, [](const void* _owned) {
    freeReplyObject(const_cast<void*>(_owned));
}) {}

reply::reply(reply&& _other) noexcept : reply_element(_other), m_owner(std::move(_other.m_owner)) {}

reply& reply::operator=(reply&& _other) noexcept {
    reply_element::operator=(_other);
    m_owner = std::move(_other.m_owner);
    return *this;
}

reply::~reply() = default;

reply_element reply_array::operator[](std::size_t _index) const {
    if (_index >= m_size)
        VYR_THROW("Index out of range");
    return reply_element(*m_data[_index]);
}

bool reply_array::for_each_element(const std::function<bool(const reply_element&)>& _f) const {
    for (std::size_t i = 0; i < m_size; ++i)
        if (!_f(reply_element(*m_data[i])))
            return false;
    return true;
}

}  // namespace vyr::redis
