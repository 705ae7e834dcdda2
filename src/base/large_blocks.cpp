#include "base/large_blocks.hpp"

#include <sys/mman.h>

#include <array>
#include <cstdlib>

namespace pelor::large_blocks {

namespace {

constexpr std::size_t huge_page = std::size_t(2) << 20;
constexpr std::size_t max_cached_bytes = std::size_t(64) << 20;

std::size_t rounded(std::size_t bytes) { return (bytes + huge_page - 1) / huge_page * huge_page; }

struct Cache {
    struct Entry {
        void* block = nullptr;
        std::size_t bytes = 0;
    };
    std::array<Entry, 4> entries{};

    ~Cache();
};

// Trivially destructible, so it stays readable while other thread-local
// objects (a tape holding storages) are destroyed after the cache.
thread_local bool cache_alive = false;

Cache& cache() {
    thread_local Cache c;
    cache_alive = true;
    return c;
}

Cache::~Cache() {
    cache_alive = false;
    for (auto& e : entries) std::free(e.block);
}

}  // namespace

void* allocate(std::size_t bytes) {
    const std::size_t size = rounded(bytes);
    for (auto& e : cache().entries) {
        if (e.block && e.bytes == size) {
            void* block = e.block;
            e = {};
            return block;
        }
    }
    void* block = std::aligned_alloc(huge_page, size);
    if (block) madvise(block, size, MADV_HUGEPAGE);
    return block;
}

void release(void* block, std::size_t bytes) noexcept {
    const std::size_t size = rounded(bytes);
    if (cache_alive && size <= max_cached_bytes / 4) {
        for (auto& e : cache().entries) {
            if (!e.block) {
                e = {block, size};
                return;
            }
        }
    }
    std::free(block);
}

}  // namespace pelor::large_blocks
