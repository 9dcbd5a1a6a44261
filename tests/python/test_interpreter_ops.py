"""The interpreter's operations against PyTorch eager on the same inputs, family by family."""
import numpy as np
import pytest
import torch
import torch.nn.functional as F
from torch.testing import assert_close

import lumo_interpreter as li
from lumo_programs import Const, like, op_program, run_op, vjp

f32, i64, i32, b1 = torch.float32, torch.int64, torch.int32, torch.bool


@pytest.fixture(autouse=True)
def seeded():
    torch.manual_seed(0)


def rand(*shape, lo=-2.0, hi=2.0, dtype=f32):
    return (torch.rand(shape) * (hi - lo) + lo).to(dtype)


# ---------------------------------------------------------------- elementwise, with broadcasting

POS = dict(lo=0.1, hi=3.0)
UNIT = dict(lo=-0.9, hi=0.9)
ELEMENTWISE = [
    # op, attrs, eager, operand shapes, input range
    ("Add", {}, torch.add, [(2, 3), (3,)], {}),
    ("Sub", {}, torch.sub, [(2, 1), (1, 3)], {}),
    ("Mul", {}, torch.mul, [(4,), ()], {}),
    ("Div", {}, torch.div, [(3, 2), (2,)], POS),
    ("Pow", {}, torch.pow, [(5,), (5,)], POS),
    ("Clamp", {}, lambda x, a, b: torch.clamp(x, a, b), [(6,), (), (6,)], {}),
    ("Abs", {}, torch.abs, [(7,)], {}), ("Ceil", {}, torch.ceil, [(7,)], {}),
    ("Floor", {}, torch.floor, [(7,)], {}), ("Cos", {}, torch.cos, [(7,)], {}),
    ("Sin", {}, torch.sin, [(7,)], {}), ("Erf", {}, torch.erf, [(7,)], {}),
    ("Exp", {}, torch.exp, [(7,)], {}), ("Log", {}, torch.log, [(7,)], POS),
    ("Sqrt", {}, torch.sqrt, [(7,)], POS), ("Tanh", {}, torch.tanh, [(7,)], {}),
    ("Sigmoid", {}, torch.sigmoid, [(7,)], {}), ("Sign", {}, torch.sign, [(7,)], {}),
    ("Reciprocal", {}, torch.reciprocal, [(7,)], POS), ("Relu", {}, torch.relu, [(7,)], {}),
    ("HardSigmoid", {}, F.hardsigmoid, [(7,)], dict(lo=-4.0, hi=4.0)),
    ("Elu", {"alpha": 0.5}, lambda x: F.elu(x, 0.5), [(7,)], {}),
    ("LeakyRelu", {"alpha": 0.2}, lambda x: F.leaky_relu(x, 0.2), [(7,)], {}),
    ("Softplus", {"beta": 2.0, "threshold": 1.5}, lambda x: F.softplus(x, 2.0, 1.5), [(7,)], {}),
    ("Gelu", {"approximation": "tanh"}, lambda x: F.gelu(x, approximate="tanh"), [(7,)], {}),
    # Gradients against autograd: (incoming gradient, forward input), except SigmoidGrad(y, dy).
    ("ReluGrad", {}, lambda g, x: vjp(torch.relu, g, x)[0], [(7,), (7,)], {}),
    ("EluGrad", {"alpha": 0.5}, lambda g, x: vjp(lambda t: F.elu(t, 0.5), g, x)[0], [(7,), (7,)], {}),
    ("LeakyReluGrad", {"alpha": 0.2}, lambda g, x: vjp(lambda t: F.leaky_relu(t, 0.2), g, x)[0], [(7,), (7,)], {}),
    ("HardSigmoidGrad", {}, lambda g, x: vjp(F.hardsigmoid, g, x)[0], [(7,), (7,)], dict(lo=-4.0, hi=4.0)),
    ("GeluGrad", {}, lambda g, x: vjp(F.gelu, g, x)[0], [(7,), (7,)], {}),
    ("SigmoidGrad", {}, lambda y, g: g * y * (1 - y), [(7,), (7,)], dict(lo=0.0, hi=1.0)),
] + [("Unary", {"kind": k}, f, [(2, 5)], r) for k, f, r in [
    ("neg", torch.neg, {}), ("rsqrt", torch.rsqrt, POS), ("log1p", torch.log1p, POS),
    ("expm1", torch.expm1, {}), ("log2", torch.log2, POS), ("log10", torch.log10, POS),
    ("exp2", torch.exp2, {}), ("tan", torch.tan, UNIT), ("atan", torch.atan, {}),
    ("asin", torch.asin, UNIT), ("acos", torch.acos, UNIT), ("sinh", torch.sinh, {}),
    ("cosh", torch.cosh, {}), ("asinh", torch.asinh, {}), ("acosh", torch.acosh, dict(lo=1.1, hi=3.0)),
    ("atanh", torch.atanh, UNIT), ("round", torch.round, dict(lo=-3.0, hi=3.0)),
    ("trunc", torch.trunc, {}), ("silu", F.silu, {}), ("digamma", torch.digamma, {}),
    ("lgamma", torch.lgamma, {}), ("erfinv", torch.erfinv, UNIT), ("i0", torch.i0, {}),
    ("erfc", torch.erfc, dict(lo=-3.0, hi=10.0))]
] + [("Binary", {"kind": k}, f, [(2, 3), (3,)], r) for k, f, r in [
    ("maximum", torch.maximum, {}), ("minimum", torch.minimum, {}), ("remainder", torch.remainder, POS),
    ("fmod", torch.fmod, {}), ("floor_divide", torch.floor_divide, POS), ("atan2", torch.atan2, {})]
]


