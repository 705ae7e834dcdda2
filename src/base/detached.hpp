#pragma once
// Long computations run detached from the interpreter, so that other Python
// threads run meanwhile: on an interpreter with a global lock the lock is
// released, on a free-threaded one the collector's stop-the-world pauses need
// not wait for the computation.
//
// Code that runs detached touches no Python object, calls nothing of the C API
// and allocates nothing from the Python allocator: the engine, the tape and
// the storage allocator (aligned_alloc, the per-thread block cache) qualify.
// It reports failure as a value, which is raised once the thread is attached
// again.
#include <Python.h>

#include <cstddef>
#include <utility>

namespace pelor {

// Work, in elements written (multiply-adds for a matrix product), from which
// detaching pays for itself. Releasing and re-taking an uncontended lock
// costs 20 to 60 ns here, as much as adding 150 to 500 float32 elements, so
// a 4-element operation would be up to a third slower; at this threshold an
// operation takes 1 us (bool logic, a 32^3 product) to 4 us (a float32 sum),
// so the cost stays within a few percent. Shorter work also has little to
// gain: a thread that gives up the lock may have to wait for another thread
// running Python code to hand it back.
inline constexpr std::size_t detach_threshold = std::size_t(1) << 15;

// While it lives, the calling thread is detached (if `detach`); its
// destructor re-attaches.
class Detached {
public:
    explicit Detached(bool detach = true) noexcept : state_(detach ? PyEval_SaveThread() : nullptr) {}
    ~Detached() {
        if (state_) PyEval_RestoreThread(state_);
    }
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

private:
    PyThreadState* state_;
};

// f(), detached when `work` reaches the threshold. f must keep to the rules
// above; its result is returned once the thread is attached again.
template <class F>
decltype(auto) run_detached(std::size_t work, F&& f) {
    const Detached guard(work >= detach_threshold);
    return std::forward<F>(f)();
}

}  // namespace pelor
