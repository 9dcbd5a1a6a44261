// Complex element types and Fft: operations that take no complex tensors refuse them; Fft checks
// its element types and sizes against its fft_type and fft_length.
// RUN: torch-lumo-opt %s -split-input-file -verify-diagnostics

func.func @f(%a: tensor<3xcomplex<f32>>) {
  // expected-error @+1 {{must be statically shaped tensor of f16, bf16, f32 or f64, with fewer than 2^63 elements, but got 'tensor<3xcomplex<f32>>'}}
  %0 = lumo.Exp %a : (tensor<3xcomplex<f32>>) -> tensor<3xcomplex<f32>>
  return
}

// -----
func.func @f(%a: tensor<3xcomplex<f32>>) {
  // expected-error @+1 {{'lumo.Abs' op operand #0 must be statically shaped tensor of f16, bf16, f32, f64, i1, si8, si16, si32, si64 or ui8}}
  %0 = lumo.Abs %a : (tensor<3xcomplex<f32>>) -> tensor<3xcomplex<f32>>
  return
}

// -----
func.func @f(%a: tensor<4x8xf32>) {
  // expected-error @+1 {{FFT needs a complex operand, got 'f32'}}
  %0 = lumo.Fft %a {fft_type = #lumo.fft_type<FFT>, fft_length = array<i64: 8>} : (tensor<4x8xf32>) -> tensor<4x8xf32>
  return
}

// -----
func.func @f(%a: tensor<4x8xcomplex<f32>>) {
  // expected-error @+1 {{RFFT needs an f32 or f64 operand, got 'complex<f32>'}}
  %0 = lumo.Fft %a {fft_type = #lumo.fft_type<RFFT>, fft_length = array<i64: 8>} : (tensor<4x8xcomplex<f32>>) -> tensor<4x5xcomplex<f32>>
  return
}

// -----
func.func @f(%a: tensor<4x8xf64>) {
  // expected-error @+1 {{RFFT of 'f64' gives 'complex<f64>', not 'complex<f32>'}}
  %0 = lumo.Fft %a {fft_type = #lumo.fft_type<RFFT>, fft_length = array<i64: 8>} : (tensor<4x8xf64>) -> tensor<4x5xcomplex<f32>>
  return
}

// -----
func.func @f(%a: tensor<4x8xf32>) {
  // expected-error @+1 {{output shape [4, 8] must be [4, 5] (the operand's, the last size n / 2 + 1)}}
  %0 = lumo.Fft %a {fft_type = #lumo.fft_type<RFFT>, fft_length = array<i64: 8>} : (tensor<4x8xf32>) -> tensor<4x8xcomplex<f32>>
  return
}

// -----
func.func @f(%a: tensor<4x8xcomplex<f32>>) {
  // expected-error @+1 {{operand's innermost sizes [8] must be [6] (fft_length, the last one n / 2 + 1)}}
  %0 = lumo.Fft %a {fft_type = #lumo.fft_type<IRFFT>, fft_length = array<i64: 10>} : (tensor<4x8xcomplex<f32>>) -> tensor<4x10xf32>
  return
}

// -----
func.func @f(%a: tensor<4x6xcomplex<f32>>) {
  // expected-error @+1 {{output shape [4, 11] must be [4, 10] (the operand's, the last size fft_length's)}}
  %0 = lumo.Fft %a {fft_type = #lumo.fft_type<IRFFT>, fft_length = array<i64: 10>} : (tensor<4x6xcomplex<f32>>) -> tensor<4x11xf32>
  return
}

// -----
func.func @f(%a: tensor<4x8xcomplex<f32>>) {
  // expected-error @+1 {{operand's innermost sizes [4, 8] must be [4, 4] (fft_length)}}
  %0 = lumo.Fft %a {fft_type = #lumo.fft_type<IFFT>, fft_length = array<i64: 4, 4>} : (tensor<4x8xcomplex<f32>>) -> tensor<4x8xcomplex<f32>>
  return
}

// -----
func.func @f(%a: tensor<2x2x2x2xcomplex<f32>>) {
  // expected-error @+1 {{fft_length must have 1 to 3 entries, got [2, 2, 2, 2]}}
  %0 = lumo.Fft %a {fft_type = #lumo.fft_type<FFT>, fft_length = array<i64: 2, 2, 2, 2>} : (tensor<2x2x2x2xcomplex<f32>>) -> tensor<2x2x2x2xcomplex<f32>>
  return
}

// -----
func.func @f(%a: tensor<8xcomplex<f32>>) {
  // expected-error @+1 {{operand of rank 1 has fewer dimensions than fft_length [2, 4]}}
  %0 = lumo.Fft %a {fft_type = #lumo.fft_type<FFT>, fft_length = array<i64: 2, 4>} : (tensor<8xcomplex<f32>>) -> tensor<8xcomplex<f32>>
  return
}

// -----
func.func @f(%a: tensor<0xcomplex<f32>>) {
  // expected-error @+1 {{fft_length [0] must be at least 1}}
  %0 = lumo.Fft %a {fft_type = #lumo.fft_type<FFT>, fft_length = array<i64: 0>} : (tensor<0xcomplex<f32>>) -> tensor<0xcomplex<f32>>
  return
}

// -----
func.func @f(%a: tensor<3xcomplex<f64>>) {
  // expected-error @+1 {{result element type must be 'f64', the type of the parts of 'complex<f64>', got 'f32'}}
  %0 = lumo.Real %a : (tensor<3xcomplex<f64>>) -> tensor<3xf32>
  return
}

// -----
func.func @f(%a: tensor<3xbf16>) {
  // expected-error @+1 {{parts must be f32 or f64, got 'bf16'}}
  %0 = lumo.Complex %a, %a : (tensor<3xbf16>, tensor<3xbf16>) -> tensor<3xcomplex<f32>>
  return
}

// -----
func.func @f(%a: tensor<3xf32>, %b: tensor<2x3xf32>) {
  // expected-error @+1 {{result element type must be 'complex<f32>', got 'complex<f64>'}}
  %0 = lumo.Complex %a, %b : (tensor<3xf32>, tensor<2x3xf32>) -> tensor<2x3xcomplex<f64>>
  return
}
