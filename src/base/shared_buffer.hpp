#pragma once
// A counted handle to a 64-byte aligned, uninitialised element buffer that
// several arrays hold at once. The last handle to go frees the buffer, on
// whichever thread that happens.
//
// The count lives in a header. A small buffer carries it in the same block,
// one alignment unit before the elements, so sharing costs no allocation of
// its own; a large one (a block kept for reuse, see large_blocks.hpp) stays an
// AlignedBuffer of its exact size class, owned by a separate header.
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>

#include "base/aligned_buffer.hpp"

namespace pelor {

template <class T>
class SharedBuffer {
    struct Header {
        std::atomic<std::size_t> holders{1};
        std::size_t size;           // elements
        AlignedBuffer<T> separate;  // a large buffer's elements; empty when they follow the header
    };
    static constexpr std::size_t inline_space = detail::buffer_alignment;
    static_assert(sizeof(Header) <= inline_space);

public:
    SharedBuffer() = default;  // no elements

    static Allocated<SharedBuffer> allocate(std::size_t count) {
        SharedBuffer b;
        if (count == 0) return b;
        const auto bytes = detail::buffer_bytes(count, sizeof(T));
        if (!bytes) return std::unexpected(AllocationFailure{count, sizeof(T)});
        if (*bytes < large_blocks::threshold) {
            void* block = std::aligned_alloc(detail::buffer_alignment, inline_space + *bytes);
            if (!block) return std::unexpected(AllocationFailure{count, sizeof(T)});
            b.header_ = new (block) Header{.size = count, .separate = {}};
            b.data_ = reinterpret_cast<T*>(static_cast<char*>(block) + inline_space);
        } else {
            auto elements = AlignedBuffer<T>::allocate(count);
            if (!elements) return std::unexpected(elements.error());
            b.header_ = new (std::nothrow) Header{.size = count, .separate = std::move(*elements)};
            if (!b.header_) return std::unexpected(AllocationFailure{count, sizeof(T)});
            b.data_ = b.header_->separate.data();
        }
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
    // Out of line, so that destroying a handle (most often an empty, moved-from
    // one) stays small enough to inline wherever a storage is destroyed.
    [[gnu::noinline]] static void release(Header* h) noexcept {
        if (h->separate.size()) {
            delete h;  // the AlignedBuffer gives its block back
        } else {
            h->~Header();
            std::free(h);
        }
    }

    Header* header_ = nullptr;
    T* data_ = nullptr;
};

}  // namespace pelor
