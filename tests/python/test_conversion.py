"""Small PyTorch functions captured on the lazy device, converted by torch-lumo-opt and run by
lumo_interpreter give what eager PyTorch gives. One program (one process) per family; gradients
come from autograd, so the backward operators PyTorch emits are converted too."""
import pytest

from convertkit import run_scenario

FAMILIES = {
    "elementwise": r'''
a = torch.randn(3, 4); b = torch.randn(4) + 0.1; i = torch.tensor([[-7, 7, 5, -5]]); j = torch.tensor([2, -3, 4, 3])
special = torch.tensor([float("inf"), float("-inf"), float("nan"), 0.5])
cases = [
    ("add_alpha", lambda a, b: torch.add(a, b, alpha=2.5), [a, b]),
    ("rsub", lambda a: 1.5 - a, [a]),
    ("int_true_div", lambda i, j: i / j, [i, j]),
    ("div_modes", lambda i, j, a, b: [torch.div(i, j, rounding_mode="floor"), torch.div(i, j, rounding_mode="trunc"),
                                      torch.div(a, b, rounding_mode="floor"), i // 3], [i, j, a, b]),
    ("remainder_fmod", lambda i, j, a: [i % j, torch.fmod(i, j), a % 0.7, torch.fmod(a, -0.7)], [i, j, a]),
    ("pow", lambda a, b: [a ** 2, b.abs() ** 0.5, b.abs() ** a, 2 ** a, a ** 3], [a, b]),
    ("minmax", lambda a, b, s: [torch.maximum(a, b), torch.minimum(a, b), torch.fmax(s, a), torch.fmin(a, s),
                                a.clamp(min=-0.5), a.clamp(-0.5, 0.3), a.clamp(max=b)], [a, b, special]),
    ("where_mixed", lambda a, i: [torch.where(a > 0, a, i), a.masked_fill(a < 0, -2.0)], [a, i]),
    ("lerp_addc", lambda a, b: [torch.lerp(a, b, 0.3), torch.lerp(a, b, 0.8), torch.lerp(a, b, a.sigmoid()),
                                a.addcmul(a, b, value=0.5), a.addcdiv(a, b, value=-2)], [a, b]),
    ("compare_promote", lambda i, a, j: [i > 0.5, i == 7, a <= i, i != j], [i, a, j]),
    ("logical_bitwise", lambda i, j: [(i > 0) & (j > 0), (i > 0) | (j > 0), (i > 0) ^ (j > 0), ~(i > 0), i & j,
                                      i | j, i ^ j, ~i, torch.logical_and(i, j), torch.logical_not(i)], [i, j]),
    ("classify", lambda s: [s.isinf(), s.isnan(), s.isneginf(), s.isposinf(), s.isfinite(), s.nan_to_num(),
                            s.nan_to_num(1.0, 2.0, -2.0), s.sign(), s.signbit()], [special]),
    ("unary", lambda a: [a.neg(), a.abs().rsqrt(), a.abs().log1p(), a.expm1(), a.abs().log2(), a.abs().log10(),
                         a.exp2(), a.tan(), a.atan(), a.clamp(-0.9, 0.9).asin(), a.sinh(), a.asinh(),
                         (a.abs() + 1).acosh(), a.clamp(-0.9, 0.9).atanh(), (a * 3).round(), a.trunc(),
                         a.frac(), a.erfc(), a.reciprocal(), a.square(), (a * 30).round(decimals=-1),
                         a.ceil(), a.floor(), torch.sinc(a), a.cos().acos(), a.digamma(), a.lgamma(),
                         a.clamp(-0.99, 0.99).erfinv(), a.i0()], [a]),
    ("special_int", lambda i: [i.digamma(), i.lgamma(), i.i0(), torch.special.erfinv(i // 7)], [i]),
    ("binary_misc", lambda a, b: [torch.hypot(a, b), torch.logaddexp(a, b), torch.logaddexp2(a, b),
                                  torch.xlogy(a.abs(), b.abs()), torch.copysign(a, b), torch.atan2(a, b),
                                  torch.heaviside(a.round(), b)], [a, b]),
    ("shifts", lambda i, n: [torch.bitwise_left_shift(i, n), torch.bitwise_right_shift(i.abs(), n)],
     [i, torch.tensor([1, 0, 2, 3])]),
]
compare(cases)
''',
    "activations": r'''
x = torch.randn(4, 6) * 3
cases = [(name, with_grads(fn), [x]) for name, fn in [
    ("relu", F.relu), ("gelu", F.gelu), ("gelu_tanh", lambda x: F.gelu(x, approximate="tanh")),
    ("silu", F.silu), ("sigmoid", torch.sigmoid), ("tanh", torch.tanh), ("elu", lambda x: F.elu(x, 0.7)),
    ("selu", F.selu), ("celu", lambda x: F.celu(x, 0.5)), ("leaky_relu", lambda x: F.leaky_relu(x, 0.2)),
    ("softplus", lambda x: F.softplus(x, 2.0, 5.0)), ("hardswish", F.hardswish),
    ("hardsigmoid", F.hardsigmoid), ("mish", F.mish), ("hardtanh", lambda x: F.hardtanh(x, -1.5, 2.0)),
    ("relu6", F.relu6), ("logsigmoid", F.logsigmoid), ("glu", F.glu), ("threshold", lambda x: F.threshold(x, 0.5, -1.0)),
    ("hardshrink", F.hardshrink), ("softshrink", F.softshrink), ("logit", lambda x: torch.logit(x.sigmoid(), 1e-3)),
    ("prelu", lambda x: F.prelu(x, const(torch.tensor([0.1, 0.2, 0.3, 0.4, 0.5, 0.6]), x))),
]] + [("glu_jvp", lambda x, d: [torch.ops.aten.glu_jvp(F.glu(x), x, d, -1), torch.ops.aten.glu_jvp(F.glu(x, 0), x, d, 0)],
       [x, torch.randn(4, 6)])]
compare(cases)
''',
    "reductions": r'''
x = torch.randn(3, 4, 5); t = torch.tensor([[1.0, 3.0, 3.0, 2.0], [5.0, 5.0, 1.0, 1.0]]); m = x > 0
nan = float("nan"); inf = float("inf")
ties = torch.tensor([[1.0, 3.0, 3.0, nan, 2.0, nan, 5.0], [2.0, 2.0, 1.0, 1.0, -inf, 7.0, 7.0]])
it = torch.tensor([[3, 1, 3, 5, 5, 0, 2], [-2, -2, -9, 4, 4, 4, 1]])
cases = [
    ("sum_mean", lambda x: [x.sum(), x.sum((0, 2), keepdim=True), x.mean(-1), x.mean((0, 1)), (x > 0).sum(1),
                            x.sum(dtype=torch.float64)], [x]),
    ("prod_amax", lambda x: [x.prod(1), x.prod(), x.amax((0, 2)), x.amin(-1, keepdim=True), x.max(), x.min()], [x]),
    ("indices", lambda t: [t.max(1), t.min(1, keepdim=True), t.argmax(), t.argmax(1), t.argmin(0, keepdim=True)], [t]),
    ("all_any", lambda m, x: [m.all(), m.any(1), m.all(-1, keepdim=True), torch.any(x > 2, dim=(0, 1)),
                              torch.count_nonzero(m, dim=1)], [m, x]),
    ("statistics", lambda x: [x.var(), x.var(1, correction=0), x.std((0, 2), keepdim=True),
                              torch.var_mean(x, 1), torch.std_mean(x, (0, 1), correction=2)], [x]),
    ("logsumexp_norms", lambda x: [x.logsumexp(1), x.norm(), x.norm(1, dim=2), torch.linalg.vector_norm(x, float("inf"), dim=1),
                                   torch.linalg.vector_norm(x, 3, dim=(0, 2), keepdim=True)], [x]),
    ("scans_sorts", lambda x: [x.cumsum(1), x.cumprod(-1), x.topk(2, dim=1), x.sort(2, descending=True),
                               x.median(1), x.kthvalue(2, 2), torch.aminmax(x, dim=0)], [x]),
    # Running extrema move to later equal values and stay on NaN (the last one); exact log-sums.
    ("running", lambda x, ties, it, far: [x.cummax(1), x.cummin(-1), ties.cummax(1), ties.cummin(1), ties.cummax(0),
                                          it.cummax(1), it.cummin(1), (it > 2).cummin(1), it.to(torch.uint8).cummax(1),
                                          x.logcumsumexp(2), (x * 300).logcumsumexp(0), far.logcumsumexp(1)],
     [x, ties, it, torch.tensor([[-1000.0, 0.0, -inf, 3.0], [inf, 1.0, inf, nan], [-inf, -inf, 2.0, -inf]])]),
    ("grads", with_grads(lambda x: [x.sum(1), x.mean(), x.amax(1), x.var(0), x.logsumexp(2), x.norm(dim=1),
                                    x.cumsum(0), x.prod(2), x.cummax(2)[0], x.cummin(0)[0], x.logcumsumexp(1)]), [x]),
]
compare(cases)
''',
    "linalg": r'''
a = torch.randn(5, 3); b = torch.randn(3, 4); c = torch.randn(4); bias = torch.randn(4)
x3 = torch.randn(2, 5, 3); y3 = torch.randn(2, 3, 4); y1 = torch.randn(1, 3, 4)
cases = [
    ("products", lambda a, b, c, x3, y3, y1: [a @ b, torch.mm(a, b), torch.bmm(x3, y3), x3 @ y1, x3 @ b,
                                              b @ c, c @ c, a @ b @ c, torch.mv(b, c), torch.dot(c, c)],
     [a, b, c, x3, y3, y1]),
    ("addmm_family", lambda a, b, bias, x3, y3, c: [torch.addmm(bias, a, b), torch.addmm(bias, a, b, beta=0.5, alpha=2),
                                                    torch.baddbmm(y3[:, :1, :], x3, y3, beta=0), torch.addmv(c[:3], b, c),
                                                    torch.addr(a, a[:, 0], c[:3], alpha=3)],
     [a, b, bias, x3, y3, c]),
    ("linear_grads", with_grads(lambda a, w, bias, x3: [F.linear(a, w, bias), F.linear(x3, w), (a.t() @ a).t()]),
     [a, torch.randn(6, 3), torch.randn(6), x3]),
    ("batched_grads", with_grads(lambda x3, y3: [x3 @ y3, (x3 @ y3).transpose(1, 2)]), [x3, y3]),
    ("cross", lambda u, v: torch.linalg.cross(u, v), [torch.randn(4, 3), torch.randn(4, 3)]),
    ("bilinear", with_grads(lambda a, x3, w, bias: [F.bilinear(a, a[:, :2], w, bias), F.bilinear(x3, x3[..., 1:], w)]),
     [a, x3, torch.randn(4, 3, 2), torch.randn(4)]),
]
compare(cases)
''',
    # Factorisations and solves on matrices fed to the program; symmetric positive-definite ones
    # are made inside the case so that gradients reach the fed values.
    "factorisations": r"""
m = torch.randn(2, 4, 4); r = torch.randn(2, 4, 3); r1 = torch.randn(4, 3); v = torch.randn(4)
spd = lambda m: m @ m.mT + 4 * torch.eye(4, device=m.device)
tri = lambda m: m.tril() + 4 * torch.eye(4, device=m.device)
lu, piv = torch.linalg.lu_factor(m)
cases = [
    ("cholesky", with_grads(lambda m: [torch.linalg.cholesky_ex(spd(m)).L, torch.linalg.cholesky_ex(spd(m), upper=True).L,
                                       torch.cholesky(spd(m[0]))]), [m]),
    ("cholesky_solve", with_grads(lambda m, r, r1: [torch.cholesky_solve(r, torch.linalg.cholesky_ex(spd(m)).L),
                                                    torch.cholesky_solve(r1, torch.linalg.cholesky_ex(spd(m)).L.mT, upper=True),
                                                    torch.cholesky_inverse(torch.linalg.cholesky_ex(spd(m)).L)]),
     [m, r, r1]),
    ("solve_triangular", with_grads(lambda m, r, r1: [torch.linalg.solve_triangular(tri(m), r, upper=False),
                                                      torch.linalg.solve_triangular(tri(m).mT, r1.mT, upper=True, left=False),
                                                      torch.linalg.solve_triangular(tri(m), r1, upper=False, unitriangular=True),
                                                      *torch.triangular_solve(r, tri(m), upper=False, transpose=True)]),
     [m, r, r1]),
    ("solve", with_grads(lambda m, r, v: [torch.linalg.solve_ex(m, r).result, torch.linalg.solve_ex(m, v).result,
                                          torch.linalg.solve_ex(m[0], r[0].mT, left=False).result,
                                          *torch.ops.aten._linalg_solve_ex(m, r)]), [m, r, v]),
    # The checking forms: LAPACK's error codes are values of the step, not read on the host.
    ("checked", with_grads(lambda m, r: [torch.linalg.solve(m, r), torch.linalg.inv(m),
                                         torch.linalg.cholesky(spd(m))]), [m, r]),
    ("inverse_det", with_grads(lambda m: [*torch.linalg.inv_ex(m), *torch.ops.aten._linalg_det(m), torch.logdet(spd(m)),
                                          *torch.linalg.slogdet(m), *torch.ops.aten._linalg_slogdet(m)[2:]]), [m]),
    ("lu", lambda m, lu, piv, r: [*torch.linalg.lu_factor_ex(m), torch.linalg.lu_solve(lu, piv, r),
                                  torch.linalg.lu_solve(lu, piv, r, adjoint=True),
                                  torch.linalg.lu_solve(lu, piv, r.mT, left=False), *torch.lu_unpack(lu, piv)],
     [m, lu, piv, r]),
    ("lu_rectangular", with_grads(lambda w, t: [*torch.linalg.lu(w), *torch.linalg.lu(t), *torch.linalg.lu_factor_ex(w)]),
     [torch.randn(2, 3, 5), torch.randn(5, 3)]),
    # LAPACK's info: the order of the first minor that is not positive definite, the first zero pivot.
    ("info", lambda a, s: [torch.linalg.cholesky_ex(a).info, torch.linalg.lu_factor_ex(s).info,
                           torch.linalg.inv_ex(s).info],
     [torch.tensor([[[1.0, 2.0], [2.0, 1.0]], [[2.0, 0.0], [0.0, 1.0]]]), torch.tensor([[1.0, 2.0], [2.0, 4.0]])]),
]
compare(cases, inputs=True)
""",
    "shape": r'''
x = torch.randn(2, 3, 4); v = torch.randn(2, 4); s = torch.randn(2, 3, 2); sq = torch.randn(5, 5)
def writes(x, v, s):
    y = x.clone()
    y[:, 1] = v
    y[..., ::2] = s
    y[0, :, 1:3] *= 2
    y[1].t()[1].fill_(3)
    y[const(torch.tensor([1, 0, 1]), x), 0] = 0.5
    y[x > 1] = 0.0
    z = x.new_zeros(2, 3, 4)
    z[1:] = x[1:]
    return [y, z]
def diagonal_writes(sq, v, x):
    y = sq.clone()
    y.diagonal(1).mul_(3)
    z = x.clone()
    z.as_strided((2, 2), (4, 1), 1).fill_(9)
    return [y, torch.diag_embed(v, offset=-1), torch.diag_embed(x, 1, 0, 2), z]
cases = [
    ("diagonal_writes", diagonal_writes, [sq, v, x]),
    ("views", lambda x: [x.view(6, 4), x.permute(2, 0, 1), x.transpose(0, 2), x.mT,
                         x[:, None].expand(2, 5, 3, 4), x.unsqueeze(1), x[:1].squeeze(0), x.flatten(1),
                         x.unflatten(2, (2, 2)), x.reshape(-1)], [x]),
    ("slices", lambda x: [x[:, 1:], x[..., ::3], x[:, -1], x.narrow(2, 1, 2), x[1:, 1:3, ::2], x.select(2, -2)], [x]),
    ("cat_split", lambda x, v: [torch.cat([x, x[:, :1]], 1), torch.stack([v, v, v], 1), *x.split(2, 2),
                                *x.split([1, 2], 1), *x.unbind(0), *x.chunk(3, 2)], [x, v]),
    ("writes", writes, [x, v, s]),
    ("pads", lambda x: [F.pad(x, (1, 2)), F.pad(x, (0, -1, 2, 0), value=3.5), F.pad(x, (1, 1), mode="reflect"),
                        F.pad(x, (2, 1, 1, 0), mode="replicate")], [x]),
    ("rearrange", lambda x, sq: [x.flip(0, 2), x.roll(1, 2), x.roll((1, -1), (0, 1)), x.roll(5), x.repeat(2, 1, 1, 2),
                                 sq.tril(), sq.triu(), sq.tril(-1), sq.triu(2), sq.tril(2), (sq > 0).triu(),
                                 sq.diagonal(), sq.diagonal(1), x.diagonal(0, 1, 2), x.unfold(2, 2, 1)], [x, sq]),
    ("resize", lambda x: [x.clone().resize_(2, 5)], [x]),
    ("casts", lambda x: [x.to(torch.float64), (x * 10).to(torch.int32), x > 0, (x > 0).float(), x.half().float()], [x]),
    ("grads", with_grads(lambda x: [x.permute(1, 0, 2)[:, 1:], torch.cat([x, x * 2], 2)[..., ::3],
                                    x.expand(3, 2, 3, 4), x.flip(1), F.pad(x, (1, 1), mode="reflect"),
                                    x.repeat(1, 2, 1), x.unfold(2, 2, 2), x.diagonal(-1, 1, 2),
                                    x.select(1, 2), x[:, ::2]]), [x]),
]
compare(cases)
''',
    "indexing": r'''
w = torch.randn(10, 4); idx = torch.tensor([[1, 0, 3], [9, 1, 1]]); x = torch.randn(4, 6)
g = torch.tensor([[0, 5, 5], [1, 1, 2], [4, 0, 3], [2, 2, 2]]); rows = torch.tensor([3, 0, 3])
cases = [
    ("embedding", with_grads(lambda w, idx: [F.embedding(idx, w), F.embedding(idx, w, padding_idx=1)]), [w, idx]),
    ("gather", with_grads(lambda x, g, rows, cols: [x.gather(1, g), x.gather(0, g[:2] // 2), x.index_select(1, rows), x[rows],
                                                    x[:, rows], x[rows, cols], x[rows[:2, None], rows[None]]]),
     [x, g, rows, torch.tensor([0, 1, 5])]),
    ("scatter", lambda x, g, rows, perm: [x.scatter(1, g, -1.0), x.scatter(1, g, x[:, :3] * 10), x.scatter_add(1, g, x[:, :3]),
                                          x.scatter_reduce(1, g, x[:, :3], "amax"), x.scatter_reduce(1, g, x[:, :3], "mean"),
                                          x.scatter_reduce(1, g, x[:, :3], "prod", include_self=False),
                                          x.index_add(0, rows, x[:3]), x.index_fill(1, rows, 7.0),
                                          x.index_copy(0, perm, x[:3] * 3)], [x, g, rows, torch.tensor([2, 0, 1])]),
    ("index_put", lambda x, g, rows: [x.index_put((rows,), x[:3], accumulate=True), x.index_put((rows[:1],), x[:1] * 5),
                                      x.take(g)], [x, g, rows]),
    # bf16 sums rounded after every addition, as PyTorch accumulates (256 + 1 stays 256).
    ("index_put_bf16", lambda b, at: [b.index_put((at,), b[1].expand(4), accumulate=True)],
     [torch.tensor([256.0, 1.0], dtype=torch.bfloat16), torch.tensor([0, 0, 0, 0])]),
    ("one_hot", lambda g: [F.one_hot(g, 7), F.one_hot(g.flatten(), 8)], [g]),
    ("put", lambda x, g, wrap: [x.put(g[:, 0], g[:, 0] * 1.5), x.put(g, g * 1.5, accumulate=True),
                                 x.put(wrap, x[0, :3])], [x, g, torch.tensor([-1, 0, -23])]),
]
compare(cases)
''',
    "normalization": r'''
x = torch.randn(4, 3, 5, 5); h = torch.randn(2, 7, 8); wt = torch.randn(8); bs = torch.randn(8)
c3 = torch.randn(3); rm = torch.randn(3).abs(); rv = torch.rand(3) + 0.5
def batch_norm(x, weight, bias):
    mean, var = const(rm.clone(), x), const(rv.clone(), x)
    y = F.batch_norm(x, mean, var, weight, bias, training=True, momentum=0.2, eps=1e-3)
    return [y, mean, var]
cases = [
    ("layer_norm", with_grads(lambda h, wt, bs: [F.layer_norm(h, (8,), wt, bs), F.layer_norm(h, (7, 8), eps=1e-3)]),
     [h, wt, bs]),
    ("layer_norm_stats", lambda h: torch.native_layer_norm(h, (8,), None, None, 1e-5), [h]),
    ("batch_norm", with_grads(batch_norm, 3), [x, c3, torch.randn(3)]),
    ("batch_norm_eval", with_grads(lambda x, w: F.batch_norm(x, const(rm, x), const(rv, x), w, None, False), 1), [x, c3]),
    ("group_norm", with_grads(lambda x, w, b: F.group_norm(x, 3, w, b)),
     [torch.randn(2, 6, 4, 4), torch.randn(6), torch.randn(6)]),
    ("softmax", with_grads(lambda h: [h.softmax(-1), h.softmax(1), h.log_softmax(-1), h.log_softmax(0)]), [h]),
]
compare(cases)
''',
    "convolution": r'''
x = torch.randn(2, 4, 9, 9); w = torch.randn(6, 4, 3, 3); b = torch.randn(6); wg = torch.randn(6, 2, 3, 3)
cases = [
    ("conv2d", with_grads(lambda x, w, b: [F.conv2d(x, w, b, padding=1), F.conv2d(x, w, None, stride=2),
                                           F.conv2d(x, w, b, dilation=2, padding=(2, 1))]), [x, w, b]),
    ("conv_groups", with_grads(lambda x, wg: F.conv2d(x, wg, stride=(1, 2), groups=2)), [x, wg]),
    ("conv1d", with_grads(lambda x, w: F.conv1d(x, w, padding=2)), [torch.randn(2, 3, 10), torch.randn(5, 3, 4)]),
    ("conv_transpose", lambda x, w: F.conv_transpose2d(x, w, stride=2, padding=1, output_padding=1),
     [torch.randn(2, 6, 4, 4), w]),
    ("unfold_fold", with_grads(lambda x, s: [F.unfold(x, 3), F.unfold(x[0], (2, 3), dilation=(2, 1), padding=1, stride=(2, 3)),
                                             F.fold(F.unfold(x, 3, padding=1, stride=2), (9, 9), 3, padding=1, stride=2),
                                             F.fold(x.reshape(2, 36, 9), (5, 5), 3), F.unfold(s, 2)]),
     [x, torch.tensor([[[[float("inf"), 1.0], [2.0, float("nan")]]]])]),
    ("grid_sample", with_grads(lambda x, g: [F.grid_sample(x, g, align_corners=False),
                                             F.grid_sample(x, g * 1.3, padding_mode="border", align_corners=True),
                                             F.grid_sample(x, g * 2.5, padding_mode="reflection"),
                                             F.grid_sample(x, g * 2.5, padding_mode="reflection", align_corners=True),
                                             F.grid_sample(x, g, mode="nearest", padding_mode="border")]),
     [x, torch.rand(2, 5, 7, 2) * 2.2 - 1.1]),
    # bfloat16 grid gradients: differences of neighbouring corners, channels added one by one, as eager.
    ("grid_sample_bfloat16", with_grads(lambda g, x: F.grid_sample(x, g, align_corners=False), 1),
     [(torch.rand(2, 5, 7, 2) * 2.2 - 1.1).bfloat16(), (x * 8).bfloat16()]),
    ("max_pool", with_grads(lambda x: [F.max_pool2d(x, 2), F.max_pool2d(x, 3, 2, padding=1),
                                       F.max_pool2d(x, 2, ceil_mode=True), F.max_pool1d(x[:, 0], 3)]), [x]),
    ("avg_pool", with_grads(lambda x: [F.avg_pool2d(x, 3), F.avg_pool2d(x, 3, 2, padding=1)]), [x]),
    ("adaptive", with_grads(lambda x: [F.adaptive_avg_pool2d(x, 1), F.adaptive_avg_pool2d(x[..., :8, :6], (4, 3)),
                                       F.adaptive_max_pool2d(x, 3)]), [x]),
    # Adaptive windows that overlap (sizes that do not divide), unbatched inputs, 1-d and 3-d.
    ("adaptive_overlapping", with_grads(lambda x: [F.adaptive_avg_pool2d(x, (4, 2)), F.adaptive_avg_pool2d(x[0], (2, 5)),
                                                   F.adaptive_avg_pool1d(x[0, :, 0], 4), F.adaptive_avg_pool3d(x[:1], (3, 2, 4)),
                                                   *F.adaptive_max_pool2d(x, (4, 2), return_indices=True),
                                                   *F.adaptive_max_pool1d(x[0, :, 1], 5, return_indices=True)]), [x]),
    # Max pooling indices read as results (ceil mode, dilation, 1-d, 3-d, unbatched), and a
    # gradient routed by indices of another pooling.
    ("pool_indices", with_grads(lambda x: [*F.max_pool2d(x, 3, 2, 1, ceil_mode=True, return_indices=True),
                                           *F.max_pool1d(x[0], 3, 2, 1, dilation=2, return_indices=True),
                                           *F.max_pool3d(x[:1], 2, 1, 1, return_indices=True),
                                           *F.max_pool2d(x[0], 2, return_indices=True)]), [x]),
    # Fractional max pooling with given samples (op_db's samples are drawn, compared by shape only).
    ("fractional_pool", with_grads(lambda x, u, v: [
        *F.fractional_max_pool2d(x, (2, 3), output_size=(5, 4), return_indices=True, _random_samples=u),
        *F.fractional_max_pool3d(x.reshape(1, 2, 4, 9, 9), 2, output_size=(2, 5, 4), return_indices=True,
                                 _random_samples=v)], 1), [x, torch.rand(2, 4, 2), torch.rand(1, 2, 3)]),
    ("pool_gradient_by_indices", lambda dy, x: torch.ops.aten.max_pool2d_with_indices_backward(
        dy, x, [2, 2], [2, 2], [0, 0], [1, 1], False, F.max_pool2d(x, 2, return_indices=True)[1].flip(-1)),
     [torch.randn(2, 4, 4, 4), x[..., :8, :8]]),
    # Average pooling by a divisor, without the padding, with windows past the padding (ceil mode).
    ("avg_pool_divisors", with_grads(lambda x: [F.avg_pool2d(x, 3, 2, 1, divisor_override=4),
                                                F.avg_pool2d(x, 3, 2, 1, ceil_mode=True, count_include_pad=False),
                                                F.avg_pool2d(x, 2, 3, 1, ceil_mode=True), F.avg_pool2d(x[0], 2, 3, 1),
                                                F.avg_pool3d(x[:1], 2, 2, 1, ceil_mode=True, count_include_pad=False,
                                                             divisor_override=3),
                                                F.avg_pool1d(x[0], 3, 2, 1, count_include_pad=False)]), [x]),
    # Replication padding that crops (negative padding), reflection of an empty batch.
    ("mode_pads", with_grads(lambda x, e: [F.pad(x, (-4, 5, 0, 0), "replicate"), F.pad(x, (5, -4, -4, 3), "replicate"),
                                           F.pad(x, (-2, -1, -1, -3), "replicate"), F.pad(e, (1, 2), "reflect")]),
     [x, torch.randn(0, 3, 3)]),
    ("integer_conv", lambda x, w, b, x8, w8: [F.conv2d(x, w, b, stride=2, padding=1, groups=2), F.conv1d(x[:, :2, 0], w[:4, :, 0], dilation=2),
                                              F.conv_transpose2d(x, w[:4], stride=2, output_padding=1), F.conv2d(x8, w8)],
     [torch.randint(-5, 5, (2, 4, 5, 5)), torch.randint(-5, 5, (6, 2, 3, 3)), torch.randint(-5, 5, (6,)),
      torch.randint(-100, 100, (1, 2, 4, 4), dtype=torch.int8), torch.randint(-100, 100, (2, 2, 3, 3), dtype=torch.int8)]),
    # Integer pooling: exact sums divided with truncation (a negative divisor too), maxima gathered.
    ("integer_pool", lambda x: [F.avg_pool2d(x, 3, 2, 1), F.avg_pool2d(x, 3, 2, 1, ceil_mode=True, count_include_pad=False),
                                F.avg_pool2d(x, 2, 3, 1, ceil_mode=True, divisor_override=-3), F.avg_pool1d(x[0], 3, 2, 1),
                                F.max_pool2d(x, 3, 2, 1), *F.max_pool2d(x, 2, return_indices=True),
                                F.max_pool2d(x.to(torch.uint8), 3, 2, 1)], [torch.randint(-9, 9, (2, 3, 8, 7))]),
    # bfloat16 with a bias that cancels the sum: one rounding after the bias, as eager.
    ("bias_bfloat16", with_grads(lambda x, w, b: F.conv2d(x, w, b, padding=1)),
     [torch.randn(1, 3, 5, 5).bfloat16(), torch.randn(2, 3, 3, 3).bfloat16(), torch.randn(2).bfloat16() * 8]),
    ("upsample", with_grads(lambda x: [F.interpolate(x, scale_factor=2), F.interpolate(x, size=(18, 27)),
                                       F.interpolate(x, size=(5, 13)), F.interpolate(x, scale_factor=3.1),
                                       F.interpolate(torch.where(x > 1, math.inf, x), size=(5, 13)),
                                       F.interpolate(x, size=(6, 14), mode="bilinear"),
                                       F.interpolate(x, scale_factor=1.5, mode="bilinear", align_corners=True),
                                       F.interpolate(x, size=(11, 7), mode="bicubic"),
                                       F.interpolate(x[:, 0], size=12, mode="linear"),
                                       F.interpolate(x[:, :2, None], size=(3, 5, 4), mode="trilinear")]), [x]),
]
compare(cases, inputs=True)
''',
    # Transposed convolutions and every gradient autograd asks of them: the tensors that need a
    # gradient come first (with_grads' n), so each output mask of convolution_backward occurs. The
    # values are inputs of the program.
    "transposed_convolution": r'''
def ct(x, w, b=None, **kw):
    return (F.conv_transpose1d if x.dim() == 3 else F.conv_transpose2d)(x, w, b, **kw)
x1 = torch.randn(2, 4, 7); w1 = torch.randn(4, 3, 3); b1 = torch.randn(3); w1g = torch.randn(4, 2, 2)
x2 = torch.randn(2, 4, 5, 4); w2 = torch.randn(4, 3, 3, 2); b2 = torch.randn(6); w2d = torch.randn(4, 1, 2, 3)
S1 = dict(stride=2, padding=1, output_padding=1)
S2 = dict(stride=(2, 3), padding=(1, 0), output_padding=(1, 2), dilation=(1, 2), groups=2)
cases = [
    # 1-d: plain; stride, padding and output padding; groups with dilation; output padding of a
    # stride or more (dilation above the stride), which shortens the gradients' padding or dy.
    ("ct1_plain", with_grads(lambda x, w, b: ct(x, w, b)), [x1, w1, b1]),
    ("ct1_stride", with_grads(lambda x, w, b: ct(x, w, b, **S1)), [x1, w1, b1]),
    ("ct1_groups_dilation",
     with_grads(lambda x, w: ct(x, w, stride=3, padding=2, output_padding=2, dilation=2, groups=2)), [x1, w1g]),
    ("ct1_wide_output_padding",
     with_grads(lambda x, w, b: [ct(x, w, b, padding=1, output_padding=2, dilation=3),
                                 ct(x, w, b, stride=2, padding=2, output_padding=3, dilation=4),
                                 ct(x, w, b, output_padding=1, dilation=2)]), [x1, w1, b1]),
    # Output masks: input only, weight only, bias only, input and bias, weight and bias.
    ("ct1_mask_input", with_grads(lambda x, w, b: ct(x, w, b, **S1), 1), [x1, w1, b1]),
    ("ct1_mask_weight", with_grads(lambda w, x, b: ct(x, w, b, **S1), 1), [w1, x1, b1]),
    ("ct1_mask_bias", with_grads(lambda b, x, w: ct(x, w, b, **S1), 1), [b1, x1, w1]),
    ("ct1_mask_input_bias", with_grads(lambda x, b, w: ct(x, w, b, **S1), 2), [x1, b1, w1]),
    ("ct1_mask_weight_bias", with_grads(lambda w, b, x: ct(x, w, b, **S1), 2), [w1, b1, x1]),
    # 2-d: stride, padding, output padding, dilation and groups, differing by dimension; one group
    # per input channel; output padding of a stride or more; a 1x1 kernel; double precision.
    ("ct2_all", with_grads(lambda x, w, b: ct(x, w, b, **S2)), [x2, w2, b2]),
    ("ct2_all_no_bias", with_grads(lambda x, w: ct(x, w, **S2)), [x2, w2]),
    ("ct2_depthwise",
     with_grads(lambda x, w, b: ct(x, w, b, stride=2, padding=(0, 1), output_padding=(1, 0), groups=4)),
     [x2, w2d, torch.randn(4)]),
    ("ct2_wide_output_padding",
     with_grads(lambda x, w: ct(x, w, stride=(1, 2), padding=(1, 2), output_padding=(2, 1), dilation=(3, 1))),
     [x2, w2]),
    ("ct2_1x1", with_grads(lambda x, w, b: ct(x, w, b, stride=2, output_padding=1)),
     [x2, torch.randn(4, 5, 1, 1), torch.randn(5)]),
    ("ct2_mask_weight", with_grads(lambda w, x, b: ct(x, w, b, **S2), 1), [w2, x2, b2]),
    ("ct2_float64", with_grads(lambda x, w, b: ct(x, w, b, **S2)), [x2.double(), w2.double(), b2.double()]),
]
compare(cases, inputs=True)
''',
    "losses": r'''
logits = torch.randn(6, 5); target = torch.tensor([0, 4, -100, 2, 2, 1]); cw = torch.rand(5) + 0.5
p = torch.rand(6, 5) * 0.98 + 0.01; y = torch.rand(6, 5); img = torch.randn(2, 5, 3, 3)
cases = [
    ("cross_entropy", with_grads(lambda z, t: [F.cross_entropy(z, t), F.cross_entropy(z, t, reduction="sum"),
                                               F.cross_entropy(z, t, reduction="none"),
                                               F.cross_entropy(z, t, weight=const(cw, z))]), [logits, target]),
    ("nll_2d", with_grads(lambda z: F.nll_loss(z.log_softmax(1), const(torch.tensor([[[0, 1, 2], [3, 4, 0], [1, 1, 1]]] * 2), z))),
     [img]),
    ("nll_1d", with_grads(lambda z: F.nll_loss(z[0], const(torch.tensor(3), z))), [logits]),
    ("regression", with_grads(lambda p: [F.mse_loss(p, const(y, p)), F.mse_loss(p, const(y, p), reduction="none"),
                                         F.l1_loss(p, const(y, p)), F.smooth_l1_loss(p * 3, const(y, p), beta=0.5),
                                         F.huber_loss(p * 3, const(y, p), delta=0.7, reduction="sum")]), [p]),
    ("binary", with_grads(lambda p: [F.binary_cross_entropy(p, const(y, p)),
                                     F.binary_cross_entropy(p, const(y, p), weight=const(cw, p)),
                                     F.binary_cross_entropy_with_logits(p * 4 - 2, const(y, p), pos_weight=const(cw, p)),
                                     F.soft_margin_loss(p, const(y.sign(), p))]), [p]),
]
compare(cases)
''',
    "creation": r'''
x = torch.randn(3, 4)
cases = [
    ("ranges", lambda x: [torch.arange(5, device=x.device), torch.arange(1.0, 2.0, 0.25, device=x.device),
                          torch.arange(2, 11, 3, device=x.device), torch.linspace(-1, 1, 7, device=x.device),
                          torch.eye(3, 4, device=x.device)], [x]),
    ("fills", lambda x: [torch.zeros_like(x), torch.ones(2, 2, device=x.device), torch.full((2,), 4.5, device=x.device),
                         x.new_full((3,), 2), x.clone().fill_(1.25), torch.full_like(x, -2.0), torch.empty_like(x).zero_() + 1,
                         torch.ones_like(x, dtype=torch.int64)], [x]),
]
compare(cases)
''',
    # What the capture makes itself: tensors made on the host (index lists, torch.tensor inside
    # composites, window functions) embedded as constants; shuffles; 0-d edge cases.
    "capture": r'''
i1 = torch.tensor(1); s0 = torch.tensor(2.5); x0 = torch.tensor([1., 2.])
cases = [
    ("host_index_list", with_grads(lambda x: x[[1, 2]]), [torch.randn(4, 3)]),
    ("unravel_index", lambda x: torch.stack(torch.unravel_index(x, (3, 4))), [torch.tensor([1, 5, 7])]),
    ("windows", lambda x: [x * torch.hann_window(2, device=x.device), x * torch.signal.windows.cosine(2, device=x.device)],
     [torch.randn(2)]),
    ("pixel_shuffle", with_grads(lambda x: [F.pixel_shuffle(x, 3), F.pixel_shuffle(x, 1)]), [torch.randn(2, 9, 2, 2)]),
    ("pixel_unshuffle", with_grads(lambda x: [F.pixel_unshuffle(x, 2), F.pixel_unshuffle(x[:1], 3)]), [torch.randn(3, 6, 6)]),
    ("empty_targets", lambda x: [torch.empty_like(x).copy_(x), x + torch.empty(3, device=x.device).uniform_() * 0],
     [torch.randn(3)]),
    ("reduce_0d", lambda x, i: [torch.logsumexp(x, 0), torch.masked.logsumexp(x, 0), torch.count_nonzero(x, dim=0),
                                torch.logsumexp(i, 0), torch.count_nonzero(i, dim=0), torch.count_nonzero(i > 1, 0),
                                torch.logsumexp(x, -1, keepdim=True), torch.var(x, 0, correction=0)],
     [s0, i1]),
    ("index_0d", with_grads(lambda x, s, i: [torch.index_select(x, 0, i), torch.index_add(x, 0, i, s, alpha=2),
                                             torch.index_copy(x, 0, i, s), torch.index_fill(x, 0, i, -1.0)], 2),
     [s0, torch.tensor(-1.5), torch.tensor(0)]),
    ("index_select_0d_index", with_grads(lambda x, i: torch.index_select(x, 1, i)), [torch.randn(2, 3), i1]),
    # Statistics: none outside training, in the input's type unless a parameter's differs.
    ("batch_norm_stats", lambda x, m, v: [torch.native_batch_norm(x, None, None, m, v, False, 0.1, 1e-5),
                                          torch.native_batch_norm(x.bfloat16(), None, None, None, None, True, 0.1, 1e-5),
                                          torch.native_batch_norm(x.bfloat16(), None, None, m.clone(), v.clone(), True, 0.1, 1e-5)],
     [torch.randn(3, 2, 4), torch.randn(2), torch.rand(2) + 0.5]),
    ("group_norm_bf16", lambda x, w: [torch.native_group_norm(x, None, None, 2, 4, 3, 2, 1e-5),
                                      torch.native_group_norm(x, w, w, 2, 4, 3, 2, 1e-5)],
     [torch.randn(2, 4, 3).bfloat16(), torch.rand(4) + 0.5]),
    ("dropout_backward_int", lambda g, m: [torch.ops.aten.native_dropout_backward(g, m, 2.0),
                                           torch.ops.aten.native_dropout_backward(g.bool(), m, 0.5)],
     [torch.tensor([1, 2, 3]), torch.tensor([True, False, True])]),
    ("equal_cov_corrcoef", lambda x: [x * torch.equal(const(x0, x), const(x0, x)), x * torch.equal(const(x0, x), const(x0[:1], x)),
                                      torch.cov(x), torch.corrcoef(x),
                                      torch.cov(x, correction=0, fweights=const(torch.tensor([1, 2, 1]), x))],
     [torch.randn(2, 3)]),
    # Integers beyond a double's precision stay exact (2**60 taken off, the rest compared).
    ("int64_exact", lambda x: [y - 2**60 for y in [torch.full((2,), 2**60 + 1, device=x.device), x + (2**60 + 1),
                                                   x.clamp(min=2**60 + 1), x.masked_fill(x > 1, 2**60 + 1),
                                                   x.add(4, alpha=2**58 + 1)]], [torch.tensor([1, 2])]),
    ("index_reduce", lambda x, s, i: [x.index_reduce(0, i, s, r, include_self=inc) for r in ["prod", "mean", "amax", "amin"]
                                      for inc in [True, False]] + [x.T.index_reduce(1, i, s.T, "amax")],
     [torch.randn(3, 2), torch.randn(3, 2), torch.tensor([0, 2, 0])]),
    ("max_unpool2d", lambda v, i: [F.max_unpool2d(v, i, 2), F.max_unpool2d(v[0], i[0], 2, output_size=(5, 5))],
     list(F.max_pool2d(torch.randn(1, 2, 4, 4), 2, return_indices=True))),
    ("tensor_split_by_tensor", with_grads(lambda x: [*torch.tensor_split(x, const(torch.tensor([1, 3]), x)),
                                                     *torch.tensor_split(x, const(torch.tensor(2), x), 1)]),
     [torch.randn(5, 4)]),
]
compare(cases, inputs=True, rtol=1e-2, atol=1e-2)
''',
    # The recurrent layers run on weights, inputs and initial states fed to the program.
    "recurrent": r'''
import torch.nn as nn
from torch.func import functional_call

def recurrent(module, *inputs):
    """(function, arguments) of a case: `module` on its weights given as arguments after the inputs
    (a tuple stands for several arguments); its results and the gradients of all arguments."""
    names = [n for n, _ in module.named_parameters()]
    counts = [len(i) if isinstance(i, tuple) else 1 for i in inputs]
    def flat(v):
        return [t for u in v for t in flat(u)] if isinstance(v, (tuple, list)) else [v]
    def fn(*args):
        args, grouped = list(args), []
        for n in counts:
            grouped.append(tuple(args[:n]) if n > 1 else args[0])
            del args[:n]
        return flat(functional_call(module, dict(zip(names, args)), tuple(grouped)))
    return with_grads(fn), flat(inputs) + [p.detach() for _, p in module.named_parameters()]

class Packed(nn.Module):
    """`rnn` on padded sequences of the given lengths (longest first), packed and padded again."""
    def __init__(self, rnn, lengths):
        super().__init__()
        self.rnn, self.lengths = rnn, lengths
    def forward(self, x, hx=None):
        first = self.rnn.batch_first
        packed = nn.utils.rnn.pack_padded_sequence(x, self.lengths, batch_first=first)
        y, state = self.rnn(packed, hx)
        return nn.utils.rnn.pad_packed_sequence(y, batch_first=first, total_length=x.shape[int(first)])[0], state

def unsafe_writes(x):
    # The pieces share the input's storage, as on the host.
    y = x * 1
    a, b = y.unsafe_chunk(2, 1)
    a.mul_(2)
    b.add_(1)
    c, d = y.unsafe_split_with_sizes([1, 3], 0)
    d.neg_()
    return [y, a, b, c, d, *y.unsafe_split(4, 1)]

x = torch.randn(3, 5, 4); xb = x.transpose(0, 1).contiguous(); h = torch.randn(4, 5, 6); c = torch.randn(4, 5, 6)
cases = [
    ("lstm_layers_bidirectional_batch_first", *recurrent(nn.LSTM(4, 6, 2, bidirectional=True, batch_first=True),
                                                         xb, (h, c))),
    ("lstm_proj", *recurrent(nn.LSTM(4, 6, proj_size=3), x)),
    ("lstm_proj_layers_bidirectional", *recurrent(nn.LSTM(4, 6, 2, proj_size=2, bidirectional=True), x,
                                                  (torch.randn(4, 5, 2), c))),
    ("gru_layers_bidirectional", *recurrent(nn.GRU(4, 6, 2, bidirectional=True), x, h)),
    ("gru_batch_first_no_bias", *recurrent(nn.GRU(4, 6, batch_first=True, bias=False), xb)),
    ("gru_unbatched", *recurrent(nn.GRU(4, 6), x[:, 0], h[:1, 0])),
    ("rnn_tanh_layers_bidirectional", *recurrent(nn.RNN(4, 6, 2, bidirectional=True), x, h)),
    ("rnn_relu_batch_first", *recurrent(nn.RNN(4, 6, nonlinearity="relu", batch_first=True), xb)),
    ("lstm_cell", *recurrent(nn.LSTMCell(4, 6), x[0], (h[0], c[0]))),
    ("gru_cell", *recurrent(nn.GRUCell(4, 6), x[0])),
    ("rnn_relu_cell", *recurrent(nn.RNNCell(4, 6, nonlinearity="relu"), x[0], h[1])),
    ("lstm_packed_batch_first", *recurrent(Packed(nn.LSTM(4, 6, batch_first=True), [3, 3, 2, 2, 1]), xb, (h[:1], c[:1]))),
    ("gru_packed_layers_bidirectional", *recurrent(Packed(nn.GRU(4, 6, 2, bidirectional=True), [3, 2, 2, 1, 1]), x)),
    ("unsafe_writes", unsafe_writes, [torch.randn(4, 6)]),
]
compare(cases, inputs=True)
''',
    # Values PyTorch defines exactly (edge cases of the element type, NaN, -0.0, ties), fed as inputs.
    "exact": r'''
nan = float("nan")
i32, b = torch.tensor([5, -3, 7, 1], dtype=torch.int32), torch.tensor([True, False, True, False])
idx = torch.tensor([0, 0, 2])
f = torch.tensor([[1., nan, 2., 0.], [3., 1., 2., 0.], [2., 2., 1., 1.]])
ties = torch.tensor([1., 0., 2., 1., 0.] * 8)
z, zi = torch.tensor(2.5), torch.tensor(3)
big = torch.cat([torch.full((2, 1), 1e4), torch.randn(2, 6) * 5], 1)  # its gradient subtracts partial sums of 1e4
sr = lambda r: lambda s, i, src: torch.scatter_reduce(s, 0, i, src, r, include_self=False)
cases = [
    ("scatter_reduce_extrema", lambda a, i, src, b, bs: [sr("amax")(a, i, src), sr("amin")(a, i, src), sr("amax")(b, i, bs),
                                                        sr("amin")(b, i, bs)],
     [i32, idx, torch.tensor([4, -8, 2], dtype=torch.int32), b, torch.tensor([False, True, False])]),
    ("negative_indices", lambda x, i: [torch.take(x, i), x[i], x[:, i], x[i, i]], [f, torch.tensor([-1, 0, -3])]),
    ("rsub_alpha", lambda a, b: [torch.rsub(a, b, alpha=2), torch.rsub(a, 3.0, alpha=2)], [f[1], f[2]]),
    ("stable_sort", lambda t, b: [*torch.sort(t, stable=True), *torch.sort(t, stable=True, descending=True),
                                  torch.argsort(t, stable=True), *torch.sort(b), *b.max(0)], [ties, b]),
    ("median_nan", lambda x: [x.median(), *x.median(1)], [f]),
    ("mode", lambda x, i: [*torch.mode(x, 1), *torch.mode(i, 0)], [f[1:], torch.tensor([1, 2, 0, 1, 2, 1, 2])]),
    ("erfc_tail", lambda x: torch.log(x.erfc()), [torch.tensor([-5., 0., 4., 6., 9.])]),
    ("negative_zero", lambda x, y: [x.signbit(), torch.copysign(x, y).signbit(), torch.copysign(y, x)],
     [torch.tensor([-0., 0., -1., 1., -float("inf")]), torch.tensor([1., -0., 0., -1., 2.])]),
    ("shifts_past_width", lambda x, n, m: [torch.bitwise_left_shift(x, n), torch.bitwise_right_shift(x, n),
                                           torch.bitwise_left_shift(x.int(), m), torch.bitwise_right_shift(x.int(), m)],
     [torch.tensor([5, -7, 1, -1, 3]), torch.tensor([63, 64, 65, 70, 1]), torch.tensor([31, 32, 33, 40, 1], dtype=torch.int32)]),
    ("logcumsumexp_grad", with_grads(lambda x: torch.logcumsumexp(x, 1)), [big]),
    ("int64_exact", lambda x: [x + torch.full((2,), 2**60 + 1, device=x.device), x * (2**53 + 1)], [torch.tensor([3, 4])]),
    ("dim0_of_0d", lambda z, zi: [z.sum(0), z.amax(0), z.mean(-1), z.var(0), z.argmax(0), *z.max(0), *zi.min(-1),
                                  *z.sort(0), *z.median(0), *z.mode(0)], [z, zi]),
    ("dim0_of_0d_grad", with_grads(lambda z: [z.median(0)[0], z.mode(-1)[0], z.max(0)[0]]), [z]),
]
compare(cases, inputs=True)
''',
}


