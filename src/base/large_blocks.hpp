#pragma once
// Allocation of large element buffers (4 MiB and up). Such buffers start on
// a huge-page boundary and ask for huge pages, and each thread keeps a few
// recently freed ones for reuse: a result allocated and dropped over and over
// (a training loop) then never goes back to the system and never pays its
// page faults again. The cache is per thread, so it needs no lock, and is
// bounded, so it holds at most a few blocks.
#include <cstddef>

namespace pelor::large_blocks {

inline constexpr std::size_t threshold = std::size_t(4) << 20;

// A block of at least `bytes` (rounded to whole huge pages); null when the
// system has no memory left.
void* allocate(std::size_t bytes);
// Returns a block from allocate() with the same `bytes`.
void release(void* block, std::size_t bytes) noexcept;

}  // namespace pelor::large_blocks
