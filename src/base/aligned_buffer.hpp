#pragma once
// An owned, 64-byte aligned, uninitialised element buffer. Results are written
// in full by their kernels, so there is no zero-fill to pay for.
//
// Buffers come only from allocate() (or clone(), which calls it): the one
// place where an element count becomes a byte count and memory is asked for.
// A count whose bytes do not fit in a signed machine word, or memory the
// system refuses, is an AllocationFailure value, never an exception.
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>

#include "base/allocation_failure.hpp"
#include "base/large_blocks.hpp"

namespace pelor {

namespace detail {

inline constexpr std::size_t buffer_alignment = 64;

// count * element_size rounded up to the alignment (aligned_alloc wants a
// multiple of it); nullopt when that exceeds 2^63 - 1.
inline std::optional<std::size_t> buffer_bytes(std::size_t count, std::size_t element_size) {
    constexpr std::size_t limit = std::size_t(std::numeric_limits<std::ptrdiff_t>::max()) - buffer_alignment;
    std::size_t bytes;
    if (__builtin_mul_overflow(count, element_size, &bytes) || bytes > limit) return std::nullopt;
    return (bytes + buffer_alignment - 1) / buffer_alignment * buffer_alignment;
}

// Null data when the system has no memory left.
inline large_blocks::Block allocate_block(std::size_t bytes) noexcept {
    if (bytes >= large_blocks::threshold) return large_blocks::allocate(bytes);
    return {std::aligned_alloc(buffer_alignment, bytes), nullptr};
}

inline void release_block(large_blocks::Block block, std::size_t bytes) noexcept {
    if (bytes >= large_blocks::threshold) large_blocks::release(block, bytes);
    else std::free(block.data);
}

}  // namespace detail

template <class T>
class AlignedBuffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    static constexpr std::size_t alignment = detail::buffer_alignment;

    AlignedBuffer() = default;

    static Allocated<AlignedBuffer> allocate(std::size_t count) {
        AlignedBuffer b;
        if (count == 0) return b;
        const auto bytes = detail::buffer_bytes(count, sizeof(T));
        if (!bytes) return std::unexpected(AllocationFailure{count, sizeof(T)});
        const auto block = detail::allocate_block(*bytes);
        b.data_ = static_cast<T*>(block.data);
        b.maker_ = block.maker;
        if (!b.data_) return std::unexpected(AllocationFailure{count, sizeof(T)});
        b.size_ = count;
        b.bytes_ = *bytes;
        return b;
    }

    // Copies are explicit and can fail, like any allocation.
    Allocated<AlignedBuffer> clone() const {
        auto copy = allocate(size_);
        if (copy && size_) std::memcpy(copy->data_, data_, size_ * sizeof(T));
        return copy;
    }

    AlignedBuffer(const AlignedBuffer&) = delete;
    AlignedBuffer(AlignedBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          bytes_(std::exchange(other.bytes_, 0)),
          maker_(std::exchange(other.maker_, nullptr)) {}
    AlignedBuffer& operator=(AlignedBuffer other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(bytes_, other.bytes_);
        std::swap(maker_, other.maker_);
        return *this;
    }
    ~AlignedBuffer() {
        if (data_) detail::release_block({data_, maker_}, bytes_);
    }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t bytes_ = 0;  // as allocated, for the release
    large_blocks::Account* maker_ = nullptr;  // whose live bytes this buffer counts in
};

}  // namespace pelor
