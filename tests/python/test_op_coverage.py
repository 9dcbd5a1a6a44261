"""Operator coverage of the lazy kernels: real training steps are recorded completely, and common
training operators give results (and gradients) of the sizes and types the host computes.

Nothing here executes a graph: recording only. An operator without a lazy kernel raises (the
backend's unsupported-operator report), which fails the test."""
import pathlib

import pytest
import torch
import torch.nn as nn
import torch.nn.functional as F
import yaml

import training_models as tm

OPS_YAML = pathlib.Path(__file__).resolve().parents[2] / "torch_mlir_ltc" / "codegen" / "ops.yaml"

# Operators listed in ops.yaml (full_codegen + supported) when this was last widened.
MIN_LISTED_OPERATORS = 381


@pytest.fixture(autouse=True)
def in_tmp_dir(backend, tmp_path, monkeypatch):
    # An unsupported operator writes its report file into the working directory.
    monkeypatch.chdir(tmp_path)


def ir_text(*tensors):
    return torch._C._lazy._get_tensors_text(list(tensors))


# --- The three training scripts --------------------------------------------------------------

# Operators the recorded graph of an updated weight must reach (forward, backward, update).
SCRIPT_WEIGHT_OPS = {
    "mlp": ("fc1.weight", ["aten::addmm", "aten::threshold_backward", "aten::nll_loss_backward",
                           "aten::_log_softmax_backward_data"]),
    "cnn": ("conv1.weight", ["aten::convolution_backward", "aten::native_batch_norm_backward",
                             "aten::max_pool2d_with_indices_backward"]),
    "transformer": ("tok.weight", ["aten::embedding_dense_backward", "aten::native_layer_norm_backward",
                                   "aten::_softmax_backward_data", "aten::gelu_backward",
                                   "aten::native_dropout", "aten::masked_fill", "aten::addcdiv",
                                   "aten::lerp"]),
}


@pytest.mark.parametrize("name", list(tm.SCRIPTS))
def test_training_step_is_recorded_completely(name):
    model, optimizer, x, y = tm.setup(name, "lazy")
    host_model, _, hx, hy = tm.setup(name, "cpu")
    for _ in range(2):  # the second step also uses the optimizer's state
        loss = tm.train_step(model, optimizer, x, y)
    assert loss.device.type == "lazy" and loss.shape == () and loss.dtype == torch.float32

    host_loss = tm.loss_fn(host_model(hx), hy)
    host_loss.backward()
    for (pname, p), (_, hp) in zip(model.named_parameters(), host_model.named_parameters()):
        assert p.device.type == "lazy" and p.shape == hp.shape and p.dtype == hp.dtype, pname
        assert p.grad is not None and p.grad.shape == hp.grad.shape, pname

    weight_name, expected = SCRIPT_WEIGHT_OPS[name]
    text = ir_text(dict(model.named_parameters())[weight_name])
    for op in expected:
        assert op in text, f"{op} missing from the graph of {weight_name}"


def test_batch_norm_updates_running_statistics_in_the_graph():
    bn = nn.BatchNorm2d(3).to("lazy")
    x = torch.randn(4, 3, 5, 5).to("lazy")
    bn(x).sum().backward()
    mean_text, var_text = ir_text(bn.running_mean), ir_text(bn.running_var)
    assert "aten::native_batch_norm" in mean_text
    # The running variance takes the unbiased batch variance.
    assert "aten::var" in var_text and "aten::native_batch_norm" not in var_text
    assert "aten::add" in ir_text(bn.num_batches_tracked)

    bn.eval()
    before = ir_text(bn.running_mean)
    bn(x)
    assert ir_text(bn.running_mean) == before


# --- Common training operators, compared with the host ---------------------------------------
#
# Each case builds its inputs with `make()` and computes with `fn(*inputs)`. It runs on the host and
# on the lazy device; results, and gradients of the floating inputs when the case is
# differentiable, must have the host's sizes and types.

def randn(*s):
    return lambda: torch.randn(*s)


def idx(high, *s):
    return lambda: torch.randint(0, high, s)


def mask(*s):
    return lambda: torch.rand(*s) > 0.5


Case = tuple  # (id, makers, fn, differentiable)

