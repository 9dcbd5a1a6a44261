// Normalisations, softmax, convolution and pooling keep one lumo operation per fused kernel;
// their gradients read the forward operation's settings.
// RUN: torch-lumo-opt %s -split-input-file -refine-types -torch-to-lumo-pipeline | FileCheck %s
// RUN: torch-lumo-opt %s -split-input-file -refine-types -convert-torch-to-lumo=families=normalization,convolution,reductions -canonicalize -cse | FileCheck %s

// Layer norm: mean and rstd are only read by the gradient, which recomputes them.
// CHECK-LABEL: func.func @layer_norm
// CHECK-NOT: lumo.Reduce
// CHECK: lumo.LayerNorm %arg0, %arg2, %arg1 {epsilon = 1.000000e-05 : f64} : (tensor<2x3x8xf32>, tensor<8xf32>, tensor<8xf32>) -> tensor<2x3x8xf32>
// CHECK: %[[DX:.*]], %[[DB:.*]], %[[DW:.*]] = lumo.LayerNormGrad %arg3, %arg0, %arg2, %arg1 {epsilon = 1.000000e-05 : f64}
// CHECK: return %{{.*}}, %[[DX]], %[[DW]], %[[DB]] :
func.func @layer_norm(%arg0: !torch.vtensor<[2,3,8],f32>, %arg1: !torch.vtensor<[8],f32>, %arg2: !torch.vtensor<[8],f32>, %arg3: !torch.vtensor<[2,3,8],f32>)
    -> (!torch.vtensor<[2,3,8],f32>, !torch.vtensor<[2,3,8],f32>, !torch.vtensor<[8],f32>, !torch.vtensor<[8],f32>) {
  %c8 = "torch.constant.int"() {value = 8 : i64} : () -> !torch.int
  %shape = "torch.prim.ListConstruct"(%c8) : (!torch.int) -> !torch.list<int>
  %eps = "torch.constant.float"() {value = 1.000000e-05 : f64} : () -> !torch.float
  %0:3 = "torch.aten.native_layer_norm"(%arg0, %shape, %arg1, %arg2, %eps) : (!torch.vtensor<[2,3,8],f32>, !torch.list<int>, !torch.vtensor<[8],f32>, !torch.vtensor<[8],f32>, !torch.float) -> (!torch.vtensor<[2,3,8],f32>, !torch.vtensor<[2,3,1],f32>, !torch.vtensor<[2,3,1],f32>)
  %true = "torch.constant.bool"() {value = true} : () -> !torch.bool
  %mask = "torch.prim.ListConstruct"(%true, %true, %true) : (!torch.bool, !torch.bool, !torch.bool) -> !torch.list<bool>
  %1:3 = "torch.aten.native_layer_norm_backward"(%arg3, %arg0, %shape, %0#1, %0#2, %arg1, %arg2, %mask) : (!torch.vtensor<[2,3,8],f32>, !torch.vtensor<[2,3,8],f32>, !torch.list<int>, !torch.vtensor<[2,3,1],f32>, !torch.vtensor<[2,3,1],f32>, !torch.vtensor<[8],f32>, !torch.vtensor<[8],f32>, !torch.list<bool>) -> (!torch.vtensor<[2,3,8],f32>, !torch.vtensor<[8],f32>, !torch.vtensor<[8],f32>)
  return %0#0, %1#0, %1#1, %1#2 : !torch.vtensor<[2,3,8],f32>, !torch.vtensor<[2,3,8],f32>, !torch.vtensor<[8],f32>, !torch.vtensor<[8],f32>
}

// -----
// Layer norm gradient from saved statistics, without a weight: the weight's gradient, which the
// mask leaves out, is not produced (its declared type is a placeholder).
// CHECK-LABEL: func.func @layer_norm_backward_saved
// CHECK-NOT: lumo.LayerNormGrad
// CHECK: return %{{.*}}, %{{.*}} : tensor<2x3xf32>, tensor<3xf32>
func.func @layer_norm_backward_saved(%arg0: !torch.vtensor<[2,3],f32>, %arg1: !torch.vtensor<[2,3],f32>, %arg2: !torch.vtensor<[2,1],f32>, %arg3: !torch.vtensor<[2,1],f32>, %arg4: !torch.vtensor<[3],f32>)
    -> (!torch.vtensor<[2,3],f32>, !torch.vtensor<[3],f32>) {
  %c3 = "torch.constant.int"() {value = 3 : i64} : () -> !torch.int
  %shape = "torch.prim.ListConstruct"(%c3) : (!torch.int) -> !torch.list<int>
  %none = "torch.constant.none"() : () -> !torch.none
  %true = "torch.constant.bool"() {value = true} : () -> !torch.bool
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %mask = "torch.prim.ListConstruct"(%true, %false, %true) : (!torch.bool, !torch.bool, !torch.bool) -> !torch.list<bool>
  %0:3 = "torch.aten.native_layer_norm_backward"(%arg0, %arg1, %shape, %arg2, %arg3, %none, %arg4, %mask) : (!torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],f32>, !torch.list<int>, !torch.vtensor<[2,1],f32>, !torch.vtensor<[2,1],f32>, !torch.none, !torch.vtensor<[3],f32>, !torch.list<bool>) -> (!torch.vtensor<[2,3],f32>, !torch.vtensor<[],f32>, !torch.vtensor<[3],f32>)
  return %0#0, %0#2 : !torch.vtensor<[2,3],f32>, !torch.vtensor<[3],f32>
}

