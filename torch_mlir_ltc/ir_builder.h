// Builds the nodes LTC core asks for, as nodes of ours (so that every node runs our hooks).
#pragma once

#include <torch/csrc/lazy/core/ir_builder.h>

namespace torch {
namespace lazy {

struct TorchMlirIrBuilder : IrBuilder {
  NodePtr MakeDeviceData(const std::shared_ptr<BackendData>& data) const override;
  NodePtr MakeScalar(const at::Scalar& value, const at::ScalarType& type) const override;
  NodePtr MakeExpand(const Value& input0, const std::vector<int64_t>& size,
                     const bool& is_scalar_expand) const override;
  NodePtr MakeCast(const Value& input0, const at::ScalarType& dtype,
                   const std::optional<at::ScalarType>& stype = std::nullopt) const override;
  NodePtr MakeTensorList(const OpList& inputs) const override;
  NodePtr MakeGeneric(const OpKind& op, const OpList& operands, const Shape& shape,
                      const size_t& num_outputs = 1,
                      const hash_t& hash_seed = static_cast<uint32_t>(0x5a2d296e9)) const override;

  // Dynamic (symbolic) sizes are not supported by this backend.
  NodePtr MakeSizeNode(const Value& input, size_t dim) const override;
  NodePtr MakeSizeAdd(const Value& a, const Value& b) const override;
  NodePtr MakeSizeMul(const Value& a, const Value& b) const override;
  NodePtr MakeSizeDiv(const Value& a, const Value& b) const override;
};

}  // namespace lazy
}  // namespace torch
