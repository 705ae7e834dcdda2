"""The source layers stay sealed: only the binding sees Python and NumPy, and
the binding reaches the rest of the module through the tensor core alone.

Walks the quoted includes of src/ (each resolved against src/), so a header
that pulls in Python indirectly is caught as well as a direct include.
"""

import re
from functools import cache
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parent.parent / "src"
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.MULTILINE)

pytestmark = pytest.mark.skipif(not SRC.is_dir(), reason="needs the source tree")


def includes(path):
    """(quoted, system) includes written in one file."""
    found = INCLUDE.findall(path.read_text())
    return [name for kind, name in found if kind == '"'], [name for kind, name in found if kind == "<"]


@cache
def system_closure(relative):
    """Every system header a source file reaches through quoted includes."""
    quoted, system = includes(SRC / relative)
    reached = set(system)
    for name in quoted:
        if (SRC / name).is_file():
            reached |= system_closure(name)
    return frozenset(reached)


def sources(*patterns):
    files = sorted({p for pattern in patterns for p in SRC.glob(pattern) if p.suffix in (".hpp", ".cpp")})
    assert files, patterns
    return [str(p.relative_to(SRC)) for p in files]


BELOW_THE_BINDING = sources("engine/**/*", "autograd/*", "tensor/core*", "tensor/storage*", "tensor/buffer*",
                            "tensor/dtype*")
BINDING = sources("tensor/api/*", "nn/**/*", "module*")


@pytest.mark.parametrize("relative", BELOW_THE_BINDING)
def test_no_python_below_the_binding(relative):
    reached = system_closure(relative)
    assert not {h for h in reached if h == "Python.h" or h.startswith("numpy/")}


# What the binding may include from outside itself: the core's headers and
# the shared base types.
BINDING_MAY_INCLUDE = re.compile(r"^(base/|tensor/(core\w*|storage|dtype|buffer)\.hpp$|tensor/api/|nn/|module_)")


@pytest.mark.parametrize("relative", BINDING)
def test_binding_reaches_only_the_core(relative):
    quoted, _ = includes(SRC / relative)
    assert [name for name in quoted if not BINDING_MAY_INCLUDE.match(name)] == []
