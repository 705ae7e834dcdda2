"""The kernels of every instruction-set level this processor can run give
the baseline level's results (a C++ program built beside the module), and no
level's object files define anything outside that level's namespace."""

import re
import shutil
import subprocess
from pathlib import Path

import pytest

import pelor_core
from processor_levels import levels_of_this_processor

BUILD = Path(pelor_core.__file__).resolve().parent
CHECK = BUILD / "pelor_kernel_levels"
LEVEL_OBJECTS = sorted((BUILD / "CMakeFiles").glob("pelor_isa_*.dir"))


@pytest.mark.skipif(not CHECK.exists(), reason="the kernel check is built only in a development build")
def test_every_level_matches_the_baseline():
    done = subprocess.run([str(CHECK)], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.splitlines() == [f"{level} ok" for level in levels_of_this_processor()]


@pytest.mark.skipif(not LEVEL_OBJECTS or not shutil.which("nm"), reason="needs a development build and nm")
@pytest.mark.parametrize("objects", LEVEL_OBJECTS, ids=lambda d: d.name)
def test_a_level_defines_nothing_outside_its_namespace(objects):
    """Code compiled for a wide level must never be a definition the linker
    could also pick for baseline callers (an inline function, a template
    instance): everything external lives in pelor::isa::<level>."""
    level = re.fullmatch(r"pelor_isa_(\w+)\.dir", objects.name).group(1)
    files = sorted(str(p) for p in objects.rglob("*.o"))
    assert files
    listed = subprocess.run(["nm", "-C", "--defined-only", "--extern-only", *files],
                            capture_output=True, text=True, check=True).stdout
    symbols = [line.split(" ", 2)[2] for line in listed.splitlines() if line.count(" ") >= 2]
    # AddressSanitizer adds one ODR indicator per global (data, not code).
    foreign = [s for s in symbols if not s.startswith((f"pelor::isa::{level}::", "__odr_asan."))]
    assert symbols and not foreign
