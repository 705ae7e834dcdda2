"""NumPy in and out: every layout imports in logical order, exports follow
the layout rules, and bits survive the round trip. NumPy is the oracle."""

import subprocess
import sys

import ml_dtypes
import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from pelor_core import Tensor

from layouts import default_strides

NUMPY_DTYPE = {
    "f32": np.dtype(np.float32),
    "f16": np.dtype(np.float16),
    "bf16": np.dtype(ml_dtypes.bfloat16),
    "bool": np.dtype(np.bool_),
}
DTYPES = list(NUMPY_DTYPE)


def sample(shape, dtype):
    """Distinct values per position, so misplaced elements show."""
    n = int(np.prod(shape, dtype=np.int64))
    values = np.arange(n, dtype=np.float32).reshape(shape)
    if dtype == "bool":
        return (values.astype(np.int64) % 3 == 1).astype(np.bool_)
    return (values * 0.5 - 3.0).astype(NUMPY_DTYPE[dtype])


def c_order(a):
    """A C-ordered copy; unlike ascontiguousarray it keeps 0-d arrays 0-d."""
    return np.array(a, order="C", copy=True)


def assert_exported(got, want):
    assert type(got) is np.ndarray
    assert got.dtype == want.dtype
    assert got.shape == want.shape
    assert got.tobytes() == want.tobytes()


LAYOUTS = {
    "c": lambda a: a,
    "fortran": np.asfortranarray,
    "sliced": lambda a: a[::2, 1:],
    "negative-rows": lambda a: a[::-1],
    "negative-both": lambda a: a[::-1, ::-2],
    "transposed": lambda a: a.T,
    "broadcast": lambda a: np.broadcast_to(a[:1], a.shape),
}


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("layout", list(LAYOUTS))
@pytest.mark.parametrize("shape", [(6, 5), (37, 45)], ids=str)  # the larger is copied in blocks, with edges
def test_import_2d_layouts_in_logical_order(dtype, layout, shape):
    view = LAYOUTS[layout](sample(shape, dtype))
    t = Tensor(view, dtype=dtype)
    assert t.dtype == dtype
    assert t.shape == list(view.shape)
    assert t.strides == default_strides(view.shape)
    assert_exported(t.to_numpy(), c_order(view))


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("axes", [(1, 0, 2), (2, 1, 0), (0, 2, 1), (1, 2, 0)])
def test_import_permuted_3d(dtype, axes):
    # NumPy's copy keeps such a layout (order "K"): the element-wise path.
    view = sample((3, 4, 5), dtype).transpose(axes)
    t = Tensor(view, dtype=dtype)
    assert t.strides == default_strides(view.shape)
    assert_exported(t.to_numpy(), c_order(view))


@pytest.mark.parametrize("dtype", DTYPES)
def test_zero_dimensional(dtype):
    a = sample((), dtype)
    t = Tensor(a, dtype=dtype)
    assert (t.ndim, t.shape, t.strides) == (0, [], [])
    out = t.to_numpy()
    assert out.shape == () and out.dtype == NUMPY_DTYPE[dtype]
    assert out.tobytes() == a.tobytes()


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("shape", [(0,), (0, 3), (3, 0), (2, 0, 4)])
def test_empty(dtype, shape):
    t = Tensor(np.zeros(shape, NUMPY_DTYPE[dtype]), dtype=dtype)
    assert t.shape == list(shape)
    assert t.strides == [0] * len(shape)
    out = t.to_numpy()
    assert out.shape == shape and out.dtype == NUMPY_DTYPE[dtype] and out.flags.c_contiguous


@pytest.mark.parametrize("dtype", ["f16", "bf16"])
def test_every_16_bit_pattern_survives_the_round_trip(dtype):
    bits = np.arange(1 << 16, dtype=np.uint16)
    t = Tensor(bits.view(NUMPY_DTYPE[dtype]), dtype=dtype)
    assert np.array_equal(t.to_numpy().view(np.uint16), bits)


def test_float32_patterns_survive_the_round_trip():
    rng = np.random.default_rng(7)
    bits = np.concatenate(
        [
            rng.integers(0, 1 << 32, 1 << 16, dtype=np.uint64).astype(np.uint32),
            np.array([0x7F800001, 0xFF800001, 0x7FC00000, 0x7FFFFFFF, 0x00000001, 0x80000000, 0x7F800000], np.uint32),
        ]
    )
    t = Tensor(bits.view(np.float32))
    assert np.array_equal(t.to_numpy().view(np.uint32), bits)


def test_bool_bytes():
    a = np.array([[True, False, True], [False, False, True]])
    out = Tensor(a, dtype="bool").to_numpy()
    assert out.dtype == np.bool_
    assert out.view(np.uint8).tolist() == a.view(np.uint8).tolist()


# ----------------------------------------------------------- export layouts


@pytest.mark.parametrize("dtype", DTYPES)
def test_standard_layout_exports_c_contiguous(dtype):
    a = sample((2, 3, 4), dtype)
    out = Tensor(a, dtype=dtype).to_numpy()
    assert out.flags.c_contiguous
    assert out.strides == a.strides
    assert_exported(out, a)


@pytest.mark.parametrize("dtype", DTYPES)
def test_2d_transpose_exports_fortran_with_byte_strides(dtype):
    a = sample((3, 5), dtype)
    t = Tensor(a, dtype=dtype).transpose(0, 1)
    assert (t.shape, t.strides) == ([5, 3], [1, 5])
    out = t.to_numpy()
    size = NUMPY_DTYPE[dtype].itemsize
    assert out.flags.f_contiguous and not out.flags.c_contiguous
    assert out.strides == (1 * size, 5 * size)
    assert_exported(c_order(out), c_order(a.T))


