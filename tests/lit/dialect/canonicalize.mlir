// Folds and canonicalisation patterns of the lumo operations, each next to a case that must stay.
// RUN: torch-lumo-opt %s -canonicalize -split-input-file | FileCheck %s

// x + -0.0, x - 0.0, x * 1, 1 * x, x / 1 and an integer x + 0 are x. x + 0.0 is not (-0.0 + 0.0 is
// 0.0), nor is an identity that would change the result's shape.
// CHECK-LABEL: func.func @identities
// CHECK-DAG: %[[PZ:.*]] = lumo.Const {value = dense<0.000000e+00> : tensor<f32>}
// CHECK-DAG: %[[ONES:.*]] = lumo.Const {value = dense<1.000000e+00> : tensor<2x3xf32>}
// CHECK: %[[KEPT:.*]] = lumo.Add %arg0, %[[PZ]]
// CHECK: %[[WIDE:.*]] = lumo.Mul %arg0, %[[ONES]] : (tensor<3xf32>, tensor<2x3xf32>) -> tensor<2x3xf32>
// CHECK: return %arg0, %arg0, %arg0, %arg0, %arg0, %arg1, %[[KEPT]], %[[WIDE]]
func.func @identities(%x: tensor<3xf32>, %i: tensor<3xsi32>)
    -> (tensor<3xf32>, tensor<3xf32>, tensor<3xf32>, tensor<3xf32>, tensor<3xf32>, tensor<3xsi32>, tensor<3xf32>, tensor<2x3xf32>) {
  %nz = lumo.Const {value = dense<-0.0> : tensor<f32>} : () -> tensor<f32>
  %pz = lumo.Const {value = dense<0.0> : tensor<f32>} : () -> tensor<f32>
  %one = lumo.Const {value = dense<1.0> : tensor<f32>} : () -> tensor<f32>
  %ones = lumo.Const {value = dense<1.0> : tensor<2x3xf32>} : () -> tensor<2x3xf32>
  %iz = lumo.Const {value = dense<0> : tensor<si32>} : () -> tensor<si32>
  %0 = lumo.Add %x, %nz : (tensor<3xf32>, tensor<f32>) -> tensor<3xf32>
  %1 = lumo.Sub %x, %pz : (tensor<3xf32>, tensor<f32>) -> tensor<3xf32>
  %2 = lumo.Mul %x, %one : (tensor<3xf32>, tensor<f32>) -> tensor<3xf32>
  %3 = lumo.Mul %one, %x : (tensor<f32>, tensor<3xf32>) -> tensor<3xf32>
  %4 = lumo.Div %x, %one : (tensor<3xf32>, tensor<f32>) -> tensor<3xf32>
  %5 = lumo.Add %iz, %i : (tensor<si32>, tensor<3xsi32>) -> tensor<3xsi32>
  %6 = lumo.Add %x, %pz : (tensor<3xf32>, tensor<f32>) -> tensor<3xf32>
  %7 = lumo.Mul %x, %ones : (tensor<3xf32>, tensor<2x3xf32>) -> tensor<2x3xf32>
  return %0, %1, %2, %3, %4, %5, %6, %7 : tensor<3xf32>, tensor<3xf32>, tensor<3xf32>, tensor<3xf32>, tensor<3xf32>, tensor<3xsi32>, tensor<3xf32>, tensor<2x3xf32>
}

