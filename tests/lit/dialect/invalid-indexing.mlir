// Contractions, gathers, scatters and cross entropy: each rule rejects a violation with an error at
// the operation that names the rule.
// RUN: torch-lumo-opt %s -split-input-file -verify-diagnostics

func.func @f(%a: tensor<2x3xf32>, %b: tensor<4x5xf32>) {
  // expected-error @+1 {{contracting sizes differ: 3 (a) and 4 (b)}}
  %0 = lumo.MatMul %a, %b {transpose_a = false, transpose_b = false} : (tensor<2x3xf32>, tensor<4x5xf32>) -> tensor<2x5xf32>
  return
}

// -----
func.func @f(%a: tensor<3x2xf32>, %b: tensor<5x3xf32>) {
  // Both transposes: [2, 3] x [3, 5].
  %0 = lumo.MatMul %a, %b {transpose_a = true, transpose_b = true} : (tensor<3x2xf32>, tensor<5x3xf32>) -> tensor<2x5xf32>
  // expected-error @+1 {{result shape [3, 5] must be [2, 5] (broadcast batch dimensions, then M and N)}}
  %1 = lumo.MatMul %a, %b {transpose_a = true, transpose_b = true} : (tensor<3x2xf32>, tensor<5x3xf32>) -> tensor<3x5xf32>
  return
}

// -----
func.func @f(%a: tensor<2x1x2x3xf32>, %b: tensor<4x3x5xf32>, %c: tensor<2x3x2x3xf32>) {
  %0 = lumo.MatMul %a, %b {transpose_a = false, transpose_b = false} : (tensor<2x1x2x3xf32>, tensor<4x3x5xf32>) -> tensor<2x4x2x5xf32>
  // expected-error @+1 {{batch dimensions [2, 3] and [4] do not broadcast}}
  %1 = lumo.MatMul %c, %b {transpose_a = false, transpose_b = false} : (tensor<2x3x2x3xf32>, tensor<4x3x5xf32>) -> tensor<2x4x2x5xf32>
  return
}

// -----
func.func @f(%a: tensor<4x2x3xf32>, %b: tensor<4x5x2xf32>) {
  // expected-error @+1 {{contracting dimensions 2 (lhs, size 3) and 1 (rhs, size 5) differ in size}}
  %0 = lumo.DotGeneral %a, %b {lhs_batching_dimensions = array<i64: 0>, rhs_batching_dimensions = array<i64: 0>, lhs_contracting_dimensions = array<i64: 2>, rhs_contracting_dimensions = array<i64: 1>} : (tensor<4x2x3xf32>, tensor<4x5x2xf32>) -> tensor<4x2x2xf32>
  return
}

// -----
func.func @f(%a: tensor<4x2x3xf32>, %b: tensor<3x7xf32>) {
  // expected-error @+1 {{result shape [4, 7, 2] must be [4, 2, 7] (batch, then lhs free, then rhs free dimensions)}}
  %0 = lumo.DotGeneral %a, %b {lhs_batching_dimensions = array<i64>, rhs_batching_dimensions = array<i64>, lhs_contracting_dimensions = array<i64: 2>, rhs_contracting_dimensions = array<i64: 0>} : (tensor<4x2x3xf32>, tensor<3x7xf32>) -> tensor<4x7x2xf32>
  return
}

// -----
func.func @f(%t: tensor<5x4xf32>, %i: tensor<2x3xsi64>) {
  // expected-error @+1 {{result shape [2, 3] must be [5, 2, 3] (input[:axis] + gather_indices[batch_dims:] + input[axis+1:])}}
  %0 = lumo.Gather %t, %i {axis = -1 : i64} : (tensor<5x4xf32>, tensor<2x3xsi64>) -> tensor<2x3xf32>
  return
}

// -----
func.func @f(%t: tensor<5x4xf32>, %i: tensor<4x2xsi64>) {
  // expected-error @+1 {{the first 1 dimensions of gather_indices [4, 2] must equal those of input [5, 4]}}
  %0 = lumo.Gather %t, %i {axis = 1 : i64, batch_dims = 1 : i64} : (tensor<5x4xf32>, tensor<4x2xsi64>) -> tensor<5x2xf32>
  return
}

// -----
func.func @f(%t: tensor<5x4xf32>, %i: tensor<5x2xsi64>) {
  // expected-error @+1 {{batch_dims 2 must lie in [0, min(axis, rank of gather_indices)]}}
  %0 = lumo.Gather %t, %i {axis = 1 : i64, batch_dims = 2 : i64} : (tensor<5x4xf32>, tensor<5x2xsi64>) -> tensor<5x2xf32>
  return
}

