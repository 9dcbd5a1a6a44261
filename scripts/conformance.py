"""Runs PyTorch's operator samples (op_db) through the whole system and writes docs/conformance.md.

    .venv/bin/python scripts/conformance.py            # everything; writes the page, checks the targets
    .venv/bin/python scripts/conformance.py --ops add,sum            # these operators again, merged
    .venv/bin/python scripts/conformance.py --ops add,sum --no-write # totals of these only
    .venv/bin/python scripts/conformance.py --samples 2 1   # fewer samples per operator

Per operator and dtype: up to 5 samples in float32 and 2 in bfloat16, float64, int64 and bool,
forward and (for floating dtypes) gradient, with the samples' tensors as program inputs; the first float32 sample of every
operator again with them embedded as constants of the program (the interpreter folds them at plan
time). Every sample's outcome is kept in docs/conformance.tsv, which the page is made from; a run
with --ops replaces the records of its operators there (with as many samples as the record's own
run had) and remakes the page.
See tests/python/opdb.py for what a sample is and what its outcomes mean.
"""
import argparse
import collections
import concurrent.futures
import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))
import opdb  # noqa: E402

PAGE = os.path.join(ROOT, "docs", "conformance.md")
RECORD = os.path.join(ROOT, "docs", "conformance.tsv")
SAMPLES = {"float32": 5, "bfloat16": 2, "float64": 2, "int64": 2, "bool": 2}
# Share of the samples eager PyTorch runs that must pass, per dtype.
TARGETS = {"float32": 0.95, "bfloat16": 0.90, "float64": 0.90, "int64": 0.90, "bool": 0.90}
FAILURES = ["fallback", "refused", "host read", "error", "wrong", "crash", "hang"]
NEVER = ["wrong", "crash", "hang"]


def run_all(tasks, embed, jobs, chunk=300):
    """Outcomes of every task, `jobs` workers at a time, an operator's samples kept together."""
    chunks = [tasks[i:i + chunk] for i in range(0, len(tasks), chunk)]
    outcomes = {}
    start = time.time()
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        for done in pool.map(lambda c: opdb.run(c, embed=embed), chunks):
            outcomes.update(done)
            print(f"  {len(outcomes)}/{len(tasks)} samples, {time.time() - start:.0f} s", flush=True)
    return outcomes


def read_record():
    """(header {key: value}, {"inputs"|"constants": {id: (status, reason)}}) of docs/conformance.tsv,
    which lists the samples that do not pass: every other sample its run enumerated passed."""
    header, record = {}, {"inputs": {}, "constants": {}}
    if not os.path.exists(RECORD):
        return header, record
    with open(RECORD) as f:
        for line in f:
            line = line.rstrip("\n")
            if line.startswith("#"):
                header.update(kv.split("=", 1) for kv in line[1:].split() if "=" in kv)
            elif line:
                how, tid, status, reason = line.split("\t", 3)
                record[how][tid] = (status, reason)
    samples = {d: int(header["float32" if d == "float32" else "others"]) for d in SAMPLES}
    for how, tasks in (("inputs", opdb.enumerate_tasks(samples, list(SAMPLES), ["fwd", "grad"])),
                       ("constants", opdb.enumerate_tasks(1, ["float32"], ["fwd", "grad"])
                        if header.get("constants") == "yes" else [])):
        for task in tasks:
            record[how].setdefault(opdb.task_id(task), ("pass", ""))
    return header, record


def write_record(header, record):
    with open(RECORD, "w") as f:
        f.write("# " + " ".join(f"{k}={v}" for k, v in header.items()) + "\n")
        f.write("# the samples that do not pass (how their tensors reach the program, sample, outcome, reason);\n"
                "# every other sample the run enumerates passes\n")
        for how in ("inputs", "constants"):
            for tid, (status, reason) in sorted(record[how].items()):
                if status == "pass":
                    continue
                reason = " ".join(reason.replace("\t", " ").split())
                f.write(f"{how}\t{tid}\t{status}\t{reason}\n")


