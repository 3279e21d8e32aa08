"""PNG files whose pixel data libdeflate has inflated, for OpenCV to decode (`stored_pixels`)."""

SIGNATURE: bytes

def stored_pixels(data: bytes | bytearray, n: int) -> tuple[bytes | bytearray, int]:
    """(data, n): a PNG file, data[:n], with its pixel data inflated by libdeflate and stored, in a new
    bytearray; or the arguments themselves where the file is not rewritten."""
