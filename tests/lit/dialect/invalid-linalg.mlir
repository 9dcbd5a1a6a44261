// Factorisations and triangular solves: each rule rejects a violation with an error at the
// operation that names the rule.
// RUN: torch-lumo-opt %s -split-input-file -verify-diagnostics

func.func @f(%a: tensor<3x4xf32>) {
  // expected-error @+1 {{operand must hold square matrices [..., n, n], got 'tensor<3x4xf32>'}}
  %0 = lumo.Cholesky %a : (tensor<3x4xf32>) -> tensor<3x4xf32>
  return
}

// -----
func.func @f(%a: tensor<3x3xbf16>) {
  // expected-error @+1 {{operand must be f32 or f64, got 'bf16'}}
  %0 = lumo.Cholesky %a : (tensor<3x3xbf16>) -> tensor<3x3xbf16>
  return
}

// -----
func.func @f(%a: tensor<3xf32>) {
  // expected-error @+1 {{operand must hold matrices [..., m, n], got 'tensor<3xf32>'}}
  %0:3 = lumo.Lu %a : (tensor<3xf32>) -> (tensor<3xf32>, tensor<si32>, tensor<si32>)
  return
}

// -----
func.func @f(%a: tensor<2x3x3xf32>) {
  // expected-error @+1 {{pivots shape [3] must be [2, 3] (one entry per row of U)}}
  %0:3 = lumo.Lu %a : (tensor<2x3x3xf32>) -> (tensor<2x3x3xf32>, tensor<3xsi32>, tensor<2x3xsi32>)
  return
}

// -----
func.func @f(%a: tensor<4x2xf32>) {
  // A tall matrix: two pivots, four rows to order.
  %0:3 = lumo.Lu %a : (tensor<4x2xf32>) -> (tensor<4x2xf32>, tensor<2xsi32>, tensor<4xsi32>)
  // expected-error @+1 {{permutation shape [2] must be [4] (one entry per row)}}
  %1:3 = lumo.Lu %a : (tensor<4x2xf32>) -> (tensor<4x2xf32>, tensor<2xsi32>, tensor<2xsi32>)
  return
}

// -----
func.func @f(%a: tensor<3x3xf32>) {
  // expected-error @+1 {{pivots and permutation must be si32, got 'si64' and 'si64'}}
  %0:3 = lumo.Lu %a : (tensor<3x3xf32>) -> (tensor<3x3xf32>, tensor<3xsi64>, tensor<3xsi64>)
  return
}

// -----
func.func @f(%a: tensor<3x3xf32>) {
  // expected-error @+1 {{lu must have the operand's type 'tensor<3x3xf32>', got 'tensor<3x3xf64>'}}
  %0:3 = lumo.Lu %a : (tensor<3x3xf32>) -> (tensor<3x3xf64>, tensor<3xsi32>, tensor<3xsi32>)
  return
}

// -----
func.func @f(%a: tensor<2x3x3xf32>, %b: tensor<3x3x4xf32>) {
  // expected-error @+1 {{b must have the batch dimensions of a [2], got 'tensor<3x3x4xf32>'}}
  %0 = lumo.TriangularSolve %a, %b {left_side = true, lower = true, unit_diagonal = false, transpose_a = #lumo.transpose<NO_TRANSPOSE>} : (tensor<2x3x3xf32>, tensor<3x3x4xf32>) -> tensor<3x3x4xf32>
  return
}

// -----
func.func @f(%a: tensor<3x3xf32>, %b: tensor<3x4xf32>) {
  // x a = b needs b's columns to match a.
  // expected-error @+1 {{b's columns (4) must match the order 3 of a}}
  %0 = lumo.TriangularSolve %a, %b {left_side = false, lower = true, unit_diagonal = false, transpose_a = #lumo.transpose<TRANSPOSE>} : (tensor<3x3xf32>, tensor<3x4xf32>) -> tensor<3x4xf32>
  return
}

// -----
func.func @f(%a: tensor<3x3xf32>, %b: tensor<3x4xf64>) {
  // expected-error @+1 {{failed to verify that all of {a, b} have same element type}}
  %0 = lumo.TriangularSolve %a, %b {left_side = true, lower = true, unit_diagonal = false, transpose_a = #lumo.transpose<NO_TRANSPOSE>} : (tensor<3x3xf32>, tensor<3x4xf64>) -> tensor<3x4xf64>
  return
}

