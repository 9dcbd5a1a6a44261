"""Data-parallel training: one process per appliance, the gradients averaged inside the program.

Launched as PyTorch scripts are (`torchrun --nproc-per-node 2 train.py`; on several machines
torchrun's `--nnodes`/`--node-rank`/`--rdzv-endpoint` flags), each process initialises its process
group, creates its vudored device, feeds its share of every batch and decorates its step as usual:

    torch.distributed.init_process_group("gloo")
    dev = vudored.backend.device("artifacts")
    model = Net().to(dev.torch_device)
    optimizer = torch.optim.SGD(model.parameters(), lr=0.1)
    sampler = torch.utils.data.DistributedSampler(dataset)      # each process: its own samples
    loader = vudored.utils.data.DataLoader(torch.utils.data.DataLoader(
        dataset, batch_size=per_process_batch, sampler=sampler, drop_last=True))

    @vudored.step(model, optimizer)          # process_group=None: the default group, if initialised
    def train_step(x, y): ...

What the step then does:
- Before each optimizer.step() the gradients of its parameters are averaged over the group, inside
  the program: laid end to end per dtype and cut into buckets of at most `bucket_cap_mb` MiB (25 by
  default), one functional all-reduce (torch.ops._c10d_functional.all_reduce, a sum, then divided
  by the group's size) per bucket, so the number of collectives does not grow with the number of
  parameters. The program's lumo.AllReduce runs on the appliance, which calls torch.distributed
  with its peers.
- Every replica starts from the same weights and optimizer state (the group's first rank's,
  broadcast when the program is loaded), and a replica whose program differs from the first rank's
  (another model, another batch size) is refused at load, naming both.
- Batch norm normalises with each replica's own batch statistics (as DistributedDataParallel does);
  the running statistics, and any other floating-point buffer the step updates, are averaged over
  the group at the end of every step, so all replicas hold the same state and state_dict() is the
  same on every rank (save it on rank 0). nn.SyncBatchNorm is refused (see `check_modules`).
- A collective that does not complete within `timeout` seconds (a peer stopped or diverged) fails
  the step with an ApplianceError instead of waiting forever; a peer that exits closes its
  connections, which fails the others at once.

`process_group=False` turns the averaging off (each process trains on its own); a ProcessGroup picks
another group than the default one.
"""
import datetime
import hashlib
import logging

import torch
import torch.distributed as dist
import torch.nn as nn

from .errors import ApplianceError, UnsupportedError, VudoredError

log = logging.getLogger("vudored.distributed")

DEFAULT_BUCKET_CAP_MB = 25
DEFAULT_TIMEOUT = 300.0  # seconds a collective may wait for its peers


def replicas_for(process_group, bucket_cap_mb=DEFAULT_BUCKET_CAP_MB, timeout=DEFAULT_TIMEOUT):
    """The Replicas of a step: None when it trains alone (no process group, process_group=False,
    or a group of one process)."""
    if process_group is False:
        return None
    if process_group is None or process_group is True:
        if not (dist.is_available() and dist.is_initialized()):
            if process_group is True:
                raise VudoredError("process_group=True, but torch.distributed has no process group: "
                                   "call torch.distributed.init_process_group(\"gloo\") first (torchrun "
                                   "sets its environment).")
            return None
        process_group = dist.group.WORLD
    if not isinstance(process_group, dist.ProcessGroup):
        raise VudoredError(f"process_group must be a torch.distributed ProcessGroup, True, False or None, "
                           f"not {process_group!r}.")
    if dist.get_world_size(process_group) == 1:
        return None
    return Replicas(process_group, bucket_cap_mb, timeout)


def check_modules(models):
    """nn.SyncBatchNorm cannot run on the lazy device: PyTorch's module needs a GPU-type device when
    a process group exists, and the appliance runs batch norm per replica."""
    for prefix, model in models.items():
        for name, module in model.named_modules():
            if isinstance(module, nn.SyncBatchNorm):
                raise UnsupportedError(
                    f"{prefix}{name} is an nn.SyncBatchNorm, which the lazy device does not run (PyTorch's "
                    "module runs only on GPU-type devices). Use nn.BatchNorm (each replica normalises with "
                    "its own batch statistics; vudored averages the running statistics over the group), "
                    "e.g. convert the model back with a plain BatchNorm of the same size.")


