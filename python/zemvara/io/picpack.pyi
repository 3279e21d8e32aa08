"""Encoding GPU images to bytes in a format chosen by extension."""

import cupy as cp

def picpack(image: cp.ndarray, ext: str = ".png", param: int = -1, swap_rb: bool = False) -> bytes:
    """Encode a CuPy image to the bytes of an image file.

    Args:
        image: (H, W) or (H, W, C) blue-green-red image (red-green-blue with
            `swap_rb`).
        ext: JPEG, PNG or TIFF, named as an extension with or without the
            dot, in any case (".png", "jpg", ".TIFF"); anything else raises
            ValueError. PNG and TIFF store uint16 unless the image is uint8;
            JPEG stores uint8.
        param: the format's one option, -1 for its default: JPEG quality
            (default 100), PNG compression level (default 3), TIFF
            compression scheme (default 5, LZW).
        swap_rb: the image is red-green-blue.

    Returns:
        The encoded file contents.
    """
