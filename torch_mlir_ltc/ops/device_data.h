// The IR node of a tensor whose value is backend data.
#pragma once

#include <memory>
#include <optional>

#include <torch/csrc/lazy/backend/backend_data.h>
#include <torch/csrc/lazy/backend/backend_device.h>
#include <torch/csrc/lazy/core/internal_ops/ltc_ops.h>

#include "torch_mlir_ltc/mlir_node.h"

namespace at {
class Tensor;
}

namespace torch {
namespace lazy {
// libtorch exports node classes of its own under the same short names; ours live in an inline
// namespace so that the two never share a symbol.
inline namespace mlir_base {

class DeviceData : public TorchMlirNode {
 public:
  static OpKind ClassOpKind() { return ltc_device_data; }

  explicit DeviceData(std::shared_ptr<BackendData> data);

  // Device data is never shared between graphs through the IR reuse cache.
  bool CanBeReused(std::shared_ptr<BackendData> data) const { return false; }

  std::string ToString() const override;

  const std::shared_ptr<BackendData>& data() const { return data_; }
  void SetData(std::shared_ptr<BackendData> data) { data_ = std::move(data); }
  // Renames the backend's record of the data.
  void SetName(const std::string& name);

  TorchMlirOpVector Lower(TorchMlirFunction function,
                          TorchMlirLoweringContext* loctx) const override;

  static DeviceData* Cast(const Node* node);

 private:
  std::shared_ptr<BackendData> data_;
};

}  // namespace mlir_base

// The device-data node behind a node, an IR value, or a lazy tensor; null if there is none.
DeviceData* device_data_cast(const Node* node);
DeviceData* device_data_cast(const Value& value);
DeviceData* device_data_cast(const at::Tensor& tensor,
                             std::optional<BackendDevice> device = std::nullopt);

}  // namespace lazy
}  // namespace torch