// -----
// Batch norm in training: the batch mean is returned (the running statistics are updated by
// separate operations), the gradient recomputes the statistics. The unbiased variance of the
// input per channel, which the running variance's update reads, is the batch norm's; over other
// dimensions it is computed.
// CHECK-LABEL: func.func @batch_norm
// CHECK: %[[Y:.*]], %[[MEAN:.*]], %[[VAR:.*]] = lumo.FusedBatchNorm %arg0, %arg1, %arg2, %arg3, %arg4 {epsilon = 1.000000e-05 : f64, exponential_avg_factor = 1.000000e+00 : f64, is_training = true}
// CHECK: %[[DX:.*]], %[[DW:.*]], %[[DB:.*]] = lumo.FusedBatchNormGrad %arg5, %arg0, %arg1 {epsilon = 1.000000e-05 : f64, is_training = true}
// CHECK: lumo.Reduce %arg0 {dimensions = array<i64: 0, 1>, keep_dims = true, reduce_kind = #lumo.reduce_kind<mean>}
// CHECK: return %[[Y]], %[[MEAN]], %[[DX]], %[[DW]], %[[DB]], %[[VAR]], %{{.*}} :
func.func @batch_norm(%arg0: !torch.vtensor<[4,3,5,5],f32>, %arg1: !torch.vtensor<[3],f32>, %arg2: !torch.vtensor<[3],f32>, %arg3: !torch.vtensor<[3],f32>, %arg4: !torch.vtensor<[3],f32>, %arg5: !torch.vtensor<[4,3,5,5],f32>)
    -> (!torch.vtensor<[4,3,5,5],f32>, !torch.vtensor<[3],f32>, !torch.vtensor<[4,3,5,5],f32>, !torch.vtensor<[3],f32>, !torch.vtensor<[3],f32>, !torch.vtensor<[3],f32>, !torch.vtensor<[5,5],f32>) {
  %true = "torch.constant.bool"() {value = true} : () -> !torch.bool
  %m = "torch.constant.float"() {value = 1.000000e-01 : f64} : () -> !torch.float
  %eps = "torch.constant.float"() {value = 1.000000e-05 : f64} : () -> !torch.float
  %0:3 = "torch.aten.native_batch_norm"(%arg0, %arg1, %arg2, %arg3, %arg4, %true, %m, %eps) : (!torch.vtensor<[4,3,5,5],f32>, !torch.vtensor<[3],f32>, !torch.vtensor<[3],f32>, !torch.vtensor<[3],f32>, !torch.vtensor<[3],f32>, !torch.bool, !torch.float, !torch.float) -> (!torch.vtensor<[4,3,5,5],f32>, !torch.vtensor<[3],f32>, !torch.vtensor<[3],f32>)
  %mask = "torch.prim.ListConstruct"(%true, %true, %true) : (!torch.bool, !torch.bool, !torch.bool) -> !torch.list<bool>
  %1:3 = "torch.aten.native_batch_norm_backward"(%arg5, %arg0, %arg1, %arg3, %arg4, %0#1, %0#2, %true, %eps, %mask) : (!torch.vtensor<[4,3,5,5],f32>, !torch.vtensor<[4,3,5,5],f32>, !torch.vtensor<[3],f32>, !torch.vtensor<[3],f32>, !torch.vtensor<[3],f32>, !torch.vtensor<[3],f32>, !torch.vtensor<[3],f32>, !torch.bool, !torch.float, !torch.list<bool>) -> (!torch.vtensor<[4,3,5,5],f32>, !torch.vtensor<[3],f32>, !torch.vtensor<[3],f32>)
  %c0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %c1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %c2 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
  %c3 = "torch.constant.int"() {value = 3 : i64} : () -> !torch.int
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %channels = "torch.prim.ListConstruct"(%c0, %c2, %c3) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
  %2 = "torch.aten.var.correction"(%arg0, %channels, %c1, %false) : (!torch.vtensor<[4,3,5,5],f32>, !torch.list<int>, !torch.int, !torch.bool) -> !torch.vtensor<[3],f32>
  %leading = "torch.prim.ListConstruct"(%c0, %c1) : (!torch.int, !torch.int) -> !torch.list<int>
  %3 = "torch.aten.var.correction"(%arg0, %leading, %c1, %false) : (!torch.vtensor<[4,3,5,5],f32>, !torch.list<int>, !torch.int, !torch.bool) -> !torch.vtensor<[5,5],f32>
  return %0#0, %0#1, %1#0, %1#1, %1#2, %2, %3 : !torch.vtensor<[4,3,5,5],f32>, !torch.vtensor<[3],f32>, !torch.vtensor<[4,3,5,5],f32>, !torch.vtensor<[3],f32>, !torch.vtensor<[3],f32>, !torch.vtensor<[3],f32>, !torch.vtensor<[5,5],f32>
}

// -----
// Softmax is one operation; log-softmax is computed stably from the row maximum.
// CHECK-LABEL: func.func @softmax
// CHECK: lumo.Softmax %arg0 {axis = 1 : i64}
// CHECK: %[[MAX:.*]] = lumo.Reduce %arg0 {dimensions = array<i64: 1>, keep_dims = true, reduce_kind = #lumo.reduce_kind<max>}
// CHECK: %[[SH:.*]] = lumo.Sub %arg0, %[[MAX]]
// CHECK: %[[E:.*]] = lumo.Exp %[[SH]]
// CHECK: %[[S:.*]] = lumo.Reduce %[[E]] {dimensions = array<i64: 1>, keep_dims = true, reduce_kind = #lumo.reduce_kind<sum>}
// CHECK: %[[L:.*]] = lumo.Log %[[S]]
// CHECK: lumo.Sub %[[SH]], %[[L]]
func.func @softmax(%arg0: !torch.vtensor<[4,10],f32>) -> (!torch.vtensor<[4,10],f32>, !torch.vtensor<[4,10],f32>) {
  %c1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %0 = "torch.aten._softmax"(%arg0, %c1, %false) : (!torch.vtensor<[4,10],f32>, !torch.int, !torch.bool) -> !torch.vtensor<[4,10],f32>
  %1 = "torch.aten._log_softmax"(%arg0, %c1, %false) : (!torch.vtensor<[4,10],f32>, !torch.int, !torch.bool) -> !torch.vtensor<[4,10],f32>
  return %0, %1 : !torch.vtensor<[4,10],f32>, !torch.vtensor<[4,10],f32>
}

// -----
// Convolution with its bias, the input gradient as a transposed convolution, the kernel gradient
// as a filter gradient, the bias gradient as a sum; max pooling and its gradient.
// CHECK-LABEL: func.func @conv_pool
// CHECK-DAG: %[[Z:.*]] = lumo.Const {value = dense<0.000000e+00> : tensor<f32>}
// CHECK: %[[Y:.*]] = lumo.Convolution %arg0, %arg1 {feature_group_count = 1 : i64, kernel_dilation = array<i64: 1, 1>, padding = array<i64: 1, 1>, window_strides = array<i64: 1, 1>} : (tensor<2x3x8x8xf32>, tensor<4x3x3x3xf32>) -> tensor<2x4x8x8xf32>
// CHECK: %[[B:.*]] = lumo.Reshape %arg2 : (tensor<4xf32>) -> tensor<4x1x1xf32>
// CHECK: lumo.Add %[[Y]], %[[B]]
// CHECK: lumo.Convolution %arg3, %arg1 {{{.*}}transposed = true{{.*}}} : (tensor<2x4x8x8xf32>, tensor<4x3x3x3xf32>) -> tensor<2x3x8x8xf32>
// CHECK: lumo.Convolution %arg0, %arg3 {feature_group_count = 1 : i64, filter_gradient = true{{.*}}} : (tensor<2x3x8x8xf32>, tensor<2x4x8x8xf32>) -> tensor<4x3x3x3xf32>
// CHECK: lumo.Reduce %arg3 {dimensions = array<i64: 0, 2, 3>, reduce_kind = #lumo.reduce_kind<sum>}
// CHECK: lumo.Pool %arg3, %[[Z]] {dilation = array<i64: 1, 1>, ksize = array<i64: 2, 2>, padding = array<i64: 0, 0>, pool_type = #lumo.pool_type<MAX>, strides = array<i64: 2, 2>} : (tensor<2x4x8x8xf32>, tensor<f32>) -> tensor<2x4x4x4xf32>
// CHECK: lumo.Pool %arg3, %arg4 {dilation = array<i64: 1, 1>, gradient = true, ksize = array<i64: 2, 2>, padding = array<i64: 0, 0>, pool_type = #lumo.pool_type<MAX>, strides = array<i64: 2, 2>} : (tensor<2x4x8x8xf32>, tensor<2x4x4x4xf32>) -> tensor<2x4x8x8xf32>
func.func @conv_pool(%arg0: !torch.vtensor<[2,3,8,8],f32>, %arg1: !torch.vtensor<[4,3,3,3],f32>, %arg2: !torch.vtensor<[4],f32>, %arg3: !torch.vtensor<[2,4,8,8],f32>, %arg4: !torch.vtensor<[2,4,4,4],f32>)
    -> (!torch.vtensor<[2,4,8,8],f32>, !torch.vtensor<[2,3,8,8],f32>, !torch.vtensor<[4,3,3,3],f32>, !torch.vtensor<[4],f32>, !torch.vtensor<[2,4,4,4],f32>, !torch.vtensor<[2,4,8,8],f32>) {
  %c0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %c1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %c2 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
  %c4 = "torch.constant.int"() {value = 4 : i64} : () -> !torch.int
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %true = "torch.constant.bool"() {value = true} : () -> !torch.bool
  %ones = "torch.prim.ListConstruct"(%c1, %c1) : (!torch.int, !torch.int) -> !torch.list<int>
  %zeros = "torch.prim.ListConstruct"(%c0, %c0) : (!torch.int, !torch.int) -> !torch.list<int>
  %twos = "torch.prim.ListConstruct"(%c2, %c2) : (!torch.int, !torch.int) -> !torch.list<int>
  %empty = "torch.prim.ListConstruct"() : () -> !torch.list<int>
  %0 = "torch.aten.convolution"(%arg0, %arg1, %arg2, %ones, %ones, %ones, %false, %zeros, %c1) : (!torch.vtensor<[2,3,8,8],f32>, !torch.vtensor<[4,3,3,3],f32>, !torch.vtensor<[4],f32>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.list<int>, !torch.int) -> !torch.vtensor<[2,4,8,8],f32>
  %bias = "torch.prim.ListConstruct"(%c4) : (!torch.int) -> !torch.list<int>
  %mask = "torch.prim.ListConstruct"(%true, %true, %true) : (!torch.bool, !torch.bool, !torch.bool) -> !torch.list<bool>
  %1:3 = "torch.aten.convolution_backward"(%arg3, %arg0, %arg1, %bias, %ones, %ones, %ones, %false, %zeros, %c1, %mask) : (!torch.vtensor<[2,4,8,8],f32>, !torch.vtensor<[2,3,8,8],f32>, !torch.vtensor<[4,3,3,3],f32>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.list<int>, !torch.int, !torch.list<bool>) -> (!torch.vtensor<[2,3,8,8],f32>, !torch.vtensor<[4,3,3,3],f32>, !torch.vtensor<[4],f32>)
  %2:2 = "torch.aten.max_pool2d_with_indices"(%arg3, %twos, %empty, %zeros, %ones, %false) : (!torch.vtensor<[2,4,8,8],f32>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool) -> (!torch.vtensor<[2,4,4,4],f32>, !torch.vtensor<[2,4,4,4],si64>)
  %3 = "torch.aten.max_pool2d_with_indices_backward"(%arg4, %arg3, %twos, %empty, %zeros, %ones, %false, %2#1) : (!torch.vtensor<[2,4,4,4],f32>, !torch.vtensor<[2,4,8,8],f32>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.vtensor<[2,4,4,4],si64>) -> !torch.vtensor<[2,4,8,8],f32>
  return %0, %1#0, %1#1, %1#2, %2#0, %3 : !torch.vtensor<[2,4,8,8],f32>, !torch.vtensor<[2,3,8,8],f32>, !torch.vtensor<[4,3,3,3],f32>, !torch.vtensor<[4],f32>, !torch.vtensor<[2,4,4,4],f32>, !torch.vtensor<[2,4,8,8],f32>
}

// -----
// A transposed convolution (stride 2, padding 1, output padding 1, two groups) keeps its settings
// in one lumo operation; its result type fixes the output padding. Its input gradient is the
// ordinary convolution of the output gradient by the same kernel, its kernel gradient the filter
// gradient of that convolution with the input as the output gradient; output padding below the
// stride needs nothing more.
// CHECK-LABEL: func.func @conv_transpose_2d
// CHECK: %[[Y:.*]] = lumo.Convolution %arg0, %arg1 {feature_group_count = 2 : i64, kernel_dilation = array<i64: 1, 1>, padding = array<i64: 1, 1>, transposed = true, window_strides = array<i64: 2, 2>} : (tensor<2x4x5x5xf32>, tensor<4x3x3x3xf32>) -> tensor<2x6x10x10xf32>
// CHECK: lumo.Add %[[Y]]
// CHECK-NOT: lumo.Slice
// CHECK: %[[DX:.*]] = lumo.Convolution %arg3, %arg1 {feature_group_count = 2 : i64, kernel_dilation = array<i64: 1, 1>, padding = array<i64: 1, 1>, window_strides = array<i64: 2, 2>} : (tensor<2x6x10x10xf32>, tensor<4x3x3x3xf32>) -> tensor<2x4x5x5xf32>
// CHECK: %[[DW:.*]] = lumo.Convolution %arg3, %arg0 {feature_group_count = 2 : i64, filter_gradient = true, kernel_dilation = array<i64: 1, 1>, padding = array<i64: 1, 1>, window_strides = array<i64: 2, 2>} : (tensor<2x6x10x10xf32>, tensor<2x4x5x5xf32>) -> tensor<4x3x3x3xf32>
// CHECK: %[[DB:.*]] = lumo.Reduce %arg3 {dimensions = array<i64: 0, 2, 3>, reduce_kind = #lumo.reduce_kind<sum>} : (tensor<2x6x10x10xf32>) -> tensor<6xf32>
// CHECK: return %{{.*}}, %[[DX]], %[[DW]], %[[DB]] :
func.func @conv_transpose_2d(%arg0: !torch.vtensor<[2,4,5,5],f32>, %arg1: !torch.vtensor<[4,3,3,3],f32>, %arg2: !torch.vtensor<[6],f32>, %arg3: !torch.vtensor<[2,6,10,10],f32>)
    -> (!torch.vtensor<[2,6,10,10],f32>, !torch.vtensor<[2,4,5,5],f32>, !torch.vtensor<[4,3,3,3],f32>, !torch.vtensor<[6],f32>) {
  %c1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %c2 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
  %c6 = "torch.constant.int"() {value = 6 : i64} : () -> !torch.int
  %true = "torch.constant.bool"() {value = true} : () -> !torch.bool
  %ones = "torch.prim.ListConstruct"(%c1, %c1) : (!torch.int, !torch.int) -> !torch.list<int>
  %twos = "torch.prim.ListConstruct"(%c2, %c2) : (!torch.int, !torch.int) -> !torch.list<int>
  %0 = "torch.aten.convolution"(%arg0, %arg1, %arg2, %twos, %ones, %ones, %true, %ones, %c2) : (!torch.vtensor<[2,4,5,5],f32>, !torch.vtensor<[4,3,3,3],f32>, !torch.vtensor<[6],f32>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.list<int>, !torch.int) -> !torch.vtensor<[2,6,10,10],f32>
  %bias = "torch.prim.ListConstruct"(%c6) : (!torch.int) -> !torch.list<int>
  %mask = "torch.prim.ListConstruct"(%true, %true, %true) : (!torch.bool, !torch.bool, !torch.bool) -> !torch.list<bool>
  %1:3 = "torch.aten.convolution_backward"(%arg3, %arg0, %arg1, %bias, %twos, %ones, %ones, %true, %ones, %c2, %mask) : (!torch.vtensor<[2,6,10,10],f32>, !torch.vtensor<[2,4,5,5],f32>, !torch.vtensor<[4,3,3,3],f32>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.list<int>, !torch.int, !torch.list<bool>) -> (!torch.vtensor<[2,4,5,5],f32>, !torch.vtensor<[4,3,3,3],f32>, !torch.vtensor<[6],f32>)
  return %0, %1#0, %1#1, %1#2 : !torch.vtensor<[2,6,10,10],f32>, !torch.vtensor<[2,4,5,5],f32>, !torch.vtensor<[4,3,3,3],f32>, !torch.vtensor<[6],f32>
}

// -----
// Output padding of a stride or more (dilation 3 above stride 1 allows up to 2): the high padding
// of the gradients' convolutions shrinks by output_padding - stride + 1. Here that takes padding 1
// to -1: the output gradient loses its last position and the convolutions pad it [1, 0]. Only the
// results the mask asks for are computed (no bias gradient).
// CHECK-LABEL: func.func @conv_transpose_1d_wide_output_padding
// CHECK: %[[Y:.*]] = lumo.Convolution %arg0, %arg1 {feature_group_count = 1 : i64, kernel_dilation = array<i64: 3>, padding = array<i64: 1>, transposed = true, window_strides = array<i64: 1>} : (tensor<2x3x6xf32>, tensor<3x2x2xf32>) -> tensor<2x2x9xf32>
// CHECK: %[[DY:.*]] = lumo.Slice %arg2, %{{.*}}, %{{.*}} : (tensor<2x2x9xf32>, tensor<3xsi64>, tensor<3xsi64>) -> tensor<2x2x8xf32>
// CHECK: %[[DX:.*]] = lumo.Convolution %[[DY]], %arg1 {feature_group_count = 1 : i64, kernel_dilation = array<i64: 3>, padding = array<i64: 1, 0>, window_strides = array<i64: 1>} : (tensor<2x2x8xf32>, tensor<3x2x2xf32>) -> tensor<2x3x6xf32>
// CHECK: %[[DW:.*]] = lumo.Convolution %[[DY]], %arg0 {feature_group_count = 1 : i64, filter_gradient = true, kernel_dilation = array<i64: 3>, padding = array<i64: 1, 0>, window_strides = array<i64: 1>} : (tensor<2x2x8xf32>, tensor<2x3x6xf32>) -> tensor<3x2x2xf32>
// CHECK-NOT: lumo.Reduce
// CHECK: return %[[Y]], %[[DX]], %[[DW]] :
func.func @conv_transpose_1d_wide_output_padding(%arg0: !torch.vtensor<[2,3,6],f32>, %arg1: !torch.vtensor<[3,2,2],f32>, %arg2: !torch.vtensor<[2,2,9],f32>)
    -> (!torch.vtensor<[2,2,9],f32>, !torch.vtensor<[2,3,6],f32>, !torch.vtensor<[3,2,2],f32>) {
  %none = "torch.constant.none"() : () -> !torch.none
  %c1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %c2 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
  %c3 = "torch.constant.int"() {value = 3 : i64} : () -> !torch.int
  %true = "torch.constant.bool"() {value = true} : () -> !torch.bool
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %one = "torch.prim.ListConstruct"(%c1) : (!torch.int) -> !torch.list<int>
  %three = "torch.prim.ListConstruct"(%c3) : (!torch.int) -> !torch.list<int>
  %two = "torch.prim.ListConstruct"(%c2) : (!torch.int) -> !torch.list<int>
  %0 = "torch.aten.convolution"(%arg0, %arg1, %none, %one, %one, %three, %true, %two, %c1) : (!torch.vtensor<[2,3,6],f32>, !torch.vtensor<[3,2,2],f32>, !torch.none, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.list<int>, !torch.int) -> !torch.vtensor<[2,2,9],f32>
  %mask = "torch.prim.ListConstruct"(%true, %true, %false) : (!torch.bool, !torch.bool, !torch.bool) -> !torch.list<bool>
  %1:3 = "torch.aten.convolution_backward"(%arg2, %arg0, %arg1, %none, %one, %one, %three, %true, %two, %c1, %mask) : (!torch.vtensor<[2,2,9],f32>, !torch.vtensor<[2,3,6],f32>, !torch.vtensor<[3,2,2],f32>, !torch.none, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.list<int>, !torch.int, !torch.list<bool>) -> (!torch.vtensor<[2,3,6],f32>, !torch.vtensor<[3,2,2],f32>, !torch.vtensor<[2],f32>)
  return %0, %1#0, %1#1 : !torch.vtensor<[2,2,9],f32>, !torch.vtensor<[2,3,6],f32>, !torch.vtensor<[3,2,2],f32>
}

// -----
// Adaptive windows that overlap (5 -> 3 rows: [0, 2), [1, 4), [3, 5)): averaging matrices per
// dimension, transposed for the gradient; maxima over every gathered window, the indices from
// the slot of the first maximum, the gradient added at the indices.
// CHECK-LABEL: func.func @adaptive_overlapping
// CHECK-DAG: %[[W:.*]] = lumo.Const {value = dense<{{\[}}[5.000000e-01, 5.000000e-01, 0.000000e+00, 0.000000e+00], [0.000000e+00, 5.000000e-01, 5.000000e-01, 0.000000e+00], [0.000000e+00, 0.000000e+00, 5.000000e-01, 5.000000e-01]]> : tensor<3x4xf32>}
// CHECK-DAG: %[[H:.*]] = lumo.Const {value = dense<{{\[}}[5.000000e-01, 5.000000e-01, 0.000000e+00, 0.000000e+00, 0.000000e+00], [0.000000e+00, 0.333333343, 0.333333343, 0.333333343, 0.000000e+00], [0.000000e+00, 0.000000e+00, 0.000000e+00, 5.000000e-01, 5.000000e-01]]> : tensor<3x5xf32>}
// CHECK-DAG: %[[T:.*]] = lumo.Const {value = dense<[0, 1, 4, 5, 4, 5, 1, 2, 5, 6, 5, 6, 2, 3, 6, 7, 6, 7, 4, 5, 8, 9, 12, 13, {{.*}}]> : tensor<54xsi64>}
// CHECK: %[[A:.*]] = lumo.MatMul %[[H]], %arg0 {transpose_a = false, transpose_b = false}
// CHECK: %[[AVG:.*]] = lumo.MatMul %[[A]], %[[W]] {transpose_a = false, transpose_b = true}
// CHECK: %[[G:.*]] = lumo.MatMul %[[H]], %arg1 {transpose_a = true, transpose_b = false}
// CHECK: %[[DAVG:.*]] = lumo.MatMul %[[G]], %[[W]] {transpose_a = false, transpose_b = false}
// CHECK: %[[WIN:.*]] = lumo.Gather %{{.*}}, %[[T]] {axis = 1 : i64} : (tensor<6x20xf32>, tensor<54xsi64>) -> tensor<6x54xf32>
// CHECK: %[[R:.*]] = lumo.Reshape %[[WIN]] : (tensor<6x54xf32>) -> tensor<6x9x6xf32>
// CHECK: lumo.Reduce %[[R]] {dimensions = array<i64: 2>, reduce_kind = #lumo.reduce_kind<max>}
// CHECK: %[[SLOT:.*]] = lumo.Reduce %[[R]] {dimensions = array<i64: 2>, reduce_kind = #lumo.reduce_kind<argmax>}
// CHECK: %[[AT:.*]] = lumo.Add %[[SLOT]]
// CHECK: %[[IDX:.*]] = lumo.Gather %[[T]], %[[AT]] {axis = 0 : i64} : (tensor<54xsi64>, tensor<6x9xsi64>) -> tensor<6x9xsi64>
// CHECK: lumo.Scatter %{{.*}}, %[[IDX]], %{{.*}} {axis = 1 : i64, reduce_kind = #lumo.scatter_reduce_kind<add>} : (tensor<6x20xf32>, tensor<6x9xsi64>, tensor<6x9xf32>) -> tensor<6x20xf32>
func.func @adaptive_overlapping(%arg0: !torch.vtensor<[2,3,5,4],f32>, %arg1: !torch.vtensor<[2,3,3,3],f32>)
    -> (!torch.vtensor<[2,3,3,3],f32>, !torch.vtensor<[2,3,5,4],f32>, !torch.vtensor<[2,3,3,3],f32>, !torch.vtensor<[2,3,3,3],si64>, !torch.vtensor<[2,3,5,4],f32>) {
  %c3 = "torch.constant.int"() {value = 3 : i64} : () -> !torch.int
  %size = "torch.prim.ListConstruct"(%c3, %c3) : (!torch.int, !torch.int) -> !torch.list<int>
  %0 = "torch.aten._adaptive_avg_pool2d"(%arg0, %size) : (!torch.vtensor<[2,3,5,4],f32>, !torch.list<int>) -> !torch.vtensor<[2,3,3,3],f32>
  %1 = "torch.aten._adaptive_avg_pool2d_backward"(%arg1, %arg0) : (!torch.vtensor<[2,3,3,3],f32>, !torch.vtensor<[2,3,5,4],f32>) -> !torch.vtensor<[2,3,5,4],f32>
  %2:2 = "torch.aten.adaptive_max_pool2d"(%arg0, %size) : (!torch.vtensor<[2,3,5,4],f32>, !torch.list<int>) -> (!torch.vtensor<[2,3,3,3],f32>, !torch.vtensor<[2,3,3,3],si64>)
  %3 = "torch.aten.adaptive_max_pool2d_backward"(%arg1, %arg0, %2#1) : (!torch.vtensor<[2,3,3,3],f32>, !torch.vtensor<[2,3,5,4],f32>, !torch.vtensor<[2,3,3,3],si64>) -> !torch.vtensor<[2,3,5,4],f32>
  return %0, %1, %2#0, %2#1, %3 : !torch.vtensor<[2,3,3,3],f32>, !torch.vtensor<[2,3,5,4],f32>, !torch.vtensor<[2,3,3,3],f32>, !torch.vtensor<[2,3,3,3],si64>, !torch.vtensor<[2,3,5,4],f32>
}

// -----
// Max pooling whose indices are a result gathers its windows. Average pooling by a divisor
// multiplies lumo.Pool's average by window size / divisor (3x3 windows: 9 / 2); without the
// padding, the gradient by window size / the window's elements inside the input.
// CHECK-LABEL: func.func @pool_indices_and_divisor
// CHECK-DAG: %[[F:.*]] = lumo.Const {value = dense<{{\[}}[2.250000e+00, 1.500000e+00], [1.500000e+00, 1.000000e+00]]> : tensor<2x2xf32>}
// CHECK-DAG: %[[D:.*]] = lumo.Const {value = dense<4.500000e+00> : tensor<1x2x2x2xf32>}
// CHECK-DAG: %[[T:.*]] = lumo.Const {value = dense<[0, 1, 4, 5, 2, 3, 6, 7, 8, 9, 12, 13, 10, 11, 14, 15]> : tensor<16xsi64>}
// CHECK-NOT: pool_type = #lumo.pool_type<MAX>
// CHECK: lumo.Gather %{{.*}}, %[[T]] {axis = 1 : i64}
// CHECK: lumo.Reduce %{{.*}} {dimensions = array<i64: 2>, reduce_kind = #lumo.reduce_kind<argmax>}
// CHECK: %[[AVG:.*]] = lumo.Pool %arg0, %{{.*}} {dilation = array<i64: 1, 1>, ksize = array<i64: 3, 3>, padding = array<i64: 1, 1>, pool_type = #lumo.pool_type<AVG>, strides = array<i64: 2, 2>}
// CHECK: lumo.Mul %[[AVG]], %[[D]]
// CHECK: %[[FB:.*]] = lumo.BroadcastInDim %[[F]] {broadcast_dimensions = array<i64: 2, 3>}
// CHECK: %[[DY:.*]] = lumo.Mul %arg1, %[[FB]]
// CHECK: lumo.Pool %arg0, %[[DY]] {dilation = array<i64: 1, 1>, gradient = true,
func.func @pool_indices_and_divisor(%arg0: !torch.vtensor<[1,2,4,4],f32>, %arg1: !torch.vtensor<[1,2,2,2],f32>)
    -> (!torch.vtensor<[1,2,2,2],f32>, !torch.vtensor<[1,2,2,2],si64>, !torch.vtensor<[1,2,2,2],f32>, !torch.vtensor<[1,2,4,4],f32>) {
  %c0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %c1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %c2 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
  %c3 = "torch.constant.int"() {value = 3 : i64} : () -> !torch.int
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %none = "torch.constant.none"() : () -> !torch.none
  %true = "torch.constant.bool"() {value = true} : () -> !torch.bool
  %twos = "torch.prim.ListConstruct"(%c2, %c2) : (!torch.int, !torch.int) -> !torch.list<int>
  %threes = "torch.prim.ListConstruct"(%c3, %c3) : (!torch.int, !torch.int) -> !torch.list<int>
  %zeros = "torch.prim.ListConstruct"(%c0, %c0) : (!torch.int, !torch.int) -> !torch.list<int>
  %ones = "torch.prim.ListConstruct"(%c1, %c1) : (!torch.int, !torch.int) -> !torch.list<int>
  %0:2 = "torch.aten.max_pool2d_with_indices"(%arg0, %twos, %twos, %zeros, %ones, %false) : (!torch.vtensor<[1,2,4,4],f32>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool) -> (!torch.vtensor<[1,2,2,2],f32>, !torch.vtensor<[1,2,2,2],si64>)
  %1 = "torch.aten.avg_pool2d"(%arg0, %threes, %twos, %ones, %false, %true, %c2) : (!torch.vtensor<[1,2,4,4],f32>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.bool, !torch.int) -> !torch.vtensor<[1,2,2,2],f32>
  %2 = "torch.aten.avg_pool2d_backward"(%arg1, %arg0, %threes, %twos, %ones, %false, %false, %none) : (!torch.vtensor<[1,2,2,2],f32>, !torch.vtensor<[1,2,4,4],f32>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.bool, !torch.none) -> !torch.vtensor<[1,2,4,4],f32>
  return %0#0, %0#1, %1, %2 : !torch.vtensor<[1,2,2,2],f32>, !torch.vtensor<[1,2,2,2],si64>, !torch.vtensor<[1,2,2,2],f32>, !torch.vtensor<[1,2,4,4],f32>
}

// -----
// Unpooling writes each element at its index in its plane; 3-d adaptive max pooling gathers its
// windows as 2-d does.
// CHECK-LABEL: func.func @unpool
// CHECK: %[[AT:.*]] = lumo.Reshape %arg1 : (tensor<1x2x2x2xsi64>) -> tensor<2x4xsi64>
// CHECK: %[[X:.*]] = lumo.Reshape %arg0 : (tensor<1x2x2x2xf32>) -> tensor<2x4xf32>
// CHECK: lumo.Scatter %{{.*}}, %[[AT]], %[[X]] {axis = 1 : i64, reduce_kind = #lumo.scatter_reduce_kind<none>} : (tensor<2x16xf32>, tensor<2x4xsi64>, tensor<2x4xf32>) -> tensor<2x16xf32>
// CHECK: lumo.Gather %{{.*}}, %{{.*}} {axis = 1 : i64} : (tensor<2x60xf32>, tensor<96xsi64>) -> tensor<2x96xf32>
// CHECK: lumo.Reduce %{{.*}} {dimensions = array<i64: 2>, reduce_kind = #lumo.reduce_kind<argmax>} : (tensor<2x8x12xf32>) -> tensor<2x8xsi64>
func.func @unpool(%arg0: !torch.vtensor<[1,2,2,2],f32>, %arg1: !torch.vtensor<[1,2,2,2],si64>, %arg2: !torch.vtensor<[1,2,5,4,3],f32>) -> (!torch.vtensor<[1,2,4,4],f32>, !torch.vtensor<[1,2,2,2,2],f32>, !torch.vtensor<[1,2,2,2,2],si64>) {
  %c4 = "torch.constant.int"() {value = 4 : i64} : () -> !torch.int
  %c2 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
  %size = "torch.prim.ListConstruct"(%c4, %c4) : (!torch.int, !torch.int) -> !torch.list<int>
  %size3 = "torch.prim.ListConstruct"(%c2, %c2, %c2) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
  %0 = "torch.aten.max_unpool2d"(%arg0, %arg1, %size) : (!torch.vtensor<[1,2,2,2],f32>, !torch.vtensor<[1,2,2,2],si64>, !torch.list<int>) -> !torch.vtensor<[1,2,4,4],f32>
  %1:2 = "torch.aten.adaptive_max_pool3d"(%arg2, %size3) : (!torch.vtensor<[1,2,5,4,3],f32>, !torch.list<int>) -> (!torch.vtensor<[1,2,2,2,2],f32>, !torch.vtensor<[1,2,2,2,2],si64>)
  return %0, %1#0, %1#1 : !torch.vtensor<[1,2,4,4],f32>, !torch.vtensor<[1,2,2,2,2],f32>, !torch.vtensor<[1,2,2,2,2],si64>
}

// -----
// Fractional max pooling computes each plane's window starts from its samples in the program
// (int((i + u) * alpha) - int(u * alpha), the last window at in - k; the first sample is the
// width's), gathers every window and routes its gradient by the indices.
// CHECK-LABEL: func.func @fractional
// CHECK-DAG: %[[ALPHA_W:.*]] = lumo.Const {value = dense<3.000000e+00> : tensor<f32>}
// CHECK-DAG: %[[ALPHA_H:.*]] = lumo.Const {value = dense<1.500000e+00> : tensor<f32>}
// CHECK-DAG: %[[LAST_H:.*]] = lumo.Const {value = dense<3> : tensor<2x1xsi64>}
// CHECK: %[[U:.*]] = lumo.Reshape %arg1 : (tensor<1x2x2xf32>) -> tensor<2x2xf32>
// CHECK: lumo.Mul %{{.*}}, %[[ALPHA_W]]
// CHECK: lumo.Cast %{{.*}} : (tensor<2x1xf32>) -> tensor<2x1xsi64>
// CHECK: lumo.Mul %{{.*}}, %[[ALPHA_H]] : (tensor<2x2xf32>, tensor<f32>) -> tensor<2x2xf32>
// CHECK: %[[STARTS:.*]] = lumo.Concat %{{.*}}, %[[LAST_H]] {axis = 1 : i64} : (tensor<2x2xsi64>, tensor<2x1xsi64>) -> tensor<2x3xsi64>
// CHECK: lumo.Clamp %[[STARTS]]
// CHECK: %[[POS:.*]] = lumo.Reshape %{{.*}} : (tensor<2x3x2x2x3xsi64>) -> tensor<2x36xsi64>
// CHECK: lumo.Gather %{{.*}}, %[[POS]] {axis = 1 : i64, batch_dims = 1 : i64} : (tensor<2x30xf32>, tensor<2x36xsi64>) -> tensor<2x36xf32>
// CHECK: lumo.Reduce %{{.*}} {dimensions = array<i64: 2>, reduce_kind = #lumo.reduce_kind<argmax>}
// CHECK: %[[IDX:.*]] = lumo.Gather %[[POS]], %{{.*}} {axis = 1 : i64, batch_dims = 1 : i64} : (tensor<2x36xsi64>, tensor<2x6xsi64>) -> tensor<2x6xsi64>
// CHECK: lumo.Scatter %{{.*}}, %[[IDX]], %{{.*}} {axis = 1 : i64, reduce_kind = #lumo.scatter_reduce_kind<add>} : (tensor<2x30xf32>, tensor<2x6xsi64>, tensor<2x6xf32>) -> tensor<2x30xf32>
func.func @fractional(%arg0: !torch.vtensor<[1,2,5,6],f32>, %arg1: !torch.vtensor<[1,2,2],f32>, %arg2: !torch.vtensor<[1,2,3,2],f32>) -> (!torch.vtensor<[1,2,3,2],f32>, !torch.vtensor<[1,2,3,2],si64>, !torch.vtensor<[1,2,5,6],f32>) {
  %c2 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
  %c3 = "torch.constant.int"() {value = 3 : i64} : () -> !torch.int
  %kernel = "torch.prim.ListConstruct"(%c2, %c3) : (!torch.int, !torch.int) -> !torch.list<int>
  %size = "torch.prim.ListConstruct"(%c3, %c2) : (!torch.int, !torch.int) -> !torch.list<int>
  %0:2 = "torch.aten.fractional_max_pool2d"(%arg0, %kernel, %size, %arg1) : (!torch.vtensor<[1,2,5,6],f32>, !torch.list<int>, !torch.list<int>, !torch.vtensor<[1,2,2],f32>) -> (!torch.vtensor<[1,2,3,2],f32>, !torch.vtensor<[1,2,3,2],si64>)
  %1 = "torch.aten.fractional_max_pool2d_backward"(%arg2, %arg0, %kernel, %size, %0#1) : (!torch.vtensor<[1,2,3,2],f32>, !torch.vtensor<[1,2,5,6],f32>, !torch.list<int>, !torch.list<int>, !torch.vtensor<[1,2,3,2],si64>) -> !torch.vtensor<[1,2,5,6],f32>
  return %0#0, %0#1, %1 : !torch.vtensor<[1,2,3,2],f32>, !torch.vtensor<[1,2,3,2],si64>, !torch.vtensor<[1,2,5,6],f32>
}

// -----
// Nearest resampling gathers the source rows PyTorch picks in single precision, with the scale
// it is given (4 -> 9 rows by 2.3: not whole repeats); a dimension that keeps its size is left
// alone. Exact-nearest rounds to the nearest source; antialiased bilinear shrinking is a product
// with normalised triangle weights (two rows of four: 3/7, 3/7, 1/7).
// CHECK-LABEL: func.func @resample
// CHECK-DAG: %[[AA:.*]] = lumo.Const {value = dense<{{\[}}[0.428571433, 0.428571433, 0.142857149, 0.000000e+00], [0.000000e+00, 0.142857149, 0.428571433, 0.428571433]]> : tensor<2x4xf32>}
// CHECK-DAG: %[[EXACT_W:.*]] = lumo.Const {value = dense<[0, 2]> : tensor<2xsi64>}
// CHECK-DAG: %[[EXACT_H:.*]] = lumo.Const {value = dense<[0, 2, 3]> : tensor<3xsi64>}
// CHECK-DAG: %[[ROWS:.*]] = lumo.Const {value = dense<[0, 0, 0, 1, 1, 2, 2, 3, 3]> : tensor<9xsi64>}
// CHECK: %[[N:.*]] = lumo.Gather %arg0, %[[ROWS]] {axis = 2 : i64} : (tensor<1x1x4x3xf32>, tensor<9xsi64>) -> tensor<1x1x9x3xf32>
// CHECK: %[[E:.*]] = lumo.Gather %arg0, %[[EXACT_H]] {axis = 2 : i64}
// CHECK: %[[E2:.*]] = lumo.Gather %[[E]], %[[EXACT_W]] {axis = 3 : i64}
// CHECK: lumo.MatMul %[[AA]], %arg0
// CHECK: return %[[N]], %[[E2]]
func.func @resample(%arg0: !torch.vtensor<[1,1,4,3],f32>) -> (!torch.vtensor<[1,1,9,3],f32>, !torch.vtensor<[1,1,3,2],f32>, !torch.vtensor<[1,1,2,3],f32>) {
  %c2 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
  %c3 = "torch.constant.int"() {value = 3 : i64} : () -> !torch.int
  %c9 = "torch.constant.int"() {value = 9 : i64} : () -> !torch.int
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %none = "torch.constant.none"() : () -> !torch.none
  %s = "torch.constant.float"() {value = 2.3 : f64} : () -> !torch.float
  %one = "torch.constant.float"() {value = 1.0 : f64} : () -> !torch.float
  %size0 = "torch.prim.ListConstruct"(%c9, %c3) : (!torch.int, !torch.int) -> !torch.list<int>
  %size1 = "torch.prim.ListConstruct"(%c3, %c2) : (!torch.int, !torch.int) -> !torch.list<int>
  %size2 = "torch.prim.ListConstruct"(%c2, %c3) : (!torch.int, !torch.int) -> !torch.list<int>
  %0 = "torch.aten.upsample_nearest2d"(%arg0, %size0, %s, %one) : (!torch.vtensor<[1,1,4,3],f32>, !torch.list<int>, !torch.float, !torch.float) -> !torch.vtensor<[1,1,9,3],f32>
  %1 = "torch.aten._upsample_nearest_exact2d"(%arg0, %size1, %none, %none) : (!torch.vtensor<[1,1,4,3],f32>, !torch.list<int>, !torch.none, !torch.none) -> !torch.vtensor<[1,1,3,2],f32>
  %2 = "torch.aten._upsample_bilinear2d_aa"(%arg0, %size2, %false, %none, %none) : (!torch.vtensor<[1,1,4,3],f32>, !torch.list<int>, !torch.bool, !torch.none, !torch.none) -> !torch.vtensor<[1,1,2,3],f32>
  return %0, %1, %2 : !torch.vtensor<[1,1,9,3],f32>, !torch.vtensor<[1,1,3,2],f32>, !torch.vtensor<[1,1,2,3],f32>
}

// -----
// Trilinear grid sampling reads eight corners; in bfloat16 the grid gradient adds a few channels
// one after the other (rounding after each) instead of reducing them.
// CHECK-LABEL: func.func @grid3d
// CHECK-COUNT-8: lumo.Gather %{{.*}} {axis = 1 : i64, batch_dims = 1 : i64} : (tensor<1x60x2xf32>, tensor<1x6xsi64>) -> tensor<1x6x2xf32>
// CHECK-NOT: reduce_kind = #lumo.reduce_kind<sum>{{.*}}bf16
// CHECK: return
func.func @grid3d(%arg0: !torch.vtensor<[1,2,3,4,5],f32>, %arg1: !torch.vtensor<[1,1,2,3,3],f32>, %arg2: !torch.vtensor<[1,2,3,4,5],bf16>, %arg3: !torch.vtensor<[1,1,2,3,3],bf16>, %arg4: !torch.vtensor<[1,2,1,2,3],bf16>) -> (!torch.vtensor<[1,2,1,2,3],f32>, !torch.vtensor<[1,2,3,4,5],bf16>, !torch.vtensor<[1,1,2,3,3],bf16>) {
  %c0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %true = "torch.constant.bool"() {value = true} : () -> !torch.bool
  %mask = "torch.prim.ListConstruct"(%true, %true) : (!torch.bool, !torch.bool) -> !torch.list<bool>
  %0 = "torch.aten.grid_sampler_3d"(%arg0, %arg1, %c0, %c0, %false) : (!torch.vtensor<[1,2,3,4,5],f32>, !torch.vtensor<[1,1,2,3,3],f32>, !torch.int, !torch.int, !torch.bool) -> !torch.vtensor<[1,2,1,2,3],f32>
  %1:2 = "torch.aten.grid_sampler_3d_backward"(%arg4, %arg2, %arg3, %c0, %c0, %false, %mask) : (!torch.vtensor<[1,2,1,2,3],bf16>, !torch.vtensor<[1,2,3,4,5],bf16>, !torch.vtensor<[1,1,2,3,3],bf16>, !torch.int, !torch.int, !torch.bool, !torch.list<bool>) -> (!torch.vtensor<[1,2,3,4,5],bf16>, !torch.vtensor<[1,1,2,3,3],bf16>)
  return %0, %1#0, %1#1 : !torch.vtensor<[1,2,1,2,3],f32>, !torch.vtensor<[1,2,3,4,5],bf16>, !torch.vtensor<[1,1,2,3,3],bf16>
}
