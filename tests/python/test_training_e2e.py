"""Real training through the whole system: vudored, the module, torch-lumo-opt and the reference
appliance train the training scripts (a decoder of transposed convolutions among them) and the model
families (GPT-2, BERT with padding and BERT's masked language model from `transformers`, the ResNet-
and ViT-style classifiers, LSTM and GRU language models) with eager PyTorch's loss at every step and its final weights, buffers and
optimizer state; GPT-2 and LLaMA also with the forward pass under bfloat16 CPU autocast, as eager
PyTorch computes it."""
import math

import pytest

from test_frontend import run

E2E = r'''
import copy
import training_models as tm
CASE = os.environ["CASE"]
STEPS = int(os.environ["STEPS"])
AUTOCAST = torch.bfloat16 if os.environ.get("AUTOCAST") else None
if AUTOCAST:
    # Eager attention in PyTorch's reference (math) kernel, which the lazy device records: the CPU's
    # fused kernel rounds its bfloat16 result differently.
    from torch.nn.attention import SDPBackend, sdpa_kernel
    math_attention = sdpa_kernel(SDPBackend.MATH)
    math_attention.__enter__()
script = CASE.split("-")[0]
families = dict(tm.MODELS, bert_mlm=tm.bert_mlm_script)
family = script in families
model, (opt_cls, opt_args), x, y = families[script](**({"dropout": 0.3} if CASE.endswith("-dropout") else {})) if family else \
    SCRIPTS[script](**({"dropout": 0.0} if script == "transformer" else {}))

def batch(i):
    if family:
        return tm.model_batch(script, i)
    g = torch.Generator().manual_seed(100 + i)
    bx = torch.randn(x.shape, generator=g) if x.is_floating_point() else torch.randint(0, 50, x.shape, generator=g)
    return bx, torch.randint(0, int(y.max()) + 1, y.shape, generator=g)

def train(net, opt, x, y):
    if family:
        return tm.model_step(script, net, opt, x, y, autocast=AUTOCAST)
    opt.zero_grad()
    loss = loss_fn(net(x), y)
    loss.backward()
    opt.step()
    return loss

eager = copy.deepcopy(model)
eager_opt = opt_cls(eager.parameters(), **opt_args)
model.to(dev.torch_device)
optimizer = opt_cls(model.parameters(), **opt_args)
lazy_step = vudored.step(model, optimizer)(lambda x, y: train(model, optimizer, x, y))

def first_moments(state):
    return [s["exp_avg"] for s in state["state"].values()]

losses, first_step = [], None
for i in range(STEPS):
    losses.append((lazy_step(*batch(i)).item(), train(eager, eager_opt, *batch(i)).item()))
    if i == 0 and AUTOCAST:
        # After the first step Adam's first moment is (1 - beta1) * gradient: the gradients of the
        # one step both sides start from alike, relative to each tensor's largest.
        first_step = max((a - b).abs().max().item() / b.abs().max().item() for a, b in zip(
            first_moments(lazy_step.optimizer_state_dict()), first_moments(eager_opt.state_dict())))

def worst(a, b):
    return max(((u - v).abs().max().item() for u, v in zip(a, b) if u.is_floating_point()), default=0.0)

def without_noise(state):
    """Where a gradient is pure rounding noise (the attention's key bias: analytically zero), Adam
    turns the noise into full steps in either direction; such elements (second moment < 1e-16) say
    nothing, and take eager's values."""
    for name, p in eager.named_parameters():
        second = eager_opt.state[p].get("exp_avg_sq")
        if second is not None:
            state[name] = torch.where(second < 1e-16, p.detach(), state[name])
    return state

state = without_noise(lazy_step.state_dict())
eager_state = {k: v.clone() for k, v in eager.state_dict().items()}
integer_state_equal = all(torch.equal(state[k], v) for k, v in eager_state.items() if not v.is_floating_point())
# The trained state continues in eager PyTorch exactly like the eager run.
copy_model = copy.deepcopy(eager)
copy_model.load_state_dict(state)
copy_opt = opt_cls(copy_model.parameters(), **opt_args)
copy_opt.load_state_dict(lazy_step.optimizer_state_dict())
optimizer_state = worst([t for s in copy_opt.state_dict()["state"].values() for t in s.values()],
                        [t for s in eager_opt.state_dict()["state"].values() for t in s.values()])
after = (train(copy_model, copy_opt, *batch(STEPS)).item(), train(eager, eager_opt, *batch(STEPS)).item())
program = open(os.path.join(os.environ["ART"], "lumo.mlir")).read()
report(losses=losses, first_step_gradients=first_step, bf16_values=program.count("bf16>"), fallback_report=os.path.exists("ltc_unsupported.graph"), weights=worst(state.values(), eager_state.values()),
       keys_equal=sorted(state) == sorted(eager_state), integer_state_equal=integer_state_equal,
       optimizer_state=optimizer_state, continued=after,
       continued_weights=worst(without_noise(copy_model.state_dict()).values(), eager.state_dict().values()))
'''


@pytest.mark.parametrize("case,steps", [("mlp", 10), ("cnn", 10), ("decoder", 3),
                                        ("transformer", 10), ("gpt2", 10), ("bert", 3), ("bert_mlm", 3), ("resnet", 3),
                                        ("vit", 3), ("lstm_lm", 3), ("gru_lm", 3)])
def test_training_equals_eager(tmp_path, case, steps):
    results, proc = run(tmp_path, E2E, fake=False, env={"CASE": case, "STEPS": str(steps)})
    assert not results["fallback_report"]
    for lazy, eager in results["losses"] + [results["continued"]]:
        assert lazy == pytest.approx(eager, rel=1e-4, abs=1e-5), results["losses"]
    assert results["keys_equal"] and results["integer_state_equal"]  # buffers: num_batches_tracked
    assert results["weights"] < 1e-4 and results["optimizer_state"] < 1e-4
    assert results["continued_weights"] < 1e-4


def test_recurrent_dropout_trains(tmp_path):
    """With inter-layer dropout the program draws its own masks (eager PyTorch's differ): it must
    train, with finite losses."""
    results, proc = run(tmp_path, E2E, fake=False, env={"CASE": "lstm_lm-dropout", "STEPS": "3"})
    assert not results["fallback_report"]
    assert all(math.isfinite(lazy) for lazy, _ in results["losses"] + [results["continued"]]), results["losses"]
    assert "lumo.RandomUniform" in (tmp_path / "art" / "lumo.mlir").read_text()


@pytest.mark.parametrize("case", ["gpt2", "llama"])
def test_bf16_autocast_training_equals_eager(tmp_path, case):
    """The step writes `with torch.autocast("cpu", dtype=torch.bfloat16):` around the forward pass
    and loss; eager PyTorch runs the same script on the CPU."""
    results, proc = run(tmp_path, E2E, fake=False, env={"CASE": case, "STEPS": "3", "AUTOCAST": "1"})
    assert not results["fallback_report"]
    assert results["bf16_values"] > 0  # the program computes in bfloat16
    # The first step's gradients are eager's (float32 gradients are 2e-3 to 1e-2 away); later steps
    # drift apart (a weight one float32 rounding apart may round to another bfloat16).
    assert results["first_step_gradients"] < 1e-3
    for lazy, eager in results["losses"] + [results["continued"]]:
        assert lazy == pytest.approx(eager, rel=2e-2), results["losses"]
    assert results["keys_equal"]
    assert results["weights"] < 2e-2 and results["optimizer_state"] < 2e-2
