"""Wheels for each supported CPython, and the suite run from each wheel in a fresh venv.

  python .ci/wheel_matrix.py build [--arch x86_64,aarch64] [VERSION ...]   # make wheels-dist
  python .ci/wheel_matrix.py check [WHEEL ...]                             # make wheel-check
  python .ci/wheel_matrix.py test  [VERSION ...]                           # make test-matrix

`build` makes one manylinux_2_28 wheel per interpreter found and architecture
into dist/: zig's clang (from PyPI) compiles the modules against glibc 2.28's
symbols and links its own C++ runtime into each, so a wheel built on any
x86-64 Linux needs nothing newer. aarch64 wheels are cross-compiled with the
same interpreter's headers (aarch64_headers). `check` runs `auditwheel show` on
each wheel and reads what its modules need (see check()). `test`
installs each interpreter's wheel into a fresh venv (.venv-matrix/<version>)
with the test requirements, imports every extension module and runs the suite on
the host device, then prints one line per interpreter: passed or failed, and
how long it took. An interpreter is found as pythonX.Y on PATH or under
$PYENV_ROOT/versions (default ~/.pyenv); a missing one is reported and
skipped, and a run with none found fails.
"""

import glob
import os
import platform
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
VERSIONS = ("3.10", "3.11", "3.12", "3.13")
DIST = ROOT / "dist"
MATRIX = ROOT / ".venv-matrix"
sys.path.insert(0, str(ROOT / "src" / "zemvara_source"))
from native_modules import NATIVE_MODULES  # noqa: E402  (modules.cmake: every extension module)


def say(text):
    print(f"zemvara: {text}", flush=True)


def interpreter(version):
    """The path of a working CPython `version`, or None."""
    # The running interpreter first (it has pip, which a distribution's own may lack).
    candidates = [sys.executable, shutil.which(f"python{version}")]
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    candidates += sorted(glob.glob(f"{root}/versions/{version}.*/bin/python{version}"), reverse=True)
    for path in filter(None, candidates):
        probe = subprocess.run([path, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                               capture_output=True, text=True)
        if probe.returncode == 0 and probe.stdout.strip() == version:
            return path
    return None


def run(*cmd, **kw):
    print("+ " + " ".join(map(str, cmd)), flush=True)
    subprocess.run(list(map(str, cmd)), check=True, **kw)


def tag(version):
    return "cp" + version.replace(".", "")


# The oldest glibc the wheels support, and the architectures they are built for.
GLIBC = "2.28"
PLATFORM = "manylinux_" + GLIBC.replace(".", "_")
ARCHES = ("x86_64", "aarch64")
# What a host interpreter's pyconfig.h says differently for aarch64: the C
# library's wchar_t is unsigned there and there is no x86 inline assembly. The
# rest of CPython's headers are the same on every 64-bit Linux.
AARCH64_PYCONFIG = {
    "HAVE_GCC_ASM_FOR_X64": None,
    "HAVE_GCC_ASM_FOR_X87": None,
    "HAVE_USABLE_WCHAR_T": "1",
}


def zig_compiler(arch):
    """A C++ compiler command for `arch` against glibc GLIBC's symbols: zig's
    clang with its own libc++ (from PyPI, in this venv), as one executable that
    CMake can be given."""
    import ziglang  # requirements/wheels.txt

    zig = Path(ziglang.__file__).with_name("zig")
    script = ROOT / "build" / "wheels" / "zig" / arch / "c++"
    script.parent.mkdir(parents=True, exist_ok=True)
    script.write_text(f"#!/bin/sh\nexec '{zig}' c++ -target {arch}-linux-gnu.{GLIBC} \"$@\"\n")
    script.chmod(0o755)
    return script


def aarch64_headers(python, version):
    """CPython `version`'s headers for aarch64: the host interpreter's own, with
    pyconfig.h rewritten for aarch64 (AARCH64_PYCONFIG)."""
    include = Path(subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['include'])"],
                                  capture_output=True, text=True, check=True).stdout.strip())
    target = ROOT / "build" / "wheels" / "include" / f"aarch64-{tag(version)}"
    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(include, target)
    config = target / "pyconfig.h"
    text = config.read_text()
    # Debian's multiarch layout: pyconfig.h only picks the one under the architecture's folder.
    multiarch = re.search(r"#\s*include <(x86_64-linux-gnu/python[\d.]+/pyconfig\.h)>", text)
    if multiarch:
        text = (include.parent / multiarch[1]).read_text()
    config.write_text(aarch64_pyconfig(text))
    return target


def aarch64_pyconfig(text):
    """An x86-64 pyconfig.h's text as it reads for aarch64."""
    for name, value in AARCH64_PYCONFIG.items():
        line = re.compile(rf"^(#define {name}\b.*|/\* #undef {name} \*/)$", re.MULTILINE)
        if not line.search(text):
            raise SystemExit(f"pyconfig.h: no line for {name}")
        text = line.sub(f"#define {name} {value}" if value else f"/* #undef {name} */", text)
    return text


