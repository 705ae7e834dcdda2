#include "base/large_blocks.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <new>
#include <vector>

namespace pelor::large_blocks {

namespace {

constexpr std::size_t page = std::size_t(4) << 10;
constexpr std::size_t huge_page = std::size_t(2) << 20;
constexpr std::size_t huge_threshold = std::size_t(4) << 20;
// The budget is the larger of the peaks of live bytes in the current and the
// previous window of this many allocations: long enough to span many training
// steps, short enough that memory a workload no longer needs goes back soon.
constexpr unsigned window_allocations = 1024;

std::size_t round_up(std::size_t n, std::size_t unit) { return (n + unit - 1) / unit * unit; }

// The size class of a request: 2^k + m * 2^(k-2) for the smallest such size
// that holds it (m in 1..4), in whole pages or huge pages. Unused tails of a
// class are never touched, so they cost address space, not memory.
std::size_t class_size(std::size_t bytes) {
    const unsigned k = std::bit_width(bytes - 1) - 1;
    const std::size_t quarter = std::size_t(1) << (k - 2);
    const std::size_t size = round_up(bytes, quarter);
    return round_up(size, size >= huge_threshold ? huge_page : page);
}

void* map(std::size_t size) {
    if (size < huge_threshold) {
        void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        return p == MAP_FAILED ? nullptr : p;
    }
    // Over-map by a huge page and cut the ends off, so the block is aligned.
    const std::size_t span = size + huge_page;
    void* p = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    const auto aligned = round_up(start, huge_page);
    if (aligned > start) munmap(p, aligned - start);
    const std::size_t tail = start + span - (aligned + size);
    if (tail) munmap(reinterpret_cast<void*>(aligned + size), tail);
    void* block = reinterpret_cast<void*>(aligned);
    madvise(block, size, MADV_HUGEPAGE);
    return block;
}

void unmap(void* block, std::size_t size) noexcept { munmap(block, size); }

}  // namespace

// Counts its thread's live bytes plus one while that thread's cache exists.
// Block sizes are whole pages, so the count reaches zero only once the thread
// has ended and every block it made is freed: whoever brings it there deletes
// the account. Only the owning thread adds, other threads only subtract, so
// no lock is needed.
class Account {
public:
    // Owner only.
    void add(std::size_t size) noexcept { count_.fetch_add(size, std::memory_order_relaxed); }
    std::size_t live() const noexcept { return count_.load(std::memory_order_relaxed) - 1; }
    void close() noexcept { subtract(this, 1); }

    // Any thread, for a block this account's owner made.
    static void subtract(Account* a, std::size_t size) noexcept {
        // acq_rel: every use of the account happens before its deletion.
        if (a->count_.fetch_sub(size, std::memory_order_acq_rel) == size) delete a;
    }

private:
    std::atomic<std::size_t> count_{1};
};

namespace {

// One thread's kept blocks. Freed blocks are linked through their first
// word, so keeping one costs no memory of its own.
class Cache {
public:
    Cache() noexcept : account_(new (std::nothrow) Account) {}
    ~Cache() {
        state() = State::gone;
        for (auto& c : classes_) {
            while (c.head) unmap(pop(c), c.size);
        }
        if (account_) account_->close();
    }

    enum class State : unsigned char { unborn, alive, gone };
    static State& state() {
        // Trivially destructible, so it stays readable while other thread-local
        // objects (a tape holding storages) are destroyed after the cache.
        thread_local State s = State::unborn;
        return s;
    }

    // Without an account (no memory for it) the thread keeps nothing.
    bool usable() const noexcept { return account_ != nullptr; }

    Block allocate(std::size_t size) noexcept {
        void* block = nullptr;
        if (Class* c = find(size); c && c->head) {
            c->last_use = ++clock_;
            cached_ -= size;
            block = pop(*c);
        } else {
            block = map(size);
            if (!block) return {};
        }
        account_->add(size);
        count_live();
        return {block, account_};
    }

    // Keeps a block that any thread made (its maker's account is settled by
    // the caller).
    void keep(void* block, std::size_t size) noexcept {
        Class* c = find(size);
        if (!c) {
            // A new class: without memory for its entry the block just goes back.
            try {
                c = &classes_.emplace_back(Class{size});
            } catch (...) {
                unmap(block, size);
                return;
            }
        }
        *static_cast<void**>(block) = c->head;
        c->head = block;
        c->last_use = ++clock_;
        cached_ += size;
        trim();
    }

private:
    struct Class {
        std::size_t size = 0;
        void* head = nullptr;
        std::uint64_t last_use = 0;
    };

    static void* pop(Class& c) noexcept {
        void* block = c.head;
        c.head = *static_cast<void**>(block);
        return block;
    }

    Class* find(std::size_t size) noexcept {
        for (auto& c : classes_) {
            if (c.size == size) return &c;
        }
        return nullptr;
    }

    // Live bytes grow only here, so their peak is seen here; other threads
    // may have freed some of them since the last allocation.
    void count_live() noexcept {
        const std::size_t live = account_->live();
        window_peak_ = std::max(window_peak_, live);
        if (++allocations_ == window_allocations) {
            allocations_ = 0;
            previous_peak_ = window_peak_;
            window_peak_ = live;
            trim();
        }
    }

    // Gives back the least recently used classes' blocks until what is kept
    // fits the budget.
    void trim() noexcept {
        const std::size_t budget = std::max(window_peak_, previous_peak_);
        while (cached_ > budget) {
            Class* oldest = nullptr;
            for (auto& c : classes_) {
                if (c.head && (!oldest || c.last_use < oldest->last_use)) oldest = &c;
            }
            cached_ -= oldest->size;
            unmap(pop(*oldest), oldest->size);
        }
    }

    std::vector<Class> classes_;
    Account* account_;               // this thread's live bytes; outlives the cache while they do
    std::size_t cached_ = 0;         // bytes kept for reuse
    std::size_t window_peak_ = 0;    // peak of live bytes in the current window
    std::size_t previous_peak_ = 0;  // and in the window before it
    unsigned allocations_ = 0;
    std::uint64_t clock_ = 0;
};

// The calling thread's cache; null once it has been destroyed at thread exit
// (or when it could not get an account).
Cache* cache() {
    if (Cache::state() == Cache::State::gone) return nullptr;
    thread_local Cache c;
    Cache::state() = Cache::State::alive;
    return c.usable() ? &c : nullptr;
}

}  // namespace

Block allocate(std::size_t bytes) noexcept {
    const std::size_t size = class_size(bytes);
    if (Cache* c = cache()) return c->allocate(size);
    return {map(size), nullptr};
}

void release(Block block, std::size_t bytes) noexcept {
    const std::size_t size = class_size(bytes);
    if (block.maker) Account::subtract(block.maker, size);
    if (Cache* c = cache()) c->keep(block.data, size);
    else unmap(block.data, size);
}

}  // namespace pelor::large_blocks
