"""lumo_interpreter as a whole: programs with the argument contract, repeated and concurrent runs,
errors with their diagnostics, and the module beside orvex_pytorch_lib."""
import re
import threading

import pytest
import torch
import torch.nn.functional as F
from torch.testing import assert_close

import lumo_interpreter as li
from conftest import run_python
from lumo_programs import op_program

# One SGD step of a linear classifier: the loss and the weight's new value.
TRAIN_STEP = """
func.func @main(%x: tensor<4x3xf32> {vx.input_name = "x"}, %y: tensor<4xsi64> {vx.input_name = "y"},
                %w: tensor<3x5xf32> {tf.resource_name = "w", tf.aliasing_output = 1 : i64},
                %lr: tensor<f32> {tf.resource_name = "lr", tf.parameter_value = dense<0.5> : tensor<f32>})
    -> (tensor<f32> {vx.output_name = "loss"}, tensor<3x5xf32>) attributes {vx.seed = 18446744073709551615 : ui64} {
  %logits = "lumo.MatMul"(%x, %w) {transpose_a = false, transpose_b = false} : (tensor<4x3xf32>, tensor<3x5xf32>) -> tensor<4x5xf32>
  %loss, %dlogits = "lumo.SparseSoftmaxCrossEntropyWithLogits"(%logits, %y) : (tensor<4x5xf32>, tensor<4xsi64>) -> (tensor<4xf32>, tensor<4x5xf32>)
  %mean = "lumo.Reduce"(%loss) {dimensions = array<i64: 0>, reduce_kind = #lumo.reduce_kind<mean>} : (tensor<4xf32>) -> tensor<f32>
  %four = "lumo.Const"() {value = dense<4.0> : tensor<f32>} : () -> tensor<f32>
  %g = "lumo.Div"(%dlogits, %four) : (tensor<4x5xf32>, tensor<f32>) -> tensor<4x5xf32>
  %dw = "lumo.DotGeneral"(%x, %g) {lhs_batching_dimensions = array<i64>, rhs_batching_dimensions = array<i64>, lhs_contracting_dimensions = array<i64: 0>, rhs_contracting_dimensions = array<i64: 0>} : (tensor<4x3xf32>, tensor<4x5xf32>) -> tensor<3x5xf32>
  %w2 = "lumo.GradientDescent"(%w, %lr, %dw) : (tensor<3x5xf32>, tensor<f32>, tensor<3x5xf32>) -> tensor<3x5xf32>
  return %mean, %w2 : tensor<f32>, tensor<3x5xf32>
}
"""


def test_training_steps_match_eager_autograd():
    prog = li.Program(TRAIN_STEP)
    assert [(a.index, a.kind, a.name, a.shape, a.dtype, a.aliasing_output) for a in prog.arguments] == [
        (0, "input", "x", (4, 3), torch.float32, None), (1, "input", "y", (4,), torch.int64, None),
        (2, "weight", "w", (3, 5), torch.float32, 1), (3, "embedded", "lr", (), torch.float32, None)]
    assert [(r.index, r.name, r.shape, r.updates) for r in prog.results] == [(0, "loss", (), None),
                                                                            (1, None, (3, 5), "w")]
    assert prog.seed == 2 ** 64 - 1

    torch.manual_seed(0)
    w = torch.randn(3, 5)
    eager_w = w.clone().requires_grad_()
    for _ in range(3):  # each step feeds the updated weight back
        x, y = torch.randn(4, 3), torch.randint(0, 5, (4,))
        loss, w = prog.run([x, y, w, None])
        eager_loss = F.cross_entropy(x @ eager_w, y)
        eager_loss.backward()
        with torch.no_grad():
            eager_w -= 0.5 * eager_w.grad
            eager_w.grad = None
        assert_close(loss, eager_loss.detach())
        assert_close(w, eager_w.detach())


