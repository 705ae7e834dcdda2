#pragma once
// Tensors' storages from NumPy arrays and back. NumPy's objects are read while
// attached; the element copies run through the core, detached from the
// interpreter when they are long.
#include <Python.h>

#include <optional>

#include "base/error.hpp"
#include "tensor/storage.hpp"

namespace pelor::tensor::api {

using storage::Storage;

// The elements of the ndarray `object`, which must hold exactly `dtype` in
// native byte order (a TypeError otherwise).
Result<Storage> import_ndarray(PyObject* object, storage::DType dtype);

// What import_ndarray(numpy.array(data, dtype=...), dtype) gives, without the
// intermediate array, for the data it can read itself: an exact, aligned
// ndarray of native byte order holding `dtype`, or float32 narrowed to
// float16 or bfloat16 exactly as NumPy's cast does it (its warnings
// included). nullopt: the data needs numpy.array.
std::optional<Result<Storage>> import_ndarray_directly(PyObject* data, storage::DType dtype);

// After numpy.array refused to make a bfloat16 array: when no bfloat16 type
// is registered, a note on the pending exception says how to get one. NumPy's
// exception (class and text) stays as it is.
void note_how_to_register_bfloat16();

// A new ndarray with the elements of `s`; null with an exception set.
PyObject* export_ndarray(const Storage& s);

}  // namespace pelor::tensor::api
