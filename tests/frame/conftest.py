"""Fixtures of the frame tests: the test-only probe module, built once per run, and fresh interpreters."""

import importlib
import os
import subprocess
import sys
import sysconfig
import textwrap
import warnings
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

# The probe reports this compile-time version, so its version warning fires
# on every interpreter.
PROBE_COMPILE_VERSION = (2, 7)

# The package around the probe: a sibling two levels up, a plain submodule,
# and a submodule that its package no longer has as an attribute (so the
# import must find it in sys.modules).
PACKAGE = {
    "zvprobe/__init__.py": "",
    "zvprobe/sibling.py": "value = 41\n",
    "zvprobe/sub/__init__.py": "from . import ghost as _ghost\ndel ghost\n",
    "zvprobe/sub/near.py": "",
    "zvprobe/sub/ghost.py": "",
}


def build_probe(dest, *defines):
    for rel, text in PACKAGE.items():
        path = dest / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    out = dest / "zvprobe" / "sub" / ("probe" + sysconfig.get_config_var("EXT_SUFFIX"))
    major, minor = PROBE_COMPILE_VERSION
    cmd = [
        os.environ.get("CXX", "g++"), "-std=c++20", "-O2", "-fPIC", "-shared", "-fvisibility=hidden",
        f"-DZEMVARA_COMPILE_PY_MAJOR={major}", f"-DZEMVARA_COMPILE_PY_MINOR={minor}", *defines,
        "-I", str(ROOT / "frame" / "include"), "-I", sysconfig.get_paths()["include"],
        *map(str, sorted((ROOT / "frame" / "src").glob("*.cpp"))),
        str(ROOT / "tests" / "frame" / "probe" / "probe.cpp"), "-o", str(out),
    ]
    subprocess.run(cmd, check=True)


@pytest.fixture(scope="session")
def probe_path(tmp_path_factory):
    dest = tmp_path_factory.mktemp("probe")
    build_probe(dest)
    return dest


@pytest.fixture(scope="session")
def probe(probe_path):
    sys.path.insert(0, str(probe_path))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return importlib.import_module("zvprobe.sub.probe")


@pytest.fixture
def run_python(probe_path):
    """Runs code in a fresh interpreter (the probe package importable) and returns its stdout."""

    def run(code, env=None, check=True):
        environ = dict(os.environ)
        environ["PYTHONPATH"] = os.pathsep.join(
            [str(probe_path), *[p for p in environ.get("PYTHONPATH", "").split(os.pathsep) if p]])
        environ.update(env or {})
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                              text=True, env=environ, timeout=120)
        if check:
            assert proc.returncode == 0, proc.stderr
        return proc

    return run
