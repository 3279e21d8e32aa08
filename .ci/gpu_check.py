"""Steps of `make gpu-check` that are easier said in Python than in make.

    gpu_check.py tools                 run by the machine's interpreter: the
                                       compiler, make, cmake, ninja, pip,
                                       the Python headers, real CuPy
    gpu_check.py overlay VENV          a venv whose site-packages come first
                                       and the machine interpreter's after
    gpu_check.py imports               run by the overlay's interpreter:
                                       CuPy, the image codec, OpenEXR,
                                       OpenCV, click, tqdm, and the
                                       `nvidia` namespace intact

Each check prints one line, "ok" or what is missing and what to do; the
command fails if any check does.

ZEMVARA_STANDIN_AS_GPU=1 lets the host-device stand-in pass for real CuPy.
It exists only to rehearse this procedure on a machine without a GPU; every
line that relies on it says so.
"""

import importlib
import importlib.util
import os
import pathlib
import shutil
import site
import subprocess
import sys
import sysconfig
import tempfile

STANDIN_AS_GPU = os.environ.get("ZEMVARA_STANDIN_AS_GPU") == "1"
failures = []


def report(name, ok, detail):
    print(f"gpu-check: {name:<22} {'ok' if ok else 'MISSING'}: {detail}", flush=True)
    if not ok:
        failures.append(name)


def finish():
    if failures:
        print(f"gpu-check: stopped, missing: {', '.join(failures)}", flush=True)
        return 1
    return 0


def check_compiler():
    cxx = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if not cxx:
        report("C++ compiler", False, "no c++ or g++ on PATH and CXX unset; install g++ (C++17)")
        return
    with tempfile.TemporaryDirectory() as tmp:
        src = pathlib.Path(tmp, "t.cpp")
        src.write_text("#include <optional>\nint main() { std::optional<int> x; return x ? 1 : 0; }\n")
        proc = subprocess.run([cxx, "-std=c++17", str(src), "-o", str(pathlib.Path(tmp, "t"))],
                              capture_output=True, text=True)
    if proc.returncode:
        report("C++ compiler", False, f"{cxx} cannot build C++17: {proc.stderr.strip()[:300]}")
    else:
        report("C++ compiler", True, cxx)


def check_program(name, hint):
    # The machine interpreter's own bin folder holds pip-installed cmake and ninja.
    path = os.pathsep.join([os.path.dirname(sys.executable), os.environ.get("PATH", "")])
    found = shutil.which(name, path=path)
    report(name, bool(found), found or hint)


def check_headers():
    include = sysconfig.get_paths()["include"]
    header = pathlib.Path(include, "Python.h")
    report("Python headers", header.exists(),
           str(header) if header.exists()
           else f"no Python.h in {include}; install python{sys.version_info[0]}.{sys.version_info[1]}-dev")


def check_module(label, name, hint):
    try:
        module = importlib.import_module(name)
    except Exception as exc:  # any failure to import is what we report
        report(label, False, f"import {name} failed ({type(exc).__name__}: {exc}); {hint}")
        return None
    version = getattr(module, "__version__", "")
    report(label, True, f"{name} {version} from {os.path.dirname(module.__file__ or '')}")
    return module


def check_cupy():
    cupy = check_module("import cupy", "cupy", "install cupy-cuda13x (or -cuda12x) on this machine")
    if cupy is None:
        return
    if hasattr(cupy, "_hostdevice"):
        if not STANDIN_AS_GPU:
            report("real CuPy", False, "the cupy found is the host-device stand-in; "
                   "take hostdevice/ off PYTHONPATH")
            return
        report("real CuPy", True, "NO: the host-device stand-in, accepted because "
               "ZEMVARA_STANDIN_AS_GPU=1 (rehearsal only)")
    try:
        count = cupy.cuda.runtime.getDeviceCount()
    except Exception as exc:
        report("CUDA device", False, f"CuPy sees no device ({type(exc).__name__}: {exc})")
        return
    name = ""
    if count:
        props = cupy.cuda.runtime.getDeviceProperties(0)
        name = props["name"].decode() if isinstance(props["name"], bytes) else props["name"]
    report("CUDA device", count >= 1, f"{count} device(s) {name}".strip())
    if not count:
        return
    try:
        a = cupy.zeros(4, cupy.float32)
        cupy.RawKernel('extern "C" __global__ void k(float* a) { a[threadIdx.x] = threadIdx.x; }',
                       "k")((1,), (4,), (a,))
        ok = a.get().tolist() == [0, 1, 2, 3]
        report("CuPy kernels", ok, "NVRTC compiled and a kernel ran" if ok else f"wrong result {a.get()}")
    except Exception as exc:
        report("CuPy kernels", False, f"{type(exc).__name__}: {exc}")


