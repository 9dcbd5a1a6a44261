// Complex element types and Fft: valid forms parse, verify and print back.
// RUN: torch-lumo-opt %s | torch-lumo-opt | FileCheck %s

// CHECK-LABEL: func.func @f
// CHECK: lumo.Fft %arg0 {fft_length = array<i64: 8>, fft_type = #lumo.fft_type<RFFT>} : (tensor<4x8xf32>) -> tensor<4x5xcomplex<f32>>
// CHECK: lumo.Fft %{{.*}} {fft_length = array<i64: 4, 5>, fft_type = #lumo.fft_type<IFFT>} : (tensor<4x5xcomplex<f32>>) -> tensor<4x5xcomplex<f32>>
// CHECK: lumo.Fft %{{.*}} {fft_length = array<i64: 8>, fft_type = #lumo.fft_type<IRFFT>} : (tensor<4x5xcomplex<f32>>) -> tensor<4x8xf32>
// CHECK: lumo.Real
// CHECK: lumo.Imag
// CHECK: lumo.Complex {{.*}} -> tensor<2x4x5xcomplex<f32>>
// CHECK: lumo.Add {{.*}} -> tensor<2x4x5xcomplex<f32>>
// CHECK: lumo.Cast {{.*}} -> tensor<2x4x5xcomplex<f64>>
// CHECK: lumo.Cast {{.*}} -> tensor<2x4x5xf64>
func.func @f(%a: tensor<4x8xf32>) -> (tensor<4x8xf32>, tensor<2x4x5xf64>) {
  %0 = lumo.Fft %a {fft_type = #lumo.fft_type<RFFT>, fft_length = array<i64: 8>} : (tensor<4x8xf32>) -> tensor<4x5xcomplex<f32>>
  %1 = lumo.Fft %0 {fft_type = #lumo.fft_type<IFFT>, fft_length = array<i64: 4, 5>} : (tensor<4x5xcomplex<f32>>) -> tensor<4x5xcomplex<f32>>
  %2 = lumo.Fft %1 {fft_type = #lumo.fft_type<IRFFT>, fft_length = array<i64: 8>} : (tensor<4x5xcomplex<f32>>) -> tensor<4x8xf32>
  %3 = lumo.Real %1 : (tensor<4x5xcomplex<f32>>) -> tensor<4x5xf32>
  %4 = lumo.Imag %1 : (tensor<4x5xcomplex<f32>>) -> tensor<4x5xf32>
  %5 = lumo.Complex %3, %4 : (tensor<4x5xf32>, tensor<4x5xf32>) -> tensor<2x4x5xcomplex<f32>>
  %6 = lumo.Add %5, %1 : (tensor<2x4x5xcomplex<f32>>, tensor<4x5xcomplex<f32>>) -> tensor<2x4x5xcomplex<f32>>
  %7 = lumo.Cast %6 : (tensor<2x4x5xcomplex<f32>>) -> tensor<2x4x5xcomplex<f64>>
  %8 = lumo.Cast %7 : (tensor<2x4x5xcomplex<f64>>) -> tensor<2x4x5xf64>
  return %2, %8 : tensor<4x8xf32>, tensor<2x4x5xf64>
}
