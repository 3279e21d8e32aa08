"""Files in groups (`run(..., batch=N)`, `zemvara run --batch N`): the file-by-file outputs and report, fewer launches."""

import cupy as cp
import pytest

from test_runs import no_temporaries, same_report
from zemvara.pipeline import Resize, Warp, run


def launches():
    log = getattr(cp, "_hostdevice", None)
    return log.launch_count() if log else 0


@pytest.mark.parametrize("threads", [1, 3])
def test_batches_write_the_file_by_file_bytes_and_report(folder, tmp_path, frames, threads):
    """Mixed formats, depths and channel counts, corrupt inputs and an unwritable output in the batches."""
    root, _ = folder
    reference_out = frames.prepare_out(str(tmp_path / "reference"))
    before = launches()
    reference = run([root], reference_out, frames.STEPS, threads=1, progress=False)
    one_by_one = launches() - before
    out = frames.prepare_out(str(tmp_path / "out"))
    before = launches()
    report = run([root], out, frames.STEPS, threads=threads, batch=4, progress=False)
    assert same_report(report, out, reference, reference_out)
    assert frames.outputs(out) == frames.outputs(reference_out)
    assert no_temporaries(out)
    if hasattr(cp, "_hostdevice"):
        assert launches() - before < one_by_one


def eight_bit_only(image):
    if image.dtype.itemsize > 1:
        raise ValueError("8-bit images only")
    return image * 1


def test_warp_steps_and_callables_run_over_the_batch(folder, tmp_path, frames):
    """A callable that fails some images spoils their batches, which then run file by file."""
    root, _ = folder
    steps = [Warp([[0.5, 0.1, 2.0], [-0.1, 0.5, 1.0]], (20, 16)), Resize((None, 12)), eight_bit_only]
    outs = [frames.prepare_out(str(tmp_path / name)) for name in ("one", "batched")]
    reports = [run([root], out, steps, threads=1, batch=size, progress=False) for out, size in zip(outs, (None, 5))]
    assert same_report(reports[1], outs[1], reports[0], outs[0])
    assert frames.outputs(outs[1]) == frames.outputs(outs[0])
    assert any("8-bit images only" in entry["error"] for entry in reports[1]["failed"])


def test_batch_must_be_positive(folder, tmp_path):
    from zemvara.pipeline import UsageError

    with pytest.raises(UsageError, match="batch"):
        run([folder[0]], str(tmp_path / "out"), "resize:8x8", batch=0, progress=False)


def test_the_command_line_takes_batch(tmp_path, monkeypatch, frames):
    click_testing = pytest.importorskip("click.testing")
    from zemvara.pipeline.cli import main

    monkeypatch.chdir(tmp_path)
    frames.make_folder("in", 5)
    results = [click_testing.CliRunner().invoke(main, ["run", "in", "--out", out, "--no-progress", *extra])
               for out, extra in (("one", []), ("batched", ["--batch", "3"]))]  # fmt: skip
    assert [r.exit_code for r in results] == [results[0].exit_code] * 2, results[1].output
    assert frames.outputs("batched") == frames.outputs("one")
    assert click_testing.CliRunner().invoke(main, ["run", "in", "--out", "x", "--batch", "0"]).exit_code == 2
