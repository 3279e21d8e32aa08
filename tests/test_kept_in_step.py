"""Values written twice, in Python and in a C++ or CUDA source (or another tool): each pair agrees.

The other side is read from its source text (enums, constants) or observed
(the device tables the list launches build, the temporaries the writers leave).
"""

import ast
import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import cupy as cp
import numpy as np
import pytest

from kernelcheck import compiled
from zemvara.pipeline import paths
from zemvara.transform import resize, schema, warp
from zemvara.transform.resampling import _lists, _launch, _sources, arguments, filters

ROOT = Path(__file__).resolve().parent.parent
KERNELS = compiled.KERNEL_SOURCES


# ---- flags ----------------------------------------------------------------------------


def test_warp_inverse_map_has_one_home():
    assert warp.WARP_INVERSE_MAP == arguments.WARP_INVERSE_MAP
    written = [str(p.relative_to(ROOT)) for p in (ROOT / "python").rglob("*.py") if "INVERSE_MAP = " in p.read_text()]
    assert written == ["python/zemvara/transform/resampling/arguments.py"]
    # The warp module's body takes the value from there; its line table's text names it.
    cpp = (ROOT / "src/zemvara_source/transform/warp.cpp").read_text()
    assert "kInverseMap" not in cpp
    assert int(re.search(r"// WARP_INVERSE_MAP = (\d+)", cpp)[1]) == arguments.WARP_INVERSE_MAP


# ---- element and axis codes, filter traits --------------------------------------------


@pytest.mark.parametrize("path, first, names", [
    ("_filters.cuh", "U8", list(_launch.ELEMENTS.values())),
    ("_resize.cu", "ALONG_Y", list(_sources.PASS_AXES)),
])  # fmt: skip
def test_kernel_codes(path, first, names):
    # Every code, in the enum's order (the kernel report reads their values from the enum).
    assert list(compiled.enum(path, first)) == names


def test_filter_traits_exist():
    structs = set(re.findall(r"^struct (\w+)\b", (KERNELS / "_filters.cuh").read_text(), re.M))
    assert {row.traits.removeprefix("zemvara::") for row in filters.FILTERS} <= structs


# ---- the list launches' device tables -------------------------------------------------


def _tables(call, *kernels):
    """[(kernel, its device table's rows)] of the launches of `kernels` that `call()` makes (run)."""
    launches = compiled.capture(call, lambda e: any(k in e for k in kernels), run=True)
    return [(next(k for k in kernels if k in launch.expression), cp.asnumpy(launch.args[0])[: int(launch.args[1])])
            for launch in launches]  # fmt: skip


def _columns(path, prefix, width):
    columns = compiled.enum(path, prefix + "FIRST")
    assert columns.pop(prefix + "COLUMNS") == width
    return columns


