// Views as copies, concatenation and splitting, slices and writes through them, padding, bands.
// RUN: torch-lumo-opt %s -refine-types -torch-to-lumo-pipeline | FileCheck %s
// RUN: torch-lumo-opt %s -refine-types -convert-torch-to-lumo=families=shape -canonicalize -cse | FileCheck %s

// CHECK-LABEL: func.func @main
// CHECK-DAG: %[[PERM:.*]] = lumo.Const {value = dense<[2, 0, 1]> : tensor<3xsi64>}
// CHECK-DAG: %[[B:.*]] = lumo.Const {value = dense<[0, 1, 0]> : tensor<3xsi64>}
// CHECK-DAG: %[[S:.*]] = lumo.Const {value = dense<[2, 2, 4]> : tensor<3xsi64>}
// CHECK-DAG: %[[Z:.*]] = lumo.Const {value = dense<0> : tensor<si64>}
// CHECK-DAG: %[[ONE:.*]] = lumo.Const {value = dense<1> : tensor<si64>}
// CHECK: %[[R:.*]] = lumo.Reshape %arg0 : (tensor<2x3x4xf32>) -> tensor<6x4xf32>
// CHECK: lumo.Transpose %arg0, %[[PERM]] : (tensor<2x3x4xf32>, tensor<3xsi64>) -> tensor<4x2x3xf32>
// CHECK: lumo.BroadcastInDim %arg1 {broadcast_dimensions = array<i64: 1, 2>} : (tensor<3x1xf32>) -> tensor<2x3x4xf32>
// x[:, 1:3] and x[..., ::2]
// CHECK: lumo.Slice %arg0, %[[B]], %[[S]] : (tensor<2x3x4xf32>, tensor<3xsi64>, tensor<3xsi64>) -> tensor<2x2x4xf32>
// CHECK: lumo.StridedSlice %arg0, %{{.*}}, %{{.*}}, %{{.*}} : (tensor<2x3x4xf32>, tensor<3xsi64>, tensor<3xsi64>, tensor<3xsi64>) -> tensor<2x3x2xf32>
// x.select(1, -1): the last row, without its dimension.
// CHECK: %[[SEL:.*]] = lumo.Slice %arg0, %{{.*}}, %{{.*}} : (tensor<2x3x4xf32>, tensor<3xsi64>, tensor<3xsi64>) -> tensor<2x1x4xf32>
// CHECK: lumo.Reshape %[[SEL]] : (tensor<2x1x4xf32>) -> tensor<2x4xf32>
// CHECK: lumo.Concat %arg0, %arg0 {axis = 2 : i64} : (tensor<2x3x4xf32>, tensor<2x3x4xf32>) -> tensor<2x3x8xf32>
// split_copy then prim.ListUnpack: one slice per piece (the last one is the selected row's).
// CHECK: %[[P0:.*]] = lumo.Slice %arg0, %{{.*}}, %{{.*}} : {{.*}} -> tensor<2x2x4xf32>
// slice_scatter writes at (0, 1, 0).
// CHECK: lumo.DynamicUpdateSlice %arg0, %arg2, %[[Z]], %[[ONE]], %[[Z]] : (tensor<2x3x4xf32>, tensor<2x2x4xf32>, tensor<si64>, tensor<si64>, tensor<si64>) -> tensor<2x3x4xf32>
// CHECK: lumo.Pad %arg0 {constant_values = dense<1.500000e+00> : tensor<f32>, edge_padding_high = array<i64: 0, 0, 2>, edge_padding_low = array<i64: 0, -1, 1>, interior_padding = array<i64: 0, 0, 0>} : (tensor<2x3x4xf32>) -> tensor<2x2x7xf32>
// CHECK: lumo.MatrixBandPart %arg3, %{{.*}}, %{{.*}} : (tensor<4x4xf32>, tensor<si64>, tensor<si64>) -> tensor<4x4xf32>
// CHECK: lumo.Cast %arg0 : (tensor<2x3x4xf32>) -> tensor<2x3x4xf16>
// detach_copy and clone are the value itself.
// CHECK: return %[[R]], {{.*}}, %[[P0]], %[[SEL]], {{.*}}, %arg0 :
func.func @main(%arg0: !torch.vtensor<[2,3,4],f32>, %arg1: !torch.vtensor<[3,1],f32>, %arg2: !torch.vtensor<[2,2,4],f32>, %arg3: !torch.vtensor<[4,4],f32>)
    -> (!torch.vtensor<[6,4],f32>, !torch.vtensor<[4,2,3],f32>, !torch.vtensor<[2,3,4],f32>, !torch.vtensor<[2,2,4],f32>, !torch.vtensor<[2,3,2],f32>,
        !torch.vtensor<[2,4],f32>, !torch.vtensor<[2,3,8],f32>, !torch.vtensor<[2,2,4],f32>, !torch.vtensor<[2,1,4],f32>, !torch.vtensor<[2,3,4],f32>,
        !torch.vtensor<[2,2,7],f32>, !torch.vtensor<[4,4],f32>, !torch.vtensor<[2,3,4],f16>, !torch.vtensor<[2,3,4],f32>) {
  %none = "torch.constant.none"() : () -> !torch.none
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %cm1 = "torch.constant.int"() {value = -1 : i64} : () -> !torch.int
  %c0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %c1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %c2 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
  %c3 = "torch.constant.int"() {value = 3 : i64} : () -> !torch.int
  %c4 = "torch.constant.int"() {value = 4 : i64} : () -> !torch.int
  %c5 = "torch.constant.int"() {value = 5 : i64} : () -> !torch.int
  %shape = "torch.prim.ListConstruct"(%cm1, %c4) : (!torch.int, !torch.int) -> !torch.list<int>
  %0 = "torch.aten.view_copy"(%arg0, %shape) : (!torch.vtensor<[2,3,4],f32>, !torch.list<int>) -> !torch.vtensor<[6,4],f32>
  %perm = "torch.prim.ListConstruct"(%cm1, %c0, %c1) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
  %1 = "torch.aten.permute_copy"(%arg0, %perm) : (!torch.vtensor<[2,3,4],f32>, !torch.list<int>) -> !torch.vtensor<[4,2,3],f32>
  %size = "torch.prim.ListConstruct"(%c2, %c3, %c4) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
  %2 = "torch.aten.expand_copy"(%arg1, %size, %false) : (!torch.vtensor<[3,1],f32>, !torch.list<int>, !torch.bool) -> !torch.vtensor<[2,3,4],f32>
  %3 = "torch.aten.slice_copy.Tensor"(%arg0, %c1, %c1, %c3, %c1) : (!torch.vtensor<[2,3,4],f32>, !torch.int, !torch.int, !torch.int, !torch.int) -> !torch.vtensor<[2,2,4],f32>
  %4 = "torch.aten.slice_copy.Tensor"(%arg0, %cm1, %none, %none, %c2) : (!torch.vtensor<[2,3,4],f32>, !torch.int, !torch.none, !torch.none, !torch.int) -> !torch.vtensor<[2,3,2],f32>
  %5 = "torch.aten.select_copy.int"(%arg0, %c1, %cm1) : (!torch.vtensor<[2,3,4],f32>, !torch.int, !torch.int) -> !torch.vtensor<[2,4],f32>
  %list = "torch.prim.ListConstruct"(%arg0, %arg0) : (!torch.vtensor<[2,3,4],f32>, !torch.vtensor<[2,3,4],f32>) -> !torch.list<vtensor>
  %6 = "torch.aten.cat"(%list, %cm1) : (!torch.list<vtensor>, !torch.int) -> !torch.vtensor<[2,3,8],f32>
  %parts = "torch.aten.split_copy.Tensor"(%arg0, %c2, %c1) : (!torch.vtensor<[2,3,4],f32>, !torch.int, !torch.int) -> !torch.list<vtensor>
  %7:2 = "torch.prim.ListUnpack"(%parts) : (!torch.list<vtensor>) -> (!torch.vtensor<[2,2,4],f32>, !torch.vtensor<[2,1,4],f32>)
  %8 = "torch.aten.slice_scatter"(%arg0, %arg2, %c1, %c1, %c5, %c1) : (!torch.vtensor<[2,3,4],f32>, !torch.vtensor<[2,2,4],f32>, !torch.int, !torch.int, !torch.int, !torch.int) -> !torch.vtensor<[2,3,4],f32>
  %pad = "torch.prim.ListConstruct"(%c1, %c2, %cm1, %c0) : (!torch.int, !torch.int, !torch.int, !torch.int) -> !torch.list<int>
  %fill = "torch.constant.float"() {value = 1.500000e+00 : f64} : () -> !torch.float
  %9 = "torch.aten.constant_pad_nd"(%arg0, %pad, %fill) : (!torch.vtensor<[2,3,4],f32>, !torch.list<int>, !torch.float) -> !torch.vtensor<[2,2,7],f32>
  %10 = "torch.aten.tril"(%arg3, %c0) : (!torch.vtensor<[4,4],f32>, !torch.int) -> !torch.vtensor<[4,4],f32>
  %f16 = "torch.constant.int"() {value = 5 : i64} : () -> !torch.int
  %11 = "torch.aten._to_copy"(%arg0, %f16, %none, %none, %none, %false, %none) : (!torch.vtensor<[2,3,4],f32>, !torch.int, !torch.none, !torch.none, !torch.none, !torch.bool, !torch.none) -> !torch.vtensor<[2,3,4],f16>
  %12 = "torch.aten.detach_copy"(%arg0) : (!torch.vtensor<[2,3,4],f32>) -> !torch.vtensor<[2,3,4],f32>
  %13 = "torch.aten.clone"(%12, %none) : (!torch.vtensor<[2,3,4],f32>, !torch.none) -> !torch.vtensor<[2,3,4],f32>
  return %0, %1, %2, %3, %4, %5, %6, %7#0, %7#1, %8, %9, %10, %11, %13 : !torch.vtensor<[6,4],f32>, !torch.vtensor<[4,2,3],f32>, !torch.vtensor<[2,3,4],f32>, !torch.vtensor<[2,2,4],f32>, !torch.vtensor<[2,3,2],f32>,
        !torch.vtensor<[2,4],f32>, !torch.vtensor<[2,3,8],f32>, !torch.vtensor<[2,2,4],f32>, !torch.vtensor<[2,1,4],f32>, !torch.vtensor<[2,3,4],f32>,
        !torch.vtensor<[2,2,7],f32>, !torch.vtensor<[4,4],f32>, !torch.vtensor<[2,3,4],f16>, !torch.vtensor<[2,3,4],f32>
}

