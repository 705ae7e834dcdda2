"""Reverse-mode differentiation: every node kind's rule, accumulation into the
per-pass table, publication into the tape, and the Python entry points
backward(), grad() and Tensor.clear_graph().

Expected gradients are hand-derived formulas evaluated with NumPy (float32,
float16) and ml_dtypes (bfloat16) in the element type. A tensor broadcast
against a larger operand receives the gradient in the broadcast shape;
test_graph_gradients.py checks whole graphs against PyTorch.
"""

import threading
import warnings

import numpy as np
import pytest

import pelor_core
from pelor_core import Tensor

from grad_oracle import DTYPES, FLOAT_DTYPES, assert_same, cast, tensor

relu = pelor_core.nn.functional.relu



@pytest.fixture(autouse=True)
def fresh_tape():
    Tensor.clear_graph()
    yield
    Tensor.clear_graph()




def random(shape, dtype, seed=0, low=-4.0, high=4.0):
    return cast(np.random.default_rng(seed).uniform(low, high, size=shape), dtype)


# ---------------------------------------------------------------------------
# The rule of every node kind


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
def test_leaf_backward_publishes_ones_of_its_shape_and_dtype(dtype):
    x = tensor(random((2, 3), dtype), dtype, requires_grad=True)
    x.backward()
    assert_same(x.grad(), np.ones((2, 3), DTYPES[dtype]))


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
@pytest.mark.parametrize(
    "x_shape, y_shape, w_shape",
    [((2, 3), (2, 3), (2, 3)), ((3, 1), (1, 4), (3, 4)), ((3,), (2, 3), (2, 3)), ((), (2,), (5, 2))],
)
def test_add_and_sub_hand_on_the_gradient_in_the_output_shape(dtype, x_shape, y_shape, w_shape):
    x = tensor(random(x_shape, dtype, 1), dtype, requires_grad=True)
    y = tensor(random(y_shape, dtype, 2), dtype, requires_grad=True)
    w = random(w_shape, dtype, 3)
    g = np.broadcast_to(w, np.broadcast_shapes(x_shape, y_shape, w_shape))

    ((x + y) * tensor(w, dtype)).backward()
    assert_same(x.grad(), g)
    assert_same(y.grad(), g)

    ((x - y) * tensor(w, dtype)).backward()
    assert_same(x.grad(), g)
    assert_same(y.grad(), -g)


