"""Three small training scripts (an MLP, a CNN and a causal transformer block) and a step function,
shared by the tests that trace or lower a real training step."""
import math

import torch
import torch.nn as nn
import torch.nn.functional as F


class MLP(nn.Module):
    def __init__(self):
        super().__init__()
        self.fc1 = nn.Linear(64, 128)
        self.fc2 = nn.Linear(128, 10)

    def forward(self, x):
        return self.fc2(F.relu(self.fc1(x)))


class CNN(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv1 = nn.Conv2d(3, 8, 3, padding=1)
        self.bn = nn.BatchNorm2d(8)
        self.pool = nn.MaxPool2d(2)
        self.conv2 = nn.Conv2d(8, 16, 3)
        self.gap = nn.AdaptiveAvgPool2d(1)
        self.flatten = nn.Flatten()
        self.fc = nn.Linear(16, 10)

    def forward(self, x):
        x = self.pool(F.relu(self.bn(self.conv1(x))))
        x = F.relu(self.conv2(x))
        return self.fc(self.flatten(self.gap(x)))


class CausalSelfAttention(nn.Module):
    def __init__(self, dim, heads, dropout):
        super().__init__()
        self.heads = heads
        self.qkv = nn.Linear(dim, 3 * dim)
        self.proj = nn.Linear(dim, dim)
        self.dropout = nn.Dropout(dropout)

    def forward(self, x):
        b, t, c = x.shape
        hd = c // self.heads
        q, k, v = self.qkv(x).split(c, dim=2)
        q = q.view(b, t, self.heads, hd).transpose(1, 2)
        k = k.view(b, t, self.heads, hd).transpose(1, 2)
        v = v.view(b, t, self.heads, hd).transpose(1, 2)
        att = torch.matmul(q, k.transpose(-2, -1)) * (1.0 / math.sqrt(hd))
        mask = torch.tril(torch.ones(t, t, device=x.device, dtype=torch.bool))
        att = att.masked_fill(~mask, float("-inf"))
        att = self.dropout(F.softmax(att, dim=-1))
        y = torch.matmul(att, v).transpose(1, 2).contiguous().view(b, t, c)
        return self.dropout(self.proj(y))


class Block(nn.Module):
    def __init__(self, dim, heads, dropout):
        super().__init__()
        self.ln1 = nn.LayerNorm(dim)
        self.attn = CausalSelfAttention(dim, heads, dropout)
        self.ln2 = nn.LayerNorm(dim)
        self.mlp = nn.Sequential(nn.Linear(dim, 4 * dim), nn.GELU(), nn.Linear(4 * dim, dim),
                                 nn.Dropout(dropout))

    def forward(self, x):
        x = x + self.attn(self.ln1(x))
        return x + self.mlp(self.ln2(x))


class TinyTransformer(nn.Module):
    def __init__(self, vocab=50, block_size=16, dim=32, heads=4, layers=1, dropout=0.1):
        super().__init__()
        self.tok = nn.Embedding(vocab, dim)
        self.pos = nn.Embedding(block_size, dim)
        self.drop = nn.Dropout(dropout)
        self.blocks = nn.Sequential(*[Block(dim, heads, dropout) for _ in range(layers)])
        self.ln_f = nn.LayerNorm(dim)
        self.head = nn.Linear(dim, vocab)

    def forward(self, idx):
        t = idx.shape[1]
        pos = torch.arange(t, device=idx.device)
        x = self.drop(self.tok(idx) + self.pos(pos))
        return self.head(self.ln_f(self.blocks(x)))


def mlp_script(seed=0):
    """(model, optimizer, inputs, targets) of the MLP script, on the host."""
    torch.manual_seed(seed)
    model = MLP()
    opt_args = dict(lr=0.1, momentum=0.9, weight_decay=1e-4)
    return model, (torch.optim.SGD, opt_args), torch.randn(8, 64), torch.randint(0, 10, (8,))


def cnn_script(seed=0):
    torch.manual_seed(seed)
    model = CNN()
    return model, (torch.optim.SGD, dict(lr=0.05)), torch.randn(4, 3, 8, 8), torch.randint(0, 10, (4,))


def transformer_script(seed=0, layers=1, dropout=0.1):
    torch.manual_seed(seed)
    model = TinyTransformer(layers=layers, dropout=dropout)
    idx = torch.randint(0, 50, (2, 16))
    targets = torch.randint(0, 50, (2, 16))
    return model, (torch.optim.AdamW, dict(lr=1e-3, weight_decay=0.01)), idx, targets


SCRIPTS = {"mlp": mlp_script, "cnn": cnn_script, "transformer": transformer_script}


def loss_fn(logits, targets):
    return F.cross_entropy(logits.reshape(-1, logits.shape[-1]), targets.reshape(-1))


def setup(name, device, **kwargs):
    """Model, optimizer and batch of script `name`, moved to `device`."""
    model, (opt_cls, opt_args), x, y = SCRIPTS[name](**kwargs)
    model = model.to(device)
    model.train()
    optimizer = opt_cls(model.parameters(), **opt_args)
    return model, optimizer, x.to(device), y.to(device)


def train_step(model, optimizer, x, y):
    """One full training step: forward, loss, backward, optimizer update. Returns the loss."""
    optimizer.zero_grad(set_to_none=True)
    loss = loss_fn(model(x), y)
    loss.backward()
    optimizer.step()
    return loss


def weights_to_lazy_leaves(model):
    """Moves every parameter to the lazy device as a leaf tensor of its own. (nn.Module.to makes
    each parameter a detached view of a hidden base tensor, whose updates would then need to be
    synced as well.) Parameters shared by several modules (tied weights) stay shared."""
    moved = {}
    for module in model.modules():
        for key, p in list(module._parameters.items()):
            if p is not None:
                if id(p) not in moved:
                    moved[id(p)] = p.detach().to("lazy").requires_grad_(True)
                module._parameters[key] = moved[id(p)]


def lazy_state(model, optimizer):
    """Weights and optimizer state on the lazy device, by name."""
    named = dict(model.named_parameters())
    for name, p in list(named.items()):
        for key, value in optimizer.state.get(p, {}).items():
            if isinstance(value, torch.Tensor) and value.device.type == "lazy":
                named[f"{name}.{key}"] = value
    return named