ELEMENTWISE = [
    ("unary", [randn(3, 4)], lambda a: [f(a) for f in (
        torch.abs, torch.neg, torch.exp, torch.expm1, torch.log1p, torch.sin, torch.cos, torch.tan,
        torch.tanh, torch.sigmoid, torch.sign, torch.floor, torch.ceil, torch.round, torch.trunc,
        torch.frac, torch.erf, torch.atan, torch.asinh, torch.reciprocal, torch.rsqrt, torch.sqrt,
        torch.log, torch.log2, torch.exp2, torch.sinh, torch.erfinv, torch.square)], False),
    ("tensor_tensor_broadcast", [randn(3, 1, 4), randn(5, 1)], lambda a, b: [
        a + b, a - b, a * b, a / b, torch.maximum(a, b), torch.minimum(a, b), torch.pow(a.abs(), b),
        torch.atan2(a, b), torch.remainder(a, b), torch.fmod(a, b),
        torch.hypot(a, b), torch.lerp(a, b, 0.3), torch.addcmul(a, a, b, value=0.5),
        torch.addcdiv(a, a, b.abs() + 1, value=0.5)], True),
    ("tensor_scalar", [randn(3, 4)], lambda a: [
        a + 2, 2 - a, a * 3, a / 4, 1 / (a.abs() + 1), a ** 2, 2 ** a, a % 2, a.clamp(-0.5, 0.5),
        a.clamp(min=0), a.clamp(max=0), -a], True),
    ("rounding_division", [randn(3, 4), randn(4)], lambda a, b: [
        a // 2, torch.floor_divide(a, b), torch.div(a, 2, rounding_mode="floor"),
        torch.div(a, b, rounding_mode="trunc")], False),
    ("integer_and_bool", [idx(10, 3, 4), mask(3, 4)], lambda i, m: [
        i + 1, i * 2, i // 3, i % 3, i / 2, i & 3, i | 1, i ^ 5, ~m, m & m, m | ~m, m ^ m,
        torch.logical_not(m), torch.logical_and(m, m), i.float(), m.long(), i.to(torch.int32),
        torch.bitwise_left_shift(i, 1)], False),
    ("comparisons_and_where", [randn(3, 4), randn(4)], lambda a, b: [
        a == b, a != b, a < b, a <= b, a > b, a >= b, a > 0, a == 1, torch.where(a > b, a, b),
        torch.where(a > 0, a, 0.0), a.masked_fill(a > 0, 0.0), torch.isnan(a), torch.isinf(a),
        torch.nan_to_num(a)], True),
    ("casts", [randn(2, 3)], lambda a: [a.half(), a.bfloat16(), a.double(), a.to(torch.int64),
                                        a.to(torch.bool)], False),
]

REDUCTIONS = [
    ("reductions", [randn(3, 4, 5)], lambda a: [
        a.sum(), a.sum(1), a.sum((0, 2), keepdim=True), a.mean(), a.mean(-1), a.prod(1), a.amax(1),
        a.amin((0, 1)), a.max(), a.min(), a.max(dim=1)[0], a.min(dim=2)[0], a.std(), a.std(1),
        a.var(1, unbiased=False), torch.var_mean(a, 1)[0], torch.logsumexp(a, 1), a.norm(),
        a.norm(dim=1), torch.linalg.vector_norm(a, 3), a.cumsum(1), a.cumprod(2)], True),
    ("non_differentiable_reductions", [randn(3, 4, 5)], lambda a: [
        a.argmax(), a.argmax(1), a.argmin(2, keepdim=True), (a > 0).all(), (a > 0).any(1),
        (a > 0).sum(), torch.count_nonzero(a, 1), a.sort(1)[1], torch.topk(a, 2)[1],
        a.median(), a.max(dim=1)[1]], False),
    ("sort_topk_values", [randn(3, 6)], lambda a: [a.sort(1)[0], torch.topk(a, 3)[0],
                                                    torch.cummax(a, 1)[0], a.kthvalue(2, 1)[0]], True),
]

