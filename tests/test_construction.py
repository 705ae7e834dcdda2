"""Tensor(data, dtype=None, device="cpu", requires_grad=False), the
properties and to_numpy(). NumPy is the oracle for what the data becomes."""

import warnings

import ml_dtypes
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from pelor_core import Tensor

from layouts import default_strides

NUMPY_NAME = {"f32": "float32", "f16": "float16", "bf16": "bfloat16", "bool": "bool"}
ACCEPTED = {
    "float32": "f32",
    "f32": "f32",
    "float16": "f16",
    "f16": "f16",
    "bfloat16": "bf16",
    "bf16": "bf16",
    "bool": "bool",
}
PROPERTIES = ["ndim", "dtype", "shape", "strides", "device", "requires_grad"]


def unsupported(name):
    return f"Unsupported or invalid data type: '{name}'"


def numpy_oracle(data, dtype):
    """What the constructor must hold: NumPy's conversion, or NumPy's error."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return np.array(data, dtype=dtype), None
        except Exception as e:  # noqa: BLE001 - any NumPy error is the expectation
            return None, e


def assert_same_array(got, want):
    """Same dtype, shape and bytes in logical order (NaN payloads included)."""
    assert got.dtype == want.dtype
    assert got.shape == want.shape
    assert got.tobytes() == want.tobytes()


# ---------------------------------------------------------------- arguments


def test_all_parameters_by_position_and_by_keyword():
    a = Tensor([1.0, 2.0], "f16", "cpu", True)
    b = Tensor(data=[1.0, 2.0], dtype="f16", device="cpu", requires_grad=True)
    for t in (a, b):
        assert (t.dtype, t.shape, t.device, t.requires_grad) == ("f16", [2], "cpu", True)
    Tensor.clear_graph()


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((1.0, None, "cpu", False, 5), {}),
        ((1.0,), {"foo": 1}),
        ((1.0,), {"data": 2.0}),
        ((), {"dtype": "f32"}),
    ],
    ids=["missing", "surplus", "unknown-keyword", "duplicate", "keyword-without-data"],
)
def test_argument_parser_errors_name_the_method(args, kwargs):
    with pytest.raises(TypeError, match=r"Tensor\.__new__\(\)"):
        Tensor(*args, **kwargs)


@pytest.mark.parametrize("device", [0, None, b"cpu", ["cpu"], 1.5])
def test_device_must_be_a_str(device):
    with pytest.raises(TypeError, match="device"):
        Tensor([1.0], device=device)


@pytest.mark.parametrize("device", ["cpu", "CPU", "Cpu", "cPu"])
def test_device_is_lowercased(device):
    assert Tensor([1.0], device=device).device == "cpu"


def test_device_str_subclass_is_lowercased_as_str():
    class Device(str):
        def lower(self):
            return "cpu"

    assert Tensor([1.0], device=Device("CPU")).device == "cpu"
    with pytest.raises(ValueError, match="^The device string is invalid or not supported.$"):
        Tensor([1.0], device=Device("gpu"))


@pytest.mark.parametrize("device", ["cpu:0", " cpu", "cpu ", "cuda", "gpu", "", "ＣＰＵ", "\ud800"])
def test_unsupported_device(device):
    with pytest.raises(ValueError) as info:
        Tensor([1.0], device=device)
    assert str(info.value) == "The device string is invalid or not supported."


@pytest.mark.parametrize("flag", [True, False, np.True_, np.False_])
def test_requires_grad_accepts_bools(flag):
    assert Tensor([1.0], requires_grad=flag).requires_grad is bool(flag)
    Tensor.clear_graph()


@pytest.mark.parametrize("flag", [1, 0, None, "True", 1.0, np.int8(1), np.array(True), np.array([True])])
def test_requires_grad_refuses_other_values(flag):
    with pytest.raises(TypeError, match="requires_grad"):
        Tensor([1.0], requires_grad=flag)


# ------------------------------------------------------ order of the checks


def test_argument_errors_come_before_the_device_check():
    with pytest.raises(TypeError, match="requires_grad"):
        Tensor([1.0], device="gpu", requires_grad=1)


def test_device_is_checked_before_dtype():
    with pytest.raises(ValueError, match="^The device string is invalid or not supported.$"):
        Tensor([1.0], dtype="int8", device="gpu")
    # ...and before anything is asked of NumPy.
    with pytest.raises(ValueError, match="^The device string is invalid or not supported.$"):
        Tensor([[1.0], [1.0, 2.0]], dtype=object(), device="gpu")


def test_dtype_is_checked_before_the_data():
    with pytest.raises(ValueError) as info:
        Tensor([[1.0], [1.0, 2.0]], dtype="int32")
    assert str(info.value) == unsupported("int32")


# ------------------------------------------------------- dtype resolution


def test_default_dtype_is_float32():
    assert Tensor([1.5]).dtype == "f32"
    assert Tensor([1.5], dtype=None).dtype == "f32"


@pytest.mark.parametrize("name", sorted(ACCEPTED))
def test_accepted_names(name):
    t = Tensor([0.0, 1.0, 2.5], dtype=name)
    assert t.dtype == ACCEPTED[name]
    want = np.array([0.0, 1.0, 2.5], dtype=NUMPY_NAME[ACCEPTED[name]])
    assert_same_array(t.to_numpy(), want)


@pytest.mark.parametrize(
    "name",
    ["Float32", "F32", "float", "int32", "float64", " f32", "f32 ", "", "BOOL", "Bool", "bfloat", "half", "f4", "f32\0"],
)
def test_rejected_names_are_quoted_verbatim(name):
    with pytest.raises(ValueError) as info:
        Tensor([1.0], dtype=name)
    assert str(info.value) == unsupported(name)


def test_name_without_utf8_form_is_just_unsupported():
    with pytest.raises(ValueError) as info:
        Tensor([1.0], dtype="f\ud800")
    assert type(info.value) is ValueError
    assert str(info.value) == unsupported("f\ud800")


def test_str_subclass_is_taken_as_its_text():
    class Name(str):
        __name__ = "bool"  # ignored: a str is taken as it is

    assert Tensor([1.0], dtype=Name("f16")).dtype == "f16"


@pytest.mark.parametrize(
    "dtype, expected",
    [
        (bool, "bool"),
        (np.float32, "f32"),
        (np.float16, "f16"),
        (np.bool_, "bool"),
        (ml_dtypes.bfloat16, "bf16"),
    ],
)
def test_type_objects_resolve_by_their_name(dtype, expected):
    assert Tensor([1.0], dtype=dtype).dtype == expected


@pytest.mark.parametrize("dtype", [float, int, complex, np.float64, np.int32, np.uint8, str])
def test_unsupported_type_objects(dtype):
    with pytest.raises(ValueError) as info:
        Tensor([1.0], dtype=dtype)
    assert str(info.value) == unsupported(dtype.__name__)


@pytest.mark.parametrize(
    "dtype",
    [
        np.dtype("float16"),
        np.dtype("float32"),
        np.dtype(">f4"),
        np.dtype("<f2"),
        np.dtype("bool"),
        np.dtype(ml_dtypes.bfloat16),
    ],
    ids=str,
)
def test_numpy_dtype_instances_resolve_through_numpy(dtype):
    t = Tensor([1.0, -2.0], dtype=dtype)
    assert NUMPY_NAME[t.dtype] == dtype.name
    # Byte order is NumPy's business: the data arrives as native values.
    assert_same_array(t.to_numpy(), np.array([1.0, -2.0], dtype=dtype.name))


@pytest.mark.parametrize(
    "dtype",
    [np.dtype("int32"), np.dtype("f8"), np.dtype([("a", "f4")]), np.dtype(("f4", (2,))), np.dtype("U3"), [("a", "f4")]],
    ids=str,
)
def test_unsupported_numpy_dtypes_are_quoted_by_numpy_name(dtype):
    with pytest.raises(ValueError) as info:
        Tensor([1.0], dtype=dtype)
    assert str(info.value) == unsupported(np.dtype(dtype).name)


@pytest.mark.parametrize("dtype", [3, object(), 2.5, {"x": 1}, np.array([1.0])])
def test_objects_numpy_cannot_interpret_raise_numpys_error(dtype):
    try:
        np.dtype(dtype)
    except Exception as e:  # noqa: BLE001
        expected = e
    else:
        pytest.fail(f"NumPy interprets {dtype!r}")
    with pytest.raises(type(expected)) as info:
        Tensor([1.0], dtype=dtype)
    assert str(info.value) == str(expected)


def test_any_object_with_a_name_attribute():
    class Named:
        __name__ = "f16"

    def bf16():
        pass

    assert Tensor([1.0], dtype=Named()).dtype == "f16"
    assert Tensor([1.0], dtype=bf16).dtype == "bf16"


@pytest.mark.parametrize("value", [3, None, b"f32", ["f32"]])
def test_name_attribute_that_is_not_a_str(value):
    class Named:
        __name__ = value

    with pytest.raises(TypeError):
        Tensor([1.0], dtype=Named())


def test_failing_name_attribute_propagates():
    class Boom(Exception):
        pass

    class Named:
        @property
        def __name__(self):
            raise Boom("no name")

    with pytest.raises(Boom):
        Tensor([1.0], dtype=Named())


# ------------------------------------------------------------ data and values


def test_python_scalar_is_zero_dimensional():
    t = Tensor(3.0)
    assert (t.ndim, t.shape, t.strides, t.dtype, t.device, t.requires_grad) == (0, [], [], "f32", "cpu", False)
    a = t.to_numpy()
    assert a.shape == () and a.dtype == np.float32 and a == np.float32(3.0)


def test_integers_become_float32():
    t = Tensor([[1, 2, 3], [4, 5, 6]])
    assert (t.shape, t.strides, t.dtype) == ([2, 3], [3, 1], "f32")
    assert_same_array(t.to_numpy(), np.array([[1, 2, 3], [4, 5, 6]], np.float32))


def test_bool_from_numbers():
    t = Tensor([1, 0, 1], dtype="bool")
    assert t.dtype == "bool"
    assert_same_array(t.to_numpy(), np.array([True, False, True]))


def test_fortran_ordered_data_gets_default_strides():
    f = np.asfortranarray(np.array([[1.0, 2.0], [3.0, 4.0]], np.float32))
    t = Tensor(f)
    assert t.strides == [2, 1]
    assert_same_array(t.to_numpy(), np.ascontiguousarray(f))


@pytest.mark.parametrize(
    "data, shape, strides",
    [([], [0], [0]), ([[]], [1, 0], [0, 0]), (np.zeros((0, 3)), [0, 3], [0, 0]), (np.zeros((3, 0, 2)), [3, 0, 2], [0, 0, 0])],
    ids=["[]", "[[]]", "0x3", "3x0x2"],
)
def test_empty_data(data, shape, strides):
    t = Tensor(data)
    assert (t.shape, t.strides, t.ndim) == (shape, strides, len(shape))
    assert t.to_numpy().shape == tuple(shape)


def _matrix():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PendingDeprecationWarning)
        return np.asmatrix(np.array([[1.0, 2.0], [3.0, 4.0]]))


ODD_DATA = {
    "matrix": _matrix(),
    "float64-rounding": np.array([0.1, 1e-30, 3e38, 1e39, -1e-46]),
    "int64-large": np.array([2**40 + 1, -(2**62), 70000]),
    "uint8": np.arange(0, 256, 17, dtype=np.uint8),
    "int8-negative": np.array([-128, -1, 0, 127], np.int8),
    "bool-array": np.array([[True, False]]),
    "object-numbers": np.array([1.5, 2, True], dtype=object),
    "object-none": np.array([None, 1.0], dtype=object),
    "object-object": np.array([object()], dtype=object),
    "structured-1": np.zeros(3, dtype=[("a", "f4")]),
    "structured-2": np.zeros(3, dtype=[("a", "f4"), ("b", "f4")]),
    "strings-numeric": np.array(["1.5", "-2"]),
    "strings-words": ["abc", "def"],
    "bytes": b"12",
    "complex": np.array([1 + 2j]),
    "complex-scalar": 1 + 2j,
    "datetime": np.array(["2020-01-01"], dtype="datetime64[D]"),
    "ragged": [[1.0], [1.0, 2.0]],
    "ragged-deep": [[[1.0, 2.0]], [[1.0]]],
    "nested-tensor-like": [np.float16(1.5), np.float32(2.5), 3],
    "generator": (i for i in range(3)),
    "dict": {"a": 1},
    "none": None,
    "nan-inf": [float("nan"), float("inf"), -float("inf"), -0.0],
    "numpy-scalar": np.float64(2.5),
    "numpy-bool-scalar": np.True_,
    "masked": np.ma.masked_array([1.0, 2.0], mask=[False, True]),
    "read-only": np.frombuffer(np.arange(4, dtype=np.float32).tobytes(), dtype=np.float32),
    "big-endian": np.arange(6, dtype=">f4").reshape(2, 3),
    "misaligned": np.frombuffer(b"\0" + np.arange(4, dtype=np.float32).tobytes(), dtype=np.float32, offset=1),
    "broadcast-view": np.broadcast_to(np.arange(3, dtype=np.float32), (4, 3)),
    "deep-list": [[[[[[1.0]]]]]],
}


@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16", "bool"])
@pytest.mark.parametrize("name", list(ODD_DATA))
def test_data_is_whatever_numpy_makes_of_it(name, dtype):
    data = ODD_DATA[name]
    if name == "generator":
        data = (i for i in range(3))  # a generator is spent after one use
    want, error = numpy_oracle(data, NUMPY_NAME[dtype])
    if name == "generator":
        data = (i for i in range(3))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if error is not None:
            with pytest.raises(type(error)) as info:
                Tensor(data, dtype=dtype)
            assert str(info.value) == str(error)
            return
        t = Tensor(data, dtype=dtype)
    assert t.dtype == dtype
    assert t.shape == list(want.shape)
    assert_same_array(t.to_numpy(), want)


# ---------------------------------------------------------------- many axes


def test_33_axes_contiguous_imports():
    t = Tensor(np.arange(4, dtype=np.float32).reshape((2,) + (1,) * 31 + (2,)))
    assert t.ndim == 33
    assert t.shape == [2] + [1] * 31 + [2]
    assert t.strides == [2] + [2] * 31 + [1]


def test_64_axes_contiguous_imports():
    assert Tensor(np.zeros((1,) * 64, np.float32)).ndim == 64


@pytest.mark.parametrize(
    "array",
    [
        np.asfortranarray(np.zeros((2,) + (1,) * 31 + (2,), np.float32)),
        np.moveaxis(np.zeros((2, 3, 4) + (1,) * 30, np.float32), 0, 2),
        np.zeros((2, 2) + (1,) * 31, np.float32).swapaxes(0, 1),
    ],
    ids=["fortran", "moved-axis", "swapped"],
)
def test_33_axes_non_contiguous_import_is_refused(array):
    # NumPy's copy keeps the layout (order "K"), so the import sees it.
    with pytest.raises(ValueError, match="32 axes"):
        Tensor(array)


def test_32_axes_non_contiguous_import_works():
    a = np.arange(4, dtype=np.float32).reshape((2,) + (1,) * 30 + (2,))
    t = Tensor(np.asfortranarray(a))
    assert t.ndim == 32
    assert_same_array(t.to_numpy(), a)


@pytest.mark.parametrize("ndim", [33, 40, 64])
def test_export_of_more_than_32_axes_is_refused(ndim):
    t = Tensor(np.zeros((1,) * ndim, np.float32))
    with pytest.raises(ValueError, match="32 axes"):
        t.to_numpy()


# ---------------------------------------------------- failures record nothing


def swallow(fn):
    def call():
        try:
            fn()
        except Exception:  # noqa: BLE001
            return
        raise AssertionError("expected a failure")

    return call


FAILING = {
    "ragged": lambda: Tensor([[1.0], [1.0, 2.0]], requires_grad=True),
    "object": lambda: Tensor(np.array([object()]), requires_grad=True),
    "structured": lambda: Tensor(np.zeros(2, dtype=[("a", "f4"), ("b", "f4")]), requires_grad=True),
    "device-type": lambda: Tensor([1.0], device=0, requires_grad=True),
    "device-value": lambda: Tensor([1.0], device="gpu", requires_grad=True),
    "dtype": lambda: Tensor([1.0], dtype="int8", requires_grad=True),
    "fortran-33": lambda: Tensor(np.asfortranarray(np.zeros((2,) + (1,) * 31 + (2,), np.float32)), requires_grad=True),
}


@pytest.mark.heavy
@pytest.mark.parametrize("name", list(FAILING))
def test_failed_construction_records_nothing(name, heap_growth):
    Tensor.clear_graph()
    failed = heap_growth(swallow(FAILING[name]), count=20000)
    recorded = heap_growth(lambda: Tensor(1.0, requires_grad=True), count=20000)
    Tensor.clear_graph()
    # Each recorded leaf keeps at least one small heap block; a failure none.
    assert recorded > 20000 * 16
    assert failed < recorded / 20


def test_failed_construction_raises_the_same_error_with_requires_grad():
    for requires_grad in (False, True):
        with pytest.raises(ValueError, match="inhomogeneous"):
            Tensor([[1.0], [1.0, 2.0]], requires_grad=requires_grad)


# ------------------------------------------------------------------ properties


@pytest.mark.parametrize("prop", PROPERTIES)
def test_properties_are_read_only(prop):
    t = Tensor([1.0])
    before = getattr(t, prop)
    with pytest.raises(AttributeError):
        setattr(t, prop, before)
    with pytest.raises(AttributeError):
        delattr(t, prop)
    assert getattr(t, prop) == before


def test_shape_and_strides_are_new_lists():
    t = Tensor(np.zeros((2, 3), np.float32))
    shape, strides = t.shape, t.strides
    assert type(shape) is list and type(strides) is list
    assert shape is not t.shape and strides is not t.strides
    shape.append(7)
    strides[0] = -1
    assert t.shape == [2, 3] and t.strides == [3, 1]


def test_property_types():
    t = Tensor(np.zeros((2, 3), np.float32), requires_grad=True)
    assert type(t.ndim) is int and t.ndim == 2
    assert type(t.dtype) is str and type(t.device) is str
    assert all(type(v) is int for v in t.shape + t.strides)
    assert t.requires_grad is True
    Tensor.clear_graph()


def test_transpose_reports_swapped_strides():
    t = Tensor(np.zeros((2, 3), np.float32)).transpose(0, 1)
    assert (t.shape, t.strides) == ([3, 2], [1, 3])


@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16", "bool"])
def test_dtype_property_round_trips_through_the_constructor(dtype):
    t = Tensor([1.0, 0.0], dtype=dtype)
    assert Tensor(t.to_numpy(), dtype=t.dtype).dtype == dtype


# --------------------------------------------------------------------- copies


@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16", "bool"])
def test_to_numpy_returns_a_new_array_each_time(dtype):
    t = Tensor([[1.0, 0.0], [2.0, 3.0]], dtype=dtype)
    a, b = t.to_numpy(), t.to_numpy()
    assert a is not b and not np.shares_memory(a, b)
    assert a.flags.owndata and a.flags.writeable
    a[...] = 0
    assert_same_array(t.to_numpy(), b)


def test_construction_copies_the_source():
    src = np.arange(6, dtype=np.float32).reshape(2, 3)
    t = Tensor(src)
    src[...] = -1
    assert_same_array(t.to_numpy(), np.arange(6, dtype=np.float32).reshape(2, 3))


def test_bool_import_normalises_nonzero_bytes():
    # A uint8 array viewed as bool keeps its bytes; NumPy reads any nonzero
    # byte as true, and a Bool element must hold 0 or 1.
    odd = np.array([0, 1, 2, 255], np.uint8).view(np.bool_)
    out = Tensor(odd, dtype="bool").to_numpy()
    assert out.dtype == np.bool_
    assert out.view(np.uint8).tolist() == [0, 1, 1, 1]


# ------------------------------------------- any input, same result as NumPy's


class _Subclass(np.ndarray):
    pass


SOURCE_DTYPES = [
    np.dtype(np.float32),
    np.dtype(np.float16),
    np.dtype(ml_dtypes.bfloat16),
    np.dtype(np.bool_),
    np.dtype(np.float64),
    np.dtype(np.int32),
    np.dtype(np.uint8),
    np.dtype(">f4"),
    np.dtype(">f2"),
]
SPECIALS = np.array([0.0, -0.0, np.inf, -np.inf, np.nan, 65504.0, 65520.0, 1e-8, -3e-5, 3.4e38, 1e-45])


def _source_values(rng, shape):
    values = np.asarray(rng.standard_normal(shape) * np.exp2(rng.integers(-30, 30, shape)))
    pick = rng.random(shape) < 0.2
    values[pick] = rng.choice(SPECIALS, int(pick.sum()))
    return values


@st.composite
def construction_inputs(draw):
    shape = draw(hnp.array_shapes(min_dims=0, max_dims=4, min_side=0, max_side=6))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    source = draw(st.sampled_from(SOURCE_DTYPES))
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        base = _source_values(rng, shape).astype(source)
    index = tuple(slice(None, None, draw(st.sampled_from([1, 2, -1, -3]))) for _ in shape)
    view = base[index] if index else base
    if view.ndim > 1:
        view = view.transpose(draw(st.permutations(range(view.ndim))))
    wrap = draw(st.sampled_from(["array", "read-only", "subclass", "list", "scalar"]))
    if wrap == "read-only":
        view.flags.writeable = False
    elif wrap == "subclass":
        view = view.view(_Subclass)
    elif wrap == "list":
        view = view.tolist()
    elif wrap == "scalar":
        view = view.reshape(-1)[0] if view.size else view
    return view, draw(st.sampled_from(sorted(ACCEPTED)))


@pytest.mark.heavy
@settings(max_examples=300)
@given(construction_inputs())
def test_any_input_constructs_what_numpy_array_makes_of_it(case):
    data, name = case
    numpy_name = NUMPY_NAME[ACCEPTED[name]]

    def seen(fn):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                return fn(), None, [(w.category, str(w.message)) for w in caught]
            except Exception as e:  # noqa: BLE001
                return None, (type(e), str(e)), [(w.category, str(w.message)) for w in caught]

    want = seen(lambda: np.array(data, dtype=numpy_name))
    got = seen(lambda: Tensor(data, dtype=name))
    assert got[1:] == want[1:]
    if want[0] is None:
        return
    t = got[0]
    assert (t.dtype, t.shape) == (ACCEPTED[name], list(want[0].shape))
    assert t.strides == default_strides(want[0].shape)
    assert_same_array(t.to_numpy(), np.ascontiguousarray(want[0]) if want[0].ndim else want[0])