// -----
// Arithmetic on splats becomes a constant of the result's shape (the folded values of every element
// type are compared with eager PyTorch in tests/python/test_lumo_folds.py); an integer division by
// zero stays.
// CHECK-LABEL: func.func @splat_arithmetic
// CHECK-DAG: %[[F:.*]] = lumo.Const {value = dense<3.000000e-01> : tensor<2xf32>}
// CHECK-DAG: %[[SEVEN:.*]] = lumo.Const {value = dense<7> : tensor<si32>}
// CHECK-DAG: %[[ZERO:.*]] = lumo.Const {value = dense<0> : tensor<si32>}
// CHECK: %[[Z:.*]] = lumo.Div %[[SEVEN]], %[[ZERO]]
// CHECK: return %[[F]], %[[Z]]
func.func @splat_arithmetic() -> (tensor<2xf32>, tensor<si32>) {
  %a = lumo.Const {value = dense<0.1> : tensor<f32>} : () -> tensor<f32>
  %b = lumo.Const {value = dense<0.2> : tensor<2xf32>} : () -> tensor<2xf32>
  %0 = lumo.Add %a, %b : (tensor<f32>, tensor<2xf32>) -> tensor<2xf32>
  %seven = lumo.Const {value = dense<7> : tensor<si32>} : () -> tensor<si32>
  %zero = lumo.Const {value = dense<0> : tensor<si32>} : () -> tensor<si32>
  %1 = lumo.Div %seven, %zero : (tensor<si32>, tensor<si32>) -> tensor<si32>
  return %0, %1 : tensor<2xf32>, tensor<si32>
}

// -----
// Casts: to the operand's own type is the operand (constants fold as Tensor.to converts them,
// compared with eager PyTorch in tests/python/test_lumo_folds.py). A NaN cannot become an integer:
// that cast stays.
// CHECK-LABEL: func.func @casts
// CHECK-DAG: %[[NAN:.*]] = lumo.Const {value = dense<0x7FC00000> : tensor<f32>}
// CHECK: %[[KEPT:.*]] = lumo.Cast %[[NAN]] : (tensor<f32>) -> tensor<si32>
// CHECK: return %arg0, %[[KEPT]]
func.func @casts(%x: tensor<3xf32>) -> (tensor<3xf32>, tensor<si32>) {
  %0 = lumo.Cast %x : (tensor<3xf32>) -> tensor<3xf32>
  %nan = lumo.Const {value = dense<0x7FC00000> : tensor<f32>} : () -> tensor<f32>
  %1 = lumo.Cast %nan : (tensor<f32>) -> tensor<si32>
  return %0, %1 : tensor<3xf32>, tensor<si32>
}

// -----
// Transposes: the identity and a transpose undone are the operand; two become one with the
// composed permutation; moving only size-1 dimensions is a reshape; a splat is a constant, and so
// is a constant whose moved dimensions have size 1. Other constants are not permuted.
// CHECK-LABEL: func.func @transposes
// CHECK-DAG: %[[P:.*]] = lumo.Const {value = dense<[2, 0, 1]> : tensor<3xsi64>}
// CHECK-DAG: %[[S:.*]] = lumo.Const {value = dense<5.000000e+00> : tensor<3x2xf32>}
// CHECK-DAG: %[[COL:.*]] = lumo.Const {value = dense<{{\[\[}}1], [2], [3]]> : tensor<3x1xsi64>}
// CHECK-DAG: %[[M:.*]] = lumo.Const {value = dense<{{\[\[}}1, 2], [3, 4]]> : tensor<2x2xsi64>}
// CHECK: %[[T:.*]] = lumo.Transpose %arg0, %[[P]] : (tensor<2x3x4xf32>, tensor<3xsi64>) -> tensor<4x2x3xf32>
// CHECK: %[[R:.*]] = lumo.Reshape %arg1 : (tensor<1x5xf32>) -> tensor<5x1xf32>
// CHECK: %[[MT:.*]] = lumo.Transpose %[[M]]
// CHECK: return %arg0, %arg0, %[[T]], %[[R]], %[[S]], %[[COL]], %[[MT]]
func.func @transposes(%x: tensor<2x3x4xf32>, %u: tensor<1x5xf32>)
    -> (tensor<2x3x4xf32>, tensor<2x3x4xf32>, tensor<4x2x3xf32>, tensor<5x1xf32>, tensor<3x2xf32>, tensor<3x1xsi64>, tensor<2x2xsi64>) {
  %id = lumo.Const {value = dense<[0, 1, 2]> : tensor<3xsi64>} : () -> tensor<3xsi64>
  %0 = lumo.Transpose %x, %id : (tensor<2x3x4xf32>, tensor<3xsi64>) -> tensor<2x3x4xf32>
  %p = lumo.Const {value = dense<[1, 2, 0]> : tensor<3xsi64>} : () -> tensor<3xsi64>
  %q = lumo.Const {value = dense<[2, 0, 1]> : tensor<3xsi64>} : () -> tensor<3xsi64>
  %a = lumo.Transpose %x, %p : (tensor<2x3x4xf32>, tensor<3xsi64>) -> tensor<3x4x2xf32>
  %1 = lumo.Transpose %a, %q : (tensor<3x4x2xf32>, tensor<3xsi64>) -> tensor<2x3x4xf32>
  %b = lumo.Transpose %x, %p : (tensor<2x3x4xf32>, tensor<3xsi64>) -> tensor<3x4x2xf32>
  %2 = lumo.Transpose %b, %p : (tensor<3x4x2xf32>, tensor<3xsi64>) -> tensor<4x2x3xf32>
  %swap = lumo.Const {value = dense<[1, 0]> : tensor<2xsi64>} : () -> tensor<2xsi64>
  %3 = lumo.Transpose %u, %swap : (tensor<1x5xf32>, tensor<2xsi64>) -> tensor<5x1xf32>
  %five = lumo.Const {value = dense<5.0> : tensor<2x3xf32>} : () -> tensor<2x3xf32>
  %4 = lumo.Transpose %five, %swap : (tensor<2x3xf32>, tensor<2xsi64>) -> tensor<3x2xf32>
  %row = lumo.Const {value = dense<[[1, 2, 3]]> : tensor<1x3xsi64>} : () -> tensor<1x3xsi64>
  %5 = lumo.Transpose %row, %swap : (tensor<1x3xsi64>, tensor<2xsi64>) -> tensor<3x1xsi64>
  %m = lumo.Const {value = dense<[[1, 2], [3, 4]]> : tensor<2x2xsi64>} : () -> tensor<2x2xsi64>
  %6 = lumo.Transpose %m, %swap : (tensor<2x2xsi64>, tensor<2xsi64>) -> tensor<2x2xsi64>
  return %0, %1, %2, %3, %4, %5, %6 : tensor<2x3x4xf32>, tensor<2x3x4xf32>, tensor<4x2x3xf32>, tensor<5x1xf32>, tensor<3x2xf32>, tensor<3x1xsi64>, tensor<2x2xsi64>
}

