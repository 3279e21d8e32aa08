"""The README's examples: each ```python block runs on the host device, in a folder holding
`photo.png` and `model.engine`, and the blocks pass `mypy --strict` against the stubs.

A block preceded by the line `<!-- not run -->` is left out (one that needs a GPU or a
real engine)."""

import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
SKIP_MARK = "<!-- not run -->"
SECONDS_PER_BLOCK = 120

# CuPy has no type information; the host device's TensorRT stand-in has none either.
MYPY_CONFIG = """\
[mypy]
strict = True

[mypy-cupy,cupy.*,tensorrt,tensorrt.*]
ignore_missing_imports = True
"""


def python_blocks(text):
    """(first line number, source) of every ```python block not marked as not run."""
    blocks, lines = [], text.splitlines()
    i = 0
    while i < len(lines):
        if lines[i].strip() == "```python":
            start = i + 1
            end = next(j for j in range(start, len(lines)) if lines[j].strip() == "```")
            previous = next((lines[j].strip() for j in range(i - 1, -1, -1) if lines[j].strip()), "")
            if previous != SKIP_MARK:
                blocks.append((start + 1, "\n".join(lines[start:end]) + "\n"))
            i = end
        i += 1
    return blocks


BLOCKS = python_blocks(README.read_text())
# tests/conftest.py has set ZEMVARA_DEVICE to the device it chose.
pytestmark = pytest.mark.skipif(os.environ.get("ZEMVARA_DEVICE") == "gpu", reason="the README's examples run on the host device")


def test_the_readme_has_examples():
    assert len(BLOCKS) >= 7


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    """A folder with the files the examples name: a picture and a x2 engine."""
    import cv2
    import tensorrt

    folder = tmp_path_factory.mktemp("readme")
    y, x = np.mgrid[0:96, 0:128]
    picture = np.stack([x * 2, y * 2, ((x // 8 + y // 8) % 2) * 255], axis=-1).astype(np.uint8)
    cv2.imwrite(str(folder / "photo.png"), picture)
    tensorrt.engines.write(str(folder / "model.engine"),
                           tensorrt.engines.engine((1, 3, -1, -1), factor=2, filter="bilinear"))
    return folder


def _timeout(signum, frame):
    raise TimeoutError(f"a README example ran longer than {SECONDS_PER_BLOCK} s")


@pytest.mark.parametrize("line, source", BLOCKS, ids=[f"line{line}" for line, _ in BLOCKS])
def test_example_runs(line, source, workdir, monkeypatch):
    monkeypatch.chdir(workdir)
    previous = signal.signal(signal.SIGALRM, _timeout)
    signal.alarm(SECONDS_PER_BLOCK)
    try:
        exec(compile(source, f"README.md:{line}", "exec"), {"__name__": "__readme__"})
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)


def test_examples_pass_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    files = []
    for line, source in BLOCKS:
        path = tmp_path / f"readme_line{line}.py"
        path.write_text(source)
        files.append(str(path))
    (tmp_path / "mypy.ini").write_text(MYPY_CONFIG)
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", str(tmp_path / "mypy.ini"),
         "--cache-dir", str(ROOT / ".mypy_cache"), *files],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600)
    assert proc.returncode == 0, re.sub(re.escape(str(tmp_path)) + "/", "", proc.stdout + proc.stderr)


def test_the_command_line_without_cupy_says_how_to_run_it_on_the_host_device():
    code = ("import runpy, sys; sys.modules['cupy'] = None; sys.argv = ['zemvara', '--help']; "
            "runpy.run_module('zemvara')")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert proc.returncode == 1 and "Traceback" not in proc.stderr
    assert "ZEMVARA_DEVICE=host PYTHONPATH=<source tree>/hostdevice zemvara run" in proc.stderr


def test_import_without_cupy_says_how_to_get_it():
    code = "import sys; sys.modules['cupy'] = None; import zemvara.io.picload"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert proc.returncode == 1
    assert "ModuleNotFoundError: zemvara needs CuPy, which is not installed." in proc.stderr
    assert "pip install 'zemvara[cuda12]'" in proc.stderr and "PYTHONPATH=<source tree>/hostdevice" in proc.stderr
