"""One full training step (forward, loss, backward, optimizer update; dropout off) of each training
script and of small GPT-2 and BERT models, captured on the lazy device, converted by torch-lumo-opt
and run by lumo_interpreter, gives the loss and every updated weight and optimizer state that eager
PyTorch gives from the same starting point."""
import pytest

from convertkit import run_scenario

STEP = r'''
import copy
sys.path.insert(0, os.environ["PYTHONPATH"])
from training_models import (SCRIPTS, lazy_state, masked_lm_bert, step_state as state, train_step,
                             weights_to_lazy_leaves)

def hf_model(kind):
    import transformers
    torch.manual_seed(0)
    ids = torch.randint(0, 64, (2, 16))
    if kind == "gpt2":
        cfg = transformers.GPT2Config(vocab_size=64, n_positions=32, n_embd=32, n_layer=2, n_head=4,
                                      resid_pdrop=0.0, embd_pdrop=0.0, attn_pdrop=0.0)
        return transformers.GPT2LMHeadModel(cfg), {"input_ids": ids, "labels": ids}
    model, ids, labels = masked_lm_bert()
    return model, {"input_ids": ids, "labels": labels}

if NAME in SCRIPTS:
    model, (opt_cls, opt_args), x, y = SCRIPTS[NAME](**({"dropout": 0.0} if NAME == "transformer" else {}))
    batch = {"x": x, "y": y}
    def step(model, opt, batch):
        return train_step(model, opt, batch["x"], batch["y"])
else:
    model, batch = hf_model(NAME)
    opt_cls, opt_args = torch.optim.AdamW, dict(lr=1e-3, weight_decay=0.01)
    def step(model, opt, batch):
        opt.zero_grad(set_to_none=True)
        loss = model(**batch).loss
        loss.backward()
        opt.step()
        return loss

eager = copy.deepcopy(model)
weights_to_lazy_leaves(model)
for module in model.modules():
    for k, b in list(module._buffers.items()):
        if b is not None:
            module._buffers[k] = b.to("lazy") if b.is_floating_point() else ox.make_constant(b)
opt = opt_cls(model.parameters(), **opt_args)
# Two steps: the first is traced only, the program is built from the second.
for _ in range(2):
    for n, t in state(model, opt).items():
        ox.set_parameter_name(t, n)
    lazy_batch = {}
    for k, v in batch.items():
        lazy_batch[k] = v.to("lazy")
        ox.set_parameter_name(lazy_batch[k], "input_" + k)
    loss = ox.mark_output_tensor(step(model, opt, lazy_batch), "loss")
    for n, t in state(model, opt).items():
        ox.set_alias(t, n)
    torch._lazy.mark_step()

# Eager: the first step, then the state the program starts from, then the step it computes.
eager_opt = opt_cls(eager.parameters(), **opt_args)
step(eager, eager_opt, batch)
before = {n: t.detach().clone() for n, t in state(eager, eager_opt).items()}
want_loss = step(eager, eager_opt, batch).detach()
want = {n: t.detach().clone() for n, t in state(eager, eager_opt).items()}

prog = li.Program(programs[-1])
args = []
for a in prog.arguments:
    if a.kind == "embedded":
        args.append(None)
    elif a.kind == "weight":
        args.append(before[a.name])
    elif a.name.startswith("input_"):
        args.append(batch[a.name[len("input_"):]])
    else:  # tensors made on the host whose values the program does not read (torch.ones: empty, filled)
        args.append(torch.zeros(a.shape, dtype=a.dtype))
got = prog.run(args)
bad = {}
updated = set()
for r, t in zip(prog.results, got):
    name = r.updates or r.name
    ref = want_loss if r.name == "loss" else want[r.updates]
    updated.add(name)
    if not torch.allclose(t, ref, rtol=1e-4, atol=1e-5):
        bad[name] = (t - ref).abs().max().item()
report(bad=bad, missing=sorted(set(want) - updated), results=len(got))
'''


@pytest.mark.parametrize("name", ["mlp", "cnn", "transformer", "gpt2", "bert"])
def test_training_step_equals_eager(tmp_path, name):
    results = run_scenario(tmp_path, f"NAME = {name!r}\n" + STEP)
    assert results["bad"] == {}, results["bad"]
    # Every weight and optimizer state comes back updated, besides the loss.
    assert results["missing"] == []
    assert results["results"] > 4
