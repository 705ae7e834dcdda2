"""16-bit products on a native dot-product unit through oneDNN.

Where the processor has such a unit (AMX, AVX512-BF16) and oneDNN is
installed, bfloat16 products may run on it; everywhere else they take the
float32 route. The tests hold on both: tiny and special values give the float32
route's bits (the module checks before it uses a unit that flushes
subnormals), other products stay within the binary32 accumulation bound of the
exact product. On any processor, the development build can send float32
products through oneDNN's float32 kernels, which runs this route's own code
(layouts, batches, the primitive cache, the thread scope) here too.
"""

import ctypes
import json
import os
import re
import subprocess
import sys
import threading
from pathlib import Path

import ml_dtypes
import numpy as np
import pytest

import pelor_core
from pelor_core import Tensor

from test_matmul import SHAPES, assert_product_close, random, transposed

HOOKED = hasattr(pelor_core, "_product_routes")
needs_hooks = pytest.mark.skipif(not HOOKED, reason="the routes are visible only in a development build")
DTYPES = {"float16": np.float16, "bfloat16": ml_dtypes.bfloat16}
MODULE_DIR = str(Path(pelor_core.__file__).resolve().parent)


@pytest.fixture
def through_onednn():
    pelor_core._float32_products_through_onednn(True)
    yield
    pelor_core._float32_products_through_onednn(False)


def float32_route(a, b, dtype):
    """What the float32 route gives: our own binary32 product of the widened
    operands, rounded once to the 16-bit type."""
    wide = (Tensor(a.astype(np.float32)) @ Tensor(b.astype(np.float32))).to_numpy()
    return wide.astype(DTYPES[dtype])


def threads_of_this_process():
    return len(os.listdir("/proc/self/task"))


@needs_hooks
@pytest.mark.parametrize("a_shape,b_shape", SHAPES)
@pytest.mark.parametrize("layout", ["C", "AT", "BT"])
def test_float32_products_through_onednn_within_the_bound(through_onednn, a_shape, b_shape, layout):
    rng = np.random.default_rng(len(a_shape) * 1000 + a_shape[-1])
    a, b = random(rng, a_shape), random(rng, b_shape)
    ta = transposed(a, len(a_shape) - 2, len(a_shape) - 1) if layout == "AT" else Tensor(a)
    tb = transposed(b, len(b_shape) - 2, len(b_shape) - 1) if layout == "BT" else Tensor(b)
    assert_product_close(ta @ tb, a, b)


@needs_hooks
@pytest.mark.parametrize("perm", [(2, 0, 1, 3), (3, 0, 1, 2), (2, 1, 3, 0)])
@pytest.mark.parametrize("b_shape", [(17, 9), (5, 4, 17, 9), (2, 1, 1, 17, 9)])
def test_doubly_strided_and_misaligned_matrices_are_copied_first(through_onednn, perm, b_shape):
    # A (5, 1, 33, 17) stack whose memory holds its axes in another order: its
    # matrices have no unit stride or start off a cache line; batch
    # broadcasting repeats each of them, one after the other or in turn.
    rng = np.random.default_rng(sum(perm) + len(b_shape))
    a = random(rng, (5, 1, 33, 17))
    b = random(rng, b_shape)
    ta = Tensor(np.ascontiguousarray(a.transpose(perm)))
    # Undo the permutation with transposes, which read in place.
    order = list(perm)
    for i in range(4):
        j = order.index(i)
        if j != i:
            ta = ta.transpose(i, j)
            order[i], order[j] = order[j], order[i]
    assert ta.shape == [5, 1, 33, 17]
    assert_product_close(ta @ Tensor(b), a, b)


