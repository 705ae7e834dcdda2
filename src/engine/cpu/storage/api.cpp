// NumPy interchange: import an ndarray into a storage, export a storage into
// a new ndarray. The NumPy C API is imported lazily, on first use.
#include <Python.h>

// The NumPy 2 layout only: descriptor fields are then read without a switch
// on the run-time version (NumPy 1.x refuses the import instead).
#define NPY_TARGET_VERSION NPY_2_0_API_VERSION
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
// NumPy 2 at run time: the cast error report below needs its ufunc API.
#define NPY_TARGET_VERSION NPY_2_0_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL pelor_ARRAY_API
#include <numpy/arrayobject.h>
#include <numpy/npy_2_compat.h>
#define PY_UFUNC_UNIQUE_SYMBOL pelor_UFUNC_API
#include <numpy/ufuncobject.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>

#include "base/py_ref.hpp"
#include "engine/cpu/numeric/ops/cast_kernels.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"
#include "engine/cpu/storage/logical_copy.hpp"
#include "engine/cpu/storage/transpose_kernels.hpp"

namespace pelor::engine::cpu::storage {

namespace {

// NumPy's own historical limit for strided element access and creation.
constexpr int max_strided_axes = max_copy_axes;
static_assert(std::is_same_v<npy_intp, std::ptrdiff_t>);

// The C API tables (arrays, and ufuncs for the cast warnings) are imported
// once, under a lock: NumPy's importer stores a table before the run-time
// version, so a thread that saw only the table could go on before the import
// is complete. A failed import is retried at the next use. Same scheme as the
// bfloat16 lookup below.
PyMutex numpy_mutex;
bool numpy_ready = false;

bool ensure_numpy() {
    if (__atomic_load_n(&numpy_ready, __ATOMIC_ACQUIRE)) return true;
    PyMutex_Lock(&numpy_mutex);
    const bool ok = __atomic_load_n(&numpy_ready, __ATOMIC_RELAXED) ||
                    (PyArray_ImportNumPyAPI() >= 0 && PyUFunc_ImportUFuncAPI() >= 0);
    if (ok) __atomic_store_n(&numpy_ready, true, __ATOMIC_RELEASE);
    PyMutex_Unlock(&numpy_mutex);
    return ok;
}

// The "bfloat16" descriptor, found once and kept; a failed lookup is retried
// at the next use. The mutex detaches a waiting thread, so two threads that
// need it first cannot deadlock, and only one performs the lookup.
PyMutex bf16_mutex;
PyArray_Descr* bf16_descr = nullptr;

PyArray_Descr* bfloat16_descr() {
    if (auto* d = __atomic_load_n(&bf16_descr, __ATOMIC_ACQUIRE)) return d;
    PyMutex_Lock(&bf16_mutex);
    if (!bf16_descr) {
        PyRef name = PyRef::steal(PyUnicode_FromString("bfloat16"));
        PyArray_Descr* d = nullptr;
        if (name && PyArray_DescrConverter(name.get(), &d) && d && PyDataType_ELSIZE(d) == 2) {
            __atomic_store_n(&bf16_descr, d, __ATOMIC_RELEASE);
        } else {
            Py_XDECREF(d);
            PyErr_Clear();
        }
    }
    PyArray_Descr* d = bf16_descr;
    PyMutex_Unlock(&bf16_mutex);
    if (!d)
        PyErr_SetString(PyExc_TypeError,
                        "bfloat16 tensors need a package that registers a NumPy 'bfloat16' data type "
                        "(for example ml_dtypes); import it first");
    return d;
}

// A new reference to the descriptor of `d`, or null with an exception set.
PyArray_Descr* descr_for(DType d) {
    switch (d) {
        case DType::F16: return PyArray_DescrFromType(NPY_FLOAT16);
        case DType::F32: return PyArray_DescrFromType(NPY_FLOAT32);
        case DType::Bool: return PyArray_DescrFromType(NPY_BOOL);
        case DType::BF16: {
            PyArray_Descr* descr = bfloat16_descr();
            Py_XINCREF(descr);
            return descr;
        }
    }
    return nullptr;
}

std::optional<DType> dtype_for_name(std::string_view name) {
    if (name == "float32" || name == "f32") return DType::F32;
    if (name == "float16" || name == "f16") return DType::F16;
    if (name == "bfloat16" || name == "bf16") return DType::BF16;
    if (name == "bool") return DType::Bool;
    return std::nullopt;
}

// Moves n elements of T, byte_stride apart in the source, to dst[0..n).
template <class T>
void copy_run(const char* src, std::ptrdiff_t byte_stride, std::ptrdiff_t n, T* dst) {
    if (byte_stride == std::ptrdiff_t(sizeof(T))) {
        std::memcpy(dst, src, std::size_t(n) * sizeof(T));
        return;
    }
    for (std::ptrdiff_t i = 0; i < n; ++i) std::memcpy(dst + i, src + i * byte_stride, sizeof(T));
}

std::string not_an_ndarray(PyObject* o) {
    return std::string("object of type '") + Py_TYPE(o)->tp_name + "' is not an instance of 'ndarray'";
}

// copy_logical for a plain copy: planes whose source runs along the rows go
// through the transposing kernels where the element size has one.
template <class T>
void copy_in_logical_order(const char* src, const npy_intp* shape, const npy_intp* strides, int ndim, T* dst) {
    const auto plane = [](const char* s, std::ptrdiff_t rs, std::ptrdiff_t cs, std::ptrdiff_t rows,
                          std::ptrdiff_t cols, T* d, std::ptrdiff_t rd) {
        if constexpr (sizeof(T) == 4) {
            if (const auto kernel = transpose_kernels().b32; kernel && rs == 4)
                return kernel(s, cs, std::size_t(rows), std::size_t(cols), reinterpret_cast<std::uint32_t*>(d), rd);
        } else if constexpr (sizeof(T) == 2) {
            if (const auto kernel = transpose_kernels().b16; kernel && rs == 2)
                return kernel(s, cs, std::size_t(rows), std::size_t(cols), reinterpret_cast<std::uint16_t*>(d), rd);
        }
        auto run = copy_run<T>;
        plane_in_tiles(s, rs, cs, rows, cols, d, rd, run);
    };
    copy_logical(src, shape, strides, ndim, dst, copy_run<T>, plane);
}

// NumPy reads any nonzero byte as true (a uint8 array viewed as bool keeps
// its bytes); a Bool element must hold exactly 0 or 1.
void copy_bool_bytes(const unsigned char* __restrict src, unsigned char* __restrict dst, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) dst[i] = src[i] != 0;
}

template <class T>
Result<Storage> import_elements(PyArrayObject* arr, Shape shape) {
    auto allocated = NdArray<T>::allocate(std::move(shape));
    if (!allocated) return memory_error(allocated.error());
    NdArray<T>& out = *allocated;
    T* dst = out.data();
    const std::size_t n = out.size();
    if (PyArray_IS_C_CONTIGUOUS(arr)) {
        if constexpr (std::is_same_v<T, bool>) {
            copy_bool_bytes(static_cast<const unsigned char*>(PyArray_DATA(arr)), reinterpret_cast<unsigned char*>(dst), n);
        } else if (n) {
            std::memcpy(dst, PyArray_DATA(arr), n * sizeof(T));
        }
    } else {
        copy_in_logical_order(static_cast<const char*>(PyArray_DATA(arr)), PyArray_DIMS(arr), PyArray_STRIDES(arr),
                              PyArray_NDIM(arr), dst);
        if constexpr (std::is_same_v<T, bool>) {
            auto* bytes = reinterpret_cast<unsigned char*>(dst);
            for (std::size_t i = 0; i < n; ++i) bytes[i] = bytes[i] != 0;
        }
    }
    return Storage(std::move(out));
}

// Reports the events of a float32 -> 16-bit cast as NumPy's cast reports its
// floating-point flags: through the error state (np.errstate), which may warn
// "overflow encountered in cast", raise, or ignore. -1 with an exception set.
int report_cast_events(unsigned events) {
    using namespace numeric::ops;
    const int fpe = (events & cast_overflow ? NPY_FPE_OVERFLOW : 0) | (events & cast_underflow ? NPY_FPE_UNDERFLOW : 0) |
                    (events & cast_invalid ? NPY_FPE_INVALID : 0);
    if (fpe == 0) return 0;
    return PyUFunc_GiveFloatingpointErrors("cast", fpe);
}

// A float32 array narrowed to F16 or BF16 with the kernels of NumPy's casts.
template <class T>
Result<Storage> import_narrowed(PyArrayObject* arr, Shape shape) {
    const auto& kernels = numeric::ops::cast_kernels();
    const auto kernel = std::is_same_v<T, F16> ? kernels.f32_to_f16 : kernels.f32_to_bf16;
    auto allocated = NdArray<T>::allocate(std::move(shape));
    if (!allocated) return memory_error(allocated.error());
    NdArray<T>& out = *allocated;
    auto* dst = reinterpret_cast<std::uint16_t*>(out.data());
    const char* src = static_cast<const char*>(PyArray_DATA(arr));
    unsigned events = 0;
    if (PyArray_IS_C_CONTIGUOUS(arr)) {
        if (out.size()) events = kernel(reinterpret_cast<const float*>(src), dst, out.size());
    } else {
        // Strided runs are gathered into a small block first.
        const auto run = [&](const char* s, std::ptrdiff_t stride, std::ptrdiff_t n, std::uint16_t* d) {
            if (stride == std::ptrdiff_t(sizeof(float))) {
                events |= kernel(reinterpret_cast<const float*>(s), d, std::size_t(n));
                return;
            }
            constexpr std::ptrdiff_t block = 256;
            alignas(64) float gathered[block];
            for (std::ptrdiff_t i0 = 0; i0 < n; i0 += block) {
                const std::ptrdiff_t m = std::min(block, n - i0);
                copy_run(s + i0 * stride, stride, m, gathered);
                events |= kernel(gathered, d + i0, std::size_t(m));
            }
        };
        // A plane whose source runs down the rows is transposed a block at a
        // time into binary32 rows, which are then narrowed.
        const auto plane = [&](const char* s, std::ptrdiff_t rs, std::ptrdiff_t cs, std::ptrdiff_t rows,
                               std::ptrdiff_t cols, std::uint16_t* d, std::ptrdiff_t rd) {
            const auto transpose = transpose_kernels().b32;
            if (!transpose || rs != std::ptrdiff_t(sizeof(float))) return plane_in_tiles(s, rs, cs, rows, cols, d, rd, run);
            constexpr std::ptrdiff_t block_rows = 16, block_cols = 256;
            alignas(64) std::uint32_t block[block_rows * block_cols];
            for (std::ptrdiff_t r0 = 0; r0 < rows; r0 += block_rows) {
                const std::ptrdiff_t m = std::min(block_rows, rows - r0);
                for (std::ptrdiff_t c0 = 0; c0 < cols; c0 += block_cols) {
                    const std::ptrdiff_t k = std::min(block_cols, cols - c0);
                    transpose(s + r0 * rs + c0 * cs, cs, std::size_t(m), std::size_t(k), block, block_cols);
                    for (std::ptrdiff_t r = 0; r < m; ++r)
                        events |= kernel(reinterpret_cast<const float*>(block + r * block_cols), d + (r0 + r) * rd + c0,
                                         std::size_t(k));
                }
            }
        };
        copy_logical(src, PyArray_DIMS(arr), PyArray_STRIDES(arr), PyArray_NDIM(arr), dst, run, plane);
    }
    if (report_cast_events(events) < 0) return python_error();
    return Storage(std::move(out));
}

}  // namespace

