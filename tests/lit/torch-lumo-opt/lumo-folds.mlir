// Calls of the lumo operator library are folded like any lumo operation, and their enumerations
// and flags (strings and 0/1 lists in the call) become the dialect's enum and bool attributes; a
// string that names no case is refused.
// RUN: torch-lumo-opt %s -split-input-file -verify-diagnostics -refine-types -torch-to-lumo-pipeline | FileCheck %s

// CHECK-LABEL: func.func @main
// The transposes undo each other, the reshapes become one, x * 1 is x, and the MatMul reads the
// transposed operand through its flag.
// CHECK-NOT: lumo.Transpose
// CHECK-NOT: lumo.Mul
// CHECK: %[[R:.*]] = lumo.Reshape %arg0 : (tensor<2x3xf32>) -> tensor<3x2xf32>
// CHECK: %[[P:.*]] = lumo.MatMul %arg0, %arg1 {transpose_a = true, transpose_b = false} : (tensor<2x3xf32>, tensor<2x4xf32>) -> tensor<3x4xf32>
// CHECK: %[[S:.*]] = lumo.Reduce %[[P]] {dimensions = array<i64: 1>, keep_dims = true, reduce_kind = #lumo.reduce_kind<sum>} : (tensor<3x4xf32>) -> tensor<3x1xf32>
// CHECK: return %arg0, %[[R]], %[[S]]
func.func @main(%arg0: !torch.vtensor<[2,3],f32>, %arg1: !torch.vtensor<[2,4],f32>)
    -> (!torch.vtensor<[2,3],f32>, !torch.vtensor<[3,2],f32>, !torch.vtensor<[3,1],f32>) {
  %perm = "torch.vtensor.literal"() {value = dense<[1, 0]> : tensor<2xsi64>} : () -> !torch.vtensor<[2],si64>
  %t = "torch.operator"(%arg0, %perm) {name = "lumo.Transpose"} : (!torch.vtensor<[2,3],f32>, !torch.vtensor<[2],si64>) -> !torch.vtensor<[3,2],f32>
  %tt = "torch.operator"(%t, %perm) {name = "lumo.Transpose"} : (!torch.vtensor<[3,2],f32>, !torch.vtensor<[2],si64>) -> !torch.vtensor<[2,3],f32>
  %one = "torch.vtensor.literal"() {value = dense<1.0> : tensor<f32>} : () -> !torch.vtensor<[],f32>
  %0 = "torch.operator"(%tt, %one) {name = "lumo.Mul"} : (!torch.vtensor<[2,3],f32>, !torch.vtensor<[],f32>) -> !torch.vtensor<[2,3],f32>
  %flat = "torch.operator"(%arg0) {name = "lumo.Reshape"} : (!torch.vtensor<[2,3],f32>) -> !torch.vtensor<[6],f32>
  %1 = "torch.operator"(%flat) {name = "lumo.Reshape"} : (!torch.vtensor<[6],f32>) -> !torch.vtensor<[3,2],f32>
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %mnames = "torch.constant.str"() {value = "transpose_a,transpose_b"} : () -> !torch.str
  %p = "torch.operator"(%t, %arg1, %false, %false, %mnames) {name = "lumo.MatMul"} : (!torch.vtensor<[3,2],f32>, !torch.vtensor<[2,4],f32>, !torch.bool, !torch.bool, !torch.str) -> !torch.vtensor<[3,4],f32>
  %c1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %dims = "torch.prim.ListConstruct"(%c1) : (!torch.int) -> !torch.list<int>
  %keep = "torch.prim.ListConstruct"(%c1) : (!torch.int) -> !torch.list<int>
  %sum = "torch.constant.str"() {value = "sum"} : () -> !torch.str
  %rnames = "torch.constant.str"() {value = "dimensions,keep_dims,reduce_kind"} : () -> !torch.str
  %2 = "torch.operator"(%p, %dims, %keep, %sum, %rnames) {name = "lumo.Reduce"} : (!torch.vtensor<[3,4],f32>, !torch.list<int>, !torch.list<int>, !torch.str, !torch.str) -> !torch.vtensor<[3,1],f32>
  return %0, %1, %2 : !torch.vtensor<[2,3],f32>, !torch.vtensor<[3,2],f32>, !torch.vtensor<[3,1],f32>
}

