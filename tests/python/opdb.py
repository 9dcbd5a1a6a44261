"""PyTorch's operator samples (op_db) through the whole pipeline: capture on the lazy device, the
module, torch-lumo-opt and lumo_interpreter, compared with eager PyTorch.

A sample is one call of an operator on one of its OpInfo sample inputs, forward ("fwd": its results)
or gradient ("grad": its results and the gradients of a weighted sum of its floating results with
respect to its inputs that require grad). Its inputs reach the program as program inputs (the run
path), or with `embed` as constants of the program (the folding path).

The backend builds one program per process, so a worker process captures many samples into one
step. It first captures each sample alone and converts its module with torch-lumo-opt, so that a
refusal is charged to its sample; the samples that convert are captured again, together, into the
step whose program the interpreter runs. The parent (`run`) restarts a worker that dies, charging
the sample it was capturing, and splits a batch whose program fails as a whole until the failing
sample is alone.

Outcomes: pass; "fallback" (no lazy kernel: PyTorch's operator runs on the host); "refused" (the
conversion or the module's checks refuse the program, or the interpreter refuses to plan it);
"error" (any other exception while capturing or running); "host read" (the operator reads a lazy
value on the host, which a one-program step cannot answer); "wrong" (numbers, shapes or dtypes
differ from eager); "crash" (the process died); "hang" (a timeout). Samples eager PyTorch itself
rejects are not counted.
"""
import atexit
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading

from forkserver import ForkServer

DTYPES = ["float32", "bfloat16", "float64", "int64", "bool"]
FLOATING = {"float32", "bfloat16", "float64"}
# (rtol, atol) per dtype; gradients get ten times rtol.
TOLERANCE = {"float32": (1e-4, 1e-5), "float64": (1e-7, 1e-7), "bfloat16": (2e-2, 2e-2)}
TIMEOUT = 300
# Operators whose index result (position in the results, position of `dim` among the sample's
# arguments) is unspecified among equal elements unless the sort is stable: PyTorch's CPU sort
# orders ties by introsort, kthvalue by quickselect. Those indices are compared by the elements
# of the input they select.
TIE_INDICES = {"sort": (1, 0), "argsort": (0, 0), "topk": (1, 1), "kthvalue": (1, 1), "mode": (1, 0)}
# Operators whose results are uninitialised memory or random draws: compared by shape and dtype only.
# (Random operators are also found by running them eagerly with two seeds; a small sample can draw
# the same values twice.)
UNSEEDED = {"empty", "empty_like", "empty_strided", "empty_permuted", "new_empty", "new_empty_strided",
            "bernoulli", "multinomial", "normal", "rand", "rand_like", "randn", "randn_like", "randint",
            "randint_like", "uniform", "cauchy", "exponential", "geometric", "log_normal",
            "nn.functional.dropout", "nn.functional.rrelu"}


def task_id(task):
    op, variant_name, dtype, mode, index = task
    name = op + ("." + variant_name if variant_name else "")
    return f"{name}:{dtype}:{mode}:{index}"


def enumerate_tasks(samples_per_op, dtypes, modes, ops=None):
    """Every (op, variant_test_name, dtype, mode, sample index) to run."""
    import torch
    from torch.testing._internal.common_methods_invocations import op_db
    tasks = []
    for info in op_db:
        full = info.name + ("." + info.variant_test_name if info.variant_test_name else "")
        if ops is not None and full not in ops and info.name not in ops:
            continue
        supported = {str(d).replace("torch.", "") for d in info.supported_dtypes("cpu")}
        for dtype in dtypes:
            if dtype not in supported:
                continue
            n = samples_per_op[dtype] if isinstance(samples_per_op, dict) else samples_per_op
            for mode in modes:
                if mode == "grad" and (dtype not in FLOATING or not info.supports_autograd or
                                       dtype not in {str(d).replace("torch.", "")
                                                     for d in info.supported_backward_dtypes("cpu")}):
                    continue
                tasks += [(info.name, info.variant_test_name, dtype, mode, i) for i in range(n)]
    return tasks


# --- The worker ------------------------------------------------------------------------------------