std::optional<Result<Storage>> CpuStorage::from_numpy_directly(PyObject* data, std::string_view dtype_name) {
    const auto dtype = dtype_for_name(dtype_name);
    if (!dtype) return std::nullopt;
    if (!ensure_numpy()) {
        PyErr_Clear();  // numpy.array's path reports it
        return std::nullopt;
    }
    // Subclasses may change what numpy.array makes of them (masked arrays,
    // matrices); foreign byte orders and misaligned data need NumPy's copy.
    if (!PyArray_CheckExact(data)) return std::nullopt;
    auto* arr = reinterpret_cast<PyArrayObject*>(data);
    if (!PyArray_ISNOTSWAPPED(arr) || !PyArray_ISALIGNED(arr)) return std::nullopt;
    // Too many axes to walk: numpy.array's copy keeps the layout, and the
    // import refuses it there.
    if (!PyArray_IS_C_CONTIGUOUS(arr) && PyArray_NDIM(arr) > max_strided_axes) return std::nullopt;

    const int type = PyArray_DESCR(arr)->type_num;
    Shape shape(PyArray_DIMS(arr), PyArray_DIMS(arr) + PyArray_NDIM(arr));
    switch (*dtype) {
        case DType::F32:
            if (type == NPY_FLOAT32) return Result<Storage>(import_elements<float>(arr, std::move(shape)));
            break;
        case DType::F16:
            if (type == NPY_FLOAT16) return Result<Storage>(import_elements<F16>(arr, std::move(shape)));
            if (type == NPY_FLOAT32) return import_narrowed<F16>(arr, std::move(shape));
            break;
        case DType::Bool:
            if (type == NPY_BOOL) return Result<Storage>(import_elements<bool>(arr, std::move(shape)));
            break;
        case DType::BF16: {
            // Without a registered bfloat16, numpy.array raises its own error.
            PyArray_Descr* bf16 = bfloat16_descr();
            if (!bf16) {
                PyErr_Clear();
                break;
            }
            if (type == NPY_FLOAT32) return import_narrowed<BF16>(arr, std::move(shape));
            if (PyArray_EquivTypes(PyArray_DESCR(arr), bf16))
                return Result<Storage>(import_elements<BF16>(arr, std::move(shape)));
            break;
        }
    }
    return std::nullopt;
}

