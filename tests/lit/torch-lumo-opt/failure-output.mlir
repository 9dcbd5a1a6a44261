// A failed conversion exits with status 1, reports each unconverted kind once and writes nothing
// to standard output; malformed text ends the same way.
// RUN: not torch-lumo-opt %s -refine-types -torch-to-lumo-pipeline > %t 2> %t.err
// RUN: count 0 < %t
// RUN: FileCheck %s < %t.err
// RUN: echo 'func.func @main(%a: !torch.vtensor<[2],f32>) { "torch.aten.relu"(%a) ' | not torch-lumo-opt -refine-types -torch-to-lumo-pipeline > %t.bad
// RUN: count 0 < %t.bad

// CHECK: error: no lumo conversion for torch.aten.frobnicate
// CHECK-NOT: error: no lumo conversion for torch.aten.frobnicate
// CHECK: error: no lumo conversion for torch.aten.nonzero
func.func @main(%arg0: !torch.vtensor<[4],f32>) -> !torch.vtensor<[4],f32> {
  %0 = "torch.aten.frobnicate"(%arg0) : (!torch.vtensor<[4],f32>) -> !torch.vtensor<[4],f32>
  %1 = "torch.aten.frobnicate"(%0) : (!torch.vtensor<[4],f32>) -> !torch.vtensor<[4],f32>
  %2 = "torch.operator"(%1) {name = "aten.nonzero"} : (!torch.vtensor<[4],f32>) -> !torch.vtensor<[4],f32>
  %3 = "torch.aten.relu"(%2) : (!torch.vtensor<[4],f32>) -> !torch.vtensor<[4],f32>
  return %3 : !torch.vtensor<[4],f32>
}