def _worker(tasks, embed, out):
    import torch
    import torch._lazy
    import orvex_pytorch_lib as ox
    import lumo_interpreter as li
    import torch.testing._internal.common_methods_invocations as samples
    import torch.testing._internal.common_utils as common_utils
    import torch.testing._internal.opinfo.core as opinfo_core
    from torch.testing._internal.common_methods_invocations import op_db

    # Random operators reseed the generators of every device before they run; on the lazy device
    # that is a step boundary. The worker seeds the host's generator itself.
    samples.wrapper_set_seed = lambda op, *args, **kwargs: op(*args, **kwargs)
    # Sample iterators look for the running unittest method by walking the stack with inspect, which
    # costs most of a worker's time; there is none here.
    common_utils.extract_test_fn = opinfo_core.extract_test_fn = lambda: None

    def host_seed(seed):  # torch.manual_seed would also reseed the lazy device
        torch.random.default_generator.manual_seed(seed)

    os.environ["PATH"] = os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"]
    ox.initialize()
    art = tempfile.mkdtemp(prefix="opdb-")
    atexit.register(shutil.rmtree, art, True)
    ox.set_artifact_dirs(art, "")
    programs = []
    ox.set_callbacks(lambda batch, text: programs.append(text) or True, lambda batch, weights: set())
    infos = {(o.name, o.variant_test_name): o for o in op_db}

    def emit(tid, status, reason=""):
        out.write(json.dumps({"id": tid, "status": status, "reason": reason[:300]}) + "\n")
        out.flush()

    def sample_of(task):
        op, variant_name, dtype, mode, index = task
        host_seed(index)
        samples = infos[(op, variant_name)].sample_inputs(
            "cpu", getattr(torch, dtype), requires_grad=mode == "grad")
        for i, s in enumerate(samples):
            if i == index:
                return s
        return None

    def flat(value):
        if isinstance(value, torch.Tensor):
            return [value]
        if isinstance(value, (tuple, list)):
            return [t for v in value for t in flat(v)]
        if hasattr(value, "_fields"):  # named tuples of results
            return [t for v in value for t in flat(v)]
        return [value]

    def weights(y):
        w = torch.cos(torch.arange(y.numel(), dtype=torch.float64)).reshape(y.shape) + 1.5
        return w.to(y.dtype)

    def call(task, sample, lazy, prefix):
        """The sample's results (and gradients), computed eagerly or on the lazy device; the lazy
        sample's tensors are program inputs named prefix_i (or constants)."""
        info = infos[task[:2]]
        leaves = []
        fed = {}

        def convert(a):
            if isinstance(a, torch.Tensor):
                t = a.detach()
                if lazy:
                    if embed:
                        t = ox.make_constant(t)
                    else:
                        name = f"input_{prefix}_{len(fed)}"
                        fed[name] = t[None].clone()
                        b = fed[name].to("lazy")
                        ox.set_parameter_name(b, name)
                        t = b[0]
                else:
                    t = t.clone()
                if a.requires_grad:
                    t = t.detach().requires_grad_()
                    leaves.append(t)
                return t
            if isinstance(a, (list, tuple)):
                return type(a)(convert(x) for x in a)
            if lazy and (isinstance(a, str) and a == "cpu" or isinstance(a, torch.device) and a.type == "cpu"):
                return "lazy"  # the device under test, as the sample's device argument
            return a

        args = convert([sample.input, *sample.args])
        # Factory operators get their device as a keyword: the lazy sample makes its tensors there.
        kwargs = {k: "lazy" if lazy and k == "device" else convert(v) for k, v in sample.kwargs.items()}
        result = flat(info.op(*args, **kwargs))
        if task[3] == "grad":
            ys = [y for y in result if isinstance(y, torch.Tensor) and y.requires_grad]
            if not ys or not leaves:
                return None, fed
            # A complex result enters the loss through both its parts (a loss is real).
            loss = sum(torch.view_as_real(y * (ox.make_constant(weights(y)) if lazy else weights(y))).sum()
                       if y.is_complex() else (y * (ox.make_constant(weights(y)) if lazy else weights(y))).sum()
                       for y in ys)
            grads = torch.autograd.grad(loss, leaves, allow_unused=True)
            result = result + [g for g in grads if g is not None]
        return result, fed

    def close(have, want, mode):
        if not isinstance(want, torch.Tensor):
            return have == want or (want != want and have != have), f"{have!r} for {want!r}"
        if not isinstance(have, torch.Tensor):
            return False, f"{type(have).__name__} for a tensor"
        if have.dtype != want.dtype or have.shape != want.shape:
            return False, f"{have.dtype}{tuple(have.shape)} for {want.dtype}{tuple(want.shape)}"
        # Complex results: the tolerance of their parts' type.
        part = want.real.dtype if want.is_complex() else want.dtype
        rtol, atol = TOLERANCE.get(str(part).replace("torch.", ""), (0, 0))
        if mode == "grad":
            rtol *= 10
        if want.is_complex() or want.is_floating_point():
            ok = torch.allclose(have, want, rtol=rtol, atol=atol, equal_nan=True)
        else:
            ok = torch.equal(have, want)
        if ok:
            return True, ""
        diff = (have.double() - want.double()).abs().nan_to_num(float("inf")).max().item() \
            if not want.is_complex() else (have - want).abs().max().item()
        return False, f"differs by {diff:.3g}"

    def same(have, want, mode, random):
        if random and isinstance(want, torch.Tensor):
            return (isinstance(have, torch.Tensor) and have.shape == want.shape and
                    have.dtype == want.dtype), "shape or dtype of a random result"
        return close(have, want, mode)

    def selected(task, sample, j, have, want):
        """(have, want) as the input elements they select when result j holds indices whose
        order among equal elements is unspecified; unchanged otherwise."""
        which = TIE_INDICES.get(task[0])
        x = sample.input
        if (which is None or which[0] != j or not isinstance(have, torch.Tensor) or
                have.shape != want.shape or have.dtype != want.dtype or x.dim() == 0 or
                sample.kwargs.get("stable") or (task[0] == "sort" and len(sample.args) > 2 and sample.args[2])):
            return have, want
        at = which[1]
        dim = sample.kwargs.get("dim", sample.args[at] if len(sample.args) > at else -1) % x.dim()
        x = x.detach()
        have = have.detach().cpu()
        if want.dim() < x.dim():  # keepdim false
            have, want = have.unsqueeze(dim), want.unsqueeze(dim)
        if ((have < 0) | (have >= x.shape[dim])).any():
            return have, want
        return torch.take_along_dim(x, have, dim), torch.take_along_dim(x, want, dim)

    def classify(e):
        text = str(e)
        if "does not yet support" in text and "host" in text and "_local_scalar_dense" in text:
            return "host read", "reads a value on the host"
        if "does not yet support" in text:
            m = re.search(r"support `(?:aten::)?([^(`]+)", text)
            return "fallback", "no lazy kernel: " + (m.group(1) if m else text.splitlines()[0])
        if "host holds no data" in text or "_local_scalar_dense" in text:
            return "host read", "reads a value on the host"
        return "error", type(e).__name__ + ": " + text.strip().splitlines()[0] if text.strip() else type(e).__name__

    # Phase 1: eager results, one capture per sample and its conversion.
    expected = {}
    for task in tasks:
        tid = task_id(task)
        out.write(json.dumps({"start": tid}) + "\n")
        out.flush()
        try:
            sample = sample_of(task)
            if sample is None:
                emit(tid, "skip", "no such sample")
                continue
            host_seed(100)
            want, _ = call(task, sample, False, "")
            if want is None:
                emit(tid, "skip", "nothing to differentiate")
                continue
            again = sample_of(task)
            host_seed(101)
            again, _ = call(task, again, False, "")
            if any(isinstance(t, torch.Tensor) and t.layout != torch.strided
                   for t in [*want, *flat([sample.input, *sample.args, *sample.kwargs.values()])]):
                emit(tid, "refused", "a sparse tensor: the lazy device holds strided tensors only")
                continue
            random = task[0] in UNSEEDED or any(isinstance(a, torch.Tensor) and isinstance(b, torch.Tensor) and
                         (a.shape != b.shape or not torch.equal(a.detach(), b.detach()))
                         for a, b in zip(want, again))
        except Exception as e:  # eager rejects the sample: not counted
            emit(tid, "skip", "eager: " + str(e).splitlines()[0] if str(e) else "eager")
            continue
        try:
            got, _ = call(task, sample, True, "check")
            # Results on the host (Python values the capture answered, host tensors) are compared now.
            lazy = [isinstance(t, torch.Tensor) and t.device.type == "lazy" for t in got]
            bad = [f"result {j}: {why}" for j, (t, w) in enumerate(zip(got, want)) if not lazy[j]
                   for ok, why in [same(*selected(task, sample, j, t, w), task[3], random)] if not ok]
            if len(got) != len(want) or bad:
                emit(tid, "wrong", bad[0] if bad else f"{len(got)} results for {len(want)}")
                continue
            tensors = [t for t, l in zip(got, lazy) if l]
            if not tensors:
                emit(tid, "pass", "")
                continue
            del got, tensors
        except Exception as e:
            emit(tid, *classify(e))
            continue
        expected[tid] = (task, [t.detach() if l else None for t, l in zip(want, lazy)], random, sample)
    out.write(json.dumps({"phase": "run", "ids": list(expected)}) + "\n")
    out.flush()
    if not expected:
        return

    # Phase 2: the samples that converted, together in the program of one step.
    # The first step boundary is a placeholder run; the second one makes the program.
    wants = list(expected.values())

    def on_host(k, j):
        return wants[k][1][j] is None

    stage = "refused"  # the module's checks or the conversion refuse the program
    try:
        for _ in range(2):
            probe = torch.zeros(1).to("lazy")  # the batch's size, whatever the samples are
            ox.set_parameter_name(probe, "input_probe")
            keep = [ox.mark_output_tensor(probe + 1, "probe")]
            feeds = {"input_probe": torch.zeros(1)}
            for k, (task, _, _, _) in enumerate(expected.values()):
                got, fed = call(task, sample_of(task), True, f"in{k}")
                feeds.update(fed)
                for j, y in enumerate(got):
                    if on_host(k, j):
                        continue
                    # A node of its own for every result: results of one node would share its name.
                    y = torch.where(ox.make_constant(torch.tensor(True)), y, y)
                    keep.append(ox.mark_output_tensor(y, f"r{k}_{j}"))
                del got
            torch._lazy.mark_step()
            del keep
        prog = li.Program(programs[-1])  # the interpreter plans it (and may refuse it)
        stage = "error"
        unfed = [f'"{a.name}"' for a in prog.arguments if a.kind == "input" and a.name not in feeds]
        if unfed:
            raise RuntimeError("program arguments without a value: " + ", ".join(unfed))
        args = [feeds.get(a.name) if a.kind == "input" else None for a in prog.arguments]
        results = {r.name: t for r, t in zip(prog.results, prog.run(args))}
    except Exception as e:
        # Charged to the samples whose results depend on the operations or arguments it names.
        path = os.path.join(art, "torch.mlir")
        ids = list(expected)
        blamed = {}
        for name, reason in (blame(open(path).read(), str(e)) if os.path.exists(path) else {}).items():
            m = re.match(r"r(\d+)_", name)
            if m:
                blamed.setdefault(ids[int(m.group(1))], reason)
        if not blamed:
            raise
        for tid, reason in blamed.items():
            status = stage if stage == "refused" or "has no value" in reason else classify(e)[0]
            out.write(json.dumps({"blame": tid, "status": status, "reason": reason[:300]}) + "\n")
        out.flush()
        sys.exit(3)
    for k, (tid, (task, want, random, sample)) in enumerate(expected.items()):
        bad = ""
        for j, w in enumerate(want):
            if w is None:  # compared while capturing
                continue
            have = results.get(f"r{k}_{j}")
            ok, why = same(*selected(task, sample, j, have, w), task[3], random)
            if not ok:
                bad = f"result {j}: {why}"
                break
        emit(tid, "wrong" if bad else "pass", bad)