# A gathered row added to a weight; a frozen weight k, a weight s returned unchanged under a name, an
# integer counter n, the old value of w as an output, and an input the program never reads.
RESIDENT = """
func.func @main(%i: tensor<1xsi64> {vx.input_name = "i"}, %u: tensor<2xf32> {vx.input_name = "u"},
                %w: tensor<4x3xf32> {tf.resource_name = "w", tf.aliasing_output = 1 : i64},
                %k: tensor<1x3xf32> {tf.resource_name = "k"},
                %s: tensor<1x3xf32> {tf.resource_name = "s", tf.aliasing_output = 2 : i64},
                %n: tensor<si64> {tf.resource_name = "n", tf.aliasing_output = 3 : i64})
    -> (tensor<1x3xf32> {vx.output_name = "row"}, tensor<4x3xf32>, tensor<1x3xf32> {vx.output_name = "s"},
        tensor<si64>, tensor<4x3xf32> {vx.output_name = "before"}) {
  %row = "lumo.Gather"(%w, %i) {} : (tensor<4x3xf32>, tensor<1xsi64>) -> tensor<1x3xf32>
  %shifted = "lumo.Add"(%row, %k) : (tensor<1x3xf32>, tensor<1x3xf32>) -> tensor<1x3xf32>
  %w2 = "lumo.Add"(%w, %shifted) : (tensor<4x3xf32>, tensor<1x3xf32>) -> tensor<4x3xf32>
  %one = "lumo.Const"() {value = dense<1> : tensor<si64>} : () -> tensor<si64>
  %n2 = "lumo.Add"(%n, %one) : (tensor<si64>, tensor<si64>) -> tensor<si64>
  return %shifted, %w2, %s, %n2, %w : tensor<1x3xf32>, tensor<4x3xf32>, tensor<1x3xf32>, tensor<si64>, tensor<4x3xf32>
}
"""


def resident_weights():
    torch.manual_seed(0)
    return {"w": torch.randn(4, 3), "k": torch.randn(1, 3), "s": torch.randn(1, 3), "n": torch.tensor(5)}


def test_resident_weights_follow_the_list_based_runs():
    prog = li.Program(RESIDENT)
    assert [a.used for a in prog.arguments] == [True, False, True, True, True, True]
    assert [a.name for a in prog.inputs] == ["i", "u"] and [r.index for r in prog.outputs] == [0, 2, 4]
    weights = resident_weights()
    state = prog.new_state()
    for name, value in weights.items():
        state.load(name, value)
    args = [None, None] + [weights[name].clone() for name in "wksn"]
    for value in weights.values():
        value.zero_()  # the state keeps its own copies
    for step in range(3):
        i = torch.tensor([step])
        expected = prog.run([i] + args[1:])  # None for the input it never reads
        args[2], args[4], args[5] = expected[1], expected[2], expected[3]
        outs = state.run([i, None])
        assert len(outs) == 3
        for out, result in zip(outs, prog.outputs):
            assert torch.equal(out, expected[result.index])
            out.fill_(7)  # the caller's tensors: no weight changes with them
    for name, index in zip("wksn", range(2, 6)):
        assert torch.equal(state.read(name), args[index])
    assert state.read("n").item() == 8


def test_results_own_their_memory():
    text = """
func.func @main(%a: tensor<3xf32>) -> (tensor<3xf32>, tensor<3xf32>, tensor<3xf32>, tensor<3xf32>, tensor<1x3xf32>) {
  %c = "lumo.Const"() {value = dense<[1.0, 2.0, 3.0]> : tensor<3xf32>} : () -> tensor<3xf32>
  %m = "lumo.ScopeBoundary"(%a) {boundary_type = "begin", scope_name = "s"} : (tensor<3xf32>) -> tensor<3xf32>
  %v = "lumo.Reshape"(%a) : (tensor<3xf32>) -> tensor<1x3xf32>
  return %a, %m, %c, %c, %v : tensor<3xf32>, tensor<3xf32>, tensor<3xf32>, tensor<3xf32>, tensor<1x3xf32>
}
"""
    prog = li.Program(text)
    a = torch.zeros(3)
    outs = prog.run([a])
    pointers = {o.data_ptr() for o in outs} | {a.data_ptr()}
    assert len(pointers) == 6
    for o in outs:
        o.fill_(9.0)  # neither the argument nor the program's constant changes
    assert a.tolist() == [0.0] * 3
    assert prog.run([a])[2].tolist() == [1.0, 2.0, 3.0]


