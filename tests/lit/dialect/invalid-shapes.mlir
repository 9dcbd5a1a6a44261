// Shape operations, reductions and scans: each rule rejects a violation with an error at the
// operation that names the rule.
// RUN: torch-lumo-opt %s -split-input-file -verify-diagnostics

func.func @f(%x: tensor<2x6xf32>) {
  // expected-error @+1 {{keeps the number of elements: 'tensor<2x6xf32>' cannot become 'tensor<5x2xf32>'}}
  %0 = lumo.Reshape %x : (tensor<2x6xf32>) -> tensor<5x2xf32>
  return
}

// -----
func.func @f(%x: tensor<2x6xf32>) {
  %perm = lumo.Const {value = dense<[0, 0]> : tensor<2xsi64>} : () -> tensor<2xsi64>
  // expected-error @+1 {{perm [0, 0] names dimension 0 twice}}
  %0 = lumo.Transpose %x, %perm : (tensor<2x6xf32>, tensor<2xsi64>) -> tensor<6x2xf32>
  return
}

// -----
func.func @f(%x: tensor<2x6xf32>) {
  %perm = lumo.Const {value = dense<[1, 0]> : tensor<2xsi64>} : () -> tensor<2xsi64>
  // expected-error @+1 {{result shape [2, 6] must be [6, 2] (input dimensions in perm's order)}}
  %0 = lumo.Transpose %x, %perm : (tensor<2x6xf32>, tensor<2xsi64>) -> tensor<2x6xf32>
  return
}

// -----
func.func @f(%v: tensor<3xf32>) {
  // expected-error @+1 {{operand dimension 0 of size 3 must be 1 or equal result dimension 1 of size 6}}
  %0 = lumo.BroadcastInDim %v {broadcast_dimensions = array<i64: 1>} : (tensor<3xf32>) -> tensor<2x6xf32>
  return
}

// -----
func.func @f(%a: tensor<2x2xf32>, %b: tensor<3x2xf32>) {
  // expected-error @+1 {{operand #1 of type 'tensor<3x2xf32>' differs from the result outside axis 1}}
  %0 = lumo.Concat %a, %b {axis = 1 : i64} : (tensor<2x2xf32>, tensor<3x2xf32>) -> tensor<2x4xf32>
  return
}

// -----
func.func @f(%a: tensor<2x2xf32>) {
  // expected-error @+1 {{result size 5 along axis 0 must be the operands' total 4}}
  %0 = lumo.Concat %a, %a : (tensor<2x2xf32>, tensor<2x2xf32>) -> tensor<5x2xf32>
  return
}

// -----
func.func @f(%x: tensor<2x6xf32>) {
  // expected-error @+1 {{split_sizes [2, 3] must add up to the input's size 6 along axis 1}}
  %0:2 = lumo.Split %x {axis = -1 : i64, split_sizes = array<i64: 2, 3>} : (tensor<2x6xf32>) -> (tensor<2x2xf32>, tensor<2x3xf32>)
  return
}

// -----
func.func @f(%x: tensor<2x6xf32>) {
  // expected-error @+1 {{result #1 shape [2, 3] must be [2, 4] (split_sizes along axis)}}
  %0:2 = lumo.Split %x {axis = 1 : i64, split_sizes = array<i64: 2, 4>} : (tensor<2x6xf32>) -> (tensor<2x2xf32>, tensor<2x3xf32>)
  return
}

// -----
func.func @f(%x: tensor<2x6xf32>) {
  // expected-error @+1 {{result shape [4, 6] must be [2, 4, 6] (input shape times repeats)}}
  %0 = lumo.Repeat %x {repeats = array<i64: 2, 2, 1>} : (tensor<2x6xf32>) -> tensor<4x6xf32>
  return
}

// -----
func.func @f(%x: tensor<2x6xf32>) {
  // expected-error @+1 {{reads element 12 of an input of 12 elements}}
  %0 = lumo.AsStrided %x {size = array<i64: 2, 2>, stride = array<i64: 6, 1>, storage_offset = 5 : i64} : (tensor<2x6xf32>) -> tensor<2x2xf32>
  return
}