@pytest.mark.parametrize("name,attrs,eager,shapes,domain", ELEMENTWISE,
                         ids=[f"{e[0]}-{e[1].get('kind', '')}" for e in ELEMENTWISE])
def test_elementwise_float(name, attrs, eager, shapes, domain):
    xs = [rand(*s, **domain) for s in shapes]
    if attrs.get("kind") in ("fmod", "remainder", "floor_divide"):
        xs[1] = xs[1].abs() + 0.5
    expected = eager(*xs)
    assert_close(run_op(name, xs, [like(expected)], attrs), expected)


@pytest.mark.parametrize("dtype", [torch.float16, torch.bfloat16, torch.float64])
def test_other_floating_point_types(dtype):
    x, y = rand(3, 4, dtype=dtype), rand(4, dtype=dtype)
    for name, attrs, eager, operands in [
            ("Add", {}, torch.add, [x, y]), ("Exp", {}, torch.exp, [x]), ("Gelu", {}, F.gelu, [x]),
            ("Softmax", {}, lambda t: torch.softmax(t, -1), [x]),
            ("MatMul", dict(transpose_a=False, transpose_b=True), lambda a, b: a @ b.t(), [x, x])]:
        expected = eager(*operands)
        assert_close(run_op(name, operands, [like(expected)], attrs), expected)


INTEGER = [
    ("Div", {}, lambda x, y: torch.div(x, y, rounding_mode="trunc"), i64),
    ("And", {}, torch.bitwise_and, i32), ("Or", {}, torch.bitwise_or, torch.uint8),
    ("And", {}, torch.logical_and, b1), ("Or", {}, torch.logical_or, b1),
    ("Binary", {"kind": "xor"}, torch.bitwise_xor, torch.int16),
    ("Binary", {"kind": "xor"}, torch.logical_xor, b1),
    ("Binary", {"kind": "remainder"}, torch.remainder, i64),
    ("Binary", {"kind": "floor_divide"}, torch.floor_divide, i32),
    ("Binary", {"kind": "fmod"}, torch.fmod, torch.int8),
    ("Unary", {"kind": "not"}, torch.bitwise_not, i64), ("Unary", {"kind": "not"}, torch.logical_not, b1),
    ("Binary", {"kind": "shift_left"}, torch.bitwise_left_shift, i64),
    ("Binary", {"kind": "shift_right"}, torch.bitwise_right_shift, torch.int8),
    ("Add", {}, torch.add, torch.uint8), ("Mul", {}, torch.mul, b1), ("Abs", {}, torch.abs, torch.int8),
] + [("Compare", {"comparison_direction": d}, f, t) for d, f, t in [
    ("EQ", torch.eq, i64), ("NE", torch.ne, f32), ("LT", torch.lt, f32),
    ("LE", torch.le, i32), ("GT", torch.gt, f32), ("GE", torch.ge, torch.int8)]]


@pytest.mark.parametrize("name,attrs,eager,dtype", INTEGER)
def test_elementwise_integer_bool_and_compare(name, attrs, eager, dtype):
    if dtype == b1:
        x, y = torch.rand(4, 3) > 0.5, torch.rand(3) > 0.5
    elif dtype.is_floating_point:
        x, y = torch.randint(-3, 3, (4, 3)).to(dtype), torch.randint(-3, 3, (3,)).to(dtype)
    else:
        lo = 0 if dtype == torch.uint8 else -9
        x = torch.randint(lo, 10, (4, 3), dtype=dtype)
        y = torch.randint(1, 4, (3,), dtype=dtype) * (1 if lo == 0 else torch.tensor([1, -1, 1], dtype=dtype))
    operands = [x] if attrs.get("kind") == "not" or name == "Abs" else [x, y]
    expected = eager(*operands)
    assert torch.equal(run_op(name, operands, [like(expected)], attrs), expected)


def test_shifts_by_the_bit_width_or_more_and_signbit():
    x, n = torch.tensor([5, -7, 1, -1, 3], dtype=i32), torch.tensor([31, 32, 33, -1, 40], dtype=i32)
    for kind, eager in [("shift_left", torch.bitwise_left_shift), ("shift_right", torch.bitwise_right_shift)]:
        assert torch.equal(run_op("Binary", [x, n], [like(x)], {"kind": kind}), eager(x, n)), kind
    s = torch.tensor([-0.0, 0.0, float("nan"), -float("nan"), -1.0, float("inf")])
    assert torch.equal(run_op("Unary", [s], [((6,), b1)], {"kind": "signbit"}), torch.signbit(s))


def test_select_and_broadcast_to_a_larger_result():
    cond, a, b = torch.rand(2, 1) > 0.5, rand(1, 3), rand(3)
    assert torch.equal(run_op("Select", [cond, a, b], [((2, 3), f32)]), torch.where(cond, a, b))
    # Every operand smaller than the result: the result is still the declared shape.
    x, y = rand(1), rand(1)
    assert torch.equal(run_op("Add", [x, y], [((4,), f32)]), (x + y).expand(4))


def test_integer_division_by_zero_is_an_error():
    with pytest.raises(li.Error, match="lumo.Div"):
        run_op("Div", [torch.tensor([1, 2]), torch.tensor([1, 0])], [((2,), i64)])


@pytest.mark.parametrize("src,dst", [(f32, i32), (f32, b1), (b1, f32), (f32, torch.float16), (i64, torch.int8),
                                     (torch.uint8, f32)])
def test_cast_follows_to_dtype(src, dst):
    x = (rand(10, lo=-300, hi=300) if src.is_floating_point else torch.randint(0, 255, (10,))).to(src)
    assert torch.equal(run_op("Cast", [x], [((10,), dst)]), x.to(dst))


