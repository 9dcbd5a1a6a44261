"""CPU autocast applied to lazy tensors inside a traced step.

PyTorch applies `torch.autocast("cpu", ...)` in the dispatcher, to CPU tensors only: lazy tensors
have no autocast kernel, so under autocast a lazy step would compute float32 throughout. LazyAutocast,
a TorchFunctionMode (above autograd, where the AutocastCPU kernels sit, so autograd sees the casts),
applies the same policy to the step's tensors while CPU autocast is enabled:

- Functions reach the mode as PyTorch's Python bindings (builtins such as torch._C._nn.linear,
  torch.matmul, Tensor.__matmul__) or as Python functions (F.cross_entropy, F.mse_loss, ...). A
  binding is an ATen operator: its casts are those of the operator's AutocastCPU kernel. A Python
  function runs with the mode still active, so that the bindings it calls decide, as in eager
  PyTorch (F.mse_loss with a weight computes in Python, without the kernel of aten::mse_loss).
- Which operators have an AutocastCPU kernel is read from the dispatcher; each one's category is
  probed once per process, when autocast first meets it, by running it under
  `torch.autocast("cpu")` on tiny CPU tensors: float32 inputs that come out in the lower precision
  mean "lower precision", lower-precision inputs that come out in float32 mean "float32", anything
  else "promote" (to float32 unless every floating input has the lower precision).
- A few C++ composites without a kernel of their own call an operator that has one (nll_loss_nd
  calls nll_loss, pad calls reflection_pad2d, tensordot calls mm, ...): for these the inner operator
  decides (ALIASES).
- Casts follow autocast's own rules: floating tensors other than float64 are cast, float64 is left
  alone; the operator itself then runs with the mode off, so nothing inside it is cast again.
  Autocast's cache of cast weights is not reproduced: it saves work, it does not change values.
- An operator with a CPU autocast kernel that has no probe here (matrix factorisations, FFTs,
  quantiles, ...) raises UnsupportedError under autocast instead of computing another dtype.
- `torch.autocast` for another device type inside the step raises UnsupportedError: CPU autocast is
  the one the lazy device follows.
"""
import threading
import types

import torch
import torch.nn.functional as F
from torch.overrides import TorchFunctionMode, redispatch_function
from torch.utils._pytree import tree_leaves, tree_map

from .errors import UnsupportedError

LOWER, FLOAT32, PROMOTE = "lower precision", "float32", "promote"

_BINDINGS = (types.BuiltinFunctionType, types.MethodDescriptorType, types.WrapperDescriptorType,
             types.MethodWrapperType)
_AUTOCAST_OPS = None  # ATen operator names (without overload) that have an AutocastCPU kernel
_CATEGORIES = {}  # operator name -> category, probed once per process
_lock = threading.RLock()


def _probe_tensor(dtype):
    """A maker of deterministic CPU tensors (no random numbers: probing must not move the user's
    generator) with values in (0, 1)."""
    def make(*shape):
        n = 1
        for s in shape:
            n *= s
        return torch.linspace(0.2, 0.8, n, dtype=torch.float32).reshape(shape).to(dtype)
    return make


def _index(*shape):
    return torch.zeros(shape, dtype=torch.long)


