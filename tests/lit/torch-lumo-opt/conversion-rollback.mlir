// A pattern that fails leaves nothing behind: the operations it emitted before giving up are rolled
// back and the torch operation stays (the IR after the failed conversion shows it). Results a
// pattern leaves without a replacement (statistics only their gradient reads) stand in for the
// torch results until nothing reads them; a failed gradient still reads them, and only its kind is
// reported.
// RUN: not torch-lumo-opt %s -split-input-file -refine-types -convert-torch-to-lumo -mlir-print-ir-after-failure > %t 2> %t.err
// RUN: not grep -q func %t
// RUN: FileCheck %s < %t.err

// The cast of the si32 piece, emitted before the dimension is read, is rolled back.
// CHECK: error: no lumo conversion for torch.aten.cat: operand 1 is not a constant integer
// CHECK-LABEL: IR Dump After {{.*}}Failed
// CHECK: func.func @cat
// CHECK-NOT: lumo.Cast
// CHECK: = lumo.{{[A-Za-z]+}} %arg1
// CHECK-NOT: lumo.Cast
// CHECK: "torch.aten.cat"
// CHECK-NOT: lumo.Cast
// CHECK: return
func.func @cat(%arg0: !torch.vtensor<[2],si32>, %arg1: !torch.vtensor<[3],f32>, %arg2: !torch.vtensor<[],si64>) -> !torch.vtensor<[5],f32> {
  %n = "torch.aten.neg"(%arg1) : (!torch.vtensor<[3],f32>) -> !torch.vtensor<[3],f32>
  %dim = "torch.aten.IntImplicit"(%arg2) : (!torch.vtensor<[],si64>) -> !torch.int
  %list = "torch.prim.ListConstruct"(%arg0, %n) : (!torch.vtensor<[2],si32>, !torch.vtensor<[3],f32>) -> !torch.list<vtensor>
  %0 = "torch.aten.cat"(%list, %dim) : (!torch.list<vtensor>, !torch.int) -> !torch.vtensor<[5],f32>
  return %0 : !torch.vtensor<[5],f32>
}

// -----
// The forward layer norm converts (its mean and rstd stand in for the gradient, which would
// recompute them); the gradient fails after emitting its LayerNormGrad, which is rolled back.
// CHECK: error: no lumo conversion for torch.aten.native_layer_norm_backward: operand 7 is not a list of constant bools
// CHECK-NOT: error:
// CHECK-LABEL: IR Dump After {{.*}}Failed
// CHECK: func.func @layer_norm
// CHECK: lumo.LayerNorm
// CHECK-DAG: %[[MEAN:.*]] = builtin.unrealized_conversion_cast to tensor<2x3x1xf32>
// CHECK-DAG: %[[RSTD:.*]] = builtin.unrealized_conversion_cast to tensor<2x3x1xf32>
// CHECK-NOT: lumo.LayerNormGrad
// CHECK: "torch.aten.native_layer_norm_backward"(%arg3, %arg0, %{{.*}}, %[[MEAN]], %[[RSTD]],
// CHECK-NOT: lumo.LayerNormGrad
func.func @layer_norm(%arg0: !torch.vtensor<[2,3,8],f32>, %arg1: !torch.vtensor<[8],f32>, %arg2: !torch.vtensor<[8],f32>, %arg3: !torch.vtensor<[2,3,8],f32>, %arg4: !torch.vtensor<[],i1>)
    -> (!torch.vtensor<[2,3,8],f32>, !torch.vtensor<[2,3,8],f32>) {
  %c8 = "torch.constant.int"() {value = 8 : i64} : () -> !torch.int
  %shape = "torch.prim.ListConstruct"(%c8) : (!torch.int) -> !torch.list<int>
  %eps = "torch.constant.float"() {value = 1.000000e-05 : f64} : () -> !torch.float
  %0:3 = "torch.aten.native_layer_norm"(%arg0, %shape, %arg1, %arg2, %eps) : (!torch.vtensor<[2,3,8],f32>, !torch.list<int>, !torch.vtensor<[8],f32>, !torch.vtensor<[8],f32>, !torch.float) -> (!torch.vtensor<[2,3,8],f32>, !torch.vtensor<[2,3,1],f32>, !torch.vtensor<[2,3,1],f32>)
  %b = "torch.aten.Bool.Tensor"(%arg4) : (!torch.vtensor<[],i1>) -> !torch.bool
  %mask = "torch.prim.ListConstruct"(%b, %b, %b) : (!torch.bool, !torch.bool, !torch.bool) -> !torch.list<bool>
  %1:3 = "torch.aten.native_layer_norm_backward"(%arg3, %arg0, %shape, %0#1, %0#2, %arg1, %arg2, %mask) : (!torch.vtensor<[2,3,8],f32>, !torch.vtensor<[2,3,8],f32>, !torch.list<int>, !torch.vtensor<[2,3,1],f32>, !torch.vtensor<[2,3,1],f32>, !torch.vtensor<[8],f32>, !torch.vtensor<[8],f32>, !torch.list<bool>) -> (!torch.vtensor<[2,3,8],f32>, !torch.vtensor<[8],f32>, !torch.vtensor<[8],f32>)
  return %0#0, %1#0 : !torch.vtensor<[2,3,8],f32>, !torch.vtensor<[2,3,8],f32>
}
