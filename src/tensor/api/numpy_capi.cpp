#define PELOR_NUMPY_CAPI_OWNER
#include "tensor/api/numpy_capi.hpp"

#include "base/py_ref.hpp"
#include "tensor/api/numpy_interchange.hpp"

namespace pelor::tensor::api {

namespace {

// The C API tables (arrays, and ufuncs for the cast warnings) are imported
// once, under a lock: NumPy's importer stores a table before the run-time
// version, so a thread that saw only the table could go on before the import
// is complete. A failed import is retried at the next use. Same scheme as the
// bfloat16 lookup below.
PyMutex numpy_mutex;
bool numpy_ready = false;

// The "bfloat16" descriptor, found once and kept; a failed lookup is retried
// at the next use. The mutex detaches a waiting thread, so two threads that
// need it first cannot deadlock, and only one performs the lookup.
PyMutex bf16_mutex;
PyArray_Descr* bf16_descr = nullptr;

constexpr char bfloat16_help[] =
    "bfloat16 tensors need NumPy's 'bfloat16' data type, which importing ml_dtypes registers "
    "(pip install ml_dtypes, or this package's 'bfloat16' extra)";

}  // namespace

bool ensure_numpy() {
    if (__atomic_load_n(&numpy_ready, __ATOMIC_ACQUIRE)) return true;
    PyMutex_Lock(&numpy_mutex);
    const bool ok = __atomic_load_n(&numpy_ready, __ATOMIC_RELAXED) ||
                    (PyArray_ImportNumPyAPI() >= 0 && PyUFunc_ImportUFuncAPI() >= 0);
    if (ok) __atomic_store_n(&numpy_ready, true, __ATOMIC_RELEASE);
    PyMutex_Unlock(&numpy_mutex);
    return ok;
}

Result<PyArray_Descr*> bfloat16_descr() {
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
    if (!d) return type_error(bfloat16_help);
    return d;
}

void note_how_to_register_bfloat16() {
    // The lookup clears what it meets, so NumPy's exception is held aside.
    PyRef exc = PyRef::steal(PyErr_GetRaisedException());
    if (exc && !bfloat16_descr()) {
        PyRef done = PyRef::steal(PyObject_CallMethod(exc.get(), "add_note", "s", bfloat16_help));
        if (!done) PyErr_Clear();  // NumPy's own error matters more than the note
    }
    PyErr_SetRaisedException(exc.release());
}

Result<PyArray_Descr*> descr_for(storage::DType d) {
    using storage::DType;
    const auto builtin = [](int type) -> Result<PyArray_Descr*> {
        if (auto* descr = PyArray_DescrFromType(type)) return descr;
        return python_error();
    };
    switch (d) {
        case DType::F16: return builtin(NPY_FLOAT16);
        case DType::F32: return builtin(NPY_FLOAT32);
        case DType::Bool: return builtin(NPY_BOOL);
        case DType::BF16: {
            auto descr = bfloat16_descr();
            if (descr) Py_INCREF(*descr);
            return descr;
        }
    }
    std::unreachable();
}

Result<void> report_cast_events(storage::CastEvents events) {
    const int fpe = (events.overflow ? NPY_FPE_OVERFLOW : 0) | (events.underflow ? NPY_FPE_UNDERFLOW : 0) |
                    (events.invalid ? NPY_FPE_INVALID : 0);
    if (fpe != 0 && PyUFunc_GiveFloatingpointErrors("cast", fpe) < 0) return python_error();
    return {};
}

}  // namespace pelor::tensor::api
