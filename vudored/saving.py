"""Lazy tensors saved and copied with their values.

On the lazy device the value of a tensor lives in its data record (the host data it moved with) until
a program is compiled; from then on the appliance holds the weights and optimizer state it trains,
by name. So:
- torch.save of the lazy model's or optimizer's state_dict() (or of anything holding lazy tensors)
  writes those values as host tensors: the trained ones once the step has run. Loading gives CPU
  tensors, to load into a model before it moves to the device. A lazy tensor whose value exists
  nowhere yet (computed outside a step) is refused before any file is written; torch.save to a path
  writes a temporary file beside it and renames it, so a failed save never leaves a partial file.
- copy.deepcopy of a lazy tensor or parameter (of a lazy model: an EMA copy, AveragedModel) holds the
  same value as data, not a computed clone whose value the host would not know.
- load_state_dict into a model on the lazy device (a checkpoint loaded after the move) gives its
  parameters and buffers the loaded values as data, keeping the objects.
"""
import contextlib
import os
import sys
import threading
import uuid

import torch
import torch.nn as nn

import orvex_pytorch_lib as ox

from .errors import VudoredError

_local = threading.local()
SAVE_ROUTE = ("Save the trained values with torch.save(train_step.state_dict(), path) and "
              "torch.save(train_step.optimizer_state_dict(), path), or save tensors that hold data")


def _weights(compiled):
    cache = getattr(_local, "weights", None)
    if cache is not None:
        if compiled not in cache:
            cache[compiled] = compiled._appliance.weights()
        return cache[compiled]
    return compiled._appliance.weights()


def host_value(tensor):
    """The value of a lazy tensor as a new host tensor; VudoredError when it has none yet."""
    from .appliance import host_value as record_value
    step_module = sys.modules["vudored.step"]
    try:
        record = ox.get_appliance_data(tensor)
    except RuntimeError:
        record = None
    value = None
    if record is not None:
        compiled = step_module._compiled
        if compiled is not None and record.name:
            value = _weights(compiled).get(record.name)
        if value is None and record.has_tensor:
            value = record_value(record)
    if value is None or tuple(value.shape) != tuple(tensor.shape) or value.dtype != tensor.dtype:
        raise VudoredError(
            f"A lazy {tensor.dtype} {list(tensor.shape)} tensor has no value the host can save or "
            f"copy: it is computed on the lazy device ({ox.get_tensor_info(tensor)}) and only a "
            f"program could compute it. {SAVE_ROUTE}.")
    return value.detach().clone()


def _leaves(obj, depth=0):
    if isinstance(obj, torch.Tensor):
        yield obj
    elif depth < 8 and isinstance(obj, dict):
        for value in obj.values():
            yield from _leaves(value, depth + 1)
    elif depth < 8 and isinstance(obj, (list, tuple)):
        for value in obj:
            yield from _leaves(value, depth + 1)


@contextlib.contextmanager
def _saving(obj):
    """While an object is saved: the appliance's weights are read once, and the lazy tensors that
    a state dict holds are resolved first, so that a refusal comes before anything is written."""
    outer = getattr(_local, "weights", None)
    if outer is None:
        _local.weights, _local.resolved = {}, {}
    try:
        for leaf in _leaves(obj):
            if leaf.device.type == "lazy" and id(leaf) not in _local.resolved:
                _local.resolved[id(leaf)] = (leaf, host_value(leaf))
        yield
    finally:
        if outer is None:
            _local.weights = _local.resolved = None


_original_save = torch.save
_original_reduce = torch.Tensor._reduce_ex_internal
_original_tensor_deepcopy = torch.Tensor.__deepcopy__
_original_parameter_deepcopy = nn.Parameter.__deepcopy__


def save(obj, f, *args, **kwargs):
    with _saving(obj):
        if not isinstance(f, (str, os.PathLike)):
            return _original_save(obj, f, *args, **kwargs)
        path = os.fspath(f)
        temporary = os.path.join(os.path.dirname(os.path.abspath(path)),
                                 f".{os.path.basename(path)}.{uuid.uuid4().hex}.tmp")
        try:
            _original_save(obj, temporary, *args, **kwargs)
            os.replace(temporary, path)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
            raise


