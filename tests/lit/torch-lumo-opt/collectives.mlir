// PyTorch's functional collectives as the lazy backend records them (the group given by its global
// ranks): all_reduce becomes lumo.AllReduce over one group, "avg" a sum divided by the group's size;
// each collective takes the next channel id in program order; wait_tensor is the identity.
// RUN: torch-lumo-opt %s -refine-types -torch-to-lumo-pipeline | FileCheck %s
// RUN: torch-lumo-opt %s -refine-types -convert-torch-to-lumo=families=collectives -canonicalize -cse | FileCheck %s

// CHECK-LABEL: func.func @main
// CHECK-DAG: %[[TWO:.*]] = lumo.Const {value = dense<2.000000e+00> : tensor<f32>}
// CHECK: %[[S:.*]] = lumo.AllReduce %arg0 {channel_id = 1 : i64, kind = #lumo.all_reduce_kind<sum>, replica_groups = dense<{{\[\[}}0, 1]]> : tensor<1x2xi64>} : (tensor<4xf32>) -> tensor<4xf32>
// CHECK: %[[A:.*]] = lumo.AllReduce %[[S]] {channel_id = 2 : i64, kind = #lumo.all_reduce_kind<sum>, replica_groups = dense<{{\[\[}}0, 1]]> : tensor<1x2xi64>} : (tensor<4xf32>) -> tensor<4xf32>
// CHECK: %[[AVG:.*]] = lumo.Div %[[A]], %[[TWO]]
// CHECK: %[[X:.*]] = lumo.AllReduce %arg1 {channel_id = 3 : i64, kind = #lumo.all_reduce_kind<xor>, replica_groups = dense<{{\[\[}}1, 3, 0]]> : tensor<1x3xi64>} : (tensor<3xsi32>) -> tensor<3xsi32>
// CHECK: %[[P:.*]] = lumo.AllReduce %arg0 {channel_id = 4 : i64, kind = #lumo.all_reduce_kind<prod>, replica_groups = dense<0> : tensor<1x1xi64>}
// An unused collective stays: every replica must issue it.
// CHECK: lumo.AllReduce %arg0 {channel_id = 5 : i64, kind = #lumo.all_reduce_kind<max>
// CHECK: return %[[AVG]], %[[X]], %[[P]]
func.func @main(%arg0: !torch.vtensor<[4],f32>, %arg1: !torch.vtensor<[3],si32>)
    -> (!torch.vtensor<[4],f32>, !torch.vtensor<[3],si32>, !torch.vtensor<[4],f32>) {
  %sum = "torch.constant.str"() {value = "sum"} : () -> !torch.str
  %avg = "torch.constant.str"() {value = "avg"} : () -> !torch.str
  %bxor = "torch.constant.str"() {value = "bxor"} : () -> !torch.str
  %product = "torch.constant.str"() {value = "product"} : () -> !torch.str
  %max = "torch.constant.str"() {value = "max"} : () -> !torch.str
  %int0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %int1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %int3 = "torch.constant.int"() {value = 3 : i64} : () -> !torch.int
  %pair = "torch.prim.ListConstruct"(%int0, %int1) : (!torch.int, !torch.int) -> !torch.list<int>
  %three = "torch.prim.ListConstruct"(%int1, %int3, %int0) : (!torch.int, !torch.int, !torch.int) -> !torch.list<int>
  %one = "torch.prim.ListConstruct"(%int0) : (!torch.int) -> !torch.list<int>
  %0 = "torch.operator"(%arg0, %sum, %pair) {name = "_c10d_functional.all_reduce"} : (!torch.vtensor<[4],f32>, !torch.str, !torch.list<int>) -> !torch.vtensor<[4],f32>
  %1 = "torch.operator"(%0) {name = "_c10d_functional.wait_tensor"} : (!torch.vtensor<[4],f32>) -> !torch.vtensor<[4],f32>
  %2 = "torch.operator"(%1, %avg, %pair) {name = "_c10d_functional.all_reduce"} : (!torch.vtensor<[4],f32>, !torch.str, !torch.list<int>) -> !torch.vtensor<[4],f32>
  %3 = "torch.operator"(%arg1, %bxor, %three) {name = "_c10d_functional.all_reduce"} : (!torch.vtensor<[3],si32>, !torch.str, !torch.list<int>) -> !torch.vtensor<[3],si32>
  %4 = "torch.operator"(%arg0, %product, %one) {name = "_c10d_functional.all_reduce"} : (!torch.vtensor<[4],f32>, !torch.str, !torch.list<int>) -> !torch.vtensor<[4],f32>
  %5 = "torch.operator"(%arg0, %max, %pair) {name = "_c10d_functional.all_reduce"} : (!torch.vtensor<[4],f32>, !torch.str, !torch.list<int>) -> !torch.vtensor<[4],f32>
  %6 = "torch.operator"(%2) {name = "_c10d_functional.wait_tensor"} : (!torch.vtensor<[4],f32>) -> !torch.vtensor<[4],f32>
  return %6, %3, %4 : !torch.vtensor<[4],f32>, !torch.vtensor<[3],si32>, !torch.vtensor<[4],f32>
}
