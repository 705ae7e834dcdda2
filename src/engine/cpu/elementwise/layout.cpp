#include "engine/cpu/elementwise/layout.hpp"

namespace pelor::engine::cpu::elementwise {

LayoutClass classify_layout(ShapeSpan shape, StridesSpan strides) {
    if (is_standard_layout(shape, strides)) {
        std::size_t long_axes = 0;
        for (auto d : shape) long_axes += d > 1;
        return long_axes <= 1 ? LayoutClass::both : LayoutClass::row;
    }
    if (shape.size() <= 1) return LayoutClass::neither;
    if (is_column_major_layout(shape, strides)) return LayoutClass::column;
    if (shape.front() > 1 && strides.front() == 1) return LayoutClass::column_leaning;
    if (shape.back() > 1 && strides.back() == 1) return LayoutClass::row_leaning;
    return LayoutClass::neither;
}

bool choose_column_major(ShapeSpan shape, std::span<const StridesSpan> operand_strides) {
    bool some_not_row = false;   // some operand is neither row nor both
    bool all_column = true;      // every operand is column or both
    int score = 0;
    for (StridesSpan strides : operand_strides) {
        const LayoutClass c = classify_layout(shape, strides);
        switch (c) {
            case LayoutClass::row: score += 2; break;
            case LayoutClass::column: score -= 2; break;
            case LayoutClass::row_leaning: score += 1; break;
            case LayoutClass::column_leaning: score -= 1; break;
            case LayoutClass::both:
            case LayoutClass::neither: break;
        }
        if (c != LayoutClass::row && c != LayoutClass::both) some_not_row = true;
        if (c != LayoutClass::column && c != LayoutClass::both) all_column = false;
    }
    return some_not_row && (all_column || score < 0);
}

}  // namespace pelor::engine::cpu::elementwise
