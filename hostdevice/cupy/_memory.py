"""Device memory of the host device: each allocation ends against a guard page."""

import bisect
import ctypes
import mmap
import os
import threading
import weakref

import numpy

_libc = ctypes.CDLL(None, use_errno=True)
_libc.mmap.restype = ctypes.c_void_p
_libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int,
                       ctypes.c_int, ctypes.c_int, ctypes.c_long]
_libc.munmap.restype = ctypes.c_int
_libc.munmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
_libc.mprotect.restype = ctypes.c_int
_libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]

PAGE = mmap.PAGESIZE
_MAP_FAILED = ctypes.c_void_p(-1).value
_PROT_NONE = 0

# Live allocations by start address, so that a raw pointer can be traced back
# to the allocation that holds it (for foreign array interfaces). The lock is
# re-entrant: a garbage collection may run at any call inside a held section
# and release another allocation on the same thread, so each section changes
# the two tables with single C calls that such a nested release cannot split.
_lock = threading.RLock()
_starts = []
_by_start = {}
# Bytes of live owned memory on each device, held against the device's limit.
_in_use = {}


class OutOfMemoryError(MemoryError):
    """Raised when the host cannot map more device memory."""

    def __init__(self, size):
        super().__init__(
            'Out of memory allocating {:,} bytes.'.format(size))


def limit():
    """The bytes each device may hold, from CUPY_GPU_MEMORY_LIMIT as in CuPy
    (a byte count, or a percentage of the host's RAM, which stands in for the
    device's), or None: by default a device holds what the host can map."""
    value = os.environ.get('CUPY_GPU_MEMORY_LIMIT', '').strip()
    if not value:
        return None
    if value.endswith('%'):
        ram = os.sysconf('SC_PAGE_SIZE') * os.sysconf('SC_PHYS_PAGES')
        return int(ram * float(value[:-1]) / 100)
    return int(value)


# Freed mappings of at least _REUSE_MIN bytes are kept, up to _REUSE_LIMIT
# bytes in all (the longest kept given back first), for `cupy.empty` and for
# copies and casts (asarray, astype, copy) to hand out again for a request of
# its pages or up to half fewer, as a pool hands a block out for a smaller
# request (the data then ends where the kept mapping's guard page begins). A fresh mapping costs a page fault
# per page at its first touch, which a GPU's memory pool (CuPy's among them)
# does not pay for memory it reuses; `cupy.empty` fills what it hands out
# anyway, and a copy writes all of it. Smaller mappings, and all other
# allocations, are always fresh.
_REUSE_MIN = 64 << 10
_REUSE_LIMIT = 256 << 20
_reusable = {}  # length -> [base], the last kept last
_lengths = []  # the lengths of _reusable, sorted
_kept = {}  # base -> length, the longest kept first
_reusable_bytes = 0


_active_hooks = None  # cupy.cuda.memory_hook.active_hooks, once imported (it imports this module)


def _tell_hooks(when, **kwargs):
    """Calls `<when>` of every memory hook active on this thread (cupy.cuda.MemoryHook)."""
    global _active_hooks
    if _active_hooks is None:
        from .cuda import memory_hook
        _active_hooks = memory_hook.active_hooks
    for hook in _active_hooks():
        getattr(hook, when)(**kwargs)


def _release(base, length, start, size, device_id):
    global _reusable_bytes
    _tell_hooks('free_postprocess', device_id=device_id, mem_size=size,
                mem_ptr=start, pmem=None)
    gone = []
    with _lock:
        if _by_start.pop(start, None) is not None:
            _starts.remove(start)
        _in_use[device_id] -= size
        if _REUSE_MIN <= size and length <= _REUSE_LIMIT:
            if length not in _reusable:
                bisect.insort(_lengths, length)
            _reusable.setdefault(length, []).append(base)
            _kept[base] = length
            _reusable_bytes += length
            while _reusable_bytes > _REUSE_LIMIT:
                old = next(iter(_kept))
                old_length = _kept.pop(old)
                _forget_kept(old, old_length)
                gone.append((old, old_length))
        else:
            gone.append((base, length))
    for address, span in gone:
        _libc.munmap(address, span)


def _forget_kept(base, length):
    global _reusable_bytes
    bases = _reusable[length]
    bases.remove(base)
    if not bases:
        del _reusable[length]
        _lengths.remove(length)
    _reusable_bytes -= length


def _take_reusable(span):
    """The shortest kept mapping, (base, length), whose pages before its guard page hold span bytes and
    at most twice as many; or None."""
    with _lock:
        i = bisect.bisect_left(_lengths, span + PAGE)
        if i == len(_lengths) or _lengths[i] > 2 * span + PAGE:
            return None
        length = _lengths[i]
        base = _reusable[length][-1]
        del _kept[base]
        _forget_kept(base, length)
        return base, length


class _Buffer:
    """Common part of owned and foreign memory: a pointer, a size, a device."""

    ptr = 0
    size = 0
    device_id = 0
    _root = None

    @property
    def __array_interface__(self):
        return {'data': (self.ptr, False), 'shape': (self.size,),
                'typestr': '|u1', 'version': 3}

    def _host(self):
        """All bytes of this memory as a writable NumPy array."""
        if self._root is None:
            # The array must not refer back to this object: NumPy arrays are
            # not tracked by the cycle collector, so a cycle through the
            # array's base would keep the mapping alive for ever.
            # Zero-size memory has no address: some NumPy releases (2.2)
            # refuse a NULL data pointer even for no bytes, so it gets an
            # empty host array of its own.
            if self.ptr == 0:
                self._root = numpy.empty(0, numpy.uint8)
            else:
                self._root = numpy.asarray(_Interface(self.ptr, self.size))
        return self._root


