"""The compiled training step (vudored.step; an example is in the package's docstring).

How it runs. The backend compiles one program per process: its first step boundary is a placeholder
run (nothing computes), the second builds the program. So the first call traces the function twice
on the first batch: the first trace lets the optimizer create its state, the second one, with that
state as program weights, becomes the program (the steady-state step). The weights are then restored
to their values from before the first trace, the program is compiled and loaded onto the appliance,
and the appliance runs it on the first batch. Every later call only hands the new batch to the
appliance: the function is not traced again, so the host work per step does not grow with the model.
Every batch is trained on exactly once, in order.

Consequences worth knowing:
- The function's Python code runs only while it is traced (twice, on the first call). Per-step host
  work belongs after the call or in a step closure (add_step_closure).
- Names: inputs "input.0", "input.1", ... in the order of the flattened arguments; weights by the
  module's names ("fc1.weight", "bn.running_mean"); optimizer state by parameter name and state key
  ("fc1.weight.momentum_buffer", "fc1.weight.exp_avg"). Every weight and state tensor is aliased to
  its own update; what the function returns is marked as the outputs "output.0", "output.1", ...
- Optimizer state that first appears during the step (momentum buffers, Adam moments and step) has
  no host value: the appliance starts it at zeros, which is PyTorch's first step for the optimizers
  in ZERO_START. Others, and SGD with dampening, are refused unless their state exists already.
- Optimizers with a capturable mode (Adam, AdamW, RMSprop, ...) run in it, so that their step
  counters live in the program instead of becoming frozen constants.
- Python numbers used in the step (learning rate, momentum) are constants of the program: a change
  of a param group's hyperparameters after compilation (a learning-rate scheduler) is refused.
- Host reads of lazy values inside the step (`.item()`, `bool(t)`, `if torch.all(mask):`) are
  answered when the value follows from the step's inputs and constants alone (the weights and the
  optimizer state are out of the host's reach while the step is traced, as their values change at
  every step). Such a value is a guard of the program: before each later batch runs, the host
  computes it again from that batch, and a batch that gives another value is refused with a
  GraphChangedError (the program holds only the branch the traced value took). transformers' BERT,
  for example, reads whether its attention mask hides any padding. Other reads (printing a tensor,
  .numpy(), moving it to the host) raise HostReadError.
- The arguments must keep their structure, shapes and dtypes; non-tensor arguments are constants. A
  batch of another size raises BatchSizeError. With retrace=True every call traces the function
  again and any change of the graph raises GraphChangedError (slower: for checking a script).

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
import functools

import torch
import torch._lazy
from torch.overrides import TorchFunctionMode
from torch.utils._pytree import tree_flatten, tree_unflatten

import orvex_pytorch_lib as ox

from . import backend
from .autocast import LazyAutocast
from .errors import (BatchSizeError, GraphChangedError, HostReadError, UnsupportedError,
                     VudoredError)
from .utils.data import HOST_ATTR, input_name, to_lazy_input

# Optimizers whose state, started at zeros, gives PyTorch's own first step.
ZERO_START = (torch.optim.SGD, torch.optim.Adam, torch.optim.AdamW, torch.optim.RMSprop,
              torch.optim.Adamax, torch.optim.Adadelta, torch.optim.RAdam)

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
# What the module's report says when a read needs data the host does not hold.
HOST_EVAL_TEXT = "Its value cannot be computed on the host: "


class _HostReads(TorchFunctionMode):
    """Answers the host reads of a trace that the trace can guard, refuses the others."""

    def __init__(self, trace):
        super().__init__()
        self.trace = trace

    def __torch_function__(self, func, types, args=(), kwargs=None):
        kwargs = kwargs or {}
        lazy = bool(args) and isinstance(args[0], torch.Tensor) and args[0].device.type == "lazy"
        if lazy and func in GUARDED_READS:
            return self.trace.read(func, args, kwargs)
        if lazy and (func in HOST_READS or func is torch.Tensor.to and _to_host(args, kwargs)):
            raise HostReadError(HOST_READ_TEXT.format(what=f"Tensor.{func.__name__}", why=TENSOR_READ))
        return func(*args, **kwargs)


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


_active = None  # the trace in progress


def add_step_closure(fn, args=(), kwargs=None):
    """Calls fn(*args, **kwargs) after every step, with the step's values of the lazy tensors in
    args/kwargs as host tensors. Only inside a step function."""
    if _active is None:
        raise VudoredError("add_step_closure is only available inside a vudored step function.")
    _active.closures.append((fn, args, kwargs or {}))


def step(model, optimizer=None, *, device=None, retrace=False):
    """Decorator: compiles the function into the appliance's program (see the module docstring).

    model: the module (or a dict {prefix: module}) whose parameters and buffers the step trains.
    optimizer: the optimizer, a list of them, or None.
    """
    def wrap(fn):
        return CompiledStep(fn, model, optimizer, device=device, retrace=retrace)
    return wrap


def empty_lazy(tensor):
    """A lazy device-data tensor of tensor's shape and dtype whose record holds no data."""
    with backend.keeping_data(False):
        return ox.eager_to_lazy(torch.empty((), dtype=tensor.dtype).expand(tensor.shape))


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
    def __init__(self, inputs, state_names):
        self.closures = []
        self.guards = []
        self.inputs = inputs  # [(lazy input, host tensor)]
        self.state_names = state_names
        self._fed = False

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
        for name in self.state_names:
            if f'"{name}"' in reason:
                return (f"the value depends on {name}, which the program changes at every step, so "
                        "the host cannot know it")
        return "the host cannot compute its value: " + reason


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


