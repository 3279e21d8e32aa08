"""The type stubs (.pyi) against the built modules: every stub's functions, methods and
constants must match what the import gives, so that editors and type checkers see the
real interface."""

import ast
import importlib
import inspect
from pathlib import Path

import pytest

import zemvara
from native_modules import NATIVE_MODULES  # src/zemvara_source/, on the path by conftest.py

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "python" / "zemvara"
STUBS = sorted(PACKAGE.rglob("*.pyi"))

# The public modules that must have a stub: every extension module (modules.cmake)
# and the Python ones below; any further .pyi found is checked too.
REQUIRED = NATIVE_MODULES + [
    "zemvara.utils.dtypes", "zemvara.color.bgr", "zemvara.utils.dlpack", "zemvara.transform.resize",
    "zemvara.transform.schema", "zemvara.transform.tiled",
]


def module_name(stub):
    return ".".join(stub.relative_to(PACKAGE.parent).with_suffix("").parts)


def stub_signature(node, namespace):
    """An inspect.Signature from a stub's def; defaults are evaluated in the module's namespace."""
    a = node.args
    positional = a.posonlyargs + a.args
    defaults = [inspect.Parameter.empty] * (len(positional) - len(a.defaults)) + list(a.defaults)
    params = []

    def value(expr):
        if expr is inspect.Parameter.empty or expr is None:
            return inspect.Parameter.empty
        assert not (isinstance(expr, ast.Constant) and expr.value is Ellipsis), \
            f"{node.name}: the stub gives `...` as a default instead of the real value"
        return eval(compile(ast.Expression(expr), "<stub>", "eval"), dict(namespace))

    for i, arg in enumerate(positional):
        kind = inspect.Parameter.POSITIONAL_ONLY if i < len(a.posonlyargs) else inspect.Parameter.POSITIONAL_OR_KEYWORD
        params.append(inspect.Parameter(arg.arg, kind, default=value(defaults[i])))
    if a.vararg:
        params.append(inspect.Parameter(a.vararg.arg, inspect.Parameter.VAR_POSITIONAL))
    for arg, default in zip(a.kwonlyargs, a.kw_defaults):
        params.append(inspect.Parameter(arg.arg, inspect.Parameter.KEYWORD_ONLY, default=value(default)))
    if a.kwarg:
        params.append(inspect.Parameter(a.kwarg.arg, inspect.Parameter.VAR_KEYWORD))
    return inspect.Signature(params)


def bare(signature):
    """A signature without annotations: names, kinds and defaults only."""
    return signature.replace(
        parameters=[p.replace(annotation=inspect.Parameter.empty) for p in signature.parameters.values()],
        return_annotation=inspect.Signature.empty)


def documented(node):
    doc = ast.get_docstring(node)
    return bool(doc) and doc.isascii()


def test_every_public_module_has_a_stub_and_the_package_ships_them():
    assert set(REQUIRED) <= {module_name(s) for s in STUBS}
    installed = Path(zemvara.__file__).parent
    assert (installed / "py.typed").is_file()
    missing = [str(s.relative_to(PACKAGE)) for s in STUBS if not (installed / s.relative_to(PACKAGE)).is_file()]
    assert not missing, f"stubs not installed with the package: {missing}"


@pytest.mark.parametrize("stub", STUBS, ids=module_name)
def test_stub_matches_the_built_module(stub):
    module = importlib.import_module(module_name(stub))
    tree = ast.parse(stub.read_text(), str(stub))
    namespace = vars(module)
    assert documented(tree), "the stub has no English module docstring"
    seen = set()
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            seen.add(node.name)
            assert documented(node), f"{node.name}: no English docstring"
            assert hasattr(module, node.name), f"{node.name} is in the stub, not in the module"
            assert stub_signature(node, namespace) == bare(inspect.signature(getattr(module, node.name))), node.name
        elif isinstance(node, ast.ClassDef):
            seen.add(node.name)
            cls = getattr(module, node.name)
            assert documented(node), f"{node.name}: no English docstring"
            methods = [n for n in node.body if isinstance(n, ast.FunctionDef)]
            public = {k for k, v in vars(cls).items() if callable(v) and (k == "__init__" or not k.startswith("_"))}
            named = {m.name for m in methods}
            assert {n for n in named if n == "__init__" or not n.startswith("_")} == public, f"{node.name}: methods differ"
            assert named <= set(vars(cls)), f"{node.name}: special methods in the stub, not in the class"
            for m in methods:
                assert documented(m), f"{node.name}.{m.name}: no English docstring"
                assert stub_signature(m, namespace) == bare(inspect.signature(vars(cls)[m.name])), m.name
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            name = node.target.id
            if name.startswith("_") and name not in namespace:
                continue  # a type alias private to the stub
            seen.add(name)
            assert name in namespace, f"{name} is in the stub, not in the module"
            if isinstance(node.value, ast.Constant):
                assert namespace[name] == node.value.value, name
    defined = {k for k, v in namespace.items()
               if not k.startswith("_") and callable(v) and getattr(v, "__module__", None) == module.__name__}
    assert defined <= seen, f"public names the stub lacks: {sorted(defined - seen)}"
