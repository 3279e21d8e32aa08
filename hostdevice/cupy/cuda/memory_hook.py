"""Memory hooks as in CuPy: objects told of every device allocation and release.

A hook is active on the thread that entered it (`with hook:`), as in CuPy.
Here every allocation is its own mapping, so `malloc_*` and `alloc_*` are told
of the same event, and `free_*` when the memory is released; `mem_size` is the
size asked for (CuPy's pool rounds it up to 512 bytes).
"""

import threading

_local = threading.local()


def active_hooks():
    """The hooks active on this thread, oldest first."""
    return getattr(_local, 'hooks', ())


class MemoryHook:
    """Base class of memory hooks; subclasses override the methods they need."""

    name = 'MemoryHook'

    def __enter__(self):
        hooks = dict(getattr(_local, 'hooks_by_name', {}))
        if self.name in hooks:
            raise RuntimeError('memory hook {} already exists'.format(self.name))
        hooks[self.name] = self
        _local.hooks_by_name = hooks
        _local.hooks = tuple(hooks.values())
        return self

    def __exit__(self, *exc):
        hooks = dict(getattr(_local, 'hooks_by_name', {}))
        hooks.pop(self.name, None)
        _local.hooks_by_name = hooks
        _local.hooks = tuple(hooks.values())

    def alloc_preprocess(self, **kwargs):
        pass

    def alloc_postprocess(self, **kwargs):
        pass

    def malloc_preprocess(self, **kwargs):
        pass

    def malloc_postprocess(self, **kwargs):
        pass

    def free_preprocess(self, **kwargs):
        pass

    def free_postprocess(self, **kwargs):
        pass