// -----
func.func @f(%x: tensor<2x6xf32>) {
  // expected-error @+1 {{result shape [3, 8] must be [3, 12] (low + high + size + interior padding)}}
  %0 = lumo.Pad %x {edge_padding_low = array<i64: 1, -1>, edge_padding_high = array<i64: 0, 2>, interior_padding = array<i64: 0, 1>} : (tensor<2x6xf32>) -> tensor<3x8xf32>
  return
}

// -----
func.func @f(%x: tensor<2x6xf32>) {
  // expected-error @+1 {{padding_mode "reflect" pads dimension 0 of size 2 by as much as its size or more}}
  %0 = lumo.Pad %x {edge_padding_low = array<i64: 2, 0>, edge_padding_high = array<i64: 0, 0>, interior_padding = array<i64: 0, 0>, padding_mode = #lumo.padding_mode<reflect>} : (tensor<2x6xf32>) -> tensor<4x6xf32>
  return
}

// -----
func.func @f(%x: tensor<2x6xf32>, %b: tensor<2xsi32>) {
  %size = lumo.Const {value = dense<[1, 3]> : tensor<2xsi32>} : () -> tensor<2xsi32>
  // expected-error @+1 {{result shape [1, 4] must be [1, 3] (the value of size)}}
  %0 = lumo.Slice %x, %b, %size : (tensor<2x6xf32>, tensor<2xsi32>, tensor<2xsi32>) -> tensor<1x4xf32>
  return
}

// -----
func.func @f(%x: tensor<4x6xf32>) {
  %b = lumo.Const {value = dense<[1, -1, 0]> : tensor<3xsi64>} : () -> tensor<3xsi64>
  %e = lumo.Const {value = dense<[4, 0, 1]> : tensor<3xsi64>} : () -> tensor<3xsi64>
  %s = lumo.Const {value = dense<[2, -2, 1]> : tensor<3xsi64>} : () -> tensor<3xsi64>
  // [1:4:2] keeps 2 rows, [-1:0:-2] keeps columns 5, 3, 1, the new axis adds a dimension of size 1.
  %0 = lumo.StridedSlice %x, %b, %e, %s {new_axis_mask = 4 : i64} : (tensor<4x6xf32>, tensor<3xsi64>, tensor<3xsi64>, tensor<3xsi64>) -> tensor<2x3x1xf32>
  // expected-error @+1 {{sliced shape [2, 3] must be [3, 1] (the slice specification)}}
  %1 = lumo.StridedSlice %x, %b, %e, %s {new_axis_mask = 4 : i64, shrink_axis_mask = 1 : i64} : (tensor<4x6xf32>, tensor<3xsi64>, tensor<3xsi64>, tensor<3xsi64>) -> tensor<2x3xf32>
  return
}

// -----
func.func @f(%x: tensor<4x6xf32>, %b: tensor<2xsi64>) {
  // expected-error @+1 {{ellipsis_mask 3 has more than one bit set}}
  %0 = lumo.StridedSlice %x, %b, %b, %b {ellipsis_mask = 3 : i64} : (tensor<4x6xf32>, tensor<2xsi64>, tensor<2xsi64>, tensor<2xsi64>) -> tensor<4x6xf32>
  return
}

// -----
func.func @f(%x: tensor<2x4xf32>, %u: tensor<2x2xf32>, %i: tensor<si64>) {
  // expected-error @+1 {{start_indices has 1 entries, expected 2 (one per dimension)}}
  %0 = lumo.DynamicUpdateSlice %x, %u, %i : (tensor<2x4xf32>, tensor<2x2xf32>, tensor<si64>) -> tensor<2x4xf32>
  return
}

// -----
func.func @f(%x: tensor<2x4xf32>) {
  // expected-error @+1 {{result must be [count, 2] of si64, got 'tensor<5x2xsi32>'}}
  %0 = lumo.NonZero %x : (tensor<2x4xf32>) -> tensor<5x2xsi32>
  return
}

// -----
func.func @f(%x: tensor<2x4xf32>) {
  // expected-error @+2 {{expected ::lumo::ReduceKind to be one of: sum, mean, max, min, prod, and, or, argmax, argmin}}
  // expected-error @+1 {{failed to parse Lumo_ReduceKindAttr parameter 'value'}}
  %0 = lumo.Reduce %x {dimensions = array<i64: 1>, reduce_kind = #lumo.reduce_kind<avg>} : (tensor<2x4xf32>) -> tensor<2xf32>
  return
}

// -----
func.func @f(%x: tensor<2x4xf32>) {
  // expected-error @+1 {{result shape [2] must be [2, 1] (reduced dimensions kept with size 1)}}
  %0 = lumo.Reduce %x {dimensions = array<i64: -1>, keep_dims = true, reduce_kind = #lumo.reduce_kind<max>} : (tensor<2x4xf32>) -> tensor<2xf32>
  return
}

// -----
func.func @f(%x: tensor<2x4xf32>) {
  // expected-error @+1 {{reduce_kind "argmax" takes exactly one dimension, got [0, 1]}}
  %0 = lumo.Reduce %x {dimensions = array<i64: 0, 1>, reduce_kind = #lumo.reduce_kind<argmax>} : (tensor<2x4xf32>) -> tensor<si64>
  return
}

// -----
func.func @f(%x: tensor<2x4xf32>) {
  // expected-error @+1 {{reduce_kind "argmin" gives si64 indices, got 'f32'}}
  %0 = lumo.Reduce %x {dimensions = array<i64: 1>, reduce_kind = #lumo.reduce_kind<argmin>} : (tensor<2x4xf32>) -> tensor<2xf32>
  return
}

// -----
func.func @f(%x: tensor<2x4xf32>) {
  // expected-error @+1 {{reduce_kind "and" gives an i1 result}}
  %0 = lumo.Reduce %x {dimensions = array<i64: 1>, reduce_kind = #lumo.reduce_kind<and>} : (tensor<2x4xf32>) -> tensor<2xf32>
  return
}

// -----
func.func @f(%x: tensor<2x4xf32>) {
  // An empty list of dimensions means all of them.
  %0 = lumo.L2Norm %x {dims = array<i64>} : (tensor<2x4xf32>) -> tensor<f32>
  // expected-error @+1 {{result shape [2] must be [4] (reduced dimensions removed)}}
  %1 = lumo.L2Norm %x {dims = array<i64: 0>} : (tensor<2x4xf32>) -> tensor<2xf32>
  return
}

// -----
func.func @f(%x: tensor<2x4xf32>) {
  // expected-error @+1 {{k 5 must lie in [0, 4]}}
  %0:2 = lumo.TopK %x {k = 5 : i64, dimension = -1 : i64} : (tensor<2x4xf32>) -> (tensor<2x5xf32>, tensor<2x5xsi64>)
  return
}

// -----
func.func @f(%x: tensor<2x4xf32>) {
  // expected-error @+1 {{stable needs sorted}}
  %0:2 = lumo.TopK %x {k = 2 : i64, dimension = -1 : i64, sorted = false, stable = true} : (tensor<2x4xf32>) -> (tensor<2x2xf32>, tensor<2x2xsi64>)
  return
}

// -----
func.func @f(%x: tensor<2x4xf32>) {
  // expected-error @+1 {{axis -3 is out of range for rank 2}}
  %0 = lumo.CumSum %x {axis = -3 : i64} : (tensor<2x4xf32>) -> tensor<2x4xf32>
  return
}

// -----
func.func @f(%x: tensor<2x4xf32>, %b: tensor<2xf32>) {
  // expected-error @+1 {{bias shape [2] must be [4] (one value along dim)}}
  %0 = lumo.BiasAdd %x, %b {dim = -1 : i64} : (tensor<2x4xf32>, tensor<2xf32>) -> tensor<2x4xf32>
  return
}
