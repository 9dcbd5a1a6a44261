// Malformed torch operations are refused at the operation with the reason, before a pattern reads
// them: operand counts and kinds against the operator's schema, constants and lists against their
// types, declared result types against what the operation computes.
// RUN: torch-lumo-opt %s -split-input-file -verify-diagnostics -refine-types -torch-to-lumo-pipeline
// Every case fails: exit status 1 and nothing on standard output but the separators of the cases.
// RUN: not torch-lumo-opt %s -split-input-file -refine-types -torch-to-lumo-pipeline > %t 2> %t.err
// RUN: not grep -v -e '^// --*$' -e '^$' %t

// A convolution whose bias is 0-d, not a vector of its output channels.
func.func @main(%x: !torch.vtensor<[1,2,5],f32>, %w: !torch.vtensor<[3,2,2],f32>, %b: !torch.vtensor<[],f32>) -> !torch.vtensor<[1,3,4],f32> {
  %c0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %c1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %zero = "torch.prim.ListConstruct"(%c0) : (!torch.int) -> !torch.list<int>
  %one = "torch.prim.ListConstruct"(%c1) : (!torch.int) -> !torch.list<int>
  // expected-error @+1 {{no lumo conversion for torch.aten.convolution: the bias is not a vector of 3 output channels}}
  %0 = "torch.aten.convolution"(%x, %w, %b, %one, %zero, %one, %false, %zero, %c1) : (!torch.vtensor<[1,2,5],f32>, !torch.vtensor<[3,2,2],f32>, !torch.vtensor<[],f32>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.list<int>, !torch.int) -> !torch.vtensor<[1,3,4],f32>
  return %0 : !torch.vtensor<[1,3,4],f32>
}

// -----
// A convolution whose declared result is not its output's shape.
func.func @main(%x: !torch.vtensor<[1,2,5],f32>, %w: !torch.vtensor<[3,2,2],f32>) -> !torch.vtensor<[1,3,5],f32> {
  %none = "torch.constant.none"() : () -> !torch.none
  %c0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %c1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %zero = "torch.prim.ListConstruct"(%c0) : (!torch.int) -> !torch.list<int>
  %one = "torch.prim.ListConstruct"(%c1) : (!torch.int) -> !torch.list<int>
  // expected-error @+1 {{no lumo conversion for torch.aten.convolution: the result's shape differs from the convolution's output shape}}
  %0 = "torch.aten.convolution"(%x, %w, %none, %one, %zero, %one, %false, %zero, %c1) : (!torch.vtensor<[1,2,5],f32>, !torch.vtensor<[3,2,2],f32>, !torch.none, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool, !torch.list<int>, !torch.int) -> !torch.vtensor<[1,3,5],f32>
  return %0 : !torch.vtensor<[1,3,5],f32>
}

// -----
// nll_loss_backward with a 0-d target for a batch of inputs.
func.func @main(%input: !torch.vtensor<[4,10],f32>, %target: !torch.vtensor<[],si64>, %grad: !torch.vtensor<[],f32>) -> !torch.vtensor<[4,10],f32> {
  %none = "torch.constant.none"() : () -> !torch.none
  %mean = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %ignore = "torch.constant.int"() {value = -100 : i64} : () -> !torch.int
  // expected-error @+1 {{no lumo conversion for torch.aten.nll_loss_backward: the target's shape is not the input's without its class dimension}}
  %0 = "torch.aten.nll_loss_backward"(%grad, %input, %target, %none, %mean, %ignore, %grad) : (!torch.vtensor<[],f32>, !torch.vtensor<[4,10],f32>, !torch.vtensor<[],si64>, !torch.none, !torch.int, !torch.int, !torch.vtensor<[],f32>) -> !torch.vtensor<[4,10],f32>
  return %0 : !torch.vtensor<[4,10],f32>
}

// -----
// An f32 product declared si32 is refused, not computed as a cast then a product.
func.func @main(%a: !torch.vtensor<[3],f32>, %b: !torch.vtensor<[3],f32>) -> !torch.vtensor<[3],si32> {
  // expected-error @+1 {{no lumo conversion for torch.aten.mul.Tensor: result 0 is declared si32 but the operation gives f32}}
  %0 = "torch.aten.mul.Tensor"(%a, %b) : (!torch.vtensor<[3],f32>, !torch.vtensor<[3],f32>) -> !torch.vtensor<[3],si32>
  return %0 : !torch.vtensor<[3],si32>
}

