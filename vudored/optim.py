"""Optimizers inside a compiled step: hyperparameters as program inputs, state that starts with the
values PyTorch gives it, and the optimizers that cannot run as one program.

Hyperparameters. Every number in an optimizer's param groups (lr, momentum, betas, weight_decay,
eps, ...: Python numbers, or 0-d tensors that a scheduler fills in place) is an element of the
program input "input.hyperparameters", read from the param groups before each run. While the step is
traced, `optimizer.step()` sees 0-d lazy tensors in their place (and PyTorch's tensor forms of its
update: capturable, multi-tensor (foreach) kernels, no fused ones; a foreach operation given a lazy
number where it takes a host number is computed with the number as a tensor, see foreach_numbers);
afterwards the groups hold their own values again. So learning-rate schedulers, momentum cycling and
hand-made changes take effect at the next run without a new program. What the optimizer decides on
the host from a hyperparameter (`if weight_decay != 0:`) is answered from the traced value and kept
as a guard: a change that flips such a decision, a new param group, or a change of a non-number
setting (nesterov, amsgrad) needs another program and is refused with a GraphChangedError.

State. Optimizer state created by the first step starts with the value PyTorch creates it with
(zeros, ones, the learning rate...); state that exists before (a resumed optimizer, Adagrad's
accumulators) is loaded with its own values. The optimizers of torch.optim make their state in
`_init_group`, for the parameters that have a gradient: while the step is traced, that runs just
before the optimizer's first update (NewState), so the update is traced once, as every later step
runs it, with the new state as weights of the program. SGD's momentum buffer is a copy of the first
gradient: the program's buffer starts at zeros and the first run uses no dampening, which gives the
same buffer. An optimizer class of its own (another step or _init_group) is traced twice instead:
once to let it create its state, once as the program (see vudored.step).
"""
import inspect
import operator

import torch
import torch.compiler
from torch.optim import _adafactor as _adafactor_module
from torch.optim import swa_utils

import orvex_pytorch_lib as ox

from .errors import GraphChangedError, UnsupportedError, VudoredError

HYPERPARAMETERS = "input.hyperparameters"

# Settings that are numbers even when written as Python ints (lr=1, momentum=0).
NUMERIC_KEYS = {"lr", "momentum", "dampening", "weight_decay", "eps", "alpha", "rho", "lr_decay",
                "initial_accumulator_value", "lambd", "t0", "momentum_decay", "beta2_decay", "d",
                "betas", "etas", "step_sizes", "max_lr", "initial_lr", "min_lr", "base_momentum",
                "max_momentum"}
# Implementation choices that do not change what the step computes: the traced step uses PyTorch's
# capturable multi-tensor (foreach) forms, whose numbers may be tensors and which trace one call per
# operation for all the parameters of a group rather than one per parameter.
FORCED = {"capturable": True, "foreach": True, "fused": False}

# Optimizers traced in their single-tensor form: Adafactor's is vudored's own (_adafactor below),
# without host reads.
SINGLE_TENSOR = {_adafactor_module.Adafactor: {"foreach": False}}

REFUSED = {
    torch.optim.LBFGS: (
        "LBFGS calls its closure several times per step and reads the loss and the gradients on "
        "the host for its line search; a program cannot stop to let the host decide. Train with "
        "another optimizer (e.g. torch.optim.Adam) or run LBFGS in eager PyTorch."),
    torch.optim.SparseAdam: (
        "SparseAdam needs sparse gradients (nn.Embedding(sparse=True)), which the lazy device "
        "does not produce; use torch.optim.Adam or AdamW."),
}

COMPARISONS = {torch.Tensor.eq: operator.eq, torch.Tensor.ne: operator.ne,
               torch.Tensor.lt: operator.lt, torch.Tensor.le: operator.le,
               torch.Tensor.gt: operator.gt, torch.Tensor.ge: operator.ge,
               torch.eq: operator.eq, torch.ne: operator.ne, torch.lt: operator.lt,
               torch.le: operator.le, torch.gt: operator.gt, torch.ge: operator.ge,
               torch.Tensor.__eq__: operator.eq, torch.Tensor.__ne__: operator.ne,
               torch.Tensor.__lt__: operator.lt, torch.Tensor.__le__: operator.le,
               torch.Tensor.__gt__: operator.gt, torch.Tensor.__ge__: operator.ge}
