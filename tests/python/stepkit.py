"""Runs training steps in a fresh interpreter: the backend compiles one program per process.

A scenario is Python code run after PRELUDE; it calls report(...) to hand results back.
"""
import json
import os
import pathlib
import stat
import sys

from conftest import run_python

STAND_IN_TOOL = """#!/bin/sh
# Stand-in for the conversion tool (re-running a printed command line): passes the module through
# under a recognisable header.
echo "// lumo stand-in: $*"
cat
"""

FAILING_TOOL = """#!/bin/sh
echo "stand-in tool failure" >&2
exit 3
"""

PRELUDE = r'''
import json, os, sys
import torch, torch._lazy
import orvex_pytorch_lib as ox

ox.initialize()
ART = os.environ["ORVEX_TEST_ART"]
ox.set_artifact_dirs(ART, os.environ.get("ORVEX_TEST_DATA", ""))
ox.appliance_file_config.enabled = True
calls = []
SKIP = set()
COMPILE_RESULT = True
EXECUTE_RESULT = None

def compile_cb(batch, text):
    calls.append({"kind": "compile", "batch": batch, "text": text})
    return COMPILE_RESULT

def execute_cb(batch, weights):
    calls.append({"kind": "execute", "batch": batch, "weights": [w.name for w in weights],
                  "has_tensor": [w.has_tensor for w in weights]})
    return SKIP if EXECUTE_RESULT is None else EXECUTE_RESULT

ox.set_callbacks(compile_cb, execute_cb)
'''

# Shared by every scenario prelude: results go back as RESULT lines of JSON.
HELPERS = r'''
import json

def report(**values):
    print("RESULT " + json.dumps(values), flush=True)

def error_of(fn):
    try:
        fn()
    except Exception as e:
        return type(e).__name__ + ": " + str(e)
    return None
'''
PRELUDE += HELPERS


# A step scenario's model: one weight updated in place, inputs named "input...", a loss output;
# step(...) runs one step, second_step_error(...) the compile run and says how it failed.
MODEL = r'''
torch.manual_seed(0)
w = torch.randn(4, 3).to("lazy")

def step(batches=(2,), weight_name="w", alias=True, loss_name="loss", input_prefix="input_x",
         extra=None):
    ox.set_parameter_name(w, weight_name)
    loss = None
    xs = []
    for k, batch in enumerate(batches):
        shape = batch if isinstance(batch, tuple) else (batch, 4)
        x = torch.randn(shape).to("lazy")
        if input_prefix is not None:
            ox.set_parameter_name(x, f"{input_prefix}{k}")
        xs.append(x)
        term = (x.reshape(-1, 4) @ w).relu().sum() if x.dim() else (x * w).sum()
        loss = term if loss is None else loss + term
    w.sub_(0.1 * w)
    if alias:
        ox.set_alias(w, weight_name)
    ox.mark_output_tensor(loss, loss_name)
    if extra:
        extra(xs, loss)
    torch._lazy.mark_step()
    return loss

keep = []   # marked tensors must stay alive until the step boundary, as in a real step closure

def compiled_text():
    return open(os.path.join(ART, "torch.mlir")).read()

def second_step_error(**kw):
    step(**kw)
    return error_of(lambda: step(**kw))

def alias_twice(xs, loss):
    other = loss * 1
    keep.append(other)
    ox.set_alias(other, "w")

def unnamed_without_data(xs, loss):
    ox.appliance_file_config.enabled = False  # the data of the next tensor moved is dropped
    keep.append(ox.mark_output_tensor(xs[0] * torch.ones(4).to("lazy"), "scaled"))
'''


def results_of(proc):
    """The merged report(...) values of a scenario's process."""
    results = {}
    for line in proc.stdout.splitlines():
        if line.startswith("RESULT "):
            results.update(json.loads(line[len("RESULT "):]))
    return results


def install_tool(directory: pathlib.Path, name="torch-lumo-opt", text=None) -> pathlib.Path:
    """An executable script (the stand-in tool unless `text` is given)."""
    directory.mkdir(parents=True, exist_ok=True)
    tool = directory / name
    tool.write_text(text or STAND_IN_TOOL)
    tool.chmod(tool.stat().st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
    return tool


def run_steps(tmp_path, scenario, art=None, data="", env=None, check=True, tools=None):
    """Runs PRELUDE + scenario with the real conversion tool (the one beside this python); `tools`
    maps names to scripts (None: the stand-in tool) put first on the search path. Returns (merged
    results of report(...), process)."""
    tool_dir = tmp_path / "tools"
    tool_dir.mkdir(parents=True, exist_ok=True)
    for name, text in (tools or {}).items():
        install_tool(tool_dir, name=name, text=text)
    art = str(art if art is not None else tmp_path / "artifacts")
    path = os.pathsep.join([str(tool_dir), os.path.dirname(sys.executable), os.environ.get("PATH", "")])
    full_env = {"PATH": path, "ORVEX_TEST_ART": art, "ORVEX_TEST_DATA": data}
    full_env.update(env or {})
    proc = run_python(PRELUDE + "\n" + scenario, env=full_env, check=check)
    return results_of(proc), proc
