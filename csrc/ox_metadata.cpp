#include "ox_metadata.h"

#include <sstream>
#include <typeinfo>

#include "appliance.h"
#include "torch_mlir_ltc/mlir_node.h"

namespace torch {
namespace lazy {

Use::Use(Node* node, size_t operand_index, size_t index)
    : node(node), operand_index(operand_index), index(index), op(node ? node->op() : OpKind()) {}

bool Use::operator<(const Use& other) const {
  if (op != other.op) return op < other.op;
  if (operand_index != other.operand_index) return operand_index < other.operand_index;
  return index < other.index;
}

std::string Use::ToString() const {
  std::stringstream ss;
  ss << node->ToString() << ", operand_index=" << operand_index << ", index=" << index;
  return ss.str();
}

OrvexMetadata::OrvexMetadata(Node* node) {
  const auto& operands = node->operands();
  for (size_t i = 0; i < operands.size(); ++i) {
    const Output& operand = operands[i];
    if (operand.node == nullptr) continue;
    get(operand.node)->uses.insert(Use(node, i, operand.index));
  }
}

void TorchMlirNodeUsageHook(TorchMlirNode* node) {
  std::string& scope = const_cast<MetaData&>(node->metadata()).scope;
  if (scope != g_scope_name) scope = g_scope_name;
  node->SetUserMetadata(std::make_shared<OrvexMetadata>(node));
}

void OrvexMetadata::init() {
  // Initialising the backend again must not run the hook twice per node.
  static const bool installed = [] {
    TorchMlirNode::addConstructorHook(
        std::function<void(TorchMlirNode*)>(TorchMlirNodeUsageHook));
    return true;
  }();
  (void)installed;
}

OrvexMetadata* OrvexMetadata::get(const Node* node) {
  UserMetaData* user = node->user_metadata();
  // Runs for every operand of every new node: the exact type is checked first, which is much
  // cheaper than a cross-cast through the multiple bases.
  if (user != nullptr && typeid(*user) == typeid(OrvexMetadata)) {
    return static_cast<OrvexMetadata*>(user);
  }
  auto* metadata = dynamic_cast<OrvexMetadata*>(user);
  TORCH_CHECK(metadata != nullptr, "Could not get orvex metadata for ", node->ToString());
  return metadata;
}

OrvexMetadata* OrvexMetadata::get(NodePtr node) { return get(node.get()); }

std::string& OrvexMetadata::name_of(size_t output) {
  return output == 0 ? name : other_outputs_[output].first;
}

std::string& OrvexMetadata::alias_name_of(size_t output) {
  return output == 0 ? alias_name : other_outputs_[output].second;
}

}  // namespace lazy
}  // namespace torch