# One call of each operator on tiny tensors; t(*shape) makes a floating tensor of the probed dtype.
PROBES = {
    "linear": lambda t: F.linear(t(2, 3), t(4, 3), t(4)),
    "matmul": lambda t: torch.matmul(t(2, 3), t(3, 2)),
    "mm": lambda t: torch.mm(t(2, 3), t(3, 2)),
    "bmm": lambda t: torch.bmm(t(1, 2, 3), t(1, 3, 2)),
    "addmm": lambda t: torch.addmm(t(2, 2), t(2, 3), t(3, 2)),
    "addbmm": lambda t: torch.addbmm(t(2, 2), t(1, 2, 3), t(1, 3, 2)),
    "baddbmm": lambda t: torch.baddbmm(t(1, 2, 2), t(1, 2, 3), t(1, 3, 2)),
    "linalg_vecdot": lambda t: torch.linalg.vecdot(t(2, 3), t(2, 3)),
    "conv1d": lambda t: F.conv1d(t(1, 1, 4), t(1, 1, 2)),
    "conv2d": lambda t: F.conv2d(t(1, 1, 3, 3), t(1, 1, 2, 2)),
    "conv3d": lambda t: F.conv3d(t(1, 1, 2, 2, 2), t(1, 1, 1, 1, 1)),
    "conv_transpose1d": lambda t: F.conv_transpose1d(t(1, 1, 3), t(1, 1, 2)),
    "conv_transpose2d": lambda t: F.conv_transpose2d(t(1, 1, 2, 2), t(1, 1, 2, 2)),
    "conv_transpose3d": lambda t: F.conv_transpose3d(t(1, 1, 2, 2, 2), t(1, 1, 1, 1, 1)),
    "conv_tbc": lambda t: torch.conv_tbc(t(3, 1, 2), t(2, 2, 2), t(2)),
    "prelu": lambda t: F.prelu(t(2, 3), t(1)),
    "scaled_dot_product_attention": lambda t: F.scaled_dot_product_attention(t(1, 2, 3), t(1, 2, 3),
                                                                             t(1, 2, 3)),
    "cross_entropy_loss": lambda t: F.cross_entropy(t(2, 3), _index(2)),
    "nll_loss": lambda t: F.nll_loss(t(2, 3), _index(2)),
    "nll_loss2d": lambda t: F.nll_loss(t(1, 3, 2, 2), _index(1, 2, 2)),
    "mse_loss": lambda t: F.mse_loss(t(2), t(2)),
    "l1_loss": lambda t: F.l1_loss(t(2), t(2)),
    "smooth_l1_loss": lambda t: F.smooth_l1_loss(t(2), t(2)),
    "huber_loss": lambda t: F.huber_loss(t(2), t(2)),
    "binary_cross_entropy": lambda t: F.binary_cross_entropy(t(2), t(2)),
    "binary_cross_entropy_with_logits": lambda t: F.binary_cross_entropy_with_logits(t(2), t(2)),
    "kl_div": lambda t: F.kl_div(t(2), t(2), reduction="batchmean"),
    "poisson_nll_loss": lambda t: F.poisson_nll_loss(t(2), t(2)),
    "soft_margin_loss": lambda t: F.soft_margin_loss(t(2), t(2)),
    "margin_ranking_loss": lambda t: F.margin_ranking_loss(t(2), t(2), t(2)),
    "hinge_embedding_loss": lambda t: F.hinge_embedding_loss(t(2), t(2)),
    "cosine_embedding_loss": lambda t: F.cosine_embedding_loss(t(1, 2), t(1, 2), t(1)),
    "multi_margin_loss": lambda t: F.multi_margin_loss(t(2, 3), _index(2)),
    "multilabel_margin_loss": lambda t: F.multilabel_margin_loss(t(2, 3), _index(2, 3)),
    "triplet_margin_loss": lambda t: F.triplet_margin_loss(t(1, 2), t(1, 2), t(1, 2)),
    "prod": lambda t: torch.prod(t(2)),
    "trace": lambda t: torch.trace(t(2, 2)),
    "cdist": lambda t: torch.cdist(t(1, 2, 3), t(1, 2, 3)),
    "cat": lambda t: torch.cat([t(2), t(2)]),
    "stack": lambda t: torch.stack([t(2), t(2)]),
    "index_copy": lambda t: torch.index_copy(t(2), 0, _index(1), t(1)),
    "avg_pool3d": lambda t: F.avg_pool3d(t(1, 1, 2, 2, 2), 2),
    "max_pool3d": lambda t: F.max_pool3d(t(1, 1, 2, 2, 2), 2),
    "adaptive_avg_pool3d": lambda t: F.adaptive_avg_pool3d(t(1, 1, 2, 2, 2), 1),
    "adaptive_max_pool3d": lambda t: F.adaptive_max_pool3d(t(1, 1, 2, 2, 2), 1),
    "reflection_pad1d": lambda t: F.pad(t(1, 1, 3), (1, 1), mode="reflect"),
    "reflection_pad2d": lambda t: F.pad(t(1, 1, 3, 3), (1, 1, 1, 1), mode="reflect"),
    "replication_pad1d": lambda t: F.pad(t(1, 1, 3), (1, 1), mode="replicate"),
    "replication_pad2d": lambda t: F.pad(t(1, 1, 3, 3), (1, 1, 1, 1), mode="replicate"),
    "replication_pad3d": lambda t: F.pad(t(1, 1, 3, 3, 3), (1, 1, 1, 1, 1, 1), mode="replicate"),
    "grid_sampler": lambda t: F.grid_sample(t(1, 1, 2, 2), t(1, 1, 1, 2), align_corners=False),
}


