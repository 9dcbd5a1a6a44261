// Reductions: dimension lists (None meaning all), keepdim, dtype casts, indices, statistics.
// RUN: torch-lumo-opt %s -split-input-file -refine-types -torch-to-lumo-pipeline | FileCheck %s
// RUN: torch-lumo-opt %s -split-input-file -refine-types -convert-torch-to-lumo=families=reductions -canonicalize -cse | FileCheck %s

// CHECK-LABEL: func.func @main
// CHECK-DAG: %[[N:.*]] = lumo.Const {value = dense<0.142857149> : tensor<f32>}
// CHECK: lumo.Reduce %arg0 {dimensions = array<i64: 0, 2>, keep_dims = true, reduce_kind = #lumo.reduce_kind<sum>} : (tensor<2x3x4xf32>) -> tensor<1x3x1xf32>
// CHECK: lumo.Reduce %arg0 {dimensions = array<i64: 0, 1, 2>, reduce_kind = #lumo.reduce_kind<mean>} : (tensor<2x3x4xf32>) -> tensor<f32>
// CHECK: %[[B:.*]] = lumo.Cast %arg1 : (tensor<2x3xi1>) -> tensor<2x3xsi64>
// CHECK: lumo.Reduce %[[B]] {dimensions = array<i64: 1>, reduce_kind = #lumo.reduce_kind<sum>} : (tensor<2x3xsi64>) -> tensor<2xsi64>
// max.dim: the values and the first index of the maximum.
// CHECK: lumo.Reduce %arg0 {dimensions = array<i64: 2>, reduce_kind = #lumo.reduce_kind<max>}
// CHECK: lumo.Reduce %arg0 {dimensions = array<i64: 2>, reduce_kind = #lumo.reduce_kind<argmax>} : (tensor<2x3x4xf32>) -> tensor<2x3xsi64>
// var with correction 1: squared deviations from the kept mean, summed, divided by n - 1 = 7.
// CHECK: %[[MEAN:.*]] = lumo.Reduce %arg0 {dimensions = array<i64: 0, 2>, keep_dims = true, reduce_kind = #lumo.reduce_kind<mean>}
// CHECK: %[[D:.*]] = lumo.Sub %arg0, %[[MEAN]]
// CHECK: %[[SQ:.*]] = lumo.Mul %[[D]], %[[D]]
// CHECK: %[[SS:.*]] = lumo.Reduce %[[SQ]] {dimensions = array<i64: 0, 2>, reduce_kind = #lumo.reduce_kind<sum>}
// CHECK: lumo.Mul %[[SS]], %[[N]]
// CHECK: lumo.Reduce %{{.*}} {dimensions = array<i64: 1>, keep_dims = true, reduce_kind = #lumo.reduce_kind<and>} : (tensor<2x3xi1>) -> tensor<2x1xi1>
// CHECK: lumo.CumSum %arg0 {axis = 1 : i64}
func.func @main(%arg0: !torch.vtensor<[2,3,4],f32>, %arg1: !torch.vtensor<[2,3],i1>)
    -> (!torch.vtensor<[1,3,1],f32>, !torch.vtensor<[],f32>, !torch.vtensor<[2],si64>, !torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],si64>, !torch.vtensor<[3],f32>, !torch.vtensor<[2,1],i1>, !torch.vtensor<[2,3,4],f32>) {
  %none = "torch.constant.none"() : () -> !torch.none
  %true = "torch.constant.bool"() {value = true} : () -> !torch.bool
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %c0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %c1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %cm1 = "torch.constant.int"() {value = -1 : i64} : () -> !torch.int
  %dims = "torch.prim.ListConstruct"(%c0, %cm1) : (!torch.int, !torch.int) -> !torch.list<int>
  %0 = "torch.aten.sum.dim_IntList"(%arg0, %dims, %true, %none) : (!torch.vtensor<[2,3,4],f32>, !torch.list<int>, !torch.bool, !torch.none) -> !torch.vtensor<[1,3,1],f32>
  %1 = "torch.aten.mean.dim"(%arg0, %none, %false, %none) : (!torch.vtensor<[2,3,4],f32>, !torch.none, !torch.bool, !torch.none) -> !torch.vtensor<[],f32>
  %one = "torch.prim.ListConstruct"(%c1) : (!torch.int) -> !torch.list<int>
  %2 = "torch.aten.sum.dim_IntList"(%arg1, %one, %false, %none) : (!torch.vtensor<[2,3],i1>, !torch.list<int>, !torch.bool, !torch.none) -> !torch.vtensor<[2],si64>
  %3:2 = "torch.aten.max.dim"(%arg0, %cm1, %false) : (!torch.vtensor<[2,3,4],f32>, !torch.int, !torch.bool) -> (!torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],si64>)
  %4 = "torch.aten.var.correction"(%arg0, %dims, %c1, %false) : (!torch.vtensor<[2,3,4],f32>, !torch.list<int>, !torch.int, !torch.bool) -> !torch.vtensor<[3],f32>
  %5 = "torch.aten.all.dim"(%arg1, %c1, %true) : (!torch.vtensor<[2,3],i1>, !torch.int, !torch.bool) -> !torch.vtensor<[2,1],i1>
  %6 = "torch.aten.cumsum"(%arg0, %c1, %none) : (!torch.vtensor<[2,3,4],f32>, !torch.int, !torch.none) -> !torch.vtensor<[2,3,4],f32>
  return %0, %1, %2, %3#0, %3#1, %4, %5, %6 : !torch.vtensor<[1,3,1],f32>, !torch.vtensor<[],f32>, !torch.vtensor<[2],si64>, !torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],si64>, !torch.vtensor<[3],f32>, !torch.vtensor<[2,1],i1>, !torch.vtensor<[2,3,4],f32>
}

