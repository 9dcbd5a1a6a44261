"""No Python call may crash or hang the process: every function, method and property of the module
and every lumo operator, called with bad inputs (bad_inputs.py). The cases of a group share one
process; a crash or hang is pinned on the case it stopped, and the group goes on after it."""
import os
import subprocess
import sys

import pytest

import bad_inputs

SCRIPT = os.path.join(os.path.dirname(__file__), "bad_inputs.py")


def run_group(group, cwd):
    """Runs the group's cases from the first one on; returns (count, {case: how it failed})."""
    failures, first, count = {}, 0, None
    while True:
        proc = subprocess.run([sys.executable, SCRIPT, group, str(first)], cwd=cwd,
                              capture_output=True, text=True, timeout=1800)
        started, done = None, set()
        for line in proc.stdout.splitlines():
            word, _, rest = line.partition(" ")
            if word == "COUNT":
                count = int(rest)
            elif word == "START":
                started = rest
            elif word == "DONE":
                done.add(int(rest))
        if proc.returncode == 0:
            return count, failures
        if started is None or int(started.split()[0]) in done:
            pytest.fail(f"group {group} failed outside any case ({proc.returncode}):\n"
                        f"{proc.stderr[-3000:]}")
        index, ident = started.split(" ", 1)
        failures[ident] = f"exit status {proc.returncode}: {proc.stderr.strip()[-600:]}"
        first = int(index) + 1


@pytest.mark.parametrize("group", bad_inputs.GROUPS)
def test_bad_inputs_neither_crash_nor_hang(group, tmp_path):
    count, failures = run_group(group, tmp_path)
    assert count and count > 10, count
    assert not failures, "\n\n".join(f"{case}: {how}" for case, how in failures.items())
