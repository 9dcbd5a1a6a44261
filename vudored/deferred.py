"""Deferred tensors: weights whose values the host never holds.

A DeferredTensor carries a shape, a dtype and a function that produces its values; on the lazy device
its data record keeps the tensor itself and no host memory, and the appliance calls materialize()
when it loads the weight (for example to read it from a checkpoint or to initialise it there).

    model.fc.weight = vudored.deferred.parameter(lambda: torch.load("fc.pt"), (10, 64))
"""
import torch
import torch.nn as nn

import orvex_pytorch_lib as ox


class DeferredTensor(torch.Tensor):
    """A host tensor of the given shape and dtype plus the function that makes its values. Its
    memory is released as soon as it becomes lazy data: the data record keeps only the tensor's
    shape, dtype and this object."""

    @staticmethod
    def __new__(cls, materialize, shape, dtype=torch.float32):
        tensor = torch.Tensor._make_subclass(cls, torch.empty(shape, dtype=dtype))
        tensor._materialize = materialize
        return tensor

    __torch_function__ = torch._C._disabled_torch_function_impl

    def materialize(self):
        value = self._materialize()
        if tuple(value.shape) != tuple(self.shape) or value.dtype != self.dtype:
            raise ValueError(f"A deferred tensor of {self.dtype} {list(self.shape)} materialised as "
                             f"{value.dtype} {list(value.shape)}.")
        return value


def tensor(materialize, shape, dtype=torch.float32):
    """A lazy tensor whose data record holds a DeferredTensor (no host data)."""
    return ox.eager_to_lazy(DeferredTensor(materialize, tuple(shape), dtype))


def parameter(materialize, shape, dtype=torch.float32, requires_grad=True):
    """A parameter on the lazy device whose values come from `materialize` on the appliance."""
    from .step import rebase
    param = nn.Parameter(tensor(materialize, shape, dtype), requires_grad=requires_grad)
    rebase(param)
    return param
