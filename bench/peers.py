"""Training steps side by side with the peers: eager PyTorch, torch.compile (inductor) and vudored on
the reference appliance, on three models.

    .venv/bin/python bench/peers.py [--models mlp cnn gpt2] [--rounds 5] [--block 3] [--warmup 3]

Models (same weights, batches and optimizer on every side):
- mlp: 3 hidden Linear(1024) + ReLU, a 10-class head, batch 256, AdamW (lr 1e-4);
- cnn: the ResNet-style CNN of the tests at width 32, batch 32 x 3 x 32 x 32, SGD with momentum 0.9;
- gpt2: GPT-2 from `transformers`, 12 layers, width 256, 4 heads, batch 8 x 128 tokens, AdamW.

Each side runs in a process of its own (one program per process), started one after the other:
- first call: the first training step of a fresh process, model already built (eager: creating the
  optimizer state included; torch.compile: its compilation; ours: tracing, compiling and loading the
  program and its first run);
- steady step: after the warm-up steps (ours: until the fused kernels are in use), the sides take
  turns, `--rounds` rounds of `--block` consecutive steps each (a training loop runs its steps back
  to back; turns of single steps measure mostly caches refilled after the other processes);
  printed is the median of each side's steps (15 by default);
- peak RSS: the process's maximum resident set size at the end.
The loss of the last step is compared between the sides. The machine's load average is printed
before and after. Targets: steady step at most torch.compile's and at most 0.8 of eager's; first call
at most 2 x eager's and under 2% of torch.compile's; peak RSS at most eager's.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import textwrap

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

CHILD = textwrap.dedent(r'''
    import json, os, resource, sys, time
    import torch, torch.nn as nn, torch.nn.functional as F
    sys.path.insert(0, {tests!r})
    import training_models as tm

    torch.set_num_threads({threads})
    side, which = {side!r}, {model!r}

    def reply(**fields):
        print(json.dumps(fields), flush=True)

    torch.manual_seed(0)
    if which == "mlp":
        layers = []
        for _ in range(3):
            layers += [nn.Linear(1024, 1024), nn.ReLU()]
        model = nn.Sequential(*layers, nn.Linear(1024, 10))
        opt_cls, opt_args = torch.optim.AdamW, dict(lr=1e-4)
        x, y = torch.randn(256, 1024), torch.randint(0, 10, (256,))
    elif which == "cnn":
        model = tm.ResNet(width=32)
        opt_cls, opt_args = torch.optim.SGD, dict(lr=0.05, momentum=0.9)
        x, y = torch.randn(32, 3, 32, 32), torch.randint(0, 10, (32,))
    else:
        model = tm.gpt2_script(layers=12, width=256, heads=4, positions=128)[0]
        opt_cls, opt_args = torch.optim.AdamW, dict(lr=1e-3)
        x = torch.randint(0, 64, (8, 128), generator=torch.Generator().manual_seed(0))
        y = x

    def step(model, optimizer, x, y):
        optimizer.zero_grad(set_to_none=True)
        if which == "gpt2":
            loss = model(input_ids=x, labels=y).loss
        else:
            loss = F.cross_entropy(model(x), y)
        loss.backward()
        optimizer.step()
        return loss

    if side == "ours":
        import vudored
        dev = vudored.backend.device({art!r})
        model.to(dev.torch_device)
        optimizer = opt_cls(model.parameters(), **opt_args)
        train = vudored.step(model, optimizer)(step)
        x, y = x.to(dev.torch_device), y.to(dev.torch_device)
        call = lambda: train(model, optimizer, x, y)
    else:
        optimizer = opt_cls(model.parameters(), **opt_args)
        call = lambda: step(model, optimizer, x, y)
        if side == "compile":
            call = torch.compile(call)

    start = time.perf_counter()
    loss = float(call().detach())
    first = time.perf_counter() - start
    for _ in range({warmup}):
        loss = float(call().detach())
    switch = 0.0
    if side == "ours":  # the fused kernels compile in the background: steady state is with them
        program = getattr(getattr(dev, "appliance", None), "program", None)
        wait = getattr(program, "wait_for_kernels", None)
        if wait is not None:
            start = time.perf_counter()
            wait(600)
            switch = time.perf_counter() - start
    loss = float(call().detach())  # every side takes as many steps
    reply(first=first, switch=switch)
    for line in sys.stdin:
        words = line.split()
        if not words or words[0] != "steps":
            break
        times = []
        for _ in range(int(words[1])):
            start = time.perf_counter()
            loss = float(call().detach())
            times.append(time.perf_counter() - start)
        reply(steps=times)
    reply(loss=loss, rss=resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
''')

SIDES = ("eager", "compile", "ours")


def load():
    return "load average " + " ".join(f"{v:.2f}" for v in os.getloadavg())


class Side:
    def __init__(self, side, model, args, tmp):
        art = os.path.join(tmp, f"{model}-{side}")
        os.makedirs(art, exist_ok=True)
        code = CHILD.format(tests=os.path.join(ROOT, "tests", "python"), side=side, model=model, art=art,
                            threads=args.threads, warmup=args.warmup)
        env = dict(os.environ, OMP_NUM_THREADS=str(args.threads), TORCHINDUCTOR_CACHE_DIR=os.path.join(tmp, "inductor"))
        self.name = side
        self.proc = subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True, env=env, cwd=art)

    def read(self):
        line = self.proc.stdout.readline()
        if not line:
            self.proc.wait()
            sys.exit(f"the {self.name} side failed (exit {self.proc.returncode})")
        return json.loads(line)

    def send(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()


def measure(model, args, tmp):
    sides, started = {}, {}
    names = [name for name in SIDES if name in args.sides]
    for name in names:  # one at a time: a compiling side must not slow another's first call
        sides[name] = Side(name, model, args, tmp)
        started[name] = sides[name].read()
    steps = {name: [] for name in names}
    for _ in range(args.rounds):
        for name in names:
            sides[name].send(f"steps {args.block}")
            steps[name].extend(sides[name].read()["steps"])
    end = {}
    for name, side in sides.items():
        side.send("end")
        end[name] = side.read()
        side.proc.wait()
    return {name: dict(started[name], steady=statistics.median(steps[name]), **end[name]) for name in names}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--models", nargs="+", default=["mlp", "cnn", "gpt2"], choices=["mlp", "cnn", "gpt2"])
    parser.add_argument("--rounds", type=int, default=5, help="turns of each side in the steady phase")
    parser.add_argument("--block", type=int, default=3, help="consecutive steps per turn (all timed)")
    parser.add_argument("--warmup", type=int, default=3)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--sides", nargs="+", default=list(SIDES), choices=SIDES,
                        help="for a quick look: the targets are printed only with all three")
    args = parser.parse_args()
    print(f"{args.threads} threads per side; {load()}")
    print(f"{'model':6s} {'side':8s} {'first call':>11s} {'steady':>10s} {'peak RSS':>9s} {'last loss':>12s}")
    met = True
    with tempfile.TemporaryDirectory() as tmp:
        for model in args.models:
            r = measure(model, args, tmp)
            for name in r:
                s = r[name]
                extra = f"  (fused kernels in use {s['switch']:.2f} s after the warm-up)" if s["switch"] else ""
                print(f"{model:6s} {name:8s} {s['first']:10.3f}s {s['steady'] * 1e3:8.1f}ms "
                      f"{s['rss'] / 2**20:7.0f}MB {s['loss']:12.6f}{extra}")
            if len(r) < len(SIDES):
                met = False
                continue
            e, c, o = r["eager"], r["compile"], r["ours"]
            checks = [
                ("steady / eager", o["steady"] / e["steady"], 0.8),
                ("steady / compile", o["steady"] / c["steady"], 1.0),
                ("first call / eager first step", o["first"] / e["first"], 2.0),
                ("first call / compile first call", o["first"] / c["first"], 0.02),
                ("peak RSS / eager", o["rss"] / e["rss"], 1.0),
            ]
            for label, ratio, target in checks:
                ok = ratio <= target
                met &= ok
                print(f"       ours {label:32s} {ratio:7.3f}   target <= {target:<5g} {'met' if ok else 'NOT MET'}")
            print(f"       loss difference from eager: ours {abs(o['loss'] - e['loss']):.2e}, "
                  f"compile {abs(c['loss'] - e['loss']):.2e}; {load()}")
    print("all targets met" if met else "some targets not met")


if __name__ == "__main__":
    main()
