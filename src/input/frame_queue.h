// The receiver's backlog: frames taken off the proxy and not yet handled, in the order
// they came. At start-up a large site queues tens of thousands of them within seconds,
// most of a hundred bytes or so, so a frame is not an object of its own: its bytes, and
// the little the receiver keeps of it from the moment it was taken, are written end to end
// into blocks of s_block_bytes, and a block is freed once every frame in it is handled.
// A frame costs its text and a header of at most 40 bytes, with no allocation of its own.
// A block between the one read and the one written is kept compressed (the reports of a
// site are much alike: a few times smaller), so that a backlog of a large site starting up
// fits in memory and the requests among its frames need not wait in the socket.
// Owned and used by the receiver thread only; no locks.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string_view>
#include <vector>

namespace vyr::input {

class frame_queue {
public:
    enum class kind : std::uint8_t {
        report,        // a "#param_p" report, its text the body after the tag
        heartbeat,     // a well-formed heartbeat ("HB"), its "dev_id" as the text
        announcement,  // a well-formed announcement ("NA"), likewise
        other,         // anything else, the whole frame, handled alone
    };
    // What a frame was taken with. The views point into the queue.
    struct frame {
        kind what = kind::other;
        std::string_view text;
        // Of a report its MAC; of an announcement the device it names (empty when none).
        std::string_view device;
        // The frame writes the device's record: its count of pending writes was raised.
        bool writes = false;
        // Of a report: the time it goes by, when it came in (seconds), the parameters of
        // its request held back to be asked after its writes, and whether its request
        // could not be read.
        timeval stamp{};
        std::int64_t arrival = 0;
        std::vector<std::uint32_t> held;
        bool request_failed = false;
        // Of a heartbeat: it came from an anchor (a WIN).
        bool anchor = false;
    };

    static constexpr std::size_t s_block_bytes = std::size_t{64} << 10;

    frame_queue() = default;
    frame_queue(const frame_queue&) = delete;
    frame_queue& operator=(const frame_queue&) = delete;

    // Appends a frame; `_frame.device` is at most 255 bytes and `_frame.held` at most 255
    // numbers (a request names each parameter once).
    void push(const frame& _frame);
    bool empty() const { return m_count == 0; }
    std::size_t size() const { return m_count; }
    // Bytes the queued frames take in their blocks, headers included.
    std::size_t bytes() const { return m_bytes; }
    // Memory the blocks take: those read and written whole, the others compressed.
    std::size_t memory() const { return m_memory; }
    // The oldest frame; its views stay valid until the next pop(). Not on an empty queue.
    frame front() const;
    void pop();

private:
    struct block {
        std::unique_ptr<char[]> data;
        std::size_t capacity = 0;
        std::size_t end = 0;  // bytes written
        // Compressed: `data` holds `packed` bytes that expand to `end`.
        std::size_t packed = 0;
    };
    // The block just filled, not the one read: compressed when that makes it smaller.
    void pack(block& _block);
    // The front block, compressed: expanded into a block of its own capacity.
    void unpack(block& _block);
    struct zstd_contexts;
    struct zstd_deleter {
        void operator()(zstd_contexts* _contexts) const;
    };
    // Where the next frame is read: the front block's offset.
    std::size_t m_read = 0;
    std::deque<block> m_blocks;
    // The last block emptied, kept for the next one needed: the queue that fills and
    // empties around one block does not allocate each time.
    block m_spare;
    std::size_t m_count = 0;
    std::size_t m_bytes = 0;
    std::size_t m_memory = 0;
    // Made when the first block is compressed, and kept.
    std::unique_ptr<zstd_contexts, zstd_deleter> m_zstd;
};

}  // namespace vyr::input
