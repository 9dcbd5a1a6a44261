// Elementwise operations, types and simple operations: each rule rejects a violation with an error
// at the operation that names the rule.
// RUN: torch-lumo-opt %s -split-input-file -verify-diagnostics

func.func @f(%a: tensor<2x3xf32>, %b: tensor<4xf32>) {
  // expected-error @+1 {{operand #1 of type 'tensor<4xf32>' does not broadcast to the result type 'tensor<2x3xf32>'}}
  %0 = lumo.Add %a, %b : (tensor<2x3xf32>, tensor<4xf32>) -> tensor<2x3xf32>
  return
}

// -----
func.func @f(%a: tensor<2x3xf32>, %b: tensor<2x3xsi32>) {
  // expected-error @+1 {{requires the same element type for all operands and results}}
  %0 = lumo.Mul %a, %b : (tensor<2x3xf32>, tensor<2x3xsi32>) -> tensor<2x3xf32>
  return
}

// -----
func.func @f(%a: tensor<3xi1>) {
  // expected-error @+1 {{'lumo.Sub' op is not defined on i1}}
  %0 = lumo.Sub %a, %a : (tensor<3xi1>, tensor<3xi1>) -> tensor<3xi1>
  return
}

// -----
func.func @f(%a: tensor<2x3xsi32>) {
  // expected-error @+1 {{must be statically shaped tensor of f16, bf16, f32 or f64, with fewer than 2^63 elements, but got}}
  %0 = lumo.Exp %a : (tensor<2x3xsi32>) -> tensor<2x3xsi32>
  return
}

// -----
func.func @f(%a: tensor<2xf32>) {
  // expected-error @+1 {{must be statically shaped tensor of i1, si8, si16, si32, si64 or ui8, with fewer than 2^63 elements, but got}}
  %0 = lumo.And %a, %a : (tensor<2xf32>, tensor<2xf32>) -> tensor<2xf32>
  return
}

// -----
func.func @f(%a: tensor<?x3xf32>) {
  // expected-error @+1 {{must be statically shaped tensor}}
  %0 = lumo.Abs %a : (tensor<?x3xf32>) -> tensor<?x3xf32>
  return
}

// -----
func.func @f(%a: tensor<3xi32>) {
  // Signless integers other than i1 are not element types.
  // expected-error @+1 {{must be statically shaped tensor of f16, bf16, f32, f64, i1, si8, si16, si32, si64 or ui8, with fewer than 2^63 elements, but got}}
  %0 = lumo.Abs %a : (tensor<3xi32>) -> tensor<3xi32>
  return
}

