"""The wheels in dist/ (`make wheels-dist`, or the one `make wheel-check` builds): each is
the manylinux wheel its name says, and the one for this interpreter and machine installs
into a fresh venv and runs the README's first example on the host device. Without wheels
in dist/ these tests skip."""

import os
import platform
import re
import subprocess
import sys
from pathlib import Path

import pytest

from test_readme import BLOCKS, workdir  # noqa: F401  (the folder with photo.png and model.engine)

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / ".ci"))
import wheel_matrix  # noqa: E402

WHEELS = sorted(wheel_matrix.DIST.glob("zemvara-*.whl"))
TAG = f"cp{sys.version_info[0]}{sys.version_info[1]}"
OWN = [w for w in WHEELS if f"-{TAG}-" in w.name and w.name.endswith(f"_{platform.machine()}.whl")]


def _wheel(folder, platform_tag, module):
    """A wheel for this interpreter named for `platform_tag`, holding the built module `module`."""
    import importlib.util
    import zipfile

    origin = Path(importlib.util.find_spec(module).origin)
    wheel = folder / f"zemvara-0.1.0-{TAG}-{TAG}-{platform_tag}.whl"
    info = "zemvara-0.1.0.dist-info"
    name = "/".join(module.split(".")[:-1] + [origin.name])
    with zipfile.ZipFile(wheel, "w") as archive:
        archive.write(origin, name)
        archive.writestr(f"{info}/METADATA", "Metadata-Version: 2.1\nName: zemvara\nVersion: 0.1.0\n")
        archive.writestr(f"{info}/WHEEL", f"Wheel-Version: 1.0\nRoot-Is-Purelib: false\nTag: {TAG}-{TAG}-{platform_tag}\n")
        archive.writestr(f"{info}/RECORD", f"{name},,\n{info}/METADATA,,\n{info}/WHEEL,,\n{info}/RECORD,,\n")
    return wheel


OTHER = "aarch64" if platform.machine() == "x86_64" else "x86_64"


# The modules `make build` puts in .venv come from this machine's compiler and
# need its glibc (2.36 here): named for that, a wheel passes; named for an
# older glibc, or for another architecture, it does not.
@pytest.mark.parametrize("platform_tag, passes", [
    (f"manylinux_2_36_{platform.machine()}", True),
    (f"manylinux_2_28_{platform.machine()}", False),
    (f"manylinux_2_36_{OTHER}", False),
])
def test_check_holds_a_wheel_to_its_name(tmp_path, platform_tag, passes):
    pytest.importorskip("auditwheel", reason="requirements/wheels.txt")
    from native_modules import NATIVE_MODULES

    assert wheel_matrix.check([_wheel(tmp_path, platform_tag, NATIVE_MODULES[0])]) == passes


@pytest.mark.skipif(not WHEELS, reason="no wheels in dist/")
@pytest.mark.parametrize("wheel", WHEELS, ids=[w.name for w in WHEELS])
def test_wheel_is_the_manylinux_wheel_its_name_says(wheel):
    pytest.importorskip("auditwheel", reason="requirements/wheels.txt")
    assert wheel_matrix.check([wheel])


@pytest.mark.skipif(not OWN, reason=f"no {TAG} {platform.machine()} wheel in dist/")
@pytest.mark.skipif(os.environ.get("ZEMVARA_DEVICE") == "gpu", reason="the fresh venv has no CuPy")
def test_wheel_runs_the_readme_example_in_a_fresh_venv(tmp_path, workdir):  # noqa: F811
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", venv], check=True)
    python = venv / "bin" / "python"
    # PyTorch as the suite pins it: the CPU build, not the newest release's CUDA one.
    torch = next(line.split("#")[0].strip() for line in (ROOT / "requirements" / "test.txt").read_text().splitlines()
                 if re.match(r"torch\b", line))
    subprocess.run([python, "-m", "pip", "install", "-q", OWN[-1], torch], check=True)
    line, source = BLOCKS[0]
    proc = subprocess.run([python, "-c", source], cwd=workdir, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    where = subprocess.run([python, "-c", "import zemvara; print(zemvara.__file__)"], capture_output=True,
                           text=True, check=True).stdout
    assert where.startswith(str(venv))
    assert (workdir / "photo_x2.png").is_file() and (workdir / "small.jpg").is_file()
