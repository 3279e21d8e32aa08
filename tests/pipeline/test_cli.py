"""`zemvara run`: where outputs go, what it reports and prints, and its exit status."""

import json
import os
import subprocess
import sys

import cv2
import numpy as np
import pytest

from zemvara.pipeline import UsageError, plan

pytest.importorskip("tqdm")
CliRunner = pytest.importorskip("click.testing").CliRunner
from zemvara.pipeline.cli import main  # noqa: E402  (needs click)


@pytest.fixture
def small(tmp_path, monkeypatch, frames):
    """In tmp_path (the working folder): "in/" with 5 good images, 3 corrupt ones and locked.png."""
    monkeypatch.chdir(tmp_path)
    good = frames.make_folder("in", 5)
    return sorted(good + [frames.UNWRITABLE])


def invoke(*args):
    return CliRunner().invoke(main, ["run", *args])


@pytest.mark.parametrize("args", [
    ["in", "--out", "out", "--bogus"],
    ["in", "--out", "out", "--steps", "blur:3"],
    ["in", "--out", "out", "--steps", "resize:12"],
    ["in", "--out", "out", "--steps", "resize:0x12"],
    ["in", "--out", "out", "--steps", "convert:int8"],
    ["in", "--out", "out", "--steps", "upscale:missing.engine"],
    ["in", "--out", "out", "--steps", "resize:" + "7" * 5000 + "x4"],
    ["in", "--out", "out", "--steps", "fit:99999999x4"],
    ["in", "--out", "out", "--ext", ".EXR"],
    ["in", "--out", "out", "--report", "in/img00.png"],
    ["in", "--out", "out", "--report", "out/c/img03.PNG"],
    ["in", "--out", "out", "--ext", "."],
    ["in", "--out", "out", "--ext", "doc"],
    ["in", "--out", "out", "--workers", "0"],
    ["in", "--out", "out", "--workers", "2", "--scheduler", "tcp://127.0.0.1:8786"],
    ["--out", "out"],
    ["in"],
    ["in", "in/a", "--out", "out"],  # in/a/img01.jpg and in/img01.png... both to out/img01.png
], ids=lambda a: " ".join(a))
def test_usage_error_exits_2_with_a_message_and_writes_nothing(small, args):
    if args == ["in", "in/a", "--out", "out"]:
        with open("in/a/img00.png", "wb"):
            pass                                       # in/img00.png and in/a/img00.png both give out/img00.png
    result = invoke(*args)
    assert result.exit_code == 2, result.output
    assert "Error" in result.output and "Traceback" not in result.output
    assert not os.path.exists("out")


def test_run_maps_outputs_reports_inputs_as_typed_and_exits_1_on_failure(small, frames):
    result = invoke("in/", "in/a/img01.jpg", "--out", "out", "--ext", "tif", "--report", "logs/report.json",
                    "--steps", "convert:uint8")
    assert result.exit_code == 1, result.output
    report = json.load(open("logs/report.json"))
    typed = [(os.path.join("in/", rel), os.path.join("out", os.path.splitext(rel)[0] + ".tif")) for rel in small]
    assert sorted((e["input"], e["output"]) for e in report["written"]) == sorted(
        typed + [("in/a/img01.jpg", "out/img01.tif")])
    assert report["skipped"] == [] and report["pending"] == []
    assert sorted(f["input"] for f in report["failed"]) == sorted(os.path.join("in/", r) for r in frames.CORRUPT)
    written = sorted(os.path.relpath(os.path.join(d, n), "out") for d, _, ns in os.walk("out") for n in ns)
    assert written == sorted([os.path.splitext(rel)[0] + ".tif" for rel in small] + ["img01.tif"])
    lines = result.stdout.splitlines()
    assert lines[-4] == f"written {len(small) + 1}, skipped 0, failed 3"
    assert all(line.startswith("  failed: in/") for line in lines[-3:])
    assert "file/s" in result.stderr                      # the progress bar

    again = invoke("in/", "--out", "out", "--ext", ".tif", "--resume", "--no-progress", "--steps", "convert:uint8")
    assert again.exit_code == 1 and again.stderr == ""
    assert again.stdout.splitlines()[0] == f"written 0, skipped {len(small)}, failed 3"


def test_all_written_exits_0_and_dry_run_writes_nothing(small):
    dry = invoke("in/img00.png", "in/c", "--out", "out", "--dry-run")
    assert dry.exit_code == 0 and not os.path.exists("out")
    assert dry.stdout.splitlines() == ["in/img00.png -> out/img00.png", "in/c/img03.PNG -> out/img03.PNG"]
    result = invoke("in/img00.png", "in/c", "--out", "out", "--no-progress")
    assert result.exit_code == 0 and result.stdout.startswith("written 2, skipped 0, failed 0")
    # an upper-case extension gets the PNG rule too: the 8-bit input stays 8-bit
    assert cv2.imread("out/img03.PNG", cv2.IMREAD_UNCHANGED).dtype == np.uint8


def test_missing_input_fails_alone():
    jobs = plan(["no/such/folder"], "out")
    assert [(j.source, j.output, j.error is not None) for j in jobs] == [("no/such/folder", None, True)]