// -----
// Pooling to a given size keeps the input's element type and gives si64 indices, of that size.
func.func @main(%x: !torch.vtensor<[1,2,5,6],f32>, %u: !torch.vtensor<[1,2,2],f32>) -> !torch.vtensor<[1,2,3,2],i1> {
  %c2 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
  %c3 = "torch.constant.int"() {value = 3 : i64} : () -> !torch.int
  %kernel = "torch.prim.ListConstruct"(%c2, %c3) : (!torch.int, !torch.int) -> !torch.list<int>
  %size = "torch.prim.ListConstruct"(%c3, %c2) : (!torch.int, !torch.int) -> !torch.list<int>
  // expected-error @+1 {{no lumo conversion for torch.aten.fractional_max_pool2d: result 0 is declared i1 but the operation gives f32}}
  %0:2 = "torch.aten.fractional_max_pool2d"(%x, %kernel, %size, %u) : (!torch.vtensor<[1,2,5,6],f32>, !torch.list<int>, !torch.list<int>, !torch.vtensor<[1,2,2],f32>) -> (!torch.vtensor<[1,2,3,2],i1>, !torch.vtensor<[1,2,3,2],si64>)
  return %0#0 : !torch.vtensor<[1,2,3,2],i1>
}

// -----
func.func @main(%x: !torch.vtensor<[1,2,2,2],f32>, %i: !torch.vtensor<[1,2,2,2],si64>) -> !torch.vtensor<[1,2,4,5],f16> {
  %c4 = "torch.constant.int"() {value = 4 : i64} : () -> !torch.int
  %c5 = "torch.constant.int"() {value = 5 : i64} : () -> !torch.int
  %size = "torch.prim.ListConstruct"(%c4, %c5) : (!torch.int, !torch.int) -> !torch.list<int>
  // expected-error @+1 {{no lumo conversion for torch.aten.max_unpool2d: result 0 is declared f16 but the operation gives f32}}
  %0 = "torch.aten.max_unpool2d"(%x, %i, %size) : (!torch.vtensor<[1,2,2,2],f32>, !torch.vtensor<[1,2,2,2],si64>, !torch.list<int>) -> !torch.vtensor<[1,2,4,5],f16>
  return %0 : !torch.vtensor<[1,2,4,5],f16>
}

// -----
func.func @main(%x: !torch.vtensor<[1,2,2,2],f32>, %i: !torch.vtensor<[1,2,2,2],si64>) -> !torch.vtensor<[1,2,5,4],f32> {
  %c4 = "torch.constant.int"() {value = 4 : i64} : () -> !torch.int
  %c5 = "torch.constant.int"() {value = 5 : i64} : () -> !torch.int
  %size = "torch.prim.ListConstruct"(%c4, %c5) : (!torch.int, !torch.int) -> !torch.list<int>
  // expected-error @+1 {{no lumo conversion for torch.aten.max_unpool2d: result 0 is declared of shape [1,2,5,4] but the operation gives [1,2,4,5]}}
  %0 = "torch.aten.max_unpool2d"(%x, %i, %size) : (!torch.vtensor<[1,2,2,2],f32>, !torch.vtensor<[1,2,2,2],si64>, !torch.list<int>) -> !torch.vtensor<[1,2,5,4],f32>
  return %0 : !torch.vtensor<[1,2,5,4],f32>
}

// -----
// A wrong rank is refused, not reshaped.
func.func @main(%a: !torch.vtensor<[2,3],f32>) -> !torch.vtensor<[6],f32> {
  // expected-error @+1 {{no lumo conversion for torch.aten.relu: result 0 is declared of shape [6] but the operation gives [2,3]}}
  %0 = "torch.aten.relu"(%a) : (!torch.vtensor<[2,3],f32>) -> !torch.vtensor<[6],f32>
  return %0 : !torch.vtensor<[6],f32>
}

// -----
// A comparison gives bools.
func.func @main(%a: !torch.vtensor<[3],f32>, %b: !torch.vtensor<[3],f32>) -> !torch.vtensor<[3],f32> {
  // expected-error @+1 {{no lumo conversion for torch.aten.lt.Tensor: result 0 is declared f32 but the operation gives i1}}
  %0 = "torch.aten.lt.Tensor"(%a, %b) : (!torch.vtensor<[3],f32>, !torch.vtensor<[3],f32>) -> !torch.vtensor<[3],f32>
  return %0 : !torch.vtensor<[3],f32>
}

// -----
// _log_softmax without its tensor; a bool as the softmax dimension; an extra operand.
func.func @main(%a: !torch.vtensor<[2,3],f32>) -> (!torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],f32>) {
  %c1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  // expected-error @+1 {{no lumo conversion for torch.aten._log_softmax: expected 3 operands, got 2}}
  %0 = "torch.aten._log_softmax"(%c1, %false) : (!torch.int, !torch.bool) -> !torch.vtensor<[2,3],f32>
  // expected-error @+1 {{no lumo conversion for torch.aten._softmax: operand 1 is not an int but a bool}}
  %1 = "torch.aten._softmax"(%a, %false, %false) : (!torch.vtensor<[2,3],f32>, !torch.bool, !torch.bool) -> !torch.vtensor<[2,3],f32>
  // expected-error @+1 {{no lumo conversion for torch.aten.relu: expected 1 operands, got 2}}
  %2 = "torch.aten.relu"(%a, %a) : (!torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],f32>) -> !torch.vtensor<[2,3],f32>
  return %0, %1, %2 : !torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],f32>
}

