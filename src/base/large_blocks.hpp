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
// A thread's live bytes are those it allocated and nobody has freed yet,
// whichever thread frees them: a block carries the account of the thread that
// made it, so results that a producer hands to a consumer stop counting
// against the producer's budget once the consumer drops them.
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

// The live bytes of one thread's blocks; it outlives the thread while any of
// them is still in use.
class Account;

struct Block {
    void* data = nullptr;
    Account* maker = nullptr;  // null when made without an account (during thread exit)
};

// A block of at least `bytes` bytes, 64-byte aligned, counted as the calling
// thread's; null data when the system has no memory left.
Block allocate(std::size_t bytes) noexcept;
// Returns a block from allocate() with the same `bytes`, on any thread.
void release(Block block, std::size_t bytes) noexcept;

}  // namespace pelor::large_blocks
