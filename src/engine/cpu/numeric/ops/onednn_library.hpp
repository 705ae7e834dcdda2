#pragma once
// oneDNN, loaded when first wanted. The module never links it: where the
// library is not installed (or the build had no header, or the target is not
// x86-64) onednn() is null and every product takes the float32 route.
//
// The functions are the library's C API, typed by its header and found by
// name in the loaded library; the OpenMP calls come from the OpenMP runtime
// the library itself loaded, which runs its primitives.
#include <memory>

#if defined(__x86_64__) && __has_include(<oneapi/dnnl/dnnl.h>)
#define PELOR_HAVE_ONEDNN 1
#include <oneapi/dnnl/dnnl.h>
#else
#define PELOR_HAVE_ONEDNN 0
#endif

namespace pelor::engine::cpu::numeric::ops {

#if PELOR_HAVE_ONEDNN

struct OneDnn {
    decltype(&dnnl_engine_create) engine_create;
    decltype(&dnnl_stream_create) stream_create;
    decltype(&dnnl_stream_destroy) stream_destroy;
    decltype(&dnnl_memory_desc_create_with_strides) memory_desc_create_with_strides;
    decltype(&dnnl_memory_desc_destroy) memory_desc_destroy;
    decltype(&dnnl_memory_create) memory_create;
    decltype(&dnnl_memory_destroy) memory_destroy;
    decltype(&dnnl_memory_set_data_handle) memory_set_data_handle;
    decltype(&dnnl_matmul_primitive_desc_create) matmul_primitive_desc_create;
    decltype(&dnnl_primitive_desc_query) primitive_desc_query;
    decltype(&dnnl_primitive_desc_destroy) primitive_desc_destroy;
    decltype(&dnnl_primitive_create) primitive_create;
    decltype(&dnnl_primitive_destroy) primitive_destroy;
    decltype(&dnnl_primitive_execute) primitive_execute;
    decltype(&dnnl_stream_wait) stream_wait;
    int (*omp_get_max_threads)();
    void (*omp_set_num_threads)(int);

    // The CPU engine, made once with the library; never destroyed (the
    // library is never unloaded either).
    dnnl_engine_t engine;
};

// The loaded library, or null when it cannot be loaded or lacks a function.
// Loaded once per process (thread-safe static).
const OneDnn* onednn();

// The calling thread's OpenMP thread count set to 1 for the scope and then
// restored: oneDNN's primitives made and run inside it run on the calling
// thread alone, so the module starts no thread, and the caller's OpenMP
// setting is left as it was. A primitive keeps the thread count it was made
// with, so creation happens inside the scope too.
class SingleOpenMpThread {
public:
    explicit SingleOpenMpThread(const OneDnn& dnnl)
        : dnnl_(dnnl), previous_(dnnl.omp_get_max_threads()) {
        if (previous_ != 1) dnnl_.omp_set_num_threads(1);
    }
    ~SingleOpenMpThread() {
        if (previous_ != 1) dnnl_.omp_set_num_threads(previous_);
    }
    SingleOpenMpThread(const SingleOpenMpThread&) = delete;
    SingleOpenMpThread& operator=(const SingleOpenMpThread&) = delete;

private:
    const OneDnn& dnnl_;
    int previous_;
};

// Owners of the library's objects, each destroyed through the library.
struct MemoryDescDeleter {
    void operator()(dnnl_memory_desc_t d) const { onednn()->memory_desc_destroy(d); }
};
struct MemoryDeleter {
    void operator()(dnnl_memory_t m) const { onednn()->memory_destroy(m); }
};
struct PrimitiveDescDeleter {
    void operator()(dnnl_primitive_desc_t d) const { onednn()->primitive_desc_destroy(d); }
};
struct PrimitiveDeleter {
    void operator()(dnnl_primitive_t p) const { onednn()->primitive_destroy(p); }
};
struct StreamDeleter {
    void operator()(dnnl_stream_t s) const { onednn()->stream_destroy(s); }
};
using MemoryDesc = std::unique_ptr<std::remove_pointer_t<dnnl_memory_desc_t>, MemoryDescDeleter>;
using Memory = std::unique_ptr<std::remove_pointer_t<dnnl_memory_t>, MemoryDeleter>;
using PrimitiveDesc = std::unique_ptr<std::remove_pointer_t<dnnl_primitive_desc_t>, PrimitiveDescDeleter>;
using Primitive = std::unique_ptr<std::remove_pointer_t<dnnl_primitive_t>, PrimitiveDeleter>;
using Stream = std::unique_ptr<std::remove_pointer_t<dnnl_stream_t>, StreamDeleter>;

#else

struct OneDnn {};
inline const OneDnn* onednn() { return nullptr; }

#endif

}  // namespace pelor::engine::cpu::numeric::ops
