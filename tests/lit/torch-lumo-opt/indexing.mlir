// Embedding lookups and their gradient, gathers, index writes and index computations.
// RUN: torch-lumo-opt %s -split-input-file -refine-types -torch-to-lumo-pipeline | FileCheck %s
// RUN: torch-lumo-opt %s -split-input-file -refine-types -convert-torch-to-lumo=families=indexing -canonicalize -cse | FileCheck %s

// CHECK-LABEL: func.func @main
// CHECK-DAG: %[[SHAPE:.*]] = lumo.Const {value = dense<[10, 4]> : tensor<2xsi64>}
// CHECK: lumo.Gather %arg0, %arg1 {axis = 0 : i64} : (tensor<10x4xf32>, tensor<2x3xsi64>) -> tensor<2x3x4xf32>
// The gradient: rows of the incoming gradient added at their indices, the padding row left out.
// CHECK: %[[IDX:.*]] = lumo.Reshape %arg1 : (tensor<2x3xsi64>) -> tensor<6xsi64>
// CHECK: %[[PAD:.*]] = lumo.Compare %[[IDX]], %{{.*}} {comparison_direction = #lumo.comparison_direction<EQ>}
// CHECK: %[[KEEP:.*]] = lumo.Select %{{.*}}, %{{.*}}, %{{.*}} : (tensor<6x1xi1>, tensor<f32>, tensor<6x4xf32>) -> tensor<6x4xf32>
// CHECK: lumo.ScatterNd %{{.*}}, %[[KEEP]], %[[SHAPE]] : (tensor<6x1xsi64>, tensor<6x4xf32>, tensor<2xsi64>) -> tensor<10x4xf32>
// torch.gather along the last dimension.
// CHECK: lumo.Gather %arg0, %arg3 {axis = 1 : i64, batch_dims = 1 : i64} : (tensor<10x4xf32>, tensor<10x2xsi64>) -> tensor<10x2xf32>
// x[:, idx], negative indices counted from the end of the dimension.
// CHECK: %[[NEG:.*]] = lumo.Compare %arg4, %{{.*}} {comparison_direction = #lumo.comparison_direction<LT>}
// CHECK: %[[COL:.*]] = lumo.Select %[[NEG]], %{{.*}}, %arg4
// CHECK: lumo.Gather %arg0, %[[COL]] {axis = 1 : i64} : (tensor<10x4xf32>, tensor<5xsi64>) -> tensor<10x5xf32>
// index_put with accumulate adds rows (negative indices counted from the end).
// CHECK: %[[IDX:.*]] = lumo.Select %[[NEG]], %{{.*}}, %arg4
// CHECK: %[[ROWS:.*]] = lumo.BroadcastInDim %[[IDX]] {broadcast_dimensions = array<i64: 0>} : (tensor<5xsi64>) -> tensor<5x4xsi64>
// CHECK: lumo.Scatter %arg0, %[[ROWS]], %{{.*}} {axis = 0 : i64, reduce_kind = #lumo.scatter_reduce_kind<add>} : (tensor<10x4xf32>, tensor<5x4xsi64>, tensor<5x4xf32>) -> tensor<10x4xf32>
func.func @main(%arg0: !torch.vtensor<[10,4],f32>, %arg1: !torch.vtensor<[2,3],si64>, %arg2: !torch.vtensor<[2,3,4],f32>,
                %arg3: !torch.vtensor<[10,2],si64>, %arg4: !torch.vtensor<[5],si64>, %arg5: !torch.vtensor<[5,4],f32>)
    -> (!torch.vtensor<[2,3,4],f32>, !torch.vtensor<[10,4],f32>, !torch.vtensor<[10,2],f32>, !torch.vtensor<[10,5],f32>, !torch.vtensor<[10,4],f32>) {
  %none = "torch.constant.none"() : () -> !torch.none
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %true = "torch.constant.bool"() {value = true} : () -> !torch.bool
  %c1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %c10 = "torch.constant.int"() {value = 10 : i64} : () -> !torch.int
  %pad = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %nopad = "torch.constant.int"() {value = -1 : i64} : () -> !torch.int
  %0 = "torch.aten.embedding"(%arg0, %arg1, %nopad, %false, %false) : (!torch.vtensor<[10,4],f32>, !torch.vtensor<[2,3],si64>, !torch.int, !torch.bool, !torch.bool) -> !torch.vtensor<[2,3,4],f32>
  %1 = "torch.aten.embedding_dense_backward"(%arg2, %arg1, %c10, %pad, %false) : (!torch.vtensor<[2,3,4],f32>, !torch.vtensor<[2,3],si64>, !torch.int, !torch.int, !torch.bool) -> !torch.vtensor<[10,4],f32>
  %2 = "torch.aten.gather"(%arg0, %c1, %arg3, %false) : (!torch.vtensor<[10,4],f32>, !torch.int, !torch.vtensor<[10,2],si64>, !torch.bool) -> !torch.vtensor<[10,2],f32>
  %idx = "torch.prim.ListConstruct"(%none, %arg4) : (!torch.none, !torch.vtensor<[5],si64>) -> !torch.list<optional<vtensor>>
  %3 = "torch.aten.index.Tensor"(%arg0, %idx) : (!torch.vtensor<[10,4],f32>, !torch.list<optional<vtensor>>) -> !torch.vtensor<[10,5],f32>
  %rows = "torch.prim.ListConstruct"(%arg4) : (!torch.vtensor<[5],si64>) -> !torch.list<optional<vtensor>>
  %4 = "torch.aten.index_put"(%arg0, %rows, %arg5, %true) : (!torch.vtensor<[10,4],f32>, !torch.list<optional<vtensor>>, !torch.vtensor<[5,4],f32>, !torch.bool) -> !torch.vtensor<[10,4],f32>
  return %0, %1, %2, %3, %4 : !torch.vtensor<[2,3,4],f32>, !torch.vtensor<[10,4],f32>, !torch.vtensor<[10,2],f32>, !torch.vtensor<[10,5],f32>, !torch.vtensor<[10,4],f32>
}

