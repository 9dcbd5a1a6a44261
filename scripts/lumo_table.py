"""Reads the lumo operator table (csrc/lumo_ops.yaml) and parses its schemas.

Shared by the generators of the PyTorch operator library (gen_lumo_ops.py) and of the lumo
dialect (gen_lumo_dialect.py), so both read one vocabulary the same way.

A schema reads `Name(arguments) -> results`. Arguments are `type name[=default]`, separated by
commas; those after a lone `*` are keyword-only. Results are `Tensor name`, a parenthesised list
of them, or `Tensor[] name`.
"""

import re

import yaml

ARG_TYPES = ("Tensor", "Tensor?", "Tensor[]", "int", "int?", "int[]", "int[]?",
             "float", "float?", "bool", "bool?", "str", "str?")
TENSOR_TYPES = ("Tensor", "Tensor?", "Tensor[]")
RESULT_TYPES = ("Tensor", "Tensor[]")
# The library's bookkeeping argument: which keyword arguments a caller supplied.
ATTR_NAMES = "_attr_names"

# Fields an entry may carry, and what they hold.
FIELDS = {
    "schema": str,         # the operator's schema
    "kernel": str,         # library kernel: node | shape_error (library operators only)
    "elementwise": bool,   # applied element by element, operands broadcast to the result
    "dialect_only": bool,  # an operation of the dialect that the library does not register
    "summary": str,        # one line
    "description": str,    # the semantics (Markdown)
    "traits": list,        # extra ODS traits of the operation
    "types": dict,         # operand/result name -> tensor kind (see gen_lumo_dialect.TENSOR_KINDS)
    "random": bool,        # draws random numbers: has effects, never folded or merged
    "verifier": bool,      # the operation has a hand-written verifier
    "cpu": str,            # "cannot run: <reason>" for operations a CPU cannot execute
}

SCHEMA_RE = re.compile(r"^(\w+)\((.*)\) -> (.+)$")
ARG_RE = re.compile(r'^(\w+(?:\[\])?\??) (\w+)(?:=(.*))?$')
RESULT_RE = re.compile(r"^(Tensor(?:\[\])?) (\w+)$")


class TableError(Exception):
    pass


def quote(text):
    """A double-quoted string literal, as C++ and TableGen read it."""
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def repeated(names):
    """The names that occur more than once, sorted."""
    seen, dups = set(), set()
    for n in names:
        (dups if n in seen else seen).add(n)
    return sorted(dups)


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
    """Returns {"name", "args": [{"type", "name", "default", "kwarg_only"}],
    "results": [{"type", "name"}]}."""
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
        if not am or am.group(1) not in ARG_TYPES:
            raise TableError(f"{name}: unsupported argument '{part}'")
        args.append({"type": am.group(1), "name": am.group(2), "default": am.group(3),
                     "kwarg_only": kwarg_only})
    if returns_text.startswith("(") and returns_text.endswith(")"):
        returns = split_top_level(returns_text[1:-1])
    else:
        returns = [returns_text]
    results = []
    for r in returns:
        rm = RESULT_RE.match(r)
        if not rm:
            raise TableError(f"{name}: unsupported result '{r}'")
        results.append({"type": rm.group(1), "name": rm.group(2)})
    if len(results) > 1 and any(r["type"] != "Tensor" for r in results):
        raise TableError(f"{name}: a list result must be the only result")
    dups = repeated([a["name"] for a in args] + [r["name"] for r in results])
    if dups:
        raise TableError(f"{name}: names used twice: {', '.join(dups)}")
    return {"name": name, "args": args, "results": results}


def check_entry(entry):
    if not isinstance(entry, dict) or "schema" not in entry:
        raise TableError(f"an entry without a schema: {entry!r}")
    for key, value in entry.items():
        if key not in FIELDS:
            raise TableError(f"{entry['schema']}: unknown field '{key}'")
        if not isinstance(value, FIELDS[key]):
            raise TableError(f"{entry['schema']}: field '{key}' must be a {FIELDS[key].__name__}")
    if entry.get("dialect_only") == ("kernel" in entry):
        raise TableError(f"{entry['schema']}: library operators have a kernel, dialect-only ones none")
    if "cpu" in entry and not entry["cpu"].startswith("cannot run: "):
        raise TableError(f"{entry['schema']}: 'cpu' reads \"cannot run: <reason>\"")


def load(path):
    """Returns the table's entries, each with its parsed schema under "op"."""
    with open(path) as f:
        table = yaml.safe_load(f)
    if not isinstance(table, list) or not table:
        raise TableError("the table must be a non-empty list of operators")
    for entry in table:
        check_entry(entry)
        entry["op"] = parse_schema(entry["schema"])
    dups = repeated(e["op"]["name"] for e in table)
    if dups:
        raise TableError(f"operators defined twice: {', '.join(dups)}")
    return table


def library_entries(table):
    """The entries the PyTorch operator library registers, in registration order."""
    return [e for e in table if not e.get("dialect_only")]
