// The lumo operator library: the IR node its operators record on lazy tensors, and the call
// recorder that the generated kernels (LumoLtc) are built from.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <ATen/Tensor.h>
#include <c10/core/impl/LocalDispatchKeySet.h>
#include <c10/util/string_view.h>
#include <torch/csrc/jit/ir/named_value.h>
#include <torch/csrc/lazy/backend/backend_device.h>
#include <torch/csrc/lazy/core/internal_ops/ltc_ops.h>

#include "torch_mlir_ltc/mlir_node.h"

namespace torch {
namespace lazy {

// One call of a lumo operator: the operator's op kind ("lumo::<Name>"), its tensor arguments as
// operands, its keyword arguments as attributes, and one output shape per result.
class LumoMlirNode : public TorchMlirNode {
 public:
  // Seed of every lumo node's hash; the recorded attributes are folded into it.
  static constexpr uint64_t kHashSeed = 0x165667b19e3779f9ULL;

  LumoMlirNode(OpKind&& op, OpList&& operands, std::vector<torch::jit::NamedValue>&& attrs,
               std::vector<Shape>&& shapes);

  // Emits one call of the builtin named by the op kind: the operands, then the attributes as
  // constants in recorded order (`_attr_names` last), typed by the node's shapes.
  TorchMlirOpVector Lower(TorchMlirFunction function,
                          TorchMlirLoweringContext* loctx) const override;

  const std::vector<torch::jit::NamedValue>& attrs() const { return attrs_; }

  // The seed a node with these attributes hashes from: kHashSeed when there are none.
  static hash_t HashSeed(const std::vector<torch::jit::NamedValue>& attrs);

 private:
  // The keyword arguments that were given, in schema order, then `_attr_names` (the names of the
  // preceding entries joined with ","); empty for operators without keyword-only arguments.
  std::vector<torch::jit::NamedValue> attrs_;
};

// Records one call of a lumo operator. A kernel feeds it the call's arguments in schema order:
// SetDevice (first tensor argument), AddOperand (each positional tensor argument), AddAttribute
// (each keyword-only argument but `_attr_names`), FinishAttributes (operators with keyword-only
// arguments), and then either BuildNode or RaiseShapeError. Autograd is off while it lives.
class LumoCall {
 public:
  LumoCall(const OpKindWrapper& kind, const char* name);

  void SetDevice(const char* arg, const at::Tensor& first);
  void SetDevice(const char* arg, c10::ArrayRef<at::Tensor> first);

  void AddOperand(const char* arg, const at::Tensor& tensor);
  void AddOperand(const char* arg, c10::ArrayRef<at::Tensor> tensors);
  void AddOperand(const char* arg, const std::optional<at::Tensor>& tensor);

  void AddAttribute(const char* name, int64_t value);
  void AddAttribute(const char* name, double value);
  void AddAttribute(const char* name, bool value);
  void AddAttribute(const char* name, c10::string_view value);
  void AddAttribute(const char* name, c10::ArrayRef<int64_t> value);
  void AddAttribute(const char* name, const at::Tensor& value);
  // An optional keyword argument is recorded only when it is present.
  template <typename T>
  void AddAttribute(const char* name, const std::optional<T>& value) {
    if (value.has_value()) AddAttribute(name, *value);
  }

  // Checks that the caller left `_attr_names` empty and appends the `_attr_names` entry.
  void FinishAttributes(c10::string_view attr_names);

  // Records the node, shaped like `first` (no broadcasting, no type promotion), and returns the
  // functional lazy tensor of its output.
  at::Tensor BuildNode(const at::Tensor& first);
  // The same for an elementwise operator: the output has the operands' broadcast shape and
  // PyTorch's promoted element type; operands that do not broadcast are refused.
  at::Tensor BuildElementwiseNode();

  // The operator has no shape inference.
  [[noreturn]] void RaiseShapeError() const;

  const std::vector<Value>& operands() const { return operands_; }
  const std::vector<torch::jit::NamedValue>& attributes() const { return attrs_; }

 private:
  void AddNamedValue(const char* name, c10::IValue value);
  at::Tensor Record(Shape shape);

  c10::impl::ExcludeDispatchKeyGuard no_autograd_;
  const OpKindWrapper& kind_;
  const char* name_;
  std::optional<BackendDevice> device_;
  std::vector<Value> operands_;
  // The tensor operands as given, with their names: their shapes and types make an elementwise
  // operator's output.
  std::vector<std::pair<const char*, at::Tensor>> operand_tensors_;
  std::vector<torch::jit::NamedValue> attrs_;
  std::string attr_names_;
};

}  // namespace lazy
}  // namespace torch