def test_add_of_broadcast_operands_gives_both_the_broadcast_shape():
    x = Tensor(np.zeros((3, 1), np.float32), requires_grad=True)
    y = Tensor(np.zeros((1, 4), np.float32), requires_grad=True)
    (x + y).backward()
    np.testing.assert_array_equal(x.grad(), np.ones((3, 4), np.float32))
    np.testing.assert_array_equal(y.grad(), np.ones((3, 4), np.float32))


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
@pytest.mark.parametrize("scalar", [2.5, -3.0, 0.1, 1e-3, 7e4])
def test_scalar_nodes_scale_by_the_scalar_in_the_element_type(dtype, scalar):
    x = tensor(random((2, 3), dtype), dtype, requires_grad=True)
    w = random((2, 3), dtype, 4)
    g = w
    s = np.float32(scalar)
    for op, factor in [
        (lambda t: t + scalar, np.float32(1)),
        (lambda t: t - scalar, np.float32(1)),
        (lambda t: t * scalar, s),
        # Division scales by the binary32 reciprocal, rounded to the element
        # type like any scalar factor.
        (lambda t: t / scalar, np.float32(1) / s),
    ]:
        (op(x) * tensor(w, dtype)).backward()
        assert_same(x.grad(), g * cast(factor, dtype))


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
def test_scalar_division_by_zero_gives_an_infinite_factor(dtype):
    x = tensor([1.0, -2.0, 0.0], dtype, requires_grad=True)
    (x / 0.0 * tensor([1.0, -1.0, 0.0], dtype)).backward()
    assert_same(x.grad(), cast([np.inf, -np.inf, np.nan], dtype))
    (x / -0.0).backward()
    assert_same(x.grad(), cast([-np.inf] * 3, dtype))


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
def test_reshape_hands_the_gradient_back_in_the_input_shape(dtype):
    x = tensor(random((2, 3), dtype), dtype, requires_grad=True)
    w = random((3, 2), dtype, 5)
    y = x.reshape((3, 2))
    (y * tensor(w, dtype)).backward()
    assert_same(x.grad(), w.reshape(2, 3))
    assert_same(y.grad(), w)


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
@pytest.mark.parametrize("shape, dims", [((2, 3), (0, 1)), ((2, 3, 4), (0, 2)), ((2, 3, 4), (2, 1)), ((3,), (0, 0))])
def test_transpose_swaps_the_same_axes_back(dtype, shape, dims):
    x = tensor(random(shape, dtype), dtype, requires_grad=True)
    y = x.transpose(*dims)
    w = random(y.shape, dtype, 6)
    (y * tensor(w, dtype)).backward()
    assert_same(x.grad(), np.swapaxes(w, *dims))


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
def test_mul_div_relu_matmul_chain(dtype):
    # One graph through every saved-operand node; small integers keep the
    # float32 matrix sums exact, so every gradient is compared bit for bit.
    rng = np.random.default_rng(7)
    a_v = cast(rng.integers(-3, 4, size=(2, 3)), dtype)
    b_v = cast(rng.integers(-3, 4, size=(3, 2)), dtype)
    c_v = cast([2.0, 4.0], dtype)
    a = tensor(a_v, dtype, requires_grad=True)
    b = tensor(b_v, dtype, requires_grad=True)
    c = tensor(c_v, dtype, requires_grad=True)
    m = a @ b
    r = relu(m)
    q = r / c
    p = q * q
    p.backward()

    one = DTYPES[dtype](1)
    m_v = m.to_numpy()
    q_v = q.to_numpy()
    g_q = one * q_v + one * q_v  # both operands of q * q feed one slot
    assert_same(q.grad(), g_q)
    g_r = g_q / np.broadcast_to(c_v, g_q.shape)
    g_c = ((-g_q) * r.to_numpy()) / (np.broadcast_to(c_v, g_q.shape) * np.broadcast_to(c_v, g_q.shape))
    assert_same(r.grad(), g_r)
    assert_same(c.grad(), g_c)  # the broadcast shape (2, 2), not c's (2,)
    g_m = np.where(m_v.astype(np.float32) > 0, g_r, DTYPES[dtype](0))
    assert_same(m.grad(), g_m)
    g32 = g_m.astype(np.float32)
    assert_same(a.grad(), (g32 @ b_v.astype(np.float32).T).astype(DTYPES[dtype]))
    assert_same(b.grad(), (a_v.astype(np.float32).T @ g32).astype(DTYPES[dtype]))


# ---------------------------------------------------------------------------
# Accumulation


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
def test_a_tensor_used_twice_sums_its_contributions(dtype):
    x_v = cast([3.0, -1.5, 0.25], dtype)
    x = tensor(x_v, dtype, requires_grad=True)
    (x * x).backward()
    one = DTYPES[dtype](1)
    assert_same(x.grad(), one * x_v + one * x_v)
    (x + x).backward()
    assert_same(x.grad(), cast([2.0, 2.0, 2.0], dtype))


def test_square_of_three_gives_six():
    x = Tensor([3.0], requires_grad=True)
    (x * x).backward()
    np.testing.assert_array_equal(x.grad(), [6.0])


def test_contributions_of_different_shapes_are_summed_to_the_tensors_shape():
    # x reaches the root directly, shape (1, 3), and through l @ (x + y),
    # whose gradient has y's shape (2, 3). Broadcasting the first onto the
    # second would count it twice; both are summed to x's shape instead.
    x = Tensor([[1.0, 2.0, 3.0]], requires_grad=True)
    y = Tensor(np.zeros((2, 3), np.float32), requires_grad=True)
    l_v = np.array([[2.0, 5.0]], np.float32)
    root = Tensor(l_v) @ (x + y) + x
    root.backward()
    np.testing.assert_array_equal(x.grad(), np.full((1, 3), 1.0 + 2.0 + 5.0, np.float32))
    np.testing.assert_array_equal(y.grad(), l_v.T @ np.ones((1, 3), np.float32))