def build(versions, arches=ARCHES):
    raw = DIST / "raw"
    built = 0
    for arch in arches:
        compiler = zig_compiler(arch)
        for version in versions:
            python = interpreter(version)
            if python is None:
                say(f"CPython {version} not found, no wheels for it")
                continue
            say(f"building the {tag(version)} {arch} wheel with {python} and zig c++ for glibc {GLIBC}")
            for old in raw.glob(f"zemvara-*-{tag(version)}-*.whl"):
                old.unlink()
            settings = {
                "build-dir": f"build/wheels/{arch}-{tag(version)}",
                # The linker strips the modules: the host's strip may not read the target's objects.
                "install.strip": "false",
                "cmake.define.CMAKE_MODULE_LINKER_FLAGS": "-s",
            }
            # CMake and ninja from this venv (requirements/test.txt): the build needs no other copy.
            env = dict(os.environ, CXX=str(compiler), PATH=os.pathsep.join([str(Path(sys.executable).parent), os.environ["PATH"]]))
            if arch != platform.machine():
                settings.update({
                    "cmake.define.CMAKE_SYSTEM_NAME": "Linux",
                    "cmake.define.CMAKE_SYSTEM_PROCESSOR": arch,
                    "cmake.define.Python_INCLUDE_DIR": str(aarch64_headers(python, version)),
                })
                # The modules' file name suffix, for the target (CMakeLists.txt reads it from the build backend).
                env["SETUPTOOLS_EXT_SUFFIX"] = f".cpython-{tag(version)[2:]}-{arch}-linux-gnu.so"
            run(python, "-m", "pip", "wheel", "-q", "--no-deps", "-w", raw,
                *(f"--config-settings={key}={value}" for key, value in settings.items()), ROOT, env=env)
            wheel, = raw.glob(f"zemvara-*-{tag(version)}-*.whl")
            # The modules carry their C++ runtime and need only the C library, so
            # there is nothing to graft: the wheel takes the manylinux tag (which
            # check() then confirms with auditwheel) in place of the build's.
            run(sys.executable, "-m", "wheel", "tags", "--remove", f"--platform-tag={PLATFORM}_{arch}", wheel)
            wheel, = raw.glob(f"zemvara-*-{tag(version)}-*.whl")
            for old in DIST.glob(f"zemvara-*-{tag(version)}-*_{arch}.whl"):
                old.unlink()
            wheel.rename(DIST / wheel.name)
            built += 1
    return built > 0 and check([])


def _version(text):
    return tuple(int(part) for part in text.split("."))


def needs(wheel):
    """(ELF machine, NEEDED libraries, {"GLIBC": newest version, ...}) over the
    extension modules in `wheel`, read from their dynamic sections."""
    import io
    import zipfile

    from elftools.elf.elffile import ELFFile  # auditwheel's own ELF reader

    machines, libraries, newest = set(), set(), {}
    with zipfile.ZipFile(wheel) as archive:
        for name in (n for n in archive.namelist() if n.endswith(".so")):
            elf = ELFFile(io.BytesIO(archive.read(name)))
            machines.add(elf["e_machine"])
            for section in elf.iter_sections():
                if section.header.sh_type == "SHT_DYNAMIC":
                    libraries |= {tag.needed for tag in section.iter_tags() if tag.entry.d_tag == "DT_NEEDED"}
                if section.header.sh_type == "SHT_GNU_verneed":
                    for _, auxiliaries in section.iter_versions():
                        for aux in auxiliaries:
                            family, _, version = aux.name.partition("_")
                            # Numbered versions only (GLIBC_ABI_DT_RELR and the like are left to auditwheel).
                            if re.fullmatch(r"[\d.]+", version) and _version(version) > newest.get(family, (0,)):
                                newest[family] = _version(version)
    return machines, libraries, newest


