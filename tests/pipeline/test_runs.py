"""Batch runs: the same outputs one after another, overlapped and on a Dask cluster; nothing lost on failures."""

import json
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


@pytest.mark.parametrize("ext, stored", [(".png", None), (".PNG", None), (".tif", None), (".webp", np.uint8),
                                         (".bmp", np.uint8), (".jpg", np.uint8), (".JPG", np.uint8),
                                         (".exr", np.float16)])
def test_each_file_keeps_its_depth_where_the_output_format_stores_it(tmp_path, ext, stored):
    y, x = np.mgrid[0:24, 0:32]
    picture = np.dstack([x * 8, y * 10, x * y]).astype(np.float64) / 1000 + 0.2
    sources = {"eight.png": np.rint(picture * 255).astype(np.uint8),
               "sixteen.png": np.rint(picture * 65535).astype(np.uint16)}
    for name, data in sources.items():
        cv2.imwrite(str(tmp_path / name), data)
    out = tmp_path / "out"
    report = run([str(tmp_path / name) for name in sources], str(out), "resize:16x", ext=ext, threads=1,
                 progress=False)
    assert len(report["written"]) == 2, report["failed"]
    for name, data in sources.items():
        path = str(out / (os.path.splitext(name)[0] + ext))
        if ext == ".exr":
            from zemvara.io.picload import picload

            written = cp_asnumpy(picload(path, "keep"))
        else:
            written = cv2.imread(path, cv2.IMREAD_UNCHANGED)
        assert written.dtype == (stored or data.dtype) and written.shape == (12, 16, 3)
        scale = {np.dtype(np.uint8): 255, np.dtype(np.uint16): 65535}.get(written.dtype, 1)
        expected = cv2.resize(picture.astype(np.float32), (16, 12), interpolation=cv2.INTER_AREA)
        assert np.abs(written / scale - expected).max() < 0.1      # scaled (JPEG: lossy), not truncated to 0, 1


def cp_asnumpy(array):
    import cupy as cp

    return cp.asnumpy(array)


def test_inputs_as_bytes_and_relative_paths_reach_cluster_workers(folder, reference, tmp_path, cluster, frames,
                                                                  monkeypatch):
    root, _ = folder
    monkeypatch.chdir(tmp_path)              # the workers were started in another folder
    os.symlink(root, "in")
    frames.prepare_out("out")
    report = run([b"in"], "out", frames.STEPS, scheduler=cluster.scheduler_address, progress=False)
    assert inputs(report, "written") == sorted(os.path.join("in", rel) for rel in folder[1])
    assert all(entry["output"].startswith("out/") for entry in report["written"])
    assert frames.outputs("out") == reference[1]
    with pytest.raises(TypeError, match="str, bytes or os.PathLike"):
        run([3], "out")


def test_fifos_fail_alone_without_being_opened(tmp_path):
    (tmp_path / "in").mkdir()
    cv2.imwrite(str(tmp_path / "in" / "good.png"), np.zeros((4, 4, 3), np.uint8))
    os.mkfifo(tmp_path / "in" / "pipe.png")
    os.mkfifo(tmp_path / "named")
    os.mkdir(tmp_path / "out")
    os.mkfifo(tmp_path / "out" / "good.png")                    # an output that would block its writer
    report = run([str(tmp_path / "in"), str(tmp_path / "named")], str(tmp_path / "out2"), threads=1, progress=False)
    assert inputs(report, "written") == [str(tmp_path / "in" / "good.png")]
    assert [f["input"] for f in report["failed"]] == [str(tmp_path / "in" / "pipe.png"), str(tmp_path / "named")]
    assert all(f["error"].startswith("OSError: not a regular file") for f in report["failed"])
    blocked = run([str(tmp_path / "in" / "good.png")], str(tmp_path / "out"), threads=1, progress=False)
    assert "is not a regular file" in blocked["failed"][0]["error"]


def test_a_killed_runs_temporaries_are_removed_and_a_running_writers_kept(folder, tmp_path, frames):
    root, good = folder
    out = tmp_path / "out"
    (out / "a").mkdir(parents=True)
    dead = out / "a" / f".{os.path.basename(good[1])}.999999999-1-65f0a1b2.tmp"     # no such process
    alive = out / "a" / f".{os.path.basename(good[1])}.{os.getppid()}-1-65f0a1b2.tmp"
    stranger = out / ".notes.txt.999999999-1-65f0a1b2.tmp"                         # no output of this run
    for path in (dead, alive, stranger):
        path.write_bytes(b"partial")
    run([os.path.join(root, good[1])], str(out / "a"), threads=1, progress=False)
    assert not dead.exists() and alive.exists() and stranger.exists()


def test_an_in_place_conversion_can_be_resumed(tmp_path):
    pngs = [f"shot{i}.png" for i in range(5)]
    for i, name in enumerate(pngs):
        cv2.imwrite(str(tmp_path / name), np.full((6, 8, 3), 40 * i, np.uint8))
    with pytest.raises(KeyboardInterrupt):
        run([str(tmp_path)], str(tmp_path), [InterruptAfter(2)], ext=".tif", threads=1, progress=False)
    with pytest.raises(Exception, match="replace an input"):
        run([str(tmp_path)], str(tmp_path), ext=".tif", threads=1, progress=False)   # a new run still refuses
    report = run([str(tmp_path)], str(tmp_path), ext=".tif", resume=True, threads=1, progress=False)
    assert len(report["skipped"]) == 2 and not report["pending"]
    assert sorted(os.listdir(tmp_path)) == sorted(pngs + [name.replace(".png", ".tif") for name in pngs])


def test_an_interrupted_run_reports_what_was_done(folder, tmp_path, frames):
    from zemvara.pipeline import Interrupted

    root, good = folder
    out = str(tmp_path / "out")
    with pytest.raises(Interrupted) as stopped:
        run([root], out, [InterruptAfter(5)], threads=4, progress=False, report=str(tmp_path / "r.json"))
    report = stopped.value.report
    assert json.load(open(tmp_path / "r.json")) == report
    done = inputs(report, "written") + [f["input"] for f in report["failed"]]
    assert len(report["written"]) >= 5 and sorted(done + report["pending"]) == sorted(
        os.path.join(root, rel) for rel in good + list(frames.CORRUPT) + [frames.UNWRITABLE])
    assert sorted(frames.outputs(out)) == sorted(os.path.relpath(p, root) for p in inputs(report, "written"))


def test_files_a_cluster_finished_after_ctrl_c_are_reported_written(tmp_path, monkeypatch):
    """The workers finish the files in hand after Ctrl-C reaches this process: those outputs are "written";
    an output that stood there before the run is not."""
    from zemvara.pipeline import Interrupted, execution

    for name in ("a", "b", "c"):
        cv2.imwrite(str(tmp_path / f"{name}.png"), np.zeros((4, 4, 3), np.uint8))
    out = tmp_path / "out"
    out.mkdir()
    (out / "c.png").write_bytes(b"from an earlier run")
    os.utime(out / "c.png", (0, 0))

    def workers_finish_one_then_stop(workers, run_on):
        (out / "a.png").write_bytes(b"written by a worker")
        raise KeyboardInterrupt

    monkeypatch.setattr(execution, "_local", workers_finish_one_then_stop)
    with pytest.raises(Interrupted) as stopped:
        run([str(tmp_path / n) for n in ("a.png", "b.png", "c.png")], str(out), workers=1, progress=False)
    report = stopped.value.report
    assert inputs(report, "written") == [str(tmp_path / "a.png")]
    assert report["pending"] == [str(tmp_path / "b.png"), str(tmp_path / "c.png")]