Result<Storage> CpuStorage::from_numpy(PyObject* object, std::string_view dtype_name) {
    if (!ensure_numpy()) return python_error();
    if (!PyArray_Check(object)) return type_error(not_an_ndarray(object));
    auto* arr = reinterpret_cast<PyArrayObject*>(object);
    const int ndim = PyArray_NDIM(arr);
    Shape shape(PyArray_DIMS(arr), PyArray_DIMS(arr) + ndim);

    auto dtype = dtype_for_name(dtype_name);
    if (!dtype)
        return type_error("Unsupported data type '" + std::string(dtype_name) +
                          "'. Only float32, float16, bfloat16, and bool are supported.");

    PyArray_Descr* have = PyArray_DESCR(arr);
    bool matches = false;
    switch (*dtype) {
        case DType::F32: matches = have->type_num == NPY_FLOAT32; break;
        case DType::F16: matches = have->type_num == NPY_FLOAT16; break;
        case DType::Bool: matches = have->type_num == NPY_BOOL; break;
        case DType::BF16: {
            PyArray_Descr* want = bfloat16_descr();
            if (!want) return python_error();
            matches = PyArray_EquivTypes(have, want);
            break;
        }
    }
    // A byte-swapped array has the right type number but foreign bytes.
    if (!matches || !PyArray_ISNOTSWAPPED(arr)) return type_error(not_an_ndarray(object));

    const bool contiguous = PyArray_IS_C_CONTIGUOUS(arr);
    if (contiguous && PyArray_SIZE(arr) > 0 && !PyArray_ISALIGNED(arr))
        return type_error("The given array is not contiguous or is misaligned.");
    if (!contiguous && ndim > max_strided_axes)
        return value_error("cannot import a non-contiguous array with more than 32 axes");

    switch (*dtype) {
        case DType::F16: return import_elements<F16>(arr, std::move(shape));
        case DType::BF16: return import_elements<BF16>(arr, std::move(shape));
        case DType::F32: return import_elements<float>(arr, std::move(shape));
        case DType::Bool: return import_elements<bool>(arr, std::move(shape));
    }
    return runtime_error("unreachable dtype");
}

