"""The vudored front end and the reference appliance, each scenario in a fresh process (one program
per process). FAKE scenarios run the program with fake_program.FakeProgram (weights +1 per run,
outputs = run number) behind the conversion stand-in: they check the mechanics, not numbers."""
import json
import os
import pathlib

import pytest

from conftest import run_python
from stepkit import HELPERS, install_tool, results_of

HERE = pathlib.Path(__file__).parent

PRELUDE = r'''
import json, os, sys, time
import torch, torch.nn as nn, torch.nn.functional as F
import vudored
from vudored.appliance import ReferenceAppliance
from fake_program import FakeProgram
from training_models import SCRIPTS, loss_fn

os.chdir(os.environ["WORKDIR"])  # the backend writes ltc_unsupported.graph into the working directory
FAKE = os.environ["VUDORED_FAKE"] == "1"
STORE = json.loads(os.environ.get("VUDORED_STORE", "{}"))
appliance = ReferenceAppliance(FakeProgram if FAKE else None)
dev = vudored.backend.device(os.environ["ART"], appliance=appliance, store=STORE)
''' + HELPERS + r'''
def setup(name, **kwargs):
    model, (opt_cls, opt_args), x, y = SCRIPTS[name](**kwargs)
    model.to(dev.torch_device)
    return model, opt_cls(model.parameters(), **opt_args), x, y

def make_step(model, optimizer, **options):
    traces = []
    @vudored.step(model, optimizer, **options)
    def train_step(x, y):
        traces.append(1)
        optimizer.zero_grad()
        loss = loss_fn(model(x), y)
        loss.backward()
        optimizer.step()
        return loss
    return train_step, traces
'''


def run(tmp_path, scenario, fake=True, store=None, check=True, env=None):
    tools = tmp_path / "tools"
    if fake:
        install_tool(tools)
    env = {"PATH": f"{tools}:{os.environ['PATH']}", "PYTHONPATH": str(HERE), "ART": str(tmp_path / "art"),
           "WORKDIR": str(tmp_path),
           "VUDORED_FAKE": "1" if fake else "0", "VUDORED_STORE": json.dumps(store or {}), **(env or {})}
    proc = run_python(PRELUDE + scenario, env=env, check=check)
    return results_of(proc), proc


MECHANICS = r'''
model, optimizer, _, _ = setup("mlp")
closure_values = []
calls = []

forked = []

@vudored.step(model, optimizer)
def train_step(x, y, scale=2):
    calls.append(1)
    if not forked:  # a process forked while the step is traced, as a data loader's worker
        forked.append(os.fork())
        if forked[0] == 0:
            time.sleep(60)
            os._exit(0)
    optimizer.zero_grad()
    logits = model(x)
    loss = loss_fn(logits, y)
    loss.backward()
    optimizer.step()
    vudored.add_step_closure(lambda v: closure_values.append(v.item()), (loss,))
    return {"loss": loss, "both": (loss, logits), "scale": scale}

torch.manual_seed(1)
batches = [(torch.randn(8, 64), torch.randint(0, 10, (8,))) for _ in range(5)]
import orvex_pytorch_lib as ox
hosts = [ox.get_appliance_data(p).tensor for p in model.parameters()]  # each also held by its record
start = time.perf_counter()
outputs = [train_step(x, y) for x, y in vudored.utils.data.DataLoader(batches)]
seconds = time.perf_counter() - start
os.kill(forked[0], 9)
seen = appliance.program.seen
state = train_step.state_dict()
opt_state = train_step.optimizer_state_dict()
report(
    traces=len(calls), runs=len(seen), seconds=seconds,
    inputs_in_order=all(torch.equal(s["input.0"], x) and torch.equal(s["input.1"], y)
                        for s, (x, y) in zip(seen, batches)),
    losses=[o["loss"].item() for o in outputs], closure=closure_values,
    same_tensor_once=all(o["both"][0] is not None and o["both"][0].item() == o["loss"].item() for o in outputs),
    logits_shape=list(outputs[0]["both"][1].shape), scale=outputs[-1]["scale"],
    zero_start=sorted(appliance.zero_start),
    weights=sorted(appliance.weights()),
    moved=[k for k, v in state.items() if not torch.allclose(v, SCRIPTS["mlp"]()[0].state_dict()[k] + 5)],
    momentum=[float(s["momentum_buffer"].flatten()[0]) for s in opt_state["state"].values()],
    host_holders=[h._use_count() for h in hosts],
)
'''


def test_every_batch_once_in_order_with_named_state(tmp_path):
    results, proc = run(tmp_path, MECHANICS)
    params = ["fc1.weight", "fc1.bias", "fc2.weight", "fc2.bias"]
    # One trace on the first call, none later; one appliance run per batch, in order.
    assert results["traces"] == 1 and results["runs"] == 5 and results["inputs_in_order"]
    # The conversion tool, started before the trace, saw the end of its input although a process
    # forked during the trace lives on.
    assert results["seconds"] < 30
    assert results["losses"] == [1, 2, 3, 4, 5] == results["closure"]
    assert results["same_tensor_once"] and results["logits_shape"] == [8, 10] and results["scale"] == 2
    assert results["zero_start"] == sorted(p + ".momentum_buffer" for p in params)
    assert results["weights"] == sorted(params + results["zero_start"])
    # Each run's update replaced the weight for the next run: 5 runs, +5.
    assert results["moved"] == [] and results["momentum"] == [5.0] * 4
    # Once the appliance holds the weights, the host keeps no copy of their first values: neither
    # the cached program nor the gradients the trace left on the parameters hold them.
    assert results["host_holders"] == [1] * 4


