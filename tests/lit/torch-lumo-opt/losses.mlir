// Negative log likelihood: the target class picked by a batched gather, ignored targets masked,
// the mean taken over the kept ones; its gradient is a scaled one-hot.
// RUN: torch-lumo-opt %s -refine-types -torch-to-lumo-pipeline | FileCheck %s
// RUN: torch-lumo-opt %s -refine-types -convert-torch-to-lumo=families=losses -canonicalize -cse | FileCheck %s

// CHECK-LABEL: func.func @main
// CHECK-DAG: %[[IGN:.*]] = lumo.Const {value = dense<-100> : tensor<si64>}
// CHECK: %[[KEEP:.*]] = lumo.Compare %arg1, %[[IGN]] {comparison_direction = #lumo.comparison_direction<NE>}
// CHECK: %[[SAFE:.*]] = lumo.Select %[[KEEP]], %arg1, %{{.*}} : (tensor<4xi1>, tensor<4xsi64>, tensor<si64>) -> tensor<4xsi64>
// CHECK: %[[W:.*]] = lumo.Cast %[[KEEP]] : (tensor<4xi1>) -> tensor<4xf32>
// CHECK: %[[T:.*]] = lumo.Reshape %[[SAFE]] : (tensor<4xsi64>) -> tensor<4x1xsi64>
// CHECK: lumo.Gather %arg0, %[[T]] {axis = 1 : i64, batch_dims = 1 : i64} : (tensor<4x10xf32>, tensor<4x1xsi64>) -> tensor<4x1xf32>
// CHECK: %[[TOTAL:.*]] = lumo.Reduce %[[W]] {dimensions = array<i64: 0>, reduce_kind = #lumo.reduce_kind<sum>}
// CHECK: %[[SUM:.*]] = lumo.Reduce %{{.*}} {dimensions = array<i64: 0>, reduce_kind = #lumo.reduce_kind<sum>}
// CHECK: %[[LOSS:.*]] = lumo.Div %[[SUM]], %[[TOTAL]]
// CHECK: %[[G:.*]] = lumo.Div %arg2, %[[TOTAL]]
// CHECK: %[[GW:.*]] = lumo.Mul %[[G]], %[[W]]
// CHECK: %[[OH:.*]] = lumo.OneHot %[[SAFE]], %{{.*}}, %{{.*}}, %{{.*}}, %{{.*}} : (tensor<4xsi64>, tensor<si64>, tensor<f32>, tensor<f32>, tensor<si64>) -> tensor<4x10xf32>
// CHECK: %[[COL:.*]] = lumo.Reshape %[[GW]] : (tensor<4xf32>) -> tensor<4x1xf32>
// CHECK: %[[DX:.*]] = lumo.Mul %[[OH]], %[[COL]]
// CHECK: return %[[LOSS]], %[[TOTAL]], %[[DX]]
func.func @main(%arg0: !torch.vtensor<[4,10],f32>, %arg1: !torch.vtensor<[4],si64>, %arg2: !torch.vtensor<[],f32>)
    -> (!torch.vtensor<[],f32>, !torch.vtensor<[],f32>, !torch.vtensor<[4,10],f32>) {
  %none = "torch.constant.none"() : () -> !torch.none
  %mean = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %ignore = "torch.constant.int"() {value = -100 : i64} : () -> !torch.int
  %0:2 = "torch.aten.nll_loss_forward"(%arg0, %arg1, %none, %mean, %ignore) : (!torch.vtensor<[4,10],f32>, !torch.vtensor<[4],si64>, !torch.none, !torch.int, !torch.int) -> (!torch.vtensor<[],f32>, !torch.vtensor<[],f32>)
  %1 = "torch.aten.nll_loss_backward"(%arg2, %arg0, %arg1, %none, %mean, %ignore, %0#1) : (!torch.vtensor<[],f32>, !torch.vtensor<[4,10],f32>, !torch.vtensor<[4],si64>, !torch.none, !torch.int, !torch.int, !torch.vtensor<[],f32>) -> !torch.vtensor<[4,10],f32>
  return %0#0, %0#1, %1 : !torch.vtensor<[],f32>, !torch.vtensor<[],f32>, !torch.vtensor<[4,10],f32>
}
