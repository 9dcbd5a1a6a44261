"""Operator coverage of the lazy kernels: factories, training modes and optimizers record on the lazy
device, in-place updates refuse what the host refuses, and every listed operator lowers to a module
torch-mlir accepts. (Writes through views and the recurrent modules are compared with eager
PyTorch by value in test_conversion.py.)

Nothing here executes a graph: recording only. An operator without a lazy kernel raises (the
backend's unsupported-operator report), which fails the test."""
import pathlib
import re

import pytest
import torch
import torch.nn as nn
import yaml

import training_models as tm
from mlir_checks import ir_text

OPS_YAML = pathlib.Path(__file__).resolve().parents[2] / "torch_mlir_ltc" / "codegen" / "ops.yaml"

# Operators listed in ops.yaml (full_codegen + supported) when this was last widened.
MIN_LISTED_OPERATORS = 382


@pytest.fixture(autouse=True)
def in_tmp_dir(backend, tmp_path, monkeypatch):
    # An unsupported operator writes its report file into the working directory.
    monkeypatch.chdir(tmp_path)


def meta(ts):
    return [(tuple(t.shape), t.dtype) for t in ts]


def test_tensor_creation_on_the_lazy_device():
    def make(dev):
        return [torch.full((2, 2), 7, device=dev), torch.arange(1.0, 2.0, 0.25, device=dev),
                torch.linspace(0, 1, 7, device=dev), torch.eye(2, 4, device=dev), torch.randn(3, device=dev),
                torch.randint(0, 5, (4,), device=dev), torch.tensor([1.0, 2.0], device=dev),
                torch.empty(4, device=dev).uniform_(-1, 1), torch.empty(3, device=dev).random_(0, 9)]
    made = make("lazy")
    assert all(t.device.type == "lazy" for t in made) and meta(made) == meta(make("cpu"))
    text = ir_text(*made)  # recorded as operators, not made on the host
    for op in ["aten::arange", "aten::linspace", "aten::eye", "aten::uniform", "aten::normal"]:
        assert op in text


def test_evaluation_gradient_clipping_and_refused_boolean_masks():
    # (Dropout and every optimizer are compared with eager PyTorch in test_conversion and test_porting.)
    bn = nn.BatchNorm2d(3).to("lazy").eval()
    before = ir_text(bn.running_mean)
    bn(torch.randn(4, 3, 5, 5).to("lazy"))
    assert ir_text(bn.running_mean) == before  # evaluation leaves the statistics alone
    x = torch.randn(4, 8).to("lazy")
    with pytest.raises(RuntimeError, match="boolean mask"):
        x[x > 0]
    model = tm.MLP().to("lazy")
    tm.train_step(model, torch.optim.SGD(model.parameters(), lr=0.1), torch.randn(4, 64).to("lazy"),
                  torch.randint(0, 10, (4,)).to("lazy"))
    torch.nn.utils.clip_grad_norm_(model.parameters(), 1.0)


@pytest.mark.parametrize("update", [
    lambda xs, big: torch._foreach_add_(xs, big, alpha=2),
    lambda xs, big: torch._foreach_lerp_(xs, big, 0.5),
    lambda xs, big: torch._foreach_addcdiv_(xs, big, big, 2.0),
    lambda xs, big: torch._foreach_maximum_(xs, big),
    lambda xs, big: torch._foreach_pow_(xs, big),
    lambda xs, big: torch._foreach_mul_([x.long() for x in xs], 0.5),
], ids=["add", "lerp", "addcdiv", "maximum", "pow", "integer_mul"])
def test_inplace_foreach_refuses_what_the_host_refuses(update):
    # An operand that would broadcast a written tensor to a larger shape, or a result its dtype
    # cannot hold: refused on the lazy device as on the host, never a silently resized tensor.
    for device in ("cpu", "lazy"):
        xs = [torch.ones(3, device=device), torch.ones(2, device=device)]
        big = [torch.ones(2, 3, device=device), torch.ones(2, device=device)]
        with pytest.raises(RuntimeError, match="broadcast shape|can't be cast"):
            update(xs, big)
        assert [tuple(x.shape) for x in xs] == [(3,), (2,)]


