"""GPT-2 (12 layers, width 256, from `transformers`) through the whole system, each stage beside
eager PyTorch's training step on the CPU.

    .venv/bin/python bench/models.py [--steps 20] [--batch 4] [--tokens 64] [--rounds 3]

Printed, each as a time and as a ratio to the eager step (same model, AdamW, batch):
- capture: tracing one training step on the lazy device (forward, backward, optimizer; the step the
  program is built from; the optimizer makes its state in it);
- lowering: that step's graph lowered into the torch-dialect module (dump_ir(..., "backend") on the
  step's loss and state just before the step boundary);
- conversion: torch-lumo-opt on the written torch.mlir, as the module runs it;
- steady-state step: a compiled step through vudored on the reference appliance.

Each round is a fresh process (one program per process) with one intra-op thread on both sides, in
which eager and compiled steps alternate; every figure is the median over the rounds.
"""
import argparse
import os
import statistics
import tempfile
import textwrap

from _child import run_child

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

CHILD = textwrap.dedent(r'''
    import copy, json, os, shutil, statistics, subprocess, sys, time
    import torch, torch._lazy.debug
    sys.path.insert(0, {tests!r})
    import vudored
    import training_models as tm

    torch.set_num_threads(1)
    dev = vudored.backend.device({art!r})
    model, (opt_cls, opt_args), _, _ = tm.gpt2_script(layers=12, width=256, heads=4, positions={tokens})
    ids = torch.randint(0, 64, ({batch}, {tokens}), generator=torch.Generator().manual_seed(0))
    eager = copy.deepcopy(model)
    eager_opt = opt_cls(eager.parameters(), **opt_args)
    model.to(dev.torch_device)
    optimizer = opt_cls(model.parameters(), **opt_args)

    traces, lowering = [], []

    def lower():
        state = [loss for loss in captured] + [t for t in train._state().values()]
        start = time.perf_counter()
        torch._lazy.debug.dump_ir(state, "backend")
        return time.perf_counter() - start

    captured = []

    def step(x, y):
        start = time.perf_counter()
        loss = tm.model_step("gpt2", model, optimizer, x, y)
        traces.append(time.perf_counter() - start)
        if len(traces) == 1:  # the step the program is built from
            captured[:] = [loss]
            lowering.extend(lower() for _ in range(3))
        return loss

    train = vudored.step(model, optimizer)(step)
    start = time.perf_counter()
    train(ids, ids)
    first_call = time.perf_counter() - start

    tool = shutil.which("torch-lumo-opt")
    conversion = []
    for _ in range(3):
        start = time.perf_counter()
        subprocess.run([tool, "-refine-types", "-torch-to-lumo-pipeline", "-mlir-print-debuginfo",
                        os.path.join({art!r}, "torch.mlir"), "-o", os.devnull], check=True)
        conversion.append(time.perf_counter() - start)

    def timed(fn, *args):
        start = time.perf_counter()
        fn(*args)
        return time.perf_counter() - start

    # Alternating rounds, the first three left out.
    rounds = [(timed(tm.model_step, "gpt2", eager, eager_opt, ids, ids), timed(train, ids, ids))
              for _ in range({steps} + 3)][3:]
    eager_times, lazy = zip(*rounds)
    result = {{"eager": statistics.median(eager_times), "capture": traces[0],
              "lowering": min(lowering), "conversion": min(conversion),
              "steady": statistics.median(lazy), "first_call": first_call,
              "params": sum(p.numel() for p in eager.parameters())}}
    print("RESULT " + json.dumps(result))
''')


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--steps", type=int, default=20)
    parser.add_argument("--batch", type=int, default=4)
    parser.add_argument("--tokens", type=int, default=64)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    rounds = []
    for _ in range(args.rounds):
        with tempfile.TemporaryDirectory() as art:
            code = CHILD.format(tests=os.path.join(ROOT, "tests", "python"), art=art, steps=args.steps,
                                batch=args.batch, tokens=args.tokens)
            rounds.append(run_child(code, "GPT-2 benchmark failed:\n", cwd=art))
    m = {key: statistics.median(r[key] for r in rounds) for key in rounds[0]}
    eager = m["eager"]
    print(f"GPT-2, 12 layers, width 256, {int(m['params']):,d} parameters, AdamW, batch {args.batch} x "
          f"{args.tokens} tokens; eager PyTorch step on the CPU: {eager * 1e3:.1f} ms")
    for label, key in (("capture per step (lazy device)", "capture"),
                       ("lowering to the torch dialect", "lowering"),
                       ("conversion (torch-lumo-opt)", "conversion"),
                       ("steady-state step (reference appliance)", "steady")):
        print(f"    {label:42s} {m[key] * 1e3:9.1f} ms   {m[key] / eager:6.2f} x eager step")
    print(f"    (first call, trace + compile + first run: {m['first_call']:.2f} s; "
          f"medians of {args.rounds} rounds)")


if __name__ == "__main__":
    main()
