// The lumo operator library: its IR node, the kernels' call recorder, and the registration block
// (LumoLtc, generated from csrc/lumo_ops.yaml) that defines the operators at load.
#include "lumo_ops.h"

#include <ATen/FunctionalTensorWrapper.h>
#include <ATen/native/TypeProperties.h>
#include <c10/core/DispatchKeySet.h>
#include <torch/csrc/jit/api/function_impl.h>
#include <torch/csrc/jit/ir/constants.h>
#include <torch/csrc/jit/ir/ir.h>
#include <torch/csrc/lazy/core/hash.h>
#include <torch/csrc/lazy/core/ir_builder.h>
#include <torch/csrc/lazy/core/tensor.h>
#include <torch/library.h>

#include "torch_mlir_ltc/mlir_lowering_context.h"
#include "torch_mlir_ltc/utils/debug.h"

namespace torch {
namespace lazy {

namespace {

hash_t AttributeValueHash(const c10::IValue& value) {
  if (value.isInt()) return Hash(value.toInt());
  if (value.isDouble()) return Hash(value.toDouble());
  if (value.isBool()) return Hash(value.toBool());
  if (value.isString()) return Hash(value.toStringRef());
  if (value.isIntList()) return Hash(value.toIntVector());
  if (value.isTensor()) return TensorHash(value.toTensor());
  if (value.isNone()) return Hash(static_cast<uint64_t>(kNullOpt));
  TORCH_CHECK(false, "lumo attributes cannot hold a value of kind ", value.tagKind());
}

c10::TensorTypePtr TensorTypeOfShape(const Shape& shape) {
  return c10::TensorType::create(shape.scalar_type(), /*device=*/std::nullopt,
                                 c10::VaryingShape<int64_t>(shape.sizes()),
                                 c10::VaryingShape<int64_t>(), /*requires_grad=*/std::nullopt);
}

}  // namespace

// The attribute values decide what the node lowers to, so they take part in its hash: otherwise
// LTC would hand a step whose attributes changed the computation compiled for the old ones.
hash_t LumoMlirNode::HashSeed(const std::vector<torch::jit::NamedValue>& attrs) {
  hash_t seed(kHashSeed);
  if (attrs.empty()) return seed;
  // A NamedValue gives its constant out only as a graph value.
  torch::jit::Graph scratch;
  for (const torch::jit::NamedValue& attr : attrs) {
    std::optional<c10::IValue> value = torch::jit::toIValue(attr.value(scratch));
    TORCH_INTERNAL_ASSERT(value.has_value(), "lumo attribute ", attr.name(), " is not a constant");
    seed = HashCombine(seed, Hash(attr.name()));
    seed = HashCombine(seed, AttributeValueHash(*value));
  }
  return seed;
}

LumoMlirNode::LumoMlirNode(OpKind&& op, OpList&& operands,
                           std::vector<torch::jit::NamedValue>&& attrs,
                           std::vector<Shape>&& shapes)
    : TorchMlirNode(op, operands, shapes.size(), HashSeed(attrs)) {
  shapes_ = std::move(shapes);
  attrs_ = std::move(attrs);
}

TorchMlirOpVector LumoMlirNode::Lower(TorchMlirFunction function,
                                      TorchMlirLoweringContext* loctx) const {
  PRINT_FUNCTION();
  torch::jit::Graph& graph = *function->graph();
  std::vector<torch::jit::Value*> inputs;
  inputs.reserve(operands().size() + attrs_.size());
  for (size_t i = 0; i < operands().size(); ++i) {
    const Output& operand = operands()[i];
    TORCH_CHECK(operand.node != nullptr, "Cannot lower ", op().ToString(), ": operand ", i,
                " is absent");
    inputs.push_back(loctx->GetOutputOp(operand));
  }
  // lumo operators are called with exactly the attributes that were recorded, which TorchScript's
  // schema matching cannot express (it would fill in absent optionals): build the call directly.
  for (const torch::jit::NamedValue& attr : attrs_) inputs.push_back(attr.value(graph));
  torch::jit::Node* call = graph.insertNode(graph.create(op().op, inputs, shapes().size()));
  TorchMlirOpVector results(call->outputs().begin(), call->outputs().end());
  for (size_t i = 0; i < results.size(); ++i) results[i]->setType(TensorTypeOfShape(shape(i)));
  return results;
}

LumoCall::LumoCall(const OpKindWrapper& kind, const char* name)
    : no_autograd_(c10::autograd_dispatch_keyset), kind_(kind), name_(name) {}

void LumoCall::SetDevice(const char* arg, const at::Tensor& first) {
  device_ = GetBackendDevice(first);
  TORCH_CHECK(device_.has_value(), "lumo::", name_, ": the first tensor argument '", arg,
              "' must be a lazy tensor, but it is ",
              first.defined() ? "a tensor on device " + first.device().str()
                              : std::string("undefined"));
}

void LumoCall::SetDevice(const char* arg, c10::ArrayRef<at::Tensor> first) {
  TORCH_CHECK(!first.empty(), "lumo::", name_, ": the tensor list '", arg,
              "' must hold at least one lazy tensor");
  SetDevice(arg, first.front());
}

void LumoCall::AddOperand(const char* arg, const at::Tensor& tensor) {
  TORCH_CHECK(tensor.defined(), "lumo::", name_, ": argument '", arg, "' is undefined");
  LazyTensorPtr lazy = TryGetLtcTensor(tensor);
  if (!lazy) {
    // A scalar (a wrapped number or a 0-d tensor) becomes a lazy scalar on the call's device.
    TORCH_CHECK(tensor.unsafeGetTensorImpl()->is_wrapped_number() || tensor.dim() == 0,
                "lumo::", name_, ": argument '", arg,
                "' must be a lazy tensor or a scalar, but it is a tensor on device ",
                tensor.device().str(), " of sizes ", tensor.sizes());
    lazy = GetLtcTensorOrCreateForWrappedNumber(tensor, *device_);
  }
  operands_.push_back(lazy->GetIrValue());
  operand_tensors_.emplace_back(arg, tensor);
}

void LumoCall::AddOperand(const char* arg, c10::ArrayRef<at::Tensor> tensors) {
  for (const at::Tensor& tensor : tensors) AddOperand(arg, tensor);
}

void LumoCall::AddOperand(const char* arg, const std::optional<at::Tensor>& tensor) {
  if (tensor.has_value() && tensor->defined()) AddOperand(arg, *tensor);
}

void LumoCall::AddNamedValue(const char* name, c10::IValue value) {
  attrs_.emplace_back(name, std::move(value));
  if (!attr_names_.empty()) attr_names_ += ",";
  attr_names_ += name;
}

void LumoCall::AddAttribute(const char* name, int64_t value) { AddNamedValue(name, value); }
void LumoCall::AddAttribute(const char* name, double value) { AddNamedValue(name, value); }
void LumoCall::AddAttribute(const char* name, bool value) { AddNamedValue(name, value); }
void LumoCall::AddAttribute(const char* name, c10::string_view value) {
  AddNamedValue(name, std::string(value));
}
void LumoCall::AddAttribute(const char* name, c10::ArrayRef<int64_t> value) {
  AddNamedValue(name, value.vec());
}
void LumoCall::AddAttribute(const char* name, const at::Tensor& value) {
  AddNamedValue(name, value);
}

void LumoCall::FinishAttributes(c10::string_view attr_names) {
  TORCH_CHECK(attr_names.empty(), "`_attr_names` should not be manually specified");
  attrs_.emplace_back("_attr_names", attr_names_);
}

at::Tensor LumoCall::BuildNode(const at::Tensor& first) {
  return Record(Shape(first.scalar_type(), first.sizes()));
}

at::Tensor LumoCall::BuildElementwiseNode() {
  // numpy's broadcasting, aligned at the trailing dimensions.
  std::vector<int64_t> sizes;
  std::string names;
  at::native::ResultTypeState types;
  for (const auto& [arg, tensor] : operand_tensors_) {
    const at::IntArrayRef other = tensor.sizes();
    std::vector<int64_t> merged(std::max(sizes.size(), other.size()), 1);
    for (size_t i = 0; i < merged.size(); ++i) {
      const int64_t a = i < sizes.size() ? sizes[sizes.size() - 1 - i] : 1;
      const int64_t b = i < other.size() ? other[other.size() - 1 - i] : 1;
      TORCH_CHECK(a == b || a == 1 || b == 1, "lumo::", name_, ": the shapes ",
                  at::IntArrayRef(sizes), " (", names, ") and ", other, " ('", arg,
                  "') do not broadcast");
      merged[merged.size() - 1 - i] = a == 1 ? b : a;
    }
    sizes = std::move(merged);
    names += (names.empty() ? "'" : ", '") + std::string(arg) + "'";
    types = at::native::update_result_type_state(tensor, types);
  }
  return Record(Shape(at::native::result_type(types), sizes));
}

at::Tensor LumoCall::Record(Shape shape) {
  std::vector<Shape> shapes{std::move(shape)};
  NodePtr node = MakeNode<LumoMlirNode>(OpKind(*kind_), OpList(operands_), std::move(attrs_),
                                        std::move(shapes));
  at::Tensor result = CreateAtenFromLtcTensor(LazyTensor::Create(Value(node, 0), *device_));
  return at::functionalization::impl::to_functional_tensor(result);
}

void LumoCall::RaiseShapeError() const {
  TORCH_CHECK(false, "SHAPE_INFER_", name_, " must be defined!");
}

}  // namespace lazy
}  // namespace torch

#include "LumoLtc"
