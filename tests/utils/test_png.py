"""PNGs whose pixel data libdeflate inflates decode as libpng decodes the file itself; files that libpng
would complain about are left to it."""

import io
import struct
import zlib

import cv2
import numpy as np
import pytest
from PIL import Image

from zemvara.utils.png import stored_pixels

ADAM7 = ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2))


def picture(height, width, channels, dtype=np.uint8):
    top = np.iinfo(dtype).max
    y, x = np.mgrid[0:height, 0:width]
    planes = [(x * 7 + y * 3 + k * 50) % (top + 1) for k in range(channels)]
    noise = np.random.default_rng(channels).integers(0, 4, (height, width, channels))
    return np.squeeze((np.stack(planes, -1) + noise).clip(0, top).astype(dtype))


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def png(chunks):
    return b"\x89PNG\r\n\x1a\n" + b"".join(chunk(kind, body) for kind, body in chunks)


def encoded(image, **options):
    out = io.BytesIO()
    image.save(out, "PNG", **options)
    return out.getvalue()


def interlaced(grey):
    """An 8-bit grey picture as an Adam7 PNG, each pass's rows unfiltered."""
    rows = b"".join(b"\0" + r.tobytes() for x0, y0, dx, dy in ADAM7 for r in grey[y0::dy, x0::dx] if r.size)
    ihdr = struct.pack(">IIBBBBB", grey.shape[1], grey.shape[0], 8, 0, 0, 0, 1)
    return png([(b"IHDR", ihdr), (b"IDAT", zlib.compress(rows)), (b"IEND", b"")])


# A PNG of 300 x 400 RGB (several stored blocks) as OpenCV writes it: (IHDR, pixel data's zlib stream, IEND).
PLAIN = bytes(cv2.imencode(".png", picture(300, 400, 3), [cv2.IMWRITE_PNG_COMPRESSION, 3])[1])
IHDR = (b"IHDR", PLAIN[16:29])
STREAM = b"".join(PLAIN[at + 8 : at + 8 + n] for at, n in
                  ((at, struct.unpack_from(">I", PLAIN, at)[0]) for at in range(8, len(PLAIN) - 12)
                   if PLAIN[at + 4 : at + 8] == b"IDAT"))  # fmt: skip
RAW = zlib.decompress(STREAM)


def with_stream(*parts, between=()):
    """The picture with its pixel data as these IDAT bodies (`between`: chunks after the first)."""
    idats = [(b"IDAT", p) for p in parts]
    return png([IHDR, *idats[:1], *between, *idats[1:], (b"IEND", b"")])


def small_window(data):
    """data as a zlib stream of a 512-byte window (libpng's own choice for small pictures)."""
    z = zlib.compressobj(3, zlib.DEFLATED, 9)
    return z.compress(data) + z.flush()


def _bad_crc():
    data = bytearray(with_stream(STREAM))
    data[-20] ^= 1  # the IDAT chunk's CRC
    return bytes(data)


REWRITTEN = {
    "OpenCV, many IDAT chunks": PLAIN,
    "IDAT chunks of 7 bytes": with_stream(*(STREAM[i : i + 7] for i in range(0, len(STREAM), 7))),
    "text chunk after the pixels": png([IHDR, (b"IDAT", STREAM), (b"tEXt", b"Comment\0x"), (b"IEND", b"")]),
    "16-bit RGBA": bytes(cv2.imencode(".png", picture(33, 65, 4, np.uint16))[1]),
    "16-bit grey": encoded(Image.fromarray(picture(31, 47, 1, np.uint16))),
    "grey and alpha": encoded(Image.fromarray(picture(31, 47, 3)).convert("LA")),
    "1-bit": encoded(Image.fromarray(picture(31, 47, 3)).convert("1")),
    "4-bit palette with transparency":
        encoded(Image.fromarray(picture(31, 47, 3)).quantize(16), bits=4, transparency=0),
    "RGB with a transparent colour": encoded(Image.fromarray(picture(31, 47, 3)), transparency=(1, 2, 3)),
    "interlaced": interlaced(picture(13, 17, 1)),
}
AS_IS = {
    "an IDAT chunk's CRC wrong": _bad_crc(),
    "two runs of IDAT chunks": with_stream(STREAM[:100], STREAM[100:], between=[(b"tEXt", b"a\0b")]),
    "bytes after the stream": with_stream(STREAM + b"more"),
    "stream cut short": with_stream(STREAM[:-50]),
    "more rows than the header's": with_stream(zlib.compress(RAW + bytes(1201), 3)),
    "fewer rows than the header's": with_stream(zlib.compress(RAW[:-1201], 3)),
    "a 512-byte window": with_stream(small_window(RAW)),
    "not a PNG": b"GIF89a" + bytes(100),
}


@pytest.mark.parametrize("name", [*REWRITTEN, *AS_IS])
@pytest.mark.parametrize("flags", [cv2.IMREAD_UNCHANGED, cv2.IMREAD_COLOR_RGB])
def test_decodes_as_libpng_alone(name, flags):
    data = {**REWRITTEN, **AS_IS}[name]
    out, n = stored_pixels(data, len(data))
    assert (out is not data) == (name in REWRITTEN)
    expected = cv2.imdecode(np.frombuffer(data, np.uint8), flags)
    got = cv2.imdecode(np.frombuffer(out, np.uint8, n), flags)
    assert (got is None) == (expected is None)
    if expected is not None:
        assert got.dtype == expected.dtype and np.array_equal(got, expected)


def test_reads_the_first_n_bytes_of_a_longer_buffer():
    buffer = bytearray(PLAIN + b"\x89PNG stale bytes of a longer file")
    out, n = stored_pixels(buffer, len(PLAIN))
    expected = cv2.imdecode(np.frombuffer(PLAIN, np.uint8), cv2.IMREAD_UNCHANGED)
    assert np.array_equal(cv2.imdecode(np.frombuffer(out, np.uint8, n), cv2.IMREAD_UNCHANGED), expected)