@pytest.mark.parametrize("op,src,dst,expected", [
    ("ExtSI", torch.int8, i32, [-128, -1, 0, 127]), ("ExtUI", torch.int8, i32, [128, 255, 0, 127]),
    ("ExtSI", b1, torch.int16, [-1, -1, 0, -1]), ("ExtUI", b1, i64, [1, 1, 0, 1]),
    ("ExtSI", torch.uint8, i32, [-128, -1, 0, 127]), ("ExtUI", torch.uint8, i64, [128, 255, 0, 127]),
])
def test_integer_extension(op, src, dst, expected):
    x = torch.tensor([-128, -1, 0, 127], dtype=torch.int8)
    x = x.view(torch.uint8) if src == torch.uint8 else x.to(src)
    assert run_op(op, [x], [((4,), dst)]).tolist() == expected


# ---------------------------------------------------------------- dot and matmul

def test_dot_general_against_einsum():
    lhs, rhs = rand(3, 4, 2, 5), rand(5, 3, 6, 4)
    attrs = dict(lhs_batching_dimensions=[0], rhs_batching_dimensions=[1],
                 lhs_contracting_dimensions=[3, 1], rhs_contracting_dimensions=[0, 3])
    expected = torch.einsum("bkxc,cbyk->bxy", lhs, rhs)
    assert_close(run_op("DotGeneral", [lhs, rhs], [like(expected)], attrs), expected)
    # A plain matrix product with the lhs contracted on its first dimension.
    a, b = rand(4, 3), rand(4, 5)
    attrs = dict(lhs_batching_dimensions=[], rhs_batching_dimensions=[],
                 lhs_contracting_dimensions=[0], rhs_contracting_dimensions=[0])
    assert_close(run_op("DotGeneral", [a, b], [((3, 5), f32)], attrs), a.t() @ b)


@pytest.mark.parametrize("ta,tb,sa,sb", [(False, False, (2, 1, 3, 4), (5, 4, 6)), (True, False, (4, 3), (4, 2)),
                                         (False, True, (2, 3, 4), (2, 5, 4)), (True, True, (4, 3), (5, 4))])
def test_matmul_transposes_and_broadcast_batches(ta, tb, sa, sb):
    a, b = rand(*sa), rand(*sb)
    expected = torch.matmul(a.transpose(-1, -2) if ta else a, b.transpose(-1, -2) if tb else b)
    out = run_op("MatMul", [a, b], [like(expected)], dict(transpose_a=ta, transpose_b=tb))
    assert_close(out, expected)


@pytest.mark.parametrize("ta,tb", [(False, False), (False, True), (True, False)])
def test_matmul_reads_transposed_heads_where_they_lie(ta, tb):
    # Attention's products: heads split from the features and moved before the tokens, so no two
    # batch dimensions merge; with a 5-d batch the product loops over the outer one. M, K, N = 4, 5, 6.
    t = lambda s: "tensor<" + "x".join(map(str, s)) + "xf32>"
    sa = (2, 3, 2) + ((5, 4) if ta else (4, 5))
    sb = (2, 3, 2) + ((6, 5) if tb else (5, 6))
    stored, out = (2, 3, sa[3], 2, sa[4]), (2, 3, 2, 4, 6)
    text = f"""
func.func @main(%a: {t(stored)}, %b: {t(sb)}) -> {t(out)} {{
  %perm = lumo.Const {{value = dense<[0, 1, 3, 2, 4]> : tensor<5xsi64>}} : () -> tensor<5xsi64>
  %h = lumo.Transpose %a, %perm : ({t(stored)}, tensor<5xsi64>) -> {t(sa)}
  %p = lumo.MatMul %h, %b {{transpose_a = {str(ta).lower()}, transpose_b = {str(tb).lower()}}} : ({t(sa)}, {t(sb)}) -> {t(out)}
  return %p : {t(out)}
}}"""
    a, b = rand(*stored), rand(*sb)
    h = a.transpose(2, 3)
    expected = torch.matmul(h.transpose(-1, -2) if ta else h, b.transpose(-1, -2) if tb else b)
    assert_close(li.Program(text).run([a, b])[0], expected)


# ---------------------------------------------------------------- reductions and scans

@pytest.mark.parametrize("kind,eager", [
    ("sum", lambda x, d, k: x.sum(d, keepdim=k)), ("mean", lambda x, d, k: x.mean(d, keepdim=k)),
    ("max", lambda x, d, k: x.amax(d, keepdim=k)), ("min", lambda x, d, k: x.amin(d, keepdim=k)),
    ("prod", lambda x, d, k: x.prod(2, keepdim=True).prod(0, keepdim=True).reshape(x.sum(d, keepdim=k).shape)),
    ("and", lambda x, d, k: (x > 0).all(d, keepdim=k)), ("or", lambda x, d, k: (x > 1.5).any(d, keepdim=k)),
])
@pytest.mark.parametrize("keep", [False, True])
def test_reduce(kind, eager, keep):
    x = rand(3, 4, 5)
    operand = x > 0 if kind == "and" else (x > 1.5 if kind == "or" else x)
    expected = eager(x, [0, 2], keep)
    attrs = dict(dimensions=[0, -1], reduce_kind=kind, keep_dims=keep)
    assert_close(run_op("Reduce", [operand], [like(expected)], attrs), expected)


