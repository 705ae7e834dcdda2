#include "base/shape.hpp"

#include <limits>

namespace pelor {

std::string shape_text(ShapeSpan shape) {
    std::string out = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(shape[i]);
    }
    out += "]";
    return out;
}

std::optional<std::size_t> checked_element_count(ShapeSpan shape) {
    constexpr std::size_t limit = std::size_t(std::numeric_limits<std::ptrdiff_t>::max());
    std::size_t n = 1;
    for (auto d : shape) {
        if (d == 0) return 0;
    }
    for (auto d : shape) {
        if (n > limit / d) return std::nullopt;
        n *= d;
    }
    return n;
}

bool nonzero_product_fits(ShapeSpan shape) {
    constexpr std::size_t limit = std::size_t(std::numeric_limits<std::ptrdiff_t>::max());
    std::size_t n = 1;
    for (auto d : shape) {
        if (d == 0) continue;
        if (n > limit / d) return false;
        n *= d;
    }
    return true;
}

Strides default_strides(ShapeSpan shape) {
    Strides s(shape.size(), 0);
    if (element_count(shape) == 0) return s;
    std::ptrdiff_t step = 1;
    for (std::size_t i = shape.size(); i-- > 0;) {
        s[i] = step;
        step *= std::ptrdiff_t(shape[i]);
    }
    return s;
}

Strides column_major_strides(ShapeSpan shape) {
    Strides s(shape.size(), 0);
    if (element_count(shape) == 0) return s;
    std::ptrdiff_t step = 1;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        s[i] = step;
        step *= std::ptrdiff_t(shape[i]);
    }
    return s;
}

namespace {
template <bool Reversed>
bool is_packed(ShapeSpan shape, StridesSpan strides) {
    if (element_count(shape) <= 1) return true;
    std::ptrdiff_t expect = 1;
    const std::size_t n = shape.size();
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t i = Reversed ? k : n - 1 - k;
        if (shape[i] == 1) continue;
        if (strides[i] != expect) return false;
        expect *= std::ptrdiff_t(shape[i]);
    }
    return true;
}
}  // namespace

bool is_standard_layout(ShapeSpan shape, StridesSpan strides) { return is_packed<false>(shape, strides); }
bool is_column_major_layout(ShapeSpan shape, StridesSpan strides) { return is_packed<true>(shape, strides); }

std::string shape_error_text(ShapeError e) {
    switch (e) {
        case ShapeError::IncompatibleShape: return "ShapeError/IncompatibleShape: incompatible shapes";
        case ShapeError::IncompatibleLayout: return "ShapeError/IncompatibleLayout: incompatible memory layout";
    }
    return {};
}

}  // namespace pelor
