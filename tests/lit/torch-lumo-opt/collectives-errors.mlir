// all_reduce calls the conversion refuses, each with its reason: reduce ops PyTorch does not know,
// kinds the element type does not take, and groups that are not a list of distinct ranks.
// RUN: torch-lumo-opt %s -split-input-file -verify-diagnostics -refine-types -torch-to-lumo-pipeline

func.func @main(%arg0: !torch.vtensor<[4],f32>) -> !torch.vtensor<[4],f32> {
  %op = "torch.constant.str"() {value = "premul_sum"} : () -> !torch.str
  %int0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %ranks = "torch.prim.ListConstruct"(%int0) : (!torch.int) -> !torch.list<int>
  // expected-error @+1 {{no lumo conversion for torch._c10d_functional.all_reduce: Unrecognized reduce_op: premul_sum}}
  %0 = "torch.operator"(%arg0, %op, %ranks) {name = "_c10d_functional.all_reduce"} : (!torch.vtensor<[4],f32>, !torch.str, !torch.list<int>) -> !torch.vtensor<[4],f32>
  return %0 : !torch.vtensor<[4],f32>
}

// -----
func.func @main(%arg0: !torch.vtensor<[4],f32>) -> !torch.vtensor<[4],f32> {
  %op = "torch.constant.str"() {value = "band"} : () -> !torch.str
  %int0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %ranks = "torch.prim.ListConstruct"(%int0) : (!torch.int) -> !torch.list<int>
  // expected-error @+1 {{no lumo conversion for torch._c10d_functional.all_reduce: "band" needs integer or bool elements}}
  %0 = "torch.operator"(%arg0, %op, %ranks) {name = "_c10d_functional.all_reduce"} : (!torch.vtensor<[4],f32>, !torch.str, !torch.list<int>) -> !torch.vtensor<[4],f32>
  return %0 : !torch.vtensor<[4],f32>
}

// -----
func.func @main(%arg0: !torch.vtensor<[4],si64>) -> !torch.vtensor<[4],si64> {
  %op = "torch.constant.str"() {value = "avg"} : () -> !torch.str
  %int0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %ranks = "torch.prim.ListConstruct"(%int0) : (!torch.int) -> !torch.list<int>
  // expected-error @+1 {{no lumo conversion for torch._c10d_functional.all_reduce: "avg" needs floating-point elements}}
  %0 = "torch.operator"(%arg0, %op, %ranks) {name = "_c10d_functional.all_reduce"} : (!torch.vtensor<[4],si64>, !torch.str, !torch.list<int>) -> !torch.vtensor<[4],si64>
  return %0 : !torch.vtensor<[4],si64>
}

// -----
// A group named, not resolved to its ranks, cannot be read.
func.func @main(%arg0: !torch.vtensor<[4],f32>) -> !torch.vtensor<[4],f32> {
  %op = "torch.constant.str"() {value = "sum"} : () -> !torch.str
  %group = "torch.constant.str"() {value = "0"} : () -> !torch.str
  // expected-error @+1 {{no lumo conversion for torch._c10d_functional.all_reduce: operand 2 is not a}}
  %0 = "torch.operator"(%arg0, %op, %group) {name = "_c10d_functional.all_reduce"} : (!torch.vtensor<[4],f32>, !torch.str, !torch.str) -> !torch.vtensor<[4],f32>
  return %0 : !torch.vtensor<[4],f32>
}

// -----
func.func @main(%arg0: !torch.vtensor<[4],f32>) -> !torch.vtensor<[4],f32> {
  %op = "torch.constant.str"() {value = "sum"} : () -> !torch.str
  %int1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %ranks = "torch.prim.ListConstruct"(%int1, %int1) : (!torch.int, !torch.int) -> !torch.list<int>
  // expected-error @+1 {{no lumo conversion for torch._c10d_functional.all_reduce: rank 1 appears twice in the process group}}
  %0 = "torch.operator"(%arg0, %op, %ranks) {name = "_c10d_functional.all_reduce"} : (!torch.vtensor<[4],f32>, !torch.str, !torch.list<int>) -> !torch.vtensor<[4],f32>
  return %0 : !torch.vtensor<[4],f32>
}
