// How a failed conversion is reported: one error per unconverted kind, at its first location, in
// program order, with the reason its pattern gave (kinds without a pattern, kinds whose pattern
// failed, and operations refused before any pattern read them, interleaved).
// RUN: not torch-lumo-opt %s -refine-types -torch-to-lumo-pipeline 2>&1 | FileCheck %s
// With only some pattern families, the kinds of the others are reported as not enabled.
// RUN: not torch-lumo-opt %s -refine-types -convert-torch-to-lumo=families=shape 2>&1 | FileCheck %s --check-prefix=SHAPE
// RUN: not torch-lumo-opt %s -convert-torch-to-lumo=families=shape,bogus 2>&1 | FileCheck %s --check-prefix=BOGUS

// CHECK: :21:{{[0-9]+}}: error: no lumo conversion for torch.aten.frobnicate{{$}}
// CHECK: :24:{{[0-9]+}}: error: no lumo conversion for torch.aten.cat: operand 1 is not a constant integer
// CHECK: :25:{{[0-9]+}}: error: no lumo conversion for torch.operator
// CHECK-NOT: error:
// SHAPE: :20:{{[0-9]+}}: error: no lumo conversion for torch.aten.neg: its pattern is in the family 'elementwise', which is not enabled
// SHAPE: :21:{{[0-9]+}}: error: no lumo conversion for torch.aten.frobnicate{{$}}
// SHAPE: :24:{{[0-9]+}}: error: no lumo conversion for torch.aten.cat: operand 1 is not a constant integer
// SHAPE: :25:{{[0-9]+}}: error: no lumo conversion for torch.operator
// SHAPE-NOT: error:
// BOGUS: error: unknown pattern family 'bogus' (families: elementwise, reductions, linalg, shape, indexing, normalization, convolution, losses, creation, lumo, complex, collectives)
func.func @main(%arg0: !torch.vtensor<[3],f32>, %arg1: !torch.vtensor<[],si64>) -> (!torch.vtensor<[6],f32>, !torch.vtensor<[3],f32>) {
  %n = "torch.aten.neg"(%arg0) : (!torch.vtensor<[3],f32>) -> !torch.vtensor<[3],f32>
  %f = "torch.aten.frobnicate"(%n) : (!torch.vtensor<[3],f32>) -> !torch.vtensor<[3],f32>
  %dim = "torch.aten.IntImplicit"(%arg1) : (!torch.vtensor<[],si64>) -> !torch.int
  %list = "torch.prim.ListConstruct"(%f, %n) : (!torch.vtensor<[3],f32>, !torch.vtensor<[3],f32>) -> !torch.list<vtensor>
  %0 = "torch.aten.cat"(%list, %dim) : (!torch.list<vtensor>, !torch.int) -> !torch.vtensor<[6],f32>
  %1 = "torch.operator"(%n) {name = ""} : (!torch.vtensor<[3],f32>) -> !torch.vtensor<[3],f32>
  %2 = "torch.aten.frobnicate"(%1) : (!torch.vtensor<[3],f32>) -> !torch.vtensor<[3],f32>
  %3 = "torch.aten.cat"(%list, %dim) : (!torch.list<vtensor>, !torch.int) -> !torch.vtensor<[6],f32>
  return %3, %2 : !torch.vtensor<[6],f32>, !torch.vtensor<[3],f32>
}
