"""torch-lumo-opt on malformed input: a diagnostic and exit status 1, never a crash, nothing on
standard output."""
import os
import pathlib
import random
import re
import subprocess
import sys

import fuzz_tool

TOOL = os.path.join(os.path.dirname(sys.executable), "torch-lumo-opt")
LIT_DIR = pathlib.Path(__file__).resolve().parents[1] / "lit" / "torch-lumo-opt"


def conversion_inputs():
    """The functions of the tool's lit tests that convert, one module each."""
    for path in sorted(LIT_DIR.glob("*.mlir")):
        for chunk in path.read_text().split("// -----"):
            if '"torch.' in chunk and "expected-error" not in chunk:
                yield re.sub(r"^//.*$", "", chunk, flags=re.M)


def mutate(text, rng):
    """Changes one to three operation lines: a size, an integer constant, an element type, a rank
    or an operand."""
    lines = text.split("\n")
    ops = [i for i, line in enumerate(lines) if '"torch.' in line and " = " in line]
    for _ in range(rng.randint(1, 3)):
        i = rng.choice(ops)
        line, kind = lines[i], rng.randrange(5)
        if kind == 0:
            line = re.sub(r"\[(\d+)", lambda m: "[" + str(rng.choice([0, 1, 3, 7])), line, count=1)
        elif kind == 1:
            line = re.sub(r"value = -?\d+ : i64", f"value = {rng.choice([-9, -1, 0, 2, 99])} : i64", line)
        elif kind == 2:
            line = re.sub(r",(f32|si64|i1)>", "," + rng.choice(["f32", "si64", "i1", "f16", "ui8"]) + ">",
                          line, count=1)
        elif kind == 3:
            line = re.sub(r"\[\d+,", "[", line, count=1)
        else:
            line = re.sub(r"\((%\w+), ", r"(", line, count=1)  # one operand fewer
        lines[i] = line
    return "\n".join(lines)


def test_mutated_modules_fail_cleanly():
    rng = random.Random(1)
    seeds = list(conversion_inputs())
    assert len(seeds) > 10
    outcomes = set()
    for _ in range(150):
        text = mutate(rng.choice(seeds), rng)
        proc = subprocess.run([TOOL, "-refine-types", "-torch-to-lumo-pipeline"], input=text,
                              capture_output=True, text=True, timeout=60)
        assert proc.returncode in (0, 1), (proc.returncode, proc.stderr[-2000:], text)
        if proc.returncode:
            assert proc.stdout == "" and "error:" in proc.stderr, proc.stderr
        outcomes.add(proc.returncode)
    assert outcomes == {0, 1}


def test_mutated_real_modules():
    """150 mutations of real training-step modules (fuzz_tool.py; run it longer from the command
    line): no crash, no hang, nothing on standard output on failure, and no mutation that makes a
    module invalid converts."""
    counts, failures = fuzz_tool.run(150, seed=1, jobs=2)
    assert sum(sum(v for k, v in c.items() if k.startswith("exit")) for c in counts.values()) > 100
    assert not failures, [(kind, name, outcome, status, err) for kind, name, outcome, status, err, _ in
                          failures[:5]]
