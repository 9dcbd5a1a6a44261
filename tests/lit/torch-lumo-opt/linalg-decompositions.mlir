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

// -----
// lstsq: gels through QR (the complete Q of a tall matrix gives the residuals as the squared rows
// of Q^T B below n); gelsd through the SVD, the singular values above rcond * max(s) (rcond =
// eps(f64) * 3) inverted and counted as the rank; a vector right-hand side as a column.
// CHECK-LABEL: func.func @main
// CHECK-DAG: %[[RCOND:[0-9]+]] = lumo.Const {value = dense<6.6613381477509392E-16> : tensor<f64>}
// CHECK: %[[Q:[a-z_0-9]+]], %[[R:[a-z_0-9]+]] = lumo.Qr %arg0 {mode = #lumo.qr_mode<complete>} : (tensor<4x3xf32>) -> (tensor<4x4xf32>, tensor<4x3xf32>)
// CHECK: %[[QTB:[0-9]+]] = lumo.MatMul %[[Q]], %arg1 {transpose_a = true, transpose_b = false}
// CHECK: %[[R3:[0-9]+]] = lumo.Slice %[[R]]
// CHECK: %[[C3:[0-9]+]] = lumo.Slice %[[QTB]]
// CHECK: %[[X:[0-9]+]] = lumo.TriangularSolve %[[R3]], %[[C3]] {left_side = true, lower = false, transpose_a = #lumo.transpose<NO_TRANSPOSE>, unit_diagonal = false}
// CHECK: %[[REST:[0-9]+]] = lumo.Slice %[[QTB]], {{.*}} -> tensor<1x2xf32>
// CHECK: %[[SQ:[0-9]+]] = lumo.Mul %[[REST]], %[[REST]]
// CHECK: %[[RES:[0-9]+]] = lumo.Reduce %[[SQ]] {dimensions = array<i64: 0>, reduce_kind = #lumo.reduce_kind<sum>} : (tensor<1x2xf32>) -> tensor<2xf32>
// CHECK: %[[B:[0-9]+]] = lumo.Reshape %arg3 : (tensor<2xf64>) -> tensor<2x1xf64>
// CHECK: %[[U:[a-z_0-9]+]], %[[S:[a-z_0-9]+]], %[[VH:[a-z_0-9]+]] = lumo.Svd %arg2 {full_matrices = false, values_only = false}
// CHECK: %[[MAX:[0-9]+]] = lumo.Slice %[[S]]
// CHECK: %[[TOL:[0-9]+]] = lumo.Mul %[[MAX]], %[[RCOND]]
// CHECK: %[[KEPT:[0-9]+]] = lumo.Compare %[[S]], %[[TOL]] {comparison_direction = #lumo.comparison_direction<GT>}
// CHECK: lumo.MatMul %[[U]], %[[B]] {transpose_a = true, transpose_b = false}
// CHECK: %[[Y:[0-9]+]] = lumo.MatMul %[[VH]], %{{[0-9]+}} {transpose_a = true, transpose_b = false} : (tensor<2x3xf64>, tensor<2x1xf64>) -> tensor<3x1xf64>
// CHECK: %[[FLAGS:[0-9]+]] = lumo.Cast %[[KEPT]] : (tensor<2xi1>) -> tensor<2xsi64>
// CHECK: %[[RANK:[0-9]+]] = lumo.Reduce %[[FLAGS]] {dimensions = array<i64: 0>, reduce_kind = #lumo.reduce_kind<sum>} : (tensor<2xsi64>) -> tensor<si64>
// CHECK: %[[XV:[0-9]+]] = lumo.Reshape %[[Y]] : (tensor<3x1xf64>) -> tensor<3xf64>
// CHECK: return %[[X]], %[[RES]], %{{[0-9]+}}, %{{[0-9]+}}, %[[XV]], %{{[0-9]+}}, %[[RANK]], %[[S]]
func.func @main(%arg0: !torch.vtensor<[4,3],f32>, %arg1: !torch.vtensor<[4,2],f32>, %arg2: !torch.vtensor<[2,3],f64>, %arg3: !torch.vtensor<[2],f64>)
    -> (!torch.vtensor<[3,2],f32>, !torch.vtensor<[2],f32>, !torch.vtensor<[0],si64>, !torch.vtensor<[0],f32>, !torch.vtensor<[3],f64>, !torch.vtensor<[0],f64>, !torch.vtensor<[],si64>, !torch.vtensor<[2],f64>) {
  %none = "torch.constant.none"() : () -> !torch.none
  %gels = "torch.constant.str"() {value = "gels"} : () -> !torch.str
  %gelsd = "torch.constant.str"() {value = "gelsd"} : () -> !torch.str
  %0:4 = "torch.operator"(%arg0, %arg1, %none, %gels) {name = "aten.linalg_lstsq"} : (!torch.vtensor<[4,3],f32>, !torch.vtensor<[4,2],f32>, !torch.none, !torch.str) -> (!torch.vtensor<[3,2],f32>, !torch.vtensor<[2],f32>, !torch.vtensor<[0],si64>, !torch.vtensor<[0],f32>)
  %1:4 = "torch.operator"(%arg2, %arg3, %none, %gelsd) {name = "aten.linalg_lstsq"} : (!torch.vtensor<[2,3],f64>, !torch.vtensor<[2],f64>, !torch.none, !torch.str) -> (!torch.vtensor<[3],f64>, !torch.vtensor<[0],f64>, !torch.vtensor<[],si64>, !torch.vtensor<[2],f64>)
  return %0#0, %0#1, %0#2, %0#3, %1#0, %1#1, %1#2, %1#3 : !torch.vtensor<[3,2],f32>, !torch.vtensor<[2],f32>, !torch.vtensor<[0],si64>, !torch.vtensor<[0],f32>, !torch.vtensor<[3],f64>, !torch.vtensor<[0],f64>, !torch.vtensor<[],si64>, !torch.vtensor<[2],f64>
}

