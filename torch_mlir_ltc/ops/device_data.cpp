#include "device_data.h"

#include <sstream>

#include <torch/csrc/lazy/core/tensor.h>

#include "torch_mlir_ltc/backend_impl.h"

namespace torch {
namespace lazy {
inline namespace mlir_base {

DeviceData::DeviceData(std::shared_ptr<BackendData> data)
    : TorchMlirNode(ClassOpKind(), data->shape(), /*num_outputs=*/1,
                    /*hash_seed=*/static_cast<uint32_t>(101)),
      data_(std::move(data)) {}

std::string DeviceData::ToString() const {
  std::stringstream ss;
  ss << TorchMlirNode::ToString() << ", device=" << data_->device();
  return ss.str();
}

void DeviceData::SetName(const std::string& name) {
  auto* backend_data = dynamic_cast<TorchMlirBackendData*>(data_.get());
  TORCH_CHECK(backend_data != nullptr, "Invalid Backend Data Pointer. Expected TorchMlirBackendData.");
  TORCH_CHECK(backend_data->mlir_info() != nullptr, "Backend data has no record to name");
  backend_data->mlir_info()->name = name;
}

DeviceData* DeviceData::Cast(const Node* node) {
  if (node == nullptr || node->op() != ClassOpKind()) return nullptr;
  return dynamic_cast<DeviceData*>(const_cast<Node*>(node));
}

}  // namespace mlir_base

DeviceData* device_data_cast(const Node* node) { return DeviceData::Cast(node); }

DeviceData* device_data_cast(const Value& value) {
  return value ? DeviceData::Cast(value.node.get()) : nullptr;
}

DeviceData* device_data_cast(const at::Tensor& tensor, std::optional<BackendDevice> device) {
  if (!device) device = GetBackendDevice(tensor);
  TORCH_CHECK(device);
  LazyTensorPtr lazy_tensor = GetLtcTensorOrCreateForWrappedNumber(tensor, *device);
  if (!lazy_tensor) return nullptr;
  return device_data_cast(lazy_tensor->GetIrValue());
}

}  // namespace lazy
}  // namespace torch
