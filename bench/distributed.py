"""Data-parallel benchmark: what averaging the gradients over two processes costs.

    .venv/bin/python bench/distributed.py [--repeats 2] [--steps 8]

GPT-2 (12 layers, width 256, transformers' model, random weights) trains through vudored with
batches of B sequences per process, one thread per process:
(a) the median step of 2 processes (torchrun, gloo over 127.0.0.1), each on batches of B, against
    1 process on batches of B; runs interleaved, repeated. Target: at most 1.25 on this machine.
    Beside it, the machine's limit: 2 processes on batches of B that do not all-reduce (the two
    processes share the memory bandwidth and caches of one machine).
(b) collectives per step against the number of 25 MiB buckets the gradients fill. Target: at most that.
(c) bytes all-reduced per step against the bytes of the gradients. Target: 1.0.
"""
import argparse
import json
import math
import os
import subprocess
import sys
import tempfile
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

CHILD = textwrap.dedent(r'''
    import json, os, sys, time
    import torch, torch.distributed as dist
    sys.path.insert(0, os.path.join({root!r}, "tests", "python"))
    import training_models as tm
    import vudored

    torch.set_num_threads(1)
    together = "WORLD_SIZE" in os.environ
    if together:
        dist.init_process_group("gloo")
    rank = dist.get_rank() if together else 0
    dev = vudored.backend.device(os.path.join({tmp!r}, f"{{os.getpid()}}"))
    model, (opt_cls, opt_args), _, _ = tm.gpt2_script(layers=12, width=256, heads=4, positions=64)
    model = model.to(dev.torch_device)
    model.tie_weights()
    opt = opt_cls(model.parameters(), **opt_args)

    @vudored.step(model, opt, process_group=None if {reduce!r} else False)
    def train_step(x):
        opt.zero_grad(set_to_none=True)
        loss = model(input_ids=x, labels=x).loss
        loss.backward()
        opt.step()
        return loss

    g = torch.Generator().manual_seed(rank)
    batches = [torch.randint(0, 64, ({batch}, 64), generator=g) for _ in range({steps} + 1)]
    train_step(batches[0])
    times = []
    for x in batches[1:]:
        t0 = time.perf_counter(); train_step(x); times.append(time.perf_counter() - t0)
    result = dict(step=sorted(times)[len(times) // 2])
    replicas = train_step._replicas
    if replicas is not None:
        result.update(collectives=replicas.collectives / ({steps} + 1), bytes=replicas.bytes_reduced / ({steps} + 1),
                      cap=replicas.bucket_bytes,
                      gradient_bytes=sum(p.numel() * p.element_size() for p in model.parameters()))
    if rank == 0:
        print("RESULT " + json.dumps(result), flush=True)
''')


def run(together, tmp, batch, steps, reduce=True):
    code = CHILD.format(root=ROOT, tmp=tmp, batch=batch, steps=steps, reduce=reduce)
    script = os.path.join(tmp, "child.py")
    with open(script, "w") as f:
        f.write(code)
    command = [sys.executable, script]
    if together:
        command = [sys.executable, "-m", "torch.distributed.run", "--standalone", "--nproc-per-node", "2", script]
    env = dict(os.environ, OMP_NUM_THREADS="1")
    proc = subprocess.run(command, capture_output=True, text=True, env=env, cwd=tmp)
    if proc.returncode != 0:
        sys.exit("a benchmark run failed:\n" + proc.stdout[-3000:] + proc.stderr[-4000:])
    line = [l for l in proc.stdout.splitlines() if l.startswith("RESULT ")][-1]
    return json.loads(line[len("RESULT "):])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--steps", type=int, default=8)
    parser.add_argument("--batch", type=int, default=4)
    args = parser.parse_args()
    print(f"load average before: {os.getloadavg()[0]:.2f} (cores: {os.cpu_count()})")
    alone, together, apart = [], [], []
    with tempfile.TemporaryDirectory(prefix="bench-distributed-") as tmp:
        for _ in range(args.repeats):
            alone.append(run(False, tmp, args.batch, args.steps))
            together.append(run(True, tmp, args.batch, args.steps))
            apart.append(run(True, tmp, args.batch, args.steps, reduce=False))
    print(f"load average after: {os.getloadavg()[0]:.2f}")
    ratios = [t["step"] / a["step"] for a, t in zip(alone, together)]
    limits = [p["step"] / a["step"] for a, p in zip(alone, apart)]
    for a, t, p, r in zip(alone, together, apart, ratios):
        print(f"  1 process: {a['step'] * 1e3:7.1f} ms/step   2 processes: {t['step'] * 1e3:7.1f} ms/step (ratio "
              f"{r:.3f}); 2 processes without all-reduce: {p['step'] * 1e3:7.1f} ms/step")
    ratio = sorted(ratios)[len(ratios) // 2]
    limit = sorted(limits)[len(limits) // 2]
    last = together[-1]
    buckets_needed = math.ceil(last["gradient_bytes"] / last["cap"])
    share = last["bytes"] / last["gradient_bytes"]
    print(f"(a) step of 2 processes x batch {args.batch} / 1 process x batch {args.batch}: {ratio:.3f} "
          f"(target <= 1.25) {'MET' if ratio <= 1.25 else 'MISSED'}; the machine's limit, 2 processes that do not "
          f"all-reduce: {limit:.3f}")
    print(f"(b) collectives per step: {last['collectives']:g}; {last['gradient_bytes'] / 2 ** 20:.1f} MiB of "
          f"gradients fill {buckets_needed} buckets of 25 MiB (target <= {buckets_needed}) "
          f"{'MET' if last['collectives'] <= buckets_needed else 'MISSED'}")
    print(f"(c) bytes all-reduced per step / gradient bytes: {share:.3f} (target 1.0) "
          f"{'MET' if abs(share - 1.0) < 1e-9 else 'MISSED'}")


if __name__ == "__main__":
    main()
