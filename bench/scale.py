"""Scale benchmark: how the compile run and a cached step grow with the number of weights.

    .venv/bin/python bench/scale.py [--sizes 1000 4000 16000] [--steps 3]

A model of N weights (each a float32 vector of 4 elements, named, updated in place from a shared
input and aliased to its update, as the front end drives a training step) runs its placeholder
step, its compile run and a few cached steps. Printed for each N: the compile run's mark_step and a
cached step (trace + mark_step, the median of --steps), each as time per weight. Target: at the
largest N the time per weight is at most 1.25x the time per weight at the smallest N.

With --instructions the cached step's mark_step also runs under valgrind's callgrind for the two
smallest sizes, counting the instructions executed inside LTC's sync (our executor, lowering
lookups, execution and the data records included): a count per weight that stays flat while the time
per weight grows says the growth comes from the memory hierarchy (a working set beyond the caches,
the allocator), not from work that grows faster than the model.

Beside it, the same model (without names and aliases) runs on PyTorch's own TorchScript backend
of LTC, the peer: its growth from the smallest to the largest N is printed next to ours, since the
trace and LTC's sync are shared work whose growth this module cannot change. Each size runs --repeat
times, interleaved with the other sizes and the peer, and the fastest run counts: on a shared machine
the noise only ever adds time.

The conversion tool is a pass-through stand-in, so the compile run measures this module's own work
(classification, checks, attribute contract, files, callbacks) and the lowering. Each N runs in a
fresh interpreter, since the backend builds one program per process.
"""
import argparse
import os
import subprocess
import sys
import tempfile
import textwrap

from _child import pass_through_env, run_child

TARGET = 1.25

CHILD = textwrap.dedent(r'''
    import json, os, sys, time
    import torch, torch._lazy
    import orvex_pytorch_lib as ox

    ox.initialize()
    ox.set_artifact_dirs({art!r}, "")
    ox.appliance_file_config.enabled = True
    ox.set_callbacks(lambda batch, text: True, lambda batch, weights: set())
    n = {n}
    names = [f"layer{{i}}.weight" for i in range(n)]
    weights = [torch.full((4,), float(i % 7)).to("lazy") for i in range(n)]
    x_host = torch.randn(8, 4)

    def step():
        t0 = time.perf_counter()
        for name, w in zip(names, weights):
            ox.set_parameter_name(w, name)
        x = x_host.to("lazy")
        ox.set_parameter_name(x, "input_x")
        g = x.mean(0)
        terms = []
        for name, w in zip(names, weights):
            terms.append((w * g).sum())
            w.mul_(0.9).add_(g)
            ox.set_alias(w, name)
        while len(terms) > 1:  # a balanced sum keeps the graph shallow
            terms = [a + b for a, b in zip(terms[::2], terms[1::2])] + terms[len(terms) & ~1:]
        ox.mark_output_tensor(terms[0], "loss")
        t1 = time.perf_counter()
        torch._lazy.mark_step()
        t2 = time.perf_counter()
        return t1 - t0, t2 - t1

    step()                        # placeholder run
    _, compile_run = step()       # compile run
    cached = sorted(sum(step()) for _ in range({steps}))
    print("RESULT " + json.dumps({{"compile_run": compile_run, "cached": cached[len(cached) // 2]}}))
''')

# The same steps on LTC's TorchScript backend.
PEER = textwrap.dedent(r'''
    import json, time
    import torch, torch._lazy, torch._lazy.ts_backend

    torch._lazy.ts_backend.init()
    n = {n}
    weights = [torch.full((4,), float(i % 7)).to("lazy") for i in range(n)]
    x_host = torch.randn(8, 4)

    def step():
        t0 = time.perf_counter()
        g = x_host.to("lazy").mean(0)
        terms = []
        for w in weights:
            terms.append((w * g).sum())
            w.mul_(0.9).add_(g)
        while len(terms) > 1:
            terms = [a + b for a, b in zip(terms[::2], terms[1::2])] + terms[len(terms) & ~1:]
        loss = terms[0]
        t1 = time.perf_counter()
        torch._lazy.mark_step()
        t2 = time.perf_counter()
        return t1 - t0, t2 - t1

    (x_host.to("lazy") * 2).sum()  # the backend's one-off start-up, on a graph of its own
    torch._lazy.mark_step()
    _, compile_run = step()       # the peer has no placeholder run: its first step compiles
    cached = sorted(sum(step()) for _ in range({steps}))
    print("RESULT " + json.dumps({{"compile_run": compile_run, "cached": cached[len(cached) // 2]}}))
''')