// -----
func.func @f(%t: tensor<5x4xf32>, %i: tensor<3x3xsi32>) {
  // expected-error @+1 {{index vectors of length 3 after 0 batch dimensions address more than the input's rank 2}}
  %0 = lumo.GatherNd %t, %i : (tensor<5x4xf32>, tensor<3x3xsi32>) -> tensor<3xf32>
  return
}

// -----
func.func @f(%t: tensor<5x4xf32>, %i: tensor<3x1xsi32>) {
  // expected-error @+1 {{result shape [3] must be [3, 4] (indices[:-1] + input[start_dim + K:])}}
  %0 = lumo.GatherNd %t, %i : (tensor<5x4xf32>, tensor<3x1xsi32>) -> tensor<3xf32>
  return
}

// -----
func.func @f(%i: tensor<3x1xsi32>, %u: tensor<3xf32>) {
  %shape = lumo.Const {value = dense<[5, 4]> : tensor<2xsi64>} : () -> tensor<2xsi64>
  // expected-error @+1 {{updates shape [3] must be [3, 4] (indices[:-1] + result[K:])}}
  %0 = lumo.ScatterNd %i, %u, %shape : (tensor<3x1xsi32>, tensor<3xf32>, tensor<2xsi64>) -> tensor<5x4xf32>
  return
}

// -----
func.func @f(%i: tensor<3x2xsi32>, %u: tensor<3xf32>) {
  %shape = lumo.Const {value = dense<[5, 5]> : tensor<2xsi64>} : () -> tensor<2xsi64>
  // expected-error @+1 {{result shape [5, 4] must be [5, 5] (the value of shape)}}
  %0 = lumo.ScatterNd %i, %u, %shape : (tensor<3x2xsi32>, tensor<3xf32>, tensor<2xsi64>) -> tensor<5x4xf32>
  return
}

// -----
func.func @f(%t: tensor<5x4xf32>, %i: tensor<6x2xsi64>, %u: tensor<6x2xf32>) {
  // expected-error @+1 {{indices [6, 2] exceed init [5, 4] in dimension 0}}
  %0 = lumo.Scatter %t, %i, %u {axis = 1 : i64} : (tensor<5x4xf32>, tensor<6x2xsi64>, tensor<6x2xf32>) -> tensor<5x4xf32>
  return
}

// -----
func.func @f(%i: tensor<3xsi64>, %d: tensor<si64>, %v: tensor<f32>, %axis: tensor<si64>) {
  // expected-error @+1 {{axis must be produced by lumo.Const}}
  %0 = lumo.OneHot %i, %d, %v, %v, %axis : (tensor<3xsi64>, tensor<si64>, tensor<f32>, tensor<f32>, tensor<si64>) -> tensor<3x4xf32>
  return
}

// -----
func.func @f(%i: tensor<3xsi64>, %v: tensor<f32>) {
  %depth = lumo.Const {value = dense<5> : tensor<si64>} : () -> tensor<si64>
  %axis = lumo.Const {value = dense<0> : tensor<si64>} : () -> tensor<si64>
  // expected-error @+1 {{num_class 5 differs from the result's size 4 at axis}}
  %0 = lumo.OneHot %i, %depth, %v, %v, %axis : (tensor<3xsi64>, tensor<si64>, tensor<f32>, tensor<f32>, tensor<si64>) -> tensor<4x3xf32>
  return
}

// -----
func.func @f(%x: tensor<5x4xf32>, %l: tensor<4xsi64>) {
  // expected-error @+1 {{sparse_labels shape [4] must be [5] (features without axis)}}
  %0:2 = lumo.SparseSoftmaxCrossEntropyWithLogits %x, %l : (tensor<5x4xf32>, tensor<4xsi64>) -> (tensor<5xf32>, tensor<5x4xf32>)
  return
}

// -----
func.func @f(%x: tensor<5x4xf32>) {
  // expected-error @+1 {{loss shape [5] must be [4] (features without axis)}}
  %0:2 = lumo.SoftmaxCrossEntropyWithLogits %x, %x {axis = 0 : i64} : (tensor<5x4xf32>, tensor<5x4xf32>) -> (tensor<5xf32>, tensor<5x4xf32>)
  return
}
