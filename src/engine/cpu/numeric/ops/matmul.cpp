#include "engine/cpu/numeric/ops/matmul.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "engine/cpu/elementwise/iterator.hpp"
#include "engine/cpu/elementwise/map_run.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"
#include "engine/cpu/numeric/ops/matmul_blis.hpp"
#include "engine/cpu/numeric/ops/matmul_kernels.hpp"
#include "engine/cpu/numeric/ops/matmul_native.hpp"
#include "engine/cpu/strided_walk.hpp"

namespace pelor::engine::cpu::numeric::ops {

namespace {

std::string too_large(ShapeSpan shape) {
    return "Matmul result of shape " + shape_text(shape) + " is too large to allocate";
}

// The validated geometry of a product: the broadcast views' shapes and
// strides and the result shape.
struct MatmulPlan {
    Shape a_shape, b_shape, out_shape;
    Strides a_strides, b_strides;
};

KernelResult<MatmulPlan> plan_matmul(ShapeSpan a_shape, StridesSpan a_strides, ShapeSpan b_shape,
                                     StridesSpan b_strides) {
    const std::size_t ra = a_shape.size(), rb = b_shape.size();
    if (ra < 2 || rb < 2)
        return std::unexpected("Matmul requires at least 2D tensors. A: " + std::to_string(ra) + "D, B: " +
                               std::to_string(rb) + "D");
    const std::size_t m = a_shape[ra - 2], k = a_shape[ra - 1];
    const std::size_t k2 = b_shape[rb - 2], n = b_shape[rb - 1];
    if (k != k2)
        return std::unexpected("Matrix inner dimensions mismatch for matmul: " + std::to_string(k) + " vs " +
                               std::to_string(k2));
    auto batch = broadcast_shapes(a_shape.first(ra - 2), b_shape.first(rb - 2));
    if (!batch) return std::unexpected(std::move(batch.error()));

    MatmulPlan plan;
    plan.a_shape = *batch;
    plan.a_shape.insert(plan.a_shape.end(), {m, k});
    plan.b_shape = *batch;
    plan.b_shape.insert(plan.b_shape.end(), {k, n});
    plan.out_shape = std::move(*batch);
    plan.out_shape.insert(plan.out_shape.end(), {m, n});

    auto sa = broadcast_strides(a_shape, a_strides, plan.a_shape);
    if (!sa) return std::unexpected("Broadcast failed for A to " + shape_text(plan.a_shape));
    auto sb = broadcast_strides(b_shape, b_strides, plan.b_shape);
    if (!sb) return std::unexpected("Broadcast failed for B to " + shape_text(plan.b_shape));
    plan.a_strides = std::move(*sa);
    plan.b_strides = std::move(*sb);

    // Both operands may be small (an empty inner axis) while m · n times the
    // batch is not. A result whose lengths other than 0 multiply past a signed
    // word is refused here, even when another axis makes it empty: no array
    // of that shape could be held, and its gradient products would be refused
    // later. One that fits but cannot be held is refused by the allocation.
    if (!nonzero_product_fits(plan.out_shape)) return std::unexpected(too_large(plan.out_shape));
    return plan;
}

// B repacked row-major for the direct loop, which wants unit column stride.
void pack_rows(std::size_t k, std::size_t n, const float* b, std::ptrdiff_t rs, std::ptrdiff_t cs, float* out) {
    for (std::size_t p = 0; p < k; ++p)
        for (std::size_t j = 0; j < n; ++j) out[p * n + j] = b[std::ptrdiff_t(p) * rs + std::ptrdiff_t(j) * cs];
}

// Repacking buffers up to this many elements stay with the thread for reuse.
constexpr std::size_t kept_scratch = std::size_t(1) << 16;

KernelResult<void> direct_product(std::size_t m, std::size_t n, std::size_t k, const float* a, std::ptrdiff_t a_rs,
                                  std::ptrdiff_t a_cs, const float* b, std::ptrdiff_t b_rs, std::ptrdiff_t b_cs,
                                  float* c) {
    const auto& kernels = matmul_kernels();
    if (n == 1 || b_cs == 1) {
        kernels.small_product(m, n, k, a, a_rs, a_cs, b, b_rs, c);
        return {};
    }
    thread_local AlignedBuffer<float> kept;
    AlignedBuffer<float> large;
    const std::size_t need = k * n;  // B exists, so this fits
    AlignedBuffer<float>* buffer = need <= kept_scratch ? &kept : &large;
    if (buffer->size() < need) {
        auto fresh = AlignedBuffer<float>::allocate(need <= kept_scratch ? kept_scratch : need);
        if (!fresh) return std::unexpected(fresh.error());
        *buffer = std::move(*fresh);
    }
    pack_rows(k, n, b, b_rs, b_cs, buffer->data());
    kernels.small_product(m, n, k, a, a_rs, a_cs, buffer->data(), std::ptrdiff_t(n), c);
    return {};
}

// Small products skip BLIS: a call costs 0.6 to 2 µs whatever its size (it
// packs both operands first), and below the limit the direct loop is faster.
bool is_small(std::size_t m, std::size_t n, std::size_t k) {
    std::size_t mn, mnk;
    return !__builtin_mul_overflow(m, n, &mn) && !__builtin_mul_overflow(mn, k, &mnk) &&
           mnk <= matmul_kernels().small_limit;
}

KernelResult<void> product_2d(float* c, const float* a, const float* b, const MatrixShape& g) {
    if (g.k == 0) {
        std::fill_n(c, g.m * g.n, 0.0f);  // an empty sum
        return {};
    }
    // Stride layouts BLIS refuses (only possible for views that are not
    // dense arrays) take the direct loop too, whatever their size.
    if (is_small(g.m, g.n, g.k) || !blis_strides_valid(g.m, g.k, g.a_rs, g.a_cs) ||
        !blis_strides_valid(g.k, g.n, g.b_rs, g.b_cs))
        return direct_product(g.m, g.n, g.k, a, g.a_rs, g.a_cs, b, g.b_rs, g.b_cs, c);
    blis_sgemm(g.m, g.n, g.k, a, g.a_rs, g.a_cs, b, g.b_rs, g.b_cs, c);
    return {};
}

void widen_flat(const F16* src, float* dst, std::size_t count) {
    matmul_kernels().widen_f16(reinterpret_cast<const std::uint16_t*>(src), dst, count);
}
void widen_flat(const BF16* src, float* dst, std::size_t count) {
    matmul_kernels().widen_bf16(reinterpret_cast<const std::uint16_t*>(src), dst, count);
}
void narrow_flat(const float* src, F16* dst, std::size_t count) {
    matmul_kernels().narrow_f16(src, reinterpret_cast<std::uint16_t*>(dst), count);
}
void narrow_flat(const float* src, BF16* dst, std::size_t count) {
    matmul_kernels().narrow_bf16(src, reinterpret_cast<std::uint16_t*>(dst), count);
}

// One exact widening copy. A dense operand keeps its layout, so the copy is a
// flat pass and a transposed operand stays transposed (and is read in place
// by the product); any other view is gathered into row-major order by the
// element-wise iterator.
template <class T>
Allocated<NdArray<float>> widen(const ArrayView<T>& v) {
    if (is_dense(v.shape, v.strides)) {
        auto out = NdArray<float>::allocate(v.shape, v.strides);
        if (out) widen_flat(v.data, out->data(), out->size());
        return out;
    }
    auto out = elementwise::combine<float, 1>(
        std::array{v},
        [](const elementwise::Run<T, 1, float, 1>& run) {
            elementwise::map_run(run, [](T x) { return x.to_float(); });
        },
        elementwise::ResultLayout::row_major);
    if (!out) return std::unexpected(out.error());
    return std::move((*out)[0]);
}

template <class T>
KernelResult<NdArray<T>> widen_and_multiply(const ArrayView<T>& a, const ArrayView<T>& b);

// The native route when the product qualifies for it (matmul_native.hpp),
// otherwise the float32 route. The cheap tests come first: the route's
// decision is made (and oneDNN loaded) only for a product large enough.
template <class T>
KernelResult<NdArray<T>> half_matmul(const ArrayView<T>& a, const ArrayView<T>& b) {
    auto plan = plan_matmul(a.shape, a.strides, b.shape, b.strides);
    if (!plan) return std::unexpected(std::move(plan.error()));
    const std::size_t r = plan->out_shape.size();
    const std::size_t m = plan->out_shape[r - 2], n = plan->out_shape[r - 1], k = plan->a_shape[r - 1];
    std::size_t work;
    if (!__builtin_mul_overflow(m * n, k, &work) && work >= native_min_work && native_route_choice<T>().native &&
        is_dense(a.shape, a.strides) && is_dense(b.shape, b.strides) &&
        exact_on_native_unit(a.data, element_count(a.shape), b.data, element_count(b.shape))) {
        auto out = NdArray<T>::allocate(plan->out_shape);
        if (out && out->size() != 0) {
            const MatrixStack<T> out_stack{out->data(), out->shape(), out->strides()};
            const MatrixStack<const T> a_stack{a.data, plan->a_shape, plan->a_strides};
            const MatrixStack<const T> b_stack{b.data, plan->b_shape, plan->b_strides};
            if (native_batched_matmul(out_stack, a_stack, b_stack)) return std::move(*out);
        }
    }
    return widen_and_multiply(a, b);
}

}  // namespace

bool is_dense(ShapeSpan shape, StridesSpan strides) {
    std::vector<std::size_t> axes;
    for (std::size_t i = 0; i < shape.size(); ++i)
        if (shape[i] != 1) axes.push_back(i);
    std::ranges::sort(axes, {}, [&](std::size_t i) { return strides[i]; });
    std::ptrdiff_t expect = 1;
    for (std::size_t i : axes) {
        if (strides[i] != expect) return false;
        expect *= std::ptrdiff_t(shape[i]);
    }
    return true;
}

template <class T>
KernelResult<NdArray<T>> widened_matmul(const ArrayView<T>& a, const ArrayView<T>& b) {
    // Shape failures are found before any element is converted.
    if (auto plan = plan_matmul(a.shape, a.strides, b.shape, b.strides); !plan)
        return std::unexpected(std::move(plan.error()));
    return widen_and_multiply(a, b);
}

namespace {

// The float32 route once the shapes are known to be valid.
template <class T>
KernelResult<NdArray<T>> widen_and_multiply(const ArrayView<T>& a, const ArrayView<T>& b) {
    auto wide_a = widen(a);
    if (!wide_a) return std::unexpected(wide_a.error());
    auto wide_b = widen(b);
    if (!wide_b) return std::unexpected(wide_b.error());
    auto product = internal_linalg_matmul(wide_a->view(), wide_b->view());
    if (!product) return std::unexpected(std::move(product.error()));
    auto out = NdArray<T>::allocate(product->shape());  // row-major, like the binary32 result
    if (!out) return std::unexpected(out.error());
    narrow_flat(product->data(), out->data(), out->size());
    return std::move(*out);
}

}  // namespace

template KernelResult<NdArray<F16>> widened_matmul(const ArrayView<F16>&, const ArrayView<F16>&);
template KernelResult<NdArray<BF16>> widened_matmul(const ArrayView<BF16>&, const ArrayView<BF16>&);

KernelResult<void> batched_matmul(const MatrixStack<float>& out, const MatrixStack<const float>& a,
                                  const MatrixStack<const float>& b) {
    const MatrixShape g = matrix_shape(a, b);
    // The batch axes in row-major order of the batch index, which is also
    // the memory order of the dense result.
    const std::size_t batch = out.ndim() - 2;
    const auto plan = plan_walk<3>(out.shape.first(batch),
                                   {out.strides.first(batch), a.strides.first(batch), b.strides.first(batch)},
                                   WalkOrder::row_major);
    KernelResult<void> result;
    walk<0>(plan, [&](const auto& off) {
        result = product_2d(out.data + off[0], a.data + off[1], b.data + off[2], g);
        return result.has_value();
    });
    return result;
}

KernelResult<NdArray<float>> internal_linalg_matmul(const ArrayView<float>& a, const ArrayView<float>& b) {
    auto plan = plan_matmul(a.shape, a.strides, b.shape, b.strides);
    if (!plan) return std::unexpected(std::move(plan.error()));
    auto result = NdArray<float>::allocate(plan->out_shape);  // every element is written below
    if (!result) return std::unexpected(result.error());
    NdArray<float>& out = *result;
    if (out.size() == 0) return std::move(out);
    const MatrixStack<float> out_stack{out.data(), out.shape(), out.strides()};
    const MatrixStack<const float> a_stack{a.data, plan->a_shape, plan->a_strides};
    const MatrixStack<const float> b_stack{b.data, plan->b_shape, plan->b_strides};
#if defined(PELOR_TEST_HOOKS)
    if (float32_products_through_onednn() && native_batched_matmul(out_stack, a_stack, b_stack)) return std::move(out);
#endif
    if (auto r = batched_matmul(out_stack, a_stack, b_stack); !r) return std::unexpected(std::move(r.error()));
    return std::move(out);
}

KernelResult<NdArray<F16>> MatmulOps<F16>::do_matmul(const ArrayView<F16>& a, const ArrayView<F16>& b) {
    return half_matmul(a, b);
}

KernelResult<NdArray<BF16>> MatmulOps<BF16>::do_matmul(const ArrayView<BF16>& a, const ArrayView<BF16>& b) {
    return half_matmul(a, b);
}

}  // namespace pelor::engine::cpu::numeric::ops