def op_of(tid):
    return tid.rsplit(":", 3)[0]


def totals(outcomes):
    """{(dtype, mode): Counter of statuses}."""
    table = collections.defaultdict(collections.Counter)
    for tid, (status, _) in outcomes.items():
        _, dtype, mode, _ = tid.rsplit(":", 3)
        table[dtype, mode][status] += 1
    return table


def counted(c):
    return sum(n for s, n in c.items() if s != "skip")


def totals_table(table):
    rows = ["| dtype | variant | samples | pass | " + " | ".join(FAILURES) + " |",
            "|---|---|---|---|" + "---|" * len(FAILURES)]
    for dtype in SAMPLES:
        for mode in ("fwd", "grad"):
            c = table.get((dtype, mode))
            if not c:
                continue
            n = counted(c)
            rows.append(f"| {dtype} | {'forward' if mode == 'fwd' else 'gradient'} | {n} | "
                        f"{c['pass']} ({100 * c['pass'] / max(n, 1):.1f}%) | " +
                        " | ".join(str(c[s]) for s in FAILURES) + " |")
    return rows


def target_lines(table):
    """(lines, met) for the targets."""
    lines, met = [], True
    for dtype, share in TARGETS.items():
        for mode in ("fwd", "grad"):
            c = table.get((dtype, mode))
            if not c:
                continue
            n = counted(c)
            got = c["pass"] / max(n, 1)
            ok = got >= share
            met &= ok
            lines.append(f"{dtype} {'forward' if mode == 'fwd' else 'gradient'}: {100 * got:.1f}% pass "
                         f"(target {100 * share:.0f}%) {'met' if ok else 'MISSED'}")
    never = sum(c[s] for c in table.values() for s in NEVER)
    met &= never == 0
    lines.append(f"crashes, hangs and wrong results: {never} (target 0) {'met' if never == 0 else 'MISSED'}")
    return lines, met