def test_functionalize_kernels_leave_other_devices_as_they_were():
    # The backend's Functionalize kernels (unsafe splits, pack_padded_sequence) keep PyTorch's own
    # behaviour off the lazy device.
    def pieces(x):
        packed = nn.utils.rnn.pack_padded_sequence(x, torch.tensor([3, 2, 2, 1, 1, 1]), batch_first=True)
        return ([p * 2 for p in x.unsafe_chunk(3, 1)] + list(x.unsafe_split_with_sizes([1, 5], 0)) +
                [packed.data, packed.batch_sizes])
    x = torch.randn(6, 3)
    assert all(torch.equal(a, b) for a, b in zip(torch.func.functionalize(pieces)(x), pieces(x)))


# --- The operator list ------------------------------------------------------------------------

# Operators PyTorch's own TorchScript lazy backend registers kernels for (functional forms).
REFERENCE_OPERATORS = """
_adaptive_avg_pool2d _adaptive_avg_pool2d_backward _copy_from _copy_from_and_resize _log_softmax
_log_softmax_backward_data _reshape_alias_copy _softmax _softmax_backward_data _to_copy _trilinear
_unsafe_view abs add.Tensor addcdiv addcmul addmm alias_copy all any arange.start_out as_strided_copy
as_strided_scatter avg_pool2d avg_pool2d_backward baddbmm bernoulli bernoulli.p binary_cross_entropy
binary_cross_entropy_backward bitwise_and.Tensor bitwise_or.Tensor block_diag bmm cat clamp clamp_min
clone constant_pad_nd convolution convolution_backward cos cumsum detach_copy diag_embed
diagonal_backward diagonal_copy diagonal_scatter div.Tensor div.Tensor_mode elu elu_backward embedding
embedding_dense_backward empty.memory_format empty_strided eq.Scalar eq.Tensor exp expand_copy
fill_.Scalar flip floor frac gather ge.Scalar ge.Tensor gelu gelu_backward glu glu_backward glu_jvp
grid_sampler_2d grid_sampler_2d_backward gt.Scalar gt.Tensor hardsigmoid index_select le.Scalar
le.Tensor leaky_relu leaky_relu_backward lift lift_fresh linalg_pinv.atol_rtol_tensor log log2
log_sigmoid_backward log_sigmoid_forward logdet lt.Scalar lt.Tensor masked_fill.Scalar
masked_fill.Tensor max max.dim max_pool2d_with_indices max_pool2d_with_indices_backward max_pool3d
max_pool3d_with_indices max_pool3d_with_indices_backward maximum mean mean.dim min minimum mm
mul.Tensor mv narrow_copy native_batch_norm native_batch_norm_backward native_dropout
native_dropout_backward native_group_norm native_layer_norm native_layer_norm_backward ne.Scalar
ne.Tensor neg new_empty_strided nll_loss2d_backward nll_loss2d_forward nll_loss_backward
nll_loss_forward nonzero norm.ScalarOpt_dim normal_functional permute_copy pixel_shuffle
pixel_unshuffle pow.Tensor_Scalar pow.Tensor_Tensor random random.from random.to reciprocal relu
remainder.Tensor repeat rsqrt scatter_add select_backward select_copy.int select_scatter sgn sigmoid
sigmoid_backward silu slice_backward slice_copy.Tensor slice_scatter smooth_l1_loss
smooth_l1_loss_backward softplus softplus_backward sort sqrt squeeze_copy squeeze_copy.dim
squeeze_copy.dims stack std std.correction std.dim sub.Tensor sum sum.dim_IntList svd t_copy tanh
tanh_backward threshold threshold_backward topk trace transpose_copy.int tril triu trunc unfold_copy
uniform unsqueeze_copy upsample_bilinear2d upsample_bilinear2d_backward upsample_nearest2d
upsample_nearest2d_backward view_copy view_copy.dtype zero
""".split()