// -----
// A transposed MatMul operand becomes its transpose flag; a product read only transposed is
// computed transposed, (a b)^T = b^T a^T. A product with another reader stays, and so does its
// transpose.
// CHECK-LABEL: func.func @matmul_transposes
// CHECK: %[[P0:.*]] = lumo.MatMul %arg0, %arg1 {transpose_a = true, transpose_b = false} : (tensor<3x2xf32>, tensor<3x4xf32>) -> tensor<2x4xf32>
// CHECK: %[[P1:.*]] = lumo.MatMul %arg2, %arg1 {transpose_a = true, transpose_b = true} : (tensor<4x2xf32>, tensor<3x4xf32>) -> tensor<2x3xf32>
// CHECK: %[[P2:.*]] = lumo.MatMul %arg1, %arg2 {transpose_a = false, transpose_b = false} : (tensor<3x4xf32>, tensor<4x2xf32>) -> tensor<3x2xf32>
// CHECK: %[[T2:.*]] = lumo.Transpose %[[P2]]
// CHECK: return %[[P0]], %[[P1]], %[[P2]], %[[T2]]
func.func @matmul_transposes(%a: tensor<3x2xf32>, %b: tensor<3x4xf32>, %c: tensor<4x2xf32>)
    -> (tensor<2x4xf32>, tensor<2x3xf32>, tensor<3x2xf32>, tensor<2x3xf32>) {
  %swap = lumo.Const {value = dense<[1, 0]> : tensor<2xsi64>} : () -> tensor<2xsi64>
  %at = lumo.Transpose %a, %swap : (tensor<3x2xf32>, tensor<2xsi64>) -> tensor<2x3xf32>
  %0 = lumo.MatMul %at, %b {transpose_a = false, transpose_b = false} : (tensor<2x3xf32>, tensor<3x4xf32>) -> tensor<2x4xf32>
  %p = lumo.MatMul %b, %c {transpose_a = false, transpose_b = false} : (tensor<3x4xf32>, tensor<4x2xf32>) -> tensor<3x2xf32>
  %1 = lumo.Transpose %p, %swap : (tensor<3x2xf32>, tensor<2xsi64>) -> tensor<2x3xf32>
  %q = lumo.MatMul %b, %c {transpose_a = false, transpose_b = false} : (tensor<3x4xf32>, tensor<4x2xf32>) -> tensor<3x2xf32>
  %qt = lumo.Transpose %q, %swap : (tensor<3x2xf32>, tensor<2xsi64>) -> tensor<2x3xf32>
  return %0, %1, %q, %qt : tensor<2x4xf32>, tensor<2x3xf32>, tensor<3x2xf32>, tensor<2x3xf32>
}

