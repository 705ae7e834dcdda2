#!/usr/bin/env bash
# Install check: build and install the package the way a user does, into a
# fresh virtual environment, from a copy of the source (never a build tree),
# then import it from outside the source tree, compute a little and confirm
# the type stubs are installed.
#
# Runs inside the development root (there is no package index there, hence
# --no-build-isolation --no-index; the build tools and NumPy come from the
# system through --system-site-packages):
#   tools/devroot run 'bash tests/install_check.sh'     (or: make install-check)
set -euo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
WORK=$(mktemp -d /tmp/pelor-install-check.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

step() { printf 'install-check: %s\n' "$*"; }

step "copying the source to $WORK/src"
mkdir "$WORK/src"
# Everything but version control, build trees and caches.
tar -C "$SRC" --exclude=./.git --exclude='./build' --exclude='./build-*' --exclude='__pycache__' \
    --exclude=.pytest_cache --exclude=.hypothesis -cf - . | tar -C "$WORK/src" -xf -

step "creating a virtual environment"
python3 -m venv --system-site-packages "$WORK/venv"
PY="$WORK/venv/bin/python"

step "pip install --no-build-isolation (building the extension)"
"$PY" -m pip install --quiet --no-build-isolation --no-index --no-cache-dir "$WORK/src" \
    >"$WORK/pip.log" 2>&1 || { tail -40 "$WORK/pip.log" >&2; exit 1; }

step "importing and computing from outside the source tree"
mkdir "$WORK/elsewhere"
cd "$WORK/elsewhere"
PYTHONPATH= PYTHONSAFEPATH=1 "$PY" - "$WORK/venv" "$SRC/pelor_core.pyi" <<'EOF'
import filecmp
import sys
from pathlib import Path

import numpy as np

import pelor_core
from pelor_core import Tensor

venv, source_stub = Path(sys.argv[1]).resolve(), Path(sys.argv[2])
module_file = Path(pelor_core.__file__).resolve()
assert module_file.is_relative_to(venv), f"imported {module_file}, not the installed module under {venv}"

# A small differentiated computation, checked against NumPy.
x_np = np.array([[1.0, -2.0, 0.5], [3.0, 0.25, -1.0]], np.float32)
w_np = np.array([[0.5, -1.0], [2.0, 0.0], [-1.5, 1.0]], np.float32)
x = Tensor(x_np, requires_grad=True)
w = Tensor(w_np, requires_grad=True)
z = x @ w + 1.0
y = pelor_core.nn.functional.relu(z) * 2.0
y.backward()
z_np = x_np @ w_np + np.float32(1.0)
np.testing.assert_allclose(y.to_numpy(), 2.0 * np.maximum(z_np, 0), rtol=1e-6)
upstream = 2.0 * (z_np > 0).astype(np.float32)
np.testing.assert_allclose(x.grad(), upstream @ w_np.T, rtol=1e-6)
np.testing.assert_allclose(w.grad(), x_np.T @ upstream, rtol=1e-6)
Tensor.clear_graph()

# The stub beside the module, and the PEP 561 stub package that mypy reads.
for stub in (module_file.parent / "pelor_core.pyi", module_file.parent / "pelor_core-stubs" / "__init__.pyi"):
    assert stub.is_file(), f"no type stub {stub}"
    assert filecmp.cmp(stub, source_stub, shallow=False), f"{stub} differs from the source's stub"
print(f"install-check: imported {module_file.name} from {module_file.parent}; stubs installed")
EOF
step "ok (${SECONDS} s)"
