// Elementwise arithmetic, comparisons, selection and activation gradients.
// RUN: torch-lumo-opt %s -split-input-file -refine-types -torch-to-lumo-pipeline | FileCheck %s
// RUN: torch-lumo-opt %s -split-input-file -refine-types -convert-torch-to-lumo=families=elementwise -canonicalize -cse | FileCheck %s

// alpha 1 is a plain Add; another alpha scales the second operand. An embedded f64 scalar becomes a
// constant of the result's element type.
// CHECK-LABEL: func.func @arith
// CHECK-SAME: %arg2: tensor<f64> {tf.parameter_value = dense<2.500000e-01> : tensor<f64>, vx.input_name = "placeholder3"}
// CHECK-DAG: %[[Q:.*]] = lumo.Const {value = dense<2.500000e-01> : tensor<f32>}
// CHECK-DAG: %[[TWO:.*]] = lumo.Const {value = dense<2.000000e+00> : tensor<f32>}
// CHECK: %[[S:.*]] = lumo.Add %arg0, %arg1 : (tensor<2x3xf32>, tensor<3xf32>) -> tensor<2x3xf32>
// CHECK: %[[M:.*]] = lumo.Mul %[[S]], %[[Q]]
// CHECK: %[[B:.*]] = lumo.Mul %arg1, %[[TWO]]
// CHECK: %[[D:.*]] = lumo.Sub %[[M]], %[[B]]
// CHECK: return %[[D]]
func.func @arith(%arg0: !torch.vtensor<[2,3],f32>, %arg1: !torch.vtensor<[3],f32>,
                 %arg2: !torch.vtensor<[],f64> {tf.parameter_value = dense<2.500000e-01> : tensor<f64>, vx.input_name = "placeholder3"}) -> !torch.vtensor<[2,3],f32> {
  %one = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %two = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
  %0 = "torch.aten.add.Tensor"(%arg0, %arg1, %one) : (!torch.vtensor<[2,3],f32>, !torch.vtensor<[3],f32>, !torch.int) -> !torch.vtensor<[2,3],f32>
  %1 = "torch.aten.mul.Tensor"(%0, %arg2) : (!torch.vtensor<[2,3],f32>, !torch.vtensor<[],f64>) -> !torch.vtensor<[2,3],f32>
  %2 = "torch.aten.sub.Tensor"(%1, %arg1, %two) : (!torch.vtensor<[2,3],f32>, !torch.vtensor<[3],f32>, !torch.int) -> !torch.vtensor<[2,3],f32>
  return %2 : !torch.vtensor<[2,3],f32>
}

// -----
// An integer operand of a floating-point result is cast first; division modes; the other spelling.
// CHECK-LABEL: func.func @casts
// CHECK: %[[C:.*]] = lumo.Cast %arg0 : (tensor<4xsi64>) -> tensor<4xf32>
// CHECK: lumo.Sqrt %[[C]]
// CHECK: lumo.Binary %arg0, %{{.*}} {kind = #lumo.binary_kind<floor_divide>} : (tensor<4xsi64>, tensor<si64>) -> tensor<4xsi64>
// CHECK: lumo.Unary %{{.*}} {kind = #lumo.unary_kind<rsqrt>}
func.func @casts(%arg0: !torch.vtensor<[4],si64>) -> (!torch.vtensor<[4],f32>, !torch.vtensor<[4],si64>, !torch.vtensor<[4],f32>) {
  %0 = "torch.aten.sqrt"(%arg0) : (!torch.vtensor<[4],si64>) -> !torch.vtensor<[4],f32>
  %three = "torch.constant.int"() {value = 3 : i64} : () -> !torch.int
  %floor = "torch.constant.str"() {value = "floor"} : () -> !torch.str
  %1 = "torch.aten.div.Scalar_mode"(%arg0, %three, %floor) : (!torch.vtensor<[4],si64>, !torch.int, !torch.str) -> !torch.vtensor<[4],si64>
  %2 = "torch.operator"(%0) {name = "aten.rsqrt"} : (!torch.vtensor<[4],f32>) -> !torch.vtensor<[4],f32>
  return %0, %1, %2 : !torch.vtensor<[4],f32>, !torch.vtensor<[4],si64>, !torch.vtensor<[4],f32>
}

