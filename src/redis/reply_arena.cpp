#include "redis/reply_arena.h"

#include <hiredis/hiredis.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace vyr::redis {

namespace {

thread_local reply_arena* t_arena = nullptr;

constexpr std::size_t s_alignment = alignof(redisReply);
constexpr std::size_t s_largest_block = std::size_t{1} << 20;

// A reply object of `_type` in the scope's arena, linked into its parent array as hiredis
// links its own; null (read as out of memory) without a scope or memory.
redisReply* make(const redisReadTask* _task, int _type, std::size_t _extra = 0) noexcept {
    if (!t_arena)
        return nullptr;
    void* place = nullptr;
    try {
        place = t_arena->allocate(sizeof(redisReply) + _extra);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    auto* reply = new (place) redisReply{};
    reply->type = _type;
    if (_task->parent) {
        auto* parent = static_cast<redisReply*>(_task->parent->obj);
        parent->element[_task->idx] = reply;
    }
    return reply;
}

void* create_string(const redisReadTask* _task, char* _text, size_t _length) {
    auto* reply = make(_task, _task->type, _length + 1);
    if (!reply)
        return nullptr;
    // The text right behind its object, terminated as hiredis terminates its own.
    auto* text = reinterpret_cast<char*>(reply + 1);
    std::memcpy(text, _text, _length);
    text[_length] = '\0';
    reply->str = text;
    reply->len = _length;
    return reply;
}

void* create_array(const redisReadTask* _task, int _elements) {
    const auto count = static_cast<std::size_t>(std::max(_elements, 0));
    auto* reply = make(_task, REDIS_REPLY_ARRAY, count * sizeof(redisReply*));
    if (!reply)
        return nullptr;
    if (count != 0) {
        reply->element = reinterpret_cast<redisReply**>(reply + 1);
        std::fill_n(reply->element, count, nullptr);
    }
    reply->elements = count;
    return reply;
}

void* create_integer(const redisReadTask* _task, long long _value) {
    auto* reply = make(_task, REDIS_REPLY_INTEGER);
    if (reply)
        reply->integer = _value;
    return reply;
}

void* create_nil(const redisReadTask* _task) { return make(_task, REDIS_REPLY_NIL); }

// The arena frees everything at once.
void free_object(void*) {}

redisReplyObjectFunctions s_functions = [] {
    redisReplyObjectFunctions functions{};
    functions.createString = create_string;
    functions.createArray = create_array;
    functions.createInteger = create_integer;
    functions.createNil = create_nil;
    functions.freeObject = free_object;
    return functions;
}();

}  // namespace

void* reply_arena::allocate(std::size_t _size) {
    _size = (_size + s_alignment - 1) & ~(s_alignment - 1);
    if (_size > m_left) {
        const auto block = std::max(_size, m_next_block);
        m_next_block = std::min(m_next_block * 2, s_largest_block);
        // Left uninitialised: the reader writes every byte it hands out.
        m_blocks.emplace_back(new std::byte[block]);
        m_at = m_blocks.back().get();
        m_left = block;
    }
    void* place = m_at;
    m_at += _size;
    m_left -= _size;
    return place;
}

void reply_arena::install(redisContext& _context) { _context.reader->fn = &s_functions; }

reply_arena::scope::scope() : m_arena(std::make_shared<reply_arena>()) { t_arena = m_arena.get(); }

reply_arena::scope::~scope() { t_arena = nullptr; }

}  // namespace vyr::redis
