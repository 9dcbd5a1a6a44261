"""Mutation fuzz of torch-lumo-opt on real modules.

The seeds are of two groups, each mutated in half of the runs: real modules
(tests/python/data/tool_fuzz/*.mlir, the torch.mlir the backend wrote for one training step of the
small training scripts of training_models.SCRIPTS, trimmed to the updates that hold every operation
form of the four and to one definition of each constant) and every function of the tool's lit tests
(tests/lit/torch-lumo-opt) that converts. Each run mutates one seed with a fixed seed of its own and
runs the tool as the module does (`sed` stage included). No run may crash (a
signal or another exit status than 0 and 1) or hang, a failed run prints nothing on standard output
and says why on standard error, and a mutation that makes a real module invalid (a contradicting
result type, an operand too many or too few, a value of the wrong kind, an empty operator name, deep
nesting, a huge shape, ...) never exits 0. Other mutations (constant values, argument sizes,
swapped operands) may convert or not.

    .venv/bin/python tests/python/fuzz_tool.py --count 2000 [--seed 1] [--jobs 2]
"""
import argparse
import collections
import concurrent.futures
import os
import pathlib
import random
import re
import subprocess
import sys

from lumo_fuzz import split_top

TOOL = os.path.join(os.path.dirname(sys.executable), "torch-lumo-opt")
SEEDS = pathlib.Path(__file__).resolve().parent / "data" / "tool_fuzz"
LIT_INPUTS = pathlib.Path(__file__).resolve().parents[1] / "lit" / "torch-lumo-opt"
TIMEOUT = 60

# Mutations that make every module invalid, and those that may leave it valid.
INVALID = ("result_dtype", "result_shape", "drop_operand", "add_operand", "wrong_kind", "empty_name",
           "drop_value", "constant_kind", "list_element", "deep_nesting", "huge_shape",
           "non_tensor_arg", "truncate")
NEUTRAL = ("int_value", "arg_size", "swap_operands")

OP_RE = re.compile(r'^(\s*)(%[\w]+)(:\d+)? = "(torch\.[\w.]+)"\((.*?)\)(.*) : \((.*)\) -> (.*)$')


class Op:
    """One operation line in generic form: %name(:n) = "kind"(operands) attrs : (types) -> results."""

    def __init__(self, line):
        m = OP_RE.match(line)
        self.indent, self.name, count, self.kind, operands, self.attrs, types, results = m.groups()
        self.count = int(count[1:]) if count else 1
        self.operands = split_top(operands)
        self.types = split_top(types)
        self.multi = results.startswith("(")
        self.results = split_top(results[1:-1]) if self.multi else [results]

    def text(self):
        results = ", ".join(self.results)
        if self.multi:
            results = f"({results})"
        count = f":{self.count}" if self.count > 1 else ""
        return (f'{self.indent}{self.name}{count} = "{self.kind}"({", ".join(self.operands)}){self.attrs}'
                f' : ({", ".join(self.types)}) -> {results}')

    def result_name(self, i):
        return f"{self.name}#{i}" if self.count > 1 else self.name


class Module:
    def __init__(self, text):
        self.lines = text.split("\n")

    def text(self):
        return "\n".join(self.lines)

    def ops(self, where=lambda op: True):
        out = []
        for i, line in enumerate(self.lines):
            if OP_RE.match(line):
                op = Op(line)
                if where(op):
                    out.append((i, op))
        return out

    def func_line(self):
        return next(i for i, l in enumerate(self.lines) if l.strip().startswith("func.func @"))

    def arguments(self):
        """[(name, type)] of the function's arguments."""
        line = self.lines[self.func_line()]
        inner = line[line.index("(") + 1:]
        depth, end = 1, 0
        for end, c in enumerate(inner):
            depth += c in "<[({"
            depth -= c in ">])}"
            if depth == 0:
                break
        out = []
        for part in split_top(inner[:end]):
            name, rest = part.split(":", 1)
            out.append((name.strip(), split_top(rest.strip().split(" {")[0])[0]))
        return out

    def set_type(self, value, old, new):
        """Gives `value` the type `new` (was `old`) at its definition and at every use."""
        f = self.func_line()
        if value.startswith("%arg"):
            self.lines[f] = re.sub(re.escape(value) + r": " + re.escape(old), f"{value}: {new}",
                                   self.lines[f], count=1)
        for i, line in enumerate(self.lines):
            if OP_RE.match(line):
                op = Op(line)
                changed = False
                for k in range(op.count):
                    if op.result_name(k) == value:
                        op.results[k] = new
                        changed = True
                for k, operand in enumerate(op.operands):
                    if operand == value:
                        op.types[k] = new
                        changed = True
                if changed:
                    self.lines[i] = op.text()
            elif line.strip().startswith("return "):
                values, types = line.strip()[len("return "):].split(" : ", 1)
                values, types = split_top(values), split_top(types)
                positions = [k for k, v in enumerate(values) if v == value]
                if not positions:
                    continue
                for k in positions:
                    types[k] = new
                indent = line[:len(line) - len(line.lstrip())]
                self.lines[i] = f"{indent}return {', '.join(values)} : {', '.join(types)}"
                self.set_function_results(positions, new)

    def set_function_results(self, positions, new):
        f = self.func_line()
        head, rest = self.lines[f].rsplit(") -> ", 1)
        if rest.startswith("("):
            depth = 0
            for end, c in enumerate(rest):
                depth += c in "<[({"
                depth -= c in ">])}"
                if depth == 0:
                    break
            items, tail = split_top(rest[1:end]), rest[end + 1:]
        else:
            items, tail = [rest.split(" ")[0]], rest[len(rest.split(" ")[0]):]
        for k in positions:
            items[k] = new + items[k][len(items[k].split(" {")[0]):]  # keep result attributes
        joined = ", ".join(items)
        self.lines[f] = f"{head}) -> {'(' + joined + ')' if rest.startswith('(') else joined}{tail}"


