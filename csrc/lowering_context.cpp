#include "lowering_context.h"

#include "backend_impl.h"
#include "torch_mlir_ltc/ops/device_data.h"

namespace torch {
namespace lazy {

OrvexLoweringContext::OrvexLoweringContext(const std::string& name, BackendDevice device)
    : TorchMlirLoweringContext(name, std::move(device)) {}

OrvexLoweringContext::OrvexLoweringContext(const std::string& name, BackendDevice device,
                                           c10::ArrayRef<const Node*> post_order,
                                           Util::EmissionMap emit_status)
    : TorchMlirLoweringContext(name, std::move(device), post_order, std::move(emit_status)) {
  // Everything lowered lives in the backend's one context.
  ReplaceMlirContext(GetMlirContext());
  for (const Node* node : post_order) {
    const DeviceData* device_data = DeviceData::Cast(node);
    if (device_data == nullptr) continue;
    parameters_metadata_[device_data->data()->GetHandle()] =
        OrvexMetadata::get(node)->shared_from_this();
  }
}

OrvexLoweringContext::~OrvexLoweringContext() = default;

size_t OrvexLoweringContext::AddResult(const Output& output) {
  const size_t index = TorchMlirLoweringContext::AddResult(output);
  results_metadata_.resize(index + 1);
  results_metadata_[index] = OrvexMetadata::get(output.node)->shared_from_this();
  results_outputs_.resize(index + 1);
  results_outputs_[index] = output.index;
  return index;
}

ComputationPtr OrvexLoweringContext::CreateComputation(MlirModule module) {
  return std::make_shared<OrvexComputation>(module, mlir_context_, graph_, parameter_names_,
                                            input_output_aliases_, parameters_,
                                            parameters_metadata_, results_metadata_,
                                            results_outputs_);
}

OrvexComputation::OrvexComputation(MlirModule module, MlirContext context,
                                   const std::shared_ptr<torch::jit::Graph>& graph,
                                   std::unordered_map<int, std::string> parameters_map,
                                   InputOutputAliases aliases,
                                   std::vector<BackendDataPtr> parameters,
                                   ParametersMetadata parameters_metadata,
                                   ResultsMetadata results_metadata,
                                   ResultsOutputs results_outputs)
    : TorchMlirComputation(module, context, graph, std::move(parameters_map), std::move(aliases)),
      parameters_(std::move(parameters)),
      parameters_metadata_(std::move(parameters_metadata)),
      results_metadata_(std::move(results_metadata)),
      results_outputs_(std::move(results_outputs)) {}

OrvexComputation::~OrvexComputation() = default;

}  // namespace lazy
}  // namespace torch
