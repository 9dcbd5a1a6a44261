"""Reads the lumo operator table (csrc/lumo_ops.yaml) and parses its schemas.

Shared by the generators of the PyTorch operator library (gen_lumo_ops.py) and of the lumo
dialect (gen_lumo_dialect.py), so both read one vocabulary the same way.

Besides operator entries (`schema`), the table defines enumerations (`enum`): the cases a
string-valued attribute may name. `load` returns the operator entries (each with its parsed schema
under "op" and its attributes' enumerations resolved under "enum_attrs"); the enumerations, in
table order, are the result's `enums`. One entry (`complex_operations`) lists the operations whose
tensors may also hold complex elements; `load` marks those entries with "complex".

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
    "collective": bool,    # combines values across replicas: has effects, never folded or merged
    "verifier": bool,      # the operation has a hand-written verifier
    "cpu": str,            # "cannot run: <reason>" for operations a CPU cannot execute
    "attributes": dict,    # keyword-only argument -> enumeration name, or "bool" (from int[]?)
    "folder": bool,        # the operation has a fold
    "canonicalizer": bool, # the operation has canonicalisation patterns
}
# Fields of an enumeration entry.
ENUM_FIELDS = {
    "enum": str,       # the C++ name (CamelCase)
    "mnemonic": str,   # the attribute's name in the IR (#lumo.<mnemonic><case>)
    "summary": str,    # one line
    "cases": list,     # the spellings of the cases
}
CASE_RE = re.compile(r"^[A-Za-z][A-Za-z0-9_]*$")

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


def check_enum(entry):
    for key in ENUM_FIELDS:
        if not isinstance(entry.get(key), ENUM_FIELDS[key]):
            raise TableError(f"enumeration {entry.get('enum')!r}: field '{key}' must be a "
                             f"{ENUM_FIELDS[key].__name__}")
    for key in entry:
        if key not in ENUM_FIELDS:
            raise TableError(f"enumeration {entry['enum']}: unknown field '{key}'")
    if not re.match(r"^[A-Z][A-Za-z0-9]*$", entry["enum"]):
        raise TableError(f"enumeration {entry['enum']}: the name must be CamelCase")
    if not re.match(r"^[a-z][a-z0-9_]*$", entry["mnemonic"]):
        raise TableError(f"enumeration {entry['enum']}: the mnemonic must be snake_case")
    cases = entry["cases"]
    if not cases or not all(isinstance(c, str) and CASE_RE.match(c) for c in cases):
        raise TableError(f"enumeration {entry['enum']}: cases must be identifiers")
    symbols = [case_symbol(c) for c in cases]
    if repeated(cases) or repeated(symbols):
        raise TableError(f"enumeration {entry['enum']}: cases used twice: "
                         f"{', '.join(repeated(cases) or repeated(symbols))}")


def case_symbol(case):
    """The C++ enumerator of a case: "floor_divide" -> FloorDivide, "EQ" -> EQ."""
    return "".join(part[:1].upper() + part[1:] for part in case.split("_"))


def resolve_attributes(entry, enums):
    """Checks the entry's `attributes` against its schema; returns {argument: enum entry or "bool"}."""
    op, out = entry["op"], {}
    args = {a["name"]: a for a in op["args"] if a["kwarg_only"] and a["name"] != ATTR_NAMES}
    for name, kind in entry.get("attributes", {}).items():
        arg = args.get(name)
        if arg is None:
            raise TableError(f"{op['name']}: 'attributes' names '{name}', not a keyword-only argument")
        if kind == "bool":
            if arg["type"] != "int[]?":
                raise TableError(f"{op['name']}: a bool attribute comes from an int[]? argument, "
                                 f"'{name}' is {arg['type']}")
            out[name] = "bool"
        elif kind in enums:
            if arg["type"] not in ("str", "str?"):
                raise TableError(f"{op['name']}: an enum attribute comes from a str argument, "
                                 f"'{name}' is {arg['type']}")
            out[name] = enums[kind]
        else:
            raise TableError(f"{op['name']}: unknown enumeration '{kind}' for '{name}'")
    return out


class Table(list):
    """The operator entries; `enums` holds the enumeration entries."""
    enums = ()


def load(path):
    """Returns the table's operator entries, each with its parsed schema under "op" and its
    resolved `attributes` under "enum_attrs"; the result's `enums` lists the enumerations."""
    with open(path) as f:
        raw = yaml.safe_load(f)
    if not isinstance(raw, list) or not raw:
        raise TableError("the table must be a non-empty list of operators")
    enums, table, complex_ops = {}, Table(), None
    for entry in raw:
        if isinstance(entry, dict) and "complex_operations" in entry:
            names = entry["complex_operations"]
            if set(entry) != {"complex_operations"} or not isinstance(names, list):
                raise TableError("the complex_operations entry holds one list of operation names")
            if complex_ops is not None:
                raise TableError("complex_operations defined twice")
            complex_ops = names
            continue
        if isinstance(entry, dict) and "enum" in entry:
            check_enum(entry)
            if entry["enum"] in enums:
                raise TableError(f"enumeration {entry['enum']} defined twice")
            enums[entry["enum"]] = entry
            continue
        check_entry(entry)
        entry["op"] = parse_schema(entry["schema"])
        table.append(entry)
    if not table:
        raise TableError("the table defines no operator")
    dups = repeated(e["op"]["name"] for e in table)
    if dups:
        raise TableError(f"operators defined twice: {', '.join(dups)}")
    dups = repeated(e["mnemonic"] for e in enums.values())
    if dups:
        raise TableError(f"enumeration mnemonics used twice: {', '.join(dups)}")
    names = {e["op"]["name"]: e for e in table}
    unknown = sorted(set(complex_ops or ()) - set(names))
    if unknown:
        raise TableError(f"complex_operations names unknown operations: {', '.join(unknown)}")
    for name in complex_ops or ():
        names[name]["complex"] = True
    used = set()
    for entry in table:
        entry["enum_attrs"] = resolve_attributes(entry, enums)
        used |= {k["enum"] for k in entry["enum_attrs"].values() if k != "bool"}
    unused = sorted(set(enums) - used)
    if unused:
        raise TableError(f"enumerations no operator uses: {', '.join(unused)}")
    table.enums = list(enums.values())
    return table


def library_entries(table):
    """The entries the PyTorch operator library registers, in registration order."""
    return [e for e in table if not e.get("dialect_only")]
