"""The lumo operator library: schemas, the nodes its kernels record on lazy tensors, and their
lowering into the torch-dialect module."""
import pathlib
import re

import pytest
import torch
import torch._lazy.debug
import yaml

from mlir_checks import backend_module, check_module

# The operator table the library is generated from.
TABLE = [e for e in yaml.safe_load(
    (pathlib.Path(__file__).resolve().parents[2] / "csrc" / "lumo_ops.yaml").read_text())
    if "schema" in e and not e.get("dialect_only")]
LUMO_OPS = [("node" if e["kernel"] == "node" else "shape", e["schema"]) for e in TABLE]
ELEMENTWISE = {e["schema"].split("(")[0] for e in TABLE if e.get("elementwise")}

NODE_OPS = [s.split("(")[0] for k, s in LUMO_OPS if k == "node"]
SHAPE_ERROR_OPS = [s.split("(")[0] for k, s in LUMO_OPS if k == "shape"]


def lazy(*sizes, dtype=torch.float32):
    return torch.ones(*sizes, dtype=dtype).to("lazy")


def op(name):
    return getattr(torch.ops.lumo, name)


def sample_arguments(name, first=None, other=None):
    """Arguments for any lumo operator: lazy tensors (`first` for the first one and `other` for the
    rest, if given, else [2, 3]), plain values for required keyword arguments, None for optional
    ones, `_attr_names` left out."""
    args, kwargs = [], {}
    for arg in op(name).default._schema.arguments:
        if arg.name == "_attr_names":
            continue
        tensor = first if first is not None and not (args or kwargs) else (
            other if other is not None else lazy(2, 3))
        value = {"Tensor": tensor, "List[Tensor]": [tensor], "int": 1, "float": 0.5, "bool": True,
                 "str": "s", "List[int]": [1]}.get(str(arg.type))  # None for optional arguments
        if arg.kwarg_only:
            kwargs[arg.name] = value
        else:
            args.append(value)
    return args, kwargs


def ir_nodes(tensors):
    """(op kind, operand count) of each node of the lazy graph behind `tensors`."""
    text = torch._lazy.debug.dump_ir(tensors, "text")
    return [(m.group(1), len([o for o in m.group(2).split(",") if o.strip()])) for m in re.finditer(
        r"^\s*%\d+ = \[(?:[^\[\]]|\[[^\]]*\])*\] ([\w:]+)\(([^)]*)\)", text, re.M)]


def test_every_schema_is_registered_as_published():
    registered = {n for n in torch._C._dispatch_get_all_op_names() if n.startswith("lumo::")}
    assert registered == {"lumo::" + name for name in NODE_OPS + SHAPE_ERROR_OPS}
    keys = ("CompositeImplicitAutograd", "Lazy", "CPU", "Meta", "AutogradLazy")
    for _, schema in LUMO_OPS:
        name = schema.split("(")[0]
        assert str(op(name).default._schema) == "lumo::" + schema
        # One catch-all kernel and nothing else.
        assert [torch._C._dispatch_has_kernel_for_dispatch_key("lumo::" + name, k) for k in keys] == [
            True, False, False, False, False], name


def as_meta(t):
    return torch.empty(t.shape, dtype=t.dtype, device="meta")


@pytest.mark.parametrize("first,other", [
    ((4, 1, torch.float64), (1, 3, torch.float32)),   # broadcast both ways, promote
    ((2, 3, torch.int64), ((), torch.float32)),       # a 0-d operand does not decide the type alone
    ((3,), (2, 3, torch.complex64)),
    ((2, 3, torch.bool), (2, 3, torch.int32)),
])
def test_node_operators_record_one_node_typed_as_eager_pytorch(backend, first, other):
    """An elementwise operator's result has the shape and type eager PyTorch gives the same
    operands; every other node operator's is its first operand's."""
    def make(spec):
        *sizes, dtype = spec if isinstance(spec[-1], torch.dtype) else (*spec, torch.float32)
        return lazy(*sizes, dtype=dtype)
    for name in NODE_OPS:
        a, b = make(first), make(other)
        args, kwargs = sample_arguments(name, a, b)
        out = op(name)(*args, **kwargs)
        tensors = [t for t in args if isinstance(t, torch.Tensor)]
        if name in ELEMENTWISE:
            reference = as_meta(tensors[0])
            for t in tensors[1:]:
                reference = reference + as_meta(t)
        else:
            reference = tensors[0]
        assert (out.device.type, out.dtype, out.shape) == ("lazy", reference.dtype,
                                                           reference.shape), name
        assert out.grad_fn is None and ir_nodes([out])[-1] == ("lumo::" + name, len(tensors)), name


def test_node_operators_record_below_autograd_and_take_host_scalars(backend):
    first = lazy(2, 3).requires_grad_()
    assert not torch.ops.lumo.Add(first, lazy(2, 3)).requires_grad
    x = lazy(2, 3)
    nodes = ir_nodes([torch.ops.lumo.Add(x, torch.tensor(2.5))])
    assert nodes[-1] == ("lumo::Add", 2) and sum(k.endswith("device_data") for k, _ in nodes) == 2
    clamped = torch.ops.lumo.Clamp(x, torch.tensor(0.0), torch.tensor(1.0))
    assert ir_nodes([clamped])[-1] == ("lumo::Clamp", 3)