MATMUL = [
    ("matmul_family", [randn(4, 5), randn(5, 3), randn(2, 4, 5), randn(2, 5, 3), randn(5)],
     lambda a, b, c, d, v: [a @ b, torch.mm(a, b), torch.bmm(c, d), torch.matmul(c, b),
                            torch.matmul(a, v), torch.mv(a, v), torch.dot(v, v),
                            torch.addmm(b[0], a, b), torch.baddbmm(d[:, 0:1], c, d),
                            torch.einsum("bij,bjk->bik", c, d), torch.outer(v, v),
                            F.linear(c, b.t(), b[0]), torch.addr(a, a[:, 0], v)], True),
]

SHAPES = [
    ("views_and_copies", [randn(2, 3, 4)], lambda a: [
        a.view(6, 4), a.reshape(-1), a.permute(2, 0, 1), a.transpose(0, 2), a.t() if a.dim() == 2 else a.mT,
        a.unsqueeze(1), a[:, None].squeeze(1), a.squeeze(), a.expand(5, 2, 3, 4), a.flatten(1),
        a.unflatten(2, (2, 2)), a[0], a[:, 1:3], a[..., ::2], a.select(1, 0), a.narrow(2, 1, 2),
        a.diagonal(0, 1, 2), a.unfold(2, 2, 1), a.contiguous(), a.detach(), a.clone(),
        a.narrow_copy(1, 1, 2), a.new_empty_strided((2, 3), (3, 1)),
        a.movedim(0, 2), a.view(2, 12).t(), a.as_strided((2, 2), (1, 2))], True),
    ("concatenate_and_split", [randn(2, 3, 4), randn(2, 3, 4)], lambda a, b: [
        torch.cat([a, b], 1), torch.stack([a, b]), torch.hstack([a, b]), *a.split(2, 2),
        *a.chunk(3, 1), *torch.split(b, [1, 3], 2), *a.unbind(1), *b.tensor_split(2, 2)], True),
    ("repeat_flip_pad", [randn(2, 3, 4, 4)], lambda a: [
        a.repeat(1, 2, 1, 1), a.flip(3), torch.roll(a, 1, 2), F.pad(a, (1, 2, 0, 1)),
        F.pad(a, (1, 1, 1, 1), mode="reflect"), F.pad(a, (1, 1, 1, 1), mode="replicate"),
        F.pad(a[0], (2, 2), mode="reflect"), a.tril(), a.triu(1), torch.diag_embed(a[0, 0]),
        F.pixel_shuffle(a.repeat(1, 4, 1, 1)[:, :4], 2), F.pixel_unshuffle(a, 2),
        a.repeat_interleave(2, dim=1), torch.block_diag(a[0, 0], a[0, 1])], True),
    ("writes_through_views", [randn(3, 4)], lambda a: _writes_through_views(a), True),
]


def _writes_through_views(a):
    b = a * 1
    b[0] = 0
    b[:, 1:3] += 1
    b.diagonal().mul_(2)
    b.t()[1].fill_(3)
    c = a.new_zeros(3, 4)
    c[1:] = a[1:]
    return [b, c]


INDEXING = [
    ("gather_scatter_select", [randn(4, 5), idx(4, 3), idx(5, 4, 2)], lambda a, i, j: [
        a.index_select(0, i), a.gather(1, j), a.new_zeros(4, 5).scatter(1, j, a[:, :2]),
        a.new_zeros(4, 5).scatter_add(1, j, a[:, :2]), a.scatter(1, j, 1.0),
        a.new_zeros(4, 5).scatter_reduce(1, j, a[:, :2], "amax", include_self=False),
        a.index_add(0, i, a[:3]), a.index_copy(0, i.new_tensor([0, 2, 3]), a[:3]),
        a.index_fill(1, i.new_tensor([1, 3]), -1.0), a.take(j.flatten())], True),
    ("advanced_indexing", [randn(4, 5, 3), idx(4, 6), idx(5, 6)], lambda a, i, j: [
        a[i], a[i, j], a[:, j], a[i, :, 1], a[i.new_tensor([0, 3])]], True),
    ("index_put", [randn(4, 5), idx(4, 3)], lambda a, i: [
        _index_put(a, i), a.new_zeros(4, 5).index_put((i,), a[:3], accumulate=True),
        a.masked_fill(a > 0, 1.0), _mask_assign(a)], True),
    ("embedding", [randn(10, 4), idx(10, 2, 3)], lambda w, i: [
        F.embedding(i, w), F.embedding(i, w, padding_idx=0), F.one_hot(i, 10)], True),
]