// -----
// Running extrema: log2(n) rounds, each combining every position with the one 1, 2, ... before it
// (the positions before the start read the identity: -inf, the largest si64).
// cummax moves to a later value that is NaN, or at least as large while the running one is not NaN.
// CHECK-LABEL: func.func @running
// CHECK: %[[POS:.*]] = lumo.Arange %{{.*}}, %{{.*}}, %{{.*}} {dim = 1 : i64} : (tensor<si64>, tensor<si64>, tensor<si64>) -> tensor<2x3xsi64>
// CHECK: %[[V:.*]] = lumo.Pad %arg0 {constant_values = dense<0xFF800000> : tensor<f32>, edge_padding_high = array<i64: 0, -1>, edge_padding_low = array<i64: 0, 1>
// CHECK: %[[I:.*]] = lumo.Pad %[[POS]] {{.*}}edge_padding_low = array<i64: 0, 1>
// CHECK: %[[GE:.*]] = lumo.Compare %arg0, %[[V]] {comparison_direction = #lumo.comparison_direction<GE>}
// CHECK: %[[VNAN:.*]] = lumo.Unary %[[V]] {kind = #lumo.unary_kind<isnan>}
// CHECK: %[[VOK:.*]] = lumo.Unary %[[VNAN]] {kind = #lumo.unary_kind<not>}
// CHECK: %[[UP:.*]] = lumo.And %[[VOK]], %[[GE]]
// CHECK: %[[XNAN:.*]] = lumo.Unary %arg0 {kind = #lumo.unary_kind<isnan>}
// CHECK: %[[LATER:.*]] = lumo.Or %[[XNAN]], %[[UP]]
// CHECK: %[[V1:.*]] = lumo.Select %[[LATER]], %arg0, %[[V]]
// CHECK: %[[I1:.*]] = lumo.Select %[[LATER]], %[[POS]], %[[I]]
// CHECK: lumo.Pad %[[V1]] {{.*}}edge_padding_low = array<i64: 0, 2>
// CHECK: lumo.Pad %[[I1]] {{.*}}edge_padding_low = array<i64: 0, 2>
// CHECK: lumo.Pad %arg1 {constant_values = dense<9223372036854775807> : tensor<si64>, edge_padding_high = array<i64: -1>, edge_padding_low = array<i64: 1>
// CHECK: lumo.Compare %arg1, %{{.*}} {comparison_direction = #lumo.comparison_direction<LE>} : (tensor<3xsi64>, tensor<3xsi64>)
// logcumsumexp accumulates one element at a time, as PyTorch does (its gradient needs the same rounding).
// CHECK: lumo.CumLogSumExp %arg0 {axis = 1 : i64} : (tensor<2x3xf32>) -> tensor<2x3xf32>
func.func @running(%arg0: !torch.vtensor<[2,3],f32>, %arg1: !torch.vtensor<[3],si64>)
    -> (!torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],si64>, !torch.vtensor<[3],si64>, !torch.vtensor<[3],si64>, !torch.vtensor<[2,3],f32>) {
  %c1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %c0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %0:2 = "torch.aten.cummax"(%arg0, %c1) : (!torch.vtensor<[2,3],f32>, !torch.int) -> (!torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],si64>)
  %1:2 = "torch.aten.cummin"(%arg1, %c0) : (!torch.vtensor<[3],si64>, !torch.int) -> (!torch.vtensor<[3],si64>, !torch.vtensor<[3],si64>)
  %2 = "torch.aten.logcumsumexp"(%arg0, %c1) : (!torch.vtensor<[2,3],f32>, !torch.int) -> !torch.vtensor<[2,3],f32>
  return %0#0, %0#1, %1#0, %1#1, %2 : !torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],si64>, !torch.vtensor<[3],si64>, !torch.vtensor<[3],si64>, !torch.vtensor<[2,3],f32>
}

