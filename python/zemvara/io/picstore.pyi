"""Writing GPU or host images to files, the format chosen by the extension."""

from typing import Any

import cupy as cp
import numpy.typing as npt

def picstore(output_path: str, image: cp.ndarray | npt.NDArray[Any], param: int = -1, swap_rb: bool = False) -> None:
    """Write an image to a file; the extension chooses the writer.

    Args:
        output_path: path of the file, exactly a `str`. Its extension,
            compared case-sensitively, chooses the writer and the conversion:
            ".exr": OpenEXR, float16 RGB with DWAA compression, `param` the
            DWA level (default 1); ".jpg"/".jpeg": uint8, `param` the quality
            (default 100); ".png": uint16 unless the image is uint8, `param`
            the compression level (default 3); ".tif"/".tiff": likewise,
            `param` the compression scheme (default 5, LZW); anything else,
            upper-case forms included: handed to OpenCV unconverted (float
            data in 0..1 then writes as 0 and 1).
        image: a CuPy array, a NumPy array or a PyTorch tensor (any device),
            (H, W) or (H, W, 3), blue-green-red unless `swap_rb`.
        param: the format's one option; -1 selects its default.
        swap_rb: the image is red-green-blue.

    The file is written whole or not at all: the encoded image goes to a
    hidden temporary beside it (".<name>.<pid>-<n>-<time>.tmp"), renamed over
    the path once complete; a failure leaves the path as it was and removes
    the temporary (a killed process may leave one behind). A symbolic link is
    followed and its target written, created if it does not exist yet.

    Raises:
        OSError: the file system refused the file (FileNotFoundError for a
            missing folder, PermissionError for a file or folder the process
            may not write, IsADirectoryError, a full disk ...), naming
            `output_path`.
        RuntimeError: the image could not be encoded ("Failed to write image
            to <path>", chained from the library's error where it raised one).
    """
