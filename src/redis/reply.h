// Typed access to the replies of the Redis client. A `reply` owns one hiredis reply, or
// shares the arena it was read into, and frees it when destroyed; `reply_element` and
// `reply_array` are views into a reply and are valid only while the owning `reply` lives. Replies are used by the thread that
// received them; nothing here locks.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "redis/reply_type.h"

struct redisReply;

namespace vyr::redis {

class reply_array;

// A non-owning view of one reply object (the whole reply or one element of an array).
class reply_element {
public:
    explicit reply_element(const redisReply& _element) noexcept : m_element(&_element) {}
    reply_element(const reply_element&) = default;
    reply_element& operator=(const reply_element&) = default;
    virtual ~reply_element() = default;

    reply_type get_type() const noexcept;
    bool is_string() const noexcept { return get_type() == reply_type::STRING; }
    bool is_nil() const noexcept { return get_type() == reply_type::NIL; }

    // The reply's text, binary-safe. Allowed for STRING, STATUS and ERROR replies;
    // throws "Reply is not string, actual type: <type>" for any other.
    std::string to_string() const;
    // The same text without a copy, valid while the owning `reply` lives.
    std::string_view view() const;
    // Allowed for INTEGER replies; throws "Reply is not integer, actual type: <type>".
    long long to_integer() const;
    // Allowed for ARRAY replies; throws "Reply is not array, actual type: <type>".
    reply_array as_array() const;

protected:
    const redisReply* m_element;
};

// The owning form returned by every command. Movable, not copyable.
class reply : public reply_element {
public:
    // Takes ownership of `_reply`, which must not be null and was made by hiredis's own
    // functions (freed with freeReplyObject).
    explicit reply(redisReply* _reply);
    // A reply whose memory `_owner` holds (redis/reply_arena.h).
    reply(const redisReply& _reply, std::shared_ptr<const void> _owner) noexcept
        : reply_element(_reply), m_owner(std::move(_owner)) {}
    reply(reply&&) noexcept;
    reply& operator=(reply&&) noexcept;
    reply(const reply&) = delete;
    reply& operator=(const reply&) = delete;
    ~reply() override;

private:
    std::shared_ptr<const void> m_owner;
};

// A non-owning view of the elements of an array reply.
class reply_array {
public:
    reply_array(redisReply* const* _data, std::size_t _size) noexcept : m_data(_data), m_size(_size) {}

    std::size_t size() const noexcept { return m_size; }
    bool empty() const noexcept { return m_size == 0; }
    // Throws "Index out of range" for an index not below size().
    reply_element operator[](std::size_t _index) const;
    // Calls `_f` on each element in order and stops at the first call that returns
    // false. Returns false when it stopped early, true when every element was visited.
    bool for_each_element(const std::function<bool(const reply_element&)>& _f) const;

private:
    redisReply* const* m_data;
    std::size_t m_size;
};

}  // namespace vyr::redis