SYMBOLS = {"eq": "==", "ne": "!=", "lt": "<", "le": "<=", "gt": ">", "ge": ">="}
SYMBOLS.update({f"__{name}__": symbol for name, symbol in SYMBOLS.items()})
# Reads of a hyperparameter itself: its traced value, which must then stay the same.
VALUE_READS = {torch.Tensor.item, torch.Tensor.__float__, torch.Tensor.__int__,
               torch.Tensor.__bool__, torch.Tensor.__index__, torch.Tensor.tolist}


def _is_number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _is_tensor_number(value):
    return isinstance(value, torch.Tensor) and value.dim() == 0 and value.is_floating_point() \
        and value.device.type == "cpu" and not value.requires_grad


def _number(value):
    return value.item() if isinstance(value, torch.Tensor) else float(value)


def _describe(opt_index, group_index, key, element):
    where = f"{key}[{element}]" if element is not None else key
    return f"optimizer {opt_index} param group {group_index} {where!r}"


def check_supported(optimizers):
    for opt in optimizers:
        for kind, why in REFUSED.items():
            if isinstance(opt, kind):
                raise UnsupportedError(f"{type(opt).__name__} cannot train in a compiled step: {why}")


def _adafactor(params, grads, row_vars, col_vars, variances, state_steps, grad_scale, found_inf, *,
               d, lr, beta2_decay, weight_decay, eps1, eps2, maximize, has_complex):
    """PyTorch's single-tensor Adafactor with its host reads (the step count, the norms of the
    parameter and of the update) kept as tensors: the same arithmetic, inside the program."""
    for i, param in enumerate(params):
        grad = grads[i] if not maximize else -grads[i]
        step_t, row_var, col_var, variance = state_steps[i], row_vars[i], col_vars[i], variances[i]
        eps = torch.finfo(param.dtype).eps if eps1 is None else eps1
        step_t += 1
        one_minus_beta2_t = step_t ** beta2_decay
        rho_t = step_t.rsqrt().clamp(max=lr)
        alpha = (param.norm(2) / (param.numel() ** 0.5)).clamp(min=eps2) * rho_t
        if weight_decay != 0:
            param.mul_(1 - lr * weight_decay)
        if grad.dim() > 1:
            row_mean = torch.norm(grad, dim=-1, keepdim=True).square_().div_(grad.size(-1))
            row_var.lerp_(row_mean, one_minus_beta2_t)
            col_mean = torch.norm(grad, dim=-2, keepdim=True).square_().div_(grad.size(-2))
            col_var.lerp_(col_mean, one_minus_beta2_t)
            var_estimate = row_var @ col_var
            var_estimate.div_(row_var.mean(dim=-2, keepdim=True).clamp_(min=eps))
        else:
            variance.lerp_(grad * grad, one_minus_beta2_t)
            var_estimate = variance.clone()
        update = var_estimate.clamp_(min=eps * eps).rsqrt_()
        update.mul_(grad)
        denom = (update.norm(2) / ((update.numel() ** 0.5) * d)).clamp(min=1.0)
        param.add_(update * (-alpha / denom))