def page(outcomes, embedded, minutes, samples):
    import torch
    by_op = collections.defaultdict(list)
    for tid, (status, reason) in outcomes.items():
        op, dtype, mode, index = tid.rsplit(":", 3)
        by_op[op].append((dtype, mode, int(index), status, reason))
    table = totals(outcomes)
    lines = [
        "# Operator conformance",
        "",
        "PyTorch's own operator samples (`op_db` of `torch.testing._internal.common_methods_invocations`,",
        f"PyTorch {torch.__version__}) run through the whole system: captured on the lazy device, lowered,",
        "converted by `torch-lumo-opt` and run by `lumo_interpreter`, compared with eager PyTorch. Up to",
        f"{samples['float32']} samples per operator in float32 and {samples['int64']} in bfloat16, float64,"
        " int64 and bool; forward (the",
        "results) and gradient (the results and the gradients of a weighted sum of the floating results).",
        "The samples' tensors are program inputs. `make conformance` writes this page"
        f" ({minutes} minutes on this",
        "project's 2-core machine) from `docs/conformance.tsv`, every sample's outcome;",
        "`tests/python/test_conformance.py` runs the first float32 sample of every operator and fails",
        "when its outcome differs from the one recorded there.",
        "",
        "Outcomes: *fallback*: no lazy kernel (PyTorch's operator would run on the host); *refused*: the",
        "conversion refuses the program, with its diagnostic; *host read*: the operator reads a lazy value",
        "on the host, which one program per step cannot answer; *error*: another error while capturing",
        "or running; *wrong*: numbers, shapes or dtypes differ from eager; *crash*, *hang*. Samples eager",
        "PyTorch rejects are not counted.",
        "",
        "## Totals",
        "",
        *totals_table(table),
        "",
        "Targets:",
        "",
        *["- " + line for line in target_lines(table)[0]],
        "",
    ]
    if embedded:
        lines += ["The first float32 sample of every operator again, with its tensors embedded as",
                  "constants of the program (the interpreter computes them when it plans the program):", "",
                  *totals_table(totals(embedded)), ""]
    lines += ["## Per operator", "",
              "Samples counted and passing; every sample that does not pass, as dtype, variant and",
              "sample number, with its outcome and reason.", "",
              "| operator | samples | pass | not passing |", "|---|---|---|---|"]
    for op in sorted(by_op):
        rows = sorted(by_op[op], key=lambda r: (list(SAMPLES).index(r[0]), r[1], r[2]))
        counted_rows = [r for r in rows if r[3] != "skip"]
        if not counted_rows:
            continue
        bad = [f"{d} {m} #{i}: {s} — {reason}".replace("|", "\\|").replace("\n", " ").strip()
               for d, m, i, s, reason in counted_rows if s != "pass"]
        npass = sum(r[3] == "pass" for r in counted_rows)
        lines.append(f"| `{op}` | {len(counted_rows)} | {npass} | {'<br>'.join(bad)} |")
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ops", help="comma-separated operator names (default: all); the others' "
                        "outcomes are kept from docs/conformance.tsv")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--no-write", action="store_true", help="print the totals only")
    parser.add_argument("--no-embedded", action="store_true", help="skip the embedded-constants run")
    parser.add_argument("--samples", type=int, nargs=2, metavar=("FLOAT32", "OTHERS"),
                        help="samples per operator in float32 and in the other dtypes (default 5 2, "
                        "or the record's with --ops)")
    args = parser.parse_args()
    ops = set(args.ops.split(",")) if args.ops else None
    header, record = read_record()
    start = time.time()
    samples = dict(SAMPLES)
    if args.samples:
        samples = {d: args.samples[0] if d == "float32" else args.samples[1] for d in SAMPLES}
    elif ops is not None and "float32" in header:
        samples = {d: int(header["float32" if d == "float32" else "others"]) for d in SAMPLES}
    tasks = opdb.enumerate_tasks(samples, list(SAMPLES), ["fwd", "grad"], ops)
    if not tasks:
        parser.error(f"no op_db operator is named {args.ops}")
    print(f"{len(tasks)} samples, program inputs", flush=True)
    outcomes = run_all(tasks, False, args.jobs)
    embedded = {}
    if not args.no_embedded:
        tasks = opdb.enumerate_tasks(1, ["float32"], ["fwd", "grad"], ops)
        print(f"{len(tasks)} float32 samples (the first of each operator), embedded constants", flush=True)
        embedded = run_all(tasks, True, args.jobs)
    print("\n".join(totals_table(totals(outcomes))))
    if not args.no_write:
        if ops is None:
            header = {"float32": samples["float32"], "others": samples["int64"],
                      "constants": "no" if args.no_embedded else "yes",
                      "minutes": round((time.time() - start) / 60)}
            record = {"inputs": outcomes, "constants": embedded}
        else:  # the operators run replace their records
            names = {op_of(t) for t in [*outcomes, *embedded]}
            for how, new in (("inputs", outcomes), ("constants", embedded)):
                if how == "constants" and args.no_embedded:
                    continue
                record[how] = {t: o for t, o in record[how].items() if op_of(t) not in names}
                record[how].update(new)
        write_record(header, record)
        outcomes, embedded = record["inputs"], record["constants"]
        os.makedirs(os.path.dirname(PAGE), exist_ok=True)
        with open(PAGE, "w") as f:
            f.write(page(outcomes, embedded, header.get("minutes", "?"),
                         {"float32": header.get("float32", samples["float32"]),
                          "int64": header.get("others", samples["int64"])}))
        print(f"wrote {os.path.relpath(RECORD, ROOT)} and {os.path.relpath(PAGE, ROOT)}")
    lines, met = target_lines(totals(outcomes))
    print("\n".join(lines))
    if embedded:
        print("embedded constants:")
        print("\n".join(totals_table(totals(embedded))))
        never = sum(c[s] for c in totals(embedded).values() for s in NEVER)
        met &= never == 0
    print("targets met" if met else "targets MISSED")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
