#include "test_hooks.hpp"

#include <string_view>

#include "base/py_ref.hpp"
#include "engine/cpu/isa_choice.hpp"
#include "engine/cpu/numeric/ops/cast_kernels.hpp"
#include "engine/cpu/numeric/ops/relu_kernels.hpp"

namespace pelor {

namespace {

namespace ops = engine::cpu::numeric::ops;

// The level whose table a selector returned, found by comparing its address
// with each level's table (X-macro over the levels the table exists at).
#define PELOR_LEVEL_OF_TABLE_(level, selected, name) \
    if (&(selected) == &::pelor::isa::level::name) return engine::cpu::isa_level_name(engine::cpu::IsaLevel::level);

std::string_view relu_level() {
    const ops::ReluKernels& selected = ops::relu_kernels();
    PELOR_ISA_COMMON_LEVELS(PELOR_LEVEL_OF_TABLE_, selected, relu_kernels)
    return "unknown";
}

std::string_view casts_level() {
    const ops::CastKernels& selected = ops::cast_kernels();
    PELOR_ISA_LEVELS(PELOR_LEVEL_OF_TABLE_, selected, cast_kernels)
    return "unknown";
}

#undef PELOR_LEVEL_OF_TABLE_

int set_level(PyObject* dict, const char* table, std::string_view level) {
    PyRef name = PyRef::steal(PyUnicode_FromStringAndSize(level.data(), Py_ssize_t(level.size())));
    if (!name) return -1;
    return PyDict_SetItemString(dict, table, name.get());
}

// _selected_kernel_levels() -> {"relu": level, "casts": level}: the level of
// a table every level has and of the one the additional levels have too.
PyObject* selected_kernel_levels(PyObject*, PyObject*) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    if (set_level(dict.get(), "relu", relu_level()) < 0 || set_level(dict.get(), "casts", casts_level()) < 0)
        return nullptr;
    return dict.release();
}

PyMethodDef hooks[] = {
    {"_selected_kernel_levels", selected_kernel_levels, METH_NOARGS, "_selected_kernel_levels()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_test_hooks(PyObject* module) { return PyModule_AddFunctions(module, hooks); }

}  // namespace pelor
