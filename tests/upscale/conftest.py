"""Stand-in engines for the upscaler, on either device.

The engines are the TensorRT stand-in's own files (hostdevice/tensorrt), so on
a GPU machine, too, `tensorrt` is that stand-in (tests/conftest.py loads it):
it runs there on real CuPy.
"""

import pytest
from tensorrt import engines


@pytest.fixture
def make(capsys):
    """make(data=None, **engine_kwargs): an EngineZoom over stand-in engine bytes, its printed lines dropped."""
    from zemvara.upscale.enginezoom import EngineZoom

    def build(data=None, **kwargs):
        zoom = EngineZoom(model_bytes=engines.engine(**kwargs) if data is None else data)
        capsys.readouterr()
        return zoom

    return build
