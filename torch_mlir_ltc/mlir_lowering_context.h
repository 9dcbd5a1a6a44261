// Lowering of a lazy graph into a TorchScript graph, then into an MLIR module of the torch
// dialect, and the computation that holds the result.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <mlir-c/IR.h>
#include <torch/csrc/lazy/backend/lowering_context.h>

#include "torch_mlir_ltc/mlir_node.h"

namespace torch {
namespace jit {
struct Graph;
struct Value;
}  // namespace jit

namespace lazy {

class TorchMlirLoweringContext : public LoweringContext {
 public:
  // An output of the computation that may reuse the buffer of a parameter.
  struct InputOutputAlias {
    std::vector<int64_t> output_index;
    int64_t param_number = 0;
    std::vector<int64_t> param_index;
    bool must_alias = false;
  };
  using InputOutputAliases = std::vector<InputOutputAlias>;

  // Both forms create an MLIR context of their own (torch dialect ready); a derived class may
  // replace it with ReplaceMlirContext. The second form lowers every node of `post_order`.
  TorchMlirLoweringContext(const std::string& name, BackendDevice device);
  TorchMlirLoweringContext(const std::string& name, BackendDevice device,
                           c10::ArrayRef<const Node*> post_order, Util::EmissionMap emit_status);
  ~TorchMlirLoweringContext() override;

  void SetUpAlias(const std::vector<int64_t>& output_index, int64_t param_number,
                  const std::vector<int64_t>& param_index, bool must_alias = false) override;
  // Whether the parameter's shape equals that of the result at `result_idx`.
  bool CheckResultShape(const BackendDataPtr& parameter_data, size_t result_idx) override;
  // Registers `output` as the next result of the computation; returns its index.
  size_t AddResult(const Output& output) override;
  // Operator-by-operator execution is not offered by this backend.
  void AddParameter(const Output& output, size_t index, const Shape& shape,
                    const std::string& name) override;
  // Finishes the TorchScript graph, imports it into an MLIR module and hands that to
  // CreateComputation.
  ComputationPtr Build() override;
  // Wraps the built module; derived contexts return their own computation class.
  virtual ComputationPtr CreateComputation(MlirModule module);

  // The graph value emitted for `output`, lowering its node (and what it depends on) first if
  // needed.
  torch::jit::Value* GetOutputOp(const Output& output);
  void AssignOutputOp(const Output& output, torch::jit::Value* op);
  // The function argument of the data: one per distinct data handle, created on first use.
  torch::jit::Value* GetParameter(const BackendDataPtr& data);
  // Lowers one node whose operands have been lowered.
  void Lower(const Node* node);

  const std::shared_ptr<torch::jit::Graph>& graph() const { return graph_; }
  const TorchMlirFunction& function() const { return function_; }
  MlirContext mlir_context() const { return mlir_context_; }
  // Parameter index to name, for the named tensor parameters (see Build).
  const std::unordered_map<int, std::string>& parameter_names() const { return parameter_names_; }
  const InputOutputAliases& input_output_aliases() const { return input_output_aliases_; }
  size_t result_count() const { return result_values_.size(); }

 protected:
  // Destroys the context's own MLIR context, if it still has it, and builds in `context` from now
  // on; `context` is not owned.
  void ReplaceMlirContext(MlirContext context);

  MlirContext mlir_context_;
  // Set while the context is the context's own; computations built from it share it.
  std::shared_ptr<void> mlir_context_owner_;
  std::shared_ptr<torch::jit::Graph> graph_;
  TorchMlirFunction function_;
  std::unordered_map<int, std::string> parameter_names_;
  InputOutputAliases input_output_aliases_;

 private:
  struct Parameter {
    torch::jit::Value* param = nullptr;
    size_t index = 0;
  };

  std::unordered_map<BackendData::Handle, Parameter> parameters_map_;
  std::vector<torch::jit::Value*> result_values_;
  std::vector<Shape> result_shapes_;
  OutputMap<torch::jit::Value*> emitted_outputs_;
};

class TorchMlirComputation : public Computation {
 public:
  using InputOutputAliases = TorchMlirLoweringContext::InputOutputAliases;

  // Takes ownership of `module`, which lives in `context`.
  TorchMlirComputation(MlirModule module, MlirContext context,
                       const std::shared_ptr<torch::jit::Graph>& graph,
                       std::unordered_map<int, std::string> parameters_map,
                       InputOutputAliases aliases);

  int parameters_size() const override;
  const std::vector<Shape>& parameter_shapes() const override;
  const std::vector<std::string>& parameter_names() const override;
  // The shape of the one result; fails for a computation with any other number of results.
  const Shape& result_shape() const override;
  // The MLIR module as text.
  const std::string to_string() const override;
  ~TorchMlirComputation() override;
  // The module, the TorchScript graph it was imported from, the parameter names, the aliases and
  // the mark-step flag.
  virtual const std::string debug_string() const;

  MlirModule module() const { return module_; }
  // The function of the module.
  MlirOperation func_op() const;
  MlirContext mlir_context() const { return mlir_context_; }
  const std::shared_ptr<torch::jit::Graph>& graph() const { return graph_; }
  const std::unordered_map<int, std::string>& parameters_map() const { return parameters_map_; }
  const InputOutputAliases& input_output_aliases() const { return input_output_aliases_; }

  // Keeps `owner` (the owner of the MLIR context) alive as long as the module.
  void set_mlir_context_owner(std::shared_ptr<void> owner) {
    mlir_context_owner_ = std::move(owner);
  }

 protected:
  std::shared_ptr<void> mlir_context_owner_;
  MlirModule module_;
  MlirContext mlir_context_;
  std::shared_ptr<torch::jit::Graph> graph_;
  std::unordered_map<int, std::string> parameters_map_;
  InputOutputAliases input_output_aliases_;
  std::vector<std::string> parameter_names_;
  std::vector<Shape> parameter_shapes_;
  std::vector<Shape> result_shapes_;
};

}  // namespace lazy
}  // namespace torch
