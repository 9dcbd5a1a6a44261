// The module hands over its text with "func.func @" rewritten to "func @"; the tool restores the
// keyword where it begins an operation and leaves strings alone.
// RUN: torch-lumo-opt %s -refine-types | FileCheck %s

// CHECK: func.func @main(%arg0: tensor<2xf32> {vx.input_name = "input_x"}) -> (tensor<2xf32> {vx.output_name = "func @main"})
// CHECK-SAME: attributes {vx.seed = 7 : ui64}
// CHECK: func.func private @helper
module {
  func @main(%arg0: !torch.vtensor<[2],f32> {vx.input_name = "input_x"}) -> (!torch.vtensor<[2],f32> {vx.output_name = "func @main"}) attributes {vx.seed = 7 : ui64} {
    return %arg0 : !torch.vtensor<[2],f32>
  }
    func private @helper()
}
