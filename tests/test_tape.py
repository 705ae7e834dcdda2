"""What the per-thread tape records and what it keeps alive.

Node ids are not visible from Python, but the tape is: every node is a heap
block that stays allocated until clear_graph() or the thread's end, and the
nodes that save operands keep those storages alive. The heap probes of
conftest.py measure both.
"""

import threading

import numpy as np
import pytest

import pelor_core
from pelor_core import Tensor

relu = pelor_core.nn.functional.relu
COUNT = 20000


@pytest.fixture(autouse=True, scope="module")
def roomy_tape():
    # Grow the tape's lists once, beyond what any test here appends, so that
    # their growth does not blur the per-node measurements (clear_graph keeps
    # the capacity). Four axes per leaf grow the list of node shapes too.
    Tensor.clear_graph()
    keep = [Tensor(np.ones((1, 1, 1, 1), np.float32), requires_grad=True) for _ in range(5 * COUNT)]
    del keep
    Tensor.clear_graph()
    yield
    Tensor.clear_graph()


@pytest.fixture(autouse=True)
def empty_tape():
    Tensor.clear_graph()
    yield
    Tensor.clear_graph()


def per_op(heap_growth, op):
    """Heap bytes left behind per call of op(x, c, d) on fresh operands: x
    requires gradients, c and d are constants. The tape is cleared before the
    operands are made (a tensor that outlives clear_graph() would count as a
    constant) and again afterwards."""
    Tensor.clear_graph()
    x = Tensor(np.arange(4, dtype=np.float32).reshape(2, 2), requires_grad=True)
    c = Tensor(np.full((2, 2), 2.0, np.float32))
    d = Tensor(np.full((2, 2), 3.0, np.float32))
    try:
        return heap_growth(lambda: op(x, c, d), count=COUNT) / COUNT
    finally:
        Tensor.clear_graph()


# ------------------------------------------------------------- what records


def test_a_constant_operand_gets_an_implicit_leaf_per_use(heap_growth):
    node_only = per_op(heap_growth, lambda x, c, d: x + x)
    with_leaf = per_op(heap_growth, lambda x, c, d: x + c)
    leaf_first = per_op(heap_growth, lambda x, c, d: c + x)
    assert node_only >= 16  # one node block per operation
    # One extra leaf each time the constant is used, on either side.
    assert 1.6 < with_leaf / node_only < 2.4
    assert 1.6 < leaf_first / node_only < 2.4
    two_uses = per_op(heap_growth, lambda x, c, d: (x + c) - c)
    assert 3.2 < two_uses / node_only < 4.8  # two nodes, two leaves


@pytest.mark.parametrize(
    "op",
    [
        lambda x, c, d: c + d,
        lambda x, c, d: c * d,
        lambda x, c, d: c / 2.0,
        lambda x, c, d: c @ d,
        lambda x, c, d: relu(c),
        lambda x, c, d: c.reshape([4]),
        lambda x, c, d: c.transpose(0, 1),
        lambda x, c, d: Tensor([1.0, 2.0]),
        lambda x, c, d: x > c,
        lambda x, c, d: x == 1.0,
        lambda x, c, d: x.__rgt__(1.0),
        lambda x, c, d: (x > 0.0) & (x < 2.0),
        lambda x, c, d: ~(x > 0.0),
        lambda x, c, d: x.zeros_like(),
        lambda x, c, d: x.ones_like(),
        lambda x, c, d: x.to_numpy(),
        lambda x, c, d: x.grad(),
    ],
    ids=[
        "add", "mul", "scalar-div", "matmul", "relu", "reshape", "transpose", "construct",
        "compare", "scalar-compare", "reflected-compare", "logical-and", "logical-not",
        "zeros_like", "ones_like", "to_numpy", "grad",
    ],
)
def test_operations_that_record_nothing(heap_growth, op):
    reference = per_op(heap_growth, lambda x, c, d: x * c)
    growth = per_op(heap_growth, op)
    assert reference >= 32
    assert growth < reference / 10


@pytest.mark.parametrize(
    "fail, exc",
    [
        (lambda x: x + Tensor([[1.0, 2.0]], dtype="f16"), ValueError),
        (lambda x: x * Tensor(np.ones((3, 3), np.float32)), RuntimeError),
        (lambda x: x @ Tensor(np.ones((3, 3), np.float32)), RuntimeError),
        (lambda x: relu(Tensor([True], dtype="bool", requires_grad=True)), TypeError),
    ],
    ids=["dtype-mismatch", "broadcast", "matmul-shape", "relu-bool"],
)
def test_a_failing_operation_records_before_it_computes(heap_growth, fail, exc):
    def attempt(x, c, d):
        with pytest.raises(exc):
            fail(x)

    assert per_op(heap_growth, attempt) >= 16
    # The stray node is never reached: a later graph differentiates correctly.
    x = Tensor(np.ones((2, 2), np.float32), requires_grad=True)
    attempt(x, None, None)
    y = x * 3.0
    y.backward()
    np.testing.assert_array_equal(x.grad(), np.full((2, 2), 3.0, np.float32))