// -----
// Comparisons in the promoted type; where and masked_fill select.
// CHECK-LABEL: func.func @select
// CHECK-DAG: %[[HALF:.*]] = lumo.Const {value = dense<5.000000e-01> : tensor<f32>}
// CHECK-DAG: %[[NEG:.*]] = lumo.Const {value = dense<0xFF800000> : tensor<f32>}
// CHECK: %[[LT:.*]] = lumo.Compare %arg0, %[[HALF]] {comparison_direction = #lumo.comparison_direction<LT>} : (tensor<4xf32>, tensor<f32>) -> tensor<4xi1>
// CHECK: %[[F:.*]] = lumo.Select %[[LT]], %[[NEG]], %arg0
// CHECK: %[[X:.*]] = lumo.Cast %arg1 : (tensor<4xsi64>) -> tensor<4xf32>
// CHECK: %[[GE:.*]] = lumo.Compare %[[X]], %arg0 {comparison_direction = #lumo.comparison_direction<GE>}
// CHECK: lumo.Select %[[GE]], %[[F]], %[[X]]
func.func @select(%arg0: !torch.vtensor<[4],f32>, %arg1: !torch.vtensor<[4],si64>) -> !torch.vtensor<[4],f32> {
  %half = "torch.constant.float"() {value = 5.000000e-01 : f64} : () -> !torch.float
  %0 = "torch.aten.lt.Scalar"(%arg0, %half) : (!torch.vtensor<[4],f32>, !torch.float) -> !torch.vtensor<[4],i1>
  %ninf = "torch.constant.float"() {value = 0xFFF0000000000000 : f64} : () -> !torch.float
  %1 = "torch.aten.masked_fill.Scalar"(%arg0, %0, %ninf) : (!torch.vtensor<[4],f32>, !torch.vtensor<[4],i1>, !torch.float) -> !torch.vtensor<[4],f32>
  %2 = "torch.aten.ge.Tensor"(%arg1, %arg0) : (!torch.vtensor<[4],si64>, !torch.vtensor<[4],f32>) -> !torch.vtensor<[4],i1>
  %3 = "torch.aten.where.self"(%2, %1, %arg1) : (!torch.vtensor<[4],i1>, !torch.vtensor<[4],f32>, !torch.vtensor<[4],si64>) -> !torch.vtensor<[4],f32>
  return %3 : !torch.vtensor<[4],f32>
}

// -----
// Activation gradients keep PyTorch's fused kernels.
// CHECK-LABEL: func.func @gradients
// CHECK: lumo.ReluGrad %arg1, %arg0
// CHECK: lumo.Gelu %arg0 {approximation = #lumo.gelu_approximation<tanh>}
// CHECK: lumo.GeluGrad %arg1, %arg0 {approximation = #lumo.gelu_approximation<tanh>}
// CHECK: lumo.SigmoidGrad %arg0, %arg1
// Another threshold compares instead.
// CHECK: lumo.Compare %arg0, %{{.*}} {comparison_direction = #lumo.comparison_direction<LE>}
func.func @gradients(%arg0: !torch.vtensor<[4],f32>, %arg1: !torch.vtensor<[4],f32>) -> (!torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>) {
  %zero = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %0 = "torch.aten.threshold_backward"(%arg1, %arg0, %zero) : (!torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>, !torch.int) -> !torch.vtensor<[4],f32>
  %tanh = "torch.constant.str"() {value = "tanh"} : () -> !torch.str
  %1 = "torch.aten.gelu"(%arg0, %tanh) : (!torch.vtensor<[4],f32>, !torch.str) -> !torch.vtensor<[4],f32>
  %2 = "torch.aten.gelu_backward"(%arg1, %arg0, %tanh) : (!torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>, !torch.str) -> !torch.vtensor<[4],f32>
  %3 = "torch.aten.sigmoid_backward"(%arg1, %arg0) : (!torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>) -> !torch.vtensor<[4],f32>
  %th = "torch.constant.float"() {value = 1.000000e+00 : f64} : () -> !torch.float
  %4 = "torch.aten.threshold_backward"(%arg1, %arg0, %th) : (!torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>, !torch.float) -> !torch.vtensor<[4],f32>
  return %0, %1, %2, %3, %4 : !torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>
}

