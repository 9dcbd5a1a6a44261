"""Data-store benchmark: file-write throughput and peak host memory of file-backed records.

Run:  make bench
  or  PYTHONPATH=<build dir> .venv/bin/python bench/data_store.py [--count 32] [--mib 64] [--dir D]

(a) Throughput: COUNT tensors of MIB MiB (float32) become lazy tensors with the store enabled and
    background writes on; the time until every data file is written and synced to disk is compared
    with plain sequential writing (and syncing) of the same bytes to the same directory. Target:
    ratio >= 0.8. The better of two rounds counts for each.
(b) Peak resident memory while COUNT tensors are made, moved and dropped one after the other with
    max_bytes_in_memory = 256 MiB and max_async_file_writes = 4, against the bound
    budget + max_async_file_writes x tensor size + C. C covers the tensor the caller holds while it
    waits for a write slot plus 32 MiB of slack. Measured for eager_to_lazy (the store alone) and
    for tensor.to("lazy"), whose bound adds one tensor for the transfer's own copy.

Each measurement runs in a fresh interpreter: the write semaphore is sized once per process. Data
files are written below --dir (default: a temporary directory beside this file's repository) and
removed afterwards.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

MIB = 1 << 20


def rss_mib(key):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(key):
                return int(line.split()[1]) / 1024
    raise RuntimeError(f"{key} not in /proc/self/status")


def setup(data_dir):
    import orvex_pytorch_lib as ox
    ox.initialize()
    ox.set_artifact_dirs(data_dir, data_dir)
    cfg = ox.appliance_file_config
    cfg.enabled = True
    cfg.async_file_write = True
    return ox, cfg


def child_throughput(data_dir, count, mib):
    import torch
    ox, cfg = setup(data_dir)
    numel = mib * MIB // 4
    best_plain = best_store = float("inf")
    for _ in range(2):
        tensors = [torch.full((numel,), float(i)) for i in range(count)]
        os.sync()
        start = time.perf_counter()
        for i, t in enumerate(tensors):
            with open(os.path.join(data_dir, f"plain_{i}.bin"), "wb") as out:
                out.write(t.numpy().data)
        os.sync()
        best_plain = min(best_plain, time.perf_counter() - start)
        for i in range(count):
            os.remove(os.path.join(data_dir, f"plain_{i}.bin"))
        os.sync()

        start = time.perf_counter()
        lazies = [ox.eager_to_lazy(t) for t in tensors]
        for lazy in lazies:
            ox.get_appliance_data(lazy).tensor  # waits for the write
        os.sync()
        best_store = min(best_store, time.perf_counter() - start)
        files = sum(1 for lazy in lazies if ox.get_appliance_data(lazy).filename)
        assert files == count, f"only {files} of {count} records were file-backed"
        del lazies, tensors  # deletes the data files
        os.sync()
    total = count * mib * MIB
    return {"plain_s": best_plain, "store_s": best_store,
            "plain_mib_s": total / MIB / best_plain, "store_mib_s": total / MIB / best_store}


def child_memory(data_dir, count, mib, how):
    import torch
    ox, cfg = setup(data_dir)
    cfg.max_tensor_size = 1 << 40  # only the memory budget sends tensors to files
    cfg.max_bytes_in_memory = 256 * MIB
    cfg.max_async_file_writes = 4
    numel = mib * MIB // 4
    move = ox.eager_to_lazy if how == "eager_to_lazy" else (lambda t: t.to("lazy"))
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # restarts the peak (VmHWM) from the current size
    base = rss_mib("VmRSS:")
    lazies = []
    for i in range(count):
        host = torch.full((numel,), float(i))
        lazies.append(move(host))
        del host
    for lazy in lazies:
        ox.get_appliance_data(lazy).tensor  # every write finished
    peak = rss_mib("VmHWM:") - base
    files = sum(1 for lazy in lazies if ox.get_appliance_data(lazy).filename)
    return {"peak_mib": peak, "files": files, "writes": cfg.max_async_file_writes,
            "budget_mib": cfg.max_bytes_in_memory / MIB}


def run_child(args, *extra):
    proc = subprocess.run([sys.executable, __file__, "--child", *extra, "--dir", args.dir,
                           "--count", str(args.count), "--mib", str(args.mib)],
                          capture_output=True, text=True, timeout=1800)
    if proc.returncode != 0:
        raise SystemExit(f"benchmark child {extra} failed:\n{proc.stdout}\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=32)
    parser.add_argument("--mib", type=int, default=64)
    parser.add_argument("--dir", default=None)
    parser.add_argument("--child", nargs="+", default=None)
    args = parser.parse_args()

    if args.child:
        kind = args.child[0]
        if kind == "throughput":
            result = child_throughput(args.dir, args.count, args.mib)
        else:
            result = child_memory(args.dir, args.count, args.mib, args.child[1])
        print(json.dumps(result))
        return

    total_mib = args.count * args.mib
    parent = os.path.abspath(args.dir or os.path.join(os.path.dirname(__file__), ".."))
    free_mib = shutil.disk_usage(parent).free / MIB
    if free_mib < 2 * total_mib + 1024:
        raise SystemExit(f"data_store bench: needs {2 * total_mib + 1024:.0f} MiB free in "
                         f"{parent}, has {free_mib:.0f} MiB")
    args.dir = tempfile.mkdtemp(prefix="bench_data_store_", dir=parent)
    try:
        print(f"data_store: {args.count} x {args.mib} MiB float32 tensors ({total_mib} MiB), "
              f"files in {args.dir}")
        t = run_child(args, "throughput")
        ratio = t["store_mib_s"] / t["plain_mib_s"]
        print(f"(a) write throughput: store {t['store_mib_s']:.0f} MiB/s ({t['store_s']:.2f} s), "
              f"plain sequential {t['plain_mib_s']:.0f} MiB/s ({t['plain_s']:.2f} s), "
              f"ratio {ratio:.2f} (target >= 0.8: {'met' if ratio >= 0.8 else 'MISSED'})")
        for how in ["eager_to_lazy", "to_lazy"]:
            m = run_child(args, "memory", how)
            # The caller's tensor waiting for a write slot, and 32 MiB of slack; tensor.to("lazy")
            # also holds the transfer's copy of the tensor being moved.
            slack = args.mib + 32 + (args.mib if how == "to_lazy" else 0)
            bound = m["budget_mib"] + m["writes"] * args.mib + slack
            print(f"(b) peak RSS moving {total_mib} MiB via {how:13s}: {m['peak_mib']:.0f} MiB above "
                  f"start; bound {m['budget_mib']:.0f} + {m['writes']} x {args.mib} + {slack} = "
                  f"{bound:.0f} MiB ({'within' if m['peak_mib'] <= bound else 'ABOVE'}); "
                  f"{m['files']} of {args.count} records file-backed")
    finally:
        shutil.rmtree(args.dir, ignore_errors=True)


if __name__ == "__main__":
    main()