def test_backward_adds_no_nodes(heap_growth):
    x = Tensor(np.arange(4, dtype=np.float32).reshape(2, 2), requires_grad=True)
    c = Tensor(np.full((2, 2), 2.0, np.float32))
    y = (x * c + x) * 2.0
    y.backward()  # the first pass publishes the gradients
    assert heap_growth(y.backward, count=2000) < 2000 * 8
    np.testing.assert_array_equal(x.grad(), np.full((2, 2), 6.0, np.float32))


# ------------------------------------------------- what the tape keeps alive

# 32 KiB of float32 per storage: far above the few dozen bytes of a node, and
# below the size from which freed buffers are kept for reuse (those do not
# come from the C library's heap, which these probes read).
N = 1 << 13


def big(value, shape=(N,)):
    return np.full(shape, value, np.float32)


SAVING = {
    # name: (builder, number of operand storages the node keeps)
    "add": (lambda x, c: x + c, 0),
    "sub": (lambda x, c: x - c, 0),
    "mul": (lambda x, c: x * c, 2),
    "div": (lambda x, c: x / c, 2),
    "scalar-mul": (lambda x, c: x * 2.0, 0),
    "scalar-div": (lambda x, c: x / 2.0, 0),
    "relu": (lambda x, c: relu(x), 1),
    "reshape": (lambda x, c: x.reshape([N // 2, 2]), 0),
    "transpose": (lambda x, c: x.reshape([N // 2, 2]).transpose(0, 1), 0),
}


@pytest.mark.parametrize("name", list(SAVING))
def test_nodes_keep_exactly_the_operands_their_rules_need(heap_bytes, name):
    build, saved = SAVING[name]
    base = heap_bytes()
    x = Tensor(big(1.0), requires_grad=True)
    c = Tensor(big(2.0))
    y = build(x, c)
    del x, c, y
    held = heap_bytes() - base
    Tensor.clear_graph()
    released = heap_bytes() - base
    storage = 4 * N
    assert saved * storage <= held < (saved + 0.5) * storage
    assert released < storage / 4


def test_matmul_node_keeps_both_operands(heap_bytes):
    # The first product sets up scratch memory that is kept for later ones:
    # make it exist before measuring.
    Tensor(big(1.0, (64, 128))) @ Tensor(big(0.5, (128, 48)))
    base = heap_bytes()
    x = Tensor(big(1.0, (64, 128)), requires_grad=True)
    w = Tensor(big(0.5, (128, 48)))
    y = x @ w
    del x, w, y
    held = heap_bytes() - base
    Tensor.clear_graph()
    assert 4 * (64 * 128 + 128 * 48) <= held < 4 * (64 * 128 + 128 * 48) + 4 * N / 2
    assert heap_bytes() - base < 4 * N / 4


def test_published_gradients_stay_until_clear_graph(heap_bytes):
    base = heap_bytes()
    x = Tensor(big(1.0), requires_grad=True)
    y = x * 2.0
    y.backward()
    del x, y
    # Two gradients are published (x's and y's seed); no node saved a storage.
    held = heap_bytes() - base
    assert 2 * 4 * N <= held < 2.5 * 4 * N
    Tensor.clear_graph()
    assert heap_bytes() - base < 4 * N / 4


def test_a_threads_tape_dies_with_the_thread(heap_bytes):
    x_main = Tensor([1.0, 2.0], requires_grad=True)
    (x_main * 4.0).backward()
    base = heap_bytes()
    seen = {}

    def work():
        x = Tensor(big(1.0), requires_grad=True)
        c = Tensor(big(3.0))
        y = x * c
        y.backward()
        seen["grad"] = float(x.grad()[0])
        seen["held"] = heap_bytes() - base

    t = threading.Thread(target=work)
    t.start()
    t.join()
    assert seen["grad"] == 3.0
    # Inside the thread: both saved operands, the gradients of x and y and
    # y's seed; after the thread ends, nothing.
    assert seen["held"] >= 4 * 4 * N
    assert heap_bytes() - base < 4 * N / 4
    # The main thread's tape was never touched.
    np.testing.assert_array_equal(x_main.grad(), [4.0, 4.0])
