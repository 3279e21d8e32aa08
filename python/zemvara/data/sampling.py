"""The order in which one process of a group reads a dataset in one epoch.

Each process (`rank` of `world_size`) takes every world_size-th index of one
order of the whole dataset: 0, 1, ... n - 1, or a permutation drawn by
PyTorch's generator seeded with seed + epoch, so that every process draws the
same one. The order is padded by repeating its start until it divides evenly
(or, with drop_last, cut to the largest length that does). These are the
indices PyTorch's distributed sampler gives, in the same order.
"""

import math


def shard_indices(n, rank=0, world_size=1, shuffle=False, seed=0, epoch=0, drop_last=False):
    """The dataset indices that process `rank` of `world_size` reads in `epoch`, in order."""
    if world_size < 1 or not 0 <= rank < world_size:
        raise ValueError(f"shard_indices: rank {rank} is not in [0, {world_size})")
    if n < 0:
        raise ValueError(f"shard_indices: a dataset of {n} samples")
    if drop_last and n % world_size:
        per_rank = math.ceil((n - world_size) / world_size)
    else:
        per_rank = math.ceil(n / world_size)
    total = per_rank * world_size
    if shuffle:
        import torch

        generator = torch.Generator()
        generator.manual_seed(seed + epoch)
        order = torch.randperm(n, generator=generator).tolist()
    else:
        order = list(range(n))
    if not drop_last:
        pad = total - len(order)
        if pad <= len(order):
            order += order[:pad]
        elif order:
            order += (order * math.ceil(pad / len(order)))[:pad]
    else:
        order = order[:total]
    return order[rank:total:world_size]