def _index_put(a, i):
    b = a * 1
    b[i] = 0.5
    b[i, 1] = a[:3, 0]
    return b


def _mask_assign(a):
    b = a * 1
    b[a > 0] = 0.0
    return b


ACTIVATIONS = [
    ("activations", [randn(3, 8)], lambda a: [
        F.relu(a), F.gelu(a), F.gelu(a, approximate="tanh"), F.silu(a), torch.sigmoid(a), torch.tanh(a),
        F.leaky_relu(a, 0.1), F.elu(a), F.selu(a), F.celu(a), F.hardtanh(a), F.relu6(a), F.softplus(a),
        F.mish(a), F.hardswish(a), F.hardsigmoid(a), F.logsigmoid(a), F.softsign(a),
        F.softshrink(a), F.hardshrink(a), F.glu(a), F.prelu(a, a.new_full((1,), 0.25)),
        F.softmax(a, -1), F.log_softmax(a, 1), F.softmin(a, 1), F.threshold(a, 0.1, 20.0),
        torch.logit(a.sigmoid())], True),
]

NORMS_AND_POOLING = [
    ("normalisation", [randn(4, 6, 5, 5)], lambda a: [
        F.batch_norm(a, a.new_zeros(6), a.new_ones(6), a.new_ones(6), a.new_zeros(6), training=True),
        F.batch_norm(a, a.new_zeros(6), a.new_ones(6), training=False),
        F.layer_norm(a, (5, 5)), F.group_norm(a, 3, a.new_ones(6), a.new_zeros(6)),
        F.instance_norm(a), F.normalize(a, dim=1), F.local_response_norm(a, 2)], True),
    ("pooling_2d", [randn(2, 3, 8, 8)], lambda a: [
        F.max_pool2d(a, 2), F.max_pool2d(a, 3, 2, 1, ceil_mode=True), F.avg_pool2d(a, 2),
        F.avg_pool2d(a, 3, 1, 1, count_include_pad=False), F.adaptive_avg_pool2d(a, 1),
        F.adaptive_avg_pool2d(a, (3, 5)), F.adaptive_max_pool2d(a, 2),
        F.max_pool2d(a, 2, return_indices=True)[0], F.lp_pool2d(a.abs() + 1, 2, 2)], True),
    ("pooling_1d_3d", [randn(2, 3, 8), randn(1, 2, 4, 4, 4)], lambda a, v: [
        F.max_pool1d(a, 2), F.avg_pool1d(a, 2), F.adaptive_avg_pool1d(a, 3),
        F.adaptive_max_pool1d(a, 2), F.max_pool3d(v, 2), F.avg_pool3d(v, 2),
        F.adaptive_avg_pool3d(v, 2)], True),
    ("convolution_and_resampling", [randn(2, 3, 8, 8), randn(4, 3, 3, 3), randn(2, 3, 10)],
     lambda a, w, s: [
        F.conv2d(a, w, padding=1), F.conv2d(a, w, stride=2, dilation=1), F.conv_transpose2d(a, w.transpose(0, 1)),
        F.conv1d(s, w[:, :, 0]), F.conv2d(a, w[:, :1].repeat(1, 1, 1, 1)[:3], groups=3),
        F.interpolate(a, scale_factor=2, mode="nearest"), F.interpolate(a, size=(5, 5), mode="bilinear"),
        F.interpolate(a, scale_factor=2, mode="bilinear", align_corners=True),
        F.interpolate(s, scale_factor=2, mode="linear"), F.interpolate(s, scale_factor=2),
        F.unfold(a, 3, padding=1), F.fold(F.unfold(a, 2, stride=2), (8, 8), 2, stride=2)], True),
    ("attention", [randn(2, 4, 6, 8), randn(2, 4, 6, 8), randn(2, 4, 6, 8)], lambda q, k, v: [
        F.scaled_dot_product_attention(q, k, v), F.scaled_dot_product_attention(q, k, v, is_causal=True),
        F.scaled_dot_product_attention(q, k, v, attn_mask=q.new_ones(6, 6).tril().bool())], True),
]

