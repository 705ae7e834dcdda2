// Operator slots of the class Tensor (not built yet).
#include "tensor/api/py_tensor.hpp"

namespace pelor::tensor::api {

PyType_Slot tensor_operator_slots[] = {
    {0, nullptr},
};

}  // namespace pelor::tensor::api