// -----
// A product of heads reshaped into one batch dimension is computed on the heads' batch shape: the
// other operand is split the same way and the reshapes between products fold away. A product that
// broadcasts stays.
// CHECK-LABEL: func.func @matmul_of_batch_reshapes
// CHECK: %[[T:.*]] = lumo.Transpose %arg0
// CHECK: %[[P:.*]] = lumo.MatMul %[[T]], %arg1 {transpose_a = false, transpose_b = true} : (tensor<2x3x4x5xf32>, tensor<2x3x6x5xf32>) -> tensor<2x3x4x6xf32>
// CHECK: %[[V:.*]] = lumo.Reshape %arg2 : (tensor<6x6x7xf32>) -> tensor<2x3x6x7xf32>
// CHECK: %[[Q:.*]] = lumo.MatMul %[[P]], %[[V]] {transpose_a = false, transpose_b = false} : (tensor<2x3x4x6xf32>, tensor<2x3x6x7xf32>) -> tensor<2x3x4x7xf32>
// CHECK: %[[B:.*]] = lumo.MatMul %{{.*}}, %arg3 {{.*}} : (tensor<6x4x5xf32>, tensor<1x5x2xf32>) -> tensor<6x4x2xf32>
// CHECK: return %[[Q]], %[[B]]
func.func @matmul_of_batch_reshapes(%x: tensor<2x4x3x5xf32>, %k: tensor<2x3x6x5xf32>, %v: tensor<6x6x7xf32>,
                                    %w: tensor<1x5x2xf32>) -> (tensor<2x3x4x7xf32>, tensor<6x4x2xf32>) {
  %perm = lumo.Const {value = dense<[0, 2, 1, 3]> : tensor<4xsi64>} : () -> tensor<4xsi64>
  %h = lumo.Transpose %x, %perm : (tensor<2x4x3x5xf32>, tensor<4xsi64>) -> tensor<2x3x4x5xf32>
  %q = lumo.Reshape %h : (tensor<2x3x4x5xf32>) -> tensor<6x4x5xf32>
  %k3 = lumo.Reshape %k : (tensor<2x3x6x5xf32>) -> tensor<6x6x5xf32>
  %s = lumo.MatMul %q, %k3 {transpose_a = false, transpose_b = true} : (tensor<6x4x5xf32>, tensor<6x6x5xf32>) -> tensor<6x4x6xf32>
  %o = lumo.MatMul %s, %v {transpose_a = false, transpose_b = false} : (tensor<6x4x6xf32>, tensor<6x6x7xf32>) -> tensor<6x4x7xf32>
  %o4 = lumo.Reshape %o : (tensor<6x4x7xf32>) -> tensor<2x3x4x7xf32>
  %b = lumo.MatMul %q, %w {transpose_a = false, transpose_b = false} : (tensor<6x4x5xf32>, tensor<1x5x2xf32>) -> tensor<6x4x2xf32>
  return %o4, %b : tensor<2x3x4x7xf32>, tensor<6x4x2xf32>
}

