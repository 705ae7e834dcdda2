#include "engine/cpu/numeric/ops/broadcast.hpp"

#include <algorithm>

namespace pelor::engine::cpu::numeric::ops {

KernelResult<Shape> broadcast_shapes(ShapeSpan a, ShapeSpan b) {
    const std::size_t n = std::max(a.size(), b.size());
    Shape out(n);
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t da = k < a.size() ? a[a.size() - 1 - k] : 1;
        std::size_t db = k < b.size() ? b[b.size() - 1 - k] : 1;
        std::size_t d;
        if (da == db || db == 1) d = da;
        else if (da == 1) d = db;
        else return std::unexpected("Shape mismatch: cannot broadcast " + shape_text(a) + " and " + shape_text(b));
        out[n - 1 - k] = d;
    }
    return out;
}

std::optional<Strides> broadcast_strides(ShapeSpan shape, StridesSpan strides, ShapeSpan target) {
    if (shape.size() > target.size() || !nonzero_product_fits(target)) return std::nullopt;
    const std::size_t lead = target.size() - shape.size();
    Strides out(target.size(), 0);
    for (std::size_t i = 0; i < shape.size(); ++i) {
        std::size_t t = target[lead + i];
        if (shape[i] == t) out[lead + i] = strides[i];
        else if (shape[i] == 1) out[lead + i] = 0;
        else return std::nullopt;
    }
    return out;
}

}  // namespace pelor::engine::cpu::numeric::ops