Result<PyObject*> CpuStorage::to_numpy(const Storage& s) {
    if (!ensure_numpy()) return python_error();
    if (s.ndim() > std::size_t(max_strided_axes))
        return value_error("cannot export a tensor with more than 32 axes");
    PyArray_Descr* descr = descr_for(s.dtype());  // stolen by the array constructor
    if (!descr) return python_error();

    const int ndim = int(s.ndim());
    npy_intp dims[max_strided_axes];
    npy_intp byte_strides[max_strided_axes];
    for (int i = 0; i < ndim; ++i) dims[i] = npy_intp(s.shape()[std::size_t(i)]);

    return s.visit([&](const auto& a) -> Result<PyObject*> {
        using T = typename std::decay_t<decltype(a)>::value_type;
        const bool standard = a.is_standard_layout();
        const bool fortran = !standard && ndim > 1 && a.is_column_major_layout();
        npy_intp* strides = nullptr;
        if (fortran) {
            for (int i = 0; i < ndim; ++i) byte_strides[i] = npy_intp(a.strides()[std::size_t(i)] * npy_intp(sizeof(T)));
            strides = byte_strides;
        }
        PyRef out = PyRef::steal(PyArray_NewFromDescr(&PyArray_Type, descr, ndim, dims, strides, nullptr,
                                                      fortran ? NPY_ARRAY_F_CONTIGUOUS : 0, nullptr));
        if (!out) return python_error();
        T* dst = static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
        if (standard || fortran) {
            if (a.size()) std::memcpy(dst, a.data(), a.size() * sizeof(T));
        } else {
            npy_intp src_strides[max_strided_axes];
            for (int i = 0; i < ndim; ++i) src_strides[i] = npy_intp(a.strides()[std::size_t(i)] * npy_intp(sizeof(T)));
            copy_in_logical_order(reinterpret_cast<const char*>(a.data()), dims, src_strides, ndim, dst);
        }
        return out.release();
    });
}

}  // namespace pelor::engine::cpu::storage