def test_reduce_arg_and_empty_dimensions():
    x = torch.tensor([[1.0, 3.0, 3.0], [2.0, 2.0, 0.0]])  # ties: the first index wins
    assert run_op("Reduce", [x], [((2,), i64)], dict(dimensions=[1], reduce_kind="argmax")).tolist() == [1, 0]
    assert run_op("Reduce", [x], [((1, 3), i64)], dict(dimensions=[0], reduce_kind="argmin",
                                                       keep_dims=True)).tolist() == [[0, 1, 1]]
    # An empty list reduces nothing (ATen's empty list would reduce everything).
    assert torch.equal(run_op("Reduce", [x], [like(x)], dict(dimensions=[], reduce_kind="sum")), x)
    with pytest.raises(li.Error, match="lumo.Reduce"):
        run_op("Reduce", [torch.ones(0, 2)], [((2,), f32)], dict(dimensions=[0], reduce_kind="max"))
    b = torch.tensor([[False, True, True], [False, False, False]])
    for kind, eager in [("argmax", torch.argmax), ("argmin", torch.argmin)]:
        got = run_op("Reduce", [b], [((2,), i64)], dict(dimensions=[1], reduce_kind=kind))
        assert torch.equal(got, eager(b.byte(), 1)), kind


def test_l2norm():
    x = rand(3, 4)
    assert_close(run_op("L2Norm", [x], [((3, 1), f32)], dict(dims=[-1], keepdim=True)),
                 torch.linalg.vector_norm(x, 2, -1, keepdim=True))
    assert_close(run_op("L2Norm", [x], [((), f32)], dict(dims=[])), torch.linalg.vector_norm(x))


@pytest.mark.parametrize("exclusive", [False, True])
@pytest.mark.parametrize("reverse", [False, True])
def test_cumulative_sum_and_product(exclusive, reverse):
    x = torch.tensor([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])
    for op, fn, identity in [("CumSum", torch.cumsum, 0.0), ("CumProd", torch.cumprod, 1.0)]:
        v = x.flip(1) if reverse else x
        e = fn(v, 1)
        if exclusive:
            e = torch.cat([torch.full((2, 1), identity), e[:, :-1]], 1)
        e = e.flip(1) if reverse else e
        out = run_op(op, [x], [like(x)], dict(axis=-1, exclusive=exclusive, reverse=reverse))
        assert torch.equal(out, e), op


def test_cumulative_log_sum_exp_rounds_as_torch():
    x = torch.cat([torch.full((2, 1), 1e4), rand(2, 30) * 5], 1)  # partial sums at 1e4: one ulp is 1e-3
    assert torch.equal(run_op("CumLogSumExp", [x], [like(x)], dict(axis=1)), torch.logcumsumexp(x, 1))
    e = torch.logcumsumexp(x.flip(1), 1).flip(1)
    e = torch.cat([e[:, 1:], torch.full((2, 1), -float("inf"))], 1)
    assert torch.equal(run_op("CumLogSumExp", [x], [like(x)], dict(axis=-1, reverse=True, exclusive=True)), e)


# ---------------------------------------------------------------- shape operations

def test_reshape_transpose_broadcast_concat():
    x = rand(2, 3, 4)
    assert torch.equal(run_op("Reshape", [x], [((4, 6), f32)]), x.reshape(4, 6))
    perm = Const(torch.tensor([2, 0, 1]))
    assert torch.equal(run_op("Transpose", [x, perm], [((4, 2, 3), f32)]), x.permute(2, 0, 1))
    # Operand dimensions land on result dimensions 2 and 0 (a transposition and a broadcast).
    y = rand(3, 2)
    out = run_op("BroadcastInDim", [y], [((2, 4, 3), f32)], dict(broadcast_dimensions=[2, 0]))
    assert torch.equal(out, y.t()[:, None, :].expand(2, 4, 3))
    parts = [rand(2, 1), rand(2, 3), rand(2, 2)]
    assert torch.equal(run_op("Concat", parts, [((2, 6), f32)], dict(axis=-1)), torch.cat(parts, 1))


def test_split_gives_variadic_results():
    x = rand(7, 2)
    outs = run_op("Split", [x], [((2, 2), f32), ((4, 2), f32), ((1, 2), f32)], dict(split_sizes=[2, 4, 1], axis=0))
    assert all(torch.equal(o, e) for o, e in zip(outs, x.split([2, 4, 1])))


def test_dynamic_slice_and_update_clamp_their_start():
    x = rand(4, 5)
    out = run_op("Slice", [x, torch.tensor([3, -2]), torch.tensor([2, 3])], [((2, 3), f32)])
    assert torch.equal(out, x[2:4, 0:3])
    u = rand(2, 2)
    out = run_op("DynamicUpdateSlice", [x, u, torch.tensor(1), torch.tensor(9)], [like(x)])
    expected = x.clone()
    expected[1:3, 3:5] = u
    assert torch.equal(out, expected)


@pytest.mark.parametrize("attrs,eager", [
    (dict(edge_padding_low=[1, -1], edge_padding_high=[0, 2], interior_padding=[0, 0],
          constant_values=Const(torch.tensor(7.0))), lambda x: F.pad(x, (-1, 2, 1, 0), value=7.0)),
    (dict(edge_padding_low=[0, 2], edge_padding_high=[1, 1], interior_padding=[0, 0], padding_mode="reflect"),
     lambda x: torch.from_numpy(np.pad(x.numpy(), ((0, 1), (2, 1)), mode="reflect"))),
    (dict(edge_padding_low=[1, 2], edge_padding_high=[2, 0], interior_padding=[0, 0], padding_mode="edge"),
     lambda x: F.pad(x[None, None], (2, 0, 1, 2), mode="replicate")[0, 0]),
])
def test_pad_modes(attrs, eager):
    x = rand(3, 4)
    expected = eager(x)
    assert torch.equal(run_op("Pad", [x], [like(expected)], attrs), expected)


