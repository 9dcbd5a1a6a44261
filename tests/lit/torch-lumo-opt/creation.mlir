// Literals, ranges and fills become constants; dropout draws uniform numbers with a seed of its
// own and its gradient reuses the mask.
// RUN: torch-lumo-opt %s -split-input-file -refine-types -torch-to-lumo-pipeline | FileCheck %s
// RUN: torch-lumo-opt %s -split-input-file -refine-types -convert-torch-to-lumo=families=creation,shape -canonicalize -cse | FileCheck %s

// CHECK-LABEL: func.func @main
// CHECK-DAG: %[[SHAPE:.*]] = lumo.Const {value = dense<[3, 2]> : tensor<2xsi64>}
// CHECK-DAG: %[[P:.*]] = lumo.Const {value = dense<8.000000e-01> : tensor<f32>}
// CHECK-DAG: %[[SCALE:.*]] = lumo.Const {value = dense<1.250000e+00> : tensor<f32>}
// CHECK-DAG: lumo.Const {value = dense<[0, 2, 4, 6]> : tensor<4xsi64>}
// CHECK-DAG: lumo.Const {value = dense<7.500000e-01> : tensor<3x2xf32>}
// CHECK-DAG: lumo.Const {value = dense<[1.000000e+00, 2.000000e+00]> : tensor<2xf32>}
// CHECK: %[[U1:.*]] = lumo.RandomUniform %{{.*}}, %{{.*}}, %[[SHAPE]] {operational_seed = 1 : i64} : (tensor<f32>, tensor<f32>, tensor<2xsi64>) -> tensor<3x2xf32>
// CHECK: %[[KEEP:.*]] = lumo.Compare %[[U1]], %[[P]] {comparison_direction = #lumo.comparison_direction<LT>}
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

// -----
// random draws the integers of [0, 2^24] for f32; f64's [0, 2^53] takes two draws (31 and 32 bits)
// reduced modulo 2^53 + 1.
// CHECK-LABEL: func.func @random
// CHECK-DAG: %[[HI:.*]] = lumo.Const {value = dense<16777217> : tensor<si64>}
// CHECK-DAG: %[[WORD:.*]] = lumo.Const {value = dense<4294967296> : tensor<si64>}
// CHECK-DAG: %[[COUNT:.*]] = lumo.Const {value = dense<9007199254740993> : tensor<si64>}
// CHECK: %[[U:.*]] = lumo.RandomUniform %{{.*}}, %[[HI]], %{{.*}} {operational_seed = 1 : i64} : (tensor<si64>, tensor<si64>, tensor<1xsi64>) -> tensor<5xsi64>
// CHECK: lumo.Cast %[[U]] : (tensor<5xsi64>) -> tensor<5xf32>
// CHECK: %[[A:.*]] = lumo.RandomUniform {{.*}} {operational_seed = 2 : i64}
// CHECK: %[[B:.*]] = lumo.RandomUniform %{{.*}}, %[[WORD]], %{{.*}} {operational_seed = 3 : i64}
// CHECK: %[[SHIFTED:.*]] = lumo.Mul %[[A]], %[[WORD]]
// CHECK: %[[BITS:.*]] = lumo.Add %[[SHIFTED]], %[[B]]
// CHECK: %[[R:.*]] = lumo.Binary %[[BITS]], %[[COUNT]] {kind = #lumo.binary_kind<remainder>}
// CHECK: lumo.Cast %[[R]] : (tensor<5xsi64>) -> tensor<5xf64>
func.func @random(%arg0: !torch.vtensor<[5],f32>, %arg1: !torch.vtensor<[5],f64>) -> (!torch.vtensor<[5],f32>, !torch.vtensor<[5],f64>) {
  %none = "torch.constant.none"() : () -> !torch.none
  %0 = "torch.operator"(%arg0, %none) {name = "aten.random"} : (!torch.vtensor<[5],f32>, !torch.none) -> !torch.vtensor<[5],f32>
  %1 = "torch.operator"(%arg1, %none) {name = "aten.random"} : (!torch.vtensor<[5],f64>, !torch.none) -> !torch.vtensor<[5],f64>
  return %0, %1 : !torch.vtensor<[5],f32>, !torch.vtensor<[5],f64>
}

