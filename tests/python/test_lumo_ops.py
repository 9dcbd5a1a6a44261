"""The lumo operator library: schemas, the nodes its kernels record on lazy tensors, and their
lowering into the torch-dialect module."""
import os
import re
import shutil
import subprocess
import sys

import pytest
import torch
import torch._lazy.debug

# The published operator table: (kernel, schema), in registration order.
LUMO_OPS = [
    ('node', 'Abs(Tensor x) -> Tensor y'),
    ('shape', 'Adam(Tensor var, Tensor m, Tensor v, Tensor beta1_power, Tensor beta2_power, Tensor lr, Tensor grad, Tensor weight_decay, *, float beta1, float beta2, float one_minus_beta1, float one_minus_beta2, float epsilon, bool? use_nesterov, bool? use_tf_adam, str _attr_names="") -> (Tensor var_new, Tensor m_new, Tensor v_new)'),
    ('node', 'Add(Tensor x, Tensor y) -> Tensor z'),
    ('node', 'And(Tensor x, Tensor y) -> Tensor z'),
    ('shape', 'Arange(Tensor start, Tensor end, Tensor step, *, int? dim, str _attr_names="") -> Tensor output'),
    ('shape', 'AsStrided(Tensor input, *, int[] size, int[] stride, int? storage_offset, str _attr_names="") -> Tensor output'),
    ('shape', 'BiasAddGrad(Tensor out_backprop, *, int dim, str _attr_names="") -> Tensor output'),
    ('shape', 'BiasAdd(Tensor value, Tensor bias, *, int dim, str _attr_names="") -> Tensor output'),
    ('shape', 'BroadcastInDim(Tensor operand, *, int[] broadcast_dimensions, str _attr_names="") -> Tensor output'),
    ('shape', 'Cast(Tensor x, *, bool? Truncate, str _attr_names="") -> Tensor y'),
    ('node', 'Ceil(Tensor x) -> Tensor y'),
    ('node', 'Clamp(Tensor input, Tensor min, Tensor max) -> Tensor output'),
    ('shape', 'Compare(Tensor x, Tensor y, *, str comparison_direction, str _attr_names="") -> Tensor z'),
    ('shape', 'Concat(Tensor[] values, *, int? axis, str _attr_names="") -> Tensor output'),
    ('shape', 'Const(*, Tensor value, str _attr_names="") -> Tensor output'),
    ('shape', 'Convolution(Tensor input, Tensor kernel, *, int[]? window_strides, int[]? padding, int[]? input_dilation, int[]? kernel_dilation, bool? transposed, bool? filter_gradient, int? feature_group_count, int? batch_group_count, str? data_format, str _attr_names="") -> Tensor output'),
    ('node', 'Cos(Tensor input) -> Tensor output'),
    ('node', 'CumProd(Tensor input, *, int? axis, bool? exclusive, bool? reverse, str _attr_names="") -> Tensor output'),
    ('node', 'CumSum(Tensor input, *, int? axis, bool? exclusive, bool? reverse, str _attr_names="") -> Tensor output'),
    ('node', 'Div(Tensor x, Tensor y) -> Tensor z'),
    ('shape', 'DotGeneral(Tensor lhs, Tensor rhs, *, int[] lhs_batching_dimensions, int[] rhs_batching_dimensions, int[] lhs_contracting_dimensions, int[] rhs_contracting_dimensions, str _attr_names="") -> Tensor product'),
    ('shape', 'DynamicUpdateSlice(Tensor operand, Tensor update, Tensor[] start_indices) -> Tensor result'),
    ('node', 'EluGrad(Tensor gradients, Tensor features, *, float alpha, str _attr_names="") -> Tensor backprops'),
    ('node', 'Elu(Tensor features, *, float alpha, str _attr_names="") -> Tensor activations'),
    ('node', 'Erf(Tensor input) -> Tensor output'),
    ('node', 'Exp(Tensor x) -> Tensor result'),
    ('shape', 'ExtSI(Tensor x) -> Tensor y'),
    ('shape', 'ExtUI(Tensor x) -> Tensor y'),
    ('node', 'Floor(Tensor x) -> Tensor y'),
    ('shape', 'FusedBatchNormGrad(Tensor y_backprop, Tensor x, Tensor scale, *, float? epsilon, str? data_format, bool? is_training, str _attr_names="") -> (Tensor x_backprop, Tensor scale_backprop, Tensor offset_backprop)'),
    ('shape', 'FusedBatchNorm(Tensor x, Tensor scale, Tensor offset, Tensor mean, Tensor variance, *, float? epsilon, float? exponential_avg_factor, str? data_format, bool? is_training, str _attr_names="") -> (Tensor y, Tensor batch_mean, Tensor batch_variance)'),
    ('shape', 'GatherNd(Tensor input, Tensor indices, *, bool? sparse_grad, int? start_dim, str _attr_names="") -> Tensor output'),
    ('shape', 'Gather(Tensor input, Tensor gather_indices, *, int? axis, int? batch_dims, bool? is_sparse, str _attr_names="") -> Tensor output'),
    ('node', 'GeluGrad(Tensor dx, Tensor x, *, str? approximation, str _attr_names="") -> Tensor result'),
    ('node', 'Gelu(Tensor input, *, str? approximation, str _attr_names="") -> Tensor result'),
    ('shape', 'GradientDescent(Tensor var, Tensor lr, Tensor grad) -> Tensor var_new'),
    ('shape', 'GroupNormGrad(Tensor y_backprop, Tensor x, Tensor scale, *, float? epsilon, bool? affine, int? num_groups, str? data_format, str _attr_names="") -> (Tensor x_backprop, Tensor scale_backprop, Tensor offset_backprop)'),
    ('shape', 'GroupNorm(Tensor input, Tensor gamma, Tensor beta, *, float? epsilon, bool? affine, int? num_groups, str? data_format, str _attr_names="") -> Tensor result'),
    ('node', 'HardSigmoidGrad(Tensor gradients, Tensor features) -> Tensor backprops'),
    ('node', 'HardSigmoid(Tensor features) -> Tensor activations'),
    ('shape', 'L2Norm(Tensor input, *, int[] dims, bool? keepdim, str _attr_names="") -> Tensor result'),
    ('shape', 'LayerNormGrad(Tensor grad, Tensor input, Tensor beta, Tensor gamma, *, float? epsilon, str _attr_names="") -> (Tensor result, Tensor beta_grad, Tensor gamma_grad)'),
    ('shape', 'LayerNorm(Tensor input, Tensor beta, Tensor gamma, *, float? epsilon, str _attr_names="") -> Tensor layernorm'),
    ('node', 'LeakyReluGrad(Tensor gradients, Tensor features, *, float alpha, str _attr_names="") -> Tensor result'),
    ('node', 'LeakyRelu(Tensor features, *, float alpha, str _attr_names="") -> Tensor activations'),
    ('node', 'Log(Tensor input) -> Tensor output'),
    ('shape', 'MaskFromTopK(Tensor input, Tensor k, *, int dimension, str _attr_names="") -> Tensor output'),
    ('shape', 'MatMul(Tensor a, Tensor b, *, bool transpose_a, bool transpose_b, str _attr_names="") -> Tensor product'),
    ('shape', 'MatrixBandPart(Tensor input, Tensor num_lower, Tensor num_upper) -> Tensor band'),
    ('node', 'Mul(Tensor x, Tensor y) -> Tensor z'),
    ('shape', 'NonZero(Tensor input) -> Tensor index'),
    ('shape', 'OneHot(Tensor indices, Tensor num_class, Tensor on_value, Tensor off_value, Tensor axis) -> Tensor output'),
    ('shape', 'OnlineNormBwd(Tensor grad_out, Tensor v_ctrl_in, Tensor u_ctrl_in, Tensor output, Tensor scale, *, float? alpha, str _attr_names="") -> (Tensor v_ctrl_out, Tensor u_ctrl_out, Tensor grad_in)'),
    ('shape', 'OnlineNormFwd(Tensor input, Tensor stream_mean_init, Tensor stream_var_init, *, float? alpha, float? epsilon, str _attr_names="") -> (Tensor stream_mean_out, Tensor stream_var_out, Tensor output, Tensor scale)'),
    ('node', 'Or(Tensor x, Tensor y) -> Tensor z'),
    ('shape', 'pad(Tensor operand, *, int[] edge_padding_low, int[] edge_padding_high, int[] interior_padding, str? padding_mode, Tensor? constant_values, str _attr_names="") -> Tensor output'),
    ('shape', 'Pool(Tensor input, Tensor delta, *, bool? gradient, int[] dilation, int[] ksize, int[] strides, int[] padding, str? pool_type, str? data_format, str _attr_names="") -> Tensor output'),
    ('node', 'Pow(Tensor a, Tensor b) -> Tensor result'),
    ('shape', 'RandomMultinomial(Tensor input, *, int num_samples, bool? replacement, int? seed, str _attr_names="") -> Tensor result'),
    ('node', 'RandomNormal(Tensor mean, Tensor std, *, int seed, str _attr_names="") -> Tensor result'),
    ('shape', 'RandomUniform(Tensor minval, Tensor maxval, Tensor shape, *, int? global_seed, int? operational_seed, str _attr_names="") -> Tensor output'),
    ('node', 'Reciprocal(Tensor input) -> Tensor output'),
    ('shape', 'Reduce(Tensor input, *, int[] dimensions, int[]? keep_dims, str reduce_kind, str _attr_names="") -> Tensor output'),
    ('node', 'ReluGrad(Tensor gradients, Tensor features) -> Tensor backprops'),
    ('node', 'Relu(Tensor features) -> Tensor activations'),
    ('shape', 'Repeat(Tensor input, *, int[] repeats, str _attr_names="") -> Tensor result'),
    ('shape', 'Reshape(Tensor input) -> Tensor result'),
    ('shape', 'RestorePadding(Tensor input, *, int axis, Tensor? pad_value, str _attr_names="") -> Tensor result'),
    ('shape', 'ScatterNd(Tensor indices, Tensor updates, Tensor shape) -> Tensor output'),
    ('shape', 'Scatter(Tensor init, Tensor indices, Tensor updates, *, int? axis, str? reduce_kind, str _attr_names="") -> Tensor output'),
    ('node', 'ScopeBoundary(Tensor input, *, str boundary_type, str scope_name, str _attr_names="") -> Tensor result'),
    ('shape', 'Select(Tensor cond, Tensor a, Tensor b) -> Tensor result'),
    ('node', 'SigmoidGrad(Tensor y, Tensor dy) -> Tensor grad'),
    ('node', 'Sigmoid(Tensor x) -> Tensor y'),
    ('node', 'Sign(Tensor x) -> Tensor y'),
    ('node', 'Sin(Tensor input) -> Tensor output'),
    ('shape', 'Slice(Tensor input, Tensor begin, Tensor size) -> Tensor output'),
    ('node', 'Softplus(Tensor features, *, float beta, float threshold, str _attr_names="") -> Tensor result'),
    ('shape', 'SoftmaxCrossEntropyWithLogits(Tensor features, Tensor labels, *, int? axis, str _attr_names="") -> (Tensor loss, Tensor backprop)'),
    ('node', 'Softmax(Tensor logits, *, int? axis, str _attr_names="") -> Tensor softmax'),
    ('shape', 'SparseSoftmaxCrossEntropyWithLogits(Tensor features, Tensor sparse_labels, *, int? axis, str _attr_names="") -> (Tensor loss, Tensor backprop)'),
    ('shape', 'Split(Tensor input, *, int[] split_sizes, int axis, str _attr_names="") -> Tensor[] result'),
    ('node', 'Sqrt(Tensor x) -> Tensor y'),
    ('shape', 'StridedSliceGrad(Tensor shape, Tensor begin, Tensor end, Tensor strides, Tensor dy, *, int? begin_mask, int? end_mask, int? ellipsis_mask, int? new_axis_mask, int? shrink_axis_mask, str _attr_names="") -> Tensor output'),
    ('shape', 'StridedSlice(Tensor input, Tensor begin, Tensor end, Tensor strides, *, int? begin_mask, int? end_mask, int? ellipsis_mask, int? new_axis_mask, int? shrink_axis_mask, str _attr_names="") -> Tensor output'),
    ('node', 'StripPadding(Tensor input, Tensor mask, *, int axis, str _attr_names="") -> Tensor result'),
    ('node', 'Sub(Tensor x, Tensor y) -> Tensor z'),
    ('node', 'TagGradient(Tensor input, *, str shared_name, str _attr_names="") -> Tensor output'),
    ('node', 'Tanh(Tensor x) -> Tensor tanh'),
    ('shape', 'TopK(Tensor input, *, int k, int dimension, bool? largest, bool? sorted, str _attr_names="") -> (Tensor topKValues, Tensor topKIndices)'),
    ('shape', 'Transpose(Tensor x, Tensor perm) -> Tensor y'),
]