def test_reflect_pad_leaves_an_empty_unpadded_dimension():
    x = rand(0, 3)
    attrs = dict(edge_padding_low=[0, 1], edge_padding_high=[0, 2], interior_padding=[0, 0], padding_mode="reflect")
    assert run_op("Pad", [x], [((0, 6), f32)], attrs).shape == (0, 6)


def test_pad_interior_with_cropping():
    x = torch.tensor([[1.0, 2.0], [3.0, 4.0]])
    attrs = dict(edge_padding_low=[0, -1], edge_padding_high=[1, 1], interior_padding=[1, 2])
    out = run_op("Pad", [x], [((4, 4), f32)], attrs)
    assert out.tolist() == [[0, 0, 2, 0], [0, 0, 0, 0], [0, 0, 4, 0], [0, 0, 0, 0]]


# (begin, end, strides, masks, the same slice as a numpy index) of a [4, 5, 6] tensor
STRIDED = [
    ([1, 0], [3, 5], [1, 2], {}, np.s_[1:3, 0:5:2]),
    ([-1, 4], [0, 0], [-1, -2], {"end_mask": 1}, np.s_[::-1, 4:0:-2]),
    ([2, 0, 1], [3, 0, 5], [1, 1, 2], {"shrink_axis_mask": 1, "new_axis_mask": 2}, np.s_[2, None, 1:5:2]),
    ([0, 0, -2], [0, 0, 0], [1, 1, 1], {"ellipsis_mask": 1, "new_axis_mask": 2, "shrink_axis_mask": 4},
     np.s_[..., None, -2]),
    ([9, -9], [-9, 9], [-1, 1], {}, np.s_[9:-9:-1, -9:9]),
]


@pytest.mark.parametrize("begin,end,strides,masks,index", STRIDED)
def test_strided_slice_and_its_gradient(begin, end, strides, masks, index):
    x = rand(4, 5, 6)
    expected = torch.from_numpy(np.ascontiguousarray(x.numpy()[index]))
    spec = [Const(torch.tensor(v)) for v in (begin, end, strides)]
    assert torch.equal(run_op("StridedSlice", [x] + spec, [like(expected)], masks), expected)
    dy = rand(*expected.shape)
    expected_grad = np.zeros((4, 5, 6), np.float32)
    expected_grad[index] = dy.numpy()
    grad = run_op("StridedSliceGrad", [Const(torch.tensor([4, 5, 6]))] + spec + [dy], [like(x)], masks)
    assert torch.equal(grad, torch.from_numpy(expected_grad))


def test_repeat_as_strided_arange():
    x = rand(2, 3)
    assert torch.equal(run_op("Repeat", [x], [((2, 4, 6), f32)], dict(repeats=[2, 2, 2])), x.repeat(2, 2, 2))
    attrs = dict(size=[2, 2], stride=[1, 3], storage_offset=1)
    assert torch.equal(run_op("AsStrided", [x], [((2, 2), f32)], attrs), torch.as_strided(x, (2, 2), (1, 3), 1))
    with pytest.raises(li.Error, match="element 6"):
        run_op("AsStrided", [x], [((2, 2), f32)], dict(size=[2, 2], stride=[1, 3], storage_offset=2))
    start, end, step = (torch.tensor(v, dtype=torch.float64) for v in (0.5, 1.95, 0.1))
    out = run_op("Arange", [start, end, step], [((2, 15), f32)], dict(dim=1))
    assert torch.equal(out, torch.arange(0.5, 1.95, 0.1).expand(2, 15))
    out = run_op("Arange", [torch.tensor(5), torch.tensor(-1), torch.tensor(-2)], [((3, 2), i32)])
    assert out.tolist() == [[5, 5], [3, 3], [1, 1]]


# ---------------------------------------------------------------- gather and scatter

def test_gather_as_index_select_and_torch_gather():
    table, ids = rand(10, 4), torch.tensor([[3, 0], [9, 3]])
    assert torch.equal(run_op("Gather", [table, ids], [((2, 2, 4), f32)]), table[ids])
    x, idx = rand(2, 3, 5), torch.randint(0, 5, (2, 3, 4), dtype=i32)
    out = run_op("Gather", [x, idx], [((2, 3, 4), f32)], dict(axis=2, batch_dims=2))
    assert torch.equal(out, torch.gather(x, 2, idx.long()))
    for bad in [10, -1]:  # negative indices arrive wrapped once: one still negative is out of range
        with pytest.raises(li.Error, match="lumo.Gather at program:"):
            run_op("Gather", [table, torch.tensor([bad])], [((1, 4), f32)])


def test_gather_nd_and_scatter_nd():
    x = rand(2, 3, 4)
    idx = torch.tensor([[[1, 2], [0, 0]], [[2, 3], [1, 1]]])  # per batch: two (row, column) pairs
    out = run_op("GatherNd", [x, idx], [((2, 2), f32)], dict(start_dim=1))
    assert torch.equal(out, torch.stack([x[b, idx[b, :, 0], idx[b, :, 1]] for b in range(2)]))
    with pytest.raises(li.Error, match="out of range"):
        run_op("GatherNd", [x, torch.tensor([[0, 4]])], [((1, 4), f32)])
    idx, updates = torch.tensor([[1], [3], [1]]), rand(3, 2)  # a duplicate index adds up
    expected = torch.zeros(4, 2).index_put_((idx[:, 0],), updates, accumulate=True)
    out = run_op("ScatterNd", [idx, updates, Const(torch.tensor([4, 2]))], [((4, 2), f32)])
    assert_close(out, expected)


