#include "engine/cpu/numeric/ops/matmul_native.hpp"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string_view>
#include <vector>

#include "base/aligned_buffer.hpp"
#include "engine/cpu/cpu_features.hpp"
#include "engine/cpu/isa_choice.hpp"
#include "engine/cpu/numeric/ops/matmul_kernels.hpp"
#include "engine/cpu/numeric/ops/onednn_library.hpp"
#include "engine/cpu/strided_walk.hpp"

namespace pelor::engine::cpu::numeric::ops {

namespace {

Result<ProductRouteSetting> setting_from_environment() {
    const char* value = std::getenv("PELOR_MATMUL");
    // Unset and empty both mean the default, so that PELOR_MATMUL= clears it.
    if (!value || !*value || std::string_view(value) == "auto") return ProductRouteSetting::automatic;
    if (std::string_view(value) == "float32") return ProductRouteSetting::float32;
    return fail(ErrorKind::ImportError, "PELOR_MATMUL=" + environment_value_text(value) +
                                            " is not a product route; possible values: auto, float32");
}

// The 16-bit formats: fraction bits, exponent bias, the exponent field.
template <class T>
struct Format;
template <>
struct Format<BF16> {
    static constexpr int fraction_bits = 7, bias = 127;
    static constexpr std::int16_t exponent_field = 0x7F80;
};
template <>
struct Format<F16> {
    static constexpr int fraction_bits = 10, bias = 15;
    static constexpr std::int16_t exponent_field = 0x7C00;
};

#if defined(PELOR_TEST_HOOKS)
std::atomic<bool> float32_through_onednn{false};
#endif

}  // namespace

const Result<ProductRouteSetting>& product_route_setting() {
    static const Result<ProductRouteSetting> setting = setting_from_environment();
    return setting;
}

template <class T>
bool exact_on_native_unit(const T* a, std::size_t a_count, const T* b, std::size_t b_count) {
    using F = Format<T>;
    const auto& kernels = matmul_kernels();
    const MagnitudeRange ranges[2] = {
        kernels.magnitude_range(reinterpret_cast<const std::uint16_t*>(a), a_count),
        kernels.magnitude_range(reinterpret_cast<const std::uint16_t*>(b), b_count),
    };
    int quantum = 0;  // the exponent of the unit every partial sum is a multiple of
    for (const MagnitudeRange& r : ranges) {
        // An infinity or NaN (all-ones exponent), or a subnormal (zero exponent).
        if (r.largest >= F::exponent_field || r.smallest_nonzero < (std::int16_t(1) << F::fraction_bits)) return false;
        // An all-zero operand's 0x7FFF gives a large exponent: its products are all zero.
        quantum += (r.smallest_nonzero >> F::fraction_bits) - F::bias - F::fraction_bits;
    }
    return quantum >= -126;
}

template bool exact_on_native_unit(const BF16*, std::size_t, const BF16*, std::size_t);
template bool exact_on_native_unit(const F16*, std::size_t, const F16*, std::size_t);

#if defined(PELOR_TEST_HOOKS)
void set_float32_products_through_onednn(bool on) { float32_through_onednn.store(on, std::memory_order_relaxed); }
bool float32_products_through_onednn() { return float32_through_onednn.load(std::memory_order_relaxed); }
#endif

#if PELOR_HAVE_ONEDNN

namespace {

template <class T>
constexpr dnnl_data_type_t dnnl_type = std::is_same_v<T, BF16>  ? dnnl_bf16
                                       : std::is_same_v<T, F16> ? dnnl_f16
                                                                : dnnl_f32;

// Whether the implementation oneDNN picked computes on the native unit:
// oneDNN falls back silently (to an emulating kernel or its reference one)
// where the unit is missing or the layout does not suit it. AMX kernels name
// the tile unit, AVX512-BF16 ones their ISA; float16 only counts on AMX-FP16,
// which sums in binary32. (float32 products come here only from the tests,
// which accept any kernel but the reference one.)
template <class T>
bool runs_on_native_unit(std::string_view implementation) {
    if constexpr (std::is_same_v<T, BF16>)
        return implementation.contains("amx") || implementation.contains("bf16");
    else if constexpr (std::is_same_v<T, F16>)
        return implementation.contains("amx_fp16");
    else
        return !implementation.empty() && !implementation.contains("ref");
}

// One cached product: the primitive for one element type, geometry and
// layout, with memory objects whose data pointers are set for each call.
struct PrimitiveKey {
    dnnl_data_type_t type;
    std::size_t m, k, n;
    std::ptrdiff_t a_rs, a_cs, b_rs, b_cs;
    bool operator==(const PrimitiveKey&) const = default;
};

struct CachedPrimitive {
    PrimitiveKey key{};
    std::string implementation;  // empty when oneDNN offers no product at all
    bool native = false;         // false: such products take the float32 route
    Primitive primitive;
    Memory a, b, c;
    std::uint64_t last_use = 0;
};

MemoryDesc matrix_desc(const OneDnn& d, dnnl_data_type_t type, std::size_t rows, std::size_t cols,
                       std::ptrdiff_t rs, std::ptrdiff_t cs) {
    dnnl_dims_t dims = {dnnl_dim_t(rows), dnnl_dim_t(cols)};
    dnnl_dims_t strides = {dnnl_dim_t(rs), dnnl_dim_t(cs)};
    dnnl_memory_desc_t desc = nullptr;
    if (d.memory_desc_create_with_strides(&desc, 2, dims, type, strides) != dnnl_success) return nullptr;
    return MemoryDesc(desc);
}

Memory memory_for(const OneDnn& d, const MemoryDesc& desc) {
    dnnl_memory_t memory = nullptr;
    if (d.memory_create(&memory, desc.get(), d.engine, DNNL_MEMORY_NONE) != dnnl_success) return nullptr;
    return Memory(memory);
}

// Made inside the caller's single-thread scope, so the primitive keeps one thread.
CachedPrimitive make_primitive(const OneDnn& d, const PrimitiveKey& key, bool (*native)(std::string_view)) {
    CachedPrimitive p;
    p.key = key;
    const MemoryDesc a = matrix_desc(d, key.type, key.m, key.k, key.a_rs, key.a_cs);
    const MemoryDesc b = matrix_desc(d, key.type, key.k, key.n, key.b_rs, key.b_cs);
    const MemoryDesc c = matrix_desc(d, key.type, key.m, key.n, std::ptrdiff_t(key.n), 1);
    if (!a || !b || !c) return p;
    dnnl_primitive_desc_t raw_desc = nullptr;
    if (d.matmul_primitive_desc_create(&raw_desc, d.engine, a.get(), b.get(), nullptr, c.get(), nullptr) !=
        dnnl_success)
        return p;  // e.g. no product of this element type on this processor
    const PrimitiveDesc desc(raw_desc);
    const char* implementation = nullptr;
    if (d.primitive_desc_query(desc.get(), dnnl_query_impl_info_str, 0, &implementation) != dnnl_success ||
        !implementation)
        return p;
    p.implementation = implementation;
    if (!native(p.implementation)) return p;
    dnnl_primitive_t primitive = nullptr;
    if (d.primitive_create(&primitive, desc.get()) != dnnl_success) return p;
    p.primitive = Primitive(primitive);
    p.a = memory_for(d, a);
    p.b = memory_for(d, b);
    p.c = memory_for(d, c);
    p.native = p.a && p.b && p.c;
    return p;
}

// Each thread keeps its own primitives and stream (no lock; a training loop
// reuses a handful of shapes), the least recently used one giving way.
class PrimitiveCache {
public:
    static constexpr std::size_t capacity = 16;