def blame(module, message):
    """{result name: reason} for the results of a torch-dialect `module` that depend on what an
    error `message` cites: the operation at a line ("<stdin>:LINE:COL: error: reason", one reason
    per diagnostic), or a function argument by name."""
    lines = module.splitlines()
    head = next((l for l in lines if "func.func @main(" in l), "")
    names = re.findall(r'vx.output_name = "([^"]+)"', head.split(") -> ", 1)[-1])
    causes = []  # (source values, reason)
    first = message.strip().splitlines()[0] if message.strip() else ""
    for m in re.finditer(r'(%arg\d+): [^{]*\{[^}]*vx.input_name = "([^"]+)"', head):
        if f'"{m.group(2)}"' in message:
            causes.append(({m.group(1)}, re.sub(r"\d+", "N", first.split(":")[0]) +
                           f": the argument {re.sub(r'[0-9]+$', 'N', m.group(2))}"))
    for m in re.finditer(r"<stdin>:(\d+):\d+:?( error: [^\n]*)?", message):
        line = lines[int(m.group(1)) - 1] if 0 < int(m.group(1)) <= len(lines) else ""
        d = re.match(r"\s*(%[\w]+)", line)
        if d:
            causes.append(({d.group(1)}, m.group(2)[len(" error: "):] if m.group(2) else first))
    blamed = {}
    for sources, reason in causes:
        used = []
        for line in lines:
            d = re.match(r"\s*(%[\w]+)(?::\d+)? = (.*)", line)
            if d and any(u.split("#")[0] in sources for u in re.findall(r"%[\w#]+", d.group(2))):
                sources.add(d.group(1))
            r = re.match(r"\s*return (.*?) :", line)
            if r:
                used = [u.split("#")[0] in sources for u in r.group(1).split(", ")]
        for name, u in zip(names, used):
            if u:
                blamed.setdefault(name, reason)
    return blamed