// -----
// Constants that contradict their result types.
func.func @main(%a: !torch.vtensor<[2,3],f32>) -> (!torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],f32>) {
  // expected-error @+1 {{no lumo conversion for torch.constant.int: its value is not an integer}}
  %c = "torch.constant.int"() : () -> !torch.int
  // expected-error @+1 {{no lumo conversion for torch.constant.float: its result type !torch.int is not a float}}
  %f = "torch.constant.float"() {value = 1.0 : f64} : () -> !torch.int
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  // expected-error @+1 {{no lumo conversion for torch.aten._softmax: operand 1 is not a constant integer}}
  %0 = "torch.aten._softmax"(%a, %c, %false) : (!torch.vtensor<[2,3],f32>, !torch.int, !torch.bool) -> !torch.vtensor<[2,3],f32>
  %1 = "torch.aten._softmax"(%a, %f, %false) : (!torch.vtensor<[2,3],f32>, !torch.int, !torch.bool) -> !torch.vtensor<[2,3],f32>
  return %0, %1 : !torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],f32>
}

// -----
// A list whose elements contradict its type.
func.func @main(%a: !torch.vtensor<[2,3],f32>) -> !torch.vtensor<[3,2],f32> {
  %c3 = "torch.constant.int"() {value = 3 : i64} : () -> !torch.int
  %f = "torch.constant.float"() {value = 2.0 : f64} : () -> !torch.float
  // expected-error @+1 {{no lumo conversion for torch.prim.ListConstruct: element 1 is not an int}}
  %l = "torch.prim.ListConstruct"(%c3, %f) : (!torch.int, !torch.float) -> !torch.list<int>
  %0 = "torch.aten.view"(%a, %l) : (!torch.vtensor<[2,3],f32>, !torch.list<int>) -> !torch.vtensor<[3,2],f32>
  return %0 : !torch.vtensor<[3,2],f32>
}

// -----
// Size lists that contradict the result types.
func.func @main(%a: !torch.vtensor<[2,3],f32>) -> (!torch.vtensor<[2,3],f32>, !torch.vtensor<[4],f32>) {
  %c2 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
  %c3 = "torch.constant.int"() {value = 3 : i64} : () -> !torch.int
  %none = "torch.constant.none"() : () -> !torch.none
  %l = "torch.prim.ListConstruct"(%c3, %c2) : (!torch.int, !torch.int) -> !torch.list<int>
  // expected-error @+1 {{no lumo conversion for torch.aten.view: result 0 is declared of shape [2,3] but the operation gives [3,2]}}
  %0 = "torch.aten.view"(%a, %l) : (!torch.vtensor<[2,3],f32>, !torch.list<int>) -> !torch.vtensor<[2,3],f32>
  // expected-error @+1 {{no lumo conversion for torch.aten.zeros: result 0 is declared of shape [4] but the operation gives [3,2]}}
  %1 = "torch.aten.zeros"(%l, %none, %none, %none, %none) : (!torch.list<int>, !torch.none, !torch.none, !torch.none, !torch.none) -> !torch.vtensor<[4],f32>
  return %0, %1 : !torch.vtensor<[2,3],f32>, !torch.vtensor<[4],f32>
}

// -----
// Reductions and products whose declared shapes or types are not what they give.
func.func @main(%a: !torch.vtensor<[2,3],f32>, %b: !torch.vtensor<[3,4],f32>) -> (!torch.vtensor<[3],f32>, !torch.vtensor<[2,4],si64>) {
  %c1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %none = "torch.constant.none"() : () -> !torch.none
  %dims = "torch.prim.ListConstruct"(%c1) : (!torch.int) -> !torch.list<int>
  // expected-error @+1 {{no lumo conversion for torch.aten.sum.dim_IntList: result 0 is declared of shape [3] but the operation gives [2]}}
  %0 = "torch.aten.sum.dim_IntList"(%a, %dims, %false, %none) : (!torch.vtensor<[2,3],f32>, !torch.list<int>, !torch.bool, !torch.none) -> !torch.vtensor<[3],f32>
  // expected-error @+1 {{no lumo conversion for torch.aten.mm: result 0 is declared si64 but the operation gives f32}}
  %1 = "torch.aten.mm"(%a, %b) : (!torch.vtensor<[2,3],f32>, !torch.vtensor<[3,4],f32>) -> !torch.vtensor<[2,4],si64>
  return %0, %1 : !torch.vtensor<[3],f32>, !torch.vtensor<[2,4],si64>
}

