"""PNG files whose pixel data libdeflate has inflated, for OpenCV to decode.

Most of a PNG's decoding time is libpng inflating its pixel data with zlib.
libdeflate (through imagecodecs) inflates the same data in well under half
the time, but libpng takes no inflated data from outside. So the file is
handed to it rewritten: the same chunks, with its run of IDAT chunks replaced
by one IDAT chunk that holds the inflated bytes in stored (uncompressed)
deflate blocks, under the stream's own Adler-32. libpng then copies those
bytes where it would have inflated them, and unfilters, expands and converts
them as before: the picture is the same, bit for bit.

Only a file that libpng would read without complaint is rewritten: IDAT
chunks in one run, each with its CRC right, holding a zlib stream that ends
where the run ends and inflates to exactly the size the header gives. Any
other file is given back as it is, for libpng to decode or refuse as before.
"""

import struct
import threading

SIGNATURE = b"\x89PNG\r\n\x1a\n"

# Channels of each colour type: grey, RGB, palette, grey + alpha, RGBA.
_CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}
# Adam7's passes: (first column, first row, column step, row step).
_ADAM7 = ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2))
_BLOCK = 65535  # the most bytes one stored deflate block holds
# Larger pixel data is left to libpng: the rewritten file would hold it twice over beside the picture.
_MOST = 256 << 20
# Buffers of up to this many bytes are kept by each thread for its next file: a fresh one's pages fault
# in at every file (about a tenth of a millisecond for a 512 x 512 RGB picture's).
_KEPT_MOST = 16 << 20
_kept = threading.local()


def _buffer(name, size):
    """A writable view of `size` bytes of a bytearray of this thread's (kept for its next call under
    `name`, where small enough), and that bytearray."""
    held = getattr(_kept, name, None)
    if held is None or len(held) < size:
        held = bytearray(size)
        if size <= _KEPT_MOST:
            setattr(_kept, name, held)
    return memoryview(held)[:size], held


def _filtered_size(width, height, bits, interlaced):
    """Bytes of a picture's filtered rows (each row's filter byte first) as its zlib stream inflates to."""
    passes = _ADAM7 if interlaced else ((0, 0, 1, 1),)
    size = 0
    for x0, y0, dx, dy in passes:
        columns, rows = (width - x0 + dx - 1) // dx, (height - y0 + dy - 1) // dy
        if columns > 0 and rows > 0:
            size += rows * (1 + (columns * bits + 7) // 8)
    return size


def stored_pixels(data, n):
    """(data, n): a PNG file, the first n bytes of `data` (any bytes-like object), with its pixel data
    inflated by libdeflate and stored (module description), in a bytearray of this thread's that its next
    call overwrites; or the arguments themselves where the file is not rewritten."""
    import imagecodecs

    view = memoryview(data).cast("B")[:n]
    if n < 45 or view[:8] != SIGNATURE or view[12:16] != b"IHDR":
        return data, n
    width, height, depth, colour, _, _, interlace = struct.unpack_from(">IIBBBBB", view, 16)
    if colour not in _CHANNELS or depth not in (1, 2, 4, 8, 16) or interlace > 1:
        return data, n
    size = _filtered_size(width, height, _CHANNELS[colour] * depth, interlace)
    if not 0 < size <= _MOST:
        return data, n
    parts, first, end, at = [], None, None, 8
    while at + 12 <= n:
        length, kind = struct.unpack_from(">I4s", view, at)
        stop = at + 12 + length
        if stop > n:
            return data, n
        if kind == b"IDAT":
            if end is not None and at != end:  # a second run: libpng's error, not ours
                return data, n
            if imagecodecs.deflate_crc32(view[at + 4 : stop - 4]) != struct.unpack_from(">I", view, stop - 4)[0]:
                return data, n
            first = at if first is None else first
            parts.append(view[at + 8 : stop - 4])
            end = stop
        elif kind == b"IEND":
            break
        at = stop
    stream = parts[0] if len(parts) == 1 else b"".join(parts)
    # A zlib stream of deflate data in a 32 KiB window and no preset dictionary: libdeflate takes every
    # stream's window as 32 KiB, where zlib refuses a distance past a smaller window's end.
    if len(stream) < 6 or stream[0] != 0x78 or stream[1] & 0x20:
        return data, n
    try:
        pixels = imagecodecs.deflate_decode(stream, out=_buffer("pixels", size)[0])
    except imagecodecs.DeflateError:
        return data, n
    # libdeflate stops at the end of the deflate data: bytes after its Adler-32 would go unseen.
    adler = bytes(stream[-4:])
    if len(pixels) != size or imagecodecs.deflate_adler32(pixels).to_bytes(4, "big") != adler:
        return data, n
    blocks = -(-size // _BLOCK)
    body = 2 + 5 * blocks + size + 4
    if body > 0x7FFFFFFF:
        return data, n
    total = first + 12 + body + n - end
    written, out = _buffer("file", total)
    written[:first] = view[:first]
    struct.pack_into(">I4s2s", out, first, body, b"IDAT", b"\x78\x01")  # deflate, 32 KiB window, no dictionary
    at = first + 10
    for start in range(0, size, _BLOCK):
        count = min(_BLOCK, size - start)
        struct.pack_into("<BHH", out, at, start + count == size, count, count ^ 0xFFFF)
        written[at + 5 : at + 5 + count] = pixels[start : start + count]
        at += 5 + count
    written[at : at + 4] = adler
    at += 4
    struct.pack_into(">I", out, at, imagecodecs.deflate_crc32(written[first + 4 : at]))
    written[at + 4 :] = view[end:n]
    return out, total