// -----
// logsumexp of integers is a float of the default type: the input is cast first.
// CHECK-LABEL: func.func @logsumexp_int
// CHECK: %[[X:.*]] = lumo.Cast %arg0 : (tensor<3xsi64>) -> tensor<3xf32>
// CHECK: lumo.Reduce %[[X]] {dimensions = array<i64: 0>, keep_dims = true, reduce_kind = #lumo.reduce_kind<max>}
func.func @logsumexp_int(%arg0: !torch.vtensor<[3],si64>) -> !torch.vtensor<[],f32> {
  %c0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %dims = "torch.prim.ListConstruct"(%c0) : (!torch.int) -> !torch.list<int>
  %0 = "torch.aten.logsumexp"(%arg0, %dims, %false) : (!torch.vtensor<[3],si64>, !torch.list<int>, !torch.bool) -> !torch.vtensor<[],f32>
  return %0 : !torch.vtensor<[],f32>
}

// -----
// sort leaves the order of ties to the appliance (stable = false); median takes the first NaN of a
// slice that has one (the number of non-NaN elements is its position in the stable order), else
// the lower middle; mode counts equal pairs.
// CHECK-LABEL: func.func @order
// CHECK: lumo.TopK %arg0 {dimension = 1 : i64, k = 3 : i64, largest = true, sorted = true, stable = false}
// CHECK: %[[V:.*]], %[[I:.*]] = lumo.TopK %arg0 {dimension = 1 : i64, k = 3 : i64, largest = false, sorted = true, stable = true}
// CHECK: %[[NAN:.*]] = lumo.Unary %arg0 {kind = #lumo.unary_kind<isnan>}
// CHECK: %[[NANS:.*]] = lumo.Reduce %{{.*}} {dimensions = array<i64: 1>, keep_dims = true, reduce_kind = #lumo.reduce_kind<sum>} : (tensor<2x3xsi64>) -> tensor<2x1xsi64>
// CHECK: %[[NUMBERS:.*]] = lumo.Sub %{{.*}}, %[[NANS]]
// CHECK: %[[ANY:.*]] = lumo.Compare %[[NANS]], %{{.*}} {comparison_direction = #lumo.comparison_direction<GT>}
// CHECK: %[[POS:.*]] = lumo.Select %[[ANY]], %[[NUMBERS]], %{{.*}}
// CHECK: lumo.Gather %{{.*}}, %[[POS]] {axis = 1 : i64, batch_dims = 1 : i64}
// CHECK: %[[EQ:.*]] = lumo.Compare %{{.*}}, %{{.*}} {comparison_direction = #lumo.comparison_direction<EQ>} : (tensor<2x3x1xf32>, tensor<2x1x3xf32>) -> tensor<2x3x3xi1>
// CHECK: lumo.Reduce %{{.*}} {dimensions = array<i64: 2>, reduce_kind = #lumo.reduce_kind<sum>} : (tensor<2x3x3xsi64>) -> tensor<2x3xsi64>
func.func @order(%arg0: !torch.vtensor<[2,3],f32>)
    -> (!torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],si64>, !torch.vtensor<[2],f32>, !torch.vtensor<[2],si64>, !torch.vtensor<[2],f32>, !torch.vtensor<[2],si64>) {
  %c1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %true = "torch.constant.bool"() {value = true} : () -> !torch.bool
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %0:2 = "torch.aten.sort"(%arg0, %c1, %true) : (!torch.vtensor<[2,3],f32>, !torch.int, !torch.bool) -> (!torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],si64>)
  %1:2 = "torch.aten.median.dim"(%arg0, %c1, %false) : (!torch.vtensor<[2,3],f32>, !torch.int, !torch.bool) -> (!torch.vtensor<[2],f32>, !torch.vtensor<[2],si64>)
  %2:2 = "torch.operator"(%arg0, %c1, %false) {name = "aten.mode"} : (!torch.vtensor<[2,3],f32>, !torch.int, !torch.bool) -> (!torch.vtensor<[2],f32>, !torch.vtensor<[2],si64>)
  return %0#0, %0#1, %1#0, %1#1, %2#0, %2#1 : !torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],si64>, !torch.vtensor<[2],f32>, !torch.vtensor<[2],si64>, !torch.vtensor<[2],f32>, !torch.vtensor<[2],si64>
}

