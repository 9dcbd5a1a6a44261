// Singular value, QR and symmetric eigenvalue decompositions: each rule rejects a violation with an
// error at the operation that names the rule.
// RUN: torch-lumo-opt %s -split-input-file -verify-diagnostics

func.func @f(%a: tensor<3xf32>) {
  // expected-error @+1 {{operand must hold matrices [..., m, n], got 'tensor<3xf32>'}}
  %0:3 = lumo.Svd %a : (tensor<3xf32>) -> (tensor<3x3xf32>, tensor<3xf32>, tensor<3x3xf32>)
  return
}

// -----
func.func @f(%a: tensor<3x4xbf16>) {
  // expected-error @+1 {{operand must be f32 or f64, got 'bf16'}}
  %0:3 = lumo.Svd %a : (tensor<3x4xbf16>) -> (tensor<3x3xbf16>, tensor<3xbf16>, tensor<3x4xbf16>)
  return
}

// -----
func.func @f(%a: tensor<3x4xf32>) {
  // expected-error @+1 {{result #1 must have the operand's element type 'f32', got 'f64'}}
  %0:3 = lumo.Svd %a : (tensor<3x4xf32>) -> (tensor<3x3xf32>, tensor<3xf64>, tensor<3x4xf32>)
  return
}

// -----
func.func @f(%a: tensor<2x3x4xf32>) {
  // expected-error @+1 {{s shape [3] must be [2, 3] (min(m, n) values per matrix)}}
  %0:3 = lumo.Svd %a : (tensor<2x3x4xf32>) -> (tensor<2x3x3xf32>, tensor<3xf32>, tensor<2x3x4xf32>)
  return
}

// -----
func.func @f(%a: tensor<3x4xf32>) {
  // expected-error @+1 {{vh shape [3, 4] must be [4, 4] ([..., n, n] with full_matrices)}}
  %0:3 = lumo.Svd %a {full_matrices = true} : (tensor<3x4xf32>) -> (tensor<3x3xf32>, tensor<3xf32>, tensor<3x4xf32>)
  return
}

// -----
func.func @f(%a: tensor<5x2xf32>) {
  // expected-error @+1 {{u shape [5, 5] must be [5, 2] ([..., m, min(m, n)])}}
  %0:3 = lumo.Svd %a : (tensor<5x2xf32>) -> (tensor<5x5xf32>, tensor<2xf32>, tensor<2x2xf32>)
  return
}

// -----
func.func @f(%a: tensor<3x4xf32>) {
  // expected-error @+1 {{u shape [3, 3] must be [0] (empty with values_only)}}
  %0:3 = lumo.Svd %a {values_only = true} : (tensor<3x4xf32>) -> (tensor<3x3xf32>, tensor<3xf32>, tensor<0xf32>)
  return
}

// -----
func.func @f(%a: tensor<5x3xf32>) {
  // expected-error @+1 {{q shape [5, 5] must be [5, 3] ([..., m, min(m, n)] in reduced mode)}}
  %0:2 = lumo.Qr %a {mode = #lumo.qr_mode<reduced>} : (tensor<5x3xf32>) -> (tensor<5x5xf32>, tensor<5x3xf32>)
  return
}

// -----
func.func @f(%a: tensor<5x3xf32>) {
  // expected-error @+1 {{r shape [3, 3] must be [5, 3] ([..., m, n] in complete mode)}}
  %0:2 = lumo.Qr %a {mode = #lumo.qr_mode<complete>} : (tensor<5x3xf32>) -> (tensor<5x5xf32>, tensor<3x3xf32>)
  return
}

// -----
func.func @f(%a: tensor<5x3xsi64>) {
  // expected-error @+1 {{operand #0 must be statically shaped tensor of f16, bf16, f32 or f64}}
  %0:2 = lumo.Qr %a {mode = #lumo.qr_mode<reduced>} : (tensor<5x3xsi64>) -> (tensor<5x3xsi64>, tensor<3x3xsi64>)
  return
}

// -----
func.func @f(%a: tensor<3x4xf64>) {
  // expected-error @+1 {{operand must hold square matrices [..., n, n], got 'tensor<3x4xf64>'}}
  %0:2 = lumo.Eigh %a {triangle = #lumo.triangle<lower>} : (tensor<3x4xf64>) -> (tensor<3xf64>, tensor<3x4xf64>)
  return
}

// -----
func.func @f(%a: tensor<2x3x3xf64>) {
  // expected-error @+1 {{eigenvalues shape [3] must be [2, 3] (n values per matrix)}}
  %0:2 = lumo.Eigh %a {triangle = #lumo.triangle<upper>} : (tensor<2x3x3xf64>) -> (tensor<3xf64>, tensor<2x3x3xf64>)
  return
}

// -----
func.func @f(%a: tensor<3x3xf64>) {
  // expected-error @+1 {{eigenvectors shape [3, 3] must be [0] (empty with values_only)}}
  %0:2 = lumo.Eigh %a {triangle = #lumo.triangle<lower>, values_only = true} : (tensor<3x3xf64>) -> (tensor<3xf64>, tensor<3x3xf64>)
  return
}

// -----
func.func @f(%a: tensor<3x4xf32>) {
  // expected-error @+1 {{operand must hold square matrices [..., n, n], got 'tensor<3x4xf32>'}}
  %0:2 = lumo.Eig %a : (tensor<3x4xf32>) -> (tensor<3xcomplex<f32>>, tensor<3x4xcomplex<f32>>)
  return
}

// -----
func.func @f(%a: tensor<3x3xf64>) {
  // expected-error @+1 {{result #0 must be 'complex<f64>', got 'complex<f32>'}}
  %0:2 = lumo.Eig %a : (tensor<3x3xf64>) -> (tensor<3xcomplex<f32>>, tensor<3x3xcomplex<f64>>)
  return
}

// -----
func.func @f(%a: tensor<2x3x3xf32>) {
  // expected-error @+1 {{eigenvalues shape [3] must be [2, 3] (n values per matrix)}}
  %0:2 = lumo.Eig %a : (tensor<2x3x3xf32>) -> (tensor<3xcomplex<f32>>, tensor<2x3x3xcomplex<f32>>)
  return
}

// -----
func.func @f(%a: tensor<3x3xf32>) {
  // expected-error @+1 {{eigenvectors shape [3, 3] must be [0] (empty with values_only)}}
  %0:2 = lumo.Eig %a {values_only = true} : (tensor<3x3xf32>) -> (tensor<3xcomplex<f32>>, tensor<3x3xcomplex<f32>>)
  return
}
