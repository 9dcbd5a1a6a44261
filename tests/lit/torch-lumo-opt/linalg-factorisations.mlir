// Factorisations and solves: Cholesky with LAPACK's info from the factor's first NaN diagonal
// element; cholesky_solve as two triangular solves; a general solve on lumo.Lu, whose gradient's
// lu_solve reuses the factorisation's row order (no pivot swaps replayed); determinants from U's
// diagonal and the parity of the row swaps, with the LU of A^T as eager PyTorch returns it.
// RUN: torch-lumo-opt %s -split-input-file -refine-types -torch-to-lumo-pipeline | FileCheck %s
// RUN: torch-lumo-opt %s -split-input-file -refine-types -convert-torch-to-lumo=families=linalg,shape -canonicalize -cse | FileCheck %s

// CHECK-LABEL: func.func @main
// CHECK: %[[L:.*]] = lumo.Cholesky %arg0 {lower = true} : (tensor<3x3xf32>) -> tensor<3x3xf32>
// CHECK: lumo.Unary {{.*}}kind = #lumo.unary_kind<isnan>
// CHECK: lumo.Reduce {{.*}}reduce_kind = #lumo.reduce_kind<argmax>
// CHECK: %[[Y:.*]] = lumo.TriangularSolve %[[L]], %arg1 {left_side = true, lower = true, transpose_a = #lumo.transpose<NO_TRANSPOSE>, unit_diagonal = false}
// CHECK: lumo.TriangularSolve %[[L]], %[[Y]] {left_side = true, lower = true, transpose_a = #lumo.transpose<TRANSPOSE>, unit_diagonal = false}
// CHECK: %[[LU:[a-z_0-9]+]], %{{[a-z_0-9]+}}, %[[PERM:[a-z_0-9]+]] = lumo.Lu %arg0 : (tensor<3x3xf32>) -> (tensor<3x3xf32>, tensor<3xsi32>, tensor<3xsi32>)
// CHECK: lumo.Gather %arg1, %[[PERM]]
// CHECK: lumo.TriangularSolve %[[LU]], {{.*}}lower = true, transpose_a = #lumo.transpose<NO_TRANSPOSE>, unit_diagonal = true
// CHECK: lumo.TriangularSolve %[[LU]], {{.*}}lower = false, transpose_a = #lumo.transpose<NO_TRANSPOSE>, unit_diagonal = false
// The gradient's solve with the adjoint: the rows come back in the inverse order.
// CHECK: lumo.TriangularSolve %[[LU]], {{.*}}lower = false, transpose_a = #lumo.transpose<TRANSPOSE>, unit_diagonal = false
// CHECK: lumo.TriangularSolve %[[LU]], {{.*}}lower = true, transpose_a = #lumo.transpose<TRANSPOSE>, unit_diagonal = true
// CHECK: lumo.Scatter {{.*}}%[[PERM]]
// CHECK-NOT: lumo.Lu %arg0
// CHECK: %[[AT:.*]] = lumo.Transpose %arg0
// CHECK: %{{[a-z_0-9]+}}, %[[PIVT:[a-z_0-9]+]], %{{[a-z_0-9]+}} = lumo.Lu %[[AT]]
// CHECK: lumo.Compare %[[PIVT]], {{.*}}comparison_direction = #lumo.comparison_direction<NE>
// CHECK: lumo.Reduce {{.*}}reduce_kind = #lumo.reduce_kind<prod>
func.func @main(%arg0: !torch.vtensor<[3,3],f32>, %arg1: !torch.vtensor<[3,2],f32>)
    -> (!torch.vtensor<[3,3],f32>, !torch.vtensor<[],si32>, !torch.vtensor<[3,2],f32>, !torch.vtensor<[3,2],f32>, !torch.vtensor<[3,2],f32>, !torch.vtensor<[],f32>, !torch.vtensor<[3],si32>) {
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %true = "torch.constant.bool"() {value = true} : () -> !torch.bool
  %0:2 = "torch.operator"(%arg0, %false, %false) {name = "aten.linalg_cholesky_ex"} : (!torch.vtensor<[3,3],f32>, !torch.bool, !torch.bool) -> (!torch.vtensor<[3,3],f32>, !torch.vtensor<[],si32>)
  %1 = "torch.operator"(%arg1, %0#0, %false) {name = "aten.cholesky_solve"} : (!torch.vtensor<[3,2],f32>, !torch.vtensor<[3,3],f32>, !torch.bool) -> !torch.vtensor<[3,2],f32>
  %2:4 = "torch.operator"(%arg0, %arg1, %true, %false) {name = "aten._linalg_solve_ex"} : (!torch.vtensor<[3,3],f32>, !torch.vtensor<[3,2],f32>, !torch.bool, !torch.bool) -> (!torch.vtensor<[3,2],f32>, !torch.vtensor<[3,3],f32>, !torch.vtensor<[3],si32>, !torch.vtensor<[],si32>)
  %3 = "torch.operator"(%2#1, %2#2, %arg1, %true, %true) {name = "aten.linalg_lu_solve"} : (!torch.vtensor<[3,3],f32>, !torch.vtensor<[3],si32>, !torch.vtensor<[3,2],f32>, !torch.bool, !torch.bool) -> !torch.vtensor<[3,2],f32>
  %4:3 = "torch.operator"(%arg0) {name = "aten._linalg_det"} : (!torch.vtensor<[3,3],f32>) -> (!torch.vtensor<[],f32>, !torch.vtensor<[3,3],f32>, !torch.vtensor<[3],si32>)
  return %0#0, %0#1, %1, %2#0, %3, %4#0, %4#2 : !torch.vtensor<[3,3],f32>, !torch.vtensor<[],si32>, !torch.vtensor<[3,2],f32>, !torch.vtensor<[3,2],f32>, !torch.vtensor<[3,2],f32>, !torch.vtensor<[],f32>, !torch.vtensor<[3],si32>
}

// -----
// Pivots the program did not compute: the swaps are replayed, one per row, into the row order.
// CHECK-LABEL: func.func @main
// CHECK-COUNT-2: lumo.Gather %{{.*}}, %{{.*}} {axis = 0 : i64}
// CHECK: lumo.Gather %arg2, %{{.*}} {axis = 0 : i64}
// CHECK-NOT: lumo.Lu
func.func @main(%arg0: !torch.vtensor<[2,2],f32>, %arg1: !torch.vtensor<[2],si32>, %arg2: !torch.vtensor<[2,1],f32>) -> !torch.vtensor<[2,1],f32> {
  %true = "torch.constant.bool"() {value = true} : () -> !torch.bool
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %0 = "torch.operator"(%arg0, %arg1, %arg2, %true, %false) {name = "aten.linalg_lu_solve"} : (!torch.vtensor<[2,2],f32>, !torch.vtensor<[2],si32>, !torch.vtensor<[2,1],f32>, !torch.bool, !torch.bool) -> !torch.vtensor<[2,1],f32>
  return %0 : !torch.vtensor<[2,1],f32>
}