@pytest.mark.parametrize("family", sorted(FAMILIES))
def test_converted_programs_equal_eager(tmp_path, family):
    results = run_scenario(tmp_path, "torch.manual_seed(0)\n" + FAMILIES[family])
    assert results["bad"] == {}, results["bad"]


DROPOUT = r'''
x = torch.randn(64, 32) + 3
def step(x):
    x = x.detach().requires_grad_()
    y = F.dropout(x, 0.25, training=True)
    (g,) = torch.autograd.grad((y * 2).sum(), [x])
    return [y, g, x]
prog = program_of(lambda: dict(zip(["y", "g", "x"], step(ox.make_constant(x)))))
runs = [run_program(prog) for _ in range(2)]
kept = [(r["y"] != 0) for r in runs]
report(kept=[k.float().mean().item() for k in kept],
       scaled=all(torch.allclose(r["y"][k], x[k] / 0.75) for r, k in zip(runs, kept)),
       grad_same_mask=all(torch.equal(r["g"] != 0, k) and torch.allclose(r["g"][k], torch.tensor(2 / 0.75))
                          for r, k in zip(runs, kept)),
       fresh_mask=not torch.equal(kept[0], kept[1]))
'''


def test_dropout_masks_scale_and_gradient(tmp_path):
    results = run_scenario(tmp_path, "torch.manual_seed(0)\n" + DROPOUT)
    assert all(0.65 < k < 0.85 for k in results["kept"]), results["kept"]
    assert results["scaled"] and results["grad_same_mask"]
    # Each run of the program draws a new mask.
    assert results["fresh_mask"]


