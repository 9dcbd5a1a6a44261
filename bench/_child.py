"""What the benchmarks share: a fresh interpreter per measurement (the backend compiles one program
per process) and a pass-through stand-in for the conversion tool. Not a benchmark itself."""
import json
import os
import stat
import subprocess
import sys


def pass_through_env(tmp):
    """The environment with a torch-lumo-opt that passes the module through (`cat`) first on the
    search path, so that a compile run measures the module's own work and not the conversion."""
    tools = os.path.join(tmp, "tools")
    os.makedirs(tools, exist_ok=True)
    tool = os.path.join(tools, "torch-lumo-opt")
    with open(tool, "w") as f:
        f.write("#!/bin/sh\ncat\n")
    os.chmod(tool, os.stat(tool).st_mode | stat.S_IXUSR)
    return dict(os.environ, PATH=tools + os.pathsep + os.environ.get("PATH", ""))


def run_child(code, failure="", env=None, cwd=None):
    """Runs `code` in a fresh interpreter and returns the JSON of its last line that starts with
    "RESULT "; a failed run ends the benchmark with `failure` and the end of its stderr."""
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, cwd=cwd)
    if proc.returncode != 0:
        sys.exit(failure + proc.stderr[-4000:])
    line = [l for l in proc.stdout.splitlines() if l.startswith("RESULT ")][-1]
    return json.loads(line[len("RESULT "):])
