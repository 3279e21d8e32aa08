#!/usr/bin/env bash
# The aarch64 wheel run under qemu-user on an x86-64 machine (make aarch64-check):
# Debian's arm64 Python unpacked into build/aarch64-root by mmdebstrap (no
# maintainer scripts run, so nothing needs emulating to set it up), the wheel
# and NumPy and OpenCV for aarch64 from PyPI into build/aarch64-site, then
# under emulation: every extension module imported and the README's first
# example run on the host device, whose kernels zig's clang compiles for aarch64.
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
if [ ! -x "$ROOTFS/usr/bin/python3" ]; then
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  # The same package sources as this machine's own apt.
  sources=$(ls /etc/apt/sources.list.d/*.sources 2>/dev/null | head -1 || true)
  say "Debian $codename's arm64 Python into $ROOTFS"
  rm -rf "$ROOTFS"
  mmdebstrap --variant=extract --architectures=arm64 --include=python3 "$codename" "$ROOTFS" \
    "${sources:-/etc/apt/sources.list}"
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

say "$wheel, NumPy and OpenCV for aarch64 into $SITE"
rm -rf "$SITE"
"$PY" -m pip install -q --target "$SITE" --platform manylinux_2_28_aarch64 --python-version "$version" \
  --implementation cp --only-binary=:all: --no-deps "$wheel" numpy opencv-python-headless

# The README's first example, in a folder with the picture and engine it names.
rm -rf "$WORK" && mkdir -p "$WORK"
(cd tests && "$PY" - "$WORK" <<'EOF'
import sys

import cv2
import numpy as np

sys.path.insert(0, "../hostdevice")
import tensorrt  # the host device's stand-in writes its own engine files
from test_readme import BLOCKS

work = sys.argv[1]
y, x = np.mgrid[0:48, 0:64]
cv2.imwrite(f"{work}/photo.png", np.stack([x * 4, y * 4, (x + y) % 256], axis=-1).astype(np.uint8))
tensorrt.engines.write(f"{work}/model.engine", tensorrt.engines.engine((1, 3, -1, -1), factor=2, filter="bilinear"))
open(f"{work}/example.py", "w").write(BLOCKS[0][1])
EOF
)

export ZEMVARA_DEVICE=host PYTHONPATH="$SITE:$ROOT/hostdevice" HOSTDEVICE_CACHE_DIR="$WORK/kernels"
export HOSTDEVICE_CXX=$("$PY" -c 'import sys; sys.path.insert(0, ".ci"); import wheel_matrix; print(wheel_matrix.zig_compiler("aarch64"))')
modules=$("$PY" -c 'import sys; sys.path.insert(0, "src/zemvara_source"); from native_modules import NATIVE_MODULES; print(" ".join(NATIVE_MODULES))')
say "importing $(wc -w <<<"$modules") extension modules under emulation"
(cd "$WORK" && emulate -c 'import importlib, platform, sys
for name in sys.argv[1:]:
    module = importlib.import_module(name)
    assert "aarch64" in module.__file__ and platform.machine() == "aarch64", module.__file__
print("imported", len(sys.argv) - 1, "modules")' $modules)
say "the README's first example under emulation"
start=$(date +%s)
(cd "$WORK" && emulate example.py)
ls -l "$WORK"/photo_x2.png "$WORK"/small.jpg
say "passed (the example took $(( $(date +%s) - start )) s under qemu)"
