"""The package's import graph: no cycles, and each layer imports only the layers below it.

grimp reads the Python modules' imports. The extension modules import too, at
their body (`b.import(...)`, `b.from_import(...)` in src/zemvara_source/*/*.cpp)
or at call time (`builtin("__import__")(...)`), which no Python tool sees: each
is written as a stand-in .py of those imports into a copy of the package, so
edges through C++ count like any other.
"""

import re
import shutil
import sys
from pathlib import Path

import pytest

# requirements/test.txt installs it; a GPU host's own Python may lack it (the graph is the same there).
grimp = pytest.importorskip("grimp")

ROOT = Path(__file__).resolve().parent.parent
SOURCES = ROOT / "src" / "zemvara_source"

# High to low. A module may import any layer below its own (within a layer, any
# sibling); one in no layer (a new module) is held to the cycle check only.
TABLES = ["zemvara.transform.schema", "zemvara.transform.resampling.borders",
          "zemvara.transform.resampling.filters", "zemvara.transform.resampling._launch",
          "zemvara.transform.resampling.light"]  # fmt: skip
KERNELS = ["zemvara.transform.resampling._sources"]
REQUESTS = ["zemvara.transform.resampling.arguments", "zemvara.transform.resampling.planning"]
FAMILIES = ["zemvara.transform.resampling.warping", "zemvara.transform.resampling._affine",
            "zemvara.transform.resampling.pil", "zemvara.transform.resampling.opencv",
            *(f"zemvara.transform.resampling.{f}" for f in ("area", "bicubic", "bilinear", "lanczos", "mitchell", "nearest"))]
LISTS = ["zemvara.transform._handoff", "zemvara.transform.resampling._lists"]
MODULES = [f"zemvara.transform.{m}" for m in ("affine", "resize", "subsample", "warp", "weavepack")]
WINGS = ["zemvara.transform.tiled"]
LAYERS = [
    ["zemvara.__main__"],
    ["zemvara.pipeline", "zemvara.data"],
    ["zemvara.io", "zemvara.upscale", "zemvara.utils.axisform"],
    WINGS,
    MODULES,
    LISTS,
    FAMILIES,
    REQUESTS,
    KERNELS,
    TABLES,
    ["zemvara.color", "zemvara.utils.dtypes", "zemvara.utils.dlpack"],
]

_IMPORT = re.compile(r'\bb\.import\(\s*"([\w.]+)"(?:\s*,\s*"(\w+)")?\s*\)')
_FROM_IMPORT = re.compile(r'\bb\.from_import\(\s*"([\w.]+)"\s*,\s*\{([^}]*)\}\s*\)', re.S)
_DUNDER_IMPORT = re.compile(r'builtin\("__import__"\)\(\s*"([\w.]+)"')
_MODULE = re.compile(r"^ZEMVARA_MODULE\((\w+),\s*(\w+)\s*,", re.M)


def extension_imports(text):
    """(subpackage, module name, the module body's imports as Python lines) of one C++ module."""
    subpackage_module = _MODULE.search(text)
    lines = [(m.start(), f"import {m[1]}" + (f" as {m[2]}" if m[2] else "")) for m in _IMPORT.finditer(text)]
    lines += [(m.start(), f"import {m[1]}") for m in _DUNDER_IMPORT.finditer(text)]  # at call time
    lines += [(m.start(), f"from {m[1]} import " + ", ".join(re.findall(r'"(\w+)"', m[2]))) for m in _FROM_IMPORT.finditer(text)]
    return subpackage_module[2], subpackage_module[1], [line for _, line in sorted(lines)]


@pytest.fixture(scope="module")
def graph(tmp_path_factory):
    """The import graph of python/zemvara with each extension module's body imports."""
    copy = tmp_path_factory.mktemp("imports") / "zemvara"
    shutil.copytree(ROOT / "python" / "zemvara", copy, ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    for source in sorted(SOURCES.glob("*/*.cpp")):
        subpackage, name, lines = extension_imports(source.read_text())
        (copy / subpackage / f"{name}.py").write_text("\n".join(lines) + "\n")
    # grimp finds the package by its import spec: the copy's, not the installed one.
    kept = {name: sys.modules.pop(name) for name in list(sys.modules) if name == "zemvara" or name.startswith("zemvara.")}
    sys.path.insert(0, str(copy.parent))
    try:
        g = grimp.build_graph("zemvara", cache_dir=None)
    finally:
        sys.path.remove(str(copy.parent))
        sys.modules.update(kept)
    return g


def test_the_extension_modules_imports_are_in_the_graph(graph):
    # warp.cpp imports the warp kernels' tables; tiled.py imports warp.
    assert graph.direct_import_exists(importer="zemvara.transform.warp", imported="zemvara.transform.resampling.warping")
    assert graph.direct_import_exists(importer="zemvara.transform.tiled", imported="zemvara.transform.warp")


def test_no_import_cycles(graph):
    cycles = []
    for importer in sorted(graph.modules):
        for imported in sorted(graph.find_modules_directly_imported_by(importer)):
            back = graph.find_shortest_chain(importer=imported, imported=importer)
            if back:
                cycles.append(" -> ".join((importer, *back)))
    assert not cycles, "import cycles:\n" + "\n".join(cycles)


def test_layers_import_only_below_themselves(graph):
    layers = [grimp.Layer(*modules, independent=False) for modules in LAYERS]
    illegal = graph.find_illegal_dependencies_for_layers(layers=layers)
    routes = sorted(" -> ".join(("|".join(sorted(route.heads)), *route.middle, "|".join(sorted(route.tails))))
                    for dependency in illegal for route in dependency.routes)  # fmt: skip
    assert not routes, "imports from a lower layer into a higher one:\n" + "\n".join(routes)
