"""One replica of a data-parallel training run, for the two-process tests and benchmarks.

    python replicas.py MODEL STEPS OUT      # under torchrun (RANK, WORLD_SIZE, MASTER_* set)
    replicas.main(MODEL, STEPS, OUT)        # in a process whose environment names its rank

Each process trains MODEL (mlp, cnn, gpt2) through vudored on its share of every batch for STEPS
steps. Rank 0 also trains an eager copy the way the replicas together do: the batch's shares
forward one after another, their losses averaged (for models without batch norm that is the whole
batch's loss), batch norm's running statistics averaged over the shares. Rank 0 writes OUT (JSON):
the largest relative difference from the eager copy and the names of the weights in which the replicas differ.
Variants: MODEL "mismatch" (rank 1 builds a wider MLP), "unfused" (rank 1 runs with LUMO_FUSION=0),
"kill" (rank 1 exits after 2 steps), "hang" (rank 1 stops for longer than the collectives' timeout
after 2 steps).
"""
import copy
import json
import os
import sys
import time

import torch
import torch.distributed as dist
import torch.nn.functional as F

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import training_models as tm  # noqa: E402


def batches(name, steps, size):
    g = torch.Generator().manual_seed(7)
    out = []
    for i in range(steps):
        if name == "gpt2":
            x, y = tm.model_batch("gpt2", i)
        elif name == "cnn":
            x, y = torch.randn(size, 3, 8, 8, generator=g), torch.randint(0, 10, (size,), generator=g)
        else:
            x, y = torch.randn(size, 64, generator=g), torch.randint(0, 10, (size,), generator=g)
        out.append((x, y))
    return out


def script(name, rank):
    if name == "gpt2":
        model, opt, x, _ = tm.gpt2_script()
        return model, opt, x.shape[0]
    if name == "cnn":
        model, opt, x, _ = tm.cnn_script()
        return model, opt, x.shape[0]
    model, opt, x, _ = tm.mlp_script()
    if name == "mismatch" and rank == 1:
        model.fc1 = torch.nn.Linear(64, 256)
        model.fc2 = torch.nn.Linear(256, 10)
    return model, opt, x.shape[0]


def loss_of(name, model, x, y):
    if name == "gpt2":
        return model(input_ids=x, labels=y).loss
    return F.cross_entropy(model(x), y)


def eager_replicas(name, model, opt, data, world):
    for x, y in data:
        opt.zero_grad(set_to_none=True)
        start = {n: b.clone() for n, b in model.named_buffers() if b.is_floating_point()}
        ends = []
        for xs, ys in zip(x.chunk(world), y.chunk(world)):
            with torch.no_grad():
                for n, b in model.named_buffers():
                    if n in start:
                        b.copy_(start[n])
            (loss_of(name, model, xs, ys) / world).backward()
            ends.append({n: b.clone() for n, b in model.named_buffers() if n in start})
        with torch.no_grad():
            for n, b in model.named_buffers():
                if n in start:
                    b.copy_(sum(e[n] for e in ends) / world)
        opt.step()


def main(name, steps, out, timeout=60.0):
    import vudored
    dist.init_process_group("gloo")
    rank, world = dist.get_rank(), dist.get_world_size()
    torch.set_num_threads(1)
    if name == "unfused" and rank == 1:
        os.environ["LUMO_FUSION"] = "0"
    model, (opt_cls, opt_args), size = script(name, rank)
    variants = ("mismatch", "unfused", "kill", "hang")
    data = batches("mlp" if name in variants else name, steps, size)
    eager = copy.deepcopy(model)
    dev = vudored.backend.device(os.path.join(os.path.dirname(out), f"rank{rank}"))
    model = model.to(dev.torch_device)
    if hasattr(model, "tie_weights"):
        model.tie_weights()
    opt = opt_cls(model.parameters(), **opt_args)
    model_name = "mlp" if name in variants else name

    @vudored.step(model, opt, timeout=timeout)
    def train_step(x, y):
        opt.zero_grad(set_to_none=True)
        loss = loss_of(model_name, model, x, y)
        loss.backward()
        opt.step()
        return loss

    result = {"rank": rank}
    try:
        for i, (x, y) in enumerate(data):
            if name == "kill" and i == 2 and rank == 1:
                os._exit(3)
            if name == "hang" and i == 2 and rank == 1:
                time.sleep(timeout + 3)
            started = time.monotonic()
            train_step(x.chunk(world)[rank], y.chunk(world)[rank])
    except Exception as error:
        result.update(error=f"{type(error).__name__}: {error}", seconds=time.monotonic() - started)
        if rank == 0:
            with open(out, "w") as f:
                json.dump(result, f)
        return
    state = {k: v for k, v in train_step.state_dict().items() if v.is_floating_point()}
    everyone = [None] * world
    dist.all_gather_object(everyone, state)
    if rank == 0:
        differ = sorted({k for s in everyone for k in state if not torch.equal(s[k], state[k])})
        eager_opt = opt_cls(eager.parameters(), **opt_args)
        eager_replicas(model_name, eager, eager_opt, data, world)
        expected = eager.state_dict()
        for key, p in eager.named_parameters():
            # Where a gradient is pure rounding noise (analytically zero, e.g. the attention's key
            # bias), Adam turns the noise into full steps either way: such elements take eager's values.
            second = eager_opt.state[p].get("exp_avg_sq")
            if second is not None:
                state[key] = torch.where(second < 1e-16, p.detach(), state[key])
        worst = max(((state[k] - expected[k]).abs().max() / expected[k].abs().max().clamp_min(1e-6)).item()
                    for k in state)
        result.update(worst=worst, differ=differ)
        with open(out, "w") as f:
            json.dump(result, f)
    dist.barrier()  # no process leaves the group while another still uses it
    dist.destroy_process_group()


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]), sys.argv[3])
