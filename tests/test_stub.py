"""pelor_core.pyi against the live module.

The stub is read with `ast` and compared with what the extension exposes:
the same public names on each side, the same kind of member (method, static
method, property, class attribute) and the same parameters (names, kinds,
defaults) as the interpreter derives from the text signatures.
"""

import annotationlib
import ast
import inspect
import operator
import types
import typing
from pathlib import Path

import numpy as np
import pytest

import pelor_core
from pelor_core import Tensor

STUB_PATH = Path(__file__).resolve().parent.parent / "pelor_core.pyi"
STUB = ast.parse(STUB_PATH.read_text(), filename=str(STUB_PATH))

# CPython fills both directions of a number slot, so the class also carries
# these reflected methods. With anything but a tensor on the left they decline,
# and with a tensor on the left Python never calls them: the stub leaves them
# out so that a type checker rejects `2.0 - t` as the interpreter does.
DECLINED_REFLECTED = {
    "__rsub__": operator.sub,
    "__rtruediv__": operator.truediv,
    "__rmatmul__": operator.matmul,
    "__rand__": operator.and_,
    "__ror__": operator.or_,
    "__rxor__": operator.xor,
}
# Set by the interpreter for every class; not part of the interface.
CLASS_BOOKKEEPING = {"__doc__", "__module__"}

EMPTY = object()  # "no default"


# --- reading the stub ------------------------------------------------------

def decorator_names(node):
    names = set()
    for d in node.decorator_list:
        target = d.func if isinstance(d, ast.Call) else d
        names.add(target.attr if isinstance(target, ast.Attribute) else target.id)
    return names


def members(body):
    """name -> list of definitions (several for overloads) of a stub scope."""
    out = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            out.setdefault(node.name, []).append(node)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            out.setdefault(node.target.id, []).append(node)
        elif isinstance(node, ast.Assign):
            for target in node.targets:
                out.setdefault(target.id, []).append(node)
    return out


MODULE_MEMBERS = members(STUB.body)


def stub_class(name):
    (node,) = MODULE_MEMBERS[name]
    assert isinstance(node, ast.ClassDef)
    return node


def stub_kind(node):
    if isinstance(node, (ast.AnnAssign, ast.Assign)):
        return "attribute"
    if isinstance(node, ast.ClassDef):
        return "class"
    decorators = decorator_names(node)
    if "property" in decorators:
        return "property"
    if "staticmethod" in decorators:
        return "staticmethod"
    return "method"


def stub_parameters(fn):
    """(name, kind, default) for each parameter of a stub function."""
    a = fn.args
    positional = [(p, inspect.Parameter.POSITIONAL_ONLY) for p in a.posonlyargs]
    positional += [(p, inspect.Parameter.POSITIONAL_OR_KEYWORD) for p in a.args]
    defaults = [EMPTY] * (len(positional) - len(a.defaults)) + [ast.literal_eval(d) for d in a.defaults]
    params = [(p.arg, kind, d) for (p, kind), d in zip(positional, defaults)]
    if a.vararg:
        params.append((a.vararg.arg, inspect.Parameter.VAR_POSITIONAL, EMPTY))
    for p, d in zip(a.kwonlyargs, a.kw_defaults):
        params.append((p.arg, inspect.Parameter.KEYWORD_ONLY, EMPTY if d is None else ast.literal_eval(d)))
    if a.kwarg:
        params.append((a.kwarg.arg, inspect.Parameter.VAR_KEYWORD, EMPTY))
    return params


def runtime_parameters(signature):
    return [(p.name, p.kind, EMPTY if p.default is inspect.Parameter.empty else p.default)
            for p in signature.parameters.values()]


def public_stub_names(scope):
    """Names a scope of the stub declares for the module (no stub-only helpers)."""
    return {name for name, nodes in scope.items()
            if not name.startswith("_")
            and not any(isinstance(n, ast.ClassDef) and "type_check_only" in decorator_names(n) for n in nodes)}


def public_runtime_names(module):
    return {name for name in vars(module) if not name.startswith("_")}


def annotation_class(scope, name):
    """The stub-only class named by the annotation of `name: _SomeModule`."""
    (node,) = scope[name]
    assert isinstance(node, ast.AnnAssign) and isinstance(node.annotation, ast.Name)
    return stub_class(node.annotation.id)


# --- the live class --------------------------------------------------------

TENSOR_STUB = members(stub_class("Tensor").body)
TENSOR_RUNTIME = set(vars(Tensor)) - CLASS_BOOKKEEPING
# Members on both sides other than the constructor (whose signature is the
# class's own); names on one side only fail the test just below.
SHARED = sorted(set(TENSOR_STUB) & TENSOR_RUNTIME - {"__new__"})


def runtime_kind(name):
    raw = vars(Tensor)[name]
    if inspect.isgetsetdescriptor(raw):
        return "property"
    if isinstance(raw, staticmethod):
        return "staticmethod"
    if callable(raw):
        return "method"
    return "attribute"


def test_stub_declares_every_class_member_and_nothing_else():
    declared = set(TENSOR_STUB)
    assert declared - TENSOR_RUNTIME == set(), "declared in the stub but missing from pelor_core.Tensor"
    assert TENSOR_RUNTIME - declared == set(DECLINED_REFLECTED), "members of pelor_core.Tensor the stub lacks"


@pytest.mark.parametrize("name", SHARED)
def test_member_kind_matches(name):
    kinds = {stub_kind(node) for node in TENSOR_STUB[name]}
    assert kinds == {runtime_kind(name)}


@pytest.mark.parametrize(
    "name", [n for n in SHARED if runtime_kind(n) in ("method", "staticmethod")])