// -----
// Special functions are Unary kinds, an integer operand cast to the floating-point result first.
// CHECK-LABEL: func.func @special
// CHECK: %[[C:.*]] = lumo.Cast %arg1 : (tensor<4xsi64>) -> tensor<4xf32>
// CHECK: lumo.Unary %[[C]] {kind = #lumo.unary_kind<digamma>}
// CHECK: lumo.Unary %arg0 {kind = #lumo.unary_kind<lgamma>}
// CHECK: lumo.Unary %arg0 {kind = #lumo.unary_kind<erfinv>}
// CHECK: lumo.Unary %arg0 {kind = #lumo.unary_kind<i0>}
func.func @special(%arg0: !torch.vtensor<[4],f32>, %arg1: !torch.vtensor<[4],si64>)
    -> (!torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>) {
  %0 = "torch.aten.digamma"(%arg1) : (!torch.vtensor<[4],si64>) -> !torch.vtensor<[4],f32>
  %1 = "torch.aten.lgamma"(%arg0) : (!torch.vtensor<[4],f32>) -> !torch.vtensor<[4],f32>
  %2 = "torch.aten.erfinv"(%arg0) : (!torch.vtensor<[4],f32>) -> !torch.vtensor<[4],f32>
  %3 = "torch.operator"(%arg0) {name = "aten.i0"} : (!torch.vtensor<[4],f32>) -> !torch.vtensor<[4],f32>
  return %0, %1, %2, %3 : !torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>
}