class Hyperparameters:
    """The numbers of the optimizers' param groups, fed as one program input of shape
    [batch, count] (float64; the module wants a batch dimension on every input)."""

    def __init__(self, optimizers):
        self.optimizers = list(optimizers)
        self.slots = []       # (optimizer index, group index, key, element index or None)
        self.constants = []   # (optimizer index, group index, key, value): everything else
        self.group_counts = [len(opt.param_groups) for opt in self.optimizers]
        self.param_counts = [[len(g["params"]) for g in opt.param_groups] for opt in self.optimizers]
        for oi, opt in enumerate(self.optimizers):
            for gi, group in enumerate(opt.param_groups):
                for key, value in group.items():
                    if key == "params":
                        continue
                    if self._numeric(key, value):
                        self.slots.append((oi, gi, key, None))
                    elif isinstance(value, (tuple, list)) and value and any(
                            self._numeric(key, v) for v in value):
                        for ei, element in enumerate(value):
                            if self._numeric(key, element):
                                self.slots.append((oi, gi, key, ei))
                        self.constants.append((oi, gi, key, _shape_of(value)))
                    else:
                        self.constants.append((oi, gi, key, value))
        self.index = {slot: k for k, slot in enumerate(self.slots)}
        self.values = self.read() if self.slots else []
        self.guards = {}      # (slot index, comparison, other) -> result the program holds
        self.overrides = {}   # slot index -> value fed at the first run instead of the group's
        self._fed = None

    @staticmethod
    def _numeric(key, value):
        return isinstance(value, float) or _is_tensor_number(value) or (
            _is_number(value) and key in NUMERIC_KEYS)

    def _value(self, slot):
        oi, gi, key, element = slot
        value = self.optimizers[oi].param_groups[gi].get(key)
        if element is not None:
            value = value[element] if isinstance(value, (tuple, list)) and element < len(value) \
                else None
        return value

    def read(self):
        values = []
        for slot in self.slots:
            value = self._value(slot)
            if not (_is_number(value) or _is_tensor_number(value)):
                raise GraphChangedError(
                    f"{_describe(*slot)} is now {value!r}; the program reads it as a number.")
            values.append(_number(value))
        return values

    # ------------------------------------------------------------------ while tracing

    def substitute(self, lazy_values, hyper_ids):
        """Puts 0-d lazy tensors in place of the numbers (and the implementation choices of
        FORCED) in every param group; returns what restore() needs."""
        saved = []
        for oi, opt in enumerate(self.optimizers):
            choices = {**FORCED, **SINGLE_TENSOR.get(type(opt), {})}
            for gi, group in enumerate(opt.param_groups):
                for key, forced in choices.items():
                    if key == "foreach" and group.get("differentiable"):
                        forced = False  # PyTorch's foreach forms refuse autograd through the update
                    if key in group and group[key] is not forced:
                        saved.append((group, key, group[key]))
                        group[key] = forced
        replaced = {}
        for k, slot in enumerate(self.slots):
            oi, gi, key, element = slot
            group = self.optimizers[oi].param_groups[gi]
            if key not in replaced.setdefault((oi, gi), {}):
                replaced[(oi, gi)][key] = group[key]
                saved.append((group, key, group[key]))
            if element is None:
                group[key] = lazy_values[k]
            else:
                current = list(group[key])
                current[element] = lazy_values[k]
                group[key] = type(replaced[(oi, gi)][key])(current)
            hyper_ids[id(lazy_values[k])] = (k, self.values[k])
        return saved

    @staticmethod
    def restore(saved):
        for group, key, value in reversed(saved):
            group[key] = value

    def decide(self, k, comparison, other):
        """A host decision on hyperparameter k (`weight_decay != 0`): the traced answer, kept."""
        result = COMPARISONS[comparison](self.values[k], other)
        self.guards[(k, comparison, other)] = result
        return result

    def fixed(self, k):
        """The hyperparameter's own value read on the host: the program keeps it as a constant."""
        self.guards[(k, None, None)] = self.values[k]
        return self.values[k]

    # ------------------------------------------------------------------ per run

    def check_structure(self, step):
        for oi, opt in enumerate(self.optimizers):
            if len(opt.param_groups) != self.group_counts[oi] or \
                    [len(g["params"]) for g in opt.param_groups] != self.param_counts[oi]:
                raise GraphChangedError(
                    f"Step {step}: {type(opt).__name__} has {len(opt.param_groups)} param groups of "
                    f"{[len(g['params']) for g in opt.param_groups]} parameters; the compiled "
                    f"program has {self.group_counts[oi]} of {self.param_counts[oi]}. A new param "
                    "group (or parameter) needs a new program: add every group before the first "
                    "step.")
        for oi, gi, key, value in self.constants:
            now = self.optimizers[oi].param_groups[gi].get(key)
            if isinstance(value, _Shape):
                same = isinstance(now, (tuple, list)) and _shape_of(now) == value
            else:
                same = _same(now, value)
            if not same:
                raise GraphChangedError(
                    f"Step {step}: {type(self.optimizers[oi]).__name__} param group {gi} changed "
                    f"{key!r} from {_show(value)} to {now!r} after the program was compiled. Numbers "
                    "may change between steps; other settings are part of the program.")

    def feed(self, step, batch_size):
        """The input tensor for this run, or None when there are no hyperparameters."""
        if not self.slots:
            return None
        values = self.read()
        if self.overrides:
            values = [self.overrides.get(k, v) for k, v in enumerate(values)]
            self.overrides = {}
            self._fed = None
        if self._fed is not None and values == self._fed_values:
            return self._fed
        for (k, comparison, other), result in self.guards.items():
            now = values[k] if comparison is None else COMPARISONS[comparison](values[k], other)
            if now != result:
                slot = self.slots[k]
                symbol = SYMBOLS.get(comparison.__name__, comparison.__name__) if comparison else ""
                what = (f"used its value {result!r} on the host" if comparison is None else
                        f"decided on the host that {slot[2]} {symbol} {other!r} is {result}")
                raise GraphChangedError(
                    f"Step {step}: {_describe(*slot)} is now {values[k]!r}, but the traced step "
                    f"{what}, and the program holds what followed from that. This change needs a "
                    "new program (a new process); values that keep the decision may change freely.")
        self._fed_values = values
        self._fed = _rows(values, batch_size)
        return self._fed