def _arg(args, kwargs, position, name, default=None):
    return args[position] if len(args) > position else kwargs.get(name, default)


def _pad_op(args, kwargs):
    mode = _arg(args, kwargs, 2, "mode", "constant")
    rank = len(_arg(args, kwargs, 1, "pad")) // 2
    kind = {"reflect": "reflection", "replicate": "replication"}.get(mode)
    return f"{kind}_pad{rank}d" if kind else None


def _nll_loss_op(args, kwargs):
    return "nll_loss" if _arg(args, kwargs, 0, "input").dim() <= 2 else "nll_loss2d"


def _einsum_op(args, kwargs):
    # Two or more operands meet in bmm (dimensions that only one operand has are summed before,
    # here in the cast dtype); a single operand is only summed or permuted.
    operands = [a for a in tree_leaves(args[1:]) if isinstance(a, torch.Tensor)]
    return "bmm" if len(operands) > 1 else None


# C++ composites without a CPU autocast kernel whose inner operator has one: binding name ->
# function of the call's (args, kwargs) giving that operator (None: no cast).
ALIASES = {
    "nll_loss_nd": _nll_loss_op,
    "pad": _pad_op,
    "tensordot": lambda args, kwargs: "mm",
    "linalg_multi_dot": lambda args, kwargs: "mm",
    "chain_matmul": lambda args, kwargs: "mm",
    "einsum": _einsum_op,
}


def autocast_ops():
    """Names of the ATen operators (without overload) that have an AutocastCPU kernel."""
    global _AUTOCAST_OPS
    if _AUTOCAST_OPS is None:
        _AUTOCAST_OPS = frozenset(
            name.split("::", 1)[1].split(".", 1)[0] for name in torch._C._dispatch_get_all_op_names()
            if torch._C._dispatch_has_kernel_for_dispatch_key(name, "AutocastCPU"))
    return _AUTOCAST_OPS


def category(op):
    """The CPU autocast category of ATen operator `op` (LOWER, FLOAT32, PROMOTE), or None when it
    has no AutocastCPU kernel. Probed on first use (in bfloat16: the categories are the same for
    every lower precision), then cached."""
    if op not in autocast_ops():
        return None
    found = _CATEGORIES.get(op)
    if found is not None:
        return found
    probe = PROBES.get(op)
    if probe is None:
        raise UnsupportedError(
            f"aten::{op} has a CPU autocast rule that vudored does not apply on the lazy device. "
            f"Compute it outside autocast (inside `with torch.autocast(\"cpu\", enabled=False):`) "
            "with the dtypes it needs.")
    lower = torch.bfloat16
    with _lock, torch._C.DisableTorchFunction():
        with torch.autocast("cpu", dtype=lower):
            from_float = _first(probe(_probe_tensor(torch.float32)))
            from_lower = _first(probe(_probe_tensor(lower)))
        if from_float.dtype == lower:
            found = LOWER
        elif from_lower.dtype == torch.float32:
            found = FLOAT32
        else:
            found = PROMOTE
        _CATEGORIES[op] = found
    return found


def _first(result):
    return result if isinstance(result, torch.Tensor) else result[0]


def _op_name(func, args, kwargs):
    """The ATen operator whose autocast kernel decides a binding's casts, or None."""
    name = getattr(func, "__name__", "")
    if name.startswith("__") and name.endswith("__"):  # Tensor.__matmul__ is aten::matmul
        name = name[2:-2]
    alias = ALIASES.get(name)
    return alias(args, kwargs) if alias is not None else name


def _eligible(t):
    # As autocast's is_autocast_eligible: floating tensors; float64 is never cast.
    return isinstance(t, torch.Tensor) and t.is_floating_point() and t.dtype is not torch.float64


