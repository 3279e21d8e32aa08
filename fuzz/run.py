"""Runs the fuzz targets, each in a child process of its own, and reports what they found.

    python fuzz/run.py             every target for its share of about 10 minutes
    python fuzz/run.py --quick     a short pass for CI (6 s a target, under two minutes)
    python fuzz/run.py --targets writers --seconds 120

A target's corpus (seeded by the target itself, grown by the fuzzer) lives in
build/fuzz/corpus/<target>. A crash, a hang, a blown memory limit or a failed
check ends the child; the input that caused it is kept in
build/fuzz/findings/<target>/ and the target starts again for what is left of
its time. Findings with the same signature (the exception and where it was
raised, or the top of the stack of a crash) count once. The summary (runs,
coverage, corpus, distinct findings per target) is printed and written to
build/fuzz/summary.json; any finding makes the exit status 1.

Reproduce one with: python fuzz/fuzz_<target>.py <finding file>

Memory: on the host device (ZEMVARA_DEVICE=host) a child's address space is
capped at 5 GiB and each device's memory at 2 GiB (CUPY_GPU_MEMORY_LIMIT), both
below the RSS limit of 6 GiB. An allocation the caller may legitimately ask
for but that does not fit fails inside the call with MemoryError or CuPy's
OutOfMemoryError, as it would on a GPU too small for it, and counts as a clear
refusal. A leak still ends as a finding: once the caps are reached, the
target's own allocations, made outside the calls under test, fail with
MemoryError. The RSS limit guards runs on a GPU, where neither cap applies.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# One target per fuzz_<name>.py beside this file.
TARGETS = sorted(f[len("fuzz_"):-len(".py")] for f in os.listdir(HERE) if f.startswith("fuzz_") and f.endswith(".py"))
RESTARTS = 200
RSS_LIMIT_MB = 6144  # above the memory caps in common.py (see the docstring)


def signature(log):
    """What tells one finding from another: the exception and its innermost frame, or a crash's top frames."""
    frames = re.findall(r'File "([^"]+)", line (\d+)', log)
    crash = re.search(r"Fatal Python error: (.*)", log)
    if crash:
        after = log[crash.start():]
        top = re.findall(r'File "([^"]+)", line (\d+) in (\w+)', after)[:3]
        return crash.group(1) + " at " + " < ".join(f"{os.path.basename(f)}:{n} {fn}" for f, n, fn in top)
    error = [line.strip() for line in log.splitlines() if re.match(r"[\w.]*(Error|Finding|Exception|Warning)\b:?", line.strip())]
    where = f" at {os.path.basename(frames[-1][0])}:{frames[-1][1]}" if frames else ""
    reason = next((line.strip() for line in log.splitlines() if "ERROR: libFuzzer" in line), "")
    return (error[-1][:200] if error else reason) + where


def run_target(target, seconds, out, quick):
    corpus = os.path.join(out, "corpus", target)
    findings = os.path.join(out, "findings", target)
    os.makedirs(corpus, exist_ok=True)
    os.makedirs(findings, exist_ok=True)
    env = dict(os.environ, ZEMVARA_FUZZ_SEEDS=corpus)
    result = {"target": target, "runs": 0, "coverage": 0, "features": 0, "corpus": 0, "findings": []}
    deadline = time.monotonic() + seconds
    for attempt in range(RESTARTS):
        left = int(deadline - time.monotonic())
        if left < 2:
            break
        cmd = [sys.executable, os.path.join(HERE, f"fuzz_{target}.py"), corpus, f"-max_total_time={left}",
               "-timeout=30", f"-rss_limit_mb={RSS_LIMIT_MB}", "-handle_xfsz=0", "-print_final_stats=1",
               f"-artifact_prefix={findings}/"] + ([f"-seed={attempt + 1}"] if quick else [])
        env["ZEMVARA_FUZZ_WORK"] = work = tempfile.mkdtemp(prefix=f"zemvara-fuzz-{target}-")
        try:
            proc = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  timeout=left + 120, text=True, errors="replace")
            log, code = proc.stdout, proc.returncode
        except subprocess.TimeoutExpired as e:
            log, code = (e.stdout or b"").decode(errors="replace") if isinstance(e.stdout, bytes) else (e.stdout or ""), -9
        finally:
            shutil.rmtree(work, ignore_errors=True)
        done = re.findall(r"Done (\d+) runs", log) or re.findall(r"stat::number_of_executed_units:\s*(\d+)", log)
        if done:
            result["runs"] += int(done[-1])
        else:
            result["runs"] += max([int(n) for n in re.findall(r"^#(\d+)\s", log, re.M)] or [0])
        status = re.findall(r"cov: (\d+) ft: (\d+) corp: (\d+)", log)
        if status:
            cov, ft, corp = map(int, status[-1])
            result["coverage"] = max(result["coverage"], cov)
            result["features"] = max(result["features"], ft)
            result["corpus"] = max(result["corpus"], corp)
        if code == 0:
            break
        artifacts = re.findall(r"Test unit written to (\S+)", log)
        sig = signature(log) or f"exit status {code}"
        known = next((f for f in result["findings"] if f["signature"] == sig), None)
        if known:
            known["count"] += 1
            continue
        result["findings"].append({"signature": sig, "count": 1, "input": artifacts[-1] if artifacts else None})
        with open(os.path.join(findings, f"log-{len(result['findings'])}.txt"), "w") as f:
            f.write(log)
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="a short pass (CI)")
    parser.add_argument("--seconds", type=float, help="total time for all targets (default 540, quick 42)")
    parser.add_argument("--targets", nargs="+", choices=TARGETS, default=TARGETS)
    parser.add_argument("--out", default=os.path.join(ROOT, "build", "fuzz"))
    args = parser.parse_args()
    seconds = args.seconds or (42 if args.quick else 540)
    started = time.monotonic()
    results = []
    for target in args.targets:
        r = run_target(target, seconds / len(args.targets), args.out, args.quick)
        results.append(r)
        print(f"fuzz {r['target']:9s} runs {r['runs']:8d}  coverage {r['coverage']:5d}  features {r['features']:6d}  "
              f"corpus {r['corpus']:5d}  findings {len(r['findings'])}", flush=True)
        for finding in r["findings"]:
            print(f"    {finding['count']} x {finding['signature']}\n      input: {finding['input']}", flush=True)
    total = {"seconds": round(time.monotonic() - started, 1), "targets": results}
    with open(os.path.join(args.out, "summary.json"), "w") as f:
        json.dump(total, f, indent=1)
    found = sum(len(r["findings"]) for r in results)
    print(f"fuzz: {len(results)} targets, {sum(r['runs'] for r in results)} runs, {found} findings, "
          f"{total['seconds']} s")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
