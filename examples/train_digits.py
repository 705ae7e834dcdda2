#!/usr/bin/env python3
"""Train a multilayer perceptron on scikit-learn's handwritten digits with pelor_core.

The 1,797 8x8 digit images that ship with scikit-learn are split into a
training set and a held-out fifth (stratified, fixed seed). A network
64 -> hidden -> 10 with a relu between the layers is trained by plain
mini-batch gradient descent on the mean squared error against one-hot targets.
Everything the gradients flow through is a pelor_core operation: the matrix
products, the bias additions, relu, and the loss itself, which is reduced to a
1x1 tensor by matrix products with vectors of ones. NumPy only keeps the
parameters between steps and applies the updates.

  python3 examples/train_digits.py                  # f32, a few seconds
  python3 examples/train_digits.py --dtype bf16     # 16-bit tensors, float32 master weights
  python3 examples/train_digits.py --check-torch    # every step's loss and gradients against PyTorch
"""

import argparse
import sys
import time

import numpy as np
from sklearn.datasets import load_digits
from sklearn.model_selection import train_test_split
from tqdm import tqdm

import pelor_core
from pelor_core import Tensor

relu = pelor_core.nn.functional.relu

CLASSES = 10
# The relative difference to PyTorch that counts as agreement, per element
# type. Both libraries compute the same expressions from the same parameters,
# but sum in different orders (blocked matrix products, the loss reduction,
# the bias gradients), so results differ by a few units in the last place.
TORCH_RTOL = {"f32": 1e-5, "f16": 1e-2, "bf16": 5e-2}


def parse_args(argv=None):
    p = argparse.ArgumentParser(
        description="Train a multilayer perceptron on scikit-learn's 8x8 digits with pelor_core "
        "tensors and gradients.")
    p.add_argument("--epochs", type=int, default=40, help="passes over the training set (default: %(default)s)")
    p.add_argument("--hidden", type=int, default=64, help="units in the hidden layer (default: %(default)s)")
    p.add_argument("--lr", type=float, default=0.5, help="learning rate (default: %(default)s)")
    p.add_argument("--batch-size", type=int, default=16, help="examples per step (default: %(default)s)")
    p.add_argument("--dtype", choices=("f32", "bf16", "f16"), default="f32",
                   help="element type of the tensors; parameters are kept and updated in float32 "
                   "(default: %(default)s)")
    p.add_argument("--seed", type=int, default=0,
                   help="seed of the split, the initial weights and the batch order (default: %(default)s)")
    p.add_argument("--plot", metavar="PATH", default="digits.png",
                   help="where to save the loss and accuracy curves as a PNG (default: %(default)s)")
    p.add_argument("--check-torch", action="store_true",
                   help="evaluate the same network in PyTorch on the same batches from the same "
                   "weights at every step, compare the losses and gradients, and exit with status 1 "
                   "where they part")
    args = p.parse_args(argv)
    for name in ("epochs", "hidden", "batch_size"):
        if getattr(args, name) < 1:
            p.error(f"--{name.replace('_', '-')} must be at least 1")
    return args


def load_data(seed):
    digits = load_digits()
    x = (digits.data / 16.0).astype(np.float32)  # pixel intensities 0..16 -> 0..1
    return train_test_split(x, digits.target, test_size=0.2, stratify=digits.target, random_state=seed)


def init_params(rng, hidden):
    """He initialisation for the relu layer, Glorot-like for the output layer."""
    n_in = 64
    return [
        (rng.standard_normal((n_in, hidden)) * np.sqrt(2.0 / n_in)).astype(np.float32),
        np.zeros(hidden, np.float32),
        (rng.standard_normal((hidden, CLASSES)) * np.sqrt(1.0 / hidden)).astype(np.float32),
        np.zeros(CLASSES, np.float32),
    ]


def forward(x, w1, b1, w2, b2):
    return relu(x @ w1 + b1) @ w2 + b2


