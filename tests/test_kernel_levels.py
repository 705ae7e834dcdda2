"""The kernels of every instruction-set level this processor can run give
the baseline level's results (a C++ program built beside the module)."""

import platform
import subprocess
from pathlib import Path

import pytest

import pelor_core

CHECK = Path(pelor_core.__file__).resolve().parent / "pelor_kernel_levels"

# What each x86-64 level needs, as Linux names the processor's features in
# /proc/cpuinfo (it lists only those the kernel enabled the state for).
X86_LEVELS = {
    "avx2": {"avx2", "fma", "f16c", "bmi2"},
    "avx512": {"avx2", "fma", "f16c", "bmi2", "avx512f", "avx512dq", "avx512bw", "avx512vl"},
    "avx512_bf16": {"avx2", "fma", "f16c", "bmi2", "avx512f", "avx512dq", "avx512bw", "avx512vl", "avx512_bf16"},
}


def levels_of_this_processor():
    levels = ["baseline"]
    if platform.machine() not in ("x86_64", "AMD64"):
        return levels
    with open("/proc/cpuinfo") as info:
        flags = next((line.split(":", 1)[1].split() for line in info if line.startswith("flags")), [])
    return levels + [level for level, needs in X86_LEVELS.items() if needs <= set(flags)]


@pytest.mark.skipif(not CHECK.exists(), reason="the kernel check is built only in a development build")
def test_every_level_matches_the_baseline():
    done = subprocess.run([str(CHECK)], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.splitlines() == [f"{level} ok" for level in levels_of_this_processor()]
