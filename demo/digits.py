"""make demo: a small CNN learns scikit-learn's 8x8 handwritten digits through the whole system.

    .venv/bin/python demo/digits.py [--epochs 8] [--out demo_out]

Every training step is captured on the lazy device, lowered to torch-dialect MLIR, converted by
torch-lumo-opt into the lumo dialect and run by the reference appliance on the CPU. Beside it the
same model trains in eager PyTorch from the same initial weights on the same batches. At the end the
weights are read back from the appliance and scored on held-out digits, both loss curves are
plotted, and the files the system wrote are listed. Everything is also written to summary.json.
"""
import argparse
import copy
import json
import os
import shutil
import sys
import time

import numpy as np
import torch
import torch.nn as nn
import torch.nn.functional as F

import vudored


class DigitsCNN(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv1 = nn.Conv2d(1, 16, 3, padding=1, bias=False)  # batch norm follows
        self.bn1 = nn.BatchNorm2d(16)
        self.conv2 = nn.Conv2d(16, 32, 3, padding=1, bias=False)
        self.bn2 = nn.BatchNorm2d(32)
        self.fc = nn.Linear(32 * 2 * 2, 10)

    def forward(self, x):
        x = F.max_pool2d(F.relu(self.bn1(self.conv1(x))), 2)  # 16 x 4 x 4
        x = F.max_pool2d(F.relu(self.bn2(self.conv2(x))), 2)  # 32 x 2 x 2
        return self.fc(x.flatten(1))


def digits(seed):
    from sklearn.datasets import load_digits
    from sklearn.model_selection import train_test_split
    data = load_digits()
    images = (data.images.astype(np.float32) / 8.0 - 1.0)[:, None]  # pixel values 0..16 -> -1..1
    x_train, x_test, y_train, y_test = train_test_split(images, data.target, test_size=0.2,
                                                        random_state=seed, stratify=data.target)
    as_tensors = lambda x, y: (torch.from_numpy(x), torch.from_numpy(y).long())
    return as_tensors(x_train, y_train), as_tensors(x_test, y_test)


def loader(train, batch_size, seed):
    """Shuffled batches, the same order for the same seed; the last smaller batch is dropped."""
    return torch.utils.data.DataLoader(torch.utils.data.TensorDataset(*train), batch_size=batch_size,
                                       shuffle=True, drop_last=True,
                                       generator=torch.Generator().manual_seed(seed))


def accuracy(logits, y):
    return (logits.argmax(1) == y).float().mean().item()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--epochs", type=int, default=8)
    parser.add_argument("--batch-size", type=int, default=64)
    parser.add_argument("--lr", type=float, default=0.05)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--out", default="demo_out")
    args = parser.parse_args(argv)
    from tqdm import tqdm

    out = os.path.abspath(args.out)
    artifacts, data_dir = os.path.join(out, "artifacts"), os.path.join(out, "device_data")
    shutil.rmtree(out, ignore_errors=True)
    # Weights above 4 KiB go to data files, kept after the run so that they can be looked at.
    dev = vudored.backend.device(artifacts, data_dir, seed=args.seed,
                                 store={"max_tensor_size": 4096, "delete_file_on_destruct": False})

    train, test = digits(args.seed)
    # Tensors this small gain nothing from several threads, and on a busy machine the threads of
    # both sides wait for each other's cores.
    torch.set_num_threads(1)
    torch.manual_seed(args.seed)
    eager = DigitsCNN()
    model = copy.deepcopy(eager).to(dev.torch_device)
    eager_opt = torch.optim.SGD(eager.parameters(), lr=args.lr, momentum=0.9, weight_decay=1e-4)
    optimizer = torch.optim.SGD(model.parameters(), lr=args.lr, momentum=0.9, weight_decay=1e-4)

    def train_step(net, opt, x, y):
        opt.zero_grad()
        logits = net(x)
        loss = F.cross_entropy(logits, y)
        loss.backward()
        opt.step()
        return loss, logits

    lazy_step = vudored.step(model, optimizer)(lambda x, y: train_step(model, optimizer, x, y))
    print(f"Digits: {len(train[1])} training and {len(test[1])} held-out images of 8x8 pixels; "
          f"batches of {args.batch_size}, {args.epochs} epochs, SGD with momentum, lr {args.lr}.")
    curves = {"lazy": [], "eager": []}
    seconds = {"lazy": 0.0, "eager": 0.0}
    for epoch in range(args.epochs):
        eager_batches = loader(train, args.batch_size, args.seed + epoch)
        lazy_batches = vudored.utils.data.DataLoader(loader(train, args.batch_size, args.seed + epoch))
        sums = {"lazy_loss": 0.0, "eager_loss": 0.0, "lazy_acc": 0.0, "eager_acc": 0.0}
        bar = tqdm(zip(lazy_batches, eager_batches), total=len(eager_batches),
                   desc=f"epoch {epoch + 1}/{args.epochs}", file=sys.stdout, ncols=110)
        for n, ((x, y), (ex, ey)) in enumerate(bar, 1):
            start = time.perf_counter()
            loss, logits = lazy_step(x, y)
            if "first" in seconds:
                seconds["lazy"] += time.perf_counter() - start
            else:  # traces the step once, converts it and loads the program
                seconds["first"] = time.perf_counter() - start
            start = time.perf_counter()
            eager_loss, eager_logits = train_step(eager, eager_opt, ex, ey)
            seconds["eager"] += time.perf_counter() - start
            curves["lazy"].append(loss.item())
            curves["eager"].append(eager_loss.item())
            sums["lazy_loss"] += loss.item()
            sums["eager_loss"] += eager_loss.item()
            sums["lazy_acc"] += accuracy(logits, ey)
            sums["eager_acc"] += accuracy(eager_logits, ey)
            bar.set_postfix({k: f"{v / n:.3f}" for k, v in sums.items()})
        bar.close()

    # The trained weights come back from the appliance into an eager copy of the model.
    trained = DigitsCNN()
    trained.load_state_dict(lazy_step.state_dict())
    trained.eval()
    eager.eval()
    with torch.no_grad():
        held_out = {"lazy": accuracy(trained(test[0]), test[1]), "eager": accuracy(eager(test[0]), test[1])}
        weight_difference = max((a - b).abs().max().item() for a, b in
                                zip(trained.state_dict().values(), eager.state_dict().values())
                                if a.is_floating_point())
    loss_difference = max(abs(a - b) for a, b in zip(curves["lazy"], curves["eager"]))
    print(f"Held-out accuracy: {held_out['lazy']:.3f} with the weights read back from the appliance, "
          f"{held_out['eager']:.3f} in eager PyTorch.")
    first_epoch = max(abs(a - b) for a, b in zip(curves["lazy"][:len(eager_batches)],
                                                  curves["eager"][:len(eager_batches)]))
    print(f"Largest difference to eager PyTorch: loss {first_epoch:.1e} in the first epoch, "
          f"{loss_difference:.1e} over the whole run; weights {weight_difference:.1e} at the end.")
    steps = len(curves["lazy"])
    print(f"First step (trace, conversion, program set-up): {seconds['first']:.2f} s. Later steps: "
          f"{seconds['lazy'] / (steps - 1) * 1e3:.2f} ms through the appliance, "
          f"{seconds['eager'] / steps * 1e3:.2f} ms in eager PyTorch.")

    plot = os.path.join(out, "loss_curves.png")
    plot_curves(curves, plot)
    print(f"Loss curves: {plot}")
    files = []
    print("Files the system wrote:")
    for folder in (artifacts, data_dir):
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            files.append(os.path.relpath(path, out))
            shown = os.path.relpath(path)
            print(f"  {path if shown.startswith('..') else shown:60s} {os.path.getsize(path):>9,d} bytes")
    summary = {"held_out": held_out, "loss_difference": loss_difference, "first_epoch": first_epoch,
               "weight_difference": weight_difference, "steps": steps, "files": files,
               "seconds": seconds, "plot": plot}
    with open(os.path.join(out, "summary.json"), "w") as f:
        json.dump(summary, f, indent=1)
    return summary


def plot_curves(curves, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(8, 4.5))
    ax.plot(curves["eager"], label="eager PyTorch", linewidth=3, alpha=0.45, color="tab:orange")
    ax.plot(curves["lazy"], label="lazy device + reference appliance", linewidth=1.2, color="tab:blue")
    ax.set_xlabel("training step")
    ax.set_ylabel("cross-entropy loss")
    ax.set_yscale("log")
    ax.set_title("8x8 digits, small CNN: the same losses through the whole system")
    ax.grid(alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


if __name__ == "__main__":
    main()