@pytest.mark.parametrize("kind,eager", [
    ("none", lambda x, i, u: x.scatter(1, i, u)), ("add", lambda x, i, u: x.scatter_add(1, i, u)),
    ("mul", lambda x, i, u: x.scatter_reduce(1, i, u, "prod")),
    ("max", lambda x, i, u: x.scatter_reduce(1, i, u, "amax")),
    ("min", lambda x, i, u: x.scatter_reduce(1, i, u, "amin")),
])
def test_scatter(kind, eager):
    x, u = rand(3, 5), rand(3, 2)
    i = torch.tensor([[0, 4], [2, 2], [1, 3]]) if kind != "none" else torch.tensor([[0, 4], [2, 1], [1, 3]])
    out = run_op("Scatter", [x, i, u], [like(x)], dict(axis=1, reduce_kind=kind))
    assert torch.equal(out, eager(x, i, u))


def test_one_hot_top_k_and_band_part():
    ids = torch.tensor([[0, 3], [5, -1]])  # out of range: an all-off line
    out = run_op("OneHot", [ids, torch.tensor(4), torch.tensor(2.0), torch.tensor(-1.0), Const(torch.tensor(1))],
                 [((2, 4, 2), f32)])
    expected = torch.where(F.one_hot(ids.clamp(0, 3), 4).bool() & (ids >= 0)[..., None] & (ids < 4)[..., None],
                           2.0, -1.0).permute(0, 2, 1)
    assert torch.equal(out, expected)
    x = rand(3, 6)
    values, indices = run_op("TopK", [x], [((3, 2), f32), ((3, 2), i64)], dict(k=2, dimension=-1, largest=False))
    ev, ei = torch.topk(x, 2, largest=False)
    assert torch.equal(values, ev) and torch.equal(indices, ei)
    # stable: ties keep their order (beyond the 16 elements a small sort keeps them in anyway); bool
    for t in [torch.randint(0, 3, (2, 40)).float(), torch.rand(2, 40) > 0.5]:
        for largest in [False, True]:
            values, indices = run_op("TopK", [t], [((2, 40), t.dtype), ((2, 40), i64)],
                                     dict(k=40, dimension=1, largest=largest, stable=True))
            ev, ei = torch.sort(t, dim=1, descending=largest, stable=True)
            assert torch.equal(values, ev) and torch.equal(indices, ei)
    mask = run_op("MaskFromTopK", [x, torch.tensor(2)], [((3, 6), b1)], dict(dimension=1))
    assert torch.equal(mask, torch.zeros(3, 6, dtype=b1).scatter(1, torch.topk(x, 2).indices, True))
    m = rand(2, 4, 5)
    for lower, upper, expected in [(1, 0, m.tril().triu(-1)), (-1, 2, m.tril(2)), (0, -1, m.triu())]:
        out = run_op("MatrixBandPart", [m, torch.tensor(lower), torch.tensor(upper)], [like(m)])
        assert torch.equal(out, expected)


# ---------------------------------------------------------------- normalisations with their gradients

def test_layer_norm_and_gradient():
    x, beta, gamma, g = rand(4, 3, 5), rand(3, 5), rand(3, 5), rand(4, 3, 5)
    ln = lambda x, w, b: F.layer_norm(x, (3, 5), w, b, 1e-3)
    assert_close(run_op("LayerNorm", [x, beta, gamma], [like(x)], dict(epsilon=1e-3)), ln(x, gamma, beta))
    dx, dbeta, dgamma = run_op("LayerNormGrad", [g, x, beta, gamma], [like(x), like(beta), like(gamma)],
                               dict(epsilon=1e-3))
    for got, expected in zip((dx, dgamma, dbeta), vjp(ln, g, x, gamma, beta)):
        assert_close(got, expected)


@pytest.mark.parametrize("channels_last", [False, True])
def test_batch_norm_training_inference_and_gradient(channels_last):
    x, scale, offset, mean, var = rand(4, 3, 5, 2), rand(3), rand(3), rand(3), rand(3, lo=0.5)
    fmt = dict(data_format="NHWC") if channels_last else {}
    arg = x.permute(0, 2, 3, 1) if channels_last else x
    running_mean, running_var = mean.clone(), var.clone()
    ey = F.batch_norm(x, running_mean, running_var, scale, offset, True, 0.3, 1e-3)
    y, bm, bv = run_op("FusedBatchNorm", [arg, scale, offset, mean, var], [like(arg)] + [((3,), f32)] * 2,
                       dict(epsilon=1e-3, exponential_avg_factor=0.3, **fmt))
    assert_close(y.permute(0, 3, 1, 2) if channels_last else y, ey)
    assert_close(bm, running_mean)
    assert_close(bv, running_var)
    y, bm, bv = run_op("FusedBatchNorm", [arg, scale, offset, mean, var], [like(arg)] + [((3,), f32)] * 2,
                       dict(is_training=False, **fmt))
    assert_close(y.permute(0, 3, 1, 2) if channels_last else y, F.batch_norm(x, mean, var, scale, offset, eps=1e-4))
    assert torch.equal(bm, mean) and torch.equal(bv, var)

    g = rand(4, 3, 5, 2)
    dx, dscale, doffset = run_op("FusedBatchNormGrad", [g.permute(0, 2, 3, 1) if channels_last else g, arg, scale],
                                 [like(arg), ((3,), f32), ((3,), f32)], dict(epsilon=1e-3, **fmt))
    expected = vjp(lambda x, w, b: F.batch_norm(x, None, None, w, b, True, 0.1, 1e-3), g, x, scale, offset)
    for got, e in zip((dx.permute(0, 3, 1, 2) if channels_last else dx, dscale, doffset), expected):
        assert_close(got, e)


