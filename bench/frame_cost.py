"""What the module frame costs: instructions per call of subsample_image (valgrind) and the size of each built module.

Run as `python bench/frame_cost.py` with the package importable (the host
device on PYTHONPATH where there is no GPU). Instructions are counted by
valgrind's callgrind for two runs of N and 6N calls; the difference divided by
5N is the cost of one call, free of start-up. Needs valgrind; without it only
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

CALLS = 2000
LOOP = """
import sys
import numpy as np
from zemvara.transform.subsample import subsample_image
x = np.zeros((1, 1), dtype=np.float32)
for _ in range(int(sys.argv[1])):
    {call}
"""
CASES = {
    "subsample_image(x, 1)": "subsample_image(x, 1)",
    "subsample_image(image=x, dim=1)": "subsample_image(image=x, dim=1)",
}


def instructions(call, n):
    """Total instructions (Ir) of a Python run making `n` calls."""
    with tempfile.TemporaryDirectory() as d:
        out = os.path.join(d, "callgrind.out")
        proc = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-c",
             LOOP.format(call=call), str(n)],
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
            small, large = instructions(call, CALLS), instructions(call, 6 * CALLS)
            rows.append([label, f"{(large - small) / (5 * CALLS):.0f}"])
        table("Instructions per call (callgrind, 1x1 host array)", ["call", "instructions"], rows)
    else:
        print("valgrind not found: instructions not measured")
    table("Built modules", ["module", "file bytes", "text", "data"], module_sizes())


if __name__ == "__main__":
    main()
