#!/usr/bin/env bash
# Rehearses `make gpu-check` on a machine without a GPU, as a GPU host without
# network runs it: a fresh clone with only wheels/ brought along, and a
# `python3` on PATH that is itself a venv holding what such a host's Python
# typically holds (NumPy, OpenCV, PyTorch, pytest, scikit-build-core, cmake,
# ninja, an NVIDIA library in the `nvidia` namespace) but not OpenEXR, Pillow,
# the image codec, click or tqdm. That venv is made from REHEARSAL_PYTHON (default
# python3), and `make wheels` downloads for its version; the PyTorch pinned in
# requirements/test.txt must exist for that version.
#
# What cannot be real here, and stands in:
# - CuPy: a copy of hostdevice/cupy installed into that venv as `cupy`, let
#   through by ZEMVARA_STANDIN_AS_GPU=1 (every report says so); its kernels
#   run on the CPU, so the benchmarks get a longer timeout than on a GPU;
# - the image codec wheel: a wheel of hostdevice/nvidia/nvimgcodec that ships
#   the same `nvidia/__init__.py` (pkgutil.extend_path) as the real one, so
#   that the namespace hazard is the real one. The real wheel installs here
#   but cannot decode without a GPU.
#
# Usage: .ci/gpu_rehearsal.sh [repository]   (default: this checkout). Needs
# network access for the host's packages and `make wheels`. REHEARSAL_DIR
# (default /tmp/zv-rehearsal) is wiped first.
set -euo pipefail

HERE=$(cd "$(dirname "$0")/.." && pwd)
REPO=${1:-$HERE}
WORK=${REHEARSAL_DIR:-/tmp/zv-rehearsal}
MACHINE_PYTHON=${REHEARSAL_PYTHON:-python3}

rm -rf "$WORK"
mkdir -p "$WORK"
echo "== the GPU host's interpreter: a venv from $MACHINE_PYTHON"
"$MACHINE_PYTHON" -m venv "$WORK/machine"
"$WORK/machine/bin/python" -m pip install -q numpy opencv-python-headless pytest \
  scikit-build-core cmake ninja nvidia-cuda-nvrtc "torch==$(sed -n 's/^torch==//p' "$HERE/requirements/test.txt")"
site=$("$WORK/machine/bin/python" -c "import sysconfig; print(sysconfig.get_paths()['purelib'])")
cp -r "$HERE/hostdevice/cupy" "$site/cupy"
find "$site/cupy" -name __pycache__ -prune -exec rm -rf {} +

echo "== a fresh clone of $REPO"
git clone -q "$REPO" "$WORK/clone"

echo "== wheels/: make wheels for OpenEXR and Pillow, the stand-in image codec wheel"
ver=$("$WORK/machine/bin/python" -c "import sys; print('%d.%d' % sys.version_info[:2])")
make -C "$WORK/clone" --no-print-directory wheels WHEELS_FOR="openexr pillow" GPU_PYTHON_VERSION="$ver"
"$WORK/machine/bin/python" - "$HERE/hostdevice/nvidia" "$WORK/clone/wheels" <<'EOF'
import base64, hashlib, pathlib, sys, zipfile
src, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
ver = "0.0.0+hostdevice"
dist = f"nvidia_nvimgcodec_cu13-{ver}.dist-info"
files = {"nvidia/__init__.py": b"__path__ = __import__('pkgutil').extend_path(__path__, __name__)\n"}
for f in sorted((src / "nvimgcodec").rglob("*.py")):
    files["nvidia/" + f.relative_to(src).as_posix()] = f.read_bytes()
files[f"{dist}/METADATA"] = f"Metadata-Version: 2.1\nName: nvidia-nvimgcodec-cu13\nVersion: {ver}\n".encode()
files[f"{dist}/WHEEL"] = b"Wheel-Version: 1.0\nGenerator: rehearsal\nRoot-Is-Purelib: true\nTag: py3-none-any\n"
def digest(data):
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
record = "".join(f"{n},{digest(d)},{len(d)}\n" for n, d in files.items()) + f"{dist}/RECORD,,\n"
files[f"{dist}/RECORD"] = record.encode()
with zipfile.ZipFile(out / f"nvidia_nvimgcodec_cu13-{ver}-py3-none-any.whl", "w") as z:
    for name, data in files.items():
        z.writestr(name, data)
EOF
ls -l "$WORK/clone/wheels"

echo "== make gpu-check, as on a GPU host (python3 = the host venv)"
cd "$WORK/clone"
env -u PYTHONPATH -u VIRTUAL_ENV PATH="$WORK/machine/bin:$PATH" \
  ZEMVARA_STANDIN_AS_GPU=1 ZEMVARA_LOG_DIR="$WORK/logs" \
  make gpu-check GPU_BENCH_TIMEOUT=${REHEARSAL_BENCH_TIMEOUT:-600}
echo "== rehearsal passed; log in $WORK/logs/gpu-check.log"
