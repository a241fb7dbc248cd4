// Replies decoded into one block of memory per read. A connection installs these on each
// hiredis context it makes: its reader then builds every reply object and text in the
// arena of the `reply_arena::scope` open on the thread, where hiredis's own would allocate
// (and later free) each element and each text by itself. A pipeline of a few thousand
// hash replies so costs a handful of allocations. The replies of a scope keep its arena
// alive (redis/reply.h); freeing one of them frees nothing by itself. A context with these
// installed reads only while a scope is open on its thread: without one the reader fails
// as out of memory. After a failed read the context is not read again (hiredis cannot
// go on after an error), so no reader keeps a pointer into an arena that is gone.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

struct redisContext;

namespace vyr::redis {

class reply_arena {
public:
    reply_arena() = default;
    reply_arena(const reply_arena&) = delete;
    reply_arena& operator=(const reply_arena&) = delete;

    // `_size` bytes aligned for any reply object; never null (throws std::bad_alloc).
    void* allocate(std::size_t _size);

    // Makes the reader of `_context` build its replies in the open scope's arena.
    static void install(redisContext& _context);

    // The arena the replies read on this thread go to while it lives; scopes do not nest.
    class scope {
    public:
        scope();
        scope(const scope&) = delete;
        scope& operator=(const scope&) = delete;
        ~scope();
        // What a reply read in this scope holds to keep its memory.
        const std::shared_ptr<reply_arena>& owner() const noexcept { return m_arena; }

    private:
        std::shared_ptr<reply_arena> m_arena;
    };

private:
    std::vector<std::unique_ptr<std::byte[]>> m_blocks;
    std::byte* m_at = nullptr;
    std::size_t m_left = 0;
    // Each new block twice the last, up to a bound: a short reply costs little, a long
    // pipeline few blocks.
    std::size_t m_next_block = 1024;
};

}  // namespace vyr::redis
