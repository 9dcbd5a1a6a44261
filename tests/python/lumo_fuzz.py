"""A mutation fuzz of lumo_interpreter: real lumo programs, mutated, built with `Program` and run
with right and wrong arguments. Every case must end in results or a Python exception; a crash or
a hang of the process is a fault, and so is a mutation that must make the program or the call
invalid but is accepted.

The corpus is what `torch-lumo-opt` makes of the lit tests' torch-dialect inputs
(tests/lit/torch-lumo-opt/*.mlir) and the dialect test's instance of every lumo operation
(tests/lit/dialect/ops.mlir), each function given a signature with the argument contract
(inputs, weights, aliased results, embedded values, a seed), in the tool's own form and in the
generic form. Case i of a run is a function of (seed, i) alone, so any case can be replayed.

The cases run in a worker process; the driver restarts the worker after a crash or a hang and
goes on with the next case:

    .venv/bin/python tests/python/lumo_fuzz.py --count 600 [--seed 1] [--timeout 60]
    .venv/bin/python tests/python/lumo_fuzz.py --seed 1 --replay 123    # one case, in this process

Prints one line per fault and a summary; exits 1 when there is a fault.
"""
import argparse
import json
import math
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
from collections import Counter

HERE = os.path.dirname(os.path.abspath(__file__))
LIT_INPUTS = os.path.join(HERE, "..", "lit", "torch-lumo-opt")
# One instance of every lumo operation, in the dialect's current spelling.
DIALECT_OPS = os.path.join(HERE, "..", "lit", "dialect", "ops.mlir")

# ---------------------------------------------------------------------------------------- corpus


def find_tool():
    for candidate in (os.path.join(sys.prefix, "bin", "torch-lumo-opt"), shutil.which("torch-lumo-opt")):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    raise RuntimeError("torch-lumo-opt not found (make build installs it into the environment's bin)")


def run_tool(tool, text, *flags):
    proc = subprocess.run([tool, *flags], input=text, capture_output=True, text=True, timeout=120)
    return proc.stdout if proc.returncode == 0 else None


def split_chunks(text):
    return [c for c in re.split(r"^// -----.*$", text, flags=re.M) if "func.func" in c]


def functions(module_text):
    """The functions of a printed module, each as its own text (indentation kept)."""
    out, current = [], None
    for line in module_text.splitlines():
        if re.match(r"^  func\.func ", line):
            current = [line]
        elif current is not None:
            current.append(line)
            if line == "  }":
                out.append("\n".join(current))
                current = None
    return out


def split_top(text):
    """`text` split at the commas outside brackets."""
    parts, depth, start = [], 0, 0
    for i, c in enumerate(text):
        if c in "<([{":
            depth += 1
        elif c in ">)]}" and not (c == ">" and text[i - 1] == "-"):
            depth -= 1
        elif c == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    if text[start:].strip():
        parts.append(text[start:].strip())
    return parts


def dense_value(type_text, rng):
    element = re.match(r"tensor<(?:\d+x)*(\w+)>", type_text).group(1)
    value = {"i1": "true"}.get(element, "1" if element.startswith(("si", "ui")) else "0.5")
    return f"dense<{value}> : {type_text}"


