"""make demo-distributed: the digits CNN trained data-parallel by two processes, each on half of every batch.

    .venv/bin/python -m torch.distributed.run --standalone --nproc-per-node 2 demo/digits_distributed.py

Each process (torchrun starts them and sets RANK, WORLD_SIZE, MASTER_ADDR, MASTER_PORT) joins the gloo
process group, creates its own vudored device and appliance, and reads its share of the training set
through a DistributedSampler. Its compiled step averages the gradients over both processes inside
the program (an all-reduce the appliance runs through torch.distributed) before the optimizer
update, so both replicas hold the same weights after every step. At the end every rank scores the
held-out digits with its weights read back from its appliance; rank 0 prints both ranks' accuracy
and saves the checkpoint.
"""
import argparse
import os
import sys
import time

import torch
import torch.distributed as dist
import torch.nn.functional as F

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vudored  # noqa: E402
from digits import DigitsCNN, accuracy, digits  # noqa: E402


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--epochs", type=int, default=4)
    parser.add_argument("--batch-size", type=int, default=64, help="the global batch, split over the processes")
    parser.add_argument("--lr", type=float, default=0.05)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--out", default="demo_out/distributed")
    args = parser.parse_args(argv)

    dist.init_process_group("gloo")
    rank, world = dist.get_rank(), dist.get_world_size()
    if args.batch_size % world:
        raise SystemExit(f"--batch-size {args.batch_size} does not split over {world} processes")
    out = os.path.abspath(args.out)
    dev = vudored.backend.device(os.path.join(out, f"rank{rank}"), seed=args.seed)
    torch.set_num_threads(1)
    torch.manual_seed(args.seed)  # the same initial weights everywhere (rank 0's are broadcast anyway)
    model = DigitsCNN().to(dev.torch_device)
    optimizer = torch.optim.SGD(model.parameters(), lr=args.lr, momentum=0.9, weight_decay=1e-4)

    @vudored.step(model, optimizer)
    def train_step(x, y):
        optimizer.zero_grad()
        loss = F.cross_entropy(model(x), y)
        loss.backward()
        optimizer.step()
        return loss

    train, test = digits(args.seed)
    dataset = torch.utils.data.TensorDataset(*train)
    sampler = torch.utils.data.DistributedSampler(dataset, seed=args.seed, drop_last=True)
    batches = vudored.utils.data.DataLoader(torch.utils.data.DataLoader(
        dataset, batch_size=args.batch_size // world, sampler=sampler, drop_last=True))
    if rank == 0:
        print(f"Digits on {world} processes: batches of {args.batch_size} ({args.batch_size // world} per "
              f"process), {args.epochs} epochs, SGD with momentum, lr {args.lr}.", flush=True)
    started = time.perf_counter()
    for epoch in range(args.epochs):
        sampler.set_epoch(epoch)
        losses = [train_step(x, y).item() for x, y in batches]
        if rank == 0:
            print(f"epoch {epoch + 1}/{args.epochs}: mean loss on rank 0's shares {sum(losses) / len(losses):.4f}",
                  flush=True)
    seconds = time.perf_counter() - started

    trained = DigitsCNN()
    state = train_step.state_dict()
    trained.load_state_dict(state)
    trained.eval()
    with torch.no_grad():
        mine = accuracy(trained(test[0]), test[1])
    everyone = [None] * world
    dist.all_gather_object(everyone, (mine, state))
    if rank == 0:
        for r, (acc, _) in enumerate(everyone):
            print(f"rank {r}: held-out accuracy {acc:.3f}")
        same = all(torch.equal(s[k], state[k]) for _, s in everyone for k in state)
        print(f"The replicas' weights are {'identical' if same else 'DIFFERENT'}; {seconds:.1f} s of training.")
        path = os.path.join(out, "digits.pt")
        torch.save(state, path)
        print(f"Checkpoint (saved on rank 0): {path}")
    dist.barrier()  # no process leaves the group while another still uses it
    dist.destroy_process_group()


if __name__ == "__main__":
    main()
