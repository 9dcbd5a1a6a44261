"""End-to-end benchmark: training steps through the front end and the reference appliance.

    .venv/bin/python bench/e2e.py [--steps 40]

(a) Steady-state step time through vudored (the compiled step, the reference appliance running the
    lumo program) as a ratio to eager PyTorch on the CPU, same model, optimizer and batch: the MLP
    script at batch 256 and the transformer script with 4 blocks. Target: at most 1.2.
(b) Host time per steady-state step outside the appliance's run (the front end's own work:
    argument checks, feeding the appliance, handing back outputs), for the transformer with 1 and
    with 12 blocks, as a share of the eager step time of the same model (target: at most 10%), and
    how it grows from 1 to 12 blocks against how the model grows (target: less). Beside it, the
    reference appliance's own work around the program run: keeping the weights (each run's updates
    replace them, one Python object per weight) and checking the inputs.

Each configuration runs in a fresh interpreter (one program per process); eager and lazy steps
alternate in rounds and each side keeps its median, so both see the same machine load.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import textwrap

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

CHILD = textwrap.dedent(r'''
    import copy, json, statistics, sys, time
    import torch
    sys.path.insert(0, {tests!r})
    import vudored
    from training_models import SCRIPTS, loss_fn

    torch.set_num_threads(1)
    dev = vudored.backend.device({art!r})
    model, (opt_cls, opt_args), x, y = SCRIPTS[{script!r}](**{kwargs!r})
    if {batch!r}:
        x, y = torch.randn({batch!r}, x.shape[1]), torch.randint(0, 10, ({batch!r},))
    eager = copy.deepcopy(model)
    model.to(dev.torch_device)
    optimizer = opt_cls(model.parameters(), **opt_args)
    eager_opt = opt_cls(eager.parameters(), **opt_args)

    def step(net, opt, x, y):
        opt.zero_grad()
        loss = loss_fn(net(x), y)
        loss.backward()
        opt.step()
        return loss

    lazy_step = vudored.step(model, optimizer)(lambda x, y: step(model, optimizer, x, y))
    lazy_step(x, y)  # compiles
    appliance = dev.appliance

    def timed(obj, seconds):
        run = obj.run
        def timed_run(*args):
            start = time.perf_counter()
            out = run(*args)
            seconds.append(time.perf_counter() - start)
            return out
        return timed_run
    appliance_seconds, program_seconds = [], []
    appliance.run = timed(appliance, appliance_seconds)
    program = appliance.program
    appliance.program = type("Timed", (), {{"run": staticmethod(timed(program, program_seconds))}})()
    lazy, eager_times, host, bookkeeping = [], [], [], []
    for i in range({steps} + 5):
        start = time.perf_counter()
        step(eager, eager_opt, x, y)
        t_eager = time.perf_counter() - start
        start = time.perf_counter()
        lazy_step(x, y)
        t_lazy = time.perf_counter() - start
        if i >= 5:
            eager_times.append(t_eager)
            lazy.append(t_lazy)
            host.append(t_lazy - appliance_seconds[-1])
            bookkeeping.append(appliance_seconds[-1] - program_seconds[-1])
    params = sum(p.numel() for p in eager.parameters())
    print(json.dumps({{"lazy": statistics.median(lazy), "eager": statistics.median(eager_times),
                      "host": statistics.median(host), "bookkeeping": statistics.median(bookkeeping),
                      "params": params}}))
''')


def measure(script, steps, kwargs=None, batch=None):
    with tempfile.TemporaryDirectory() as art:
        code = CHILD.format(tests=os.path.join(ROOT, "tests", "python"), art=art, script=script,
                            kwargs=kwargs or {}, batch=batch, steps=steps)
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if proc.returncode != 0:
        sys.exit(f"{script} {kwargs or ''} failed:\n{proc.stderr[-4000:]}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--steps", type=int, default=40)
    args = parser.parse_args()
    print("(a) steady-state step time, vudored + reference appliance / eager PyTorch (target <= 1.2)")
    for label, script, kwargs, batch in (("MLP, batch 256", "mlp", None, 256),
                                         ("transformer, 4 blocks", "transformer",
                                          {"layers": 4, "dropout": 0.0}, None)):
        m = measure(script, args.steps, kwargs, batch)
        print(f"    {label:24s} vudored {m['lazy'] * 1e3:8.3f} ms   eager {m['eager'] * 1e3:8.3f} ms   "
              f"ratio {m['lazy'] / m['eager']:.3f}")
    print("(b) host time per steady-state step outside the appliance's run (targets: <= 10% of eager, "
          "growing less than the model);\n    beside it the reference appliance's own bookkeeping around "
          "the program run (weight store, input checks)")
    small = measure("transformer", args.steps, {"layers": 1, "dropout": 0.0})
    large = measure("transformer", args.steps, {"layers": 12, "dropout": 0.0})
    for label, m in (("1 block", small), ("12 blocks", large)):
        print(f"    {label:10s} host {m['host'] * 1e6:7.1f} us   eager step {m['eager'] * 1e3:7.3f} ms   "
              f"share {m['host'] / m['eager'] * 100:5.2f}%   appliance bookkeeping "
              f"{m['bookkeeping'] * 1e6:7.1f} us   parameters {m['params']:,d}")
    print(f"    growth 1 -> 12 blocks: host time x{large['host'] / small['host']:.2f}, appliance bookkeeping "
          f"x{large['bookkeeping'] / small['bookkeeping']:.2f}, eager step x{large['eager'] / small['eager']:.2f}, "
          f"parameters x{large['params'] / small['params']:.2f}")


if __name__ == "__main__":
    main()