def test_group_norm_and_gradient():
    x, gamma, beta, g = rand(2, 6, 4), rand(6), rand(6), rand(2, 6, 4)
    gn = lambda x, w, b: F.group_norm(x, 3, w, b, 1e-5)
    assert_close(run_op("GroupNorm", [x, gamma, beta], [like(x)], dict(num_groups=3)), gn(x, gamma, beta))
    dx, dgamma, dbeta = run_op("GroupNormGrad", [g, x, gamma], [like(x), like(gamma), like(beta)],
                               dict(num_groups=3))
    for got, expected in zip((dx, dgamma, dbeta), vjp(gn, g, x, gamma, beta)):
        assert_close(got, expected)


# ---------------------------------------------------------------- convolution and pooling with gradients

CONV = [  # input shape, kernel shape, strides, padding (per dim or low/high pairs), dilation, groups
    ((2, 4, 9, 8), (6, 2, 3, 2), [2, 1], [1, 2, 0, 1], [1, 2], 2),
    ((1, 3, 10), (2, 3, 3), [3], [1], [2], 1),
    ((1, 2, 5, 4, 4), (4, 2, 2, 3, 1), [1, 2, 1], [0, 1, 1], [1, 1, 1], 1),
]


def conv_nd(x, w, strides, padding, dilation, groups):
    n = x.dim() - 2
    pairs = padding if len(padding) == 2 * n else [p for p in padding for _ in range(2)]
    pad = [v for i in reversed(range(n)) for v in (pairs[2 * i], pairs[2 * i + 1])]
    conv = (F.conv1d, F.conv2d, F.conv3d)[n - 1]
    return conv(F.pad(x, pad), w, None, strides, 0, dilation, groups)


@pytest.mark.parametrize("xs,ws,strides,padding,dilation,groups", CONV)
def test_convolution_forward_and_gradients(xs, ws, strides, padding, dilation, groups):
    x, w = rand(*xs), rand(*ws)
    attrs = dict(window_strides=strides, padding=padding, kernel_dilation=dilation, feature_group_count=groups)
    y = conv_nd(x, w, strides, padding, dilation, groups)
    assert_close(run_op("Convolution", [x, w], [like(y)], attrs), y)
    dy = rand(*y.shape)
    dx, dw = vjp(lambda x, w: conv_nd(x, w, strides, padding, dilation, groups), dy, x, w)
    assert_close(run_op("Convolution", [x, dy], [like(w)], dict(filter_gradient=True, **attrs)), dw)
    # The input gradient is the transposed convolution of dy (extra output padding from the type).
    assert_close(run_op("Convolution", [dy, w], [like(x)], dict(transposed=True, **attrs)), dx)


@pytest.mark.parametrize("dtype", [i64, torch.int8])
def test_integer_convolution_wraps_as_eager(dtype):
    x, w = torch.randint(-90, 90, (2, 4, 5, 5)).to(dtype), torch.randint(-90, 90, (6, 2, 3, 3)).to(dtype)
    y = F.conv2d(x, w, None, 2, 1, 1, 2)
    attrs = dict(window_strides=[2, 2], padding=[1, 1], feature_group_count=2)
    assert torch.equal(run_op("Convolution", [x, w], [like(y)], attrs), y)
    if dtype != i64:
        return  # eager has no transposed convolution of 8-bit integers
    t = F.conv_transpose2d(y, w, None, 2, 1, 1, 2)
    assert torch.equal(run_op("Convolution", [y, w], [like(t)], dict(transposed=True, **attrs)), t)


def test_transposed_convolution_channels_last():
    x, w = rand(2, 5, 5, 3), rand(3, 4, 3, 3)
    expected = F.conv_transpose2d(x.permute(0, 3, 1, 2), w, None, 2, 1, 1).permute(0, 2, 3, 1)
    attrs = dict(window_strides=[2, 2], padding=[1, 1], transposed=True, data_format="NHWC")
    assert_close(run_op("Convolution", [x, w], [like(expected)], attrs), expected)


POOL = [  # pool type, input shape, ksize, strides, padding, dilation, ceil mode
    ("MAX", (2, 3, 9, 8), [3, 2], [2, 2], [1, 0], [1, 2], False),
    ("MAX", (2, 3, 10), [3], [2], [1], [1], True),
    ("AVG", (2, 3, 10, 8), [3, 3], [2, 1], [1, 1], [1, 1], True),
    ("AVG", (1, 2, 5, 6, 4), [2, 3, 2], [2, 2, 1], [0, 1, 1], [1, 1, 1], False),
]


@pytest.mark.parametrize("kind,xs,ksize,strides,padding,dilation,ceil", POOL)
def test_pooling_and_gradient(kind, xs, ksize, strides, padding, dilation, ceil):
    n = len(ksize)
    x = rand(*xs)
    if kind == "MAX":
        pool = lambda x: (F.max_pool1d, F.max_pool2d, F.max_pool3d)[n - 1](x, ksize, strides, padding, dilation,
                                                                            ceil)
    else:
        pool = lambda x: (F.avg_pool1d, F.avg_pool2d, F.avg_pool3d)[n - 1](x, ksize, strides, padding, ceil, True)
    y = pool(x)
    attrs = dict(ksize=ksize, strides=strides, padding=padding, dilation=dilation, pool_type=kind)
    zero = Const(torch.tensor(0.0))
    assert_close(run_op("Pool", [x, zero], [like(y)], attrs), y)
    dy = rand(*y.shape)
    assert_close(run_op("Pool", [x, dy], [like(x)], dict(gradient=True, **attrs)), vjp(pool, dy, x)[0])


