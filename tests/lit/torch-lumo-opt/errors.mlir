// Operations without a conversion: one error per kind at its first location, naming it.
// RUN: torch-lumo-opt %s -split-input-file -verify-diagnostics -refine-types -torch-to-lumo-pipeline

func.func @main(%arg0: !torch.vtensor<[4],f32>) -> !torch.vtensor<[4],f32> {
  // expected-error @+1 {{no lumo conversion for torch.aten.frobnicate}}
  %0 = "torch.aten.frobnicate"(%arg0) : (!torch.vtensor<[4],f32>) -> !torch.vtensor<[4],f32>
  %1 = "torch.aten.frobnicate"(%0) : (!torch.vtensor<[4],f32>) -> !torch.vtensor<[4],f32>
  // The other spelling of an operation torch-mlir does not register.
  // expected-error @+1 {{no lumo conversion for torch.aten.nonzero}}
  %2 = "torch.operator"(%1) {name = "aten.nonzero"} : (!torch.vtensor<[4],f32>) -> !torch.vtensor<[4],f32>
  return %2 : !torch.vtensor<[4],f32>
}

// -----
// A known kind whose arguments it cannot take says why.
func.func @main(%arg0: !torch.vtensor<[4],f32>) -> !torch.vtensor<[4],f32> {
  %none = "torch.constant.none"() : () -> !torch.none
  // expected-error @+1 {{no lumo conversion for torch.aten.add.Tensor: expected 3 operands, got 2}}
  %0 = "torch.aten.add.Tensor"(%arg0, %arg0) : (!torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>) -> !torch.vtensor<[4],f32>
  return %0 : !torch.vtensor<[4],f32>
}

// -----
func.func @main(%arg0: !torch.vtensor<[4],f32>, %arg1: !torch.vtensor<[],si64>) -> !torch.vtensor<[4],f32> {
  %dim = "torch.aten.IntImplicit"(%arg1) : (!torch.vtensor<[],si64>) -> !torch.int
  // expected-error @+1 {{no lumo conversion for torch.aten.cumsum: operand 1 is not a constant integer}}
  %0 = "torch.aten.cumsum"(%arg0, %dim, %dim) : (!torch.vtensor<[4],f32>, !torch.int, !torch.int) -> !torch.vtensor<[4],f32>
  return %0 : !torch.vtensor<[4],f32>
}

// -----
func.func @main(%arg0: !torch.vtensor<[4],f32>) -> !torch.vtensor<[4],f32> {
  %c = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  // expected-error @+1 {{no lumo conversion for torch.aten.cat: operand 0 is not a list of tensors}}
  %0 = "torch.aten.cat"(%arg0, %c) : (!torch.vtensor<[4],f32>, !torch.int) -> !torch.vtensor<[4],f32>
  return %0 : !torch.vtensor<[4],f32>
}

// -----
// Kinds that are never converted say why.
func.func @main(%arg0: !torch.vtensor<[4],f32>, %arg1: !torch.vtensor<[4],i1>, %arg2: !torch.vtensor<[3,3],f32>) -> !torch.vtensor<[4],f32> {
  // expected-error @+1 {{no lumo conversion for torch.aten.masked_scatter: how many source elements it reads depends on the mask's values}}
  %0 = "torch.operator"(%arg0, %arg1, %arg0) {name = "aten.masked_scatter"} : (!torch.vtensor<[4],f32>, !torch.vtensor<[4],i1>, !torch.vtensor<[4],f32>) -> !torch.vtensor<[4],f32>
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  // expected-error @+1 {{no lumo conversion for torch.aten.linalg_ldl_factor_ex: lumo has no LDL factorisation}}
  %1:3 = "torch.operator"(%arg2, %false, %false) {name = "aten.linalg_ldl_factor_ex"} : (!torch.vtensor<[3,3],f32>, !torch.bool, !torch.bool) -> (!torch.vtensor<[3,3],f32>, !torch.vtensor<[3],si32>, !torch.vtensor<[],si32>)
  return %0 : !torch.vtensor<[4],f32>
}

// -----
// Decompositions of matrices that are not f32 or f64, or with an SVD driver, are refused.
func.func @main(%arg0: !torch.vtensor<[3,3],bf16>) -> !torch.vtensor<[3],bf16> {
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %none = "torch.constant.none"() : () -> !torch.none
  // expected-error @+1 {{no lumo conversion for torch.aten._linalg_svd: aten._linalg_svd of matrices that are not f32 or f64}}
  %0:3 = "torch.operator"(%arg0, %false, %false, %none) {name = "aten._linalg_svd"} : (!torch.vtensor<[3,3],bf16>, !torch.bool, !torch.bool, !torch.none) -> (!torch.vtensor<[0],bf16>, !torch.vtensor<[3],bf16>, !torch.vtensor<[0],bf16>)
  return %0#1 : !torch.vtensor<[3],bf16>
}

