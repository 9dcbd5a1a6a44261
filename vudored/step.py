"""The compiled training step (vudored.step; an example is in the package's docstring).

How it runs. The backend compiles one program per process: its first step boundary is a placeholder
run (nothing computes), the second builds the program. The first call passes the placeholder on a
one-element graph, then traces the function once on the first batch, and that trace is the program
(the steady-state step). The optimizers of torch.optim make their state (exp_avg, momentum_buffer,
...) in the step just before their first update is traced, for the parameters that have a gradient
then, as PyTorch does; that state enters the program as weights which start with the values PyTorch
gives them (zeros are made by the appliance itself), so the update is traced as every later step
runs it (see vudored.optim). Parameters without a gradient hold zeros in its place while the first
call is traced, standing in for the gradients an earlier call would leave: a step that adds to them
and keeps the sum is refused, and where no backward pass reached them they are None again. An
optimizer class with a step() or _init_group() of its own is traced twice instead: a first trace,
ended by the placeholder boundary, lets it create its state; the weights then get back their values
from before that trace. The program is compiled and loaded onto the appliance, and the appliance runs
it on the first batch. Every later call only hands the new batch to the appliance: the function is
not traced again, so the host work per step does not grow with the model. Every batch is trained on
exactly once, in order.

Consequences worth knowing:
- The function's Python code runs only while it is traced (once, on the first call; twice for an
  optimizer class with a step() of its own). Per-step host work belongs after the call or in a step
  closure (add_step_closure). Python values the step reads
  (its non-tensor arguments, the numbers, strings and flags of the globals and closures of the step
  and of the functions it calls, the modules' train/eval mode) are constants of the program: a later
  call with other values is refused with a GraphChangedError, never run with the traced ones. So is
  a change made outside the step to a weight (an in-place edit, load_state_dict into the lazy model).
- Names: inputs "input.0", "input.1", ... in the order of the flattened arguments; weights by the
  module's names ("fc1.weight", "bn.running_mean"); optimizer state by parameter name and state key
  ("fc1.weight.momentum_buffer", "fc1.weight.exp_avg"). Every weight and state tensor is aliased to
  its own update; what the function returns is marked as the outputs "output.0", "output.1", ...
  Modules and dicts of lazy tensors that the function reaches through its globals and closures (an
  EMA copy, an AveragedModel) are weights too, named after the global ("ema.fc1.weight").
- Optimizers: every number of the param groups (lr, momentum, betas, weight decay, ...) is an input
  of the program, read before each run, so learning-rate schedulers and momentum cycling work; new
  optimizer state starts with the values PyTorch gives it; see vudored.optim. LBFGS, SparseAdam and
  Adafactor are refused.
- Host reads of lazy values inside the step (`.item()`, `bool(t)`, `if torch.all(mask):`) are
  answered when the value follows from the step's inputs and constants alone (the weights and the
  optimizer state are out of the host's reach while the step is traced, as their values change at
  every step). Such a value is a guard of the program: before each later batch runs, the host
  computes it again from that batch, and a batch that gives another value is refused with a
  GraphChangedError (the program holds only the branch the traced value took). transformers' BERT,
  for example, reads whether its attention mask hides any padding. Other reads (printing a tensor,
  .numpy(), moving it to the host) raise HostReadError. Tensors made on the host inside the step
  (torch.tensor([...]).to(x.device), the index list of x[[1, 2]]) are constants of the program.
- Gradients are not carried from one call to the next: accumulate micro-batches inside one step
  (zero_grad, several backward calls, one optimizer.step()).
- The arguments must keep their structure, shapes and dtypes; non-tensor arguments are constants. A
  batch of another size raises BatchSizeError. With retrace=True every call traces the function
  again and any change of the graph raises GraphChangedError (slower: for checking a script).
- The lazy model runs only inside the step. For evaluation, `train_step.eager_model()` returns an
  eager copy of the model on the host with the appliance's current weights (the same copy, updated,
  on every later call); `state_dict()` and `optimizer_state_dict()` return the trained values, and
  torch.save of the lazy model's or optimizer's state_dict() writes them too.

Mixed precision is written inside the step as on the CPU: `with torch.autocast("cpu",
dtype=torch.bfloat16): loss = loss_fn(model(x), y)`, then `loss.backward()` and the optimizer step
after the block (PyTorch refuses `device_type="lazy"`). While the step is traced, vudored.autocast
applies CPU autocast's policy to the lazy tensors (matrix products, convolutions and attention in
bfloat16, losses in float32, cat/stack promoted, everything else in its input dtype), so the program
computes what eager CPU autocast computes, casts and their gradients included; float32 weights and
optimizer state stay float32. torch.autocast for another device type (e.g. "cuda") inside the step
raises UnsupportedError.
"""
import contextlib
import copy
import dis
import functools
import inspect
import math
import threading
import types

import torch
import torch._lazy
import torch.nn as nn
import torch.nn.functional as F
from torch.overrides import TorchFunctionMode
from torch.utils._pytree import tree_flatten, tree_unflatten

import orvex_pytorch_lib as ox

from . import backend, distributed, optim
from .optim import _same
from .autocast import LazyAutocast
from .errors import (BatchSizeError, GraphChangedError, HostReadError, UnsupportedError,
                     VudoredError)
from .utils.data import HOST_ATTR, input_name, to_lazy_input

# Reads that hand Python a number (or a list of numbers): inside a traced step they are answered
# when the host can compute the value from the step's inputs and constants alone (weights and
# optimizer state change at every step), and the value becomes a guard of the program.
GUARDED_READS = {torch.Tensor.item, torch.Tensor.tolist, torch.Tensor.__bool__,
                 torch.Tensor.__float__, torch.Tensor.__int__, torch.Tensor.__index__}
# Reads that hand over tensor values (printing, numpy, moving to the host): always refused.
HOST_READS = {torch.Tensor.numpy, torch.Tensor.cpu, torch.Tensor.__repr__, torch.Tensor.__format__}
HOST_READ_TEXT = (
    "The step reads the value of a lazy tensor on the host ({what}) while it is traced; {why}. "
    "Return the tensor from the step or pass it to vudored.add_step_closure.")
TENSOR_READ = ("values exist only after the appliance ran the step, and the function is traced for "
               "the first batch only")
# What the module's report says when a read needs data the host does not hold, and when an
# operator has no lazy kernel.
HOST_EVAL_TEXT = "Its value cannot be computed on the host: "
UNSUPPORTED_TEXT = "The Orvex backend does not yet support "
EVAL_ROUTE = ("For evaluation, run the eager copy that train_step.eager_model() returns (the model "
              "on the host with the appliance's current weights; call it again to refresh them)")

# Operations whose numbers (alpha=, value=, a fill value) PyTorch reads on the host when they are
# tensors: with a lazy tensor there (a hyperparameter of the program, or a value it computes) they
# are computed as tensor arithmetic instead, which is what they mean.
_ALPHA = {torch.Tensor.add, torch.Tensor.add_, torch.add, torch.Tensor.sub, torch.Tensor.sub_,
          torch.sub}
_VALUE = {torch.Tensor.addcmul: torch.mul, torch.Tensor.addcmul_: torch.mul, torch.addcmul: torch.mul,
          torch.Tensor.addcdiv: torch.div, torch.Tensor.addcdiv_: torch.div, torch.addcdiv: torch.div}
_BETA_ALPHA = {torch.addmm, torch.Tensor.addmm, torch.Tensor.addmm_, torch.baddbmm,
               torch.Tensor.baddbmm, torch.Tensor.baddbmm_}


