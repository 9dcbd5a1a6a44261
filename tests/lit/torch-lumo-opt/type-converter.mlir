// The torch type conversion: -convert-torch-to-lumo refines torch value tensors itself when
// -refine-types did not run; a program's arguments and results must be tensors; a shape whose
// element count does not fit in 64 bits is refused.
// RUN: torch-lumo-opt %s -split-input-file -verify-diagnostics -convert-torch-to-lumo -canonicalize | FileCheck %s
// RUN: torch-lumo-opt %s -split-input-file -verify-diagnostics -refine-types -convert-torch-to-lumo -canonicalize | FileCheck %s

// An embedded scalar argument is still read as a constant after the conversion of the signature.
// CHECK-LABEL: func.func @main
// CHECK-SAME: (%arg0: tensor<2x3xf32>, %arg1: tensor<si64> {tf.parameter_value = dense<2> : tensor<si64>}) -> tensor<2x3xf32>
// CHECK-NOT: torch
// CHECK: lumo.Const {value = dense<2.000000e+00> : tensor<f32>}
// CHECK-NOT: torch
// CHECK: return %{{.*}} : tensor<2x3xf32>
func.func @main(%arg0: !torch.vtensor<[2,3],f32>, %arg1: !torch.vtensor<[],si64> {tf.parameter_value = dense<2> : tensor<si64>}) -> !torch.vtensor<[2,3],f32> {
  %alpha = "torch.aten.IntImplicit"(%arg1) : (!torch.vtensor<[],si64>) -> !torch.int
  %0 = "torch.aten.add.Tensor"(%arg0, %arg0, %alpha) : (!torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],f32>, !torch.int) -> !torch.vtensor<[2,3],f32>
  return %0 : !torch.vtensor<[2,3],f32>
}

// -----
// expected-error @+1 {{function argument 1 is '!torch.int', not a tensor: a program's inputs and outputs are tensors}}
func.func @main(%arg0: !torch.vtensor<[2],f32>, %arg1: !torch.int) -> !torch.vtensor<[2],f32> {
  return %arg0 : !torch.vtensor<[2],f32>
}

// -----
// expected-error @+1 {{function result 0 is '!torch.int', not a tensor: a program's inputs and outputs are tensors}}
func.func @main(%arg0: !torch.vtensor<[2],f32>) -> !torch.int {
  %c = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  return %c : !torch.int
}

// -----
// expected-error @+1 {{cannot refine '!torch.vtensor<[4294967296,4294967296,4294967296],f32>': its element count does not fit in 64 bits}}
func.func @main(%arg0: !torch.vtensor<[4294967296,4294967296,4294967296],f32>) {
  return
}

// -----
func.func @main(%arg0: !torch.vtensor<[2],f32>) {
  // expected-error @+1 {{cannot refine '!torch.vtensor<[9223372036854775807,2],f32>': its element count does not fit in 64 bits}}
  %0 = "torch.aten.relu"(%arg0) : (!torch.vtensor<[2],f32>) -> !torch.vtensor<[9223372036854775807,2],f32>
  return
}
