"""Fused kernels of the lumo interpreter: every training model's program gives the same results
fused as unfused (within float32 rounding), every kind of fusible operation computes what its
ATen kernel computes (NaN, infinities, broadcasts, f64 and booleans included), and compiled
kernels are reused from the disk cache by a fresh process, recompiled when a cached file is
corrupt, and kept in memory only when the cache directory cannot be written; weights updated in
place or freed after their last use, and values computed again instead of stored, give the
unfused plan's values."""
import os
import pathlib

import pytest

from conftest import run_python
from convertkit import run_scenario
from stepkit import results_of

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))

# Every training model of the tests, traced into one program (one program per process): the
# scripts of training_models.SCRIPTS, the model families of training_models.MODELS (BERT as the
# masked language model of test_training_e2e, which needs no host read of its mask).
TRAINING = r'''
import copy
sys.path.insert(0, os.environ["PYTHONPATH"])
import training_models as tm

def bert():
    model, ids, labels = tm.masked_lm_bert()
    return model, (torch.optim.AdamW, dict(lr=1e-3, weight_decay=0.01)), ids, labels

models = {}
for name, script in tm.SCRIPTS.items():
    models[name] = script(**({"dropout": 0.0} if name == "transformer" else {})) + (tm.train_step,)
for name, script in tm.MODELS.items():
    if name != "bert":
        models[name] = script() + ((lambda n: lambda m, o, x, y: tm.model_step(n, m, o, x, y))(name),)
def step_bert(m, o, x, y):
    o.zero_grad(set_to_none=True)
    loss = m(input_ids=x, labels=y).loss
    loss.backward()
    o.step()
    return loss

models["bert"] = bert() + (step_bert,)

state = tm.step_state

# Host copies take one eager step: the values the program starts from; a second one gives eager
# PyTorch's results of the step the program computes.
before, after, batches, lazy = {}, {}, {}, {}
for name, (model, (opt_cls, opt_args), x, y, step) in models.items():
    eager = copy.deepcopy(model)
    eager_opt = opt_cls(eager.parameters(), **opt_args)
    step(eager, eager_opt, x, y)
    before.update({f"{name}/{n}": t.detach().clone() for n, t in state(eager, eager_opt).items()})
    after[f"{name}/loss"] = step(eager, eager_opt, x, y).detach()
    after.update({f"{name}/{n}": t.detach().clone() for n, t in state(eager, eager_opt).items()})
    batches[name] = (x, y)
    tm.weights_to_lazy_leaves(model)
    for module in model.modules():
        for k, b in list(module._buffers.items()):
            if b is not None:
                module._buffers[k] = b.to("lazy") if b.is_floating_point() else ox.make_constant(b)
    lazy[name] = (model, opt_cls(model.parameters(), **opt_args), step)

for _ in range(2):  # the first step is traced only; the program is built at the second
    # The batches (of different sizes) are constants of the program; one input marks the batch.
    probe = torch.zeros(1).to("lazy")
    ox.set_parameter_name(probe, "input_probe")
    keep = [ox.mark_output_tensor(probe + 1, "probe")]
    for name, (model, opt, step) in lazy.items():
        for n, t in state(model, opt).items():
            ox.set_parameter_name(t, f"{name}/{n}")
        x, y = batches[name]
        lx, ly = ox.make_constant(x), ox.make_constant(y)
        keep.append(ox.mark_output_tensor(step(model, opt, lx, ly), f"{name}/loss"))
        for n, t in state(model, opt).items():
            ox.set_alias(t, f"{name}/{n}")
    torch._lazy.mark_step()

text = programs[-1]
fused = li.Program(text, fuse=True)
unfused = li.Program(text, fuse=False)
ready = fused.wait_for_kernels(300)
args = []
for a in unfused.arguments:
    if a.kind == "embedded":
        args.append(None)
    elif a.kind == "weight":
        args.append(before[a.name])
    else:
        args.append(torch.zeros(a.shape, dtype=a.dtype))
want = unfused.run(args)
got = fused.run(args)
# Fused and unfused agree within float32 rounding: elementwise, or, for a value that rounding
# moves further (an Adam update divides by the root of a moment estimate that is itself rounding
# noise when a gradient is zero in exact arithmetic), as closely as the unfused one agrees with
# eager PyTorch.
def spread(a, b):
    return (a.double() - b.double()).abs().nan_to_num(float("inf")).max().item()
bad = {}
for r, w, g in zip(unfused.results, want, got):
    name = r.name or r.updates
    if w.dtype != g.dtype or w.shape != g.shape:
        bad[name] = "type"
    elif not torch.allclose(g, w, rtol=2e-5, atol=1e-6, equal_nan=True):
        if name not in after or spread(g, w) > 4 * spread(w, after[name]):
            bad[name] = spread(g, w)
models_with_results = sorted({(r.name or r.updates).split("/")[0] for r in unfused.results} - {"probe"})
report(bad=bad, ready=ready, kernels=fused.kernels, unfused_kernels=unfused.kernels, results=len(want),
       models=models_with_results)
'''


