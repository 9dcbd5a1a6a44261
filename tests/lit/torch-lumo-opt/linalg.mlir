// Matrix products: transposes of the last two dimensions become the product's flags, also when the
// product itself is transposed; addmm adds the bias (scaled when beta or alpha are not 1).
// RUN: torch-lumo-opt %s -refine-types -torch-to-lumo-pipeline | FileCheck %s
// RUN: torch-lumo-opt %s -refine-types -convert-torch-to-lumo=families=linalg,shape -canonicalize -cse | FileCheck %s

// CHECK-LABEL: func.func @main
// CHECK-DAG: %[[HALF:.*]] = lumo.Const {value = dense<5.000000e-01> : tensor<f32>}
// CHECK-NOT: lumo.Transpose
// CHECK: %[[Y:.*]] = lumo.MatMul %arg0, %arg1 {transpose_a = false, transpose_b = true} : (tensor<8x4xf32>, tensor<6x4xf32>) -> tensor<8x6xf32>
// CHECK: %[[Z:.*]] = lumo.Add %[[Y]], %arg2
// (x^T dy)^T = dy^T x
// CHECK: lumo.MatMul %arg3, %arg0 {transpose_a = true, transpose_b = false} : (tensor<8x6xf32>, tensor<8x4xf32>) -> tensor<6x4xf32>
// The same product again is computed once.
// CHECK: %[[PS:.*]] = lumo.Mul %[[Y]], %[[HALF]]
// CHECK: lumo.Add %[[PS]], %arg2
// CHECK: lumo.MatMul %arg4, %arg5 {transpose_a = false, transpose_b = false} : (tensor<3x2x5xf32>, tensor<3x5x7xf32>) -> tensor<3x2x7xf32>
// A vector operand of matmul is a matrix for the product.
// CHECK: %[[V:.*]] = lumo.Reshape %arg6 : (tensor<4xf32>) -> tensor<4x1xf32>
// CHECK: %[[MV:.*]] = lumo.MatMul %arg0, %[[V]]
// CHECK: lumo.Reshape %[[MV]] : (tensor<8x1xf32>) -> tensor<8xf32>
func.func @main(%arg0: !torch.vtensor<[8,4],f32>, %arg1: !torch.vtensor<[6,4],f32>, %arg2: !torch.vtensor<[6],f32>,
                %arg3: !torch.vtensor<[8,6],f32>, %arg4: !torch.vtensor<[3,2,5],f32>, %arg5: !torch.vtensor<[3,5,7],f32>,
                %arg6: !torch.vtensor<[4],f32>)
    -> (!torch.vtensor<[8,6],f32>, !torch.vtensor<[6,4],f32>, !torch.vtensor<[8,6],f32>, !torch.vtensor<[3,2,7],f32>, !torch.vtensor<[8],f32>) {
  %one = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %half = "torch.constant.float"() {value = 5.000000e-01 : f64} : () -> !torch.float
  %wt = "torch.aten.t_copy"(%arg1) : (!torch.vtensor<[6,4],f32>) -> !torch.vtensor<[4,6],f32>
  %0 = "torch.aten.addmm"(%arg2, %arg0, %wt, %one, %one) : (!torch.vtensor<[6],f32>, !torch.vtensor<[8,4],f32>, !torch.vtensor<[4,6],f32>, !torch.int, !torch.int) -> !torch.vtensor<[8,6],f32>
  %xt = "torch.aten.t_copy"(%arg0) : (!torch.vtensor<[8,4],f32>) -> !torch.vtensor<[4,8],f32>
  %g = "torch.aten.mm"(%xt, %arg3) : (!torch.vtensor<[4,8],f32>, !torch.vtensor<[8,6],f32>) -> !torch.vtensor<[4,6],f32>
  %1 = "torch.aten.t_copy"(%g) : (!torch.vtensor<[4,6],f32>) -> !torch.vtensor<[6,4],f32>
  %2 = "torch.aten.addmm"(%arg2, %arg0, %wt, %one, %half) : (!torch.vtensor<[6],f32>, !torch.vtensor<[8,4],f32>, !torch.vtensor<[4,6],f32>, !torch.int, !torch.float) -> !torch.vtensor<[8,6],f32>
  %3 = "torch.aten.bmm"(%arg4, %arg5) : (!torch.vtensor<[3,2,5],f32>, !torch.vtensor<[3,5,7],f32>) -> !torch.vtensor<[3,2,7],f32>
  %4 = "torch.aten.matmul"(%arg0, %arg6) : (!torch.vtensor<[8,4],f32>, !torch.vtensor<[4],f32>) -> !torch.vtensor<[8],f32>
  return %0, %1, %2, %3, %4 : !torch.vtensor<[8,6],f32>, !torch.vtensor<[6,4],f32>, !torch.vtensor<[8,6],f32>, !torch.vtensor<[3,2,7],f32>, !torch.vtensor<[8],f32>
}

// addbmm adds one product per matrix of the batch, rounding to bfloat16 after each (summing in
// float32 within a step), as PyTorch's CPU kernel does.
// CHECK-LABEL: func.func @addbmm_bf16
// CHECK-COUNT-2: lumo.MatMul {{.*}} -> tensor<2x4xf32>
// CHECK: %[[R:.*]] = lumo.Cast %{{.*}} : (tensor<2x4xf32>) -> tensor<2x4xbf16>
// CHECK: return %[[R]]
func.func @addbmm_bf16(%arg0: !torch.vtensor<[2,4],bf16>, %arg1: !torch.vtensor<[2,2,3],bf16>, %arg2: !torch.vtensor<[2,3,4],bf16>) -> !torch.vtensor<[2,4],bf16> {
  %one = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %0 = "torch.aten.addbmm"(%arg0, %arg1, %arg2, %one, %one) : (!torch.vtensor<[2,4],bf16>, !torch.vtensor<[2,2,3],bf16>, !torch.vtensor<[2,3,4],bf16>, !torch.int, !torch.int) -> !torch.vtensor<[2,4],bf16>
  return %0 : !torch.vtensor<[2,4],bf16>
}