LOSSES = [
    ("losses", [randn(6, 5), idx(5, 6), randn(6, 5), lambda: torch.rand(6, 5)],
     lambda x, t, y, p: [
        F.cross_entropy(x, t), F.cross_entropy(x, t, label_smoothing=0.1),
        F.cross_entropy(x, p.softmax(1)), F.nll_loss(F.log_softmax(x, 1), t, reduction="sum"),
        F.cross_entropy(x, t, weight=x.new_full((5,), 0.5), ignore_index=2),
        F.mse_loss(x, y), F.l1_loss(x, y), F.smooth_l1_loss(x, y), F.huber_loss(x, y, delta=0.5),
        F.binary_cross_entropy(x.sigmoid(), p), F.binary_cross_entropy_with_logits(x, p),
        F.binary_cross_entropy_with_logits(x, p, pos_weight=x.new_full((5,), 2.0)),
        F.kl_div(F.log_softmax(x, 1), p.softmax(1), reduction="batchmean"),
        F.soft_margin_loss(x, y.detach().sign()), F.cosine_embedding_loss(x, y, t.float().sign() * 2 - 1),
        F.margin_ranking_loss(x[:, 0], y[:, 0], y[:, 1].detach().sign()), F.mse_loss(x, y, reduction="none")], True),
    ("spatial_cross_entropy", [randn(2, 5, 4, 4), idx(5, 2, 4, 4)], lambda x, t: [
        F.cross_entropy(x, t), F.nll_loss(F.log_softmax(x, 1), t, reduction="none")], True),
]

CASES = ELEMENTWISE + REDUCTIONS + MATMUL + SHAPES + INDEXING + ACTIVATIONS + NORMS_AND_POOLING + LOSSES


def _run(makers, fn, differentiable, device):
    torch.manual_seed(0)
    host_inputs = [m() for m in makers]
    inputs = []
    for t in host_inputs:
        t = t.to(device)
        if differentiable and t.is_floating_point():
            t.requires_grad_(True)
        inputs.append(t)
    outputs = fn(*inputs)
    grads = []
    if differentiable:
        floats = [o for o in outputs if o.is_floating_point() and o.requires_grad]
        sum(o.float().sum() for o in floats).backward()
        grads = [t.grad for t in inputs if t.is_floating_point()]
    return outputs, grads


def _meta(ts):
    return [None if t is None else (tuple(t.shape), t.dtype) for t in ts]


@pytest.mark.parametrize("case_id,makers,fn,differentiable", CASES, ids=[c[0] for c in CASES])
def test_common_operators_match_host_sizes_and_types(case_id, makers, fn, differentiable):
    host_out, host_grads = _run(makers, fn, differentiable, "cpu")
    lazy_out, lazy_grads = _run(makers, fn, differentiable, "lazy")
    assert all(t.device.type == "lazy" for t in lazy_out + [g for g in lazy_grads if g is not None])
    assert _meta(lazy_out) == _meta(host_out)
    assert _meta(lazy_grads) == _meta(host_grads)


def test_tensor_creation_on_the_lazy_device():
    dev = "lazy"
    made = [torch.zeros(2, 3, device=dev), torch.ones(4, device=dev, dtype=torch.int64),
            torch.full((2, 2), 7.0, device=dev), torch.arange(5, device=dev),
            torch.arange(1.0, 2.0, 0.25, device=dev), torch.linspace(0, 1, 7, device=dev),
            torch.eye(3, device=dev), torch.eye(2, 4, device=dev), torch.empty(3, device=dev),
            torch.rand(2, 2, device=dev), torch.randn(3, device=dev),
            torch.randint(0, 5, (4,), device=dev), torch.tensor([1.0, 2.0], device=dev),
            torch.scalar_tensor(3.0, device=dev), torch.zeros_like(torch.ones(2).to(dev)),
            torch.ones(2).to(dev).new_zeros(3), torch.ones(2).to(dev).new_full((2,), 1.5),
            torch.empty(2, 3, device=dev).normal_(), torch.empty(4, device=dev).uniform_(-1, 1),
            torch.empty(4, device=dev).bernoulli_(0.3), torch.rand_like(torch.ones(3).to(dev)),
            torch.empty(3, device=dev).exponential_(), torch.empty(3, device=dev).random_(0, 9)]
    host = [torch.zeros(2, 3), torch.ones(4, dtype=torch.int64), torch.full((2, 2), 7.0),
            torch.arange(5), torch.arange(1.0, 2.0, 0.25), torch.linspace(0, 1, 7), torch.eye(3),
            torch.eye(2, 4), torch.empty(3), torch.rand(2, 2), torch.randn(3),
            torch.randint(0, 5, (4,)), torch.tensor([1.0, 2.0]), torch.scalar_tensor(3.0),
            torch.zeros(2), torch.zeros(3), torch.full((2,), 1.5), torch.empty(2, 3),
            torch.empty(4), torch.empty(4), torch.rand(3), torch.empty(3), torch.empty(3)]
    assert all(t.device.type == "lazy" for t in made)
    assert _meta(made) == _meta(host)
    text = ir_text(made[3], made[5], made[6], made[9], made[10])
    for op in ["aten::arange", "aten::linspace", "aten::eye", "aten::uniform", "aten::normal"]:
        assert op in text