# ---------------------------------------------------------------------------
# Publication and the tape


def test_every_reached_node_publishes_its_gradient():
    x = Tensor([[1.0, 2.0], [3.0, 4.0]], requires_grad=True)
    y = x * 2.0
    z = y + x
    z.backward()
    np.testing.assert_array_equal(z.grad(), np.ones((2, 2), np.float32))  # the seed
    np.testing.assert_array_equal(y.grad(), np.ones((2, 2), np.float32))
    np.testing.assert_array_equal(x.grad(), np.full((2, 2), 3.0, np.float32))


def test_backward_of_a_non_scalar_result_differentiates_the_sum():
    x = Tensor(np.arange(6, dtype=np.float32).reshape(2, 3), requires_grad=True)
    (x * 2.0).backward()
    np.testing.assert_array_equal(x.grad(), np.full((2, 3), 2.0, np.float32))


def test_a_second_pass_replaces_the_gradients():
    x = Tensor([1.0, 2.0], requires_grad=True)
    y = x * 3.0
    y.backward()
    y.backward()
    np.testing.assert_array_equal(x.grad(), [3.0, 3.0])


def test_a_pass_from_another_root_leaves_unreached_slots_alone():
    x = Tensor([1.0, 2.0], requires_grad=True)
    y = x * 2.0
    z = x * 5.0
    y.backward()
    z.backward()
    np.testing.assert_array_equal(x.grad(), [5.0, 5.0])
    np.testing.assert_array_equal(z.grad(), [1.0, 1.0])
    np.testing.assert_array_equal(y.grad(), [1.0, 1.0])  # from the first pass


def test_the_gradient_is_a_private_copy():
    x = Tensor([1.0, 2.0], requires_grad=True)
    (x * 2.0).backward()
    g = x.grad()
    g[:] = 100.0
    np.testing.assert_array_equal(x.grad(), [2.0, 2.0])


def test_constants_and_unreached_nodes_have_no_gradient():
    c = Tensor([1.0, 2.0])
    x = Tensor([3.0, 4.0], requires_grad=True)
    y = c * x  # c gets an implicit leaf; its own tensor carries no id
    unused = x * 7.0
    y.backward()
    assert c.grad() is None
    assert unused.grad() is None
    np.testing.assert_array_equal(x.grad(), [1.0, 2.0])
    np.testing.assert_array_equal(y.grad(), [1.0, 1.0])


def test_a_tensor_recorded_before_the_root_but_above_it_is_not_visited():
    x = Tensor([1.0], requires_grad=True)
    y = x * 2.0
    later = y * 3.0  # id above y's
    y.backward()
    assert later.grad() is None
    np.testing.assert_array_equal(x.grad(), [2.0])


# ---------------------------------------------------------------------------
# clear_graph, stale tensors, threads


def test_clear_graph_drops_every_gradient():
    x = Tensor([1.0, 2.0], requires_grad=True)
    y = x * 2.0
    y.backward()
    assert Tensor.clear_graph() is None
    assert x.grad() is None
    assert y.grad() is None


def test_backward_on_a_tensor_that_outlived_clear_graph_raises():
    x = Tensor([1.0, 2.0], requires_grad=True)
    y = x * 2.0
    Tensor.clear_graph()
    fresh = Tensor([5.0], requires_grad=True)  # takes id 0 again
    with pytest.raises(RuntimeError):
        y.backward()
    with pytest.raises(RuntimeError):
        x.backward()
    assert fresh.grad() is None  # the refused passes published nothing
    fresh.backward()
    np.testing.assert_array_equal(fresh.grad(), [1.0])
    assert x.grad() is None  # x's old id now names fresh's node: no crossover


def test_a_stale_operand_is_a_constant():
    x = Tensor([1.0, 2.0], requires_grad=True)
    Tensor.clear_graph()
    w = Tensor([3.0, 4.0], requires_grad=True)
    y = x * w
    with pytest.warns(RuntimeWarning, match=r"before the last Tensor\.clear_graph\(\)"):
        y.backward()
    np.testing.assert_array_equal(w.grad(), [1.0, 2.0])
    assert x.grad() is None


