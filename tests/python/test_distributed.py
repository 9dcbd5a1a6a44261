"""Data-parallel training on two processes (gloo over 127.0.0.1): each replica trains on half of every
batch, the gradients averaged inside the program; compared with eager PyTorch (replicas.py)."""
import json
import os
import socket
import subprocess
import sys

import pytest

from conftest import run_python

HERE = os.path.dirname(os.path.abspath(__file__))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def two_replicas(tmp_path, name, steps=5, torchrun=False, timeout=60):
    out = tmp_path / "result.json"
    port = free_port()
    if torchrun:
        proc = subprocess.run([sys.executable, "-m", "torch.distributed.run", "--nproc-per-node", "2",
                               "--master-addr", "127.0.0.1", "--master-port", str(port),
                               os.path.join(HERE, "replicas.py"), name, str(steps), str(out)],
                              capture_output=True, text=True, timeout=300)
        assert proc.returncode == 0, proc.stdout + proc.stderr
    else:
        # The scenario process forks its peer: rank 0 and rank 1 of a group on 127.0.0.1.
        run_python(f"""
            import os, sys, traceback
            sys.path.insert(0, {HERE!r})
            peer = os.fork()
            os.environ["RANK"] = "1" if peer == 0 else "0"
            import replicas
            try:
                replicas.main({name!r}, {steps}, {str(out)!r}, timeout={timeout})
            except BaseException:
                traceback.print_exc()
                if peer == 0:
                    os._exit(1)
                raise
            if peer == 0:
                os._exit(0)
            os.waitpid(peer, 0)
            """, env={"MASTER_ADDR": "127.0.0.1", "MASTER_PORT": str(port), "WORLD_SIZE": "2"})
    return json.loads(out.read_text())


@pytest.mark.parametrize("name,torchrun", [("mlp", True), ("cnn", False), ("gpt2", False)])
def test_two_replicas_train_as_eager(tmp_path, name, torchrun):
    result = two_replicas(tmp_path, name, torchrun=torchrun)
    assert "error" not in result, result
    assert result["differ"] == [], "the replicas' weights differ"
    assert result["worst"] < 1e-4, result


def test_replica_failures_are_clear(tmp_path):
    mismatch = two_replicas(tmp_path, "mismatch", steps=2)
    assert mismatch["error"].startswith("ApplianceError: The program of rank 1 differs from the program "
                                        "of rank 0: rank 0 has weight 'fc1.weight' float32 [128, 64], "
                                        "rank 1 has weight 'fc1.weight' float32 [256, 64]"), mismatch
    # Fused and unfused kernels round differently: replicas on different plans are refused.
    unfused = two_replicas(tmp_path, "unfused", steps=1)
    assert unfused["error"].startswith("ApplianceError: Rank 1 would run the program unfused, rank 0 with "), unfused
    assert "LUMO_FUSION=0 for every process" in unfused["error"], unfused
    killed = two_replicas(tmp_path, "kill", timeout=20)
    assert killed["error"].startswith("ApplianceError: Rank 0: all-reduce"), killed
    assert "A peer process stopped" in killed["error"] and killed["seconds"] < 10, killed
    hung = two_replicas(tmp_path, "hang", timeout=3)
    assert hung["error"].startswith("ApplianceError: Rank 0: all-reduce") and 2.5 < hung["seconds"] < 10, hung
