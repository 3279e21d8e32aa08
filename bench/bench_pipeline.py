"""Batch throughput: 200 generated 512x512 PNG files through load -> resize -> store, three ways.

- a plain serial loop over picload, resize and picstore;
- zemvara.pipeline.run in one process, overlapped (a thread per file in flight);
- zemvara.pipeline.run on a local Dask cluster of 2 worker processes.

Each way runs in a fresh interpreter, so that its peak resident memory (the
kernel's high-water mark, VmHWM) is its own; the cluster's figure is the
driver's plus each worker's. Files per second count the run alone: imports,
kernel builds (one warm-up file) and the cluster's start are outside it, and
shown as the set-up time.
"""

import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from timing import table

COUNT, SIDE, TARGET = 200, 512, (256, 256)
WORKERS = 2
HERE = Path(__file__).resolve().parent


def peak_rss_mib():
    """This process's peak resident memory, MiB."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def make_inputs(folder):
    import cv2

    rng = np.random.default_rng(0)
    y, x = np.mgrid[0:SIDE, 0:SIDE] / SIDE
    for i in range(COUNT):
        planes = [x, y, 0.5 + 0.5 * np.sin(12 * x * y + i)]
        picture = np.stack(planes, axis=-1) * 255 + rng.uniform(0, 8, (SIDE, SIDE, 3))
        cv2.imwrite(str(Path(folder, f"frame{i:03d}.png")), np.clip(picture, 0, 255).astype(np.uint8))


def way_serial(inputs, out):
    from zemvara.io.picload import picload
    from zemvara.io.picstore import picstore
    from zemvara.transform.resize import resize

    def one(path):
        picstore(os.path.join(out, os.path.basename(path)), resize(picload(path), TARGET))

    one(inputs[0])  # warm-up: kernels built
    _marks["setup"] = start = time.perf_counter()
    for path in inputs:
        one(path)
    return time.perf_counter() - start, {"driver": peak_rss_mib()}


def way_overlapped(inputs, out):
    from zemvara.pipeline import Resize, run

    steps = [Resize(TARGET)]
    run(inputs[:1], out, steps, progress=False)
    _marks["setup"] = start = time.perf_counter()
    report = run(inputs, out, steps, progress=False)
    assert len(report["written"]) == COUNT, report["failed"][:3]
    return time.perf_counter() - start, {"driver": peak_rss_mib()}


def way_cluster(inputs, out):
    from distributed import Client

    from zemvara.pipeline import Resize, run
    from zemvara.pipeline.cluster import local_cluster

    steps = [Resize(TARGET)]
    with local_cluster(WORKERS) as cluster, Client(cluster) as client:
        run(inputs[:2 * WORKERS], out, steps, scheduler=cluster.scheduler_address, progress=False)
        _marks["setup"] = start = time.perf_counter()
        report = run(inputs, out, steps, scheduler=cluster.scheduler_address, progress=False)
        elapsed = time.perf_counter() - start
        assert len(report["written"]) == COUNT, report["failed"][:3]
        workers = client.run(peak_rss_mib)
    return elapsed, {"driver": peak_rss_mib(), **{f"worker {i + 1}": v for i, v in enumerate(workers.values())}}


_marks = {"start": time.perf_counter()}

WAYS = {"serial loop": way_serial, "overlapped, 1 process": way_overlapped,
        f"Dask LocalCluster, {WORKERS} workers": way_cluster}


def child(way, folder, out):
    inputs = sorted(str(p) for p in Path(folder).iterdir())
    os.makedirs(out, exist_ok=True)
    elapsed, rss = WAYS[way](inputs, out)
    print(json.dumps({"elapsed": elapsed, "rss": rss, "setup": _marks["setup"] - _marks["start"]}))


def main():
    env = dict(os.environ)
    if env.get("ZEMVARA_DEVICE") != "gpu":
        env["PYTHONPATH"] = os.pathsep.join([str(HERE.parent / "hostdevice"), *filter(None, [env.get("PYTHONPATH")])])
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp, "in")
        folder.mkdir()
        make_inputs(folder)
        for i, way in enumerate(WAYS):
            if "Dask" in way:
                try:
                    import distributed  # noqa: F401
                except ImportError:
                    rows.append([way, "-", "-", "-", "(Dask not installed)"])
                    continue
            result = subprocess.run([sys.executable, __file__, "--child", way, str(folder), str(Path(tmp, f"out{i}"))],
                                    env=env, capture_output=True, text=True)
            if result.returncode != 0:
                raise RuntimeError(f"{way} failed:\n{result.stderr[-3000:]}")
            data = json.loads(result.stdout.strip().splitlines()[-1])
            rss = data["rss"]
            detail = " + ".join(f"{name} {mib:.0f}" for name, mib in rss.items()) if len(rss) > 1 else ""
            rows.append([way, f"{COUNT / data['elapsed']:.1f}", f"{sum(rss.values()):.0f}", f"{data['setup']:.1f}",
                         detail])
    table(f"{COUNT} PNG files of {SIDE}x{SIDE}: load -> resize to {TARGET[0]}x{TARGET[1]} -> store "
          f"({os.cpu_count()} CPUs)", ["way", "files/s", "peak RSS MiB", "set-up s", "RSS of each process"], rows)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        sys.path.insert(0, str(HERE))
        child(*sys.argv[2:5])
    else:
        main()
