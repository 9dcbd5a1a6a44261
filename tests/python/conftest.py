import atexit
import os
import subprocess
import sys
import textwrap

import pytest
import torch

import orvex_pytorch_lib as ox
from forkserver import ForkServer


@pytest.fixture(scope="session")
def backend():
    """The module with our backend installed as LTC's backend (once per test process)."""
    ox.initialize()
    return ox


@pytest.fixture
def store_config(backend):
    """The live data-store configuration, restored after the test."""
    cfg = backend.appliance_file_config
    saved = cfg.__getstate__()
    yield cfg
    (cfg.enabled, cfg.max_bytes_in_memory, cfg.max_tensor_size, cfg.stream_buffer_size,
     cfg.async_file_write, cfg.max_async_file_writes, cfg.delete_file_on_destruct) = saved


_SERVER = ForkServer()
atexit.register(_SERVER.close)


def run_python(code, env=None, check=True, executable=None):
    """Runs `code` in a fresh interpreter (the module's process-wide state starts anew): a child of
    the fork server, or a new interpreter for another executable or a preloaded library."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    if executable is None and "LD_PRELOAD" not in (env or {}):
        proc = _SERVER.run(textwrap.dedent(code), full_env, timeout=300)
    else:
        proc = subprocess.run(
            [executable or sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True, text=True, env=full_env, timeout=300)
    if check and proc.returncode != 0:
        raise AssertionError(f"subprocess failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc
