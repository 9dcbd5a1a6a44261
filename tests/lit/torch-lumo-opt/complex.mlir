// Complex numbers and Fourier transforms: PyTorch's FFT operators become lumo.Fft with the
// transformed dimensions moved innermost and PyTorch's normalisation as a multiplication; complex
// values from and to their parts.
// RUN: torch-lumo-opt %s -split-input-file -refine-types -torch-to-lumo-pipeline | FileCheck %s
// RUN: torch-lumo-opt %s -split-input-file -refine-types -convert-torch-to-lumo=families=complex,shape,elementwise -canonicalize -cse | FileCheck %s

// An inverse transform over dimensions 0 and 1, orthonormal: moved innermost, IFFT (divides by
// n = 24), back, times sqrt(24).
// CHECK-LABEL: func.func @main
// CHECK-DAG: %[[ROOT:.*]] = lumo.Const {value = dense<(4.89897966,0.000000e+00)> : tensor<complex<f32>>}
// CHECK-DAG: %[[BACK:.*]] = lumo.Const {value = dense<[1, 2, 0]> : tensor<3xsi64>}
// CHECK-DAG: %[[IN:.*]] = lumo.Const {value = dense<[2, 0, 1]> : tensor<3xsi64>}
// CHECK: %[[T:.*]] = lumo.Transpose %arg0, %[[IN]] : (tensor<4x6x3xcomplex<f32>>, tensor<3xsi64>) -> tensor<3x4x6xcomplex<f32>>
// CHECK: %[[F:.*]] = lumo.Fft %[[T]] {fft_length = array<i64: 4, 6>, fft_type = #lumo.fft_type<IFFT>} : (tensor<3x4x6xcomplex<f32>>) -> tensor<3x4x6xcomplex<f32>>
// CHECK: %[[B:.*]] = lumo.Transpose %[[F]], %[[BACK]]
// CHECK: lumo.Mul %[[B]], %[[ROOT]] : (tensor<4x6x3xcomplex<f32>>, tensor<complex<f32>>) -> tensor<4x6x3xcomplex<f32>>
func.func @main(%arg0: !torch.vtensor<[4,6,3],complex<f32>>) -> !torch.vtensor<[4,6,3],complex<f32>> {
  %int0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %int1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %dims = "torch.prim.ListConstruct"(%int0, %int1) : (!torch.int, !torch.int) -> !torch.list<int>
  %0 = "torch.aten._fft_c2c"(%arg0, %dims, %int1, %false) : (!torch.vtensor<[4,6,3],complex<f32>>, !torch.list<int>, !torch.int, !torch.bool) -> !torch.vtensor<[4,6,3],complex<f32>>
  return %0 : !torch.vtensor<[4,6,3],complex<f32>>
}


// -----
// One-sided: RFFT, unnormalised. Two-sided: the data made complex, FFT, divided by n ("forward").
// CHECK-LABEL: func.func @main
// CHECK-DAG: %[[N:.*]] = lumo.Const {value = dense<(1.250000e-01,0.000000e+00)> : tensor<complex<f64>>}
// CHECK-DAG: %[[R:.*]] = lumo.Fft %arg0 {fft_length = array<i64: 8>, fft_type = #lumo.fft_type<RFFT>} : (tensor<3x8xf64>) -> tensor<3x5xcomplex<f64>>
// CHECK-DAG: %[[C:.*]] = lumo.Cast %arg0 : (tensor<3x8xf64>) -> tensor<3x8xcomplex<f64>>
// CHECK: %[[F:.*]] = lumo.Fft %[[C]] {fft_length = array<i64: 8>, fft_type = #lumo.fft_type<FFT>} : (tensor<3x8xcomplex<f64>>) -> tensor<3x8xcomplex<f64>>
// CHECK: %[[S:.*]] = lumo.Mul %[[F]], %[[N]]
// CHECK: return %[[R]], %[[S]]
func.func @main(%arg0: !torch.vtensor<[3,8],f64>) -> (!torch.vtensor<[3,5],complex<f64>>, !torch.vtensor<[3,8],complex<f64>>) {
  %int0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %int2 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
  %intm1 = "torch.constant.int"() {value = -1 : i64} : () -> !torch.int
  %true = "torch.constant.bool"() {value = true} : () -> !torch.bool
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %dims = "torch.prim.ListConstruct"(%intm1) : (!torch.int) -> !torch.list<int>
  %0 = "torch.aten._fft_r2c"(%arg0, %dims, %int0, %true) : (!torch.vtensor<[3,8],f64>, !torch.list<int>, !torch.int, !torch.bool) -> !torch.vtensor<[3,5],complex<f64>>
  %1 = "torch.aten._fft_r2c"(%arg0, %dims, %int2, %false) : (!torch.vtensor<[3,8],f64>, !torch.list<int>, !torch.int, !torch.bool) -> !torch.vtensor<[3,8],complex<f64>>
  return %0, %1 : !torch.vtensor<[3,5],complex<f64>>, !torch.vtensor<[3,8],complex<f64>>
}