    const CachedPrimitive& get(const OneDnn& d, const PrimitiveKey& key, bool (*native)(std::string_view)) {
        ++clock_;
        for (CachedPrimitive& p : entries_)
            if (p.key == key) {
                p.last_use = clock_;
                return p;
            }
        CachedPrimitive fresh = make_primitive(d, key, native);
        fresh.last_use = clock_;
        if (entries_.size() < capacity) return entries_.emplace_back(std::move(fresh));
        CachedPrimitive* oldest = &entries_.front();
        for (CachedPrimitive& p : entries_)
            if (p.last_use < oldest->last_use) oldest = &p;
        *oldest = std::move(fresh);
        return *oldest;
    }

    dnnl_stream_t stream(const OneDnn& d) {
        if (!stream_) {
            dnnl_stream_t s = nullptr;
            if (d.stream_create(&s, d.engine, dnnl_stream_default_flags) == dnnl_success) stream_ = Stream(s);
        }
        return stream_.get();
    }

private:
    std::vector<CachedPrimitive> entries_;
    std::uint64_t clock_ = 0;
    Stream stream_;
};

thread_local PrimitiveCache primitive_cache;

// oneDNN runs an operand well when one of its strides is 1 and it starts on
// a cache line; otherwise (doubly strided: its reference kernel, 10^4 times
// slower; misaligned: half speed) the matrix is copied dense first.
constexpr std::uintptr_t line_bytes = 64;

template <class T>
bool runs_in_place(const T* data, std::ptrdiff_t rs, std::ptrdiff_t cs) {
    return reinterpret_cast<std::uintptr_t>(data) % line_bytes == 0 && rs > 0 && cs > 0 && (rs == 1 || cs == 1);
}

// A matrix operand as oneDNN reads it: in place, or a dense row-major copy.
template <class T>
struct MatrixOperand {
    const T* data;  // null when a copy could not be held
    std::ptrdiff_t rs, cs;
};

// The copies of one operand's matrices, in one scratch buffer grown as
// needed. A matrix that batch broadcasting repeats is copied once.
template <class T>
class OperandCopies {
public:
    MatrixOperand<T> prepare(const T* data, std::size_t rows, std::size_t cols, std::ptrdiff_t rs,
                             std::ptrdiff_t cs) {
        if (runs_in_place(data, rs, cs)) return {data, rs, cs};
        const MatrixOperand<T> copy{scratch_.data(), std::ptrdiff_t(cols), 1};
        if (data == source_) return copy;
        if (scratch_.size() < rows * cols) {
            auto fresh = AlignedBuffer<T>::allocate(rows * cols);
            if (!fresh) return {nullptr, 0, 0};
            scratch_ = std::move(*fresh);
        }
        T* out = scratch_.data();
        for (std::size_t i = 0; i < rows; ++i)
            for (std::size_t j = 0; j < cols; ++j)
                out[i * cols + j] = data[std::ptrdiff_t(i) * rs + std::ptrdiff_t(j) * cs];
        source_ = data;
        return {out, std::ptrdiff_t(cols), 1};
    }

private:
    AlignedBuffer<T> scratch_;
    const T* source_ = nullptr;
};

bool execute(const OneDnn& d, dnnl_stream_t stream, const CachedPrimitive& p, const void* a, const void* b, void* c) {
    if (d.memory_set_data_handle(p.a.get(), const_cast<void*>(a)) != dnnl_success ||
        d.memory_set_data_handle(p.b.get(), const_cast<void*>(b)) != dnnl_success ||
        d.memory_set_data_handle(p.c.get(), c) != dnnl_success)
        return false;
    const dnnl_exec_arg_t args[] = {
        {DNNL_ARG_SRC, p.a.get()}, {DNNL_ARG_WEIGHTS, p.b.get()}, {DNNL_ARG_DST, p.c.get()}};
    return d.primitive_execute(p.primitive.get(), stream, 3, args) == dnnl_success &&
           d.stream_wait(stream) == dnnl_success;
}

template <class T>
bool product_on_unit(const OneDnn& d, const MatrixStack<T>& out, const MatrixStack<const T>& a,
                     const MatrixStack<const T>& b) {
    const MatrixShape g = matrix_shape(a, b);
    if (g.k == 0) return false;  // an empty sum: the float32 route writes the zeros
    dnnl_stream_t stream = primitive_cache.stream(d);
    if (!stream) return false;
    OperandCopies<T> copies_a, copies_b;
    AlignedBuffer<T> scratch_c;
    const std::size_t batch = out.ndim() - 2;
    const auto plan = plan_walk<3>(out.shape.first(batch),
                                   {out.strides.first(batch), a.strides.first(batch), b.strides.first(batch)},
                                   WalkOrder::row_major);
    bool done = true;
    walk<0>(plan, [&](const auto& off) {
        const MatrixOperand<T> x = copies_a.prepare(a.data + off[1], g.m, g.k, g.a_rs, g.a_cs);
        const MatrixOperand<T> y = copies_b.prepare(b.data + off[2], g.k, g.n, g.b_rs, g.b_cs);
        T* c = out.data + off[0];
        const bool c_in_place = reinterpret_cast<std::uintptr_t>(c) % line_bytes == 0;
        if (!c_in_place && scratch_c.size() < g.m * g.n) {
            if (auto fresh = AlignedBuffer<T>::allocate(g.m * g.n)) scratch_c = std::move(*fresh);
            else return done = false;
        }
        if (!x.data || !y.data) return done = false;
        const PrimitiveKey key{dnnl_type<T>, g.m, g.k, g.n, x.rs, x.cs, y.rs, y.cs};
        const CachedPrimitive& p = primitive_cache.get(d, key, runs_on_native_unit<T>);
        if (!p.native) return done = false;
        T* target = c_in_place ? c : scratch_c.data();
        if (!execute(d, stream, p, x.data, y.data, target)) return done = false;
        if (!c_in_place) std::copy_n(target, g.m * g.n, c);
        return true;
    });
    return done;
}

template <class T>
bool processor_may_have_unit() {
    // Every processor with AMX tiles has AVX512-BF16 too; PELOR_ISA below
    // that level asks for an older processor's route, so it turns this off.
    if (!isa_level_enabled(IsaLevel::avx512_bf16)) return false;
    return std::is_same_v<T, BF16> || cpu_has_amx_fp16();
}

// Seconds one run takes; infinite when the run fails.
template <class Run>
double time_of(Run&& run) {
    const auto start = std::chrono::steady_clock::now();
    if (!run()) return std::numeric_limits<double>::infinity();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The route a product takes without the unit, and the type's name. float32
// products come here only from the test suite, which so runs this
// measurement on any processor with oneDNN.
template <class T>
KernelResult<NdArray<T>> float32_route(const NdArray<T>& a, const NdArray<T>& b) {
    if constexpr (std::is_same_v<T, float>)
        return internal_linalg_matmul(a.view(), b.view());
    else
        return widened_matmul(a.view(), b.view());
}

template <class T>
constexpr const char* type_name = std::is_same_v<T, BF16>  ? "bfloat16"
                                  : std::is_same_v<T, F16> ? "float16"
                                                           : "float32";

template <class T>
T element_of(float x) {
    if constexpr (std::is_same_v<T, float>)
        return x;
    else
        return T::from_float(x);
}

template <class T>
NativeRouteChoice measure_native_route() {
    const OneDnn* d = onednn();
    if (!d) return {false, "float32: oneDNN not found"};
    // A product large enough for the unit's advantage to show, small enough
    // to cost a few milliseconds once per process; small multiples of 1/8 as
    // values, so no subnormal is involved.
    constexpr std::size_t size = 256;
    auto a = NdArray<T>::allocate({size, size});
    auto b = NdArray<T>::allocate({size, size});
    auto c = NdArray<T>::allocate({size, size});
    if (!a || !b || !c) return {false, "float32: no memory to measure the native route"};
    for (std::size_t i = 0; i < size * size; ++i) {
        a->data()[i] = element_of<T>(float(int(i % 17) - 8) / 8);
        b->data()[i] = element_of<T>(float(int(i % 13) - 6) / 8);
    }
    const MatrixStack<T> out{c->data(), c->shape(), c->strides()};
    const MatrixStack<const T> x{a->data(), a->shape(), a->strides()}, y{b->data(), b->shape(), b->strides()};

    std::string implementation;
    {
        SingleOpenMpThread one_thread(*d);
        const PrimitiveKey key{dnnl_type<T>, size, size, size, std::ptrdiff_t(size), 1, std::ptrdiff_t(size), 1};
        implementation = primitive_cache.get(*d, key, runs_on_native_unit<T>).implementation;
    }
    if (implementation.empty())
        return {false, std::string("float32: oneDNN has no ") + type_name<T> + " product on this processor"};
    auto native = [&] { return native_batched_matmul(out, x, y); };
    auto float32 = [&] { return float32_route(*a, *b).has_value(); };
    if (!native()) return {false, "float32: oneDNN runs " + implementation + ", not a native unit"};
    // The best of five runs each, alternating, after a first float32 one: a
    // burst of load from elsewhere slows both routes, not one of them.
    float32();
    double native_time = std::numeric_limits<double>::infinity(), float32_time = native_time;
    for (int i = 0; i < 5; ++i) {
        native_time = std::min(native_time, time_of(native));
        float32_time = std::min(float32_time, time_of(float32));
    }
    // A clear margin: a unit that only matches the float32 rate (AVX512-BF16
    // on some processors) must not make the route, and so the bits, depend on
    // timing noise.
    constexpr double required_gain = 1.5;
    const double gain = std::isfinite(float32_time) && native_time > 0 ? float32_time / native_time : 0;
    char text[160];
    std::snprintf(text, sizeof text, "%s: %s, %.1fx the float32 route's speed at 256^3",
                  gain >= required_gain ? "native" : "float32", implementation.c_str(), gain);
    return {gain >= required_gain, text};
}

}  // namespace

template <class T>
bool native_batched_matmul(const MatrixStack<T>& out, const MatrixStack<const T>& a, const MatrixStack<const T>& b) {
    const OneDnn* d = onednn();
    if (!d) return false;
    SingleOpenMpThread one_thread(*d);
    return product_on_unit(*d, out, a, b);
}

template <class T>
NativeRouteChoice probe_native_route() {
    return measure_native_route<T>();
}

#else

namespace {

template <class T>
bool processor_may_have_unit() {
    return false;
}

}  // namespace

template <class T>
bool native_batched_matmul(const MatrixStack<T>&, const MatrixStack<const T>&, const MatrixStack<const T>&) {
    return false;
}

template <class T>
NativeRouteChoice probe_native_route() {
    return {false, "float32: built without oneDNN"};
}

#endif

template <class T>
const NativeRouteChoice& native_route_choice() {
    static const NativeRouteChoice choice = []() -> NativeRouteChoice {
        const Result<ProductRouteSetting>& setting = product_route_setting();
        if (!setting || *setting == ProductRouteSetting::float32) return {false, "float32: PELOR_MATMUL=float32"};
        if (PELOR_HAVE_ONEDNN && !processor_may_have_unit<T>())
            return {false, "float32: no native unit on this processor"};
        return probe_native_route<T>();
    }();
    return choice;
}

template bool native_batched_matmul(const MatrixStack<float>&, const MatrixStack<const float>&,
                                    const MatrixStack<const float>&);
template bool native_batched_matmul(const MatrixStack<BF16>&, const MatrixStack<const BF16>&,
                                    const MatrixStack<const BF16>&);
template bool native_batched_matmul(const MatrixStack<F16>&, const MatrixStack<const F16>&,
                                    const MatrixStack<const F16>&);
template NativeRouteChoice probe_native_route<float>();
template NativeRouteChoice probe_native_route<BF16>();
template NativeRouteChoice probe_native_route<F16>();
template const NativeRouteChoice& native_route_choice<BF16>();
template const NativeRouteChoice& native_route_choice<F16>();

}  // namespace pelor::engine::cpu::numeric::ops
