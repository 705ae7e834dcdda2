#pragma once
// The memory order of a result combined element by element from several
// equally shaped operands (broadcast views included): row-major, unless the
// operands lean column-major. Each operand is classified and scored; see
// choose_column_major.
#include <span>

#include "base/shape.hpp"

namespace pelor::engine::cpu::elementwise {

enum class LayoutClass {
    row,             // standard layout with more than one axis longer than 1
    both,            // standard layout with at most one axis longer than 1
    column,          // column-major layout, more than one axis
    column_leaning,  // first axis longer than 1 with stride 1
    row_leaning,     // last axis longer than 1 with stride 1
    neither,
};

LayoutClass classify_layout(ShapeSpan shape, StridesSpan strides);

// Scores: row +2, column -2, row_leaning +1, column_leaning -1, others 0.
// Column-major when some operand is neither row nor both, and either every
// operand is column or both, or the total score is negative. All operands
// have `shape`; `operand_strides` holds one stride list per operand.
bool choose_column_major(ShapeSpan shape, std::span<const StridesSpan> operand_strides);

}  // namespace pelor::engine::cpu::elementwise
