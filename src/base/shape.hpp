#pragma once
// Shapes, strides and the layout vocabulary shared by every array: default
// strides, standard (row-major) and column-major layout, element counts and
// the list form in which messages print a shape.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pelor {

using Shape = std::vector<std::size_t>;
using Strides = std::vector<std::ptrdiff_t>;
using ShapeSpan = std::span<const std::size_t>;
using StridesSpan = std::span<const std::ptrdiff_t>;

// "[2, 3]"; "[]" for rank 0.
std::string shape_text(ShapeSpan shape);

// Product of the lengths; nullopt when it exceeds 2^63 - 1.
std::optional<std::size_t> checked_element_count(ShapeSpan shape);
// Product of the non-zero lengths fits in a signed machine word.
bool nonzero_product_fits(ShapeSpan shape);

inline std::size_t element_count(ShapeSpan shape) {
    std::size_t n = 1;
    for (auto d : shape) n *= d;
    return n;
}

// Row-major strides; all zero when an axis has length 0.
Strides default_strides(ShapeSpan shape);
// Column-major strides, same zero rule.
Strides column_major_strides(ShapeSpan shape);

// Axes of length 1 do not take part; empty or one-element arrays qualify.
bool is_standard_layout(ShapeSpan shape, StridesSpan strides);
bool is_column_major_layout(ShapeSpan shape, StridesSpan strides);

enum class ShapeError { IncompatibleShape, IncompatibleLayout };
// "ShapeError/IncompatibleShape: incompatible shapes", ...
std::string shape_error_text(ShapeError e);

}  // namespace pelor