def test_warp_table_columns():
    srcs = [cp.zeros((5, 7, 3), cp.float32), cp.zeros((9, 30, 3), cp.float32)]
    sizes, outs = [(6, 4), (33, 10)], []
    ((_, table),) = _tables(lambda: outs.extend(warp.warp_affine(srcs, np.stack([np.eye(2, 3)] * 2), sizes, schema.INTER_LINEAR)),
                            "warp_image_list")  # fmt: skip
    c = _columns("_list_warp.cu", "WB_", _lists._WB_COLUMNS)
    for i, (src, out, (w, h)) in enumerate(zip(srcs, outs, sizes)):
        r = {name: table[i, k] for name, k in c.items()}
        assert (r["WB_SRC"], r["WB_DST"]) == (src.data.ptr, out.data.ptr)
        assert (r["WB_SRC_H"], r["WB_SRC_W"], r["WB_SRC_SY"], r["WB_SRC_SX"]) == (*src.shape[:2], src.shape[1] * 3, 3)
        assert (r["WB_DST_H"], r["WB_DST_W"], r["WB_DST_SY"], r["WB_DST_SX"], r["WB_DST_SC"]) == (h, w, w * 3, 3, 1)
        assert r["WB_BLOCKS_X"] == -(-w // 16) and r["WB_MATRIX"] == i
    assert table[1, c["WB_FIRST"]] == -(-4 // 16) * -(-6 // 16)


def test_resize_table_columns():
    # Sizes of their own, so that no weight table is kept from another test.
    srcs, outs = [cp.zeros((37, 29, 3), cp.float32), cp.zeros((23, 41, 3), cp.float32)], []
    tables = _tables(lambda: outs.extend(resize.resize(srcs, (53, 47), schema.INTER_LANCZOS3)),
                     "resize_weights_list", "resize_pass_list")  # fmt: skip
    rw = _columns("_list_resize.cu", "RW_", _lists._RW_COLUMNS)
    rp = _columns("_list_resize.cu", "RP_", _lists._RP_COLUMNS)
    weights = [{n: r[k] for n, k in rw.items()} for kernel, t in tables if kernel == "resize_weights_list" for r in t]
    assert sorted((r["RW_N"], r["RW_OUT"]) for r in weights) == [(23, 47), (29, 53), (37, 47), (41, 53)]
    for r in weights:
        assert r["RW_STRIDE"] == -(-r["RW_TAPS"] // 4) * 4 and r["RW_WEIGHTS"] and r["RW_OFFSETS"]
        assert r["RW_SCALE"] == np.float32(r["RW_N"] / r["RW_OUT"]).view(np.int32)
    tables_of = {(r["RW_WEIGHTS"], r["RW_OFFSETS"], r["RW_TAPS"], r["RW_STRIDE"]) for r in weights}
    passes = [{n: r[k] for n, k in rp.items()} for kernel, t in tables if kernel == "resize_pass_list" for r in t]
    assert {(r["RP_WEIGHTS"], r["RP_OFFSETS"], r["RP_TAPS"], r["RP_STRIDE"]) for r in passes} == tables_of
    last = sorted((r["RP_DST"], r["RP_OUT_W"], r["RP_OUT_H"], r["RP_DST_SY"], r["RP_DST_SX"]) for r in passes[-2:])
    assert last == sorted((out.data.ptr, 53, 47, 53 * 3, 3) for out in outs)


# ---- the hidden temporary beside an output --------------------------------------------

# Writes an image to argv[2] through argv[1]'s writer, killed by SIGXFSZ at its first bytes:
# the writer's temporary stays behind, as a killed run leaves it.
WRITER = r"""
import os, resource, signal, sys, tempfile
import numpy as np
writer, path = sys.argv[1:]
image = np.zeros((64, 64, 3), np.uint8)
if writer == "picstore":
    from zemvara.io.picstore import picstore
    write = lambda to: picstore(to, image)
else:
    from zemvara.transform import tiled
    write = lambda to: tiled.resize(image, (32, 32), out=to)
# One whole write elsewhere first: what the first call compiles and caches is written before the limit.
write(os.path.join(tempfile.mkdtemp(), os.path.basename(path)))
signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
resource.setrlimit(resource.RLIMIT_FSIZE, (16, 16))
write(path)
"""
FUZZ_TEMPORARY = re.compile(ast.literal_eval(
    re.search(r"^TEMPORARY = re\.compile\((r\".*?\")\)", (ROOT / "fuzz" / "fuzz_batch.py").read_text(), re.M)[1]))


@pytest.mark.parametrize("writer, suffix", [("picstore", ".png"), ("tiled", ".tif")])
@pytest.mark.parametrize("stem", ["a", "€" * 50])  # 150 bytes: more than the temporary keeps
def test_temporaries_are_recognised(tmp_path, writer, suffix, stem):
    output = tmp_path / (stem + suffix)
    child = subprocess.run([sys.executable, "-c", WRITER, writer, str(output)], capture_output=True, text=True,
                           env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))  # fmt: skip
    assert child.returncode == -signal.SIGXFSZ, child.stderr
    (left,) = os.listdir(tmp_path)
    assert FUZZ_TEMPORARY.search(left) and paths.is_temporary(left)
    assert paths.remove_temporaries([str(output)]) == 1 and not os.listdir(tmp_path)