class Replicas:
    def __init__(self, group, bucket_cap_mb, timeout):
        if bucket_cap_mb <= 0:
            raise VudoredError(f"bucket_cap_mb must be positive, not {bucket_cap_mb!r}.")
        self.group = group
        self.group_name = group.group_name
        self.ranks = dist.get_process_group_ranks(group)
        self.size = len(self.ranks)
        self.rank = dist.get_rank()
        self.source = self.ranks[0]
        self.bucket_bytes = int(bucket_cap_mb * 2 ** 20)
        self.timeout = datetime.timedelta(seconds=timeout)
        self.failure = None  # the collective that failed a run
        self.collectives = 0  # run by the appliance so far
        self.bytes_reduced = 0
        self.start_trace()

    def describe(self):
        extra = f" and {self.buffer_buckets} for the updated buffers" if self.buffer_buckets else ""
        return (f"averaging gradients over {self.size} processes (ranks {self.ranks}, "
                f"{dist.get_backend(self.group)} group {self.group_name!r}): {self.buckets} all-reduce(s) "
                f"per step for the gradients (buckets of at most {self.bucket_bytes / 2 ** 20:g} MiB){extra}")

    # ------------------------------------------------------------ while the step is traced

    def start_trace(self):
        self._averaged = set()  # the parameters whose gradients this trace averaged
        self.buckets = 0  # all-reduces of gradients per step
        self.buffer_buckets = 0  # of buffers

    def average_gradients(self, params):
        """Replaces the gradients of `params` (not averaged yet in this trace) by their average over
        the group: one all-reduce per bucket."""
        grads = []
        for p in reversed(list(params)):  # the order backward makes them, as DDP buckets them
            if p.grad is not None and id(p) not in self._averaged:
                self._averaged.add(id(p))
                grads.append(p.grad)
        self.buckets += self._average(grads)

    def _average(self, tensors):
        """Averages `tensors` in place; returns the number of all-reduces."""
        by_dtype = {}
        for t in tensors:
            by_dtype.setdefault(t.dtype, []).append(t)
        return sum(self._all_reduce(group) for group in by_dtype.values())

    def _all_reduce(self, tensors):
        """Averages `tensors` (of one dtype) in place: laid end to end and cut into buckets of at most
        bucket_cap_mb, one all-reduce (a sum) per bucket; each tensor is then its slices of the
        reduced buckets divided by the group's size. No buffer is larger than a bucket. Returns the
        number of all-reduces."""
        per_bucket = max(1, self.bucket_bytes // tensors[0].element_size())
        buckets, current, filled = [], [], 0
        for t in tensors:
            flat, start = t.detach().reshape(-1), 0
            while start < flat.numel():
                take = min(flat.numel() - start, per_bucket - filled)
                current.append((t, flat, start, start + take))
                filled, start = filled + take, start + take
                if filled == per_bucket:
                    buckets.append(current)
                    current, filled = [], 0
        if current:
            buckets.append(current)
        reduced = {}  # id(tensor) -> its slices of the reduced buckets
        for parts in buckets:
            pieces = [flat if b - a == flat.numel() else flat[a:b] for _, flat, a, b in parts]
            bucket = torch.cat(pieces) if len(pieces) > 1 else pieces[0]
            bucket = torch.ops._c10d_functional.wait_tensor(
                torch.ops._c10d_functional.all_reduce(bucket, "sum", self.group_name))
            offset = 0
            for t, _, a, b in parts:
                reduced.setdefault(id(t), []).append(bucket[offset:offset + b - a])
                offset += b - a
        with torch.no_grad():
            for t in tensors:
                slices = reduced[id(t)]
                total = torch.cat(slices) if len(slices) > 1 else slices[0]
                t.copy_(total.view(t.shape).div(self.size))
        return len(buckets)

    def average_buffers(self, buffers):
        """Averages the floating-point buffers the step updated (batch norm's running statistics)."""
        self.buffer_buckets += self._average([b for b in buffers if b.is_floating_point()])

    # ------------------------------------------------------------ when the program is loaded

    def check_program(self, text, batch_size, arguments, plan=None):
        """Refuses, on every rank, a program that differs from the first rank's, or that would run
        on another plan (`plan`: the appliance's description of the kernels its runs take)."""
        table = [(a.name, a.kind, str(a.dtype), list(a.shape)) for a in arguments]
        mine = {"rank": self.rank, "digest": hashlib.sha256(text.encode()).hexdigest(),
                "batch_size": batch_size, "arguments": table, "plan": plan}
        everyone = [None] * self.size
        dist.all_gather_object(everyone, mine, group=self.group)
        first = everyone[0]
        for other in everyone[1:]:
            if other["digest"] != first["digest"] or other["batch_size"] != first["batch_size"]:
                raise ApplianceError(
                    f"The program of rank {other['rank']} differs from the program of rank {first['rank']}: "
                    f"{_difference(first, other)}. Every process of the group must run the same script on "
                    "the same model with the same per-process batch size.")
        for other in everyone[1:]:
            # Fused and unfused kernels round differently: replicas on different plans drift apart.
            if _plan_key(other["plan"]) != _plan_key(first["plan"]):
                raise ApplianceError(
                    f"Rank {other['rank']} would run the program {_plan_text(other['plan'])}, rank "
                    f"{first['rank']} {_plan_text(first['plan'])}: their weights would drift apart. Give every "
                    "process the same kernel compiler (lumo-kernel-compile and a C compiler on the search "
                    "path), or set LUMO_FUSION=0 for every process.")

    def broadcast_weights(self, appliance):
        """Gives every replica the first rank's weights and optimizer state."""
        values = appliance.weights()
        names = sorted(values)
        by_dtype = {}
        for name in names:
            by_dtype.setdefault(values[name].dtype, []).append(name)
        for dtype, group in by_dtype.items():
            flat = torch.cat([values[n].reshape(-1) for n in group])
            dist.broadcast(flat, src=self.source, group=self.group)
            offset = 0
            for n in group:
                count = values[n].numel()
                values[n] = flat[offset:offset + count].view(values[n].shape).clone()
                offset += count
        appliance.load_weights(values)

    # ------------------------------------------------------------ when the program runs

    def all_reduce(self, tensor, kind, replica_groups, channel_id):
        """The appliance's collective: `tensor` reduced with the peers of this rank's replica group."""
        group = next((g for g in replica_groups if self.rank in g), None)
        if group is None or sorted(group) != sorted(self.ranks):
            raise ApplianceError(f"The program all-reduces over replicas {replica_groups}, but this "
                                 f"process (rank {self.rank}) trains with the group {self.ranks}.")
        ops = {"sum": dist.ReduceOp.SUM, "prod": dist.ReduceOp.PRODUCT, "min": dist.ReduceOp.MIN,
               "max": dist.ReduceOp.MAX, "and": dist.ReduceOp.BAND, "or": dist.ReduceOp.BOR,
               "xor": dist.ReduceOp.BXOR}
        if kind not in ops:
            raise ApplianceError(f"The appliance cannot all-reduce with {kind!r}.")
        options = dist.AllreduceOptions()
        options.reduceOp = ops[kind]
        options.timeout = self.timeout
        try:
            self.group.allreduce([tensor], options).wait()
        except RuntimeError as error:
            self.failure = ApplianceError(
                f"Rank {self.rank}: all-reduce {channel_id} (over ranks {self.ranks}) did not complete: "
                f"{str(error).strip()}. A peer process stopped, or did not reach the same step within "
                f"{self.timeout.total_seconds():g} s.")
            raise self.failure from None
        self.collectives += 1
        self.bytes_reduced += tensor.numel() * tensor.element_size()
        return tensor


def _plan_key(plan):
    """What decides a plan: not the wording of a failure (paths differ between machines)."""
    return plan and {k: v for k, v in plan.items() if k != "why"}


def _plan_text(plan):
    if not plan:
        return "on its own appliance"
    failed = f" ({plan['failed']} kernels failed: {plan['why']})" if plan["failed"] else ""
    return (f"with {plan['fused']} of {plan['regions']} regions fused{failed}" if plan["fused"]
            else f"unfused{failed}")


def _difference(first, other):
    a, b = first["rank"], other["rank"]
    if first["batch_size"] != other["batch_size"]:
        return f"rank {a} runs batches of {first['batch_size']}, rank {b} of {other['batch_size']}"
    mine = {row[0]: row for row in first["arguments"]}
    theirs = {row[0]: row for row in other["arguments"]}
    for name in list(mine) + [n for n in theirs if n not in mine]:
        x, y = mine.get(name), theirs.get(name)
        if x != y:
            show = (lambda row, rank: f"rank {rank} has no {name!r}" if row is None else
                    f"rank {rank} has {row[1]} {name!r} {row[2].replace('torch.', '')} {row[3]}")
            return f"{show(x, a)}, {show(y, b)}"
    return "their computations differ (the same arguments, other operations)"
