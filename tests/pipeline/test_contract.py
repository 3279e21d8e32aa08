"""Step contracts: the road converts around a step as its contract says, on every way it runs a file."""

import threading

import cupy as cp
import cv2
import numpy as np
import pytest

from zemvara.pipeline import KEPT, Contract, Pipeline, UsageError, run


def picture(dtype):
    """A smooth 3-channel picture, 18 x 24, at the full scale of `dtype`."""
    y, x = np.mgrid[0:18, 0:24]
    unit = np.dstack([x / 23, y / 17, 0.5 + 0.4 * np.sin(x * y / 40)])
    return np.rint(unit * np.iinfo(dtype).max).astype(dtype)


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
@pytest.mark.parametrize("extra", [[], ["--batch", "2"]])
def test_an_upscaled_file_is_the_float_picture_at_its_own_depth(tmp_path, monkeypatch, dtype, extra):
    """The engine sees 0..1 floats whatever the file's depth, and the result comes back to that depth."""
    from click.testing import CliRunner
    from tensorrt import engines

    from zemvara.pipeline.cli import main
    from zemvara.upscale.enginezoom import EngineZoom
    from zemvara.utils import dtypes

    monkeypatch.chdir(tmp_path)
    engine = engines.write("x2.engine", engines.engine((1, 3, -1, -1), factor=2, filter="bilinear"))
    (tmp_path / "in").mkdir()
    for name in ("a.png", "b.png"):
        cv2.imwrite(f"in/{name}", picture(dtype))
    done = CliRunner().invoke(main, ["run", "in", "--out", "out", "--steps", f"upscale:{engine}", "--no-progress",
                                     *extra])  # fmt: skip
    assert done.exit_code == 0, done.output
    floats = EngineZoom(model_path=engine).get(dtypes.to_float32(cp.asarray(picture(dtype))))
    expected = cp.asnumpy(getattr(dtypes, "to_" + np.dtype(dtype).name)(floats))
    for name in ("a.png", "b.png"):
        written = cv2.imread(f"out/{name}", cv2.IMREAD_UNCHANGED)
        assert written.dtype == dtype and written.shape == (36, 48, 3)
        assert np.abs(written.astype(np.int64) - expected).max() <= 1


def unit_floats_halved(image):
    assert image.dtype == cp.float32 and float(image.max()) <= 1.0
    return image * 0.5


def listed_halved(images):
    listed_halved.calls += 1
    return [unit_floats_halved(image) for image in images]


listed_halved.calls = 0
unit_floats_halved.contract = Contract(takes="float32", gives=KEPT, over_list=listed_halved)


@pytest.mark.parametrize("batch", [None, 3])
def test_a_callable_declares_what_it_takes_and_gives(tmp_path, monkeypatch, batch):
    monkeypatch.setattr(listed_halved, "calls", 0)
    for dtype in (np.uint8, np.uint16):
        cv2.imwrite(str(tmp_path / f"{np.dtype(dtype).name}.png"), picture(dtype))
    report = run([str(tmp_path / n) for n in ("uint8.png", "uint16.png")], str(tmp_path / "out"),
                 [unit_floats_halved, "resize:12x9"], batch=batch, progress=False)  # fmt: skip
    assert len(report["written"]) == 2, report["failed"]
    assert listed_halved.calls == (batch is not None)  # a batch goes through the list call once
    for dtype in (np.uint8, np.uint16):
        written = cv2.imread(str(tmp_path / "out" / f"{np.dtype(dtype).name}.png"), cv2.IMREAD_UNCHANGED)
        halved = cv2.resize(picture(dtype) / 2, (12, 9), interpolation=cv2.INTER_AREA)
        assert written.dtype == dtype and np.abs(written - halved).max() <= 1


@pytest.mark.parametrize("contract", [dict(takes=("int8",)), dict(takes=()), dict(takes=5), dict(gives="float64")])
def test_malformed_contracts_are_usage_errors(contract):
    with pytest.raises(UsageError, match="a contract"):
        Contract(**contract)

    def step(image):
        return image

    step.contract = "float32 only"
    with pytest.raises(UsageError, match="not a Contract"):
        Pipeline.of([step])


def test_each_thread_has_its_own_stream():
    from zemvara.pipeline.work import stream

    seen = []
    threads = [threading.Thread(target=lambda: seen.append((stream(), stream()))) for _ in range(2)]
    for thread in threads:
        thread.start()
        thread.join()
    assert [a is b for a, b in seen] == [True, True] and seen[0][0] is not seen[1][0]


@pytest.mark.parametrize("channels", [None, 4])
def test_an_upscaled_grey_or_alpha_file_keeps_its_channels(tmp_path, channels):
    """The engine sees three channels; grey comes back grey and alpha is resized beside the colour."""
    from tensorrt import engines

    from zemvara.pipeline import Upscale

    engine = engines.write(str(tmp_path / "x2.engine"), engines.engine((1, 3, -1, -1), factor=2, filter="bilinear"))
    image = picture(np.uint8)
    image = image[:, :, 1] if channels is None else np.dstack([image, np.full(image.shape[:2], 200, np.uint8)])
    cv2.imwrite(str(tmp_path / "a.png"), image)
    assert run([tmp_path / "a.png"], tmp_path / "out", [Upscale(engine)], progress=False)["failed"] == []
    written = cv2.imread(str(tmp_path / "out" / "a.png"), cv2.IMREAD_UNCHANGED)
    assert written.shape == (36, 48) + (() if channels is None else (4,))
    assert channels is None or np.abs(written[:, :, 3].astype(int) - 200).max() <= 1