def _same(a, b):
    if a is b:
        return True
    if isinstance(a, torch.Tensor) or isinstance(b, torch.Tensor):
        if isinstance(a, torch.Tensor) and isinstance(b, torch.Tensor) and a.device.type == "cpu" \
                and b.device.type == "cpu":
            return a.shape == b.shape and bool(torch.equal(a, b))
        return False
    try:
        return bool(a == b)
    except Exception:
        return False


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


class CompiledStep:
    def __init__(self, fn, model, optimizer, device=None, retrace=False):
        functools.update_wrapper(self, fn)
        self._fn = fn
        self._models = model if isinstance(model, dict) else {"": model}
        if optimizer is None:
            optimizer = []
        self._optimizers = list(optimizer) if isinstance(optimizer, (list, tuple)) else [optimizer]
        self._device = device
        self._retrace = retrace
        self.steps = 0  # calls so far
        self._compiled = False
        self._failed = None
        self._capturable = []  # (param group, original value)
        self._marked = False  # a step boundary has been passed

    # ---------------------------------------------------------------- state naming

    def _state(self):
        """Every weight and piece of optimizer state on the lazy device, by name."""
        named = {}
        param_names = {}
        self._optimizer_names = set()
        for prefix, module in self._models.items():
            for name, p in module.named_parameters():
                named[prefix + name] = p
                param_names[id(p)] = prefix + name
            for name, b in module.named_buffers():
                named[prefix + name] = b
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
        return named

    def _check_on_device(self, named):
        for name, t in named.items():
            if t.device.type != "lazy":
                raise VudoredError(f"{name} is on the {t.device.type} device, not the lazy one: move the "
                                   "model to vudored's device (and create optimizers after that or keep "
                                   "their state there).")

    # ---------------------------------------------------------------- optimizers

    def _prepare_optimizers(self):
        for opt in self._optimizers:
            fresh = not any(opt.state.get(p) for g in opt.param_groups for p in g["params"])
            kind = type(opt).__name__
            if fresh and not isinstance(opt, ZERO_START):
                raise UnsupportedError(
                    f"{kind} creates state whose starting values are not zeros; the program starts new "
                    f"optimizer state at zeros. Supported without existing state: "
                    f"{', '.join(c.__name__ for c in ZERO_START)}.")
            for group in opt.param_groups:
                if fresh and isinstance(opt, torch.optim.SGD) and group["momentum"] and group["dampening"]:
                    raise UnsupportedError(
                        "SGD with momentum and dampening != 0: its first step copies the gradient into "
                        "the momentum buffer undampened, which a program whose buffer starts at zeros "
                        "cannot reproduce. Use dampening=0 or start from existing momentum buffers.")
                if group.get("capturable") is False:
                    self._capturable.append((group, False))
                    group["capturable"] = True
                    # Existing host step counters (a state loaded from an eager optimizer) move to
                    # the device, as capturable mode keeps them.
                    for p in group["params"]:
                        state = opt.state.get(p, {})
                        for key, value in state.items():
                            if isinstance(value, torch.Tensor) and value.device.type == "cpu":
                                with self._device:
                                    state[key] = value.to(device=p.device, dtype=torch.float32
                                                          if key == "step" else value.dtype)

    def _check_optimizer_state(self):
        for opt in self._optimizers:
            for group in opt.param_groups:
                for p in group["params"]:
                    for key, value in opt.state.get(p, {}).items():
                        on_device = isinstance(value, torch.Tensor) and value.device.type == "lazy"
                        if not on_device:
                            raise UnsupportedError(
                                f"{type(opt).__name__} keeps its state {key!r} on the host; its "
                                "per-step changes would be frozen into the program as constants.")

    def _hyperparameters(self):
        return [[{k: v for k, v in g.items() if k != "params"} for g in opt.param_groups]
                for opt in self._optimizers]

    def _check_hyperparameters(self):
        for opt, groups in zip(self._optimizers, self._hyper):
            if len(opt.param_groups) != len(groups):
                raise GraphChangedError(
                    f"Step {self.steps}: {type(opt).__name__} has {len(opt.param_groups)} param groups, "
                    f"the compiled program {len(groups)}.")
            for gi, (group, kept) in enumerate(zip(opt.param_groups, groups)):
                for key, value in kept.items():
                    now = group.get(key)
                    if not _same(now, value):
                        raise GraphChangedError(
                            f"Step {self.steps}: {type(opt).__name__} param group {gi} changed {key!r} "
                            f"from {value!r} to {now!r} after the program was compiled. Hyperparameters "
                            "are constants of the program; changing them (a learning-rate scheduler, "
                            "for example) is not supported.")

    # ---------------------------------------------------------------- tracing

    def _trace(self, args, kwargs):
        """Traces the function once and ends the step with mark_step. Returns what a run needs."""
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
        _active = trace = _Trace(inputs, list(state))
        # Host data of tensors made inside the step (torch.empty behind zeros_like, ...) is never read:
        # the program computes them. Dropping it spares copies and data files.
        try:
            with backend.keeping_data(False), _state_out_of_reach(state.values()), LazyAutocast(), _HostReads(trace):
                result = self._fn(*args, **kwargs)
        finally:
            _active = None

        marked = {}

        def mark(leaf, name):
            if not (isinstance(leaf, torch.Tensor) and leaf.device.type == "lazy"):
                return _Constant(leaf)
            if id(leaf) not in marked:
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
            ox.set_alias(t, name)
        self._marked = True
        torch._lazy.mark_step()
        return {"spec": spec, "signature": signature, "hosts": hosts, "outputs": outputs,
                "out_spec": out_spec, "closures": closures, "guards": trace.guards, "inputs": inputs}

    # ---------------------------------------------------------------- calls

    def __call__(self, *args, **kwargs):
        self.steps += 1
        if self._failed is not None:
            raise VudoredError(f"The step could not be compiled earlier: {self._failed}")
        if not self._compiled:
            try:
                return self._start(args, kwargs)
            except BaseException as error:
                if self._marked:  # the backend moved on: no second attempt in this process
                    self._failed = f"{type(error).__name__}: {error}".split("\n")[0]
                self.steps -= 1
                raise
        if self._retrace:
            return self._retraced(args, kwargs)
        hosts = self._hosts(args, kwargs)
        self._check_guards(hosts)
        return self._run(hosts)

    def _start(self, args, kwargs):
        device = self._device or backend.current()
        self._device = device
        if device.compiled:
            raise VudoredError("This process compiled its program already (one program per process): "
                               "a second compiled step needs its own process.")
        for module in self._models.values():
            for t in list(module.parameters()) + list(module.buffers()):
                rebase(t)
        before = self._state()
        self._check_on_device(before)
        self._prepare_optimizers()
        kept = {}
        for name, t in before.items():
            try:
                record = ox.get_appliance_data(t)
            except RuntimeError as error:
                raise VudoredError(f"{name} was computed on the lazy device outside the step; its value "
                                   "is unknown to the host. Compute it on the host (or inside the step).") \
                    from error
            if not record.has_tensor:
                raise VudoredError(
                    f"{name} has no host data: it was moved to the lazy device while the data store "
                    "dropped tensor data. Create the vudored device before moving the model, or move it "
                    "inside `with vudored.backend.device(...):`.")
            kept[name] = empty_lazy(t)
            ox.copy_appliance_data(src=t, dst=kept[name])

        self._trace(args, kwargs)  # placeholder run: the optimizer creates its state
        after = self._state()
        self._check_on_device(after)
        self._check_optimizer_state()
        for name, holder in kept.items():
            ox.copy_appliance_data(src=holder, dst=after[name])
        zero_start = set(after) - set(before)
        unknown = sorted(zero_start - self._optimizer_names)
        if unknown:
            raise VudoredError(f"{unknown} first appeared during the step; only optimizer state may (it "
                               "starts at zeros). Create other state before the first step.")
        appliance = device.appliance
        if hasattr(appliance, "zero_start"):
            appliance.zero_start = zero_start

        run = self._trace(args, kwargs)  # compile run: compile and execute callbacks
        self._hyper = self._hyperparameters()
        self._spec, self._signature = run["spec"], run["signature"]
        self._outputs, self._out_spec, self._closures = run["outputs"], run["out_spec"], run["closures"]
        self._inputs = [s for s in self._signature if isinstance(s, _InputSlot)]
        self._guards, self._guarded_inputs = run["guards"], [leaf for leaf, _ in run["inputs"]]
        self._appliance = appliance
        self._batch_size = device.batch_size
        unknown = sorted(set(getattr(appliance, "input_names", ())) - {s.name for s in self._inputs})
        if unknown:
            raise VudoredError(
                f"The program reads tensors that are no step input, weight or optimizer state: {unknown}. "
                "They are host tensors moved to the device inside the step (create them on the device "
                "instead, e.g. torch.arange(n, device=x.device), or make them module buffers) or lazy "
                "tensors kept from an earlier step (return such values from the step instead).")
        self._compiled = True
        return self._run(run["hosts"])

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
        try:
            run = self._trace(args, kwargs)
        except VudoredError:  # HostReadError included
            raise
        except RuntimeError as error:
            raise GraphChangedError(
                f"Step {self.steps}: the step's graph differs from the compiled program. "
                f"{self._describe_change()}The backend reports: "
                f"{str(error).split('Stack Trace:')[0].strip()}") from error
        return self._run(run["hosts"])

    def _describe_change(self):
        try:
            self._check_hyperparameters()
        except GraphChangedError as error:
            return str(error).split(": ", 1)[1] + " "
        return ""

    def _run(self, hosts):
        if self._hyper:
            self._check_hyperparameters()
        values = self._appliance.run({slot.name: host for slot, host in zip(self._inputs, hosts)})

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
        optimizer over the eager copy of the model (capturable restored to its own setting)."""
        opt = self._optimizers[index]
        read = self._reader()
        result = opt.state_dict()
        result["state"] = {pid: {key: read(value) for key, value in entries.items()}
                           for pid, entries in result["state"].items()}
        originals = {id(group): value for group, value in self._capturable}
        for group, out in zip(opt.param_groups, result["param_groups"]):
            if id(group) in originals:
                out["capturable"] = originals[id(group)]
        return result