class Trainer:
    """The network trained with pelor_core; the float32 NumPy arrays in
    `params` are the master copy that every step rebuilds its tensors from."""

    def __init__(self, params, dtype, lr):
        self.params = [p.copy() for p in params]
        self.dtype = dtype
        self.lr = lr
        self.ones_col = Tensor(np.ones((CLASSES, 1)), dtype=dtype)
        self.ones_rows = {}

    def _ones_row(self, batch):
        if batch not in self.ones_rows:
            self.ones_rows[batch] = Tensor(np.ones((1, batch)), dtype=self.dtype)
        return self.ones_rows[batch]

    def step(self, xb, yb):
        """One gradient-descent step on a batch; returns the batch loss and
        the gradients it applied (float32, shaped like the parameters)."""
        batch = xb.shape[0]
        x = Tensor(xb, dtype=self.dtype)
        y = Tensor(yb, dtype=self.dtype)
        # Tensors are immutable: the parameters of this step are new leaves.
        w1, b1, w2, b2 = (Tensor(p, dtype=self.dtype, requires_grad=True) for p in self.params)

        diff = forward(x, w1, b1, w2, b2) - y
        # Sum of the squared errors as a 1x1 tensor: ones(1, B) @ sq @ ones(10, 1).
        total = self._ones_row(batch) @ (diff * diff) @ self.ones_col
        loss = total * (1.0 / (batch * CLASSES))
        loss.backward()

        # The broadcast biases get gradients of the broadcast shape (batch,
        # units): sum them over the batch axis.
        grads = [g.astype(np.float32) for g in (w1.grad(), b1.grad(), w2.grad(), b2.grad())]
        grads[1] = grads[1].sum(axis=0)
        grads[3] = grads[3].sum(axis=0)
        value = float(loss.to_numpy().astype(np.float32)[0, 0])
        # Drop this step's graph and gradients; the next step starts a new tape.
        Tensor.clear_graph()

        for p, g in zip(self.params, grads):
            p -= np.float32(self.lr) * g
        return value, grads

    def predict(self, x_tensor):
        # Tensors without requires_grad record nothing on the tape.
        w1, b1, w2, b2 = (Tensor(p, dtype=self.dtype) for p in self.params)
        out = forward(x_tensor, w1, b1, w2, b2).to_numpy().astype(np.float32)
        return out.argmax(axis=1)


class TorchCheck:
    """The same network in PyTorch, evaluated on the same batch from the same
    parameters as the pelor_core step, which makes every step's loss and
    gradients comparable.

    It computes the very same expressions, so that in 16-bit types both round
    at the same places: the loss through the matrix products with ones, and
    the biases as leaves of the broadcast shape whose gradients are summed
    with NumPy afterwards, as the pelor_core step does.

    Two networks trained apart, each from its own parameters, would part after
    some thousand steps for a reason that has nothing to do with either
    library: their rounding differs by an ulp here and there, and sooner or
    later that puts one hidden unit's pre-activation for one example on
    different sides of zero, which switches its relu gradient between 0 and 1
    and sends the two trajectories separate ways.
    """

    def __init__(self, dtype):
        import torch  # only for the cross-check

        torch.set_num_threads(1)
        self.torch = torch
        self.dtype = {"f32": torch.float32, "f16": torch.float16, "bf16": torch.bfloat16}[dtype]

    def loss_and_grads(self, params, xb, yb):
        torch = self.torch
        batch = xb.shape[0]

        def tensor(a, requires_grad=False):
            return torch.tensor(np.asarray(a, np.float32)).to(self.dtype).requires_grad_(requires_grad)

        x, y = tensor(xb), tensor(yb)
        w1, w2 = tensor(params[0], True), tensor(params[2], True)
        b1 = tensor(np.broadcast_to(params[1], (batch, params[1].size)), True)
        b2 = tensor(np.broadcast_to(params[3], (batch, params[3].size)), True)
        diff = torch.relu(x @ w1 + b1) @ w2 + b2 - y
        total = tensor(np.ones((1, batch))) @ (diff * diff) @ tensor(np.ones((CLASSES, 1)))
        loss = total * (1.0 / (batch * CLASSES))
        loss.backward()
        grads = [t.grad.float().numpy() for t in (w1, b1, w2, b2)]
        grads[1] = grads[1].sum(axis=0)
        grads[3] = grads[3].sum(axis=0)
        return float(loss.detach()), grads


def save_plot(path, step_losses, epoch_losses, test_accs, steps_per_epoch, title):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (ax_loss, ax_acc) = plt.subplots(1, 2, figsize=(11, 4))
    steps = np.arange(1, len(step_losses) + 1)
    ax_loss.plot(steps / steps_per_epoch, step_losses, lw=0.5, alpha=0.4, label="batch loss")
    epochs = np.arange(1, len(epoch_losses) + 1)
    ax_loss.plot(epochs, epoch_losses, marker="o", ms=3, label="epoch mean")
    ax_loss.set_yscale("log")
    ax_loss.set_xlabel("epoch")
    ax_loss.set_ylabel("mean squared error")
    ax_loss.set_title("training loss")
    ax_loss.legend()
    ax_acc.plot(epochs, np.asarray(test_accs) * 100, marker="o", ms=3, color="tab:green")
    ax_acc.axhline(95, color="grey", ls="--", lw=0.8)
    ax_acc.set_xlabel("epoch")
    ax_acc.set_ylabel("accuracy (%)")
    ax_acc.set_title("held-out accuracy")
    ax_acc.set_ylim(min(80.0, 100 * min(test_accs) - 2), 100)
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