@pytest.mark.parametrize("dtype", DTYPES)
def test_3d_reversed_axes_exports_fortran(dtype):
    # Swapping the outer axes of a 3-D array reverses all three: column-major.
    a = sample((2, 3, 4), dtype)
    t = Tensor(a, dtype=dtype).transpose(0, 2)
    out = t.to_numpy()
    assert out.flags.f_contiguous and not out.flags.c_contiguous
    assert_exported(c_order(out), c_order(a.transpose(2, 1, 0)))


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("dims", [(0, 1), (1, 2)])
def test_3d_swapped_axes_export_c_in_logical_order(dtype, dims):
    a = sample((2, 3, 4), dtype)
    t = Tensor(a, dtype=dtype).transpose(*dims)
    out = t.to_numpy()
    assert out.flags.c_contiguous
    assert_exported(out, c_order(a.swapaxes(*dims)))


@pytest.mark.parametrize("shape", [(1, 4), (4, 1), (1, 1)])
def test_transpose_with_unit_axis_is_still_standard(shape):
    # Axes of length 1 do not count in the layout test.
    a = sample(shape, "f32")
    out = Tensor(a).transpose(0, 1).to_numpy()
    assert out.flags.c_contiguous
    assert_exported(out, c_order(a.T))


def test_transposed_export_reimports_identically():
    a = sample((3, 4), "f32")
    once = Tensor(a).transpose(0, 1).to_numpy()
    again = Tensor(once)
    assert again.strides == [3, 1]
    assert_exported(again.to_numpy(), c_order(a.T))


@pytest.mark.parametrize("dtype", DTYPES)
def test_export_never_shares_memory(dtype):
    t = Tensor(sample((4, 4), dtype), dtype=dtype)
    a, b = t.to_numpy(), t.transpose(0, 1).to_numpy()
    assert not np.shares_memory(a, b)
    assert a.base is None and b.base is None


# ------------------------------------------------------------- randomised


@st.composite
def strided_arrays(draw):
    dtype = draw(st.sampled_from(DTYPES))
    shape = draw(hnp.array_shapes(min_dims=0, max_dims=4, min_side=0, max_side=5))
    base = sample(shape, dtype)
    # Random slicing with random signs, then a random axis permutation.
    index = tuple(
        slice(None, None, draw(st.sampled_from([1, 2, -1, -2]))) if n > 0 else slice(None) for n in shape
    )
    view = base[index] if index else base
    if view.ndim > 1:
        view = view.transpose(draw(st.permutations(range(view.ndim))))
    return dtype, view


@given(strided_arrays())
def test_any_strided_view_round_trips(case):
    dtype, view = case
    t = Tensor(view, dtype=dtype)
    assert t.shape == list(view.shape)
    assert t.strides == default_strides(view.shape)
    assert_exported(t.to_numpy(), c_order(view))


@given(strided_arrays(), st.data())
def test_any_transpose_exports_numpys_swapaxes(case, data):
    dtype, view = case
    if view.ndim < 2:
        return
    d0 = data.draw(st.integers(0, view.ndim - 1))
    d1 = data.draw(st.integers(0, view.ndim - 1))
    out = Tensor(view, dtype=dtype).transpose(d0, d1).to_numpy()
    want = np.swapaxes(view, d0, d1)
    assert out.dtype == want.dtype and out.shape == want.shape
    assert c_order(out).tobytes() == c_order(want).tobytes()


# --------------------------------------------------- without a bfloat16 dtype


def run_python(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)


def test_bfloat16_needs_a_registered_dtype():
    done = run_python(
        "import sys\n"
        "assert 'ml_dtypes' not in sys.modules\n"
        "sys.modules['ml_dtypes'] = None  # nothing imports it behind our back\n"
        "import numpy as np\n"
        "from pelor_core import Tensor\n"
        "try:\n"
        "    np.dtype('bfloat16')\n"
        "except Exception as e:\n"
        "    expected = (type(e), str(e))\n"
        "for dtype, data in (('bf16', [1.0]), ('bfloat16', np.ones(3, np.float32))):\n"
        "    try:\n"
        "        Tensor(data, dtype=dtype)\n"
        "    except Exception as e:\n"
        "        assert (type(e), str(e)) == expected, (e, expected)\n"
        "        assert 'importing ml_dtypes registers' in e.__notes__[0], e.__notes__\n"
        "    else:\n"
        "        raise AssertionError('bfloat16 constructed without a dtype')\n"
        "for dtype, npdt in (('f32', np.float32), ('f16', np.float16), ('bool', np.bool_)):\n"
        "    t = Tensor([[1.0, 0.0]], dtype=dtype)\n"
        "    assert t.to_numpy().dtype == npdt\n"
        "    assert t.transpose(0, 1).to_numpy().shape == (2, 1)\n"
        "# A failed lookup is tried again once a package registers the dtype.\n"
        "del sys.modules['ml_dtypes']\n"
        "import ml_dtypes\n"
        "out = Tensor([1.5], dtype='bf16').to_numpy()\n"
        "assert out.dtype == ml_dtypes.bfloat16 and float(out[0]) == 1.5\n"
        "print('ok')\n"
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"