// -----
// put writes (or adds) into the input read as 1-D, negative indices counted from the end.
// CHECK-LABEL: func.func @put
// CHECK: %[[FLAT:.*]] = lumo.Reshape %arg0 : (tensor<2x3xf32>) -> tensor<6xf32>
// CHECK: %[[NEG:.*]] = lumo.Compare %arg1, %{{.*}} {comparison_direction = #lumo.comparison_direction<LT>}
// CHECK: %[[IDX:.*]] = lumo.Select %[[NEG]], %{{.*}}, %arg1
// CHECK: %[[SRC:.*]] = lumo.Reshape %arg2 : (tensor<2x2xf32>) -> tensor<4xf32>
// CHECK: %[[R:.*]] = lumo.Scatter %[[FLAT]], %[[IDX]], %[[SRC]] {axis = 0 : i64, reduce_kind = #lumo.scatter_reduce_kind<add>} : (tensor<6xf32>, tensor<4xsi64>, tensor<4xf32>) -> tensor<6xf32>
// CHECK: lumo.Reshape %[[R]] : (tensor<6xf32>) -> tensor<2x3xf32>
func.func @put(%arg0: !torch.vtensor<[2,3],f32>, %arg1: !torch.vtensor<[4],si64>, %arg2: !torch.vtensor<[2,2],f32>) -> !torch.vtensor<[2,3],f32> {
  %true = "torch.constant.bool"() {value = true} : () -> !torch.bool
  %0 = "torch.operator"(%arg0, %arg1, %arg2, %true) {name = "aten.put"} : (!torch.vtensor<[2,3],f32>, !torch.vtensor<[4],si64>, !torch.vtensor<[2,2],f32>, !torch.bool) -> !torch.vtensor<[2,3],f32>
  return %0 : !torch.vtensor<[2,3],f32>
}

// -----
// index_add into a 0-d tensor updates it as the one element of a 1-d tensor.
// CHECK-LABEL: func.func @index_add_0d
// CHECK: %[[SELF:.*]] = lumo.Reshape %arg0 : (tensor<f32>) -> tensor<1xf32>
// CHECK: %[[R:.*]] = lumo.Scatter %[[SELF]], %{{.*}}, %{{.*}} {axis = 0 : i64, reduce_kind = #lumo.scatter_reduce_kind<add>} : (tensor<1xf32>, tensor<1xsi64>, tensor<1xf32>) -> tensor<1xf32>
// CHECK: lumo.Reshape %[[R]] : (tensor<1xf32>) -> tensor<f32>
func.func @index_add_0d(%arg0: !torch.vtensor<[],f32>, %arg1: !torch.vtensor<[],si64>, %arg2: !torch.vtensor<[],f32>) -> !torch.vtensor<[],f32> {
  %c0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %c1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %0 = "torch.operator"(%arg0, %c0, %arg1, %arg2, %c1) {name = "aten.index_add"} : (!torch.vtensor<[],f32>, !torch.int, !torch.vtensor<[],si64>, !torch.vtensor<[],f32>, !torch.int) -> !torch.vtensor<[],f32>
  return %0 : !torch.vtensor<[],f32>
}

