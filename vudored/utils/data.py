"""Feeding batches to the lazy device.

    loader = vudored.utils.data.DataLoader(torch.utils.data.DataLoader(dataset, batch_size=32,
                                                                       drop_last=True))

Every tensor of a batch moves to the lazy device named "input.0", "input.1", ... in the order of the
batch's flattened structure (the program classifies arguments named "input..." as its per-batch
inputs). The lazy tensors keep a reference to their host tensor, which the compiled step hands to
the appliance; their host data is not copied into the data store.

The program has one batch size. A loader whose last batch is smaller (drop_last=False and a dataset
size that is not a multiple of the batch size) is accepted here, with a warning, but the compiled
step refuses that last batch with a BatchSizeError: nothing is dropped silently. Pass
drop_last=True to skip it.
"""
import warnings

import torch
from torch.utils._pytree import tree_flatten, tree_unflatten

import orvex_pytorch_lib as ox

from ..backend import LAZY, keeping_data

HOST_ATTR = "_vudored_host"


def input_name(index):
    return f"input.{index}"


def to_lazy_input(host, index):
    """A lazy tensor named as input `index` that stands for the host tensor `host`."""
    host = host.detach()
    with keeping_data(False):  # the host tensor itself travels to the appliance
        lazy = host.to(LAZY)
    ox.set_parameter_name(lazy, input_name(index))
    setattr(lazy, HOST_ATTR, host.contiguous())
    return lazy


def to_device(batch):
    """The batch with every tensor moved to the lazy device as a named input."""
    leaves, spec = tree_flatten(batch)
    index = 0
    moved = []
    for leaf in leaves:
        if isinstance(leaf, torch.Tensor):
            leaf = to_lazy_input(leaf, index)
            index += 1
        moved.append(leaf)
    return tree_unflatten(moved, spec)


class DataLoader:
    """Wraps a PyTorch DataLoader (or any iterable of batches) so that its batches arrive on the
    lazy device as named inputs. Other attributes are the wrapped loader's."""

    def __init__(self, loader):
        self.loader = loader
        batch_size = getattr(loader, "batch_size", None)
        dataset = getattr(loader, "dataset", None)
        if batch_size and not getattr(loader, "drop_last", True) and hasattr(dataset, "__len__") \
                and len(dataset) % batch_size:
            warnings.warn(
                f"The loader's last batch has {len(dataset) % batch_size} samples instead of "
                f"{batch_size}; the compiled step refuses it (one batch size per program). "
                "Pass drop_last=True to the DataLoader to skip it.", stacklevel=2)

    def __iter__(self):
        for batch in self.loader:
            yield to_device(batch)

    def __len__(self):
        return len(self.loader)

    def __getattr__(self, name):
        return getattr(self.loader, name)
