"""A training loop driven the way the front end drives it: named inputs and weights, marked
outputs, every updated weight aliased to its input, one mark_step per step."""
from stepkit import run_steps

LOOP = r'''
sys.path.insert(0, os.environ["ORVEX_TEST_DIR"])
from training_models import SCRIPTS, lazy_state, train_step, weights_to_lazy_leaves

model, (opt_cls, opt_args), x_host, y_host = SCRIPTS["mlp"]()
initial = {n: p.detach().clone() for n, p in model.named_parameters()}
weights_to_lazy_leaves(model)
optimizer = opt_cls(model.parameters(), **opt_args)

def state_tensors():
    return lazy_state(model, optimizer)

# The appliance gets the starting weights: keep copies of their records for the first program.
kept = {n: ox.clone_tensor(p) for n, p in model.named_parameters()}
seen_weights = []

def execute_cb(batch, weights):
    calls.append({"kind": "execute", "batch": batch, "weights": [w.name for w in weights]})
    seen_weights.extend(weights)
    return set()
ox.set_callbacks(compile_cb, execute_cb)

counts = []
losses = []
for step in range(5):
    for name, t in state_tensors().items():
        ox.set_parameter_name(t, name)
        if step == 1 and name in kept:
            ox.copy_appliance_data(kept[name], t)
    x = x_host.to("lazy"); ox.set_parameter_name(x, "input_x")
    y = y_host.to("lazy"); ox.set_parameter_name(y, "input_y")
    loss = train_step(model, optimizer, x, y)
    losses.append(ox.mark_output_tensor(loss, "loss"))
    for name, t in state_tensors().items():
        ox.set_alias(t, name)
    torch._lazy.mark_step()
    counts.append(len(calls))

weight_data_ok = all(
    torch.equal(w.tensor, initial[w.name]) for w in seen_weights if w.name in initial)
report(counts=counts, calls=[{k: v for k, v in c.items() if k != "text"} for c in calls],
       compile_text=[c["text"] for c in calls if c["kind"] == "compile"],
       files=sorted(os.listdir(ART)), weight_data_ok=weight_data_ok,
       weights_with_data=sorted(w.name for w in seen_weights if w.has_tensor),
       loss_name=ox.get_tensor_name(losses[-1]),
       loss_records_shared=ox.get_appliance_data(losses[2]).name == ox.get_appliance_data(losses[4]).name,
       weight_flags=[ox.is_weight_tensor(p) for p in model.parameters()])
'''


def test_mlp_trains_for_five_steps(tmp_path):
    import pathlib
    results, proc = run_steps(tmp_path, LOOP,
                              env={"ORVEX_TEST_DIR": str(pathlib.Path(__file__).parent)})
    # Step 1 runs nothing, step 2 compiles and executes, steps 3 to 5 reuse the cached results.
    assert results["counts"] == [0, 2, 2, 2, 2], proc.stderr[-3000:]
    compile_call, execute_call = results["calls"]
    assert compile_call["batch"] == 8 and execute_call["batch"] == 8
    params = ["fc1.weight", "fc1.bias", "fc2.weight", "fc2.bias"]
    weights = execute_call["weights"]
    assert sorted(weights) == sorted(params + [p + ".momentum_buffer" for p in params])
    assert results["files"] == ["lumo.mlir", "torch.mlir"]
    text = results["compile_text"][0]
    assert "lumo.MatMul" in text and "torch." not in text
    for name in weights:
        assert f'tf.resource_name = "{name}"' in text
    assert text.count("tf.aliasing_output") == len(weights)
    assert 'vx.input_name = "input_x"' in text and 'vx.input_name = "input_y"' in text
    assert 'vx.output_name = "loss"' in text
    # The weights handed to the appliance are the live records with the starting values.
    assert results["weights_with_data"] == sorted(params)
    assert results["weight_data_ok"]
    assert results["loss_name"] == "loss" and results["loss_records_shared"]
    assert results["weight_flags"] == [True] * 4