def test_listed_and_reference_operators_have_lazy_kernels():
    listing = yaml.safe_load(OPS_YAML.read_text())
    listed = listing["full_codegen"] + listing["supported"]
    assert len(listed) == len(set(listed)) and len(listed) >= MIN_LISTED_OPERATORS
    registered = set(torch._C._dispatch_get_registrations_for_dispatch_key("Lazy"))
    assert [op for op in listed if f"aten::{op}" not in registered] == []
    # Each reference operator has a lazy kernel here, or is a composite whose parts have one.
    uncovered = [op for op in REFERENCE_OPERATORS if f"aten::{op}" not in registered and
                 "CompositeImplicitAutograd" not in torch._C._dispatch_dump(f"aten::{op}")]
    assert uncovered == []
    a = torch.randn(4, 4).to("lazy").requires_grad_(True)
    outs = [a.std(1), torch.linalg.svd(a)[1], torch.logdet(a @ a.t() + torch.eye(4).to("lazy")),
            torch.linalg.pinv(a[:, :3]), torch.linalg.pinv(a, atol=0.1)]
    assert [o.shape for o in outs] == [(4,), (4,), (), (3, 4), (4, 4)]
    sum(o.sum() for o in outs[:1] + outs[3:]).backward()
    assert a.grad.shape == (4, 4)


# --- Every listed operator lowers to a module that torch-mlir accepts ---------------------------
#
# Each operator is called alone on lazy tensors; the graph of its results lowers to a module of its
# own. All modules go through torch-mlir-opt together (parse and verify, then the backend contract).
# Arguments come from the operator's schema (tensors of one shape family, defaults, small integers);
# SAMPLES gives them where the schema alone does not make a valid call.

def _f(*s):
    return torch.rand(s) + 0.5


def _i(high, *s):
    return torch.randint(0, high, s)


def _upsample(name):
    n = {"1d": 1, "2d": 2, "3d": 3}[name[-2:] if not name.endswith("_backward") else name[-11:-9]]
    corners = [] if "nearest" in name else [False]
    if name.endswith("_backward"):
        return lambda: ([_f(1, 2, *[6] * n), [6] * n, [1, 2] + [3] * n, *corners], {})
    return lambda: ([_f(1, 2, *[3] * n), [6] * n, *corners], {})


def _bag(grad=False):
    """embedding_bag's weight, indices and offsets (two bags of a 5 x 3 table), with the results of
    the lazy forward that its gradients take (the host's leave offset2bag empty in sum mode)."""
    w, idx, off = _f(5, 3).to("lazy"), torch.tensor([0, 2, 1, 4]).to("lazy"), torch.tensor([0, 2]).to("lazy")
    return (w, idx, off, *torch.ops.aten._embedding_bag(w, idx, off)[1:]) if grad else (w, idx, off)


def _multilabel():
    x, t = _f(3, 4), torch.tensor([[0, 3, -1, 1], [2, -1, 0, 0], [1, 2, 3, 0]])
    return x, t, torch.ops.aten.multilabel_margin_loss_forward(x, t, 1)[1]