# Random operations. Inside a stream of the lazy RNG (torch.utils.checkpoint's segments, see
# vudored.backend) each draw is recorded by its place in the stream, and a segment recomputed from
# the start of its stream reuses the draws instead of making new ones: the backward pass then sees
# the dropout masks the forward pass used.
_DROPOUTS = {F.dropout, F.dropout1d, F.dropout2d, F.dropout3d}
_RANDOM = {torch.rand, torch.randn, torch.randint, torch.rand_like, torch.randn_like,
           torch.randint_like, torch.bernoulli, torch.normal, torch.multinomial, torch.randperm,
           torch.Tensor.bernoulli, torch.Tensor.multinomial}
_RANDOM_INPLACE = {torch.Tensor.uniform_, torch.Tensor.normal_, torch.Tensor.bernoulli_,
                   torch.Tensor.exponential_, torch.Tensor.random_, torch.Tensor.geometric_,
                   torch.Tensor.log_normal_, torch.Tensor.cauchy_}


_ATTENTION_ARGUMENTS = ("query", "key", "value", "attn_mask", "dropout_p", "is_causal", "scale",
                        "enable_gqa")


def _bound(func, args, kwargs):
    if func is F.scaled_dot_product_attention:
        return {**dict(zip(_ATTENTION_ARGUMENTS, args)), **kwargs}
    return dict(inspect.signature(func).bind(*args, **kwargs).arguments)


def _causal_attention(args, kwargs, biases):
    """scaled_dot_product_attention(..., is_causal=True) without a mask, dropout or grouped heads,
    as plain operations; NotImplemented for any other call. PyTorch's own decomposition guards its
    softmax against rows without a single unmasked score, which a causal mask never has (row i keeps
    the scores 0..i): the guard's three operations, each over every score, are left out, and the
    scale multiplies the query alone instead of query and key."""
    a = _bound(F.scaled_dot_product_attention, args, kwargs)
    query, key, value = a.get("query"), a.get("key"), a.get("value")
    if not a.get("is_causal") or a.get("attn_mask") is not None or a.get("dropout_p") or \
            a.get("enable_gqa") or torch.is_autocast_enabled("cpu") or \
            not all(isinstance(t, torch.Tensor) and t.device.type == "lazy" and t.dim() >= 2 and
                    t.is_floating_point() for t in (query, key, value)):
        return NotImplemented
    length, source = query.size(-2), key.size(-2)
    if length == 0 or source == 0:
        return NotImplemented
    scale = a.get("scale")
    factor = 1 / math.sqrt(query.size(-1)) if scale is None else scale
    kind = (length, source, query.dtype, query.device)
    bias = biases.get(kind)  # one per shape in a step: every layer adds the same
    if bias is None:
        causal = torch.ones(length, source, dtype=torch.bool, device=query.device).tril()
        bias = biases[kind] = torch.zeros(length, source, dtype=query.dtype, device=query.device).masked_fill(
            ~causal, float("-inf"))
    scores = (query * factor) @ key.transpose(-2, -1) + bias
    return torch.softmax(scores, dim=-1) @ value