def with_signature(function, rng):
    """A program whose @main is `function` with the argument contract on its signature: weights
    (some updated by a result of their type), inputs, 0-d arguments embedded, named results, a seed."""
    header, _, body = function.partition("\n")
    m = re.match(r"^  func\.func @[\w.$]+\(", header)
    close = value_end(header, m.end(), commas=False) if m else -1
    rest = re.fullmatch(r"\)(?: -> (.*))? \{", header[close:]) if m else None
    if not rest:
        return None
    args = split_top(header[m.end():close])
    results_text, _, fn_attrs = (rest.group(1) or "").partition(" attributes ")
    fn_attrs = fn_attrs or f"{{vx.seed = {rng.randrange(2 ** 64)} : ui64}}"
    if results_text.startswith("(") and results_text.endswith(")"):
        results_text = results_text[1:-1]
    results = split_top(results_text)
    result_attrs = [[] for _ in results]
    taken = set()
    new_args = []
    for i, arg in enumerate(args):
        if "{" in arg:  # the contract is there already
            new_args.append(arg)
            continue
        name, _, type_text = arg.partition(": ")
        attrs = []
        roll = rng.random()
        if re.match(r"tensor<[a-z]", type_text) and roll < 0.5:  # a 0-d argument: sometimes embedded
            attrs.append(f"tf.parameter_value = {dense_value(type_text, rng)}")
        elif roll < 0.4:
            attrs.append(f'tf.resource_name = "w{i}"')
            same = [r for r, t in enumerate(results) if t == type_text and r not in taken]
            if same and rng.random() < 0.7:
                taken.add(same[0])
                attrs.append(f"tf.aliasing_output = {same[0]} : i64")
        else:
            attrs.append(f'vx.input_name = "x{i}"')
        new_args.append(f"{name}: {type_text} {{{', '.join(attrs)}}}")
    for r in range(len(results)):
        if "{" in results[r]:
            continue
        if r not in taken or rng.random() < 0.3:
            result_attrs[r].append(f'vx.output_name = "out{r}"')
    new_results = [f"{t} {{{', '.join(a)}}}" if a else t for t, a in zip(results, result_attrs)]
    return (f"module {{\n  func.func @main({', '.join(new_args)}) -> ({', '.join(new_results)}) "
            f"attributes {fn_attrs} {{\n{body}\n}}\n")


def build_corpus(tool):
    """Real lumo programs: the lit inputs converted by the tool, given signatures; then each in
    the generic form too."""
    programs = []
    for name in sorted(os.listdir(LIT_INPUTS)):
        if not name.endswith(".mlir"):
            continue
        with open(os.path.join(LIT_INPUTS, name)) as f:
            text = f.read()
        converted = run_tool(tool, text, "-split-input-file", "-refine-types", "-torch-to-lumo-pipeline")
        chunks = split_chunks(converted) if converted is not None else []
        if converted is None:  # a file with cases that fail on purpose: the others one by one
            for chunk in split_chunks(text):
                out = run_tool(tool, chunk, "-refine-types", "-torch-to-lumo-pipeline")
                if out is not None:
                    chunks.append(out)
        rng = random.Random(name)
        for chunk in chunks:
            for function in functions(chunk):
                program = with_signature(function, rng)
                if program:
                    programs.append(program)
    with open(DIALECT_OPS) as f:
        printed = run_tool(tool, f.read(), "-split-input-file")
    rng = random.Random("ops")
    for chunk in split_chunks(printed or ""):
        for function in functions(chunk):
            program = with_signature(function, rng)
            if program:
                programs.append(program)
    generic = run_tool(tool, "\n// -----\n".join(programs), "-split-input-file", "-mlir-print-op-generic")
    if generic is None:
        raise RuntimeError("torch-lumo-opt cannot print the corpus in the generic form")
    programs += split_chunks(generic)
    return programs


# ------------------------------------------------------------------------------------ mutations

