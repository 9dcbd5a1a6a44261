"""Small training scripts (an MLP, a CNN, a causal transformer block, a decoder of transposed
convolutions) and a step function, and the model families (GPT-2, LLaMA and BERT from `transformers`,
a ResNet-style CNN, a ViT-style classifier, recurrent language models on nn.LSTM and nn.GRU) with
their batches and step: shared by the tests and benchmarks that trace, lower, convert or train a real
training step."""
import contextlib
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


class Decoder(nn.Module):
    """Transposed convolutions growing feature maps, as in a decoder: a 2-d one (stride 2, padding,
    output padding, two groups) after a strided convolution, then a 1-d one along the flattened map
    (dilation 3 above stride 1, output padding 2, no bias); per-position class scores."""

    def __init__(self, classes=5):
        super().__init__()
        self.down = nn.Conv2d(3, 8, 3, stride=2, padding=1)
        self.up = nn.ConvTranspose2d(8, 6, 3, stride=2, padding=1, output_padding=1, groups=2)
        self.line = nn.ConvTranspose1d(6, 4, 2, padding=1, output_padding=2, dilation=3, bias=False)
        self.head = nn.Linear(4, classes)

    def forward(self, x):
        h = F.relu(self.up(F.relu(self.down(x))))  # [N, 6, 8, 8]
        return self.head(self.line(h.flatten(2)).transpose(1, 2))  # [N, 67, classes]


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


def decoder_script(seed=0):
    torch.manual_seed(seed)
    model = Decoder()
    return model, (torch.optim.SGD, dict(lr=0.1, momentum=0.9)), torch.randn(2, 3, 8, 8), torch.randint(0, 5, (2, 67))


SCRIPTS = {"mlp": mlp_script, "cnn": cnn_script, "transformer": transformer_script, "decoder": decoder_script}


def loss_fn(logits, targets):
    return F.cross_entropy(logits.reshape(-1, logits.shape[-1]), targets.reshape(-1))


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


def step_state(model, optimizer):
    """Weights, optimizer state (but 0-d entries such as Adam's step) and floating-point buffers
    (batch norm statistics), by name: what a training step updates."""
    named = dict(model.named_parameters())
    for name, p in list(named.items()):
        for key, value in optimizer.state.get(p, {}).items():
            if isinstance(value, torch.Tensor) and value.dim() > 0:
                named[f"{name}.{key}"] = value
    named.update({name: b for name, b in model.named_buffers() if b.is_floating_point()})
    return named


def masked_lm_bert(seed=0):
    """A small BERT masked language model, its batch of token ids and labels (some positions
    without a label); no host read of an attention mask."""
    import transformers
    torch.manual_seed(seed)
    ids = torch.randint(0, 64, (2, 16))
    cfg = transformers.BertConfig(vocab_size=64, hidden_size=32, num_hidden_layers=2, num_attention_heads=4,
                                  intermediate_size=64, max_position_embeddings=32,
                                  hidden_dropout_prob=0.0, attention_probs_dropout_prob=0.0)
    labels = ids.clone()
    labels[1, 11:] = -100
    return transformers.BertForMaskedLM(cfg), ids, labels


# --- Real model families: GPT-2 and BERT from `transformers`, a ResNet-style CNN and a ViT-style
# classifier. Tiny configurations, random weights, dropout off.

class BasicBlock(nn.Module):
    def __init__(self, cin, cout, stride):
        super().__init__()
        self.conv1 = nn.Conv2d(cin, cout, 3, stride, 1, bias=False)
        self.bn1 = nn.BatchNorm2d(cout)
        self.conv2 = nn.Conv2d(cout, cout, 3, 1, 1, bias=False)
        self.bn2 = nn.BatchNorm2d(cout)
        self.shortcut = nn.Sequential()
        if stride != 1 or cin != cout:
            self.shortcut = nn.Sequential(nn.Conv2d(cin, cout, 1, stride, bias=False), nn.BatchNorm2d(cout))

    def forward(self, x):
        y = F.relu(self.bn1(self.conv1(x)))
        return F.relu(self.bn2(self.conv2(y)) + self.shortcut(x))


class ResNet(nn.Module):
    def __init__(self, classes=10, width=8):
        super().__init__()
        self.stem = nn.Sequential(nn.Conv2d(3, width, 3, 1, 1, bias=False), nn.BatchNorm2d(width), nn.ReLU())
        self.layers = nn.Sequential(BasicBlock(width, width, 1), BasicBlock(width, 2 * width, 2))
        self.fc = nn.Linear(2 * width, classes)

    def forward(self, x):
        x = self.layers(self.stem(x))
        return self.fc(torch.flatten(F.adaptive_avg_pool2d(x, 1), 1))