// -----
// bf16 arithmetic computes as PyTorch's kernels do, in f32 with one rounding: a scalar that bf16
// cannot hold (0.044715) and an alpha other than 1 make the operation f32 between two casts; a
// scalar bf16 holds exactly (0.5) and a tensor-tensor product stay bf16. A decomposed gradient
// (tanh_backward: grad * (1 - y * y)) computes in f32 and rounds once.
// CHECK-LABEL: func.func @bf16_opmath
// CHECK-DAG: %[[C:.*]] = lumo.Const {value = dense<4.471500e-02> : tensor<f32>}
// CHECK-DAG: %[[HALF:.*]] = lumo.Const {value = dense<5.000000e-01> : tensor<bf16>}
// CHECK-DAG: %[[THREE:.*]] = lumo.Const {value = dense<3.000000e+00> : tensor<f32>}
// CHECK: %[[X:.*]] = lumo.Cast %arg0 : (tensor<4xbf16>) -> tensor<4xf32>
// CHECK: %[[M:.*]] = lumo.Mul %[[X]], %[[C]] : (tensor<4xf32>, tensor<f32>) -> tensor<4xf32>
// CHECK: %[[MB:.*]] = lumo.Cast %[[M]] : (tensor<4xf32>) -> tensor<4xbf16>
// CHECK: %[[H:.*]] = lumo.Mul %[[MB]], %[[HALF]] : (tensor<4xbf16>, tensor<bf16>) -> tensor<4xbf16>
// CHECK: %[[P:.*]] = lumo.Mul %[[H]], %arg1 : (tensor<4xbf16>, tensor<4xbf16>) -> tensor<4xbf16>
// CHECK: %[[PF:.*]] = lumo.Cast %[[P]] : (tensor<4xbf16>) -> tensor<4xf32>
// CHECK: %[[AF:.*]] = lumo.Cast %arg1 : (tensor<4xbf16>) -> tensor<4xf32>
// CHECK: %[[S:.*]] = lumo.Mul %[[AF]], %[[THREE]] : (tensor<4xf32>, tensor<f32>) -> tensor<4xf32>
// CHECK: %[[A:.*]] = lumo.Add %[[PF]], %[[S]] : (tensor<4xf32>, tensor<4xf32>) -> tensor<4xf32>
// CHECK: lumo.Cast %[[A]] : (tensor<4xf32>) -> tensor<4xbf16>
// CHECK: %[[YY:.*]] = lumo.Mul %[[AF]], %[[AF]] : (tensor<4xf32>, tensor<4xf32>) -> tensor<4xf32>
// CHECK: lumo.Sub %{{.*}}, %[[YY]] : (tensor<f32>, tensor<4xf32>) -> tensor<4xf32>
// CHECK: %[[G:.*]] = lumo.Mul
// CHECK-SAME: -> tensor<4xf32>
// CHECK: lumo.Cast %[[G]] : (tensor<4xf32>) -> tensor<4xbf16>
func.func @bf16_opmath(%arg0: !torch.vtensor<[4],bf16>, %arg1: !torch.vtensor<[4],bf16>,
                       %arg2: !torch.vtensor<[],f64> {tf.parameter_value = dense<4.471500e-02> : tensor<f64>, vx.input_name = "placeholder2"})
    -> (!torch.vtensor<[4],bf16>, !torch.vtensor<[4],bf16>) {
  %half = "torch.constant.float"() {value = 5.000000e-01 : f64} : () -> !torch.float
  %three = "torch.constant.int"() {value = 3 : i64} : () -> !torch.int
  %0 = "torch.aten.mul.Tensor"(%arg0, %arg2) : (!torch.vtensor<[4],bf16>, !torch.vtensor<[],f64>) -> !torch.vtensor<[4],bf16>
  %1 = "torch.aten.mul.Scalar"(%0, %half) : (!torch.vtensor<[4],bf16>, !torch.float) -> !torch.vtensor<[4],bf16>
  %2 = "torch.aten.mul.Tensor"(%1, %arg1) : (!torch.vtensor<[4],bf16>, !torch.vtensor<[4],bf16>) -> !torch.vtensor<[4],bf16>
  %3 = "torch.aten.add.Tensor"(%2, %arg1, %three) : (!torch.vtensor<[4],bf16>, !torch.vtensor<[4],bf16>, !torch.int) -> !torch.vtensor<[4],bf16>
  %4 = "torch.aten.tanh_backward"(%3, %arg1) : (!torch.vtensor<[4],bf16>, !torch.vtensor<[4],bf16>) -> !torch.vtensor<[4],bf16>
  return %3, %4 : !torch.vtensor<[4],bf16>, !torch.vtensor<[4],bf16>
}