NODE_OPS = [s.split("(")[0] for k, s in LUMO_OPS if k == "node"]
SHAPE_ERROR_OPS = [s.split("(")[0] for k, s in LUMO_OPS if k == "shape"]
MLIR_OPT = shutil.which("mlir-opt-16")
TORCH_MLIR_OPT = shutil.which("torch-mlir-opt") or os.path.join(
    os.path.dirname(sys.executable), "torch-mlir-opt")


def lazy(*sizes, dtype=torch.float32):
    return torch.ones(*sizes, dtype=dtype).to("lazy")


def op(name):
    return getattr(torch.ops.lumo, name)


def sample_arguments(name, first=None):
    """Arguments for any lumo operator: lazy [2, 3] tensors (`first` for the first one, if given), plain
    values for required keyword arguments, None for optional ones, `_attr_names` left out."""
    args, kwargs = [], {}
    for arg in op(name).default._schema.arguments:
        if arg.name == "_attr_names":
            continue
        tensor = lazy(2, 3) if first is None or args or kwargs else first
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
    assert len(LUMO_OPS) == 91 and len(NODE_OPS) == 40
    keys = ("CompositeImplicitAutograd", "Lazy", "CPU", "Meta", "AutogradLazy")
    for _, schema in LUMO_OPS:
        name = schema.split("(")[0]
        assert str(op(name).default._schema) == "lumo::" + schema
        # One catch-all kernel and nothing else.
        assert [torch._C._dispatch_has_kernel_for_dispatch_key("lumo::" + name, k) for k in keys] == [
            True, False, False, False, False], name