def test_plan_walks_readable_files_and_replaces_the_last_suffix(tmp_path):
    for rel in ["shot.v2.png", "UP.PNG", "notes.txt", "deep/er/x.Tiff", "out/old.png"]:
        (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / rel).write_bytes(b"")
    root = str(tmp_path)
    jobs = plan([root], os.path.join(root, "out"), ext="tif")    # the output folder inside the input is not read
    assert [(os.path.relpath(j.source, root), os.path.relpath(j.output, root)) for j in jobs] == [
        ("UP.PNG", "out/UP.tif"), ("shot.v2.png", "out/shot.v2.tif"), ("deep/er/x.Tiff", "out/deep/er/x.tif")]
    named_twice = plan([root, os.path.join(root, "UP.PNG")], os.path.join(root, "out"))
    assert len(named_twice) == 3
    with pytest.raises(UsageError, match="replace an input"):
        plan([os.path.join(root, "UP.PNG")], root)


def test_python_m_zemvara_runs_the_command_line(tmp_path):
    result = subprocess.run([sys.executable, "-m", "zemvara", "run", str(tmp_path), "--out", str(tmp_path / "o"),
                             "--steps", "sharpen:2"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 2 and "unknown step 'sharpen'" in result.stderr and "Traceback" not in result.stderr


def test_a_run_without_tensors_never_imports_pytorch(tmp_path):
    cv2.imwrite(str(tmp_path / "a.png"), np.full((40, 60, 3), 90, np.uint8))
    child = ("import runpy, sys\n"
             f"sys.argv = ['zemvara', 'run', {str(tmp_path / 'a.png')!r}, '--out', {str(tmp_path / 'o')!r},"
             " '--steps', 'resize:20x', '--ext', 'jpg', '--no-progress']\n"
             "try:\n    runpy.run_module('zemvara', run_name='__main__')\n"
             "except SystemExit as stop:\n    print(stop.code, 'torch' in sys.modules)\n")
    result = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, timeout=60)
    assert result.stdout.split()[-2:] == ["0", "False"], result.stdout + result.stderr


def test_report_is_written_whole_or_not_at_all(small, monkeypatch):
    from zemvara.pipeline import execution

    with open("report.json", "w") as f:
        f.write('{"previous": true}\n')

    def full_disk(report, f, **options):
        f.write('{"written": [')
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(execution.json, "dump", full_disk)
    result = invoke("in/c", "--out", "out", "--report", "report.json", "--no-progress")
    assert result.exit_code == 1 and "cannot write the report report.json" in result.output
    assert "Traceback" not in result.output and os.path.exists("out/img03.PNG")
    assert json.load(open("report.json")) == {"previous": True} and sorted(os.listdir(".")) == [
        "in", "out", "report.json"]


def test_ctrl_c_writes_the_report_says_how_to_resume_and_exits_130(small, monkeypatch):
    from zemvara.pipeline import steps

    def interrupted(self, image):
        raise KeyboardInterrupt

    monkeypatch.setattr(steps.Resize, "__call__", interrupted)
    result = invoke("in", "--out", "out", "--steps", "resize:8x6", "--report", "r.json", "--no-progress")
    assert result.exit_code == 130 and "Traceback" not in result.output and "Aborted" not in result.output
    assert "--resume to finish" in result.stderr
    report = json.load(open("r.json"))
    assert report["written"] == [] and len(report["pending"]) + len(report["failed"]) == len(small) + 3


def test_an_engine_that_does_not_load_fails_its_files_with_a_report(small):
    with open("junk.engine", "wb") as f:
        f.write(b"not an engine")
    result = invoke("in/c", "--out", "out", "--steps", "upscale:junk.engine", "--report", "r.json", "--no-progress")
    assert result.exit_code == 1 and "Traceback" not in result.output
    assert [entry["input"] for entry in json.load(open("r.json"))["failed"]] == ["in/c/img03.PNG"]


def test_workers_run_and_shut_down_quietly(small):
    pytest.importorskip("distributed")
    result = subprocess.run([sys.executable, "-m", "zemvara", "run", "in/c", "--out", "out", "--workers", "1",
                             "--no-progress"], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0 and result.stdout.startswith("written 1,")
    # distributed logs its warnings (a worker killed at shutdown, a task cancelled) as "... - WARNING - ..."
    assert "WARNING" not in result.stderr and "Traceback" not in result.stderr


def test_names_that_are_not_utf8_are_listed_with_escapes(tmp_path):
    (tmp_path / "in").mkdir()
    cv2.imwrite(str(tmp_path / "in" / "ok.png"), np.zeros((4, 4, 3), np.uint8))
    os.rename(tmp_path / "in" / "ok.png", os.path.join(os.fsencode(tmp_path), b"in", b"bad\xff.png"))
    result = subprocess.run([sys.executable, "-m", "zemvara", "run", "in", "--out", "out", "--dry-run"],
                            cwd=tmp_path, capture_output=True, timeout=120)
    assert result.returncode == 0 and result.stdout == b"in/bad\\xff.png -> out/bad\\xff.png\n"
