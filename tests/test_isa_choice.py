"""PELOR_ISA caps the instruction-set level whose kernels the module uses
(read at import), and a value the module cannot honour refuses the import
with the values this processor accepts. Each case imports the module in a
fresh interpreter."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import pelor_core
from processor_levels import levels_of_this_architecture, levels_of_this_processor

MODULE_DIR = str(Path(pelor_core.__file__).resolve().parent)
SUPPORTED = levels_of_this_processor()
ACCEPTED = "possible values on this processor: " + ", ".join(SUPPORTED)
HOOKED = hasattr(pelor_core, "_selected_kernel_levels")


def import_with(value):
    env = {k: v for k, v in os.environ.items() if k != "PELOR_ISA"}
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [MODULE_DIR, env.get("PYTHONPATH")]))
    if value is not None:
        env["PELOR_ISA"] = value
    code = "import json, pelor_core; print(json.dumps(pelor_core._selected_kernel_levels()))"
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)


def refusal(done):
    assert done.returncode != 0, done.stdout
    return done.stderr.strip().splitlines()[-1]


@pytest.mark.skipif(not HOOKED, reason="the level is visible only in a development build")
@pytest.mark.parametrize("value", [None, "", *levels_of_this_architecture()])
def test_the_variable_caps_the_level_of_the_kernel_tables(value):
    done = import_with(value)
    level = value or SUPPORTED[-1]
    if level not in SUPPORTED:
        assert refusal(done) == f"ImportError: PELOR_ISA='{value}' names a level this processor lacks; {ACCEPTED}"
        return
    assert done.returncode == 0, done.stderr
    selected = json.loads(done.stdout)
    # The cast table exists at every level; the others stop below the level
    # that adds only the bfloat16 cast instruction.
    assert selected["casts"] == level
    assert selected["relu"] == ("avx512" if level == "avx512_bf16" else level)


@pytest.mark.parametrize("value, shown", [
    ("AVX2", "AVX2"),
    ("native", "native"),
    (" baseline", " baseline"),
    ("baseline,avx2", "baseline,avx2"),
    ("avx2\u00e9", "avx2\\xc3\\xa9"),
    ("x" * 100, "x" * 64 + "..."),
])
def test_an_unknown_value_is_refused_with_the_possible_values(value, shown):
    line = refusal(import_with(value))
    assert line == f"ImportError: PELOR_ISA='{shown}' is not an instruction-set level of this build; {ACCEPTED}"