@pytest.mark.parametrize("call,message", [
    (lambda x: torch.ops.lumo.Add(torch.ones(2, 3), x),
     r"lumo::Add: the first tensor argument 'x' must be a lazy tensor, but it is a tensor on device cpu"),
    (lambda x: torch.ops.lumo.Add(torch.tensor(1.0), x), "first tensor argument 'x' must be a lazy tensor"),
    (lambda x: torch.ops.lumo.Add(x, torch.ones(3)),
     r"argument 'y' must be a lazy tensor or a scalar, but it is a tensor on device cpu of sizes \[3\]"),
    (lambda x: torch.ops.lumo.Add(x, lazy(4, 2)),
     r"lumo::Add: the shapes \[2, 3\] \('x'\) and \[4, 2\] \('y'\) do not broadcast"),
    (lambda x: torch.ops.lumo.Clamp(x, lazy(3), lazy(2, 1, 2)),
     r"lumo::Clamp: the shapes \[2, 3\] \('input', 'min'\) and \[2, 1, 2\] \('max'\) do not "
     "broadcast"),
    # Checked before the missing shape inference is reported.
    (lambda x: torch.ops.lumo.Transpose(torch.ones(2), x), "first tensor argument 'x' must be a lazy"),
    (lambda x: torch.ops.lumo.Concat([], axis=0), "'values' must hold at least one lazy tensor"),
    (lambda x: torch.ops.lumo.Elu(x, alpha=1.0, _attr_names="alpha"),
     "`_attr_names` should not be manually specified"),
    (lambda x: torch.ops.lumo.TopK(x, k=1, dimension=0, largest=None, sorted=None, stable=None, _attr_names="k"),
     "`_attr_names` should not be manually specified"),
])
def test_invalid_arguments_raise(backend, call, message):
    with pytest.raises(RuntimeError, match=message):
        call(lazy(2, 3))


def test_every_shape_error_operator_raises_with_its_name(backend):
    for name in SHAPE_ERROR_OPS:
        args, kwargs = sample_arguments(name)
        with pytest.raises(RuntimeError, match=f"SHAPE_INFER_{name} must be defined!"):
            op(name)(*args, **kwargs)


def test_hash_follows_the_attribute_values(backend):
    x, graph_hash = lazy(2, 3), lambda out: torch._C._lazy._get_graph_hash([out])
    softmax = [graph_hash(torch.ops.lumo.Softmax(x, axis=a)) for a in (1, 1, 0, None)]
    softplus = [graph_hash(torch.ops.lumo.Softplus(x, beta=b, threshold=20.0)) for b in (1.0, 1.0, 2.0)]
    assert softmax[0] == softmax[1] and len(set(softmax)) == 3
    assert softplus[0] == softplus[1] != softplus[2]


def test_lumo_calls_lower_operands_then_attributes(backend, tmp_path):
    x, y = lazy(2, 3), lazy(2, 3)
    soft = torch.ops.lumo.Softplus(x, beta=1.0, threshold=20.0)
    outs = [torch.ops.lumo.Add(torch.ops.lumo.Softmax(soft, axis=-1), y),
            torch.ops.lumo.CumSum(x, axis=1, exclusive=None, reverse=True),
            torch.ops.lumo.Softmax(x, axis=None),
            torch.ops.lumo.ScopeBoundary(x, boundary_type="begin", scope_name="blk"),
            # An explicit empty `_attr_names` is the default.
            torch.ops.lumo.Gelu(x, approximation="tanh", _attr_names="")]
    module = backend_module(outs)
    check_module(module, tmp_path, contract=False)

    calls = re.findall(r'(%\S+) = "?torch\.operator"?\(([^)]*)\) \{name = "lumo\.(\w+)"\} : '
                       r'\([^)]*\) -> (\S+)', module)
    assert [c[3] for c in calls] == ["!torch.vtensor<[2,3],f32>"] * 7, module
    producer = {ssa: name for ssa, _, name, _ in calls}

    def operand(ssa):  # "arg", the producing lumo call, or the (kind, value) of a torch constant
        m = re.search(re.escape(ssa) + r' = "?torch\.constant\.(\w+)"?\(?\)? ?(?:\{value = ([^}]*)\})?',
                      module)
        return "arg" if ssa.startswith("%arg") else producer.get(ssa) or (m and m.groups())

    lowered = sorted((name, [operand(o.strip()) for o in ops.split(",")]) for _, ops, name, _ in calls)
    assert lowered == [
        ("Add", ["Softmax", "arg"]),  # no keyword-only arguments: not even `_attr_names`
        ("CumSum", ["arg", ("int", "1 : i64"), ("bool", "true"), ("str", '"axis,reverse"')]),
        ("Gelu", ["arg", ("str", '"tanh"'), ("str", '"approximation"')]),
        ("ScopeBoundary", ["arg", ("str", '"begin"'), ("str", '"blk"'),
                           ("str", '"boundary_type,scope_name"')]),
        ("Softmax", ["Softplus", ("int", "-1 : i64"), ("str", '"axis"')]),
        ("Softmax", ["arg", ("str", '""')]),
        ("Softplus", ["arg", ("float", "1.000000e+00 : f64"), ("float", "2.000000e+01 : f64"),
                      ("str", '"beta,threshold"')]),
    ], module