def instructions(n, tmp):
    """Instructions executed inside LTC's sync (all four mark_steps of a run with one cached step)."""
    out = os.path.join(tmp, f"callgrind-{n}.out")
    code = CHILD.format(art=os.path.join(tmp, f"art-cg-{n}"), n=n, steps=1)
    proc = subprocess.run(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
         "--toggle-collect=torch::lazy::LazyGraphExecutor::SyncLiveTensorsGraph*",
         sys.executable, "-c", code], capture_output=True, text=True, env=pass_through_env(tmp))
    if proc.returncode != 0:
        sys.exit(f"scale benchmark, {n} weights under callgrind: the run failed\n{proc.stderr[-4000:]}")
    collected = [l for l in proc.stderr.splitlines() if "Collected :" in l][-1]
    return int(collected.split(":")[-1].strip())


def run(n, steps, tmp, peer=False):
    code = (PEER if peer else CHILD).format(art=os.path.join(tmp, f"art-{n}"), n=n, steps=steps)
    who = "the TorchScript peer" if peer else "the run"
    return run_child(code, f"scale benchmark, {n} weights: {who} failed\n", env=pass_through_env(tmp))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 4000, 16000])
    parser.add_argument("--steps", type=int, default=3)
    parser.add_argument("--repeat", type=int, default=2,
                        help="runs of each size; the fastest counts")
    parser.add_argument("--instructions", action="store_true",
                        help="also count the instructions of the sync under callgrind (slow)")
    args = parser.parse_args()
    kinds = ("compile_run", "cached")
    best = {who: {n: {k: float("inf") for k in kinds} for n in args.sizes} for who in ("ours", "peer")}
    with tempfile.TemporaryDirectory() as tmp:
        for _ in range(args.repeat):
            for n in args.sizes:
                for who in best:
                    result = run(n, args.steps, tmp, peer=who == "peer")
                    for k in kinds:
                        best[who][n][k] = min(best[who][n][k], result[k])
        if args.instructions:
            a, b = sorted(args.sizes)[:2]
            counts = {n: instructions(n, tmp) for n in (a, b)}
    small, large = min(args.sizes), max(args.sizes)
    for kind, label in [("compile_run", "compile run"), ("cached", "cached step")]:
        ratios = {}
        for who in best:
            per_weight = {n: r[kind] / n for n, r in best[who].items()}
            ratios[who] = per_weight[large] / per_weight[small]
            figures = ", ".join(f"{n}: {per_weight[n] * 1e6:.1f} us" for n in sorted(per_weight))
            if who == "ours":
                print(f"scale, {label} per weight: {figures}; {large} vs {small}: ratio "
                      f"{ratios[who]:.2f} (target <= {TARGET}: "
                      f"{'met' if ratios[who] <= TARGET else 'MISSED'})")
            else:
                print(f"scale, {label} per weight, TorchScript peer: {figures}; "
                      f"{large} vs {small}: ratio {ratios[who]:.2f}")
        print(f"scale, {label}: our growth / the peer's growth: "
              f"{ratios['ours'] / ratios['peer']:.2f}")
    if args.instructions:
        per = {n: c / n for n, c in counts.items()}
        print(f"scale, instructions per weight in LTC's sync (4 steps): "
              f"{a}: {per[a]:,.0f}, {b}: {per[b]:,.0f}; ratio {per[b] / per[a]:.2f}")


if __name__ == "__main__":
    main()