// -----
// lstsq of a wide matrix with gels: the QR of A^T, then Q R^-T B (the solution of least norm).
// CHECK-LABEL: func.func @main
// CHECK: %[[T:[0-9]+]] = lumo.Transpose %arg0
// CHECK: %[[Q:[a-z_0-9]+]], %[[R:[a-z_0-9]+]] = lumo.Qr %[[T]] {mode = #lumo.qr_mode<reduced>} : (tensor<3x2xf32>) -> (tensor<3x2xf32>, tensor<2x2xf32>)
// CHECK: %[[Y:[0-9]+]] = lumo.TriangularSolve %[[R]], %arg1 {left_side = true, lower = false, transpose_a = #lumo.transpose<TRANSPOSE>, unit_diagonal = false}
// CHECK: lumo.MatMul %[[Q]], %[[Y]] {transpose_a = false, transpose_b = false} : (tensor<3x2xf32>, tensor<2x4xf32>) -> tensor<3x4xf32>
func.func @main(%arg0: !torch.vtensor<[2,3],f32>, %arg1: !torch.vtensor<[2,4],f32>) -> !torch.vtensor<[3,4],f32> {
  %none = "torch.constant.none"() : () -> !torch.none
  %gels = "torch.constant.str"() {value = "gels"} : () -> !torch.str
  %0:4 = "torch.operator"(%arg0, %arg1, %none, %gels) {name = "aten.linalg_lstsq"} : (!torch.vtensor<[2,3],f32>, !torch.vtensor<[2,4],f32>, !torch.none, !torch.str) -> (!torch.vtensor<[3,4],f32>, !torch.vtensor<[0],f32>, !torch.vtensor<[0],si64>, !torch.vtensor<[0],f32>)
  return %0#0 : !torch.vtensor<[3,4],f32>
}

// -----
// linalg_eig becomes lumo.Eig (without vectors where the program does not read them, as
// _linalg_eigvals).
// CHECK-LABEL: func.func @main
// CHECK-DAG: lumo.Eig %arg0 {values_only = false} : (tensor<2x3x3xf32>) -> (tensor<2x3xcomplex<f32>>, tensor<2x3x3xcomplex<f32>>)
// CHECK-DAG: lumo.Eig %arg1 {values_only = true} : (tensor<4x4xf64>) -> (tensor<4xcomplex<f64>>, tensor<0xcomplex<f64>>)
func.func @main(%arg0: !torch.vtensor<[2,3,3],f32>, %arg1: !torch.vtensor<[4,4],f64>)
    -> (!torch.vtensor<[2,3],complex<f32>>, !torch.vtensor<[2,3,3],complex<f32>>, !torch.vtensor<[4],complex<f64>>, !torch.vtensor<[4],complex<f64>>) {
  %0:2 = "torch.operator"(%arg0) {name = "aten.linalg_eig"} : (!torch.vtensor<[2,3,3],f32>) -> (!torch.vtensor<[2,3],complex<f32>>, !torch.vtensor<[2,3,3],complex<f32>>)
  %1:2 = "torch.operator"(%arg1) {name = "aten.linalg_eig"} : (!torch.vtensor<[4,4],f64>) -> (!torch.vtensor<[4],complex<f64>>, !torch.vtensor<[4,4],complex<f64>>)
  %2 = "torch.operator"(%arg1) {name = "aten._linalg_eigvals"} : (!torch.vtensor<[4,4],f64>) -> !torch.vtensor<[4],complex<f64>>
  return %0#0, %0#1, %1#0, %2 : !torch.vtensor<[2,3],complex<f32>>, !torch.vtensor<[2,3,3],complex<f32>>, !torch.vtensor<[4],complex<f64>>, !torch.vtensor<[4],complex<f64>>
}
