"""Batch throughput: the road against the loop a user would write, and the road's three ways.

1. Against a plain OpenCV loop (imread -> resize INTER_AREA -> imwrite), one
   thread each, the same files in the same process, alternating rounds (best
   of three): 60 8-bit 512x512 PNGs halved to PNG, 60 JPEG photographs
   (1024x768) to 256 pixels wide JPEG, 60 16-bit 512x512 TIFFs halved to
   TIFF. The road writes with PNG compression level 3, JPEG quality 95 and
   TIFF LZW; the loop once with OpenCV's defaults and once with those same
   settings. Per file, where the time goes: read, resize, write, for each.
   `--camera`: 40 camera-sized JPEGs (4000x3000) to thumbnails that fit in
   512 x 512, JPEG quality 95: the road (JPEG shrink-on-load, and decoding
   whole), a plain OpenCV loop and a Pillow `thumbnail()` script, each in a
   fresh interpreter, so that its peak resident memory is its own.
2. 200 generated 512x512 PNG files through load -> resize -> store, three
   ways: a plain serial loop over picload, resize and picstore;
   zemvara.pipeline.run in one process, overlapped; on a local Dask cluster of
   2 worker processes. Each way runs in a fresh interpreter, so that its peak
   resident memory (VmHWM) is its own; the cluster's figure is the driver's
   plus each worker's. Files per second count the run alone: imports, kernel
   builds (one warm-up file) and the cluster's start are outside it, shown as
   the set-up time.

`--interruptions` runs instead a check that takes minutes: 1,000 small files
through `zemvara run`, stopped three times at a random moment (Ctrl-C, a
killed process, Ctrl-C) and resumed each time; the outputs must equal an
uninterrupted run's byte for byte, with no temporary left under the output
folder.
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
    """This process's peak resident memory, MiB (defined here, not taken from timing.py, so that
    Dask ships it to the workers by value: they cannot import the benchmarks' modules)."""
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


# ----- 1. the road against the OpenCV loop --------------------------------------------

ROUNDS, FILES = 3, 60


def _picture(rng, height, width, i):
    y, x = np.mgrid[0:height, 0:width] / max(height, width)
    planes = [x, y, 0.5 + 0.5 * np.sin(12 * x * y + i)]
    return np.clip(np.stack(planes, axis=-1) + rng.uniform(0, 0.03, (height, width, 3)), 0, 1)


def make_workloads(folder):
    """{name: (input paths, extension, steps, (width, height) of the outputs, OpenCV's write options)}."""
    import cv2

    rng = np.random.default_rng(1)
    made = {}
    kinds = [("8-bit PNG 512 -> 256 PNG", ".png", (512, 512), np.uint8, "resize:256x256", (256, 256),
              [cv2.IMWRITE_PNG_COMPRESSION, 3], {"compression": 3}),
             ("JPEG photo 1024x768 -> 256 wide JPEG", ".jpg", (1024, 768), np.uint8, "fit:256x256", (256, 192),
              [cv2.IMWRITE_JPEG_QUALITY, 95], {"quality": 95}),
             ("16-bit TIFF 512 -> 256 TIFF", ".tif", (512, 512), np.uint16, "resize:256x256", (256, 256),
              [cv2.IMWRITE_TIFF_COMPRESSION, 5], {})]
    for n, (name, ext, (width, height), dtype, steps, target, same, store) in enumerate(kinds):
        sub = Path(folder, f"in{n}")
        sub.mkdir()
        scale = np.iinfo(dtype).max
        for i in range(FILES):
            picture = np.rint(_picture(rng, height, width, i) * scale).astype(dtype)
            cv2.imwrite(str(sub / f"f{i:02d}{ext}"), picture, [cv2.IMWRITE_JPEG_QUALITY, 90] if ext == ".jpg" else [])
        made[name] = (sorted(str(p) for p in sub.iterdir()), ext, steps, target, same, store)
    return made