@needs_hooks
def test_no_thread_is_started_and_openmp_settings_are_kept(through_onednn):
    torch = sys.modules.get("torch")
    torch_threads = torch.get_num_threads() if torch else None
    try:  # the OpenMP runtime oneDNN runs on, where it is installed
        gomp = ctypes.CDLL("libgomp.so.1")
    except OSError:
        gomp = None
    if gomp:
        previous = gomp.omp_get_max_threads()
        gomp.omp_set_num_threads(3)
    before = threads_of_this_process()
    rng = np.random.default_rng(7)
    for dtype in ["float32", "bfloat16", "float16"]:
        a = Tensor(random(rng, (2, 200, 300)).astype(DTYPES.get(dtype, np.float32)), dtype=dtype, requires_grad=True)
        b = Tensor(random(rng, (300, 100)).astype(DTYPES.get(dtype, np.float32)), dtype=dtype, requires_grad=True)
        (a @ b).backward()
        assert a.grad() is not None and b.grad() is not None
    assert threads_of_this_process() == before
    if gomp:
        setting = gomp.omp_get_max_threads()
        gomp.omp_set_num_threads(previous)
        assert setting == 3
    if torch:
        assert torch.get_num_threads() == torch_threads


@needs_hooks
def test_threads_each_run_their_own_products(through_onednn):
    rng = np.random.default_rng(11)
    cases = [(random(rng, (3, 70, 40)), random(rng, (40, 50))) for _ in range(4)]
    failures = []

    def work(a, b):
        try:
            for _ in range(5):
                assert_product_close(Tensor(a) @ Tensor(b), a, b)
        except AssertionError as e:  # reported by the main thread
            failures.append(e)

    workers = [threading.Thread(target=work, args=case) for case in cases]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert not failures


def tiny_and_special_operands(dtype, case, rng):
    """Operands (64 x 64 and 64 x 48, enough for the native route) whose exact
    product involves values a flushing unit would lose, or special values."""
    info = ml_dtypes.finfo(DTYPES[dtype])
    smallest_normal = float(info.smallest_normal)
    a = rng.integers(-4, 5, (64, 64)).astype(np.float32)
    b = rng.integers(-4, 5, (64, 48)).astype(np.float32)
    if case == "subnormal input":
        a[3, :] = float(info.smallest_subnormal) * rng.integers(1, 4, 64)
    elif case == "products below the normal range":
        a *= smallest_normal
        b *= 2.0**-8
    elif case == "normal products cancelling to subnormal sums":
        a[:, :2] = [[smallest_normal * 1.5, -smallest_normal]] * 64
        b[:2, :] = 1.0
        a[:, 2:] = 0
    elif case == "specials":
        a[1, 1], a[2, 2], b[3, 3] = np.inf, -np.inf, np.nan
        a[4, :] = -0.0
    return a.astype(DTYPES[dtype]), b.astype(DTYPES[dtype])


@needs_hooks
@pytest.mark.parametrize("dtype,a_values,b_values,exact", [
    # bfloat16 has 8 significant bits: products of magnitudes 2^ea and 2^eb
    # and their sums are multiples of 2^(ea - 7 + eb - 7), normal from 2^-126.
    ("bfloat16", [3.0, 2.0**-60], [-1.0, 2.0**-52], True),
    ("bfloat16", [3.0, -(2.0**-60)], [-1.0, 2.0**-53], False),
    ("bfloat16", [0.0, -0.0], [2.0**-130, 1.0], False),  # a subnormal, even against zeros
    ("bfloat16", [0.0, -0.0], [2.0**-120, 1.0], True),
    ("bfloat16", [1.0, np.inf], [1.0], False),
    ("bfloat16", [1.0], [np.nan], False),
    # float16's smallest normals multiply to binary32 normals; its subnormals are refused.
    ("float16", [2.0**-14, 1.0], [-(2.0**-14)], True),
    ("float16", [2.0**-24, 1.0], [1.0], False),
    ("float16", [65504.0], [-np.inf], False),
])
def test_the_check_for_a_flushing_unit(dtype, a_values, b_values, exact):
    a, b = (Tensor(np.array(v).astype(DTYPES[dtype]), dtype=dtype) for v in (a_values, b_values))
    assert pelor_core._exact_on_native_unit(a, b) is exact


@pytest.mark.parametrize("dtype", list(DTYPES))
@pytest.mark.parametrize("case", ["subnormal input", "products below the normal range",
                                  "normal products cancelling to subnormal sums", "specials"])
def test_tiny_and_special_values_give_the_float32_routes_bits(dtype, case):
    a, b = tiny_and_special_operands(dtype, case, np.random.default_rng(len(case)))
    got = (Tensor(a, dtype=dtype) @ Tensor(b, dtype=dtype)).to_numpy()
    want = float32_route(a, b, dtype)
    nan = np.isnan(want.astype(np.float32))
    np.testing.assert_array_equal(np.isnan(got.astype(np.float32)), nan)
    np.testing.assert_array_equal(got.view(np.uint16)[~nan], want.view(np.uint16)[~nan])


