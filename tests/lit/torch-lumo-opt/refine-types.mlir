// -refine-types: torch value tensors become builtin tensors in signatures and bodies; attributes
// stay; tensors that cannot be refined are reported at their values.
// RUN: torch-lumo-opt %s -split-input-file -verify-diagnostics -refine-types | FileCheck %s

// CHECK-LABEL: func.func @main
// CHECK-SAME: (%arg0: tensor<2x3xf32> {tf.aliasing_output = 0 : i64, tf.resource_name = "w"}, %arg1: tensor<si64> {tf.parameter_value = dense<3> : tensor<si64>, vx.input_name = "placeholder1"}, %arg2: tensor<4xi1>, %arg3: tensor<ui8>, %arg4: tensor<1x2xbf16>)
// CHECK-SAME: -> tensor<2x3xf32>
// CHECK-SAME: attributes {vx.seed = 3 : ui64}
// CHECK: "torch.aten.relu"(%arg0) : (tensor<2x3xf32>) -> tensor<2x3xf32>
// CHECK: "torch.aten.IntImplicit"(%arg1) : (tensor<si64>) -> !torch.int
func.func @main(%arg0: !torch.vtensor<[2,3],f32> {tf.aliasing_output = 0 : i64, tf.resource_name = "w"},
                %arg1: !torch.vtensor<[],si64> {tf.parameter_value = dense<3> : tensor<si64>, vx.input_name = "placeholder1"},
                %arg2: !torch.vtensor<[4],i1>, %arg3: !torch.vtensor<[],ui8>, %arg4: !torch.vtensor<[1,2],bf16>)
    -> !torch.vtensor<[2,3],f32> attributes {vx.seed = 3 : ui64} {
  %0 = "torch.aten.relu"(%arg0) : (!torch.vtensor<[2,3],f32>) -> !torch.vtensor<[2,3],f32>
  %1 = "torch.aten.IntImplicit"(%arg1) : (!torch.vtensor<[],si64>) -> !torch.int
  return %0 : !torch.vtensor<[2,3],f32>
}

// -----
// expected-error @+1 {{cannot refine '!torch.vtensor<[?,3],f32>': dimension 0 is dynamic}}
func.func @main(%arg0: !torch.vtensor<[?,3],f32>) {
  return
}

// -----
func.func @main(%arg0: !torch.vtensor<[2],f32>) {
  // expected-error @+1 {{cannot refine '!torch.vtensor<[2],unk>': unknown dtype 'unk'}}
  %0 = "torch.aten.relu"(%arg0) : (!torch.vtensor<[2],f32>) -> !torch.vtensor<[2],unk>
  return
}

// -----
func.func @main(%arg0: !torch.vtensor<[2],f32>) {
  // expected-error @+1 {{cannot refine '!torch.tensor<[2],f32>': not a value tensor}}
  %0 = "torch.aten.relu"(%arg0) : (!torch.vtensor<[2],f32>) -> !torch.tensor<[2],f32>
  return
}

// -----
func.func @main(%arg0: !torch.vtensor<[2],f32>) {
  // expected-error @+1 {{cannot refine '!torch.vtensor': its shape and dtype are unknown}}
  %0 = "torch.aten.relu"(%arg0) : (!torch.vtensor<[2],f32>) -> !torch.vtensor
  return
}
