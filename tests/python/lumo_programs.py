"""Hand-written lumo programs for the interpreter tests: one operation applied to given tensors."""
import math
import pathlib
import struct
import sys

import torch

import lumo_interpreter as li

ELEMENT_TYPES = {
    torch.float16: "f16", torch.bfloat16: "bf16", torch.float32: "f32", torch.float64: "f64",
    torch.bool: "i1", torch.int8: "si8", torch.int16: "si16", torch.int32: "si32", torch.int64: "si64",
    torch.uint8: "ui8",
}


ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "scripts"))
import lumo_table  # noqa: E402

# (operation, attribute) -> mnemonic of the enum attribute a string names, from the operator table.
ENUM_ATTRS = {(e["op"]["name"], name): kind["mnemonic"]
              for e in lumo_table.load(ROOT / "csrc" / "lumo_ops.yaml")
              for name, kind in e["enum_attrs"].items() if kind != "bool"}


class Const:
    """An operand given as a lumo.Const instead of an argument."""

    def __init__(self, value):
        self.value = torch.as_tensor(value)


def tensor_type(shape, dtype):
    return "tensor<" + "".join(f"{d}x" for d in shape) + ELEMENT_TYPES[dtype] + ">"


def type_of(t):
    return tensor_type(tuple(t.shape), t.dtype)


def number(v):
    """A Python number as an MLIR literal (floats need a decimal point)."""
    text = repr(v)
    return text.replace("e", ".0e") if isinstance(v, float) and "." not in text else text


def hex_float(v, dtype):
    """A NaN or an infinity as MLIR writes it: the bits of the element type in hexadecimal."""
    if dtype == torch.bfloat16:
        return f"0x{struct.unpack('>I', struct.pack('>f', v))[0] >> 16:04X}"
    code, digits = {torch.float16: ("e", 4), torch.float32: ("f", 8), torch.float64: ("d", 16)}[dtype]
    return f"0x{int.from_bytes(struct.pack('>' + code, v), 'big'):0{digits}X}"


def dense(t):
    def fmt(v):
        if isinstance(v, float) and not math.isfinite(v):
            return hex_float(v, t.dtype)
        return ("true" if v else "false") if isinstance(v, bool) else number(v)

    def nested(v):
        return "[" + ", ".join(nested(x) for x in v) + "]" if isinstance(v, list) else fmt(v)

    return f"dense<{nested(t.tolist())}> : {type_of(t)}"


def attribute(value, enum=None):
    """An attribute's text; a string is a case of the enum attribute `enum` (its mnemonic), if given."""
    if isinstance(value, str) and enum:
        return f"#lumo.{enum}<{value}>"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return f"{value} : i64"
    if isinstance(value, float):
        return f"{number(value)} : f64"
    if isinstance(value, str):
        return f'"{value}"'
    if isinstance(value, Const):
        return dense(value.value)
    return "array<i64" + "".join(f"{': ' if i == 0 else ', '}{v}" for i, v in enumerate(value)) + ">"


def op_program(name, operands, results, attrs=None, seed=None):
    """The text of @main applying lumo.<name> to `operands` (tensors become arguments, Consts
    constants); `results` lists (shape, dtype) per result."""
    args, lines, values = [], [], []
    for i, x in enumerate(operands):
        if isinstance(x, Const):
            lines.append(f'  %c{i} = "lumo.Const"() {{value = {dense(x.value)}}} : () -> {type_of(x.value)}')
            values.append((f"%c{i}", type_of(x.value)))
        else:
            args.append(f"%a{i}: {type_of(x)}")
            values.append((f"%a{i}", type_of(x)))
    result_types = [tensor_type(tuple(s), d) for s, d in results]
    attr_text = ", ".join(f"{k} = {attribute(v, ENUM_ATTRS.get((name, k)))}" for k, v in (attrs or {}).items())
    lhs = "%r" if len(results) == 1 else f"%r:{len(results)}"
    refs = ["%r"] if len(results) == 1 else [f"%r#{i}" for i in range(len(results))]
    lines.append(f'  {lhs} = "lumo.{name}"({", ".join(v for v, _ in values)}) {{{attr_text}}} : '
                 f'({", ".join(t for _, t in values)}) -> ({", ".join(result_types)})')
    lines.append(f'  return {", ".join(refs)} : {", ".join(result_types)}')
    fn_attrs = f" attributes {{vx.seed = {seed} : ui64}}" if seed is not None else ""
    return (f'func.func @main({", ".join(args)}) -> ({", ".join(result_types)}){fn_attrs} {{\n'
            + "\n".join(lines) + "\n}\n")


def run_op(name, operands, results, attrs=None):
    """Runs lumo.<name> once; one tensor per result, or the only one."""
    program = li.Program(op_program(name, operands, results, attrs))
    outs = program.run([x for x in operands if not isinstance(x, Const)])
    return outs[0] if len(outs) == 1 else outs


def like(t):
    return (tuple(t.shape), t.dtype)


def vjp(f, grad, *inputs):
    """Gradients of f at `inputs` for the output gradient `grad`, by autograd."""
    leaves = [x.detach().requires_grad_() for x in inputs]
    return torch.autograd.grad(f(*leaves), leaves, grad)