def test_dropout_is_recorded_as_a_random_operator():
    x = torch.randn(4, 8).to("lazy").requires_grad_(True)
    y = F.dropout(x, 0.5, training=True)
    y.sum().backward()
    assert "aten::native_dropout" in ir_text(y)
    assert "aten::native_dropout_backward" in ir_text(x.grad)
    assert F.dropout(x, 0.5, training=False) is x
    z = nn.Dropout2d(0.5)(torch.randn(2, 3, 4, 4).to("lazy"))
    assert z.shape == (2, 3, 4, 4)


def test_optimizers_and_in_place_updates():
    for opt_cls, kwargs in [(torch.optim.SGD, dict(lr=0.1, momentum=0.9, nesterov=True)),
                            (torch.optim.Adam, dict(lr=1e-3, amsgrad=True)),
                            (torch.optim.AdamW, dict(lr=1e-3)), (torch.optim.RMSprop, dict(lr=1e-3)),
                            (torch.optim.Adagrad, dict(lr=1e-2))]:
        model = tm.MLP().to("lazy")
        opt = opt_cls(model.parameters(), **kwargs)
        x, y = torch.randn(4, 64).to("lazy"), torch.randint(0, 10, (4,)).to("lazy")
        for _ in range(2):
            tm.train_step(model, opt, x, y)
        torch.nn.utils.clip_grad_norm_(model.parameters(), 1.0)
        assert model.fc1.weight.shape == (128, 64), opt_cls.__name__


def test_boolean_mask_selection_is_refused_with_a_reason():
    a = torch.randn(4).to("lazy")
    with pytest.raises(RuntimeError, match="boolean mask"):
        a[a > 0]


# --- The operator list ------------------------------------------------------------------------

def _listed_operators():
    listing = yaml.safe_load(OPS_YAML.read_text())
    return listing["full_codegen"] + listing["supported"]


def _qualified(op):
    return f"aten::{op}"


def test_every_listed_operator_has_a_lazy_kernel():
    listed = _listed_operators()
    assert len(listed) == len(set(listed))
    assert len(listed) >= MIN_LISTED_OPERATORS
    registered = set(torch._C._dispatch_get_registrations_for_dispatch_key("Lazy"))
    missing = [op for op in listed if _qualified(op) not in registered]
    assert not missing