def _rows(values, batch_size):
    """The hyperparameters as the program takes them: one row per sample of the batch."""
    return torch.tensor(values, dtype=torch.float64).expand(batch_size, len(values))


class _Shape(tuple):
    """The non-number elements of a tuple setting (numbers are slots)."""


def _shape_of(value):
    return _Shape((len(value),) + tuple(
        None if (isinstance(v, float) or _is_number(v) or _is_tensor_number(v)) else v for v in value))


def _show(value):
    return repr(tuple(value)) if isinstance(value, _Shape) else repr(value)


# ---------------------------------------------------------------------------- multi-tensor numbers

def _lazy_number(value):
    return isinstance(value, torch.Tensor) and value.device.type == "lazy" and value.dim() == 0


# The multi-tensor operations whose number (a host Scalar in their schema) may be a lazy 0-d tensor
# while the step is traced (a hyperparameter, or a value computed from one): PyTorch would read it
# on the host. They run as their Tensor[] forms with the number repeated, which compute per tensor
# what the single-tensor forms compute with the number as a tensor. Per function: the place and
# name of its number, whether it takes alpha=, and for addcmul/addcdiv their two steps.
_FOREACH = {}
for _name in ("add", "sub", "mul", "div", "clamp_min", "clamp_max", "maximum", "minimum", "pow",
              "lerp", "addcmul", "addcdiv"):
    for _suffix in ("", "_"):
        _FOREACH[getattr(torch, f"_foreach_{_name}{_suffix}")] = {
            "number": (2, "weight") if _name == "lerp" else (1, "exponent") if _name == "pow"
            else None if _name.startswith("addc") else (1, "scalar"),
            "alpha": _name in ("add", "sub"),
            "value": ((torch._foreach_mul if _name == "addcmul" else torch._foreach_div),
                      getattr(torch, f"_foreach_add{_suffix}")) if _name.startswith("addc") else None}
del _name, _suffix


def foreach_numbers(func, args, kwargs):
    """func(*args, **kwargs), a multi-tensor operation, computed with its lazy numbers as tensors;
    NotImplemented when it has none (or is no such operation)."""
    form = _FOREACH.get(func)
    if form is None:
        return NotImplemented
    if form["number"] is not None:
        index, name = form["number"]
        if len(args) > index and _lazy_number(args[index]) and not kwargs:
            return func(*args[:index], [args[index]] * len(args[0]), *args[index + 1:])
        if len(args) == index and set(kwargs) == {name} and _lazy_number(kwargs[name]):
            return func(*args, [kwargs[name]] * len(args[0]))
        if func is torch._foreach_pow and args and _lazy_number(args[0]) and len(args) == 2 \
                and not kwargs:  # a number raised to each tensor
            return func([args[0]] * len(args[1]), args[1])
    if form["alpha"] and len(args) == 2 and set(kwargs) == {"alpha"} and \
            _lazy_number(kwargs["alpha"]):
        other = args[1]
        scaled = torch._foreach_mul(other, kwargs["alpha"]) if isinstance(other, (list, tuple)) \
            else [other * kwargs["alpha"]] * len(args[0])
        return func(args[0], scaled)
    if form["value"] is not None:
        value = args[3] if len(args) == 4 and not kwargs else \
            kwargs.get("value") if len(args) == 3 and set(kwargs) == {"value"} else None
        if _lazy_number(value):
            combine, add = form["value"]
            term = combine(args[1], args[2])
            torch._foreach_mul_(term, value)
            return add(args[0], term)
    return NotImplemented