def child_against_opencv(folder, out):
    import cv2

    from zemvara.io.picload import picload
    from zemvara.io.picstore import picstore
    from zemvara.pipeline import run
    from zemvara.pipeline.steps import Load, Store
    from zemvara.transform.resize import resize

    cv2.setNumThreads(1)
    results = {}
    for n, (name, (inputs, ext, steps, target, same, store)) in enumerate(make_workloads(folder).items()):
        def opencv(options, dest):
            os.makedirs(dest, exist_ok=True)
            for path in inputs:
                image = cv2.imread(path, cv2.IMREAD_UNCHANGED)
                small = cv2.resize(image, target, interpolation=cv2.INTER_AREA)
                cv2.imwrite(os.path.join(dest, os.path.basename(path)), small, options)

        def road(dest):
            report = run(inputs, dest, [*steps.split(","), Store(**store)], threads=1, progress=False)
            assert len(report["written"]) == len(inputs), report["failed"][:2]

        ways = {"OpenCV loop, its defaults": lambda d: opencv([], d),
                "OpenCV loop, same settings": lambda d: opencv(same, d), "zemvara run": road}
        road(os.path.join(out, "warm"))                              # kernels built, modules imported
        best = dict.fromkeys(ways, float("inf"))
        for r in range(ROUNDS):
            for w, (way, fn) in enumerate(ways.items()):
                dest = os.path.join(out, f"{n}-{r}-{w}")
                start = time.perf_counter()
                fn(dest)
                best[way] = min(best[way], time.perf_counter() - start)
        # the road's output (the last way of the last round)
        written = cv2.imread(os.path.join(dest, os.path.basename(inputs[0])), cv2.IMREAD_UNCHANGED)
        # where a file's time goes: each stage alone, best of three over the files, ms per file
        stages = {}
        image = cv2.imread(inputs[0], cv2.IMREAD_UNCHANGED)
        small = cv2.resize(image, target, interpolation=cv2.INTER_AREA)
        gpu = picload(inputs[0], "native")
        gpu_small = resize(gpu, target)
        for stage, fn in {"cv2.imread": lambda p: cv2.imread(p, cv2.IMREAD_UNCHANGED),
                          "cv2.resize": lambda p: cv2.resize(image, target, interpolation=cv2.INTER_AREA),
                          "cv2.imwrite": lambda p: cv2.imwrite(os.path.join(out, "x" + ext), small),
                          "Load (header, decode, upload)": Load(),
                          "resize": lambda p: resize(gpu, target),
                          "picstore": lambda p: picstore(os.path.join(out, f"y{time.perf_counter_ns()}{ext}"),
                                                         gpu_small)}.items():
            fn(inputs[0])
            stages[stage] = 1e3 * min(_timed(fn, inputs[:20]) for _ in range(3)) / 20
        results[name] = {"files/s": {way: len(inputs) / t for way, t in best.items()},
                         "dtype": str(written.dtype), "stages": stages}
    print(json.dumps(results))


def _timed(fn, inputs):
    start = time.perf_counter()
    for path in inputs:
        fn(path)
    return time.perf_counter() - start


# ----- camera photographs to thumbnails ---------------------------------------------------

CAMERA, CAMERA_SIZE, THUMB, QUALITY = 40, (4000, 3000), (512, 512), 95


def make_camera(folder):
    import cv2

    rng = np.random.default_rng(4)
    y, x = np.mgrid[0 : CAMERA_SIZE[1] : 4, 0 : CAMERA_SIZE[0] : 4] / CAMERA_SIZE[0]
    for i in range(CAMERA):
        small = np.clip(np.stack([x, y, 0.5 + 0.5 * np.sin(20 * x * y + i)], axis=-1)
                        + rng.uniform(0, 0.04, x.shape + (3,)), 0, 1)  # fmt: skip
        picture = cv2.resize((small * 255).astype(np.uint8), CAMERA_SIZE, interpolation=cv2.INTER_CUBIC)
        cv2.imwrite(str(Path(folder, f"photo{i:02d}.jpg")), picture, [cv2.IMWRITE_JPEG_QUALITY, 90])


