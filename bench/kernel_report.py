"""A static report of the compiled resampling kernels: what each specialisation costs on the GPU, without one.

Every specialisation the package can launch is compiled for sm_90 with nvcc
(`make kernel-report` installs it from PyPI into .venv-tools); for each the
report prints the registers per thread, the local memory (stack frame and
spills, in bytes per thread) and the SASS instruction slots per tap of its
tap loop.

Tap loops are the innermost loops (backward branches) that load from memory,
accumulate with FFMA and take at least four taps an iteration (a kernel may
have several: chunks of 4 and 8 taps, an unrolled loop and its remainder); the
report prints the range of slots per tap = instructions / taps over them. A warp's
taps are its loads (one per channel, one per pixel where a four-channel pixel
is read in one vector load); a resize pass's are its FFMAs, one per channel
(its weight loads are not taps). Kernels without such a loop (nearest,
bilinear, the weight tables) print "-".

    python bench/kernel_report.py [--nvcc PATH] [--source FILE] [--filter WORD]

Run it with the package's own Python (it reads the filter table and the
kernel sources from the installed package); `--source` reports another copy
of the kernel source instead (to compare a change with what came before).
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TOOLS = ROOT / ".venv-tools"


def nvidia_bin():
    """The bin folder of the nvcc wheel in the tools venv, or None."""
    for path in TOOLS.glob("lib/python*/site-packages/nvidia/cu*/bin"):
        if (path / "nvcc").exists() and (path / "nvdisasm").exists():
            return path
    return None


def have_tools():
    return nvidia_bin() is not None


def specialisations():
    """(name expression, per_tap, count) for every kernel the package launches (see `report`)."""
    from zemvara.transform.resampling import _sources

    return _sources.report_expressions()


def compile_report(source, expressions, bin_dir, workdir):
    """{mangled name: (registers, stack, spill stores, spill loads)}, and the SASS text."""
    unit = Path(workdir) / "kernels.cu"
    refs = ",\n    ".join(f"(const void *)&{e}" for e, *_ in expressions)
    unit.write_text(f"{source}\n\nconst void *zemvara_report_kernels[] = {{\n    {refs}\n}};\n")
    cubin = Path(workdir) / "kernels.cubin"
    env = dict(os.environ, PATH=f"{bin_dir}:{os.environ.get('PATH', '')}")
    result = subprocess.run(
        [str(bin_dir / "nvcc"), "-cubin", "-arch=sm_90", "-O3", "--std=c++17", "-Xptxas=-v",
         "-o", str(cubin), str(unit)],
        capture_output=True, text=True, env=env,
    )  # fmt: skip
    if result.returncode:
        sys.exit(f"kernel_report: nvcc failed\n{result.stderr}")
    usage, name, properties = {}, None, None
    for line in result.stderr.splitlines():
        m = re.search(r"Compiling entry function '(\w+)'", line)
        if m:
            name = m.group(1)
        m = re.search(r"Function properties for (\w+)", line)
        if m:  # the kernel's own, or a device function's that it calls
            properties = m.group(1)
        m = re.search(r"(\d+) bytes stack frame, (\d+) bytes spill stores, (\d+) bytes spill loads", line)
        if m and name and properties == name:
            usage[name] = [0, *map(int, m.groups())]
        m = re.search(r"Used (\d+) registers", line)
        if m and name:
            usage[name][0] = int(m.group(1))
    sass = subprocess.run([str(bin_dir / "nvdisasm"), "-c", "-hex", str(cubin)], capture_output=True, text=True, env=env)
    if sass.returncode:
        sys.exit(f"kernel_report: nvdisasm failed\n{sass.stderr}")
    return usage, sass.stdout


def functions(sass):
    """{mangled name: [(address, instruction)]} and {mangled name: {label: address}} from nvdisasm -c."""
    code, labels, current, pending = {}, {}, None, []
    for line in sass.splitlines():
        m = re.match(r"\.text\.(\w+):", line.strip())
        if m:
            current = m.group(1)
            code[current], labels[current], pending = [], {}, []
            continue
        m = re.match(r"(\.L_x_\d+):", line.strip())
        if m and current:
            pending.append(m.group(1))
            continue
        m = re.match(r"\s*/\*([0-9a-f]{4,})\*/\s+(.*?)\s*;", line)
        if m and current:
            address = int(m.group(1), 16)
            for label in pending:
                labels[current][label] = address
            pending = []
            code[current].append((address, m.group(2).strip()))
    return code, labels


def opcode(instruction):
    words = instruction.split()
    return words[1] if words[0].startswith("@") else words[0]


def loop_taps(ops, per_tap, count):
    """Taps in a loop body: its global loads (count "loads") or its FFMAs (count "fmas"), per_tap of them a tap."""
    if count == "loads":
        return sum(op.startswith("LDG") for op in ops) / per_tap
    return sum(op.startswith("FFMA") for op in ops) / per_tap


def tap_loops(code, labels, per_tap, count):
    """[(start, end, taps)] of the tap loops: innermost loops (backward branches) that load from
    memory, accumulate with FFMA, and take at least four taps an iteration."""
    loops = []
    for k, (address, instruction) in enumerate(code):
        m = re.search(r"\bBRA\b.*\((\.L_x_\d+)\)", instruction)
        if not m or labels.get(m.group(1), address + 1) > address:
            continue
        start = labels[m.group(1)]
        ops = [opcode(t) for a, t in code[: k + 1] if a >= start]
        if any(op.startswith("LDG") for op in ops) and any(op.startswith("FFMA") for op in ops):
            loops.append((start, address, loop_taps(ops, per_tap, count)))
    inner = [lp for lp in loops if not any(o is not lp and lp[0] <= o[0] and o[1] <= lp[1] for o in loops)]
    return [lp for lp in inner if lp[2] >= 4]


def slots_per_tap(code, labels, per_tap, count):
    """(fewest, most) instructions (no-ops left out) per tap over the tap loops, or None."""
    slots = []
    for start, end, taps in tap_loops(code, labels, per_tap, count):
        ops = [op for op in (opcode(t) for a, t in code if start <= a <= end) if not op.startswith("NOP")]
        slots.append(len(ops) / taps)
    return (min(slots), max(slots)) if slots else None


def report(source, expressions):
    """Rows (expression, registers, local bytes, slots per tap) for (expression, per_tap, count) triples:
    a tap is per_tap global loads (count "loads") or FFMAs (count "fmas") of the tap loop."""
    bin_dir = nvidia_bin()
    if bin_dir is None:
        sys.exit("kernel_report: no nvcc and nvdisasm in .venv-tools (make kernel-report installs them)")
    with tempfile.TemporaryDirectory() as workdir:
        usage, sass = compile_report(source, expressions, bin_dir, workdir)
    code, labels = functions(sass)
    mangled = list(usage)
    demangled = subprocess.run(["c++filt"], input="\n".join(mangled), capture_output=True, text=True).stdout.split("\n")
    by_text = {re.sub(r"^void|\s+", "", text.split("(")[0]): name for name, text in zip(mangled, demangled)}
    # Enumerators passed as int template arguments demangle as their values.
    codes = {"U8": 0, "U16": 1, "F16": 2, "F32": 3, "ALONG_Y": 0, "ALONG_X": 1, "ALONG_PACKED_X": 2}
    rows = []
    for expression, per_tap, count in expressions:
        key = re.sub(r"zemvara::(U8|U16|F16|F32|ALONG_Y|ALONG_X|ALONG_PACKED_X)\b", lambda m: str(codes[m.group(1)]), re.sub(r"\s+", "", expression))
        name = by_text.get(key)
        if name is None:
            rows.append((expression, "?", "?", "?"))
            continue
        registers, stack, stores, loads = usage[name]
        slots = slots_per_tap(code.get(name, []), labels.get(name, {}), per_tap, count)
        text = "-" if slots is None else f"{slots[0]:.1f}" if slots[0] == slots[1] else f"{slots[0]:.1f}-{slots[1]:.1f}"
        rows.append((expression, registers, stack + stores + loads, text))
    return rows


def print_report(rows, title="Compiled resampling kernels, sm_90 (nvcc -O3)"):
    width = max(len(r[0]) for r in rows)
    print(f"{title}: registers per thread, local memory per thread (stack frame + spills,")
    print("bytes), SASS slots per tap of the tap loop (its instructions / its taps)")
    print(f"  {'kernel'.ljust(width)}  registers  local B  slots/tap")
    for expression, registers, local, slots in rows:
        print(f"  {expression.ljust(width)}  {str(registers).rjust(9)}  {str(local).rjust(7)}  {slots.rjust(9)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", help="a kernel source file to report instead of the package's")
    parser.add_argument("--filter", default="", help="only the expressions containing this text")
    args = parser.parse_args()
    from zemvara.transform.resampling import _sources

    source = _sources.report_code()
    if args.source:
        source = Path(args.source).read_text()
    expressions = [e for e in specialisations() if args.filter in e[0]]
    print_report(report(source, expressions))


if __name__ == "__main__":
    main()
