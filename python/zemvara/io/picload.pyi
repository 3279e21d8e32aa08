"""Reading image files into GPU images: OpenCV formats, OpenEXR, and the NVIDIA image codec on request."""

import cupy as cp

def picload(input_path: str, dtype: str = "fp32", swap_rb: bool = False, is_nvimgcodec: bool = False) -> cp.ndarray:
    """Read an image file into a (H, W, 3) CuPy array, blue-green-red unless `swap_rb`.

    Args:
        input_path: path of the file, exactly a `str` (no path objects). A
            name that is not valid UTF-8, as `os.fsdecode` gives it, is read
            like any other.
        dtype: "fp32" (0..1), "fp16" (0..1), "uint8" or "uint16". Any other
            string leaves the file's own element type. An ".exr" file loads
            in its own type (float16 or float32), whatever `dtype` says.
        swap_rb: return red-green-blue.
        is_nvimgcodec: decode with the NVIDIA image codec instead of OpenCV.

    Grey images are replicated into three channels; an alpha channel is dropped.

    Raises:
        FileNotFoundError: the file does not exist.
        RuntimeError: "Failed to read image from <path>": the file cannot be
            decoded, or is not a regular file (a folder, a FIFO, a device),
            which is refused before anything reads from it.
    """