def test_dead_values_are_reused_only_when_nothing_else_sees_them():
    # %v1 dies after %v3, but %view still shares its memory: %v4 must not be written into it.
    text = """
func.func @main(%x: tensor<4xf32>, %y: tensor<4xf32>) -> (tensor<4xf32>, tensor<4xf32>) {
  %v1 = "lumo.Add"(%x, %y) : (tensor<4xf32>, tensor<4xf32>) -> tensor<4xf32>
  %view = "lumo.Reshape"(%v1) : (tensor<4xf32>) -> tensor<2x2xf32>
  %v3 = "lumo.Mul"(%v1, %y) : (tensor<4xf32>, tensor<4xf32>) -> tensor<4xf32>
  %v4 = "lumo.Exp"(%v3) : (tensor<4xf32>) -> tensor<4xf32>
  %v5 = "lumo.Sub"(%v4, %y) : (tensor<4xf32>, tensor<4xf32>) -> tensor<4xf32>
  %v6 = "lumo.Tanh"(%v5) : (tensor<4xf32>) -> tensor<4xf32>
  %back = "lumo.Reshape"(%view) : (tensor<2x2xf32>) -> tensor<4xf32>
  return %v6, %back : tensor<4xf32>, tensor<4xf32>
}
"""
    x, y = torch.rand(4), torch.rand(4)
    prog = li.Program(text, fuse=False)  # the plan whose steps write into dead values
    for _ in range(2):
        v6, back = prog.run([x, y])
        assert torch.equal(back, x + y)
        assert torch.equal(v6, torch.tanh(torch.exp((x + y) * y) - y))


def test_intermediate_values_are_freed_after_their_last_use():
    # Sixteen 32 MiB intermediates: kept alive they would raise the peak by 512 MiB.
    proc = run_python("""
        import resource, torch, lumo_interpreter as li
        t = "tensor<8388608xf32>"
        ops = ["Exp", "Sqrt", "Tanh", "Mul"]
        body = "\\n".join(f'  %v{i + 1} = "lumo.{ops[i % 4]}"' + (f"(%v{i}, %v{i}) : ({t}, {t})" if i % 4 == 3
                          else f"(%v{i}) : ({t})") + f" -> {t}" for i in range(16))
        prog = li.Program(f"func.func @main(%v0: {t}) -> {t} {{\\n{body}\\n  return %v16 : {t}\\n}}")
        x = torch.rand(8388608)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        prog.run([x])
        print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
    """)
    assert int(proc.stdout.split()[-1]) < 160, proc.stdout


@pytest.mark.parametrize("args,message", [
    ([torch.zeros(4, 3)], "expected 4 arguments, got 1"),
    ([torch.zeros(4, 2), torch.zeros(4, dtype=torch.int64), torch.zeros(3, 5), None],
     r"argument 0 \('x'\) must be a CPU tensor of shape \[4,3\] and type f32, got shape \[4,2\]"),
    ([torch.zeros(4, 3), torch.zeros(4, dtype=torch.int32), torch.zeros(3, 5), None], "type si64, got .* si32"),
    ([torch.zeros(4, 3), torch.zeros(4, dtype=torch.int64), None, None], r"argument 2 \('w'\).* got no tensor"),
    ([torch.zeros(4, 3), torch.zeros(4, dtype=torch.int64), torch.zeros(3, 5), torch.tensor(1.0)],
     r"argument 3 \('lr'\) is embedded in the program: pass None"),
])
def test_wrong_arguments_are_errors(args, message):
    with pytest.raises(li.Error, match=message):
        li.Program(TRAIN_STEP).run(args)


def loaded_state():
    state = li.Program(RESIDENT).new_state()
    for name, value in resident_weights().items():
        state.load(name, value)
    return state


@pytest.mark.parametrize("action,message", [
    (lambda s: s.load("v", torch.zeros(1)), "no weight named 'v'"),
    (lambda s: s.read("v"), "no weight named 'v'"),
    (lambda s: s.load("w", torch.zeros(3, 4)), r"argument 2 \('w'\) must be a CPU tensor of shape \[4,3\] and type "
                                              r"f32, got shape \[3,4\]"),
    (lambda s: s.load("n", torch.tensor(1.0)), "type si64, got .* f32"),
    (lambda s: li.Program(RESIDENT).new_state().run([torch.tensor([0]), None]), "weights not loaded: 'w', 'k'"),
    (lambda s: s.run([torch.tensor([0])]), "expected 2 inputs, got 1"),
    (lambda s: s.run([torch.tensor([0.0]), None]), r"argument 0 \('i'\) .* type si64"),
    (lambda s: s.run([torch.tensor([9]), None]), "lumo.Gather at program:"),  # fails while running
])
def test_resident_weights_errors_leave_the_weights_unchanged(action, message):
    state = loaded_state()
    with pytest.raises(li.Error, match=message):
        action(state)
    for name, value in resident_weights().items():
        assert torch.equal(state.read(name), value)


