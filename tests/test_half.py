"""binary16 and bfloat16 conversions, reached through arithmetic.

Every 16-bit pattern is widened and narrowed again through the scalar,
element-wise and matrix-product paths; narrowing of binary32 values is
checked at every binary16/bfloat16 rounding boundary. Oracles: NumPy's
float16 (correctly rounded through binary32), the bfloat16 rule written out
bit by bit below, and ml_dtypes away from NaN (it writes a canonical NaN
where the rule keeps the upper bits).
"""

import ml_dtypes
import numpy as np
import pytest

from pelor_core import Tensor

from narrowing_values import bf16_boundaries, f16_boundaries, special_float32

F16 = np.float16
BF16 = np.dtype(ml_dtypes.bfloat16)
ALL_BITS = np.arange(1 << 16, dtype=np.uint16)


# ------------------------------------------------------------------ oracles


def bf16_widen(bits):
    """bfloat16 bits -> binary32, a NaN getting its quiet bit 0x0040 first."""
    bits = np.asarray(bits, np.uint16).astype(np.uint32)
    nan = (bits & 0x7FFF) > 0x7F80
    bits = np.where(nan, bits | 0x0040, bits)
    return (bits << 16).astype(np.uint32).view(np.float32)


def bf16_narrow(values):
    """binary32 -> bfloat16 bits: a NaN keeps its upper 16 bits and gets the
    quiet bit; otherwise the upper 16 bits, plus 1 when bit 15 is set and
    bit 16 or any of bits 0-14 is set."""
    r = np.asarray(values, np.float32).view(np.uint32)
    upper = r >> 16
    nan = (r & 0x7FFFFFFF) > 0x7F800000
    up = ((r & 0x8000) != 0) & (((r & 0x10000) != 0) | ((r & 0x7FFF) != 0))
    return np.where(nan, upper | 0x0040, upper + up).astype(np.uint16)


def bf16_reference(op, a_bits, b_bits):
    with np.errstate(all="ignore"):
        return bf16_narrow(op(bf16_widen(a_bits), bf16_widen(b_bits)))


def f16_reference(op, a, b):
    with np.errstate(all="ignore"):
        return op(a, b)  # NumPy computes float16 in binary32 and rounds once


def bits_of(array):
    return np.ascontiguousarray(array).view(np.uint16).reshape(array.shape)


def tensor_of_bits(bits, dtype):
    view = bits.view(F16 if dtype == "f16" else BF16)
    return Tensor(view, dtype=dtype)


def assert_f16_bits(got_bits, want_bits, context=""):
    """Bit-exact away from NaN; a NaN must stay a NaN (its payload is free)."""
    got = got_bits.view(F16)
    want = want_bits.view(F16)
    nan = np.isnan(want)
    assert np.array_equal(np.isnan(got), nan), f"NaN-ness differs {context}"
    bad = np.flatnonzero((got_bits != want_bits) & ~nan)
    assert bad.size == 0, (
        f"{bad.size} binary16 results differ {context}; first: "
        f"got {int(got_bits.flat[bad[0]]):#06x}, want {int(want_bits.flat[bad[0]]):#06x} at {int(bad[0])}"
    )


def assert_same_bits(got_bits, want_bits, context=""):
    bad = np.flatnonzero(got_bits != want_bits)
    assert bad.size == 0, (
        f"{bad.size} results differ {context}; first: "
        f"got {int(got_bits.flat[bad[0]]):#06x}, want {int(want_bits.flat[bad[0]]):#06x} at {int(bad[0])}"
    )


def assert_matches_ml_dtypes(got_bits, a_bits, b_bits, op):
    """ml_dtypes agrees away from NaN, and on NaN-ness."""
    with np.errstate(all="ignore"):
        want = op(a_bits.view(BF16), b_bits.view(BF16))
    want_bits = bits_of(want)
    nan = np.isnan(want.astype(np.float32))
    assert np.array_equal(np.isnan(got_bits.view(BF16).astype(np.float32)), nan)
    assert np.array_equal(got_bits[~nan], want_bits[~nan])


# ---------------------------------------------- every pattern, there and back

# Operations that must hand every value back unchanged.
IDENTITY_ROUTES = pytest.mark.parametrize(
    "route",
    [
        lambda t, dtype: t * 1.0,
        lambda t, dtype: t * Tensor(np.ones(t.shape, np.float32), dtype=dtype),
        lambda t, dtype: Tensor(np.ones(1, np.float32), dtype=dtype) * t,
        lambda t, dtype: t / 1.0,
        lambda t, dtype: t / Tensor(np.ones(1, np.float32), dtype=dtype),
        lambda t, dtype: t - 0.0,
    ],
    ids=["scalar-mul", "mul", "mul-broadcast", "scalar-div", "div-broadcast", "scalar-sub"],
)