def camera_way(way, inputs, out):
    """One way over the camera photographs, after one warm-up file: (seconds, peak RSS MiB)."""
    import cv2

    cv2.setNumThreads(1)
    os.makedirs(out, exist_ok=True)
    if way.startswith("zemvara run"):
        from zemvara.pipeline import Fit, Load, Store, run

        steps = [Load(shrink="whole" not in way), Fit(THUMB), Store(quality=QUALITY)]

        def batch(paths):
            report = run(paths, out, steps, threads=1, progress=False)
            assert len(report["written"]) == len(paths), report["failed"][:2]
    elif way == "OpenCV loop":
        def batch(paths):
            for path in paths:
                image = cv2.imread(path)
                h, w = image.shape[:2]
                scale = min(THUMB[0] / w, THUMB[1] / h)
                small = cv2.resize(image, (round(w * scale), round(h * scale)), interpolation=cv2.INTER_AREA)
                cv2.imwrite(os.path.join(out, os.path.basename(path)), small, [cv2.IMWRITE_JPEG_QUALITY, QUALITY])
    else:
        from PIL import Image

        def batch(paths):
            for path in paths:
                with Image.open(path) as picture:
                    picture.thumbnail(THUMB)
                    picture.save(os.path.join(out, os.path.basename(path)), quality=QUALITY)
    batch(inputs[:1])
    start = time.perf_counter()
    batch(inputs)
    return time.perf_counter() - start, peak_rss_mib()


CAMERA_WAYS = ("zemvara run", "zemvara run, JPEG decoded whole", "OpenCV loop", "Pillow thumbnail()")


def camera(env):
    with tempfile.TemporaryDirectory() as tmp:
        Path(tmp, "in").mkdir()
        make_camera(Path(tmp, "in"))
        found = {}
        for round_ in range(ROUNDS):
            for i, way in enumerate(CAMERA_WAYS):
                result = subprocess.run([sys.executable, __file__, "--child", "camera:" + way, str(Path(tmp, "in")),
                                         str(Path(tmp, f"out{i}"))], env=env, capture_output=True, text=True)
                if result.returncode != 0:
                    raise RuntimeError(f"{way} failed:\n{result.stderr[-3000:]}")
                seconds, rss = json.loads(result.stdout.strip().splitlines()[-1])
                best = found.get(way, (float("inf"), 0.0))
                found[way] = (min(best[0], seconds), max(best[1], rss))
    rows = [[way, f"{CAMERA / seconds:.2f}", f"{found['OpenCV loop'][0] / seconds:.2f}",
             f"{found['Pillow thumbnail()'][0] / seconds:.2f}", f"{rss:.0f}"] for way, (seconds, rss) in found.items()]
    table(f"{CAMERA} JPEGs {CAMERA_SIZE[0]}x{CAMERA_SIZE[1]} to thumbnails inside {THUMB[0]}x{THUMB[1]}, quality "
          f"{QUALITY}, one thread each, best of {ROUNDS} rounds",
          ["way", "files/s", "ratio to OpenCV", "ratio to Pillow", "peak RSS MiB"], rows)


# ----- 2. the road's three ways -----------------------------------------------------------

_marks = {"start": time.perf_counter()}

WAYS = {"serial loop": way_serial, "overlapped, 1 process": way_overlapped,
        f"Dask LocalCluster, {WORKERS} workers": way_cluster}


def child(way, folder, out):
    if way == "against OpenCV":
        child_against_opencv(folder, out)
        return
    if way.startswith("camera:"):
        print(json.dumps(camera_way(way[len("camera:"):], sorted(str(p) for p in Path(folder).iterdir()), out)))
        return
    inputs = sorted(str(p) for p in Path(folder).iterdir())
    os.makedirs(out, exist_ok=True)
    elapsed, rss = WAYS[way](inputs, out)
    print(json.dumps({"elapsed": elapsed, "rss": rss, "setup": _marks["setup"] - _marks["start"]}))