ADD = 'func.func @main(%a: tensor<2xf32>) -> tensor<2xf32> {\n  %0 = "lumo.Add"(%a, %a) : (tensor<2xf32>, tensor<2xf32>) -> tensor<2xf32>\n  return %0 : tensor<2xf32>\n}\n'


@pytest.mark.parametrize("text,message,diagnostic", [
    ("func.func @main(", "cannot parse", r"^program:1:16: error: "),
    (op_program("Add", [torch.ones(2), torch.ones(3)], [((2,), torch.float32)]), "cannot parse",
     r"^program:2:8: error: 'lumo.Add' op operand #1 .* does not broadcast to the result type"),
    (ADD.replace("@main", "@other"), "no @main", "has no function @main"),
    (op_program("NonZero", [torch.ones(3)], [((3, 1), torch.int64)]), "cannot plan",
     r"^program:2:8: error: 'lumo.NonZero' op cannot run on a CPU: the result shape depends"),
    (ADD.replace('"lumo.Add"(%a, %a)', 'func.call @main(%a)').replace(": (tensor<2xf32>, tensor<2xf32>)",
                                                                       ": (tensor<2xf32>)"),
     "cannot plan", "'func.call' op is not an operation the interpreter can run"),
    ("""func.func @main(%a: tensor<2xf32> {tf.parameter_value = dense_resource<__elided__> : tensor<2xf32>})
        -> tensor<2xf32> {\n  return %a : tensor<2xf32>\n}""", "invalid signature", "data was elided"),
])
def test_programs_that_cannot_be_built_raise_with_diagnostics(text, message, diagnostic):
    with pytest.raises(li.Error, match=message) as error:
        li.Program(text)
    assert isinstance(error.value, RuntimeError)
    assert any(re.search(diagnostic, d) for d in error.value.diagnostics), error.value.diagnostics
    assert all(d in str(error.value) for d in error.value.diagnostics)


def test_embedded_values_from_resource_blobs():
    text = """
func.func @main(%a: tensor<2xf32> {tf.parameter_value = dense_resource<blob> : tensor<2xf32>},
                %b: tensor<2xf32> {vx.input_name = "b"}) -> tensor<2xf32> {
  %0 = "lumo.Mul"(%a, %b) : (tensor<2xf32>, tensor<2xf32>) -> tensor<2xf32>
  return %0 : tensor<2xf32>
}
{-#
  dialect_resources: { builtin: { blob: "0x040000000000803F00000040" } }
#-}
"""
    prog = li.Program(text)
    assert prog.run([None, torch.tensor([3.0, 5.0])])[0].tolist() == [3.0, 10.0]


def test_concurrent_runs_draw_the_values_of_successive_runs():
    text = op_program("RandomNormal", [torch.tensor(0.0), torch.tensor(1.0)], [((64,), torch.float32)],
                      {"seed": 4}, seed=11)
    reference = li.Program(text)
    expected = [reference.run([torch.tensor(0.0), torch.tensor(1.0)])[0] for _ in range(8)]
    prog, got, lock = li.Program(text), [], threading.Lock()

    def work():
        for _ in range(2):
            out = prog.run([torch.tensor(0.0), torch.tensor(1.0)])[0]
            with lock:
                got.append(out)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    key = lambda t: t.tolist()
    assert sorted(map(key, got)) == sorted(map(key, expected))


@pytest.mark.parametrize("first", ["lumo_interpreter", "orvex_pytorch_lib"])
def test_loads_beside_orvex_pytorch_lib(first):
    second = {"lumo_interpreter": "orvex_pytorch_lib", "orvex_pytorch_lib": "lumo_interpreter"}[first]
    run_python(f"""
        import torch, {first}, {second}
        import lumo_interpreter as li, orvex_pytorch_lib as ox
        ox.initialize()
        prog = li.Program({ADD!r})
        assert prog.run([torch.tensor([1.0, 2.0])])[0].tolist() == [2.0, 4.0]
        assert torch.ops.lumo.Abs is not None
    """)


