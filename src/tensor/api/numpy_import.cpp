// NumPy arrays imported into storages: the array is checked and described
// here, and the core copies its elements.
#include <algorithm>

#include "base/detached.hpp"
#include "base/py_ref.hpp"
#include "tensor/api/numpy_capi.hpp"
#include "tensor/api/numpy_interchange.hpp"

namespace pelor::tensor::api {

namespace {

using storage::DType;
using storage::max_strided_axes;

std::string not_an_ndarray(PyObject* o) {
    return std::string("object of type '") + Py_TYPE(o)->tp_name + "' is not an instance of 'ndarray'";
}

// Whether elements described by `have` are of type `d` (byte order aside);
// for BF16, the error when no bfloat16 type is registered.
Result<bool> holds(PyArray_Descr* have, DType d) {
    switch (d) {
        case DType::F16: return have->type_num == NPY_FLOAT16;
        case DType::F32: return have->type_num == NPY_FLOAT32;
        case DType::Bool: return have->type_num == NPY_BOOL;
        case DType::BF16: {
            auto want = bfloat16_descr();
            if (!want) return std::unexpected(std::move(want.error()));
            return bool(PyArray_EquivTypes(have, *want));
        }
    }
    std::unreachable();
}

// What a copy out of an ndarray reads, taken while attached, so that the
// copy can run detached. Another thread may give the array a new shape or
// strides meanwhile, so the layout is copied; the reference keeps the array
// alive and makes NumPy refuse to resize its data in place. The caller has
// refused a non-contiguous array of more axes than a buffer describes.
struct Source {
    PyRef array;
    storage::StridedBuffer buffer;

    Source(PyArrayObject* arr, DType dtype) : array(PyRef::borrow(reinterpret_cast<PyObject*>(arr))) {
        const int ndim = PyArray_NDIM(arr);
        buffer.data = PyArray_DATA(arr);
        buffer.dtype = dtype;
        buffer.shape.assign(PyArray_DIMS(arr), PyArray_DIMS(arr) + ndim);
        buffer.contiguous = PyArray_IS_C_CONTIGUOUS(arr);
        if (!buffer.contiguous) std::copy_n(PyArray_STRIDES(arr), ndim, buffer.byte_strides.begin());
    }
};

// A copy of the elements of `arr`, which holds `dtype`.
Result<Storage> copy_elements(PyArrayObject* arr, DType dtype) {
    Source source(arr, dtype);
    return run_detached(element_count(source.buffer.shape),
                        [&] { return core::import_buffer(std::move(source.buffer)); });
}

// The float32 array `arr` narrowed to `to`; the cast's events are reported
// once the thread is attached again.
Result<Storage> narrow_elements(PyArrayObject* arr, DType to) {
    Source source(arr, DType::F32);
    auto narrowed = run_detached(element_count(source.buffer.shape),
                                 [&] { return core::import_narrowed(std::move(source.buffer), to); });
    if (!narrowed) return std::unexpected(std::move(narrowed.error()));
    if (auto reported = report_cast_events(narrowed->events); !reported)
        return std::unexpected(std::move(reported.error()));
    return std::move(narrowed->storage);
}

}  // namespace

std::optional<Result<Storage>> import_ndarray_directly(PyObject* data, DType dtype) {
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
    if (!PyArray_IS_C_CONTIGUOUS(arr) && PyArray_NDIM(arr) > int(max_strided_axes)) return std::nullopt;

    // Without a registered bfloat16, numpy.array raises its own error.
    auto exact = holds(PyArray_DESCR(arr), dtype);
    if (!exact) return std::nullopt;
    if (*exact) return copy_elements(arr, dtype);
    const bool narrowing = dtype == DType::F16 || dtype == DType::BF16;
    if (narrowing && PyArray_DESCR(arr)->type_num == NPY_FLOAT32) return narrow_elements(arr, dtype);
    return std::nullopt;
}

Result<Storage> import_ndarray(PyObject* object, DType dtype) {
    if (!ensure_numpy()) return python_error();
    if (!PyArray_Check(object)) return type_error(not_an_ndarray(object));
    auto* arr = reinterpret_cast<PyArrayObject*>(object);

    auto matches = holds(PyArray_DESCR(arr), dtype);
    if (!matches) return std::unexpected(std::move(matches.error()));
    // A byte-swapped array has the right type number but foreign bytes.
    if (!*matches || !PyArray_ISNOTSWAPPED(arr)) return type_error(not_an_ndarray(object));

    const bool contiguous = PyArray_IS_C_CONTIGUOUS(arr);
    if (contiguous && PyArray_SIZE(arr) > 0 && !PyArray_ISALIGNED(arr))
        return type_error("The given array is not contiguous or is misaligned.");
    if (!contiguous && PyArray_NDIM(arr) > int(max_strided_axes))
        return value_error("cannot import a non-contiguous array with more than 32 axes");
    return copy_elements(arr, dtype);
}

}  // namespace pelor::tensor::api
