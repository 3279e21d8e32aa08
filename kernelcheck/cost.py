"""A launch's figures on the SASS executor and what they cost on an H100 (the kernel report's model).

`emulate` runs a stratified sample of a launch's warps (whole blocks for kernels
with barriers) and scales their counts to the grid; `occupancy` and
`launch_times` turn them into the model's occupancy and times, stated in
bench/kernel_report.py's help.
"""

import math
import random

from kernelcheck import compiled, sass_paths

H100 = dict(sms=132, schedulers=4, clock=1.755e9, bandwidth=3.35e12, l1_sectors=4, max_warps=64, registers=65536,
            max_blocks=32, shared=228 * 1024, shared_reserved=1024, shared_per_block=227 * 1024)  # fmt: skip
LAUNCH_US = 3.0

SMALL = 8 << 20  # arrays up to this size are copied into the emulated memory; larger ones read as zeros


def emulate(launch, kernel, warps):
    """Figures of one launch: warp instructions, load requests and sectors, store sectors, bytes."""
    memory, values = compiled.load(launch.args, limit=SMALL)
    sass_paths.place_globals(kernel["program"], memory)
    bank = sass_paths.geometry(sass_paths.pack_params(kernel["types"], values), launch.grid, launch.block)
    gx, gy, gz = launch.grid
    bx, by, bz = launch.block
    warps_per_block = -(-bx * by * bz // 32)
    total_warps = gx * gy * gz * warps_per_block
    program, shared_end = kernel["program"], kernel["shared_end"]
    # Sample warps stratified over the grid: one block drawn at random in each cell of a
    # side x rows partition of it (a fixed seed), one of its warps drawn at random. Kernels
    # with barriers run whole blocks: at least 4, and at least `warps` warps in all.
    blocks = max(4, -(-warps // warps_per_block)) if program.barriers else warps
    rng = random.Random(1)
    side = max(1, int(math.sqrt(blocks)))
    rows = max(1, blocks // side)
    picks = []
    for i in range(side):
        for j in range(rows):
            block_idx = (min(gx - 1, int((i + rng.random()) * gx / side)), min(gy - 1, int((j + rng.random()) * gy / rows)),
                         rng.randrange(gz))  # fmt: skip
            picks.append((block_idx, None if program.barriers else rng.randrange(warps_per_block)))
    issued = loads = load_sectors = store_sectors = shared_requests = shared_wavefronts = 0
    counts = []
    sampled = []
    for block_idx, w in picks:
        if w is None:
            sampled += sass_paths.block_counts(program, memory, bank, launch.grid, launch.block, block_idx, shared_end)
        else:
            sampled.append(sass_paths.warp_counts(program, memory, bank, launch.grid, launch.block, block_idx, w,
                                                  shared_end))  # fmt: skip
    for n, sectors, shared, threads in sampled:
        issued += n
        counts += [t.count for t in threads]
        for kind, s in sectors:
            if kind == "load":
                loads += 1
                load_sectors += s
            else:
                store_sectors += s
        shared_requests += len(shared)
        shared_wavefronts += sum(f for _, f in shared)
    scale = total_warps / len(sampled)
    return dict(
        warp_instructions=issued * scale,
        load_requests=loads * scale,
        load_sectors=load_sectors * scale,
        store_sectors=store_sectors * scale,
        shared_requests=shared_requests * scale,
        shared_wavefronts=shared_wavefronts * scale,
        thread_counts=(min(counts), max(counts)) if counts else (0, 0),
        bytes_read=sum(memory.size(b) for b in memory.read_from),
        bytes_written=sum(memory.size(b) for b in memory.written_to),
        warps=len(sampled),
        blocks=len(picks) if program.barriers else 0,
    )


def occupancy(registers, threads, shared=0):
    """Warps resident per SM / 64, whole blocks, registers allocated per warp in units of 256,
    shared memory per block with its reserved 1 KB."""
    per_warp = -(-registers * 32 // 256) * 256
    warps_per_block = -(-threads // 32)
    if shared > H100["shared_per_block"]:
        raise ValueError(f"{shared} bytes of shared memory per block: more than the {H100['shared_per_block']} a block may have")
    blocks = min(H100["max_blocks"], H100["max_warps"] // warps_per_block,
                 H100["registers"] // (per_warp * warps_per_block) if per_warp else 99,
                 H100["shared"] // (shared + H100["shared_reserved"]))  # fmt: skip
    return blocks * warps_per_block / H100["max_warps"]



def launch_times(figures):
    """(issue, memory, L1) in microseconds of one launch's figures."""
    issue = figures["warp_instructions"] / (H100["sms"] * H100["schedulers"] * H100["clock"]) * 1e6
    memory = (figures["bytes_read"] + figures["bytes_written"]) / H100["bandwidth"] * 1e6
    cycles = (figures["load_sectors"] + figures["store_sectors"]) / H100["l1_sectors"] + figures["shared_wavefronts"]
    l1 = cycles / (H100["sms"] * H100["clock"]) * 1e6
    return issue, memory, l1