ATTRIBUTE_VALUES = [
    "-1 : i64", "0 : i64", "1 : i64", "7 : i64", "9223372036854775807 : i64", "-9223372036854775808 : i64",
    "18446744073709551615 : ui64", "170141183460469231731687303715884105727 : i128", "1 : i1", "1.5 : f64",
    "0x7FF0000000000000 : f64", "-0.0 : f32", '"s"', '""', '"sum"', '"NHWC"', "true", "false", "unit",
    "array<i64>", "array<i64: -1>", "array<i64: 0, 0>", "array<i64: 99, -99, 4294967296>", "array<i64: 0, 1, 2, 3>",
    '[1, "a"]', "[]", "dense<1.0> : tensor<f32>", "dense<[1, 2]> : tensor<2xsi64>", "dense<-1> : tensor<si64>",
    "dense<1> : tensor<4294967296x4294967296x4xsi64>", "dense<true> : tensor<3xi1>", "{a = 1 : i64}", "f32",
    "array<f64: 1.0>", "@main", "dense_resource<__elided__> : tensor<2xf32>",
]
# Values of the wrong kind for each attribute of the signature: each must make the program invalid.
SIGNATURE_WRONG = {
    "vx.seed": ['"s"', "1.5 : f64", "true", "-1 : i64", "18446744073709551616 : ui128", "array<i64: 1>", "unit"],
    "tf.aliasing_output": ["-1 : i64", '"0"', "1.0 : f64", "true", "99 : i64", "18446744073709551616 : i128",
                           "-9223372036854775808 : i64", "[0]", "unit"],
    "tf.resource_name": ["3 : i64", '""', "[\"w\"]", "unit", "true", "dense<1> : tensor<si8>"],
    "vx.input_name": ["3 : i64", '""', "unit", "1.0 : f32"],
    "vx.output_name": ["3 : i64", '""', "[1]", "unit"],
    "tf.parameter_value": ["3 : i64", '"v"', "dense<1.0> : tensor<7x7xf32>", "dense<1> : tensor<1xsi8>", "unit",
                           "dense<1.0> : tensor<4294967296x4294967296x4294967296xf32>"],
}
ATTRIBUTE = re.compile(r"(?<![%\w.#])([A-Za-z_][\w.$]*) = (?![\"a-z_]+\.)")
TENSOR_TYPE = re.compile(r"tensor<((?:\d+x)*)(\w+)>")
ELEMENT_TYPES = ["f16", "bf16", "f32", "f64", "i1", "si8", "si16", "si32", "si64", "ui8", "i32", "index", "f8E5M2"]


def value_end(text, start, commas=True):
    """The end of the attribute value that begins at `start`: the first ',' or '}' outside brackets
    (only a closing bracket when not `commas`)."""
    depth, i = 0, start
    while i < len(text):
        c = text[i]
        if c == '"':
            i += 1
            while i < len(text) and text[i] != '"':
                i += 2 if text[i] == "\\" else 1
        elif c in "<([{":
            depth += 1
        elif c in ">)]}" and not (c == ">" and text[i - 1] == "-"):
            if depth == 0:
                return i
            depth -= 1
        elif c in ",\n" and depth == 0 and commas:
            return i
        i += 1
    return i


def attributes(text):
    """(name, value start, value end) of each attribute in the text."""
    out = []
    for m in ATTRIBUTE.finditer(text):
        end = value_end(text, m.end())
        if end > m.end():
            out.append((m.group(1), m.end(), end))
    return out


def mutate_signature(text, rng):
    """A signature attribute given a wrong value, or added with one: always invalid."""
    name = rng.choice(sorted(SIGNATURE_WRONG))
    value = rng.choice(SIGNATURE_WRONG[name])
    present = [(n, s, e) for n, s, e in attributes(text) if n == name]
    if present:
        _, s, e = rng.choice(present)
        return text[:s] + value + text[e:], f"signature {name} = {value}"
    # Added: the function's attribute, or an argument's / result's in the tool's form.
    if name == "vx.seed":
        for n, s, e in attributes(text):
            if n == "vx.seed":
                return text[:s] + value + text[e:], f"signature {name} = {value}"
        return None
    anchor = {"vx.output_name": r"(-> \(tensor<[^>]*> \{)", }.get(name, r"(\(%arg0: tensor<[^>]*> \{)")
    m = re.search(anchor, text)
    if not m or (name == "tf.parameter_value" and "tf.parameter_value" in text[m.end():m.end() + 200]):
        return None
    close = value_end(text, m.end())
    existing = text[m.end():close]
    if name in existing:
        return None
    new = f"{name} = {value}" + (", " if existing.strip() else "")
    return text[:m.end()] + new + text[m.end():], f"signature added {name} = {value}"


