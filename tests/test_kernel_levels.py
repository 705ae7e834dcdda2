"""The kernels of every instruction-set level this processor can run give
the baseline level's results (a C++ program built beside the module)."""

import subprocess
from pathlib import Path

import pytest

import pelor_core

CHECK = Path(pelor_core.__file__).resolve().parent / "pelor_kernel_levels"


@pytest.mark.skipif(not CHECK.exists(), reason="the kernel check is built only in a development build")
def test_every_level_matches_the_baseline():
    done = subprocess.run([str(CHECK)], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.splitlines()[0] == "baseline ok"