// -----
// An operator without a name.
func.func @main(%a: !torch.vtensor<[2],f32>) -> !torch.vtensor<[2],f32> {
  // expected-error @+1 {{no lumo conversion for torch.operator: the operator has no name}}
  %0 = "torch.operator"(%a) {name = ""} : (!torch.vtensor<[2],f32>) -> !torch.vtensor<[2],f32>
  return %0 : !torch.vtensor<[2],f32>
}

// -----
// A program's inputs are tensors.
// expected-error @+1 {{function argument 1 is '!torch.int', not a tensor: a program's inputs and outputs are tensors}}
func.func @main(%a: !torch.vtensor<[2],f32>, %n: !torch.int) -> !torch.vtensor<[2],f32> {
  return %a : !torch.vtensor<[2],f32>
}

// -----
// A shape of 2^96 elements.
// expected-error @+1 {{cannot refine '!torch.vtensor<[4294967296,4294967296,4294967296],f32>': its element count does not fit in 64 bits}}
func.func @main(%a: !torch.vtensor<[4294967296,4294967296,4294967296],f32>) -> !torch.vtensor<[4294967296,4294967296,4294967296],f32> {
  return %a : !torch.vtensor<[4294967296,4294967296,4294967296],f32>
}

// -----
// A call of the lumo library with an attribute the operation does not have.
func.func @main(%a: !torch.vtensor<[2,3],f32>) -> !torch.vtensor<[2,3],f32> {
  %c1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %names = "torch.constant.str"() {value = "dim"} : () -> !torch.str
  // expected-error @+1 {{no lumo conversion for torch.lumo.Softmax: 'dim' is not an attribute of lumo.Softmax}}
  %0 = "torch.operator"(%a, %c1, %names) {name = "lumo.Softmax"} : (!torch.vtensor<[2,3],f32>, !torch.int, !torch.str) -> !torch.vtensor<[2,3],f32>
  return %0 : !torch.vtensor<[2,3],f32>
}

// -----
// A pooling whose declared result is not its window's output, and a loss with an unknown
// reduction code.
func.func @main(%x: !torch.vtensor<[1,2,8,8],f32>, %y: !torch.vtensor<[4],f32>) -> (!torch.vtensor<[1,2,3,3],f32>, !torch.vtensor<[],f32>) {
  %c0 = "torch.constant.int"() {value = 0 : i64} : () -> !torch.int
  %c1 = "torch.constant.int"() {value = 1 : i64} : () -> !torch.int
  %c2 = "torch.constant.int"() {value = 2 : i64} : () -> !torch.int
  %c5 = "torch.constant.int"() {value = 5 : i64} : () -> !torch.int
  %false = "torch.constant.bool"() {value = false} : () -> !torch.bool
  %k = "torch.prim.ListConstruct"(%c2, %c2) : (!torch.int, !torch.int) -> !torch.list<int>
  %p = "torch.prim.ListConstruct"(%c0, %c0) : (!torch.int, !torch.int) -> !torch.list<int>
  %d = "torch.prim.ListConstruct"(%c1, %c1) : (!torch.int, !torch.int) -> !torch.list<int>
  // expected-error @+1 {{no lumo conversion for torch.aten.max_pool2d_with_indices: result 0 is declared of shape [1,2,3,3] but the operation gives [1,2,4,4]}}
  %0:2 = "torch.aten.max_pool2d_with_indices"(%x, %k, %k, %p, %d, %false) : (!torch.vtensor<[1,2,8,8],f32>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.list<int>, !torch.bool) -> (!torch.vtensor<[1,2,3,3],f32>, !torch.vtensor<[1,2,3,3],si64>)
  // expected-error @+1 {{no lumo conversion for torch.aten.mse_loss: reduction code 5 is not 0 (none), 1 (mean) or 2 (sum)}}
  %1 = "torch.aten.mse_loss"(%y, %y, %c5) : (!torch.vtensor<[4],f32>, !torch.vtensor<[4],f32>, !torch.int) -> !torch.vtensor<[],f32>
  return %0#0, %1 : !torch.vtensor<[1,2,3,3],f32>, !torch.vtensor<[],f32>
}

// -----
// A call of the lumo library with a tensor too many.
func.func @main(%a: !torch.vtensor<[2,3],f32>) -> !torch.vtensor<[2,3],f32> {
  // expected-error @+1 {{no lumo conversion for torch.lumo.Abs: expected 1 tensor operands, got 2}}
  %0 = "torch.operator"(%a, %a) {name = "lumo.Abs"} : (!torch.vtensor<[2,3],f32>, !torch.vtensor<[2,3],f32>) -> !torch.vtensor<[2,3],f32>
  return %0 : !torch.vtensor<[2,3],f32>
}