@IDENTITY_ROUTES
def test_f16_every_pattern_survives_identity_arithmetic(route):
    got = bits_of(route(tensor_of_bits(ALL_BITS, "f16"), "f16").to_numpy())
    assert_f16_bits(got, ALL_BITS)


@IDENTITY_ROUTES
def test_bf16_every_pattern_survives_identity_arithmetic(route):
    # Non-NaN patterns come back unchanged (subnormals included); a NaN comes
    # back with its quiet bit set and its other bits kept.
    got = bits_of(route(tensor_of_bits(ALL_BITS, "bf16"), "bf16").to_numpy())
    nan = (ALL_BITS & 0x7FFF) > 0x7F80
    assert_same_bits(got, np.where(nan, ALL_BITS | 0x0040, ALL_BITS).astype(np.uint16))


@pytest.mark.parametrize("dtype", ["f16", "bf16"])
def test_adding_zero_only_changes_negative_zero(dtype):
    got = bits_of((tensor_of_bits(ALL_BITS, dtype) + 0.0).to_numpy())
    if dtype == "f16":
        want = bits_of(f16_reference(np.add, ALL_BITS.view(F16), F16(0.0)))
        assert_f16_bits(got, want)
        assert got[0x8000] == 0x0000
    else:
        assert_same_bits(got, bf16_reference(np.add, ALL_BITS, np.uint16(0)))


@pytest.mark.parametrize("dtype", ["f16", "bf16"])
def test_every_pattern_through_the_matrix_product(dtype):
    # (n, 1) @ (1, 1): each element is widened, multiplied by one in binary32
    # and rounded back once. The product may change a NaN's payload, and a
    # sum that starts from +0 turns a lone -0 product into +0.
    t = tensor_of_bits(ALL_BITS, dtype).reshape([1 << 16, 1])
    one = Tensor([[1.0]], dtype=dtype)
    got = bits_of((t @ one).to_numpy()).reshape(-1)
    nan = (ALL_BITS & 0x7FFF) > (0x7C00 if dtype == "f16" else 0x7F80)
    got_nan = (got & 0x7FFF) > (0x7C00 if dtype == "f16" else 0x7F80)
    assert np.array_equal(got_nan, nan)
    negative_zero = ALL_BITS == 0x8000
    assert np.all((got[negative_zero] & 0x7FFF) == 0)
    keep = ~nan & ~negative_zero
    assert_same_bits(got[keep], ALL_BITS[keep], f"({dtype} matmul)")


# ---------------------------------------------------------- every pattern, paired


OPS = {"add": np.add, "sub": np.subtract, "mul": np.multiply, "div": np.divide}


def pattern_pairs(seed):
    """Every pattern as left operand, against a shuffled copy and a set of
    fixed partners that reach overflow, underflow, ties and the subnormals."""
    rng = np.random.default_rng(seed)
    a = np.tile(ALL_BITS, 2)
    b = np.concatenate([rng.permutation(ALL_BITS), rng.permutation(ALL_BITS)])
    return a, b


def apply(op_name, a, b):
    if op_name == "add":
        return a + b
    if op_name == "sub":
        return a - b
    if op_name == "mul":
        return a * b
    return a / b


@pytest.mark.parametrize("op_name", list(OPS))
def test_f16_paired_patterns_match_numpy(op_name):
    a, b = pattern_pairs(1)
    got = bits_of(apply(op_name, tensor_of_bits(a, "f16"), tensor_of_bits(b, "f16")).to_numpy())
    want = bits_of(f16_reference(OPS[op_name], a.view(F16), b.view(F16)))
    assert_f16_bits(got, want, f"for {op_name}")


@pytest.mark.parametrize("op_name", list(OPS))
def test_bf16_paired_patterns_follow_the_rounding_rule(op_name):
    a, b = pattern_pairs(2)
    got = bits_of(apply(op_name, tensor_of_bits(a, "bf16"), tensor_of_bits(b, "bf16")).to_numpy())
    want = bf16_reference(OPS[op_name], a, b)
    # When both operands are NaN, which payload survives is the processor's
    # choice; the result must still be a quiet NaN.
    both_nan = ((a & 0x7FFF) > 0x7F80) & ((b & 0x7FFF) > 0x7F80)
    assert np.all((got[both_nan] & 0x7FC0) == 0x7FC0)
    assert_same_bits(got[~both_nan], want[~both_nan], f"for {op_name}")
    assert_matches_ml_dtypes(got, a, b, OPS[op_name])


@pytest.mark.parametrize("dtype", ["f16", "bf16"])
@pytest.mark.parametrize("op_name", list(OPS))
def test_strided_operands_round_alike(dtype, op_name):
    # The same pairs through the strided path: transposed operands.
    a, b = pattern_pairs(3)
    a, b = a[: 1 << 16].reshape(256, 256), b[: 1 << 16].reshape(256, 256)
    ta = tensor_of_bits(np.ascontiguousarray(a.T), dtype).transpose(0, 1)
    tb = tensor_of_bits(b, dtype)
    got = bits_of(apply(op_name, ta, tb).to_numpy())
    flat = bits_of(apply(op_name, tensor_of_bits(a, dtype), tb).to_numpy())
    if dtype == "f16":
        assert_f16_bits(got, flat)
    else:
        both_nan = ((a & 0x7FFF) > 0x7F80) & ((b & 0x7FFF) > 0x7F80)
        assert_same_bits(got[~both_nan], flat[~both_nan])


