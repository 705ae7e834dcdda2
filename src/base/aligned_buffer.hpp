#pragma once
// An owned, 64-byte aligned, uninitialised element buffer. Results are written
// in full by their kernels, so there is no zero-fill to pay for.
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#include "base/large_blocks.hpp"

namespace pelor {

template <class T>
class AlignedBuffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    static constexpr std::size_t alignment = 64;

    AlignedBuffer() = default;
    explicit AlignedBuffer(std::size_t count) : size_(count) {
        if (count == 0) return;
        const std::size_t n = bytes();
        data_ = static_cast<T*>(n >= large_blocks::threshold ? large_blocks::allocate(n)
                                                              : std::aligned_alloc(alignment, n));
        if (!data_) throw std::bad_alloc();  // exhaustion ends the process
    }
    AlignedBuffer(const AlignedBuffer& other) : AlignedBuffer(other.size_) {
        if (size_) std::memcpy(data_, other.data_, size_ * sizeof(T));
    }
    AlignedBuffer(AlignedBuffer&& other) noexcept : data_(other.data_), size_(other.size_) {
        other.data_ = nullptr;
        other.size_ = 0;
    }
    AlignedBuffer& operator=(AlignedBuffer other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        return *this;
    }
    ~AlignedBuffer() { release(); }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }

private:
    // aligned_alloc wants a multiple of the alignment.
    std::size_t bytes() const { return (size_ * sizeof(T) + alignment - 1) / alignment * alignment; }
    void release() noexcept {
        if (!data_) return;
        if (bytes() >= large_blocks::threshold) large_blocks::release(data_, bytes());
        else std::free(data_);
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace pelor
