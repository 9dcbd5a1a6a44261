// Literals, ranges and fills become constants; dropout draws uniform numbers with a seed of its
// own and its gradient reuses the mask.
// RUN: torch-lumo-opt %s -refine-types -torch-to-lumo-pipeline | FileCheck %s

// CHECK-LABEL: func.func @main
// CHECK-DAG: lumo.Const {value = dense<[0, 2, 4, 6]> : tensor<4xsi64>}
// CHECK-DAG: lumo.Const {value = dense<7.500000e-01> : tensor<3x2xf32>}
// CHECK-DAG: lumo.Const {value = dense<[1.000000e+00, 2.000000e+00]> : tensor<2xf32>}
// CHECK: %[[SHAPE:.*]] = lumo.Const {value = dense<[3, 2]> : tensor<2xsi64>}
// CHECK: %[[U1:.*]] = lumo.RandomUniform %{{.*}}, %{{.*}}, %[[SHAPE]] {operational_seed = 1 : i64} : (tensor<f32>, tensor<f32>, tensor<2xsi64>) -> tensor<3x2xf32>
// CHECK: %[[P:.*]] = lumo.Const {value = dense<8.000000e-01> : tensor<f32>}
// CHECK: %[[KEEP:.*]] = lumo.Compare %[[U1]], %[[P]] {comparison_direction = "LT"}
// CHECK: %[[SCALE:.*]] = lumo.Const {value = dense<1.250000e+00> : tensor<f32>}
// CHECK: %[[KEPT:.*]] = lumo.Select %[[KEEP]], %arg0, %{{.*}}
// CHECK: lumo.Mul %[[KEPT]], %[[SCALE]]
// CHECK: lumo.RandomUniform %{{.*}} {operational_seed = 2 : i64}
// CHECK: lumo.Select %[[KEEP]], %arg1, %{{.*}}
func.func @main(%arg0: !torch.vtensor<[3,2],f32>, %arg1: !torch.vtensor<[3,2],f32>)
    -> (!torch.vtensor<[4],si64>, !torch.vtensor<[3,2],f32>, !torch.vtensor<[2],f32>, !torch.vtensor<[3,2],f32>, !torch.vtensor<[3,2],f32>, !torch.vtensor<[3,2],f32>) {
  %none = "torch.constant.none"() : () -> !torch.none
  %true = "torch.constant.bool"() {value = true} : () -> !torch.bool
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %c0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %c2 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
  %c8 = "torch.constant.int"() {value = 8 : i64} : () -> !torch.int
  %cpu = "torch.constant.device"() {value = "cpu"} : () -> !torch.Device
  %0 = "torch.aten.arange.start_step"(%c0, %c8, %c2, %none, %none, %cpu, %false) : (!torch.int, !torch.int, !torch.int, !torch.none, !torch.none, !torch.Device, !torch.bool) -> !torch.vtensor<[4],si64>
  %v = "torch.constant.float"() {value = 7.500000e-01 : f64} : () -> !torch.float
  %1 = "torch.aten.fill.Scalar"(%arg0, %v) : (!torch.vtensor<[3,2],f32>, !torch.float) -> !torch.vtensor<[3,2],f32>
  %2 = "torch.vtensor.literal"() {value = dense<[1.0, 2.0]> : tensor<2xf32>} : () -> !torch.vtensor<[2],f32>
  %p = "torch.constant.float"() {value = 2.000000e-01 : f64} : () -> !torch.float
  %3:2 = "torch.aten.native_dropout"(%arg0, %p, %true) : (!torch.vtensor<[3,2],f32>, !torch.float, !torch.bool) -> (!torch.vtensor<[3,2],f32>, !torch.vtensor<[3,2],i1>)
  %4:2 = "torch.aten.native_dropout"(%arg1, %p, %true) : (!torch.vtensor<[3,2],f32>, !torch.float, !torch.bool) -> (!torch.vtensor<[3,2],f32>, !torch.vtensor<[3,2],i1>)
  %scale = "torch.constant.float"() {value = 1.250000e+00 : f64} : () -> !torch.float
  %5 = "torch.aten.native_dropout_backward"(%arg1, %3#1, %scale) : (!torch.vtensor<[3,2],f32>, !torch.vtensor<[3,2],i1>, !torch.float) -> !torch.vtensor<[3,2],f32>
  return %0, %1, %2, %3#0, %4#0, %5 : !torch.vtensor<[4],si64>, !torch.vtensor<[3,2],f32>, !torch.vtensor<[2],f32>, !torch.vtensor<[3,2],f32>, !torch.vtensor<[3,2],f32>, !torch.vtensor<[3,2],f32>
}