def _same(a, b):
    """Whether a setting or argument is what it was: numbers and strings by value, host tensors by
    their elements, anything else by identity."""
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


def hyper_input(values, batch_size, keep_data):
    """The lazy input that carries the hyperparameters of a trace."""
    from . import backend
    with backend.keeping_data(keep_data):
        lazy = _rows(values, batch_size).contiguous().to(backend.LAZY)
    ox.set_parameter_name(lazy, HYPERPARAMETERS)
    return lazy


# ---------------------------------------------------------------------------- optimizer state

def prepare(optimizers, device):
    """Before the first trace: state kept on the host (Adagrad's step counter, a state_dict
    loaded from a non-capturable optimizer) moves to the lazy device, where the program updates
    it; state computed on the lazy device outside the step (Adagrad's accumulators, made from the
    parameters by its constructor) gets its host value from the same constructor on the host."""
    for opt in optimizers:
        twin = None
        for group in opt.param_groups:
            for p in group["params"]:
                state = opt.state.get(p, {})
                for key, value in list(state.items()):
                    if not isinstance(value, torch.Tensor):
                        continue
                    if value.device.type == "cpu":
                        with device:
                            state[key] = value.detach().to(
                                device=p.device,
                                dtype=torch.float32 if key == "step" else value.dtype)
                    elif value.device.type == "lazy" and not _is_data(value):
                        if twin is None:
                            twin = _host_twin(opt)
                        host = twin.get((id(p), key)) if twin else None
                        if host is None:
                            raise VudoredError(
                                f"{type(opt).__name__}'s state {key!r} was computed on the lazy "
                                "device outside the step, and the host does not know its value. "
                                "Create the optimizer after moving the model and before the first "
                                "step, or load its state with optimizer.load_state_dict().")
                        with device:
                            state[key] = host.to(p.device)


def _is_data(tensor):
    try:
        ox.get_appliance_data(tensor)
        return True
    except RuntimeError:
        return False


def _host_twin(opt):
    """The state the optimizer's constructor creates, made on the host: {(id(param), key): tensor}."""
    groups = []
    params = []
    for group in opt.param_groups:
        host_params = [torch.zeros(p.shape, dtype=p.dtype) for p in group["params"]]
        params.append(list(zip(group["params"], host_params)))
        groups.append({**{k: v for k, v in group.items() if k != "params"}, "params": host_params})
    try:
        twin = type(opt)(groups, **opt.defaults)
    except Exception:
        return None
    found = {}
    for pairs in params:
        for p, host in pairs:
            for key, value in twin.state.get(host, {}).items():
                if isinstance(value, torch.Tensor):
                    found[(id(p), key)] = value
    return found


def host_state_to_device(optimizers, initial, device):
    """Optimizer state that the first step created on the host (Adafactor's step counter) moves to
    the lazy device with the value it was created with, where the program updates it."""
    for opt in optimizers:
        for p, state in opt.state.items():
            for key, value in list(state.items()):
                if isinstance(value, torch.Tensor) and value.device.type != "lazy":
                    host = initial.host(value) if initial is not None else None
                    if host is not None:
                        with device:
                            state[key] = host.to(p.device)


def first_run_overrides(optimizers, hyper, zero_started, names):
    """SGD creates its momentum buffer as a copy of the first gradient; the program's buffer starts
    at zeros, and `buf * momentum + grad * (1 - dampening)` with no dampening is that copy. So the
    first run feeds dampening 0 to the groups whose buffers the step creates."""
    for oi, opt in enumerate(optimizers):
        if not isinstance(opt, torch.optim.SGD):
            continue
        for gi, group in enumerate(opt.param_groups):
            if any(f"{names[id(p)]}.momentum_buffer" in zero_started for p in group["params"]
                   if id(p) in names):
                k = hyper.index.get((oi, gi, "dampening", None))
                if k is not None:
                    hyper.overrides[k] = 0.0


# ---------------------------------------------------------------------------- initial values