// -----
// scatter_reduce without self: the indexed positions start from the identity of the reduction in
// the element type (the lowest si32 for amax).
// CHECK-LABEL: func.func @scatter_reduce_identity
// CHECK: %[[LOW:.*]] = lumo.Const {value = dense<-2147483648> : tensor<3xsi32>}
// CHECK: %[[INIT:.*]] = lumo.Scatter %arg0, %arg1, %[[LOW]] {axis = 0 : i64, reduce_kind = #lumo.scatter_reduce_kind<none>}
// CHECK: lumo.Scatter %[[INIT]], %arg1, %arg2 {axis = 0 : i64, reduce_kind = #lumo.scatter_reduce_kind<max>}
func.func @scatter_reduce_identity(%arg0: !torch.vtensor<[4],si32>, %arg1: !torch.vtensor<[3],si64>, %arg2: !torch.vtensor<[3],si32>)
    -> !torch.vtensor<[4],si32> {
  %c0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %amax = "torch.constant.str"() {value = "amax"} : () -> !torch.str
  %0 = "torch.aten.scatter_reduce.two"(%arg0, %c0, %arg1, %arg2, %amax, %false) : (!torch.vtensor<[4],si32>, !torch.int, !torch.vtensor<[3],si64>, !torch.vtensor<[3],si32>, !torch.str, !torch.bool) -> !torch.vtensor<[4],si32>
  return %0 : !torch.vtensor<[4],si32>
}

// -----
// nonzero_static: each non-zero element's row is the running count of them less one; a Scatter
// writes its indices there (the other elements' to a spare row) over rows of fill_value.
// CHECK-LABEL: func.func @main
// CHECK-DAG: %[[FILL:[0-9]+]] = lumo.Const {value = dense<-1> : tensor<5x2xsi64>}
// CHECK: %[[NZ:[0-9]+]] = lumo.Compare %arg0, %{{[0-9]+}} {comparison_direction = #lumo.comparison_direction<NE>}
// CHECK: %[[FLAGS:[0-9]+]] = lumo.Reshape %[[NZ]] : (tensor<2x3xi1>) -> tensor<6xi1>
// CHECK: %[[RUNNING:[0-9]+]] = lumo.CumSum %{{[0-9]+}} {axis = 0 : i64} : (tensor<6xsi64>) -> tensor<6xsi64>
// CHECK: %[[ROW:[0-9]+]] = lumo.Add %[[RUNNING]], %{{[0-9]+}}
// CHECK: %[[ROWS:[0-9]+]] = lumo.Select %{{[0-9]+}}, %[[ROW]], %{{[0-9]+}}
// CHECK: %[[COORDS:[0-9]+]] = lumo.Concat %{{[0-9]+}}, %{{[0-9]+}} {axis = 1 : i64} : (tensor<6x1xsi64>, tensor<6x1xsi64>) -> tensor<6x2xsi64>
// CHECK: %[[OUT:[0-9]+]] = lumo.Scatter %[[FILL]], %{{[0-9]+}}, %[[COORDS]] {axis = 0 : i64, reduce_kind = #lumo.scatter_reduce_kind<none>} : (tensor<5x2xsi64>, tensor<6x2xsi64>, tensor<6x2xsi64>) -> tensor<5x2xsi64>
// CHECK: lumo.Slice %[[OUT]], {{.*}} -> tensor<4x2xsi64>
func.func @main(%arg0: !torch.vtensor<[2,3],f32>) -> !torch.vtensor<[4,2],si64> {
  %c4 = "torch.constant.int"() {value = 4 : i64} : () -> !torch.int
  %cm1 = "torch.constant.int"() {value = -1 : i64} : () -> !torch.int
  %0 = "torch.operator"(%arg0, %c4, %cm1) {name = "aten.nonzero_static"} : (!torch.vtensor<[2,3],f32>, !torch.int, !torch.int) -> !torch.vtensor<[4,2],si64>
  return %0 : !torch.vtensor<[4,2],si64>
}