// -----
// Complex to real along dimension 0 (5 = 8 / 2 + 1 values), unnormalised: IRFFT's division by n
// undone.
// CHECK-LABEL: func.func @main
// CHECK-DAG: %[[N:.*]] = lumo.Const {value = dense<8.000000e+00> : tensor<f32>}
// CHECK: %[[T:.*]] = lumo.Transpose %arg0
// CHECK: %[[F:.*]] = lumo.Fft %[[T]] {fft_length = array<i64: 8>, fft_type = #lumo.fft_type<IRFFT>} : (tensor<3x5xcomplex<f32>>) -> tensor<3x8xf32>
// CHECK: %[[B:.*]] = lumo.Transpose %[[F]]
// CHECK: lumo.Mul %[[B]], %[[N]] : (tensor<8x3xf32>, tensor<f32>) -> tensor<8x3xf32>
func.func @main(%arg0: !torch.vtensor<[5,3],complex<f32>>) -> !torch.vtensor<[8,3],f32> {
  %int0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %int8 = "torch.constant.int"() {value = 8 : i64} : () -> !torch.int
  %dims = "torch.prim.ListConstruct"(%int0) : (!torch.int) -> !torch.list<int>
  %0 = "torch.aten._fft_c2r"(%arg0, %dims, %int0, %int8) : (!torch.vtensor<[5,3],complex<f32>>, !torch.list<int>, !torch.int, !torch.int) -> !torch.vtensor<[8,3],f32>
  return %0 : !torch.vtensor<[8,3],f32>
}


// -----
// view_as_complex, the conjugate, view_as_real; a cast between complex types.
// CHECK-LABEL: func.func @main
// CHECK: %[[Z:.*]] = lumo.Complex %{{.*}}, %{{.*}} : (tensor<3xf32>, tensor<3xf32>) -> tensor<3xcomplex<f32>>
// CHECK: %[[I:.*]] = lumo.Imag %[[Z]] : (tensor<3xcomplex<f32>>) -> tensor<3xf32>
// CHECK: %[[NI:.*]] = lumo.Unary %[[I]] {kind = #lumo.unary_kind<neg>}
// CHECK: %[[R:.*]] = lumo.Real %[[Z]]
// CHECK: %[[C:.*]] = lumo.Complex %[[R]], %[[NI]]
// CHECK: lumo.Real %[[C]]
// CHECK: lumo.Imag %[[C]]
// CHECK: %[[V:.*]] = lumo.Concat %{{.*}}, %{{.*}} {axis = 1 : i64} : (tensor<3x1xf32>, tensor<3x1xf32>) -> tensor<3x2xf32>
// CHECK: %[[W:.*]] = lumo.Cast %[[Z]] : (tensor<3xcomplex<f32>>) -> tensor<3xcomplex<f64>>
// CHECK: return %[[V]], %[[W]]
func.func @main(%arg0: !torch.vtensor<[3,2],f32>) -> (!torch.vtensor<[3,2],f32>, !torch.vtensor<[3],complex<f64>>) {
  %none = "torch.constant.none"() : () -> !torch.none
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %c10 = "torch.constant.int"() {value = 10 : i64} : () -> !torch.int
  %0 = "torch.aten.view_as_complex_copy"(%arg0) : (!torch.vtensor<[3,2],f32>) -> !torch.vtensor<[3],complex<f32>>
  %1 = "torch.aten._conj_copy"(%0) : (!torch.vtensor<[3],complex<f32>>) -> !torch.vtensor<[3],complex<f32>>
  %2 = "torch.aten.view_as_real_copy"(%1) : (!torch.vtensor<[3],complex<f32>>) -> !torch.vtensor<[3,2],f32>
  %3 = "torch.aten._to_copy"(%0, %c10, %none, %none, %none, %false, %none) : (!torch.vtensor<[3],complex<f32>>, !torch.int, !torch.none, !torch.none, !torch.none, !torch.bool, !torch.none) -> !torch.vtensor<[3],complex<f64>>
  return %2, %3 : !torch.vtensor<[3,2],f32>, !torch.vtensor<[3],complex<f64>>
}