def _target(kind, lower, args, kwargs):
    if kind == LOWER:
        return lower
    if kind == FLOAT32:
        return torch.float32
    # PROMOTE, as autocast's promote_type (prioritize), in argument order: the lower precision
    # while every floating input has it, float32 once one is float32; float64 is skipped. Another
    # floating dtype (float16 under bfloat16 autocast) is an error there too.
    to = None
    for t in tree_leaves((args, kwargs)):
        if not _eligible(t):
            continue
        if (to is None or to == lower) and t.dtype == lower:
            to = lower
        elif to == torch.float32 or t.dtype == torch.float32:
            to = torch.float32
        else:
            raise RuntimeError(f"Unexpected floating ScalarType in at::autocast::prioritize: {t.dtype} "
                               f"among the inputs of a promoting operator under {lower} autocast")
    return to


class LazyAutocast(TorchFunctionMode):
    """Applies CPU autocast's policy to the tensors of a traced step (see the module docstring).
    Costs one check per function call while autocast is off. Enter it below the modes that must
    see every call a step makes: under autocast it runs Python functions without handing them on."""

    def __enter__(self):
        _watch_foreign_autocast(True)
        try:
            return super().__enter__()
        except BaseException:
            _watch_foreign_autocast(False)
            raise

    def __exit__(self, exc_type, exc_value, traceback):
        try:
            return super().__exit__(exc_type, exc_value, traceback)
        finally:
            _watch_foreign_autocast(False)

    def __torch_function__(self, func, types, args=(), kwargs=None):
        kwargs = kwargs or {}
        if not torch.is_autocast_enabled("cpu"):
            return func(*args, **kwargs)
        if not isinstance(func, _BINDINGS):
            # A Python function: the bindings it calls decide, with the mode still active.
            TorchFunctionMode.__enter__(self)
            try:
                return redispatch_function(func, types, args, kwargs)
            finally:
                TorchFunctionMode.__exit__(self, None, None, None)
        lower = torch.get_autocast_dtype("cpu")
        kind = category(_op_name(func, args, kwargs))
        to = _target(kind, lower, args, kwargs) if kind else None
        if to is not None:
            args, kwargs = tree_map(lambda t: t.to(to) if _eligible(t) and t.dtype != to else t,
                                    (args, kwargs))
        return func(*args, **kwargs)  # the mode is off inside: nothing is cast twice


# ---------------------------------------------------------------- autocast of other device types

FOREIGN_TEXT = (
    "torch.autocast(device_type={device!r}) inside a vudored step: the step's tensors are on the lazy "
    "device, where {device} autocast does not apply, so the step would compute in float32. Write "
    "`with torch.autocast(\"cpu\", dtype=torch.bfloat16):` inside the step instead; vudored applies "
    "CPU autocast's policy to the lazy device.")
_watchers = 0
_originals = None


def _watch_foreign_autocast(on):
    """While a LazyAutocast is entered, entering torch.autocast for another device type with autocast
    requested raises UnsupportedError. (On a machine without CUDA, torch.autocast("cuda") turns
    itself off with a warning; the request itself is what is refused.)"""
    global _watchers, _originals
    cls = torch.amp.autocast_mode.autocast
    with _lock:
        if on:
            _watchers += 1
            if _watchers == 1:
                _originals = (cls.__init__, cls.__enter__)
                init, enter = _originals

                def __init__(self, device_type, dtype=None, enabled=True, cache_enabled=None):
                    self._vudored_requested = bool(enabled)
                    init(self, device_type, dtype=dtype, enabled=enabled, cache_enabled=cache_enabled)

                def __enter__(self):
                    requested = getattr(self, "_vudored_requested", getattr(self, "_enabled", False))
                    if self.device != "cpu" and requested and _inside_lazy_autocast():
                        raise UnsupportedError(FOREIGN_TEXT.format(device=self.device))
                    return enter(self)

                cls.__init__, cls.__enter__ = __init__, __enter__
        else:
            _watchers -= 1
            if _watchers == 0:
                cls.__init__, cls.__enter__ = _originals
                _originals = None


def _inside_lazy_autocast():
    """Whether this thread is inside a LazyAutocast (mode stacks are per thread)."""
    return any(isinstance(mode, LazyAutocast)
               for mode in torch.overrides._get_current_function_mode_stack())
