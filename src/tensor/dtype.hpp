#pragma once
// The element types and every name they go by, in one table: the names
// messages print, what the dtype property reports, the NumPy type a
// constructor requests, and the names the constructor accepts.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace pelor::tensor::storage {

// The order is Storage's variant order.
enum class DType : std::uint8_t { F16, BF16, F32, Bool };

struct DTypeNames {
    std::string_view display;    // "F16": in messages
    std::string_view lowercase;  // "f16": the dtype property; also accepted by the constructor
    std::string_view numpy;      // "float16": the NumPy type; also accepted by the constructor
    std::size_t size;            // bytes per element
};

inline constexpr std::array<DTypeNames, 4> dtype_table = {{
    {"F16", "f16", "float16", 2},
    {"BF16", "bf16", "bfloat16", 2},
    {"F32", "f32", "float32", 4},
    {"Bool", "bool", "bool", 1},
}};

constexpr const DTypeNames& names_of(DType d) { return dtype_table[std::size_t(d)]; }
constexpr std::string_view display_name(DType d) { return names_of(d).display; }
constexpr std::string_view lowercase_name(DType d) { return names_of(d).lowercase; }
constexpr std::string_view numpy_name(DType d) { return names_of(d).numpy; }
constexpr std::size_t element_size(DType d) { return names_of(d).size; }

// The type a constructor's dtype name selects: its NumPy name or its short name.
constexpr std::optional<DType> dtype_for_name(std::string_view name) {
    for (std::size_t i = 0; i < dtype_table.size(); ++i)
        if (name == dtype_table[i].numpy || name == dtype_table[i].lowercase) return DType(i);
    return std::nullopt;
}

}  // namespace pelor::tensor::storage
