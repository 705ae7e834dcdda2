#!/usr/bin/env python3
"""Data-parallel training on two Python threads with pelor_core.

The multilayer perceptron of train_digits.py (64 -> hidden -> 10, relu, mean
squared error against one-hot targets) is trained on scikit-learn's 8x8 digits
with large batches. Every step splits its batch into two halves; each half's
loss and gradients are computed on a thread of its own, and the step applies
the average of the two halves' gradients, which is the gradient of the whole
batch's mean loss.

Two rules make this work:

- each thread records on its own tape, so each thread calls backward() and
  Tensor.clear_graph() for its own graph only;
- the tensors a thread differentiates are made on that thread: here every
  thread builds its parameter tensors from the shared float32 NumPy arrays at
  the start of its step. A tensor recorded on another thread is a constant on
  this one (backward() warns when it reaches one).

Long operations run without the interpreter's lock, so the two threads
compute at the same time. The same steps also run on one thread, which
computes the two halves one after the other, step for step beside the
two-thread run: the parameters must come out bit for bit the same, and the
two timings give the gain of the second thread.

  python3 examples/train_threads.py               # 300 steps, batch 1024, hidden 512
  python3 examples/train_threads.py --steps 5     # a quick check
"""

import argparse
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
from sklearn.datasets import load_digits
from sklearn.model_selection import train_test_split

import pelor_core
from pelor_core import Tensor

relu = pelor_core.nn.functional.relu

CLASSES = 10
SHARDS = 2


def parse_args(argv=None):
    p = argparse.ArgumentParser(description="Train the digits MLP data-parallel on two threads with pelor_core, "
                                "check it against one thread and print both throughputs.")
    p.add_argument("--steps", type=int, default=300, help="training steps (default: %(default)s)")
    p.add_argument("--batch-size", type=int, default=1024,
                   help="examples per step, split between the threads (default: %(default)s)")
    p.add_argument("--hidden", type=int, default=512, help="units in the hidden layer (default: %(default)s)")
    p.add_argument("--lr", type=float, default=0.5, help="learning rate (default: %(default)s)")
    p.add_argument("--dtype", choices=("f32", "bf16", "f16"), default="f32",
                   help="element type of the tensors; parameters are kept in float32 (default: %(default)s)")
    p.add_argument("--seed", type=int, default=0, help="seed of the split, weights and batches (default: %(default)s)")
    args = p.parse_args(argv)
    if args.steps < 1 or args.hidden < 1 or args.batch_size < SHARDS or args.batch_size % SHARDS:
        p.error("--steps and --hidden must be at least 1, --batch-size a positive even number")
    return args


def reduce_to(grad, shape):
    """A gradient summed to its tensor's shape, in float32: first the leading
    axes it has beyond the tensor, then the axes where the tensor has length 1."""
    g = grad.astype(np.float32)
    g = g.sum(axis=tuple(range(g.ndim - len(shape))))
    return g.sum(axis=tuple(i for i, n in enumerate(shape) if n == 1), keepdims=True)


def shard_gradients(params, xb, yb, dtype):
    """Loss and float32 gradients of the mean squared error on one shard,
    computed on the calling thread with its own tape."""
    # Made here, on the thread that differentiates them.
    w1, b1, w2, b2 = (Tensor(p, dtype=dtype, requires_grad=True) for p in params)
    x, y = Tensor(xb, dtype=dtype), Tensor(yb, dtype=dtype)
    diff = relu(x @ w1 + b1) @ w2 + b2 - y
    # The sum of the squared errors as a 1x1 tensor, through products with ones.
    ones_row = Tensor(np.ones((1, len(xb)), np.float32), dtype=dtype)
    ones_col = Tensor(np.ones((CLASSES, 1), np.float32), dtype=dtype)
    loss = (ones_row @ (diff * diff) @ ones_col) * (1.0 / (len(xb) * CLASSES))
    loss.backward()
    grads = [reduce_to(t.grad(), p.shape) for t, p in zip((w1, b1, w2, b2), params)]
    value = float(loss.to_numpy().astype(np.float32)[0, 0])
    Tensor.clear_graph()  # this thread's graph only
    return value, grads


