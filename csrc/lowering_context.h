// The backend's lowering context and the computation it builds.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "ox_metadata.h"
#include "torch_mlir_ltc/mlir_lowering_context.h"

namespace torch {
namespace lazy {

// Backend-data handle to the metadata of the device-data node that holds the data.
using ParametersMetadata = std::unordered_map<int64_t, std::shared_ptr<OrvexMetadata>>;
// By result index, the metadata of the node that produces the result (entries may be null).
using ResultsMetadata = std::vector<std::shared_ptr<OrvexMetadata>>;
// By result index, which output of its node the result is (names belong to outputs).
using ResultsOutputs = std::vector<size_t>;

// Lowers in the backend's MLIR context and collects the metadata of the graph's parameters and
// results.
class OrvexLoweringContext : public TorchMlirLoweringContext {
 public:
  // Keeps the MLIR context of its own.
  OrvexLoweringContext(const std::string& name, BackendDevice device);
  // Lowers `post_order` in the backend's MLIR context and collects the metadata of its device
  // data.
  OrvexLoweringContext(const std::string& name, BackendDevice device,
                       c10::ArrayRef<const Node*> post_order, Util::EmissionMap emit_status);
  ~OrvexLoweringContext() override;

  size_t AddResult(const Output& output) override;
  ComputationPtr CreateComputation(MlirModule module) override;

  const ParametersMetadata& parameters_metadata() const { return parameters_metadata_; }
  const ResultsMetadata& results_metadata() const { return results_metadata_; }

 private:
  ParametersMetadata parameters_metadata_;
  ResultsMetadata results_metadata_;
  ResultsOutputs results_outputs_;
};

class OrvexComputation : public TorchMlirComputation {
 public:
  OrvexComputation(MlirModule module, MlirContext context,
                   const std::shared_ptr<torch::jit::Graph>& graph,
                   std::unordered_map<int, std::string> parameters_map,
                   InputOutputAliases aliases, std::vector<BackendDataPtr> parameters,
                   ParametersMetadata parameters_metadata, ResultsMetadata results_metadata,
                   ResultsOutputs results_outputs = {});
  ~OrvexComputation() override;

  // The backend data of each parameter of the function, in parameter order.
  const std::vector<BackendDataPtr>& get_parameters() const { return parameters_; }
  // Lets go of the parameters' data once the program is built: the computation stays cached for
  // the process, and its first step's data (host copies of every weight, the first batch) would
  // otherwise stay with it. Tensors that still refer to a record keep it.
  void release_parameters() { std::vector<BackendDataPtr>().swap(parameters_); }
  const ParametersMetadata& get_parameters_metadata() const { return parameters_metadata_; }
  const ResultsMetadata& get_results_metadata() const { return results_metadata_; }
  // Output index of result i within its node; 0 where not recorded.
  size_t result_output(size_t i) const {
    return i < results_outputs_.size() ? results_outputs_[i] : 0;
  }

 private:
  std::vector<BackendDataPtr> parameters_;
  ParametersMetadata parameters_metadata_;
  ResultsMetadata results_metadata_;
  ResultsOutputs results_outputs_;
};

}  // namespace lazy
}  // namespace torch