// -----
func.func @main(%arg0: !torch.vtensor<[3,3],f32>) -> !torch.vtensor<[3],f32> {
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %gesvd = "torch.constant.str"() {value = "gesvd"} : () -> !torch.str
  // expected-error @+1 {{no lumo conversion for torch.aten._linalg_svd: an SVD driver}}
  %0:3 = "torch.operator"(%arg0, %false, %false, %gesvd) {name = "aten._linalg_svd"} : (!torch.vtensor<[3,3],f32>, !torch.bool, !torch.bool, !torch.str) -> (!torch.vtensor<[0],f32>, !torch.vtensor<[3],f32>, !torch.vtensor<[0],f32>)
  return %0#1 : !torch.vtensor<[3],f32>
}

// -----
// The residuals of gelsd for a tall matrix exist at full rank only: refused where the program reads them.
func.func @main(%arg0: !torch.vtensor<[4,3],f32>, %arg1: !torch.vtensor<[4,2],f32>) -> !torch.vtensor<[2],f32> {
  %none = "torch.constant.none"() : () -> !torch.none
  %gelsd = "torch.constant.str"() {value = "gelsd"} : () -> !torch.str
  // expected-error @+1 {{no lumo conversion for torch.aten.linalg_lstsq: the residuals of lstsq's gelsd driver for a tall matrix}}
  %0:4 = "torch.operator"(%arg0, %arg1, %none, %gelsd) {name = "aten.linalg_lstsq"} : (!torch.vtensor<[4,3],f32>, !torch.vtensor<[4,2],f32>, !torch.none, !torch.str) -> (!torch.vtensor<[3,2],f32>, !torch.vtensor<[2],f32>, !torch.vtensor<[],si64>, !torch.vtensor<[3],f32>)
  return %0#1 : !torch.vtensor<[2],f32>
}

// -----
// A transposed convolution's gradient whose output gradient is longer than any output padding
// allows (below max(stride, dilation)) for its input.
func.func @main(%arg0: !torch.vtensor<[1,2,11],f32>, %arg1: !torch.vtensor<[1,2,4],f32>, %arg2: !torch.vtensor<[2,2,3],f32>) -> !torch.vtensor<[1,2,4],f32> {
  %none = "torch.constant.none"() : () -> !torch.none
  %c0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %c1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %c2 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
  %true = "torch.constant.bool"() {value = true} : () -> !torch.bool
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %zero = "torch.prim.ListConstruct"(%c0) : (!torch.int) -> !torch.list<int>
  %one = "torch.prim.ListConstruct"(%c1) : (!torch.int) -> !torch.list<int>
  %two = "torch.prim.ListConstruct"(%c2) : (!torch.int) -> !torch.list<int>
  %mask = "torch.prim.ListConstruct"(%true, %false, %false) : (!torch.bool, !torch.bool, !torch.bool) -> !torch.list<bool>
  // expected-error @+1 {{no lumo conversion for torch.aten.convolution_backward: transposed convolution whose output size does not fit its settings}}
  %0:3 = "torch.aten.convolution_backward"(%arg0, %arg1, %arg2, %none, %two, %zero, %one, %true, %two, %c1, %mask) : (!torch.vtensor<[1,2,11],f32>, !torch.vtensor<[1,2,4],f32>, !torch.vtensor<[2,2,3],f32>, !torch.none, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.list<int>, !torch.int, !torch.list<bool>) -> (!torch.vtensor<[1,2,4],f32>, !torch.vtensor<[2,2,3],f32>, !torch.vtensor<[2],f32>)
  return %0#0 : !torch.vtensor<[1,2,4],f32>
}

// -----
// lumo has complex<f32> and complex<f64> but no complex<f16>: a value of it is refused.
func.func @main(%arg0: !torch.vtensor<[3],f16>) -> !torch.vtensor<[3],f16> {
  %none = "torch.constant.none"() : () -> !torch.none
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %c8 = "torch.constant.int"() {value = 8 : i64} : () -> !torch.int
  // expected-error @+1 {{cannot refine '!torch.vtensor<[3],complex<f16>>': unknown dtype 'complex<f16>'}}
  %0 = "torch.aten._to_copy"(%arg0, %c8, %none, %none, %none, %false, %none) : (!torch.vtensor<[3],f16>, !torch.int, !torch.none, !torch.none, !torch.none, !torch.bool, !torch.none) -> !torch.vtensor<[3],complex<f16>>
  return %arg0 : !torch.vtensor<[3],f16>
}

// -----
// Special functions whose order argument is out of range.
func.func @main(%arg0: !torch.vtensor<[3],f32>) -> (!torch.vtensor<[3],f32>, !torch.vtensor<[3],f32>) {
  %m1 = "torch.constant.int"() {value = -1 : i64} : () -> !torch.int
  %c0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  // expected-error @+1 {{no lumo conversion for torch.aten.polygamma: polygamma of a negative order -1}}
  %0 = "torch.aten.polygamma"(%m1, %arg0) : (!torch.int, !torch.vtensor<[3],f32>) -> !torch.vtensor<[3],f32>
  // expected-error @+1 {{no lumo conversion for torch.aten.mvlgamma: mvlgamma of dimension 0: p must be at least 1}}
  %1 = "torch.aten.mvlgamma"(%arg0, %c0) : (!torch.vtensor<[3],f32>, !torch.int) -> !torch.vtensor<[3],f32>
  return %0, %1 : !torch.vtensor<[3],f32>, !torch.vtensor<[3],f32>
}