def mutate_huge_shape(text, rng):
    """Every occurrence of one tensor type gets more elements than 64 bits count: always invalid."""
    types = sorted(set(m.group(0) for m in TENSOR_TYPE.finditer(text)))
    if not types:
        return None
    old = rng.choice(types)
    element = TENSOR_TYPE.match(old).group(2)
    new = f"tensor<{rng.choice(['4294967296x4294967296x4294967296', '9223372036854775807x2', '79228162514264337593543950336'])}x{element}>"
    return text.replace(old, new), f"huge shape {old} -> {new}"


def mutate_deep(text, rng):
    depth = rng.choice([300, 5000])
    kind = rng.random()
    if kind < 0.5:
        return "module {" * depth + text + "}" * depth, f"{depth} nested modules"
    attr = "[" * depth + "1" + "]" * depth
    return text.replace("vx.seed", f"deep = {attr}, vx.seed", 1), f"attribute nested {depth} deep"


def mutate_attribute(text, rng, corpus_values):
    attrs = attributes(text)
    if not attrs:
        return None
    name, s, e = rng.choice(attrs)
    roll = rng.random()
    if roll < 0.15:
        # Dropped, with the comma before or after it.
        start = text.rfind(name, 0, s)
        end = e + 2 if text[e:e + 2] == ", " else e
        return text[:start] + text[end:], f"drop {name}"
    if roll < 0.55:
        # One number inside the value changed, its kind kept: more often past the parser.
        old = text[s:e]
        numbers = list(re.finditer(r"(?<![\w.])-?\d+(\.\d+(e[-+]?\d+)?)?(?![\w.x])", old))
        if numbers:
            m = rng.choice(numbers)
            if m.group(1):
                new = rng.choice(["0.0", "-1.0", "1.0e+300", "0x7FC00000", "-0.5", "3.0"])
            else:
                new = str(rng.choice([-1, 0, 1, 2, 3, -2, int(m.group(0)) + 1, int(m.group(0)) - 1, 1 << 31, -(1 << 62)]))
            value = old[:m.start()] + new + old[m.end():]
            return text[:s] + value + text[e:], f"{name} = {value}"
    value = rng.choice(corpus_values) if roll < 0.75 else rng.choice(ATTRIBUTE_VALUES)
    return text[:s] + value + text[e:], f"{name} = {value}"


def mutate_type(text, rng):
    matches = list(TENSOR_TYPE.finditer(text))
    if not matches:
        return None
    m = rng.choice(matches)
    dims = [d for d in m.group(1).split("x") if d]
    element = m.group(2)
    roll = rng.random()
    if roll < 0.3:
        element = rng.choice(ELEMENT_TYPES)
    elif roll < 0.6 and dims:
        dims[rng.randrange(len(dims))] = str(rng.choice([0, 1, 2, 3, 5, 64, 1 << 33]))
    elif roll < 0.8:
        if dims and rng.random() < 0.5:
            dims.pop(rng.randrange(len(dims)))
        else:
            dims.insert(rng.randrange(len(dims) + 1), str(rng.choice([1, 2])))
    else:
        dims = dims[::-1]
    new = "tensor<" + "".join(d + "x" for d in dims) + element + ">"
    everywhere = rng.random() < 0.5  # every use of the type: gets past the parser more often
    if everywhere:
        return text.replace(m.group(0), new), f"type {m.group(0)} -> {new} everywhere"
    return text[:m.start()] + new + text[m.end():], f"type {m.group(0)} -> {new} once"


