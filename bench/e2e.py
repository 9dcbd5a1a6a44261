"""End-to-end benchmark: training steps through the front end and the reference appliance.

    .venv/bin/python bench/e2e.py [--steps 40]

(a) Steady-state step time through vudored (the compiled step, the reference appliance running the
    lumo program) as a ratio to eager PyTorch on the CPU, same model, optimizer and batch: the MLP
    script at batch 256 and the transformer script with 4 blocks. Target: at most 1.2.
(b) Host time per steady-state step outside the appliance's run (the front end's own work:
    argument checks, feeding the appliance, handing back outputs), for the transformer with 1 and
    with 12 blocks, as a share of the eager step time of the same model (target: at most 10%), and
    how it grows from 1 to 12 blocks against how the model grows (target: less). Beside it, the
    reference appliance's own work around the program run (mapping and checking the inputs, naming
    the outputs; the weights stay in the interpreter): as measured in the steps, and alone, around a
    stand-in for the interpreter that returns at once (free of the cache misses a large run leaves
    behind); and the interpreter call itself both ways on the same program and batch: all
    arguments as a list with the weights' updates handed back (Program.run, then replacing the
    weights in Python) against the resident weights (State.run).

(c) The transformer script (4 blocks) with AdamW and a cosine learning-rate schedule: the
    steady-state step right after the scheduler changed the learning rate, as a ratio to the step
    when nothing changed (the same script without the schedule). The hyperparameters are an input
    of the program, read from the param groups before each run; that must cost nothing visible
    (target: at most 1.05). The two kinds of step alternate in one process (the scheduler steps
    after every other call), --rounds processes, and the ratio is that of the medians.

Each configuration runs in a fresh interpreter (one program per process); eager and lazy steps
alternate in rounds and each side keeps its median, so both see the same machine load.
"""
import argparse
import os
import statistics
import tempfile
import textwrap

from _child import run_child

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

CHILD = textwrap.dedent(r'''
    import copy, json, statistics, sys, time, timeit
    import torch
    sys.path.insert(0, {tests!r})
    import vudored
    from training_models import SCRIPTS, train_step as step

    torch.set_num_threads(1)
    dev = vudored.backend.device({art!r})
    model, (opt_cls, opt_args), x, y = SCRIPTS[{script!r}](**{kwargs!r})
    if {batch!r}:
        x, y = torch.randn({batch!r}, x.shape[1]), torch.randint(0, 10, ({batch!r},))
    eager = copy.deepcopy(model)
    model.to(dev.torch_device)
    optimizer = opt_cls(model.parameters(), **opt_args)
    eager_opt = opt_cls(eager.parameters(), **opt_args)

    lazy_step = vudored.step(model, optimizer)(lambda x, y: step(model, optimizer, x, y))
    lazy_step(x, y)  # compiles
    appliance = dev.appliance

    fed = {{}}  # the inputs of the last run, as the front end hands them to the appliance

    def timed(obj, seconds):
        run = obj.run
        def timed_run(*args):
            if isinstance(args[0], dict):
                fed.update(args[0])
            start = time.perf_counter()
            out = run(*args)
            seconds.append(time.perf_counter() - start)
            return out
        return timed_run
    appliance_seconds, program_seconds = [], []
    appliance.run = timed(appliance, appliance_seconds)
    program, state = appliance.program, appliance.state
    appliance.state = type("Timed", (), {{"run": staticmethod(timed(state, program_seconds))}})()
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

    # The interpreter call both ways, alternating, on the same program and batch.
    inputs = [fed.get(a.name) for a in program.inputs]
    args = [None] * len(program.arguments)
    for a in program.arguments:
        args[a.index] = state.read(a.name) if a.kind == "weight" else None
    for a, value in zip(program.inputs, inputs):
        args[a.index] = value
    updates = [(a.aliasing_output, a.index) for a in program.arguments
               if a.kind == "weight" and a.aliasing_output is not None]
    listed, resident = [], []
    for i in range({steps} + 5):
        start = time.perf_counter()
        results = program.run(args)
        for result, argument in updates:
            args[argument] = results[result]
        t_listed = time.perf_counter() - start
        start = time.perf_counter()
        state.run(inputs)
        t_resident = time.perf_counter() - start
        if i >= 5:
            listed.append(t_listed)
            resident.append(t_resident)

    # The appliance's own work alone: around an interpreter that returns at once.
    outputs = state.run(inputs)
    del appliance.run
    appliance.state = type("Instant", (), {{"run": staticmethod(lambda values: outputs)}})()
    alone = min(timeit.repeat(lambda: appliance.run(fed), number=200, repeat=5)) / 200
    result = {{"lazy": statistics.median(lazy), "eager": statistics.median(eager_times),
              "host": statistics.median(host), "bookkeeping": statistics.median(bookkeeping),
              "alone": alone, "listed": statistics.median(listed), "resident": statistics.median(resident),
              "arguments": len(program.arguments), "params": params}}
    print("RESULT " + json.dumps(result))
''')