SAMPLES = {  # operator: () -> (args, kwargs), host tensors
    "round.decimals": lambda: ([_f(2, 3)], dict(decimals=1)),
    "clamp": lambda: ([_f(2, 3), 0.6, 1.2], {}),
    "clamp.Tensor": lambda: ([_f(2, 3), _f(2, 3), None], {}),
    "div.Scalar_mode": lambda: ([_f(2, 3), 2], dict(rounding_mode="floor")),
    "div.Tensor_mode": lambda: ([_f(2, 3), _f(2, 3)], dict(rounding_mode="trunc")),
    "sort.stable": lambda: ([_f(2, 3)], dict(stable=True)),
    "addr": lambda: ([_f(2, 3), _f(2), _f(3)], {}),
    "as_strided_copy": lambda: ([_f(2, 3), [3, 2], [1, 3]], {}),
    "as_strided_scatter": lambda: ([_f(2, 3), _f(3, 2), [3, 2], [1, 3]], {}),
    "_reshape_alias_copy": lambda: ([_f(2, 3), [3, 2], [2, 1]], {}),
    "empty.memory_format": lambda: ([[2, 3]], dict(device="lazy")),
    "empty_strided": lambda: ([[2, 3], [3, 1]], dict(device="lazy")),
    "_efficientzerotensor": lambda: ([[2, 3]], dict(device="lazy")),
    "new_empty_strided": lambda: ([_f(2, 3), [3, 2], [2, 1]], {}),
    "addmv": lambda: ([_f(2), _f(2, 3), _f(3)], {}),
    "baddbmm": lambda: ([_f(2, 3, 5), _f(2, 3, 4), _f(2, 4, 5)], {}),
    "bmm": lambda: ([_f(2, 3, 4), _f(2, 4, 5)], {}),
    "diagonal_scatter": lambda: ([_f(3, 3), _f(3)], {}),
    "select_scatter": lambda: ([_f(2, 3), _f(3), 0, 1], {}),
    "index_add": lambda: ([_f(4, 3), 0, _i(4, 2), _f(2, 3)], {}),
    "index_copy": lambda: ([_f(4, 3), 0, torch.tensor([0, 2]), _f(2, 3)], {}),
    "index_select": lambda: ([_f(4, 3), 0, _i(4, 2)], {}),
    "scatter.reduce": lambda: ([_f(2, 3), 1, _i(3, 2, 2), _f(2, 2)], dict(reduce="add")),
    "scatter.value_reduce": lambda: ([_f(2, 3), 1, _i(3, 2, 2), 2.0], dict(reduce="multiply")),
    "scatter_reduce.two": lambda: ([_f(2, 3), 1, _i(3, 2, 2), _f(2, 2), "amax"], {}),
    "avg_pool2d_backward": lambda: ([_f(1, 2, 2, 2), _f(1, 2, 4, 4), [2, 2], [2, 2], [0, 0], False, True,
                                     None], {}),
    "avg_pool3d_backward": lambda: ([_f(1, 1, 2, 2, 2), _f(1, 1, 4, 4, 4), [2] * 3, [2] * 3, [0] * 3, False,
                                     True, None], {}),
    "max_pool2d_with_indices_backward": lambda: ([_f(1, 2, 2, 2), _f(1, 2, 4, 4), [2, 2], [2, 2], [0, 0],
                                                  [1, 1], False, _i(16, 1, 2, 2, 2)], {}),
    "convolution": lambda: ([_f(1, 2, 5, 5), _f(3, 2, 3, 3), _f(3), [1, 1], [1, 1], [1, 1], False, [0, 0], 1],
                            {}),
    "convolution_backward": lambda: ([_f(1, 3, 5, 5), _f(1, 2, 5, 5), _f(3, 2, 3, 3), [3], [1, 1], [1, 1],
                                      [1, 1], False, [0, 0], 1, [True, True, True]], {}),
    "grid_sampler_2d": lambda: ([_f(1, 2, 4, 4), torch.rand(1, 3, 3, 2) * 2 - 1, 0, 0, False], {}),
    "grid_sampler_2d_backward": lambda: ([_f(1, 2, 3, 3), _f(1, 2, 4, 4), torch.rand(1, 3, 3, 2) * 2 - 1, 0, 0,
                                          False, [True, True]], {}),
    "col2im": lambda: ([_f(1, 8, 9), [4, 4], [2, 2], [1, 1], [0, 0], [1, 1]], {}),
    "im2col": lambda: ([_f(1, 2, 4, 4), [2, 2], [1, 1], [0, 0], [1, 1]], {}),
    "constant_pad_nd": lambda: ([_f(2, 3), [1, 2], 0.5], {}),
    "repeat": lambda: ([_f(2, 3), [2, 1, 2]], {}),
    "nll_loss_forward": lambda: ([_f(4, 5), _i(5, 4), None, 1, -100], {}),
    "nll_loss_backward": lambda: ([_f(), _f(4, 5), _i(5, 4), None, 1, -100, _f()], {}),
    "one_hot": lambda: ([_i(4, 3), 4], {}),
    "index_reduce": lambda: ([_f(3, 2), 0, _i(3, 3), _f(3, 2), "amax"], {}),
    "bucketize.Tensor": lambda: ([_f(2, 3), _f(4).sort()[0]], {}),
    "max_unpool2d": lambda: ([_f(1, 2, 2, 2), _i(16, 1, 2, 2, 2), [4, 4]], {}),
    "diagonal_backward": lambda: ([_f(3), [3, 3], 0, 0, 1], {}),
    "select_backward": lambda: ([_f(3), [2, 3], 0, 1], {}),
    "slice_backward": lambda: ([_f(2, 2), [2, 3], 1, 0, 2, 1], {}),
    "index.Tensor": lambda: ([_f(4, 3), [_i(4, 2)]], {}),
    "_unsafe_index.Tensor": lambda: ([_f(4, 3), [None, _i(3, 2)]], {}),
    "index_put": lambda: ([_f(4, 3), [_i(4, 2)], _f(2, 3), False], {}),
    "_unsafe_index_put": lambda: ([_f(4, 3), [_i(4, 2)], _f(2, 3), True], {}),
    "_index_put_impl": lambda: ([_f(4, 3), [_i(4, 2)], _f(2, 3), True, False], {}),
    "arange.start_out": lambda: ([0, 5, 1], dict(out=torch.empty(5))),
    "eye.m_out": lambda: ([2, 3], dict(out=torch.empty(2, 3))),
    "eye.out": lambda: ([3], dict(out=torch.empty(3, 3))),
    "linspace.out": lambda: ([0, 1, 5], dict(out=torch.empty(5))),
    "logspace.out": lambda: ([0, 1, 5, 2.0], dict(out=torch.empty(5))),
    "linalg_lu_solve": lambda: ([*torch.linalg.lu_factor(_f(3, 3)), _f(3, 2)], {}),
    "linalg_solve_triangular": lambda: ([_f(3, 3), _f(3, 2)], dict(upper=True)),
    "lu_unpack": lambda: ([*torch.linalg.lu_factor(_f(3, 3))], {}),
    # Complex numbers and the FFT family.
    "_fft_c2c": lambda: ([torch.complex(_f(2, 4), _f(2, 4)), [1], 0, True], {}),
    "_fft_c2r": lambda: ([torch.complex(_f(2, 3), _f(2, 3)), [1], 0, 4], {}),
    "_conj_copy": lambda: ([torch.complex(_f(2, 3), _f(2, 3))], {}),
    "view_as_complex_copy": lambda: ([_f(2, 2)], {}),
    "view_as_real_copy": lambda: ([torch.complex(_f(2, 3), _f(2, 3))], {}),
    "linalg_householder_product": lambda: ([_f(4, 3), _f(3)], {}),
    "ormqr": lambda: ([_f(4, 3), _f(3), _f(4, 2)], {}),
    "linalg_ldl_solve": lambda: ([*torch.linalg.ldl_factor(_f(3, 3)), _f(3, 2)], {}),
    "segment_reduce": lambda: ([_f(5), "sum"], dict(lengths=torch.tensor([2, 3]))),
    "_segment_reduce_backward": lambda: ([_f(2), _f(2), _f(5), "max"], dict(lengths=torch.tensor([2, 3]))),
    "nonzero_static": lambda: ([_f(2, 3)], dict(size=4)),
    "repeat_interleave.Tensor": lambda: ([torch.tensor([2, 0, 3])], dict(output_size=5)),
    "histogram.bins_tensor": lambda: ([_f(2, 3), _f(4).sort()[0]], {}),
    **{f"{kind}_pad{n}d{grad}": (lambda n=n, grad=grad: (
        ([_f(1, 2, *[7] * n)] if grad else []) + [_f(1, 2, *[5] * n), [1, 1] * n], {}))
       for kind in ("reflection", "replication") for n in (1, 2) for grad in ("", "_backward")},
    **{op: _upsample(op) for op in ("upsample_bilinear2d", "upsample_bicubic2d", "upsample_linear1d",
                                    "upsample_nearest1d", "upsample_nearest2d", "upsample_nearest3d",
                                    "upsample_trilinear3d", "_upsample_nearest_exact1d",
                                    "_upsample_nearest_exact2d", "_upsample_nearest_exact3d")
       for op in (op, op + "_backward")},
    # Pooling and sampling.
    "_upsample_bilinear2d_aa_backward": lambda: ([_f(1, 2, 6, 6), [6, 6], [1, 2, 3, 3], False], {}),
    "fractional_max_pool2d_backward": lambda: ([_f(1, 2, 2, 2), _f(1, 2, 4, 4), [2, 2], [2, 2],
                                                _i(16, 1, 2, 2, 2)], {}),
    "fractional_max_pool3d_backward": lambda: ([_f(1, 2, 2, 2, 2), _f(1, 2, 4, 4, 4), [2] * 3, [2] * 3,
                                                _i(64, 1, 2, 2, 2, 2)], {}),
    # Distances, margin losses, embedding bags.
    "_pdist_backward": lambda: (lambda x: ([_f(3), x, 2.0, torch.ops.aten._pdist_forward(x, 2.0)], {}))(_f(3, 4)),
    "multi_margin_loss": lambda: ([_f(3, 4), torch.tensor([0, 3, 1])], {}),
    "multi_margin_loss_backward": lambda: ([torch.tensor(1.0), _f(3, 4), torch.tensor([0, 3, 1]), 1, 1.0], {}),
    "multilabel_margin_loss_backward": lambda: (lambda x, t, is_t: ([torch.tensor(1.0), x, t, 1, is_t], {}))(
        *_multilabel()),
    "_embedding_bag": lambda: (list(_bag()), {}),
    "_embedding_bag_forward_only": lambda: (list(_bag()), {}),
    "_embedding_bag_backward": lambda: (lambda w, i, o, o2b, size, top: (
        [_f(2, 3), i, o, o2b, size, top, 5, False, 0, False, None], {}))(*_bag(grad=True)),
    "_embedding_bag_dense_backward": lambda: (lambda w, i, o, o2b, size, top: (
        [_f(2, 3), i, o2b, size, top, 5, False, 0, None], {}))(*_bag(grad=True)),
    "_embedding_bag_per_sample_weights_backward": lambda: (lambda w, i, o, o2b, size, top: (
        [_f(2, 3), w, i, o, o2b, 0], {}))(*_bag(grad=True)),
    "grid_sampler_3d": lambda: ([_f(1, 2, 3, 4, 5), torch.rand(1, 2, 3, 4, 3) * 2 - 1, 0, 0, False], {}),
    "grid_sampler_3d_backward": lambda: ([_f(1, 2, 2, 3, 4), _f(1, 2, 3, 4, 5), torch.rand(1, 2, 3, 4, 3) * 2 - 1,
                                          0, 0, False, [True, True]], {}),
}

