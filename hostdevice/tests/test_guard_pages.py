"""A kernel that runs past the end of an array faults at once."""

import os
import signal
import subprocess
import sys
import textwrap

import pytest

from cupy import _kernel

HOSTDEVICE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

SCRIPT = r'''
import numpy as np, cupy as cp
k = cp.RawKernel(r"""
extern "C" __global__ void touch(float* a, const int index, const int write) {
    if (write) a[index] = 1.0f; else a[0] = a[index];
}""", "touch")
{make}
k((1,), (1,), (a, np.int32({index}), np.int32({write})))
print("survived")
'''


def run(size, index, write, make='a = cp.zeros({size}, cp.float32)'):
    env = dict(os.environ, PYTHONPATH=HOSTDEVICE)
    # Under a sanitizer build the child must die of the signal itself, not
    # in AddressSanitizer's report of it: the fault is what is tested.
    env['ASAN_OPTIONS'] = env.get('ASAN_OPTIONS', '') + ':handle_segv=0'
    return subprocess.run(
        [sys.executable, '-c', SCRIPT.replace('{make}', make)
         .replace('{size}', str(size))
         .replace('{index}', str(index)).replace('{write}', str(write))],
        env=env, capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize('write', [0, 1])
@pytest.mark.parametrize('size', [1, 1000, 1024])
def test_one_past_the_end_faults(size, write):
    proc = run(size, size, write)
    assert proc.returncode == -signal.SIGSEGV, proc.stderr


@pytest.mark.parametrize('freed', [1 << 19, (1 << 20) - 3])
def test_reused_memory_ends_against_its_guard_page(freed):
    # cp.empty hands out a freed mapping of the same or up to twice the pages again.
    make = f'b = cp.empty({freed}, cp.float32); del b; a = cp.empty({{size}}, cp.float32)'
    proc = run((1 << 19) + 5, (1 << 19) + 5, 1, make)
    assert proc.returncode == -signal.SIGSEGV, proc.stderr


# Each case asks for more pages than the last, so that what earlier cases freed cannot serve it.
@pytest.mark.parametrize('want,freed,reused', [(1777777, 1777777, True), (1779825, 1779825 + 1024, True),
                                               (1781873, 2 * 1781873 + 2048, False)])
def test_reused_memory_is_filled_again(want, freed, reused):
    import cupy
    import numpy
    from cupy import _memory
    a = cupy.empty(freed, cupy.float32)
    a.fill(1)
    end = a.data.ptr + a.nbytes
    first = end - -(-a.nbytes // _memory.PAGE) * _memory.PAGE
    del a
    b = cupy.empty(want, cupy.float32)
    assert (first <= b.data.ptr < end) == reused and numpy.isnan(cupy.asnumpy(b)).all()


def test_last_element_is_fine():
    proc = run(1000, 999, 1)
    assert proc.returncode == 0 and 'survived' in proc.stdout, proc.stderr


def test_memory_is_unmapped_when_the_last_array_goes():
    def mappings():
        with open('/proc/self/maps') as f:
            return sum(1 for _ in f)

    import cupy
    import numpy
    host = numpy.zeros((4, 4), numpy.float32)
    before = mappings()
    for _ in range(2000):
        x = cupy.asarray(host)
        cupy.asnumpy(x[1:, :2] * 2)
    del x
    assert mappings() - before < 50


@pytest.mark.skipif(not _kernel.SANITIZE,
                    reason='kernels are sanitized under make test-sanitize')
def test_sanitized_kernel_stops_at_signed_overflow():
    script = textwrap.dedent('''
        import numpy as np, cupy as cp
        k = cp.RawKernel(r"""extern "C" __global__ void k(int* a, const int n)
                         { a[0] = n + 2147483647; }""", "k")
        k((1,), (1,), (cp.zeros(1, cp.int32), np.int32(1)))
        print("survived")
    ''')
    env = dict(os.environ, PYTHONPATH=HOSTDEVICE)
    env['UBSAN_OPTIONS'] = env.get('UBSAN_OPTIONS', '') + ':log_path=stderr'
    proc = subprocess.run([sys.executable, '-c', script], env=env,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode != 0 and 'survived' not in proc.stdout
    assert 'signed integer overflow' in proc.stderr