def step(params, xb, yb, dtype, lr, run_shards):
    """One step on a batch, updating `params` in place; returns the loss.
    run_shards(fn, shards) computes fn on every shard, results in shard order."""
    shards = zip(np.array_split(xb, SHARDS), np.array_split(yb, SHARDS))
    results = run_shards(lambda s: shard_gradients(params, *s, dtype), shards)
    for i, p in enumerate(params):
        p -= np.float32(lr) * (sum(g[i] for _, g in results) / np.float32(SHARDS))
    return sum(loss for loss, _ in results) / SHARDS


def accuracy(params, x, labels, dtype):
    w1, b1, w2, b2 = (Tensor(p, dtype=dtype) for p in params)
    out = relu(Tensor(x, dtype=dtype) @ w1 + b1) @ w2 + b2
    return float(np.mean(out.to_numpy().astype(np.float32).argmax(axis=1) == labels))


def main(argv=None):
    args = parse_args(argv)
    if args.dtype == "bf16":
        import ml_dtypes  # noqa: F401  registers NumPy's "bfloat16" dtype

    digits = load_digits()
    x = (digits.data / 16.0).astype(np.float32)
    x_train, x_test, y_train, y_test = train_test_split(x, digits.target, test_size=0.2, stratify=digits.target,
                                                        random_state=args.seed)
    targets = np.eye(CLASSES, dtype=np.float32)[y_train]
    rng = np.random.default_rng(args.seed)
    params = [(rng.standard_normal((64, args.hidden)) * np.sqrt(2.0 / 64)).astype(np.float32),
              np.zeros(args.hidden, np.float32),
              (rng.standard_normal((args.hidden, CLASSES)) * np.sqrt(1.0 / args.hidden)).astype(np.float32),
              np.zeros(CLASSES, np.float32)]
    picks = [rng.choice(len(x_train), args.batch_size, replace=len(x_train) < args.batch_size)
             for _ in range(args.steps)]
    batches = [(x_train[i], targets[i]) for i in picks]
    print(f"digits: network 64-{args.hidden}-{CLASSES}, {args.dtype}, batch {args.batch_size} "
          f"({args.batch_size // SHARDS} per thread), {args.steps} steps")

    # Both runs go step by step side by side, so that a change in what else
    # the machine does affects both timings alike.
    runs = {name: {"params": [p.copy() for p in params], "losses": [], "seconds": 0.0}
            for name in ("two threads", "one thread")}
    with ThreadPoolExecutor(max_workers=SHARDS) as pool:
        runners = {"two threads": lambda fn, shards: list(pool.map(fn, shards)),
                   "one thread": lambda fn, shards: [fn(s) for s in shards]}
        for name, run_shards in runners.items():  # warm-up: the threads, the first buffers
            step([p.copy() for p in params], *batches[0], args.dtype, args.lr, run_shards)
        for xb, yb in batches:
            for name, run in runs.items():
                start = time.perf_counter()
                run["losses"].append(step(run["params"], xb, yb, args.dtype, args.lr, runners[name]))
                run["seconds"] += time.perf_counter() - start

    two, one = runs["two threads"], runs["one thread"]
    for name, run in runs.items():
        seconds, losses = run["seconds"], run["losses"]
        print(f"{name:11s}: {args.steps / seconds:8.1f} steps/s, {args.steps * args.batch_size / seconds:9.0f} "
              f"examples/s; loss {losses[0]:.4f} -> {losses[-1]:.4f}")
    print(f"gain of the second thread: {one['seconds'] / two['seconds']:.2f}x; held-out accuracy "
          f"{100 * accuracy(two['params'], x_test, y_test, args.dtype):.1f} %")
    same = all(np.array_equal(a, b) for a, b in zip(one["params"], two["params"]))
    if not same or one["losses"] != two["losses"]:
        print("two threads and one thread disagree")
        return 1
    print("two threads and one thread agree bit for bit")
    return 0


if __name__ == "__main__":
    sys.exit(main())
