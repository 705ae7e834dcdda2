// Storages exported into new NumPy arrays: the array is made here, in the
// storage's own order when that is row- or column-major, and the core copies
// the elements into it.
#include "base/detached.hpp"
#include "base/py_ref.hpp"
#include "tensor/api/numpy_capi.hpp"
#include "tensor/api/numpy_interchange.hpp"
#include "tensor/api/py_tensor.hpp"

namespace pelor::tensor::api {

using storage::max_strided_axes;

PyObject* export_ndarray(const Storage& s) {
    if (!ensure_numpy()) return nullptr;
    if (s.ndim() > max_strided_axes) return raise(Error{ErrorKind::ValueError, "cannot export a tensor with more than 32 axes"});
    auto descr = descr_for(s.dtype());  // stolen by the array constructor
    if (!descr) return raise(descr.error());

    const int ndim = int(s.ndim());
    npy_intp dims[max_strided_axes];
    npy_intp byte_strides[max_strided_axes];
    for (int i = 0; i < ndim; ++i) dims[i] = npy_intp(s.shape()[std::size_t(i)]);
    const bool fortran = core::exports_column_major(s);
    if (fortran) {
        const auto size = npy_intp(storage::element_size(s.dtype()));
        for (int i = 0; i < ndim; ++i) byte_strides[i] = npy_intp(s.strides()[std::size_t(i)]) * size;
    }
    PyRef out = PyRef::steal(PyArray_NewFromDescr(&PyArray_Type, *descr, ndim, dims, fortran ? byte_strides : nullptr,
                                                  nullptr, fortran ? NPY_ARRAY_F_CONTIGUOUS : 0, nullptr));
    if (!out) return nullptr;
    void* dst = PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get()));
    // No other thread has seen the new array yet.
    run_detached(s.size(), [&] { core::export_into(s, dst); });
    return out.release();
}

}  // namespace pelor::tensor::api
