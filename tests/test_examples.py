"""The examples, run as a user runs them, in a short setting."""

import importlib.util
import re
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def load_example(name):
    pytest.importorskip("sklearn")  # the examples' data set
    spec = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("dtype", ["f32", "bf16"])
def test_two_threads_train_as_one_thread_does(dtype, capsys):
    example = load_example("train_threads")
    assert example.main(["--steps", "6", "--batch-size", "512", "--hidden", "64", "--dtype", dtype]) == 0
    out = capsys.readouterr().out
    assert "agree bit for bit" in out
    first, last = map(float, re.search(r"two threads:.* loss (\S+) -> (\S+)", out).groups())
    assert last < first