def test_fused_plan_equals_unfused_on_every_training_model(tmp_path):
    results = run_scenario(tmp_path, f"os.environ['LUMO_KERNEL_CACHE'] = {str(tmp_path / 'kernels')!r}\n" + TRAINING)
    kernels = results["kernels"]
    assert results["ready"] and kernels["ready"], kernels
    assert kernels["failures"] == 0, kernels["failure_reasons"]
    assert kernels["regions"] > 100 and kernels["compiled"] == kernels["regions"], kernels
    assert kernels["in_use"] and kernels["entangled"] < kernels["regions"] // 10, kernels
    # Identical regions (the per-parameter optimizer updates, repeated layers) compile once.
    assert kernels["memory_hits"] > kernels["regions"] // 2, kernels
    assert results["unfused_kernels"]["regions"] == 0
    assert results["models"] == sorted(["mlp", "cnn", "transformer", "decoder", "gpt2", "llama", "bert", "resnet",
                                        "vit", "lstm_lm", "gru_lm"])
    assert results["bad"] == {}, results["bad"]


# A program with every kind of operation fusion handles: f32 with a bias and a row broadcast,
# f64, booleans (comparisons, selections, casts), scalars, a reshape inside the region.
def ops_program():
    F, V, R, D, B, S = ("tensor<4x8xf32>", "tensor<8xf32>", "tensor<4x1xf32>", "tensor<4x8xf64>",
                        "tensor<4x8xi1>", "tensor<f32>")
    lines, types = [], {}

    def op(name, args, arg_types, result, attrs=""):
        value = f"%v{len(lines)}"
        attributes = f" {{{attrs}}}" if attrs else ""
        lines.append(f'    {value} = "lumo.{name}"({", ".join(args)}){attributes} : '
                     f'({", ".join(arg_types)}) -> {result}')
        types[value] = result
        return value

    def un(name, x, t=F, attrs=""):
        return op(name, [x], [t], t, attrs)

    def bi(name, x, y, tx=F, ty=F, attrs=""):
        return op(name, [x, y], [tx, ty], D if D in (tx, ty) else F, attrs)

    two = op("Const", [], [], S, "value = dense<2.0> : tensor<f32>")
    three = op("Const", [], [], S, "value = dense<3.0> : tensor<f32>")
    other = op("Const", [], [], S, "value = dense<0.7> : tensor<f32>")
    h = bi("Mul", bi("Add", "%x", "%b", F, V), "%r", F, R)
    t, e, s = un("Tanh", h), un("Exp", h), un("Sigmoid", h)
    ab = un("Abs", h)
    tanh_form = "approximation = #lumo.gelu_approximation<tanh>"
    results = [
        t, e, s, un("Erf", h), un("Gelu", h), un("Gelu", h, attrs=tanh_form), bi("GeluGrad", t, h),
        bi("GeluGrad", t, h, attrs=tanh_form), un("Relu", h), bi("ReluGrad", e, h), bi("SigmoidGrad", s, t),
        un("LeakyRelu", h, attrs="alpha = 0.2 : f64"), bi("LeakyReluGrad", t, h, attrs="alpha = 0.2 : f64"),
        un("Log", bi("Add", ab, "%s", F, S)), un("Sqrt", ab), un("Reciprocal", h), bi("Pow", h, two, F, S),
        bi("Pow", h, three, F, S), bi("Pow", ab, other, F, S), un("Sign", h), un("Floor", h), un("Ceil", h),
        op("Clamp", [h, "%s", two], [F, S, S], F),
        *[un("Unary", h, attrs=f"kind = #lumo.unary_kind<{k}>")
          for k in ("neg", "rsqrt", "silu", "log1p", "expm1", "log2")],
        op("Unary", [h], [F], B, "kind = #lumo.unary_kind<isnan>"),
        bi("Binary", h, t, attrs="kind = #lumo.binary_kind<maximum>"),
        bi("Binary", h, t, attrs="kind = #lumo.binary_kind<minimum>"),
        op("Compare", [h, h], [F, F], B, "comparison_direction = #lumo.comparison_direction<NE>"),
        op("Select", ["%m", h, t], [B, F, F], F), op("Cast", [h], [F], B),
        bi("Div", h, bi("Add", ab, "%s", F, S)),
    ]
    greater = op("Compare", [h, t], [F, F], B, "comparison_direction = #lumo.comparison_direction<GT>")
    results += [op("Select", [greater, e, s], [B, F, F], F), op("Cast", [greater], [B], F)]
    d = bi("Mul", op("Cast", [h], [F], D), "%d", D, D)
    d = op("Erf", [op("Exp", [op("Tanh", [d], [D], D)], [D], D)], [D], D)
    flat = op("Reshape", [bi("Sub", h, op("Cast", [d], [D], F))], [F], "tensor<32xf32>")
    results += [d, op("Mul", [flat, flat], ["tensor<32xf32>"] * 2, "tensor<32xf32>")]
    result_types = ", ".join(types[r] for r in results)
    return (f"func.func @main(%x: {F}, %b: {V}, %r: {R}, %d: {D}, %m: {B}, %s: {S}) -> ({result_types}) {{\n"
            + "\n".join(lines) + f"\n    return {', '.join(results)} : {result_types}\n}}\n")