ELF_MACHINES = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}
# glibc's own dynamic loader, which its policies take as given.
DYNAMIC_LOADERS = {"ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}


def check(wheels):
    """Each wheel in dist/ (or those named): `auditwheel show` finds it consistent
    with the manylinux tag its name carries, its modules are for that tag's
    architecture, and no module needs a library, or a glibc or C++ runtime
    symbol version, that the tag's policy does not list."""
    import json
    from importlib.resources import files

    from packaging.utils import parse_wheel_filename

    wheels = [Path(w) for w in wheels] or sorted(DIST.glob("zemvara-*.whl"))
    if not wheels:
        say("no wheels in dist/ to check (make wheels-dist)")
        return False
    policies = {p["name"]: p for p in json.loads((files("auditwheel.policy") / "manylinux-policy.json").read_text())}
    faults = []
    for wheel in wheels:
        platforms = {t.platform for t in parse_wheel_filename(wheel.name)[3]}
        named = [m for m in (re.fullmatch(r"manylinux_(\d+)_(\d+)_(\w+)", p) for p in platforms) if m]
        if not named or len(platforms) != len(named) or len({m[3] for m in named}) != 1:
            faults.append(f"{wheel.name}: not one architecture's manylinux_X_Y tags")
            continue
        arch = named[0][3]
        # The name promises every tag it carries: the newest glibc among them is the one to meet.
        glibc = max((int(m[1]), int(m[2])) for m in named)
        policy = policies[f"manylinux_{glibc[0]}_{glibc[1]}"]
        shown = " ".join(subprocess.run([sys.executable, "-m", "auditwheel", "show", wheel],
                                        capture_output=True, text=True).stdout.split())
        found = re.search(r'consistent with the following platform tag: "manylinux_(\d+)_(\d+)_(\w+)"', shown)
        machines, libraries, newest = needs(wheel)
        problems = []
        if not found or found[3] != arch or (int(found[1]), int(found[2])) > glibc:
            problems.append("auditwheel show: " + (shown or "no output"))
        if machines != {ELF_MACHINES[arch]}:
            problems.append(f"modules for {sorted(machines)}")
        unlisted = libraries - set(policy["lib_whitelist"]) - DYNAMIC_LOADERS
        if unlisted:
            problems.append(f"needs {sorted(unlisted)}")
        allowed = policy["symbol_versions"][arch]
        for family, version in sorted(newest.items()):
            listed = [_version(v) for v in allowed.get(family, ()) if re.fullmatch(r"[\d.]+", v)]
            if not listed or version > max(listed):
                problems.append(f"needs {family}_{'.'.join(map(str, version))}")
        glibc_needed = ".".join(map(str, newest.get("GLIBC", ())))
        say(f"{wheel.name}: {wheel.stat().st_size / 2**20:.1f} MiB, needs glibc {glibc_needed} and "
            f"{', '.join(sorted(libraries))}; " + ("; ".join(problems) if problems else "ok"))
        faults += [f"{wheel.name}: {problem}" for problem in problems]
    for fault in faults:
        say(fault)
    return not faults


def test(versions):
    results = []
    for version in versions:
        python = interpreter(version)
        wheels = sorted(DIST.glob(f"zemvara-*-{tag(version)}-*manylinux*_{platform.machine()}.whl"))
        if python is None or not wheels:
            say(f"CPython {version}: " + ("not found" if python is None else "no wheel in dist/ (make wheels-dist)"))
            continue
        start = time.monotonic()
        venv = MATRIX / version
        say(f"CPython {version}: a fresh venv in {venv.relative_to(ROOT)} with {wheels[-1].name}")
        shutil.rmtree(venv, ignore_errors=True)
        run(python, "-m", "venv", venv)
        py = venv / "bin" / "python"
        run(py, "-m", "pip", "install", "-q", "--upgrade", "pip")
        say(f"CPython {version}: installing the test requirements (PyTorch and OpenCV take a while)")
        run(py, "-m", "pip", "install", "--progress-bar", "on", "-r", ROOT / "requirements" / "test.txt",
            wheels[-1])
        env = dict(os.environ, ZEMVARA_DEVICE="host", PYTHONPATH=str(ROOT / "hostdevice"))
        env.pop("VIRTUAL_ENV", None)
        say(f"CPython {version}: importing the {len(NATIVE_MODULES)} extension modules and running the suite "
            "on the host device")
        ok = subprocess.run([py, "-c", "import importlib, sys; [importlib.import_module(m) for m in sys.argv[1:]]",
                             *NATIVE_MODULES], env=env, cwd=ROOT).returncode == 0
        log = MATRIX / f"pytest-{version}.log"
        if ok:
            with open(log, "w") as out:
                proc = subprocess.Popen([py, "-m", "pytest", "-q", "-p", "no:cacheprovider", "tests", "hostdevice/tests"],
                                        env=env, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
                for line in proc.stdout:
                    sys.stdout.write(line)
                    out.write(line)
                ok = proc.wait() == 0
        summary = ""
        if log.exists():
            lines = [l for l in log.read_text().splitlines() if re.search(r"\d+ (passed|failed|errors?)\b", l)]
            summary = lines[-1].strip("= ") if lines else ""
        results.append((version, ok, time.monotonic() - start, summary))
    say("wheel matrix:")
    for version, ok, seconds, summary in results:
        print(f"  CPython {version}: {'passed' if ok else 'FAILED'} in {seconds:.0f} s  ({summary})", flush=True)
    return bool(results) and all(ok for _, ok, _, _ in results)


if __name__ == "__main__":
    command, args = sys.argv[1], sys.argv[2:]
    if command == "check":
        sys.exit(0 if check(args) else 1)
    arches = ARCHES
    if args[:1] == ["--arch"]:
        arches, args = tuple(args[1].split(",")), args[2:]
    versions = tuple(args) or VERSIONS
    sys.exit(0 if (build(versions, arches) if command == "build" else test(versions)) else 1)
