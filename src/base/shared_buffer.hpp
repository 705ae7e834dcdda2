#pragma once
// A counted handle to a 64-byte aligned, uninitialised element buffer that
// several arrays hold at once. The last handle to go frees the buffer, on
// whichever thread that happens.
//
// The count lives in a header. A small buffer carries it in the same block,
// one alignment unit before the elements, so sharing costs no allocation of
// its own; a large one (a block kept for reuse, see large_blocks.hpp) keeps
// its size class exact and takes a separate header instead.
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>

#include "base/aligned_buffer.hpp"

namespace pelor {

namespace detail {

struct SharedBlockHeader {
    static constexpr std::size_t inline_space = buffer_alignment;

    std::atomic<std::size_t> holders{1};
    std::size_t size;         // elements
    std::size_t bytes;        // of the elements' own block, as allocated
    void* separate_block;     // that block, or null when the elements follow the header

    void* elements() noexcept {
        return separate_block ? separate_block : reinterpret_cast<char*>(this) + inline_space;
    }
};
static_assert(sizeof(SharedBlockHeader) <= SharedBlockHeader::inline_space);

}  // namespace detail

template <class T>
class SharedBuffer {
    static_assert(std::is_trivially_copyable_v<T>);
    using Header = detail::SharedBlockHeader;

public:
    SharedBuffer() = default;  // no elements

    static Allocated<SharedBuffer> allocate(std::size_t count) {
        SharedBuffer b;
        if (count == 0) return b;
        const auto bytes = detail::buffer_bytes(count, sizeof(T));
        if (!bytes) return std::unexpected(AllocationFailure{count, sizeof(T)});
        if (*bytes < large_blocks::threshold) {
            void* block = std::aligned_alloc(detail::buffer_alignment, Header::inline_space + *bytes);
            if (!block) return std::unexpected(AllocationFailure{count, sizeof(T)});
            b.header_ = new (block) Header{.size = count, .bytes = *bytes, .separate_block = nullptr};
        } else {
            void* elements = detail::allocate_block(*bytes);
            Header* header =
                elements ? new (std::nothrow) Header{.size = count, .bytes = *bytes, .separate_block = elements} : nullptr;
            if (!header) {
                if (elements) detail::release_block(elements, *bytes);
                return std::unexpected(AllocationFailure{count, sizeof(T)});
            }
            b.header_ = header;
        }
        b.data_ = static_cast<T*>(b.header_->elements());
        return b;
    }

    SharedBuffer(const SharedBuffer& other) noexcept : header_(other.header_), data_(other.data_) {
        if (header_) header_->holders.fetch_add(1, std::memory_order_relaxed);
    }
    SharedBuffer(SharedBuffer&& other) noexcept
        : header_(std::exchange(other.header_, nullptr)), data_(std::exchange(other.data_, nullptr)) {}
    SharedBuffer& operator=(SharedBuffer other) noexcept {
        std::swap(header_, other.header_);
        std::swap(data_, other.data_);
        return *this;
    }
    ~SharedBuffer() {
        if (!header_) return;
        // The only holder frees at once (nobody can take a handle from it
        // meanwhile); otherwise the last decrement frees. Acquiring the count
        // orders every other holder's reads before the free.
        if (header_->holders.load(std::memory_order_acquire) == 1 ||
            header_->holders.fetch_sub(1, std::memory_order_acq_rel) == 1)
            release(header_);
    }

    T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return header_ ? header_->size : 0; }
    // No other handle holds the buffer: writing it cannot be seen elsewhere.
    bool unique() const noexcept { return !header_ || header_->holders.load(std::memory_order_acquire) == 1; }

private:
    static void release(Header* h) noexcept {
        if (h->separate_block) {
            detail::release_block(h->separate_block, h->bytes);
            delete h;
        } else {
            h->~Header();
            std::free(h);
        }
    }

    Header* header_ = nullptr;
    T* data_ = nullptr;
};

}  // namespace pelor