// -----
func.func @f(%a: tensor<3xf32>) {
  // expected-error @+2 {{expected ::lumo::ComparisonDirection to be one of: EQ, NE, LT, LE, GT, GE}}
  // expected-error @+1 {{failed to parse Lumo_ComparisonDirectionAttr parameter 'value'}}
  %0 = lumo.Compare %a, %a {comparison_direction = #lumo.comparison_direction<LTE>} : (tensor<3xf32>, tensor<3xf32>) -> tensor<3xi1>
  return
}

// -----
func.func @f(%a: tensor<3xf32>, %b: tensor<3xf16>) {
  // expected-error @+1 {{all of {x, y} have same element type}}
  %0 = lumo.Compare %a, %b {comparison_direction = #lumo.comparison_direction<EQ>} : (tensor<3xf32>, tensor<3xf16>) -> tensor<3xi1>
  return
}

// -----
func.func @f(%c: tensor<3xi1>, %a: tensor<3xf32>, %b: tensor<3xf16>) {
  // expected-error @+1 {{all of {a, b, result} have same element type}}
  %0 = lumo.Select %c, %a, %b : (tensor<3xi1>, tensor<3xf32>, tensor<3xf16>) -> tensor<3xf32>
  return
}

// -----
func.func @f(%a: tensor<3xf32>) {
  // expected-error @+2 {{expected ::lumo::UnaryKind to be one of: neg, not, round, trunc, rsqrt}}
  // expected-error @+1 {{failed to parse Lumo_UnaryKindAttr parameter 'value'}}
  %0 = lumo.Unary %a {kind = #lumo.unary_kind<cbrt>} : (tensor<3xf32>) -> tensor<3xf32>
  return
}

// -----
func.func @f(%a: tensor<3xf32>) {
  // expected-error @+1 {{kind "isinf" gives an i1 result, got 'f32'}}
  %0 = lumo.Unary %a {kind = #lumo.unary_kind<isinf>} : (tensor<3xf32>) -> tensor<3xf32>
  return
}

// -----
func.func @f(%a: tensor<3xsi32>) {
  // expected-error @+1 {{kind "rsqrt" needs a floating-point operand}}
  %0 = lumo.Unary %a {kind = #lumo.unary_kind<rsqrt>} : (tensor<3xsi32>) -> tensor<3xsi32>
  return
}

// -----
func.func @f(%a: tensor<3xi1>) {
  // expected-error @+1 {{kind "neg" is not defined on i1}}
  %0 = lumo.Unary %a {kind = #lumo.unary_kind<neg>} : (tensor<3xi1>) -> tensor<3xi1>
  return
}

// -----
func.func @f(%a: tensor<3xf32>) {
  // expected-error @+1 {{kind "xor" needs integer or i1 operands}}
  %0 = lumo.Binary %a, %a {kind = #lumo.binary_kind<xor>} : (tensor<3xf32>, tensor<3xf32>) -> tensor<3xf32>
  return
}

// -----
func.func @f(%a: tensor<3xi1>) {
  // expected-error @+1 {{kind "shift_left" needs integer operands, got 'i1'}}
  %0 = lumo.Binary %a, %a {kind = #lumo.binary_kind<shift_left>} : (tensor<3xi1>, tensor<3xi1>) -> tensor<3xi1>
  return
}

// -----
func.func @f(%a: tensor<3xsi32>) {
  // expected-error @+1 {{kind "signbit" needs a floating-point operand}}
  %0 = lumo.Unary %a {kind = #lumo.unary_kind<signbit>} : (tensor<3xsi32>) -> tensor<3xi1>
  return
}

// -----
func.func @f(%a: tensor<3xf32>) {
  // expected-error @+2 {{expected ::lumo::GeluApproximation to be one of: none, tanh}}
  // expected-error @+1 {{failed to parse Lumo_GeluApproximationAttr parameter 'value'}}
  %0 = lumo.Gelu %a {approximation = #lumo.gelu_approximation<erf>} : (tensor<3xf32>) -> tensor<3xf32>
  return
}

// -----
func.func @f(%a: tensor<3xsi64>) {
  // expected-error @+1 {{extends to a wider integer type: 'si64' to 'si32' is not wider}}
  %0 = lumo.ExtSI %a : (tensor<3xsi64>) -> tensor<3xsi32>
  return
}

// -----
func.func @f(%a: tensor<3xf32>) {
  // expected-error @+1 {{requires the same shape for all operands and results}}
  %0 = lumo.Cast %a : (tensor<3xf32>) -> tensor<4xsi32>
  return
}

// -----
func.func @f() {
  // expected-error @+1 {{value type 'tensor<2xf32>' must equal the result type 'tensor<2xf64>'}}
  %0 = lumo.Const {value = dense<1.0> : tensor<2xf32>} : () -> tensor<2xf64>
  return
}

// -----
func.func @f(%w: tensor<3xf32>, %lr: tensor<1xf32>) {
  // expected-error @+1 {{lr must be 0-d, got 'tensor<1xf32>'}}
  %0 = lumo.GradientDescent %w, %lr, %w : (tensor<3xf32>, tensor<1xf32>, tensor<3xf32>) -> tensor<3xf32>
  return
}

// -----
func.func @f(%w: tensor<3xf32>, %s: tensor<f32>, %d: tensor<f16>) {
  // expected-error @+1 {{weight_decay must have the element type of var, 'f32'}}
  %0:3 = lumo.Adam %w, %w, %w, %s, %s, %s, %w, %d {beta1 = 0.9 : f64, beta2 = 0.999 : f64, one_minus_beta1 = 0.1 : f64, one_minus_beta2 = 0.001 : f64, epsilon = 1.0e-08 : f64} : (tensor<3xf32>, tensor<3xf32>, tensor<3xf32>, tensor<f32>, tensor<f32>, tensor<f32>, tensor<3xf32>, tensor<f16>) -> (tensor<3xf32>, tensor<3xf32>, tensor<3xf32>)
  return
}

// -----
func.func @f(%w: tensor<3xf32>, %m: tensor<4xf32>, %s: tensor<f32>) {
  // expected-error @+1 {{all of {var, m, v, grad, var_new, m_new, v_new} have same type}}
  %0:3 = lumo.Adam %w, %m, %w, %s, %s, %s, %w, %s {beta1 = 0.9 : f64, beta2 = 0.999 : f64, one_minus_beta1 = 0.1 : f64, one_minus_beta2 = 0.001 : f64, epsilon = 1.0e-08 : f64} : (tensor<3xf32>, tensor<4xf32>, tensor<3xf32>, tensor<f32>, tensor<f32>, tensor<f32>, tensor<3xf32>, tensor<f32>) -> (tensor<3xf32>, tensor<3xf32>, tensor<3xf32>)
  return
}

// -----
func.func @f(%s: tensor<1xsi64>) {
  // expected-error @+1 {{start must be 0-d}}
  %0 = lumo.Arange %s, %s, %s : (tensor<1xsi64>, tensor<1xsi64>, tensor<1xsi64>) -> tensor<4xsi64>
  return
}

// -----
func.func @f(%a: tensor<3xf32>) {
  // expected-error @+1 {{kind "polygamma" needs an order}}
  %0 = lumo.Unary %a {kind = #lumo.unary_kind<polygamma>} : (tensor<3xf32>) -> tensor<3xf32>
  return
}

// -----
func.func @f(%a: tensor<3xf32>) {
  // expected-error @+1 {{kind "i1e" takes no order}}
  %0 = lumo.Unary %a {kind = #lumo.unary_kind<i1e>, order = 1} : (tensor<3xf32>) -> tensor<3xf32>
  return
}

// -----
func.func @f(%a: tensor<3xf32>) {
  // expected-error @+1 {{kind "mvlgamma" needs an order of at least 1, got 0}}
  %0 = lumo.Unary %a {kind = #lumo.unary_kind<mvlgamma>, order = 0} : (tensor<3xf32>) -> tensor<3xf32>
  return
}

// -----
func.func @f(%a: tensor<3xf32>) {
  // expected-error @+1 {{kind "polygamma" needs an order of at least 0, got -1}}
  %0 = lumo.Unary %a {kind = #lumo.unary_kind<polygamma>, order = -1} : (tensor<3xf32>) -> tensor<3xf32>
  return
}

// -----
func.func @f(%a: tensor<3xbf16>) {
  // expected-error @+1 {{kind "bessel_j0" needs an f32 or f64 operand, got 'bf16'}}
  %0 = lumo.Unary %a {kind = #lumo.unary_kind<bessel_j0>} : (tensor<3xbf16>) -> tensor<3xbf16>
  return
}

// -----
func.func @f(%a: tensor<3xf32>) {
  // expected-error @+1 {{kind "frexp_exponent" gives an si32 result, got 'f32'}}
  %0 = lumo.Unary %a {kind = #lumo.unary_kind<frexp_exponent>} : (tensor<3xf32>) -> tensor<3xf32>
  return
}

// -----
func.func @f(%a: tensor<3xf32>) {
  // expected-error @+1 {{kind "gcd" needs integer operands, got 'f32'}}
  %0 = lumo.Binary %a, %a {kind = #lumo.binary_kind<gcd>} : (tensor<3xf32>, tensor<3xf32>) -> tensor<3xf32>
  return
}

// -----
func.func @f(%a: tensor<3xsi64>) {
  // expected-error @+1 {{kind "chebyshev_polynomial_t" needs floating-point operands, got 'si64'}}
  %0 = lumo.Binary %a, %a {kind = #lumo.binary_kind<chebyshev_polynomial_t>} : (tensor<3xsi64>, tensor<3xsi64>) -> tensor<3xsi64>
  return
}

// -----
func.func @f(%a: tensor<3xf16>) {
  // expected-error @+1 {{kind "zeta" needs f32 or f64 operands, got 'f16'}}
  %0 = lumo.Binary %a, %a {kind = #lumo.binary_kind<zeta>} : (tensor<3xf16>, tensor<3xf16>) -> tensor<3xf16>
  return
}