def test_clear_graph_is_static():
    x = Tensor([1.0], requires_grad=True)
    (x * 2.0).backward()
    x.clear_graph()
    assert x.grad() is None


def test_threads_differentiate_on_their_own_tapes():
    n_threads, rounds = 4, 40
    barrier = threading.Barrier(n_threads)
    failures = []

    def worker(k):
        try:
            rng = np.random.default_rng(k)
            barrier.wait()
            for i in range(rounds):
                xv = rng.uniform(-2, 2, size=(3, 4)).astype(np.float32)
                wv = rng.uniform(-2, 2, size=(4, 2)).astype(np.float32)
                x = Tensor(xv, requires_grad=True)
                w = Tensor(wv, requires_grad=True)
                m = x @ w
                (relu(m) * float(k + 1)).backward()
                g = np.where(m.to_numpy() > 0, np.float32(k + 1), np.float32(0))
                np.testing.assert_allclose(x.grad(), g @ wv.T, rtol=1e-5, atol=1e-5)
                np.testing.assert_allclose(w.grad(), xv.T @ g, rtol=1e-5, atol=1e-5)
                if i % 10 == 9:
                    Tensor.clear_graph()
                    assert x.grad() is None
        except Exception as e:  # reported on the main thread
            failures.append((k, repr(e)))

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_a_tensor_from_another_thread_cannot_be_differentiated_here():
    made = {}

    def make():
        x = Tensor([1.0, 2.0], requires_grad=True)
        made["y"] = x * 2.0

    t = threading.Thread(target=make)
    t.start()
    t.join()
    with pytest.raises(RuntimeError):
        made["y"].backward()
    assert made["y"].grad() is None
    # As an operand it is a constant here.
    w = Tensor([1.0, 1.0], requires_grad=True)
    with pytest.warns(RuntimeWarning, match="on another thread"):
        (made["y"] * w).backward()
    np.testing.assert_array_equal(w.grad(), [2.0, 4.0])


def made_before_clear_graph():
    p = Tensor([1.0, -2.0], requires_grad=True)
    Tensor.clear_graph()
    return p


def made_on_another_thread():
    made = []
    t = threading.Thread(target=lambda: made.append(Tensor([1.0, -2.0], requires_grad=True)))
    t.start()
    t.join()
    return made[0]


@pytest.mark.parametrize("make", [made_before_clear_graph, made_on_another_thread])
def test_backward_says_once_where_a_parameter_gets_no_gradient(make):
    p = make()
    w = Tensor([3.0, 4.0], requires_grad=True)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("default")  # once per location
        y = relu(p * w) + p * 2.0  # forward use stays silent
        assert caught == []
        for _ in range(3):
            y.backward()
    assert [(c.category, c.filename) for c in caught] == [(RuntimeWarning, __file__)]
    assert "gets no gradient" in str(caught[0].message)
    assert p.requires_grad and p.grad() is None
    np.testing.assert_array_equal(w.grad(), [1.0, 0.0])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning):
            y.backward()


@pytest.mark.parametrize("make", [made_before_clear_graph, made_on_another_thread, lambda: Tensor([1.0, -2.0])])
def test_backward_is_silent_when_no_stale_parameter_is_reached(make):
    p = make()
    w = Tensor([3.0, 4.0], requires_grad=True)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        product = p * w  # recorded, but not below the first root
        (w * 2.0).backward()
        if not p.requires_grad:
            product.backward()
        np.testing.assert_array_equal(product.to_numpy(), [3.0, -8.0])  # evaluation after clear_graph()


# ---------------------------------------------------------------------------
# Misuse never crashes


def test_backward_on_a_constant_raises():
    c = Tensor([1.0, 2.0])
    with pytest.raises(ValueError) as info:
        c.backward()
    assert str(info.value) == "backward() called on tensor that does not require grad"
    with pytest.raises(ValueError) as info:
        (c * 2.0).backward()
    assert str(info.value) == "backward() called on tensor that does not require grad"
    assert c.grad() is None


def test_comparisons_and_logic_do_not_record():
    x = Tensor([1.0, -1.0], requires_grad=True)
    for result in (x > 0.0, x == x, (x > 0.0) & (x < 2.0), ~(x > 0.0)):
        assert result.requires_grad is False
        with pytest.raises(ValueError):
            result.backward()