@pytest.mark.parametrize("a_shape,b_shape", [((256, 784), (784, 512)), ((4, 64, 96), (2, 1, 96, 80))])
def test_bfloat16_products_and_gradients_within_the_bound(a_shape, b_shape):
    rng = np.random.default_rng(a_shape[-1])
    a = random(rng, a_shape).astype(ml_dtypes.bfloat16)
    b = random(rng, b_shape).astype(ml_dtypes.bfloat16)
    ta = Tensor(a, dtype="bfloat16", requires_grad=True)
    tb = Tensor(b, dtype="bfloat16", requires_grad=True)
    out = ta @ tb
    out.backward()
    a64, b64 = a.astype(np.float64), b.astype(np.float64)
    g = np.ones(out.shape)
    swap = lambda x: np.swapaxes(x, -1, -2)
    # Exact products summed in binary32 or better, each result rounded once.
    # (An operand stretched by batch broadcasting gets the stretched gradient.)
    for got, exact, magnitude, k in [
        (out.to_numpy(), a64 @ b64, np.abs(a64) @ np.abs(b64), a_shape[-1]),
        (ta.grad(), g @ swap(b64), g @ swap(np.abs(b64)), b_shape[-1]),
        (tb.grad(), swap(a64) @ g, swap(np.abs(a64)) @ g, out.shape[-2]),
    ]:
        bound = k * 2.0**-24 * magnitude + 2.0**-8 * np.abs(exact)
        assert got.shape == exact.shape
        assert np.all(np.abs(got.astype(np.float64) - exact) <= bound + 1e-30)


def run_fresh(code, **env_changes):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PELOR_MATMUL", "PELOR_TEST_"))}
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [MODULE_DIR, env.get("PYTHONPATH")]))
    env.update(env_changes)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)


@needs_hooks
@pytest.mark.parametrize("value", ["float32", "auto", ""])
def test_the_variable_chooses_the_route(value):
    done = run_fresh("import json, pelor_core; print(json.dumps(pelor_core._product_routes()))", PELOR_MATMUL=value)
    assert done.returncode == 0, done.stderr
    routes = json.loads(done.stdout)
    for dtype in DTYPES:
        if value == "float32":
            assert routes[dtype] == "float32: PELOR_MATMUL=float32"
        else:
            assert routes[dtype].startswith(("float32: ", "native: "))


def test_an_unknown_route_refuses_the_import():
    done = run_fresh("import pelor_core", PELOR_MATMUL="bf16")
    assert done.returncode != 0
    assert done.stderr.strip().splitlines()[-1] == (
        "ImportError: PELOR_MATMUL='bf16' is not a product route; possible values: auto, float32")


@needs_hooks
@pytest.mark.parametrize("library", [None, "libpelor-no-such-library.so"])
def test_without_onednn_every_product_takes_the_float32_route(library):
    code = """
import numpy as np, pelor_core
from pelor_core import Tensor
print(pelor_core._probe_product_route("bfloat16"))
print(pelor_core._probe_product_route("float32"))  # oneDNN's float32 kernel measured against BLIS
pelor_core._float32_products_through_onednn(True)
a = np.arange(12, dtype=np.float32).reshape(3, 4)
print((Tensor(a) @ Tensor(a.T.copy())).to_numpy().tolist() == (a @ a.T).tolist())
"""
    done = run_fresh(code, **({"PELOR_TEST_ONEDNN_LIBRARY": library} if library else {}))
    assert done.returncode == 0, done.stderr
    probe, measured, same = done.stdout.split("\n")[:3]
    assert same == "True"
    built_without = "float32: built without oneDNN"  # on other architectures, or without its header
    if library:
        assert probe == measured and probe in ("float32: oneDNN not found", built_without)
    elif probe not in ("float32: oneDNN not found", built_without):
        assert probe.startswith(("native: ", "float32: oneDNN has no bfloat16 product", "float32: oneDNN runs"))
        assert re.fullmatch(r"(native|float32): \S+, \d+\.\dx the float32 route's speed at 256\^3", measured)
