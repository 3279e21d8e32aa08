"""Decoding encoded image bytes (PNG, JPEG, TIFF, ...) into GPU images."""

import cupy as cp

def picunpack(src: bytes, dtype: str = "fp32", swap_rb: bool = False) -> cp.ndarray:
    """Decode encoded image bytes into a CuPy array, blue-green-red unless `swap_rb`.

    Args:
        src: the encoded file contents, exactly `bytes`.
        dtype: "fp32" (0..1), "fp16", "uint8" or "uint16"; any other string
            gives float32.
        swap_rb: return red-green-blue.

    Returns:
        (H, W, C) as decoded (C is 3 or 4), or (H, W) for a grey image: unlike
        `picload`, channels are neither replicated nor dropped.
    """