def test_f16_products_with_many_scalars():
    # e * s for every pattern e and scalars chosen to land on ties,
    # subnormal results and overflow: binary16 products are exact in
    # binary32, so only the final rounding is tested.
    scalars = [3.0, 0.1, 1.5, 1 / 3, 2.0**-10, 2.0**-14, 2.0**-24, 2.0**10, 65504.0, -1.0009765625, 1e-5, 7.0]
    t = tensor_of_bits(ALL_BITS, "f16")
    for s in scalars:
        got = bits_of((t * s).to_numpy())
        want = bits_of(f16_reference(np.multiply, ALL_BITS.view(F16), F16(np.float32(s))))
        assert_f16_bits(got, want, f"for * {s}")


def test_bf16_products_with_many_scalars():
    scalars = [3.0, 0.1, 1.5, 1 / 3, 2.0**-126, 2.0**-133, 2.0**100, 3.0e38, -1.0078125, 1e-40, 7.0]
    t = tensor_of_bits(ALL_BITS, "bf16")
    for s in scalars:
        got = bits_of((t * s).to_numpy())
        s_bits = bf16_narrow(np.array([s], np.float32))
        assert_same_bits(got, bf16_reference(np.multiply, ALL_BITS, s_bits), f"for * {s}")


# --------------------------------------------- narrowing of binary32 values


def narrow_each(values, dtype):
    """Round each binary32 value to the element type through the scalar path:
    one times the rounded scalar is the rounded scalar itself."""
    one = Tensor([1.0], dtype=dtype)
    return np.array([bits_of((one * float(v)).to_numpy())[0] for v in values], np.uint16)


@pytest.mark.heavy
def test_f16_narrowing_at_every_boundary():
    values = np.concatenate([f16_boundaries(), special_float32()])
    values = np.concatenate([values, -values])
    got = narrow_each(values, "f16")
    with np.errstate(over="ignore"):
        want = bits_of(values.astype(F16))
    assert_f16_bits(got, want)


@pytest.mark.heavy
def test_bf16_narrowing_at_every_boundary():
    values = np.concatenate([bf16_boundaries(), special_float32()])
    values = np.concatenate([values, -values])
    got = narrow_each(values, "bf16")
    assert_same_bits(got, bf16_narrow(values))
    not_nan = ~np.isnan(values)
    assert np.array_equal(got[not_nan], bits_of(values[not_nan].astype(BF16)))


def test_narrowing_of_float32_tensors_through_division():
    # Quotients of half-precision values are arbitrary binary32 values: a
    # vectorised check of the final rounding that complements the boundaries.
    rng = np.random.default_rng(5)
    a = rng.integers(0, 1 << 16, 1 << 18, dtype=np.uint32).astype(np.uint16)
    b = rng.integers(0, 1 << 16, 1 << 18, dtype=np.uint32).astype(np.uint16)
    got16 = bits_of((tensor_of_bits(a, "f16") / tensor_of_bits(b, "f16")).to_numpy())
    assert_f16_bits(got16, bits_of(f16_reference(np.divide, a.view(F16), b.view(F16))))
    got_bf = bits_of((tensor_of_bits(a, "bf16") / tensor_of_bits(b, "bf16")).to_numpy())
    both_nan = ((a & 0x7FFF) > 0x7F80) & ((b & 0x7FFF) > 0x7F80)
    assert_same_bits(got_bf[~both_nan], bf16_reference(np.divide, a, b)[~both_nan])


@pytest.mark.parametrize(
    "dtype, x, expected",
    [
        ("f16", 70000.0, np.inf),  # rounds to infinity before the addition
        ("f16", 65519.0, 65504.0),
        ("f16", 65520.0, np.inf),  # the tie goes to the even neighbour: infinity
        ("f16", 2.0**-25, 0.0),  # half the smallest subnormal ties to zero
        ("f16", 2.0**-25 * 1.5, 2.0**-24),
        ("bf16", 1 + 1 / 256, 1.0),  # tie to even
        ("bf16", 1 + 3 / 256, 1 + 1 / 64),
        ("bf16", float(np.array([0x7F7F8000], np.uint32).view(np.float32)[0]), np.inf),  # tie past the largest
    ],
)
def test_scalar_is_rounded_to_the_element_type(dtype, x, expected):
    out = (Tensor([0.0], dtype=dtype) + x).to_numpy().astype(np.float32)
    assert out[0] == np.float32(expected)