// Reads after writes through views: the block just written is the written value, a block beside
// the writes is the tensor from before them, a block across a write's edge is read from the result.
// CHECK-LABEL: func.func @reads_after_writes
// CHECK: %[[W1:.*]] = lumo.DynamicUpdateSlice %arg0, %arg1
// CHECK: %[[W2:.*]] = lumo.DynamicUpdateSlice %[[W1]], %arg2
// CHECK: %[[BESIDE:.*]] = lumo.Slice %arg0, %{{.*}}, %{{.*}} : (tensor<2x8xf32>, tensor<2xsi64>, tensor<2xsi64>) -> tensor<2x2xf32>
// CHECK: %[[ACROSS:.*]] = lumo.Slice %[[W2]], %{{.*}}, %{{.*}} : (tensor<2x8xf32>, tensor<2xsi64>, tensor<2xsi64>) -> tensor<2x2xf32>
// CHECK: return %arg1, %[[BESIDE]], %[[ACROSS]] :
func.func @reads_after_writes(%arg0: !torch.vtensor<[2,8],f32>, %arg1: !torch.vtensor<[2,2],f32>, %arg2: !torch.vtensor<[2,2],f32>)
    -> (!torch.vtensor<[2,2],f32>, !torch.vtensor<[2,2],f32>, !torch.vtensor<[2,2],f32>) {
  %c1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %c2 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
  %c3 = "torch.constant.int"() {value = 3 : i64} : () -> !torch.int
  %c4 = "torch.constant.int"() {value = 4 : i64} : () -> !torch.int
  %c5 = "torch.constant.int"() {value = 5 : i64} : () -> !torch.int
  %c6 = "torch.constant.int"() {value = 6 : i64} : () -> !torch.int
  %c8 = "torch.constant.int"() {value = 8 : i64} : () -> !torch.int
  %0 = "torch.aten.slice_scatter"(%arg0, %arg1, %c1, %c2, %c4, %c1) : (!torch.vtensor<[2,8],f32>, !torch.vtensor<[2,2],f32>, !torch.int, !torch.int, !torch.int, !torch.int) -> !torch.vtensor<[2,8],f32>
  %1 = "torch.aten.slice_scatter"(%0, %arg2, %c1, %c4, %c6, %c1) : (!torch.vtensor<[2,8],f32>, !torch.vtensor<[2,2],f32>, !torch.int, !torch.int, !torch.int, !torch.int) -> !torch.vtensor<[2,8],f32>
  %2 = "torch.aten.slice_copy.Tensor"(%1, %c1, %c2, %c4, %c1) : (!torch.vtensor<[2,8],f32>, !torch.int, !torch.int, !torch.int, !torch.int) -> !torch.vtensor<[2,2],f32>
  %3 = "torch.aten.slice_copy.Tensor"(%1, %c1, %c6, %c8, %c1) : (!torch.vtensor<[2,8],f32>, !torch.int, !torch.int, !torch.int, !torch.int) -> !torch.vtensor<[2,2],f32>
  %4 = "torch.aten.slice_copy.Tensor"(%1, %c1, %c3, %c5, %c1) : (!torch.vtensor<[2,8],f32>, !torch.int, !torch.int, !torch.int, !torch.int) -> !torch.vtensor<[2,2],f32>
  return %2, %3, %4 : !torch.vtensor<[2,2],f32>, !torch.vtensor<[2,2],f32>, !torch.vtensor<[2,2],f32>
}