CREATION = {torch.zeros, torch.ones, torch.full, torch.tensor, torch.as_tensor, torch.scalar_tensor,
            torch.zeros_like, torch.ones_like, torch.full_like, torch.Tensor.new_zeros,
            torch.Tensor.new_ones, torch.Tensor.new_full, torch.Tensor.new_tensor}
ZEROS = {torch.zeros, torch.zeros_like, torch.Tensor.new_zeros}
PASS_THROUGH = {torch.Tensor.clone, torch.clone, torch.Tensor.detach, torch.Tensor.to,
                torch.Tensor.contiguous, torch.Tensor.float, torch.Tensor.double}


class InitialValues:
    """Host values of the tensors made by creation functions while an optimizer creates its state
    inside a trace: the value optimizer state has when PyTorch creates it. Values made by zeros()
    and its kin are known to be zeros without being made."""

    def __init__(self):
        self.values = {}  # id -> (tensor, host value or a function making it, made by zeros())

    def record(self, func, args, kwargs, result, hyper_ids):
        if not isinstance(result, torch.Tensor):
            return
        if result.device.type != "lazy":
            if func in CREATION:  # state the optimizer keeps on the host (Adafactor's step)
                value = result.detach().clone()
                self.values[id(result)] = (result, value, func in ZEROS)
            return
        if func in PASS_THROUGH:
            source = args[0] if args and isinstance(args[0], torch.Tensor) else None
            host = self.host(source) if source is not None else None
            if host is None:
                return
            dtype = result.dtype
            self.values[id(result)] = (result, lambda: host.to(dtype).clone(), self.zeros(source))
            return
        if func not in CREATION:
            return

        like = func in (torch.zeros_like, torch.ones_like, torch.full_like) or \
            func.__name__.startswith("new_")

        def lazy(value):
            return isinstance(value, torch.Tensor) and value.device.type == "lazy"

        if any(lazy(a) and id(a) not in hyper_ids and not like
               for a in list(args) + list(kwargs.values())):
            return  # made from a value the host does not know

        def to_host(value):
            if lazy(value):
                if id(value) in hyper_ids:
                    return torch.tensor(hyper_ids[id(value)][1], dtype=value.dtype)
                return torch.empty(value.shape, dtype=value.dtype)  # its shape and dtype only
            if isinstance(value, torch.device) and value.type == "lazy":
                return torch.device("cpu")
            if isinstance(value, str) and value.startswith("lazy"):
                return "cpu"
            return value

        def make():  # only when the value is needed: never for zeros
            host_kwargs = {k: to_host(v) for k, v in kwargs.items()}
            if "device" in kwargs:
                host_kwargs["device"] = "cpu"
            return func(*[to_host(a) for a in args], **host_kwargs)

        self.values[id(result)] = (result, make, func in ZEROS)

    def host(self, tensor):
        entry = self.values.get(id(tensor))
        if entry is None or entry[0] is not tensor:
            return None
        value = entry[1]
        if callable(value):
            value = value()
            self.values[id(tensor)] = (tensor, value, entry[2])
        if tuple(value.shape) != tuple(tensor.shape):
            return None
        return value.detach().to(tensor.dtype).contiguous()

    def zeros(self, tensor):
        """Whether the tensor was made by zeros() (or is a copy of such a tensor)."""
        entry = self.values.get(id(tensor))
        return entry is not None and entry[0] is tensor and entry[2]


UNKNOWN_STATE_TEXT = (
    "The optimizer creates its state {name} in its first step from values the host does not know, "
    "and the program cannot start it at that value. Create the state before the first step (e.g. "
    "load it with optimizer.load_state_dict()).")


def creates_state_up_front(opt):
    """Whether the optimizer's class keeps torch.optim's step() and _init_group(), which makes all
    the state of a parameter (SGD's momentum buffer aside, see NewState) before the update."""
    cls = type(opt)
    return all((getattr(getattr(cls, attr, None), "__module__", None) or "").startswith("torch.optim")
               for attr in ("step", "_init_group"))


