"""Batch runs: the same outputs one after another, overlapped and on a Dask cluster; nothing lost on failures."""

import os
import signal
import threading
import time

import cv2
import numpy as np
import pytest

from zemvara.pipeline import Pipeline, run
from zemvara.pipeline.paths import is_temporary


def no_temporaries(out):
    return [n for _, _, names in os.walk(out) for n in names if is_temporary(n)] == []


def inputs(report, status):
    return sorted(entry["input"] for entry in report[status])


def same_report(report, out, reference, reference_out):
    """Whether two runs into different folders reported the same (outputs and errors name their folder)."""
    def neutral(r, folder):
        return {status: [entry if isinstance(entry, str) else
                         {k: v.replace(folder, "OUT") if isinstance(v, str) else v for k, v in entry.items()}
                         for entry in entries] for status, entries in r.items()}

    return neutral(report, out) == neutral(reference, reference_out)


def expected_failures(root, frames):
    return sorted([os.path.join(root, rel) for rel in frames.CORRUPT] + [os.path.join(root, frames.UNWRITABLE)])


@pytest.fixture(scope="module")
def reference(folder, tmp_path_factory, frames):
    """The serial run's report and outputs: what every other way must reproduce byte for byte."""
    root, _ = folder
    out = frames.prepare_out(str(tmp_path_factory.mktemp("serial")))
    report = run([root], out, frames.STEPS, threads=1, progress=False)
    return report, frames.outputs(out), out


def test_serial_run_reports_exactly_the_bad_files(folder, reference, frames):
    root, good = folder
    report, written, _ = reference
    assert inputs(report, "written") == [os.path.join(root, rel) for rel in good]
    assert all(e["output"] == os.path.join(reference[2], os.path.relpath(e["input"], root)) for e in report["written"])
    assert report["skipped"] == []
    assert sorted(f["input"] for f in report["failed"]) == expected_failures(root, frames)
    assert set(written) == set(good)                       # the unwritable output's place holds only its folder
    errors = {f["input"]: f["error"] for f in report["failed"]}
    assert errors[os.path.join(root, "a/empty.png")].startswith("RuntimeError: Failed to read image")
    assert errors[os.path.join(root, frames.UNWRITABLE)].startswith("IsADirectoryError")


@pytest.mark.parametrize("way", ["overlapped", "cluster"])
def test_other_ways_write_identical_bytes(way, folder, reference, tmp_path, frames, request):
    root, _ = folder
    out = frames.prepare_out(str(tmp_path / "out"))
    if way == "overlapped":
        report = run([root], out, frames.STEPS, threads=4, progress=False)
    else:
        cluster = request.getfixturevalue("cluster")
        report = run([root], out, frames.STEPS, scheduler=cluster.scheduler_address, progress=False)
    assert same_report(report, out, reference[0], reference[2])
    assert frames.outputs(out) == reference[1]
    assert no_temporaries(out)


def test_killed_worker_loses_no_file(folder, reference, tmp_path, cluster, frames):
    from distributed import Client

    root, good = folder
    out = frames.prepare_out(str(tmp_path / "out"))
    result = {}
    runner = threading.Thread(target=lambda: result.update(
        run([root], out, frames.STEPS, scheduler=cluster.scheduler_address, progress=False)))
    with Client(cluster.scheduler_address) as client:
        pids = client.run(os.getpid)
        runner.start()
        deadline = time.monotonic() + 60
        while not any(client.processing().values()) and time.monotonic() < deadline:
            time.sleep(0.01)
        busy = next(w for w, tasks in client.processing().items() if tasks)
        assert runner.is_alive()
        os.kill(pids[busy], signal.SIGKILL)
        runner.join(120)
        client.wait_for_workers(2, timeout=60)              # the nanny restarts it for later tests
        assert pids[busy] not in client.run(os.getpid).values()
    assert same_report(result, out, reference[0], reference[2])
    assert frames.outputs(out) == reference[1]
    assert no_temporaries(out)


class InterruptAfter:
    """A step that passes `count` images through, then interrupts the run as Ctrl-C would."""

    def __init__(self, count):
        self.left = count

    def __call__(self, image):
        self.left -= 1
        if self.left < 0:
            raise KeyboardInterrupt
        return image


def test_resume_writes_only_what_is_missing(folder, reference, tmp_path, frames):
    root, good = folder
    out = frames.prepare_out(str(tmp_path / "out"))
    steps = Pipeline.of(frames.STEPS)
    with pytest.raises(KeyboardInterrupt):
        run([root], out, Pipeline(steps.steps + (InterruptAfter(10),)), threads=1, progress=False)
    assert no_temporaries(out)
    first = frames.outputs(out)
    assert len(first) == 10 and all(reference[1][rel] == data for rel, data in first.items())
    truncated = sorted(first)[0]
    with open(os.path.join(out, truncated), "r+b") as f:
        f.truncate(len(first[truncated]) // 2)

    report = run([root], out, frames.STEPS, resume=True, threads=4, progress=False)
    kept = sorted(os.path.join(root, rel) for rel in first if rel != truncated)
    assert inputs(report, "skipped") == kept
    assert inputs(report, "written") == sorted(set(os.path.join(root, rel) for rel in good) - set(kept))
    assert sorted(f["input"] for f in report["failed"]) == expected_failures(root, frames)
    assert frames.outputs(out) == reference[1]


def engines_loaded(path):
    """How many EngineZoom instances this process holds for the engine file `path`."""
    from zemvara.pipeline import steps

    return [key[0] for key in steps._engines].count(path)


# the cluster's workers find the TensorRT stand-in on the host device's path
@pytest.mark.parametrize("way", ["overlapped", pytest.param("cluster", marks=pytest.mark.host_only)])
def test_upscale_step_matches_serial_with_one_engine_per_process(way, folder, tmp_path, frames, request):
    from tensorrt import engines

    from zemvara.pipeline import Convert, Resize, Upscale

    root, good = folder
    engine = engines.write(str(tmp_path / "x2.engine"), engines.engine((1, 3, -1, -1), factor=2, filter="bilinear"))
    # 40 x 30 frames in 24 x 24 tiles: every frame is tiled and blended
    pipeline = [Resize((40, 30)), Upscale(engine, tile=24, overlap=4), Convert("uint16")]
    inputs = [os.path.join(root, rel) for rel in good[:8]]
    serial = run(inputs, str(tmp_path / "serial"), pipeline, threads=1, progress=False)
    out = str(tmp_path / way)
    if way == "cluster":
        from distributed import Client

        address = request.getfixturevalue("cluster").scheduler_address
        report = run(inputs, out, pipeline, scheduler=address, progress=False)
        with Client(address) as client:
            assert max(client.run(engines_loaded, os.path.abspath(engine)).values()) == 1
    else:
        report = run(inputs, out, pipeline, threads=4, progress=False)
        assert engines_loaded(os.path.abspath(engine)) == 1
    assert same_report(report, out, serial, str(tmp_path / "serial")) and len(report["written"]) == 8
    written = frames.outputs(out)
    assert written == frames.outputs(str(tmp_path / "serial"))
    png = next(data for name, data in sorted(written.items()) if name.endswith(".png"))
    first = cv2.imdecode(np.frombuffer(png, np.uint8), cv2.IMREAD_UNCHANGED)
    assert first.shape[:2] == (60, 80) and first.dtype == np.uint16