# Shape families tried, in order, for operators built from their schema alone.
SHAPES = [(2, 3), (3, 3), (2, 3, 4, 4), (2, 3, 4), (2, 3, 4, 4, 4)]
SIZE_ARGUMENTS = ("size", "sizes", "input_sizes", "input_size", "self_sizes")


def _schema_call(schema, shape):
    """(args, kwargs) made from the schema alone for tensors of `shape`."""
    args = []
    for a in schema.arguments:
        if a.kwarg_only:
            continue
        if a.default_value is not None or a.type.kind() == "OptionalType":
            args.append(a.default_value)
            continue
        kind, name = a.type.kind(), a.name
        if kind == "TensorType":
            value = (torch.rand(shape) > 0.5 if "mask" in name else
                     torch.randint(0, 2, shape) if "ind" in name or name == "target" else _f(*shape))
        elif kind == "ListType":
            element = a.type.getElementType().kind()
            value = ([_f(*shape), _f(*shape)] if element == "TensorType" else
                     list(shape) if name in SIZE_ARGUMENTS else
                     list(range(len(shape)))[::-1] if name in ("dims", "perm") else
                     [2] * (len(shape) - 2) if name in ("output_size", "kernel_size") else
                     [0] * (len(shape) - 2) if name == "padding" else
                     [True] * 3 if element == "BoolType" else
                     [1] if "dim" in name else [1] * max(len(shape) - 2, 1))
        else:
            value = {"IntType": 1, "SymIntType": 1, "FloatType": 0.5, "BoolType": False, "NumberType": 2,
                     "StringType": "none"}[kind]
        args.append(value)
    return args, {}