def mutate_operands(text, rng):
    ops = list(re.finditer(r"(\"?lumo\.\w+\"?)(\(| )(%[\w#]+(?:, %[\w#]+)*)", text))
    if not ops:
        return None
    m = rng.choice(ops)
    operands = m.group(3).split(", ")
    values = sorted(set(re.findall(r"%[\w]+(?:#\d+)?", text)))
    roll = rng.random()
    if roll < 0.3 and len(operands) > 1:
        i, j = rng.sample(range(len(operands)), 2)
        operands[i], operands[j] = operands[j], operands[i]
    elif roll < 0.5:
        operands.pop(rng.randrange(len(operands)))
    elif roll < 0.7:
        operands.insert(rng.randrange(len(operands) + 1), rng.choice(operands))
    else:
        operands[rng.randrange(len(operands))] = rng.choice(values)
    return text[:m.start(3)] + ", ".join(operands) + text[m.end(3):], f"operands of {m.group(1)} -> {operands}"


def mutate_op_name(text, rng, names):
    ops = list(re.finditer(r"\"lumo\.(\w+)\"|\blumo\.(\w+)", text))
    if not ops or not names:
        return None
    m = rng.choice(ops)
    group = 1 if m.group(1) else 2
    new = rng.choice(names)
    return text[:m.start(group)] + new + text[m.end(group):], f"op {m.group(group)} -> {new}"


def mutate_text(text, rng):
    roll = rng.random()
    n = len(text)
    i = rng.randrange(n)
    if roll < 0.25:
        j = min(n, i + rng.randrange(1, 40))
        return text[:i] + text[j:], f"delete {i}:{j}"
    if roll < 0.45:
        lines = text.split("\n")
        k = rng.randrange(len(lines))
        lines.insert(k, lines[rng.randrange(len(lines))])
        return "\n".join(lines), f"duplicate a line at {k}"
    if roll < 0.65:
        piece = rng.choice(["{", "}", "(", ")", "<", ">", "[", "]", ",", "%", "\"", "0", "-", ":", "x", "\\", "#-}",
                            "{-#", "\x00", "\xff", "tensor<", "%arg0", "// ", "^bb1:"])
        return text[:i] + piece + text[i:], f"insert {piece!r} at {i}"
    if roll < 0.8:
        return text[:i], f"truncate at {i}"
    chars = list(text)
    for _ in range(rng.randrange(1, 4)):
        k = rng.randrange(n)
        chars[k] = chr(rng.choice([ord(chars[k]) ^ (1 << rng.randrange(7)), rng.randrange(32, 127)]))
    return "".join(chars), "flip characters"


def make_case(corpus, seed, index):
    """(program text, what was done, whether it must be refused, random source for the run)."""
    rng = random.Random(f"{seed}:{index}")
    base = corpus[rng.randrange(len(corpus))]
    names = sorted(set(re.findall(r"lumo\.(\w+)", "\n".join(corpus))))
    values = [corpus_text[s:e] for corpus_text in (base,) for _, s, e in attributes(corpus_text)]
    text, what, invalid = base, "unchanged", False
    steps = 1 if rng.random() < 0.7 else rng.randrange(2, 4)
    kind = rng.random()
    if kind < 0.13:
        steps = 1  # a later mutation could undo what makes it invalid
    for step in range(steps):
        mutation = None
        if kind < 0.08 and step == 0:
            mutation, invalid = mutate_signature(text, rng), True
        elif kind < 0.11 and step == 0:
            mutation, invalid = mutate_huge_shape(text, rng), True
        elif kind < 0.13 and step == 0:
            mutation, invalid = mutate_deep(text, rng), True
        else:
            roll = rng.random()
            if roll < 0.25:
                mutation = None  # the program as it is (its run gets wrong arguments)
            elif roll < 0.45:
                mutation = mutate_attribute(text, rng, values or ["0 : i64"])
            elif roll < 0.62:
                mutation = mutate_type(text, rng)
            elif roll < 0.74:
                mutation = mutate_operands(text, rng)
            elif roll < 0.84:
                mutation = mutate_op_name(text, rng, names)
            else:
                mutation = mutate_text(text, rng)
        if mutation:
            text = mutation[0]
            what = mutation[1] if what == "unchanged" else what + "; " + mutation[1]
        elif step == 0:
            invalid = False
    return text, what, invalid, rng


