#include "mlir_node.h"

#include <mutex>

#include <torch/csrc/lazy/core/cache.h>

namespace torch {
namespace lazy {

namespace {
std::vector<std::function<void(TorchMlirNode*)>>& constructor_hooks() {
  static auto* hooks = new std::vector<std::function<void(TorchMlirNode*)>>();
  return *hooks;
}

hash_t OperandHashes(const std::vector<Output>& operands, const hash_t& seed, bool bakeInSizes) {
  hash_t hash = seed;
  for (auto& operand : operands) {
    if (operand.node == nullptr) {
      hash = HashCombine(hash, static_cast<uint64_t>(kNullOpt));
      continue;
    }
    auto operand_hash = bakeInSizes ? operand.shapeHash() : operand.hash();
    hash = HashCombine(hash, operand_hash);
  }
  return hash;
}
}  // namespace

TorchMlirNode::TorchMlirNode(OpKind op, OpList operands, std::vector<Shape>&& shapes,
                             size_t num_outputs, hash_t hash_seed)
    : Node(op, operands, std::move(shapes), num_outputs) {
  ComputeHashes(hash_seed);
  RunConstructorHooks();
}

TorchMlirNode::TorchMlirNode(OpKind op, OpList operands, const std::function<Shape()>& shape_fn,
                             size_t num_outputs, hash_t hash_seed)
    : Node(op, operands, std::vector<Shape>{}, num_outputs) {
  ComputeHashes(hash_seed);
  addComputedShape(shape_fn);
  RunConstructorHooks();
}

TorchMlirNode::TorchMlirNode(OpKind op, OpList operands, size_t num_outputs, hash_t hash_seed)
    : Node(op, operands, num_outputs) {
  ComputeHashes(hash_seed);
  RunConstructorHooks();
}

TorchMlirNode::TorchMlirNode(OpKind op, Shape shape, size_t num_outputs, hash_t hash_seed)
    : Node(op, shape, num_outputs) {
  // A leaf has no operands to carry its sizes into the graph hash: fold its shape in directly.
  ComputeHashes(HashCombine(hash_seed, shape.hash(/*bakeInSizes=*/true)));
  RunConstructorHooks();
}

void TorchMlirNode::ComputeHashes(hash_t hash_seed) {
  hash_t node_hash = HashCombine(op().hash(), hash_seed);
  shape_hash_ = OperandHashes(operands(), node_hash, /*bakeInSizes=*/true);
  dag_hash_ = enableDynamicShape() ? OperandHashes(operands(), node_hash, /*bakeInSizes=*/false)
                                   : shape_hash_;
}

void TorchMlirNode::RunConstructorHooks() {
  for (const auto& hook : constructor_hooks()) hook(this);
}

void TorchMlirNode::addConstructorHook(std::function<void(TorchMlirNode*)> hook) {
  constructor_hooks().push_back(std::move(hook));
}

TorchMlirNode* TorchMlirNode::mlir_node(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= operands().size()) return nullptr;
  return dynamic_cast<TorchMlirNode*>(const_cast<Node*>(operands()[index].node));
}

}  // namespace lazy
}  // namespace torch
