// Base class of every IR node of the backend.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <torch/csrc/lazy/core/ir.h>
#include <torch/csrc/lazy/core/shape.h>

namespace torch {
namespace jit {
struct Value;
struct GraphFunction;
}  // namespace jit

namespace lazy {

class TorchMlirLoweringContext;

// A node lowers into the TorchScript graph of this function; its outputs are graph values.
using TorchMlirFunction = std::shared_ptr<torch::jit::GraphFunction>;
using TorchMlirOpVector = std::vector<torch::jit::Value*>;

class TorchMlirNode : public Node {
 public:
  TorchMlirNode(OpKind op, OpList operands, std::vector<Shape>&& shapes, size_t num_outputs,
                hash_t hash_seed = kHashSeed);
  TorchMlirNode(OpKind op, OpList operands, const std::function<Shape()>& shape_fn,
                size_t num_outputs, hash_t hash_seed = kHashSeed);
  TorchMlirNode(OpKind op, OpList operands, size_t num_outputs, hash_t hash_seed = kHashSeed);
  TorchMlirNode(OpKind op, Shape shape, size_t num_outputs, hash_t hash_seed = kHashSeed);
  ~TorchMlirNode() override = default;

  hash_t hash() const override { return dag_hash_; }
  hash_t shapeHash() const override { return shape_hash_; }

  // The node behind operand `index`, or null if it is not one of ours or there is no such operand.
  TorchMlirNode* mlir_node(int index) const;

  // Emits this node into `function`'s graph. The default emits the builtin named by the op kind.
  virtual TorchMlirOpVector Lower(TorchMlirFunction function,
                                  TorchMlirLoweringContext* loctx) const;

  // Registers a callback that runs at the end of every node construction.
  static void addConstructorHook(std::function<void(TorchMlirNode*)> hook);

 private:
  void RunConstructorHooks();
  void ComputeHashes(hash_t hash_seed);

  hash_t dag_hash_;
  hash_t shape_hash_;
};

}  // namespace lazy
}  // namespace torch