# ----------------------------------------------------------------------------------- the worker

def random_tensor(torch, shape, dtype, gen):
    if dtype == torch.bool:
        return torch.rand(shape, generator=gen) < 0.5
    if dtype.is_floating_point:
        return torch.randn(shape, generator=gen).to(dtype)
    return torch.randint(0, 3, shape, generator=gen).to(dtype)


def wrong_argument(torch, arg, rng, gen):
    """(a value `run` must refuse for `arg`, what it is)."""
    shape, dtype = tuple(arg.shape), arg.dtype
    choices = ["dtype", "shape", "meta", "int", "sparse"]
    if arg.used and arg.kind != "embedded":
        choices.append("none")
    if arg.kind == "embedded":
        choices = ["embedded"]
    what = rng.choice(choices)
    if what == "dtype":
        other = torch.float64 if dtype != torch.float64 else torch.int32
        return random_tensor(torch, shape, other, gen), what
    if what == "shape":
        return random_tensor(torch, shape + (2,), dtype, gen), what
    if what == "meta":
        return torch.empty(shape, dtype=dtype, device="meta"), what
    if what == "int":
        return 3, what
    if what == "sparse":
        return (torch.zeros(shape + (1,) if not shape else shape).to_sparse() if dtype.is_floating_point
                else torch.zeros(shape + (2,), dtype=dtype)), what
    if what == "embedded":
        return random_tensor(torch, shape, dtype, gen), what
    return None, what


def unusual_argument(torch, value, rng):
    """The same values in an unusual but valid layout: non-contiguous, a negative-view, expanded,
    requiring grad."""
    what = rng.choice(["strided", "requires_grad", "expanded", "neg"])
    if what == "strided" and value.dim() >= 1:
        wide = torch.empty(tuple(value.shape) + (2,), dtype=value.dtype)
        wide[..., 0] = value
        return wide[..., 0], what
    if what == "requires_grad" and value.dtype.is_floating_point:
        return value.clone().requires_grad_(), what
    if what == "expanded" and value.dim() and value.numel() and (value == value.flatten()[0]).all():
        return value.flatten()[:1].expand(value.shape), what
    if what == "neg" and value.dtype.is_floating_point and value.dtype != torch.bfloat16:
        return torch._neg_view(-value), what
    return value, "unchanged"


def check_results(prog, outs, selected):
    for out, result in zip(outs, selected):
        if tuple(out.shape) != tuple(result.shape) or out.dtype != result.dtype:
            return f"result {result.index} has shape {tuple(out.shape)} {out.dtype}, declared {result.shape} {result.dtype}"
    if len(outs) != len(selected):
        return f"{len(outs)} results, {len(selected)} declared"
    return None


def stage(error):
    """An exception as its kind and first line, numbers and quoted names left out."""
    line = str(error).splitlines()[0] if str(error) else ""
    line = re.sub(r"'[^']*'|\"[^\"]*\"|\[[\d, ]*\]|-?\d+", "_", line)
    return f"{type(error).__name__}: {line[:70]}"