def worker_main():
    tasks = [tuple(t) for t in json.loads(sys.stdin.read())]
    _worker(tasks, os.environ.get("OPDB_EMBED") == "1", sys.stdout)


# --- The parent ------------------------------------------------------------------------------------

_servers = threading.local()


def _spawn(tasks, embed):
    """(stdout, exit status or None after TIMEOUT, stderr) of a worker on `tasks`: a child of this
    thread's fork server, which has imported op_db once."""
    env = dict(os.environ, OPDB_EMBED="1" if embed else "0", PYTHONFAULTHANDLER="1")
    env["PYTHONPATH"] = os.path.dirname(os.path.abspath(__file__)) + os.pathsep + env.get("PYTHONPATH", "")
    if not hasattr(_servers, "server"):
        _servers.server = ForkServer(["torch.testing._internal.common_methods_invocations"])
        atexit.register(_servers.server.close)
    try:
        proc = _servers.server.run("import opdb; opdb.worker_main()", env, TIMEOUT, input=json.dumps(tasks))
        return proc.stdout, proc.returncode, proc.stderr
    except subprocess.TimeoutExpired as e:
        return e.stdout or "", None, "timeout"


def run(tasks, embed=False, log=None):
    """Outcomes {id: (status, reason)} of every task, each worker taking the tasks given."""
    by_id = {task_id(t): t for t in tasks}
    outcomes = {}
    pending = [list(tasks)]
    while pending:
        chunk = pending.pop()
        stdout, code, stderr = _spawn(chunk, embed)
        started, ran = None, None
        for line in stdout.splitlines():
            if not line.startswith("{"):
                continue
            rec = json.loads(line)
            if "blame" in rec:
                outcomes[rec["blame"]] = (rec["status"], rec["reason"])
                ran = ran or []
            elif "start" in rec:
                started = rec["start"]
            elif "phase" in rec:
                started, ran = None, rec["ids"]
            else:
                outcomes[rec["id"]] = (rec["status"], rec["reason"])
        missing = [t for t in chunk if task_id(t) not in outcomes]
        if not missing:
            continue
        if code == 3:  # a failure of the program charged to its samples: the others again
            pending.append(missing)
        elif ran is None and started is None:  # died before its first sample
            for t in missing:
                outcomes[task_id(t)] = ("crash" if code and code < 0 else "error", _death(code, stderr))
        elif ran is None:  # died while capturing `started` (or right after it, before the next)
            status = "hang" if code is None else "crash"
            if started in outcomes:
                started = task_id(missing[0])
            outcomes[started] = (status, _death(code, stderr))
            rest = [t for t in missing if task_id(t) != started]
            if rest:
                pending.append(rest)
        elif len(missing) == 1:
            status = "hang" if code is None else "crash" if code < 0 else "error"
            outcomes[task_id(missing[0])] = (status, _death(code, stderr))
        else:
            half = len(missing) // 2
            pending += [missing[:half], missing[half:]]
        if log:
            log(f"{len(outcomes)}/{len(by_id)}")
    return outcomes


def _death(code, stderr):
    if code is None:
        return f"no result within {TIMEOUT} s"
    lines = [l for l in stderr.strip().splitlines() if l.strip()]
    if code < 0:
        return f"killed by signal {-code}"
    errors = [l for l in lines if "Error" in l or "error" in l]
    return (errors[-1] if errors else lines[-1] if lines else f"exit {code}").strip()
