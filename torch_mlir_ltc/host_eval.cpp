#include "host_eval.h"

#include <algorithm>
#include <unordered_map>

#include <ATen/core/dispatch/Dispatcher.h>
#include <c10/util/Exception.h>
#include <torch/csrc/autograd/grad_mode.h>
#include <torch/csrc/jit/ir/ir.h>
#include <torch/csrc/jit/runtime/interpreter.h>
#include <torch/csrc/lazy/backend/backend_interface.h>
#include <torch/csrc/lazy/core/ir_dump_util.h>
#include <torch/csrc/lazy/core/ir_util.h>

#include "torch_mlir_ltc/backend_impl.h"
#include "torch_mlir_ltc/mlir_lowering_context.h"
#include "torch_mlir_ltc/ops/device_data.h"

namespace torch {
namespace lazy {

namespace {

const TorchMlirBackendImpl& Backend() {
  const auto* backend = dynamic_cast<const TorchMlirBackendImpl*>(getBackend());
  TORCH_CHECK(backend != nullptr, "The lazy backend is not a TorchMlirBackendImpl");
  return *backend;
}

// The first operator of the graph whose values come from a random generator: the program draws
// them on its own device, so a host draw would give other values (and advance the host's
// generator).
const torch::jit::Node* FindRandomOperator(const torch::jit::Graph& graph) {
  for (const torch::jit::Node* node : graph.nodes()) {
    const c10::FunctionSchema* schema = node->maybeSchema();
    if (schema == nullptr) continue;
    auto op = c10::Dispatcher::singleton().findOp(schema->operator_name());
    if (op && op->hasTag(at::Tag::nondeterministic_seeded)) return node;
  }
  return nullptr;
}

bool HasMutatingOperator(const torch::jit::Graph& graph) {
  return std::any_of(graph.nodes().begin(), graph.nodes().end(), [](const torch::jit::Node* node) {
    const c10::FunctionSchema* schema = node->maybeSchema();
    return schema != nullptr && schema->is_mutable();
  });
}

at::Tensor Refuse(std::string* why, std::string reason) {
  *why = std::move(reason);
  return at::Tensor();
}

}  // namespace

at::Tensor ComputeOnHost(const LazyTensorPtr& tensor, std::string* why, std::string* graph_text) {
  TORCH_CHECK(tensor != nullptr, "ComputeOnHost: not a lazy tensor");
  const TorchMlirBackendImpl& backend = Backend();
  Value ir_value = tensor->CurrentIrValue();
  if (!ir_value) {
    // No graph: the tensor is data.
    if (BackendDataPtr data = tensor->CurrentDataHandle()) {
      at::Tensor value = backend.HostData(data, why);
      if (value.defined() && graph_text != nullptr) *graph_text = "(backend data)\n";
      return value;
    }
    if (std::optional<at::Tensor> host = tensor->CurrentTensorData()) {
      if (graph_text != nullptr) *graph_text = "(host data)\n";
      return *host;
    }
    return Refuse(why, "the tensor has neither a graph nor data");
  }

  TorchMlirLoweringContext context("host_value", tensor->GetDevice());
  std::shared_ptr<torch::jit::Graph> graph = context.graph();
  try {
    graph->registerOutput(context.GetOutputOp(Output(ir_value.node.get(), ir_value.index)));
  } catch (const c10::Error& e) {
    return Refuse(why, std::string("its graph does not lower: ") + e.what_without_backtrace());
  }
  if (const torch::jit::Node* random = FindRandomOperator(*graph)) {
    return Refuse(why, std::string("it depends on the random operator ") +
                           random->kind().toQualString() +
                           ", whose values the program draws on the device");
  }

  // Every datum the graph reads: the first one the host lacks is the answer. An empty tensor's
  // contents are undefined and read only for their shape (a fill or a copy into it): any values do.
  std::unordered_map<BackendData::Handle, at::Tensor> host_data;
  for (const Node* node : Util::ComputePostOrder(ir_value.node.get())) {
    const DeviceData* device_data = DeviceData::Cast(node);
    if (device_data == nullptr) continue;
    const BackendDataPtr& data = device_data->data();
    if (host_data.count(data->GetHandle())) continue;
    const auto* mlir_data = dynamic_cast<const TorchMlirBackendData*>(data.get());
    at::Tensor value =
        mlir_data != nullptr && mlir_data->uninitialized()
            ? at::empty(data->shape().sizes(), at::TensorOptions(data->shape().scalar_type()))
            : backend.HostData(data, why);
    if (!value.defined()) return at::Tensor();
    host_data.emplace(data->GetHandle(), std::move(value));
  }

  // Graph inputs follow the parameters of the context, one per distinct datum.
  const bool copy_inputs = HasMutatingOperator(*graph);
  torch::jit::Stack stack;
  const std::vector<BackendDataPtr>& parameters = context.GetParametersData();
  stack.reserve(parameters.size());
  for (size_t i = 0; i < parameters.size(); ++i) {
    const at::Tensor& value = host_data.at(parameters[i]->GetHandle());
    const c10::TypePtr& type = graph->inputs()[i]->type();
    if (type->kind() == c10::TypeKind::TensorType) {
      stack.emplace_back(copy_inputs ? value.clone() : value);
    } else {
      // Scalar data: a number argument.
      stack.emplace_back(value.item());
    }
  }

  at::Tensor result;
  try {
    torch::autograd::AutoGradMode no_grad(false);
    torch::jit::Code code(graph, "host_value");
    torch::jit::InterpreterState(code).run(stack);
    TORCH_CHECK(stack.size() == 1 && stack.front().isTensor(), "the graph gave no tensor");
    result = stack.front().toTensor();
  } catch (const std::exception& e) {
    const auto* error = dynamic_cast<const c10::Error*>(&e);
    return Refuse(why, std::string("computing it on the host failed: ") +
                           (error ? error->what_without_backtrace() : e.what()));
  }
  const Shape& shape = ir_value.shape();
  if (result.sizes() != shape.sizes() || result.scalar_type() != shape.scalar_type()) {
    return Refuse(why, "the host computed a " + std::string(c10::toString(result.scalar_type())) +
                           " tensor of sizes " + c10::str(result.sizes()) + " for " +
                           shape.to_string());
  }
  if (graph_text != nullptr) *graph_text = DumpUtil::ToText({ir_value.node.get()});
  return result;
}

}  // namespace lazy
}  // namespace torch