// -----
// rsub(x, y, alpha) is y - alpha * x; erfc is exact (not 1 - erf); copysign reads the sign bit
// (-0.0 included); shifts by the bit width or more are Binary kinds with PyTorch's results.
// CHECK-LABEL: func.func @exact
// CHECK: %[[AX:.*]] = lumo.Mul %arg0, %{{.*}} : (tensor<3xf32>, tensor<f32>) -> tensor<3xf32>
// CHECK: lumo.Sub %arg1, %[[AX]]
// CHECK: lumo.Unary %arg0 {kind = #lumo.unary_kind<erfc>} : (tensor<3xf32>) -> tensor<3xf32>
// CHECK: %[[NEG:.*]] = lumo.Unary %arg1 {kind = #lumo.unary_kind<signbit>} : (tensor<3xf32>) -> tensor<3xi1>
// CHECK: lumo.Select %[[NEG]]
// CHECK: lumo.Binary %arg2, %arg3 {kind = #lumo.binary_kind<shift_left>} : (tensor<3xsi32>, tensor<3xsi32>) -> tensor<3xsi32>
// CHECK: lumo.Binary %arg2, %arg3 {kind = #lumo.binary_kind<shift_right>} : (tensor<3xsi32>, tensor<3xsi32>) -> tensor<3xsi32>
func.func @exact(%arg0: !torch.vtensor<[3],f32>, %arg1: !torch.vtensor<[3],f32>, %arg2: !torch.vtensor<[3],si32>, %arg3: !torch.vtensor<[3],si32>)
    -> (!torch.vtensor<[3],f32>, !torch.vtensor<[3],f32>, !torch.vtensor<[3],f32>, !torch.vtensor<[3],si32>, !torch.vtensor<[3],si32>) {
  %c2 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
  %0 = "torch.aten.rsub.Tensor"(%arg0, %arg1, %c2) : (!torch.vtensor<[3],f32>, !torch.vtensor<[3],f32>, !torch.int) -> !torch.vtensor<[3],f32>
  %1 = "torch.aten.erfc"(%arg0) : (!torch.vtensor<[3],f32>) -> !torch.vtensor<[3],f32>
  %2 = "torch.aten.copysign.Tensor"(%arg0, %arg1) : (!torch.vtensor<[3],f32>, !torch.vtensor<[3],f32>) -> !torch.vtensor<[3],f32>
  %3 = "torch.aten.bitwise_left_shift.Tensor"(%arg2, %arg3) : (!torch.vtensor<[3],si32>, !torch.vtensor<[3],si32>) -> !torch.vtensor<[3],si32>
  %4 = "torch.aten.bitwise_right_shift.Tensor"(%arg2, %arg3) : (!torch.vtensor<[3],si32>, !torch.vtensor<[3],si32>) -> !torch.vtensor<[3],si32>
  return %0, %1, %2, %3, %4 : !torch.vtensor<[3],f32>, !torch.vtensor<[3],f32>, !torch.vtensor<[3],f32>, !torch.vtensor<[3],si32>, !torch.vtensor<[3],si32>
}