VTENSOR_RE = re.compile(r"^!torch\.vtensor<\[([\d,]*)\],(\w+)>$")
OTHER_DTYPES = {"f32": ["si64", "i1", "si32", "f64", "f16"], "si64": ["f32", "i1", "si32"],
                "i1": ["f32", "si64"], "f64": ["f32", "si64"], "f16": ["f32", "si64"],
                "bf16": ["f32", "si64"], "si32": ["si64", "f32"]}


def vtensor(shape, dtype):
    return f"!torch.vtensor<[{','.join(map(str, shape))}],{dtype}>"


def parse_vtensor(t):
    m = VTENSOR_RE.match(t)
    if not m:
        return None
    return [int(d) for d in m.group(1).split(",") if d], m.group(2)


def is_converted(op):
    return not op.kind.startswith("torch.constant.") and op.kind not in (
        "torch.prim.ListConstruct", "torch.operator")


def values_of_type(module, pattern):
    """Names of values (op results and arguments) whose type matches `pattern`."""
    out = [n for n, t in module.arguments() if re.match(pattern, t)]
    for _, op in module.ops():
        for k in range(op.count):
            if re.match(pattern, op.results[k]):
                out.append(op.result_name(k))
    return out


def mutate(text, kind, rng):
    """The text mutated by `kind`, or None when the seed offers nothing to mutate."""
    m = Module(text)
    if kind == "result_dtype" or kind == "result_shape":
        # A result an output mask leaves out has a placeholder type: any type is right for it.
        used = set(re.findall(r"%[\w]+(?:#\d+)?", "\n".join(l.split(" = ", 1)[-1] for l in m.lines)))
        candidates = [(i, op, k) for i, op in m.ops(is_converted) for k in range(op.count)
                      if parse_vtensor(op.results[k]) and (op.result_name(k) in used or
                                                           "!torch.list<bool>" not in op.types)]
        if not candidates:
            return None
        _, op, k = rng.choice(candidates)
        old = op.results[k]
        shape, dtype = parse_vtensor(old)
        if kind == "result_dtype":
            new = vtensor(shape, rng.choice(OTHER_DTYPES.get(dtype, ["f32"])))
        else:
            choice = rng.randrange(3)
            if choice == 0 or not shape:
                new = vtensor(shape + [rng.choice([1, 2, 5])], dtype)
            elif choice == 1:
                new = vtensor(shape[:-1], dtype)
            else:
                j = rng.randrange(len(shape))
                shape = list(shape)
                shape[j] = rng.choice([d for d in (0, 1, 2, 3, 7, 64) if d != shape[j]])
                new = vtensor(shape, dtype)
        m.set_type(op.result_name(k), old, new)
        return m.text()
    if kind in ("drop_operand", "add_operand", "wrong_kind", "empty_name", "swap_operands"):
        ops = m.ops(lambda op: op.kind.startswith("torch.aten.") and op.operands)
        if not ops:
            return None
        i, op = rng.choice(ops)
        if kind == "drop_operand":
            j = rng.randrange(len(op.operands))
            del op.operands[j], op.types[j]
        elif kind == "add_operand":
            j = rng.randrange(len(op.operands))
            op.operands.append(op.operands[j])
            op.types.append(op.types[j])
        elif kind == "empty_name":
            op.attrs = ' {name = ""}' + op.attrs
            op.kind = "torch.operator"
        elif kind == "swap_operands":
            if len(op.operands) < 2:
                return None
            a, b = rng.sample(range(len(op.operands)), 2)
            if op.types[a] != op.types[b]:
                return None
            op.operands[a], op.operands[b] = op.operands[b], op.operands[a]
        else:
            # A tensor where an int, bool or list is expected, or the other way round: a bool where
            # a tensor or an int is, an int where a bool or a list is.
            j = rng.randrange(len(op.operands))
            t = op.types[j]
            if t.startswith("!torch.vtensor") or t == "!torch.int":
                want = "!torch.bool"
            elif t in ("!torch.bool", "!torch.none") or t.startswith("!torch.list"):
                want = "!torch.vtensor" if t.startswith("!torch.list") else "!torch.int"
            else:
                return None
            if t == "!torch.none":
                return None  # None stands for optional values of any kind
            pool = values_of_type(m, re.escape(want))
            if not pool:
                return None
            value = rng.choice(pool)
            if want == "!torch.vtensor":
                want = next(tt for n, tt in m.arguments() if n == value) if value.startswith("%arg") \
                    else next(op2.results[k] for _, op2 in m.ops() for k in range(op2.count)
                              if op2.result_name(k) == value)
            if "number" in schema_types(op.kind[len("torch."):]).get(j, "number"):
                return None  # a number takes ints, floats, bools and one-element tensors
            op.operands[j], op.types[j] = value, want
            # A value used before its definition is a parse error, not the check under test:
            # only values defined above the operation.
            if not value.startswith("%arg"):
                defined = next(k for k, o in m.ops() if any(o.result_name(r) == value
                                                            for r in range(o.count)))
                if defined >= i:
                    return None
        m.lines[i] = op.text()
        return m.text()
    if kind in ("drop_value", "constant_kind", "int_value"):
        consts = m.ops(lambda op: op.kind in ("torch.constant.int", "torch.constant.float",
                                              "torch.constant.bool", "torch.constant.str")
                       and "value" in op.attrs)
        if kind != "drop_value":
            consts = [(i, op) for i, op in consts if op.kind == "torch.constant.int"]
        if not consts:
            return None
        i, op = rng.choice(consts)
        if kind == "drop_value":
            op.attrs = ""
        elif kind == "constant_kind":
            op.attrs = " {value = 2.500000e+00 : f64}"
        else:
            op.attrs = f" {{value = {rng.choice([-9, -1, 0, 1, 2, 3, 99, 2 ** 40])} : i64}}"
        m.lines[i] = op.text()
        return m.text()
    if kind == "list_element":
        lists = m.ops(lambda op: op.kind == "torch.prim.ListConstruct" and op.results[0] == "!torch.list<int>"
                      and op.operands)
        floats = values_of_type(m, re.escape("!torch.float"))
        if not lists or not floats:
            return None
        i, op = rng.choice(lists)
        j = rng.randrange(len(op.operands))
        value = rng.choice(floats)
        defined = next((k for k, o in m.ops() if o.name == value), -1)
        if defined >= i:
            return None
        op.operands[j], op.types[j] = value, "!torch.float"
        m.lines[i] = op.text()
        return m.text()
    if kind in ("huge_shape", "arg_size"):
        args = [(n, t) for n, t in m.arguments() if parse_vtensor(t) and parse_vtensor(t)[0]]
        if not args:
            return None
        name, old = rng.choice(args)
        shape, dtype = parse_vtensor(old)
        if kind == "huge_shape":
            shape = [2 ** 32, 2 ** 32, 2 ** 32]
        else:
            shape = list(shape)
            j = rng.randrange(len(shape))
            shape[j] = rng.choice([d for d in (0, 1, 2, 3, 5, 64) if d != shape[j]])
        m.set_type(name, old, vtensor(shape, dtype))
        return m.text()
    if kind == "non_tensor_arg":
        f = m.func_line()
        m.lines[f] = m.lines[f].replace("@main(", "@main(%extra: !torch.int, ", 1)
        return m.text()
    if kind == "deep_nesting":
        depth = rng.choice([300, 1000, 5000])
        return "module {" * depth + "\n" + text + "\n" + "}" * depth
    if kind == "truncate":
        cut = rng.randrange(len(text) // 4, len(text) - 10)
        return text[:cut]
    raise ValueError(kind)


_SCHEMAS = {}


def schema_types(kind):
    """{position: argument type} of an aten operator's schema ("aten.add.Tensor")."""
    if not _SCHEMAS:
        import torch
        for s in torch._C._jit_get_all_schemas():
            ns, _, name = s.name.partition("::")
            key = f"{ns}.{name}" + (f".{s.overload_name}" if s.overload_name else "")
            _SCHEMAS[key] = {i: str(a.type) for i, a in enumerate(s.arguments)}
    return _SCHEMAS.get(kind, {})


def run_tool(text):
    """(status, stdout, stderr) of the tool on `text` as the module runs it; status None on a
    timeout."""
    text = re.sub(r"func\.func @", "func @", text)
    try:
        proc = subprocess.run([TOOL, "-refine-types", "-torch-to-lumo-pipeline", "-mlir-print-debuginfo"],
                              input=text, capture_output=True, text=True, timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        return None, "", ""
    return proc.returncode, proc.stdout, proc.stderr


def seeds():
    """(real modules, lit functions that convert): lists of (name, text)."""
    real = [(p.stem, p.read_text()) for p in sorted(SEEDS.glob("*.mlir"))]
    lit = []
    for path in sorted(LIT_INPUTS.glob("*.mlir")):
        for k, chunk in enumerate(path.read_text().split("// -----")):
            if '"torch.' in chunk and "expected-error" not in chunk:
                text = re.sub(r"^//.*$", "", chunk, flags=re.M)
                if run_tool(text)[0] == 0:
                    lit.append((f"{path.stem}.{k}", text))
    return real, lit


def one_case(index, seed, groups):
    rng = random.Random(seed * 1_000_003 + index)
    kinds = INVALID + NEUTRAL
    for _ in range(20):
        kind = rng.choice(kinds)
        name, text = rng.choice(groups[index % 2])
        try:
            mutated = mutate(text, kind, rng)
        except (ValueError, StopIteration, IndexError):
            mutated = None  # a module laid out otherwise than the printer lays it out
        if mutated is not None and mutated != text:
            break
    else:
        return None
    status, out, err = run_tool(mutated)
    if status is None:
        outcome = "hang"
    elif status not in (0, 1):
        outcome = "crash"
    elif status == 1 and (out or "error" not in err):
        outcome = "bad failure output"
    elif status == 0 and kind in INVALID and index % 2 == 0:  # the real modules' group
        outcome = "accepted"
    else:
        outcome = "ok"
    return kind, name, outcome, status, err[-600:], mutated


def run(count, seed=1, jobs=2, report=None):
    """Runs `count` mutations; returns {kind: Counter(outcome)} and the failing cases."""
    groups = seeds()
    for name, text in groups[0]:  # the real modules themselves convert
        status, _, err = run_tool(text)
        assert status == 0, (name, err[-2000:])
    assert len(groups[1]) > 10, "the lit tests' conversions are seeds too"
    counts = collections.defaultdict(collections.Counter)
    failures = []
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        for result in pool.map(lambda i: one_case(i, seed, groups), range(count)):
            if result is None:
                continue
            kind, name, outcome, status, err, mutated = result
            counts[kind][outcome] += 1
            counts[kind]["exit %s" % status] += 1
            if outcome != "ok":
                failures.append(result)
    return counts, failures


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--keep", help="folder to write failing cases to")
    args = parser.parse_args()
    counts, failures = run(args.count, args.seed, args.jobs)
    print(f"{'mutation':16} {'runs':>5} {'exit 0':>7} {'exit 1':>7} {'crash':>6} {'hang':>5} {'accepted invalid':>17}")
    total = collections.Counter()
    for kind in INVALID + NEUTRAL:
        c = counts.get(kind, collections.Counter())
        runs = sum(v for k, v in c.items() if not k.startswith("exit"))
        total.update(c)
        print(f"{kind:16} {runs:5} {c['exit 0']:7} {c['exit 1']:7} {c['crash']:6} {c['hang']:5} "
              f"{c['accepted']:17}" + ("  (may convert)" if kind in NEUTRAL else ""))
    runs = sum(v for k, v in total.items() if not k.startswith("exit"))
    print(f"{'total':16} {runs:5} {total['exit 0']:7} {total['exit 1']:7} {total['crash']:6} "
          f"{total['hang']:5} {total['accepted']:17}   bad failure output: {total['bad failure output']}")
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
        for n, (kind, name, outcome, status, err, mutated) in enumerate(failures):
            path = os.path.join(args.keep, f"{n:04d}-{outcome.replace(' ', '_')}-{kind}-{name}.mlir")
            with open(path, "w") as f:
                f.write(f"// exit {status}\n// " + err.replace("\n", "\n// ") + "\n" + mutated)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
