"""Memory hooks, free memory and pinned host memory, as CuPy reports and hands them out."""

import numpy as np
import pytest

import cupy as cp
from cupy import _memory


class Held(cp.cuda.MemoryHook):
    name = 'held'

    def __init__(self):
        self.events = []

    def malloc_postprocess(self, **kw):
        self.events.append(('malloc', kw['mem_size'], kw['mem_ptr']))

    def free_postprocess(self, **kw):
        self.events.append(('free', kw['mem_size'], kw['mem_ptr']))


def test_hook_sees_each_allocation_and_release_while_active():
    hook = Held()
    with hook:
        a = cp.empty(3000, cp.uint8)
        ptr = a.data.ptr
        del a
        with pytest.raises(RuntimeError):
            with Held():  # one hook of a name at a time, as in CuPy
                pass
    cp.empty(10, cp.uint8)  # after the block: not seen
    assert hook.events == [('malloc', 3000, ptr), ('free', 3000, ptr)]


def test_free_memory_follows_the_limit(monkeypatch):
    held = _memory._in_use.get(0, 0)
    monkeypatch.setenv('CUPY_GPU_MEMORY_LIMIT', str(held + (1 << 20)))
    free, total = cp.cuda.runtime.memGetInfo()
    assert (free, total) == (1 << 20, held + (1 << 20))
    a = cp.empty(4096, cp.uint8)  # noqa: F841
    assert cp.cuda.runtime.memGetInfo()[0] == (1 << 20) - 4096


def test_pinned_memory_is_a_writable_buffer():
    mem = cp.cuda.alloc_pinned_memory(64)
    view = np.frombuffer(mem, np.float32, 16)
    view[:] = 2.5
    assert mem.ptr % 4096 == 0 and np.frombuffer(mem, np.float32, 16).sum() == 40.0
