"""The lumo operations' folds compute what the operations compute: each case runs once with its
values as program inputs (the interpreter's kernels) and once with them as constants that
`torch-lumo-opt -canonicalize` folds away, and both equal eager PyTorch bit for bit."""
import os
import subprocess
import sys

import pytest
import torch

import lumo_interpreter as li
from lumo_programs import Const, like, op_program, run_op

TOOL = os.path.join(os.path.dirname(sys.executable), "torch-lumo-opt")
f16, bf16, f32, f64 = torch.float16, torch.bfloat16, torch.float32, torch.float64
i8, u8, i32, i64, b1 = torch.int8, torch.uint8, torch.int32, torch.int64, torch.bool
NAN = float("nan")

CASTS = [
    # values, from, to: Tensor.to's rules (toward zero, non-zero is true, integers keep their low
    # bits, floats rounded to nearest even, overflow to infinity)
    ([1.5, -2.7, 0.9, -0.0, 3.99], f32, i32),
    ([0.0, -0.0, 0.5, NAN], f32, b1),
    ([True, False], b1, f32),
    ([True, False], b1, i64),
    ([255, -129, 1000, 2**40 + 5], i64, i8),
    ([-7, 300], i32, u8),
    ([200], u8, i8),
    ([200], u8, f32),
    ([2**53 + 1, -(2**62) - 1], i64, f64),
    ([2**24 + 1], i64, f32),
    ([0.1, 65520.0, 1e-8, -3.0e38], f32, f16),
    ([0.1, 1.00390625, 3.0e38], f64, bf16),
    ([0.1], f64, f32),
    ([1.0, 2.5], f32, f32),
]

ARITHMETIC = [
    # op, eager, x, y, dtype: splat operands (0-d), in the element type
    ("Add", torch.add, 127, 1, i8),
    ("Sub", torch.sub, 3, 5, u8),
    ("Mul", torch.mul, 2**62, 4, i64),
    ("Div", lambda x, y: torch.div(x, y, rounding_mode="trunc"), -7, 2, i32),
    ("Div", lambda x, y: torch.div(x, y, rounding_mode="trunc"), 200, 7, u8),
    ("Add", torch.logical_or, True, True, b1),
    ("Mul", torch.logical_and, True, False, b1),
    ("Mul", torch.mul, 300.0, 300.0, f16),
    ("Add", torch.add, 1.0, 0.00390625, bf16),
    ("Div", torch.div, 1.0, 3.0, f32),
    ("Sub", torch.sub, 0.1, 0.3, f64),
]


def folded(program):
    """The program after -canonicalize, which must have left only constants."""
    proc = subprocess.run([TOOL, "-canonicalize"], input=program, capture_output=True, text=True, check=True)
    assert [line for line in proc.stdout.splitlines() if " = lumo." in line and "lumo.Const" not in line] == []
    return proc.stdout


def same(a, b):
    """Equal bit for bit: values, dtype, and NaN where NaN."""
    return a.dtype == b.dtype and a.shape == b.shape and torch.equal(
        torch.nan_to_num(a, nan=123.0) if a.is_floating_point() else a,
        torch.nan_to_num(b, nan=123.0) if b.is_floating_point() else b)


@pytest.mark.parametrize("values,source,target", CASTS,
                         ids=[f"{s}-{t}".replace("torch.", "") for _, s, t in CASTS])
def test_cast_folds_as_tensor_to(values, source, target):
    x = torch.tensor(values, dtype=source)
    expected = x.to(target)
    assert same(run_op("Cast", [x], [like(expected)]), expected)
    program = folded(op_program("Cast", [Const(x)], [like(expected)]))
    assert same(li.Program(program).run([])[0], expected)


@pytest.mark.parametrize("name,eager,x,y,dtype", ARITHMETIC,
                         ids=[f"{n}-{d}".replace("torch.", "") for n, _, _, _, d in ARITHMETIC])
def test_splat_arithmetic_folds_as_the_operation_computes(name, eager, x, y, dtype):
    a, b = torch.tensor(x, dtype=dtype), torch.tensor(y, dtype=dtype)
    expected = eager(a, b)
    assert same(run_op(name, [a, b], [like(expected)]), expected)
    program = folded(op_program(name, [Const(a), Const(b)], [like(expected)]))
    assert same(li.Program(program).run([])[0], expected)
