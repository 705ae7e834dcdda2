#pragma once
// DType and Storage: one dense n-dimensional array of a single element type,
// tagged by its type. A storage is immutable once built and is shared through
// an atomically counted handle; storages that differ only in shape and
// strides share one buffer (alias()).
#include <cstdint>
#include <memory>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "base/half.hpp"
#include "base/ndarray.hpp"
#include "tensor/dtype.hpp"

namespace pelor::tensor::storage {

class Storage {
public:
    using Variant = std::variant<NdArray<F16>, NdArray<BF16>, NdArray<float>, NdArray<bool>>;

    template <class T>
    Storage(NdArray<T> array) : v_(std::move(array)) {}  // NOLINT: implicit by design

    DType dtype() const { return DType(v_.index()); }
    const Shape& shape() const {
        return std::visit([](const auto& a) -> const Shape& { return a.shape(); }, v_);
    }
    const Strides& strides() const {
        return std::visit([](const auto& a) -> const Strides& { return a.strides(); }, v_);
    }
    std::size_t ndim() const { return shape().size(); }
    std::size_t size() const {
        return std::visit([](const auto& a) { return a.size(); }, v_);
    }

    // The same elements, shape and strides over this storage's buffer, which
    // it keeps alive: nothing is copied.
    Storage alias() const {
        return std::visit([](const auto& a) { return Storage(a.alias()); }, v_);
    }

    template <class T> const NdArray<T>* get_if() const { return std::get_if<NdArray<T>>(&v_); }
    template <class F> decltype(auto) visit(F&& f) const { return std::visit(std::forward<F>(f), v_); }
    template <class F> decltype(auto) visit(F&& f) { return std::visit(std::forward<F>(f), v_); }

private:
    Variant v_;
};

static_assert(std::variant_size_v<Storage::Variant> == dtype_table.size());
// The table's element sizes are those of the variant's element types.
template <std::size_t... I>
constexpr bool element_sizes_match(std::index_sequence<I...>) {
    return ((element_size(DType(I)) == sizeof(typename std::variant_alternative_t<I, Storage::Variant>::value_type)) &&
            ...);
}
static_assert(element_sizes_match(std::make_index_sequence<dtype_table.size()>()));

using StorageHandle = std::shared_ptr<const Storage>;

inline StorageHandle share(Storage s) { return std::make_shared<const Storage>(std::move(s)); }

}  // namespace pelor::tensor::storage
