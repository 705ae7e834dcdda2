# Type information for the extension module pelor_core.
#
# Signatures follow the module's own text signatures: slot methods take their
# operand positionally as `value`, methods take keywords under the names shown.
# `nn` and `nn.functional` are plain module objects reached by attribute access
# (they cannot be imported by module path), so they are typed as module
# instances of the stub-only classes at the end.

from collections.abc import Sequence
from types import ModuleType
from typing import Any, ClassVar, SupportsIndex, final, overload, type_check_only

import numpy as np
import numpy.typing as npt

__all__ = ["Tensor", "nn"]

@final
class Tensor:
    """An immutable n-dimensional CPU array of float32, float16, bfloat16 or bool elements that can take part in
    reverse-mode differentiation on its thread's tape."""

    # Element-wise comparisons return tensors, so instances are unhashable.
    __hash__: ClassVar[None]  # type: ignore[assignment]
    # NumPy defers to the class: arrays and NumPy scalars beside a tensor go
    # through the tensor's own operators (numbers convert, arrays are refused).
    __array_ufunc__: ClassVar[None]

    def __new__(
        cls,
        data: npt.ArrayLike,
        dtype: str | type | np.dtype[Any] | None = None,
        device: str = "cpu",
        requires_grad: bool | np.bool = False,
    ) -> Tensor:
        """A copy of `numpy.array(data, dtype=...)`, float32 by default; refuses other dtypes and devices
        (ValueError), a non-bool requires_grad (TypeError), and bfloat16 until a 'bfloat16' dtype is registered."""
    @property
    def ndim(self) -> int:
        """The number of axes (0 for a scalar tensor)."""
    @property
    def dtype(self) -> str:
        """The element type: "f32", "f16", "bf16" or "bool"."""
    @property
    def shape(self) -> list[int]:
        """A new list of the axis lengths."""
    @property
    def strides(self) -> list[int]:
        """A new list of the strides, counted in elements, not bytes."""
    @property
    def device(self) -> str:
        """Always "cpu"."""
    @property
    def requires_grad(self) -> bool:
        """Whether operations on this tensor are recorded for backward()."""
    def to_numpy(self) -> npt.NDArray[Any]:
        """A new NumPy array of the matching dtype holding a copy of the elements; refuses more than 32 axes
        (ValueError)."""
    def reshape(self, shape: Sequence[SupportsIndex]) -> Tensor:
        """The elements in row-major order under a new shape of the same size; refuses another size and a tensor
        not in row-major layout, such as a transposed one (ValueError)."""
    def transpose(self, dim0: SupportsIndex, dim1: SupportsIndex) -> Tensor:
        """The tensor with axes dim0 and dim1 swapped, without moving data; refuses an axis past the last
        (ValueError) and a negative one (OverflowError)."""
    def zeros_like(self) -> Tensor:
        """A row-major tensor of zeros (False) of the same shape and element type; never records."""
    def ones_like(self) -> Tensor:
        """A row-major tensor of ones (True) of the same shape and element type; never records."""
    def __req__(self, other: float) -> Tensor:
        """`other == self` element-wise, as a bool tensor; refuses a bool tensor (RuntimeError) and a non-number
        (TypeError)."""
    def __rgt__(self, other: float) -> Tensor:
        """`other > self` element-wise, as a bool tensor; refuses a bool tensor (RuntimeError) and a non-number
        (TypeError)."""
    def __rlt__(self, other: float) -> Tensor:
        """`other < self` element-wise, as a bool tensor; refuses a bool tensor (RuntimeError) and a non-number
        (TypeError)."""
    def backward(self) -> None:
        """Differentiates the sum of the elements back along this thread's tape; refuses a tensor without
        requires_grad (ValueError) and one recorded before clear_graph() or on another thread (RuntimeError)."""
    def grad(self) -> npt.NDArray[Any] | None:
        """A copy of the gradient the last backward() pass gave this tensor, in its shape or one it broadcasts
        to (sum the extra axes), or None when no pass on this thread reached it."""
    @staticmethod
    def clear_graph() -> None:
        """Empties the calling thread's tape and its gradients; tensors recorded before can no longer be
        differentiated and count as constants."""

    # Arithmetic with a tensor or a number; a number on the left only for + and *.
    def __add__(self, value: Tensor | float, /) -> Tensor:
        """Element-wise sum, broadcast; refuses mixed element types (ValueError), bool (TypeError;
        ValueError beside a number) and shapes that do not broadcast (RuntimeError)."""
    def __radd__(self, value: float, /) -> Tensor:
        """`value + self`: the number, rounded to float32, added to every element; refuses bool (ValueError)."""
    def __sub__(self, value: Tensor | float, /) -> Tensor:
        """Element-wise difference, broadcast; refuses mixed element types (ValueError), bool (TypeError;
        ValueError beside a number) and shapes that do not broadcast (RuntimeError)."""
    def __mul__(self, value: Tensor | float, /) -> Tensor:
        """Element-wise product, broadcast; refuses mixed element types (ValueError), bool (TypeError;
        ValueError beside a number) and shapes that do not broadcast (RuntimeError)."""
    def __rmul__(self, value: float, /) -> Tensor:
        """`value * self`: every element times the number rounded to float32; refuses bool (ValueError)."""
    def __truediv__(self, value: Tensor | float, /) -> Tensor:
        """Element-wise quotient, broadcast (by a number: times its float32 reciprocal); refuses mixed types
        (ValueError), bool (TypeError; ValueError beside a number), shapes that do not broadcast (RuntimeError)."""
    def __matmul__(self, value: Tensor, /) -> Tensor:
        """Matrix product of the last two axes, batch axes broadcast, summed in float32 (16-bit types: or more
        accurately on a native unit, rounded once); refuses rank below 2 and unequal inner lengths
        (RuntimeError), mixed element types (ValueError) and bool (TypeError)."""
    def __and__(self, value: Tensor, /) -> Tensor:
        """Element-wise and of two bool tensors, broadcast; refuses other element types (RuntimeError)."""
    def __or__(self, value: Tensor, /) -> Tensor:
        """Element-wise or of two bool tensors, broadcast; refuses other element types (RuntimeError)."""
    def __xor__(self, value: Tensor, /) -> Tensor:
        """Element-wise exclusive or of two bool tensors, broadcast; refuses other element types (RuntimeError)."""
    def __invert__(self, /) -> Tensor:
        """Element-wise not of a bool tensor; refuses other element types (RuntimeError)."""

    # == with an operand of another type falls back to identity (a bool);
    # != always yields a bool.
    @overload
    def __eq__(self, value: Tensor | float, /) -> Tensor:  # type: ignore[overload-overlap]
        """Element-wise equality as a bool tensor, broadcast; refuses mixed element types, a number beside a
        bool tensor and shapes that do not broadcast (RuntimeError)."""
    @overload
    def __eq__(self, value: object, /) -> bool:
        """False for an operand that is neither a tensor nor a number (identity)."""
    def __ne__(self, value: object, /) -> bool:
        """`not (self == value)`: a Python bool, False whenever == gives a tensor; not element-wise."""
    def __lt__(self, value: Tensor | float, /) -> Tensor:
        """Element-wise `<` as a bool tensor, broadcast; refuses mixed element types, a number beside a bool
        tensor and shapes that do not broadcast (RuntimeError)."""
    def __le__(self, value: Tensor | float, /) -> Tensor:
        """Element-wise `<=` as a bool tensor, broadcast; refuses mixed element types, a number beside a bool
        tensor and shapes that do not broadcast (RuntimeError)."""
    def __gt__(self, value: Tensor | float, /) -> Tensor:
        """Element-wise `>` as a bool tensor, broadcast; refuses mixed element types, a number beside a bool
        tensor and shapes that do not broadcast (RuntimeError)."""
    def __ge__(self, value: Tensor | float, /) -> Tensor:
        """Element-wise `>=` as a bool tensor, broadcast; refuses mixed element types, a number beside a bool
        tensor and shapes that do not broadcast (RuntimeError)."""

@type_check_only
class _FunctionalModule(ModuleType):
    __all__: list[str]
    @staticmethod
    def relu(py_tensor: Tensor) -> Tensor:
        """max(x, 0) element-wise, recorded for backward(); refuses bool tensors (TypeError)."""

@type_check_only
class _NnModule(ModuleType):
    __all__: list[str]
    functional: _FunctionalModule

nn: _NnModule