def _lazy(value):
    if isinstance(value, torch.Tensor):
        return value.to("lazy")
    if isinstance(value, (list, tuple)):
        return [_lazy(v) for v in value]
    return value


def _lazy_results(value):
    if isinstance(value, torch.Tensor):
        return [value] if value.device.type == "lazy" else []
    if isinstance(value, (list, tuple)):
        return [t for v in value for t in _lazy_results(v)]
    return []


def _call_on_lazy(op):
    """The lazy results of one call of `op`; raises when no argument set works."""
    name, _, overload = op.partition(".")
    fn = getattr(getattr(torch.ops.aten, name), overload or "default")
    if op in SAMPLES:
        candidates = [SAMPLES[op]]
    else:
        schema = torch._C._get_schema(f"aten::{name}", overload)
        candidates = [lambda s=s: _schema_call(schema, s) for s in SHAPES]
    error = None
    for make in candidates:
        torch.manual_seed(0)
        args, kwargs = make()
        try:
            return _lazy_results(fn(*_lazy(args), **{k: _lazy(v) for k, v in kwargs.items()}))
        except (RuntimeError, IndexError, ValueError, TypeError) as e:
            error = e
    raise error


# Operators whose results are lazy tensors holding host data, with no graph of their own.
HOST_DATA_RESULTS = {"empty.memory_format", "new_empty_strided"}