// Replication padding that crops (-2 on the left of 4 columns) reads clamped positions; its
// gradient adds back at them.
// CHECK-LABEL: func.func @replicate_crop
// CHECK: %[[P:.*]] = lumo.Const {value = dense<[2, 3, 3]> : tensor<3xsi64>}
// CHECK: lumo.Gather %arg0, %[[P]] {axis = 1 : i64} : (tensor<2x4xf32>, tensor<3xsi64>) -> tensor<2x3xf32>
// CHECK: %[[AT:.*]] = lumo.BroadcastInDim %[[P]] {broadcast_dimensions = array<i64: 1>} : (tensor<3xsi64>) -> tensor<2x3xsi64>
// CHECK: lumo.Scatter %{{.*}}, %[[AT]], %arg1 {axis = 1 : i64, reduce_kind = #lumo.scatter_reduce_kind<add>} : (tensor<2x4xf32>, tensor<2x3xsi64>, tensor<2x3xf32>) -> tensor<2x4xf32>
func.func @replicate_crop(%arg0: !torch.vtensor<[2,4],f32>, %arg1: !torch.vtensor<[2,3],f32>) -> (!torch.vtensor<[2,3],f32>, !torch.vtensor<[2,4],f32>) {
  %cm2 = "torch.constant.int"() {value = -2 : i64} : () -> !torch.int
  %c1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %pad = "torch.prim.ListConstruct"(%cm2, %c1) : (!torch.int, !torch.int) -> !torch.list<int>
  %0 = "torch.aten.replication_pad1d"(%arg0, %pad) : (!torch.vtensor<[2,4],f32>, !torch.list<int>) -> !torch.vtensor<[2,3],f32>
  %1 = "torch.aten.replication_pad1d_backward"(%arg1, %arg0, %pad) : (!torch.vtensor<[2,3],f32>, !torch.vtensor<[2,4],f32>, !torch.list<int>) -> !torch.vtensor<[2,4],f32>
  return %0, %1 : !torch.vtensor<[2,3],f32>, !torch.vtensor<[2,4],f32>
}