def test_registered_before_initialize():
    code = "import torch, orvex_pytorch_lib\nprint(str(torch.ops.lumo.pad.default._schema))\n"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "lumo::" + next(s for _, s in LUMO_OPS if s.startswith("pad("))


def test_node_operators_record_one_node_shaped_like_their_first_operand(backend):
    # The other tensor operands are [2, 3] float32: the result neither broadcasts nor promotes.
    for name in NODE_OPS:
        first = lazy(4, 1, dtype=torch.float64).requires_grad_()
        args, kwargs = sample_arguments(name, first)
        out = op(name)(*args, **kwargs)
        assert (out.device.type, out.dtype, tuple(out.shape)) == ("lazy", torch.float64, (4, 1)), name
        # Recorded below autograd: no history even for inputs that require grad.
        assert out.grad_fn is None and not out.requires_grad, name
        operands = sum(1 for a in args if isinstance(a, torch.Tensor))
        assert ir_nodes([out])[-1] == ("lumo::" + name, operands), name
    # Host scalars in later positions become lazy operands.
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
    # Checked before the missing shape inference is reported.
    (lambda x: torch.ops.lumo.Transpose(torch.ones(2), x), "first tensor argument 'x' must be a lazy"),
    (lambda x: torch.ops.lumo.Concat([], axis=0), "'values' must hold at least one lazy tensor"),
    (lambda x: torch.ops.lumo.Elu(x, alpha=1.0, _attr_names="alpha"),
     "`_attr_names` should not be manually specified"),
    (lambda x: torch.ops.lumo.TopK(x, k=1, dimension=0, largest=None, sorted=None, _attr_names="k"),
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
    module = re.search(r"^Computation:\n(.*?)\nTorchScript graph:\n",
                       torch._lazy.debug.dump_ir(outs, "backend"), re.S | re.M).group(1)
    (path := tmp_path / "lumo.mlir").write_text(module)
    assert MLIR_OPT, "mlir-opt-16 is part of the build requirements"
    for tool in [[MLIR_OPT, "--allow-unregistered-dialect"]] + [
            [TORCH_MLIR_OPT, "-o", os.devnull]] * os.path.exists(TORCH_MLIR_OPT):
        out = subprocess.run(tool + [str(path)], capture_output=True, text=True)
        assert out.returncode == 0, out.stderr[:4000]

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

