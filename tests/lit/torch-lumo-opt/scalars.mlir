// Embedded 0-d arguments and scalar reads of them become constants; the arguments and their
// attributes stay in the signature. A scalar read of a computed tensor stays a tensor.
// RUN: torch-lumo-opt %s -refine-types -torch-to-lumo-pipeline -mlir-print-debuginfo | FileCheck %s
// RUN: torch-lumo-opt %s -refine-types -convert-torch-to-lumo=families=elementwise,reductions -canonicalize -cse -mlir-print-debuginfo | FileCheck %s

// CHECK-LABEL: func.func @main
// CHECK-SAME: %arg1: tensor<si64> {tf.parameter_value = dense<2> : tensor<si64>, vx.input_name = "placeholder1"}
// CHECK-SAME: %arg2: tensor<f64> {tf.parameter_value = dense<-1.000000e-01> : tensor<f64>, vx.input_name = "placeholder2"}
// CHECK-DAG: %[[TWO:.*]] = lumo.Const {value = dense<2.000000e+00> : tensor<f32>} : () -> tensor<f32> loc(#[[ADD:.*]])
// CHECK-DAG: %[[LR:.*]] = lumo.Const {value = dense<-1.000000e-01> : tensor<f32>}
// alpha = 2 from IntImplicit, the tensor operand -0.1 as an f32 constant.
// CHECK: %[[B:.*]] = lumo.Mul %arg0, %[[TWO]] {{.*}} loc(#[[ADD]])
// CHECK: %[[S:.*]] = lumo.Add %arg0, %[[B]] {{.*}} loc(#[[ADD]])
// CHECK: %[[U:.*]] = lumo.Mul %[[S]], %[[LR]]
// The sum read as a number scales the update.
// CHECK: %[[SUM:.*]] = lumo.Reduce %[[U]] {dimensions = array<i64: 0>, reduce_kind = #lumo.reduce_kind<sum>}
// CHECK: lumo.Mul %[[U]], %[[SUM]]
// CHECK: #[[ADD]] = loc("{{.*}}scalars.mlir":[[@LINE+10]]:
func.func @main(%arg0: !torch.vtensor<[3],f32>,
                %arg1: !torch.vtensor<[],si64> {tf.parameter_value = dense<2> : tensor<si64>, vx.input_name = "placeholder1"},
                %arg2: !torch.vtensor<[],f64> {tf.parameter_value = dense<-1.000000e-01> : tensor<f64>, vx.input_name = "placeholder2"})
    -> !torch.vtensor<[3],f32> {
  %alpha = "torch.aten.IntImplicit"(%arg1) : (!torch.vtensor<[],si64>) -> !torch.int
  %none = "torch.constant.none"() : () -> !torch.none
  %c0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %dims = "torch.prim.ListConstruct"(%c0) : (!torch.int) -> !torch.list<int>
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %0 = "torch.aten.add.Tensor"(%arg0, %arg0, %alpha) : (!torch.vtensor<[3],f32>, !torch.vtensor<[3],f32>, !torch.int) -> !torch.vtensor<[3],f32>
  %1 = "torch.aten.mul.Tensor"(%0, %arg2) : (!torch.vtensor<[3],f32>, !torch.vtensor<[],f64>) -> !torch.vtensor<[3],f32>
  %2 = "torch.aten.sum.dim_IntList"(%1, %dims, %false, %none) : (!torch.vtensor<[3],f32>, !torch.list<int>, !torch.bool, !torch.none) -> !torch.vtensor<[],f32>
  %3 = "torch.aten.FloatImplicit"(%2) : (!torch.vtensor<[],f32>) -> !torch.float
  %4 = "torch.aten.mul.Scalar"(%1, %3) : (!torch.vtensor<[3],f32>, !torch.float) -> !torch.vtensor<[3],f32>
  return %4 : !torch.vtensor<[3],f32>
}