# Runs ops_program fused and unfused in a fresh process with the given kernel cache directory and
# reports the kernels' status and the results that differ.
OPS = r'''
import json, os, sys
import torch
import lumo_interpreter as li
text = TEXT
g = torch.Generator().manual_seed(0)
x = torch.randn(4, 8, generator=g) * 2
x[0, 0], x[1, 1], x[2, 2], x[3, 3] = float("nan"), 30.0, -30.0, 0.0
args = [x, torch.randn(8, generator=g), torch.randn(4, 1, generator=g),
        torch.randn(4, 8, generator=g, dtype=torch.float64), torch.rand(4, 8, generator=g) > 0.5, torch.tensor(0.5)]
fused = li.Program(text, fuse=FUSE)
at_once = fused.kernels["in_use"]
ready = fused.wait_for_kernels(120)
want = li.Program(text, fuse=False).run(args)
got = fused.run(args)
bad = [i for i, (w, h) in enumerate(zip(want, got))
       if w.dtype != h.dtype or not torch.allclose(h, w, rtol=1e-5, atol=1e-6, equal_nan=True)]
print("RESULT " + json.dumps(dict(ready=ready, at_once=at_once, kernels=fused.kernels, bad=bad, results=len(want))),
      flush=True)
'''


def run_ops(cache, fuse="None", env=None):
    code = OPS.replace("TEXT", repr(ops_program())).replace("FUSE", fuse)
    results = results_of(run_python(code, env={"LUMO_KERNEL_CACHE": str(cache), **(env or {})}))
    assert results and results["ready"], results
    assert results["bad"] == [] and results["results"] == 40, results
    return dict(results["kernels"], at_once=results["at_once"])


