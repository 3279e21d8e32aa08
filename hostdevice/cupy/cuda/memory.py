"""Device memory classes (see cupy._memory)."""

from .._memory import (Memory, MemoryPointer, OutOfMemoryError,  # NOQA
                       UnownedMemory)