def test_bool_leaf_publishes_true_ones():
    b = Tensor([[True, False, True]], dtype="bool", requires_grad=True)
    b.backward()
    g = b.grad()
    assert g.dtype == np.bool_
    np.testing.assert_array_equal(g, np.ones((1, 3), bool))


def test_bool_gradients_flow_through_reshape_and_transpose():
    b = Tensor([[True, False, True]], dtype="bool", requires_grad=True)
    y = b.reshape((3,)).reshape((3, 1)).transpose(0, 1)
    y.backward()
    np.testing.assert_array_equal(b.grad(), np.ones((1, 3), bool))


def test_bool_arithmetic_fails_forward_and_leaves_nothing_to_differentiate():
    b = Tensor([True, False], dtype="bool", requires_grad=True)
    with pytest.raises(ValueError):
        b * 2.0
    with pytest.raises(TypeError):
        b + b
    with pytest.raises(TypeError):
        relu(b)
    b.backward()  # the failed operations' nodes are unreachable
    np.testing.assert_array_equal(b.grad(), [True, True])


def test_a_long_chain_differentiates_without_recursion():
    x = Tensor([1.0], requires_grad=True)
    y = x
    for _ in range(50000):
        y = y + 1.0
    y.backward()
    np.testing.assert_array_equal(x.grad(), [1.0])


def test_zero_dimensional_and_empty_tensors():
    s = Tensor(np.float32(3.0), requires_grad=True)
    (s * s).backward()
    g = s.grad()
    assert g.shape == () and g == 6.0
    e = Tensor(np.zeros((0, 3), np.float32), requires_grad=True)
    f = Tensor(np.ones((1, 3), np.float32), requires_grad=True)
    (relu(e) * f / f + e).backward()
    assert e.grad().shape == (0, 3)
    assert f.grad().shape == (0, 3)


# ---------------------------------------------------------------------------
# A two-layer network


def numpy_step(x, t, w1, b1, w2, b2):
    pre = x @ w1 + b1
    h = np.maximum(pre, 0)
    d = h @ w2 + b2 - t
    loss = d * d
    g_d = d + d
    g_w2 = h.T @ g_d
    g_h = g_d @ w2.T
    g_pre = np.where(pre > 0, g_h, 0).astype(np.float32)
    return loss, {"w1": x.T @ g_pre, "b1": g_pre, "w2": g_w2, "b2": g_d}


def test_two_layer_network_trains_and_matches_numpy():
    rng = np.random.default_rng(11)
    x = rng.normal(size=(16, 4)).astype(np.float32)
    t = rng.normal(size=(16, 3)).astype(np.float32)
    params = {
        "w1": (rng.normal(size=(4, 8)) * 0.5).astype(np.float32),
        "b1": np.zeros(8, np.float32),
        "w2": (rng.normal(size=(8, 3)) * 0.5).astype(np.float32),
        "b2": np.zeros(3, np.float32),
    }
    lr = np.float32(0.005)
    losses = []
    for _ in range(8):
        p = {k: Tensor(v, requires_grad=True) for k, v in params.items()}
        out = relu(Tensor(x) @ p["w1"] + p["b1"]) @ p["w2"] + p["b2"]
        d = out - Tensor(t)
        loss = d * d
        loss.backward()
        ref_loss, ref_grads = numpy_step(x, t, **params)
        np.testing.assert_allclose(loss.to_numpy(), ref_loss, rtol=1e-5, atol=1e-5)
        for k in params:
            g = p[k].grad()
            # Bias gradients keep the batch axis: no reduction.
            assert g.shape == ref_grads[k].shape
            np.testing.assert_allclose(g, ref_grads[k], rtol=1e-4, atol=1e-4)
        losses.append(float(loss.to_numpy().sum()))
        for k in params:
            g = p[k].grad()
            if k.startswith("b"):
                g = g.sum(axis=0)
            params[k] = (params[k] - lr * g).astype(np.float32)
        Tensor.clear_graph()
    assert losses[-1] < losses[0] * 0.9
    assert all(b < a for a, b in zip(losses, losses[1:]))