def _attention(query, key, value, attn_mask=None, dropout_p=0.0, is_causal=False, scale=None,
               enable_gqa=False, dropout=None):
    """scaled_dot_product_attention as its definition computes it, with `dropout` applied to the
    attention weights."""
    length, source = query.size(-2), key.size(-2)
    factor = 1 / math.sqrt(query.size(-1)) if scale is None else scale
    bias = torch.zeros(length, source, dtype=query.dtype, device=query.device)
    if is_causal:
        causal = torch.ones(length, source, dtype=torch.bool, device=query.device).tril()
        bias = bias.masked_fill(~causal, float("-inf"))
    if attn_mask is not None:
        bias = bias.masked_fill(~attn_mask, float("-inf")) if attn_mask.dtype == torch.bool \
            else bias + attn_mask
    if enable_gqa:
        key = key.repeat_interleave(query.size(-3) // key.size(-3), -3)
        value = value.repeat_interleave(query.size(-3) // value.size(-3), -3)
    weights = torch.softmax(query @ key.transpose(-2, -1) * factor + bias, dim=-1)
    return dropout(weights) @ value


def _lazy_number(value):
    return isinstance(value, torch.Tensor) and value.device.type == "lazy" and value.dim() == 0


def _tensor_numbers(func, args, kwargs):
    """func(*args, **kwargs) computed with its lazy numbers as tensors, or NotImplemented."""
    if func in _ALPHA and _lazy_number(kwargs.get("alpha")) and len(args) >= 2:
        rest = {k: v for k, v in kwargs.items() if k != "alpha"}
        return func(args[0], args[1] * kwargs["alpha"], *args[2:], **rest)
    if func in _VALUE and _lazy_number(kwargs.get("value")) and len(args) == 3 and len(kwargs) == 1:
        term = _VALUE[func](args[1], args[2]) * kwargs["value"]
        return args[0].add_(term) if func.__name__.endswith("_") else torch.add(args[0], term)
    if func in _BETA_ALPHA and len(args) == 3 and set(kwargs) <= {"beta", "alpha"} and any(
            _lazy_number(v) for v in kwargs.values()):
        product = torch.matmul(args[1], args[2]) * kwargs.get("alpha", 1)
        total = args[0] * kwargs.get("beta", 1) + product
        return args[0].copy_(total) if func.__name__.endswith("_") else total
    if func is torch.full_like and len(args) == 2 and _lazy_number(args[1]):
        return torch.empty_like(args[0], **kwargs).fill_(args[1])
    if func is torch.Tensor.new_full and len(args) == 3 and _lazy_number(args[2]):
        return args[0].new_empty(args[1], **kwargs).fill_(args[2])
    return optim.foreach_numbers(func, args, kwargs)


def _name_of(func):
    qualname = getattr(func, "__qualname__", None) or getattr(func, "__name__", repr(func))
    if qualname.startswith("TensorBase."):
        return "Tensor." + qualname.split(".", 1)[1]
    if qualname.startswith("_VariableFunctionsClass.") or qualname.startswith("PyCapsule."):
        return "torch." + qualname.split(".", 1)[1]
    if getattr(torch, qualname, None) is func:
        return "torch." + qualname
    module = getattr(func, "__module__", None) or ""
    if module == "torch._C._nn" or getattr(F, qualname, None) is func:
        module = "torch.nn.functional"
    if module.startswith("torch") and not qualname.startswith("Tensor."):
        return f"{module}.{qualname}"
    return qualname


class _TraceMode(LazyAutocast):
    """What the trace does at each torch call of the step: answers the host reads it can guard and
    refuses the others, keeps the optimizers' hyperparameters as program inputs, records the values
    new optimizer state starts with, and names the user's operation when the backend refuses one.

    It is also the step's autocast mode, so that a call meets one mode rather than two while
    autocast is off (most calls of most steps): under CPU autocast the call is handled with a
    LazyAutocast entered below it, as a LazyAutocast entered before this mode would be."""

    def __init__(self, trace):
        super().__init__()
        self.trace = trace

    def __torch_function__(self, func, types, args=(), kwargs=None):
        kwargs = kwargs or {}
        if not torch.is_autocast_enabled("cpu"):
            return self._handle(func, args, kwargs)
        below = LazyAutocast()
        TorchFunctionMode.__enter__(below)
        try:
            return self._handle(func, args, kwargs)
        finally:
            TorchFunctionMode.__exit__(below, None, None, None)

    def _handle(self, func, args, kwargs):
        trace = self.trace
        first = args[0] if args else None
        if trace.hyper_ids and isinstance(first, torch.Tensor):
            entry = trace.hyper_ids.get(id(first))
            if entry is not None:
                if func in optim.COMPARISONS and len(args) == 2 and optim._is_number(args[1]):
                    return trace.hyper.decide(entry[0], func, args[1])
                if func in optim.VALUE_READS:
                    value = trace.hyper.fixed(entry[0])
                    return bool(value) if func is torch.Tensor.__bool__ else \
                        int(value) if func in (torch.Tensor.__int__, torch.Tensor.__index__) else value
        if trace.numbers is not None:
            trace.numbers.extend((_name_of(func), a) for a in list(args) + list(kwargs.values())
                                 if isinstance(a, (int, float)) and not isinstance(a, bool))
        lazy = isinstance(first, torch.Tensor) and first.device.type == "lazy"
        if lazy and func in GUARDED_READS:
            return trace.read(func, args, kwargs)
        if lazy and (func in HOST_READS or func is torch.Tensor.to and _to_host(args, kwargs)):
            raise HostReadError(HOST_READ_TEXT.format(what=f"Tensor.{func.__name__}", why=TENSOR_READ))
        if func in (torch.Tensor.backward, torch.autograd.backward):
            return trace.backward(func, args, kwargs)
        if trace.stream is not None and (func in _DROPOUTS or func in _RANDOM or func in _RANDOM_INPLACE
                                         or func is F.scaled_dot_product_attention):
            return trace.draw(func, args, kwargs)
        try:
            result = _causal_attention(args, kwargs, trace.causal_biases) \
                if func is F.scaled_dot_product_attention \
                else _tensor_numbers(func, args, kwargs)
            if result is NotImplemented:
                result = func(*args, **kwargs)
        except RuntimeError as error:
            explained = trace.explain(error, func, args, kwargs)
            if explained is error:
                raise
            raise explained from error
        if trace.initial is not None and trace.in_optimizer:
            trace.initial.record(func, args, kwargs, result, trace.hyper_ids)
        return result


def _to_host(args, kwargs):
    device = torch._C._nn._parse_to(*args[1:], **kwargs)[0]
    return device is not None and device.type != "lazy"


class _Guard:
    """A value the step read on the host while it was traced; the program holds the branch it took."""
    __slots__ = ("func", "args", "kwargs", "value")

    def __init__(self, func, args, kwargs, value):
        self.func, self.args, self.kwargs, self.value = func, args, kwargs, value

    def describe(self):
        return f"Tensor.{self.func.__name__}"

    def current(self):
        return self.func(*self.args, **self.kwargs)


def _feed(inputs):
    """Hands the records of traced inputs the host tensors of a batch: [(lazy input, host)]. Host
    reads of the inputs compute from them."""
    with backend.holding_in_memory():
        for leaf, host in inputs:
            ox.copy_appliance_data(src=ox.eager_to_lazy(host), dst=leaf)


@contextlib.contextmanager
def _state_out_of_reach(tensors):
    """Inside the block the records of these lazy tensors (weights, optimizer state) hold no data,
    so that a host read depending on them fails instead of freezing values that change at every
    step; their data is back afterwards. Each record is reached through a clone made first (a new
    tensor on the same data node), which stays on the data when the step updates the tensor."""
    hidden = []
    blanks = {}  # one empty record per shape and dtype: data is shared only between equal kinds
    try:
        for t in tensors:
            with torch.no_grad():
                anchor = t.clone()
            holder = empty_lazy(t)
            try:
                ox.copy_appliance_data(src=anchor, dst=holder)
            except RuntimeError:  # computed rather than data: nothing to hide
                continue
            kind = (tuple(t.shape), t.dtype)
            if kind not in blanks:
                blanks[kind] = empty_lazy(t)
            ox.copy_appliance_data(src=blanks[kind], dst=anchor)
            hidden.append((anchor, holder))
        yield
    finally:
        for anchor, holder in hidden:
            ox.copy_appliance_data(src=holder, dst=anchor)


ACCUMULATION_TEXT = (
    "The step adds gradients to those of an earlier call (backward without optimizer.zero_grad() "
    "first in the step). Gradients are not carried from one run of the program to the next, so "
    "accumulation across calls cannot work. Accumulate inside one step instead:\n"
    "    @vudored.step(model, optimizer)\n"
    "    def train_step(x, y):\n"
    "        optimizer.zero_grad()\n"
    "        for xs, ys in zip(x.chunk(k), y.chunk(k)):\n"
    "            (loss_fn(model(xs), ys) / k).backward()\n"
    "        optimizer.step()\n"
    "and hand it k micro-batches at once.")

_active = None  # the trace in progress
_compiled = None  # the process's compiled step (one program per process)


def add_step_closure(fn, args=(), kwargs=None):
    """Calls fn(*args, **kwargs) after every step, with the step's values of the lazy tensors in
    args/kwargs as host tensors. Only inside a step function."""
    if _active is None:
        raise VudoredError("add_step_closure is only available inside a vudored step function.")
    _active.closures.append((fn, args, kwargs or {}))


def step(model, optimizer=None, *, device=None, retrace=False, process_group=None,
         bucket_cap_mb=distributed.DEFAULT_BUCKET_CAP_MB, timeout=distributed.DEFAULT_TIMEOUT):
    """Decorator: compiles the function into the appliance's program (see the module docstring).

    model: the module (or a dict {prefix: module}) whose parameters and buffers the step trains.
    optimizer: the optimizer, a list of them, or None.
    process_group: with torch.distributed initialised, the gradients are averaged over the default
    group (None), another ProcessGroup, or not at all (False); see vudored.distributed.
    bucket_cap_mb, timeout: the size of the gradient buckets (one all-reduce each) and the seconds a
    collective may wait for its peers.
    """
    def wrap(fn):
        return CompiledStep(fn, model, optimizer, device=device, retrace=retrace,
                            replicas=(process_group, bucket_cap_mb, timeout))
    return wrap


def empty_lazy(tensor):
    """A lazy device-data tensor of tensor's shape and dtype whose record holds no data (also for
    one element, whose data eager_to_lazy would keep)."""
    return ox.empty_data(tensor)


def rebase(tensor):
    """Makes a lazy tensor its own base, keeping its data record.

    nn.Module.to wraps each moved parameter in a Parameter, whose construction detaches it: under
    functionalization that detach is a view of a hidden base tensor. Updates of the parameter then
    go through that base, whose new value no step output carries, and the graph would grow from
    step to step. set_() on a fresh device-data tensor that shares the record cuts the view."""
    if "lazy_tensors::device_data" in ox.get_tensor_info(tensor):
        return
    fresh = empty_lazy(tensor)
    try:
        ox.copy_appliance_data(src=tensor, dst=fresh)
    except RuntimeError as error:
        raise VudoredError(
            f"A lazy {list(tensor.shape)} weight is computed from its data instead of holding it: "
            f"{ox.get_tensor_info(tensor)}. Compute weights on the host and move them to the device "
            "(model.to(device.torch_device)); the appliance loads them from their data.") from error
    with torch.no_grad():
        tensor.set_(fresh)


class _Trace:
    def __init__(self, inputs, state_names, modules):
        self.closures = []
        self.guards = []
        self.inputs = inputs  # [(lazy input, host tensor)]
        self.state_names = state_names
        self.module_names = modules  # id(module) -> name
        self.calls = []  # the modules running now, outermost first
        self._fed = False
        self.hyper = None
        self.hyper_ids = {}  # id(lazy hyperparameter) -> (slot index, traced value)
        self.initial = None  # optim.InitialValues while an optimizer's new state is recorded
        self.causal_biases = {}  # (length, source, dtype, device) -> the mask of causal attention
        self.in_optimizer = False
        self.numbers = None  # Python numbers handed to torch (retrace=True compares them)
        self.gradients = {}  # id(parameter) -> (gradient, version) when the trace began
        self.stand_ins = {}  # id(parameter) -> the zeros standing in for an earlier call's gradient
        self.received = set()  # parameters a backward pass gave a gradient
        self.carried = set()  # parameters whose stand-in a backward pass added to
        self.stream, self.position = None, 0  # the lazy RNG's stream and the place in it
        self.draws = {}  # (stream, place) -> a random draw (or a dropout's scaled mask)

    def read(self, func, args, kwargs):
        """A guarded host read: its value, computed by the backend from the step's inputs and
        constants (weights and optimizer state are out of reach while the step is traced)."""
        if not self._fed:
            _feed(self.inputs)
            self._fed = True
        try:
            value = func(*args, **kwargs)
        except RuntimeError as error:
            raise HostReadError(HOST_READ_TEXT.format(what=f"Tensor.{func.__name__}",
                                                      why=self._why(error))) from None
        self.guards.append(_Guard(func, args, kwargs, value))
        return value

    def _why(self, error):
        text = str(error)
        if HOST_EVAL_TEXT not in text:
            return "the host cannot compute its value: " + text.split("\n")[0]
        reason = text.split(HOST_EVAL_TEXT, 1)[1].split("\n")[0]
        if f'"{optim.HYPERPARAMETERS}"' in reason:
            return ("the value depends on an optimizer hyperparameter, which is an input of the "
                    "program (a scheduler may change it at every step)")
        for name in self.state_names:
            if f'"{name}"' in reason:
                return (f"the value depends on {name}, which the program changes at every step, so "
                        "the host cannot know it")
        return "the host cannot compute its value: " + reason

    def where(self):
        for module in reversed(self.calls):
            name = self.module_names.get(id(module))
            if name is not None:
                return f" in {type(module).__name__} {name!r}" if name else \
                    f" in the model ({type(module).__name__})"
        return f" in {type(self.calls[-1]).__name__}" if self.calls else ""

    def explain(self, error, func, args, kwargs):
        """The backend's refusal of an operator, said in terms of what the user wrote."""
        text = str(error)
        if isinstance(error, VudoredError):
            return error
        tensors = [t for t in tree_flatten((args, kwargs))[0] if isinstance(t, torch.Tensor)]
        on_host = [t for t in tensors if t.device.type != "lazy" and t.dim() > 0]
        if on_host and any(t.device.type == "lazy" for t in tensors):
            named = {id(p): n for n, p in self.parameter_names.items()}
            which = next((named[id(t)] for t in on_host if id(t) in named), None)
            return VudoredError(
                f"{_name_of(func)}{self.where()} mixes lazy tensors with tensors on the "
                f"{on_host[0].device.type} device" + (f" ({which})" if which else "") + ": move the "
                "model and every tensor the step uses to the lazy device before the first step "
                "(model.to(dev.torch_device)); tensors made inside the step belong on x.device.")
        if not text.startswith(UNSUPPORTED_TEXT):
            return error
        call = _name_of(func)
        operator = text[len(UNSUPPORTED_TEXT):].split("`")[1] if "`" in text else "an operator"
        if "_local_scalar_dense" in operator:
            return HostReadError(
                f"{call}{self.where()} reads the value of a lazy tensor on the host (it was given a "
                f"tensor where it takes a number); {self._why(error)}. Pass a Python number, or "
                "compute with the tensor (e.g. x * t instead of x.add(y, alpha=t)).")
        return UnsupportedError(
            f"{call}{self.where()} is not supported on the lazy device: it runs {operator}, which "
            f"the backend has no kernel for.\n{text}")

    def random_stream(self, stream):
        """The random draws from here on are those of `stream` (torch.lazy's RNG state)."""
        self.stream, self.position = stream, 0

    def draw(self, func, args, kwargs):
        """A random operation inside a stream: drawn once per place in the stream."""
        if func in _DROPOUTS or func is F.scaled_dot_product_attention:
            arguments = _bound(func, args, kwargs)
            if func is F.scaled_dot_product_attention:
                if not arguments.get("dropout_p"):
                    return func(*args, **kwargs)
                p = arguments.pop("dropout_p")
                return _attention(**arguments, dropout=lambda w: w * self._mask(F.dropout, w, p))
            if not arguments.get("training", True) or not arguments.get("p", 0.5):
                return func(*args, **kwargs)
            x = arguments["input"]
            mask = self._mask(func, x, arguments.get("p", 0.5))
            return x.mul_(mask) if arguments.get("inplace") else x * mask
        key = (self.stream, self.position)
        self.position += 1
        if key not in self.draws:
            result = func(*args, **kwargs)
            # An in-place draw's tensor may be written again later: the draw is kept apart.
            self.draws[key] = result.clone() if func in _RANDOM_INPLACE else result
            return result
        if func in _RANDOM_INPLACE:
            return args[0].copy_(self.draws[key])
        return self.draws[key]

    def _mask(self, dropout, x, p):
        """The scaled keep-mask of a dropout of x at this place in the stream."""
        key = (self.stream, self.position)
        self.position += 1
        if key not in self.draws:
            with torch.no_grad():
                self.draws[key] = dropout(torch.ones_like(x), p, True)
        return self.draws[key]

    def backward(self, func, args, kwargs):
        """Runs a backward pass; refuses one that adds to gradients of an earlier call."""
        before = {pid: (p.grad, None if p.grad is None else p.grad._version)
                  for pid, p in self.parameters.items()}
        # The mode is off inside its own handler; the operations the backward pass runs itself
        # (the recomputed segments of torch.utils.checkpoint, backward hooks) are traced under it.
        with _TraceMode(self):
            _backward(func, args, kwargs)
        for pid, p in self.parameters.items():
            grad, version = before[pid]
            changed = p.grad is not grad or (grad is not None and grad._version != version)
            if changed:
                self.received.add(pid)
            start, start_version = self.gradients.get(pid, (None, None))
            if changed and grad is not None and start is grad and start_version == version:
                if pid not in self.stand_ins:
                    raise UnsupportedError(ACCUMULATION_TEXT)
                self.carried.add(pid)  # refused if the step leaves it for the next call

    def stand_in_gradients(self):
        """Before the first trace: a parameter without a gradient gets zeros in its place, standing
        in for the gradient an earlier call would leave there. A step that resets gradients
        (zero_grad, `p.grad = None`) drops them; one that adds to them would add to the earlier
        call's gradients (refused when the step leaves the sum for the next call, see
        drop_stand_ins)."""
        with torch.no_grad():
            for pid, p in self.parameters.items():
                if p.grad is None and p.requires_grad:
                    p.grad = torch.zeros_like(p)
                    self.stand_ins[pid] = p.grad

    def drop_stand_ins(self, finished=False):
        """A parameter whose stand-in is there still and got no gradient has none, as in PyTorch
        (before the optimizers step, and when the trace ends). At the end, a gradient that a backward
        pass added to a stand-in and that the step leaves for the next call is refused."""
        for pid, stand_in in self.stand_ins.items():
            p = self.parameters[pid]
            if p.grad is stand_in and pid not in self.received:
                p.grad = None
        if finished and any(self.parameters[pid].grad is not None for pid in self.carried):
            raise UnsupportedError(ACCUMULATION_TEXT)


def _backward(func, args, kwargs):
    """torch.autograd.backward or Tensor.backward without their torch-function dispatch."""
    if func is torch.Tensor.backward:
        names = ("tensors", "grad_tensors", "retain_graph", "create_graph", "inputs")
        kwargs = {"grad_tensors" if k == "gradient" else k: v for k, v in kwargs.items()}
    else:
        names = ("tensors", "grad_tensors", "retain_graph", "create_graph", "grad_variables", "inputs")
    call = {**dict(zip(names, args)), **kwargs}
    if call.get("grad_variables") is not None:
        call["grad_tensors"] = call["grad_variables"]
    tensors = call["tensors"]
    tensors = (tensors,) if isinstance(tensors, torch.Tensor) else tuple(tensors)
    inputs = call.get("inputs")
    inputs = () if inputs is None else (inputs,) if isinstance(inputs, torch.Tensor) else tuple(inputs)
    grads = torch.autograd._tensor_or_tensors_to_tuple(call.get("grad_tensors"), len(tensors))
    grads = torch.autograd._make_grads(tensors, grads, is_grads_batched=False)
    create_graph = bool(call.get("create_graph"))
    retain_graph = call.get("retain_graph")
    torch.autograd.graph._engine_run_backward(
        tensors, grads, create_graph if retain_graph is None else retain_graph, create_graph, inputs,
        allow_unreachable=True, accumulate_grad=True)


class _Output:
    __slots__ = ("name",)

    def __init__(self, name):
        self.name = name


class _Constant:
    __slots__ = ("value",)

    def __init__(self, value):
        self.value = value


class _InputSlot:
    __slots__ = ("name", "shape", "dtype")

    def __init__(self, name, host):
        self.name = name
        self.shape = tuple(host.shape)
        self.dtype = host.dtype


def _sync(tensor):
    """Applies the pending updates of a tensor's views to it (functionalized lazy tensors)."""
    if torch._is_functional_tensor(tensor):
        torch._sync(tensor)


def _host_of(leaf, name):
    if leaf.device.type == "lazy":
        host = getattr(leaf, HOST_ATTR, None)
        if host is None:
            record = ox.get_appliance_data(leaf)
            if not record.has_tensor:
                raise VudoredError(
                    f"The step's {name} is a lazy tensor without host data; feed batches through "
                    "vudored.utils.data.DataLoader or pass host tensors.")
            host = record.tensor
        return host
    return leaf.detach().contiguous()


# ---------------------------------------------------------------------------- Python values

_LIBRARIES = ("torch", "vudored", "orvex_pytorch_lib", "transformers", "numpy", "lumo_interpreter")
_SIMPLE = (bool, int, float, str, type(None))


def _simple(value):
    return isinstance(value, _SIMPLE) or (
        isinstance(value, tuple) and len(value) <= 16 and all(isinstance(v, _SIMPLE) for v in value))


def _user_function(value):
    fn = getattr(value, "__func__", value)
    if isinstance(fn, functools.partial):
        fn = fn.func
    if not isinstance(fn, types.FunctionType):
        return None
    module = (fn.__module__ or "").split(".")[0]
    return None if module in _LIBRARIES else fn


def _code_objects(code):
    yield code
    for const in code.co_consts:
        if isinstance(const, types.CodeType):
            yield from _code_objects(const)


def _reachable(fn):
    """What the step function reads through globals and closures, following the user functions it
    calls: [(label, getter, value)] for every global or closure variable."""
    found = []
    seen = set()
    pending = [_user_function(fn)]
    while pending:
        f = pending.pop()
        if f is None or id(f) in seen or len(seen) > 64:
            continue
        seen.add(id(f))
        stored = set()
        loaded = set()
        for code in _code_objects(f.__code__):
            for instruction in dis.get_instructions(code):
                if instruction.opname in ("LOAD_GLOBAL", "LOAD_NAME"):
                    loaded.add(instruction.argval)
                elif instruction.opname in ("STORE_GLOBAL", "DELETE_GLOBAL"):
                    stored.add(instruction.argval)
        module = f.__globals__
        for name in sorted(loaded - stored):
            if name in module:
                found.append((f"global {name!r} of {f.__module__}", name,
                              functools.partial(dict.get, module, name), module[name]))
        for name, cell in zip(f.__code__.co_freevars, f.__closure__ or ()):
            try:
                value = cell.cell_contents
            except ValueError:
                continue
            found.append((f"variable {name!r} of {f.__qualname__}", name,
                          functools.partial(getattr, cell, "cell_contents"), value))
        for _, _, _, value in found:
            nested = _user_function(value)
            if nested is not None and id(nested) not in seen:
                pending.append(nested)
    return found


class _OutsideGuard:
    """A forward pre-hook of the step's models: on the lazy device they run only inside the step.
    Copies of the model (copy.deepcopy, AveragedModel) share it."""

    def __init__(self, step_name):
        self.step_name = step_name

    def __call__(self, module, args):
        if _active is None:
            raise VudoredError(
                f"The lazy model ({type(module).__name__}) ran outside its compiled step "
                f"{self.step_name!r}: on the lazy device a model runs only inside the step, whose "
                f"program holds the weights. {EVAL_ROUTE}, on host tensors.")

    def __deepcopy__(self, memo):
        return self


class CompiledStep:
    def __init__(self, fn, model, optimizer, device=None, retrace=False, replicas=(None,)):
        functools.update_wrapper(self, fn)
        self._replica_args = replicas
        self._replicas = None
        self._fn = fn
        self._models = dict(model) if isinstance(model, dict) else {"": model}
        if optimizer is None:
            optimizer = []
        self._optimizers = list(optimizer) if isinstance(optimizer, (list, tuple)) else [optimizer]
        self._device = device
        self._retrace = retrace
        self.steps = 0  # calls so far
        self._compiled = False
        self._failed = None
        self._marked = False  # a step boundary has been passed
        self._extra = {}  # dicts of lazy tensors the step updates: prefix -> dict
        self._eager = {}
        self._lock = threading.RLock()
        self._hooks = []
        guard = _OutsideGuard(getattr(fn, "__name__", "step"))
        for module in self._models.values():
            if isinstance(module, nn.Module):
                self._hooks.append(module.register_forward_pre_hook(guard))

    # ---------------------------------------------------------------- state naming

    def _state(self):
        """Every weight and piece of optimizer state on the lazy device, by name."""
        named = {}
        param_names = {}
        self._optimizer_names = set()
        for prefix, module in self._models.items():
            for name, p in module.named_parameters():
                named.setdefault(prefix + name, p)
                param_names.setdefault(id(p), prefix + name)
            for name, b in module.named_buffers():
                named.setdefault(prefix + name, b)
        for prefix, tensors in self._extra.items():
            for key, t in tensors.items():
                if isinstance(t, torch.Tensor):
                    named.setdefault(f"{prefix}{key}", t)
        for oi, opt in enumerate(self._optimizers):
            for gi, group in enumerate(opt.param_groups):
                for pi, p in enumerate(group["params"]):
                    pname = param_names.get(id(p))
                    if pname is None:
                        pname = f"optimizer{oi}.group{gi}.param{pi}"
                        named[pname] = p
                        param_names[id(p)] = pname
                    for key, value in opt.state.get(p, {}).items():
                        if isinstance(value, torch.Tensor):
                            named[f"{pname}.{key}"] = value
                            self._optimizer_names.add(f"{pname}.{key}")
        self._param_names = param_names
        return named

    def _discover(self):
        """Modules and dicts of lazy tensors that the step reaches through its globals and
        closures (an EMA copy, an AveragedModel) besides the ones it was given."""
        known = {id(t) for m in self._models.values() for t in list(m.parameters()) + list(m.buffers())}
        python = []
        for label, name, getter, value in _reachable(self._fn):
            if isinstance(value, nn.Module):
                tensors = list(value.parameters()) + list(value.buffers())
                lazy = [t for t in tensors if t.device.type == "lazy"]
                if lazy and any(id(t) not in known for t in lazy) and \
                        all(value is not m for m in self._models.values()):
                    if isinstance(value, torch.optim.swa_utils.AveragedModel) and \
                            value.n_averaged.device.type != "lazy":
                        with self._device:
                            value.n_averaged = value.n_averaged.to(backend.LAZY)
                    self._models[f"{name}."] = value
                    known.update(id(t) for t in list(value.parameters()) + list(value.buffers()))
            elif isinstance(value, dict) and value and all(
                    isinstance(t, torch.Tensor) for t in value.values()) and any(
                    t.device.type == "lazy" and id(t) not in known for t in value.values()):
                self._extra[f"{name}."] = value
                known.update(id(t) for t in value.values())
            elif _simple(value):
                python.append((label, getter, value))
        return python

    def _check_on_device(self, named):
        for name, t in named.items():
            if t.device.type != "lazy":
                raise VudoredError(
                    f"{name} is on the {t.device.type} device, not the lazy one: move the model to "
                    "vudored's device before the first step (model.to(dev.torch_device), with dev = "
                    "vudored.backend.device(...)), then create its optimizer.")

    # ---------------------------------------------------------------- tracing

    def _trace(self, args, kwargs, hyper, keep_hyper_data=False, initial=None, numbers=False,
               new_state=None):
        """Traces the function once. Returns what a run needs; the step boundary follows in
        _boundary(). new_state (optim.NewState): the optimizers make their state before their
        first update."""
        global _active
        flat, spec = tree_flatten((args, kwargs))
        traced, hosts, signature, inputs = [], [], [], []
        for leaf in flat:
            if isinstance(leaf, torch.Tensor):
                name = input_name(len(hosts))
                host = _host_of(leaf, name)
                if leaf.device.type == "lazy":
                    if not ox.set_parameter_name(leaf, name):
                        raise VudoredError(f"The step's {name} is a lazy tensor computed outside the step; "
                                           "pass batches as host tensors or through vudored's DataLoader.")
                else:
                    leaf = to_lazy_input(host, len(hosts))
                hosts.append(host)
                inputs.append((leaf, host))
                signature.append(_InputSlot(name, host))
            else:
                signature.append(_Constant(leaf))
            traced.append(leaf)
        args, kwargs = tree_unflatten(traced, spec)

        state = self._state()
        for name, t in state.items():
            ox.set_parameter_name(t, name)
        modules = {}
        reachable = [(name + ".", value) for _, name, _, value in _reachable(self._fn)
                     if isinstance(value, nn.Module)]
        for prefix, module in list(self._models.items()) + reachable:
            for name, sub in module.named_modules():
                modules.setdefault(id(sub), (prefix + name).rstrip("."))
        trace = _Trace(inputs, list(state), modules)
        trace.hyper = hyper
        trace.initial = initial
        trace.numbers = [] if numbers else None
        trace.parameters = {id(p): p for m in self._models.values() for p in m.parameters()}
        trace.parameter_names = {f"{prefix}{key}": t for prefix, module in reachable
                                 for key, t in list(module.named_parameters()) + list(module.named_buffers())}
        if new_state is not None:
            trace.stand_in_gradients()
        trace.gradients = {pid: (p.grad, p.grad._version if p.grad is not None else None)
                           for pid, p in trace.parameters.items()}
        replicas = self._replicas
        if replicas is not None:
            replicas.start_trace()
            buffers = [b for m in self._models.values() for b in m.buffers()
                       if b.device.type == "lazy" and b.is_floating_point()]
            before = [ox.get_tensor_info(b) for b in buffers]  # the node holding each value
        lazy_values = []
        if hyper.slots:
            batch = hosts[0].shape[0] if hosts and hosts[0].dim() else 1
            hyper_lazy = optim.hyper_input(hyper.values, batch, keep_hyper_data)
            lazy_values = [hyper_lazy[0, k] for k in range(len(hyper.slots))]
        def entered(module, args):
            trace.calls.append(module)

        def left(module, args, output):
            if trace.calls:
                trace.calls.pop()

        hooks = [torch.nn.modules.module.register_module_forward_pre_hook(entered),
                 torch.nn.modules.module.register_module_forward_hook(left)]
        mark_step = torch._lazy.mark_step
        _active = trace
        torch._lazy.mark_step = _refuse_mark_step
        try:
            with backend.keeping_data(True), _state_out_of_reach(state.values()), \
                    optim.StepHooks(trace, hyper, lazy_values, replicas, new_state), \
                    optim.AveragedModels(), \
                    _TraceMode(trace):
                result = self._fn(*args, **kwargs)
                trace.drop_stand_ins(finished=True)
                if replicas is not None:
                    for b in buffers:
                        _sync(b)
                    replicas.average_buffers([b for b, node in zip(buffers, before)
                                              if ox.get_tensor_info(b) != node])
        finally:
            trace.drop_stand_ins()
            _active = None
            torch._lazy.mark_step = mark_step
            for hook in hooks:
                hook.remove()

        marked = {}

        def mark(leaf, name):
            if not (isinstance(leaf, torch.Tensor) and leaf.device.type == "lazy"):
                return _Constant(leaf)
            if id(leaf) not in marked:
                _sync(leaf)
                ox.mark_output_tensor(leaf, name, force=True)
                marked[id(leaf)] = _Output(name)
            return marked[id(leaf)]

        out_flat, out_spec = tree_flatten(result)
        outputs = [mark(leaf, f"output.{j}") for j, leaf in enumerate(out_flat)]
        closures = []
        for c, (fn, cargs, ckwargs) in enumerate(trace.closures):
            cflat, cspec = tree_flatten((cargs, ckwargs))
            closures.append((fn, [mark(leaf, f"closure.{c}.{i}") for i, leaf in enumerate(cflat)], cspec))
        for name, t in self._state().items():
            if t.device.type != "lazy":  # host state the first step made: moved to the device next
                continue
            _sync(t)  # updates made through views (detach(), state_dict() values) land here
            ox.set_alias(t, name)
        return {"spec": spec, "signature": signature, "hosts": hosts, "outputs": outputs,
                "out_spec": out_spec, "closures": closures, "guards": trace.guards, "inputs": inputs,
                "numbers": trace.numbers, "initial": initial}

    def _boundary(self):
        self._marked = True
        torch._lazy.mark_step()

    def _release_gradients(self):
        """The gradients the trace leaves on the parameters are graphs no program computes; they
        would hold the graph of the backward pass, and with it the host data the weights were loaded
        from, for as long as the process runs. Each becomes a lazy tensor of its shape without data,
        which a later trace (retrace=True) zeroes or replaces as it did the first time; reading it
        on the host names it ("fc1.weight.grad")."""
        for prefix, module in self._models.items():
            for name, p in module.named_parameters():
                grad = p.grad
                if grad is not None and grad.device.type == "lazy" and \
                        "lazy_tensors::device_data" not in ox.get_tensor_info(grad):
                    p.grad = empty_lazy(grad)
                    ox.get_appliance_data(p.grad).name = f"{prefix}{name}.grad"

    # ---------------------------------------------------------------- calls

    def __call__(self, *args, **kwargs):
        with self._lock:
            self.steps += 1
            if self._failed is not None:
                raise VudoredError(f"The step could not be compiled earlier: {self._failed}")
            if not self._compiled:
                try:
                    return self._start(args, kwargs)
                except BaseException as error:
                    if self._compiled:  # compiled: the failure is the first run's own
                        raise
                    if self._marked:  # the backend moved on: no second attempt in this process
                        self._failed = f"{type(error).__name__}: {error}".split("\n")[0]
                    self.steps -= 1
                    raise
            if self._retrace:
                self._check_outside()
                return self._retraced(args, kwargs)
            hosts = self._hosts(args, kwargs)
            self._check_guards(hosts)
            return self._run(hosts)

    def _start(self, args, kwargs):
        global _compiled
        device = self._device or backend.current()
        self._device = device
        if device.compiled:
            raise VudoredError("This process compiled its program already (one program per process): "
                               "a second compiled step needs its own process.")
        ox.start_conversion()  # the conversion tool starts while the step is traced
        optim.check_supported(self._optimizers)
        self._replicas = distributed.replicas_for(*self._replica_args)
        if self._replicas is not None:
            distributed.check_modules(self._models)
            if not callable(getattr(device.appliance, "use_replicas", None)):
                raise VudoredError(f"The appliance {type(device.appliance).__name__} does not run "
                                   "programs with collectives; train without process_group or on the "
                                   "reference appliance.")
        self._python = self._discover()
        for module in self._models.values():
            for t in list(module.parameters()) + list(module.buffers()):
                if t.device.type == "lazy":
                    rebase(t)
        optim.prepare(self._optimizers, device)
        before = self._state()
        self._check_on_device(before)
        for name, t in before.items():
            try:
                record = ox.get_appliance_data(t)
            except RuntimeError as error:
                raise VudoredError(f"{name} was computed on the lazy device outside the step; its value "
                                   "is unknown to the host. Compute it on the host (or inside the step), "
                                   "or make copies of lazy models with copy.deepcopy.") from error
            if not record.has_tensor:
                raise VudoredError(
                    f"{name} has no host data: it was moved to the lazy device while the data store "
                    "dropped tensor data. Create the vudored device before moving the model, or move it "
                    "inside `with vudored.backend.device(...):`.")

        hyper = optim.Hyperparameters(self._optimizers)
        if all(optim.creates_state_up_front(opt) for opt in self._optimizers):
            run, zero_start = self._trace_once(args, kwargs, hyper, before)
        else:
            run, zero_start = self._trace_twice(args, kwargs, hyper, before, device)
        appliance = device.appliance
        if hasattr(appliance, "zero_start"):
            appliance.zero_start = zero_start
        self._boundary()  # compile and execute callbacks
        self._release_gradients()
        self._hyper = hyper
        self._spec, self._signature = run["spec"], run["signature"]
        self._outputs, self._out_spec, self._closures = run["outputs"], run["out_spec"], run["closures"]
        self._inputs = [s for s in self._signature if isinstance(s, _InputSlot)]
        self._numbers = run["numbers"]
        self._guards, self._guarded_inputs = run["guards"], [leaf for leaf, _ in run["inputs"]]
        self._appliance = appliance
        self._batch_size = device.batch_size
        expected = {s.name for s in self._inputs} | ({optim.HYPERPARAMETERS} if hyper.slots else set())
        unknown = sorted(set(getattr(appliance, "input_names", ())) - expected)
        if unknown:
            raise VudoredError(
                f"The program reads tensors that are no step input, weight or optimizer state: {unknown}. "
                "They are lazy tensors kept from an earlier step or computed outside it (return such "
                "values from the step instead, or compute them inside it).")
        if self._replicas is not None:
            replicas = self._replicas
            settled = getattr(appliance, "settled_plan", None)
            replicas.check_program(device.program_text, device.batch_size, appliance.arguments,
                                   plan=settled() if settled else None)
            appliance.use_replicas(replicas)
            replicas.broadcast_weights(appliance)
            distributed.log.warning("vudored: rank %d %s.", replicas.rank, replicas.describe())
        optim.first_run_overrides(self._optimizers, hyper, zero_start, self._param_names)
        self._record_outside_state()
        self._compiled = True
        _compiled = self
        return self._run(run["hosts"])

    def _trace_once(self, args, kwargs, hyper, before):
        """The step traced once, as the program: the backend's placeholder boundary passes on a
        one-element graph first, and the optimizers make their state just before their first update
        (optim.NewState). Returns the trace and the names of the state that starts at zeros."""
        if not ox.placeholder_passed():
            _pass_placeholder()
        new_state = optim.NewState(self._param_names, empty_lazy)
        try:
            run = self._trace(args, kwargs, hyper, numbers=self._retrace, new_state=new_state)
            made = {name for name, _, _, _ in new_state.made}
            created = set(self._state()) - set(before) - made
            self._refuse_created(created)
            if created:
                raise VudoredError(
                    f"The optimizer state {sorted(created)} was created inside the optimizer's update "
                    "rather than by its _init_group, so the program would start it anew at every step. "
                    "Create it before the first step (e.g. load it with optimizer.load_state_dict()).")
        except BaseException:
            new_state.undo()
            raise
        zero_start = set()
        for name, anchor, host, zeros in new_state.made:
            if zeros:
                zero_start.add(name)  # the appliance makes the zeros itself
                continue
            with backend.holding_in_memory():
                ox.copy_appliance_data(src=ox.eager_to_lazy(host), dst=anchor)
        return run, zero_start

    def _refuse_created(self, created):
        unknown = sorted(created - self._optimizer_names)
        if unknown:
            raise VudoredError(f"{unknown} first appeared during the step; only optimizer state may. "
                               "Create other state before the first step.")

    def _trace_twice(self, args, kwargs, hyper, before, device):
        """For optimizers that create state inside their update: a first trace, ended by the
        backend's placeholder boundary, lets them create it (its values recorded), then the step is
        traced again with that state as weights of the program. Returns the second trace and the
        names of the state that starts at zeros."""
        if ox.placeholder_passed():
            raise VudoredError(
                f"{', '.join(type(o).__name__ for o in self._optimizers if not optim.creates_state_up_front(o))} "
                "creates its state inside its own step(), which the first step boundary lets it do, but "
                "this process has passed that boundary already (torch._lazy.mark_step() before the first "
                "step, or a step that failed). Call the step first in a new process.")
        kept = {}
        for name, t in before.items():
            kept[name] = empty_lazy(t)
            ox.copy_appliance_data(src=t, dst=kept[name])
        # Placeholder run: the optimizer creates its state; the values it starts with are recorded.
        first = self._trace(args, kwargs, hyper, keep_hyper_data=True, initial=optim.InitialValues())
        self._boundary()
        optim.host_state_to_device(self._optimizers, first["initial"], device)
        after = self._state()
        self._check_on_device(after)
        for name, holder in kept.items():
            ox.copy_appliance_data(src=holder, dst=after[name])
        created = set(after) - set(before)
        self._refuse_created(created)
        zero_start = self._initial_state(created, after, first["initial"])
        hyper.guards = {}
        return self._trace(args, kwargs, hyper, numbers=self._retrace), zero_start

    def _initial_state(self, created, after, initial):
        """Gives new optimizer state the value PyTorch creates it with; returns the names that
        start at zeros (the appliance makes those itself)."""
        zero_start = set()
        for name in sorted(created):
            tensor = after[name]
            if ox.get_appliance_data(tensor).has_tensor:  # holds its first value already
                continue
            host = initial.host(tensor) if initial is not None else None
            if host is None:
                if name.endswith(".momentum_buffer") and any(
                        isinstance(o, torch.optim.SGD) for o in self._optimizers):
                    zero_start.add(name)  # a copy of the first gradient: see first_run_overrides
                    continue
                raise VudoredError(optim.UNKNOWN_STATE_TEXT.format(name=name))
            if not host.any():
                zero_start.add(name)
                continue
            with backend.holding_in_memory():
                ox.copy_appliance_data(src=ox.eager_to_lazy(host), dst=tensor)
        return zero_start

    def _record_outside_state(self):
        """What the program cannot see, as it was when the program was traced: checked before
        every run (_check_outside)."""
        self._modules = [(prefix + name, m) for prefix, model in self._models.items()
                         for name, m in model.named_modules()]
        self._training = [m.training for _, m in self._modules]
        # The weights a script may edit (not the optimizer state): read at every run, so kept short.
        state = self._state()
        self._weights = [(name, t) for name, t in state.items() if name not in self._optimizer_names]
        self._versions = [t._version for _, t in self._weights]

    def _check_outside(self):
        training = [m.training for _, m in self._modules]
        if training != self._training:
            name, module = next((n, m) for (n, m), now, then in
                                zip(self._modules, training, self._training) if now != then)
            mode = "train" if module.training else "eval"
            raise GraphChangedError(
                f"Step {self.steps}: {type(module).__name__} {name or 'model'!r} is now in {mode} "
                f"mode, but the program was traced in {'eval' if module.training else 'train'} "
                f"mode (dropout and batch norm are part of the program). Switch it back before "
                f"calling the step. {EVAL_ROUTE}.")
        versions = [t._version for _, t in self._weights]
        if versions != self._versions:
            name = next(n for (n, _), now, then in zip(self._weights, versions, self._versions)
                        if now != then)
            raise GraphChangedError(
                f"Step {self.steps}: {name} was changed outside the step after the program was "
                "compiled (an in-place edit, load_state_dict into the lazy model); the appliance "
                "holds the weights and would not see it. Change weights before the first step, or "
                "continue from a checkpoint in a new process (torch.save of train_step.state_dict() "
                "and optimizer_state_dict(), then load_state_dict before the first step).")
        for label, getter, value in self._python:
            now = getter()
            if not _same(now, value):
                raise GraphChangedError(
                    f"Step {self.steps}: the {label} was {value!r} when the step was traced and is "
                    f"now {now!r}. The step's Python code ran only when it was traced, so the "
                    "program holds the old value. Pass values that change as tensors (step inputs), "
                    "or keep them fixed.")

    def _hosts(self, args, kwargs):
        flat, spec = tree_flatten((args, kwargs))
        if spec != self._spec:
            raise GraphChangedError(f"Step {self.steps}: the structure of the step's arguments changed "
                                    f"after the program was compiled:\n  compiled: {self._spec}\n  "
                                    f"now: {spec}")
        hosts = []
        for position, (leaf, slot) in enumerate(zip(flat, self._signature)):
            if isinstance(slot, _InputSlot):
                if not isinstance(leaf, torch.Tensor):
                    raise GraphChangedError(f"Step {self.steps}: {slot.name} is no longer a tensor.")
                host = _host_of(leaf, slot.name)
                if tuple(host.shape) != slot.shape or host.dtype != slot.dtype:
                    self._shape_changed(slot, host)
                hosts.append(host)
            elif not _same(leaf, slot.value):
                raise GraphChangedError(
                    f"Step {self.steps}: argument {position} changed from {slot.value!r} to {leaf!r}; "
                    "non-tensor arguments are constants of the compiled program.")
        return hosts

    def _check_guards(self, hosts):
        """The host reads of the traced step must give this batch the values they gave the traced
        one: the program holds the branches those values took."""
        if not self._guards:
            return
        _feed(zip(self._guarded_inputs, hosts))
        for guard in self._guards:
            now = guard.current()
            if repr(now) != repr(guard.value):
                raise GraphChangedError(
                    f"Step {self.steps}: the step read a value on the host ({guard.describe()}) while "
                    f"it was traced and got {guard.value!r}; this batch gives {now!r}. The program "
                    "holds what the step did with the traced value (for example whether an attention "
                    "mask hides any padding), so this batch was not run. Make the value the same for "
                    "every batch, or compute without reading it on the host.")

    def _shape_changed(self, slot, host):
        if host.dim() == len(slot.shape) and host.dim() > 0 and tuple(host.shape[1:]) == slot.shape[1:] \
                and host.dtype == slot.dtype:
            raise BatchSizeError(
                f"Step {self.steps}: {slot.name} holds a batch of {host.shape[0]} samples, but the program "
                f"was compiled for batches of {slot.shape[0]}. The program has one batch size: give "
                "the DataLoader drop_last=True to skip a smaller last batch.")
        raise GraphChangedError(
            f"Step {self.steps}: {slot.name} is {host.dtype} {list(host.shape)}, but the program was "
            f"compiled for {slot.dtype} {list(slot.shape)}.")

    def _retraced(self, args, kwargs):
        self._hosts(args, kwargs)
        self._hyper.check_structure(self.steps)
        run = self._trace(args, kwargs, self._hyper, numbers=True)
        try:
            self._boundary()
            self._release_gradients()
        except RuntimeError as error:
            raise GraphChangedError(
                f"Step {self.steps}: the step's graph differs from the compiled program. The backend "
                f"reports: {str(error).split('Stack Trace:')[0].strip()}") from error
        self._versions = [t._version for _, t in self._weights]  # the trace's own updates
        changed = [(a, b) for a, b in zip(self._numbers, run["numbers"]) if a != b]
        if changed or len(self._numbers) != len(run["numbers"]):
            (call, then), (_, now) = changed[0] if changed else ((None, None), (None, None))
            raise GraphChangedError(
                f"Step {self.steps}: a Python number the step hands to torch changed"
                + (f" ({call}: {then!r} when the program was traced, {now!r} now)" if changed else "")
                + ". Numbers in the step are constants of the program; pass values that change as "
                "tensors (step inputs).")
        return self._run(run["hosts"])

    def _run(self, hosts):
        self._check_outside()
        self._hyper.check_structure(self.steps)
        inputs = {slot.name: host for slot, host in zip(self._inputs, hosts)}
        fed = self._hyper.feed(self.steps, self._batch_size or (hosts[0].shape[0] if hosts else 1))
        if fed is not None:
            inputs[optim.HYPERPARAMETERS] = fed
        values = self._appliance.run(inputs)

        def host_values(slots):
            return [values[s.name] if isinstance(s, _Output) else s.value for s in slots]

        for fn, slots, spec in self._closures:
            cargs, ckwargs = tree_unflatten(host_values(slots), spec)
            fn(*cargs, **ckwargs)
        return tree_unflatten(host_values(self._outputs), self._out_spec)

    # ---------------------------------------------------------------- reading back

    def state_dict(self, prefix=""):
        """The model's state_dict (of the module registered under `prefix`) with the trained values,
        as host tensors: loadable into an eager copy of the model."""
        module = self._models[prefix]
        read = self._reader()
        return {key: read(value) for key, value in module.state_dict(keep_vars=True).items()}

    def eager_model(self, prefix=""):
        """An eager copy of the model (of the module registered under `prefix`) on the host with the
        appliance's current weights, for evaluation: the first call makes it, later calls refresh
        its weights and return the same copy."""
        module = self._models[prefix]
        values = self.state_dict(prefix)
        made = self._eager.get(prefix)
        if made is None:
            read = self._reader()
            memo = {}
            for t in list(module.parameters()) + list(module.buffers()):
                host = read(t)
                memo[id(t)] = nn.Parameter(host, requires_grad=t.requires_grad) \
                    if isinstance(t, nn.Parameter) else host
            made = copy.deepcopy(module, memo)
            for handle in self._hooks:
                for sub in made.modules():
                    sub._forward_pre_hooks.pop(handle.id, None)
            self._eager[prefix] = made
        else:
            made.load_state_dict(values)
        return made

    def _reader(self):
        """Host value of a weight or state tensor: the appliance's, or (never part of the program)
        its record's. Tensors are found by identity: a weight tied between modules has one name."""
        weights = self._appliance.weights() if self._compiled else {}
        names = {id(t): name for name, t in self._state().items()}

        def read(value):
            name = names.get(id(value))
            if name in weights:
                return weights[name].clone()
            if isinstance(value, torch.Tensor) and value.device.type == "lazy":
                return ox.get_appliance_data(value).tensor.clone()
            return value
        return read

    def optimizer_state_dict(self, index=0):
        """The optimizer's state_dict with the trained state as host tensors, loadable into an eager
        optimizer over the eager copy of the model (its own settings, as the user made them)."""
        opt = self._optimizers[index]
        read = self._reader()
        result = opt.state_dict()
        result["state"] = {pid: {key: read(value) for key, value in entries.items()}
                           for pid, entries in result["state"].items()}
        return result


def _pass_placeholder():
    """Passes the backend's first step boundary, a placeholder run that computes nothing, on a
    one-element graph: the next boundary builds the program."""
    with backend.keeping_data(False):
        one = torch.zeros(1, device=backend.LAZY) + 1
    torch._lazy.mark_step()
    del one


def _refuse_mark_step(*args, **kwargs):
    raise VudoredError(
        "torch._lazy.mark_step() was called inside a vudored step: the step ends where the function "
        "returns (vudored marks it). Remove the call from the step function.")
