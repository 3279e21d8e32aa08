"""Stand-in engines for the upscaler, on either device.

The engines are the TensorRT stand-in's own files (hostdevice/tensorrt), so on
a GPU machine, too, `tensorrt` must be that stand-in: it runs there on real
CuPy. It is loaded under the name `tensorrt` before the module imports it.
"""

import importlib.util
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

if not hasattr(sys.modules.get("tensorrt"), "engines"):
    _spec = importlib.util.spec_from_file_location(
        "tensorrt", ROOT / "hostdevice" / "tensorrt" / "__init__.py",
        submodule_search_locations=[str(ROOT / "hostdevice" / "tensorrt")])
    _trt = importlib.util.module_from_spec(_spec)
    sys.modules["tensorrt"] = _trt
    _spec.loader.exec_module(_trt)

from tensorrt import engines  # noqa: E402


@pytest.fixture
def make(capsys):
    """make(data=None, **engine_kwargs): an EngineZoom over stand-in engine bytes, its printed lines dropped."""
    from zemvara.upscale.enginezoom import EngineZoom

    def build(data=None, **kwargs):
        zoom = EngineZoom(model_bytes=engines.engine(**kwargs) if data is None else data)
        capsys.readouterr()
        return zoom

    return build