// -----
// The angle of complex numbers: atan2 of their parts, a real result.
// CHECK-LABEL: func.func @main
// CHECK: %[[R:.*]] = lumo.Real %arg0
// CHECK: %[[I:.*]] = lumo.Imag %arg0
// CHECK: lumo.Binary %[[I]], %[[R]] {kind = #lumo.binary_kind<atan2>} : (tensor<3xf32>, tensor<3xf32>) -> tensor<3xf32>
func.func @main(%arg0: !torch.vtensor<[3],complex<f32>>) -> !torch.vtensor<[3],f32> {
  %0 = "torch.aten.angle"(%arg0) : (!torch.vtensor<[3],complex<f32>>) -> !torch.vtensor<[3],f32>
  return %0 : !torch.vtensor<[3],f32>
}

// -----
// sgn of complex numbers: z / |z|, 0 where |z| is 0.
// CHECK-LABEL: func.func @main
// CHECK: %[[R:.*]] = lumo.Real %arg0
// CHECK: %[[I:.*]] = lumo.Imag %arg0
// CHECK: %[[N:.*]] = lumo.Sqrt
// CHECK: %[[Z:.*]] = lumo.Compare %[[N]], %{{.*}} {comparison_direction = #lumo.comparison_direction<EQ>}
// CHECK-DAG: lumo.Div %[[R]], %[[N]]
// CHECK-DAG: lumo.Div %[[I]], %[[N]]
// CHECK: lumo.Complex {{.*}} -> tensor<3xcomplex<f32>>
func.func @main(%arg0: !torch.vtensor<[3],complex<f32>>) -> !torch.vtensor<[3],complex<f32>> {
  %0 = "torch.aten.sgn"(%arg0) : (!torch.vtensor<[3],complex<f32>>) -> !torch.vtensor<[3],complex<f32>>
  return %0 : !torch.vtensor<[3],complex<f32>>
}

// -----
// abs of complex numbers: a real result.
// CHECK-LABEL: func.func @main
// CHECK: %[[R:.*]] = lumo.Real %arg0
// CHECK: %[[I:.*]] = lumo.Imag %arg0
// CHECK-DAG: %[[RR:.*]] = lumo.Mul %[[R]], %[[R]]
// CHECK-DAG: %[[II:.*]] = lumo.Mul %[[I]], %[[I]]
// CHECK: %[[S:.*]] = lumo.Add %[[RR]], %[[II]]
// CHECK: lumo.Sqrt %[[S]] : (tensor<3xf64>) -> tensor<3xf64>
func.func @main(%arg0: !torch.vtensor<[3],complex<f64>>) -> !torch.vtensor<[3],f64> {
  %0 = "torch.aten.abs"(%arg0) : (!torch.vtensor<[3],complex<f64>>) -> !torch.vtensor<[3],f64>
  return %0 : !torch.vtensor<[3],f64>
}
