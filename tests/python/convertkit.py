"""Runs PyTorch code three ways for comparison: eagerly on the host, and as one step captured on the
lazy device, converted by torch-lumo-opt and run by lumo_interpreter.

Each run happens in a fresh interpreter (the backend builds one program per process); it executes
PRELUDE, then the scenario, which calls `compare(...)` (or `program_of(...)` and `run_program(...)`)
and `report(...)`.
"""
import os

from conftest import run_python
from stepkit import HELPERS, results_of

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))

PRELUDE = r'''
import json, math, os, sys
import torch, torch._lazy
import torch.nn.functional as F
import orvex_pytorch_lib as ox
import lumo_interpreter as li

# The real tool sits beside the environment's python.
os.environ["PATH"] = os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"]
ox.initialize()
ox.set_artifact_dirs(os.environ["CONVERT_ART"], "")
programs = []
ox.set_callbacks(lambda batch, text: programs.append(text) or True, lambda batch, weights: set())
''' + HELPERS + r'''
def program_of(outputs):
    """The program of a step whose results are marked from outputs() ({name: lazy tensor}, called
    once per step: the first step is traced only, the program is built at the second), with one
    input that gives the batch size."""
    for _ in range(2):
        probe = torch.zeros(1).to("lazy")
        ox.set_parameter_name(probe, "input_probe")
        keep = [ox.mark_output_tensor(probe + 1, "probe")]
        keep += [ox.mark_output_tensor(t, name) for name, t in outputs().items()]
        torch._lazy.mark_step()
    return li.Program(programs[-1])

def run_program(prog, fed={}, **kw):
    """{result name: value} of one run: the inputs in `fed` by name, zeros for the other inputs."""
    args = [fed[a.name] if a.name in fed else torch.zeros(a.shape, dtype=a.dtype) if a.kind == "input"
            else None for a in prog.arguments]
    return {r.name: t for r, t in zip(prog.results, prog.run(args, **kw))}

def const(t, like):
    """A constant for a case: embedded in the program on the lazy device, as it is on the host."""
    return ox.make_constant(t) if like.device.type == "lazy" else t

def with_grads(f, n=None):
    """f's results and the gradients of a weighted sum of them with respect to its first n (all)
    floating-point tensor arguments."""
    def g(*args):
        args = [a.detach().requires_grad_() if isinstance(a, torch.Tensor) and a.is_floating_point()
                and (n is None or i < n) else a for i, a in enumerate(args)]
        ys = f(*args)
        ys = list(ys) if isinstance(ys, (tuple, list)) else [ys]
        loss = sum((y * const(torch.cos(torch.arange(y.numel(), dtype=y.dtype)).reshape(y.shape) + 1.5,
                              y)).sum() for y in ys if y.is_floating_point())
        xs = [a for a in args if isinstance(a, torch.Tensor) and a.requires_grad]
        return ys + list(torch.autograd.grad(loss, xs))
    return g

def outputs(value):
    if isinstance(value, (tuple, list)):
        return [t for v in value for t in outputs(v)]
    return [value]

def compare(cases, rtol=1e-4, atol=1e-5, inputs=False):
    """Runs every case (name, fn, args) eagerly and through one converted program; reports the cases
    whose results differ, with the largest difference. The cases' tensors are constants of the
    program, or with `inputs` inputs of the program fed when it runs (each with a leading batch
    dimension of 1, the probe's batch size)."""
    eager = [outputs(fn(*args)) for _, fn, args in cases]
    fed = {}
    def to_lazy(a, name):
        if not inputs:
            return ox.make_constant(a)
        fed[name] = a[None]
        t = fed[name].to("lazy")
        ox.set_parameter_name(t, name)
        return t[0]
    def traced():
        named = {}
        for k, (name, fn, args) in enumerate(cases):
            lazy = [to_lazy(a, f"input_c{k}_{i}") if isinstance(a, torch.Tensor) else a for i, a in enumerate(args)]
            for j, out in enumerate(outputs(fn(*lazy))):
                # A node of its own for every output: outputs of one node would share its name.
                named[f"c{k}_{j}"] = torch.where(const(torch.tensor(True), out), out, out)
        return named
    prog = program_of(traced)
    got = run_program(prog, fed)
    bad = {}
    if inputs:  # every case tensor is an input the run was given
        names = {a.name for a in prog.arguments if a.kind == "input" and a.used} - {"input_probe"}
        if names != set(fed):
            bad["program inputs"] = sorted(names ^ set(fed))
    for k, (name, fn, args) in enumerate(cases):
        for j, want in enumerate(eager[k]):
            have = got[f"c{k}_{j}"]
            if have.dtype != want.dtype or have.shape != want.shape:
                bad[f"{name}[{j}]"] = f"{have.dtype}{tuple(have.shape)} for {want.dtype}{tuple(want.shape)}"
            elif not torch.allclose(have, want, rtol=rtol, atol=atol, equal_nan=True):
                diff = (have.double() - want.double()).abs().nan_to_num(float("inf")).max().item()
                bad[f"{name}[{j}]"] = diff
    report(bad=bad, cases=len(cases))
'''


def run_scenario(tmp_path, scenario, timeout_env=None):
    """Runs PRELUDE + scenario in a fresh interpreter; returns the merged report(...) values."""
    env = {"CONVERT_ART": str(tmp_path / "artifacts"), "PYTHONPATH": TESTS_DIR}
    proc = run_python(PRELUDE + "\n" + scenario, env=env)
    results = results_of(proc)
    assert results, proc.stdout[-2000:] + proc.stderr[-4000:]
    return results
