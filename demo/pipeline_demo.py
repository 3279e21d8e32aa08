"""Batch runs with zemvara.pipeline on a folder it generates: resize, upscale x2, write JPEG; resume; the CLI."""

import importlib.util
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import cv2
import numpy as np

ROOT = Path(__file__).resolve().parent.parent


def tensorrt_standin():
    """The TensorRT stand-in of hostdevice/, as `tensorrt` (its engine files are its own format)."""
    trt = sys.modules.get("tensorrt")
    if hasattr(trt, "engines"):
        return trt
    folder = ROOT / "hostdevice" / "tensorrt"
    spec = importlib.util.spec_from_file_location("tensorrt", folder / "__init__.py",
                                                  submodule_search_locations=[str(folder)])
    trt = sys.modules["tensorrt"] = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(trt)
    return trt


def make_folder(folder, count=12):
    """count smooth pictures in two sub-folders, and one file that is not an image at all."""
    y, x = np.mgrid[0:120, 0:160] / 160
    for i in range(count):
        path = folder / ("day1" if i % 2 else "day2") / f"shot{i:02d}.png"
        path.parent.mkdir(parents=True, exist_ok=True)
        picture = np.stack([x, y, 0.5 + 0.5 * np.sin(10 * x * y + i)], axis=-1)
        cv2.imwrite(str(path), (picture * 255).astype(np.uint8))
    (folder / "day1" / "broken.png").write_bytes(b"this is not a PNG")


def main():
    from zemvara.pipeline import Convert, Resize, Upscale, run
    from zemvara.pipeline.cli import summary

    trt = tensorrt_standin()
    print("zemvara.pipeline demo: a generated folder through resize -> upscale x2 -> uint8 -> JPEG")
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        make_folder(tmp / "frames")
        engine = trt.engines.write(str(tmp / "x2.engine"), trt.engines.engine((1, 3, -1, -1), factor=2,
                                                                                filter="bilinear"))
        steps = [Resize((80, 60)), Upscale(engine, tile=48, overlap=8), Convert("uint8")]

        start = time.perf_counter()
        report = run([str(tmp / "frames")], str(tmp / "out"), steps, ext=".jpg", progress=False)
        print(f"\n== run, overlapped in one process ({time.perf_counter() - start:.2f} s)")
        print(summary(report).replace(str(tmp) + os.sep, ""))
        first = sorted((tmp / "out").rglob("*.jpg"))[0]
        print(f"{first.relative_to(tmp)}: {cv2.imread(str(first)).shape} (60 x 80 upscaled in 48 x 48 tiles)")

        (tmp / "out" / "day2" / "shot00.jpg").unlink()
        report = run([str(tmp / "frames")], str(tmp / "out"), steps, ext=".jpg", resume=True, progress=False)
        print("\n== the same run with resume=True, after deleting one output")
        print(summary(report).replace(str(tmp) + os.sep, ""))

        print("\n== the command line: zemvara run frames --out small --steps resize:40x30 --ext tif --dry-run")
        cli = subprocess.run([sys.executable, "-m", "zemvara", "run", "frames", "--out", "small", "--steps",
                              "resize:40x30", "--ext", "tif", "--dry-run"], cwd=tmp, capture_output=True, text=True)
        lines = cli.stdout.splitlines()
        print("\n".join(lines[:3] + [f"... ({len(lines)} files, exit status {cli.returncode})"]))


if __name__ == "__main__":
    main()