class _Interface:
    """A bare array interface over raw memory, holding no owner."""

    __slots__ = ('__array_interface__',)

    def __init__(self, ptr, size):
        self.__array_interface__ = {'data': (ptr, False), 'shape': (size,),
                                    'typestr': '|u1', 'version': 3}


class Memory(_Buffer):
    """Memory owned by the host device.

    The mapping is rounded up to whole pages and followed by one page that
    has no access rights; the data is placed so that it ends exactly where
    that page begins, so any access past the end faults at once.
    """

    def __init__(self, size, device_id, reuse=False):
        """reuse: a freed mapping of this size may be handed out again, its old bytes in it."""
        self.size = size = int(size)
        self.device_id = device_id
        if size == 0:
            return
        cap = limit()
        with _lock:
            held = _in_use.get(device_id, 0)
            if cap is not None and held + size > cap:
                raise OutOfMemoryError(size)
            _in_use[device_id] = held + size
        try:
            self._map(size, reuse)
        except BaseException:
            with _lock:
                _in_use[device_id] -= size
            raise

    def _map(self, size, reuse):
        span = -(-size // PAGE) * PAGE
        kept = _take_reusable(span) if reuse else None
        if kept is not None:
            base, length = kept
            span = length - PAGE
        else:
            base = _libc.mmap(None, span + PAGE,
                              mmap.PROT_READ | mmap.PROT_WRITE,
                              mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS, -1, 0)
            if base is None or base == _MAP_FAILED:
                raise OutOfMemoryError(size)
            if _libc.mprotect(base + span, PAGE, _PROT_NONE) != 0:
                _libc.munmap(base, span + PAGE)
                raise OutOfMemoryError(size)
        self.ptr = start = base + span - size
        with _lock:
            bisect.insort(_starts, start)
            _by_start[start] = weakref.ref(self)
        weakref.finalize(self, _release, base, span + PAGE, start, size,
                         self.device_id)
        _tell_hooks('alloc_postprocess', device_id=self.device_id,
                    mem_size=size, mem_ptr=start)
        _tell_hooks('malloc_postprocess', device_id=self.device_id, size=size,
                    mem_size=size, mem_ptr=start, pmem=None)


class UnownedMemory(_Buffer):
    """Device memory that belongs to some other object (kept alive here)."""

    def __init__(self, ptr, size, owner, device_id=None):
        self.ptr = int(ptr)
        self.size = int(size)
        self._owner = owner
        if self.size > 0:
            found = find(self.ptr)
            if found is None:
                raise ValueError(
                    'pointer 0x{:x} does not point into device memory'
                    .format(self.ptr))
            if device_id is None:
                device_id = found[0].device_id
        if device_id is None:
            from . import _hostdevice
            device_id = _hostdevice.current_device()
        self.device_id = device_id


def find(ptr):
    """Return (memory, offset) for the live allocation holding ptr, or None."""
    with _lock:
        i = bisect.bisect_right(_starts, ptr) - 1
        if i < 0:
            return None
        ref = _by_start[_starts[i]]
    mem = ref()
    if mem is None or ptr > mem.ptr + mem.size:
        return None
    return mem, ptr - mem.ptr


class MemoryPointer:
    """A position inside a piece of device memory."""

    __slots__ = ('mem', 'ptr', 'device_id')

    def __init__(self, mem, offset):
        self.mem = mem
        self.ptr = mem.ptr + offset if mem.ptr else 0
        self.device_id = mem.device_id

    @property
    def device(self):
        from .cuda import Device
        return Device(self.device_id)

    def __int__(self):
        return self.ptr

    def __add__(self, offset):
        return MemoryPointer(self.mem, self.ptr - self.mem.ptr + offset)

    def __sub__(self, offset):
        return self + (-offset)

    def copy_from_device(self, src, size):
        """Copies `size` bytes from the device memory at `src`."""
        for p in (self, src):
            if size < 0 or p.ptr - p.mem.ptr + size > p.mem.size:
                raise ValueError('copy of {} bytes runs past an allocation'
                                 .format(size))
        if size:
            ctypes.memmove(self.ptr, src.ptr, size)

    def copy_from_device_async(self, src, size, stream=None):
        # Everything on the host device finishes before the call returns.
        self.copy_from_device(src, size)

    def __repr__(self):
        return '<MemoryPointer 0x{:x} device={}>'.format(self.ptr,
                                                         self.device_id)


class _Lenders:
    """The live foreign buffers that start at one address (a tensor may be
    imported more than once); called like a weak reference, it gives the
    largest of them, or None once all are gone."""

    __slots__ = ('refs',)

    def __init__(self):
        self.refs = []

    def __call__(self):
        live = [m for m in (r() for r in self.refs) if m is not None]
        return max(live, key=lambda m: m.size, default=None)


def register_foreign(mem):
    """Make memory lent by another library (through DLPack) findable by
    pointer, as device memory, until `mem` is collected. Its owner frees it;
    nothing here maps or unmaps."""
    start = mem.ptr
    with _lock:
        lenders = _by_start.get(start)
        if not isinstance(lenders, _Lenders):
            lenders = _Lenders()
            if start not in _by_start:
                bisect.insort(_starts, start)
            _by_start[start] = lenders
        lenders.refs.append(weakref.ref(mem))
    weakref.finalize(mem, _forget_foreign, start, lenders)


def _forget_foreign(start, lenders):
    with _lock:
        lenders.refs = [r for r in lenders.refs if r() is not None]
        if not lenders.refs and _by_start.get(start) is lenders:
            del _by_start[start]
            _starts.remove(start)
