#include "engine/cpu/numeric/ops/onednn_library.hpp"

#if PELOR_HAVE_ONEDNN

#include <dlfcn.h>

#include <cstdlib>
#include <optional>

namespace pelor::engine::cpu::numeric::ops {

namespace {

// Debian names the library after its package (libdnnl3.6 ships
// libdnnl.so.3.6); upstream builds use the major version alone.
constexpr const char* library_names[] = {"libdnnl.so.3.6", "libdnnl.so.3", "libdnnl.so"};

void* open_library() {
#if defined(PELOR_TEST_HOOKS)
    // The test suite names a library that does not exist to see the module
    // without oneDNN.
    if (const char* name = std::getenv("PELOR_TEST_ONEDNN_LIBRARY")) return dlopen(name, RTLD_NOW | RTLD_LOCAL);
#endif
    for (const char* name : library_names)
        if (void* handle = dlopen(name, RTLD_NOW | RTLD_LOCAL)) return handle;
    return nullptr;
}

template <class F>
bool find(void* handle, const char* name, F& out) {
    out = reinterpret_cast<F>(dlsym(handle, name));
    return out != nullptr;
}

std::optional<OneDnn> load() {
    void* handle = open_library();
    if (!handle) return std::nullopt;
    OneDnn d{};
    const bool complete =
        find(handle, "dnnl_engine_create", d.engine_create) && find(handle, "dnnl_stream_create", d.stream_create) &&
        find(handle, "dnnl_stream_destroy", d.stream_destroy) &&
        find(handle, "dnnl_memory_desc_create_with_strides", d.memory_desc_create_with_strides) &&
        find(handle, "dnnl_memory_desc_destroy", d.memory_desc_destroy) &&
        find(handle, "dnnl_memory_create", d.memory_create) && find(handle, "dnnl_memory_destroy", d.memory_destroy) &&
        find(handle, "dnnl_memory_set_data_handle", d.memory_set_data_handle) &&
        find(handle, "dnnl_matmul_primitive_desc_create", d.matmul_primitive_desc_create) &&
        find(handle, "dnnl_primitive_desc_query", d.primitive_desc_query) &&
        find(handle, "dnnl_primitive_desc_destroy", d.primitive_desc_destroy) &&
        find(handle, "dnnl_primitive_create", d.primitive_create) &&
        find(handle, "dnnl_primitive_destroy", d.primitive_destroy) &&
        find(handle, "dnnl_primitive_execute", d.primitive_execute) &&
        find(handle, "dnnl_stream_wait", d.stream_wait) &&
        // Looked up through the library's handle: the OpenMP runtime it
        // depends on, whichever other runtime the process has loaded.
        find(handle, "omp_get_max_threads", d.omp_get_max_threads) &&
        find(handle, "omp_set_num_threads", d.omp_set_num_threads);
    // A library without a function we call is as good as absent; it stays
    // loaded (unloading a library that may have started its runtime is unsafe).
    if (!complete) return std::nullopt;
    SingleOpenMpThread one_thread(d);
    if (d.engine_create(&d.engine, dnnl_cpu, 0) != dnnl_success) return std::nullopt;
    return d;
}

}  // namespace

const OneDnn* onednn() {
    static const std::optional<OneDnn> library = load();
    return library ? &*library : nullptr;
}

}  // namespace pelor::engine::cpu::numeric::ops

#endif
