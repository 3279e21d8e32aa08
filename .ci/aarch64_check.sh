#!/usr/bin/env bash
# The aarch64 wheel run under qemu-user on an x86-64 machine (make aarch64-check):
# Debian's arm64 Python unpacked into build/aarch64-root by mmdebstrap (no
# maintainer scripts run, so nothing needs emulating to set it up), the wheel
# and NumPy, OpenCV, OpenEXR and PyTorch for aarch64 from PyPI into build/aarch64-site, then
# under emulation: every extension module imported, and a bad argument refused.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PY=$ROOT/.venv/bin/python
ROOTFS=$ROOT/build/aarch64-root
SITE=$ROOT/build/aarch64-site
WORK=$ROOT/build/aarch64-example

say() { echo "zemvara: aarch64: $*"; }

if ! command -v qemu-aarch64-static >/dev/null || ! command -v mmdebstrap >/dev/null; then
  say "installing qemu-user-static and mmdebstrap"
  apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q qemu-user-static mmdebstrap
fi
# Python, and the C++ runtime that manylinux wheels (NumPy's, OpenCV's) take from the system.
PACKAGES=python3,libstdc++6
if [ "$(cat "$ROOTFS/.packages" 2>/dev/null)" != "$PACKAGES" ]; then
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  # The same package sources as this machine's own apt.
  sources=$(ls /etc/apt/sources.list.d/*.sources 2>/dev/null | head -1 || true)
  say "Debian $codename's arm64 Python into $ROOTFS"
  rm -rf "$ROOTFS"
  mmdebstrap --variant=extract --architectures=arm64 --include="$PACKAGES" "$codename" "$ROOTFS" \
    "${sources:-/etc/apt/sources.list}"
  echo "$PACKAGES" >"$ROOTFS/.packages"
fi
emulate() { qemu-aarch64-static -L "$ROOTFS" "$ROOTFS/usr/bin/python3" "$@"; }

version=$(emulate -c 'import sys; print("%d.%d" % sys.version_info[:2])')
tag=cp${version/./}
say "$(emulate -c 'import platform, sys; print("Python", sys.version.split()[0], "on", platform.machine())') under qemu"
wheel=$(ls dist/zemvara-*-$tag-*_aarch64.whl 2>/dev/null | tail -1 || true)
if [ -z "$wheel" ]; then
  "$PY" .ci/wheel_matrix.py build --arch aarch64 "$version"
  wheel=$(ls dist/zemvara-*-$tag-*_aarch64.whl | tail -1)
fi

say "$wheel and what its modules import, for aarch64, into $SITE"
rm -rf "$SITE"
# PyTorch: the last release whose aarch64 wheel on PyPI is the CPU build (the
# later ones need CUDA's libraries, gigabytes, to import).
"$PY" -m pip install -q --target "$SITE" --platform manylinux_2_28_aarch64 --python-version "$version" \
  --implementation cp --only-binary=:all: "$wheel" numpy opencv-python-headless openexr torch==2.6.0 \
  --no-deps -r <(printf '%s\n' filelock typing-extensions sympy mpmath networkx jinja2 markupsafe fsspec)

mkdir -p "$WORK"
export ZEMVARA_DEVICE=host PYTHONPATH="$SITE:$ROOT/hostdevice"
modules=$("$PY" -c 'import sys; sys.path.insert(0, "src/zemvara_source"); from native_modules import NATIVE_MODULES; print(" ".join(NATIVE_MODULES))')
say "importing $(wc -w <<<"$modules") extension modules under emulation, and bad arguments refused"
# The README's examples cannot run here: the host device builds its kernels
# for x86-64 only (SSE headers and the MXCSR for flush-to-zero in its prelude,
# x86-64 fiber switches for barriers). Bad arguments still go through a
# module's argument binding, and a Python error raised inside a module through
# a C++ exception, unwound by the C++ runtime the wheel carries.
(cd "$WORK" && emulate -c 'import importlib, platform, sys
for name in sys.argv[1:]:
    module = importlib.import_module(name)
    assert "aarch64" in module.__file__ and platform.machine() == "aarch64", module.__file__
print("imported", len(sys.argv) - 1, "modules on", platform.machine())
from zemvara.utils.axisform import guess_image_layout
for args, kind in ((("not an image",), AttributeError), ((1, 2), TypeError)):
    try:
        guess_image_layout(*args)
    except kind as error:
        print("refused:", type(error).__name__, error)
    else:
        raise SystemExit(f"guess_image_layout{args!r} was accepted")' $modules)
say "passed"
