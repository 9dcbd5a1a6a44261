// One valid instance of every lumo operation. The printed form parses back to the same text, and
// so does the generic form.
// RUN: torch-lumo-opt %s -o %t.1.mlir
// RUN: torch-lumo-opt %t.1.mlir -o %t.2.mlir
// RUN: diff %t.1.mlir %t.2.mlir
// RUN: torch-lumo-opt -mlir-print-op-generic %s | torch-lumo-opt -o %t.3.mlir
// RUN: diff %t.1.mlir %t.3.mlir
// RUN: FileCheck %s < %t.1.mlir

// Every operation prints in its custom form.
// CHECK-NOT: "lumo.

// CHECK-LABEL: func.func @elementwise
func.func @elementwise(%a: tensor<2x3xf32>, %b: tensor<3xf32>, %s: tensor<f32>, %i: tensor<2x3xsi32>, %c: tensor<2x3xi1>) {
  %0 = lumo.Abs %a : (tensor<2x3xf32>) -> tensor<2x3xf32>
  // CHECK: lumo.Add %{{.*}}, %{{.*}} : (tensor<2x3xf32>, tensor<3xf32>) -> tensor<2x3xf32>
  %1 = lumo.Add %a, %b : (tensor<2x3xf32>, tensor<3xf32>) -> tensor<2x3xf32>
  %2 = lumo.And %c, %c : (tensor<2x3xi1>, tensor<2x3xi1>) -> tensor<2x3xi1>
  %3 = lumo.Ceil %a : (tensor<2x3xf32>) -> tensor<2x3xf32>
  %4 = lumo.Clamp %a, %s, %s : (tensor<2x3xf32>, tensor<f32>, tensor<f32>) -> tensor<2x3xf32>
  %5 = lumo.Cos %a : (tensor<2x3xf32>) -> tensor<2x3xf32>
  %6 = lumo.Div %i, %i : (tensor<2x3xsi32>, tensor<2x3xsi32>) -> tensor<2x3xsi32>
  %7 = lumo.EluGrad %a, %a {alpha = 1.0 : f64} : (tensor<2x3xf32>, tensor<2x3xf32>) -> tensor<2x3xf32>
  // CHECK: lumo.Elu %{{.*}} {alpha = 1.000000e+00 : f64}
  %8 = lumo.Elu %a {alpha = 1.0 : f64} : (tensor<2x3xf32>) -> tensor<2x3xf32>
  %9 = lumo.Erf %a : (tensor<2x3xf32>) -> tensor<2x3xf32>
  %10 = lumo.Exp %a : (tensor<2x3xf32>) -> tensor<2x3xf32>
  %11 = lumo.Floor %a : (tensor<2x3xf32>) -> tensor<2x3xf32>
  %12 = lumo.GeluGrad %a, %a {approximation = #lumo.gelu_approximation<tanh>} : (tensor<2x3xf32>, tensor<2x3xf32>) -> tensor<2x3xf32>
  // An absent optional attribute stays absent.
  // CHECK: lumo.Gelu %{{.*}} : (tensor<2x3xf32>) -> tensor<2x3xf32>
  %13 = lumo.Gelu %a : (tensor<2x3xf32>) -> tensor<2x3xf32>
  %14 = lumo.HardSigmoidGrad %a, %a : (tensor<2x3xf32>, tensor<2x3xf32>) -> tensor<2x3xf32>
  %15 = lumo.HardSigmoid %a : (tensor<2x3xf32>) -> tensor<2x3xf32>
  %16 = lumo.LeakyReluGrad %a, %a {alpha = 0.01 : f64} : (tensor<2x3xf32>, tensor<2x3xf32>) -> tensor<2x3xf32>
  %17 = lumo.LeakyRelu %a {alpha = 0.01 : f64} : (tensor<2x3xf32>) -> tensor<2x3xf32>
  %18 = lumo.Log %a : (tensor<2x3xf32>) -> tensor<2x3xf32>
  %19 = lumo.Mul %s, %a : (tensor<f32>, tensor<2x3xf32>) -> tensor<2x3xf32>
  %20 = lumo.Or %i, %i : (tensor<2x3xsi32>, tensor<2x3xsi32>) -> tensor<2x3xsi32>
  %21 = lumo.Pow %a, %s : (tensor<2x3xf32>, tensor<f32>) -> tensor<2x3xf32>
  %22 = lumo.Reciprocal %a : (tensor<2x3xf32>) -> tensor<2x3xf32>
  %23 = lumo.ReluGrad %a, %a : (tensor<2x3xf32>, tensor<2x3xf32>) -> tensor<2x3xf32>
  %24 = lumo.Relu %i : (tensor<2x3xsi32>) -> tensor<2x3xsi32>
  %25 = lumo.SigmoidGrad %a, %a : (tensor<2x3xf32>, tensor<2x3xf32>) -> tensor<2x3xf32>
  %26 = lumo.Sigmoid %a : (tensor<2x3xf32>) -> tensor<2x3xf32>
  %27 = lumo.Sign %a : (tensor<2x3xf32>) -> tensor<2x3xf32>
  %28 = lumo.Sin %a : (tensor<2x3xf32>) -> tensor<2x3xf32>
  %29 = lumo.Softplus %a {beta = 1.0 : f64, threshold = 20.0 : f64} : (tensor<2x3xf32>) -> tensor<2x3xf32>
  %30 = lumo.Sqrt %a : (tensor<2x3xf32>) -> tensor<2x3xf32>
  %31 = lumo.Sub %a, %b : (tensor<2x3xf32>, tensor<3xf32>) -> tensor<2x3xf32>
  %32 = lumo.Tanh %a : (tensor<2x3xf32>) -> tensor<2x3xf32>
  // CHECK: lumo.Unary %{{.*}} {kind = #lumo.unary_kind<isnan>} : (tensor<2x3xf32>) -> tensor<2x3xi1>
  %33 = lumo.Unary %a {kind = #lumo.unary_kind<isnan>} : (tensor<2x3xf32>) -> tensor<2x3xi1>
  %34 = lumo.Binary %a, %b {kind = #lumo.binary_kind<maximum>} : (tensor<2x3xf32>, tensor<3xf32>) -> tensor<2x3xf32>
  // CHECK: lumo.Unary %{{.*}} {kind = #lumo.unary_kind<polygamma>, order = 2 : i64} : (tensor<2x3xf32>) -> tensor<2x3xf32>
  %p = lumo.Unary %a {kind = #lumo.unary_kind<polygamma>, order = 2} : (tensor<2x3xf32>) -> tensor<2x3xf32>
  // CHECK: lumo.Unary %{{.*}} {kind = #lumo.unary_kind<frexp_exponent>} : (tensor<2x3xf32>) -> tensor<2x3xsi32>
  %e = lumo.Unary %a {kind = #lumo.unary_kind<frexp_exponent>} : (tensor<2x3xf32>) -> tensor<2x3xsi32>
  // CHECK: lumo.Compare %{{.*}}, %{{.*}} {comparison_direction = #lumo.comparison_direction<LT>} : (tensor<2x3xf32>, tensor<3xf32>) -> tensor<2x3xi1>
  %35 = lumo.Compare %a, %b {comparison_direction = #lumo.comparison_direction<LT>} : (tensor<2x3xf32>, tensor<3xf32>) -> tensor<2x3xi1>
  %36 = lumo.Select %c, %a, %s : (tensor<2x3xi1>, tensor<2x3xf32>, tensor<f32>) -> tensor<2x3xf32>
  %37 = lumo.Cast %a {Truncate = false} : (tensor<2x3xf32>) -> tensor<2x3xsi32>
  %38 = lumo.ExtSI %i : (tensor<2x3xsi32>) -> tensor<2x3xsi64>
  %39 = lumo.ExtUI %c : (tensor<2x3xi1>) -> tensor<2x3xsi32>
  %40 = lumo.ScopeBoundary %a {boundary_type = "begin", scope_name = "block0"} : (tensor<2x3xf32>) -> tensor<2x3xf32>
  %41 = lumo.TagGradient %a {shared_name = "w0"} : (tensor<2x3xf32>) -> tensor<2x3xf32>
  return
}

// CHECK-LABEL: func.func @shapes
func.func @shapes(%x: tensor<2x6xf32>, %i: tensor<si64>, %v: tensor<6xf32>) {
  // CHECK: lumo.Const {value = dense<[1, 0]> : tensor<2xsi64>} : () -> tensor<2xsi64>
  %perm = lumo.Const {value = dense<[1, 0]> : tensor<2xsi64>} : () -> tensor<2xsi64>
  %0 = lumo.Transpose %x, %perm : (tensor<2x6xf32>, tensor<2xsi64>) -> tensor<6x2xf32>
  // CHECK: = lumo.Split %{{.*}} {axis = 1 : i64, split_sizes = array<i64: 2, 2, 2>}
  %s:3 = lumo.Split %x {axis = 1 : i64, split_sizes = array<i64: 2, 2, 2>} : (tensor<2x6xf32>) -> (tensor<2x2xf32>, tensor<2x2xf32>, tensor<2x2xf32>)
  %1 = lumo.Concat %s#0, %s#2 {axis = 1 : i64} : (tensor<2x2xf32>, tensor<2x2xf32>) -> tensor<2x4xf32>
  %2 = lumo.DynamicUpdateSlice %1, %s#1, %i, %i : (tensor<2x4xf32>, tensor<2x2xf32>, tensor<si64>, tensor<si64>) -> tensor<2x4xf32>
  %3 = lumo.Reshape %x : (tensor<2x6xf32>) -> tensor<3x4xf32>
  %4 = lumo.BroadcastInDim %v {broadcast_dimensions = array<i64: 1>} : (tensor<6xf32>) -> tensor<2x6xf32>
  %5 = lumo.AsStrided %x {size = array<i64: 2, 2>, stride = array<i64: 6, 1>, storage_offset = 1 : i64} : (tensor<2x6xf32>) -> tensor<2x2xf32>
  %6 = lumo.Repeat %x {repeats = array<i64: 2, 1, 2>} : (tensor<2x6xf32>) -> tensor<2x2x12xf32>
  %7 = lumo.Pad %x {edge_padding_low = array<i64: 1, -1>, edge_padding_high = array<i64: 0, 2>, interior_padding = array<i64: 0, 1>, padding_mode = #lumo.padding_mode<constant>, constant_values = dense<1.0> : tensor<f32>} : (tensor<2x6xf32>) -> tensor<3x12xf32>
  %begin = lumo.Const {value = dense<[0, 1]> : tensor<2xsi32>} : () -> tensor<2xsi32>
  %size = lumo.Const {value = dense<[1, 4]> : tensor<2xsi32>} : () -> tensor<2xsi32>
  %8 = lumo.Slice %x, %begin, %size : (tensor<2x6xf32>, tensor<2xsi32>, tensor<2xsi32>) -> tensor<1x4xf32>
  %end = lumo.Const {value = dense<[2, 6]> : tensor<2xsi64>} : () -> tensor<2xsi64>
  %st = lumo.Const {value = dense<[1, 2]> : tensor<2xsi64>} : () -> tensor<2xsi64>
  %b0 = lumo.Const {value = dense<[0, 1]> : tensor<2xsi64>} : () -> tensor<2xsi64>
  %9 = lumo.StridedSlice %x, %b0, %end, %st {begin_mask = 1 : i64} : (tensor<2x6xf32>, tensor<2xsi64>, tensor<2xsi64>, tensor<2xsi64>) -> tensor<2x3xf32>
  %shape = lumo.Const {value = dense<[2, 6]> : tensor<2xsi64>} : () -> tensor<2xsi64>
  %10 = lumo.StridedSliceGrad %shape, %b0, %end, %st, %9 {begin_mask = 1 : i64} : (tensor<2xsi64>, tensor<2xsi64>, tensor<2xsi64>, tensor<2xsi64>, tensor<2x3xf32>) -> tensor<2x6xf32>
  %11 = lumo.BiasAdd %x, %v {dim = 1 : i64} : (tensor<2x6xf32>, tensor<6xf32>) -> tensor<2x6xf32>
  %12 = lumo.BiasAddGrad %x {dim = -1 : i64} : (tensor<2x6xf32>) -> tensor<6xf32>
  %13 = lumo.MatrixBandPart %x, %i, %i : (tensor<2x6xf32>, tensor<si64>, tensor<si64>) -> tensor<2x6xf32>
  %14 = lumo.NonZero %x : (tensor<2x6xf32>) -> tensor<5x2xsi64>
  %15 = lumo.StripPadding %x, %x {axis = 1 : i64} : (tensor<2x6xf32>, tensor<2x6xf32>) -> tensor<2x4xf32>
  %16 = lumo.RestorePadding %15 {axis = 1 : i64, pad_value = dense<0.0> : tensor<f32>} : (tensor<2x4xf32>) -> tensor<2x6xf32>
  return
}

// CHECK-LABEL: func.func @linalg
func.func @linalg(%a: tensor<4x2x3xf32>, %b: tensor<3x5xf32>, %l: tensor<4x3x2xf32>) {
  %0 = lumo.MatMul %a, %b {transpose_a = false, transpose_b = false} : (tensor<4x2x3xf32>, tensor<3x5xf32>) -> tensor<4x2x5xf32>
  // CHECK: lumo.DotGeneral %{{.*}}, %{{.*}} {lhs_batching_dimensions = array<i64: 0>, lhs_contracting_dimensions = array<i64: 2>, rhs_batching_dimensions = array<i64: 0>, rhs_contracting_dimensions = array<i64: 1>}
  %1 = lumo.DotGeneral %a, %l {lhs_batching_dimensions = array<i64: 0>, rhs_batching_dimensions = array<i64: 0>, lhs_contracting_dimensions = array<i64: 2>, rhs_contracting_dimensions = array<i64: 1>} : (tensor<4x2x3xf32>, tensor<4x3x2xf32>) -> tensor<4x2x2xf32>
  %2 = lumo.Reduce %a {dimensions = array<i64: 1, 2>, reduce_kind = #lumo.reduce_kind<sum>} : (tensor<4x2x3xf32>) -> tensor<4xf32>
  %3 = lumo.Reduce %a {dimensions = array<i64: -1>, keep_dims = true, reduce_kind = #lumo.reduce_kind<argmax>} : (tensor<4x2x3xf32>) -> tensor<4x2x1xsi64>
  %4 = lumo.L2Norm %a {dims = array<i64: 0>, keepdim = true} : (tensor<4x2x3xf32>) -> tensor<1x2x3xf32>
  %5 = lumo.CumSum %a {axis = 1 : i64, exclusive = true, reverse = false} : (tensor<4x2x3xf32>) -> tensor<4x2x3xf32>
  %6 = lumo.CumProd %a : (tensor<4x2x3xf32>) -> tensor<4x2x3xf32>
  %cl = lumo.CumLogSumExp %a {axis = -1 : i64, reverse = true} : (tensor<4x2x3xf32>) -> tensor<4x2x3xf32>
  %7 = lumo.Softmax %a {axis = -1 : i64} : (tensor<4x2x3xf32>) -> tensor<4x2x3xf32>
  %8:2 = lumo.TopK %a {k = 2 : i64, dimension = 2 : i64, largest = true, sorted = true, stable = true} : (tensor<4x2x3xf32>) -> (tensor<4x2x2xf32>, tensor<4x2x2xsi64>)
  %k = lumo.Const {value = dense<2> : tensor<si32>} : () -> tensor<si32>
  %9 = lumo.MaskFromTopK %a, %k {dimension = 2 : i64} : (tensor<4x2x3xf32>, tensor<si32>) -> tensor<4x2x3xi1>
  return
}

// CHECK-LABEL: func.func @indexing
func.func @indexing(%t: tensor<5x4xf32>, %idx: tensor<3xsi64>, %idx2: tensor<5x2xsi64>, %nd: tensor<3x2xsi32>, %up: tensor<3xf32>) {
  %0 = lumo.Gather %t, %idx {axis = 0 : i64} : (tensor<5x4xf32>, tensor<3xsi64>) -> tensor<3x4xf32>
  %1 = lumo.Gather %t, %idx2 {axis = 1 : i64, batch_dims = 1 : i64} : (tensor<5x4xf32>, tensor<5x2xsi64>) -> tensor<5x2xf32>
  %2 = lumo.GatherNd %t, %nd : (tensor<5x4xf32>, tensor<3x2xsi32>) -> tensor<3xf32>
  %shape = lumo.Const {value = dense<[5, 4]> : tensor<2xsi64>} : () -> tensor<2xsi64>
  %3 = lumo.ScatterNd %nd, %up, %shape : (tensor<3x2xsi32>, tensor<3xf32>, tensor<2xsi64>) -> tensor<5x4xf32>
  %upd = lumo.Const {value = dense<1.0> : tensor<5x2xf32>} : () -> tensor<5x2xf32>
  %4 = lumo.Scatter %t, %idx2, %upd {axis = 1 : i64, reduce_kind = #lumo.scatter_reduce_kind<add>} : (tensor<5x4xf32>, tensor<5x2xsi64>, tensor<5x2xf32>) -> tensor<5x4xf32>
  %depth = lumo.Const {value = dense<4> : tensor<si64>} : () -> tensor<si64>
  %axis = lumo.Const {value = dense<-1> : tensor<si64>} : () -> tensor<si64>
  %on = lumo.Const {value = dense<1.0> : tensor<f32>} : () -> tensor<f32>
  %off = lumo.Const {value = dense<0.0> : tensor<f32>} : () -> tensor<f32>
  %5 = lumo.OneHot %idx, %depth, %on, %off, %axis : (tensor<3xsi64>, tensor<si64>, tensor<f32>, tensor<f32>, tensor<si64>) -> tensor<3x4xf32>
  %lab = lumo.Const {value = dense<[0, 1, 3, 2, 0]> : tensor<5xsi64>} : () -> tensor<5xsi64>
  %6:2 = lumo.SparseSoftmaxCrossEntropyWithLogits %t, %lab : (tensor<5x4xf32>, tensor<5xsi64>) -> (tensor<5xf32>, tensor<5x4xf32>)
  %7:2 = lumo.SoftmaxCrossEntropyWithLogits %t, %t {axis = 1 : i64} : (tensor<5x4xf32>, tensor<5x4xf32>) -> (tensor<5xf32>, tensor<5x4xf32>)
  return
}

// CHECK-LABEL: func.func @nn
func.func @nn(%x: tensor<2x4x8x8xf32>, %w: tensor<6x2x3x3xf32>, %c: tensor<4xf32>, %ln: tensor<8xf32>, %s: tensor<f32>) {
  %0 = lumo.Convolution %x, %w {window_strides = array<i64: 1, 1>, padding = array<i64: 1, 1>, feature_group_count = 2 : i64} : (tensor<2x4x8x8xf32>, tensor<6x2x3x3xf32>) -> tensor<2x6x8x8xf32>
  %1 = lumo.Convolution %0, %w {window_strides = array<i64: 2, 2>, padding = array<i64: 1, 1>, transposed = true, feature_group_count = 2 : i64} : (tensor<2x6x8x8xf32>, tensor<6x2x3x3xf32>) -> tensor<2x4x16x16xf32>
  %2 = lumo.Convolution %x, %0 {padding = array<i64: 1, 1>, filter_gradient = true, feature_group_count = 2 : i64} : (tensor<2x4x8x8xf32>, tensor<2x6x8x8xf32>) -> tensor<6x2x3x3xf32>
  %3 = lumo.Pool %x, %s {ksize = array<i64: 2, 2>, strides = array<i64: 2, 2>, dilation = array<i64: 1, 1>, padding = array<i64: 0, 0>, pool_type = #lumo.pool_type<MAX>} : (tensor<2x4x8x8xf32>, tensor<f32>) -> tensor<2x4x4x4xf32>
  %4 = lumo.Pool %x, %3 {gradient = true, ksize = array<i64: 2, 2>, strides = array<i64: 2, 2>, dilation = array<i64: 1, 1>, padding = array<i64: 0, 0>, pool_type = #lumo.pool_type<AVG>} : (tensor<2x4x8x8xf32>, tensor<2x4x4x4xf32>) -> tensor<2x4x8x8xf32>
  %5:3 = lumo.FusedBatchNorm %x, %c, %c, %c, %c {epsilon = 1.0e-05 : f64, exponential_avg_factor = 0.1 : f64, is_training = true} : (tensor<2x4x8x8xf32>, tensor<4xf32>, tensor<4xf32>, tensor<4xf32>, tensor<4xf32>) -> (tensor<2x4x8x8xf32>, tensor<4xf32>, tensor<4xf32>)
  %6:3 = lumo.FusedBatchNormGrad %x, %x, %c {epsilon = 1.0e-05 : f64} : (tensor<2x4x8x8xf32>, tensor<2x4x8x8xf32>, tensor<4xf32>) -> (tensor<2x4x8x8xf32>, tensor<4xf32>, tensor<4xf32>)
  %7 = lumo.GroupNorm %x, %c, %c {num_groups = 2 : i64, epsilon = 1.0e-05 : f64} : (tensor<2x4x8x8xf32>, tensor<4xf32>, tensor<4xf32>) -> tensor<2x4x8x8xf32>
  %8:3 = lumo.GroupNormGrad %x, %x, %c {num_groups = 2 : i64} : (tensor<2x4x8x8xf32>, tensor<2x4x8x8xf32>, tensor<4xf32>) -> (tensor<2x4x8x8xf32>, tensor<4xf32>, tensor<4xf32>)
  // CHECK: lumo.LayerNorm %{{.*}}, %{{.*}}, %{{.*}} {epsilon = 1.000000e-05 : f64}
  %9 = lumo.LayerNorm %x, %ln, %ln {epsilon = 1.0e-05 : f64} : (tensor<2x4x8x8xf32>, tensor<8xf32>, tensor<8xf32>) -> tensor<2x4x8x8xf32>
  // CHECK: %{{.*}}, %beta_grad, %gamma_grad = lumo.LayerNormGrad
  %10:3 = lumo.LayerNormGrad %x, %x, %ln, %ln : (tensor<2x4x8x8xf32>, tensor<2x4x8x8xf32>, tensor<8xf32>, tensor<8xf32>) -> (tensor<2x4x8x8xf32>, tensor<8xf32>, tensor<8xf32>)
  %11:4 = lumo.OnlineNormFwd %x, %c, %c {alpha = 0.999 : f64} : (tensor<2x4x8x8xf32>, tensor<4xf32>, tensor<4xf32>) -> (tensor<4xf32>, tensor<4xf32>, tensor<2x4x8x8xf32>, tensor<2x4x8x8xf32>)
  %12:3 = lumo.OnlineNormBwd %x, %c, %c, %x, %11#3 : (tensor<2x4x8x8xf32>, tensor<4xf32>, tensor<4xf32>, tensor<2x4x8x8xf32>, tensor<2x4x8x8xf32>) -> (tensor<4xf32>, tensor<4xf32>, tensor<2x4x8x8xf32>)
  return
}

// CHECK-LABEL: func.func @random_and_training
func.func @random_and_training(%w: tensor<3x4xf32>, %s: tensor<f32>, %p: tensor<2x5xf32>) {
  %shape = lumo.Const {value = dense<[3, 4]> : tensor<2xsi64>} : () -> tensor<2xsi64>
  %0 = lumo.RandomUniform %s, %s, %shape {global_seed = 1 : i64, operational_seed = 2 : i64} : (tensor<f32>, tensor<f32>, tensor<2xsi64>) -> tensor<3x4xf32>
  %1 = lumo.RandomNormal %s, %s {seed = 3 : i64} : (tensor<f32>, tensor<f32>) -> tensor<3x4xf32>
  %2 = lumo.RandomMultinomial %p {num_samples = 3 : i64, replacement = true, seed = 4 : i64} : (tensor<2x5xf32>) -> tensor<2x3xsi64>
  %start = lumo.Const {value = dense<0> : tensor<si64>} : () -> tensor<si64>
  %end = lumo.Const {value = dense<4> : tensor<si64>} : () -> tensor<si64>
  %step = lumo.Const {value = dense<1> : tensor<si64>} : () -> tensor<si64>
  %3 = lumo.Arange %start, %end, %step {dim = 1 : i64} : (tensor<si64>, tensor<si64>, tensor<si64>) -> tensor<3x4xsi64>
  %4:3 = lumo.Adam %w, %w, %w, %s, %s, %s, %w, %s {beta1 = 0.9 : f64, beta2 = 0.999 : f64, one_minus_beta1 = 0.1 : f64, one_minus_beta2 = 0.001 : f64, epsilon = 1.0e-08 : f64} : (tensor<3x4xf32>, tensor<3x4xf32>, tensor<3x4xf32>, tensor<f32>, tensor<f32>, tensor<f32>, tensor<3x4xf32>, tensor<f32>) -> (tensor<3x4xf32>, tensor<3x4xf32>, tensor<3x4xf32>)
  %5 = lumo.GradientDescent %w, %s, %w : (tensor<3x4xf32>, tensor<f32>, tensor<3x4xf32>) -> tensor<3x4xf32>
  return
}

// CHECK-LABEL: func.func @factorisations
func.func @factorisations(%a: tensor<2x3x3xf32>, %b: tensor<2x3x4xf32>, %r: tensor<2x4x3xf64>, %d: tensor<2x3x3xf64>) {
  // CHECK: lumo.Cholesky %{{.*}} {lower = true} : (tensor<2x3x3xf32>) -> tensor<2x3x3xf32>
  %0 = lumo.Cholesky %a {lower = true} : (tensor<2x3x3xf32>) -> tensor<2x3x3xf32>
  %1:3 = lumo.Lu %a : (tensor<2x3x3xf32>) -> (tensor<2x3x3xf32>, tensor<2x3xsi32>, tensor<2x3xsi32>)
  // CHECK: lumo.TriangularSolve {{.*}}transpose_a = #lumo.transpose<ADJOINT>
  %2 = lumo.TriangularSolve %0, %b {left_side = true, lower = true, unit_diagonal = false, transpose_a = #lumo.transpose<ADJOINT>} : (tensor<2x3x3xf32>, tensor<2x3x4xf32>) -> tensor<2x3x4xf32>
  %3 = lumo.TriangularSolve %d, %r {left_side = false, lower = false, unit_diagonal = true, transpose_a = #lumo.transpose<NO_TRANSPOSE>} : (tensor<2x3x3xf64>, tensor<2x4x3xf64>) -> tensor<2x4x3xf64>
  return
}

// Complex element types, Fft and the complex-number operations.
// CHECK-LABEL: func.func @complex
// CHECK: lumo.Fft %arg0 {fft_length = array<i64: 8>, fft_type = #lumo.fft_type<RFFT>} : (tensor<4x8xf32>) -> tensor<4x5xcomplex<f32>>
// CHECK: lumo.Fft %{{.*}} {fft_length = array<i64: 4, 5>, fft_type = #lumo.fft_type<IFFT>} : (tensor<4x5xcomplex<f32>>) -> tensor<4x5xcomplex<f32>>
// CHECK: lumo.Fft %{{.*}} {fft_length = array<i64: 8>, fft_type = #lumo.fft_type<IRFFT>} : (tensor<4x5xcomplex<f32>>) -> tensor<4x8xf32>
// CHECK: lumo.Real
// CHECK: lumo.Imag
// CHECK: lumo.Complex {{.*}} -> tensor<2x4x5xcomplex<f32>>
// CHECK: lumo.Add {{.*}} -> tensor<2x4x5xcomplex<f32>>
// CHECK: lumo.Cast {{.*}} -> tensor<2x4x5xcomplex<f64>>
// CHECK: lumo.Cast {{.*}} -> tensor<2x4x5xf64>
func.func @complex(%a: tensor<4x8xf32>) -> (tensor<4x8xf32>, tensor<2x4x5xf64>) {
  %0 = lumo.Fft %a {fft_type = #lumo.fft_type<RFFT>, fft_length = array<i64: 8>} : (tensor<4x8xf32>) -> tensor<4x5xcomplex<f32>>
  %1 = lumo.Fft %0 {fft_type = #lumo.fft_type<IFFT>, fft_length = array<i64: 4, 5>} : (tensor<4x5xcomplex<f32>>) -> tensor<4x5xcomplex<f32>>
  %2 = lumo.Fft %1 {fft_type = #lumo.fft_type<IRFFT>, fft_length = array<i64: 8>} : (tensor<4x5xcomplex<f32>>) -> tensor<4x8xf32>
  %3 = lumo.Real %1 : (tensor<4x5xcomplex<f32>>) -> tensor<4x5xf32>
  %4 = lumo.Imag %1 : (tensor<4x5xcomplex<f32>>) -> tensor<4x5xf32>
  %5 = lumo.Complex %3, %4 : (tensor<4x5xf32>, tensor<4x5xf32>) -> tensor<2x4x5xcomplex<f32>>
  %6 = lumo.Add %5, %1 : (tensor<2x4x5xcomplex<f32>>, tensor<4x5xcomplex<f32>>) -> tensor<2x4x5xcomplex<f32>>
  %7 = lumo.Cast %6 : (tensor<2x4x5xcomplex<f32>>) -> tensor<2x4x5xcomplex<f64>>
  %8 = lumo.Cast %7 : (tensor<2x4x5xcomplex<f64>>) -> tensor<2x4x5xf64>
  return %2, %8 : tensor<4x8xf32>, tensor<2x4x5xf64>
}

// CHECK-LABEL: func.func @decompositions
func.func @decompositions(%a: tensor<2x5x3xf32>, %d: tensor<2x3x3xf64>) {
  // CHECK: lumo.Svd %{{.*}} {full_matrices = true} : (tensor<2x5x3xf32>) -> (tensor<2x5x5xf32>, tensor<2x3xf32>, tensor<2x3x3xf32>)
  %0:3 = lumo.Svd %a {full_matrices = true} : (tensor<2x5x3xf32>) -> (tensor<2x5x5xf32>, tensor<2x3xf32>, tensor<2x3x3xf32>)
  %1:3 = lumo.Svd %d {values_only = true} : (tensor<2x3x3xf64>) -> (tensor<0xf64>, tensor<2x3xf64>, tensor<0xf64>)
  // CHECK: lumo.Qr %{{.*}} {mode = #lumo.qr_mode<complete>} : (tensor<2x5x3xf32>) -> (tensor<2x5x5xf32>, tensor<2x5x3xf32>)
  %2:2 = lumo.Qr %a {mode = #lumo.qr_mode<complete>} : (tensor<2x5x3xf32>) -> (tensor<2x5x5xf32>, tensor<2x5x3xf32>)
  %3:2 = lumo.Qr %a {mode = #lumo.qr_mode<reduced>} : (tensor<2x5x3xf32>) -> (tensor<2x5x3xf32>, tensor<2x3x3xf32>)
  // CHECK: lumo.Eigh %{{.*}} {triangle = #lumo.triangle<upper>} : (tensor<2x3x3xf64>) -> (tensor<2x3xf64>, tensor<2x3x3xf64>)
  %4:2 = lumo.Eigh %d {triangle = #lumo.triangle<upper>} : (tensor<2x3x3xf64>) -> (tensor<2x3xf64>, tensor<2x3x3xf64>)
  // CHECK: lumo.Eig %{{.*}} : (tensor<2x3x3xf64>) -> (tensor<2x3xcomplex<f64>>, tensor<2x3x3xcomplex<f64>>)
  %5:2 = lumo.Eig %d : (tensor<2x3x3xf64>) -> (tensor<2x3xcomplex<f64>>, tensor<2x3x3xcomplex<f64>>)
  %6:2 = lumo.Eig %d {values_only = true} : (tensor<2x3x3xf64>) -> (tensor<2x3xcomplex<f64>>, tensor<0xcomplex<f64>>)
  return
}

// CHECK-LABEL: func.func @collectives
func.func @collectives(%a: tensor<4xf32>) -> tensor<4xf32> {
  // CHECK: lumo.AllReduce %{{.*}} {channel_id = 1 : i64, kind = #lumo.all_reduce_kind<sum>, replica_groups = dense<{{\[\[}}0, 1], [2, 3]]> : tensor<2x2xi64>} : (tensor<4xf32>) -> tensor<4xf32>
  %0 = lumo.AllReduce %a {kind = #lumo.all_reduce_kind<sum>, replica_groups = dense<[[0, 1], [2, 3]]> : tensor<2x2xi64>, channel_id = 1 : i64} : (tensor<4xf32>) -> tensor<4xf32>
  return %0 : tensor<4xf32>
}
