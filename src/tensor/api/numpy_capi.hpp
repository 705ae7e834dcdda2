#pragma once
// NumPy's C API for the binding's interchange files, and the state they share:
// the lazily imported API tables, the element types' descriptors, and NumPy's
// floating-point error state. numpy_capi.cpp owns the API tables; the other
// files that include this header use them.
#include <Python.h>

// The NumPy 2 layout only: descriptor fields are then read without a switch
// on the run-time version (NumPy 1.x refuses the import instead); the cast
// event report needs NumPy 2's ufunc API.
#define NPY_TARGET_VERSION NPY_2_0_API_VERSION
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL pelor_ARRAY_API
#define PY_UFUNC_UNIQUE_SYMBOL pelor_UFUNC_API
#ifndef PELOR_NUMPY_CAPI_OWNER
#define NO_IMPORT_ARRAY
#define NO_IMPORT_UFUNC
#endif
#include <numpy/arrayobject.h>
#include <numpy/npy_2_compat.h>
#include <numpy/ufuncobject.h>

#include <type_traits>

#include "base/error.hpp"
#include "tensor/core_interchange.hpp"

namespace pelor::tensor::api {

static_assert(std::is_same_v<npy_intp, std::ptrdiff_t>);

// Imports NumPy's array and ufunc C API on first use; false with an
// exception set when that fails (retried at the next use).
bool ensure_numpy();

// The registered "bfloat16" descriptor (borrowed), or the TypeError that
// asks for a package registering it.
Result<PyArray_Descr*> bfloat16_descr();

// A new reference to the descriptor of `d`.
Result<PyArray_Descr*> descr_for(storage::DType d);

// Reports the events of a float32 -> 16-bit cast as NumPy's cast reports its
// floating-point flags: through the error state (np.errstate), which may warn
// "overflow encountered in cast", raise, or ignore.
Result<void> report_cast_events(storage::CastEvents events);

}  // namespace pelor::tensor::api