def test_coverage_includes_the_torchscript_backends_operators():
    # Operators PyTorch's own TorchScript lazy backend registers kernels for (functional forms).
    # Each one has a lazy kernel here, or is a composite whose parts have one.
    reference = [
        "_adaptive_avg_pool2d", "_adaptive_avg_pool2d_backward", "_copy_from", "_copy_from_and_resize",
        "_log_softmax", "_log_softmax_backward_data", "_reshape_alias_copy", "_softmax",
        "_softmax_backward_data", "_to_copy", "_trilinear", "_unsafe_view", "abs", "add.Tensor",
        "addcdiv", "addcmul", "addmm", "alias_copy", "all", "any", "arange.start_out",
        "as_strided_copy", "as_strided_scatter", "avg_pool2d", "avg_pool2d_backward", "baddbmm",
        "bernoulli", "bernoulli.p", "binary_cross_entropy", "binary_cross_entropy_backward",
        "bitwise_and.Tensor", "bitwise_or.Tensor", "block_diag", "bmm", "cat", "clamp", "clamp_min",
        "clone", "constant_pad_nd", "convolution", "convolution_backward", "cos", "cumsum",
        "detach_copy", "diag_embed", "diagonal_backward", "diagonal_copy", "diagonal_scatter",
        "div.Tensor", "div.Tensor_mode", "elu", "elu_backward", "embedding", "embedding_dense_backward",
        "empty.memory_format", "empty_strided", "eq.Scalar", "eq.Tensor", "exp", "expand_copy",
        "fill_.Scalar", "flip", "floor", "frac", "gather", "ge.Scalar", "ge.Tensor", "gelu",
        "gelu_backward", "glu", "glu_backward", "glu_jvp", "grid_sampler_2d",
        "grid_sampler_2d_backward", "gt.Scalar", "gt.Tensor", "hardsigmoid", "index_select",
        "le.Scalar", "le.Tensor", "leaky_relu", "leaky_relu_backward", "lift", "lift_fresh",
        "linalg_pinv.atol_rtol_tensor", "log", "log2", "log_sigmoid_backward", "log_sigmoid_forward",
        "logdet", "lt.Scalar", "lt.Tensor", "masked_fill.Scalar", "masked_fill.Tensor", "max",
        "max.dim", "max_pool2d_with_indices", "max_pool2d_with_indices_backward", "max_pool3d",
        "max_pool3d_with_indices", "max_pool3d_with_indices_backward", "maximum", "mean",
        "mean.dim", "min", "minimum", "mm", "mul.Tensor", "mv", "narrow_copy", "native_batch_norm",
        "native_batch_norm_backward", "native_dropout", "native_dropout_backward",
        "native_group_norm", "native_layer_norm", "native_layer_norm_backward", "ne.Scalar",
        "ne.Tensor", "neg", "new_empty_strided", "nll_loss2d_backward", "nll_loss2d_forward",
        "nll_loss_backward", "nll_loss_forward", "nonzero", "norm.ScalarOpt_dim",
        "normal_functional", "permute_copy", "pixel_shuffle", "pixel_unshuffle", "pow.Tensor_Scalar",
        "pow.Tensor_Tensor", "random", "random.from", "random.to", "reciprocal", "relu",
        "remainder.Tensor", "repeat", "rsqrt", "scatter_add", "select_backward", "select_copy.int",
        "select_scatter", "sgn", "sigmoid", "sigmoid_backward", "silu", "slice_backward",
        "slice_copy.Tensor", "slice_scatter", "smooth_l1_loss", "smooth_l1_loss_backward", "softplus",
        "softplus_backward", "sort", "sqrt", "squeeze_copy", "squeeze_copy.dim", "squeeze_copy.dims",
        "stack", "std", "std.correction", "std.dim", "sub.Tensor", "sum", "sum.dim_IntList", "svd",
        "t_copy", "tanh", "tanh_backward", "threshold", "threshold_backward", "topk", "trace",
        "transpose_copy.int", "tril", "triu", "trunc", "unfold_copy", "uniform", "unsqueeze_copy",
        "upsample_bilinear2d", "upsample_bilinear2d_backward", "upsample_nearest2d",
        "upsample_nearest2d_backward", "view_copy", "view_copy.dtype", "zero",
    ]
    registered = set(torch._C._dispatch_get_registrations_for_dispatch_key("Lazy"))
    uncovered = []
    for op in reference:
        if _qualified(op) in registered:
            continue
        if "CompositeImplicitAutograd" in torch._C._dispatch_dump(_qualified(op)):
            continue
        uncovered.append(op)
    # Its host decomposition takes strided views of fresh tensors, which functionalization
    # cannot express for this backend; it reaches the unsupported-operator report.
    assert uncovered == ["linalg_pinv.atol_rtol_tensor"]


def test_composites_the_reference_overrides_record_through_their_parts():
    a = torch.randn(4, 4).to("lazy").requires_grad_(True)
    outs = [a.std(), a.std(1), torch.linalg.svd(a)[1], torch.logdet(a @ a.t() + torch.eye(4).to("lazy"))]
    assert [o.shape for o in outs] == [(), (4,), (4,), ()]
    outs[0].backward()
    assert a.grad.shape == (4, 4)
