// AllReduce: the replica groups, the channel id and the kind against the element type; each rule
// rejects a violation with an error at the operation that names the rule.
// RUN: torch-lumo-opt %s -split-input-file -verify-diagnostics

func.func @f(%x: tensor<4xf32>, %i: tensor<4xsi32>, %b: tensor<4xi1>) {
  // Well-formed: two groups of two, bitwise kinds on integers and i1.
  %0 = lumo.AllReduce %x {kind = #lumo.all_reduce_kind<sum>, replica_groups = dense<[[0, 2], [1, 3]]> : tensor<2x2xi64>, channel_id = 1 : i64} : (tensor<4xf32>) -> tensor<4xf32>
  %1 = lumo.AllReduce %i {kind = #lumo.all_reduce_kind<xor>, replica_groups = dense<[[0]]> : tensor<1x1xi64>, channel_id = 2 : i64} : (tensor<4xsi32>) -> tensor<4xsi32>
  %2 = lumo.AllReduce %b {kind = #lumo.all_reduce_kind<or>, replica_groups = dense<[[0, 1]]> : tensor<1x2xi64>, channel_id = 3 : i64} : (tensor<4xi1>) -> tensor<4xi1>
  return
}

// -----
func.func @f(%x: tensor<4xf32>) {
  // expected-error @+1 {{kind "and" needs integer or i1 elements, got 'f32'}}
  %0 = lumo.AllReduce %x {kind = #lumo.all_reduce_kind<and>, replica_groups = dense<[[0, 1]]> : tensor<1x2xi64>, channel_id = 1 : i64} : (tensor<4xf32>) -> tensor<4xf32>
  return
}

// -----
func.func @f(%x: tensor<4xf32>) {
  // expected-error @+1 {{replica_groups must be a 2-D dense i64 attribute (one row per group), got dense<[0, 1]> : tensor<2xi64>}}
  %0 = lumo.AllReduce %x {kind = #lumo.all_reduce_kind<sum>, replica_groups = dense<[0, 1]> : tensor<2xi64>, channel_id = 1 : i64} : (tensor<4xf32>) -> tensor<4xf32>
  return
}

// -----
func.func @f(%x: tensor<4xf32>) {
  // expected-error @+1 {{replica_groups must be a 2-D dense i64 attribute (one row per group), got dense<0> : tensor<1x2xi32>}}
  %0 = lumo.AllReduce %x {kind = #lumo.all_reduce_kind<sum>, replica_groups = dense<0> : tensor<1x2xi32>, channel_id = 1 : i64} : (tensor<4xf32>) -> tensor<4xf32>
  return
}

// -----
func.func @f(%x: tensor<4xf32>) {
  // expected-error @+1 {{replica_groups must hold at least one group of at least one replica, got 1 groups of 0}}
  %0 = lumo.AllReduce %x {kind = #lumo.all_reduce_kind<sum>, replica_groups = dense<> : tensor<1x0xi64>, channel_id = 1 : i64} : (tensor<4xf32>) -> tensor<4xf32>
  return
}

// -----
func.func @f(%x: tensor<4xf32>) {
  // expected-error @+1 {{replica id -1 in group 1 is negative}}
  %0 = lumo.AllReduce %x {kind = #lumo.all_reduce_kind<max>, replica_groups = dense<[[0, 1], [2, -1]]> : tensor<2x2xi64>, channel_id = 1 : i64} : (tensor<4xf32>) -> tensor<4xf32>
  return
}

// -----
func.func @f(%x: tensor<4xf32>) {
  // expected-error @+1 {{replica id 1 appears twice (groups 0 and 1)}}
  %0 = lumo.AllReduce %x {kind = #lumo.all_reduce_kind<min>, replica_groups = dense<[[0, 1], [1, 2]]> : tensor<2x2xi64>, channel_id = 1 : i64} : (tensor<4xf32>) -> tensor<4xf32>
  return
}

// -----
func.func @f(%x: tensor<4xf32>) {
  // expected-error @+1 {{channel_id 0 must be positive}}
  %0 = lumo.AllReduce %x {kind = #lumo.all_reduce_kind<prod>, replica_groups = dense<[[0, 1]]> : tensor<1x2xi64>, channel_id = 0 : i64} : (tensor<4xf32>) -> tensor<4xf32>
  return
}

// -----
func.func @f(%x: tensor<4xf32>) {
  // expected-error @+1 {{requires the same type for all operands and results}}
  %0 = lumo.AllReduce %x {kind = #lumo.all_reduce_kind<sum>, replica_groups = dense<[[0, 1]]> : tensor<1x2xi64>, channel_id = 1 : i64} : (tensor<4xf32>) -> tensor<4xf64>
  return
}

// -----
func.func @f(%x: tensor<4xf32>) {
  // expected-error @+2 {{expected ::lumo::AllReduceKind to be one of: sum, prod, min, max, and, or, xor}}
  // expected-error @+1 {{failed to parse Lumo_AllReduceKindAttr parameter 'value'}}
  %0 = lumo.AllReduce %x {kind = #lumo.all_reduce_kind<avg>, replica_groups = dense<[[0, 1]]> : tensor<1x2xi64>, channel_id = 1 : i64} : (tensor<4xf32>) -> tensor<4xf32>
  return
}