class Comparison:
    """Per-step differences to PyTorch: the loss (relative) and, for each
    parameter, the largest gradient difference relative to the largest
    PyTorch gradient element of that parameter."""

    def __init__(self, dtype):
        self.dtype = dtype
        self.loss_rel, self.grad_rel, self.losses = [], [], []

    def add(self, ours, theirs):
        (loss, grads), (t_loss, t_grads) = ours, theirs
        self.losses.append((loss, t_loss))
        self.loss_rel.append(abs(loss - t_loss) / max(abs(t_loss), np.finfo(np.float32).tiny))
        self.grad_rel.append(max(float(np.abs(g - t).max() / max(np.abs(t).max(), np.finfo(np.float32).tiny))
                                 for g, t in zip(grads, t_grads)))

    def report(self, steps_per_epoch):
        loss_rel, grad_rel = np.asarray(self.loss_rel), np.asarray(self.grad_rel)
        rtol = TORCH_RTOL[self.dtype]
        print(f"PyTorch cross-check ({self.dtype}, {len(loss_rel)} steps, tolerance {rtol:g}): largest relative "
              f"difference of the loss {loss_rel.max():.2e} (step {loss_rel.argmax() + 1}), "
              f"of the gradients {grad_rel.max():.2e} (step {grad_rel.argmax() + 1})")
        bad = np.flatnonzero(~((loss_rel <= rtol) & (grad_rel <= rtol)))
        if bad.size == 0:
            print("PyTorch cross-check: losses and gradients agree at every step")
            return True
        first = int(bad[0])
        print(f"PyTorch cross-check: they part at step {first + 1} (epoch {first // steps_per_epoch + 1}); "
              f"{bad.size} steps out of tolerance")
        for k in range(max(0, first - 2), min(len(loss_rel), first + 3)):
            ours, theirs = self.losses[k]
            print(f"  step {k + 1:6d}: loss pelor_core {ours:.9g}  PyTorch {theirs:.9g}  "
                  f"(rel {loss_rel[k]:.2e}); gradients rel {grad_rel[k]:.2e}")
        return False


def main(argv=None):
    args = parse_args(argv)
    if args.dtype == "bf16":
        import ml_dtypes  # noqa: F401  registers NumPy's "bfloat16" dtype

    x_train, x_test, y_train, y_test = load_data(args.seed)
    targets = np.eye(CLASSES, dtype=np.float32)[y_train]
    rng = np.random.default_rng(args.seed)
    model = Trainer(init_params(rng, args.hidden), args.dtype, args.lr)
    torch_check = TorchCheck(args.dtype) if args.check_torch else None
    comparison = Comparison(args.dtype)
    x_test_tensor = Tensor(x_test, dtype=args.dtype)

    n = len(x_train)
    steps_per_epoch = -(-n // args.batch_size)
    print(f"digits: {n} training and {len(x_test)} held-out images; network 64-{args.hidden}-{CLASSES}, "
          f"{args.dtype}, batch {args.batch_size}, lr {args.lr}, {args.epochs} epochs")

    step_losses, epoch_losses, test_accs = [], [], []
    train_time = 0.0
    bar = tqdm(total=args.epochs * steps_per_epoch, unit="step", desc="training", dynamic_ncols=True)
    for epoch in range(args.epochs):
        order = rng.permutation(n)
        epoch_sum = 0.0
        for i, start in enumerate(range(0, n, args.batch_size)):
            idx = order[start:start + args.batch_size]
            xb, yb = x_train[idx], targets[idx]
            if torch_check is not None:  # from the parameters before this step's update
                theirs = torch_check.loss_and_grads(model.params, xb, yb)
            t0 = time.perf_counter()
            loss, grads = model.step(xb, yb)
            train_time += time.perf_counter() - t0
            if torch_check is not None:
                comparison.add((loss, grads), theirs)
            step_losses.append(loss)
            epoch_sum += loss
            bar.set_postfix(epoch=epoch + 1, loss=f"{epoch_sum / (i + 1):.5f}", refresh=False)
            bar.update()
        epoch_losses.append(epoch_sum / steps_per_epoch)
        test_accs.append(float(np.mean(model.predict(x_test_tensor) == y_test)))
        bar.set_postfix(epoch=epoch + 1, loss=f"{epoch_losses[-1]:.5f}", test_acc=f"{test_accs[-1]:.3f}")
    bar.close()

    total_steps = len(step_losses)
    print(f"trained {total_steps} steps in {train_time:.1f} s ({1e3 * train_time / total_steps:.2f} ms per step)")
    print(f"final loss {epoch_losses[-1]:.5f}; test accuracy {100 * test_accs[-1]:.2f} % "
          f"({int(round(test_accs[-1] * len(y_test)))}/{len(y_test)})")

    title = f"pelor_core MLP 64-{args.hidden}-{CLASSES} on digits ({args.dtype})"
    save_plot(args.plot, step_losses, epoch_losses, test_accs, steps_per_epoch, title)
    print(f"curves saved to {args.plot}")

    if torch_check is not None and not comparison.report(steps_per_epoch):
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