class _StateCreation(torch.overrides.TorchFunctionMode):
    """Runs an optimizer's _init_group, which only makes state, without the trace's own torch
    function modes (host reads, hyperparameters, autocast) for the calls that need none of them:
    attribute reads, type checks and creation functions, recorded in the trace's InitialValues.
    Any other call, or one on a hyperparameter, goes through the trace's modes as before. With
    148 parameters this is several times cheaper than every call through the modes."""

    LEAN = (CREATION | PASS_THROUGH | {torch.is_complex, torch.Tensor.dim}) - {torch.Tensor.to}

    def __init__(self, trace):
        super().__init__()
        self.trace = trace
        self.outer = []

    def __enter__(self):
        self.outer = [torch._C._pop_torch_function_stack()
                      for _ in range(torch._C._len_torch_function_stack())]
        try:
            return super().__enter__()
        except BaseException:
            self._restore()
            raise

    def __exit__(self, *exc):
        try:
            return super().__exit__(*exc)
        finally:
            self._restore()

    def _restore(self):
        for mode in reversed(self.outer):
            torch._C._push_on_torch_function_stack(mode)
        self.outer = []

    def __torch_function__(self, func, types, args=(), kwargs=None):
        kwargs = kwargs or {}
        ids = self.trace.hyper_ids
        hyper = ids and any(isinstance(a, torch.Tensor) and id(a) in ids
                            for a in (*args, *kwargs.values()))
        if not hyper and (func in self.LEAN or getattr(func, "__name__", None) == "__get__"):
            result = func(*args, **kwargs)
            if func in CREATION or func in PASS_THROUGH:
                self.trace.initial.record(func, args, kwargs, result, self.trace.hyper_ids)
            return result
        for mode in reversed(self.outer):
            torch._C._push_on_torch_function_stack(mode)
        try:
            return func(*args, **kwargs)
        finally:
            for _ in self.outer:
                torch._C._pop_torch_function_stack()


class NewState:
    """Optimizer state made just before an optimizer's first update is traced (the step pre-hook,
    StepHooks): the optimizer's _init_group makes it for the parameters that have a gradient, as
    PyTorch does at the first step, and each new entry is replaced by a data record named after its
    parameter and key ("fc1.weight.exp_avg"), which the program takes as a weight. The records hold
    no data while the step is traced (the host cannot read state that changes at every step); after
    the trace the compiled step gives them the values PyTorch creates the state with (`made`). SGD's momentum buffer, which SGD makes
    inside its update as a copy of the first gradient, is made here too: it starts at zeros and the
    first run uses no dampening (first_run_overrides)."""

    def __init__(self, names, empty):
        self.names = names    # id(parameter) -> its name
        self.empty = empty    # tensor -> a lazy data tensor of its shape and dtype, without data
        self.made = []        # (name, anchor on the record, host value or None, starts at zeros)
        self.added = []       # (state dict, key): undone when the trace fails
        self.fresh = []       # (optimizer, parameter) whose state dict this made

    def make(self, opt, trace):
        with torch.no_grad():
            for group in opt.param_groups:
                self._make_group(opt, group, trace)

    def _make_group(self, opt, group, trace):
        params = [p for p in group["params"] if p.grad is not None]
        if not params:
            return
        had = {}
        for p in params:
            if p not in opt.state:
                self.fresh.append((opt, p))
            had[id(p)] = set(opt.state.get(p, ()))
        lists = len(inspect.signature(opt._init_group).parameters) - 1
        initial = InitialValues()
        recording, trace.initial = trace.initial, initial  # the values the new state starts with
        try:
            with _StateCreation(trace):
                opt._init_group(group, *[[] for _ in range(lists)])
        finally:
            trace.initial = recording
        momentum = isinstance(opt, torch.optim.SGD) and group["momentum"] != 0
        for p in params:
            state = opt.state[p] if momentum else opt.state.get(p, {})
            for key, value in list(state.items()):
                if key in had[id(p)] or not isinstance(value, torch.Tensor):
                    continue
                zeros = initial.zeros(value)
                host = None if zeros else initial.host(value)  # zeros are never made on the host
                if host is None and not zeros and value.device.type != "lazy":
                    host = value.detach().clone()
                self._add(state, key, value, p, host, zeros, trace)
            if momentum and state.get("momentum_buffer") is None:
                self._add(state, "momentum_buffer", p.grad, p, None, True, trace)

    def _add(self, state, key, like, p, host, zeros, trace):
        name = f"{self.names.get(id(p), 'parameter')}.{key}"
        if host is None and not zeros:
            raise VudoredError(UNKNOWN_STATE_TEXT.format(name=name))
        record = self.empty(like)
        ox.set_parameter_name(record, name)
        with torch.no_grad(), torch._C.DisableTorchFunction():  # no trace of the step's own
            anchor = record.clone()  # stays on the record when the update changes the state
        state[key] = record
        self.added.append((state, key))
        self.made.append((name, anchor, host, zeros))
        trace.state_names.append(name)

    def undo(self):
        """Takes back what make() added to the optimizers' state (a trace that failed)."""
        for state, key in reversed(self.added):
            state.pop(key, None)
        for opt, p in self.fresh:
            if not opt.state.get(p):
                opt.state.pop(p, None)
        self.added, self.fresh, self.made = [], [], []