// -----
func.func @main(%arg0: !torch.vtensor<[2,3],f32>, %idx: !torch.vtensor<[2,3],si64>)
    -> (!torch.vtensor<[2],f32>, !torch.vtensor<[2,3],i1>, !torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],f32>) {
  %c1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %dims = "torch.prim.ListConstruct"(%c1) : (!torch.int) -> !torch.list<int>
  %avg = "torch.constant.str"() {value = "avg"} : () -> !torch.str
  %rnames = "torch.constant.str"() {value = "dimensions,reduce_kind"} : () -> !torch.str
  // expected-error @+1 {{no lumo conversion for torch.lumo.Reduce: reduce_kind "avg" is not one of sum, mean, max, min, prod, and, or, argmax, argmin}}
  %0 = "torch.operator"(%arg0, %dims, %avg, %rnames) {name = "lumo.Reduce"} : (!torch.vtensor<[2,3],f32>, !torch.list<int>, !torch.str, !torch.str) -> !torch.vtensor<[2],f32>
  %lt = "torch.constant.str"() {value = "<"} : () -> !torch.str
  %cnames = "torch.constant.str"() {value = "comparison_direction"} : () -> !torch.str
  // expected-error @+1 {{no lumo conversion for torch.lumo.Compare: comparison_direction "<" is not one of EQ, NE, LT, LE, GT, GE}}
  %1 = "torch.operator"(%arg0, %arg0, %lt, %cnames) {name = "lumo.Compare"} : (!torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],f32>, !torch.str, !torch.str) -> !torch.vtensor<[2,3],i1>
  %snames = "torch.constant.str"() {value = "reduce_kind"} : () -> !torch.str
  // An integer where a case is expected.
  // expected-error @+1 {{no lumo conversion for torch.lumo.Scatter: attribute 'reduce_kind' is not a str or None but an int}}
  %2 = "torch.operator"(%arg0, %idx, %arg0, %c1, %snames) {name = "lumo.Scatter"} : (!torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],si64>, !torch.vtensor<[2,3],f32>, !torch.int, !torch.str) -> !torch.vtensor<[2,3],f32>
  %erf = "torch.constant.str"() {value = "erf"} : () -> !torch.str
  %gnames = "torch.constant.str"() {value = "approximation"} : () -> !torch.str
  // expected-error @+1 {{no lumo conversion for torch.lumo.Gelu: approximation "erf" is not one of none, tanh}}
  %3 = "torch.operator"(%arg0, %erf, %gnames) {name = "lumo.Gelu"} : (!torch.vtensor<[2,3],f32>, !torch.str, !torch.str) -> !torch.vtensor<[2,3],f32>
  return %0, %1, %2, %3 : !torch.vtensor<[2],f32>, !torch.vtensor<[2,3],i1>, !torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],f32>
}

// -----
// Each kind is reported once: a flag list that is not 0 or 1, in a function of its own.
func.func @main(%arg0: !torch.vtensor<[2,3],f32>) -> !torch.vtensor<[2,1],f32> {
  %c1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %c2 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
  %dims = "torch.prim.ListConstruct"(%c1) : (!torch.int) -> !torch.list<int>
  %two = "torch.prim.ListConstruct"(%c2) : (!torch.int) -> !torch.list<int>
  %sum = "torch.constant.str"() {value = "sum"} : () -> !torch.str
  %names = "torch.constant.str"() {value = "dimensions,keep_dims,reduce_kind"} : () -> !torch.str
  // expected-error @+1 {{no lumo conversion for torch.lumo.Reduce: keep_dims must hold one value, 0 or 1}}
  %0 = "torch.operator"(%arg0, %dims, %two, %sum, %names) {name = "lumo.Reduce"} : (!torch.vtensor<[2,3],f32>, !torch.list<int>, !torch.list<int>, !torch.str, !torch.str) -> !torch.vtensor<[2,1],f32>
  return %0 : !torch.vtensor<[2,1],f32>
}

// -----
// A library constant whose value does not match its type is refused, also when an emitted reshape
// would fold it.
func.func @main(%arg0: !torch.vtensor<[2,3],f32>) -> !torch.vtensor<[6],f32> {
  %v = "torch.vtensor.literal"() {value = dense<[1.0, 2.0, 3.0, 4.0]> : tensor<4xf32>} : () -> !torch.vtensor<[4],f32>
  %names = "torch.constant.str"() {value = "value"} : () -> !torch.str
  // expected-error @+1 {{'lumo.Const' op value type 'tensor<4xf32>' must equal the result type 'tensor<2x3xf32>'}}
  %c = "torch.operator"(%v, %names) {name = "lumo.Const"} : (!torch.vtensor<[4],f32>, !torch.str) -> !torch.vtensor<[2,3],f32>
  %c6 = "torch.constant.int"() {value = 6 : i64} : () -> !torch.int
  %s = "torch.prim.ListConstruct"(%c6) : (!torch.int) -> !torch.list<int>
  %r = "torch.aten.view"(%c, %s) : (!torch.vtensor<[2,3],f32>, !torch.list<int>) -> !torch.vtensor<[6],f32>
  return %r : !torch.vtensor<[6],f32>
}