def run_case(li, torch, corpus, seed, index):
    """Runs one case; returns (outcome, detail). Outcomes: "ok", "refused" (a Python exception),
    "accepted-invalid", "wrong" (results that contradict their declared types or each other)."""
    text, what, invalid, rng = make_case(corpus, seed, index)
    gen = torch.Generator().manual_seed(rng.randrange(2 ** 31))
    try:
        prog = li.Program(text)
    except Exception as e:  # noqa: BLE001 - any Python exception is an answer
        return "refused", f"{what} || Program: {stage(e)}"
    if invalid:
        return "accepted-invalid", what
    if sum(math.prod(a.shape) * a.dtype.itemsize for a in prog.arguments) > (256 << 20):
        return "ok", what + " (built; its arguments are too large to run here)"
    args = [None if a.kind == "embedded" else random_tensor(torch, a.shape, a.dtype, gen) for a in prog.arguments]
    deterministic = not re.search(r"Random|Dropout|Bernoulli|Multinomial|Shuffle", text)
    plan = rng.random()
    try:
        if plan < 0.35 or not prog.arguments:
            outs = prog.run(args)
            problem = check_results(prog, outs, prog.results)
            if problem:
                return "wrong", f"{what}: {problem}"
            if deterministic and args and any(a is not None for a in args):
                # Unusual layouts and one tensor passed twice give the same results.
                unusual = [a if a is None else unusual_argument(torch, a, rng)[0] for a in args]
                same = [a for a in range(len(args)) if args[a] is not None]
                if len(same) >= 2 and rng.random() < 0.5:
                    i, j = rng.sample(same, 2)
                    if args[i].shape == args[j].shape and args[i].dtype == args[j].dtype:
                        unusual[j] = unusual[i]
                        args[j] = args[i]
                        outs = prog.run(args)
                again = prog.run(unusual)
                for a, b in zip(outs, again):
                    # (floating-point sums may run in another order over other strides)
                    if not torch.equal(a, b) and not (a.dtype.is_floating_point and
                                                      torch.allclose(a, b, rtol=1e-4, atol=1e-5, equal_nan=True)):
                        return "wrong", f"{what}: unusual layouts change a result"
            return "ok", what
        if plan < 0.7:
            # One wrong argument, or a wrong count: always refused.
            if rng.random() < 0.2:
                bad, how = args + [None] if rng.random() < 0.5 else args[:-1], "count"
            else:
                k = rng.randrange(len(args))
                bad = list(args)
                bad[k], how = wrong_argument(torch, prog.arguments[k], rng, gen)
            try:
                prog.run(bad)
            except Exception as e:  # noqa: BLE001
                return "refused", f"{what}; run with wrong {how} || run, wrong {how}: {stage(e)}"
            return "accepted-invalid", f"{what}; run with wrong {how}"
        # The resident weights: loaded (sometimes wrongly), then runs.
        state = prog.new_state()
        wrong = None
        for a in prog.arguments:
            if a.kind == "weight":
                value = args[a.index] if a.index < len(args) and args[a.index] is not None else \
                    random_tensor(torch, a.shape, a.dtype, gen)
                if wrong is None and rng.random() < 0.2:
                    value, wrong = wrong_argument(torch, a, rng, gen)
                    if value is None:
                        value, wrong = torch.zeros(1), "shape"
                try:
                    state.load(a.name, value)
                except Exception as e:  # noqa: BLE001
                    if wrong is None:
                        return "wrong", f"{what}: a right weight refused"
                    return "refused", f"{what}; load with wrong {wrong} || load, wrong {wrong}: {stage(e)}"
        if wrong is not None:
            return "accepted-invalid", f"{what}; load with wrong {wrong}"
        inputs = [args[a.index] for a in prog.inputs]
        for _ in range(2):
            outs = state.run(inputs)
            problem = check_results(prog, outs, prog.outputs)
            if problem:
                return "wrong", f"{what}: {problem}"
        return "ok", what
    except Exception as e:  # noqa: BLE001
        return "refused", f"{what} || run: {stage(e)}"


def worker(corpus_file, seed, start, stop):
    import torch
    import lumo_interpreter as li
    torch.set_num_threads(1)
    with open(corpus_file) as f:
        corpus = json.load(f)
    for index in range(start, stop):
        print(f"start {index}", flush=True)
        try:
            outcome, detail = run_case(li, torch, corpus, seed, index)
        except Exception as e:  # noqa: BLE001 - a fault of the harness itself, shown as one
            outcome, detail = "harness-error", f"{type(e).__name__}: {e}"
        print(f"end {index} {outcome} {json.dumps(detail)}", flush=True)


# ----------------------------------------------------------------------------------- the driver