# ---------------------------------------------------------------------------- the step hook

class StepHooks:
    """While a step is traced: each optimizer.step() runs with the hyperparameters as lazy
    tensors, PyTorch's compiled-code forms of its update (tensors rather than host numbers), and
    its implementation choices forced to the tensor forms."""

    def __init__(self, trace, hyper, lazy_values, replicas=None, new_state=None):
        self.trace, self.hyper, self.lazy_values = trace, hyper, lazy_values
        self.replicas = replicas  # averages the gradients over the group before the update
        self.new_state = new_state  # makes the state of an optimizer's first update (NewState)
        self.saved = []
        self.handles = []
        self.patched = False
        self.compiling = torch.compiler._is_compiling_flag

    def __enter__(self):
        for opt in self.hyper.optimizers:
            self.handles.append(opt.register_step_pre_hook(self._pre))
            self.handles.append(opt.register_step_post_hook(self._post))
        return self

    def _pre(self, opt, args, kwargs):
        if self.patched:
            return
        self.trace.drop_stand_ins()
        if self.replicas is not None:
            self.replicas.average_gradients(p for group in opt.param_groups for p in group["params"])
        self.saved = self.hyper.substitute(self.lazy_values, self.trace.hyper_ids)
        self.adafactor = _adafactor_module._single_tensor_adafactor
        _adafactor_module._single_tensor_adafactor = _adafactor
        self.patched = True
        torch.compiler._is_compiling_flag = True
        self.trace.in_optimizer = True
        if self.new_state is not None:
            self.new_state.make(opt, self.trace)

    def _post(self, opt, args, kwargs):
        self._undo()

    def _undo(self):
        if self.patched:
            _adafactor_module._single_tensor_adafactor = self.adafactor
            self.patched = False
        torch.compiler._is_compiling_flag = self.compiling
        self.trace.in_optimizer = False
        Hyperparameters.restore(self.saved)
        self.saved = []

    def __exit__(self, *exc):
        self._undo()
        for handle in self.handles:
            handle.remove()
        return False


# ---------------------------------------------------------------------------- averaged models

def _update_parameters(self, model):
    """AveragedModel.update_parameters without host decisions: the first update copies, later
    ones average, chosen in the program by the count (a lazy buffer) rather than on the host."""
    self_param = (
        list(self.module.parameters()) + list(self.module.buffers())
        if self.use_buffers else list(self.parameters()))
    model_param = (
        list(model.parameters()) + list(model.buffers())
        if self.use_buffers else list(model.parameters()))
    n = self.n_averaged
    first = n == 0
    for p_averaged, p_model in zip(self_param, model_param):
        averaged = p_averaged.detach()
        current = p_model.detach().to(averaged.device)
        count = n.to(averaged.device)
        if self.multi_avg_fn is not None:
            update = averaged.clone()
            self.multi_avg_fn([update], [current], count)
        elif self.avg_fn is not None:
            update = self.avg_fn(averaged, current, count)
        else:
            update = swa_utils.get_swa_avg_fn()(averaged, current, count)
        averaged.copy_(torch.where(first, current, update))
    if not self.use_buffers:
        for b_swa, b_model in zip(self.module.buffers(), model.buffers()):
            b_swa.detach().copy_(b_model.detach().to(b_swa.device))
    self.n_averaged += 1


class AveragedModels:
    """AveragedModel.update_parameters replaced by its branch-free form while a step is traced."""

    def __enter__(self):
        self.original = swa_utils.AveragedModel.update_parameters
        swa_utils.AveragedModel.update_parameters = _update_parameters
        return self

    def __exit__(self, *exc):
        swa_utils.AveragedModel.update_parameters = self.original
        return False
