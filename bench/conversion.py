"""Conversion benchmark: torch-lumo-opt on the module of a training step of the 12-block transformer,
against mlir-opt-16 only parsing and printing the same module.

    .venv/bin/python bench/conversion.py [--rounds 7]

The module is captured first (in a fresh interpreter, with a pass-through stand-in for the tool).
Then, alternating, the tool runs as the module runs it (`-refine-types -torch-to-lumo-pipeline
-mlir-print-debuginfo` on the text with "func @", output discarded) and `mlir-opt-16
--allow-unregistered-dialect` parses and prints the torch text; each keeps its best wall time.
Printed: tool / mlir-opt. Target: at most 3.
"""
import argparse
import os
import subprocess
import sys
import tempfile
import textwrap
import time

from _child import pass_through_env

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

CAPTURE = textwrap.dedent(r'''
    import os, sys
    import torch, torch._lazy
    import orvex_pytorch_lib as ox
    sys.path.insert(0, os.path.join({root!r}, "tests", "python"))
    from training_models import SCRIPTS, lazy_state, train_step, weights_to_lazy_leaves

    ox.initialize()
    ox.set_artifact_dirs({art!r}, "")
    ox.set_callbacks(lambda b, t: True, lambda b, w: set())
    model, (opt_cls, opt_args), x_host, y_host = SCRIPTS["transformer"](layers=12)
    weights_to_lazy_leaves(model)
    optimizer = opt_cls(model.parameters(), **opt_args)
    for _ in range(2):
        for name, t in lazy_state(model, optimizer).items():
            ox.set_parameter_name(t, name)
        x = x_host.to("lazy"); ox.set_parameter_name(x, "input_idx")
        y = y_host.to("lazy"); ox.set_parameter_name(y, "input_targets")
        loss = ox.mark_output_tensor(train_step(model, optimizer, x, y), "loss")
        for name, t in lazy_state(model, optimizer).items():
            ox.set_alias(t, name)
        torch._lazy.mark_step()
''')


def capture(work):
    art = os.path.join(work, "art")
    subprocess.run([sys.executable, "-c", CAPTURE.format(root=ROOT, art=art)], env=pass_through_env(work),
                   check=True)
    return os.path.join(art, "torch.mlir")


def best_time(command, stdin_path, rounds):
    best = float("inf")
    for _ in range(rounds):
        with open(stdin_path) as stdin:
            start = time.perf_counter()
            subprocess.run(command, stdin=stdin, stdout=subprocess.DEVNULL, check=True)
            best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    tool = os.path.join(os.path.dirname(sys.executable), "torch-lumo-opt")
    with tempfile.TemporaryDirectory() as work:
        torch_mlir = capture(work)
        with open(torch_mlir) as f:
            text = f.read()
        sed = os.path.join(work, "sed.mlir")
        with open(sed, "w") as f:
            f.write(text.replace("func.func @", "func @"))
        ops = text.count(' = "torch.')
        ours = [tool, "-refine-types", "-torch-to-lumo-pipeline", "-mlir-print-debuginfo"]
        theirs = ["mlir-opt-16", "--allow-unregistered-dialect"]
        tool_best = opt_best = float("inf")
        for _ in range(args.rounds):  # alternate, so both see the same machine load
            tool_best = min(tool_best, best_time(ours, sed, 1))
            opt_best = min(opt_best, best_time(theirs, torch_mlir, 1))
    ratio = tool_best / opt_best
    print(f"conversion: 12-block transformer step, {ops} torch operations, {len(text) / 1e6:.1f} MB "
          f"(load average {os.getloadavg()[0]:.2f})")
    print(f"  torch-lumo-opt {tool_best * 1000:.0f} ms, mlir-opt-16 parse+print {opt_best * 1000:.0f} ms")
    print(f"  ratio {ratio:.2f} (target <= 3): {'met' if ratio <= 3 else 'MISSED'}")


if __name__ == "__main__":
    main()