def drive(seed, count, timeout, corpus, python=sys.executable, env=None, log=print):
    """Runs cases 0..count-1 in worker processes; returns (Counter of outcomes, fault lines)."""
    import select
    counts, faults, stages = Counter(), [], Counter()
    with tempfile.TemporaryDirectory() as tmp:
        corpus_file = os.path.join(tmp, "corpus.json")
        with open(corpus_file, "w") as f:
            json.dump(corpus, f)
        next_case = 0
        while next_case < count:
            errors = open(os.path.join(tmp, "stderr"), "w+")
            proc = subprocess.Popen(
                [python, os.path.abspath(__file__), "--worker", corpus_file, "--seed", str(seed),
                 "--start", str(next_case), "--count", str(count)],
                stdout=subprocess.PIPE, stderr=errors, text=True, env=env)
            current, deadline, buffer = None, time.monotonic() + timeout, ""
            os.set_blocking(proc.stdout.fileno(), False)
            while True:
                ready, _, _ = select.select([proc.stdout], [], [], max(0.0, deadline - time.monotonic()))
                if not ready:  # the case in progress takes too long
                    proc.kill()
                    proc.wait()
                    case = current if current is not None else next_case
                    counts["hang"] += 1
                    faults.append(f"hang: case {case} ({describe(corpus, seed, case)})")
                    next_case = case + 1
                    break
                chunk = proc.stdout.read()
                if not chunk:  # the worker ended
                    code = proc.wait()
                    if current is not None or code != 0:
                        case = current if current is not None else next_case
                        counts["crash"] += 1
                        errors.seek(0)
                        stderr = errors.read()[-2000:]
                        faults.append(f"crash (exit {code}): case {case} ({describe(corpus, seed, case)})\n{stderr}")
                        next_case = case + 1
                    break
                buffer += chunk
                *lines, buffer = buffer.split("\n")
                for line in lines:
                    word, index, *rest = line.split(" ", 3) + [""]
                    if word == "start":
                        current, deadline = int(index), time.monotonic() + timeout
                    elif word == "end":
                        outcome, detail = rest[0], rest[1]
                        counts[outcome] += 1
                        if outcome == "refused":  # where: "lumo program: cannot parse", "...; run: ..."
                            stages[json.loads(detail).rpartition(" || ")[2]] += 1
                        if outcome in ("accepted-invalid", "wrong", "harness-error"):
                            faults.append(f"{outcome}: case {index}: {json.loads(detail)}")
                        current, next_case = None, int(index) + 1
            proc.stdout.close()
            errors.close()
    for fault in faults:
        log(fault)
    drive.stages = stages
    return counts, faults


def describe(corpus, seed, index):
    return make_case(corpus, seed, index)[1]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--count", type=int, default=600)
    parser.add_argument("--timeout", type=float, default=60.0, help="seconds a case may take")
    parser.add_argument("--replay", type=int, help="run this one case here and print its program")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--start", type=int, default=0, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args.worker, args.seed, args.start, args.count)
        return 0
    corpus = build_corpus(find_tool())
    if args.replay is not None:
        import torch
        import lumo_interpreter as li
        text, what, invalid, _ = make_case(corpus, args.seed, args.replay)
        print(text)
        print("mutation:", what, "(must be refused)" if invalid else "")
        print(run_case(li, torch, corpus, args.seed, args.replay))
        return 0
    began = time.monotonic()
    counts, faults = drive(args.seed, args.count, args.timeout, corpus)
    print(f"{args.count} cases (seed {args.seed}, corpus of {len(corpus)} programs) in "
          f"{time.monotonic() - began:.0f} s: " + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))
    for stage, n in drive.stages.most_common(25):
        print(f"  refused {n:4}: {stage}")
    print(f"crashes {counts['crash']}, hangs {counts['hang']}, accepted-invalid {counts['accepted-invalid']}, "
          f"wrong {counts['wrong']}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
