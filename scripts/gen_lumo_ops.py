#!/usr/bin/env python3
"""Generates LumoLtc, the registration block of the lumo operator library.

Reads the operator table (csrc/lumo_ops.yaml) and writes one TORCH_LIBRARY(lumo, m) block that
defines every operator with its schema and a catch-all kernel. The kernel's C++ signature follows
from the schema; its body feeds the arguments, in schema order, to torch::lazy::LumoCall
(csrc/lumo_ops.h), which records the node or raises.

usage: gen_lumo_ops.py TABLE OUTPUT
"""

import re
import sys

import yaml

# Schema type -> C++ parameter type of the kernel.
PARAM_TYPES = {
    "Tensor": "at::Tensor",
    "Tensor?": "c10::optional<at::Tensor>",
    "Tensor[]": "c10::ArrayRef<at::Tensor>",
    "int": "int64_t",
    "int?": "c10::optional<int64_t>",
    "int[]": "c10::ArrayRef<int64_t>",
    "int[]?": "c10::optional<c10::ArrayRef<int64_t>>",
    "float": "double",
    "float?": "c10::optional<double>",
    "bool": "bool",
    "bool?": "c10::optional<bool>",
    "str": "c10::string_view",
    "str?": "c10::optional<c10::string_view>",
}
TENSOR_TYPES = ("Tensor", "Tensor?", "Tensor[]")
ATTR_NAMES = "_attr_names"
KERNELS = ("node", "shape_error")

SCHEMA_RE = re.compile(r"^(\w+)\((.*)\) -> (.+)$")
ARG_RE = re.compile(r'^(\w+(?:\[\])?\??) (\w+)(?:=(.*))?$')


class TableError(Exception):
    pass


def split_top_level(text):
    """Splits "a, b, c" at commas outside brackets and quotes."""
    parts, depth, quoted, start = [], 0, False, 0
    for i, ch in enumerate(text):
        if ch == '"':
            quoted = not quoted
        elif not quoted and ch in "([":
            depth += 1
        elif not quoted and ch in ")]":
            depth -= 1
        elif not quoted and depth == 0 and ch == ",":
            parts.append(text[start:i].strip())
            start = i + 1
    tail = text[start:].strip()
    if tail:
        parts.append(tail)
    return parts


def parse_schema(schema):
    m = SCHEMA_RE.match(schema)
    if not m:
        raise TableError(f"cannot parse schema: {schema}")
    name, args_text, returns_text = m.groups()
    args, kwarg_only = [], False
    for part in split_top_level(args_text):
        if part == "*":
            kwarg_only = True
            continue
        am = ARG_RE.match(part)
        if not am or am.group(1) not in PARAM_TYPES:
            raise TableError(f"{name}: unsupported argument '{part}'")
        args.append({"type": am.group(1), "name": am.group(2), "default": am.group(3),
                     "kwarg_only": kwarg_only})
    if kwarg_only:
        last = args[-1] if args else None
        if not last or last["name"] != ATTR_NAMES or last["type"] != "str" or last["default"] != '""':
            raise TableError(f'{name}: keyword-only arguments must end with str {ATTR_NAMES}=""')
    elif any(a["name"] == ATTR_NAMES for a in args):
        raise TableError(f"{name}: {ATTR_NAMES} must be keyword-only")
    if not any(a["type"] in TENSOR_TYPES for a in args):
        raise TableError(f"{name}: an operator needs a tensor argument to find its device")

    if returns_text.startswith("("):
        returns = split_top_level(returns_text[1:-1])
    else:
        returns = [returns_text]
    return_types = [r.split(" ")[0] for r in returns]
    if return_types == ["Tensor[]"]:
        cpp_return = "std::vector<at::Tensor>"
    elif all(t == "Tensor" for t in return_types):
        cpp_return = ("at::Tensor" if len(returns) == 1 else
                      "std::tuple<" + ", ".join(["at::Tensor"] * len(returns)) + ">")
    else:
        raise TableError(f"{name}: unsupported results '{returns_text}'")
    return {"name": name, "args": args, "num_results": len(returns), "cpp_return": cpp_return}


def c_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def emit_op(entry):
    schema, kernel = entry["schema"], entry["kernel"]
    if kernel not in KERNELS:
        raise TableError(f"unknown kernel '{kernel}' for {schema}")
    op = parse_schema(schema)
    if kernel == "node" and op["cpp_return"] != "at::Tensor":
        raise TableError(f"{op['name']}: a node kernel has exactly one tensor result")
    params = ", ".join(f"{PARAM_TYPES[a['type']]} a_{a['name']}" for a in op["args"])
    first = next(a for a in op["args"] if a["type"] in TENSOR_TYPES)
    lines = [
        f"  m.def({c_string(schema)},",
        f"        []({params}) -> {op['cpp_return']} {{",
        f'          static const torch::lazy::OpKindWrapper kind("lumo::{op["name"]}");',
        f"          torch::lazy::LumoCall call(kind, {c_string(op['name'])});",
        f"          call.SetDevice({c_string(first['name'])}, a_{first['name']});",
    ]
    for a in op["args"]:
        if not a["kwarg_only"] and a["type"] in TENSOR_TYPES:
            lines.append(f"          call.AddOperand({c_string(a['name'])}, a_{a['name']});")
    has_kwargs = any(a["kwarg_only"] for a in op["args"])
    for a in op["args"]:
        if a["kwarg_only"] and a["name"] != ATTR_NAMES:
            lines.append(f"          call.AddAttribute({c_string(a['name'])}, a_{a['name']});")
    if has_kwargs:
        lines.append(f"          call.FinishAttributes(a_{ATTR_NAMES});")
    if entry.get("elementwise") and kernel != "node":
        raise TableError(f"{op['name']}: only a node kernel can be elementwise")
    if entry.get("elementwise"):
        lines.append("          return call.BuildElementwiseNode();")
    elif kernel == "node":
        lines.append(f"          return call.BuildNode(a_{first['name']});")
    else:
        lines.append("          call.RaiseShapeError();")
    lines.append("        });")
    return "\n".join(lines)


def generate(table):
    if not isinstance(table, list) or not table:
        raise TableError("the table must be a non-empty list of operators")
    names = [parse_schema(e["schema"])["name"] for e in table]
    dups = sorted({n for n in names if names.count(n) > 1})
    if dups:
        raise TableError(f"operators defined twice: {', '.join(dups)}")
    body = "\n".join(emit_op(e) for e in table)
    return ("// Generated by scripts/gen_lumo_ops.py from csrc/lumo_ops.yaml. Do not edit.\n"
            "// Included by csrc/lumo_ops.cpp: registers the lumo operator library at load.\n\n"
            f"TORCH_LIBRARY(lumo, m) {{\n{body}\n}}\n")


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__)
    with open(argv[1]) as f:
        table = yaml.safe_load(f)
    try:
        text = generate(table)
    except TableError as e:
        sys.exit(f"{argv[1]}: {e}")
    with open(argv[2], "w") as f:
        f.write(text)


if __name__ == "__main__":
    main(sys.argv)