class PreNormBlock(nn.Module):
    def __init__(self, dim, heads):
        super().__init__()
        self.ln1 = nn.LayerNorm(dim)
        self.attn = nn.MultiheadAttention(dim, heads, batch_first=True)
        self.ln2 = nn.LayerNorm(dim)
        self.mlp = nn.Sequential(nn.Linear(dim, 2 * dim), nn.GELU(), nn.Linear(2 * dim, dim))

    def forward(self, x):
        h = self.ln1(x)
        x = x + self.attn(h, h, h, need_weights=False)[0]
        return x + self.mlp(self.ln2(x))


class ViT(nn.Module):
    def __init__(self, image=8, patch=4, dim=32, heads=2, layers=2, classes=10):
        super().__init__()
        self.patch = nn.Conv2d(3, dim, patch, patch)
        self.cls = nn.Parameter(torch.zeros(1, 1, dim))
        self.pos = nn.Parameter(torch.randn(1, (image // patch) ** 2 + 1, dim) * 0.02)
        self.blocks = nn.Sequential(*[PreNormBlock(dim, heads) for _ in range(layers)])
        self.ln = nn.LayerNorm(dim)
        self.head = nn.Linear(dim, classes)

    def forward(self, x):
        x = self.patch(x).flatten(2).transpose(1, 2)
        x = torch.cat([self.cls.expand(x.shape[0], -1, -1), x], 1) + self.pos
        return self.head(self.ln(self.blocks(x))[:, 0])


PAD = 0  # the recurrent language models' padding token


class RecurrentLM(nn.Module):
    """A language model on a recurrent layer: embedding (with a padding token), the layer, a
    projection back to the embedding width and an output layer that shares the embedding's weight.
    With `learned_state` the layer starts from learned initial states instead of zeros."""

    def __init__(self, rnn, vocab=32, dim=12, layers=2, bidirectional=False, batch_first=True,
                 learned_state=False, dropout=0.0):
        super().__init__()
        self.batch_first = batch_first
        self.emb = nn.Embedding(vocab, dim, padding_idx=PAD)
        self.rnn = rnn(dim, dim, layers, batch_first=batch_first, bidirectional=bidirectional,
                       dropout=dropout)
        directions = 2 if bidirectional else 1
        self.states = nn.ParameterList(
            [nn.Parameter(torch.randn(layers * directions, 1, dim) * 0.5)
             for _ in range(2 if rnn is nn.LSTM else 1)] if learned_state else [])
        self.proj = nn.Linear(directions * dim, dim)
        self.head = nn.Linear(dim, vocab)
        self.tie_weights()

    def tie_weights(self):
        self.head.weight = self.emb.weight

    def forward(self, ids):
        x = self.emb(ids if self.batch_first else ids.t())
        hx = None
        if len(self.states):
            states = tuple(s.expand(-1, ids.shape[0], -1).contiguous() for s in self.states)
            hx = states if len(states) == 2 else states[0]
        y, _ = self.rnn(x, hx)
        logits = self.head(torch.tanh(self.proj(y)))
        return logits if self.batch_first else logits.transpose(0, 1)


def model_batch(name, step=0):
    """Batch number `step` of model family `name`: inputs and targets, new values for every step."""
    g = torch.Generator().manual_seed(100 + step)
    if name in ("lstm_lm", "gru_lm"):
        # Token ids and the next token of each; the shorter sequence ends in padding.
        ids = torch.randint(1, 32, (2, 7), generator=g)
        ids[1, 4 + step % 2:] = PAD
        return ids[:, :-1], ids[:, 1:]
    if name in ("gpt2", "llama"):
        ids = torch.randint(0, 64, (2, 8), generator=g)
        return ids, ids
    if name == "bert_mlm":  # some positions without a label
        ids = torch.randint(0, 64, (2, 16), generator=g)
        labels = ids.clone()
        labels[1, 11:] = -100
        return ids, labels
    if name == "bert":
        # Padding: the second sequence ends in pad tokens that the attention mask hides, fewer or
        # more from one batch to the next.
        ids = torch.randint(1, 64, (2, 8), generator=g)
        mask = torch.ones(2, 8, dtype=torch.long)
        ids[1, 5 + step % 2:] = 0
        mask[1, 5 + step % 2:] = 0
        return (ids, mask), torch.randint(0, 3, (2,), generator=g)
    return torch.randn(2, 3, 8, 8, generator=g), torch.randint(0, 10, (2,), generator=g)


def gpt2_script(seed=0, layers=2, width=32, heads=2, positions=16):
    from transformers import GPT2Config, GPT2LMHeadModel
    torch.manual_seed(seed)
    config = GPT2Config(vocab_size=64, n_positions=positions, n_embd=width, n_layer=layers, n_head=heads,
                        resid_pdrop=0.0, embd_pdrop=0.0, attn_pdrop=0.0, bos_token_id=0, eos_token_id=0)
    return (GPT2LMHeadModel(config), (torch.optim.AdamW, dict(lr=1e-3))) + model_batch("gpt2")


def llama_script(seed=0, layers=2, width=32, heads=2, kv_heads=1, positions=16):
    """Grouped-query attention (fewer key/value heads than query heads), rotary positions, RMSNorm."""
    from transformers import LlamaConfig, LlamaForCausalLM
    torch.manual_seed(seed)
    config = LlamaConfig(vocab_size=64, hidden_size=width, intermediate_size=2 * width, num_hidden_layers=layers,
                         num_attention_heads=heads, num_key_value_heads=kv_heads,
                         max_position_embeddings=positions, bos_token_id=0, eos_token_id=0)
    return (LlamaForCausalLM(config), (torch.optim.AdamW, dict(lr=1e-3))) + model_batch("llama")


def bert_script(seed=0):
    """Sequence classification with an attention mask over padding."""
    from transformers import BertConfig, BertForSequenceClassification
    torch.manual_seed(seed)
    config = BertConfig(vocab_size=64, hidden_size=32, num_hidden_layers=2, num_attention_heads=2,
                        intermediate_size=64, max_position_embeddings=16, hidden_dropout_prob=0.0,
                        attention_probs_dropout_prob=0.0, pad_token_id=0, num_labels=3)
    return (BertForSequenceClassification(config), (torch.optim.AdamW, dict(lr=1e-3))) + model_batch("bert")


def bert_mlm_script(seed=0):
    """BERT's masked language model (not in MODELS: test_fusion.py trains it on a batch of its own)."""
    return (masked_lm_bert(seed)[0], (torch.optim.AdamW, dict(lr=1e-3, weight_decay=0.01))) + model_batch("bert_mlm")


def resnet_script(seed=0):
    torch.manual_seed(seed)
    return (ResNet(), (torch.optim.SGD, dict(lr=0.05, momentum=0.9))) + model_batch("resnet")


def vit_script(seed=0):
    torch.manual_seed(seed)
    return (ViT(), (torch.optim.AdamW, dict(lr=1e-3))) + model_batch("vit")


def lstm_lm_script(seed=0, dropout=0.0):
    """Two LSTM layers from learned initial states."""
    torch.manual_seed(seed)
    model = RecurrentLM(nn.LSTM, learned_state=True, dropout=dropout)
    return (model, (torch.optim.AdamW, dict(lr=1e-2))) + model_batch("lstm_lm")


def gru_lm_script(seed=0, dropout=0.0):
    """Two bidirectional GRU layers, sequence first, from zeros."""
    torch.manual_seed(seed)
    model = RecurrentLM(nn.GRU, bidirectional=True, batch_first=False, dropout=dropout)
    return (model, (torch.optim.SGD, dict(lr=0.5, momentum=0.9))) + model_batch("gru_lm")


MODELS = {"gpt2": gpt2_script, "llama": llama_script, "bert": bert_script, "resnet": resnet_script, "vit": vit_script,
          "lstm_lm": lstm_lm_script, "gru_lm": gru_lm_script}


def setup_model(name, device, **kwargs):
    """Model, optimizer, inputs and targets of model family `name`, on `device`."""
    model, (opt_cls, opt_args), x, y = MODELS[name](**kwargs)
    model = model.to(device)
    if hasattr(model, "tie_weights"):
        # Module.to gives each use of a shared host parameter a lazy parameter of its own.
        model.tie_weights()
    model.train()
    x = tuple(t.to(device) for t in x) if isinstance(x, tuple) else x.to(device)
    return model, opt_cls(model.parameters(), **opt_args), x, y.to(device)


def model_step(name, model, optimizer, x, y, autocast=None):
    """One training step of a model family; returns the loss. autocast: a dtype to run the forward
    pass (loss included) in, under torch.autocast("cpu", dtype=autocast)."""
    optimizer.zero_grad(set_to_none=True)
    with torch.autocast("cpu", dtype=autocast) if autocast else contextlib.nullcontext():
        if name in ("gpt2", "llama", "bert_mlm"):
            loss = model(input_ids=x, labels=y).loss
        elif name == "bert":
            loss = model(input_ids=x[0], attention_mask=x[1], labels=y).loss
        elif name in ("lstm_lm", "gru_lm"):
            loss = F.cross_entropy(model(x).flatten(0, 1), y.flatten(), ignore_index=PAD)
        else:
            loss = F.cross_entropy(model(x), y)
    loss.backward()
    optimizer.step()
    return loss
