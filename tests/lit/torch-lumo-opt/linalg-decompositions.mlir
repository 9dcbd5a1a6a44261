// Singular value, QR and symmetric eigenvalue decompositions: _linalg_svd, _linalg_eigh and
// linalg_qr become lumo.Svd, lumo.Eigh and lumo.Qr (without vectors: values_only, the vectors
// empty constants); the pseudo-inverse inverts the singular values above max(atol, rtol * largest),
// compared in f64, and multiplies V diag(1/s) U^T as transposed products.
// RUN: torch-lumo-opt %s -split-input-file -refine-types -torch-to-lumo-pipeline | FileCheck %s

// CHECK-LABEL: func.func @main
// CHECK-DAG: lumo.Svd %arg0 {full_matrices = true, values_only = false} : (tensor<2x5x3xf32>) -> (tensor<2x5x5xf32>, tensor<2x3xf32>, tensor<2x3x3xf32>)
// CHECK-DAG: lumo.Svd %arg0 {full_matrices = false, values_only = true} : (tensor<2x5x3xf32>) -> (tensor<0xf32>, tensor<2x3xf32>, tensor<0xf32>)
// CHECK-DAG: lumo.Eigh %arg1 {triangle = #lumo.triangle<upper>, values_only = false} : (tensor<3x3xf64>) -> (tensor<3xf64>, tensor<3x3xf64>)
// CHECK-DAG: lumo.Qr %arg0 {mode = #lumo.qr_mode<complete>} : (tensor<2x5x3xf32>) -> (tensor<2x5x5xf32>, tensor<2x5x3xf32>)
// CHECK-DAG: lumo.Qr %arg0 {mode = #lumo.qr_mode<reduced>} : (tensor<2x5x3xf32>) -> (tensor<2x5x3xf32>, tensor<2x3x3xf32>)
func.func @main(%arg0: !torch.vtensor<[2,5,3],f32>, %arg1: !torch.vtensor<[3,3],f64>)
    -> (!torch.vtensor<[2,5,5],f32>, !torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3,3],f32>, !torch.vtensor<[0],f32>, !torch.vtensor<[2,3],f32>, !torch.vtensor<[3],f64>, !torch.vtensor<[3,3],f64>, !torch.vtensor<[2,5,5],f32>, !torch.vtensor<[0],f32>, !torch.vtensor<[2,3,3],f32>) {
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %true = "torch.constant.bool"() {value = true} : () -> !torch.bool
  %none = "torch.constant.none"() : () -> !torch.none
  %upper = "torch.constant.str"() {value = "U"} : () -> !torch.str
  %complete = "torch.constant.str"() {value = "complete"} : () -> !torch.str
  %r = "torch.constant.str"() {value = "r"} : () -> !torch.str
  %0:3 = "torch.operator"(%arg0, %true, %true, %none) {name = "aten._linalg_svd"} : (!torch.vtensor<[2,5,3],f32>, !torch.bool, !torch.bool, !torch.none) -> (!torch.vtensor<[2,5,5],f32>, !torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3,3],f32>)
  %1:3 = "torch.operator"(%arg0, %false, %false, %none) {name = "aten._linalg_svd"} : (!torch.vtensor<[2,5,3],f32>, !torch.bool, !torch.bool, !torch.none) -> (!torch.vtensor<[0],f32>, !torch.vtensor<[2,3],f32>, !torch.vtensor<[0],f32>)
  %2:2 = "torch.operator"(%arg1, %upper, %true) {name = "aten._linalg_eigh"} : (!torch.vtensor<[3,3],f64>, !torch.str, !torch.bool) -> (!torch.vtensor<[3],f64>, !torch.vtensor<[3,3],f64>)
  %3:2 = "torch.operator"(%arg0, %complete) {name = "aten.linalg_qr"} : (!torch.vtensor<[2,5,3],f32>, !torch.str) -> (!torch.vtensor<[2,5,5],f32>, !torch.vtensor<[2,5,3],f32>)
  %4:2 = "torch.operator"(%arg0, %r) {name = "aten.linalg_qr"} : (!torch.vtensor<[2,5,3],f32>, !torch.str) -> (!torch.vtensor<[0],f32>, !torch.vtensor<[2,3,3],f32>)
  return %0#0, %0#1, %0#2, %1#0, %1#1, %2#0, %2#1, %3#0, %4#0, %4#1 : !torch.vtensor<[2,5,5],f32>, !torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3,3],f32>, !torch.vtensor<[0],f32>, !torch.vtensor<[2,3],f32>, !torch.vtensor<[3],f64>, !torch.vtensor<[3,3],f64>, !torch.vtensor<[2,5,5],f32>, !torch.vtensor<[0],f32>, !torch.vtensor<[2,3,3],f32>
}

// -----
// pinv with float tolerances (none: rtol = eps(f32) * max(m, n) = 5.96e-7) and its hermitian form
// on lumo.Eigh (absolute eigenvalues, the largest by a max reduction).
// CHECK-LABEL: func.func @main
// CHECK: lumo.Const {value = dense<5.9604644775390625E-7> : tensor<1xf64>}
// CHECK: %[[U:[a-z_0-9]+]], %[[S:[a-z_0-9]+]], %[[VH:[a-z_0-9]+]] = lumo.Svd %arg0 {full_matrices = false, values_only = false}
// CHECK: lumo.Slice %[[S]]
// CHECK: lumo.Cast {{.*}} -> tensor<4x1xf64>
// CHECK: lumo.Binary {{.*}}kind = #lumo.binary_kind<maximum>
// CHECK: lumo.Compare {{.*}}comparison_direction = #lumo.comparison_direction<GT>{{.*}}tensor<4x3xf64>
// CHECK: lumo.Div
// CHECK: lumo.Select
// CHECK: lumo.MatMul %{{.*}}, %[[U]] {transpose_a = false, transpose_b = true}
// CHECK: %[[W:[a-z_0-9]+]], %{{[a-z_0-9]+}} = lumo.Eigh %arg1 {triangle = #lumo.triangle<lower>, values_only = false}
// CHECK: lumo.Abs %[[W]]
// CHECK: lumo.Reduce {{.*}}reduce_kind = #lumo.reduce_kind<max>
func.func @main(%arg0: !torch.vtensor<[4,5,3],f32>, %arg1: !torch.vtensor<[3,3],f64>) -> (!torch.vtensor<[4,3,5],f32>, !torch.vtensor<[3,3],f64>) {
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %true = "torch.constant.bool"() {value = true} : () -> !torch.bool
  %none = "torch.constant.none"() : () -> !torch.none
  %0 = "torch.operator"(%arg0, %none, %none, %false) {name = "aten.linalg_pinv.atol_rtol_float"} : (!torch.vtensor<[4,5,3],f32>, !torch.none, !torch.none, !torch.bool) -> !torch.vtensor<[4,3,5],f32>
  %1 = "torch.operator"(%arg1, %none, %none, %true) {name = "aten.linalg_pinv.atol_rtol_float"} : (!torch.vtensor<[3,3],f64>, !torch.none, !torch.none, !torch.bool) -> !torch.vtensor<[3,3],f64>
  return %0, %1 : !torch.vtensor<[4,3,5],f32>, !torch.vtensor<[3,3],f64>
}
