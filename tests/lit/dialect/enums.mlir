// Enumerated attributes are enum attributes, `#lumo.<mnemonic><case>`, and Reduce.keep_dims is a
// bool (absent: false). Strings, unknown cases, cases of another enumeration and a keep_dims list
// are refused.
// RUN: torch-lumo-opt %s -split-input-file -verify-diagnostics | FileCheck %s

// CHECK-LABEL: func.func @spellings
// CHECK: lumo.Reduce %arg0 {dimensions = array<i64: 1>, reduce_kind = #lumo.reduce_kind<argmax>} : (tensor<2x3xf32>) -> tensor<2xsi64>
// CHECK: lumo.Reduce %arg0 {dimensions = array<i64: 1>, keep_dims = true, reduce_kind = #lumo.reduce_kind<sum>} : (tensor<2x3xf32>) -> tensor<2x1xf32>
// CHECK: lumo.Compare %arg0, %arg0 {comparison_direction = #lumo.comparison_direction<GE>}
// CHECK: lumo.Unary %arg0 {kind = #lumo.unary_kind<isnan>}
// CHECK: lumo.Binary %arg0, %arg0 {kind = #lumo.binary_kind<floor_divide>}
// CHECK: lumo.Scatter %arg0, %arg1, %arg0 {reduce_kind = #lumo.scatter_reduce_kind<max>}
func.func @spellings(%x: tensor<2x3xf32>, %i: tensor<2x3xsi64>) {
  %0 = lumo.Reduce %x {dimensions = array<i64: 1>, reduce_kind = #lumo.reduce_kind<argmax>, keep_dims = false} : (tensor<2x3xf32>) -> tensor<2xsi64>
  %1 = "lumo.Reduce"(%x) {dimensions = array<i64: 1>, reduce_kind = #lumo.reduce_kind<sum>, keep_dims = true} : (tensor<2x3xf32>) -> tensor<2x1xf32>
  %2 = lumo.Compare %x, %x {comparison_direction = #lumo.comparison_direction<GE>} : (tensor<2x3xf32>, tensor<2x3xf32>) -> tensor<2x3xi1>
  %3 = lumo.Unary %x {kind = #lumo.unary_kind<isnan>} : (tensor<2x3xf32>) -> tensor<2x3xi1>
  %4 = lumo.Binary %x, %x {kind = #lumo.binary_kind<floor_divide>} : (tensor<2x3xf32>, tensor<2x3xf32>) -> tensor<2x3xf32>
  %5 = lumo.Scatter %x, %i, %x {reduce_kind = #lumo.scatter_reduce_kind<max>} : (tensor<2x3xf32>, tensor<2x3xsi64>, tensor<2x3xf32>) -> tensor<2x3xf32>
  return
}

// -----
func.func @f(%x: tensor<2x3xf32>) {
  // expected-error @+1 {{attribute 'reduce_kind' failed to satisfy constraint: How Reduce combines the elements}}
  %0 = lumo.Reduce %x {dimensions = array<i64: 1>, reduce_kind = "sum"} : (tensor<2x3xf32>) -> tensor<2xf32>
  return
}

// -----
func.func @f(%x: tensor<2x3xf32>) {
  // A case of Scatter's enumeration is not one of Reduce's.
  // expected-error @+1 {{attribute 'reduce_kind' failed to satisfy constraint: How Reduce combines the elements}}
  %0 = lumo.Reduce %x {dimensions = array<i64: 1>, reduce_kind = #lumo.scatter_reduce_kind<max>} : (tensor<2x3xf32>) -> tensor<2xf32>
  return
}

// -----
func.func @f(%x: tensor<2x3xf32>) {
  // expected-error @+1 {{requires attribute 'reduce_kind'}}
  %0 = lumo.Reduce %x {dimensions = array<i64: 1>} : (tensor<2x3xf32>) -> tensor<2xf32>
  return
}

// -----
func.func @f(%x: tensor<2x3xf32>) {
  // expected-error @+1 {{attribute 'keep_dims' failed to satisfy constraint: bool attribute}}
  %0 = lumo.Reduce %x {dimensions = array<i64: 1>, keep_dims = array<i64: 1>, reduce_kind = #lumo.reduce_kind<sum>} : (tensor<2x3xf32>) -> tensor<2x1xf32>
  return
}

// -----
func.func @f(%x: tensor<2x3xf32>) {
  // expected-error @+2 {{expected ::lumo::ScatterReduceKind to be one of: none, add, mul, max, min}}
  // expected-error @+1 {{failed to parse Lumo_ScatterReduceKindAttr parameter 'value'}}
  %0 = lumo.Reduce %x {dimensions = array<i64: 1>, reduce_kind = #lumo.scatter_reduce_kind<sum>} : (tensor<2x3xf32>) -> tensor<2xf32>
  return
}

// -----
func.func @f(%x: tensor<2x3xf32>) {
  // expected-error @+1 {{attribute 'padding_mode' failed to satisfy constraint: What the new elements of Pad hold}}
  %0 = lumo.Pad %x {edge_padding_low = array<i64: 0, 0>, edge_padding_high = array<i64: 0, 0>, interior_padding = array<i64: 0, 0>, padding_mode = "reflect"} : (tensor<2x3xf32>) -> tensor<2x3xf32>
  return
}

// -----
func.func @f(%x: tensor<2x3xf32>) {
  // The lowercase name is gone.
  // expected-error @+1 {{custom op 'lumo.pad' is unknown}}
  %0 = lumo.pad %x {edge_padding_low = array<i64: 0, 0>, edge_padding_high = array<i64: 0, 0>, interior_padding = array<i64: 0, 0>} : (tensor<2x3xf32>) -> tensor<2x3xf32>
  return
}