def signature_program(arg="", result="", function="", arg_type="tensor<2xf32>", body=None):
    """@main(%a) -> %a + %a with the given attributes on its argument, result and function."""
    body = body or f'  %0 = "lumo.Add"(%a, %a) : ({arg_type}, {arg_type}) -> {arg_type}\n  return %0 : {arg_type}\n'
    return (f"func.func @main(%a: {arg_type} {{{arg}}}) -> ({arg_type} {{{result}}}) attributes {{{function}}} {{\n"
            f"{body}}}\n")


HUGE = "tensor<4294967296x4294967296x4294967296xf32>"


@pytest.mark.parametrize("text,diagnostic", [
    # tf.aliasing_output: an index of a result, read as a checked unsigned integer.
    (signature_program('tf.resource_name = "w", tf.aliasing_output = -1 : i64'), "tf.aliasing_output -1 : i64 is out of range"),
    (signature_program('tf.resource_name = "w", tf.aliasing_output = 1 : i64'), "tf.aliasing_output 1 names no result"),
    (signature_program('tf.resource_name = "w", tf.aliasing_output = 18446744073709551616 : i128'), "is out of range"),
    (signature_program('tf.resource_name = "w", tf.aliasing_output = -9223372036854775808 : i64'), "is out of range"),
    (signature_program('tf.resource_name = "w", tf.aliasing_output = "0"'), "tf.aliasing_output must be an integer"),
    (signature_program('tf.resource_name = "w", tf.aliasing_output = true'), "tf.aliasing_output must be an integer"),
    # Names are non-empty strings: a number is not turned into an absent name (a weight into an input).
    (signature_program("tf.resource_name = 3 : i64"), "tf.resource_name must be a string, got 3 : i64"),
    (signature_program('tf.resource_name = ""'), "tf.resource_name is empty"),
    (signature_program("vx.input_name = [1]"), "vx.input_name must be a string"),
    (ADD.replace("%a: tensor<2xf32>", '%a: tensor<2xf32> {tf.resource_name = "w"}, %b: tensor<2xf32> '
                                      '{tf.resource_name = "w"}'), "tf.resource_name 'w' is the weight of argument 0 too"),
    (signature_program(result="vx.output_name = 1.0 : f32"), "result 0: vx.output_name must be a string"),
    # vx.seed: an unsigned 64-bit integer, never coerced to 0.
    (signature_program(function='vx.seed = "s"'), 'vx.seed must be an integer, got "s"'),
    (signature_program(function="vx.seed = -1 : i64"), "vx.seed -1 : i64 is out of range"),
    (signature_program(function="vx.seed = 1.0 : f64"), "vx.seed must be an integer"),
    (signature_program(function="vx.seed = 18446744073709551616 : ui128"), "is out of range"),
    # tf.parameter_value: an elements attribute of the argument's type.
    (signature_program("tf.parameter_value = 3 : i64"), "tf.parameter_value: expected an elements attribute"),
    (signature_program("tf.parameter_value = dense<1.0> : tensor<3xf32>"), "its value has shape \\[3\\]"),
    (signature_program(f"tf.parameter_value = dense<1.0> : {HUGE}"), "more elements than 64-bit sizes"),
    # Element counts that overflow 64 bits, in the signature and in an operation.
    (signature_program(arg_type=HUGE), "with fewer than 2\\^63 elements, but got 'tensor<4294967296x"),
    (signature_program(body='  %0 = "lumo.Const"() {value = dense<1.0> : tensor<4294967296x4294967296x4xf32>} : () '
                            '-> tensor<4294967296x4294967296x4xf32>\n  return %a : tensor<2xf32>\n'),
     "with fewer than 2\\^63 elements, but got 'tensor<4294967296x"),
    (signature_program(body="  return %a : tensor<2xf32>\n^bb1:\n  return %a : tensor<2xf32>\n"), "single block"),
])
def test_signature_attributes_are_checked_before_use(text, diagnostic):
    with pytest.raises(li.Error) as error:
        li.Program(text)
    assert any(re.search(diagnostic, d) for d in error.value.diagnostics), error.value.diagnostics


