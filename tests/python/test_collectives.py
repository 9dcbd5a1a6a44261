"""All-reduce inside the program: lumo.AllReduce run by lumo_interpreter through the collective
function of the run, and PyTorch's functional all_reduce on lazy tensors captured, converted and run."""
import re

import pytest
import torch
from torch.testing import assert_close

import lumo_interpreter as li
from convertkit import run_scenario


def all_reduce_program(groups, kind="sum", dtype="f32", channel=1):
    rows = ", ".join("[" + ", ".join(map(str, g)) + "]" for g in groups)
    shape = f"{len(groups)}x{len(groups[0])}"
    return f"""
func.func @main(%x: tensor<3x{dtype}> {{vx.input_name = "x"}}, %w: tensor<3x{dtype}> {{tf.resource_name = "w", tf.aliasing_output = 1 : i64}})
    -> (tensor<3x{dtype}> {{vx.output_name = "y"}}, tensor<3x{dtype}>) {{
  %0 = "lumo.AllReduce"(%x) {{kind = #lumo.all_reduce_kind<{kind}>, replica_groups = dense<[{rows}]> : tensor<{shape}xi64>, channel_id = {channel} : i64}} : (tensor<3x{dtype}>) -> tensor<3x{dtype}>
  %1 = "lumo.Add"(%w, %0) : (tensor<3x{dtype}>, tensor<3x{dtype}>) -> tensor<3x{dtype}>
  return %0, %1 : tensor<3x{dtype}>, tensor<3x{dtype}>
}}
"""


def test_collective_function_sees_each_all_reduce_in_program_order():
    text = all_reduce_program([[0, 2], [1, 3]], kind="max")
    text = text.replace('%1 = "lumo.Add"(%w, %0)', """%s = "lumo.AllReduce"(%0) {kind = #lumo.all_reduce_kind<sum>, replica_groups = dense<[[0, 1, 2, 3]]> : tensor<1x4xi64>, channel_id = 2 : i64} : (tensor<3xf32>) -> tensor<3xf32>
  %1 = "lumo.Add"(%w, %s)""")
    prog = li.Program(text)
    x = torch.tensor([1.0, -2.0, 3.0])
    calls = []

    def collective(t, kind, groups, channel):
        calls.append((kind, groups, channel, t.clone()))
        t.mul_(2)  # its own tensor: changing it in place is allowed
        return t

    y, w = prog.run([x, torch.ones(3)], collective=collective)
    assert [c[:3] for c in calls] == [("max", [[0, 2], [1, 3]], 1), ("sum", [[0, 1, 2, 3]], 2)]
    assert_close(calls[0][3], x)
    assert_close(y, 2 * x)
    assert_close(w, 1 + 4 * x)
    assert_close(x, torch.tensor([1.0, -2.0, 3.0]))  # the argument is left alone


def test_state_runs_with_its_collective_function():
    prog = li.Program(all_reduce_program([[0, 1]], kind="xor", dtype="si32"))
    state = prog.new_state()
    state.load("w", torch.zeros(3, dtype=torch.int32))
    x = torch.tensor([1, 6, 3], dtype=torch.int32)
    with pytest.raises(li.Error, match=r"lumo\.AllReduce at .*channel 1 combines groups of 2 replicas, and the "
                                      r"run has no collective function"):
        state.run([x])
    state.set_collective(lambda t, kind, groups, channel: t ^ torch.tensor([3, 3, 3], dtype=torch.int32))
    for step in range(1, 3):
        (y,) = state.run([x])
        assert_close(y, x ^ 3)
        assert_close(state.read("w"), step * (x ^ 3))
    state.set_collective(None)
    with pytest.raises(li.Error, match="no collective function"):
        state.run([x])


def test_single_replica_groups_run_without_a_collective_function():
    prog = li.Program(all_reduce_program([[0]]))
    x = torch.tensor([1.0, 2.0, 3.0])
    y, w = prog.run([x, torch.ones(3)])
    assert_close(y, x)
    assert_close(w, 1 + x)


@pytest.mark.parametrize("collective, message", [
    (lambda t, *_: 1 / 0, "the collective function raised ZeroDivisionError: division by zero"),
    (lambda t, *_: [1.0, 2.0, 3.0], "the collective function returned list, not a tensor"),
    (lambda t, *_: t[:2], r"result 0 has shape \[2\] and type f32, its type says shape \[3\]"),
    (lambda t, *_: t.double(), r"result 0 has shape \[3\] and type f64, its type says shape \[3\] and type f32"),
    (lambda t, *_: t.to("meta"), "returned a tensor on meta, not a strided CPU tensor"),
], ids=["raises", "not-a-tensor", "wrong-shape", "wrong-dtype", "not-on-cpu"])
def test_a_failing_collective_function_fails_the_run(collective, message):
    prog = li.Program(all_reduce_program([[0, 1]]))
    state = prog.new_state()
    state.load("w", torch.ones(3))
    state.set_collective(collective)
    with pytest.raises(li.Error, match=r"lumo\.AllReduce at [^:]+:\d+:\d+: .*" + message):
        state.run([torch.ones(3)])
    assert_close(state.read("w"), torch.ones(3))  # a failed run changes no weight
    with pytest.raises(TypeError, match="must be callable"):
        state.set_collective(3)


