"""The built extension modules: exported symbols, load-time dependencies, version check."""

import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest
from native_modules import NATIVE_MODULES, SOURCES  # src/zemvara_source/, on the path by conftest.py

ROOT = Path(__file__).resolve().parent.parent
MODULES = NATIVE_MODULES

# The loader and the C library are all that a module may need at load time
# (and the sanitizer runtimes in a sanitizer build, `make test-sanitize`).
ALLOWED_NEEDED = {"libc.so.6", "ld-linux-x86-64.so.2"}
SANITIZED = os.environ.get("ZEMVARA_SANITIZE") == "1"
if SANITIZED:
    ALLOWED_NEEDED |= {"libasan.so.8", "libubsan.so.1"}


def built_modules():
    found = []
    for name in MODULES:
        try:
            spec = importlib.util.find_spec(name)
        except ImportError:
            spec = None
        if spec is not None and spec.origin and spec.origin.endswith(".so"):
            found.append((name, spec.origin))
    return found


BUILT = built_modules()


def installed_extensions():
    """The dotted names of every extension module installed with the package."""
    package = Path(importlib.util.find_spec("zemvara").origin).parent
    return {".".join(("zemvara", *p.relative_to(package).parts[:-1], p.name.split(".", 1)[0]))
            for p in package.rglob("*.so")}


def test_the_package_has_built_modules():
    assert BUILT, "no extension module of zemvara is installed"
    assert installed_extensions() ^ set(MODULES) == set(), "installed or in modules.cmake, not both"


def test_modules_cmake_agrees_with_the_sources_and_the_readme():
    """A module is added in modules.cmake; its source, stub and README row are the places that cannot be derived."""
    sources = ROOT / "src" / "zemvara_source"
    on_disk = {str(p.relative_to(sources)) for p in sources.glob("*/*.cpp")}
    assert on_disk ^ set(SOURCES.values()) == set(), "on disk or in modules.cmake, not both"
    stubs = {name for name in MODULES if (ROOT / "python" / Path(*name.split("."))).with_suffix(".pyi").is_file()}
    readme = (ROOT / "README.md").read_text()
    assert [name for name in MODULES if name not in stubs or f"| `{name}` |" not in readme] == []


@pytest.mark.skipif(shutil.which("nm") is None, reason="binutils missing")
@pytest.mark.parametrize("name,path", BUILT, ids=[n for n, _ in BUILT])
def test_exports_only_its_entry_point(name, path):
    out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_" + name.rsplit(".", 1)[1]]


@pytest.mark.skipif(shutil.which("readelf") is None, reason="binutils missing")
@pytest.mark.parametrize("name,path", BUILT, ids=[n for n, _ in BUILT])
def test_needs_only_the_c_library(name, path):
    out = subprocess.run(["readelf", "-d", path], capture_output=True, text=True, check=True).stdout
    needed = {line.split("[", 1)[1].split("]", 1)[0] for line in out.splitlines() if "(NEEDED)" in line}
    assert needed <= ALLOWED_NEEDED, needed - ALLOWED_NEEDED
    assert ("libasan.so.8" in needed) == SANITIZED


def _load_in_subprocess(path, name):
    """Import the module at `path` under its dotted name in a fresh interpreter, warnings recorded."""
    code = textwrap.dedent(
        f"""
        import importlib.util, sys, warnings
        import {name.rsplit('.', 1)[0]}
        spec = importlib.util.spec_from_file_location({name!r}, {str(path)!r})
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            module = importlib.util.module_from_spec(spec)
            sys.modules[{name!r}] = module
            spec.loader.exec_module(module)
        for w in caught:
            print(w.category.__name__ + ": " + str(w.message))
        """
    )
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=os.environ.copy())


# A version the module reports that is not the running one.
OTHER_VERSION = "3.11" if sys.version_info[:2] == (3, 10) else "3.10"


@pytest.fixture(scope="session")
def build_for_other_version(tmp_path_factory):
    """`subsample` built once per run as if against another Python's headers."""
    build = tmp_path_factory.mktemp("other-version-build")
    cmake = shutil.which("cmake", path=str(Path(sys.executable).parent)) or shutil.which("cmake")
    configure = [
        cmake, "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
        f"-DZEMVARA_COMPILE_PY_VERSION={OTHER_VERSION}", "-DZEMVARA_MODULES=subsample",
        f"-DPython_EXECUTABLE={sys.executable}",
    ]
    ninja = shutil.which("ninja", path=str(Path(sys.executable).parent))
    if ninja:
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
    subprocess.run(configure, check=True, capture_output=True)
    subprocess.run([cmake, "--build", str(build), "-j", "2"], check=True, capture_output=True)
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    return build / ("subsample" + suffix)


class TestVersionCheck:
    def test_matching_build_loads_silently(self):
        name, path = BUILT[0]
        result = _load_in_subprocess(path, name)
        assert result.returncode == 0, result.stderr
        assert "RuntimeWarning" not in result.stdout

    def test_build_for_another_version_warns_and_loads(self, build_for_other_version):
        result = _load_in_subprocess(build_for_other_version, "zemvara.transform.subsample")
        assert result.returncode == 0, result.stderr
        runtime = f"{sys.version_info.major}.{sys.version_info.minor}"
        assert result.stdout.splitlines() == [
            f"RuntimeWarning: compile time Python version {OTHER_VERSION} of module "
            f"'zemvara.transform.subsample' does not match runtime version {runtime}"
        ]
