"""Feeding a network from image files: datasets (`ImageFolder`, `ImageList`), the training and evaluation transforms, and a `Loader` that yields batches on the device."""

from .datasets import ImageFolder, ImageList
from .loader import Loader
from .sampling import shard_indices
from .transforms import ColorJitter, Crop, RandomResizedCrop, ResizeCenterCrop

__all__ = ["ColorJitter", "Crop", "ImageFolder", "ImageList", "Loader", "RandomResizedCrop", "ResizeCenterCrop",
           "shard_indices"]