// -----
// Concatenated heads: operands that merge the same trailing dimensions into the last one are
// concatenated unmerged, along their first merged dimension, and merged once. Operands merging
// different dimensions, or a concatenation along an inner dimension, stay.
// CHECK-LABEL: func.func @concat_of_merged_dimensions
// CHECK: %[[J:.*]] = lumo.Concat %{{.*}}, %arg1, %arg2 {axis = 2 : i64} : (tensor<2x3x4x5xf32>, tensor<2x3x4x5xf32>, tensor<2x3x1x5xf32>) -> tensor<2x3x9x5xf32>
// CHECK: %[[M:.*]] = lumo.Reshape %[[J]] : (tensor<2x3x9x5xf32>) -> tensor<2x3x45xf32>
// CHECK: %[[K:.*]] = lumo.Concat {{.*}} {axis = 2 : i64} : (tensor<2x3x20xf32>, tensor<2x3x20xf32>) -> tensor<2x3x40xf32>
// CHECK: %[[I:.*]] = lumo.Concat {{.*}} {axis = 1 : i64} : (tensor<2x3x20xf32>, tensor<2x3x20xf32>) -> tensor<2x6x20xf32>
// CHECK: return %[[M]], %[[K]], %[[I]]
func.func @concat_of_merged_dimensions(%a: tensor<2x4x3x5xf32>, %b: tensor<2x3x4x5xf32>, %c: tensor<2x3x1x5xf32>,
                                       %d: tensor<2x3x5x4xf32>) -> (tensor<2x3x45xf32>, tensor<2x3x40xf32>, tensor<2x6x20xf32>) {
  %perm = lumo.Const {value = dense<[0, 2, 1, 3]> : tensor<4xsi64>} : () -> tensor<4xsi64>
  %t = lumo.Transpose %a, %perm : (tensor<2x4x3x5xf32>, tensor<4xsi64>) -> tensor<2x3x4x5xf32>
  %ta = lumo.Reshape %t : (tensor<2x3x4x5xf32>) -> tensor<2x3x20xf32>
  %mb = lumo.Reshape %b : (tensor<2x3x4x5xf32>) -> tensor<2x3x20xf32>
  %mc = lumo.Reshape %c : (tensor<2x3x1x5xf32>) -> tensor<2x3x5xf32>
  %md = lumo.Reshape %d : (tensor<2x3x5x4xf32>) -> tensor<2x3x20xf32>
  %0 = lumo.Concat %ta, %mb, %mc {axis = -1 : i64} : (tensor<2x3x20xf32>, tensor<2x3x20xf32>, tensor<2x3x5xf32>) -> tensor<2x3x45xf32>
  %1 = lumo.Concat %ta, %md {axis = 2 : i64} : (tensor<2x3x20xf32>, tensor<2x3x20xf32>) -> tensor<2x3x40xf32>
  %2 = lumo.Concat %ta, %mb {axis = 1 : i64} : (tensor<2x3x20xf32>, tensor<2x3x20xf32>) -> tensor<2x6x20xf32>
  return %0, %1, %2 : tensor<2x3x45xf32>, tensor<2x3x40xf32>, tensor<2x6x20xf32>
}