# ---------------------------------------------------------------- softmax and cross-entropy

def test_softmax_and_cross_entropies():
    logits = rand(4, 6, lo=-5, hi=5)
    assert_close(run_op("Softmax", [logits], [like(logits)], dict(axis=1)), torch.softmax(logits, 1))
    labels = torch.softmax(rand(4, 6), 1)
    loss, backprop = run_op("SoftmaxCrossEntropyWithLogits", [logits, labels], [((4,), f32), like(logits)])
    assert_close(loss, F.cross_entropy(logits, labels, reduction="none"))
    assert_close(backprop, torch.softmax(logits, 1) - labels)
    classes = torch.tensor([0, 5, 2, 2], dtype=i32)
    loss, backprop = run_op("SparseSoftmaxCrossEntropyWithLogits", [logits, classes], [((4,), f32), like(logits)])
    assert_close(loss, F.cross_entropy(logits, classes.long(), reduction="none"))
    assert_close(backprop, vjp(lambda t: F.cross_entropy(t, classes.long(), reduction="sum"), torch.tensor(1.0),
                               logits)[0])
    with pytest.raises(li.Error, match="label"):
        run_op("SparseSoftmaxCrossEntropyWithLogits", [logits, torch.tensor([0, 6, 1, 1])],
               [((4,), f32), like(logits)])


# ---------------------------------------------------------------- bias and optimizer steps

def test_bias_add_and_gradient_descent():
    v, b = rand(2, 3, 4), rand(3)
    assert torch.equal(run_op("BiasAdd", [v, b], [like(v)], dict(dim=1)), v + b[:, None])
    assert_close(run_op("BiasAddGrad", [v], [((3,), f32)], dict(dim=-2)), v.sum((0, 2)))
    w, lr, g = rand(5), torch.tensor(0.1), rand(5)
    assert torch.equal(run_op("GradientDescent", [w, lr, g], [like(w)]), w - lr * g)


@pytest.mark.parametrize("tf_form", [False, True])
def test_adam_matches_torch_optim(tf_form):
    w, grad = rand(6), rand(6)
    param = w.clone().requires_grad_()
    opt = torch.optim.Adam([param], lr=0.01, betas=(0.9, 0.99), eps=1e-6, weight_decay=0.1)
    m, v = torch.zeros(6), torch.zeros(6)
    attrs = dict(beta1=0.9, beta2=0.99, one_minus_beta1=0.1, one_minus_beta2=0.01, epsilon=1e-6, use_tf_adam=tf_form)
    for t in (1, 2):
        param.grad = grad * t
        opt.step()
        scalars = [torch.tensor(0.9 ** t), torch.tensor(0.99 ** t), torch.tensor(0.01), grad * t, torch.tensor(0.1)]
        w, m, v = run_op("Adam", [w, m, v] + scalars, [like(w)] * 3, attrs)
    if tf_form:  # epsilon inside the corrected step: close to, not equal to, torch's form
        assert_close(w, param.detach(), rtol=1e-3, atol=1e-4)
    else:
        assert_close(w, param.detach())


# ---------------------------------------------------------------- random operations

def random_program(op, operands, attrs, seed, shape=(2000,), dtype=f32):
    return li.Program(op_program(op, operands, [(shape, dtype)], attrs, seed=seed))


@pytest.mark.parametrize("op,operands,attrs", [
    ("RandomUniform", [Const(torch.tensor(-1.0)), Const(torch.tensor(3.0)), Const(torch.tensor([2000]))],
     dict(global_seed=1, operational_seed=2)),
    ("RandomNormal", [Const(torch.tensor(1.0)), Const(torch.tensor(2.0))], dict(seed=5)),
])
def test_random_values_are_reproducible_per_run_and_fresh_across_runs(op, operands, attrs):
    a, b = random_program(op, operands, attrs, 7), random_program(op, operands, attrs, 7)
    a0, a1 = a.run([])[0], a.run([])[0]
    assert torch.equal(a0, b.run([])[0]) and torch.equal(a1, b.run([])[0])
    assert not torch.equal(a0, a1)
    assert not torch.equal(a0, random_program(op, operands, attrs, 8).run([])[0])
    other = dict(attrs, **{k: v + 1 for k, v in attrs.items() if k in ("seed", "operational_seed")})
    assert not torch.equal(a0, random_program(op, operands, other, 7).run([])[0])
    # Moments: uniform on [-1, 3) has mean 1 and variance 16/12; the normal has mean 1, std 2.
    mean, std = (1.0, (16 / 12) ** 0.5) if op == "RandomUniform" else (1.0, 2.0)
    assert abs(a0.mean().item() - mean) < 0.15 and abs(a0.std().item() - std) < 0.15
    if op == "RandomUniform":
        assert a0.min() >= -1 and a0.max() < 3


def test_random_integers_and_multinomial():
    ints = random_program("RandomUniform", [torch.tensor(-2), torch.tensor(3), Const(torch.tensor([3000]))], {}, 1,
                          (3000,), i64).run([torch.tensor(-2), torch.tensor(3)])[0]
    counts = torch.bincount(ints + 2)
    assert ints.min() == -2 and ints.max() == 2 and counts.min() > 500
    weights = torch.tensor([[1.0, 0.0, 3.0], [0.0, 1.0, 0.0]])
    prog = li.Program(op_program("RandomMultinomial", [weights], [((2, 4000), i64)],
                                 dict(num_samples=4000, replacement=True, seed=3)))
    draws = prog.run([weights])[0]
    assert (draws[1] == 1).all() and (draws[0] != 1).all()
    assert abs((draws[0] == 2).float().mean().item() - 0.75) < 0.05