// -----

// nansum counts NaNs as zeros; isin compares every pair; bucketize and searchsorted count the
// boundaries below each value (not above it with right), a NaN value sorting after all numbers.
// CHECK-LABEL: func.func @main
// CHECK: %[[NAN:.*]] = lumo.Unary %arg0 {kind = #lumo.unary_kind<isnan>}
// CHECK: %[[Z:.*]] = lumo.Select %[[NAN]]
// CHECK: lumo.Reduce %[[Z]] {dimensions = array<i64: 1>, reduce_kind = #lumo.reduce_kind<sum>} : (tensor<2x3xf32>) -> tensor<2xf32>
// CHECK: %[[COL:.*]] = lumo.Reshape %arg0 : (tensor<2x3xf32>) -> tensor<2x3x1xf32>
// CHECK: %[[EQ:.*]] = lumo.Compare %[[COL]], %arg1 {comparison_direction = #lumo.comparison_direction<EQ>} : (tensor<2x3x1xf32>, tensor<4xf32>) -> tensor<2x3x4xi1>
// CHECK: %[[ANY:.*]] = lumo.Reduce %[[EQ]] {dimensions = array<i64: 2>, reduce_kind = #lumo.reduce_kind<or>}
// CHECK: lumo.Unary %[[ANY]] {kind = #lumo.unary_kind<not>}
// CHECK: lumo.Compare %arg1, %[[COL]] {comparison_direction = #lumo.comparison_direction<LE>} : (tensor<4xf32>, tensor<2x3x1xf32>) -> tensor<2x3x4xi1>
// CHECK: lumo.Reduce %{{.*}} {dimensions = array<i64: 2>, reduce_kind = #lumo.reduce_kind<sum>} : (tensor<2x3x4xsi64>) -> tensor<2x3xsi64>
// CHECK: %[[V:.*]] = lumo.Cast %arg2 : (tensor<2x3xsi64>) -> tensor<2x3xf32>
// CHECK: %[[VC:.*]] = lumo.Reshape %[[V]] : (tensor<2x3xf32>) -> tensor<2x3x1xf32>
// CHECK: lumo.Compare %arg1, %[[VC]] {comparison_direction = #lumo.comparison_direction<LT>}
// CHECK: %[[P:.*]] = lumo.Reduce %{{.*}} {dimensions = array<i64: 2>, reduce_kind = #lumo.reduce_kind<sum>} : (tensor<2x3x4xsi64>) -> tensor<2x3xsi64>
// CHECK: lumo.Cast %[[P]] : (tensor<2x3xsi64>) -> tensor<2x3xsi32>
func.func @main(%arg0: !torch.vtensor<[2,3],f32>, %arg1: !torch.vtensor<[4],f32>, %arg2: !torch.vtensor<[2,3],si64>)
    -> (!torch.vtensor<[2],f32>, !torch.vtensor<[2,3],i1>, !torch.vtensor<[2,3],si64>, !torch.vtensor<[2,3],si32>) {
  %none = "torch.constant.none"() : () -> !torch.none
  %true = "torch.constant.bool"() {value = true} : () -> !torch.bool
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %c1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %one = "torch.prim.ListConstruct"(%c1) : (!torch.int) -> !torch.list<int>
  %0 = "torch.aten.nansum"(%arg0, %one, %false, %none) : (!torch.vtensor<[2,3],f32>, !torch.list<int>, !torch.bool, !torch.none) -> !torch.vtensor<[2],f32>
  %1 = "torch.aten.isin.Tensor_Tensor"(%arg0, %arg1, %false, %true) : (!torch.vtensor<[2,3],f32>, !torch.vtensor<[4],f32>, !torch.bool, !torch.bool) -> !torch.vtensor<[2,3],i1>
  %2 = "torch.aten.bucketize.Tensor"(%arg0, %arg1, %false, %true) : (!torch.vtensor<[2,3],f32>, !torch.vtensor<[4],f32>, !torch.bool, !torch.bool) -> !torch.vtensor<[2,3],si64>
  %3 = "torch.aten.searchsorted.Tensor"(%arg1, %arg2, %true, %false, %none, %none) : (!torch.vtensor<[4],f32>, !torch.vtensor<[2,3],si64>, !torch.bool, !torch.bool, !torch.none, !torch.none) -> !torch.vtensor<[2,3],si32>
  return %0, %1, %2, %3 : !torch.vtensor<[2],f32>, !torch.vtensor<[2,3],i1>, !torch.vtensor<[2,3],si64>, !torch.vtensor<[2,3],si32>
}

