"""zemvara: GPU image processing for Python, on CuPy arrays.

Images are height x width x channels CuPy arrays (channels last, blue-green-red
unless a function is asked for red-green-blue). The subpackages hold the I/O
(`zemvara.io`), transform (`zemvara.transform`), layout and conversion
(`zemvara.utils`, `zemvara.color`) and upscaling (`zemvara.upscale`) modules.
"""

import importlib.util as _util
import sys as _sys

# Every module works on CuPy arrays; say how to get CuPy before a module's own
# import fails with a bare "No module named 'cupy'".
if _util.find_spec("cupy") is None:
    _missing = ModuleNotFoundError(
        "zemvara needs CuPy, which is not installed.\n"
        "  With an NVIDIA GPU, install the CUDA extra that matches the driver:\n"
        "    pip install 'zemvara[cuda12]'   or   pip install 'zemvara[cuda13]'\n"
        "  Without a GPU, run on the host device, the CPU stand-in in the source tree:\n"
        "    ZEMVARA_DEVICE=host PYTHONPATH=<source tree>/hostdevice python your_script.py\n"
        "    ZEMVARA_DEVICE=host PYTHONPATH=<source tree>/hostdevice zemvara run ...   (the command line)",
        name="cupy",
    )
    _previous_hook = _sys.excepthook

    def _say_what_is_missing(kind, value, traceback, _missing=_missing, _previous=_previous_hook):
        # uncaught, this error is a message for the user (the command line's included), not a traceback
        if value is _missing:
            print(f"ModuleNotFoundError: {value}", file=_sys.stderr)
        else:
            _previous(kind, value, traceback)

    _sys.excepthook = _say_what_is_missing
    raise _missing
del _util, _sys
