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


def results_of(proc):
    """The merged report(...) values of a scenario's process."""
    results = {}
    for line in proc.stdout.splitlines():
        if line.startswith("RESULT "):
            results.update(json.loads(line[len("RESULT "):]))
    return results


def install_tool(directory: pathlib.Path, failing=False, name="torch-lumo-opt",
                 text=None) -> pathlib.Path:
    directory.mkdir(parents=True, exist_ok=True)
    tool = directory / name
    tool.write_text(text or (FAILING_TOOL if failing else STAND_IN_TOOL))
    tool.chmod(tool.stat().st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
    return tool


def run_steps(tmp_path, scenario, failing_tool=False, art=None, data="", env=None, check=True,
              tools=None):
    """Runs PRELUDE + scenario with the real conversion tool (the one beside this python), or with
    a stand-in that fails; `tools` maps names to scripts put first on the search path. Returns
    (merged results of report(...), process)."""
    tool_dir = tmp_path / "tools"
    tool_dir.mkdir(parents=True, exist_ok=True)
    if failing_tool:
        install_tool(tool_dir, failing=True)
    for name, text in (tools or {}).items():
        install_tool(tool_dir, name=name, text=text)
    art = str(art if art is not None else tmp_path / "artifacts")
    path = os.pathsep.join([str(tool_dir), os.path.dirname(sys.executable), os.environ.get("PATH", "")])
    full_env = {"PATH": path, "ORVEX_TEST_ART": art, "ORVEX_TEST_DATA": data}
    full_env.update(env or {})
    proc = run_python(PRELUDE + "\n" + scenario, env=full_env, check=check)
    return results_of(proc), proc