// -----
// segment_reduce: each position's segment (the number of segment ends at or before it, or the
// count of segments outside them all) indexes a Scatter into one row per segment and one for the
// rest, started from `initial`; mean divides by the lengths, an empty segment keeping `initial`.
// Its gradient for max: the segment's gradient split among the elements equal to the result.
// CHECK-LABEL: func.func @main
// CHECK-DAG: %[[INIT:[0-9]+]] = lumo.Const {value = dense<2.000000e+00> : tensor<4xf32>}
// CHECK: %[[ENDS:[0-9]+]] = lumo.CumSum %arg1 {axis = 0 : i64}
// CHECK: %[[STARTS:[0-9]+]] = lumo.Sub %[[ENDS]], %arg1
// CHECK: %[[POS:[0-9]+]] = lumo.Arange {{.*}} -> tensor<5x3xsi64>
// CHECK: %[[E:[0-9]+]] = lumo.Reshape %[[ENDS]] : (tensor<3xsi64>) -> tensor<1x3xsi64>
// CHECK: %[[LE:[0-9]+]] = lumo.Compare %[[E]], %[[POS]] {comparison_direction = #lumo.comparison_direction<LE>}
// CHECK: %[[N:[0-9]+]] = lumo.Cast %[[LE]]
// CHECK: %[[ID0:[0-9]+]] = lumo.Reduce %[[N]] {dimensions = array<i64: 1>, reduce_kind = #lumo.reduce_kind<sum>} : (tensor<5x3xsi64>) -> tensor<5xsi64>
// CHECK: %[[ID:[0-9]+]] = lumo.Select %{{[0-9]+}}, %[[ID0]]
// CHECK: %[[ACC:[0-9]+]] = lumo.Scatter %[[INIT]], %[[ID]], %arg0 {axis = 0 : i64, reduce_kind = #lumo.scatter_reduce_kind<add>} : (tensor<4xf32>, tensor<5xsi64>, tensor<5xf32>) -> tensor<4xf32>
// CHECK: %[[SUM:[0-9]+]] = lumo.Slice %[[ACC]]
// CHECK: %[[LEN:[0-9]+]] = lumo.Cast %arg1 : (tensor<3xsi64>) -> tensor<3xf32>
// CHECK: %[[MEAN:[0-9]+]] = lumo.Div %[[SUM]], %[[LEN]]
// CHECK: %[[OUT:[0-9]+]] = lumo.Select %{{[0-9]+}}, %[[MEAN]], %{{[0-9]+}} : (tensor<3xi1>, tensor<3xf32>, tensor<f32>) -> tensor<3xf32>
// CHECK: %[[G:[0-9]+]] = lumo.Gather %arg2
// CHECK: %[[Y:[0-9]+]] = lumo.Gather %[[OUT]]
// CHECK: %[[HIT:[0-9]+]] = lumo.Compare %arg0, %[[Y]] {comparison_direction = #lumo.comparison_direction<EQ>}
// CHECK: lumo.Scatter %{{[0-9]+}}, %[[ID]], %{{[0-9]+}} {axis = 0 : i64, reduce_kind = #lumo.scatter_reduce_kind<add>}
// CHECK: %[[SHARE:[0-9]+]] = lumo.Div %[[G]], %{{[0-9]+}}
// CHECK: lumo.Select %[[HIT]], %[[SHARE]]
func.func @main(%arg0: !torch.vtensor<[5],f32>, %arg1: !torch.vtensor<[3],si64>, %arg2: !torch.vtensor<[3],f32>) -> (!torch.vtensor<[3],f32>, !torch.vtensor<[5],f32>) {
  %none = "torch.constant.none"() : () -> !torch.none
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %c0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %f2 = "torch.constant.float"() {value = 2.0 : f64} : () -> !torch.float
  %mean = "torch.constant.str"() {value = "mean"} : () -> !torch.str
  %max = "torch.constant.str"() {value = "max"} : () -> !torch.str
  %0 = "torch.operator"(%arg0, %mean, %arg1, %none, %none, %c0, %false, %f2) {name = "aten.segment_reduce"} : (!torch.vtensor<[5],f32>, !torch.str, !torch.vtensor<[3],si64>, !torch.none, !torch.none, !torch.int, !torch.bool, !torch.float) -> !torch.vtensor<[3],f32>
  %1 = "torch.operator"(%arg2, %0, %arg0, %max, %arg1, %none, %c0, %none) {name = "aten._segment_reduce_backward"} : (!torch.vtensor<[3],f32>, !torch.vtensor<[3],f32>, !torch.vtensor<[5],f32>, !torch.str, !torch.vtensor<[3],si64>, !torch.none, !torch.int, !torch.none) -> !torch.vtensor<[5],f32>
  return %0, %1 : !torch.vtensor<[3],f32>, !torch.vtensor<[5],f32>
}

