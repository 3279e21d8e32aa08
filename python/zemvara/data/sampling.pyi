"""The order in which one process of a group reads a dataset in one epoch."""

from typing import List

def shard_indices(
    n: int, rank: int = 0, world_size: int = 1, shuffle: bool = False, seed: int = 0, epoch: int = 0,
    drop_last: bool = False,
) -> List[int]:
    """The dataset indices that process `rank` of `world_size` reads in `epoch`, in order.

    The indices PyTorch's distributed sampler gives with the same arguments:
    every world_size-th index, from rank on, of 0 ... n - 1 or (shuffle) of
    the permutation `torch.randperm` draws with a generator seeded by
    seed + epoch; the order is padded by repeating its start until it
    divides evenly, or with drop_last cut to the largest length that does.
    """