def test_method_signature_matches(name):
    live = runtime_parameters(inspect.signature(getattr(Tensor, name)))
    for fn in TENSOR_STUB[name]:  # every overload
        declared = stub_parameters(fn)
        if runtime_kind(name) == "method":
            # The instance is positional-only at run time ($self) and is
            # named self on both sides; compare what follows it.
            assert declared[0][0] == "self" and live[0][0] == "self"
            declared, live_rest = declared[1:], live[1:]
        else:
            live_rest = live
        assert declared == live_rest


def test_constructor_signature_matches():
    (fn,) = TENSOR_STUB["__new__"]
    declared = stub_parameters(fn)
    assert declared[0][0] == "cls"
    assert declared[1:] == runtime_parameters(inspect.signature(Tensor))


def test_class_is_final_and_unhashable():
    assert "final" in decorator_names(stub_class("Tensor"))
    with pytest.raises(TypeError):
        type("Sub", (Tensor,), {})
    (hash_decl,) = TENSOR_STUB["__hash__"]
    assert ast.unparse(hash_decl.annotation) == "ClassVar[None]"
    assert vars(Tensor)["__hash__"] is None


def _value_matches(value, annotation):
    if isinstance(annotation, ast.Subscript):
        assert ast.unparse(annotation.value) == "list"
        return type(value) is list and all(_value_matches(v, annotation.slice) for v in value)
    return type(value) is {"int": int, "str": str, "bool": bool}[annotation.id]


@pytest.mark.parametrize("dtype", ["f32", "f16", "bool"])
@pytest.mark.parametrize("requires_grad", [False, True])
@pytest.mark.parametrize("name", [n for n in SHARED if runtime_kind(n) == "property"])
def test_property_types_match_live_values(name, dtype, requires_grad):
    (fn,) = TENSOR_STUB[name]
    t = Tensor(np.zeros((2, 3)), dtype=dtype, requires_grad=requires_grad)
    assert _value_matches(getattr(t, name), fn.returns), ast.unparse(fn.returns)


@pytest.mark.parametrize("name, op", sorted(DECLINED_REFLECTED.items()))
@pytest.mark.parametrize("left", [2.0, 3, True, "a"])
def test_left_out_reflected_methods_decline(name, op, left):
    t = Tensor([1.0, 2.0])
    assert getattr(t, name)(left) is NotImplemented
    with pytest.raises(TypeError):
        op(left, t)


# --- the module tree -------------------------------------------------------

def test_module_names_match():
    assert public_stub_names(MODULE_MEMBERS) == public_runtime_names(pelor_core)
    (all_decl,) = MODULE_MEMBERS["__all__"]
    assert ast.literal_eval(all_decl.value) == pelor_core.__all__


def test_nested_modules_match():
    nn_stub = annotation_class(MODULE_MEMBERS, "nn")
    assert [ast.unparse(b) for b in nn_stub.bases] == ["ModuleType"]
    assert isinstance(pelor_core.nn, types.ModuleType)
    nn_members = members(nn_stub.body)
    assert public_stub_names(nn_members) == public_runtime_names(pelor_core.nn)

    functional_stub = annotation_class(nn_members, "functional")
    assert isinstance(pelor_core.nn.functional, types.ModuleType)
    functional_members = members(functional_stub.body)
    assert public_stub_names(functional_members) == public_runtime_names(pelor_core.nn.functional)
    for scope in (nn_members, functional_members):
        assert stub_kind(scope["__all__"][0]) == "attribute"

    (relu,) = functional_members["relu"]
    assert stub_kind(relu) == "staticmethod"  # a module function: no instance argument
    assert stub_parameters(relu) == runtime_parameters(inspect.signature(pelor_core.nn.functional.relu))


def test_stub_executes_and_every_annotation_resolves(monkeypatch):
    # Run as Python, the stub must import and every annotation must name
    # something that exists (numpy.typing.ArrayLike, SupportsIndex...).
    # typing.type_check_only exists for type checkers only; overloads are
    # collected because only the last one stays in the class.
    overloads = []
    monkeypatch.setattr(typing, "type_check_only", lambda cls: cls, raising=False)
    monkeypatch.setattr(typing, "overload", lambda fn: overloads.append(fn) or fn)
    namespace = {"__name__": "pelor_core_stub"}
    exec(compile(STUB, str(STUB_PATH), "exec"), namespace)
    classes = [namespace[name] for name in ("Tensor", "_NnModule", "_FunctionalModule")]
    functions = {id(fn): fn for fn in overloads}
    for cls in classes:
        for value in vars(cls).values():
            fn = value.fget if isinstance(value, property) else getattr(value, "__func__", value)
            if inspect.isfunction(fn) and fn.__name__ != "__annotate__":
                functions[id(fn)] = fn
    declared = sum(isinstance(n, ast.FunctionDef) for nodes in TENSOR_STUB.values() for n in nodes)
    assert sum(fn.__qualname__.startswith("Tensor.") for fn in functions.values()) == declared
    for obj in [*functions.values(), *classes]:
        annotationlib.get_annotations(obj, format=annotationlib.Format.VALUE)
    namespace["__annotate__"](annotationlib.Format.VALUE)  # the module's own: nn


def test_every_public_definition_has_a_docstring():
    functional = members(stub_class("_FunctionalModule").body)
    defined = [("Tensor", stub_class("Tensor"))] + [
        (name, node) for scope in (TENSOR_STUB, functional) for name, nodes in scope.items()
        for node in nodes if isinstance(node, ast.FunctionDef)]
    assert [name for name, node in defined if not ast.get_docstring(node)] == []
    assert {"relu", "backward", "requires_grad", "__add__"} <= {name for name, _ in defined}