// -----
// index_put with accumulate of bf16 adds one value at a time, rounding each sum (add_sequential);
// f32 sums keep Scatter's add.
// CHECK-LABEL: func.func @main
// CHECK: lumo.Scatter %arg0, %{{[0-9]+}}, %arg2 {axis = 0 : i64, reduce_kind = #lumo.scatter_reduce_kind<add_sequential>} : (tensor<4xbf16>, tensor<3xsi64>, tensor<3xbf16>) -> tensor<4xbf16>
// CHECK: lumo.Scatter %arg3, %{{[0-9]+}}, %arg4 {axis = 0 : i64, reduce_kind = #lumo.scatter_reduce_kind<add>} : (tensor<4xf32>, tensor<3xsi64>, tensor<3xf32>) -> tensor<4xf32>
func.func @main(%arg0: !torch.vtensor<[4],bf16>, %arg1: !torch.vtensor<[3],si64>, %arg2: !torch.vtensor<[3],bf16>, %arg3: !torch.vtensor<[4],f32>, %arg4: !torch.vtensor<[3],f32>) -> (!torch.vtensor<[4],bf16>, !torch.vtensor<[4],f32>) {
  %true = "torch.constant.bool"() {value = true} : () -> !torch.bool
  %list = "torch.prim.ListConstruct"(%arg1) : (!torch.vtensor<[3],si64>) -> !torch.list<optional<vtensor>>
  %0 = "torch.aten.index_put"(%arg0, %list, %arg2, %true) : (!torch.vtensor<[4],bf16>, !torch.list<optional<vtensor>>, !torch.vtensor<[3],bf16>, !torch.bool) -> !torch.vtensor<[4],bf16>
  %1 = "torch.aten.index_put"(%arg3, %list, %arg4, %true) : (!torch.vtensor<[4],f32>, !torch.list<optional<vtensor>>, !torch.vtensor<[3],f32>, !torch.bool) -> !torch.vtensor<[4],f32>
  return %0, %1 : !torch.vtensor<[4],bf16>, !torch.vtensor<[4],f32>
}

// -----
// repeat_interleave with output_size: position j takes the number of running totals of repeats
// at or below it. index_put with a boolean mask and values that fill every selected row: a select
// (an addition with accumulate) where the mask holds. A gather with an empty index gathers nothing.
// CHECK-LABEL: func.func @main
// CHECK: %[[TOTALS:[0-9]+]] = lumo.CumSum %{{[0-9]+}} {axis = 1 : i64} : (tensor<1x4xsi64>) -> tensor<1x4xsi64>
// CHECK: %[[LE:[0-9]+]] = lumo.Compare %[[TOTALS]], %{{[0-9]+}} {comparison_direction = #lumo.comparison_direction<LE>} : (tensor<1x4xsi64>, tensor<6x4xsi64>) -> tensor<6x4xi1>
// CHECK: %[[N:[0-9]+]] = lumo.Cast %[[LE]]
// CHECK: %[[REPEATED:[0-9]+]] = lumo.Reduce %[[N]] {dimensions = array<i64: 1>, reduce_kind = #lumo.reduce_kind<sum>} : (tensor<6x4xsi64>) -> tensor<6xsi64>
// CHECK: %[[ROWS:[0-9]+]] = lumo.BroadcastInDim %{{[0-9]+}} {{.*}} : (tensor<1x3xf32>) -> tensor<5x3xf32>
// CHECK: %[[MASK:[0-9]+]] = lumo.BroadcastInDim %{{[0-9]+}} {{.*}} : (tensor<5x1xi1>) -> tensor<5x3xi1>
// CHECK: %[[SUM:[0-9]+]] = lumo.Add %arg1, %[[ROWS]]
// CHECK: %[[PUT:[0-9]+]] = lumo.Select %[[MASK]], %[[SUM]], %arg1
// CHECK: return %[[REPEATED]], %[[PUT]], %{{[0-9]+}}
func.func @main(%arg0: !torch.vtensor<[4],si64>, %arg1: !torch.vtensor<[5,3],f32>, %arg2: !torch.vtensor<[5],i1>, %arg3: !torch.vtensor<[3],f32>, %arg4: !torch.vtensor<[2,0],si64>) -> (!torch.vtensor<[6],si64>, !torch.vtensor<[5,3],f32>, !torch.vtensor<[2,0],f32>) {
  %c6 = "torch.constant.int"() {value = 6 : i64} : () -> !torch.int
  %c0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %true = "torch.constant.bool"() {value = true} : () -> !torch.bool
  %0 = "torch.operator"(%arg0, %c6) {name = "aten.repeat_interleave.Tensor"} : (!torch.vtensor<[4],si64>, !torch.int) -> !torch.vtensor<[6],si64>
  %list = "torch.prim.ListConstruct"(%arg2) : (!torch.vtensor<[5],i1>) -> !torch.list<optional<vtensor>>
  %1 = "torch.aten.index_put"(%arg1, %list, %arg3, %true) : (!torch.vtensor<[5,3],f32>, !torch.list<optional<vtensor>>, !torch.vtensor<[3],f32>, !torch.bool) -> !torch.vtensor<[5,3],f32>
  %2 = "torch.aten.gather"(%arg1, %c0, %arg4, %false) : (!torch.vtensor<[5,3],f32>, !torch.int, !torch.vtensor<[2,0],si64>, !torch.bool) -> !torch.vtensor<[2,0],f32>
  return %0, %1, %2 : !torch.vtensor<[6],si64>, !torch.vtensor<[5,3],f32>, !torch.vtensor<[2,0],f32>
}
