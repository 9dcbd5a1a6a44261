"""Step benchmark: what a cached step costs beyond tracing, and where a compile run spends its time.

    .venv/bin/python bench/step.py [--steps 20]

(a) The transformer training script, driven the way the front end drives it (named inputs and
    weights, marked loss, every updated weight aliased): after the compile run, each step is timed
    in two parts, tracing (forward, backward, optimizer, naming and marking) and mark_step on the
    cached program. Printed: (trace + mark_step) / trace. Target: at most 1.25.
(b) The same script with 12 blocks: the compile run's mark_step, with the share spent lowering
    (the same graph lowered through dump_ir(..., "backend") just before), in the conversion tool
    (a pass-through stand-in, timed on the written torch.mlir) and in the rest (attribute contract,
    files, callbacks).

Each part runs in a fresh interpreter, since the backend compiles one program per process.
"""
import argparse
import os
import tempfile
import textwrap

from _child import pass_through_env, run_child

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

CHILD = textwrap.dedent(r'''
    import json, os, subprocess, sys, time
    import torch, torch._lazy, torch._lazy.debug
    import orvex_pytorch_lib as ox
    sys.path.insert(0, os.path.join({root!r}, "tests", "python"))
    from training_models import SCRIPTS, lazy_state, train_step, weights_to_lazy_leaves

    ox.initialize()
    art = {art!r}
    ox.set_artifact_dirs(art, "")
    ox.appliance_file_config.enabled = True
    ox.set_callbacks(lambda b, t: True, lambda b, w: set())
    model, (opt_cls, opt_args), x_host, y_host = SCRIPTS["transformer"](layers={layers}, dropout=0.0)
    weights_to_lazy_leaves(model)
    optimizer = opt_cls(model.parameters(), **opt_args)

    def state():
        return lazy_state(model, optimizer)

    def trace():
        for name, t in state().items():
            ox.set_parameter_name(t, name)
        x = x_host.to("lazy"); ox.set_parameter_name(x, "input_idx")
        y = y_host.to("lazy"); ox.set_parameter_name(y, "input_targets")
        loss = ox.mark_output_tensor(train_step(model, optimizer, x, y), "loss")
        for name, t in state().items():
            ox.set_alias(t, name)
        return loss

    result = {{}}
    loss = trace(); torch._lazy.mark_step()            # placeholder run
    loss = trace()
    if {mode!r} == "compile":
        t0 = time.perf_counter(); torch._lazy.debug.dump_ir([loss], "backend")
        lowering = time.perf_counter() - t0
        t0 = time.perf_counter(); torch._lazy.mark_step(); compile_run = time.perf_counter() - t0
        t0 = time.perf_counter()
        with open(os.path.join(art, "torch.mlir")) as f:
            subprocess.run(["torch-lumo-opt"], stdin=f, stdout=subprocess.DEVNULL, check=True)
        conversion = time.perf_counter() - t0
        result.update(compile_run=compile_run, lowering=lowering, conversion=conversion,
                      module_bytes=os.path.getsize(os.path.join(art, "torch.mlir")))
    else:
        torch._lazy.mark_step()                         # compile run
        traces, steps = [], []
        for _ in range({steps}):
            t0 = time.perf_counter(); loss = trace(); t1 = time.perf_counter()
            torch._lazy.mark_step(); t2 = time.perf_counter()
            traces.append(t1 - t0); steps.append(t2 - t0)
        result.update(trace=sorted(traces)[len(traces) // 2], step=sorted(steps)[len(steps) // 2])
    print("RESULT " + json.dumps(result))
''')

def run(mode, layers, steps, tmp):
    art = os.path.join(tmp, f"art-{mode}-{layers}")
    code = CHILD.format(root=ROOT, art=art, layers=layers, mode=mode, steps=steps)
    return run_child(code, env=pass_through_env(tmp))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, default=20)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        cached = run("cached", 1, args.steps, tmp)
        ratio = cached["step"] / cached["trace"]
        print(f"steady-state step, transformer (1 block): trace {cached['trace'] * 1e3:.1f} ms, "
              f"trace + mark_step {cached['step'] * 1e3:.1f} ms, ratio {ratio:.2f} (target <= 1.25)")
        big = run("compile", 12, 0, tmp)
        total = big["compile_run"]
        rest = max(total - big["lowering"] - big["conversion"], 0.0)
        print(f"compile run, transformer (12 blocks): {total * 1e3:.0f} ms for a "
              f"{big['module_bytes'] / 1e6:.1f} MB module: lowering {big['lowering'] / total:.0%}, "
              f"conversion {big['conversion'] / total:.0%}, sync collection, attribute contract, files and "
              f"callbacks {rest / total:.0%}")


if __name__ == "__main__":
    main()