def test_kernel_cache_on_disk(tmp_path):
    cache = tmp_path / "kernels"
    first = run_ops(cache)
    assert first["regions"] >= 1 and first["compiled"] == first["regions"] and first["failures"] == 0, first
    assert first["fused_ops"] > 40 and first["disk_hits"] == 0
    files = sorted(cache.glob("*.so"))
    assert len(files) == first["regions"] and not list(cache.glob(".*"))  # no temporary files left

    # A fresh process loads every kernel from the disk, while the program is built: its first run
    # is fused.
    second = run_ops(cache)
    assert second["disk_hits"] == second["regions"] and second["at_once"], second

    # A corrupt file (a flipped byte, a truncated one) is compiled again and rewritten.
    data = bytearray(files[0].read_bytes())
    data[len(data) // 2] ^= 0xFF
    files[0].write_bytes(bytes(data))
    for extra in files[1:]:
        extra.write_bytes(extra.read_bytes()[:20])
    third = run_ops(cache)
    assert third["disk_hits"] == 0 and third["compiled"] == third["regions"] and third["failures"] == 0, third
    assert run_ops(cache)["disk_hits"] == third["regions"]


def test_kernel_cache_unwritable_and_fusion_switch(tmp_path):
    # A cache "directory" under a regular file: kernels stay in memory, results are the same.
    blocker = tmp_path / "file"
    blocker.write_text("")
    kernels = run_ops(blocker / "kernels")
    assert kernels["compiled"] == kernels["regions"] >= 1 and kernels["disk_hits"] == 0, kernels
    assert not (blocker / "kernels").exists()
    # Without the compiler, or with one that fails, the regions stay unfused and say why.
    failing = tmp_path / "failing"
    failing.write_text("#!/bin/sh\necho 'cannot compile today' >&2\nexit 1\n")
    failing.chmod(0o755)
    for tool, why in ((tmp_path / "missing", "lumo-kernel-compile was not found"),
                      (failing, "cannot compile today")):
        kernels = run_ops(tmp_path / "none", env={"LUMO_KERNEL_COMPILER": str(tool)})
        assert kernels["failures"] == kernels["regions"] >= 1 and not kernels["in_use"], kernels
        assert why in kernels["failure_reasons"][0], kernels
    # A process that ends while a kernel compiles (its Program never freed) exits cleanly.
    leak = (f"import ctypes, lumo_interpreter as li\np = li.Program({ops_program()!r})\n"
            "ctypes.pythonapi.Py_IncRef(ctypes.py_object(p))\n")
    proc = run_python(leak, env={"LUMO_KERNEL_CACHE": str(tmp_path / "leak")}, check=False)
    assert proc.returncode == 0, proc.stderr[-2000:]
    # LUMO_FUSION=0 turns fusion off unless the program asks for it; LUMO_PROFILE=1 prints the
    # time per kind of step at exit.
    code = OPS.replace("TEXT", repr(ops_program())).replace("FUSE", "None")
    proc = run_python(code, env={"LUMO_KERNEL_CACHE": str(tmp_path / "k"), "LUMO_FUSION": "0", "LUMO_PROFILE": "1"})
    assert results_of(proc)["kernels"]["regions"] == 0
    assert "lumo interpreter profile:" in proc.stderr and "lumo.Add (" in proc.stderr, proc.stderr[-2000:]
    assert run_ops(tmp_path / "k", fuse="True", env={"LUMO_FUSION": "0"})["regions"] >= 1


# Two regions that each pass the convexity test but depend on each other: a1 feeds b1 (through a
# concatenation) and b2 feeds a2 (through a sum). One of them stays unfused; the plan still runs
# fused, with the unfused plan's values.
ENTANGLED = """
func.func @main(%x: tensor<4xf32> {vx.input_name = "x"}, %y: tensor<2x4xf32> {vx.input_name = "y"})
    -> (tensor<4xf32> {vx.output_name = "a"}, tensor<2x4xf32> {vx.output_name = "b"}) {
  %a1 = lumo.Add %x, %x : (tensor<4xf32>, tensor<4xf32>) -> tensor<4xf32>
  %b2 = lumo.Mul %y, %y : (tensor<2x4xf32>, tensor<2x4xf32>) -> tensor<2x4xf32>
  %r2 = lumo.Reduce %b2 {dimensions = array<i64: 0>, reduce_kind = #lumo.reduce_kind<sum>}
      : (tensor<2x4xf32>) -> tensor<4xf32>
  %a2 = lumo.Add %a1, %r2 : (tensor<4xf32>, tensor<4xf32>) -> tensor<4xf32>
  %r1 = lumo.Concat %a1, %a1 {axis = 0 : i64} : (tensor<4xf32>, tensor<4xf32>) -> tensor<8xf32>
  %r1b = lumo.Reshape %r1 : (tensor<8xf32>) -> tensor<2x4xf32>
  %b1 = lumo.Mul %r1b, %r1b : (tensor<2x4xf32>, tensor<2x4xf32>) -> tensor<2x4xf32>
  %b3 = lumo.Add %b1, %b2 : (tensor<2x4xf32>, tensor<2x4xf32>) -> tensor<2x4xf32>
  return %a2, %b3 : tensor<4xf32>, tensor<2x4xf32>
}
"""


def test_regions_that_depend_on_each_other(tmp_path, monkeypatch):
    import torch
    import lumo_interpreter as li
    monkeypatch.setenv("LUMO_KERNEL_CACHE", str(tmp_path))
    x, y = torch.rand(4), torch.rand(2, 4)
    fused = li.Program(ENTANGLED, fuse=True)
    assert fused.wait_for_kernels(120)
    kernels = fused.kernels
    assert kernels["regions"] == 2 and kernels["entangled"] == 1 and kernels["in_use"], kernels
    for got, want in zip(fused.run([x, y]), li.Program(ENTANGLED, fuse=False).run([x, y])):
        assert torch.equal(got, want)



def test_channels_last_operands(tmp_path, monkeypatch):
    """Operands laid out channels-last (as convolutions leave them) are read in place, also beside
    a broadcast scalar and an operand in the default layout (copied)."""
    import torch
    import lumo_interpreter as li
    monkeypatch.setenv("LUMO_KERNEL_CACHE", str(tmp_path))
    t = "tensor<2x3x4x5xf32>"
    text = f"""
func.func @main(%x: {t} {{vx.input_name = "x"}}, %y: {t} {{vx.input_name = "y"}},
                %s: tensor<f32> {{vx.input_name = "s"}}) -> ({t} {{vx.output_name = "o"}}) {{
  %0 = lumo.Add %x, %y : ({t}, {t}) -> {t}
  %1 = lumo.Mul %0, %s : ({t}, tensor<f32>) -> {t}
  %2 = lumo.Relu %1 : ({t}) -> {t}
  return %2 : {t}
}}
"""
    fused = li.Program(text, fuse=True)
    assert fused.wait_for_kernels(120) and fused.kernels["in_use"]
    unfused = li.Program(text, fuse=False)
    last = torch.channels_last
    x, y, s = torch.randn(2, 3, 4, 5), torch.randn(2, 3, 4, 5), torch.tensor(-1.5)
    for xs, ys in [(x.contiguous(memory_format=last), y.contiguous(memory_format=last)),
                   (x.contiguous(memory_format=last), y)]:
        (want,) = unfused.run([xs, ys, s])
        (got,) = fused.run([xs, ys, s])
        assert torch.equal(got, want) and torch.equal(want, torch.relu((x + y) * s))


# An optimizer-like update of a weight and its state: m' = m + g, w' = w - m' * g, returned with an
# all-reduced copy of w'. One region computes both updates; its in-place kernel writes them over
# the old values.
UPDATE = """
func.func @main(%g: tensor<64x32xf32> {vx.input_name = "g"},
                %w: tensor<64x32xf32> {tf.resource_name = "w", tf.aliasing_output = 1 : i64},
                %m: tensor<64x32xf32> {tf.resource_name = "m", tf.aliasing_output = 2 : i64})
    -> (tensor<64x32xf32> {vx.output_name = "y"}, tensor<64x32xf32>, tensor<64x32xf32>) {
  %m1 = lumo.Add %m, %g : (tensor<64x32xf32>, tensor<64x32xf32>) -> tensor<64x32xf32>
  %t = lumo.Mul %m1, %g : (tensor<64x32xf32>, tensor<64x32xf32>) -> tensor<64x32xf32>
  %w1 = lumo.Sub %w, %t : (tensor<64x32xf32>, tensor<64x32xf32>) -> tensor<64x32xf32>
  %y = "lumo.AllReduce"(%w1) {kind = #lumo.all_reduce_kind<sum>, replica_groups = dense<[[0]]> : tensor<1x1xi64>, channel_id = 1 : i64} : (tensor<64x32xf32>) -> tensor<64x32xf32>
  return %y, %w1, %m1 : tensor<64x32xf32>, tensor<64x32xf32>, tensor<64x32xf32>
}
"""


@pytest.mark.parametrize("fuse", [True, False])
def test_updated_weights_are_freed_or_overwritten_after_their_last_use(tmp_path, monkeypatch, fuse):
    """A State hands the weights it alone holds to the run, which writes their updates over them
    (fused) or frees them after their last use (unfused): the values are those of plain PyTorch, a
    weight loaded with share=True stays the caller's until its first update (and becomes the
    state's own once the caller lets go of it), and a run that fails after the update names the
    weights it lost."""
    import torch
    import lumo_interpreter as li
    monkeypatch.setenv("LUMO_KERNEL_CACHE", str(tmp_path))
    prog = li.Program(UPDATE, fuse=fuse)
    assert prog.wait_for_kernels(120)
    if fuse:
        assert prog.kernels["in_place"] == 1 and prog.kernels["in_use"], prog.kernels
    state = prog.new_state()
    w0 = torch.rand(64, 32)
    shared = w0.clone()
    state.load("w", shared, share=True)
    state.load("m", torch.zeros(64, 32))
    w, m = w0.clone(), torch.zeros(64, 32)
    for i in range(3):
        g = torch.rand(64, 32)
        (y,) = state.run([g])
        m = m + g
        w = w - m * g
        torch.testing.assert_close(y, w)
        torch.testing.assert_close(state.read("w"), w)
        torch.testing.assert_close(state.read("m"), m)
    assert torch.equal(shared, w0)  # the caller's tensor was never written

    def fail(*_):
        raise RuntimeError("the network is down")
    # Before any update: a shared weight the caller still holds is never handed to the run, one it
    # let go of is.
    for caller_keeps, lost in [(True, "'m'"), (False, "'w', 'm'")]:
        first = prog.new_state()
        kept = torch.rand(64, 32)
        first.load("w", kept if caller_keeps else torch.rand(64, 32), share=True)
        first.load("m", torch.zeros(64, 32))
        first.set_collective(fail)
        with pytest.raises(li.Error, match=f"the weights {lost} after their last use"):
            first.run([torch.rand(64, 32)])
    state.set_collective(fail)
    with pytest.raises(li.Error, match=r"the network is down.*the weights 'w', 'm' after their last use: "
                                       r"load them again"):
        state.run([torch.rand(64, 32)])
    with pytest.raises(li.Error, match="weights not loaded: 'w', 'm'"):
        state.run([torch.rand(64, 32)])
    state.load("w", w)
    state.load("m", m)
    state.set_collective(None)
    (y,) = state.run([torch.ones(64, 32)])
    torch.testing.assert_close(y, w - (m + 1))


def test_an_update_runs_as_soon_as_its_gradient_exists(tmp_path, monkeypatch):
    """Four "gradients" (matrix products), then the in-place updates that read them, in the order an
    optimizer writes them: the fused plan runs each update right after its gradient (which dies
    there, so only one gradient is alive at a time), with the unfused plan's values."""
    import torch
    import lumo_interpreter as li
    monkeypatch.setenv("LUMO_KERNEL_CACHE", str(tmp_path))
    n, t = 4, "tensor<64x64xf32>"
    args = [f'%a: {t} {{vx.input_name = "a"}}'] + [f'%b{i}: {t} {{vx.input_name = "b{i}"}}' for i in range(n)]
    args += [f'%{k}{i}: {t} {{tf.resource_name = "{k}{i}", tf.aliasing_output = {2 * i + j} : i64}}'
             for i in range(n) for j, k in enumerate("wm")]
    body = "".join(f"  %g{i} = lumo.MatMul %a, %b{i} {{transpose_a = false, transpose_b = false}} : ({t}, {t}) -> {t}\n"
                   for i in range(n))
    for i in range(n):
        body += (f"  %n{i} = lumo.Add %m{i}, %g{i} : ({t}, {t}) -> {t}\n"
                 f"  %u{i} = lumo.Mul %n{i}, %g{i} : ({t}, {t}) -> {t}\n"
                 f"  %v{i} = lumo.Sub %w{i}, %u{i} : ({t}, {t}) -> {t}\n")
    types = ", ".join([t] * 2 * n)
    text = (f"func.func @main({', '.join(args)}) -> ({types}) {{\n{body}"
            f"  return {', '.join(f'%v{i}, %n{i}' for i in range(n))} : {types}\n}}\n")
    inputs = [torch.rand(64, 64) for _ in range(n + 1)]
    results = []
    for fuse in (False, True):
        prog = li.Program(text, fuse=fuse)
        assert prog.wait_for_kernels(120)
        kinds = [step.split(" at ")[0] for step in prog.steps]
        if fuse:
            assert prog.kernels["in_place"] == n
            assert kinds == ["lumo.MatMul", "fused region of 3 operations from lumo.Add"] * n, kinds
        else:
            assert kinds[:n] == ["lumo.MatMul"] * n
        state = prog.new_state()
        for i in range(n):
            state.load(f"w{i}", torch.full((64, 64), float(i)))
            state.load(f"m{i}", torch.ones(64, 64))
        state.run(inputs)
        results.append([state.read(f"{k}{i}") for i in range(n) for k in "wm"])
    for got, want in zip(*results):
        torch.testing.assert_close(got, want)


# A forward region (h = x + b, t = tanh(h), s = t * t, summed by a Reduce) and a region after the
# sum that reads t and h (as a gradient reads what its forward pass kept): that region computes t
# and h again from x and b instead of having them stored.
RECOMPUTED = """
func.func @main(%x: tensor<64x32xf32> {vx.input_name = "x"}, %b: tensor<32xf32> {vx.input_name = "b"},
                %g: tensor<64x32xf32> {vx.input_name = "g"}) -> (tensor<f32> {vx.output_name = "r"},
                                                                   tensor<64x32xf32> {vx.output_name = "w"}) {
  %h = lumo.Add %x, %b : (tensor<64x32xf32>, tensor<32xf32>) -> tensor<64x32xf32>
  %t = lumo.Tanh %h : (tensor<64x32xf32>) -> tensor<64x32xf32>
  %s = lumo.Mul %t, %t : (tensor<64x32xf32>, tensor<64x32xf32>) -> tensor<64x32xf32>
  %r = lumo.Reduce %s {dimensions = array<i64: 0, 1>, reduce_kind = #lumo.reduce_kind<sum>} : (tensor<64x32xf32>) -> tensor<f32>
  %u = lumo.Mul %g, %r : (tensor<64x32xf32>, tensor<f32>) -> tensor<64x32xf32>
  %v = lumo.Mul %u, %t : (tensor<64x32xf32>, tensor<64x32xf32>) -> tensor<64x32xf32>
  %w = lumo.Sub %v, %h : (tensor<64x32xf32>, tensor<64x32xf32>) -> tensor<64x32xf32>
  return %r, %w : tensor<f32>, tensor<64x32xf32>
}
"""


def test_values_computed_again_instead_of_stored(tmp_path, monkeypatch):
    """The later region's values are those of the unfused plan; when its kernel cannot be
    compiled, the forward region (which then stores nothing it reads) stays unfused too."""
    import sys
    import torch
    import lumo_interpreter as li
    monkeypatch.setenv("LUMO_KERNEL_CACHE", str(tmp_path / "cache"))
    args = [torch.rand(64, 32), torch.rand(32), torch.rand(64, 32)]
    want = li.Program(RECOMPUTED, fuse=False).run(args)
    fused = li.Program(RECOMPUTED, fuse=True)
    assert fused.wait_for_kernels(120)
    assert fused.kernels["regions"] == 2 and fused.kernels["in_use"], fused.kernels
    for got, expected in zip(fused.run(args), want):
        torch.testing.assert_close(got, expected)

    picky = tmp_path / "picky"  # fails on the kernel with a subtraction: the later region's
    picky.write_text(f"#!/bin/sh\nif grep -q arith.subf \"$1\"; then echo no >&2; exit 1; fi\n"
                     f"exec {os.path.join(sys.prefix, 'bin', 'lumo-kernel-compile')} \"$@\"\n")
    picky.chmod(0o755)
    monkeypatch.setenv("LUMO_KERNEL_COMPILER", str(picky))
    monkeypatch.setenv("LUMO_KERNEL_CACHE", "")
    text = RECOMPUTED.replace("f32", "f64")  # kernels this process has not compiled yet
    args = [a.double() for a in args]
    partly = li.Program(text, fuse=True)
    assert partly.wait_for_kernels(120)
    kernels = partly.kernels
    assert kernels["compiled"] == 1 and kernels["failures"] == 1, kernels
    for got, expected in zip(partly.run(args), li.Program(text, fuse=False).run(args)):
        torch.testing.assert_close(got, expected)
