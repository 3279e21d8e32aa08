"""The line the host device prints when it compiles a kernel."""

import threading
import uuid

import cupy as cp


def test_one_line_per_kernel_and_process(tmp_path, monkeypatch, capsys):
    # Threads that launched a kernel together each compiled it and printed the
    # line; each variant of a kernel (options, element types) printed it again.
    monkeypatch.setenv('HOSTDEVICE_CACHE_DIR', str(tmp_path))
    name = 'k_' + uuid.uuid4().hex
    source = 'extern "C" __global__ void %s(float* a) { a[threadIdx.x] = V; }' % name
    outputs = [cp.zeros(2, cp.float32) for _ in range(6)]

    def launch(i):
        cp.RawKernel(source, name, options=('-DV=%d' % (i // 4 + 1),))((1,), (2,), (outputs[i],))

    threads = [threading.Thread(target=launch, args=(i,)) for i in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert [int(a.get()[1]) for a in outputs] == [1, 1, 1, 1, 2, 2]
    assert capsys.readouterr().err.count('compiling %s ' % name) == 1
    assert len(list(tmp_path.rglob('*.so'))) == 2  # each variant still built once (sanitized ones in a folder of their own)
