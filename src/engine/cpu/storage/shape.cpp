// Reshape, transpose and the fills. A reshape or transpose moves no element:
// its result is a new shape and new strides over the input's buffer.
#include <string>
#include <type_traits>

#include "engine/cpu/storage/cpu_storage.hpp"
#include "engine/cpu/storage/refusals.hpp"

namespace pelor::engine::cpu::storage {

Result<Storage> CpuStorage::reshape(const Storage& s, const Shape& shape) {
    // A product that overflows could wrap around to the source's element
    // count; such a shape never describes a buffer we could hold.
    if (!nonzero_product_fits(shape))
        return reshape_refused(ShapeError::IncompatibleShape);
    return s.visit([&](const auto& a) -> Result<Storage> {
        auto view = a.alias();
        if (auto r = view.reshape(shape); !r) return reshape_refused(r.error());
        return Storage(std::move(view));
    });
}

Result<Storage> CpuStorage::transpose(const Storage& s, std::size_t dim0, std::size_t dim1) {
    const std::size_t n = s.ndim();
    if (dim0 >= n || dim1 >= n)
        return value_error("transpose() axis out of range: dim0=" + std::to_string(dim0) + ", dim1=" +
                           std::to_string(dim1) + " for a tensor with " + std::to_string(n) + " axes");
    return s.visit([&](const auto& a) -> Result<Storage> {
        auto view = a.alias();
        view.swap_axes(dim0, dim1);
        return Storage(std::move(view));
    });
}

namespace {
template <class T> constexpr T zero_of() { return T{}; }
template <class T> constexpr T one_of() {
    if constexpr (std::is_same_v<T, F16>) return F16::from_bits(0x3C00);
    else if constexpr (std::is_same_v<T, BF16>) return BF16::from_bits(0x3F80);
    else return T(1);
}


template <class T>
Result<Storage> filled(const Shape& shape, T value) {
    auto a = NdArray<T>::filled(shape, value);
    if (!a) return memory_error(a.error());
    return Storage(std::move(*a));
}
}  // namespace

Result<Storage> CpuStorage::zeros_like(const Storage& s) {
    return s.visit([](const auto& a) -> Result<Storage> {
        using T = typename std::decay_t<decltype(a)>::value_type;
        return filled(a.shape(), zero_of<T>());
    });
}

Result<Storage> CpuStorage::ones_like(const Storage& s) {
    return s.visit([](const auto& a) -> Result<Storage> {
        using T = typename std::decay_t<decltype(a)>::value_type;
        return filled(a.shape(), one_of<T>());
    });
}

}  // namespace pelor::engine::cpu::storage
