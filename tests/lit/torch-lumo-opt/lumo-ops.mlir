// Calls of the lumo operator library: tensors stay operands, the values that `_attr_names` lists
// become attributes of those names, with the dialect's attribute kinds.
// RUN: torch-lumo-opt %s -refine-types -torch-to-lumo-pipeline | FileCheck %s
// RUN: torch-lumo-opt %s -refine-types -convert-torch-to-lumo=families=lumo -canonicalize -cse | FileCheck %s

// CHECK-LABEL: func.func @main
// CHECK: %[[S:.*]] = lumo.Softplus %arg0 {beta = 1.000000e+00 : f64, threshold = 2.000000e+01 : f64}
// CHECK: %[[M:.*]] = lumo.Softmax %[[S]] {axis = -1 : i64}
// CHECK: lumo.Add %[[M]], %arg1
// CHECK: lumo.CumSum %arg0 {axis = 1 : i64, reverse = true}
// No attributes at all when the list is empty.
// CHECK: lumo.Softmax %arg0 :
// CHECK: lumo.Reduce %arg0 {dimensions = array<i64: 0, 1>, reduce_kind = #lumo.reduce_kind<max>}
// CHECK: lumo.Concat %arg0, %arg1 {axis = 0 : i64} : (tensor<2x3xf32>, tensor<2x3xf32>) -> tensor<4x3xf32>
// CHECK: lumo.ScopeBoundary %arg0 {boundary_type = "begin", scope_name = "blk"}
func.func @main(%arg0: !torch.vtensor<[2,3],f32>, %arg1: !torch.vtensor<[2,3],f32>)
    -> (!torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],f32>, !torch.vtensor<[],f32>, !torch.vtensor<[4,3],f32>, !torch.vtensor<[2,3],f32>) {
  %one = "torch.constant.float"() {value = 1.000000e+00 : f64} : () -> !torch.float
  %twenty = "torch.constant.float"() {value = 2.000000e+01 : f64} : () -> !torch.float
  %names = "torch.constant.str"() {value = "beta,threshold"} : () -> !torch.str
  %0 = "torch.operator"(%arg0, %one, %twenty, %names) {name = "lumo.Softplus"} : (!torch.vtensor<[2,3],f32>, !torch.float, !torch.float, !torch.str) -> !torch.vtensor<[2,3],f32>
  %cm1 = "torch.constant.int"() {value = -1 : i64} : () -> !torch.int
  %axis = "torch.constant.str"() {value = "axis"} : () -> !torch.str
  %1 = "torch.operator"(%0, %cm1, %axis) {name = "lumo.Softmax"} : (!torch.vtensor<[2,3],f32>, !torch.int, !torch.str) -> !torch.vtensor<[2,3],f32>
  %2 = "torch.operator"(%1, %arg1) {name = "lumo.Add"} : (!torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],f32>) -> !torch.vtensor<[2,3],f32>
  %c1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %true = "torch.constant.bool"() {value = true} : () -> !torch.bool
  %cnames = "torch.constant.str"() {value = "axis,reverse"} : () -> !torch.str
  %3 = "torch.operator"(%arg0, %c1, %true, %cnames) {name = "lumo.CumSum"} : (!torch.vtensor<[2,3],f32>, !torch.int, !torch.bool, !torch.str) -> !torch.vtensor<[2,3],f32>
  %empty = "torch.constant.str"() {value = ""} : () -> !torch.str
  %4 = "torch.operator"(%arg0, %empty) {name = "lumo.Softmax"} : (!torch.vtensor<[2,3],f32>, !torch.str) -> !torch.vtensor<[2,3],f32>
  %c0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %dims = "torch.prim.ListConstruct"(%c0, %c1) : (!torch.int, !torch.int) -> !torch.list<int>
  %max = "torch.constant.str"() {value = "max"} : () -> !torch.str
  %rnames = "torch.constant.str"() {value = "dimensions,reduce_kind"} : () -> !torch.str
  %5 = "torch.operator"(%arg0, %dims, %max, %rnames) {name = "lumo.Reduce"} : (!torch.vtensor<[2,3],f32>, !torch.list<int>, !torch.str, !torch.str) -> !torch.vtensor<[],f32>
  %anames = "torch.constant.str"() {value = "axis"} : () -> !torch.str
  %6 = "torch.operator"(%arg0, %arg1, %c0, %anames) {name = "lumo.Concat"} : (!torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],f32>, !torch.int, !torch.str) -> !torch.vtensor<[4,3],f32>
  %begin = "torch.constant.str"() {value = "begin"} : () -> !torch.str
  %blk = "torch.constant.str"() {value = "blk"} : () -> !torch.str
  %snames = "torch.constant.str"() {value = "boundary_type,scope_name"} : () -> !torch.str
  %7 = "torch.operator"(%arg0, %begin, %blk, %snames) {name = "lumo.ScopeBoundary"} : (!torch.vtensor<[2,3],f32>, !torch.str, !torch.str, !torch.str) -> !torch.vtensor<[2,3],f32>
  return %2, %3, %4, %5, %6, %7 : !torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],f32>, !torch.vtensor<[],f32>, !torch.vtensor<[4,3],f32>, !torch.vtensor<[2,3],f32>
}
