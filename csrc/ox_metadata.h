// The backend's own record on every IR node: its uses, names, attributes and marked data.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>

#include <mlir-c/IR.h>
#include <torch/csrc/lazy/backend/backend_data.h>
#include <torch/csrc/lazy/core/ir.h>
#include <torch/csrc/lazy/core/ir_metadata.h>

namespace torch {
namespace lazy {

class TorchMlirNode;

// One place where an output of a node is consumed.
struct Use {
  Use() = default;
  Use(Node* node, size_t operand_index, size_t index);

  // Orders by the consumer's op kind, then operand_index, then index; the consumer itself is not
  // compared.
  bool operator<(const Use& other) const;
  std::string ToString() const;

  Node* node = nullptr;
  size_t operand_index = 0;
  size_t index = 0;
  // The consumer's op kind, kept from when the use was made. A long-lived producer (the data of a
  // weight) keeps uses whose consumers are long gone, so ordering must not read the consumer.
  OpKind op;
};

using MetaAttributes = std::unordered_map<std::string, MlirAttribute>;

class OrvexMetadata : public UserMetaData, public std::enable_shared_from_this<OrvexMetadata> {
 public:
  // Creates an empty record and registers `node` as a user of its operands.
  explicit OrvexMetadata(Node* node);

  // Installs the hook that gives every new node its record and the current scope name.
  static void init();

  // The node's record; fails if it has none.
  static OrvexMetadata* get(const Node* node);
  static OrvexMetadata* get(NodePtr node);

  // The step-result name and the name of the weight it updates, of one output of the node: `name`
  // and `alias_name` for output 0 (they name the node as a whole too), kept apart for the others,
  // so that each marked output of a multi-output node keeps its own.
  std::string& name_of(size_t output);
  std::string& alias_name_of(size_t output);

  std::set<Use> uses;
  std::string name;
  std::string alias_name;
  MetaAttributes attrs;
  BackendDataPtr data;

 private:
  std::map<size_t, std::pair<std::string, std::string>> other_outputs_;
};

void TorchMlirNodeUsageHook(TorchMlirNode* node);

}  // namespace lazy
}  // namespace torch
