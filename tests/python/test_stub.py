# The shipped type stub agrees with the module: every public name, every method, every parameter list.
import ast
import inspect
import pathlib

import kestro

STUB = pathlib.Path(kestro.__file__).with_name("kestro.pyi")
if not STUB.exists():  # a CMake build directory: the stub is still in the source tree
    STUB = pathlib.Path(__file__).parents[2] / "src" / "lib" / "kestro.pyi"


def stub_tree():
    return ast.parse(STUB.read_text())


def params_of(fn: ast.FunctionDef):
    names = [a.arg for a in fn.args.posonlyargs + fn.args.args]
    if fn.args.vararg:
        names.append("*" + fn.args.vararg.arg)
    return names


def runtime_params(obj):
    sig = inspect.signature(obj)
    out = []
    for p in sig.parameters.values():
        out.append("*" + p.name if p.kind is p.VAR_POSITIONAL else p.name)
    return out


def test_stub_declares_exactly_the_public_names():
    tree = stub_tree()
    declared = {n.name for n in tree.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))}
    assert declared == set(kestro.__all__)


def test_stub_functions_match_text_signatures():
    for node in stub_tree().body:
        if isinstance(node, ast.FunctionDef):
            assert params_of(node) == runtime_params(getattr(kestro, node.name)), node.name


def test_stub_classes_match_members_and_signatures():
    for node in stub_tree().body:
        if not isinstance(node, ast.ClassDef):
            continue
        cls = getattr(kestro, node.name)
        stub_members = {}
        for item in node.body:
            if isinstance(item, ast.FunctionDef):
                stub_members[item.name] = item
        public = {n for n in dir(cls) if not n.startswith("_")}
        assert public == {n for n in stub_members if not n.startswith("_")}, node.name
        for name, fn in stub_members.items():
            if name == "__init__":
                if cls.__text_signature__ is not None:
                    assert params_of(fn)[1:] == runtime_params(cls), node.name
                continue
            if name.startswith("__"):
                continue
            member = inspect.getattr_static(cls, name)
            if isinstance(member, type(kestro.TaskManager.running_count)):  # getset descriptor: a property
                assert any(isinstance(d, ast.Name) and d.id == "property" for d in fn.decorator_list), name
            else:
                assert params_of(fn) == ["self"] + runtime_params(getattr(cls, name))[1:], f"{node.name}.{name}"
        # Classes without a constructor must not pretend to have one.
        if cls.__text_signature__ is None:
            assert "__init__" not in stub_members, node.name
