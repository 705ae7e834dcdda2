#pragma once
// The n-dimensional array behind every storage: a dense, owned buffer with a
// shape and signed element strides, plus read-only strided views (broadcast
// views have stride 0 on stretched axes).
//
// Invariants of an owned array: the buffer holds exactly product(shape)
// elements, strides are non-negative and are the row-major strides of some
// ordering of the axes, so the first logical element is buffer[0].
#include <cassert>
#include <cstring>
#include <expected>
#include <limits>
#include <utility>

#include "base/aligned_buffer.hpp"
#include "base/shape.hpp"

namespace pelor {

template <class T>
struct ArrayView {
    const T* data;
    Shape shape;
    Strides strides;  // in elements; 0 on broadcast axes

    std::size_t ndim() const { return shape.size(); }
};

template <class T>
class NdArray {
public:
    using value_type = T;

    // Default strides, contents uninitialised: the caller writes every element.
    static Allocated<NdArray> allocate(Shape shape) {
        Strides strides = default_strides(shape);
        return allocate(std::move(shape), std::move(strides));
    }

    // A dense array in the given permutation layout (e.g. column-major).
    static Allocated<NdArray> allocate(Shape shape, Strides strides) {
        // A count past 2^63 - 1 is refused like any other size that cannot be held.
        const auto count = checked_element_count(shape);
        auto buffer = AlignedBuffer<T>::allocate(count ? *count : std::numeric_limits<std::size_t>::max());
        if (!buffer) return std::unexpected(buffer.error());
        return NdArray(std::move(shape), std::move(strides), std::move(*buffer));
    }

    // Behaviour 3: every element set to `value`, default strides.
    static Allocated<NdArray> filled(Shape shape, T value) {
        auto a = allocate(std::move(shape));
        if (!a) return a;
        T* p = a->data();
        for (std::size_t i = 0, n = a->size(); i < n; ++i) p[i] = value;
        return a;
    }

    // Behaviour 2: a row-major flat buffer and a shape.
    static std::expected<NdArray, ShapeError> from_buffer(Shape shape, AlignedBuffer<T> buffer) {
        if (buffer.size() != element_count(shape)) return std::unexpected(ShapeError::IncompatibleShape);
        Strides strides = default_strides(shape);
        return NdArray(std::move(shape), std::move(strides), std::move(buffer));
    }

    // Same shape, strides and elements in a new buffer.
    Allocated<NdArray> clone() const {
        auto buffer = buffer_.clone();
        if (!buffer) return std::unexpected(buffer.error());
        return NdArray(shape_, strides_, std::move(*buffer));
    }

    NdArray(const NdArray&) = delete;
    NdArray& operator=(const NdArray&) = delete;
    NdArray(NdArray&&) noexcept = default;
    NdArray& operator=(NdArray&&) noexcept = default;

    const Shape& shape() const { return shape_; }
    const Strides& strides() const { return strides_; }
    std::size_t ndim() const { return shape_.size(); }
    std::size_t size() const { return buffer_.size(); }
    T* data() { return buffer_.data(); }
    const T* data() const { return buffer_.data(); }

    bool is_standard_layout() const { return pelor::is_standard_layout(shape_, strides_); }
    bool is_column_major_layout() const { return pelor::is_column_major_layout(shape_, strides_); }

    ArrayView<T> view() const { return ArrayView<T>{data(), shape_, strides_}; }

    // Behaviour 6: exchange two axes' lengths and strides; no element moves.
    // The caller checks that both indices are below ndim().
    void swap_axes(std::size_t a, std::size_t b) {
        assert(a < ndim() && b < ndim());
        std::swap(shape_[a], shape_[b]);
        std::swap(strides_[a], strides_[b]);
    }

    // Behaviour 7: row-major reshape of a standard-layout array.
    std::expected<void, ShapeError> reshape(Shape shape) {
        if (element_count(shape) != size()) return std::unexpected(ShapeError::IncompatibleShape);
        if (!is_standard_layout()) return std::unexpected(ShapeError::IncompatibleLayout);
        strides_ = default_strides(shape);
        shape_ = std::move(shape);
        return {};
    }

private:
    NdArray(Shape shape, Strides strides, AlignedBuffer<T> buffer)
        : shape_(std::move(shape)), strides_(std::move(strides)), buffer_(std::move(buffer)) {}

    Shape shape_;
    Strides strides_;
    AlignedBuffer<T> buffer_;
};

}  // namespace pelor