# One process with a 1-process gloo group: all_reduce and wait_tensor on lazy tensors become
# operations of the step's program, whose collectives reach the collective function of the run
# (here one that doubles its tensor, so that the results show it was called).
SCENARIO = r'''
import glob, socket
import torch.distributed as dist

with socket.socket() as s:
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
f = torch.ops._c10d_functional

lazy = torch.zeros(2).to("lazy")
before_init = error_of(lambda: f.all_reduce(lazy, "sum", "0"))
dist.init_process_group("gloo", rank=0, world_size=1, init_method=f"tcp://127.0.0.1:{port}")

x_host = torch.tensor([1.0, -2.0, 3.0, 0.5])
def outputs():
    global x
    x = x_host[None].to("lazy")
    ox.set_parameter_name(x, "input_x")
    x = x[0]
    y = f.wait_tensor(f.all_reduce(x, "sum", "0"))                     # the group by its name
    z = f.wait_tensor(f.all_reduce(y * 3, "avg", dist.group.WORLD))    # the group itself
    w = x + 1
    f.all_reduce_(w, "max", "0")                                        # the in-place form
    return {"y": y, "z": z, "w": w}
prog = program_of(outputs)

errors = {
    "before_init": before_init,
    "reduce_op": error_of(lambda: f.all_reduce(x, "premul_sum", "0")),
    "band_float": error_of(lambda: f.all_reduce(x, "band", "0")),
    "group": error_of(lambda: f.all_reduce(x, "sum", "no-such-group")),
    "c10d": error_of(lambda: dist.all_reduce(x)),
}
torch_text = "".join(open(p).read() for p in glob.glob(os.path.join(os.environ["CONVERT_ART"], "**", "torch.mlir"), recursive=True))
calls = []
def collective(t, kind, groups, channel):
    calls.append([kind, groups, channel])
    return t * 2
hooked = {n: t.tolist() for n, t in run_program(prog, {"input_x": x_host[None]}, collective=collective).items()}
plain = {n: t.tolist() for n, t in run_program(prog, {"input_x": x_host[None]}).items()}
report(torch_text=torch_text, lumo_text=programs[-1], calls=calls, hooked=hooked, plain=plain, errors=errors)
'''


def test_all_reduce_on_lazy_tensors_runs_in_the_program(tmp_path):
    r = run_scenario(tmp_path, SCENARIO)
    ops = re.findall(r'"torch\.operator"\(%\w+, %\w+, %\w+\) \{name = "_c10d_functional\.(\w+)"\} : '
                     r'\(!torch\.vtensor<\[4\],f32>, !torch\.str, !torch\.list<int>\)', r["torch_text"])
    assert ops == ["all_reduce"] * 3, r["torch_text"]
    assert "wait_tensor" not in r["torch_text"]
    assert len(re.findall(r"lumo\.AllReduce %\w+ \{channel_id = \d : i64, kind = #lumo\.all_reduce_kind<(?:sum|max)>, "
                          r"replica_groups = dense<0> : tensor<1x1xi64>\}", r["lumo_text"])) == 3, r["lumo_text"]
    # Each collective once per run, in program order.
    assert [c[2] for c in r["calls"]] == [1, 2, 3]
    assert sorted(c[0] for c in r["calls"]) == ["max", "sum", "sum"]
    assert all(c[1] == [[0]] for c in r["calls"])
    x = torch.tensor([1.0, -2.0, 3.0, 0.5])
    for results, factor in ((r["hooked"], 2), (r["plain"], 1)):
        assert_close(torch.tensor(results["y"]), factor * x)
        assert_close(torch.tensor(results["z"]), factor * 3 * factor * x)  # avg over one rank
        assert_close(torch.tensor(results["w"]), factor * (x + 1))
    errors = r["errors"]
    assert errors["before_init"].startswith("RuntimeError: _c10d_functional::all_reduce: the default process "
                                            "group is not initialized"), errors["before_init"]
    assert errors["reduce_op"].startswith("RuntimeError: Unrecognized reduce_op: premul_sum"), errors
    assert errors["band_float"].startswith("RuntimeError: Cannot use ReduceOp.BAND with non-integral dtype"), errors
    assert errors["group"].startswith("RuntimeError: _c10d_functional::all_reduce: cannot find the ranks of the "
                                      "process group 'no-such-group': "), errors["group"]
    assert "The Orvex backend does not yet support `c10d::allreduce_" in errors["c10d"], errors["c10d"]