RANDOM = r"""
# Every floating-point type draws the integers of [0, 2^digits], each exact; integer types [0, max].
TYPES = {"float32": 2 ** 24, "float16": 2 ** 11, "float64": 2 ** 53, "int64": 2 ** 63 - 1, "int32": 2 ** 31 - 1,
         "uint8": 255, "bool": 1}
prog = program_of(lambda: {n: torch.empty(4000, dtype=getattr(torch, n), device="lazy").random_() for n in TYPES})
runs = [run_program(prog) for _ in range(2)]
again = run_program(li.Program(programs[-1]))
def spread(t, top):
    v = [int(e) for e in t.tolist()]
    return [min(v) >= 0, max(v) <= top, max(v) > 0.95 * top, min(v) < 0.05 * top + 1,
            abs(sum(v) / len(v) / top - 0.5) < 0.05, all(e == int(e) for e in t.double().tolist())]
report(spread={n: spread(runs[0][n], top) for n, top in TYPES.items()},
       fresh=[n for n in TYPES if torch.equal(runs[0][n], runs[1][n])],
       repeated=all(torch.equal(runs[0][n], again[n]) for n in TYPES))
"""


def test_random_fills_the_integer_range_of_its_type(tmp_path):
    results = run_scenario(tmp_path, RANDOM)
    assert {n: s for n, s in results["spread"].items() if not all(s)} == {}, results["spread"]
    # Fresh values on every run of the program, the same ones in a fresh plan.
    assert results["fresh"] == [] and results["repeated"]