def check_nvidia_namespace():
    """Every `nvidia/` folder on sys.path must be part of the imported package:
    a regular `nvidia/__init__.py` without extend_path hides the others."""
    try:
        import nvidia
    except ImportError as exc:
        report("nvidia namespace", False, str(exc))
        return
    found = [str(pathlib.Path(p, "nvidia").resolve()) for p in sys.path
             if p and pathlib.Path(p, "nvidia").is_dir()]
    seen = {str(pathlib.Path(p).resolve()) for p in nvidia.__path__}
    hidden = [f for f in dict.fromkeys(found) if f not in seen]
    if hidden:
        report("nvidia namespace", False, f"{', '.join(hidden)} hidden by {list(nvidia.__path__)}")
        return
    broken = []
    for folder in dict.fromkeys(found):
        for sub in sorted(pathlib.Path(folder).iterdir()):
            if sub.is_dir() and sub.name.isidentifier() and importlib.util.find_spec(
                    f"nvidia.{sub.name}") is None:
                broken.append(sub.name)
    report("nvidia namespace", not broken,
           f"cannot import nvidia.{', nvidia.'.join(broken)}" if broken
           else f"{len(seen)} folder(s): {', '.join(sorted(seen))}")
    listed = {str(pathlib.Path(p).resolve()) for p in site.getsitepackages()}
    unlisted = [f for f in dict.fromkeys(found) if str(pathlib.Path(f).parent) not in listed]
    report("site folders", not unlisted,
           f"{', '.join(unlisted)} not in site.getsitepackages(): CUDA's library finder misses them"
           if unlisted else "every nvidia/ folder lies in a folder of site.getsitepackages()")


def tools():
    check_compiler()
    check_program("make", "install make")
    check_program("cmake", "pip-install cmake or install it from the distribution")
    check_program("ninja", "pip-install ninja or install ninja-build")
    check_headers()
    if importlib.util.find_spec("pip") is None and importlib.util.find_spec("ensurepip"):
        report("pip", True, "not installed; ensurepip will put one into the overlay venv")
    else:
        check_module("pip", "pip", "neither pip nor ensurepip: the wheels cannot be installed")
    check_module("scikit-build-core", "scikit_build_core", "install scikit-build-core")
    check_module("pytest", "pytest", "install pytest")
    check_cupy()
    return finish()


def overlay(venv):
    """A venv over this interpreter's packages: its own site-packages first
    (what comes from wheels/ and the package itself), then every site folder
    of this interpreter, each with its own .pth files processed."""
    venv = pathlib.Path(venv).resolve()
    if not (venv / "bin" / "python").exists():
        subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True)
    dirs = [d for d in site.getsitepackages() if os.path.isdir(d)]
    if site.ENABLE_USER_SITE and os.path.isdir(site.getusersitepackages()):
        dirs.append(site.getusersitepackages())
    out = subprocess.run([str(venv / "bin" / "python"), "-c",
                          "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                         capture_output=True, text=True, check=True).stdout.strip()
    # site.getsitepackages() must name the machine's folders too: CUDA's
    # library finder (cuda.pathfinder, which CuPy uses) looks for the NVIDIA
    # wheels' libraries there, not on sys.path.
    prefixes = list(dict.fromkeys([sys.prefix, sys.exec_prefix]))
    pth = pathlib.Path(out, "zemvara_machine_packages.pth")
    pth.write_text(
        "".join(f"import site; site.PREFIXES.append({p!r}) if {p!r} not in site.PREFIXES else None\n"
                for p in prefixes)
        + "".join(f"import site; site.addsitedir({d!r})\n" for d in dirs))
    print(f"gpu-check: overlay {venv} over {', '.join(dirs)}", flush=True)
    python = str(venv / "bin" / "python")
    if subprocess.run([python, "-c", "import pip"], capture_output=True).returncode:
        subprocess.run([python, "-m", "ensurepip", "-q"], check=True)
    return 0


def imports():
    check_cupy()
    check_module("nvimgcodec", "nvidia.nvimgcodec", "put nvidia-nvimgcodec-cu13 into wheels/")
    check_module("OpenEXR", "OpenEXR", "put openexr into wheels/")
    check_module("OpenCV", "cv2", "install opencv-python-headless on this machine")
    check_module("click", "click", "put click into wheels/")
    check_module("tqdm", "tqdm", "put tqdm into wheels/")
    check_nvidia_namespace()
    return finish()


def main(argv):
    if argv[:1] == ["tools"]:
        return tools()
    if argv[:1] == ["overlay"] and len(argv) == 2:
        return overlay(argv[1])
    if argv[:1] == ["imports"]:
        return imports()
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
