#pragma once
// The plain description of a strided buffer owned elsewhere (a NumPy array,
// for one), through which storages are imported and exported without the
// engine knowing the owner. The owner keeps the buffer alive and unchanged
// while a copy runs.
#include <array>
#include <cstddef>

#include "base/shape.hpp"
#include "tensor/storage.hpp"

namespace pelor::tensor::storage {

// A non-contiguous buffer is walked axis by axis, at most this many
// (NumPy's own historical limit for strided element access and creation).
inline constexpr std::size_t max_strided_axes = 32;

struct StridedBuffer {
    const void* data = nullptr;
    DType dtype = DType::F32;
    Shape shape;
    // Dense row-major: byte_strides is not read.
    bool contiguous = true;
    std::array<std::ptrdiff_t, max_strided_axes> byte_strides{};
};

// What narrowing float32 to a 16-bit type met on the way, as NumPy's casts
// report it through its floating-point error state.
struct CastEvents {
    bool overflow = false;   // a finite value rounded to infinity
    bool underflow = false;  // a value below the normal range that is not exact
    bool invalid = false;    // a signalling NaN
    bool any() const { return overflow || underflow || invalid; }
};

struct Narrowed {
    Storage storage;
    CastEvents events;
};

}  // namespace pelor::tensor::storage