// -----
// Broadcasts, slices, concatenations and selects.
// CHECK-LABEL: func.func @shapes
// CHECK-DAG: %[[S:.*]] = lumo.Const {value = dense<2.000000e+00> : tensor<4x3xf32>}
// CHECK: %[[B:.*]] = lumo.BroadcastInDim %arg0 {broadcast_dimensions = array<i64: 1>} : (tensor<3xf32>) -> tensor<4x3xf32>
// CHECK: %[[SEL:.*]] = lumo.BroadcastInDim %arg0 {broadcast_dimensions = array<i64: 1>} : (tensor<3xf32>) -> tensor<2x3xf32>
// CHECK: %[[KEPT:.*]] = lumo.Select %arg2, %arg1, %arg1
// CHECK: return %arg0, %[[S]], %[[B]], %arg0, %arg0, %arg1, %[[SEL]], %[[KEPT]]
func.func @shapes(%x: tensor<3xf32>, %y: tensor<2x3xf32>, %c: tensor<2x3xi1>)
    -> (tensor<3xf32>, tensor<4x3xf32>, tensor<4x3xf32>, tensor<3xf32>, tensor<3xf32>, tensor<2x3xf32>, tensor<2x3xf32>, tensor<2x3xf32>) {
  %0 = lumo.BroadcastInDim %x {broadcast_dimensions = array<i64: 0>} : (tensor<3xf32>) -> tensor<3xf32>
  %two = lumo.Const {value = dense<2.0> : tensor<3xf32>} : () -> tensor<3xf32>
  %1 = lumo.BroadcastInDim %two {broadcast_dimensions = array<i64: 1>} : (tensor<3xf32>) -> tensor<4x3xf32>
  %2 = lumo.BroadcastInDim %x {broadcast_dimensions = array<i64: 1>} : (tensor<3xf32>) -> tensor<4x3xf32>
  %b0 = lumo.Const {value = dense<0> : tensor<1xsi64>} : () -> tensor<1xsi64>
  %n3 = lumo.Const {value = dense<3> : tensor<1xsi64>} : () -> tensor<1xsi64>
  %3 = lumo.Slice %x, %b0, %n3 : (tensor<3xf32>, tensor<1xsi64>, tensor<1xsi64>) -> tensor<3xf32>
  %4 = lumo.Concat %x {axis = 0 : i64} : (tensor<3xf32>) -> tensor<3xf32>
  %t = lumo.Const {value = dense<true> : tensor<i1>} : () -> tensor<i1>
  %5 = lumo.Select %t, %y, %x : (tensor<i1>, tensor<2x3xf32>, tensor<3xf32>) -> tensor<2x3xf32>
  %f = lumo.Const {value = dense<false> : tensor<i1>} : () -> tensor<i1>
  %6 = lumo.Select %f, %y, %x : (tensor<i1>, tensor<2x3xf32>, tensor<3xf32>) -> tensor<2x3xf32>
  %7 = lumo.Select %c, %y, %y : (tensor<2x3xi1>, tensor<2x3xf32>, tensor<2x3xf32>) -> tensor<2x3xf32>
  return %0, %1, %2, %3, %4, %5, %6, %7 : tensor<3xf32>, tensor<4x3xf32>, tensor<4x3xf32>, tensor<3xf32>, tensor<3xf32>, tensor<2x3xf32>, tensor<2x3xf32>, tensor<2x3xf32>
}

// -----
// A slice of a DynamicUpdateSlice at constant indices: exactly the update is the update, a block
// beside it reads the operand, an overlapping one stays.
// CHECK-LABEL: func.func @slice_of_update
// CHECK: %[[U:.*]] = lumo.DynamicUpdateSlice %arg0, %arg1
// CHECK: %[[BESIDE:.*]] = lumo.Slice %arg0
// CHECK: %[[OVER:.*]] = lumo.Slice %[[U]]
// CHECK: return %arg1, %[[BESIDE]], %[[OVER]]
func.func @slice_of_update(%x: tensor<6xf32>, %u: tensor<2xf32>) -> (tensor<2xf32>, tensor<2xf32>, tensor<2xf32>) {
  %i = lumo.Const {value = dense<1> : tensor<si64>} : () -> tensor<si64>
  %w = lumo.DynamicUpdateSlice %x, %u, %i : (tensor<6xf32>, tensor<2xf32>, tensor<si64>) -> tensor<6xf32>
  %n = lumo.Const {value = dense<2> : tensor<1xsi64>} : () -> tensor<1xsi64>
  %at1 = lumo.Const {value = dense<1> : tensor<1xsi64>} : () -> tensor<1xsi64>
  %at3 = lumo.Const {value = dense<3> : tensor<1xsi64>} : () -> tensor<1xsi64>
  %at2 = lumo.Const {value = dense<2> : tensor<1xsi64>} : () -> tensor<1xsi64>
  %0 = lumo.Slice %w, %at1, %n : (tensor<6xf32>, tensor<1xsi64>, tensor<1xsi64>) -> tensor<2xf32>
  %1 = lumo.Slice %w, %at3, %n : (tensor<6xf32>, tensor<1xsi64>, tensor<1xsi64>) -> tensor<2xf32>
  %2 = lumo.Slice %w, %at2, %n : (tensor<6xf32>, tensor<1xsi64>, tensor<1xsi64>) -> tensor<2xf32>
  return %0, %1, %2 : tensor<2xf32>, tensor<2xf32>, tensor<2xf32>
}
