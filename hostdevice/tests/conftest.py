"""The host device's own tests: `cupy` must be the stand-in next door."""

import os
import sys

HOSTDEVICE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if HOSTDEVICE not in sys.path:
    sys.path.insert(0, HOSTDEVICE)

import cupy  # NOQA: E402
import pytest  # NOQA: E402

assert hasattr(cupy, '_hostdevice'), 'tests must run on the host device'


@pytest.fixture(autouse=True)
def _fresh_launch_log():
    """Each test starts with empty launch and event logs."""
    cupy._hostdevice.clear()