// -----
// histc over the data's range (min == max): the bin of x is trunc((x - lo) * bins / (hi - lo)),
// the last bin holding hi; a Scatter adds ones into one row per bin and a spare row for the
// elements outside [lo, hi]. histogram: edges as linspace makes them (forwards from lo, backwards
// from hi), an element's bin the number of edges at or below it less one; density divides by the
// total and the widths. A range from data that are not finite gives NaN bins.
// CHECK-LABEL: func.func @main
// CHECK: %[[X:[0-9]+]] = lumo.Reshape %arg0 : (tensor<2x3xf32>) -> tensor<6xf32>
// CHECK: %[[LO:[0-9]+]] = lumo.Reduce %[[X]] {dimensions = array<i64: 0>, reduce_kind = #lumo.reduce_kind<min>}
// CHECK: %[[HI:[0-9]+]] = lumo.Reduce %[[X]] {dimensions = array<i64: 0>, reduce_kind = #lumo.reduce_kind<max>}
// CHECK: %[[OFF:[0-9]+]] = lumo.Sub %[[X]], %{{[0-9]+}}
// CHECK: %[[SCALED:[0-9]+]] = lumo.Mul %[[OFF]], %{{[0-9]+}}
// CHECK: %[[Q:[0-9]+]] = lumo.Div %[[SCALED]], %{{[0-9]+}}
// CHECK: lumo.Cast %[[Q]] : (tensor<6xf32>) -> tensor<6xsi64>
// CHECK: %[[BINS:[0-9]+]] = lumo.Scatter %{{[0-9]+}}, %{{[0-9]+}}, %{{[0-9]+}} {axis = 0 : i64, reduce_kind = #lumo.scatter_reduce_kind<add>} : (tensor<5xf32>, tensor<6xsi64>, tensor<6xf32>) -> tensor<5xf32>
// CHECK: %[[COUNTS0:[0-9]+]] = lumo.Slice %[[BINS]], {{.*}} -> tensor<4xf32>
// CHECK: lumo.Unary %{{[0-9]+}} {kind = #lumo.unary_kind<isfinite>}
// CHECK: %[[HISTC:[0-9]+]] = lumo.Select %{{[0-9]+}}, %[[COUNTS0]], %{{[0-9]+}} : (tensor<i1>, tensor<4xf32>, tensor<f32>) -> tensor<4xf32>
// CHECK: %[[EDGES:[0-9]+]] = lumo.Select %{{[0-9]+}}, %{{[0-9]+}}, %{{[0-9]+}} : (tensor<4xi1>, tensor<4xf32>, tensor<4xf32>) -> tensor<4xf32>
// CHECK: lumo.Compare %[[EDGES]], %{{[0-9]+}} {comparison_direction = #lumo.comparison_direction<LE>} : (tensor<4xf32>, tensor<6x1xf32>) -> tensor<6x4xi1>
// CHECK: %[[COUNTS:[0-9]+]] = lumo.Slice %{{[0-9]+}}, {{.*}} -> tensor<3xf32>
// CHECK: %[[TOTAL:[0-9]+]] = lumo.Reduce %[[COUNTS]] {dimensions = array<i64: 0>, reduce_kind = #lumo.reduce_kind<sum>}
// CHECK: lumo.Div %[[COUNTS]], %[[TOTAL]]
// CHECK: %[[DENSITY:[0-9]+]] = lumo.Div
// CHECK: lumo.Select %{{[0-9]+}}, %[[DENSITY]], %{{[0-9]+}} : (tensor<i1>, tensor<3xf32>, tensor<f32>) -> tensor<3xf32>
// CHECK: return %[[HISTC]], %{{[0-9]+}}, %[[EDGES]], %{{[0-9]+}}, %arg1
func.func @main(%arg0: !torch.vtensor<[2,3],f32>, %arg1: !torch.vtensor<[4],f32>) -> (!torch.vtensor<[4],f32>, !torch.vtensor<[3],f32>, !torch.vtensor<[4],f32>, !torch.vtensor<[3],f32>, !torch.vtensor<[4],f32>) {
  %none = "torch.constant.none"() : () -> !torch.none
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %true = "torch.constant.bool"() {value = true} : () -> !torch.bool
  %c0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %c3 = "torch.constant.int"() {value = 3 : i64} : () -> !torch.int
  %c4 = "torch.constant.int"() {value = 4 : i64} : () -> !torch.int
  %0 = "torch.operator"(%arg0, %c4, %c0, %c0) {name = "aten.histc"} : (!torch.vtensor<[2,3],f32>, !torch.int, !torch.int, !torch.int) -> !torch.vtensor<[4],f32>
  %1:2 = "torch.operator"(%arg0, %c3, %none, %none, %true) {name = "aten.histogram.bin_ct"} : (!torch.vtensor<[2,3],f32>, !torch.int, !torch.none, !torch.none, !torch.bool) -> (!torch.vtensor<[3],f32>, !torch.vtensor<[4],f32>)
  %2:2 = "torch.operator"(%arg0, %arg1, %none, %false) {name = "aten.histogram.bins_tensor"} : (!torch.vtensor<[2,3],f32>, !torch.vtensor<[4],f32>, !torch.none, !torch.bool) -> (!torch.vtensor<[3],f32>, !torch.vtensor<[4],f32>)
  return %0, %1#0, %1#1, %2#0, %2#1 : !torch.vtensor<[4],f32>, !torch.vtensor<[3],f32>, !torch.vtensor<[4],f32>, !torch.vtensor<[3],f32>, !torch.vtensor<[4],f32>
}
