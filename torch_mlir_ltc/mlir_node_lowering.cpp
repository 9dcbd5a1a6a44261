// Lowering of the base nodes into the TorchScript graph of a computation.
#include "mlir_node_lowering.h"

#include <algorithm>

#include <ATen/Functions.h>
#include <torch/csrc/jit/frontend/schema_matching.h>
#include <torch/csrc/jit/ir/ir.h>

#include "torch_mlir_ltc/backend_impl.h"
#include "torch_mlir_ltc/mlir_node.h"
#include "torch_mlir_ltc/ops/builtin_nodes.h"
#include "torch_mlir_ltc/ops/device_data.h"

namespace torch {
namespace lazy {

namespace {

c10::TensorTypePtr TensorTypeOfShape(const Shape& shape) {
  return c10::TensorType::create(shape.scalar_type(), /*device=*/std::nullopt,
                                 c10::VaryingShape<int64_t>(shape.sizes()),
                                 c10::VaryingShape<int64_t>(), /*requires_grad=*/std::nullopt);
}

}  // namespace

TorchMlirOpVector LowerTorchMlirBuiltin(TorchMlirFunction function, c10::Symbol sym,
                                        c10::ArrayRef<Shape> result_shapes,
                                        const std::vector<torch::jit::NamedValue>& arguments,
                                        const std::vector<torch::jit::NamedValue>& kwarguments) {
  torch::jit::Graph& graph = *function->graph();
  torch::jit::Value* result =
      torch::jit::emitBuiltinCall(torch::jit::SourceRange(), graph, sym, arguments, kwarguments);

  TorchMlirOpVector results;
  const c10::TypePtr& type = result->type();
  if (type->kind() == c10::TypeKind::TupleType) {
    // Several results: schema matching packs the node's outputs into a tuple.
    torch::jit::Node* pack = result->node();
    if (pack->kind() == c10::prim::TupleConstruct) {
      results.assign(pack->inputs().begin(), pack->inputs().end());
    } else {
      torch::jit::Node* unpack = graph.insertNode(graph.createTupleUnpack(result));
      results.assign(unpack->outputs().begin(), unpack->outputs().end());
    }
  } else if (type->kind() == c10::TypeKind::ListType && !result_shapes.empty()) {
    // A list result stands for as many node outputs as it has shapes.
    auto element_type = type->expectRef<c10::ListType>().getElementType();
    torch::jit::Node* unpack = graph.insertNode(
        graph.create(c10::prim::ListUnpack, {result}, result_shapes.size()));
    for (torch::jit::Value* output : unpack->outputs()) output->setType(element_type);
    results.assign(unpack->outputs().begin(), unpack->outputs().end());
  } else {
    results.push_back(result);
  }

  // The node knows the exact shapes of its results; the schema only says "Tensor".
  for (size_t i = 0; i < results.size() && i < result_shapes.size(); ++i) {
    if (results[i]->type()->cast<c10::TensorType>()) {
      results[i]->setType(TensorTypeOfShape(result_shapes[i]));
    }
  }
  return results;
}

TorchMlirOpVector TorchMlirNode::Lower(TorchMlirFunction function,
                                       TorchMlirLoweringContext* loctx) const {
  std::vector<torch::jit::NamedValue> arguments;
  arguments.reserve(operands().size());
  for (const Output& operand : operands()) arguments.emplace_back(loctx->GetOutputOp(operand));
  return LowerTorchMlirBuiltin(function, op().op, shapes(), arguments);
}

TorchMlirOpVector DeviceData::Lower(TorchMlirFunction function,
                                    TorchMlirLoweringContext* loctx) const {
  const auto* mlir_data = dynamic_cast<const TorchMlirBackendData*>(data_.get());
  if (mlir_data != nullptr && mlir_data->uninitialized()) {
    // The data of an empty tensor has undefined contents and nothing to feed: the program makes
    // the empty tensor itself rather than reading an argument without a value.
    const Shape& shape = data_->shape();
    return LowerTorchMlirBuiltin(function, at::aten::empty, {shape},
                                 {torch::jit::NamedValue(c10::IValue(shape.sizes().vec()))},
                                 {torch::jit::NamedValue("dtype", c10::IValue(shape.scalar_type()))});
  }
  return {loctx->GetParameter(data_)};
}

TorchMlirOpVector Scalar::Lower(TorchMlirFunction function, TorchMlirLoweringContext* loctx) const {
  const Shape& result = shape();
  at::Tensor literal = at::full(result.sizes(), value_,
                                at::TensorOptions().dtype(result.scalar_type()).device(at::kCPU));
  return {loctx->graph()->insertConstant(literal)};
}

TorchMlirOpVector Expand::Lower(TorchMlirFunction function, TorchMlirLoweringContext* loctx) const {
  std::vector<torch::jit::NamedValue> arguments;
  arguments.emplace_back(loctx->GetOutputOp(operand(0)));
  arguments.emplace_back(size_);
  TorchMlirOpVector expanded = LowerTorchMlirBuiltin(function, op().op, shapes(), arguments);
  if (!is_scalar_expand_) return expanded;
  // Expanding a 0-d tensor gives a view whose strides are all zero; the clone makes it a tensor of
  // its own that later in-place updates may write to.
  return LowerTorchMlirBuiltin(function, at::aten::clone, shapes(), {expanded.front()});
}

TorchMlirOpVector Cast::Lower(TorchMlirFunction function, TorchMlirLoweringContext* loctx) const {
  std::vector<torch::jit::NamedValue> arguments;
  arguments.emplace_back(loctx->GetOutputOp(operand(0)));
  arguments.emplace_back(dtype_);
  return LowerTorchMlirBuiltin(function, at::aten::to, shapes(), arguments);
}

TorchMlirOpVector TorchMlirTensorList::Lower(TorchMlirFunction function,
                                             TorchMlirLoweringContext* loctx) const {
  std::vector<torch::jit::Value*> values;
  values.reserve(operands().size());
  for (const Output& operand : operands()) values.push_back(loctx->GetOutputOp(operand));
  torch::jit::Graph& graph = *function->graph();
  torch::jit::Node* list =
      graph.insertNode(graph.createList(c10::TensorType::get(), values));
  // Consumers use output 0; a node that counts one output per element maps each to the list.
  return TorchMlirOpVector(std::max<size_t>(num_outputs(), 1), list->output());
}

}  // namespace lazy
}  // namespace torch
