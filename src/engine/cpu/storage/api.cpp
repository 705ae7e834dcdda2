// NumPy interchange: import an ndarray into a storage, export a storage into
// a new ndarray. The NumPy C API is imported lazily, on first use.
#include <Python.h>

// The NumPy 2 layout only: descriptor fields are then read without a switch
// on the run-time version (NumPy 1.x refuses the import instead).
#define NPY_TARGET_VERSION NPY_2_0_API_VERSION
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL pelor_ARRAY_API
#include <numpy/arrayobject.h>
#include <numpy/npy_2_compat.h>

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "base/py_ref.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"

namespace pelor::engine::cpu::storage {

namespace {

// NumPy's own historical limit for strided element access and creation.
constexpr int max_strided_axes = 32;

// The C API table is imported once, under a lock: NumPy's importer stores
// the table before the run-time version, so a thread that saw only the table
// could go on before the import is complete. A failed import is retried at
// the next use. Same scheme as the bfloat16 lookup below.
PyMutex numpy_mutex;
bool numpy_ready = false;

bool ensure_numpy() {
    if (__atomic_load_n(&numpy_ready, __ATOMIC_ACQUIRE)) return true;
    PyMutex_Lock(&numpy_mutex);
    const bool ok = __atomic_load_n(&numpy_ready, __ATOMIC_RELAXED) || PyArray_ImportNumPyAPI() >= 0;
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

// Copies an arbitrarily strided source (byte strides, possibly negative) to
// a dense row-major destination, in logical order. The two innermost axes are
// walked in square tiles, so a transposed source is read a few cache lines at
// a time instead of one line per element.
template <class T>
void copy_logical(const char* src, const npy_intp* shape, const npy_intp* strides, int ndim, T*& dst) {
    const auto load = [](const char* p) {
        T v;
        std::memcpy(&v, p, sizeof(T));
        return v;
    };
    if (ndim == 0) {
        *dst++ = load(src);
        return;
    }
    if (ndim == 1) {
        const npy_intp n = shape[0], s = strides[0];
        if (s == npy_intp(sizeof(T))) {
            if (n) std::memcpy(dst, src, std::size_t(n) * sizeof(T));
        } else {
            for (npy_intp i = 0; i < n; ++i) dst[i] = load(src + i * s);
        }
        dst += n;
        return;
    }
    if (ndim == 2 && strides[1] != npy_intp(sizeof(T))) {
        constexpr npy_intp tile = 32;
        const npy_intp rows = shape[0], cols = shape[1], rs = strides[0], cs = strides[1];
        for (npy_intp r0 = 0; r0 < rows; r0 += tile) {
            const npy_intp r1 = std::min(rows, r0 + tile);
            for (npy_intp c0 = 0; c0 < cols; c0 += tile) {
                const npy_intp c1 = std::min(cols, c0 + tile);
                for (npy_intp r = r0; r < r1; ++r) {
                    const char* row = src + r * rs;
                    T* out = dst + r * cols;
                    for (npy_intp c = c0; c < c1; ++c) out[c] = load(row + c * cs);
                }
            }
        }
        dst += rows * cols;
        return;
    }
    for (npy_intp i = 0; i < shape[0]; ++i) copy_logical(src + i * strides[0], shape + 1, strides + 1, ndim - 1, dst);
}

std::string not_an_ndarray(PyObject* o) {
    return std::string("object of type '") + Py_TYPE(o)->tp_name + "' is not an instance of 'ndarray'";
}

template <class T>
Result<Storage> import_elements(PyArrayObject* arr, Shape shape) {
    auto allocated = NdArray<T>::allocate(std::move(shape));
    if (!allocated) return memory_error(allocated.error());
    NdArray<T>& out = *allocated;
    T* dst = out.data();
    if (PyArray_IS_C_CONTIGUOUS(arr)) {
        if (out.size()) std::memcpy(dst, PyArray_DATA(arr), out.size() * sizeof(T));
    } else {
        copy_logical(static_cast<const char*>(PyArray_DATA(arr)), PyArray_DIMS(arr), PyArray_STRIDES(arr),
                     PyArray_NDIM(arr), dst);
    }
    if constexpr (std::is_same_v<T, bool>) {
        // NumPy reads any nonzero byte as true (a uint8 array viewed as bool
        // keeps its bytes); a Bool element must hold exactly 0 or 1.
        // (The count is read once: byte stores may alias it, which would
        // keep the loop from vectorising.)
        auto* bytes = reinterpret_cast<unsigned char*>(out.data());
        const std::size_t n = out.size();
        for (std::size_t i = 0; i < n; ++i) bytes[i] = bytes[i] != 0;
    }
    return Storage(std::move(out));
}

}  // namespace

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
            copy_logical(reinterpret_cast<const char*>(a.data()), dims, src_strides, ndim, dst);
        }
        return out.release();
    });
}

}  // namespace pelor::engine::cpu::storage
