"""The module tree, the class Tensor as a type, and what importing does."""

import gc
import importlib.util
import shutil
import subprocess
import sys
import weakref

import pytest

import pelor_core
from pelor_core import Tensor

relu = pelor_core.nn.functional.relu


@pytest.mark.parametrize(
    "module, expected",
    [
        (pelor_core, ["Tensor", "nn"]),
        (pelor_core.nn, ["functional"]),
        (pelor_core.nn.functional, ["relu"]),
    ],
)
def test_all_lists_the_public_names_in_order(module, expected):
    assert type(module.__all__) is list
    assert module.__all__ == expected
    for name in expected:
        assert hasattr(module, name)


@pytest.mark.parametrize(
    "obj, name",
    [
        (pelor_core, "pelor_core"),
        (pelor_core.nn, "nn"),
        (pelor_core.nn.functional, "functional"),
        (relu, "relu"),
        (Tensor, "Tensor"),
    ],
)
def test_names(obj, name):
    assert obj.__name__ == name


def test_module_docs():
    # The definition's documentation is an empty text, not a missing one;
    # the nested modules are plain module objects without one.
    assert pelor_core.__doc__ == ""
    assert pelor_core.nn.__doc__ is None
    assert pelor_core.nn.functional.__doc__ is None


def test_relu_belongs_to_functional():
    assert relu.__module__ == "functional"
    assert relu.__self__ is pelor_core.nn.functional
    assert relu.__text_signature__ == "(py_tensor)"
    assert relu.__doc__ is None  # nothing after the signature block


def test_nested_modules_are_not_importable_by_path():
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("pelor_core.nn")
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("pelor_core.nn.functional")
    registered = list(sys.modules.values())
    assert all(m is not pelor_core.nn and m is not pelor_core.nn.functional for m in registered)
    # Attribute access is the way in.
    from pelor_core import nn

    assert nn is pelor_core.nn


def test_tensor_type_identity():
    assert Tensor.__module__ == "pelor"
    assert Tensor.__qualname__ == "Tensor"
    assert Tensor.__bases__ == (object,)
    assert repr(Tensor) == "<class 'pelor.Tensor'>"


def test_class_text_signature():
    assert Tensor.__text_signature__ == '(data, dtype=None, device="cpu", requires_grad=False)'
    assert Tensor.__doc__ == ""


@pytest.mark.parametrize(
    "method, signature",
    [
        ("to_numpy", "($self)"),
        ("reshape", "($self, shape)"),
        ("transpose", "($self, dim0, dim1)"),
        ("zeros_like", "($self)"),
        ("ones_like", "($self)"),
        ("__req__", "($self, other)"),
        ("__rgt__", "($self, other)"),
        ("__rlt__", "($self, other)"),
        ("backward", "($self)"),
        ("grad", "($self)"),
        ("clear_graph", "()"),
    ],
)
def test_method_text_signatures(method, signature):
    fn = getattr(Tensor, method)
    assert fn.__text_signature__ == signature
    assert fn.__doc__ is None


@pytest.mark.parametrize("prop", ["ndim", "dtype", "shape", "strides", "device", "requires_grad"])
def test_properties_are_undocumented_getters(prop):
    descr = Tensor.__dict__[prop]
    assert type(descr).__name__ == "getset_descriptor"
    assert descr.__doc__ is None


def test_subclassing_is_refused():
    with pytest.raises(TypeError):

        class Sub(Tensor):
            pass

    assert not Tensor.__flags__ & (1 << 10)  # Py_TPFLAGS_BASETYPE


def test_no_instance_attributes():
    t = Tensor([1.0])
    with pytest.raises(AttributeError):
        t.anything = 1
    with pytest.raises(AttributeError):
        t.__dict__
    assert Tensor.__dictoffset__ == 0


def test_no_weak_references():
    with pytest.raises(TypeError):
        weakref.ref(Tensor([1.0]))
    assert Tensor.__weakrefoffset__ == 0


@pytest.mark.parametrize("requires_grad", [False, True])
def test_instances_are_not_tracked_by_the_collector(requires_grad):
    t = Tensor([[1.0, 2.0]], requires_grad=requires_grad)
    assert not gc.is_tracked(t)
    assert gc.get_referents(t) == []
    assert not Tensor.__flags__ & (1 << 14)  # Py_TPFLAGS_HAVE_GC


def test_clear_graph_is_static():
    assert isinstance(Tensor.__dict__["clear_graph"], staticmethod)
    assert Tensor.clear_graph() is None
    assert Tensor([1.0]).clear_graph() is None
    with pytest.raises(TypeError):
        Tensor.clear_graph(1)


def test_the_type_is_created_once_per_process():
    # A multi-phase module can be executed again into a new module object:
    # it gets new nested modules but shares the one Tensor type.
    spec = importlib.util.find_spec("pelor_core")
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again is not pelor_core
    assert again.Tensor is Tensor
    assert again.nn is not pelor_core.nn
    assert again.__all__ == ["Tensor", "nn"]
    assert again.nn.functional.relu is not relu
    t = again.Tensor([1.0, 2.0])
    assert type(t) is Tensor


def run_python(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=None, timeout=120)


def test_import_does_not_import_numpy():
    done = run_python(
        "import sys, pelor_core\n"
        "assert 'numpy' not in sys.modules, 'numpy imported at module import'\n"
        "t = pelor_core.Tensor([1.0])\n"
        "assert 'numpy' in sys.modules\n"
        "print('ok')"
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    origin = importlib.util.find_spec("pelor_core").origin
    out = subprocess.run([nm, "-D", "--defined-only", origin], capture_output=True, text=True, check=True).stdout
    names = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert names == ["PyInit_pelor_core"]
