#pragma once
#include <cstdint>

namespace pelor::autograd {
// Index of a node in its thread's tape, handed out densely from 0.
using NodeId = std::uint64_t;
}  // namespace pelor::autograd
