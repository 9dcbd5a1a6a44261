#include "ir_builder.h"

#include "torch_mlir_ltc/ops/builtin_nodes.h"
#include "torch_mlir_ltc/ops/device_data.h"
#include "torch_mlir_ltc/utils/exception.h"

namespace torch {
namespace lazy {

NodePtr TorchMlirIrBuilder::MakeDeviceData(const std::shared_ptr<BackendData>& data) const {
  return MakeNode<DeviceData>(data);
}

NodePtr TorchMlirIrBuilder::MakeScalar(const at::Scalar& value, const at::ScalarType& type) const {
  return MakeNode<Scalar>(value, type);
}

NodePtr TorchMlirIrBuilder::MakeExpand(const Value& input0, const std::vector<int64_t>& size,
                                       const bool& is_scalar_expand) const {
  return MakeNode<Expand>(input0, size, is_scalar_expand);
}

NodePtr TorchMlirIrBuilder::MakeCast(const Value& input0, const at::ScalarType& dtype,
                                     const std::optional<at::ScalarType>& stype) const {
  return MakeNode<Cast>(input0, dtype, stype);
}

NodePtr TorchMlirIrBuilder::MakeTensorList(const OpList& inputs) const {
  return MakeNode<TorchMlirTensorList>(inputs);
}

NodePtr TorchMlirIrBuilder::MakeGeneric(const OpKind& op, const OpList& operands,
                                        const Shape& shape, const size_t& num_outputs,
                                        const hash_t& hash_seed) const {
  return MakeNode<Generic>(op, operands, shape, num_outputs, hash_seed);
}

NodePtr TorchMlirIrBuilder::MakeSizeNode(const Value& input, size_t dim) const {
  UNIMPLEMENTED_FUNCTION_ERROR();
}
NodePtr TorchMlirIrBuilder::MakeSizeAdd(const Value& a, const Value& b) const {
  UNIMPLEMENTED_FUNCTION_ERROR();
}
NodePtr TorchMlirIrBuilder::MakeSizeMul(const Value& a, const Value& b) const {
  UNIMPLEMENTED_FUNCTION_ERROR();
}
NodePtr TorchMlirIrBuilder::MakeSizeDiv(const Value& a, const Value& b) const {
  UNIMPLEMENTED_FUNCTION_ERROR();
}

}  // namespace lazy
}  // namespace torch