save.__doc__ = _original_save.__doc__


def _reduce_ex_internal(self, proto):
    if self.device.type == "lazy":
        resolved = (getattr(_local, "resolved", None) or {}).get(id(self))
        value = resolved[1] if resolved is not None and resolved[0] is self else host_value(self)
        if self.requires_grad and value.is_floating_point():
            value.requires_grad_(True)
        return _original_reduce(value, proto)
    return _original_reduce(self, proto)


def _copy_of(tensor, memo):
    """A lazy tensor holding the value of `tensor` as data, or None (inside a traced step, or when
    the value is unknown: the usual clone then)."""
    from . import backend
    step_module = sys.modules["vudored.step"]
    if tensor.device.type != "lazy" or step_module._active is not None or id(tensor) in memo:
        return None
    try:
        value = host_value(tensor)
    except VudoredError:
        return None
    with backend.keeping_data(True):
        copied = ox.eager_to_lazy(value)
    return copied


def _tensor_deepcopy(self, memo):
    copied = _copy_of(self, memo) if type(self) is torch.Tensor else None
    if copied is None:
        return _original_tensor_deepcopy(self, memo)
    copied.requires_grad_(self.requires_grad)
    memo[id(self)] = copied
    return copied


def _parameter_deepcopy(self, memo):
    copied = _copy_of(self, memo) if type(self) is nn.Parameter else None
    if copied is None:
        return _original_parameter_deepcopy(self, memo)
    result = nn.Parameter(copied, requires_grad=self.requires_grad)
    memo[id(self)] = result
    return result


_original_load_state_dict = nn.Module.load_state_dict


def load_state_dict(self, state_dict, *args, **kwargs):
    """nn.Module.load_state_dict as PyTorch loads by default, copying into each tensor (the process
    swaps parameters only when modules move between devices; swapping would also break the weak
    references of the recurrent layers). Into a module on the lazy device each lazy parameter and
    buffer keeps its object (optimizers and tied modules refer to it) and holds the loaded value as
    data, which the appliance loads at the first step. PyTorch checks the keys and shapes."""
    from . import backend
    loaded, fresh = state_dict, {}
    if not kwargs.get("assign") and sys.modules["vudored.step"]._active is None:
        own = {key: t for key, t in self.state_dict(keep_vars=True).items()
               if isinstance(t, torch.Tensor) and t.device.type == "lazy"}
        for key, target in own.items():
            value = state_dict.get(key)
            if isinstance(value, torch.Tensor) and tuple(value.shape) == tuple(target.shape):
                host = host_value(value) if value.device.type == "lazy" else value.detach()
                with backend.keeping_data(True):
                    fresh[key] = (target, ox.eager_to_lazy(host.to(target.dtype).contiguous().clone()))
        if fresh:
            loaded = type(state_dict)(state_dict) if isinstance(state_dict, dict) else dict(state_dict)
            loaded.update({key: value for key, (_, value) in fresh.items()})
            if hasattr(state_dict, "_metadata"):
                loaded._metadata = state_dict._metadata
    swapping = torch.__future__.get_swap_module_params_on_conversion()
    torch.__future__.set_swap_module_params_on_conversion(False)
    try:
        result = _original_load_state_dict(self, loaded, *args, **kwargs)
    finally:
        torch.__future__.set_swap_module_params_on_conversion(swapping)
    with torch.no_grad():
        for target, value in fresh.values():
            target.set_(value)  # the same object, now holding the loaded value as data
    return result


def install():
    """Routes torch.save, pickling and copy.deepcopy of lazy tensors through their values, and
    load_state_dict into lazy modules into their data."""
    torch.save = save
    nn.Module.load_state_dict = load_state_dict
    torch.Tensor._reduce_ex_internal = _reduce_ex_internal
    torch.Tensor.__deepcopy__ = _tensor_deepcopy
    nn.Parameter.__deepcopy__ = _parameter_deepcopy