// -----
// 64-bit integers stay exact in fills and ranges (a double would round 2^60 + 1 to 2^60).
// CHECK-LABEL: func.func @exact_int64
// CHECK-DAG: lumo.Const {value = dense<1152921504606846977> : tensor<2xsi64>}
// CHECK-DAG: lumo.Const {value = dense<[1152921504606846977, 1152921504606846979]> : tensor<2xsi64>}
func.func @exact_int64() -> (!torch.vtensor<[2],si64>, !torch.vtensor<[2],si64>) {
  %none = "torch.constant.none"() : () -> !torch.none
  %c2 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
  %c4 = "torch.constant.int"() {value = 4 : i64} : () -> !torch.int
  %big = "torch.constant.int"() {value = 1152921504606846977 : i64} : () -> !torch.int
  %end = "torch.constant.int"() {value = 1152921504606846981 : i64} : () -> !torch.int
  %shape = "torch.prim.ListConstruct"(%c2) : (!torch.int) -> !torch.list<int>
  %0 = "torch.aten.full"(%shape, %big, %c4, %none, %none, %none) : (!torch.list<int>, !torch.int, !torch.int, !torch.none, !torch.none, !torch.none) -> !torch.vtensor<[2],si64>
  %1 = "torch.aten.arange.start_step"(%big, %end, %c2, %c4, %none, %none, %none) : (!torch.int, !torch.int, !torch.int, !torch.int, !torch.none, !torch.none, !torch.none) -> !torch.vtensor<[2],si64>
  return %0, %1 : !torch.vtensor<[2],si64>, !torch.vtensor<[2],si64>
}

// -----

// Distributions drawn from uniform or normal numbers, each with a seed of its own: cauchy as
// median + sigma * tan(pi * (u - 1/2)), log_normal as exp of a normal, geometric as the ceiling of
// log(1 - u) / log(1 - p) (at least 1), normal with tensor parameters, multinomial.
// CHECK-LABEL: func.func @main
// CHECK: %[[U:.*]] = lumo.RandomUniform {{.*}} {operational_seed = 1 : i64}
// CHECK: lumo.Unary %{{.*}} {kind = #lumo.unary_kind<tan>}
// CHECK: %[[N:.*]] = lumo.RandomNormal {{.*}} {seed = 2 : i64}
// CHECK: lumo.Exp %[[N]]
// CHECK: lumo.RandomUniform {{.*}} {operational_seed = 3 : i64}
// CHECK: %[[C:.*]] = lumo.Ceil
// CHECK: %[[G:.*]] = lumo.Binary %[[C]], %{{.*}} {kind = #lumo.binary_kind<maximum>}
// CHECK: lumo.Cast %[[G]] : (tensor<2x3xf32>) -> tensor<2x3xsi64>
// CHECK: lumo.RandomNormal %arg0, %arg0 {seed = 4 : i64} : (tensor<2x3xf32>, tensor<2x3xf32>) -> tensor<2x3xf32>
// CHECK: lumo.RandomMultinomial %arg0 {num_samples = 4 : i64, replacement = true, seed = 5 : i64} : (tensor<2x3xf32>) -> tensor<2x4xsi64>
func.func @main(%arg0: !torch.vtensor<[2,3],f32>, %arg1: !torch.vtensor<[2,3],si64>)
    -> (!torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],si64>, !torch.vtensor<[2,3],f32>, !torch.vtensor<[2,4],si64>) {
  %none = "torch.constant.none"() : () -> !torch.none
  %true = "torch.constant.bool"() {value = true} : () -> !torch.bool
  %f0 = "torch.constant.float"() {value = 0.0 : f64} : () -> !torch.float
  %f1 = "torch.constant.float"() {value = 1.0 : f64} : () -> !torch.float
  %fh = "torch.constant.float"() {value = 0.5 : f64} : () -> !torch.float
  %c4 = "torch.constant.int"() {value = 4 : i64} : () -> !torch.int
  %0 = "torch.aten.cauchy"(%arg0, %f0, %f1, %none) : (!torch.vtensor<[2,3],f32>, !torch.float, !torch.float, !torch.none) -> !torch.vtensor<[2,3],f32>
  %1 = "torch.aten.log_normal"(%arg0, %f1, %fh, %none) : (!torch.vtensor<[2,3],f32>, !torch.float, !torch.float, !torch.none) -> !torch.vtensor<[2,3],f32>
  %2 = "torch.aten.geometric"(%arg1, %fh, %none) : (!torch.vtensor<[2,3],si64>, !torch.float, !torch.none) -> !torch.vtensor<[2,3],si64>
  %3 = "torch.aten.normal.Tensor_Tensor"(%arg0, %arg0, %none) : (!torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],f32>, !torch.none) -> !torch.vtensor<[2,3],f32>
  %4 = "torch.aten.multinomial"(%arg0, %c4, %true, %none) : (!torch.vtensor<[2,3],f32>, !torch.int, !torch.bool, !torch.none) -> !torch.vtensor<[2,4],si64>
  return %0, %1, %2, %3, %4 : !torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],si64>, !torch.vtensor<[2,3],f32>, !torch.vtensor<[2,4],si64>
}
