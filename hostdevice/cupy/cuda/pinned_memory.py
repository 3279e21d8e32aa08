"""Pinned (page-locked) host memory as CuPy hands it out.

Host and device memory are the same RAM here, so pinned memory is an
anonymous page-aligned mapping; like CuPy's `PinnedMemoryPointer` it exposes
the buffer protocol (`numpy.frombuffer(mem, dtype, count)`) and its address.
"""

import ctypes
import mmap


class PinnedMemoryPointer(mmap.mmap):
    """`size` bytes of page-aligned host memory (at least one byte is mapped)."""

    def __new__(cls, size):
        self = super().__new__(cls, -1, max(int(size), 1))
        self._size = int(size)
        return self

    @property
    def ptr(self):
        return ctypes.addressof(ctypes.c_char.from_buffer(self))

    @property
    def mem(self):
        return self

    def __int__(self):
        return self.ptr

    def __repr__(self):
        return '<PinnedMemoryPointer 0x{:x} ({} bytes)>'.format(self.ptr, self._size)


def alloc_pinned_memory(size):
    """Pinned host memory of `size` bytes, as `cupy.cuda.alloc_pinned_memory`."""
    if int(size) < 0:
        raise ValueError('size must be non-negative, got {}'.format(size))
    return PinnedMemoryPointer(size)