def against_opencv(env):
    with tempfile.TemporaryDirectory() as tmp:
        Path(tmp, "out").mkdir()
        result = subprocess.run([sys.executable, __file__, "--child", "against OpenCV", tmp, str(Path(tmp, "out"))],
                                env=env, capture_output=True, text=True)
        if result.returncode != 0:
            raise RuntimeError(f"the comparison with OpenCV failed:\n{result.stderr[-3000:]}")
        data = json.loads(result.stdout.strip().splitlines()[-1])
    rows, stage_rows = [], []
    for name, entry in data.items():
        rate = entry["files/s"]
        road = rate["zemvara run"]
        rows.append([name, f"{rate['OpenCV loop, its defaults']:.1f}",
                     f"{rate['OpenCV loop, same settings']:.1f}",
                     f"{road:.1f}", f"{road / rate['OpenCV loop, its defaults']:.2f}",
                     f"{road / rate['OpenCV loop, same settings']:.2f}", entry["dtype"]])
        stage_rows.append([name] + [f"{ms:.2f}" for ms in entry["stages"].values()])
    table(f"zemvara run against a plain OpenCV loop, one thread each, {FILES} files, best of {ROUNDS} rounds (files/s)",
          ["workload", "OpenCV", "OpenCV, same settings", "road", "ratio", "ratio, same settings", "written"], rows)
    print()
    table("where a file's time goes (ms per file, each stage alone)",
          ["workload", *next(iter(data.values()))["stages"]], stage_rows)
    print()


# ----- interrupted and resumed runs end as an uninterrupted one ------------------------


def interruptions(env, count=1000, seed=None):
    import random
    import signal

    import cv2

    if env.get("ZEMVARA_DEVICE") != "gpu":
        sys.path.insert(0, str(HERE.parent / "hostdevice"))
    from zemvara.pipeline.paths import is_temporary

    rng = random.Random(seed)
    command = [sys.executable, "-m", "zemvara", "run", "in", "--steps", "resize:16x", "--no-progress"]
    with tempfile.TemporaryDirectory() as tmp:
        pictures = np.random.default_rng(3)
        for i in range(count):
            folder = Path(tmp, "in", f"part{i % 7}")
            folder.mkdir(parents=True, exist_ok=True)
            cv2.imwrite(str(folder / f"shot{i:04d}.png"), pictures.integers(0, 255, (24, 32, 3), dtype=np.uint8))
        start = time.perf_counter()
        subprocess.run(command + ["--out", "reference"], cwd=tmp, env=env, check=True, capture_output=True)
        whole = time.perf_counter() - start
        statuses, stranded = [], []
        for how in (signal.SIGINT, signal.SIGKILL, signal.SIGINT):
            run = subprocess.Popen(command + ["--out", "out", "--resume"], cwd=tmp, env=env, start_new_session=True,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
            time.sleep(rng.uniform(0.3, 0.9) * whole)
            os.killpg(run.pid, how)
            statuses.append(run.wait())
            stranded.append(sum(is_temporary(name) for _, _, names in os.walk(Path(tmp, "out")) for name in names))
        last = subprocess.run(command + ["--out", "out", "--resume"], cwd=tmp, env=env, capture_output=True, text=True)
        statuses.append(last.returncode)

        def contents(root):
            found = {}
            for folder, _, names in os.walk(Path(tmp, root)):
                for name in names:
                    found[os.path.relpath(os.path.join(folder, name), Path(tmp, root))] = Path(folder, name).read_bytes()
            return found

        reference, resumed = contents("reference"), contents("out")
        left = [name for name in resumed if is_temporary(os.path.basename(name))]
        same = sum(resumed.get(name) == data for name, data in reference.items())
    print(f"{count} files, an uninterrupted run {whole:.1f} s; stopped by SIGINT, SIGKILL, SIGINT and resumed: "
          f"exit statuses {statuses}; temporaries after each stop {stranded}; last run: "
          f"{last.stdout.strip().splitlines()[0]}")
    print(f"outputs identical to the uninterrupted run's: {same} of {len(reference)} "
          f"({len(resumed)} files under the output folder); temporaries left: {len(left)}")
    return same == len(reference) == len(resumed) and not left


def main():
    env = dict(os.environ)
    if env.get("ZEMVARA_DEVICE") != "gpu":
        env["PYTHONPATH"] = os.pathsep.join([str(HERE.parent / "hostdevice"), *filter(None, [env.get("PYTHONPATH")])])
    if "--interruptions" in sys.argv[1:]:
        sys.exit(0 if interruptions(env) else 1)
    if "--camera" in sys.argv[1:]:
        camera(env)
        return
    against_opencv(env)
    if "--against-opencv" in sys.argv[1:]:
        return
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
