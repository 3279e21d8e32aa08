"""What the module frame costs: instructions per call of subsample_image (valgrind) and the size of each built module.

Run as `python bench/frame_cost.py` with the package importable (the host
device on PYTHONPATH where there is no GPU). Instructions are counted by
valgrind's callgrind around the loop of N calls only: a tiny helper library
toggles collection with callgrind's client requests (start-up alone varies by
about 1.5% between runs, which differencing whole runs cannot hide). Needs valgrind; without it only
the sizes are printed.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from timing import table  # noqa: E402

CALLS = 5000
# Addresses decide hash-table probes and allocator paths: without address
# randomisation, repeated runs count the same instructions.
NO_ASLR = ["setarch", os.uname().machine, "-R"] if shutil.which("setarch") else []
LOOP = """
import ctypes, sys
import numpy as np
from zemvara.transform.subsample import subsample_image
toggle = ctypes.CDLL(sys.argv[2]).zv_toggle_collect
x = np.zeros((1, 1), dtype=np.float32)
r = range(int(sys.argv[1]))
toggle()
for _ in r:
    {call}
toggle()
"""
TOGGLE = """
#include <valgrind/callgrind.h>
void zv_toggle_collect(void) { CALLGRIND_TOGGLE_COLLECT; }
"""
CASES = {
    "subsample_image(x, 1)": "subsample_image(x, 1)",
    "subsample_image(image=x, dim=1)": "subsample_image(image=x, dim=1)",
}


def instructions(call, n):
    """Instructions (Ir) of a loop making `n` calls, counted from its start to its end."""
    with tempfile.TemporaryDirectory() as d:
        out, lib = os.path.join(d, "callgrind.out"), os.path.join(d, "toggle.so")
        subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-x", "c", "-", "-o", lib], input=TOGGLE, text=True, check=True)
        proc = subprocess.run(
            [*NO_ASLR, "valgrind", "--tool=callgrind", "--collect-atstart=no", f"--callgrind-out-file={out}",
             sys.executable, "-c", LOOP.format(call=call), str(n), lib],
            capture_output=True, text=True, env={**os.environ, "PYTHONMALLOC": "malloc", "PYTHONHASHSEED": "0"}, check=True)
        found = re.search(r"Collected : (\d+)", proc.stderr)
        return int(found.group(1))


def module_sizes():
    """(module, file bytes, text bytes, data bytes) of every built module; text and data from `size`."""
    import zemvara

    root = Path(zemvara.__file__).parent
    rows = []
    for path in sorted(root.rglob("*.so")):
        text = data = "?"
        if shutil.which("size"):
            text, data = subprocess.run(["size", str(path)], capture_output=True, text=True).stdout.splitlines()[1].split()[:2]
        rows.append([path.relative_to(root).as_posix().split(".")[0], str(path.stat().st_size), text, data])
    return rows


def main():
    import zemvara

    print(f"package at {Path(zemvara.__file__).parent}")
    if shutil.which("valgrind"):
        rows = []
        for label, call in CASES.items():
            empty, full = instructions(call, 0), instructions(call, CALLS)
            rows.append([label, f"{(full - empty) / CALLS:.0f}"])
        table("Instructions per call (callgrind, 1x1 host array)", ["call", "instructions"], rows)
    else:
        print("valgrind not found: instructions not measured")
    table("Built modules", ["module", "file bytes", "text", "data"], module_sizes())


if __name__ == "__main__":
    main()