ERRORS = {
    # A DataLoader without drop_last: the last batch (4 of 8) is refused, after the others trained.
    "smaller_last_batch": ('''
data = torch.utils.data.TensorDataset(torch.randn(20, 64), torch.randint(0, 10, (20,)))
loader = vudored.utils.data.DataLoader(torch.utils.data.DataLoader(data, batch_size=8))
for x, y in loader:
    train_step(x, y)
''', "BatchSizeError", ["Step 3: input.0 holds a batch of 4 samples", "batches of 8", "drop_last=True"]),
    # The host holds the weight's first value, but the program changes it at every step.
    "host_read_of_a_weight": ('''
@vudored.step(model, optimizer)
def train_step(x, y):
    loss = loss_fn(model(x), y)
    if model.fc1.weight.abs().sum() > 0:
        loss.backward()
    return loss
train_step(x, y)
''', "HostReadError", ["reads the value of a lazy tensor on the host (Tensor.__bool__)",
                       "depends on fc1.weight, which the program changes at every step", "add_step_closure"]),
    "host_read_printed": ('''
@vudored.step(model, optimizer)
def train_step(x, y):
    print(x.sum())
train_step(x, y)
''', "HostReadError", ["on the host (Tensor.__repr__)"]),
    # A read the batch answers is a guard of the program: a batch that answers otherwise is refused
    # before it runs.
    "host_read_guard": ('''
@vudored.step(model, optimizer)
def train_step(x, y):
    optimizer.zero_grad()
    loss = loss_fn(model(x), y)
    if bool((y == 0).any()):
        loss = loss * 2
    loss.backward()
    optimizer.step()
    return loss
with_zero, without = y.clone(), y.clamp(min=1)
with_zero[0] = 0
for batch in (with_zero, with_zero, without):
    train_step(x, batch)
''', "GraphChangedError", ["Step 3: the step read a value on the host (Tensor.__bool__) while it was traced "
                          "and got True; this batch gives False", "this batch was not run"]),
    "graph_change": ('''
traces = []
@vudored.step(model, optimizer, retrace=True)
def train_step(x, y):
    traces.append(1)
    loss = loss_fn(model(x), y)
    return loss * 2 if len(traces) == 3 else loss
for _ in range(4):
    train_step(x, y)
''', "GraphChangedError", ["Step 3: the step's graph differs from the compiled program",
                           "second compile call"]),
    "constant_argument": ('''
@vudored.step(model, optimizer)
def train_step(x, y, weight):
    optimizer.zero_grad()
    loss = loss_fn(model(x), y) * weight
    loss.backward()
    optimizer.step()
    return loss
train_step(x, y, 1.0)
train_step(x, y, 2.0)
''', "GraphChangedError", ["Step 2: argument 2 changed from 1.0 to 2.0"]),
    "weights_without_data": ('''
with vudored.backend.keeping_data(False):
    other = SCRIPTS["mlp"]()[0].to(dev.torch_device)
make_step(other, torch.optim.SGD(other.parameters(), lr=0.1))[0](x, y)
''', "VudoredError", ["fc1.weight has no host data", "vudored.backend.device"]),
}


@pytest.mark.parametrize("case", sorted(ERRORS))
def test_refusals(tmp_path, case):
    code, kind, texts = ERRORS[case]
    scenario = ('''
model, optimizer, x, y = setup("mlp")
train_step, traces = make_step(model, optimizer)
def main():
''' + "\n".join("    " + line for line in code.strip().splitlines()) + '''
report(error=error_of(main), runs=appliance.runs)
''')
    results, proc = run(tmp_path, scenario)
    error = results.get("error") or proc.stderr[-3000:]
    assert error.startswith(kind + ": "), error
    for text in texts:
        assert text in error
    if case in ("smaller_last_batch", "host_read_guard"):
        assert results["runs"] == 2


STORAGE = r'''
model, (opt_cls, opt_args), x, y = SCRIPTS["mlp"]()
initial = {k: v.clone() for k, v in model.state_dict().items()}
model.to(dev.torch_device)
# fc2.weight never exists on the host: the appliance materialises it.
model.fc2.weight = vudored.deferred.parameter(lambda: initial["fc2.weight"].clone(), (10, 128))
optimizer = opt_cls(model.parameters(), **opt_args)
train_step, traces = make_step(model, optimizer)
# The records name their data files at once; the files are written in the background.
files = [os.path.basename(vudored.backend.ox.get_appliance_data(t).filename or "") for t in model.parameters()]
deferred = type(vudored.backend.ox.get_appliance_data(model.fc2.weight).tensor).__name__
for _ in range(3):
    train_step(x, y)
state = train_step.state_dict()
report(files=[f for f in files if f.endswith(".app_data")],
       deferred=deferred,
       moved=[k for k in state if not torch.allclose(state[k], initial[k] + (3 if FAKE else 0))])
'''


def test_weights_from_files_and_deferred_tensors(tmp_path):
    # Tensors above 1 KiB go to data files: fc1.weight (32 KiB) and the batch-sized ones do not stay
    # in memory.
    results, proc = run(tmp_path, STORAGE, store={"max_tensor_size": 1024})
    assert results["files"], proc.stderr[-2000:]
    assert results["deferred"] == "DeferredTensor"
    assert results["moved"] == []


def test_appliance_refuses_a_program_it_cannot_run(caplog):
    from vudored.appliance import ReferenceAppliance
    appliance = ReferenceAppliance()
    text = "func.func @main(%arg0: tensor<2xf32>) -> tensor<2xf32> {\n  %0 = lumo.Nope %arg0\n}\n"
    assert appliance.compile(2, text) is False
    assert "cannot run this program" in caplog.text and "error" in caplog.text
