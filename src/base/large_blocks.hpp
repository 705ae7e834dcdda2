#pragma once
// Allocation of large element buffers (64 KiB and up), kept for reuse.
//
// A training step allocates the same buffers in every step and frees them all
// at once when the graph is cleared. Handed back to the C library, that memory
// returns to the system (unmapped or trimmed) and every page faults in again
// in the next step. Instead each thread keeps the blocks it frees, in size
// classes (four per power of two), and serves the next request of the same
// class from them. What a thread keeps is bounded by a budget that follows its
// recent peak of live bytes, so a workload that shrinks gives memory back, and
// everything kept goes back to the system when the thread ends.
//
// Blocks are mapped directly from the system, never from the C library's heap,
// and the process's allocator settings are left alone: the module lives in
// someone else's process. Blocks of 4 MiB and up start on a huge-page
// boundary and ask for huge pages.
#include <cstddef>

namespace pelor::large_blocks {

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer checks only the C library's heap: keep every buffer there.
inline constexpr std::size_t threshold = ~std::size_t(0);
#else
inline constexpr std::size_t threshold = std::size_t(64) << 10;
#endif

// A block of at least `bytes` bytes, 64-byte aligned; null when the system
// has no memory left.
void* allocate(std::size_t bytes) noexcept;
// Returns a block from allocate() with the same `bytes`, on any thread.
void release(void* block, std::size_t bytes) noexcept;

}  // namespace pelor::large_blocks