// -----
// More special functions: Unary kinds (polygamma and mvlgamma with their order), Binary kinds of
// two tensors (a polynomial's degree cast to the floating-point result, as PyTorch promotes it),
// frexp's two results; angle of real numbers selects pi, 0 or the NaN; copysign of integers is
// floating point.
// CHECK-LABEL: func.func @special_kinds
// CHECK: %[[PI:.*]] = lumo.Const {value = dense<3.14159274> : tensor<f32>}
// CHECK: %[[PG:.*]] = lumo.Unary %arg0 {kind = #lumo.unary_kind<polygamma>, order = 2 : i64} : (tensor<4xf32>) -> tensor<4xf32>
// CHECK: %[[MV:.*]] = lumo.Unary %arg0 {kind = #lumo.unary_kind<mvlgamma>, order = 3 : i64}
// CHECK: %[[XF:.*]] = lumo.Cast %arg1 : (tensor<4xsi64>) -> tensor<4xf32>
// CHECK: %[[I1E:.*]] = lumo.Unary %[[XF]] {kind = #lumo.unary_kind<i1e>} : (tensor<4xf32>) -> tensor<4xf32>
// CHECK: %[[CH:.*]] = lumo.Binary %arg0, %[[XF]] {kind = #lumo.binary_kind<chebyshev_polynomial_t>} : (tensor<4xf32>, tensor<4xf32>) -> tensor<4xf32>
// CHECK: %[[GCD:.*]] = lumo.Binary %arg1, %arg1 {kind = #lumo.binary_kind<gcd>} : (tensor<4xsi64>, tensor<4xsi64>) -> tensor<4xsi64>
// CHECK: %[[M:.*]] = lumo.Unary %arg0 {kind = #lumo.unary_kind<frexp_mantissa>} : (tensor<4xf32>) -> tensor<4xf32>
// CHECK: %[[E:.*]] = lumo.Unary %arg0 {kind = #lumo.unary_kind<frexp_exponent>} : (tensor<4xf32>) -> tensor<4xsi32>
// CHECK: %[[NEG:.*]] = lumo.Compare %[[XF]], %{{.*}} {comparison_direction = #lumo.comparison_direction<LT>}
// CHECK: %[[SEL:.*]] = lumo.Select %[[NEG]], %[[PI]], %{{.*}}
// CHECK: %[[NAN:.*]] = lumo.Unary %[[XF]] {kind = #lumo.unary_kind<isnan>}
// CHECK: %[[ANG:.*]] = lumo.Select %[[NAN]], %[[XF]], %[[SEL]]
// CHECK: %[[MAG:.*]] = lumo.Abs %[[XF]]
// CHECK: return %[[PG]], %[[MV]], %[[I1E]], %[[CH]], %[[GCD]], %[[M]], %[[E]], %[[ANG]], %{{.*}} :
func.func @special_kinds(%arg0: !torch.vtensor<[4],f32>, %arg1: !torch.vtensor<[4],si64>)
    -> (!torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>, !torch.vtensor<[4],si64>,
        !torch.vtensor<[4],f32>, !torch.vtensor<[4],si32>, !torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>) {
  %two = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
  %three = "torch.constant.int"() {value = 3 : i64} : () -> !torch.int
  %0 = "torch.aten.polygamma"(%two, %arg0) : (!torch.int, !torch.vtensor<[4],f32>) -> !torch.vtensor<[4],f32>
  %1 = "torch.aten.mvlgamma"(%arg0, %three) : (!torch.vtensor<[4],f32>, !torch.int) -> !torch.vtensor<[4],f32>
  %2 = "torch.operator"(%arg1) {name = "aten.special_i1e"} : (!torch.vtensor<[4],si64>) -> !torch.vtensor<[4],f32>
  %3 = "torch.operator"(%arg0, %arg1) {name = "aten.special_chebyshev_polynomial_t"} : (!torch.vtensor<[4],f32>, !torch.vtensor<[4],si64>) -> !torch.vtensor<[4],f32>
  %4 = "torch.aten.gcd"(%arg1, %arg1) : (!torch.vtensor<[4],si64>, !torch.vtensor<[4],si64>) -> !torch.vtensor<[4],si64>
  %5:2 = "torch.operator"(%arg0) {name = "aten.frexp.Tensor"} : (!torch.vtensor<[4],f32>) -> (!torch.vtensor<[4],f32>, !torch.vtensor<[4],si32>)
  %6 = "torch.aten.angle"(%arg1) : (!torch.vtensor<[4],si64>) -> !torch.vtensor<[4],f32>
  %7 = "torch.aten.copysign.Tensor"(%arg1, %arg1) : (!torch.vtensor<[4],si64>, !torch.vtensor<[4],si64>) -> !torch.vtensor<[4],f32>
  return %0, %1, %2, %3, %4, %5#0, %5#1, %6, %7 : !torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>, !torch.vtensor<[4],si64>,
      !torch.vtensor<[4],f32>, !torch.vtensor<[4],si32>, !torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>
}

// -----
// A 0-d f64 operand is a Python number a kernel wrapped (std's gradient scales by 1 / (n - 1)):
// it does not widen a 0-d bf16 operand, whose type the result keeps (computed in f32).
// CHECK-LABEL: func.func @main
// CHECK: %[[X:.*]] = lumo.Cast %arg0 : (tensor<bf16>) -> tensor<f32>
// CHECK: %[[S:.*]] = lumo.Cast %arg1 : (tensor<f64>) -> tensor<f32>
// CHECK: %[[P:.*]] = lumo.Mul %[[X]], %[[S]] : (tensor<f32>, tensor<f32>) -> tensor<f32>
// CHECK: lumo.Cast %[[P]] : (tensor<f32>) -> tensor<bf16>
func.func @main(%arg0: !torch.vtensor<[],bf16>, %arg1: !torch.vtensor<[],f64>) -> !torch.vtensor<[],bf16> {
  %0 = "torch.aten.mul.Tensor"(%arg0, %arg1) : (!torch.vtensor<[],bf16>, !torch.vtensor<[],f64>) -> !torch.vtensor<[],bf16>
  return %0 : !torch.vtensor<[],bf16>
}