SCHEDULE_CHILD = textwrap.dedent(r'''
    import json, statistics, sys, time
    import torch
    sys.path.insert(0, {tests!r})
    import vudored
    from training_models import SCRIPTS, train_step as step

    torch.set_num_threads(1)
    dev = vudored.backend.device({art!r})
    model, _, x, y = SCRIPTS["transformer"](layers=4, dropout=0.0)
    model.to(dev.torch_device)
    optimizer = torch.optim.AdamW(model.parameters(), lr=1e-3, weight_decay=0.01)
    scheduler = torch.optim.lr_scheduler.CosineAnnealingLR(optimizer, T_max={steps})
    lazy_step = vudored.step(model, optimizer)(lambda x, y: step(model, optimizer, x, y))
    lazy_step(x, y)  # compiles
    changed, unchanged = [], []
    for i in range({steps} + 10):
        if i % 2:
            scheduler.step()  # the next step reads a new learning rate
        start = time.perf_counter()
        lazy_step(x, y)
        elapsed = time.perf_counter() - start
        if i >= 10:
            (changed if i % 2 else unchanged).append(elapsed)
    print("RESULT " + json.dumps({{"changed": statistics.median(changed),
                                  "unchanged": statistics.median(unchanged),
                                  "lr": optimizer.param_groups[0]["lr"]}}))
''')


def measure_schedule(steps):
    with tempfile.TemporaryDirectory() as art:
        code = SCHEDULE_CHILD.format(tests=os.path.join(ROOT, "tests", "python"), art=art, steps=steps)
        return run_child(code, "transformer with a schedule failed:\n")


def measure(script, steps, kwargs=None, batch=None):
    with tempfile.TemporaryDirectory() as art:
        code = CHILD.format(tests=os.path.join(ROOT, "tests", "python"), art=art, script=script,
                            kwargs=kwargs or {}, batch=batch, steps=steps)
        return run_child(code, f"{script} {kwargs or ''} failed:\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--steps", type=int, default=40)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--only-schedule", action="store_true", help="run part (c) only")
    args = parser.parse_args()
    if args.only_schedule:
        schedule_part(args)
        return
    print("(a) steady-state step time, vudored + reference appliance / eager PyTorch (target <= 1.2)")
    for label, script, kwargs, batch in (("MLP, batch 256", "mlp", None, 256),
                                         ("transformer, 4 blocks", "transformer",
                                          {"layers": 4, "dropout": 0.0}, None)):
        m = measure(script, args.steps, kwargs, batch)
        print(f"    {label:24s} vudored {m['lazy'] * 1e3:8.3f} ms   eager {m['eager'] * 1e3:8.3f} ms   "
              f"ratio {m['lazy'] / m['eager']:.3f}")
    print("(b) host time per steady-state step outside the appliance's run (targets: <= 10% of eager, "
          "growing less than the model);\n    beside it the reference appliance's own work around "
          "the interpreter call, and the call with all arguments as a list against resident weights")
    small = measure("transformer", args.steps, {"layers": 1, "dropout": 0.0})
    large = measure("transformer", args.steps, {"layers": 12, "dropout": 0.0})
    for label, m in (("1 block", small), ("12 blocks", large)):
        print(f"    {label:10s} host {m['host'] * 1e6:7.1f} us   eager step {m['eager'] * 1e3:7.3f} ms   "
              f"share {m['host'] / m['eager'] * 100:5.2f}%   parameters {m['params']:,d}")
        print(f"    {'':10s} appliance around the run: in the steps {m['bookkeeping'] * 1e6:6.1f} us   alone "
              f"{m['alone'] * 1e6:6.2f} us")
        print(f"    {'':10s} interpreter call: list of {m['arguments']} arguments {m['listed'] * 1e3:7.3f} ms   "
              f"resident weights {m['resident'] * 1e3:7.3f} ms   difference "
              f"{(m['listed'] - m['resident']) * 1e6:7.1f} us")
    print(f"    growth 1 -> 12 blocks: host time x{large['host'] / small['host']:.2f}, appliance alone "
          f"x{large['alone'] / small['alone']:.2f}, eager step x{large['eager'] / small['eager']:.2f}, "
          f"parameters x{large['params'] / small['params']:.2f}")
    schedule_part(args)


def schedule_part(args):
    print(f"(c) transformer (4 blocks), AdamW, cosine schedule: steady step after the learning rate "
          f"changed / after nothing changed (target <= 1.05); load average {os.getloadavg()[0]:.2f}")
    rounds = [measure_schedule(max(args.steps, 100)) for _ in range(args.rounds)]
    changed = statistics.median(m["changed"] for m in rounds)
    unchanged = statistics.median(m["unchanged"] for m in rounds)
    ratio = changed / unchanged
    each = ", ".join(f"{m['changed'] / m['unchanged']:.3f}" for m in rounds)
    print(f"    changed {changed * 1e3:8.3f} ms   unchanged {unchanged * 1e3:8.3f} ms   ratio {ratio:.3f}"
          f"   (each round: {each})" + ("   target missed" if ratio > 1.05 else ""))
    print(f"    load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
