"""The installed package carries the type stub of its extension module, and the
stub says what the module says: the same public names, for every function and
method the same parameters (names, kinds, defaults) as the module's text
signatures, and the same docstrings."""

import ast
import inspect
from pathlib import Path

import pytest
import quarn
from quarn import _native as native

PACKAGE = Path(quarn.__file__).resolve().parent
STUB = ast.parse((PACKAGE / "_native.pyi").read_text(encoding="utf-8"))
KINDS = {"posonly": inspect.Parameter.POSITIONAL_ONLY, "arg": inspect.Parameter.POSITIONAL_OR_KEYWORD,
         "vararg": inspect.Parameter.VAR_POSITIONAL, "kwonly": inspect.Parameter.KEYWORD_ONLY,
         "kwarg": inspect.Parameter.VAR_KEYWORD}


def public(body):
    """The classes and functions of a stub body that Python code may call: no
    private helpers (one underscore), special methods included."""
    return {n.name: n for n in body if isinstance(n, (ast.ClassDef, ast.FunctionDef))
            and (not n.name.startswith("_") or n.name.startswith("__"))}


def stub_parameters(fn):
    """(name, kind, default) per parameter of a stub function, as inspect lists them."""
    a, out = fn.args, []
    positional = [(p, "posonly") for p in a.posonlyargs] + [(p, "arg") for p in a.args]
    defaults = [inspect.Parameter.empty] * (len(positional) - len(a.defaults)) + \
        [ast.literal_eval(d) for d in a.defaults]
    out += [(p.arg, KINDS[k], d) for (p, k), d in zip(positional, defaults)]
    if a.vararg:
        out.append((a.vararg.arg, KINDS["vararg"], inspect.Parameter.empty))
    out += [(p.arg, KINDS["kwonly"], inspect.Parameter.empty if d is None else ast.literal_eval(d))
            for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        out.append((a.kwarg.arg, KINDS["kwarg"], inspect.Parameter.empty))
    return out


def runtime_parameters(obj):
    return [(p.name, p.kind, p.default) for p in inspect.signature(obj).parameters.values()]


def members():
    """(label, stub node, runtime object) for every function, method and class of the stub."""
    out = []
    for name, node in public(STUB.body).items():
        runtime = getattr(native, name)
        out.append((name, node, runtime))
        if isinstance(node, ast.ClassDef):
            for member, sub in public(node.body).items():
                out.append((f"{name}.{member}", sub, runtime if member == "__init__" else getattr(runtime, member)))
    return out


MEMBERS = members()


def test_the_package_ships_the_stub_and_its_typed_marker():
    assert (PACKAGE / "py.typed").is_file()
    assert (PACKAGE / "_native.pyi").is_file()


def test_the_stub_names_what_the_module_and_its_classes_define():
    assert sorted(public(STUB.body)) == sorted(n for n in dir(native) if not n.startswith("_"))
    for name, node in public(STUB.body).items():
        if isinstance(node, ast.ClassDef):
            runtime = {m for m in vars(getattr(native, name)) if not m.startswith("_")}
            runtime |= {m for m in ("__arrow_c_stream__", "__len__") if m in vars(getattr(native, name))}
            assert set(public(node.body)) - {"__init__"} == runtime, name


@pytest.mark.parametrize("label, node, runtime", [m for m in MEMBERS if isinstance(m[1], ast.FunctionDef)],
                         ids=[m[0] for m in MEMBERS if isinstance(m[1], ast.FunctionDef)])
def test_the_stub_gives_each_function_the_modules_parameters(label, node, runtime):
    if any(isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list):
        assert type(runtime).__name__ == "getset_descriptor"
        return
    stub = stub_parameters(node)
    if label.endswith("__init__"):
        stub = stub[1:]
    assert stub == runtime_parameters(runtime)


@pytest.mark.parametrize("label, node, runtime", MEMBERS, ids=[m[0] for m in MEMBERS])
def test_the_stub_carries_the_modules_docstrings(label, node, runtime):
    # The constructor's text is the class's; a slot's (len()) is the interpreter's.
    if label.endswith("__init__") or type(runtime).__name__ == "wrapper_descriptor":
        return
    documented = runtime.__doc__ if type(runtime).__name__ != "getset_descriptor" else None
    assert (ast.get_docstring(node, clean=False) or "") == (documented or "")
