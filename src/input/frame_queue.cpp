#include "input/frame_queue.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <stdexcept>

#include <zstd.h>

namespace vyr::input {

namespace {

// A frame's record: this header, for a report its times, the held parameter numbers, the
// device and the text, the whole padded to 8 bytes.
struct header {
    std::uint32_t text_size;
    frame_queue::kind what;
    std::uint8_t device_size;
    std::uint8_t held_count;
    std::uint8_t flags;  // s_writes, s_request_failed, s_anchor
};
static_assert(sizeof(header) == 8);
constexpr std::uint8_t s_writes = 1;
constexpr std::uint8_t s_request_failed = 2;
constexpr std::uint8_t s_anchor = 4;

struct report_times {
    std::int64_t stamp_seconds;
    std::int64_t stamp_microseconds;
    std::int64_t arrival;
};
static_assert(sizeof(report_times) == 24);

std::size_t record_size(const header& _h) {
    const std::size_t size = sizeof(header) + (_h.what == frame_queue::kind::report ? sizeof(report_times) : 0) +
                             _h.held_count * sizeof(std::uint32_t) + _h.device_size + _h.text_size;
    return (size + 7) & ~std::size_t{7};
}

// Compression level of the blocks: the fastest of the regular ones; the reports of a
// site are alike enough that it makes them several times smaller.
constexpr int s_pack_level = 1;

}  // namespace

struct frame_queue::zstd_contexts {
    ZSTD_CCtx* compress = ZSTD_createCCtx();
    ZSTD_DCtx* decompress = ZSTD_createDCtx();
    // Where a block is compressed before it is copied to an allocation of its size.
    std::unique_ptr<char[]> scratch{new char[ZSTD_compressBound(s_block_bytes)]};
};

void frame_queue::zstd_deleter::operator()(zstd_contexts* _contexts) const {
    ZSTD_freeCCtx(_contexts->compress);
    ZSTD_freeDCtx(_contexts->decompress);
    delete _contexts;
}

void frame_queue::pack(block& _block) {
    // A block of one frame larger than the others stays as it is.
    if (_block.capacity != s_block_bytes || _block.packed != 0)
        return;
    if (!m_zstd)
        m_zstd.reset(new zstd_contexts);
    // Without memory for the library's contexts the blocks stay as they are.
    if (!m_zstd->compress || !m_zstd->decompress)
        return;
    const std::size_t size = ZSTD_compressCCtx(m_zstd->compress, m_zstd->scratch.get(),
                                               ZSTD_compressBound(s_block_bytes), _block.data.get(), _block.end,
                                               s_pack_level);
    // Worth it only when it saves an eighth at least (a backlog of unlike frames is not).
    if (ZSTD_isError(size) || size > _block.end - _block.end / 8)
        return;
    std::unique_ptr<char[]> packed(new char[size]);
    std::memcpy(packed.get(), m_zstd->scratch.get(), size);
    // The block's memory is the next one written, where no spare is kept.
    if (m_spare.capacity == 0)
        m_spare = block{std::move(_block.data), _block.capacity, 0, 0};
    _block.data = std::move(packed);
    _block.packed = size;
    m_memory = m_memory - _block.capacity + size;
}

void frame_queue::unpack(block& _block) {
    std::unique_ptr<char[]> data;
    if (m_spare.capacity == s_block_bytes) {
        data = std::move(m_spare.data);
        m_spare = block{};
    } else {
        data.reset(new char[s_block_bytes]);
    }
    const std::size_t size =
        ZSTD_decompressDCtx(m_zstd->decompress, data.get(), s_block_bytes, _block.data.get(), _block.packed);
    if (ZSTD_isError(size) || size != _block.end)
        throw std::logic_error("frame_queue: a compressed block does not expand to what was written");
    m_memory = m_memory - _block.packed + _block.capacity;
    _block.data = std::move(data);
    _block.packed = 0;
}

void frame_queue::push(const frame& _frame) {
    if (_frame.device.size() > 255 || _frame.held.size() > 255 || _frame.text.size() > UINT32_MAX)
        throw std::length_error("frame_queue: a frame's device or held request is too long");
    const header h{static_cast<std::uint32_t>(_frame.text.size()), _frame.what,
                   static_cast<std::uint8_t>(_frame.device.size()), static_cast<std::uint8_t>(_frame.held.size()),
                   static_cast<std::uint8_t>((_frame.writes ? s_writes : 0) |
                                             (_frame.request_failed ? s_request_failed : 0) |
                                             (_frame.anchor ? s_anchor : 0))};
    const std::size_t size = record_size(h);
    if (m_blocks.empty() || m_blocks.back().capacity - m_blocks.back().end < size) {
        // The block filled is read after every block before it: compressed meanwhile,
        // unless it is the one read now.
        if (m_blocks.size() >= 2)
            pack(m_blocks.back());
        if (m_spare.capacity >= size) {
            m_blocks.push_back(std::move(m_spare));
            m_spare = block{};
        } else {
            const std::size_t capacity = std::max(size, s_block_bytes);
            m_blocks.push_back(block{std::make_unique<char[]>(capacity), capacity, 0, 0});
        }
        m_blocks.back().end = 0;
        m_memory += m_blocks.back().capacity;
        if (m_blocks.size() == 1)
            m_read = 0;
    }
    block& last = m_blocks.back();
    char* at = last.data.get() + last.end;
    std::memcpy(at, &h, sizeof h);
    at += sizeof h;
    if (h.what == kind::report) {
        const report_times times{_frame.stamp.tv_sec, _frame.stamp.tv_usec, _frame.arrival};
        std::memcpy(at, &times, sizeof times);
        at += sizeof times;
    }
    if (!_frame.held.empty())
        std::memcpy(at, _frame.held.data(), _frame.held.size() * sizeof(std::uint32_t));
    at += _frame.held.size() * sizeof(std::uint32_t);
    std::memcpy(at, _frame.device.data(), _frame.device.size());
    at += _frame.device.size();
    std::memcpy(at, _frame.text.data(), _frame.text.size());
    last.end += size;
    m_bytes += size;
    ++m_count;
}

frame_queue::frame frame_queue::front() const {
    assert(m_count != 0);
    const char* at = m_blocks.front().data.get() + m_read;
    header h;
    std::memcpy(&h, at, sizeof h);
    at += sizeof h;
    frame result;
    result.what = h.what;
    result.writes = (h.flags & s_writes) != 0;
    result.request_failed = (h.flags & s_request_failed) != 0;
    result.anchor = (h.flags & s_anchor) != 0;
    if (h.what == kind::report) {
        report_times times;
        std::memcpy(&times, at, sizeof times);
        at += sizeof times;
        result.stamp = timeval{static_cast<time_t>(times.stamp_seconds),
                               static_cast<suseconds_t>(times.stamp_microseconds)};
        result.arrival = times.arrival;
    }
    result.held.resize(h.held_count);
    if (h.held_count != 0)
        std::memcpy(result.held.data(), at, h.held_count * sizeof(std::uint32_t));
    at += h.held_count * sizeof(std::uint32_t);
    result.device = std::string_view(at, h.device_size);
    at += h.device_size;
    result.text = std::string_view(at, h.text_size);
    return result;
}

void frame_queue::pop() {
    assert(m_count != 0);
    header h;
    std::memcpy(&h, m_blocks.front().data.get() + m_read, sizeof h);
    const std::size_t size = record_size(h);
    m_read += size;
    m_bytes -= size;
    --m_count;
    if (m_read < m_blocks.front().end)
        return;
    // The front block is worked off: kept as the spare when it is the common size, and
    // the block written now is read from its start when it was the front one.
    block done = std::move(m_blocks.front());
    m_blocks.pop_front();
    m_read = 0;
    m_memory -= done.capacity;
    if (done.capacity == s_block_bytes)
        m_spare = std::move(done);
    if (!m_blocks.empty() && m_blocks.front().packed != 0)
        unpack(m_blocks.front());
}

}  // namespace vyr::input