def test_seed_takes_the_whole_unsigned_range():
    for seed in ["0 : ui64", "18446744073709551615 : ui64", "7 : i64", "7 : si32"]:
        assert li.Program(signature_program(function=f"vx.seed = {seed}")).seed == int(seed.split()[0])


@pytest.mark.parametrize("text", [
    "module {" * 5000 + "}" * 5000,
    signature_program(function="vx.seed = 1 : ui64, deep = " + "[" * 5000 + "1" + "]" * 5000),
    signature_program(arg_type="tensor<2xf32>", body="  return %a : tensor<2xf32>\n  // " + "{" * 5000 + "\n"),
])
def test_nesting_is_bounded_before_parsing(text):
    """Deeper than the bound is a diagnostic (MLIR's parser would exhaust the stack); brackets in
    comments and strings do not count."""
    if "// {" in text:
        li.Program(text)
        return
    with pytest.raises(li.Error, match="cannot parse") as error:
        li.Program(text)
    assert any("nesting deeper than 256 levels" in d for d in error.value.diagnostics), error.value.diagnostics


@pytest.mark.parametrize("cls,use", [
    (li.Program, lambda p: p.seed),
    (li.Program, lambda p: p.arguments),
    (li.Program, lambda p: p.run([])),
    (li.Program, lambda p: p.new_state()),
    (li.State, lambda s: s.run([])),
    (li.State, lambda s: s.load("w", torch.zeros(1))),
    (li.State, lambda s: s.read("w")),
    (li.Argument, lambda a: a.shape),
    (li.Argument, repr),
    (li.Result, lambda r: r.name),
])
def test_objects_whose_constructor_never_ran_raise(cls, use):
    with pytest.raises(TypeError, match="constructor never ran"):
        use(cls.__new__(cls))


def test_methods_check_the_type_of_self():
    with pytest.raises(TypeError, match="expected a Program, got Result"):
        li.Program.run(li.Program(ADD).results[0], [])
    prog = li.Program.__new__(li.Program)
    prog.__init__(ADD)  # the constructor run late still builds the program
    assert prog.run([torch.tensor([1.0, 2.0])])[0].tolist() == [2.0, 4.0]


UNARY = op_program("Exp", [torch.ones(2, 3)], [((2, 3), torch.float32)])
BINARY = op_program("Add", [torch.ones(2, 3), torch.ones(2, 3)], [((2, 3), torch.float32)])


@pytest.mark.parametrize("make", [
    lambda x: torch._neg_view(-x),  # a negated view: at::cpu kernels would read it unnegated
    lambda x: torch._efficientzerotensor(2, 3) if not x.any() else x,
    lambda x: torch.stack([x, x], -1)[..., 1],  # not contiguous
    lambda x: x.clone().requires_grad_(),
])
def test_unusual_layouts_of_arguments_give_the_same_results(make):
    x = torch.randn(2, 3)
    for value in (x, torch.zeros(2, 3)):
        arg = make(value)
        assert torch.equal(li.Program(UNARY).run([arg])[0], torch.exp(value))
        assert torch.equal(li.Program(BINARY).run([arg, arg])[0], value + value)  # one tensor twice
        state = li.Program(BINARY).new_state()
        assert torch.equal(state.run([arg, value])[0], value + value)


class _Wrapper(torch.Tensor):
    """A tensor subclass that holds no data of its own."""

    @staticmethod
    def __new__(cls, shape):
        return torch.Tensor._make_wrapper_subclass(cls, shape, dtype=torch.float32)

    @classmethod
    def __torch_dispatch__(cls, func, types, args=(), kwargs=None):
        raise RuntimeError("no data")


@pytest.mark.parametrize("arg,error,message", [
    (torch.empty(2, 3, device="meta"), li.Error, "got a tensor on meta"),
    (torch.zeros(2, 3).to_sparse(), li.Error, "must be a CPU tensor of shape"),
    (_Wrapper((2, 3)), li.Error, "must be an ordinary CPU tensor, got one with the dispatch keys .*Python"),
    (3, TypeError, "incompatible function arguments"),
])
def test_arguments_the_kernels_cannot_read_are_refused(arg, error, message):
    with pytest.raises(error, match=message):
        li.Program(UNARY).run([arg])
    with pytest.raises(error, match=message):
        li.Program(BINARY).new_state().run([torch.ones(2, 3), arg])
