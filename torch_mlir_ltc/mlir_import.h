// Import of a lowered TorchScript graph into an MLIR module of the torch dialect.
//
// The torch dialect is not linked in: its types are built as opaque types of the "torch"
// namespace and its operations in generic form, so the context must allow unregistered dialects
// (torchMlirRegisterAllDialects does that).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <ATen/core/Tensor.h>
#include <ATen/core/jit_type.h>
#include <mlir-c/IR.h>

namespace torch {
namespace jit {
struct Graph;
}  // namespace jit

namespace lazy {

// The torch dialect's spelling of an element type ("f32", "si64", "i1", "complex<f32>", ...).
// Fails for types the dialect has no spelling for.
std::string torchMlirDtypeName(c10::ScalarType type);

// The body of the torch dialect type of a TorchScript type, without the "!torch." prefix:
// "vtensor<[2,3],f32>", "int", "list<int>", "optional<vtensor>", ... Tensors are value tensors.
std::string torchMlirTypeBody(const c10::TypePtr& type);

// The torch dialect type of a TorchScript type (an opaque type of namespace "torch").
MlirType torchMlirType(MlirContext context, const c10::TypePtr& type);

// The builtin element type that holds a tensor of `type` in a dense attribute; its spelling is
// torchMlirDtypeName(type). Fails for types the dialect has no spelling for.
MlirType torchMlirElementType(MlirContext context, c10::ScalarType type);
// Whether the two functions above know `type`.
bool torchMlirHasElementType(c10::ScalarType type);

// A dense elements attribute of type tensor<sizes x element_type> holding `tensor`'s values in
// row-major order. Non-contiguous tensors are read in logical order and bool tensors are packed
// to bits as i1 data requires. Fails (never returns a null attribute) when MLIR rejects the data.
MlirAttribute torchMlirDenseElementsAttr(MlirType element_type, const at::Tensor& tensor);
// The same, but returns a null attribute when MLIR rejects the data (PyTorch's own errors, for
// a tensor without data, still throw).
MlirAttribute torchMlirTryDenseElementsAttr(MlirType element_type, const at::Tensor& tensor);

// Whether torch-mlir's torch dialect registers the operation `name` ("torch.aten.relu", ...): the
// list in data/torch_mlir_ops.txt, compiled in.
bool torchMlirIsRegisteredOperation(std::string_view name);

// The operation that spells a TorchScript operator in the torch dialect. `qualified` is
// "<namespace>.<name>[.<overload>]" ("aten.add.Tensor"). aten and prim operators that torch-mlir
// registers are "torch.<qualified>" with `is_operator` false; every other operator is
// "torch.operator" carrying `qualified` as its "name" attribute.
struct TorchMlirSpelling {
  std::string op_name;
  bool is_operator = false;
};
TorchMlirSpelling torchMlirSpelling(const std::string& qualified, bool aten_or_prim);

// Builds `module { func.func @<name>(...) -> (...) }` from `graph`: one argument per graph input,
// one result per graph output, each graph node as a torch dialect operation with all of its
// operands, spelled as torchMlirSpelling says. Every argument gets an empty attribute
// dictionary. The module is verified before it is returned; the
// caller owns it.
MlirModule importJitGraphToMlir(MlirContext context, const torch::jit::Graph& graph,
                                const std::string& name = "main");

// The text of an operation (a module's operation prints the whole module).
std::string mlirOperationToString(MlirOperation operation);

// Verifies `operation`; the diagnostics MLIR emits meanwhile go to `*diagnostics`, one a line.
bool mlirOperationVerifyWithDiagnostics(MlirOperation operation, std::string* diagnostics);

}  // namespace lazy
}  // namespace torch
