"""Prints "gpu" when a real CuPy sees at least one CUDA device, else "host".

Real CuPy is imported in a child interpreter whose sys.path leaves this
folder out, so the host device's own `cupy` cannot answer for it.

ZEMVARA_STANDIN_AS_GPU=1 lets a copy of the stand-in installed as `cupy`
answer "gpu" (with a note on stderr): it exists only to rehearse
`make gpu-check` on a machine without a GPU.
"""

import os
import subprocess
import sys
import tempfile

_HERE = os.path.dirname(os.path.abspath(__file__))

_PROBE = '''
import cupy
if hasattr(cupy, "_hostdevice"):
    raise SystemExit(3)
print(cupy.cuda.runtime.getDeviceCount())
'''


def _clean_path(value):
    keep = [p for p in value.split(os.pathsep)
            if p and os.path.abspath(p) != _HERE]
    return os.pathsep.join(keep)


def backend():
    env = dict(os.environ)
    env['PYTHONPATH'] = _clean_path(env.get('PYTHONPATH', ''))
    try:
        with tempfile.TemporaryDirectory() as cwd:
            proc = subprocess.run([sys.executable, '-c', _PROBE], cwd=cwd,
                                  env=env, capture_output=True, text=True,
                                  timeout=120)
    except (OSError, subprocess.TimeoutExpired):
        return 'host'
    if proc.returncode == 3 and os.environ.get('ZEMVARA_STANDIN_AS_GPU') == '1':
        print('detect: the host-device stand-in poses as real CuPy '
              '(ZEMVARA_STANDIN_AS_GPU=1, rehearsal only)', file=sys.stderr)
        return 'gpu'
    if proc.returncode != 0:
        return 'host'
    try:
        return 'gpu' if int(proc.stdout.split()[-1]) >= 1 else 'host'
    except (ValueError, IndexError):
        return 'host'


def main():
    print(backend())
    return 0


if __name__ == '__main__':
    sys.exit(main())