_LISTING = yaml.safe_load(OPS_YAML.read_text())
LISTED = _LISTING["full_codegen"] + _LISTING["supported"]


@pytest.fixture(scope="module")
def lowered_operators(backend, tmp_path_factory):
    """{op: (module text or None, error text or None)} and torch-mlir-opt's complaints by op."""
    from mlir_checks import TORCH_MLIR_OPT, backend_module, torch_mlir_errors
    modules, failures = {}, {}
    for op in LISTED:
        try:
            results = _call_on_lazy(op)
            if op in HOST_DATA_RESULTS:  # a graph has to read them to have them in its module
                results = [r.add(0) for r in results]
            modules[op] = backend_module(results) if results else None
        except (RuntimeError, IndexError, ValueError, TypeError, AssertionError) as e:
            failures[op] = str(e).split("\nStack Trace")[0][:2000]
    checked = {op: text for op, text in modules.items() if text}
    errors = torch_mlir_errors(checked, tmp_path_factory.mktemp("ops")) if TORCH_MLIR_OPT else None
    return modules, failures, errors


@pytest.mark.parametrize("op", LISTED)
def test_listed_operator_lowers_to_a_module_torch_mlir_accepts(op, lowered_operators):
    modules, failures, errors = lowered_operators
    assert op not in failures, failures.get(op)
    text = modules[op]
    if text is None:
        assert op == "_fused_sdp_choice"  # answers a number, records nothing
        return
    name = op.partition(".")[0]
    if op in _LISTING["full_codegen"] and not name.endswith("_copy"):
        # Spelled as torch-mlir's operation or as torch.operator, never as an unknown torch.aten.
        assert re.search(rf'("torch\.aten\.|\{{name = "aten\.){re.escape(name)}[."]', text), text[-3000:]
    if errors is None:
        pytest.skip("torch-mlir-opt is not installed (test-only package torch-mlir, requirements-dev.txt)")
    assert "(file)" not in errors, errors["(file)"]
    assert op not in errors, f"{errors[op]}\n{text[-3000:]}"


def test_bad_window_arguments_raise_instead_of_crashing(backend):
    x = torch.rand(1, 2, 4, 4, 4).to("lazy")
    calls = [lambda: torch.ops.aten.max_pool3d_with_indices(x, [2, 2], [], [0], [1], False),  # 2 of 3 sizes
             lambda: torch.ops.aten.max_pool3d_with_indices(x, [2], [0], [0], [1], False),  # stride 0
             lambda: torch.ops.aten.max_pool3d_with_indices(x, [2], [2], [3], [1], False),  # pad > k/2
             lambda: torch.ops.aten.im2col(x[0], [2], [1], [0], [0])]  # stride 0
    for call in calls:
        with pytest.raises(RuntimeError, match="must be greater than zero|one value or one per|pad should"):
            call()
